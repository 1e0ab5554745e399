#include "container_fixture.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <stdexcept>

#include "card/tarvirsa_api.h"
#include "platform/library.h"
#include "support/temp_dir.h"

const Bytes kTestSha1Prefix = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                               0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

bool BindTarviRsaForTests(std::string* error) {
  static std::unique_ptr<SharedLibrary> lib;
  static std::string failure;
  if (!lib && failure.empty()) {
    std::string e;
    lib = SharedLibrary::Load("tarvirsa.dll", &e);
    if (!lib)
      failure = "tarvirsa.dll: " + e;
    else if (!FillTarviRsaTable(*lib).empty())
      failure = "tarvirsa.dll lacks functions";
  }
  if (error) *error = failure;
  return failure.empty();
}

namespace {
void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("libcrypto: ") + what);
}

std::shared_ptr<EVP_PKEY> KeyOfSize(int bits, int index) {
  static std::map<std::pair<int, int>, std::shared_ptr<EVP_PKEY>> cache;
  auto& k = cache[{bits, index}];
  if (!k) {
    EVP_PKEY* raw = EVP_RSA_gen(unsigned(bits));
    Check(raw, "EVP_RSA_gen");
    k.reset(raw, EVP_PKEY_free);
  }
  return k;
}

void AddName(X509_NAME* n, const char* field, const std::string& value) {
  if (value.empty()) return;
  Check(X509_NAME_add_entry_by_txt(n, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.data()),
                                   int(value.size()), -1, 0) == 1,
        "name entry");
}

void AddExt(X509* x, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, x, nullptr, nullptr, 0);
  X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  Check(e, "extension");
  X509_add_ext(x, e, -1);
  X509_EXTENSION_free(e);
}
}  // namespace

TestIdentity MakeTestIdentity(const TestCertSpec& spec, const TestIdentity* issuer, int keyIndex) {
  TestIdentity id;
  id.bits = spec.bits;
  id.key = KeyOfSize(spec.bits, keyIndex);

  X509* x = X509_new();
  Check(x, "X509_new");
  X509_set_version(x, 2);
  BIGNUM* bn = BN_bin2bn(spec.serial.data(), int(spec.serial.size()), nullptr);
  ASN1_INTEGER* serial = BN_to_ASN1_INTEGER(bn, nullptr);
  X509_set_serialNumber(x, serial);
  ASN1_INTEGER_free(serial);
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(x), long(spec.notBefore));
  X509_gmtime_adj(X509_getm_notAfter(x), long(spec.notAfter));
  X509_NAME* name = X509_get_subject_name(x);
  AddName(name, "C", spec.c);
  AddName(name, "O", spec.o);
  AddName(name, "OU", spec.ou);
  AddName(name, "CN", spec.cn);
  X509* issuerCert = nullptr;
  if (issuer) {
    const unsigned char* p = issuer->certDer.data();
    issuerCert = d2i_X509(nullptr, &p, long(issuer->certDer.size()));
    Check(issuerCert, "issuer certificate");
    X509_set_issuer_name(x, X509_get_subject_name(issuerCert));
  } else {
    X509_set_issuer_name(x, name);
  }
  X509_set_pubkey(x, id.key.get());
  if (spec.ca) {
    AddExt(x, issuerCert ? issuerCert : x, NID_basic_constraints, "critical,CA:TRUE");
    AddExt(x, issuerCert ? issuerCert : x, NID_key_usage, "critical,keyCertSign,cRLSign");
  }
  Check(X509_sign(x, issuer ? issuer->key.get() : id.key.get(), EVP_sha256()) > 0, "X509_sign");
  int len = i2d_X509(x, nullptr);
  Check(len > 0, "i2d_X509");
  id.certDer.resize(size_t(len));
  unsigned char* out = id.certDer.data();
  i2d_X509(x, &out);
  X509_free(x);
  X509_free(issuerCert);
  return id;
}

Bytes TestSha1(std::string_view data) {
  Bytes d(20);
  unsigned int n = 0;
  Check(EVP_Digest(data.data(), data.size(), d.data(), &n, EVP_sha1(), nullptr) == 1 && n == 20, "SHA-1");
  return d;
}

std::string TestHexUpper(const uint8_t* data, size_t len) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  s.reserve(2 * len);
  for (size_t i = 0; i < len; ++i) {
    s += digits[data[i] >> 4];
    s += digits[data[i] & 15];
  }
  return s;
}
std::string TestHexUpper(const Bytes& b) { return TestHexUpper(b.data(), b.size()); }

Bytes TestDigestInfo(const Bytes& digest) {
  Bytes b = kTestSha1Prefix;
  b.insert(b.end(), digest.begin(), digest.end());
  return b;
}

