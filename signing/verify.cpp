#include "signing/verify.h"

#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <memory>
#include <span>

#include "card/cert_helpers.h"
#include "card/cert_list.h"
#include "card/certificate.h"
#include "card/tarvirsa_api.h"
#include "platform/codepage.h"
#include "signing/progress_window.h"
#include "signing/replacement_file.h"
#include "signing/settings.h"

namespace {

// SHA-1 of the signed range as the reader passes it, and the optional copy.
class RangeDigest : public SgnSink {
 public:
  RangeDigest(std::string* copy, SgnSink* also) : copy_(copy), also_(also) { ok_ = tarvirsa::SHAInit(&ctx_) == 0; }
  void payloadBytes(const uint8_t* d, size_t n) override {
    if (also_) also_->payloadBytes(d, n);
  }
  void rangeBytes(const uint8_t* d, size_t n) override {
    if (also_) also_->rangeBytes(d, n);
    if (copy_) copy_->append(reinterpret_cast<const char*>(d), n);
    while (ok_ && n > 0) {
      const uint32_t k = uint32_t(std::min<size_t>(n, size_t(1) << 30));
      ok_ = tarvirsa::SHAUpdate(&ctx_, d, k) == 0;
      d += k;
      n -= k;
    }
  }
  // The 20 digest bytes, or false when the library failed.
  bool finish(uint8_t out[20]) {
    if (!ok_) return false;
    const uint8_t* d = tarvirsa::SHAFinal(&ctx_);
    if (!d) return false;
    std::memcpy(out, d, 20);
    return true;
  }

 private:
  TR_SHA_CTX ctx_{};
  std::string* copy_;
  SgnSink* also_;
  bool ok_ = false;
};

// Two-step extraction from a certificate whose outer TLV has been checked.
template <typename Fn>
bool TwoStep(Fn call, std::vector<uint8_t>& out, TRRESULT* rc = nullptr) {
  uint32_t len = 0;
  TRRESULT r = call(nullptr, &len);
  if (r == 0 && len > TR_MAX_CERT_LEN) r = TR_E_LEN;
  if (r == 0) {
    out.assign(len, 0);
    r = call(out.data(), &len);
    if (r == 0) out.resize(len);
  }
  if (rc) *rc = r;
  if (r != 0) out.clear();
  return r == 0;
}

bool CertFits(const std::vector<uint8_t>& cert) { return !cert.empty() && DerFits(cert.data(), cert.size()); }

}  // namespace

bool SubjectNameText(const uint8_t* cert, size_t certLen, char separator, QString& error, QString& subject) {
  error.clear();
  subject.clear();
  std::vector<uint8_t> name;
  TRRESULT rc = TR_E_DATA;
  if (cert && DerFits(cert, certLen)) {
    try {
      TwoStep([&](uint8_t* b, uint32_t* l) { return tarvirsa::X509ExtractSubject(cert, b, l); }, name, &rc);
    } catch (const std::bad_alloc&) {
      error = QString::fromUtf8("Greška kod rezerviranja memorije");
      return false;
    }
  }
  if (rc != 0) {
    error =
        QString::fromUtf8("Greška kod dohvata Subjecta iz certifikata banke. [Error code=") + QString::number(rc) + "]";
    return false;
  }
  static const struct {
    int32_t id;
    const char* prefix;
  } parts[] = {{TR_COMPONENT_COMMON_NAME, "CN="},
               {TR_COMPONENT_ORG_UNIT, "OU="},
               {TR_COMPONENT_ORG, "O="},
               {TR_COMPONENT_COUNTRY, "C="}};
  QString text;
  for (const auto& p : parts) {
    std::vector<uint8_t> value;
    bool have = TwoStep(
        [&](uint8_t* b, uint32_t* l) { return tarvirsa::X509ExtractComponent(name.data(), p.id, b, l); }, value);
    if (p.id == TR_COMPONENT_COMMON_NAME) {
      text = QString::fromLatin1(p.prefix);
      if (have) text += FromCp1250(reinterpret_cast<const char*>(value.data()), value.size());
    } else if (have) {
      text += QChar::fromLatin1(separator);
      text += QString::fromLatin1(p.prefix);
      text += FromCp1250(reinterpret_cast<const char*>(value.data()), value.size());
    }
  }
  subject = text;
  return true;
}

bool ParseSignerRecord(const SgnSignerElement& e, TSignerRecord& r) {
  r.Start = e.start;
  r.End = e.end;
  r.Certificate = e.certificate;
  r.Signature = e.signature;
  r.SigningTime = QString::fromLatin1(e.time.data(), qsizetype(e.time.size()));
  r.SerialValue = -1;
  r.SerialText.clear();
  r.Subject.clear();
  r.ValidTo = 0;
  // Received bytes: nothing reaches the library unless its outer TLV fits.
  if (!CertFits(r.Certificate)) return true;
  const uint8_t* der = r.Certificate.data();
  std::vector<uint8_t> serial;
  if (TwoStep([&](uint8_t* b, uint32_t* l) { return tarvirsa::X509ExtractSerial(der, b, l); }, serial)) {
    r.SerialText = SerialHexText(serial.data(), serial.size());
    r.SerialValue = ::SerialValue(serial.data(), serial.size());
  }
  QString error;
  SubjectNameText(der, r.Certificate.size(), ',', error, r.Subject);
  r.ValidTo = CertValidity(std::span<const uint8_t>(r.Certificate), false);
  return true;
}

