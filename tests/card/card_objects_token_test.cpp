// The card object functions against SoftHSM2 behind our middleware module, bound
// the way the program binds it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card/binding.h"
#include "card/card_objects.h"
#include "card/cryptoki.h"
#include "outside/acpkcs_harness.h"
#include "platform/fake_ui_services.h"

namespace {

constexpr CK_MECHANISM_TYPE kEcKeyPairGen = 0x1040;
constexpr CK_ATTRIBUTE_TYPE kEcParams = 0x180;

class CardObjects : public ::testing::Test {
 protected:
  void SetUp() override {
    hsm_.addToken("Alpha", "1234", 1024);
    ASSERT_TRUE(BindCryptoki(CryptokiModule, QString::fromStdString(m_.path()), false));
    ASSERT_EQ(cryptoki::C_Initialize(nullptr), CKR_OK);
    slot_ = m_.slotOf("Alpha");
    ASSERT_EQ(cryptoki::C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session_), CKR_OK);
  }
  void TearDown() override {
    cryptoki::C_Finalize(nullptr);
    UnloadCryptokiModule();
    m_.ctl.acpkcs_ctl_reset();
  }
  void login() { ASSERT_EQ(m_.login(session_, "1234"), CKR_OK); }
  std::vector<QString> boxTexts() {
    std::vector<QString> v;
    for (const auto& b : ui_.boxes) v.push_back(b.text);
    ui_.boxes.clear();
    return v;
  }
  QString rawDescription(CK_SLOT_ID slot) {
    CK_SLOT_INFO si;
    EXPECT_EQ(m_.f->C_GetSlotInfo(slot, &si), CKR_OK);
    return QString::fromUtf8(reinterpret_cast<const char*>(si.slotDescription), sizeof si.slotDescription);
  }

  SoftHsm hsm_;
  FakeUiServices ui_;
  Acpkcs m_;
  CK_SLOT_ID slot_ = 0;
  CK_SESSION_HANDLE session_ = 0;
};

