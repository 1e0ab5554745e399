// The library's DER, X.509 and PKCS #7 functions on certificates made by openssl at
// test time, checked against OpenSSL's own parse; and on hostile input, where every
// answer must be an error with no read outside the bytes given.
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <functional>

#include "tarvirsa_support.h"

namespace {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr Parse(const Bytes& der) {
  const uint8_t* p = der.data();
  return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

template <typename T, typename F>
Bytes I2d(const T* obj, F i2d) {
  uint8_t* out = nullptr;
  int n = i2d(obj, &out);
  Bytes b(out, out + (n > 0 ? n : 0));
  OPENSSL_free(out);
  return b;
}

Bytes TimeTlv(const ASN1_TIME* t) {
  Bytes b = {static_cast<uint8_t>(ASN1_STRING_type(t)), static_cast<uint8_t>(ASN1_STRING_length(t))};
  const uint8_t* d = ASN1_STRING_get0_data(t);
  b.insert(b.end(), d, d + ASN1_STRING_length(t));
  return b;
}

// Bytes in code page 1250, written out so the expectation does not go through any converter.
Bytes Cp(std::initializer_list<int> bytes) { return Bytes(bytes.begin(), bytes.end()); }
Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A folder of certificates made once per test program.
class TarviRsaX509Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    BindTarviRsaOnce();
    dir_ = new TempDir("x509");
    // A config with the "default" string mask: non-ASCII text becomes BMPString or
    // T61String, and no extensions (a version 1 certificate).
    WriteAll(dir_->file("plain.cnf"), "[req]\ndistinguished_name=dn\nstring_mask=default\n[dn]\n");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string F(const std::string& n) { return dir_->file(n); }

  // A self-signed certificate; returns its DER.
  static Bytes SelfSigned(const std::string& name, const std::string& subj, const std::string& serial,
                          const std::string& extra = "") {
    Sh("openssl req -x509 -newkey rsa:1024 -nodes -keyout " + F(name + ".key") + " -utf8 -subj '" + subj +
       "' -set_serial " + serial + " " + extra + " -out " + F(name + ".pem"));
    Sh("openssl x509 -in " + F(name + ".pem") + " -outform DER -out " + F(name + ".der"));
    return File(F(name + ".der"));
  }

