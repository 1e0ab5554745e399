// The debug log, in a build of the bridge sources with the log switched on
// (linked into this test; the delivered libraries have it fixed off).
#include "jni_bridge/bridge_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "bridge_fixture.h"
#include "jni_bridge/cryptoki.h"
#include "support/temp_dir.h"

extern "C" void bridge_log_configure(int enabled, const char* path);
void bridge_process_attach();
void bridge_process_detach();

namespace {

class BridgeLog : public ::testing::Test {
 protected:
  void SetUp() override { bridge_log_configure(1, file.c_str()); }
  void TearDown() override { bridge_log_configure(0, ""); }

  // The lines written since the last call, without their time stamps.
  std::vector<std::string> Lines() {
    std::vector<std::string> out;
    std::istringstream in(ReadText(file));
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
      if (n++ < seen) continue;
      EXPECT_TRUE(std::regex_search(line, kStamp)) << line;
      out.push_back(line.size() > kStampSize ? line.substr(kStampSize) : std::string());
    }
    seen = n;
    return out;
  }

  static constexpr std::size_t kStampSize = 26;  // "2007-05-09|14:03:07.0042> "
  const std::regex kStamp{R"(^\d{4}-\d{2}-\d{2}\|\d{2}:\d{2}:\d{2}\.\d{4}> )"};
  TempDir dir{"bridge-log"};
  std::string file = dir.file("bridge.log");
  int seen = 0;
};

using Want = std::vector<std::string>;

TEST_F(BridgeLog, LoadingWritesEachStepAndTheRepeatRules) {
  FakeModule fake;
  ASSERT_EQ(jdirect_LoadPKCS(fake.path().c_str()), 1);
  EXPECT_EQ(Lines(),
            (Want{"jdirect_LoadPKCS", "Cryptoki.............Load",
                  "Cryptoki.............Loading library '" + fake.path() + "'",
                  "Cryptoki.............Querying Proc Addresses...", "Cryptoki.............Functions loaded..."}));
  EXPECT_EQ(jdirect_LoadPKCS(fake.path().c_str()), 1);
  EXPECT_EQ(Lines(), (Want{"jdirect_LoadPKCS", "jdirect_LoadPKCS: skipping, already loaded"}));
  std::string otherCase = fake.path();
  otherCase.back() = 'O';  // "...so" -> "...sO"
  EXPECT_EQ(jdirect_LoadPKCS(otherCase.c_str()), 0);
  EXPECT_EQ(Lines(), (Want{"jdirect_LoadPKCS", "jdirect_LoadPKCS: error, other dll already loaded"}));
}

TEST_F(BridgeLog, RefusedAndFailedLoads) {
  EXPECT_EQ(jdirect_LoadPKCS(std::string(260, 'a').c_str()), 0);
  EXPECT_EQ(Lines(), Want{"jdirect_LoadPKCS"});
  EXPECT_EQ(jdirect_LoadPKCS("/nonexistent/libnone.so"), 0);
  EXPECT_EQ(Lines(), (Want{"jdirect_LoadPKCS", "Cryptoki.............Load",
                           "Cryptoki.............Loading library '/nonexistent/libnone.so'",
                           "Cryptoki.............ERROR: Can't find DLL '/nonexistent/libnone.so'"}));
}

