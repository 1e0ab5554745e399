// X.509 and PKCS #7: a bounded walk of the TBSCertificate for the raw parts, and
// OpenSSL for everything that needs a full parse (keys, signatures, PKCS #7, requests).
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <climits>

#include "internal.h"

using namespace trsa;

namespace {

struct TbsParts {
  Tlv serial, issuer, validity, subject;
  bool hasExtensions = false;
  Tlv extensions;  // the SEQUENCE inside [3]
};

TRRESULT WalkTbs(const uint8_t* certDer, TbsParts* parts) {
  Bytes cert;
  TRRESULT rc = BoundedSequence(certDer, &cert);
  if (rc) return rc;
  size_t pos = 0;
  Tlv outer, tbs;
  if (!ReadTlvTag(cert, &pos, 0x30, &outer)) return TR_E_DATA;
  pos = 0;
  if (!ReadTlvTag(outer.content, &pos, 0x30, &tbs)) return TR_E_DATA;
  Bytes t = tbs.content;
  pos = 0;
  Tlv skip;
  ReadTlvTag(t, &pos, 0xA0, &skip);  // version, optional
  if (!ReadTlvTag(t, &pos, 0x02, &parts->serial) || parts->serial.content.n == 0) return TR_E_DATA;
  if (!ReadTlvTag(t, &pos, 0x30, &skip)) return TR_E_DATA;  // signature algorithm
  if (!ReadTlvTag(t, &pos, 0x30, &parts->issuer)) return TR_E_DATA;
  if (!ReadTlvTag(t, &pos, 0x30, &parts->validity)) return TR_E_DATA;
  if (!ReadTlvTag(t, &pos, 0x30, &parts->subject)) return TR_E_DATA;
  if (!ReadTlvTag(t, &pos, 0x30, &skip)) return TR_E_DATA;  // subjectPublicKeyInfo
  while (pos < t.n) {
    Tlv e;
    if (!ReadTlv(t, &pos, &e)) return TR_E_DATA;
    if (e.tag == 0x81 || e.tag == 0xA1 || e.tag == 0x82 || e.tag == 0xA2) continue;  // unique ids
    if (e.tag != 0xA3 || parts->hasExtensions) return TR_E_DATA;
    size_t in = 0;
    if (!ReadTlvTag(e.content, &in, 0x30, &parts->extensions) || in != e.content.n) return TR_E_DATA;
    parts->hasExtensions = true;
  }
  return 0;
}

enum class Part { kSerial, kIssuer, kSubject, kValidity, kExtensions };

TRRESULT ExtractPart(const uint8_t* certDer, Part part, uint8_t* buf, uint32_t* len) {
  if (!len) return TR_E_PARAM;
  TbsParts parts;
  TRRESULT rc = WalkTbs(certDer, &parts);
  if (rc) return rc;
  switch (part) {
    case Part::kSerial: return Output(parts.serial.content.p, parts.serial.content.n, buf, len);
    case Part::kIssuer: return Output(parts.issuer.whole.p, parts.issuer.whole.n, buf, len);
    case Part::kSubject: return Output(parts.subject.whole.p, parts.subject.whole.n, buf, len);
    case Part::kValidity: return Output(parts.validity.whole.p, parts.validity.whole.n, buf, len);
    case Part::kExtensions:
      if (!parts.hasExtensions) return TR_E_NOT_FOUND;
      return Output(parts.extensions.whole.p, parts.extensions.whole.n, buf, len);
  }
  return TR_E_DATA;
}

// --- text of a Name attribute -------------------------------------------------

// Decodes one UTF-8 character at s[*i]; malformed input gives U+FFFD and moves one byte.
uint32_t NextUtf8(const uint8_t* s, size_t n, size_t* i) {
  uint8_t b = s[*i];
  size_t need = 0;
  uint32_t c = 0, min = 0;
  if (b < 0x80) {
    ++*i;
    return b;
  } else if ((b & 0xE0) == 0xC0) {
    need = 1, c = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    need = 2, c = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    need = 3, c = b & 0x07, min = 0x10000;
  } else {
    ++*i;
    return 0xFFFD;
  }
  if (n - *i <= need) {
    ++*i;
    return 0xFFFD;
  }
  for (size_t k = 1; k <= need; ++k) {
    uint8_t cont = s[*i + k];
    if ((cont & 0xC0) != 0x80) {
      ++*i;
      return 0xFFFD;
    }
    c = (c << 6) | (cont & 0x3F);
  }
  *i += need + 1;
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0xFFFD;
  return c;
}

// The attribute value as code page 1250 bytes; out holds at least v.content.n bytes.
TRRESULT ToCp1250(const Tlv& v, uint8_t* out, size_t* outLen) {
  const uint8_t* s = v.content.p;
  size_t n = v.content.n, o = 0;
  switch (v.tag) {
    case 0x12:
    case 0x13:
    case 0x14:
    case 0x15:
    case 0x16:  // Numeric, Printable, T61, Videotex, IA5
    case 0x19:
    case 0x1A:
    case 0x1B:  // Graphic, Visible, General
      if (n) std::memcpy(out, s, n);
      *outLen = n;
      return 0;
    case 0x0C:  // UTF8String
      for (size_t i = 0; i < n;) out[o++] = Cp1250FromUnicode(NextUtf8(s, n, &i));
      break;
    case 0x1E:  // BMPString: UTF-16 big-endian; a surrogate pair is one character
      if (n % 2) return TR_E_DATA;
      for (size_t i = 0; i < n; i += 2) {
        uint32_t u = (uint32_t{s[i]} << 8) | s[i + 1];
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < n) {
          uint32_t low = (uint32_t{s[i + 2]} << 8) | s[i + 3];
          if (low >= 0xDC00 && low <= 0xDFFF) i += 2;
          u = 0xFFFD;
        }
        out[o++] = Cp1250FromUnicode(u);
      }
      break;
    case 0x1C:  // UniversalString: UCS-4 big-endian
      if (n % 4) return TR_E_DATA;
      for (size_t i = 0; i < n; i += 4)
        out[o++] = Cp1250FromUnicode((uint32_t{s[i]} << 24) | (uint32_t{s[i + 1]} << 16) | (uint32_t{s[i + 2]} << 8) |
                                     s[i + 3]);
      break;
    default: return TR_E_DATA;
  }
  *outLen = o;
  return 0;
}

