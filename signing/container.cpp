#include "signing/container.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "signing/base64.h"
#include "signing/source_cursor.h"

// ---- writer pieces -------------------------------------------------------------

namespace {
bool IsDtdNameByte(uint8_t c) { return c != '"' && c != '\r' && c != '\n' && c != '<' && c != '>'; }
}  // namespace

bool SgnDtdNameFits(std::string_view dtdName) {
  return dtdName.size() <= kSgnMaxDtdName &&
         std::all_of(dtdName.begin(), dtdName.end(), [](char c) { return IsDtdNameByte(uint8_t(c)); });
}

std::string SgnHeaderText(std::string_view dtdName) {
  if (!SgnDtdNameFits(dtdName)) dtdName = {};
  std::string s;
  s.reserve(kSgnXmlLine.size() + kSgnDoctypeStart.size() + dtdName.size() + kSgnDoctypeEnd.size() +
            kSgnRootLine.size());
  s.append(kSgnXmlLine).append(kSgnDoctypeStart).append(dtdName).append(kSgnDoctypeEnd).append(kSgnRootLine);
  return s;
}

std::string SgnRangePrefixText(std::string_view timeStamp14) {
  std::string s;
  s.reserve(size_t(kSgnPrefixLength));
  s.append(kSgnPrefixHead).append(timeStamp14).append(kSgnPrefixRest);
  return s;
}

std::string SgnSignerText(const uint8_t* cert, size_t certLen, const uint8_t* sig, size_t sigLen,
                          std::string_view time17) {
  std::string s;
  s.reserve(kSgnSignerHead.size() + 2 * certLen + kSgnSignerAfterCert.size() + 2 * sigLen + kSgnSignerAfterSign.size() +
            time17.size() + kSgnSignerEnd.size());
  s.append(kSgnSignerHead);
  s.append(BytesToHexText(cert, certLen));
  s.append(kSgnSignerAfterCert);
  s.append(BytesToHexText(sig, sigLen));
  s.append(kSgnSignerAfterSign);
  s.append(time17);
  s.append(kSgnSignerEnd);
  return s;
}

namespace {
std::string ClockDigits(const QDateTime& t, bool withMillis) {
  const QDate d = t.date();
  const QTime c = t.time();
  char buf[32];
  if (withMillis)
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d%03d", d.year() % 10000, d.month(), d.day(), c.hour(),
                  c.minute(), c.second(), c.msec());
  else
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", d.year() % 10000, d.month(), d.day(), c.hour(),
                  c.minute(), c.second());
  return buf;
}
}  // namespace

std::string SgnTimeStampText(const QDateTime& localTime) { return ClockDigits(localTime, false); }
std::string SgnSigningTimeText(const QDateTime& localTime) { return ClockDigits(localTime, true); }

std::string BytesToHexText(const uint8_t* data, size_t len) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s(2 * len, '0');
  for (size_t i = 0; i < len; ++i) {
    s[2 * i] = digits[data[i] >> 4];
    s[2 * i + 1] = digits[data[i] & 15];
  }
  return s;
}

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

namespace {
bool IsHex(unsigned char c) { return HexValue(c) >= 0; }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
}  // namespace

int64_t HexTextToBytes(char* text, int64_t len) {
  int64_t n = 0;
  for (int64_t i = 0; i + 1 < len; i += 2) {
    int hi = HexValue(static_cast<unsigned char>(text[i]));
    int lo = HexValue(static_cast<unsigned char>(text[i + 1]));
    text[n++] = char(((hi < 0 ? 0 : hi) << 4) | (lo < 0 ? 0 : lo));
  }
  if (len > 0) text[n] = 0;
  return n;
}

bool TagAt(const char* text, int64_t len, int64_t pos, std::string_view tag) {
  if (pos < 0 || len < 0 || pos > len || int64_t(tag.size()) > len - pos) return false;
  return std::memcmp(text + pos, tag.data(), tag.size()) == 0;
}

// ---- sources -------------------------------------------------------------------

int64_t SgnMemorySource::readAt(int64_t offset, void* buf, size_t n) {
  if (offset < 0 || offset > size_) return -1;
  int64_t k = std::min<int64_t>(int64_t(n), size_ - offset);
  if (k > 0) std::memcpy(buf, data_ + offset, size_t(k));
  return k;
}

SgnFileSource::SgnFileSource(const QString& path) : own_(std::make_unique<QFile>(path)) {
  // The reader keeps its own block buffer; a second one in QFile would only copy.
  if (own_->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) file_ = own_.get();
}

int64_t SgnFileSource::size() const { return file_ ? file_->size() : 0; }

int64_t SgnFileSource::readAt(int64_t offset, void* buf, size_t n) {
  if (!file_) return -1;
  if (file_->pos() != offset && !file_->seek(offset)) return -1;
  int64_t total = 0;
  // QFile may return fewer bytes than asked before the end; keep reading.
  while (size_t(total) < n) {
    qint64 got = file_->read(static_cast<char*>(buf) + total, qint64(n - size_t(total)));
    if (got < 0) return -1;
    if (got == 0) break;
    total += got;
  }
  return total;
}

