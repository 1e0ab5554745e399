#include "encrypt_fixture.h"

#include <dirent.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <QDir>
#include <cstdio>
#include <stdexcept>

#include "card/cryptoki.h"
#include "platform/library.h"
#include "signing/activity_log.h"
#include "signing/data_module.h"
#include "signing/settings.h"

namespace enctest {

namespace {
void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("libcrypto: ") + what);
}

std::string Base64Decode(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    size_t v = alphabet.find(c);
    if (v == std::string::npos) continue;
    acc = (acc << 6) | uint32_t(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(char((acc >> bits) & 0xFF));
    }
  }
  return out;
}

Bytes Unhex(const std::string& hex) {
  Bytes b;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return b;
}

std::string Between(const std::string& text, const std::string& open, const std::string& close, size_t& from) {
  size_t a = text.find(open, from);
  if (a == std::string::npos) throw std::runtime_error("no " + open);
  a += open.size();
  size_t b = text.find(close, a);
  if (b == std::string::npos) throw std::runtime_error("no " + close);
  from = b + close.size();
  return text.substr(a, b - a);
}
}  // namespace

Bytes Des3Ecb(const Bytes& key24, const Bytes& data, bool encrypt, size_t piece) {
  Bytes out(data.size());
  if (piece == 0) piece = std::max<size_t>(data.size(), 8);
  for (size_t at = 0; at < data.size(); at += piece) {
    size_t n = std::min(piece, data.size() - at);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    Check(EVP_CipherInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, key24.data(), nullptr, encrypt ? 1 : 0) == 1, "init");
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Check(EVP_CipherUpdate(ctx, out.data() + at, &len, data.data() + at, int(n)) == 1 && len == int(n), "update");
    EVP_CIPHER_CTX_free(ctx);
  }
  return out;
}

Bytes Pad8(const Bytes& plain) {
  Bytes p = plain;
  if (p.empty()) return p;
  size_t pad = 8 - p.size() % 8;
  p.insert(p.end(), pad, uint8_t(pad));
  return p;
}

Bytes RsaWrap(EVP_PKEY* key, const Bytes& data) {
  EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(key, nullptr);
  Check(c && EVP_PKEY_encrypt_init(c) == 1 && EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PADDING) == 1, "wrap init");
  size_t n = 0;
  Check(EVP_PKEY_encrypt(c, nullptr, &n, data.data(), data.size()) == 1, "wrap size");
  Bytes out(n);
  Check(EVP_PKEY_encrypt(c, out.data(), &n, data.data(), data.size()) == 1, "wrap");
  out.resize(n);
  EVP_PKEY_CTX_free(c);
  return out;
}

Bytes RsaUnwrap(EVP_PKEY* key, const Bytes& data) {
  EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(key, nullptr);
  Check(c && EVP_PKEY_decrypt_init(c) == 1 && EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PADDING) == 1, "unwrap init");
  size_t n = 0;
  Check(EVP_PKEY_decrypt(c, nullptr, &n, data.data(), data.size()) == 1, "unwrap size");
  Bytes out(n);
  bool ok = EVP_PKEY_decrypt(c, out.data(), &n, data.data(), data.size()) == 1;
  EVP_PKEY_CTX_free(c);
  if (!ok) return {};
  out.resize(n);
  return out;
}

std::shared_ptr<EVP_PKEY> LoadPrivateKey(const std::string& pemPath) {
  FILE* f = std::fopen(pemPath.c_str(), "r");
  Check(f, "open key");
  EVP_PKEY* k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  Check(k, "read key");
  return std::shared_ptr<EVP_PKEY>(k, EVP_PKEY_free);
}

std::shared_ptr<EVP_PKEY> CertPublicKey(const Bytes& certDer) {
  const unsigned char* p = certDer.data();
  X509* x = d2i_X509(nullptr, &p, long(certDer.size()));
  Check(x, "certificate");
  EVP_PKEY* k = X509_get_pubkey(x);
  X509_free(x);
  Check(k, "public key");
  return std::shared_ptr<EVP_PKEY>(k, EVP_PKEY_free);
}

std::string Spec::text() const {
  std::string s = "<?xml version=\"1.0\" ?>\r\n<!DOCTYPE EncodedFile SYSTEM \"EncodedFile.dtd\">\r\n<EncodedFile>\r\n";
  s += "<Version>\r\n" + version + "\r\n</Version>\r\n";
  for (const Recipient& r : recipients)
    s += "<Recipient>\r\n<Subject>\r\n" + r.subject + "\r\n</Subject>\r\n<CertificateSN>\r\n" + r.serial +
         "\r\n</CertificateSN>\r\n</Recipient>\r\n";
  s += "<File compress=\"zip\" encoding=\"base64\">\r\n<![CDATA[\r\n" + payload + "\r\n]]>\r\n</File>\r\n";
  for (const std::string& k : keysHex) s += "<SessionKey>\r\n" + k + "\r\n</SessionKey>\r\n";
  s += "</EncodedFile>\r\n";
  return s;
}