Bytes TestSignSha1(const TestIdentity& id, std::string_view data) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_PKEY_CTX* pctx = nullptr;
  Check(EVP_DigestSignInit(ctx, &pctx, EVP_sha1(), nullptr, id.key.get()) == 1, "DigestSignInit");
  Check(EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1, "padding");
  size_t n = 0;
  Check(EVP_DigestSign(ctx, nullptr, &n, reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1,
        "DigestSign length");
  Bytes sig(n);
  Check(EVP_DigestSign(ctx, sig.data(), &n, reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1,
        "DigestSign");
  sig.resize(n);
  EVP_MD_CTX_free(ctx);
  return sig;
}

Bytes TestSignRawBlock(const TestIdentity& id, const Bytes& block) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(id.key.get(), nullptr);
  Check(ctx && EVP_PKEY_sign_init(ctx) == 1, "sign_init");
  Check(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1, "padding");
  size_t n = 0;
  Check(EVP_PKEY_sign(ctx, nullptr, &n, block.data(), block.size()) == 1, "sign length");
  Bytes sig(n);
  Check(EVP_PKEY_sign(ctx, sig.data(), &n, block.data(), block.size()) == 1, "sign");
  sig.resize(n);
  EVP_PKEY_CTX_free(ctx);
  return sig;
}

std::string TestBase64Lines(const Bytes& data) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  const size_t n = data.size();
  for (size_t line = 0; line * 48 < n; ++line) {
    if (line > 0) out += "\r\n";
    size_t end = std::min(n, line * 48 + 48);
    for (size_t i = line * 48; i < end; i += 3) {
      uint32_t v = uint32_t(data[i]) << 16;
      size_t k = std::min<size_t>(3, end - i);
      if (k > 1) v |= uint32_t(data[i + 1]) << 8;
      if (k > 2) v |= data[i + 2];
      out += a[(v >> 18) & 63];
      out += a[(v >> 12) & 63];
      out += k > 1 ? a[(v >> 6) & 63] : '=';
      out += k > 2 ? a[v & 63] : '=';
    }
  }
  if (n > 0 && n % 2304 == 0) out += "\r\n";
  return out;
}

Bytes TestPythonZip(const TestZipEntries& entries, bool deflate, bool streamed) {
  TempDir dir("pyzip");
  // Into a pipe, zipfile cannot go back to the headers: sizes and CRC follow each
  // entry's data in a data descriptor.
  std::string script = "import sys, zipfile\nz = zipfile.ZipFile(" +
                       std::string(streamed ? "sys.stdout.buffer" : "sys.argv[1]") + ", 'w', zipfile." +
                       std::string(deflate ? "ZIP_DEFLATED" : "ZIP_STORED") + ")\n";
  int i = 0;
  for (const auto& [name, content] : entries) {
    // Names and contents travel as files, so no byte of them needs quoting.
    const std::string base = dir.file("e" + std::to_string(i++));
    WriteAll(base + ".name", name);
    WriteAll(base + ".data", content);
    script +=
        "z.writestr(open('" + base + ".name', encoding='utf-8').read(), open('" + base + ".data', 'rb').read())\n";
  }
  script += "z.close()\n";
  WriteAll(dir.file("mk.py"), script);
  std::string out;
  const std::string run = "python3 '" + dir.file("mk.py") + "' '" + dir.file("peer.zip") + "'";
  if (Run(streamed ? run + " 2>'" + dir.file("err") + "' | cat > '" + dir.file("peer.zip") + "'" : run + " 2>&1",
          &out) != 0 ||
      (streamed && !ReadText(dir.file("err")).empty()))
    throw std::runtime_error("zipfile failed: " + out + (streamed ? ReadText(dir.file("err")) : std::string()));
  const std::vector<unsigned char> zip = ReadAll(dir.file("peer.zip"));
  return Bytes(zip.begin(), zip.end());
}

namespace {
uint32_t Le32(const Bytes& b, size_t at) {
  return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 | uint32_t(b.at(at + 3)) << 24;
}
uint16_t Le16(const Bytes& b, size_t at) { return uint16_t(b.at(at) | b.at(at + 1) << 8); }
void PutLe32(Bytes& b, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) b.at(at + size_t(k)) = uint8_t(v >> (8 * k));
}
// The end record of an archive without a comment, as zipfile writes it.
size_t EndRecord(const Bytes& z) { return z.size() - 22; }
size_t CentralPos(const Bytes& z) { return Le32(z, EndRecord(z) + 16); }
// The archive as it reads when it stands `by` bytes further into a file: every
// offset of its directory and end record moved on, as tools that join archives do.
Bytes Shifted(Bytes z, uint32_t by) {
  const size_t end = EndRecord(z);
  size_t at = CentralPos(z);
  for (uint16_t i = 0; i < Le16(z, end + 10); ++i) {
    PutLe32(z, at + 42, Le32(z, at + 42) + by);
    at += 46 + Le16(z, at + 28) + Le16(z, at + 30) + Le16(z, at + 32);
  }
  PutLe32(z, end + 16, Le32(z, end + 16) + by);
  return z;
}
Bytes Joined(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}
}  // namespace

