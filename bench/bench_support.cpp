#include "bench_support.h"

#include <QDir>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "card/certificate.h"
#include "card/tarvirsa_api.h"

namespace bench {

bool Sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool MakeContainer(const std::string& path, uint64_t bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::fputs(
      "<?xml version=\"1.0\" ?>\r\n<!DOCTYPE FileUpload SYSTEM \"\">\r\n<FileUpload>\r\n<TimeStamp>\r\n"
      "20240102030405\r\n</TimeStamp>\r\n<File compress=\"zip\" encoding=\"base64\">\r\n<![CDATA[\r\n",
      f);
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  uint64_t s = 0x9E3779B97F4A7C15ULL;
  std::string block;
  for (uint64_t written = 0; written < bytes;) {
    block.clear();
    for (int line = 0; line < 4096; ++line) {
      for (int i = 0; i < 64; ++i) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        block += a[(s >> 58) & 63];
      }
      block += "\r\n";
    }
    std::fwrite(block.data(), 1, block.size(), f);
    written += block.size();
  }
  std::fputs("QQ==\r\n]]>\r\n</File>\r\n</FileUpload>", f);
  return std::fclose(f) == 0;
}

bool MakeToken(Token& t) {
  t.conf = t.dir + "/softhsm2.conf";
  t.key = t.dir + "/user.key";
  t.certDer = t.dir + "/user.der";
  if (!QDir().mkpath(QString::fromStdString(t.dir + "/tokens"))) return false;
  FILE* f = std::fopen(t.conf.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n", t.dir.c_str());
  std::fclose(f);
  setenv("SOFTHSM2_CONF", t.conf.c_str(), 1);
  const std::string q = "'" + t.dir;
  return Sh("softhsm2-util --init-token --free --label Bench --so-pin 12345678 --pin 1234 >/dev/null") &&
         Sh("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + q + "/user.key' 2>/dev/null") &&
         Sh("openssl req -new -x509 -key " + q +
            "/user.key' -subj '/CN=Bench Recipient/O=Tarvi Test/C=HR' -days 30 "
            "-outform DER -out " +
            q + "/user.der' 2>/dev/null") &&
         Sh(std::string("pkcs11-tool --module ") + kSoftHsm +
            " --token-label Bench --login --pin 1234 --write-object " + q +
            "/user.key' --type privkey --id 01 >/dev/null 2>&1");
}

bool LoadTarviRsa(std::unique_ptr<SharedLibrary>& rsa) {
  rsa = SharedLibrary::Load("tarvirsa.dll");
  if (rsa && FillTarviRsaTable(*rsa).empty()) return true;
  std::fprintf(stderr, "tarvirsa.dll does not load\n");
  return false;
}

bool MakeRecipient(const std::string& dir, Token& token, TCertifikat& cert) {
  token.dir = dir;
  if (!MakeToken(token)) {
    std::fprintf(stderr, "cannot make the token (softhsm2-util, openssl, pkcs11-tool)\n");
    return false;
  }
  QString error;
  const std::vector<uint8_t> der = ReadFile(token.certDer);
  if (!cert.LoadFromMemory(der.data(), int32_t(der.size()), error, false)) {
    std::fprintf(stderr, "certificate: %s\n", error.toUtf8().constData());
    return false;
  }
  return true;
}

CK_SESSION_HANDLE OpenCard(std::unique_ptr<SharedLibrary>& module) {
  module = SharedLibrary::Load(kSoftHsm);
  if (!module || (!FillCryptokiTable(*module).empty() && !HasAllStandardCryptokiFunctions())) return 0;
  if (cryptoki::C_Initialize(nullptr) != CKR_OK) return 0;
  CK_ULONG n = 0;
  cryptoki::C_GetSlotList(CK_TRUE, nullptr, &n);
  std::vector<CK_SLOT_ID> slotIds(n);
  cryptoki::C_GetSlotList(CK_TRUE, slotIds.data(), &n);
  for (CK_ULONG i = 0; i < n; ++i) {
    CK_TOKEN_INFO ti;
    if (cryptoki::C_GetTokenInfo(slotIds[i], &ti) != CKR_OK || std::memcmp(ti.label, "Bench ", 6) != 0) continue;
    CK_SESSION_HANDLE h = 0;
    if (cryptoki::C_OpenSession(slotIds[i], CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK) return 0;
    CK_UTF8CHAR pin[] = "1234";
    if (cryptoki::C_Login(h, CKU_USER, pin, 4) != CKR_OK) return 0;
    return h;
  }
  return 0;
}

}  // namespace bench