std::string MakeContainerFromCipher(const Bytes& cipher, const Bytes& key24, const std::vector<EVP_PKEY*>& recipients,
                                    const std::vector<std::string>& serials) {
  Spec s;
  s.recipients.clear();
  for (size_t i = 0; i < recipients.size(); ++i) {
    Spec::Recipient r;
    if (i < serials.size()) r.serial = serials[i];
    s.recipients.push_back(r);
    s.keysHex.push_back(TestHexUpper(RsaWrap(recipients[i], key24)));
  }
  s.payload = TestBase64Lines(cipher);
  return s.text();
}

std::string MakeContainer(const Bytes& plain, const Bytes& key24, const std::vector<EVP_PKEY*>& recipients,
                          const std::vector<std::string>& serials) {
  return MakeContainerFromCipher(Des3Ecb(key24, Pad8(plain), true), key24, recipients, serials);
}

Parts Split(const std::string& text) {
  Parts p;
  size_t at = 0;
  p.version = Between(text, "<Version>\r\n", "\r\n</Version>", at);
  p.subject = Between(text, "<Subject>\r\n", "\r\n</Subject>", at);
  p.serial = Between(text, "<CertificateSN>\r\n", "\r\n</CertificateSN>", at);
  p.payloadText = Between(text, "<![CDATA[\r\n", "\r\n]]>", at);
  std::string c = Base64Decode(p.payloadText);
  p.cipher.assign(c.begin(), c.end());
  for (;;) {
    size_t k = text.find("<SessionKey>\r\n", at);
    if (k == std::string::npos) break;
    p.wrappedKeys.push_back(Unhex(Between(text, "<SessionKey>\r\n", "\r\n</SessionKey>", at)));
  }
  return p;
}

std::unique_ptr<TCertifikat> LoadCert(const Bytes& der) {
  auto c = std::make_unique<TCertifikat>();
  QString error;
  if (!c->LoadFromMemory(der.data(), int32_t(der.size()), error, false))
    throw std::runtime_error("certificate: " + error.toStdString());
  return c;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// ---- engine fixture -------------------------------------------------------------

void EngineTest::SetUp() {
  std::string error;
  ASSERT_TRUE(BindTarviRsaForTests(&error)) << error;
  dm_ = std::make_unique<TdmCollector>();
  dmCollector = dm_.get();
  Settings = std::make_unique<TPostavkeRada>(dir("install"));
  VersionText = QStringLiteral("Tarvi Sealdesk 1.0.0.8");
  LastDecryptedFile.clear();
}

void EngineTest::TearDown() {
  if (ActivityLogStream) {
    delete ActivityLogStream;
    ActivityLogStream = nullptr;
  }
  ActivityLogOn = false;
  Settings.reset();
  dm_.reset();
  dmCollector = nullptr;
}

QString EngineTest::dir(const std::string& sub) const {
  std::string p = sub.empty() ? tmp_.path() : tmp_.file(sub);
  QDir().mkpath(QString::fromStdString(p));
  return QString::fromStdString(p) + "/";
}

// ---- token fixture ---------------------------------------------------------------

void EncTokenTest::SetUp() {
  EngineTest::SetUp();
  if (HasFatalFailure()) return;
  tokens_ = AddTokens(hsm_, tokenSpecs());
  beforeSessions();
  if (HasFatalFailure()) return;
  OpenLoggedInSessions(m_, tokens_, sessions_);
}

void EncTokenTest::TearDown() {
  CloseModule(m_);
  EngineTest::TearDown();
}

void EncTokenTest::reopen(size_t i) {
  cryptoki::C_CloseSession(sessions_.at(i));
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(cryptoki::C_OpenSession(m_.slotOf(tokens_.at(i).label), CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                    nullptr, &h),
            CKR_OK);
  // The token stays logged in while any of its sessions is.
  CK_RV rv = m_.login(h, tokens_.at(i).pin);
  ASSERT_TRUE(rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) << rv;
  sessions_[i] = h;
}

QString EncTokenTest::cardSerial(size_t i) const { return LoadCert(certDer(i))->SerialHex; }

void EncTokenTest::importPrivateKey(size_t i, const std::string& pemPath, const std::string& id) {
  std::string out;
  std::string cmd = "pkcs11-tool --module " + std::string(SoftHsm::module()) + " --token-label " + token(i).label +
                    " --login --pin " + token(i).pin + " --write-object '" + pemPath + "' --type privkey --id " + id +
                    " --label extra 2>&1";
  ASSERT_EQ(::Run(cmd, &out), 0) << out;
}

}  // namespace enctest