  static TempDir* dir_;
};
TempDir* TarviRsaX509Test::dir_ = nullptr;

struct CertCase {
  std::string name, subj, serial, extra;
  std::string serialHex;  // content octets as encoded
  Bytes cn, ou, o, c;     // empty: absent
  uint8_t notAfterTag;
};

TEST_F(TarviRsaX509Test, ExtractsTheRawPartsOfCertificatesMadeByOpenssl) {
  const CertCase cases[] = {
      {"one", "/CN=Ivan Horvat/OU=Razvoj/O=Tarvi/C=HR", "1", "", "01", Ascii("Ivan Horvat"), Ascii("Razvoj"),
       Ascii("Tarvi"), Ascii("HR"), 0x17},
      // Top bit set: the sign byte 00 stays; BMPString and T61String; version 1; expiry
      // after 2049 in GeneralizedTime.
      {"top", "/CN=Đuro Čačić/OU=Müller/O=Tarvi d.o.o./C=HR", "0x80", "-config " + F("plain.cnf") + " -days 10000",
       "0080", Cp({0xD0, 'u', 'r', 'o', ' ', 0xC8, 'a', 0xE8, 'i', 0xE6}), Cp({'M', 0xFC, 'l', 'l', 'e', 'r'}),
       Ascii("Tarvi d.o.o."), Ascii("HR"), 0x18},
      // UTF8String with Croatian letters, no OU/O/C.
      {"five",
       "/CN=Čedomir Šimić Žđ",
       "0x0102030405",
       "",
       "0102030405",
       Cp({0xC8, 'e', 'd', 'o', 'm', 'i', 'r', ' ', 0x8A, 'i', 'm', 'i', 0xE6, ' ', 0x8E, 0xF0}),
       {},
       {},
       {},
       0x17},
      // A long serial; letters code page 1250 lacks become '?', one per character.
      {"long",
       "/O=Firma 中/CN=Test 😀 x",
       "0x8F0102030405060708090A0B0C0D0E0F101112",
       "",
       "008F0102030405060708090A0B0C0D0E0F101112",
       Ascii("Test ? x"),
       {},
       Ascii("Firma ?"),
       {},
       0x17},
  };
  for (const CertCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes der = SelfSigned(c.name, c.subj, c.serial, c.extra);
    X509Ptr x = Parse(der);
    ASSERT_TRUE(x);

    Bytes serial, issuer, subject, validity;
    ASSERT_EQ(TwoStep([&](uint8_t* b, uint32_t* l) { return tarvirsa::X509ExtractSerial(der.data(), b, l); }, &serial),
              0);
    EXPECT_EQ(Hex(serial), c.serialHex);
    ASSERT_EQ(TwoStep([&](uint8_t* b, uint32_t* l) { return tarvirsa::X509ExtractIssuer(der.data(), b, l); }, &issuer),
              0);
    EXPECT_EQ(issuer, I2d(X509_get_issuer_name(x.get()), i2d_X509_NAME));
    ASSERT_EQ(
        TwoStep([&](uint8_t* b, uint32_t* l) { return tarvirsa::X509ExtractSubject(der.data(), b, l); }, &subject), 0);
    EXPECT_EQ(subject, I2d(X509_get_subject_name(x.get()), i2d_X509_NAME));
    ASSERT_EQ(
        TwoStep([&](uint8_t* b, uint32_t* l) { return tarvirsa::X509ExtractValidity(der.data(), b, l); }, &validity),
        0);
    Bytes times = TimeTlv(X509_get0_notBefore(x.get()));
    Bytes after = TimeTlv(X509_get0_notAfter(x.get()));
    EXPECT_EQ(after[0], c.notAfterTag);
    times.insert(times.end(), after.begin(), after.end());
    Bytes expectedValidity = {0x30, static_cast<uint8_t>(times.size())};
    expectedValidity.insert(expectedValidity.end(), times.begin(), times.end());
    EXPECT_EQ(validity, expectedValidity);

    const std::pair<int32_t, const Bytes*> components[] = {{TR_COMPONENT_COMMON_NAME, &c.cn},
                                                           {TR_COMPONENT_ORG_UNIT, &c.ou},
                                                           {TR_COMPONENT_ORG, &c.o},
                                                           {TR_COMPONENT_COUNTRY, &c.c}};
    for (auto [id, expected] : components) {
      Bytes text;
      TRRESULT rc = TwoStep(
          [&](uint8_t* b, uint32_t* l) { return tarvirsa::X509ExtractComponent(subject.data(), id, b, l); }, &text);
      if (expected->empty()) {
        EXPECT_EQ(rc, TR_E_NOT_FOUND) << "id " << id;
      } else {
        EXPECT_EQ(rc, 0) << "id " << id;
        EXPECT_EQ(Hex(text), Hex(*expected)) << "id " << id;
      }
    }
    uint32_t len = 0;
    EXPECT_EQ(tarvirsa::X509ExtractComponent(subject.data(), 2, nullptr, &len), TR_E_NOT_SUPPORTED);

    TR_RSA_PUBLIC_KEY key, fromPem;
    TR_RSA_PRIVATE_KEY priv;
    ASSERT_EQ(tarvirsa::X509ExtractRSAPublicKey(der.data(), &key), 0);
    RecordsFromPem(F(c.name + ".key"), &fromPem, &priv);
    EXPECT_EQ(std::memcmp(&key, &fromPem, sizeof key), 0);
  }
}

TEST_F(TarviRsaX509Test, TwoStepCallsTreatTheLengthAsCapacity) {
  const Bytes der = SelfSigned("cap", "/CN=Capacity/C=HR", "0x0102030405");
  uint32_t len = 0;
  ASSERT_EQ(tarvirsa::X509ExtractSerial(der.data(), nullptr, &len), 0);
  ASSERT_EQ(len, 5u);
  uint8_t buf[16];
  std::memset(buf, 0xEE, sizeof buf);
  uint32_t cap = 4;
  EXPECT_EQ(tarvirsa::X509ExtractSerial(der.data(), buf, &cap), TR_E_LEN);
  EXPECT_EQ(cap, 5u);
  EXPECT_EQ(buf[0], 0xEE);  // nothing written
  cap = sizeof buf;
  EXPECT_EQ(tarvirsa::X509ExtractSerial(der.data(), buf, &cap), 0);
  EXPECT_EQ(cap, 5u);
  EXPECT_EQ(Hex(buf, 5), "0102030405");

  Bytes subject;
  ASSERT_EQ(TwoStep([&](uint8_t* b, uint32_t* l) { return tarvirsa::X509ExtractSubject(der.data(), b, l); }, &subject),
            0);
  cap = static_cast<uint32_t>(subject.size() - 1);
  Bytes small(cap);
  EXPECT_EQ(tarvirsa::X509ExtractSubject(der.data(), small.data(), &cap), TR_E_LEN);
  EXPECT_EQ(cap, subject.size());
  cap = 7;
  EXPECT_EQ(tarvirsa::X509ExtractComponent(subject.data(), TR_COMPONENT_COMMON_NAME, buf, &cap), TR_E_LEN);
  EXPECT_EQ(cap, 8u);
  EXPECT_EQ(tarvirsa::X509ExtractSerial(der.data(), buf, nullptr), TR_E_PARAM);
}

TEST_F(TarviRsaX509Test, ExtensionsAndOneExtensionsValue) {
  const Bytes der = SelfSigned("ext", "/CN=Ext CA", "7");  // the system config marks it a CA
  X509Ptr x = Parse(der);
  ASSERT_TRUE(x);
  Bytes exts;
  ASSERT_EQ(TwoStep([&](uint8_t* b, uint32_t* l) { return tarvirsa::X509ExtractExtensions(der.data(), b, l); }, &exts),
            0);
  EXPECT_EQ(exts, I2d(X509_get0_extensions(x.get()), i2d_X509_EXTENSIONS));

  Bytes bc;
  ASSERT_EQ(TwoStep([&](uint8_t* b,
                        uint32_t* l) { return tarvirsa::X509ExtractFromExtension(exts.data(), "2.5.29.19", b, l); },
                    &bc),
            0);
  EXPECT_EQ(Hex(bc), "30030101FF");  // basicConstraints CA:TRUE
  Bytes ski;
  ASSERT_EQ(TwoStep([&](uint8_t* b,
                        uint32_t* l) { return tarvirsa::X509ExtractFromExtension(exts.data(), "2.5.29.14", b, l); },
                    &ski),
            0);
  const ASN1_OCTET_STRING* id = X509_get0_subject_key_id(x.get());
  ASSERT_TRUE(id);
  EXPECT_EQ(Hex(ski), "0414" + Hex(ASN1_STRING_get0_data(id), ASN1_STRING_length(id)));
  uint32_t len = 0;
  EXPECT_EQ(tarvirsa::X509ExtractFromExtension(exts.data(), "2.5.29.31", nullptr, &len), TR_E_NOT_FOUND);
  EXPECT_EQ(tarvirsa::X509ExtractFromExtension(exts.data(), "not an oid", nullptr, &len), TR_E_DATA);

  const Bytes v1 = SelfSigned("v1", "/CN=No Extensions", "8", "-config " + F("plain.cnf"));
  EXPECT_EQ(tarvirsa::X509ExtractExtensions(v1.data(), nullptr, &len), TR_E_NOT_FOUND);
}

TEST_F(TarviRsaX509Test, KeysOtherThanRsaOf1024To4096BitsAreRefused) {
  const std::pair<std::string, std::string> keys[] = {{"ec", "ec -pkeyopt ec_paramgen_curve:P-256"},
                                                      {"rsa512", "rsa:512"}};
  for (const auto& [name, spec] : keys) {
    Sh("openssl req -x509 -newkey " + spec + " -nodes -keyout " + F(name + ".key") + " -subj /CN=" + name +
       " -outform DER -out " + F(name + ".der"));
    const Bytes der = File(F(name + ".der"));
    TR_RSA_PUBLIC_KEY key;
    EXPECT_EQ(tarvirsa::X509ExtractRSAPublicKey(der.data(), &key), TR_E_KEY) << name;
    uint32_t len = 0;
    EXPECT_EQ(tarvirsa::X509ExtractSerial(der.data(), nullptr, &len), 0) << name;  // the rest still reads
  }
}

// A key that parses but that no operation of the library takes (here an even
// exponent, 65536) is refused when it is taken out of a certificate or a PKCS #7
// file, not only later when it is used.
TEST_F(TarviRsaX509Test, KeysNoOperationTakesAreRefusedAtExtraction) {
  Bytes der = SelfSigned("even", "/CN=Even Exponent", "9");
  const uint8_t exponent[] = {0x02, 0x03, 0x01, 0x00, 0x01};
  auto at = std::search(der.begin(), der.end(), std::begin(exponent), std::end(exponent));
  ASSERT_NE(at, der.end());
  at[4] = 0x00;
  TR_RSA_PUBLIC_KEY key;
  EXPECT_EQ(tarvirsa::X509ExtractRSAPublicKey(der.data(), &key), TR_E_KEY);
  uint32_t len = 0;
  EXPECT_EQ(tarvirsa::X509ExtractSerial(der.data(), nullptr, &len), 0);  // the rest still reads

  Put(F("even_bad.der"), der);
  Sh("openssl x509 -inform DER -in " + F("even_bad.der") + " -out " + F("even_bad.pem"));
  Sh("openssl crl2pkcs7 -nocrl -certfile " + F("even_bad.pem") + " -outform DER -out " + F("even_bad.p7c"));
  const Bytes p7 = File(F("even_bad.p7c"));
  Bytes cert(TR_MAX_CERT_LEN);
  uint32_t certLen = TR_MAX_CERT_LEN, count = 0;
  EXPECT_EQ(tarvirsa::X509ExtractFromPKCS7(p7.data(), uint32_t(p7.size()), &key, TR_PKCS7_CERTIFICATE, TR_PKCS7_FIRST,
                                           0, cert.data(), &certLen, &count),
            TR_E_KEY);
  EXPECT_EQ(count, 1u);
}

TEST_F(TarviRsaX509Test, CheckCertVerifiesOnlyTheSignatureWithTheIssuersKey) {
  const Bytes caDer = SelfSigned("ca", "/CN=Test CA/O=Tarvi/C=HR", "1");
  // A second CA with the same name but another key.
  const Bytes otherDer = SelfSigned("other", "/CN=Test CA/O=Tarvi/C=HR", "1");
  Sh("openssl req -new -newkey rsa:2048 -nodes -keyout " + F("u.key") + " -subj '/CN=User' -out " + F("u.csr"));
  auto issue = [&](const std::string& ca, const std::string& out, const std::string& md) {
    Sh("openssl x509 -req -in " + F("u.csr") + " -CA " + F(ca + ".pem") + " -CAkey " + F(ca + ".key") +
       " -set_serial 5 -days 1 -" + md + " -outform DER -out " + F(out));
    return File(F(out));
  };
  const Bytes byCa = issue("ca", "byca.der", "sha256");
  const Bytes byCaSha1 = issue("ca", "bycasha1.der", "sha1");
  const Bytes byOther = issue("other", "byother.der", "sha256");
  TR_RSA_PUBLIC_KEY caKey, otherKey;
  ASSERT_EQ(tarvirsa::X509ExtractRSAPublicKey(caDer.data(), &caKey), 0);
  ASSERT_EQ(tarvirsa::X509ExtractRSAPublicKey(otherDer.data(), &otherKey), 0);

  auto check = [](const Bytes& der, const TR_RSA_PUBLIC_KEY& k, size_t len) {
    return tarvirsa::X509CheckCert(der.data(), static_cast<uint32_t>(len), &k);
  };
  EXPECT_EQ(check(byCa, caKey, byCa.size()), 0);
  EXPECT_EQ(check(byCaSha1, caKey, byCaSha1.size()), 0);  // no security-level refusal
  EXPECT_EQ(check(caDer, caKey, caDer.size()), 0);
  EXPECT_EQ(check(byOther, caKey, byOther.size()), TR_E_SIGNATURE);
  EXPECT_EQ(check(byCa, otherKey, byCa.size()), TR_E_SIGNATURE);
  Bytes tampered = byCa;
  tampered[tampered.size() - 10] ^= 1;
  EXPECT_EQ(check(tampered, caKey, tampered.size()), TR_E_SIGNATURE);
  EXPECT_EQ(check(byCa, caKey, byCa.size() - 1), TR_E_DATA);
  Bytes trailing = byCa;
  trailing.push_back(0);
  EXPECT_EQ(check(trailing, caKey, trailing.size()), TR_E_DATA);
}

TEST_F(TarviRsaX509Test, Pkcs7GivesTheFirstCertificateAndTheCount) {
  const Bytes a = SelfSigned("pa", "/CN=First CA", "11");
  const Bytes b = SelfSigned("pb", "/CN=Second CA", "12");
  TR_RSA_PUBLIC_KEY aKey, bKey;
  ASSERT_EQ(tarvirsa::X509ExtractRSAPublicKey(a.data(), &aKey), 0);
  ASSERT_EQ(tarvirsa::X509ExtractRSAPublicKey(b.data(), &bKey), 0);
  struct P7Case {
    std::string file, certs, form;
    uint32_t count;
  };
  const std::string one = " -certfile " + F("pa.pem");
  const std::string two = one + " -certfile " + F("pb.pem");
  const P7Case cases[] = {{"one.p7c", one, "DER", 1},
                          {"one_pem.p7c", one, "PEM", 1},
                          {"two.p7c", two, "DER", 2},
                          {"two_pem.p7c", two, "PEM", 2}};
  for (const P7Case& c : cases) {
    SCOPED_TRACE(c.file);
    Sh("openssl crl2pkcs7 -nocrl" + c.certs + " -outform " + c.form + " -out " + F(c.file));
    const Bytes p7 = File(F(c.file));
    std::vector<uint8_t> cert(TR_MAX_CERT_LEN);
    uint32_t certLen = 0, work = 0;
    TR_RSA_PUBLIC_KEY key;
    ASSERT_EQ(tarvirsa::X509ExtractFromPKCS7(p7.data(), static_cast<uint32_t>(p7.size()), &key, TR_PKCS7_CERTIFICATE,
                                             TR_PKCS7_FIRST, 0, cert.data(), &certLen, &work),
              0);
    EXPECT_EQ(Bytes(cert.begin(), cert.begin() + certLen), a);
    EXPECT_EQ(work, c.count);
    EXPECT_EQ(std::memcmp(&key, &aKey, sizeof key), 0);
    if (c.count == 2) {
      ASSERT_EQ(tarvirsa::X509ExtractFromPKCS7(p7.data(), static_cast<uint32_t>(p7.size()), &key, 1, 1, 0, cert.data(),
                                               &certLen, &work),
                0);
      EXPECT_EQ(Bytes(cert.begin(), cert.begin() + certLen), b);
      EXPECT_EQ(std::memcmp(&key, &bKey, sizeof key), 0);
    }
    EXPECT_EQ(tarvirsa::X509ExtractFromPKCS7(p7.data(), static_cast<uint32_t>(p7.size()), nullptr, 1, 2, 0, nullptr,
                                             &certLen, &work),
              TR_E_NOT_FOUND);
    EXPECT_EQ(tarvirsa::X509ExtractFromPKCS7(p7.data(), static_cast<uint32_t>(p7.size()), nullptr, 2, -1, 0, nullptr,
                                             &certLen, &work),
              TR_E_NOT_SUPPORTED);
    EXPECT_EQ(tarvirsa::X509ExtractFromPKCS7(p7.data(), static_cast<uint32_t>(p7.size()), nullptr, 1, -1, 1, nullptr,
                                             &certLen, &work),
              TR_E_NOT_SUPPORTED);
  }
  Sh("openssl crl2pkcs7 -nocrl -outform DER -out " + F("empty.p7c"));
  const Bytes empty = File(F("empty.p7c"));
  uint32_t certLen = 0, work = 99;
  EXPECT_EQ(tarvirsa::X509ExtractFromPKCS7(empty.data(), static_cast<uint32_t>(empty.size()), nullptr, 1, -1, 0,
                                           nullptr, &certLen, &work),
            TR_E_NOT_FOUND);
  EXPECT_EQ(work, 0u);
}

TEST_F(TarviRsaX509Test, CertificatesLargerThanTheLimitAreRefused) {
  const std::string comment(21000, 'x');
  const Bytes big = SelfSigned("big", "/CN=Big", "3", "-addext 'nsComment=" + comment + "'");
  ASSERT_GT(big.size(), size_t{TR_MAX_CERT_LEN});
  uint32_t len = 0;
  TR_RSA_PUBLIC_KEY key;
  EXPECT_EQ(tarvirsa::X509ExtractSerial(big.data(), nullptr, &len), TR_E_LEN);
  EXPECT_EQ(tarvirsa::X509ExtractRSAPublicKey(big.data(), &key), TR_E_LEN);
  EXPECT_EQ(tarvirsa::X509CheckCert(big.data(), static_cast<uint32_t>(big.size()), &key), TR_E_LEN);
  Sh("openssl crl2pkcs7 -nocrl -certfile " + F("big.pem") + " -outform DER -out " + F("big.p7c"));
  const Bytes p7 = File(F("big.p7c"));
  std::vector<uint8_t> cert(TR_MAX_CERT_LEN);
  uint32_t work = 0;
  EXPECT_EQ(tarvirsa::X509ExtractFromPKCS7(p7.data(), static_cast<uint32_t>(p7.size()), &key, 1, -1, 0, cert.data(),
                                           &len, &work),
            TR_E_LEN);
  EXPECT_EQ(len, big.size());
}

// --- DER lengths ----------------------------------------------------------------

TEST(TarviRsaDer, DecodeLengthTable) {
  BindTarviRsaOnce();
  struct Case {
    std::string hex;
    TRRESULT rc;
    uint32_t header, content;
  };
  const Case cases[] = {
      {"3005", 0, 2, 5},         {"04817F", 0, 3, 0x7F},      {"308180", 0, 3, 128},
      {"30820100", 0, 4, 256},   {"3083010000", 0, 5, 65536}, {"3084FFFFFFFF", 0, 6, 0xFFFFFFFF},
      {"3000", 0, 2, 0},         {"3080", TR_E_DATA, 0, 0},   {"3085", TR_E_DATA, 0, 0},
      {"30FF", TR_E_DATA, 0, 0}, {"1F01", TR_E_DATA, 0, 0},   {"BF2203", TR_E_DATA, 0, 0},
  };
  for (const Case& c : cases) {
    // Each input sits in a heap block of exactly its own size.
    Bytes in = FromHex(c.hex);
    uint32_t h = 0, n = 0;
    EXPECT_EQ(tarvirsa::DERDecodeLength(in.data(), &h, &n), c.rc) << c.hex;
    if (c.rc == 0) {
      EXPECT_EQ(h, c.header) << c.hex;
      EXPECT_EQ(n, c.content) << c.hex;
    }
  }
  uint32_t h, n;
  EXPECT_EQ(tarvirsa::DERDecodeLength(nullptr, &h, &n), TR_E_PARAM);
}

TEST(TarviRsaDer, DerFitsTable) {
  // fits: exactly one element, nothing after it; prefix: one element at the start.
  struct Case {
    Bytes bytes;
    size_t len;
    bool fits, prefix;
  };
  Bytes big = FromHex("30820100");
  big.resize(260);
  Bytes bigAndMore = big;
  bigAndMore.push_back(0x00);
  const Case cases[] = {
      {FromHex("30030101FF"), 5, true, true},
      {FromHex("30030101FF"), 4, false, false},
      {big, 260, true, true},
      {big, 259, false, false},
      {FromHex("3080"), 2, false, false},
      {FromHex("3085010203040506"), 8, false, false},
      {FromHex("3084FFFFFFFF00"), 7, false, false},
      {FromHex("30"), 1, false, false},
      {FromHex("1F0100"), 3, false, false},
      {FromHex("3000"), 2, true, true},
      // Bytes after the element: not one element any more, still one at the start.
      {FromHex("30030101FF00"), 6, false, true},
      {FromHex("30003000"), 4, false, true},
      {bigAndMore, 261, false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DerFits(c.bytes.data(), c.len), c.fits) << Hex(c.bytes) << " len " << c.len;
    EXPECT_EQ(DerPrefixFits(c.bytes.data(), c.len), c.prefix) << Hex(c.bytes) << " len " << c.len;
  }
  EXPECT_FALSE(DerFits(nullptr, 10));
  EXPECT_FALSE(DerPrefixFits(nullptr, 10));
}

// --- hostile input ------------------------------------------------------------------

// Every certificate function on one buffer; the result codes, which must all be errors
// for a broken certificate.
std::vector<TRRESULT> AllExtractions(const Bytes& der) {
  std::vector<TRRESULT> rcs;
  uint32_t len = 0;
  rcs.push_back(tarvirsa::X509ExtractSerial(der.data(), nullptr, &len));
  rcs.push_back(tarvirsa::X509ExtractIssuer(der.data(), nullptr, &len));
  rcs.push_back(tarvirsa::X509ExtractSubject(der.data(), nullptr, &len));
  rcs.push_back(tarvirsa::X509ExtractValidity(der.data(), nullptr, &len));
  TR_RSA_PUBLIC_KEY key;
  rcs.push_back(tarvirsa::X509ExtractRSAPublicKey(der.data(), &key));
  return rcs;
}

TEST_F(TarviRsaX509Test, TruncatedCertificatesGiveErrors) {
  const Bytes der = SelfSigned("trunc", "/CN=Truncated/O=Tarvi/C=HR", "0x1001");
  ASSERT_EQ(der[1], 0x82);
  uint32_t tbsEnd = 4 + 4 + ((der[6] << 8) | der[7]);
  for (size_t m = 4; m < der.size(); ++m) {
    // The outer length says what the buffer really holds, so DerFits passes and
    // only the library's own inner checks stand between it and a read past the end.
    Bytes cut(der.begin(), der.begin() + m);
    cut[2] = static_cast<uint8_t>((m - 4) >> 8);
    cut[3] = static_cast<uint8_t>(m - 4);
    ASSERT_TRUE(DerFits(cut.data(), cut.size()));
    std::vector<TRRESULT> rcs = AllExtractions(cut);
    if (m < tbsEnd) {
      for (size_t i = 0; i < 4; ++i) EXPECT_NE(rcs[i], 0) << "cut " << m << " function " << i;
    }
    EXPECT_NE(rcs[4], 0) << "cut " << m;
    TR_RSA_PUBLIC_KEY key{};
    EXPECT_NE(tarvirsa::X509CheckCert(der.data(), static_cast<uint32_t>(m), &key), 0);
  }
}

TEST_F(TarviRsaX509Test, MutatedCertificatesNeverReadOutOfBounds) {
  const Bytes der = SelfSigned("mut", "/CN=Mutant/OU=Lab/O=Tarvi/C=HR", "0x80");
  TR_RSA_PUBLIC_KEY caKey;
  ASSERT_EQ(tarvirsa::X509ExtractRSAPublicKey(der.data(), &caKey), 0);
  int checked = 0;
  for (size_t i = 0; i < der.size(); ++i) {
    for (uint8_t v : {0x00, 0x01, 0x7F, 0x80, 0x81, 0x84, 0xFF}) {
      Bytes m = der;
      if (m[i] == v) continue;
      m[i] = v;
      // What every caller does before handing received bytes over.
      if (!DerFits(m.data(), m.size())) continue;
      ++checked;
      AllExtractions(m);
      Bytes subject(TR_MAX_CERT_LEN);
      uint32_t len = static_cast<uint32_t>(subject.size());
      if (tarvirsa::X509ExtractSubject(m.data(), subject.data(), &len) == 0) {
        subject.resize(len);
        for (int32_t id : {8, 5, 4, 1}) {
          uint32_t n = 0;
          tarvirsa::X509ExtractComponent(subject.data(), id, nullptr, &n);
        }
      }
      tarvirsa::X509ExtractExtensions(m.data(), nullptr, &len);
      EXPECT_NE(tarvirsa::X509CheckCert(m.data(), static_cast<uint32_t>(m.size()), &caKey), 0) << "byte " << i;
    }
  }
  EXPECT_GT(checked, 1000);
}

TEST(TarviRsaDer, HostileHeadersAndNamesGiveErrors) {
  BindTarviRsaOnce();
  struct Case {
    std::string hex;
    TRRESULT rc;
  };
  // Certificates: only the header's own bytes exist.
  const Case certs[] = {{"3084FFFFFFFF", TR_E_LEN}, {"3084000000023000", TR_E_DATA},
                        {"3080", TR_E_DATA},        {"3085", TR_E_DATA},
                        {"3100", TR_E_DATA},        {"3000", TR_E_DATA},
                        {"3003020100", TR_E_DATA},  {"30050403020100", TR_E_DATA}};
  for (const Case& c : certs) {
    Bytes in = FromHex(c.hex);
    uint32_t len = 0;
    TR_RSA_PUBLIC_KEY key;
    EXPECT_EQ(tarvirsa::X509ExtractSerial(in.data(), nullptr, &len), c.rc) << c.hex;
    EXPECT_NE(tarvirsa::X509ExtractRSAPublicKey(in.data(), &key), 0) << c.hex;
  }
  // Names for X509ExtractComponent (common name asked for).
  const Case names[] = {
      {"3005310330010"
       "6",
       TR_E_DATA},                                    // attribute shorter than its OID header
      {"300C310A300806035504031E0141", TR_E_DATA},    // BMPString of odd length
      {"300C310A3008060355040302010541", TR_E_DATA},  // value is an INTEGER, not a string
      {"300B3109300706035504030201"
       "05",
       TR_E_DATA},                                        // value's length runs past its attribute
      {"300E310C300A060355040A0C044669726D", TR_E_DATA},  // the same, before the attribute asked for
      {"300D310B3009060355040A0C024F4B", TR_E_NOT_FOUND},
      {"3000", TR_E_NOT_FOUND},
      {"300D310B300906035504030C02C328", 0},      // invalid UTF-8 becomes '?'
      {"300F310D300B06035504031E04D83DDE00", 0},  // a surrogate pair is one '?'
      {"30FF", TR_E_DATA},
  };
  for (const Case& c : names) {
    Bytes in = FromHex(c.hex);
    if (!DerFits(in.data(), in.size())) {
      EXPECT_NE(c.rc, 0) << c.hex;
      continue;
    }
    Bytes text;
    TRRESULT rc =
        TwoStep([&](uint8_t* b,
                    uint32_t* l) { return tarvirsa::X509ExtractComponent(in.data(), TR_COMPONENT_COMMON_NAME, b, l); },
                &text);
    EXPECT_EQ(rc, c.rc) << c.hex;
    if (c.hex == "300D310B300906035504030C02C328") {
      EXPECT_EQ(Hex(text), "3F28");
    }
    if (c.hex == "300F310D300B06035504031E04D83DDE00") {
      EXPECT_EQ(Hex(text), "3F");
    }
  }
}

TEST_F(TarviRsaX509Test, HostilePkcs7GivesErrors) {
  const Bytes a = SelfSigned("ha", "/CN=Hostile", "21");
  Sh("openssl crl2pkcs7 -nocrl -certfile " + F("ha.pem") + " -outform DER -out " + F("h.p7c"));
  const Bytes p7 = File(F("h.p7c"));
  std::vector<uint8_t> cert(TR_MAX_CERT_LEN);
  uint32_t certLen = 0, work = 0;
  for (size_t m = 1; m < p7.size(); m += 3) {
    Bytes cut(p7.begin(), p7.begin() + m);
    EXPECT_NE(tarvirsa::X509ExtractFromPKCS7(cut.data(), static_cast<uint32_t>(cut.size()), nullptr, 1, -1, 0,
                                             cert.data(), &certLen, &work),
              0)
        << m;
  }
  const std::string pems[] = {"-----BEGIN PKCS7-----\nAAAA\n-----END PKCS7-----\n", "garbage",
                              "-----BEGIN PKCS7-----\n",
                              "-----BEGIN PKCS7-----\nProc-Type: 4,ENCRYPTED\nDEK-Info: "
                              "DES-EDE3-CBC,0001020304050607\n\nAAAA\n-----END PKCS7-----\n"};
  for (const std::string& s : pems) {
    Bytes in(s.begin(), s.end());
    EXPECT_EQ(tarvirsa::X509ExtractFromPKCS7(in.data(), static_cast<uint32_t>(in.size()), nullptr, 1, -1, 0,
                                             cert.data(), &certLen, &work),
              TR_E_DATA)
        << s;
  }
  // A certificate in place of a PKCS #7.
  EXPECT_EQ(tarvirsa::X509ExtractFromPKCS7(a.data(), static_cast<uint32_t>(a.size()), nullptr, 1, -1, 0, cert.data(),
                                           &certLen, &work),
            TR_E_DATA);
}

}  // namespace
