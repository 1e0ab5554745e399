// The cryptographic library's binding, hashes, 3DES, random records and RSA, each
// checked against an independent peer (the openssl command line or known vectors).
#include <openssl/x509.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "tarvirsa_support.h"

namespace {

class TarviRsaTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { BindTarviRsaOnce(); }
};

// --- binding -------------------------------------------------------------------

TEST_F(TarviRsaTest, ExportsExactlyTheBoundNamesInBindingOrder) {
  std::vector<std::string> names;
  for (const TarviRsaEntry& e : TarviRsaEntries()) names.push_back(e.name);
  const std::vector<std::string> expected = {"DES3Decrypt",
                                             "DES3Encrypt",
                                             "MD5Final",
                                             "MD5Init",
                                             "MD5Update",
                                             "RSAPrivateDecrypt",
                                             "RSAPrivateEncrypt",
                                             "RSAPublicDecrypt",
                                             "RSAPublicEncrypt",
                                             "R_GenerateBytes",
                                             "R_GeneratePEMKeys",
                                             "R_GetRandomBytesNeeded",
                                             "R_RandomCreate",
                                             "R_RandomFinal",
                                             "R_RandomInit",
                                             "R_RandomMix",
                                             "R_RandomUpdate",
                                             "SHAFinal",
                                             "SHAInit",
                                             "SHAUpdate",
                                             "X509CertRequest",
                                             "DERDecodeLength",
                                             "DEREncodeRSAPublicKey",
                                             "X509ExtractRSAPublicKey",
                                             "X509ExtractSerial",
                                             "X509ExtractIssuer",
                                             "X509ExtractSubject",
                                             "X509ExtractExtensions",
                                             "X509ExtractFromExtension",
                                             "X509ExtractValidity",
                                             "X509CheckCert",
                                             "X509ExtractFromPKCS7",
                                             "X509ExtractComponent"};
  EXPECT_EQ(names, expected);

  std::string out;
  ASSERT_EQ(::Run("nm -D --defined-only " + BuiltTarviRsaPath(), &out), 0);
  std::set<std::string> exported;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream f(line);
    std::string addr, type, name;
    f >> addr >> type >> name;
    if (!name.empty()) exported.insert(name);
  }
  EXPECT_EQ(exported, std::set<std::string>(expected.begin(), expected.end()));
}

TEST_F(TarviRsaTest, UnboundFunctionsFailWithOurNumberInsteadOfCrashing) {
  TarviRsaTable saved = TarviRsa;
  ClearTarviRsaTable();
  EXPECT_EQ(UnboundTarviRsaNames().size(), size_t{TARVI_RSA_FUNCTION_COUNT});
  TR_SHA_CTX sha;
  TR_RANDOM rnd;
  uint32_t len = 0, h = 0, c = 0;
  uint8_t buf[8] = {};
  EXPECT_EQ(tarvirsa::SHAInit(&sha), TR_E_NOT_BOUND);
  EXPECT_EQ(tarvirsa::SHAFinal(&sha), nullptr);
  EXPECT_EQ(tarvirsa::R_RandomCreate(&rnd), TR_E_NOT_BOUND);
  EXPECT_EQ(tarvirsa::DES3Encrypt(buf, buf, 8, buf), TR_E_NOT_BOUND);
  EXPECT_EQ(tarvirsa::X509ExtractSerial(buf, nullptr, &len), TR_E_NOT_BOUND);
  EXPECT_EQ(tarvirsa::DERDecodeLength(buf, &h, &c), TR_E_NOT_BOUND);
  TarviRsa = saved;
  EXPECT_TRUE(UnboundTarviRsaNames().empty());
}

TEST_F(TarviRsaTest, FillingFromALibraryWithoutTheNamesReportsEveryOneMissing) {
  auto other = SharedLibrary::Load("libz.so.1");
  ASSERT_TRUE(other);
  TarviRsaTable t;
  std::vector<std::string> missing = FillTarviRsaTable(*other, t);
  ASSERT_EQ(missing.size(), size_t{TARVI_RSA_FUNCTION_COUNT});
  EXPECT_EQ(missing.front(), "DES3Decrypt");
  EXPECT_EQ(missing.back(), "X509ExtractComponent");
}

