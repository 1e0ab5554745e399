#pragma once
/* The interface of the cryptographic library (libtarvirsa.so, configured as
 * "tarvirsa.dll"): RSA public- and private-key operations with PKCS #1 v1.5,
 * DES-EDE3, SHA-1, MD5, random records and X.509 / PKCS #7 / DER parsing.
 *
 * Plain C, shared by the library itself and by the program, which binds the 33
 * functions by name at run time (card/tarvirsa_api.h).
 *
 * Rules common to every function:
 *  - The result is a TRRESULT: 0 on success, otherwise one of the TR_E_* numbers
 *    below. SHAFinal and MD5Final return a pointer into the caller's context.
 *  - Lengths are 32-bit.
 *  - Two-step calls (a buffer and a length pointer): with a null buffer, *len gets
 *    the size needed and the result is 0. With a buffer, *len on entry is its
 *    capacity; a capacity that is too small gives TR_E_LEN and *len gets the size
 *    needed; on success *len is the number of bytes written.
 *  - Certificates given without a length (the X509Extract* family) are bounded by
 *    their outer TLV, which must be well formed and at most TR_MAX_CERT_LEN bytes.
 *    The library reads nothing past that TLV, but it cannot know how many bytes the
 *    caller really holds: callers check DerFits() (card/tarvirsa_api.h) first.
 *  - Every DER length is checked against its enclosing element: a truncated or
 *    lying length gives an error, never a read out of bounds.
 *  - RSA keys of 1024 to 4096 bits work everywhere; outputs are sized from the key.
 *  - No function keeps state of its own: every context lives in the caller's
 *    record, holds no heap memory and may be copied, abandoned or restored freely.
 */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t TRRESULT; /* 0 = success */

#define TR_MAX_MODULUS_LEN 512 /* bytes: 4096 bits */
#define TR_MIN_MODULUS_BITS 1024
#define TR_MAX_MODULUS_BITS 4096
#define TR_MAX_PRIME_LEN 256  /* TR_MAX_MODULUS_LEN / 2 */
#define TR_MAX_CERT_LEN 20480 /* largest certificate any function accepts or returns */
#define TR_SHA1_LEN 20
#define TR_MD5_LEN 16
#define TR_DES3_KEY_LEN 24         /* K1 || K2 || K3 */
#define TR_RANDOM_BYTES_NEEDED 256 /* seed bytes R_RandomUpdate must see before use */

/* Error numbers. They lie at 0x400 and above, outside the range that the PKCS#11
 * return-code texts name, so no message shows them under a misleading CKR_ name. */
#define TR_E_DATA 0x401          /* malformed input: bad DER, bad padding, wrong length multiple */
#define TR_E_LEN 0x402           /* output capacity too small, or an input longer than allowed */
#define TR_E_KEY 0x403           /* unusable key record: not RSA, size outside 1024..4096 bits */
#define TR_E_NEED_RANDOM 0x404   /* random record not seeded */
#define TR_E_NOT_FOUND 0x405     /* the asked-for element is absent */
#define TR_E_SIGNATURE 0x406     /* signature does not verify */
#define TR_E_NOT_SUPPORTED 0x407 /* an id, selector or flag value the library does not know */
#define TR_E_ALLOC 0x408         /* out of memory */
#define TR_E_NOT_BOUND 0x409     /* never returned by the library: the program's wrapper of an unbound function */
#define TR_E_PARAM 0x40A         /* a required pointer is null */
#define TR_E_CRYPTO 0x40B        /* the underlying cryptographic operation failed */

/* Ids of X509ExtractComponent; they are not the last arcs of the attributes' OIDs. */
#define TR_COMPONENT_COMMON_NAME 8 /* 2.5.4.3 */
#define TR_COMPONENT_ORG_UNIT 5    /* 2.5.4.11 */
#define TR_COMPONENT_ORG 4         /* 2.5.4.10 */
#define TR_COMPONENT_COUNTRY 1     /* 2.5.4.6 */

