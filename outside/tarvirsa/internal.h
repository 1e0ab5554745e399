#pragma once
// Shared pieces of the library: a bounded DER reader, the two-step output rule,
// key records to and from OpenSSL keys, and the code page 1250 table.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "interfaces/tarvirsa.h"

namespace trsa {

// A byte range that every read is checked against.
struct Bytes {
  const uint8_t* p = nullptr;
  size_t n = 0;
};

// One DER element inside a range.
struct Tlv {
  uint8_t tag = 0;
  Bytes whole;  // header and content
  Bytes content;
};

// Reads the element at in.p[*pos]; on success *pos moves past it. False when the
// header is malformed or the element does not fit in the range.
bool ReadTlv(Bytes in, size_t* pos, Tlv* out);
// ReadTlv plus a required tag.
bool ReadTlvTag(Bytes in, size_t* pos, uint8_t tag, Tlv* out);

// The header rules of DERDecodeLength, reading at most avail bytes.
TRRESULT DecodeHeader(const uint8_t* p, size_t avail, uint32_t* headerLen, uint32_t* contentLen);

// A caller's certificate or Name with no length: the bytes its outer SEQUENCE spans,
// at most TR_MAX_CERT_LEN.
TRRESULT BoundedSequence(const uint8_t* der, Bytes* out);

// The two-step output rule: null buf -> *len := n; capacity too small -> TR_E_LEN
// and *len := n; else copy and *len := n.
TRRESULT Output(const uint8_t* src, size_t n, uint8_t* buf, uint32_t* len);

// Key records. Every check of size and shape happens here.
TRRESULT PublicKeyFromRecord(const TR_RSA_PUBLIC_KEY* key, EVP_PKEY** out);
TRRESULT PrivateKeyFromRecord(const TR_RSA_PRIVATE_KEY* key, EVP_PKEY** out);
TRRESULT RecordFromPublicKey(const EVP_PKEY* pkey, TR_RSA_PUBLIC_KEY* out);
TRRESULT RecordFromPrivateKey(const EVP_PKEY* pkey, TR_RSA_PRIVATE_KEY* out);
// The modulus length in bytes of a record already accepted by *FromRecord.
inline uint32_t ModulusBytes(uint16_t bits) { return (bits + 7u) / 8u; }

// Unicode -> code page 1250, '?' when there is no byte.
uint8_t Cp1250FromUnicode(uint32_t c);

bool RandomReady(const TR_RANDOM* rnd);

// Errors this library leaves on OpenSSL's queue are removed on the way out, so the
// program's own OpenSSL calls never see them; earlier entries stay.
struct ErrScope {
  ErrScope() { ERR_set_mark(); }
  ~ErrScope() { ERR_pop_to_mark(); }
};

}  // namespace trsa