// --- hashes --------------------------------------------------------------------

struct HashCase {
  std::string input;
  int repeat;
  std::string sha1, md5;
};

TEST_F(TarviRsaTest, HashesMatchKnownVectorsWhateverTheCutting) {
  const HashCase cases[] = {
      {"", 1, "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709", "D41D8CD98F00B204E9800998ECF8427E"},
      {"abc", 1, "A9993E364706816ABA3E25717850C26C9CD0D89D", "900150983CD24FB0D6963F7D28E17F72"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1, "84983E441C3BD26EBAAE4AA1F95129E5E54670F1",
       "8215EF0796A20BCAAAE116D3876C664A"},
      {"a", 1000000, "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F", "7707D6AE4E027C70EEA2A935C2296F21"},
  };
  for (const HashCase& c : cases) {
    std::string all;
    for (int i = 0; i < c.repeat; ++i) all += c.input;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(all.data());
    for (size_t cut : {size_t{1000000}, size_t{63}, size_t{1}}) {
      if (cut == 1 && all.size() > 1000) continue;
      TR_SHA_CTX sha;
      TR_MD5_CTX md5;
      ASSERT_EQ(tarvirsa::SHAInit(&sha), 0);
      ASSERT_EQ(tarvirsa::MD5Init(&md5), 0);
      for (size_t at = 0; at < all.size(); at += cut) {
        uint32_t n = static_cast<uint32_t>(std::min(cut, all.size() - at));
        ASSERT_EQ(tarvirsa::SHAUpdate(&sha, p + at, n), 0);
        ASSERT_EQ(tarvirsa::MD5Update(&md5, p + at, n), 0);
      }
      uint8_t* d = tarvirsa::SHAFinal(&sha);
      ASSERT_EQ(d, sha.digest);  // a pointer into the caller's record
      EXPECT_EQ(Hex(d, TR_SHA1_LEN), c.sha1) << c.input << " cut " << cut;
      uint8_t* m = tarvirsa::MD5Final(&md5);
      ASSERT_EQ(m, md5.digest);
      EXPECT_EQ(Hex(m, TR_MD5_LEN), c.md5) << c.input << " cut " << cut;
    }
  }
}

TEST_F(TarviRsaTest, HashContextIsPlainDataThatCanBeCopiedMidway) {
  TR_SHA_CTX a;
  ASSERT_EQ(tarvirsa::SHAInit(&a), 0);
  ASSERT_EQ(tarvirsa::SHAUpdate(&a, reinterpret_cast<const uint8_t*>("ab"), 2), 0);
  TR_SHA_CTX b = a;  // the engine keeps a copy and abandons the original
  ASSERT_EQ(tarvirsa::SHAUpdate(&b, reinterpret_cast<const uint8_t*>("c"), 1), 0);
  EXPECT_EQ(Hex(tarvirsa::SHAFinal(&b), 20), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(tarvirsa::SHAFinal(nullptr), nullptr);
  EXPECT_EQ(tarvirsa::SHAUpdate(&a, nullptr, 5), TR_E_PARAM);
}

// --- 3DES ----------------------------------------------------------------------

TEST_F(TarviRsaTest, Des3MatchesOpensslEcbAndIsInvariantToCutting) {
  TempDir dir;
  const Bytes key = FromHex("0123456789ABCDEFFEDCBA987654321089ABCDEF01234567");
  Bytes plain(1032);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 7 + 3);
  Put(dir.file("plain"), plain);
  Sh("openssl enc -des-ede3 -nopad -K " + Hex(key) + " -in " + dir.file("plain") + " -out " + dir.file("ct"));
  const Bytes expected = File(dir.file("ct"));
  ASSERT_EQ(expected.size(), plain.size());

  for (size_t cut : {size_t{8}, size_t{128}, size_t{1032}}) {
    Bytes ct(plain.size());
    for (size_t at = 0; at < plain.size(); at += cut) {
      uint32_t n = static_cast<uint32_t>(std::min(cut, plain.size() - at));
      ASSERT_EQ(tarvirsa::DES3Encrypt(key.data(), plain.data() + at, n, ct.data() + at), 0);
    }
    EXPECT_EQ(ct, expected) << "cut " << cut;
  }
  // Enciphered in 128-byte calls (as the encryptor does), deciphered in one call, in place.
  Bytes buf = expected;
  ASSERT_EQ(tarvirsa::DES3Decrypt(key.data(), buf.data(), static_cast<uint32_t>(buf.size()), buf.data()), 0);
  EXPECT_EQ(buf, plain);

  Sh("openssl enc -d -des-ede3 -nopad -K " + Hex(key) + " -in " + dir.file("plain") + " -out " + dir.file("pt"));
  Bytes ours(plain.size());
  ASSERT_EQ(tarvirsa::DES3Decrypt(key.data(), plain.data(), static_cast<uint32_t>(plain.size()), ours.data()), 0);
  EXPECT_EQ(ours, File(dir.file("pt")));

  uint8_t out[16];
  EXPECT_EQ(tarvirsa::DES3Encrypt(key.data(), plain.data(), 12, out), TR_E_DATA);
  EXPECT_EQ(tarvirsa::DES3Encrypt(key.data(), plain.data(), 0, out), 0);
}