int ComponentArc(int32_t id) {
  switch (id) {
    case TR_COMPONENT_COMMON_NAME: return 3;
    case TR_COMPONENT_ORG_UNIT: return 11;
    case TR_COMPONENT_ORG: return 10;
    case TR_COMPONENT_COUNTRY: return 6;
    default: return -1;
  }
}

int NoPassword(char*, int, int, void*) { return -1; }

}  // namespace

extern "C" {

TRRESULT X509ExtractSerial(const uint8_t* certDer, uint8_t* buf, uint32_t* len) {
  return ExtractPart(certDer, Part::kSerial, buf, len);
}
TRRESULT X509ExtractIssuer(const uint8_t* certDer, uint8_t* buf, uint32_t* len) {
  return ExtractPart(certDer, Part::kIssuer, buf, len);
}
TRRESULT X509ExtractSubject(const uint8_t* certDer, uint8_t* buf, uint32_t* len) {
  return ExtractPart(certDer, Part::kSubject, buf, len);
}
TRRESULT X509ExtractValidity(const uint8_t* certDer, uint8_t* buf, uint32_t* len) {
  return ExtractPart(certDer, Part::kValidity, buf, len);
}
TRRESULT X509ExtractExtensions(const uint8_t* certDer, uint8_t* buf, uint32_t* len) {
  return ExtractPart(certDer, Part::kExtensions, buf, len);
}

TRRESULT X509ExtractFromExtension(const uint8_t* extensionsDer, const char* oid, uint8_t* buf, uint32_t* len) {
  if (!oid || !len) return TR_E_PARAM;
  ErrScope errs;
  Bytes all;
  TRRESULT rc = BoundedSequence(extensionsDer, &all);
  if (rc) return rc;
  ASN1_OBJECT* obj = OBJ_txt2obj(oid, 1);
  if (!obj) return TR_E_DATA;
  const uint8_t* want = OBJ_get0_data(obj);
  size_t wantLen = OBJ_length(obj);
  size_t pos = 0;
  Tlv seq;
  ReadTlvTag(all, &pos, 0x30, &seq);  // fits: BoundedSequence checked its header and bound
  rc = TR_E_NOT_FOUND;
  for (size_t at = 0; at < seq.content.n;) {
    Tlv ext, id, value;
    if (!ReadTlvTag(seq.content, &at, 0x30, &ext)) {
      rc = TR_E_DATA;
      break;
    }
    size_t in = 0;
    Tlv critical;
    if (!ReadTlvTag(ext.content, &in, 0x06, &id)) {
      rc = TR_E_DATA;
      break;
    }
    ReadTlvTag(ext.content, &in, 0x01, &critical);
    if (!ReadTlvTag(ext.content, &in, 0x04, &value) || in != ext.content.n) {
      rc = TR_E_DATA;
      break;
    }
    if (id.content.n == wantLen && want && std::memcmp(id.content.p, want, wantLen) == 0) {
      rc = Output(value.content.p, value.content.n, buf, len);
      break;
    }
  }
  ASN1_OBJECT_free(obj);
  return rc;
}

TRRESULT X509ExtractComponent(const uint8_t* nameDer, int32_t id, uint8_t* buf, uint32_t* len) {
  if (!len) return TR_E_PARAM;
  int arc = ComponentArc(id);
  if (arc < 0) return TR_E_NOT_SUPPORTED;
  Bytes name;
  TRRESULT rc = BoundedSequence(nameDer, &name);
  if (rc) return rc;
  size_t pos = 0;
  Tlv seq;
  if (!ReadTlvTag(name, &pos, 0x30, &seq)) return TR_E_DATA;
  for (size_t at = 0; at < seq.content.n;) {
    Tlv rdn;
    if (!ReadTlvTag(seq.content, &at, 0x31, &rdn)) return TR_E_DATA;
    for (size_t in = 0; in < rdn.content.n;) {
      Tlv atv, type, value;
      if (!ReadTlvTag(rdn.content, &in, 0x30, &atv)) return TR_E_DATA;
      size_t k = 0;
      if (!ReadTlvTag(atv.content, &k, 0x06, &type) || !ReadTlv(atv.content, &k, &value) || k != atv.content.n)
        return TR_E_DATA;
      const uint8_t* o = type.content.p;
      if (type.content.n == 3 && o[0] == 0x55 && o[1] == 0x04 && o[2] == arc) {
        uint8_t text[TR_MAX_CERT_LEN];  // never longer than the value's own bytes
        size_t n = 0;
        rc = ToCp1250(value, text, &n);
        if (rc) return rc;
        return Output(text, n, buf, len);
      }
    }
  }
  return TR_E_NOT_FOUND;
}

TRRESULT X509ExtractRSAPublicKey(const uint8_t* certDer, TR_RSA_PUBLIC_KEY* key) {
  if (!key) return TR_E_PARAM;
  ErrScope errs;
  Bytes cert;
  TRRESULT rc = BoundedSequence(certDer, &cert);
  if (rc) return rc;
  const uint8_t* p = cert.p;
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(cert.n));
  if (!x) return TR_E_DATA;
  EVP_PKEY* pkey = X509_get0_pubkey(x);
  rc = pkey ? RecordFromPublicKey(pkey, key) : TR_E_KEY;
  X509_free(x);
  return rc;
}

