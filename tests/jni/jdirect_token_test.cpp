// The J/Direct C API of the delivered build against SoftHSM2, checked with
// OpenSSL where an independent answer exists.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bridge_fixture.h"
#include "support/token.h"

namespace {

using Bytes = std::vector<CK_BYTE>;

class JDirectToken : public ::testing::Test {
 protected:
  void SetUp() override {
    files = hsm.addToken("JDirect", "1234", 1024);
    ASSERT_EQ(JDIRECT(bridge, LoadPKCS)(SoftHsm::module()), 1);
    ASSERT_EQ(JDIRECT(bridge, C_Initialize)(nullptr), CKR_OK);
    slot = FindSlot("JDirect");
    ASSERT_EQ(JDIRECT(bridge, C_OpenSession)(slot, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr, &session),
              CKR_OK);
  }
  void TearDown() override {
    EXPECT_EQ(JDIRECT(bridge, C_CloseSession)(session), CKR_OK);
    EXPECT_EQ(JDIRECT(bridge, C_Finalize)(nullptr), CKR_OK);
  }

  CK_SLOT_ID FindSlot(const std::string& label) {
    CK_ULONG count = 0;
    EXPECT_EQ(JDIRECT(bridge, C_GetSlotList)(CK_TRUE, nullptr, &count), CKR_OK);
    std::vector<CK_SLOT_ID> slots(count);
    EXPECT_EQ(JDIRECT(bridge, C_GetSlotList)(CK_TRUE, slots.data(), &count), CKR_OK);
    for (CK_SLOT_ID s : slots) {
      CK_TOKEN_INFO info;
      EXPECT_EQ(JDIRECT(bridge, C_GetTokenInfo)(s, &info), CKR_OK);
      std::string padded(reinterpret_cast<char*>(info.label), sizeof info.label);
      if (padded.substr(0, padded.find_last_not_of(' ') + 1) == label) return s;
    }
    ADD_FAILURE() << "no token " << label;
    return 0;
  }

  void Login() {
    CK_UTF8CHAR pin[] = "1234";
    ASSERT_EQ(JDIRECT(bridge, C_Login)(session, CKU_USER, pin, 4), CKR_OK);
  }

  // The one object of a class with the token's label.
  CK_OBJECT_HANDLE FindOne(CK_OBJECT_CLASS cls) {
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_LABEL, const_cast<char*>(files.label.data()), files.label.size()}};
    EXPECT_EQ(JDIRECT(bridge, C_FindObjectsInit)(session, tmpl, 2), CKR_OK);
    CK_OBJECT_HANDLE found[4];
    CK_ULONG n = 0;
    EXPECT_EQ(JDIRECT(bridge, C_FindObjects)(session, found, 4, &n), CKR_OK);
    EXPECT_EQ(JDIRECT(bridge, C_FindObjectsFinal)(session), CKR_OK);
    EXPECT_EQ(n, 1u);
    return n ? found[0] : CK_INVALID_HANDLE;
  }

  EVP_PKEY* PublicKey() {
    std::FILE* f = std::fopen((files.dir + "/pub.pem").c_str(), "r");
    EVP_PKEY* key = f ? PEM_read_PUBKEY(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) std::fclose(f);
    return key;
  }

  SoftHsm hsm;
  TokenFiles files;
  Library bridge{BinFile(kNewBuild)};
  CK_SLOT_ID slot = 0;
  CK_SESSION_HANDLE session = 0;
};