// Large pieces are shared among threads: the bytes are those of one thread and of
// openssl, for lengths that do not split evenly, in place and out of place.
TEST_F(TarviRsaTest, Des3OnEveryThreadCountMatchesOpenssl) {
  TempDir dir;
  const Bytes key = FromHex("133457799BBCDFF10123456789ABCDEF0F1E2D3C4B5A6978");
  for (size_t len : {size_t{8}, size_t{(256 << 10) - 8}, size_t{(512 << 10) + 8}, size_t{(8 << 20) + 8 * 13}}) {
    SCOPED_TRACE(len);
    Bytes plain(len);
    uint32_t x = static_cast<uint32_t>(len);
    for (uint8_t& b : plain) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    Put(dir.file("plain"), plain);
    Sh("openssl enc -des-ede3 -nopad -K " + Hex(key) + " -in " + dir.file("plain") + " -out " + dir.file("ct"));
    const Bytes expected = File(dir.file("ct"));
    ASSERT_EQ(expected.size(), len);
    for (const char* threads : {"1", "8", "3"}) {
      SCOPED_TRACE(threads);
      setenv("TARVI_THREADS", threads, 1);
      Bytes ct(len);
      ASSERT_EQ(tarvirsa::DES3Encrypt(key.data(), plain.data(), static_cast<uint32_t>(len), ct.data()), 0);
      EXPECT_TRUE(ct == expected);
      Bytes back = ct;  // in place
      ASSERT_EQ(tarvirsa::DES3Decrypt(key.data(), back.data(), static_cast<uint32_t>(len), back.data()), 0);
      EXPECT_TRUE(back == plain);
    }
    unsetenv("TARVI_THREADS");
  }
  // A length that is not a multiple of 8 is refused whatever the thread count.
  setenv("TARVI_THREADS", "8", 1);
  Bytes big((4 << 20) + 4);
  EXPECT_EQ(tarvirsa::DES3Encrypt(key.data(), big.data(), static_cast<uint32_t>(big.size()), big.data()), TR_E_DATA);
  unsetenv("TARVI_THREADS");
}

// --- random records ------------------------------------------------------------