std::vector<TestTwoDocumentZip> TestTwoDocumentZips(const std::string& name, const std::string& shown) {
  const Bytes a = TestPythonZip({{name, shown}});
  const Bytes b = TestPythonZip({{"hidden.txt", "potpisano bez uvida"}});
  std::vector<TestTwoDocumentZip> v;
  v.push_back({"a second archive appended", Joined(a, Shifted(b, uint32_t(a.size())))});
  Bytes inComment = a;
  inComment[inComment.size() - 2] = uint8_t(b.size());
  inComment[inComment.size() - 1] = uint8_t(b.size() >> 8);
  v.push_back({"a second archive inside the comment", Joined(inComment, Shifted(b, uint32_t(a.size())))});
  v.push_back({"a second archive prepended", Joined(b, Shifted(a, uint32_t(b.size())))});
  // The second archive's local entry between the entry and the directory: a
  // reader that streams the local entries finds two files.
  const Bytes hiddenEntry(b.begin(), b.begin() + long(CentralPos(b)));
  Bytes gap(a.begin(), a.begin() + long(CentralPos(a)));
  gap.insert(gap.end(), hiddenEntry.begin(), hiddenEntry.end());
  gap.insert(gap.end(), a.begin() + long(CentralPos(a)), a.end());
  PutLe32(gap, EndRecord(gap) + 16, uint32_t(CentralPos(a) + hiddenEntry.size()));
  v.push_back({"a gap between the entry and the directory", gap});
  Bytes renamed = a;
  renamed.at(30) = renamed.at(30) == 'z' ? 'y' : 'z';  // the local name's first byte
  v.push_back({"local and central names differ", renamed});
  return v;
}

