#include "sign_token_fixture.h"

#include <openssl/x509.h>

#include "card/acg_component.h"
#include "card/cryptoki.h"
#include "platform/library.h"

void CardTokenTest::SetUp() {
  tokens_ = AddTokens(hsm_, tokenSpecs());
  OpenLoggedInSessions(m_, tokens_, sessions_);
  if (HasFatalFailure()) return;
  useToken(0);
}

void CardTokenTest::TearDown() {
  CurrentSession = 0;
  CloseModule(m_);
}

void CardTokenTest::useToken(size_t i) { CurrentSession = sessions_.at(i); }

void CardTokenTest::destroyPublicKeys(size_t i) {
  CK_ULONG cls = CKO_PUBLIC_KEY;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
  CK_OBJECT_HANDLE found[16];
  CK_ULONG n = 0;
  ASSERT_EQ(cryptoki::C_FindObjectsInit(session(i), tmpl, 1), CKR_OK);
  ASSERT_EQ(cryptoki::C_FindObjects(session(i), found, 16, &n), CKR_OK);
  ASSERT_EQ(cryptoki::C_FindObjectsFinal(session(i)), CKR_OK);
  ASSERT_GT(n, 0u);
  for (CK_ULONG k = 0; k < n; ++k) ASSERT_EQ(cryptoki::C_DestroyObject(session(i), found[k]), CKR_OK);
}

void CardTokenTest::addCertificateObject(size_t i, const std::string& derPath, const std::string& label) {
  std::vector<unsigned char> der = ReadAll(derPath);
  ASSERT_FALSE(der.empty()) << derPath;
  const unsigned char* p = der.data();
  X509* x = d2i_X509(nullptr, &p, long(der.size()));
  ASSERT_TRUE(x);
  unsigned char* subject = nullptr;
  int subjectLen = i2d_X509_NAME(X509_get_subject_name(x), &subject);
  X509_free(x);
  ASSERT_GT(subjectLen, 0);
  CK_ULONG cls = CKO_CERTIFICATE, type = CKC_X_509;
  CK_BBOOL yes = CK_TRUE;
  CK_BYTE id[] = {0x02};
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                         {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                         {CKA_TOKEN, &yes, sizeof yes},
                         {CKA_ID, id, sizeof id},
                         {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                         {CKA_SUBJECT, subject, CK_ULONG(subjectLen)},
                         {CKA_VALUE, der.data(), der.size()}};
  CK_OBJECT_HANDLE h = 0;
  CK_RV rv = cryptoki::C_CreateObject(session(i), tmpl, sizeof tmpl / sizeof tmpl[0], &h);
  OPENSSL_free(subject);
  ASSERT_EQ(rv, CKR_OK);
}

std::string OpensslVerifySha1(const std::string& certPem, const std::string& dataPath, const std::string& sigPath) {
  const std::string pub = sigPath + ".pub.pem";
  std::string out;
  if (Run("openssl x509 -in '" + certPem + "' -pubkey -noout > '" + pub + "' 2>&1", &out) != 0) return "x509: " + out;
  if (Run("openssl dgst -sha1 -verify '" + pub + "' -signature '" + sigPath + "' '" + dataPath + "' 2>&1", &out) != 0)
    return out.empty() ? "dgst failed" : out;
  return out.find("Verified OK") != std::string::npos ? "" : out;
}

std::string OpensslVerifyRaw(const std::string& certPem, const std::string& digestInfoPath,
                             const std::string& sigPath) {
  std::string out;
  if (Run("openssl pkeyutl -verify -certin -inkey '" + certPem + "' -in '" + digestInfoPath + "' -sigfile '" + sigPath +
              "' 2>&1",
          &out) != 0)
    return out.empty() ? "pkeyutl failed" : out;
  return out.find("Signature Verified Successfully") != std::string::npos ? "" : out;
}