TEST_F(TarviRsaTest, RandomRecordMustBeSeededBeforeUse) {
  TR_RANDOM rnd{};
  uint8_t a[24] = {}, b[24] = {};
  EXPECT_EQ(tarvirsa::R_GenerateBytes(a, 24, &rnd), TR_E_NEED_RANDOM);
  ASSERT_EQ(tarvirsa::R_RandomInit(&rnd), 0);
  uint32_t needed = 0;
  ASSERT_EQ(tarvirsa::R_GetRandomBytesNeeded(&needed, &rnd), 0);
  EXPECT_EQ(needed, uint32_t{TR_RANDOM_BYTES_NEEDED});
  uint8_t seed[200] = {1, 2, 3};
  ASSERT_EQ(tarvirsa::R_RandomUpdate(&rnd, seed, sizeof seed), 0);
  ASSERT_EQ(tarvirsa::R_GetRandomBytesNeeded(&needed, &rnd), 0);
  EXPECT_EQ(needed, uint32_t{TR_RANDOM_BYTES_NEEDED - 200});
  EXPECT_EQ(tarvirsa::R_GenerateBytes(a, 24, &rnd), TR_E_NEED_RANDOM);
  ASSERT_EQ(tarvirsa::R_RandomUpdate(&rnd, seed, sizeof seed), 0);
  ASSERT_EQ(tarvirsa::R_GetRandomBytesNeeded(&needed, &rnd), 0);
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(tarvirsa::R_GenerateBytes(a, 24, &rnd), 0);
  EXPECT_EQ(tarvirsa::R_RandomMix(&rnd), 0);

  TR_RANDOM created;
  ASSERT_EQ(tarvirsa::R_RandomCreate(&created), 0);
  TR_RANDOM copy = created;  // callers copy and restore the record
  ASSERT_EQ(tarvirsa::R_GenerateBytes(a, 24, &copy), 0);
  ASSERT_EQ(tarvirsa::R_GenerateBytes(b, 24, &created), 0);
  EXPECT_NE(Hex(a, 24), Hex(b, 24));
  ASSERT_EQ(tarvirsa::R_RandomFinal(&created), 0);
  EXPECT_EQ(tarvirsa::R_GenerateBytes(a, 24, &created), TR_E_NEED_RANDOM);
}

// --- RSA against the openssl command line ---------------------------------------

class TarviRsaKeyTest : public TarviRsaTest, public ::testing::WithParamInterface<int> {
 protected:
  static void SetUpTestSuite() {
    BindTarviRsaOnce();
    dir_ = new TempDir("rsa");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
    keys_.clear();
  }
  // Made on first use: each test case runs in a process of its own.
  const RsaKeyFiles& key() {
    if (!keys_.count(GetParam())) MakeRsaKey(*dir_, "k" + std::to_string(GetParam()), GetParam(), &keys_[GetParam()]);
    return keys_[GetParam()];
  }
  uint32_t modLen() { return static_cast<uint32_t>(GetParam() / 8); }
  std::string file(const std::string& n) { return dir_->file(n + std::to_string(GetParam())); }

  static TempDir* dir_;
  static std::map<int, RsaKeyFiles> keys_;
};
TempDir* TarviRsaKeyTest::dir_ = nullptr;
std::map<int, RsaKeyFiles> TarviRsaKeyTest::keys_;

