// The J/Direct C API of the delivered builds, against the scripted module:
// loading rules, forwarding, missing functions, memory blocks and the lock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bridge_fixture.h"
#include "support/temp_dir.h"

namespace {

TEST(JDirectVersion, EachBuildReportsItsOwn) {
  Library newer(BinFile(kNewBuild)), older(BinFile(kOldBuild));
  EXPECT_EQ(JDIRECT(newer, GetLibVersion)(), 8);
  EXPECT_EQ(JDIRECT(older, GetLibVersion)(), 7);
}

TEST(JDirectBeforeLoad, CallsAreRefusedAndWriteNothing) {
  Library bridge(BinFile(kNewBuild));
  CK_ULONG count = 77;
  EXPECT_EQ(JDIRECT(bridge, C_GetSlotList)(CK_TRUE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(count, 77u);
  CK_INFO info;
  std::memset(&info, 0xEE, sizeof info);
  EXPECT_EQ(JDIRECT(bridge, C_GetInfo)(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(info.manufacturerID[0], 0xEE);
  EXPECT_EQ(JDIRECT(bridge, C_Initialize)(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(JDIRECT(bridge, C_ResetToken)(1), CKR_CRYPTOKI_NOT_INITIALIZED);
}

TEST(JDirectLoad, SameNameTwiceAnotherNameOrLetterCaseRefused) {
  FakeModule fake, partial(true);
  Library bridge(BinFile(kNewBuild));
  auto load = JDIRECT(bridge, LoadPKCS);
  ASSERT_EQ(load(fake.path().c_str()), 1);
  EXPECT_EQ(load(fake.path().c_str()), 1);
  std::string upper = fake.path();
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(load(upper.c_str()), 0);
  EXPECT_EQ(load(partial.path().c_str()), 0);
  // The first module stays in use: only the full one has C_GetSlotInfo.
  CK_SLOT_INFO info;
  EXPECT_EQ(JDIRECT(bridge, C_GetSlotInfo)(9, &info), CKR_OK);
  EXPECT_EQ(fake.Value("C_GetSlotInfo.slot"), 9u);
  EXPECT_EQ(fake.Value("C_Initialize.calls"), 0u);  // loading calls nothing in the module
}

TEST(JDirectLoad, FailedLoadCanBeRetriedWithAnotherName) {
  FakeModule fake;
  Library bridge(BinFile(kNewBuild));
  auto load = JDIRECT(bridge, LoadPKCS);
  EXPECT_EQ(load("/nonexistent/libnothing.so"), 0);
  EXPECT_EQ(load(""), 0);
  EXPECT_EQ(load(nullptr), 0);
  EXPECT_EQ(JDIRECT(bridge, C_Initialize)(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(load(fake.path().c_str()), 1);
  EXPECT_EQ(JDIRECT(bridge, C_Initialize)(nullptr), CKR_OK);
}

TEST(JDirectLoad, NameOf260CharactersIsRefusedWithoutLoading) {
  FakeModule fake;
  Library bridge(BinFile(kNewBuild));
  auto load = JDIRECT(bridge, LoadPKCS);
  // The same module behind a path padded with "/./" to exactly 259 and 260 characters.
  auto padded = [&](std::size_t length) {
    std::string dir = fake.path().substr(0, fake.path().rfind('/'));
    std::string file = fake.path().substr(dir.size());
    std::string p = dir;
    while (p.size() + file.size() + 2 <= length) p += "/.";
    if (p.size() + file.size() < length) p += "/";
    return p + file;
  };
  std::string longest = padded(259), tooLong = padded(260);
  ASSERT_EQ(longest.size(), 259u);
  ASSERT_EQ(tooLong.size(), 260u);
  EXPECT_EQ(load(tooLong.c_str()), 0);
  EXPECT_EQ(load(longest.c_str()), 1);
}

TEST(JDirectLoad, TwoThreadsLoadingDifferentNamesLoadOnlyOne) {
  FakeModule fake, partial(true);
  Library bridge(BinFile(kNewBuild));
  auto load = JDIRECT(bridge, LoadPKCS);
  std::atomic<bool> go{false};
  std::atomic<int> fullWins{0}, partialWins{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      const std::string& name = (t % 2) ? fake.path() : partial.path();
      if (load(name.c_str())) ((t % 2) ? fullWins : partialWins)++;
    });
  go = true;
  for (auto& th : threads) th.join();
  // All winners loaded the same module, and every caller of that name won.
  EXPECT_TRUE((fullWins == 4 && partialWins == 0) || (fullWins == 0 && partialWins == 4))
      << fullWins << " " << partialWins;
}

TEST(JDirectForwarding, ArgumentsAndResultsPassUnchanged) {
  FakeModule fake;
  Library bridge(BinFile(kNewBuild));
  ASSERT_EQ(JDIRECT(bridge, LoadPKCS)(fake.path().c_str()), 1);
  ASSERT_EQ(JDIRECT(bridge, C_Initialize)(nullptr), CKR_OK);
  EXPECT_EQ(fake.Value("C_Initialize.null"), 1u);

  // A size query fills only the count.
  CK_ULONG count = 0;
  EXPECT_EQ(JDIRECT(bridge, C_GetSlotList)(CK_TRUE, nullptr, &count), CKR_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(fake.Value("C_GetSlotList.present"), 1u);

  // The module's own codes come back as they are.
  for (CK_RV rv : {CKR_FUNCTION_NOT_SUPPORTED, CKR_PIN_INCORRECT, static_cast<CK_RV>(0x1234), CKR_VENDOR_DEFINED + 1}) {
    fake.Set("rv.C_Login", rv);
    CK_UTF8CHAR pin[] = "1234";
    EXPECT_EQ(JDIRECT(bridge, C_Login)(5, CKU_USER, pin, 4), rv);
  }

  // The vendor functions reach a module that has them, with their arguments.
  EXPECT_EQ(JDIRECT(bridge, C_ResetToken)(0x1234567890UL), CKR_OK);
  EXPECT_EQ(fake.Value("C_ResetToken.slot"), 0x1234567890UL);
  CK_UTF8CHAR unlock[] = "unlock-code", fresh[] = "9876";
  EXPECT_EQ(JDIRECT(bridge, C_UnlockPIN)(42, unlock, 11, fresh, 4), CKR_OK);
  EXPECT_EQ(fake.Value("C_UnlockPIN.session"), 42u);
  EXPECT_EQ(fake.Text("C_UnlockPIN.old"), "unlock-code");
  EXPECT_EQ(fake.Text("C_UnlockPIN.new"), "9876");

  // J/Direct passes the notify callback as given; only the JNI layer drops it.
  CK_SESSION_HANDLE session = 0;
  EXPECT_EQ(JDIRECT(bridge, C_OpenSession)(1, 6, nullptr, nullptr, &session), CKR_OK);
  EXPECT_EQ(session, 1u);
}

TEST(JDirectMissingFunctions, ReportNotSupportedAndLeaveOutputsAlone) {
  FakeModule partial(true);
  Library bridge(BinFile(kNewBuild));
  ASSERT_EQ(JDIRECT(bridge, LoadPKCS)(partial.path().c_str()), 1);
  EXPECT_EQ(JDIRECT(bridge, C_Initialize)(nullptr), CKR_OK);
  CK_TOKEN_INFO info;
  std::memset(&info, 0xEE, sizeof info);
  EXPECT_EQ(JDIRECT(bridge, C_GetTokenInfo)(1, &info), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(info.label[0], 0xEE);
  CK_SESSION_HANDLE session = 77;
  CK_ULONG length = 55;
  EXPECT_EQ(JDIRECT(bridge, C_Sign)(session, nullptr, 0, nullptr, &length), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(length, 55u);
  EXPECT_EQ(JDIRECT(bridge, C_ResetToken)(1), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(JDIRECT(bridge, C_UnlockPIN)(1, nullptr, 0, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
  // What the module has still works.
  CK_ULONG count = 0;
  EXPECT_EQ(JDIRECT(bridge, C_GetSlotList)(CK_FALSE, nullptr, &count), CKR_OK);
  EXPECT_EQ(count, 2u);
}

TEST(JDirectBuilds, TwoBuildsInOneProcessKeepSeparateStates) {
  FakeModule fake;
  Library newer(BinFile(kNewBuild)), older(BinFile(kOldBuild));
  ASSERT_EQ(JDIRECT(newer, LoadPKCS)(fake.path().c_str()), 1);
  EXPECT_EQ(JDIRECT(older, C_Initialize)(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(JDIRECT(newer, Lock)(), 1);
  EXPECT_EQ(JDIRECT(older, Lock)(), 1);
  JDIRECT(newer, Unlock)();
  JDIRECT(older, Unlock)();
}

TEST(JDirectLock, TakenOnceUntilUnlocked) {
  Library bridge(BinFile(kNewBuild));
  auto lock = JDIRECT(bridge, Lock);
  auto unlock = JDIRECT(bridge, Unlock);
  unlock();  // harmless without a lock
  EXPECT_EQ(lock(), 1);
  EXPECT_EQ(lock(), 0);
  EXPECT_EQ(lock(), 0);
  unlock();
  EXPECT_EQ(lock(), 1);
  unlock();
}

class JDirectMemory : public ::testing::Test {
 protected:
  Library bridge{BinFile(kNewBuild)};
  decltype(&jdirect_AllocMem) alloc = JDIRECT(bridge, AllocMem);
  decltype(&jdirect_SetMem) set = JDIRECT(bridge, SetMem);
  decltype(&jdirect_GetMem) get = JDIRECT(bridge, GetMem);
  decltype(&jdirect_FreeMem) release = JDIRECT(bridge, FreeMem);
};

TEST_F(JDirectMemory, RoundTripWithOffsetBelowTwoGiB) {
  int32_t block = alloc(16);
  ASSERT_GT(block, 0);  // a positive Java int, and the block's native address
  const char text[] = "abcdefgh";
  set(block, text, 4, 8);
  char back[16];
  std::memset(back, '?', sizeof back);
  get(block, back, 0, 16);
  EXPECT_EQ(std::string(back, 16), std::string("\0\0\0\0abcdefgh\0\0\0\0", 16));
  EXPECT_EQ(std::memcmp(reinterpret_cast<void*>(static_cast<uintptr_t>(block) + 4), "abcd", 4), 0);
  release(block);
}

TEST_F(JDirectMemory, ZeroSizesAndZeroBlocks) {
  int32_t empty = alloc(0);
  EXPECT_NE(empty, 0);
  char byte = 'x';
  set(empty, &byte, 0, 0);
  get(empty, &byte, 0, 0);
  EXPECT_EQ(byte, 'x');
  get(empty, &byte, 0, 1);  // one byte past an empty block
  EXPECT_EQ(byte, 'x');
  release(empty);
  EXPECT_EQ(alloc(-1), 0);
}

TEST_F(JDirectMemory, OutOfBlockAccessIsRefusedNotCopied) {
  int32_t block = alloc(8);
  ASSERT_GT(block, 0);
  const char src[16] = "0123456789ABCDE";
  set(block, src, 0, 8);
  struct Case {
    const char* what;
    int32_t address, offset, size;
  } cases[] = {
      {"offset plus size past the end", block, 4, 5},
      {"size past the end", block, 0, 9},
      {"negative size", block, 0, -1},
      {"negative offset", block, -1, 2},
      {"huge offset", block, 0x7fffffff, 1},
      {"unknown address", block + 1, 0, 1},
      {"null address", 0, 0, 1},
  };
  for (const Case& c : cases) {
    char dst[16];
    std::memset(dst, '?', sizeof dst);
    get(c.address, dst, c.offset, c.size);
    EXPECT_EQ(dst[0], '?') << c.what;
    set(c.address, "zzzzzzzzzzzzzzzz", c.offset, c.size);
  }
  char back[8];
  get(block, back, 0, 8);
  EXPECT_EQ(std::string(back, 8), "01234567");  // no refused write landed
  set(block, nullptr, 0, 4);
  get(block, nullptr, 0, 4);
  release(block);
}

TEST_F(JDirectMemory, DoubleAndForeignFreesDoNothing) {
  int32_t a = alloc(32), b = alloc(32);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  release(a);
  release(a);
  release(0);
  release(b + 8);
  char dst[4] = {'?', '?', '?', '?'};
  get(a, dst, 0, 4);  // freed: nothing copied
  EXPECT_EQ(dst[0], '?');
  set(b, "live", 0, 4);
  get(b, dst, 0, 4);
  EXPECT_EQ(std::string(dst, 4), "live");
  release(b);
}

}  // namespace

namespace {

TEST(JDirectDeliveredLog, WritesNoFile) {
  TempDir cwd("bridge-cwd");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(cwd.path().c_str()), 0);
  {
    FakeModule fake;
    Library bridge(BinFile(kNewBuild));
    JDIRECT(bridge, LoadPKCS)(fake.path().c_str());
    JDIRECT(bridge, C_Initialize)(nullptr);
    JDIRECT(bridge, FreeMem)(0);
    JDIRECT(bridge, Lock)();
  }
  EXPECT_EQ(chdir(old), 0);
  std::string listing;
  ::Run("ls -A '" + cwd.path() + "'", &listing);
  EXPECT_EQ(listing, "");
}

}  // namespace
