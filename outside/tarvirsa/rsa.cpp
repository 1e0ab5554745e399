// RSA with PKCS #1 v1.5 padding, key generation and the PKCS #1 public-key encoding.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/rsa.h>

#include "internal.h"

using namespace trsa;

namespace {

enum class Op { kPublicEncrypt, kPublicDecrypt, kPrivateEncrypt, kPrivateDecrypt };

struct PkeyFree {
  EVP_PKEY* k = nullptr;
  ~PkeyFree() { EVP_PKEY_free(k); }
};

// One raw PKCS #1 v1.5 operation into out (TR_MAX_MODULUS_LEN bytes).
TRRESULT Transform(EVP_PKEY* pkey, Op op, const uint8_t* in, size_t inLen, uint8_t* out, size_t* outLen) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr);
  if (!ctx) return TR_E_ALLOC;
  int ok = 0;
  switch (op) {
    case Op::kPublicEncrypt: ok = EVP_PKEY_encrypt_init(ctx); break;
    case Op::kPublicDecrypt: ok = EVP_PKEY_verify_recover_init(ctx); break;
    case Op::kPrivateEncrypt: ok = EVP_PKEY_sign_init(ctx); break;
    case Op::kPrivateDecrypt: ok = EVP_PKEY_decrypt_init(ctx); break;
  }
  TRRESULT rc = TR_E_CRYPTO;
  if (ok == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1) {
#ifdef OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION
    // A bad block must be reported, not replaced by a synthetic message.
    if (op == Op::kPrivateDecrypt) {
      unsigned int off = 0;
      OSSL_PARAM params[] = {OSSL_PARAM_construct_uint(OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION, &off),
                             OSSL_PARAM_construct_end()};
      EVP_PKEY_CTX_set_params(ctx, params);
    }
#endif
    size_t n = TR_MAX_MODULUS_LEN;
    switch (op) {
      case Op::kPublicEncrypt: ok = EVP_PKEY_encrypt(ctx, out, &n, in, inLen); break;
      case Op::kPublicDecrypt: ok = EVP_PKEY_verify_recover(ctx, out, &n, in, inLen); break;
      case Op::kPrivateEncrypt: ok = EVP_PKEY_sign(ctx, out, &n, in, inLen); break;
      case Op::kPrivateDecrypt: ok = EVP_PKEY_decrypt(ctx, out, &n, in, inLen); break;
    }
    if (ok == 1) {
      *outLen = n;
      rc = 0;
    } else {
      // Padding or range failures of the block itself.
      rc = (op == Op::kPublicDecrypt || op == Op::kPrivateDecrypt) ? TR_E_DATA : TR_E_CRYPTO;
    }
  }
  EVP_PKEY_CTX_free(ctx);
  return rc;
}

// The common frame of the four functions: the two-step size query, the input limits,
// the capacity rule.
TRRESULT Run(EVP_PKEY* pkey, uint32_t modLen, Op op, uint8_t* out, uint32_t* outLen, const uint8_t* in,
             uint32_t inLen) {
  if (!out) {
    *outLen = modLen;
    return 0;
  }
  if (!in && inLen) return TR_E_PARAM;
  bool encrypting = op == Op::kPublicEncrypt || op == Op::kPrivateEncrypt;
  if (encrypting) {
    if (inLen > modLen - 11) return TR_E_LEN;
    if (*outLen < modLen) {
      *outLen = modLen;
      return TR_E_LEN;
    }
  } else if (inLen != modLen) {
    return TR_E_DATA;
  }
  uint8_t tmp[TR_MAX_MODULUS_LEN];
  size_t n = 0;
  static const uint8_t kEmpty = 0;
  TRRESULT rc = Transform(pkey, op, in ? in : &kEmpty, inLen, tmp, &n);
  if (!rc && encrypting && n != modLen) rc = TR_E_CRYPTO;
  if (!rc) rc = Output(tmp, n, out, outLen);
  OPENSSL_cleanse(tmp, sizeof tmp);
  return rc;
}

void PutInteger(const uint8_t* field, size_t width, uint8_t* dst, size_t* pos) {
  size_t skip = 0;
  while (skip + 1 < width && field[skip] == 0) ++skip;
  size_t n = width - skip;
  bool pad = field[skip] & 0x80;
  size_t content = n + (pad ? 1 : 0);
  dst[(*pos)++] = 0x02;
  if (content < 0x80) {
    dst[(*pos)++] = static_cast<uint8_t>(content);
  } else if (content < 0x100) {
    dst[(*pos)++] = 0x81;
    dst[(*pos)++] = static_cast<uint8_t>(content);
  } else {
    dst[(*pos)++] = 0x82;
    dst[(*pos)++] = static_cast<uint8_t>(content >> 8);
    dst[(*pos)++] = static_cast<uint8_t>(content);
  }
  if (pad) dst[(*pos)++] = 0;
  std::memcpy(dst + *pos, field + skip, n);
  *pos += n;
}

