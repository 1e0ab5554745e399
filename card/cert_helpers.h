#pragma once
// Free helpers over DER certificates and raw bytes, shared by the certificate class
// and the verifier of signed containers. They keep no state and take nothing from
// the card; the certificate functions go through the cryptographic library's table
// (card/tarvirsa_api.h).
//
// Certificates from received files are untrusted: use the forms that take the bytes
// as a span, which check that the certificate's outer TLV fits the bytes held before
// the library (which takes no length) sees them.
#include <cstddef>
#include <cstdint>
#include <span>

#include "card/tdatetime.h"
#include "interfaces/tarvirsa.h"

// The certificate's RSA public key into *key. On failure shows the error box
// "Greška kod dohvata javnog ključa iz certifikata. [Error Code=<n>, <CKR name>]"
// through Ui() and returns false. A span whose bytes do not hold one whole DER
// element fails with TR_E_DATA without calling the library.
bool ExtractRsaPublicKey(const uint8_t* certDer, TR_RSA_PUBLIC_KEY* key);
bool ExtractRsaPublicKey(std::span<const uint8_t> certDer, TR_RSA_PUBLIC_KEY* key);

// notBefore (start = true) or notAfter (start = false) of the certificate, or 0 when
// it cannot be decoded; reports nothing. UTCTime YYMMDDhhmmss (YY 51..99 -> 19YY,
// 00..50 -> 20YY) and GeneralizedTime YYYYMMDDhhmmss are read; anything after the
// seconds (fraction, zone) is ignored and milliseconds are 0.
TDateTime CertValidity(const uint8_t* certDer, bool start);
TDateTime CertValidity(std::span<const uint8_t> certDer, bool start);

// The date of a UTCTime (tag 0x17) or GeneralizedTime (tag 0x18) content, or 0.
TDateTime DecodeCertTime(uint8_t tag, const uint8_t* text, size_t len);

// out := the four bytes of value, taken in memory order, read as a big-endian number
// (the serial value the certificate class and the signer records keep). Returns true.
bool SwapBytes32(uint32_t value, uint32_t& out);

// Copies count bytes one by one from src to dst; nothing when count <= 0.
void CopyBytes(const void* src, void* dst, std::ptrdiff_t count);