TEST_F(BridgeLog, CallOutcomesNamedOrInHex) {
  FakeModule fake;
  ASSERT_EQ(jdirect_LoadPKCS(fake.path().c_str()), 1);
  Lines();
  CK_ULONG count = 0;
  EXPECT_EQ(jdirect_C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
  EXPECT_EQ(Lines(), (Want{"jdirect_C_GetSlotList 2", "Cryptoki............. C_GetSlotList (Ok)"}));
  CK_UTF8CHAR pin[] = "1234";
  struct Case {
    CK_RV rv;
    const char* line;
  } cases[] = {
      {CKR_FUNCTION_NOT_SUPPORTED, "Cryptoki: Cryptoki... FAILED C_Login => CKR_FUNCTION_NOT_SUPPORTED (84)"},
      {CKR_PIN_INCORRECT, "Cryptoki: Cryptoki... FAILED C_Login => CKR_PIN_INCORRECT (160)"},
      {CKR_GENERAL_ERROR, "Cryptoki: Cryptoki... FAILED C_Login => CKR_GENERAL_ERROR (5)"},
      {CKR_VENDOR_DEFINED, "Cryptoki: Cryptoki... FAILED C_Login => CKR_VENDOR_DEFINED (-2147483648)"},
      {0x1234, "Cryptoki: Cryptoki... FAILED C_Login => 0x1234"},
      {CKR_BUFFER_TOO_SMALL, "Cryptoki: Cryptoki... FAILED C_Login => 0x150"},
  };
  for (const Case& c : cases) {
    fake.Set("rv.C_Login", c.rv);
    EXPECT_EQ(jdirect_C_Login(1, CKU_USER, pin, 4), c.rv);
    EXPECT_EQ(Lines(), (Want{"jdirect_C_Login", c.line}));
  }
}

TEST_F(BridgeLog, MissingFunctionsAndCallsBeforeLoading) {
  EXPECT_EQ(jdirect_C_Logout(1), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(Lines(), (Want{"jdirect_C_Logout", "Cryptoki.............Function 'C_Logout' not supported"}));
  FakeModule partial(true);
  ASSERT_EQ(jdirect_LoadPKCS(partial.path().c_str()), 1);
  Lines();
  EXPECT_EQ(jdirect_C_ResetToken(1), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(Lines(), (Want{"jdirect_C_ResetToken", "Cryptoki.............Function 'C_ResetToken' not supported"}));
}

TEST_F(BridgeLog, OwnOperations) {
  EXPECT_EQ(jdirect_GetLibVersion(), 8);
  EXPECT_EQ(Lines(), Want{"jdirect_GetLibVersion - version: 8"});

  int32_t block = jdirect_AllocMem(16);
  ASSERT_GT(block, 0);
  EXPECT_EQ(Lines(), (Want{"jdirect_AllocMem of size: 16", "Memory allocated at address: " + std::to_string(block)}));
  EXPECT_EQ(jdirect_AllocMem(-5), 0);
  EXPECT_EQ(Lines(), (Want{"jdirect_AllocMem of size: -5", "*** FAILED TO ALLOCATE MEMORY ***"}));

  char buf[8] = {};
  const std::string at = std::to_string(block);
  jdirect_SetMem(0, buf, 1, 2);
  EXPECT_EQ(Lines(), (Want{"jdirect_SetMem destination address: 0", "jdirect_SetMem offset: 1, size: 2",
                           "*** BAD DESTINATION ADDRESS ***"}));
  jdirect_SetMem(block, nullptr, 0, 4);
  EXPECT_EQ(Lines(), (Want{"jdirect_SetMem destination address: " + at, "jdirect_SetMem offset: 0, size: 4",
                           "*** BAD SOURCE ADDRESS ***"}));
  jdirect_SetMem(block, buf, 12, 8);
  EXPECT_EQ(Lines(), (Want{"jdirect_SetMem destination address: " + at, "jdirect_SetMem offset: 12, size: 8",
                           "*** BAD OFFSET OR SIZE ***"}));
  jdirect_SetMem(block, buf, 0, 8);
  EXPECT_EQ(Lines(), (Want{"jdirect_SetMem destination address: " + at, "jdirect_SetMem offset: 0, size: 8"}));
  jdirect_GetMem(block, nullptr, 0, 4);
  EXPECT_EQ(Lines(),
            (Want{"jdirect_GetMem copy from address: " + at + " <= len: 4", "*** BAD DESTINATION ADDRESS ***"}));
  jdirect_GetMem(0, buf, 0, 4);
  EXPECT_EQ(Lines(), (Want{"jdirect_GetMem copy from address: 0 <= len: 4", "*** BAD SOURCE ADDRESS ***"}));
  jdirect_GetMem(block + 1, buf, 0, 4);
  EXPECT_EQ(Lines(), (Want{"jdirect_GetMem copy from address: " + std::to_string(block + 1) + " <= len: 4",
                           "*** BAD SOURCE ADDRESS ***"}));
  jdirect_FreeMem(block);
  EXPECT_EQ(Lines(), Want{"jdirect_FreeMem at address: " + at});
  jdirect_FreeMem(block);
  EXPECT_EQ(Lines(), (Want{"jdirect_FreeMem at address: " + at, "*** NO BLOCK TO DEALLOCATE ***"}));
  jdirect_FreeMem(0);
  EXPECT_EQ(Lines(), (Want{"jdirect_FreeMem at address: 0", "*** NO BLOCK TO DEALLOCATE ***"}));

  EXPECT_EQ(jdirect_Lock(), 1);
  EXPECT_EQ(jdirect_Lock(), 0);
  jdirect_Unlock();
  EXPECT_EQ(Lines(), (Want{"... LOCK ...", "...(locked)...", "... UNLOCK ..."}));
}

TEST_F(BridgeLog, LoadAndUnloadHooks) {
  bridge_process_attach();
  bridge_process_detach();
  EXPECT_EQ(Lines(), (Want{"NetsentryDll........ ## NEW PROCESS ################################################",
                           "NetsentryDll........ DllMain - DLL_PROCESS_ATTACH",
                           "NetsentryDll........ DllMain - DLL_PROCESS_DETACH"}));
}

TEST_F(BridgeLog, LongTextIsCutAtTheLineLimit) {
  log_line(std::string(3000, 'x').c_str());
  log_str("Cryptoki.............Loading library '%s'", std::string(2000, 'y').c_str());
  std::istringstream in(ReadText(file));
  std::string line;
  while (std::getline(in, line)) EXPECT_EQ(line.size(), kBridgeLogLineMax);
}

TEST_F(BridgeLog, SwitchedOffWritesNothing) {
  bridge_log_configure(0, file.c_str());
  jdirect_GetLibVersion();
  log_line("never");
  EXPECT_FALSE(std::ifstream(file).good());
}

TEST(ValueNames, OnlyReturnValuesAreNamedAndTheFirstDuplicateWins) {
  bool found = false;
  int row = lookup_value_name(2, CKR_FUNCTION_NOT_SUPPORTED, &found);
  EXPECT_TRUE(found);
  EXPECT_STREQ(value_name_at(2, row), "CKR_FUNCTION_NOT_SUPPORTED");
  row = lookup_value_name(2, CKR_GENERAL_ERROR, &found);
  EXPECT_TRUE(found);
  EXPECT_EQ(row, 3);  // the first of the two rows
  row = lookup_value_name(2, CKR_OK, &found);
  EXPECT_TRUE(found);
  EXPECT_EQ(row, 58);  // value 0 is the last of the 59 rows
  EXPECT_STREQ(value_name_at(2, 58), "CKR_OK");
  EXPECT_EQ(value_name_at(2, 59), nullptr);
  row = lookup_value_name(2, 0x1234, &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(row, 58);
  lookup_value_name(2, 0x100000000UL + CKR_PIN_INCORRECT, &found);  // no 64-bit aliasing
  EXPECT_FALSE(found);
  EXPECT_EQ(lookup_value_name(99, 1, &found), -1);
  EXPECT_FALSE(found);
  row = lookup_value_name(5, 3, &found);
  EXPECT_STREQ(value_name_at(5, row), "RW_USER_FUNCTIONS");
  row = lookup_value_name(11, CKO_DATA, &found);
  EXPECT_STREQ(value_name_at(11, row), "CKO_DATA");
}

}  // namespace