Bytes TestRandomBytes(size_t n, uint32_t seed) {
  std::mt19937 g(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(g());
  return b;
}

std::string TestContainer::head() const {
  return "<?xml version=\"1.0\" ?>\r\n<!DOCTYPE FileUpload SYSTEM \"" + dtd + "\">\r\n<FileUpload>\r\n";
}

std::string TestContainer::range() const {
  return "<TimeStamp>\r\n" + timeStamp +
         "\r\n</TimeStamp>\r\n<File compress=\"zip\" encoding=\"base64\">\r\n<![CDATA[\r\n" + payload +
         "\r\n]]>\r\n</File>";
}

std::string TestContainer::signerText(size_t i) const {
  const TestSigner& s = signers.at(i);
  return "\r\n<Signer>\r\n<Certificate>\r\n" + (s.certHex.empty() ? TestHexUpper(s.cert) : s.certHex) +
         "\r\n</Certificate>\r\n<Sign>\r\n" + (s.sigHex.empty() ? TestHexUpper(s.sig) : s.sigHex) +
         "\r\n</Sign>\r\n<Time>\r\n" + s.time + "\r\n</Time>\r\n</Signer>";
}

std::string TestContainer::text() const {
  std::string t = head() + range();
  for (size_t i = 0; i < signers.size(); ++i) t += signerText(i);
  return t + "\r\n</FileUpload>";
}

TestSigner& TestContainer::addSigner(const TestIdentity& id, std::string time) {
  TestSigner s;
  s.cert = id.certDer;
  s.sig = TestSignSha1(id, range());
  s.time = std::move(time);
  signers.push_back(std::move(s));
  return signers.back();
}

TestContainer MakeTestContainer(const std::vector<const TestIdentity*>& ids, size_t payloadBytes) {
  TestContainer c;
  c.payload = TestBase64Lines(TestRandomBytes(payloadBytes));
  int ms = 0;
  for (const TestIdentity* id : ids) {
    char t[16];
    std::snprintf(t, sizeof t, "%03d", ms);
    ms += 111;
    c.addSigner(*id, c.timeStamp + t);
  }
  return c;
}

TestContainer TestPlainContainer(size_t payloadBytes, int signers, size_t certBytes) {
  TestContainer c;
  c.payload = TestBase64Lines(TestRandomBytes(payloadBytes));
  for (int i = 0; i < signers; ++i) {
    TestSigner s;
    s.cert = Bytes(certBytes + i, uint8_t(0x30 + i));
    s.sig = Bytes(128, uint8_t(0xA0 + i));
    s.time = "2024010203040500" + std::to_string(i % 10);
    c.signers.push_back(s);
  }
  return c;
}

std::vector<MalformedContainer> MalformedContainerCases() {
  const TestContainer c = TestPlainContainer(3000, 2);
  const std::string good = c.text();
  const size_t ts = good.find("<TimeStamp>");
  const size_t fileEnd = good.find("</File>") + 7;
  auto with = [&](auto edit) {
    TestContainer x = c;
    edit(x);
    return x.text();
  };
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    size_t p = t.find(from);
    if (p == std::string::npos) throw std::logic_error("no " + from + " in the container");
    return t.replace(p, from.size(), to);
  };
  std::string lfOnly;
  for (char ch : good)
    if (ch != '\r') lfOnly += ch;
  std::string secondBlock = good;
  secondBlock.insert(fileEnd, "\r\n" + c.range());
  std::string blockBefore = good;
  blockBefore.insert(ts, c.range() + "\r\n");
  std::string manySigners = TestPlainContainer(10, 0).head() + TestPlainContainer(10, 0).range();
  for (size_t i = 0; i <= kSgnMaxSigners; ++i)
    manySigners +=
        "\r\n<Signer>\r\n<Certificate>\r\n00\r\n</Certificate>\r\n<Sign>\r\n00\r\n</Sign>\r\n<Time>\r\n"
        "20240102030405678\r\n</Time>\r\n</Signer>";
  manySigners += "\r\n</FileUpload>";

  return {
      {"empty file", "", SgnFault::Truncated},
      {"byte-order mark", "\xEF\xBB\xBF" + good, SgnFault::BadHeader},
      {"CDATA before <TimeStamp>", replaced("<TimeStamp>", "<![CDATA[\r\nQUJD\r\n]]>\r\n<TimeStamp>"),
       SgnFault::BadTimeStamp},
      {"second block after </File>", secondBlock, SgnFault::BadEnd},
      {"second block before <TimeStamp>", blockBefore, SgnFault::BadEnd},
      {"CDATA inside the payload", replaced("\r\n]]>", "\r\n<![CDATA[\r\nQUJD\r\n]]>"), SgnFault::BadPayload},
      {"closing tag before its opening tag", replaced("<File compress", "</File><File compress"),
       SgnFault::BadTimeStamp},
      {"time stamp not digits", replaced(c.timeStamp, "2024010203040x"), SgnFault::BadTimeStamp},
      {"time stamp too short", replaced(c.timeStamp, "2024010203040"), SgnFault::BadTimeStamp},
      {"quote in the DTD name", replaced("SYSTEM \"\"", "SYSTEM \"a\"b\""), SgnFault::BadDtdName},
      {"DTD name too long", replaced("SYSTEM \"\"", "SYSTEM \"" + std::string(kSgnMaxDtdName + 1, 'd') + "\""),
       SgnFault::BadDtdName},
      {"a blank in the payload", replaced("\r\n]]>", " \r\n]]>"), SgnFault::BadPayload},
      {"no CR LF before ]]>", replaced("\r\n]]>", "]]>"), SgnFault::BadPayload},
      {"trailing CR LF", good + "\r\n", SgnFault::BadEnd},
      {"trailing zero byte", good + std::string(1, '\0'), SgnFault::BadEnd},
      {"LF-only line ends", lfOnly, SgnFault::BadHeader},
      {"odd certificate hex", with([](TestContainer& x) { x.signers[0].certHex = "ABC"; }), SgnFault::BadHex},
      {"odd signature hex", with([](TestContainer& x) { x.signers[1].sigHex = TestHexUpper(x.signers[1].sig) + "0"; }),
       SgnFault::BadHex},
      {"non-hex digit", with([](TestContainer& x) { x.signers[0].certHex = "30G1"; }), SgnFault::BadSigner},
      {"empty certificate", with([](TestContainer& x) {
         x.signers[0].certHex = "";
         x.signers[0].cert.clear();
       }),
       SgnFault::BadHex},
      {"certificate hex too long",
       with([](TestContainer& x) { x.signers[0].certHex = std::string(size_t(kSgnMaxCertificateHex) + 2, 'A'); }),
       SgnFault::BadHex},
      {"signature hex too long",
       with([](TestContainer& x) { x.signers[0].sigHex = std::string(size_t(kSgnMaxSignatureHex) + 2, '1'); }),
       SgnFault::BadHex},
      {"signing time of 16 digits", with([](TestContainer& x) { x.signers[0].time = "2024010203040567"; }),
       SgnFault::BadTime},
      {"signing time of 18 digits", with([](TestContainer& x) { x.signers[0].time = "202401020304056789"; }),
       SgnFault::BadTime},
      {"Signer without Sign", replaced("\r\n<Sign>\r\n", "\r\n"), SgnFault::BadSigner},
      {"too many signers", manySigners, SgnFault::TooManySigners},
  };
}
