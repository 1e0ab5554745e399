// Key records to and from OpenSSL keys.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/param_build.h>

#include "internal.h"

namespace trsa {
namespace {

struct BnFree {
  BIGNUM* b = nullptr;
  ~BnFree() { BN_clear_free(b); }
};

bool AllZero(const uint8_t* p, size_t n) {
  uint8_t acc = 0;
  for (size_t i = 0; i < n; ++i) acc |= p[i];
  return acc == 0;
}

// The record's size field and modulus must agree: bits in range, the modulus exactly
// that many bits wide, right-aligned in its field.
TRRESULT CheckModulus(uint16_t bits, const uint8_t* modulus, BIGNUM** n) {
  if (bits < TR_MIN_MODULUS_BITS || bits > TR_MAX_MODULUS_BITS) return TR_E_KEY;
  *n = BN_bin2bn(modulus, TR_MAX_MODULUS_LEN, nullptr);
  if (!*n) return TR_E_ALLOC;
  if (BN_num_bits(*n) != bits) return TR_E_KEY;
  return 0;
}

TRRESULT CheckExponent(const uint8_t* exponent, BIGNUM** e) {
  *e = BN_bin2bn(exponent, TR_MAX_MODULUS_LEN, nullptr);
  if (!*e) return TR_E_ALLOC;
  if (!BN_is_odd(*e) || BN_is_one(*e)) return TR_E_KEY;
  return 0;
}

TRRESULT FromParams(OSSL_PARAM_BLD* bld, int selection, EVP_PKEY** out) {
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  if (!params) return TR_E_ALLOC;
  TRRESULT rc = TR_E_KEY;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  if (ctx && EVP_PKEY_fromdata_init(ctx) == 1 && EVP_PKEY_fromdata(ctx, out, selection, params) == 1) rc = 0;
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  return rc;
}

bool Put(const EVP_PKEY* pkey, const char* name, uint8_t* dst, size_t width) {
  BIGNUM* b = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, name, &b) != 1) return false;
  bool ok = BN_num_bytes(b) <= static_cast<int>(width) && BN_bn2binpad(b, dst, static_cast<int>(width)) >= 0;
  BN_clear_free(b);
  return ok;
}

}  // namespace

TRRESULT PublicKeyFromRecord(const TR_RSA_PUBLIC_KEY* key, EVP_PKEY** out) {
  if (!key || !out) return TR_E_PARAM;
  *out = nullptr;
  BnFree n, e;
  TRRESULT rc = CheckModulus(key->bits, key->modulus, &n.b);
  if (!rc) rc = CheckExponent(key->exponent, &e.b);
  if (rc) return rc;
  if (BN_cmp(e.b, n.b) >= 0) return TR_E_KEY;
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  if (!bld) return TR_E_ALLOC;
  rc = TR_E_ALLOC;
  if (OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n.b) &&
      OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e.b))
    rc = FromParams(bld, EVP_PKEY_PUBLIC_KEY, out);
  OSSL_PARAM_BLD_free(bld);
  return rc;
}