/* Selectors of X509ExtractFromPKCS7. */
#define TR_PKCS7_CERTIFICATE 1 /* "what": a certificate of the SignedData's set */
#define TR_PKCS7_FIRST (-1)    /* "index": the first one; 0, 1, ... pick by position */

/* RSA public key: 1026 bytes. modulus and exponent are big-endian and right-aligned
 * in their fields (leading zero bytes); bits is the modulus size in bits. */
typedef struct TR_RSA_PUBLIC_KEY {
  uint16_t bits;
  uint8_t modulus[TR_MAX_MODULUS_LEN];
  uint8_t exponent[TR_MAX_MODULUS_LEN];
} TR_RSA_PUBLIC_KEY;

/* RSA private key: 2818 bytes, every number big-endian and right-aligned. */
typedef struct TR_RSA_PRIVATE_KEY {
  uint16_t bits;
  uint8_t modulus[TR_MAX_MODULUS_LEN];
  uint8_t publicExponent[TR_MAX_MODULUS_LEN];
  uint8_t exponent[TR_MAX_MODULUS_LEN];       /* d */
  uint8_t prime[2][TR_MAX_PRIME_LEN];         /* p, q */
  uint8_t primeExponent[2][TR_MAX_PRIME_LEN]; /* d mod (p-1), d mod (q-1) */
  uint8_t coefficient[TR_MAX_PRIME_LEN];      /* q^-1 mod p */
} TR_RSA_PRIVATE_KEY;

/* Parameters of R_GeneratePEMKeys. */
typedef struct TR_RSA_PROTO_KEY {
  uint32_t bits;      /* 1024..4096, a multiple of 8 */
  int32_t useFermat4; /* non-zero: public exponent 65537, else 3 */
} TR_RSA_PROTO_KEY;

/* Random record: 64 bytes, plain data (callers copy and restore it). Output comes
 * from the operating system's generator; the record only says whether it has been
 * seeded (R_RandomCreate, or R_RandomInit + enough R_RandomUpdate). */
typedef struct TR_RANDOM {
  uint32_t seeded;      /* 1 when ready */
  uint32_t bytesNeeded; /* seed bytes still wanted before ready */
  uint8_t state[56];    /* mixed seed material */
} TR_RANDOM;

/* SHA-1 context: 152 bytes, the whole state inside the record. */
typedef struct TR_SHA_CTX {
  uint64_t state[16];          /* the hash state, opaque */
  uint8_t digest[TR_SHA1_LEN]; /* SHAFinal writes here and returns &digest[0] */
  uint8_t reserved[4];
} TR_SHA_CTX;

/* MD5 context: 144 bytes, the whole state inside the record. */
typedef struct TR_MD5_CTX {
  uint64_t state[16];         /* the hash state, opaque */
  uint8_t digest[TR_MD5_LEN]; /* MD5Final writes here and returns &digest[0] */
} TR_MD5_CTX;

#ifdef __cplusplus
static_assert(sizeof(TR_RSA_PUBLIC_KEY) == 1026, "public-key record layout");
static_assert(sizeof(TR_RSA_PRIVATE_KEY) == 2818, "private-key record layout");
static_assert(sizeof(TR_RANDOM) == 64, "random record layout");
static_assert(sizeof(TR_SHA_CTX) == 152, "SHA-1 context layout");
static_assert(sizeof(TR_MD5_CTX) == 144, "MD5 context layout");
#endif

/* The 33 functions, in the binder's fixed order:
 *   X(return type, name, (parameters), (argument names))
 * Argument orders are the library's ABI. */