TEST_P(TarviRsaKeyTest, SignatureBlocksInteroperateWithOpensslBothWays) {
  const Bytes di = Sha1DigestInfo(FromHex("A9993E364706816ABA3E25717850C26C9CD0D89D"));
  Put(file("di"), di);

  // Ours -> openssl.
  Bytes sig;
  ASSERT_EQ(TwoStep(
                [&](uint8_t* b, uint32_t* l) {
                  return tarvirsa::RSAPrivateEncrypt(b, l, di.data(), static_cast<uint32_t>(di.size()), &key().priv);
                },
                &sig),
            0);
  ASSERT_EQ(sig.size(), modLen());
  Put(file("oursig"), sig);
  Sh("openssl pkeyutl -verify -pubin -inkey " + key().pubPem + " -in " + file("di") + " -sigfile " + file("oursig"));

  // openssl -> ours, into a buffer sized from the key.
  Sh("openssl pkeyutl -sign -inkey " + key().keyPem + " -in " + file("di") + " -out " + file("sslsig"));
  const Bytes sslSig = File(file("sslsig"));
  EXPECT_EQ(sslSig, sig);  // PKCS #1 v1.5 type 1 is deterministic
  uint8_t out[TR_MAX_MODULUS_LEN];
  uint32_t outLen = sizeof out;
  ASSERT_EQ(tarvirsa::RSAPublicDecrypt(out, &outLen, sslSig.data(), static_cast<uint32_t>(sslSig.size()), &key().pub),
            0);
  EXPECT_EQ(Bytes(out, out + outLen), di);

  // A capacity too small for the recovered block is refused, with the size needed.
  uint32_t small = 34;
  EXPECT_EQ(tarvirsa::RSAPublicDecrypt(out, &small, sslSig.data(), static_cast<uint32_t>(sslSig.size()), &key().pub),
            TR_E_LEN);
  EXPECT_EQ(small, 35u);
  // A damaged signature does not open.
  Bytes bad = sslSig;
  bad[bad.size() / 2] ^= 1;
  outLen = sizeof out;
  EXPECT_EQ(tarvirsa::RSAPublicDecrypt(out, &outLen, bad.data(), static_cast<uint32_t>(bad.size()), &key().pub),
            TR_E_DATA);
  outLen = sizeof out;
  EXPECT_EQ(tarvirsa::RSAPublicDecrypt(out, &outLen, sslSig.data(), modLen() - 1, &key().pub), TR_E_DATA);
}

TEST_P(TarviRsaKeyTest, WrappedKeysInteroperateWithOpensslBothWays) {
  TR_RANDOM rnd;
  ASSERT_EQ(tarvirsa::R_RandomCreate(&rnd), 0);
  uint8_t sessionKey[24];
  ASSERT_EQ(tarvirsa::R_GenerateBytes(sessionKey, 24, &rnd), 0);
  const Bytes k(sessionKey, sessionKey + 24);
  Put(file("sk"), k);

  // Ours -> openssl: exactly the modulus length, null buffer first.
  uint32_t need = 0;
  ASSERT_EQ(tarvirsa::RSAPublicEncrypt(nullptr, &need, k.data(), 24, &key().pub, &rnd), 0);
  EXPECT_EQ(need, modLen());
  Bytes wrapped(need);
  uint32_t cap = need - 1;
  EXPECT_EQ(tarvirsa::RSAPublicEncrypt(wrapped.data(), &cap, k.data(), 24, &key().pub, &rnd), TR_E_LEN);
  EXPECT_EQ(cap, need);
  ASSERT_EQ(tarvirsa::RSAPublicEncrypt(wrapped.data(), &cap, k.data(), 24, &key().pub, &rnd), 0);
  EXPECT_EQ(cap, modLen());
  Put(file("wrapped"), wrapped);
  Sh("openssl pkeyutl -decrypt -inkey " + key().keyPem + " -in " + file("wrapped") + " -out " + file("unwrapped"));
  EXPECT_EQ(File(file("unwrapped")), k);

  // openssl -> ours.
  Sh("openssl pkeyutl -encrypt -pubin -inkey " + key().pubPem + " -in " + file("sk") + " -out " + file("sslwrapped"));
  const Bytes sslWrapped = File(file("sslwrapped"));
  Bytes opened;
  ASSERT_EQ(TwoStep(
                [&](uint8_t* b, uint32_t* l) {
                  return tarvirsa::RSAPrivateDecrypt(b, l, sslWrapped.data(), static_cast<uint32_t>(sslWrapped.size()),
                                                     &key().priv);
                },
                &opened),
            0);
  EXPECT_EQ(opened, k);

  // Input limits and the random record.
  Bytes tooLong(modLen() - 10, 1);
  cap = need;
  EXPECT_EQ(tarvirsa::RSAPublicEncrypt(wrapped.data(), &cap, tooLong.data(), static_cast<uint32_t>(tooLong.size()),
                                       &key().pub, &rnd),
            TR_E_LEN);
  TR_RANDOM unseeded{};
  EXPECT_EQ(tarvirsa::RSAPublicEncrypt(wrapped.data(), &cap, k.data(), 24, &key().pub, &unseeded), TR_E_NEED_RANDOM);
}