TEST_F(JDirectToken, InformationAndLoginCodesPassUnchanged) {
  CK_INFO info;
  ASSERT_EQ(JDIRECT(bridge, C_GetInfo)(&info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.manufacturerID), 7), "SoftHSM");
  CK_SLOT_INFO slotInfo;
  EXPECT_EQ(JDIRECT(bridge, C_GetSlotInfo)(slot, &slotInfo), CKR_OK);
  EXPECT_TRUE(slotInfo.flags & CKF_TOKEN_PRESENT);

  CK_UTF8CHAR wrong[] = "0000";
  EXPECT_EQ(JDIRECT(bridge, C_Login)(session, CKU_USER, wrong, 4), CKR_PIN_INCORRECT);
  Login();
  CK_SESSION_INFO sessionInfo;
  EXPECT_EQ(JDIRECT(bridge, C_GetSessionInfo)(session, &sessionInfo), CKR_OK);
  EXPECT_EQ(sessionInfo.state, CKS_RW_USER_FUNCTIONS);
  EXPECT_EQ(sessionInfo.slotID, slot);
  EXPECT_EQ(JDIRECT(bridge, C_Logout)(session), CKR_OK);

  // SoftHSM has neither vendor function.
  EXPECT_EQ(JDIRECT(bridge, C_ResetToken)(slot), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(JDIRECT(bridge, C_UnlockPIN)(session, wrong, 4, wrong, 4), CKR_FUNCTION_NOT_SUPPORTED);

  CK_ULONG count = 0;
  ASSERT_EQ(JDIRECT(bridge, C_GetMechanismList)(slot, nullptr, &count), CKR_OK);
  std::vector<CK_MECHANISM_TYPE> mechs(count);
  ASSERT_EQ(JDIRECT(bridge, C_GetMechanismList)(slot, mechs.data(), &count), CKR_OK);
  EXPECT_NE(std::find(mechs.begin(), mechs.end(), CKM_SHA1_RSA_PKCS), mechs.end());
  CK_MECHANISM_INFO mechInfo;
  EXPECT_EQ(JDIRECT(bridge, C_GetMechanismInfo)(slot, CKM_RSA_PKCS, &mechInfo), CKR_OK);
  EXPECT_TRUE(mechInfo.flags & CKF_SIGN);
}

TEST_F(JDirectToken, SignaturesOfTheCardKeyVerifyWithOpenSsl) {
  Login();
  CK_OBJECT_HANDLE key = FindOne(CKO_PRIVATE_KEY);
  CK_MECHANISM mech{CKM_SHA1_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(JDIRECT(bridge, C_SignInit)(session, &mech, key), CKR_OK);
  CK_BYTE data[] = "a document to sign";
  CK_ULONG length = 0;
  ASSERT_EQ(JDIRECT(bridge, C_Sign)(session, data, sizeof data - 1, nullptr, &length), CKR_OK);
  ASSERT_EQ(length, 128u);
  Bytes signature(length);
  ASSERT_EQ(JDIRECT(bridge, C_Sign)(session, data, sizeof data - 1, signature.data(), &length), CKR_OK);

  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pub(PublicKey(), EVP_PKEY_free);
  ASSERT_TRUE(pub);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  ASSERT_EQ(EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha1(), nullptr, pub.get()), 1);
  EXPECT_EQ(EVP_DigestVerify(ctx.get(), signature.data(), length, data, sizeof data - 1), 1);

  // The token verifies it too, and refuses a changed document.
  CK_OBJECT_HANDLE pubKey = FindOne(CKO_PUBLIC_KEY);
  ASSERT_EQ(JDIRECT(bridge, C_VerifyInit)(session, &mech, pubKey), CKR_OK);
  EXPECT_EQ(JDIRECT(bridge, C_Verify)(session, data, sizeof data - 1, signature.data(), length), CKR_OK);
  data[0] ^= 1;
  ASSERT_EQ(JDIRECT(bridge, C_VerifyInit)(session, &mech, pubKey), CKR_OK);
  EXPECT_EQ(JDIRECT(bridge, C_Verify)(session, data, sizeof data - 1, signature.data(), length), CKR_SIGNATURE_INVALID);
}

