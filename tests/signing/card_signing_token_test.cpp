// Signing on the card and reading its certificate, against SoftHSM2 tokens behind
// our middleware module; signatures are checked with the openssl command line.
#include <gtest/gtest.h>

#include <cstring>

#include "card/acg_component.h"
#include "card/cryptoki.h"
#include "sign_token_fixture.h"
#include "signing/card_signing.h"

namespace {

const uint8_t kDigest[20] = {0xDA, 0x39, 0xA3, 0xEE, 0x5E, 0x6B, 0x4B, 0x0D, 0x32, 0x55,
                             0xBF, 0xEF, 0x95, 0x60, 0x18, 0x90, 0xAF, 0xD8, 0x07, 0x09};

const uint8_t kPrefix[15] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

class CardSigning : public CardTokenTest {
 protected:
  std::vector<TokenSpec> tokenSpecs() const override {
    return {{"K1024", 1024, "0x1001"}, {"K2048", 2048, "0x1002"}, {"K4096", 4096, "0x1003"}};
  }
  TempDir tmp_{"cardsign"};
};

TEST_F(CardSigning, SignaturesOfEveryKeySizeVerifyOverTheDigestInfo) {
  const size_t bytes[] = {128, 256, 512};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(token(i).label);
    useToken(i);
    uint8_t sig[kCardSignatureBufferSize];
    std::memset(sig, 0xEE, sizeof sig);
    CK_ULONG len = 0;
    m_.ctl.acpkcs_ctl_record(1);
    ASSERT_TRUE(SignDigestOnCard(session(i), kDigest, sig, sizeof sig, len));
    m_.ctl.acpkcs_ctl_record(0);
    EXPECT_EQ(len, bytes[i]);
    EXPECT_EQ(sig[len], 0xEE);  // nothing written behind the signature
    const std::string log = takeLog();
    // The DigestInfo is always 35 bytes; the first C_Sign only asks for the length.
    EXPECT_NE(log.find("C_SignInit"), std::string::npos) << log;
    EXPECT_NE(log.find("ulDataLen=35 pSignature=null"), std::string::npos) << log;
    EXPECT_NE(log.find("ulDataLen=35 pSignature=buf"), std::string::npos) << log;

    uint8_t info[35];
    BuildSha1DigestInfo(kDigest, info);
    EXPECT_EQ(0, std::memcmp(info, kPrefix, 15));
    WriteAll(tmp_.file("info.bin"), info, sizeof info);
    WriteAll(tmp_.file("sig.bin"), sig, len);
    EXPECT_EQ(OpensslVerifyRaw(token(i).certPem(), tmp_.file("info.bin"), tmp_.file("sig.bin")), "");
  }
  // A caller's buffer too small for the key's signature is refused, not overrun.
  useToken(2);
  uint8_t small[256];
  CK_ULONG len = 7;
  EXPECT_FALSE(SignDigestOnCard(session(2), kDigest, small, sizeof small, len));
  EXPECT_EQ(len, 7u);
  // The session is free for the next signature.
  uint8_t sig[kCardSignatureBufferSize];
  EXPECT_TRUE(SignDigestOnCard(session(2), kDigest, sig, sizeof sig, len));
}

TEST_F(CardSigning, CertificateIsTheValueOfTheKeysCertificateObject) {
  std::vector<uint8_t> cert = {1, 2, 3};
  m_.ctl.acpkcs_ctl_record(1);
  ASSERT_TRUE(ReadCardCertificate(session(1), cert));
  m_.ctl.acpkcs_ctl_record(0);
  const std::vector<unsigned char> der = ReadAll(token(1).certDer());
  EXPECT_EQ(cert, std::vector<uint8_t>(der.begin(), der.end()));
  const std::string log = takeLog();
  // CKA_CLASS and CKA_CERTIFICATE_TYPE with CK_ULONG values; at most 50 handles.
  EXPECT_NE(log.find("pTemplate=[0x0:8,0x80:8] ulCount=2 -> 0x0"), std::string::npos) << log;
  EXPECT_NE(log.find("ulMaxObjectCount=50"), std::string::npos) << log;

  // With a second certificate object, of no key on this card, the value is still
  // the one of the card's key, whichever the search returns first.
  addCertificateObject(1, token(0).certDer(), "other");
  CK_OBJECT_HANDLE first = 0;
  ASSERT_TRUE(FindCardCertificateObject(session(1), first));
  std::vector<uint8_t> value(4096);
  CK_ATTRIBUTE a = {CKA_VALUE, value.data(), value.size()};
  ASSERT_EQ(cryptoki::C_GetAttributeValue(session(1), first, &a, 1), CKR_OK);
  value.resize(a.ulValueLen);
  ASSERT_TRUE(ReadCardCertificate(session(1), cert));
  EXPECT_EQ(cert, value);
  EXPECT_EQ(cert, std::vector<uint8_t>(der.begin(), der.end()));
}

