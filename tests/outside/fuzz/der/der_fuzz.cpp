// Fuzz entry for the DER, X.509 and PKCS #7 functions of the cryptographic
// library, compiled in (so its code gets coverage and the sanitizers), called as
// the program calls them on what it receives:
//  - DERDecodeLength on any bytes, given only what its length form announces;
//  - the X509Extract* family on input that DerFits accepts (the callers' rule),
//    in an exact-size buffer, so that a read past the outer element is caught;
//  - the components of the issuer and subject, the extensions, the RSA key, the
//    certificate's signature under its own key, a signature block opened with it;
//  - X509ExtractFromPKCS7 on any bytes (DER or PEM), and the same checks on the
//    certificate it returns.
// Beyond the sanitizers: the two-step rule holds for every call (the null-buffer
// length is the length written, a buffer one byte short gives TR_E_LEN and the
// length needed), the parts returned lie inside the certificate, and a
// certificate with bytes after its element never verifies.
#include <cstdint>
#include <cstring>
#include <vector>

#ifndef TARVI_RSA_BUILDING_LIBRARY
#define TARVI_RSA_BUILDING_LIBRARY
#endif
#include "card/tarvirsa_api.h"
#include "fuzz_support.h"
#include "interfaces/tarvirsa.h"

using fuzzsupport::Require;