const char* SgnFaultName(SgnFault fault) {
  switch (fault) {
    case SgnFault::None: return "none";
    case SgnFault::ReadError: return "read error";
    case SgnFault::Truncated: return "truncated";
    case SgnFault::BadHeader: return "bad header";
    case SgnFault::BadDtdName: return "bad DTD name";
    case SgnFault::BadTimeStamp: return "bad time stamp";
    case SgnFault::BadPayload: return "bad payload";
    case SgnFault::BadSigner: return "bad signer";
    case SgnFault::BadHex: return "bad hex field";
    case SgnFault::BadTime: return "bad signing time";
    case SgnFault::TooManySigners: return "too many signers";
    case SgnFault::BadEnd: return "bad end";
  }
  return "?";
}

// ---- the reader ----------------------------------------------------------------

namespace {

using sgnread::Cursor;
using sgnread::Match;

class Reader {
 public:
  Reader(SgnSource& src, SgnLayout& layout, SgnSink* sink, const SgnReadOptions& opt)
      : src_(src), cur_(src, opt.blockSize), l_(layout), sink_(sink), opt_(opt) {}

  bool read() {
    l_ = SgnLayout{};
    l_.size = src_.size();
    if (l_.size < 0) return fail(SgnFault::ReadError, 0);
    bool reachedSigners = false;
    if (header() && range()) {
      reachedSigners = true;
      if (signers()) {
        l_.wellFormed = true;
        return true;
      }
    }
    if (!reachedSigners && l_.fault != SgnFault::ReadError) salvageSigners();
    return false;
  }

 private:
  bool fail(SgnFault f, int64_t at) { return sgnread::NoteFault(l_, f, at); }
  bool fromMatch(Match m, SgnFault f, int64_t at) { return sgnread::NoteMatch(l_, m, f, at); }
  bool expect(std::string_view lit, SgnFault f) { return sgnread::ExpectLiteral(cur_, l_, lit, f); }

  bool header() {
    if (!expect(kSgnXmlLine, SgnFault::BadHeader) || !expect(kSgnDoctypeStart, SgnFault::BadHeader)) return false;
    int64_t at = cur_.pos();
    std::string name;
    if (!cur_.run(IsDtdNameByte, kSgnMaxDtdName, name)) return fail(SgnFault::ReadError, at);
    if (name.size() > kSgnMaxDtdName) return fail(SgnFault::BadDtdName, at);
    if (!expect(kSgnDoctypeEnd, SgnFault::BadDtdName)) return false;
    l_.dtdName = std::move(name);
    return expect(kSgnRootLine, SgnFault::BadHeader);
  }

  bool range() {
    const int64_t start = cur_.pos();
    int64_t at = start;
    if (!cur_.need(size_t(kSgnPrefixLength))) {
      // Tell a wrong prefix from a short file.
      if (cur_.ioError()) return fail(SgnFault::ReadError, at);
      if (!expect(kSgnPrefixHead, SgnFault::BadTimeStamp)) return false;
      return fail(SgnFault::Truncated, at);
    }
    const uint8_t* p = cur_.ptr();
    if (std::memcmp(p, kSgnPrefixHead.data(), kSgnPrefixHead.size()) != 0) return fail(SgnFault::BadTimeStamp, at);
    const uint8_t* digits = p + kSgnPrefixHead.size();
    for (int i = 0; i < kSgnTimeStampDigits; ++i)
      if (!IsDigit(digits[i])) return fail(SgnFault::BadTimeStamp, at + int64_t(kSgnPrefixHead.size()) + i);
    if (std::memcmp(digits + kSgnTimeStampDigits, kSgnPrefixRest.data(), kSgnPrefixRest.size()) != 0)
      return fail(SgnFault::BadTimeStamp, at + int64_t(kSgnPrefixHead.size()) + kSgnTimeStampDigits);
    l_.timeStamp.assign(reinterpret_cast<const char*>(digits), kSgnTimeStampDigits);
    if (sink_) sink_->rangeBytes(p, size_t(kSgnPrefixLength));
    cur_.advance(size_t(kSgnPrefixLength));
    const int64_t payloadStart = cur_.pos();

    // The payload runs up to the first byte outside its alphabet. Its last two
    // bytes belong to the tail, so the payload sink lags two bytes behind.
    auto rangeBytes = [this](const uint8_t* d, size_t k) {
      if (sink_) sink_->rangeBytes(d, k);
    };
    auto payloadBytes = [this](const uint8_t* d, size_t k) {
      if (sink_) sink_->payloadBytes(d, k);
    };
    const sgnread::Base64Walk walk = sgnread::WalkBase64Text(cur_, nullptr, rangeBytes, payloadBytes);
    if (!walk.complete) return fail(cur_.ioError() ? SgnFault::ReadError : SgnFault::Truncated, cur_.pos());
    at = cur_.pos();
    if (!walk.endsWithCrLf || at - payloadStart < 2) return fail(SgnFault::BadPayload, at);
    const std::string_view rest = kSgnTail.substr(2);
    if (!fromMatch(cur_.peek(rest), SgnFault::BadPayload, at)) return false;
    if (sink_) sink_->rangeBytes(cur_.ptr(), rest.size());
    cur_.advance(rest.size());
    l_.haveRange = true;
    l_.rangeStart = start;
    l_.payloadStart = payloadStart;
    l_.payloadEnd = at - 2;
    l_.rangeEnd = cur_.pos();
    return true;
  }

