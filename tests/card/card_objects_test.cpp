// Card object functions that need no token: the 3DES pad count, file sizes, and
// modules that report lengths they cannot back (plugged straight into the table).
#include "card/card_objects.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "card/cryptoki.h"
#include "platform/fake_ui_services.h"
#include "support/temp_dir.h"

namespace {

TEST(Des3PadCount, EightMinusTheRemainder) {
  struct {
    uint64_t n;
    int pad;
  } cases[] = {{0, 8}, {1, 7}, {7, 1}, {8, 8}, {9, 7}, {16, 8}, {(1ULL << 33) + 3, 5}};
  for (const auto& c : cases) EXPECT_EQ(Des3PadCount(c.n), c.pad) << c.n;
}

TEST(FileSizeByStream, SizesAndTheOpenFailure) {
  TempDir t;
  FakeUiServices ui;
  WriteAll(t.file("empty"), "");
  EXPECT_EQ(FileSizeByStream(QString::fromStdString(t.file("empty"))), 0);
  // Beyond 4 GiB without writing it: a sparse file.
  ASSERT_EQ(::Run("truncate -s 5000000000 " + t.file("big")), 0);
  EXPECT_EQ(FileSizeByStream(QString::fromStdString(t.file("big"))), 5000000000LL);
  EXPECT_TRUE(ui.boxes.empty());

  const QString missing = QString::fromStdString(t.file("nema.txt"));
  EXPECT_EQ(FileSizeByStream(missing), -1);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].kind, MsgKind::Error);
  EXPECT_EQ(ui.boxes[0].text, "Greška kod otvaranja datoteke \"" + missing + "\"[Error=Nema takve datoteke ili mape]");
}

// A module whose counts are not to be believed.
CK_ULONG g_claim = 0;
CK_RV g_secondRv = CKR_OK;
CK_ULONG g_filled = 0;
CK_ULONG g_secondClaim = 0;

CK_RV FakeSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  if (!list) {
    *count = g_claim;
    return CKR_OK;
  }
  CK_ULONG room = *count;
  for (CK_ULONG i = 0; i < std::min(room, g_filled); ++i) list[i] = 100 + i;
  *count = g_secondClaim;
  return g_secondRv;
}

CK_RV FakeSlotInfo(CK_SLOT_ID, CK_SLOT_INFO_PTR info) {
  std::memset(info, 0xEE, sizeof *info);
  std::memcpy(info->slotDescription, "Reader", 7);  // NUL-padded, garbage after it
  return CKR_OK;
}

CK_RV FakeTokenInfo(CK_SLOT_ID, CK_TOKEN_INFO_PTR) { return CKR_DEVICE_ERROR; }

CK_RV FakeFindInit(CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) { return CKR_OK; }
CK_RV FakeFind(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR found, CK_ULONG max, CK_ULONG_PTR n) {
  for (CK_ULONG i = 0; i < max; ++i) found[i] = 7 + i;
  *n = max + 40;
  return CKR_OK;
}
CK_RV FakeFindFinal(CK_SESSION_HANDLE) { return CKR_OK; }

class LyingModule : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearCryptokiTable();
    Cryptoki.C_GetSlotList = FakeSlotList;
    Cryptoki.C_GetSlotInfo = FakeSlotInfo;
    Cryptoki.C_GetTokenInfo = FakeTokenInfo;
    Cryptoki.C_FindObjectsInit = FakeFindInit;
    Cryptoki.C_FindObjects = FakeFind;
    Cryptoki.C_FindObjectsFinal = FakeFindFinal;
  }
  void TearDown() override { ClearCryptokiTable(); }
  FakeUiServices ui_;
};

TEST_F(LyingModule, SlotCountsAreBoundedBeforeUse) {
  CK_SLOT_ID slotList[4] = {0, 0, 0, 0};
  CK_ULONG count = 0;
  QStringList names;

  // "Unavailable" as a count: no huge allocation, and the list call's own answer is shown.
  g_claim = CK_UNAVAILABLE_INFORMATION;
  g_secondRv = CKR_BUFFER_TOO_SMALL;
  g_secondClaim = CK_UNAVAILABLE_INFORMATION;
  g_filled = 0;
  EXPECT_FALSE(GetReaderList(slotList, 4, count, names));
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, "Nema dostupnih čitača [Error Code=336, CKR_BUFFER_TOO_SMALL]");

  // A module that fills 3 slots but claims 5000: only what was filled is used.
  ui_.boxes.clear();
  g_claim = 3;
  g_secondRv = CKR_OK;
  g_secondClaim = 5000;
  g_filled = 3;
  ASSERT_TRUE(GetReaderList(slotList, 4, count, names));
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(slotList[2], 102u);
  EXPECT_EQ(slotList[3], 0u);
  ASSERT_EQ(names.size(), 3);
  // Read up to the NUL; a failing token call keeps the (here absent) blanks.
  EXPECT_EQ(names[0], "Reader");
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(LyingModule, FoundCountsAreBoundedByTheBuffer) {
  CK_OBJECT_HANDLE keys[3] = {0, 0, 0};
  EXPECT_EQ(FindPrivateKeys(0, keys, 2, true), 2);
  EXPECT_EQ(keys[2], 0u);
  CK_OBJECT_HANDLE key = 0;
  EXPECT_EQ(FindPrivateKey(0, key, true), 1);
  EXPECT_EQ(key, 7u);
  EXPECT_EQ(FindPrivateKeys(0, nullptr, 5, true), 0);
}

}  // namespace
