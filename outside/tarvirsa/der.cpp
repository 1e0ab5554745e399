// The bounded DER reader and the length decoder.
#include "internal.h"

namespace trsa {

TRRESULT DecodeHeader(const uint8_t* p, size_t avail, uint32_t* headerLen, uint32_t* contentLen) {
  if (avail < 2) return TR_E_DATA;
  if ((p[0] & 0x1F) == 0x1F) return TR_E_DATA;  // multi-byte tag
  uint8_t first = p[1];
  if (first < 0x80) {
    *headerLen = 2;
    *contentLen = first;
    return 0;
  }
  size_t n = first & 0x7F;
  if (n == 0 || n > 4) return TR_E_DATA;  // indefinite, or wider than 32 bits
  if (avail < 2 + n) return TR_E_DATA;
  uint32_t len = 0;
  for (size_t i = 0; i < n; ++i) len = (len << 8) | p[2 + i];
  *headerLen = static_cast<uint32_t>(2 + n);
  *contentLen = len;
  return 0;
}

bool ReadTlv(Bytes in, size_t* pos, Tlv* out) {
  if (!in.p || *pos >= in.n) return false;
  const uint8_t* p = in.p + *pos;
  size_t avail = in.n - *pos;
  uint32_t header = 0, content = 0;
  if (DecodeHeader(p, avail, &header, &content) != 0) return false;
  if (content > avail - header) return false;
  out->tag = p[0];
  out->whole = {p, header + static_cast<size_t>(content)};
  out->content = {p + header, content};
  *pos += out->whole.n;
  return true;
}

bool ReadTlvTag(Bytes in, size_t* pos, uint8_t tag, Tlv* out) {
  size_t at = *pos;
  if (!ReadTlv(in, &at, out) || out->tag != tag) return false;
  *pos = at;
  return true;
}

TRRESULT BoundedSequence(const uint8_t* der, Bytes* out) {
  if (!der) return TR_E_PARAM;
  if (der[0] != 0x30) return TR_E_DATA;
  // The header is read byte by byte so that nothing past a short form is touched.
  size_t avail = 2;
  if (der[1] & 0x80) avail = 2 + (der[1] & 0x7F);
  if (avail > 6) return TR_E_DATA;
  uint32_t header = 0, content = 0;
  TRRESULT rc = DecodeHeader(der, avail, &header, &content);
  if (rc) return rc;
  if (content > TR_MAX_CERT_LEN || header + content > TR_MAX_CERT_LEN) return TR_E_LEN;
  *out = {der, header + static_cast<size_t>(content)};
  return 0;
}

TRRESULT Output(const uint8_t* src, size_t n, uint8_t* buf, uint32_t* len) {
  if (!len) return TR_E_PARAM;
  if (n > UINT32_MAX) return TR_E_LEN;
  if (!buf) {
    *len = static_cast<uint32_t>(n);
    return 0;
  }
  if (*len < n) {
    *len = static_cast<uint32_t>(n);
    return TR_E_LEN;
  }
  if (n) std::memcpy(buf, src, n);
  *len = static_cast<uint32_t>(n);
  return 0;
}

}  // namespace trsa

extern "C" TRRESULT DERDecodeLength(const uint8_t* tag, uint32_t* headerLen, uint32_t* contentLen) {
  if (!tag || !headerLen || !contentLen) return TR_E_PARAM;
  // Only as many bytes as the length form announces are read.
  size_t avail = 2;
  if ((tag[0] & 0x1F) == 0x1F) return TR_E_DATA;
  if (tag[1] & 0x80) {
    size_t n = tag[1] & 0x7F;
    if (n == 0 || n > 4) return TR_E_DATA;
    avail = 2 + n;
  }
  return trsa::DecodeHeader(tag, avail, headerLen, contentLen);
}