TEST_P(TarviRsaKeyTest, PublicKeyEncodingMatchesOpenssl) {
  Bytes der;
  ASSERT_EQ(TwoStep([&](uint8_t* b, uint32_t* l) { return tarvirsa::DEREncodeRSAPublicKey(&key().pub, b, l); }, &der),
            0);
  Sh("openssl rsa -pubin -in " + key().pubPem + " -RSAPublicKey_out -outform DER -out " + file("rsapub"));
  EXPECT_EQ(der, File(file("rsapub")));
}

INSTANTIATE_TEST_SUITE_P(Bits, TarviRsaKeyTest, ::testing::Values(1024, 2048, 4096));

TEST_F(TarviRsaTest, KeyRecordsOutsideTheSupportedShapeAreRefused) {
  TempDir dir;
  RsaKeyFiles k;
  MakeRsaKey(dir, "k", 1024, &k);
  uint32_t len = 0;
  uint8_t in[24] = {};
  TR_RANDOM rnd;
  ASSERT_EQ(tarvirsa::R_RandomCreate(&rnd), 0);

  TR_RSA_PUBLIC_KEY wrongBits = k.pub;
  wrongBits.bits = 1032;  // disagrees with the modulus
  EXPECT_EQ(tarvirsa::RSAPublicEncrypt(nullptr, &len, in, 24, &wrongBits, &rnd), TR_E_KEY);
  TR_RSA_PUBLIC_KEY tooBig = k.pub;
  tooBig.bits = 4104;
  EXPECT_EQ(tarvirsa::RSAPublicEncrypt(nullptr, &len, in, 24, &tooBig, &rnd), TR_E_KEY);
  TR_RSA_PUBLIC_KEY evenExponent = k.pub;
  evenExponent.exponent[TR_MAX_MODULUS_LEN - 1] ^= 1;
  EXPECT_EQ(tarvirsa::RSAPublicEncrypt(nullptr, &len, in, 24, &evenExponent, &rnd), TR_E_KEY);
  TR_RSA_PRIVATE_KEY badPrime = k.priv;
  badPrime.prime[0][TR_MAX_PRIME_LEN - 1] ^= 2;  // p*q no longer the modulus
  EXPECT_EQ(tarvirsa::RSAPrivateEncrypt(nullptr, &len, in, 24, &badPrime), TR_E_KEY);
  // 512-bit keys are below the supported range.
  TempDir d2;
  Sh("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:512 -out " + d2.file("small.key"));
  TR_RSA_PUBLIC_KEY smallPub;
  TR_RSA_PRIVATE_KEY smallPriv;
  RecordsFromPem(d2.file("small.key"), &smallPub, &smallPriv);
  EXPECT_EQ(tarvirsa::RSAPublicEncrypt(nullptr, &len, in, 24, &smallPub, &rnd), TR_E_KEY);
}

