#include "card/cert_helpers.h"

#include <QString>
#include <cstring>
#include <vector>

#include "card/pkcs11_codes.h"
#include "card/tarvirsa_api.h"
#include "platform/ui_services.h"

namespace {

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kUtcTime = 0x17;
constexpr uint8_t kGeneralizedTime = 0x18;

bool IsTimeTag(uint8_t tag) { return tag == kUtcTime || tag == kGeneralizedTime; }

// One DER element inside [buf, buf + avail): header and content lengths, checked to
// lie wholly inside. The library's decoder reads as many length bytes as the first
// one announces, so the bounds are checked before it is called.
bool Element(const uint8_t* buf, size_t avail, uint32_t& header, uint32_t& content) {
  if (!DerPrefixFits(buf, avail)) return false;
  if (tarvirsa::DERDecodeLength(buf, &header, &content) != 0) return false;
  return header >= 2 && header <= avail && content <= avail - header;
}

bool Digits(const uint8_t* p, int n, int& value) {
  value = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    value = value * 10 + (p[i] - '0');
  }
  return true;
}

void ShowKeyError(TRRESULT rc) {
  const CK_RV code = static_cast<CK_RV>(static_cast<uint32_t>(rc));
  Ui().messageBox(MsgKind::Error, QString::fromUtf8("Greška kod dohvata javnog ključa iz certifikata. [Error Code=") +
                                      QString::number(rc) + ", " + PkcsRetCodeText(code) + "]");
}

}  // namespace

bool ExtractRsaPublicKey(const uint8_t* certDer, TR_RSA_PUBLIC_KEY* key) {
  TRRESULT rc = tarvirsa::X509ExtractRSAPublicKey(certDer, key);
  if (rc != 0) {
    ShowKeyError(rc);
    return false;
  }
  return true;
}

bool ExtractRsaPublicKey(std::span<const uint8_t> certDer, TR_RSA_PUBLIC_KEY* key) {
  if (!DerFits(certDer.data(), certDer.size())) {
    ShowKeyError(TR_E_DATA);
    return false;
  }
  return ExtractRsaPublicKey(certDer.data(), key);
}

TDateTime DecodeCertTime(uint8_t tag, const uint8_t* text, size_t len) {
  if (!text) return 0;
  int year = 0;
  size_t pos = 0;
  if (tag == kUtcTime) {
    if (len < 12 || !Digits(text, 2, year)) return 0;
    year += year >= 51 ? 1900 : 2000;
    pos = 2;
  } else if (tag == kGeneralizedTime) {
    if (len < 14 || !Digits(text, 4, year)) return 0;
    pos = 4;
  } else {
    return 0;
  }
  int f[5];  // month, day, hour, minute, second
  for (int& v : f) {
    if (!Digits(text + pos, 2, v)) return 0;
    pos += 2;
  }
  TDateTime out = 0;
  if (!TryEncodeDateTime(year, f[0], f[1], f[2], f[3], f[4], 0, out)) return 0;
  return out;
}

TDateTime CertValidity(const uint8_t* certDer, bool start) {
  uint32_t needed = 0;
  if (tarvirsa::X509ExtractValidity(certDer, nullptr, &needed) != 0) return 0;
  if (needed == 0 || needed > TR_MAX_CERT_LEN) return 0;
  std::vector<uint8_t> buf(static_cast<size_t>(needed) + 1, 0);
  uint32_t got = needed;
  if (tarvirsa::X509ExtractValidity(certDer, buf.data(), &got) != 0) return 0;
  // Only the bytes written count, and never more than the buffer holds.
  const size_t n = got < needed ? got : needed;
  const uint8_t* b = buf.data();

  if (n < 2 || b[0] != kSequence) return 0;
  uint32_t header = 0, content = 0;
  if (!Element(b, n, header, content)) return 0;
  const size_t end = header + static_cast<size_t>(content);  // end of the Validity's content

  size_t p = header;
  if (p >= end || !IsTimeTag(b[p])) return 0;
  uint32_t h1 = 0, c1 = 0;
  if (!Element(b + p, end - p, h1, c1)) return 0;
  if (start) return DecodeCertTime(b[p], b + p + h1, c1);

  size_t q = p + h1 + c1;
  if (q >= end || !IsTimeTag(b[q])) return 0;
  uint32_t h2 = 0, c2 = 0;
  if (!Element(b + q, end - q, h2, c2)) return 0;
  return DecodeCertTime(b[q], b + q + h2, c2);
}

TDateTime CertValidity(std::span<const uint8_t> certDer, bool start) {
  if (!DerFits(certDer.data(), certDer.size())) return 0;
  return CertValidity(certDer.data(), start);
}

bool SwapBytes32(uint32_t value, uint32_t& out) {
  uint8_t b[4];
  std::memcpy(b, &value, 4);
  out = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 |
        static_cast<uint32_t>(b[3]);
  return true;
}

void CopyBytes(const void* src, void* dst, std::ptrdiff_t count) {
  if (count <= 0 || !src || !dst) return;
  const auto* s = static_cast<const uint8_t*>(src);
  auto* d = static_cast<uint8_t*>(dst);
  for (std::ptrdiff_t i = 0; i < count; ++i) d[i] = s[i];
}
