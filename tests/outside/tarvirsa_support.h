#pragma once
// Shared by the cryptographic-library tests: the library bound through the program's
// own table, OpenSSL command-line peers, and key records read from PEM files.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "card/tarvirsa_api.h"
#include "platform/library.h"
#include "support/tarvirsa_binding.h"
#include "support/temp_dir.h"

using Bytes = std::vector<uint8_t>;

// Binds the library into the global table once per test program.
inline void BindTarviRsaOnce() {
  std::string why;
  ASSERT_TRUE(BindBuiltTarviRsa(&why)) << why;
}

inline std::string Hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += {d[p[i] >> 4], d[p[i] & 15]};
  return s;
}
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

inline Bytes FromHex(const std::string& h) {
  Bytes b;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return b;
}

inline Bytes File(const std::string& path) { return ReadAll(path); }
inline void Put(const std::string& path, const Bytes& b) { WriteAll(path, b.data(), b.size()); }

// Runs a command that must succeed (stderr folded into the failure text).
inline void Sh(const std::string& cmd) {
  std::string out;
  int rc = ::Run(cmd + " 2>&1", &out);
  ASSERT_EQ(rc, 0) << cmd << "\n" << out;
}

// Two-step call helper: asks for the size, then fills a buffer of exactly that size.
template <typename F>
TRRESULT TwoStep(F call, Bytes* out) {
  uint32_t len = 0;
  TRRESULT rc = call(nullptr, &len);
  if (rc) return rc;
  out->assign(len, 0xEE);
  uint32_t cap = len;
  rc = call(out->data(), &cap);
  if (!rc) out->resize(cap);
  return rc;
}

// An RSA key made by openssl, with its records and the files the CLI peers use.
struct RsaKeyFiles {
  std::string keyPem, pubPem;
  TR_RSA_PUBLIC_KEY pub{};
  TR_RSA_PRIVATE_KEY priv{};
};

inline void BnField(const EVP_PKEY* k, const char* name, uint8_t* dst, size_t width) {
  BIGNUM* b = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(k, name, &b), 1) << name;
  ASSERT_GE(BN_bn2binpad(b, dst, static_cast<int>(width)), 0);
  BN_free(b);
}

// Records filled straight from OpenSSL's view of the key, not through the library.
inline void RecordsFromPem(const std::string& keyPem, TR_RSA_PUBLIC_KEY* pub, TR_RSA_PRIVATE_KEY* priv) {
  FILE* f = std::fopen(keyPem.c_str(), "r");
  ASSERT_TRUE(f);
  EVP_PKEY* k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  ASSERT_TRUE(k);
  std::memset(pub, 0, sizeof *pub);
  std::memset(priv, 0, sizeof *priv);
  pub->bits = priv->bits = static_cast<uint16_t>(EVP_PKEY_get_bits(k));
  BnField(k, OSSL_PKEY_PARAM_RSA_N, pub->modulus, TR_MAX_MODULUS_LEN);
  BnField(k, OSSL_PKEY_PARAM_RSA_E, pub->exponent, TR_MAX_MODULUS_LEN);
  std::memcpy(priv->modulus, pub->modulus, TR_MAX_MODULUS_LEN);
  std::memcpy(priv->publicExponent, pub->exponent, TR_MAX_MODULUS_LEN);
  BnField(k, OSSL_PKEY_PARAM_RSA_D, priv->exponent, TR_MAX_MODULUS_LEN);
  BnField(k, OSSL_PKEY_PARAM_RSA_FACTOR1, priv->prime[0], TR_MAX_PRIME_LEN);
  BnField(k, OSSL_PKEY_PARAM_RSA_FACTOR2, priv->prime[1], TR_MAX_PRIME_LEN);
  BnField(k, OSSL_PKEY_PARAM_RSA_EXPONENT1, priv->primeExponent[0], TR_MAX_PRIME_LEN);
  BnField(k, OSSL_PKEY_PARAM_RSA_EXPONENT2, priv->primeExponent[1], TR_MAX_PRIME_LEN);
  BnField(k, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, priv->coefficient, TR_MAX_PRIME_LEN);
  EVP_PKEY_free(k);
}

inline void MakeRsaKey(const TempDir& dir, const std::string& name, int bits, RsaKeyFiles* out) {
  out->keyPem = dir.file(name + ".key");
  out->pubPem = dir.file(name + ".pub");
  Sh("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits) + " -out " + out->keyPem);
  Sh("openssl pkey -in " + out->keyPem + " -pubout -out " + out->pubPem);
  RecordsFromPem(out->keyPem, &out->pub, &out->priv);
}

// The SHA-1 DigestInfo that card signatures carry.
inline Bytes Sha1DigestInfo(const Bytes& digest20) {
  Bytes di = FromHex("3021300906052B0E03021A05000414");
  di.insert(di.end(), digest20.begin(), digest20.end());
  return di;
}