TRRESULT X509CheckCert(const uint8_t* certDer, uint32_t len, const TR_RSA_PUBLIC_KEY* issuerKey) {
  if (!certDer || !issuerKey) return TR_E_PARAM;
  if (len == 0) return TR_E_DATA;
  if (len > TR_MAX_CERT_LEN) return TR_E_LEN;
  ErrScope errs;
  EVP_PKEY* pkey = nullptr;
  TRRESULT rc = PublicKeyFromRecord(issuerKey, &pkey);
  if (rc) return rc;
  const uint8_t* p = certDer;
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(len));
  if (!x || p != certDer + len) {
    rc = TR_E_DATA;
  } else {
    // Only the signature: no validity period, names or security level.
    rc = X509_verify(x, pkey) == 1 ? 0 : TR_E_SIGNATURE;
  }
  X509_free(x);
  EVP_PKEY_free(pkey);
  return rc;
}

TRRESULT X509ExtractFromPKCS7(const uint8_t* data, uint32_t len, TR_RSA_PUBLIC_KEY* keyOut, int32_t what, int32_t index,
                              int32_t flags, uint8_t* certOut, uint32_t* certLen, uint32_t* work) {
  if (!data || !certLen) return TR_E_PARAM;
  if (what != TR_PKCS7_CERTIFICATE || flags != 0 || index < TR_PKCS7_FIRST) return TR_E_NOT_SUPPORTED;
  if (len == 0) return TR_E_DATA;
  if (len > INT_MAX) return TR_E_LEN;
  ErrScope errs;
  PKCS7* p7 = nullptr;
  if (data[0] == 0x30) {
    const uint8_t* p = data;
    p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(len));
  } else {
    BIO* bio = BIO_new_mem_buf(data, static_cast<int>(len));
    if (!bio) return TR_E_ALLOC;
    p7 = PEM_read_bio_PKCS7(bio, nullptr, NoPassword, nullptr);
    BIO_free(bio);
  }
  if (!p7) return TR_E_DATA;
  TRRESULT rc = 0;
  STACK_OF(X509)* certs = nullptr;
  if (!PKCS7_type_is_signed(p7) || !p7->d.sign)
    rc = TR_E_DATA;
  else
    certs = p7->d.sign->cert;
  int count = certs ? sk_X509_num(certs) : 0;
  int pick = index == TR_PKCS7_FIRST ? 0 : index;
  if (!rc && pick >= count) rc = TR_E_NOT_FOUND;
  X509* x = rc ? nullptr : sk_X509_value(certs, pick);
  uint8_t* der = nullptr;
  int derLen = 0;
  if (!rc) {
    derLen = i2d_X509(x, &der);
    if (derLen <= 0) rc = TR_E_DATA;
  }
  if (!rc && derLen > TR_MAX_CERT_LEN) {
    *certLen = static_cast<uint32_t>(derLen);
    rc = TR_E_LEN;
  }
  TR_RSA_PUBLIC_KEY key;
  if (!rc && keyOut) {
    EVP_PKEY* pkey = X509_get0_pubkey(x);
    rc = pkey ? RecordFromPublicKey(pkey, &key) : TR_E_KEY;
  }
  if (!rc) {
    if (certOut) std::memcpy(certOut, der, static_cast<size_t>(derLen));
    *certLen = static_cast<uint32_t>(derLen);
    if (keyOut) *keyOut = key;
  }
  if (work && (rc == 0 || rc == TR_E_NOT_FOUND || rc == TR_E_LEN || rc == TR_E_KEY))
    *work = static_cast<uint32_t>(count);
  OPENSSL_free(der);
  PKCS7_free(p7);
  return rc;
}