TEST_F(CardSigning, NoPublicKeyObjectMeansNoSignature) {
  CK_OBJECT_HANDLE h = 0;
  EXPECT_EQ(HasRsaPublicKeyObject(h), 1);
  EXPECT_NE(h, 0u);
  destroyPublicKeys(0);
  EXPECT_EQ(HasRsaPublicKeyObject(h), 0);
  uint8_t sig[kCardSignatureBufferSize];
  CK_ULONG len = 0;
  m_.ctl.acpkcs_ctl_record(1);
  EXPECT_FALSE(SignDigestOnCard(session(0), kDigest, sig, sizeof sig, len));
  m_.ctl.acpkcs_ctl_record(0);
  const std::string log = takeLog();
  EXPECT_EQ(log.find("C_SignInit"), std::string::npos) << log;
}

TEST_F(CardSigning, PublicKeyIsLookedForInTheCardLayersSession) {
  // The key's own session would find a public key; the card layer's has none.
  uint8_t sig[kCardSignatureBufferSize];
  CK_ULONG len = 0;
  CurrentSession = 0;
  CK_OBJECT_HANDLE h = 0;
  EXPECT_EQ(HasRsaPublicKeyObject(h), -1);
  EXPECT_FALSE(SignDigestOnCard(session(0), kDigest, sig, sizeof sig, len));
  useToken(0);
  EXPECT_TRUE(SignDigestOnCard(session(0), kDigest, sig, sizeof sig, len));
}

TEST_F(CardSigning, EveryRefusedCallFails) {
  struct Case {
    const char* function;
    int nth;
    bool sign;  // else the certificate read
  } cases[] = {
      {"C_FindObjectsInit", 1, true},
      {"C_FindObjects", 1, true},
      {"C_FindObjectsFinal", 1, true},
      {"C_FindObjectsInit", 2, true},
      {"C_FindObjects", 2, true},
      {"C_SignInit", 1, true},
      {"C_Sign", 1, true},
      {"C_Sign", 2, true},
      {"C_FindObjectsInit", 1, false},
      {"C_FindObjects", 1, false},
      {"C_FindObjectsFinal", 1, false},
      {"C_GetAttributeValue", 1, false},
      {"C_GetAttributeValue", 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.function) + " #" + std::to_string(c.nth) + (c.sign ? " sign" : " cert"));
    m_.ctl.acpkcs_ctl_fail(c.function, CKR_DEVICE_ERROR, c.nth);
    m_.ctl.acpkcs_ctl_record(1);
    if (c.sign) {
      uint8_t sig[kCardSignatureBufferSize];
      CK_ULONG len = 0;
      EXPECT_FALSE(SignDigestOnCard(session(0), kDigest, sig, sizeof sig, len));
      EXPECT_EQ(len, 0u);
    } else {
      std::vector<uint8_t> cert = {9};
      EXPECT_FALSE(ReadCardCertificate(session(0), cert));
      EXPECT_TRUE(cert.empty());
    }
    m_.ctl.acpkcs_ctl_record(0);
    m_.ctl.acpkcs_ctl_clear_failures();
    const std::string log = takeLog();
    // A failed search is still ended (an injected Final leaves the real one open).
    if (std::string(c.function) == "C_FindObjects") {
      EXPECT_NE(log.find("C_FindObjectsFinal"), std::string::npos) << log;
    }
    if (std::string(c.function) == "C_FindObjectsFinal") cryptoki::C_FindObjectsFinal(session(0));
    if (std::string(c.function) == "C_Sign") {
      // The operation the refused size query left: end it as the card would.
      uint8_t info[35], sig[512];
      CK_ULONG sl = sizeof sig;
      BuildSha1DigestInfo(kDigest, info);
      cryptoki::C_Sign(session(0), info, 35, sig, &sl);
    }
  }
  // Nothing was left half-open for the next caller.
  uint8_t sig[kCardSignatureBufferSize];
  CK_ULONG len = 0;
  EXPECT_TRUE(SignDigestOnCard(session(0), kDigest, sig, sizeof sig, len));
  std::vector<uint8_t> cert;
  EXPECT_TRUE(ReadCardCertificate(session(0), cert));
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(CardSigning, WithoutLoginThereIsNoPrivateKey) {
  ASSERT_EQ(cryptoki::C_Logout(session(0)), CKR_OK);
  uint8_t sig[kCardSignatureBufferSize];
  CK_ULONG len = 0;
  EXPECT_FALSE(SignDigestOnCard(session(0), kDigest, sig, sizeof sig, len));
  // The certificate is public: it reads without a login.
  std::vector<uint8_t> cert;
  EXPECT_TRUE(ReadCardCertificate(session(0), cert));
}

}  // namespace