bool SignatureMatchesDigest(const std::vector<uint8_t>& certificate, const std::vector<uint8_t>& signature,
                            const uint8_t digest[20]) {
  TR_RSA_PUBLIC_KEY key;
  std::memset(&key, 0, sizeof key);
  if (!ExtractRsaPublicKey(std::span<const uint8_t>(certificate), &key)) return false;
  if (key.bits < TR_MIN_MODULUS_BITS || key.bits > TR_MAX_MODULUS_BITS) return false;
  const size_t k = (size_t(key.bits) + 7) / 8;
  if (signature.empty() || signature.size() > k) return false;
  // The operation takes a modulus-length input; a shorter value is the same number.
  uint8_t in[TR_MAX_MODULUS_LEN] = {};
  std::memcpy(in + (k - signature.size()), signature.data(), signature.size());
  uint8_t out[TR_MAX_MODULUS_LEN] = {};
  uint32_t outLen = sizeof out;
  if (tarvirsa::RSAPublicDecrypt(out, &outLen, in, uint32_t(k), &key) != 0) return false;
  // The whole recovered block must be the DigestInfo: its length, prefix and digest.
  return outLen == kSha1DigestInfoLength &&
         std::memcmp(out, kSha1DigestInfoPrefix, sizeof kSha1DigestInfoPrefix) == 0 &&
         std::memcmp(out + sizeof kSha1DigestInfoPrefix, digest, 20) == 0;
}

bool DigestSignedRange(SgnSource& source, SgnLayout& layout, uint8_t digest[20], std::string* rangeCopy,
                       SgnSink* also) {
  if (rangeCopy) rangeCopy->clear();
  RangeDigest sink(rangeCopy, also);
  const bool ok = ReadSignedContainer(source, layout, &sink) && sink.finish(digest);
  if (!ok && rangeCopy) rangeCopy->clear();
  return ok;
}

bool VerifySignedContainer(SgnSource& source, TSignerList& list, SgnLayout* layoutOut, std::string* rangeCopy) {
  list.clear();
  SgnLayout local;
  SgnLayout& layout = layoutOut ? *layoutOut : local;
  uint8_t d[20];
  const bool haveDigest = DigestSignedRange(source, layout, d, rangeCopy);
  const bool wellFormed = layout.wellFormed;

  const QString docTime = QString::fromLatin1(layout.timeStamp.data(), qsizetype(layout.timeStamp.size()));
  const QString docDigest = haveDigest ? QString::fromLatin1(BytesToHexText(d, sizeof d).c_str()) : QString();
  list.reserve(layout.signers.size());
  for (const SgnSignerElement& e : layout.signers) {
    TSignerRecord r;
    r.DocumentTime = docTime;
    r.DocumentDigest = docDigest;
    ParseSignerRecord(e, r);
    r.SignatureOk = 0;
    if (haveDigest && SignatureMatchesDigest(r.Certificate, r.Signature, d)) r.SignatureOk = 1;
    list.push_back(std::move(r));
  }
  return wellFormed;
}

bool VerifySignedText(const char* text, int64_t length, std::string* rangeCopy, TSignerList& list, bool copyFlag,
                      SgnLayout* layout) {
  SgnMemorySource src(text, text ? std::max<int64_t>(0, length) : 0);
  VerifySignedContainer(src, list, layout, copyFlag ? rangeCopy : nullptr);
  if (!copyFlag && rangeCopy) rangeCopy->clear();
  return true;
}

bool VerifySignedFile(const QString& path, TSignerList& list, SgnLayout* layout) {
  list.clear();
  SgnFileSource src(path);
  if (!src.isOpen()) {
    if (layout) {
      *layout = SgnLayout{};
      layout->fault = SgnFault::ReadError;
    }
    return false;
  }
  // A large container takes a while to read: the progress window shows the pass and
  // goes afterwards, unless an operation around this one showed it.
  const bool showProgress = src.size() > ProgressMinSize;
  const bool shownBefore = fmProgres && fmProgres->isVisible();
  const QString shortName = QFileInfo(path).fileName();
  SgnCopyingSource reading(src, nullptr, [&](int64_t position, int64_t size) {
    if (showProgress) ShowProgress64(position, size, shortName, kProgressVerifyCaption);
  });
  const bool ok = VerifySignedContainer(reading, list, layout);
  if (showProgress && !shownBefore) HideProgress();
  return ok;
}

void CheckSignerStates(TSignerRecord& r, const TCertList& roots, bool checkValidity, bool checkPath, TDateTime nowUtc) {
  r.ValidityState = nowUtc > r.ValidTo ? 1 : 0;
  // A certificate without a usable key has already been reported by the signature
  // check; it cannot be loaded, so it is not loaded again (which would report twice).
  TR_RSA_PUBLIC_KEY key;
  bool loadable = CertFits(r.Certificate) && r.Certificate.size() <= size_t(TCertifikat::kDerCapacity) &&
                  tarvirsa::X509ExtractRSAPublicKey(r.Certificate.data(), &key) == 0;
  r.PathState = 1;
  if (loadable) {
    auto cert = std::make_unique<TCertifikat>();
    QString error;
    if (cert->LoadFromMemory(r.Certificate.data(), int32_t(r.Certificate.size()), error, false)) {
      roots.CheckAgainstRoots(*cert);
      r.PathState = cert->RootCheck;
    }
  }
  r.ValidOverall =
      (r.SignatureOk == 1 && (!checkValidity || r.ValidityState == 0) && (!checkPath || r.PathState == 0)) ? 1 : 0;
}

void CheckSignerStates(TSignerRecord& r, const TCertList& roots, const TPostavkeRada& settings, TDateTime nowUtc) {
  CheckSignerStates(r, roots, settings.CheckCertValidity, settings.CheckCertPath, nowUtc);
}