#define TARVI_RSA_FUNCTIONS(X)                                                                                        \
  /* 3DES (DES-EDE3, ECB, no padding, no IV): len must be a multiple of 8, else TR_E_DATA.                            \
   * Any cutting of data into calls of multiples of 8 gives the same result; out may equal in. */                     \
  X(TRRESULT, DES3Decrypt, (const uint8_t* key24, const uint8_t* in, uint32_t len, uint8_t* out),                     \
    (key24, in, len, out))                                                                                            \
  X(TRRESULT, DES3Encrypt, (const uint8_t* key24, const uint8_t* in, uint32_t len, uint8_t* out),                     \
    (key24, in, len, out))                                                                                            \
  /* MD5: returns a pointer to ctx->digest (16 bytes), or null when ctx is null. */                                   \
  X(uint8_t*, MD5Final, (TR_MD5_CTX * ctx), (ctx))                                                                    \
  X(TRRESULT, MD5Init, (TR_MD5_CTX * ctx), (ctx))                                                                     \
  X(TRRESULT, MD5Update, (TR_MD5_CTX * ctx, const uint8_t* data, uint32_t len), (ctx, data, len))                     \
  /* RSA with the private key, two-step on out/outLen (size needed: the modulus length).                              \
   * Decrypt: in is exactly modulus-length bytes of PKCS #1 v1.5 type 2; out gets the message.                        \
   * Encrypt: in at most modulus length - 11 bytes, padded with type 1; out gets modulus length. */                   \
  X(TRRESULT, RSAPrivateDecrypt,                                                                                      \
    (uint8_t * out, uint32_t * outLen, const uint8_t* in, uint32_t inLen, const TR_RSA_PRIVATE_KEY* key),             \
    (out, outLen, in, inLen, key))                                                                                    \
  X(TRRESULT, RSAPrivateEncrypt,                                                                                      \
    (uint8_t * out, uint32_t * outLen, const uint8_t* in, uint32_t inLen, const TR_RSA_PRIVATE_KEY* key),             \
    (out, outLen, in, inLen, key))                                                                                    \
  /* RSA with the public key, two-step on out/outLen (size needed: the modulus length).                               \
   * Decrypt: in is exactly modulus-length bytes; opens a type-1 block (a CKM_RSA_PKCS signature),                    \
   *   out gets the content, at most modulus length - 11 bytes (a SHA-1 DigestInfo is 35).                            \
   * Encrypt: in at most modulus length - 11 bytes, padded with type 2 (what CKM_RSA_PKCS decryption                  \
   *   opens); out gets exactly the modulus length, big-endian. rnd must be seeded. */                                \
  X(TRRESULT, RSAPublicDecrypt,                                                                                       \
    (uint8_t * out, uint32_t * outLen, const uint8_t* in, uint32_t inLen, const TR_RSA_PUBLIC_KEY* key),              \
    (out, outLen, in, inLen, key))                                                                                    \
  X(TRRESULT, RSAPublicEncrypt,                                                                                       \
    (uint8_t * out, uint32_t * outLen, const uint8_t* in, uint32_t inLen, const TR_RSA_PUBLIC_KEY* key,               \
     TR_RANDOM* rnd),                                                                                                 \
    (out, outLen, in, inLen, key, rnd))                                                                               \
  /* Random: R_GenerateBytes needs a seeded record (else TR_E_NEED_RANDOM). */                                        \
  X(TRRESULT, R_GenerateBytes, (uint8_t * buf, uint32_t len, TR_RANDOM * rnd), (buf, len, rnd))                       \
  /* A new key pair of proto->bits bits; rnd must be seeded. */                                                       \
  X(TRRESULT, R_GeneratePEMKeys,                                                                                      \
    (TR_RSA_PUBLIC_KEY * pub, TR_RSA_PRIVATE_KEY * priv, const TR_RSA_PROTO_KEY* proto, TR_RANDOM* rnd),              \
    (pub, priv, proto, rnd))                                                                                          \
  X(TRRESULT, R_GetRandomBytesNeeded, (uint32_t * bytesNeeded, TR_RANDOM * rnd), (bytesNeeded, rnd))                  \
  /* Init + seed from the operating system: the record is ready at once. */                                           \
  X(TRRESULT, R_RandomCreate, (TR_RANDOM * rnd), (rnd))                                                               \
  /* Wipes the record (not seeded afterwards). */                                                                     \
  X(TRRESULT, R_RandomFinal, (TR_RANDOM * rnd), (rnd))                                                                \
  /* Not seeded, TR_RANDOM_BYTES_NEEDED seed bytes wanted. */                                                         \
  X(TRRESULT, R_RandomInit, (TR_RANDOM * rnd), (rnd))                                                                 \
  /* Stirs fresh operating-system randomness into the record's state. */                                              \
  X(TRRESULT, R_RandomMix, (TR_RANDOM * rnd), (rnd))                                                                  \
  X(TRRESULT, R_RandomUpdate, (TR_RANDOM * rnd, const uint8_t* seed, uint32_t len), (rnd, seed, len))                 \
  /* SHA-1: SHAFinal returns a pointer to ctx->digest (20 bytes), or null when ctx is null. */                        \
  X(uint8_t*, SHAFinal, (TR_SHA_CTX * ctx), (ctx))                                                                    \
  X(TRRESULT, SHAInit, (TR_SHA_CTX * ctx), (ctx))                                                                     \
  X(TRRESULT, SHAUpdate, (TR_SHA_CTX * ctx, const uint8_t* data, uint32_t len), (ctx, data, len))                     \
  /* A PKCS #10 request (DER, sha256WithRSAEncryption) for the subject Name DER and the key pair;                     \
   * two-step on buf/len. */                                                                                          \
  X(TRRESULT, X509CertRequest,                                                                                        \
    (const uint8_t* subjectDer, uint32_t subjectLen, const TR_RSA_PUBLIC_KEY* pub, const TR_RSA_PRIVATE_KEY* priv,    \
     uint8_t* buf, uint32_t* len),                                                                                    \
    (subjectDer, subjectLen, pub, priv, buf, len))                                                                    \
  /* tag points at a DER tag; header = tag byte + length bytes (2 for the short form, 2 + n for                       \
   * 0x81..0x84), content = the encoded length. Reads at most 6 bytes, and only as many as the length                 \
   * form announces. Indefinite length (0x80), more than 4 length bytes or a multi-byte tag                           \
   * (low bits 0x1F) give TR_E_DATA. */                                                                               \
  X(TRRESULT, DERDecodeLength, (const uint8_t* tag, uint32_t* headerLen, uint32_t* contentLen),                       \
    (tag, headerLen, contentLen))                                                                                     \
  /* The PKCS #1 RSAPublicKey SEQUENCE { modulus, publicExponent } of a key record; two-step. */                      \
  X(TRRESULT, DEREncodeRSAPublicKey, (const TR_RSA_PUBLIC_KEY* key, uint8_t* buf, uint32_t* len), (key, buf, len))    \
  /* The certificate's RSA key (1024..4096 bits, exponent <= 512 bytes), else TR_E_KEY. */                            \
  X(TRRESULT, X509ExtractRSAPublicKey, (const uint8_t* certDer, TR_RSA_PUBLIC_KEY* key), (certDer, key))              \
  /* Two-step. Serial: the INTEGER's content octets as encoded (a leading 00 kept).                                   \
   * Issuer, Subject: the Name TLV. Extensions: the Extensions SEQUENCE TLV inside [3]                                \
   * (TR_E_NOT_FOUND when absent). Validity: the Validity SEQUENCE TLV. */                                            \
  X(TRRESULT, X509ExtractSerial, (const uint8_t* certDer, uint8_t* buf, uint32_t* len), (certDer, buf, len))          \
  X(TRRESULT, X509ExtractIssuer, (const uint8_t* certDer, uint8_t* buf, uint32_t* len), (certDer, buf, len))          \
  X(TRRESULT, X509ExtractSubject, (const uint8_t* certDer, uint8_t* buf, uint32_t* len), (certDer, buf, len))         \
  X(TRRESULT, X509ExtractExtensions, (const uint8_t* certDer, uint8_t* buf, uint32_t* len), (certDer, buf, len))      \
  /* From an Extensions SEQUENCE (as X509ExtractExtensions gives it, bounded by its TLV), the                         \
   * extnValue contents of the extension whose OID is oid (dotted text, e.g. "2.5.29.15"); two-step.                  \
   * TR_E_NOT_FOUND when absent. */                                                                                   \
  X(TRRESULT, X509ExtractFromExtension, (const uint8_t* extensionsDer, const char* oid, uint8_t* buf, uint32_t* len), \
    (extensionsDer, oid, buf, len))                                                                                   \
  X(TRRESULT, X509ExtractValidity, (const uint8_t* certDer, uint8_t* buf, uint32_t* len), (certDer, buf, len))        \
  /* 0 when the certificate's signature verifies with the issuer's key, else TR_E_SIGNATURE                           \
   * (TR_E_DATA when certDer/len is not exactly one certificate). Only the signature is checked. */                   \
  X(TRRESULT, X509CheckCert, (const uint8_t* certDer, uint32_t len, const TR_RSA_PUBLIC_KEY* issuerKey),              \
    (certDer, len, issuerKey))                                                                                        \
  /* data/len: a PKCS #7 SignedData, DER or PEM (as "openssl crl2pkcs7 -nocrl" writes it).                            \
   * what = TR_PKCS7_CERTIFICATE, index = TR_PKCS7_FIRST or a 0-based position, flags = 0.                            \
   * certOut (TR_MAX_CERT_LEN bytes, may be null) gets the certificate's DER and *certLen its length;                 \
   * keyOut (may be null) its RSA key; *work (may be null) the number of certificates in the set.                     \
   * A certificate longer than TR_MAX_CERT_LEN gives TR_E_LEN with *certLen its length; no such                       \
   * position gives TR_E_NOT_FOUND; anything but a SignedData gives TR_E_DATA. */                                     \
  X(TRRESULT, X509ExtractFromPKCS7,                                                                                   \
    (const uint8_t* data, uint32_t len, TR_RSA_PUBLIC_KEY* keyOut, int32_t what, int32_t index, int32_t flags,        \
     uint8_t* certOut, uint32_t* certLen, uint32_t* work),                                                            \
    (data, len, keyOut, what, index, flags, certOut, certLen, work))                                                  \
  /* nameDer: a Name TLV (bounded by it). The first attribute with the id's OID (TR_COMPONENT_*),                     \
   * as CP1250 text bytes without a terminator; two-step. UTF8String, BMPString and UniversalString                   \
   * are converted, a character CP1250 lacks becomes '?' (malformed UTF-8 too, byte by byte); the                     \
   * 8-bit string types (PrintableString, IA5String, T61String, VisibleString, ...) are passed through;               \
   * a value that is no string gives TR_E_DATA. TR_E_NOT_SUPPORTED for another id, TR_E_NOT_FOUND                     \
   * when absent. */                                                                                                  \
  X(TRRESULT, X509ExtractComponent, (const uint8_t* nameDer, int32_t id, uint8_t* buf, uint32_t* len),                \
    (nameDer, id, buf, len))

#define TARVI_RSA_FUNCTION_COUNT 33

/* Function types TR_<name>_FN and, for the library itself, the prototypes. */
#define TARVI_RSA_DECLARE_TYPE(ret, name, params, args) typedef ret(*TR_##name##_FN) params;
TARVI_RSA_FUNCTIONS(TARVI_RSA_DECLARE_TYPE)
#undef TARVI_RSA_DECLARE_TYPE

#ifdef TARVI_RSA_BUILDING_LIBRARY
#define TARVI_RSA_DECLARE_PROTO(ret, name, params, args) __attribute__((visibility("default"))) ret name params;
TARVI_RSA_FUNCTIONS(TARVI_RSA_DECLARE_PROTO)
#undef TARVI_RSA_DECLARE_PROTO
#endif

#ifdef __cplusplus
}
#endif