TEST_F(TarviRsaTest, GeneratedKeysWorkAndTheirRequestVerifiesWithOpenssl) {
  TR_RANDOM rnd;
  ASSERT_EQ(tarvirsa::R_RandomCreate(&rnd), 0);
  TR_RSA_PUBLIC_KEY pub;
  TR_RSA_PRIVATE_KEY priv;
  TR_RSA_PROTO_KEY proto{1024, 1};
  TR_RANDOM unseeded{};
  EXPECT_EQ(tarvirsa::R_GeneratePEMKeys(&pub, &priv, &proto, &unseeded), TR_E_NEED_RANDOM);
  TR_RSA_PROTO_KEY tooSmall{768, 1};
  EXPECT_EQ(tarvirsa::R_GeneratePEMKeys(&pub, &priv, &tooSmall, &rnd), TR_E_KEY);
  ASSERT_EQ(tarvirsa::R_GeneratePEMKeys(&pub, &priv, &proto, &rnd), 0);
  EXPECT_EQ(pub.bits, 1024);
  EXPECT_EQ(Hex(pub.exponent + TR_MAX_MODULUS_LEN - 3, 3), "010001");

  // Round trips through both key records.
  const uint8_t msg[] = "twenty-four byte secret!";
  uint8_t ct[TR_MAX_MODULUS_LEN], pt[TR_MAX_MODULUS_LEN];
  uint32_t ctLen = sizeof ct, ptLen = sizeof pt;
  ASSERT_EQ(tarvirsa::RSAPublicEncrypt(ct, &ctLen, msg, 24, &pub, &rnd), 0);
  ASSERT_EQ(tarvirsa::RSAPrivateDecrypt(pt, &ptLen, ct, ctLen, &priv), 0);
  EXPECT_EQ(Bytes(pt, pt + ptLen), Bytes(msg, msg + 24));
  ctLen = sizeof ct;
  ptLen = sizeof pt;
  ASSERT_EQ(tarvirsa::RSAPrivateEncrypt(ct, &ctLen, msg, 24, &priv), 0);
  ASSERT_EQ(tarvirsa::RSAPublicDecrypt(pt, &ptLen, ct, ctLen, &pub), 0);
  EXPECT_EQ(Bytes(pt, pt + ptLen), Bytes(msg, msg + 24));
  // A wrapped block damaged in transit is an error, not a message.
  ct[5] ^= 0x40;
  ptLen = sizeof pt;
  EXPECT_EQ(tarvirsa::RSAPrivateDecrypt(pt, &ptLen, ct, ctLen, &priv), TR_E_DATA);

  // The exponent-3 variant.
  TR_RSA_PROTO_KEY three{1024, 0};
  TR_RSA_PUBLIC_KEY pub3;
  TR_RSA_PRIVATE_KEY priv3;
  ASSERT_EQ(tarvirsa::R_GeneratePEMKeys(&pub3, &priv3, &three, &rnd), 0);
  EXPECT_EQ(pub3.exponent[TR_MAX_MODULUS_LEN - 1], 3);
  EXPECT_EQ(pub3.exponent[TR_MAX_MODULUS_LEN - 2], 0);

  // A certification request for "CN=Čedo Test,C=HR" (DER of the Name built here).
  TempDir dir;
  Sh("openssl req -new -newkey rsa:1024 -nodes -keyout " + dir.file("t.key") + " -utf8 -subj '/CN=Čedo Test/C=HR'" +
     " -outform DER -out " + dir.file("t.csr"));
  const Bytes csr = File(dir.file("t.csr"));
  const uint8_t* p = csr.data();
  X509_REQ* r = d2i_X509_REQ(nullptr, &p, static_cast<long>(csr.size()));
  ASSERT_TRUE(r);
  uint8_t* nameDer = nullptr;
  int nameLen = i2d_X509_NAME(X509_REQ_get_subject_name(r), &nameDer);
  X509_REQ_free(r);
  ASSERT_GT(nameLen, 0);
  Bytes name(nameDer, nameDer + nameLen);
  OPENSSL_free(nameDer);

  Bytes req;
  ASSERT_EQ(TwoStep(
                [&](uint8_t* b, uint32_t* l) {
                  return tarvirsa::X509CertRequest(name.data(), static_cast<uint32_t>(name.size()), &pub, &priv, b, l);
                },
                &req),
            0);
  Put(dir.file("ours.csr"), req);
  std::string out;
  ASSERT_EQ(::Run("openssl req -inform DER -in " + dir.file("ours.csr") + " -verify -noout -subject -nameopt utf8 2>&1",
                  &out),
            0)
      << out;
  EXPECT_NE(out.find("subject=CN=Čedo Test, C=HR"), std::string::npos) << out;
  uint32_t len = 0;
  EXPECT_EQ(tarvirsa::X509CertRequest(name.data(), static_cast<uint32_t>(name.size()), &pub, &priv3, nullptr, &len),
            TR_E_KEY);
  EXPECT_EQ(tarvirsa::X509CertRequest(name.data(), static_cast<uint32_t>(name.size() - 1), &pub, &priv, nullptr, &len),
            TR_E_DATA);
}

}  // namespace