TEST_F(CardObjects, PrivateKeyFoundOnlyAfterLoginWithCkUlongTemplate) {
  CK_OBJECT_HANDLE key = 12345;
  EXPECT_EQ(FindPrivateKey(session_, key, true), 0);
  EXPECT_EQ(key, 12345u);
  login();
  m_.ctl.acpkcs_ctl_record(1);
  ASSERT_EQ(FindPrivateKey(session_, key, true), 1);
  m_.ctl.acpkcs_ctl_record(0);
  CK_OBJECT_CLASS cls = 0;
  CK_ATTRIBUTE a = {CKA_CLASS, &cls, sizeof cls};
  ASSERT_EQ(cryptoki::C_GetAttributeValue(session_, key, &a, 1), CKR_OK);
  EXPECT_EQ(cls, CKO_PRIVATE_KEY);
  std::string log = m_.takeLog();
  EXPECT_NE(log.find("C_FindObjectsInit hSession="), std::string::npos) << log;
  EXPECT_NE(log.find("pTemplate=[0x0:8,0x100:8] ulCount=2 -> 0x0"), std::string::npos) << log;
  EXPECT_NE(log.find("ulMaxObjectCount=50"), std::string::npos) << log;
  EXPECT_NE(log.find("C_FindObjectsFinal"), std::string::npos) << log;
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(CardObjects, SeveralKeysRsaOnlyUpToCapacity) {
  login();
  CK_ULONG bits = 1024;
  CK_BYTE exponent[] = {1, 0, 1};
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE pub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits},
                        {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
                        {CKA_TOKEN, &yes, sizeof yes}};
  CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &yes, sizeof yes}, {CKA_PRIVATE, &yes, sizeof yes}, {CKA_SIGN, &yes, sizeof yes}};
  CK_MECHANISM gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE hpub, hpriv;
  ASSERT_EQ(cryptoki::C_GenerateKeyPair(session_, &gen, pub, 3, priv, 3, &hpub, &hpriv), CKR_OK);
  // An EC key is a private key too, but not an RSA one.
  CK_BYTE p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
  CK_ATTRIBUTE ecPub[] = {{kEcParams, p256, sizeof p256}, {CKA_TOKEN, &yes, sizeof yes}};
  CK_MECHANISM ecGen = {kEcKeyPairGen, nullptr, 0};
  ASSERT_EQ(cryptoki::C_GenerateKeyPair(session_, &ecGen, ecPub, 2, priv, 3, &hpub, &hpriv), CKR_OK);

  CK_OBJECT_HANDLE keys[50];
  EXPECT_EQ(FindPrivateKeys(session_, keys, 50, true), 2);
  EXPECT_NE(keys[0], keys[1]);
  EXPECT_NE(keys[0], hpriv);
  EXPECT_NE(keys[1], hpriv);
  EXPECT_EQ(FindPrivateKeys(session_, keys, 1, true), 1);
  CK_OBJECT_HANDLE key = 0;
  EXPECT_EQ(FindPrivateKey(session_, key, true), 1);
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(CardObjects, SearchFailuresByStep) {
  login();
  struct Case {
    const char* function;
    int many;  // FindPrivateKeys
    QString message;
    bool keyAnyway;  // FindPrivateKey still hands out the key it found
  } cases[] = {
      {"C_FindObjectsInit", -1, kMsgFindKeysInit + "48]", false},
      {"C_FindObjects", -2, kMsgFindKeysSearch + "48]", false},
      {"C_FindObjectsFinal", -3, kMsgFindKeysFinal + "48]", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    CK_OBJECT_HANDLE keys[4];
    // An injected failure of the end step leaves the real search open: end it.
    const bool endFails = std::string(c.function) == "C_FindObjectsFinal";
    m_.ctl.acpkcs_ctl_fail(c.function, CKR_DEVICE_ERROR, 1);
    EXPECT_EQ(FindPrivateKeys(session_, keys, 4, false), c.many);
    EXPECT_TRUE(ui_.boxes.empty());
    if (endFails) cryptoki::C_FindObjectsFinal(session_);

    m_.ctl.acpkcs_ctl_fail(c.function, CKR_DEVICE_ERROR, 1);
    m_.ctl.acpkcs_ctl_record(1);
    CK_OBJECT_HANDLE key = 0;
    EXPECT_EQ(FindPrivateKey(session_, key, true), -1);
    m_.ctl.acpkcs_ctl_record(0);
    if (endFails) cryptoki::C_FindObjectsFinal(session_);
    EXPECT_EQ(boxTexts(), std::vector<QString>{c.message});
    EXPECT_EQ(key != 0, c.keyAnyway);
    std::string log = m_.takeLog();
    // A failed search is still ended.
    EXPECT_EQ(log.find("C_FindObjectsFinal") != std::string::npos, std::string(c.function) != "C_FindObjectsInit")
        << log;
    // And nothing is left half-open for the next search.
    EXPECT_EQ(FindPrivateKey(session_, key, true), 1);
  }
}

TEST_F(CardObjects, ReaderListPairsNamesWithSlotsAndNeverOverflows) {
  // SoftHSM2: the token's slot and its free slot, both described "SoftHSM slot ID 0x..."
  // padded with blanks.
  CK_SLOT_ID slotList[12];
  CK_ULONG count = 99;
  std::unique_ptr<QStringList> names;
  ASSERT_TRUE(GetReaderList(slotList, 10, count, names));
  ASSERT_TRUE(names);
  ASSERT_EQ(count, 2u);
  ASSERT_EQ(names->size(), 2);
  for (CK_ULONG i = 0; i < count; ++i) {
    EXPECT_EQ((*names)[i], rawDescription(slotList[i]).trimmed());
    EXPECT_TRUE((*names)[i].startsWith("SoftHSM slot ID 0x"));
  }
  EXPECT_FALSE(ui_.waitCursor());

  // 2 + 11 readers with room for 10: the first 10, each with its name, nothing beyond.
  m_.ctl.acpkcs_ctl_add_fake_slots(11);
  for (CK_SLOT_ID& s : slotList) s = 0xAAAA;
  QStringList list = {"kept"};
  ASSERT_TRUE(GetReaderList(slotList, 10, count, list));
  EXPECT_EQ(count, 10u);
  EXPECT_EQ(slotList[10], 0xAAAAu);
  EXPECT_EQ(slotList[11], 0xAAAAu);
  ASSERT_EQ(list.size(), 11);
  EXPECT_EQ(list[0], "kept");
  for (CK_ULONG i = 0; i < count; ++i) EXPECT_EQ(list[i + 1], rawDescription(slotList[i]).trimmed());
  EXPECT_EQ(list[3], "Tarvi virtual reader 1");
}

TEST_F(CardObjects, ReaderListFailures) {
  CK_SLOT_ID slotList[10];
  CK_ULONG count = 0;
  QStringList names;
  m_.ctl.acpkcs_ctl_fail("C_GetSlotList", CKR_GENERAL_ERROR, 1);
  EXPECT_FALSE(GetReaderList(slotList, 10, count, names));
  m_.ctl.acpkcs_ctl_fail("C_GetSlotList", CKR_DEVICE_ERROR, 2);
  EXPECT_FALSE(GetReaderList(slotList, 10, count, names));
  EXPECT_EQ(boxTexts(), (std::vector<QString>{"Nema dostupnih čitača. [Error Code=5, CKR_GENERAL_ERROR]",
                                              "Nema dostupnih čitača [Error Code=48, CKR_DEVICE_ERROR]"}));
  EXPECT_TRUE(names.isEmpty());
  EXPECT_FALSE(ui_.waitCursor());  // restored on the failure roads too

  // One slot's information failing leaves an empty name in its place.
  m_.ctl.acpkcs_ctl_fail("C_GetSlotInfo", CKR_DEVICE_ERROR, 1);
  ASSERT_TRUE(GetReaderList(slotList, 10, count, names));
  ASSERT_EQ(count, 2u);
  ASSERT_EQ(names.size(), 2);
  EXPECT_EQ(names[0], "");
  EXPECT_EQ(names[1], rawDescription(slotList[1]).trimmed());

  // The token information's answer decides whether the blanks go.
  struct Case {
    CK_RV rv;
    bool trimmed;
  } cases[] = {{CKR_DEVICE_ERROR, false},
               {CKR_TOKEN_NOT_RECOGNIZED, true},
               {CKR_TOKEN_NOT_PRESENT, true},
               {CKR_GENERAL_ERROR, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rv);
    names.clear();
    m_.ctl.acpkcs_ctl_fail("C_GetTokenInfo", c.rv, 1);
    ASSERT_TRUE(GetReaderList(slotList, 10, count, names));
    QString raw = rawDescription(slotList[0]);
    EXPECT_EQ(names[0], c.trimmed ? raw.trimmed() : raw);
    EXPECT_EQ(names[1], rawDescription(slotList[1]).trimmed());
  }
  // A card out of its reader: the reader keeps its name, trimmed.
  m_.ctl.acpkcs_ctl_set_card_present_id(slot_, 0);
  names.clear();
  ASSERT_TRUE(GetReaderList(slotList, 10, count, names));
  EXPECT_EQ(names[0], rawDescription(slotList[0]).trimmed());
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(CardObjects, CloseSlotSessionsEndsEverySessionOfTheSlot) {
  CK_SESSION_HANDLE second = 0;
  ASSERT_EQ(cryptoki::C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &second), CKR_OK);
  EXPECT_TRUE(CloseSlotSessions(slot_));
  CK_SESSION_INFO info;
  EXPECT_NE(cryptoki::C_GetSessionInfo(session_, &info), CKR_OK);
  EXPECT_NE(cryptoki::C_GetSessionInfo(second, &info), CKR_OK);
  m_.ctl.acpkcs_ctl_fail("C_CloseAllSessions", CKR_DEVICE_ERROR, 1);
  EXPECT_FALSE(CloseSlotSessions(slot_));
}

}  // namespace