TEST_F(JDirectToken, GeneratedKeyPairWithTemplatesInBridgeBlocks) {
  Login();
  // Attribute values in jdirect_AllocMem blocks: their int addresses are native pointers.
  auto alloc = JDIRECT(bridge, AllocMem);
  auto setMem = JDIRECT(bridge, SetMem);
  int32_t bitsBlock = alloc(sizeof(CK_ULONG)), exponentBlock = alloc(3), trueBlock = alloc(1);
  ASSERT_TRUE(bitsBlock > 0 && exponentBlock > 0 && trueBlock > 0);
  CK_ULONG bits = 1024;
  const CK_BYTE exponent[] = {1, 0, 1};
  const CK_BBOOL yes = CK_TRUE;
  setMem(bitsBlock, &bits, 0, sizeof bits);
  setMem(exponentBlock, exponent, 0, 3);
  setMem(trueBlock, &yes, 0, 1);
  auto at = [](int32_t block) { return reinterpret_cast<void*>(static_cast<uintptr_t>(block)); };
  CK_ATTRIBUTE pubTmpl[] = {{CKA_MODULUS_BITS, at(bitsBlock), sizeof bits},
                            {CKA_PUBLIC_EXPONENT, at(exponentBlock), 3},
                            {CKA_VERIFY, at(trueBlock), 1}};
  CK_ATTRIBUTE privTmpl[] = {{CKA_SIGN, at(trueBlock), 1}};
  CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE pubKey = 0, privKey = 0;
  ASSERT_EQ(JDIRECT(bridge, C_GenerateKeyPair)(session, &gen, pubTmpl, 3, privTmpl, 1, &pubKey, &privKey), CKR_OK);

  CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
  CK_BYTE data[] = "short message";
  ASSERT_EQ(JDIRECT(bridge, C_SignInit)(session, &mech, privKey), CKR_OK);
  Bytes signature(128);
  CK_ULONG length = signature.size();
  ASSERT_EQ(JDIRECT(bridge, C_Sign)(session, data, sizeof data - 1, signature.data(), &length), CKR_OK);
  ASSERT_EQ(JDIRECT(bridge, C_VerifyInit)(session, &mech, pubKey), CKR_OK);
  EXPECT_EQ(JDIRECT(bridge, C_Verify)(session, data, sizeof data - 1, signature.data(), length), CKR_OK);

  // The modulus read back into a block.
  int32_t modulus = alloc(256);
  CK_ATTRIBUTE read[] = {{CKA_MODULUS, at(modulus), 256}};
  ASSERT_EQ(JDIRECT(bridge, C_GetAttributeValue)(session, pubKey, read, 1), CKR_OK);
  EXPECT_EQ(read[0].ulValueLen, 128u);
  CK_BYTE top = 0;
  JDIRECT(bridge, GetMem)(modulus, &top, 0, 1);
  EXPECT_TRUE(top & 0x80);
  EXPECT_EQ(JDIRECT(bridge, C_DestroyObject)(session, privKey), CKR_OK);
  EXPECT_EQ(JDIRECT(bridge, C_DestroyObject)(session, pubKey), CKR_OK);
  for (int32_t b : {bitsBlock, exponentBlock, trueBlock, modulus}) JDIRECT(bridge, FreeMem)(b);
}

TEST_F(JDirectToken, DigestAndDecryptAgreeWithOpenSsl) {
  Login();
  CK_MECHANISM sha1{CKM_SHA_1, nullptr, 0};
  CK_BYTE abc[] = "abc";
  ASSERT_EQ(JDIRECT(bridge, C_DigestInit)(session, &sha1), CKR_OK);
  Bytes digest(20);
  CK_ULONG length = digest.size();
  ASSERT_EQ(JDIRECT(bridge, C_Digest)(session, abc, 3, digest.data(), &length), CKR_OK);
  Bytes expected(SHA_DIGEST_LENGTH);
  SHA1(abc, 3, expected.data());
  EXPECT_EQ(digest, expected);

  // Encrypted by OpenSSL with the public key, decrypted by the token.
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pub(PublicKey(), EVP_PKEY_free);
  ASSERT_TRUE(pub);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(pub.get(), nullptr),
                                                                  EVP_PKEY_CTX_free);
  ASSERT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), 1);
  const std::string secret = "24-byte session key here";
  std::size_t cipherLen = 0;
  ASSERT_EQ(
      EVP_PKEY_encrypt(ctx.get(), nullptr, &cipherLen, reinterpret_cast<const CK_BYTE*>(secret.data()), secret.size()),
      1);
  Bytes cipher(cipherLen);
  ASSERT_EQ(EVP_PKEY_encrypt(ctx.get(), cipher.data(), &cipherLen, reinterpret_cast<const CK_BYTE*>(secret.data()),
                             secret.size()),
            1);
  CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(JDIRECT(bridge, C_DecryptInit)(session, &rsa, FindOne(CKO_PRIVATE_KEY)), CKR_OK);
  CK_ULONG plainLen = 0;
  ASSERT_EQ(JDIRECT(bridge, C_Decrypt)(session, cipher.data(), cipherLen, nullptr, &plainLen), CKR_OK);
  Bytes plain(plainLen);
  ASSERT_EQ(JDIRECT(bridge, C_Decrypt)(session, cipher.data(), cipherLen, plain.data(), &plainLen), CKR_OK);
  EXPECT_EQ(std::string(plain.begin(), plain.begin() + plainLen), secret);
}

}  // namespace
