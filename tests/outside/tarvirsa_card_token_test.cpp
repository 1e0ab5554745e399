// The library against a real PKCS#11 token (SoftHSM2): what the card signs opens
// with RSAPublicDecrypt, and what RSAPublicEncrypt wraps the card's C_Decrypt opens.
#include "interfaces/pkcs11.h"
#include "support/token.h"
#include "tarvirsa_support.h"

namespace {

// The few PKCS#11 functions the checks need, bound by name like the program does.
struct Card {
#define CARD_FIELD(name) CK_##name name = nullptr;
  CARD_FIELD(C_Initialize)
  CARD_FIELD(C_Finalize)
  CARD_FIELD(C_GetSlotList)
  CARD_FIELD(C_GetTokenInfo)
  CARD_FIELD(C_OpenSession)
  CARD_FIELD(C_CloseSession)
  CARD_FIELD(C_Login)
  CARD_FIELD(C_FindObjectsInit)
  CARD_FIELD(C_FindObjects)
  CARD_FIELD(C_FindObjectsFinal)
  CARD_FIELD(C_SignInit)
  CARD_FIELD(C_Sign)
  CARD_FIELD(C_DecryptInit)
  CARD_FIELD(C_Decrypt)
#undef CARD_FIELD
  std::unique_ptr<SharedLibrary> lib;
  CK_SESSION_HANDLE session = 0;
  CK_OBJECT_HANDLE key = 0;
};

class TarviRsaCardTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    BindTarviRsaOnce();
    token_ = hsm_.addToken("rsa" + std::to_string(GetParam()), "1234", GetParam());
    card_.lib = SharedLibrary::Load(SoftHsm::module());
    ASSERT_TRUE(card_.lib);
#define CARD_BIND(name)                               \
  card_.name = card_.lib->Function<CK_##name>(#name); \
  ASSERT_TRUE(card_.name) << #name
    CARD_BIND(C_Initialize);
    CARD_BIND(C_Finalize);
    CARD_BIND(C_GetSlotList);
    CARD_BIND(C_GetTokenInfo);
    CARD_BIND(C_OpenSession);
    CARD_BIND(C_CloseSession);
    CARD_BIND(C_Login);
    CARD_BIND(C_FindObjectsInit);
    CARD_BIND(C_FindObjects);
    CARD_BIND(C_FindObjectsFinal);
    CARD_BIND(C_SignInit);
    CARD_BIND(C_Sign);
    CARD_BIND(C_DecryptInit);
    CARD_BIND(C_Decrypt);
#undef CARD_BIND
    ASSERT_EQ(card_.C_Initialize(nullptr), CKR_OK);
    initialized_ = true;

    CK_ULONG n = 0;
    ASSERT_EQ(card_.C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
    std::vector<CK_SLOT_ID> slots(n);
    ASSERT_EQ(card_.C_GetSlotList(CK_TRUE, slots.data(), &n), CKR_OK);
    std::string label = token_.label;
    label.resize(32, ' ');
    CK_SLOT_ID slot = ~0UL;
    for (CK_ULONG i = 0; i < n; ++i) {
      CK_TOKEN_INFO info;
      if (card_.C_GetTokenInfo(slots[i], &info) == CKR_OK &&
          std::memcmp(info.label, label.data(), sizeof info.label) == 0)
        slot = slots[i];
    }
    ASSERT_NE(slot, ~0UL);
    ASSERT_EQ(card_.C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &card_.session), CKR_OK);
    ASSERT_EQ(card_.C_Login(card_.session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("1234")), 4),
              CKR_OK);
    CK_ULONG cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
    ASSERT_EQ(card_.C_FindObjectsInit(card_.session, tmpl, 1), CKR_OK);
    CK_ULONG found = 0;
    ASSERT_EQ(card_.C_FindObjects(card_.session, &card_.key, 1, &found), CKR_OK);
    card_.C_FindObjectsFinal(card_.session);
    ASSERT_EQ(found, 1u);

    // The public key as the program gets it: from the certificate's DER.
    const Bytes der = File(token_.certDer());
    ASSERT_TRUE(DerFits(der.data(), der.size()));
    ASSERT_EQ(tarvirsa::X509ExtractRSAPublicKey(der.data(), &pub_), 0);
    ASSERT_EQ(pub_.bits, GetParam());
  }
  void TearDown() override {
    if (card_.session) card_.C_CloseSession(card_.session);
    if (initialized_) card_.C_Finalize(nullptr);
  }

  SoftHsm hsm_;
  TokenFiles token_;
  Card card_;
  bool initialized_ = false;
  TR_RSA_PUBLIC_KEY pub_{};
};

TEST_P(TarviRsaCardTest, CardSignatureOpensToTheDigestInfo) {
  TR_SHA_CTX sha;
  ASSERT_EQ(tarvirsa::SHAInit(&sha), 0);
  ASSERT_EQ(tarvirsa::SHAUpdate(&sha, reinterpret_cast<const uint8_t*>("signed range"), 12), 0);
  const uint8_t* d = tarvirsa::SHAFinal(&sha);
  const Bytes di = Sha1DigestInfo(Bytes(d, d + 20));
  ASSERT_EQ(di.size(), 35u);

  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(card_.C_SignInit(card_.session, &mech, card_.key), CKR_OK);
  CK_ULONG sigLen = 0;
  ASSERT_EQ(card_.C_Sign(card_.session, const_cast<CK_BYTE_PTR>(di.data()), di.size(), nullptr, &sigLen), CKR_OK);
  ASSERT_EQ(sigLen, CK_ULONG(GetParam() / 8));
  Bytes sig(sigLen);
  ASSERT_EQ(card_.C_Sign(card_.session, const_cast<CK_BYTE_PTR>(di.data()), di.size(), sig.data(), &sigLen), CKR_OK);

  uint8_t out[TR_MAX_MODULUS_LEN];
  uint32_t outLen = sizeof out;
  ASSERT_EQ(tarvirsa::RSAPublicDecrypt(out, &outLen, sig.data(), static_cast<uint32_t>(sigLen), &pub_), 0);
  EXPECT_EQ(Hex(out, outLen), Hex(di));
}

TEST_P(TarviRsaCardTest, WrappedSessionKeyOpensOnTheCard) {
  TR_RANDOM rnd;
  ASSERT_EQ(tarvirsa::R_RandomCreate(&rnd), 0);
  uint8_t sessionKey[24];
  ASSERT_EQ(tarvirsa::R_GenerateBytes(sessionKey, 24, &rnd), 0);
  uint8_t wrapped[TR_MAX_MODULUS_LEN];
  uint32_t wrappedLen = sizeof wrapped;
  ASSERT_EQ(tarvirsa::RSAPublicEncrypt(wrapped, &wrappedLen, sessionKey, 24, &pub_, &rnd), 0);
  ASSERT_EQ(wrappedLen, uint32_t(GetParam() / 8));

  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(card_.C_DecryptInit(card_.session, &mech, card_.key), CKR_OK);
  CK_ULONG len = 0;
  ASSERT_EQ(card_.C_Decrypt(card_.session, wrapped, wrappedLen, nullptr, &len), CKR_OK);
  Bytes plain(len);
  ASSERT_EQ(card_.C_Decrypt(card_.session, wrapped, wrappedLen, plain.data(), &len), CKR_OK);
  plain.resize(len);
  EXPECT_EQ(Hex(plain), Hex(sessionKey, 24));
}

INSTANTIATE_TEST_SUITE_P(Bits, TarviRsaCardTest, ::testing::Values(1024, 2048, 4096));

}  // namespace