TRRESULT PrivateKeyFromRecord(const TR_RSA_PRIVATE_KEY* key, EVP_PKEY** out) {
  if (!key || !out) return TR_E_PARAM;
  *out = nullptr;
  BnFree n, e, d, p, q, dp, dq, qinv;
  TRRESULT rc = CheckModulus(key->bits, key->modulus, &n.b);
  if (!rc) rc = CheckExponent(key->publicExponent, &e.b);
  if (rc) return rc;
  if (AllZero(key->exponent, sizeof key->exponent)) return TR_E_KEY;
  const uint8_t* fields[] = {key->prime[0], key->prime[1], key->primeExponent[0], key->primeExponent[1],
                             key->coefficient};
  for (const uint8_t* f : fields)
    if (AllZero(f, TR_MAX_PRIME_LEN)) return TR_E_KEY;
  d.b = BN_bin2bn(key->exponent, TR_MAX_MODULUS_LEN, nullptr);
  p.b = BN_bin2bn(key->prime[0], TR_MAX_PRIME_LEN, nullptr);
  q.b = BN_bin2bn(key->prime[1], TR_MAX_PRIME_LEN, nullptr);
  dp.b = BN_bin2bn(key->primeExponent[0], TR_MAX_PRIME_LEN, nullptr);
  dq.b = BN_bin2bn(key->primeExponent[1], TR_MAX_PRIME_LEN, nullptr);
  qinv.b = BN_bin2bn(key->coefficient, TR_MAX_PRIME_LEN, nullptr);
  if (!d.b || !p.b || !q.b || !dp.b || !dq.b || !qinv.b) return TR_E_ALLOC;
  // A record whose primes do not multiply to the modulus would give wrong results
  // through the CRT path rather than an error.
  BnFree prod;
  BN_CTX* bnctx = BN_CTX_new();
  prod.b = BN_new();
  if (!bnctx || !prod.b) {
    BN_CTX_free(bnctx);
    return TR_E_ALLOC;
  }
  bool consistent = BN_mul(prod.b, p.b, q.b, bnctx) == 1 && BN_cmp(prod.b, n.b) == 0;
  BN_CTX_free(bnctx);
  if (!consistent) return TR_E_KEY;

  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  if (!bld) return TR_E_ALLOC;
  rc = TR_E_ALLOC;
  if (OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n.b) &&
      OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e.b) &&
      OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, d.b) &&
      OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR1, p.b) &&
      OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR2, q.b) &&
      OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.b) &&
      OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.b) &&
      OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.b))
    rc = FromParams(bld, EVP_PKEY_KEYPAIR, out);
  OSSL_PARAM_BLD_free(bld);
  return rc;
}

TRRESULT RecordFromPublicKey(const EVP_PKEY* pkey, TR_RSA_PUBLIC_KEY* out) {
  if (!pkey || EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) return TR_E_KEY;
  int bits = EVP_PKEY_get_bits(pkey);
  if (bits < TR_MIN_MODULUS_BITS || bits > TR_MAX_MODULUS_BITS) return TR_E_KEY;
  TR_RSA_PUBLIC_KEY rec;
  std::memset(&rec, 0, sizeof rec);
  rec.bits = static_cast<uint16_t>(bits);
  if (!Put(pkey, OSSL_PKEY_PARAM_RSA_N, rec.modulus, sizeof rec.modulus) ||
      !Put(pkey, OSSL_PKEY_PARAM_RSA_E, rec.exponent, sizeof rec.exponent))
    return TR_E_KEY;
  // A certificate may carry a key that parses but that no operation takes (an even
  // exponent, one not below the modulus): refused here, so that a record handed
  // out is one every function accepts.
  EVP_PKEY* usable = nullptr;
  const TRRESULT rc = PublicKeyFromRecord(&rec, &usable);
  EVP_PKEY_free(usable);
  if (rc) return rc == TR_E_ALLOC ? rc : TR_E_KEY;
  *out = rec;
  return 0;
}

TRRESULT RecordFromPrivateKey(const EVP_PKEY* pkey, TR_RSA_PRIVATE_KEY* out) {
  if (!pkey || EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) return TR_E_KEY;
  int bits = EVP_PKEY_get_bits(pkey);
  if (bits < TR_MIN_MODULUS_BITS || bits > TR_MAX_MODULUS_BITS) return TR_E_KEY;
  TR_RSA_PRIVATE_KEY* rec = out;
  std::memset(rec, 0, sizeof *rec);
  rec->bits = static_cast<uint16_t>(bits);
  bool ok = Put(pkey, OSSL_PKEY_PARAM_RSA_N, rec->modulus, sizeof rec->modulus) &&
            Put(pkey, OSSL_PKEY_PARAM_RSA_E, rec->publicExponent, sizeof rec->publicExponent) &&
            Put(pkey, OSSL_PKEY_PARAM_RSA_D, rec->exponent, sizeof rec->exponent) &&
            Put(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1, rec->prime[0], TR_MAX_PRIME_LEN) &&
            Put(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2, rec->prime[1], TR_MAX_PRIME_LEN) &&
            Put(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1, rec->primeExponent[0], TR_MAX_PRIME_LEN) &&
            Put(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2, rec->primeExponent[1], TR_MAX_PRIME_LEN) &&
            Put(pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, rec->coefficient, TR_MAX_PRIME_LEN);
  if (!ok) {
    OPENSSL_cleanse(rec, sizeof *rec);
    return TR_E_KEY;
  }
  return 0;
}

}  // namespace trsa