  // Signer elements up to the closing CR LF "</FileUpload>" at the very end.
  bool signers() {
    for (;;) {
      const int64_t at = cur_.pos();
      switch (cur_.peek(kSgnClose)) {
        case Match::Ok:
          cur_.advance(kSgnClose.size());
          if (cur_.need(1)) return fail(SgnFault::BadEnd, cur_.pos());
          if (cur_.ioError()) return fail(SgnFault::ReadError, cur_.pos());
          return true;
        case Match::Short: return fail(SgnFault::Truncated, at);
        case Match::Io: return fail(SgnFault::ReadError, at);
        case Match::Mismatch: break;
      }
      if (!fromMatch(cur_.peek(kSgnSignerHead), SgnFault::BadEnd, at)) return false;
      if (l_.signers.size() >= kSgnMaxSigners) return fail(SgnFault::TooManySigners, at);
      if (!signer()) return false;
    }
  }

  bool field(int64_t& pos, int64_t& len, size_t limit, std::vector<uint8_t>* bytes) {
    pos = cur_.pos();
    std::string hex;
    if (!cur_.run(IsHex, limit, hex)) return fail(SgnFault::ReadError, pos);
    len = int64_t(hex.size());
    if (hex.empty() || hex.size() > limit) return fail(SgnFault::BadHex, pos);
    if (hex.size() % 2 != 0) {
      // An odd run that stops at a non-hex digit is a framing fault; one that stops
      // at its end tag has lost a digit.
      if (cur_.peek("\r") == Match::Ok) return fail(SgnFault::BadHex, pos);
      return fail(SgnFault::BadSigner, cur_.pos());
    }
    if (bytes) {
      int64_t n = HexTextToBytes(hex.data(), int64_t(hex.size()));
      bytes->assign(hex.data(), hex.data() + n);
    }
    return true;
  }

  bool signer() {
    SgnSignerElement e;
    e.start = cur_.pos() + 2;
    cur_.advance(kSgnSignerHead.size());
    if (!field(e.certHexPos, e.certHexLen, size_t(kSgnMaxCertificateHex), opt_.decodeFields ? &e.certificate : nullptr))
      return false;
    if (!expect(kSgnSignerAfterCert, SgnFault::BadSigner)) return false;
    if (!field(e.signHexPos, e.signHexLen, size_t(kSgnMaxSignatureHex), opt_.decodeFields ? &e.signature : nullptr))
      return false;
    if (!expect(kSgnSignerAfterSign, SgnFault::BadSigner)) return false;
    e.timePos = cur_.pos();
    if (!cur_.run(IsDigit, kSgnSigningTimeDigits, e.time)) return fail(SgnFault::ReadError, e.timePos);
    if (e.time.size() != size_t(kSgnSigningTimeDigits)) return fail(SgnFault::BadTime, e.timePos);
    e.end = cur_.pos() + 11;  // past CR LF "</Time>" CR LF
    if (!expect(kSgnSignerEnd, SgnFault::BadSigner)) return false;
    l_.signers.push_back(std::move(e));
    return true;
  }

  // A malformed head or range still lets a listing show the Signer elements: they
  // follow the last tail of the file, found by searching backwards.
  void salvageSigners() {
    int64_t tailEnd = LastTailEnd();
    if (tailEnd < 0) return;
    cur_.seek(tailEnd);
    l_.signers.clear();
    signers();  // its faults do not replace the first one
  }

  int64_t LastTailEnd() {
    const int64_t size = l_.size;
    const size_t win = std::max<size_t>(opt_.blockSize, 4096);
    std::vector<uint8_t> buf(win + kSgnTail.size());
    int64_t hi = size;  // search [lo, hi)
    while (hi >= int64_t(kSgnTail.size())) {
      int64_t lo = std::max<int64_t>(0, hi - int64_t(win) - int64_t(kSgnTail.size()) + 1);
      size_t n = size_t(hi - lo);
      if (src_.readAt(lo, buf.data(), n) != int64_t(n)) return -1;
      std::string_view v(reinterpret_cast<const char*>(buf.data()), n);
      size_t f = v.rfind(kSgnTail);
      if (f != std::string_view::npos) return lo + int64_t(f + kSgnTail.size());
      if (lo == 0) break;
      hi = lo + int64_t(kSgnTail.size()) - 1;
    }
    return -1;
  }

  SgnSource& src_;
  Cursor cur_;
  SgnLayout& l_;
  SgnSink* sink_;
  SgnReadOptions opt_;
};

}  // namespace

bool ReadSignedContainer(SgnSource& source, SgnLayout& layout, SgnSink* sink, const SgnReadOptions& options) {
  Reader r(source, layout, sink, options);
  return r.read();
}