namespace {

bool Inside(const uint8_t* hay, size_t n, const uint8_t* part, size_t k) {
  if (k > n) return false;
  if (k == 0) return true;
  for (size_t i = 0; i + k <= n; ++i)
    if (hay[i] == part[0] && std::memcmp(hay + i, part, k) == 0) return true;
  return false;
}

size_t ElementSize(const uint8_t* p, size_t n) {
  uint32_t h = 0, c = 0;
  Require(DerFits(p, n) && DERDecodeLength(p, &h, &c) == 0);
  return size_t(h) + c;
}

// Runs a two-step call and checks its rule; returns the bytes (empty on failure).
template <typename Call>
std::vector<uint8_t> TwoStep(Call call, TRRESULT* result = nullptr) {
  uint32_t len = 0;
  const TRRESULT r = call(nullptr, &len);
  if (result) *result = r;
  if (r != 0) return {};
  Require(len <= TR_MAX_CERT_LEN);
  std::vector<uint8_t> buf(len);
  uint32_t cap = len;
  uint8_t dummy = 0;
  Require(call(len ? buf.data() : &dummy, &cap) == 0 && cap == len);
  if (len > 0) {
    std::vector<uint8_t> shortBuf(len - 1);
    uint32_t small = len - 1;
    Require(call(len > 1 ? shortBuf.data() : &dummy, &small) == TR_E_LEN && small == len);
  }
  return buf;
}

void CheckName(const std::vector<uint8_t>& name) {
  if (name.empty()) return;
  for (int32_t id : {TR_COMPONENT_COMMON_NAME, TR_COMPONENT_ORG_UNIT, TR_COMPONENT_ORG, TR_COMPONENT_COUNTRY}) {
    TRRESULT r = 0;
    const std::vector<uint8_t> text =
        TwoStep([&](uint8_t* b, uint32_t* l) { return X509ExtractComponent(name.data(), id, b, l); }, &r);
    Require(r == 0 || r == TR_E_NOT_FOUND || r == TR_E_DATA || r == TR_E_LEN);
    Require(text.size() <= name.size());
  }
  uint32_t len = 0;
  Require(X509ExtractComponent(name.data(), 7, nullptr, &len) == TR_E_NOT_SUPPORTED);
}

void CheckExtensions(const uint8_t* ext, size_t n) {
  for (const char* oid : {"2.5.29.15", "2.5.29.19", "2.5.29.17", "2.5.29.32"}) {
    const std::vector<uint8_t> v =
        TwoStep([&](uint8_t* b, uint32_t* l) { return X509ExtractFromExtension(ext, oid, b, l); });
    Require(Inside(ext, n, v.data(), v.size()));
  }
}

// A certificate as a received file gives it: n bytes that DerFits accepts.
void CheckCertificate(const uint8_t* der, size_t n) {
  const size_t element = ElementSize(der, n);
  using Extract = TRRESULT (*)(const uint8_t*, uint8_t*, uint32_t*);
  struct Part {
    Extract f;
    bool isElement;
  };
  const Part parts[] = {{X509ExtractSerial, false},
                        {X509ExtractIssuer, true},
                        {X509ExtractSubject, true},
                        {X509ExtractValidity, true},
                        {X509ExtractExtensions, true}};
  std::vector<uint8_t> got[5];
  for (size_t i = 0; i < 5; ++i) {
    got[i] = TwoStep([&](uint8_t* b, uint32_t* l) { return parts[i].f(der, b, l); });
    Require(Inside(der, element, got[i].data(), got[i].size()));
    if (parts[i].isElement && !got[i].empty()) {
      Require(got[i][0] == 0x30 && ElementSize(got[i].data(), got[i].size()) == got[i].size());
    }
  }
  CheckName(got[1]);
  CheckName(got[2]);
  if (!got[4].empty()) CheckExtensions(got[4].data(), got[4].size());

  TR_RSA_PUBLIC_KEY key;
  std::memset(&key, 0, sizeof key);
  if (X509ExtractRSAPublicKey(der, &key) != 0) return;
  Require(key.bits >= TR_MIN_MODULUS_BITS && key.bits <= TR_MAX_MODULUS_BITS);
  const std::vector<uint8_t> encoded =
      TwoStep([&](uint8_t* b, uint32_t* l) { return DEREncodeRSAPublicKey(&key, b, l); });
  Require(!encoded.empty() && ElementSize(encoded.data(), encoded.size()) == encoded.size());

  // Its own signature under its own key: never over more than the certificate.
  const TRRESULT self = X509CheckCert(der, uint32_t(n), &key);
  Require(self == 0 || self == TR_E_SIGNATURE || self == TR_E_DATA || self == TR_E_KEY || self == TR_E_LEN);
  if (element < n) Require(self != 0);
  if (self == 0) Require(X509CheckCert(der, uint32_t(element), &key) == 0);

  // The last modulus-length bytes, opened as a signature block would be.
  const size_t mod = (key.bits + 7u) / 8u;
  if (n >= mod) {
    std::vector<uint8_t> out(mod);
    uint32_t outLen = uint32_t(mod);
    if (RSAPublicDecrypt(out.data(), &outLen, der + n - mod, uint32_t(mod), &key) == 0) Require(outLen + 11 <= mod);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The length decoder, given exactly what its first two bytes announce.
  if (size >= 2) {
    const size_t lengthBytes = (data[1] & 0x80) ? (data[1] & 0x7F) : 0;
    if (lengthBytes == 0 || lengthBytes > 4 || size >= 2 + lengthBytes) {
      std::vector<uint8_t> head(data, data + std::min(size, 2 + (lengthBytes > 4 ? 0 : lengthBytes)));
      uint32_t h = 0, c = 0;
      const TRRESULT r = DERDecodeLength(head.data(), &h, &c);
      Require(r == 0 || r == TR_E_DATA);
      if (r == 0) Require(h == 2 + lengthBytes && h <= head.size());
      if (DerFits(data, size)) Require(r == 0 && size_t(h) + c <= size);
    }
  }

  // What a received certificate field or file holds.
  if (DerFits(data, size) && data[0] == 0x30) {
    CheckCertificate(data, size);
    // The same bytes as a Name, and as an Extensions SEQUENCE.
    std::vector<uint8_t> name(data, data + size);
    CheckName(name);
    CheckExtensions(data, size);
  }

  // A certificate file of the CA folder: PKCS #7, DER or PEM.
  if (size > 0) {
    std::vector<uint8_t> cert(TR_MAX_CERT_LEN);
    TR_RSA_PUBLIC_KEY key;
    uint32_t len = TR_MAX_CERT_LEN, count = 0;
    const TRRESULT r = X509ExtractFromPKCS7(data, uint32_t(size), &key, TR_PKCS7_CERTIFICATE, TR_PKCS7_FIRST, 0,
                                            cert.data(), &len, &count);
    if (r == 0) {
      Require(len > 0 && len <= TR_MAX_CERT_LEN && count >= 1);
      Require(key.bits >= TR_MIN_MODULUS_BITS && key.bits <= TR_MAX_MODULUS_BITS);
      uint32_t len0 = 0;
      std::vector<uint8_t> first(TR_MAX_CERT_LEN);
      Require(X509ExtractFromPKCS7(data, uint32_t(size), nullptr, TR_PKCS7_CERTIFICATE, 0, 0, first.data(), &len0,
                                   nullptr) == 0 &&
              len0 == len && std::memcmp(first.data(), cert.data(), len) == 0);
      std::vector<uint8_t> exact(cert.data(), cert.data() + len);
      Require(DerFits(exact.data(), exact.size()) && ElementSize(exact.data(), exact.size()) == exact.size());
      CheckCertificate(exact.data(), exact.size());
    } else {
      Require(r == TR_E_DATA || r == TR_E_NOT_FOUND || r == TR_E_LEN || r == TR_E_KEY || r == TR_E_ALLOC);
    }
    uint32_t beyond = 0;
    const TRRESULT past = X509ExtractFromPKCS7(data, uint32_t(size), nullptr, TR_PKCS7_CERTIFICATE, int32_t(count), 0,
                                               nullptr, &beyond, nullptr);
    if (r == 0) Require(past == TR_E_NOT_FOUND);
  }
  return 0;
}