TRRESULT X509CertRequest(const uint8_t* subjectDer, uint32_t subjectLen, const TR_RSA_PUBLIC_KEY* pub,
                         const TR_RSA_PRIVATE_KEY* priv, uint8_t* buf, uint32_t* len) {
  if (!subjectDer || !pub || !priv || !len) return TR_E_PARAM;
  if (subjectLen == 0) return TR_E_DATA;
  if (subjectLen > TR_MAX_CERT_LEN) return TR_E_LEN;
  if (pub->bits != priv->bits || std::memcmp(pub->modulus, priv->modulus, TR_MAX_MODULUS_LEN) != 0 ||
      std::memcmp(pub->exponent, priv->publicExponent, TR_MAX_MODULUS_LEN) != 0)
    return TR_E_KEY;  // the request would carry a key it is not signed with
  ErrScope errs;
  EVP_PKEY* pubKey = nullptr;
  EVP_PKEY* privKey = nullptr;
  TRRESULT rc = PublicKeyFromRecord(pub, &pubKey);
  if (!rc) rc = PrivateKeyFromRecord(priv, &privKey);
  X509_NAME* name = nullptr;
  if (!rc) {
    const uint8_t* p = subjectDer;
    name = d2i_X509_NAME(nullptr, &p, static_cast<long>(subjectLen));
    if (!name || p != subjectDer + subjectLen) rc = TR_E_DATA;
  }
  X509_REQ* req = nullptr;
  uint8_t* der = nullptr;
  int derLen = 0;
  if (!rc) {
    req = X509_REQ_new();
    if (!req) rc = TR_E_ALLOC;
  }
  if (!rc && (X509_REQ_set_version(req, 0) != 1 || X509_REQ_set_subject_name(req, name) != 1 ||
              X509_REQ_set_pubkey(req, pubKey) != 1 || X509_REQ_sign(req, privKey, EVP_sha256()) <= 0))
    rc = TR_E_CRYPTO;
  if (!rc) {
    derLen = i2d_X509_REQ(req, &der);
    if (derLen <= 0) rc = TR_E_CRYPTO;
  }
  if (!rc) rc = Output(der, static_cast<size_t>(derLen), buf, len);
  OPENSSL_free(der);
  X509_REQ_free(req);
  X509_NAME_free(name);
  EVP_PKEY_free(privKey);
  EVP_PKEY_free(pubKey);
  return rc;
}

}  // extern "C"