// One operation with the key a record holds. A padding that needs randomness
// (rnd given) needs a seeded source once there is an output to make.
template <typename KeyRecord>
TRRESULT WithKey(const KeyRecord* key, TRRESULT (*fromRecord)(const KeyRecord*, EVP_PKEY**), Op op, uint8_t* out,
                 uint32_t* outLen, const uint8_t* in, uint32_t inLen, const TR_RANDOM* rnd = nullptr) {
  if (!outLen || !key) return TR_E_PARAM;
  ErrScope errs;
  PkeyFree pk;
  TRRESULT rc = fromRecord(key, &pk.k);
  if (rc) return rc;
  if (op == Op::kPublicEncrypt && out && !RandomReady(rnd)) return TR_E_NEED_RANDOM;
  return Run(pk.k, ModulusBytes(key->bits), op, out, outLen, in, inLen);
}

}  // namespace

extern "C" {

TRRESULT RSAPublicEncrypt(uint8_t* out, uint32_t* outLen, const uint8_t* in, uint32_t inLen,
                          const TR_RSA_PUBLIC_KEY* key, TR_RANDOM* rnd) {
  return WithKey(key, PublicKeyFromRecord, Op::kPublicEncrypt, out, outLen, in, inLen, rnd);
}

TRRESULT RSAPublicDecrypt(uint8_t* out, uint32_t* outLen, const uint8_t* in, uint32_t inLen,
                          const TR_RSA_PUBLIC_KEY* key) {
  return WithKey(key, PublicKeyFromRecord, Op::kPublicDecrypt, out, outLen, in, inLen);
}

TRRESULT RSAPrivateEncrypt(uint8_t* out, uint32_t* outLen, const uint8_t* in, uint32_t inLen,
                           const TR_RSA_PRIVATE_KEY* key) {
  return WithKey(key, PrivateKeyFromRecord, Op::kPrivateEncrypt, out, outLen, in, inLen);
}

TRRESULT RSAPrivateDecrypt(uint8_t* out, uint32_t* outLen, const uint8_t* in, uint32_t inLen,
                           const TR_RSA_PRIVATE_KEY* key) {
  return WithKey(key, PrivateKeyFromRecord, Op::kPrivateDecrypt, out, outLen, in, inLen);
}

TRRESULT R_GeneratePEMKeys(TR_RSA_PUBLIC_KEY* pub, TR_RSA_PRIVATE_KEY* priv, const TR_RSA_PROTO_KEY* proto,
                           TR_RANDOM* rnd) {
  if (!pub || !priv || !proto) return TR_E_PARAM;
  if (proto->bits < TR_MIN_MODULUS_BITS || proto->bits > TR_MAX_MODULUS_BITS) return TR_E_KEY;
  if (!RandomReady(rnd)) return TR_E_NEED_RANDOM;
  ErrScope errs;
  BIGNUM* e = BN_new();
  if (!e || BN_set_word(e, proto->useFermat4 ? 65537 : 3) != 1) {
    BN_free(e);
    return TR_E_ALLOC;
  }
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* pkey = nullptr;
  TRRESULT rc = TR_E_CRYPTO;
  if (ctx && EVP_PKEY_keygen_init(ctx) == 1 &&
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, static_cast<int>(proto->bits)) == 1 &&
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e) == 1 && EVP_PKEY_generate(ctx, &pkey) == 1) {
    TR_RSA_PUBLIC_KEY p;
    rc = RecordFromPublicKey(pkey, &p);
    if (!rc) rc = RecordFromPrivateKey(pkey, priv);
    if (!rc) *pub = p;
  }
  EVP_PKEY_free(pkey);
  EVP_PKEY_CTX_free(ctx);
  BN_free(e);
  return rc;
}

TRRESULT DEREncodeRSAPublicKey(const TR_RSA_PUBLIC_KEY* key, uint8_t* buf, uint32_t* len) {
  if (!key || !len) return TR_E_PARAM;
  ErrScope errs;
  PkeyFree pk;
  TRRESULT rc = PublicKeyFromRecord(key, &pk.k);  // the same checks as every other use of a record
  if (rc) return rc;
  uint8_t body[2 * (TR_MAX_MODULUS_LEN + 5)];
  size_t pos = 0;
  PutInteger(key->modulus, TR_MAX_MODULUS_LEN, body, &pos);
  PutInteger(key->exponent, TR_MAX_MODULUS_LEN, body, &pos);
  uint8_t der[sizeof body + 4];
  size_t n = 0;
  der[n++] = 0x30;
  if (pos < 0x80) {
    der[n++] = static_cast<uint8_t>(pos);
  } else if (pos < 0x100) {
    der[n++] = 0x81;
    der[n++] = static_cast<uint8_t>(pos);
  } else {
    der[n++] = 0x82;
    der[n++] = static_cast<uint8_t>(pos >> 8);
    der[n++] = static_cast<uint8_t>(pos);
  }
  std::memcpy(der + n, body, pos);
  return Output(der, n + pos, buf, len);
}

}  // extern "C"
