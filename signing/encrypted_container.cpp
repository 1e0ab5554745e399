#include "signing/encrypted_container.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstring>

#include "platform/codepage.h"
#include "signing/base64.h"
#include "signing/progress_window.h"
#include "signing/replacement_file.h"
#include "signing/settings.h"
#include "signing/source_cursor.h"

// ---- writer pieces -------------------------------------------------------------

std::string EncBufferedText(std::string_view text) {
  size_t n = std::min(text.size(), kEncTextBuffer);
  size_t zero = text.substr(0, n).find('\0');
  if (zero != std::string_view::npos) n = zero;
  return std::string(text.substr(0, n));
}

std::string EncSubjectText(std::string_view subject) {
  std::string s = EncBufferedText(subject);
  for (char& c : s)
    if (c == '\r' || c == '\n' || c == '<') c = '?';
  return s;
}

std::string EncHeadText(std::string_view versionText) {
  std::string s;
  s.append(kEncXmlLine).append(kEncDoctypeLine).append(kEncRootLine);
  std::string v = EncBufferedText(versionText);
  // A line break would end the row early; the version is one line.
  for (char& c : v)
    if (c == '\r' || c == '\n' || c == '<') c = '?';
  s.append(kEncVersionOpen).append(v).append(kEncVersionClose);
  return s;
}

std::string EncRecipientText(std::string_view subject, std::string_view serial) {
  std::string s;
  s.append(kEncRecipientOpen).append(EncSubjectText(subject));
  s.append(kEncSubjectToSerial).append(EncBufferedText(serial)).append(kEncRecipientClose);
  return s;
}

std::string EncTailText(const uint8_t* wrappedKey, size_t wrappedLen) {
  std::string s;
  s.append(kEncFileClose).append(kEncSessionKeyOpen);
  s.append(BytesToHexText(wrappedKey, wrappedLen));
  s.append(kEncSessionKeyClose).append(kEncRootClose);
  return s;
}

std::string EncSerialText(int32_t serialValue, std::string_view serialHex, bool decimal) {
  if (decimal) return std::to_string(serialValue);
  return EncBufferedText(serialHex);
}

// ---- small helpers -------------------------------------------------------------

namespace {
bool IsHexChar(uint8_t c) { return HexValue(c) >= 0; }
bool IsSerialChar(uint8_t c) { return IsHexChar(c) || c == '-'; }
// Text of the version and subject rows: one line, no tag can start inside it.
bool IsLineChar(uint8_t c) { return c != '\r' && c != '\n' && c != '<' && c != 0; }
}  // namespace

int32_t HexSerialValue(std::string_view hex) {
  uint32_t v = 0;
  for (size_t b = 0; b < 4; ++b) {
    uint32_t byte = 0;
    for (size_t k = 0; k < 2; ++k) {
      size_t i = 2 * b + k;
      int d = i < hex.size() ? HexValue(static_cast<unsigned char>(hex[i])) : 0;
      byte = (byte << 4) | uint32_t(d < 0 ? 0 : d);
    }
    v = (v << 8) | byte;
  }
  return static_cast<int32_t>(v);
}

bool IsAllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool StreamTagAt(SgnSource& source, int64_t pos, std::string_view tag) {
  const int64_t size = source.size();
  if (pos < 0 || size < 0 || pos > size || int64_t(tag.size()) > size - pos) return false;
  char buf[64];
  size_t done = 0;
  while (done < tag.size()) {
    size_t n = std::min(sizeof buf, tag.size() - done);
    if (source.readAt(pos + int64_t(done), buf, n) != int64_t(n)) return false;
    if (std::memcmp(buf, tag.data() + done, n) != 0) return false;
    done += n;
  }
  return true;
}

const char* EncFaultName(EncFault fault) {
  switch (fault) {
    case EncFault::None: return "none";
    case EncFault::ReadError: return "read error";
    case EncFault::Truncated: return "truncated";
    case EncFault::BadHeader: return "bad header";
    case EncFault::BadVersion: return "bad version";
    case EncFault::BadRecipient: return "bad recipient";
    case EncFault::BadSerial: return "bad certificate serial";
    case EncFault::NoRecipient: return "no recipient";
    case EncFault::TooManyRecipients: return "too many recipients";
    case EncFault::BadPayload: return "bad payload";
    case EncFault::BadSessionKey: return "bad session key";
    case EncFault::BadHex: return "bad hex field";
    case EncFault::KeyCount: return "session keys and recipients differ in number";
    case EncFault::BadEnd: return "bad end";
  }
  return "?";
}

// ---- the reader ----------------------------------------------------------------

namespace {

using sgnread::Cursor;
using sgnread::Match;

class Reader {
 public:
  Reader(SgnSource& src, EncLayout& layout, EncSink* sink, size_t block)
      : src_(src), cur_(src, block, 4096), l_(layout), sink_(sink) {}

  bool read() {
    l_ = EncLayout{};
    l_.size = src_.size();
    if (l_.size < 0) return fail(EncFault::ReadError, 0);
    if (!head() || !recipients() || !payload() || !keys() || !end()) return false;
    l_.wellFormed = true;
    return true;
  }

 private:
  bool fail(EncFault f, int64_t at) { return sgnread::NoteFault(l_, f, at); }
  bool fromMatch(Match m, EncFault f, int64_t at) { return sgnread::NoteMatch(l_, m, f, at); }
  bool expect(std::string_view lit, EncFault f) { return sgnread::ExpectLiteral(cur_, l_, lit, f); }
  // A run of one line's text up to the literal that must close it.
  bool text(bool (*ok)(uint8_t), size_t limit, std::string& out, EncFault f) {
    int64_t at = cur_.pos();
    if (!cur_.run(ok, limit, out)) return fail(EncFault::ReadError, at);
    if (out.size() > limit) return fail(f, at);
    return true;
  }

  bool head() {
    if (!expect(kEncXmlLine, EncFault::BadHeader) || !expect(kEncDoctypeLine, EncFault::BadHeader) ||
        !expect(kEncRootLine, EncFault::BadHeader) || !expect(kEncVersionOpen, EncFault::BadVersion))
      return false;
    if (!text(IsLineChar, kEncTextBuffer, l_.version, EncFault::BadVersion)) return false;
    return expect(kEncVersionClose, EncFault::BadVersion);
  }

  bool recipients() {
    for (;;) {
      const int64_t at = cur_.pos();
      Match m = cur_.peek(kEncRecipientOpen);
      if (m == Match::Mismatch) {
        if (l_.recipients.empty()) {
          // Tell a missing recipient from a broken one.
          if (cur_.peek(kEncFileOpen.substr(0, 5)) == Match::Ok) return fail(EncFault::NoRecipient, at);
          return fail(EncFault::BadRecipient, at);
        }
        return true;
      }
      if (!fromMatch(m, EncFault::BadRecipient, at)) return false;
      if (l_.recipients.size() >= kEncMaxRecipients) return fail(EncFault::TooManyRecipients, at);
      cur_.advance(kEncRecipientOpen.size());
      EncRecipientElement e;
      e.start = at;
      e.subjectAt = cur_.pos();
      if (!text(IsLineChar, kEncTextBuffer, e.subject, EncFault::BadRecipient)) return false;
      if (!expect(kEncSubjectToSerial, EncFault::BadRecipient)) return false;
      e.serialAt = cur_.pos();
      if (!text(IsSerialChar, kEncMaxSerialText, e.serial, EncFault::BadSerial)) return false;
      if (e.serial.empty()) return fail(EncFault::BadSerial, e.serialAt);
      // A minus sign only leads a decimal value.
      if (e.serial.find('-', 1) != std::string::npos) return fail(EncFault::BadSerial, e.serialAt);
      if (!expect(kEncRecipientClose, EncFault::BadRecipient)) return false;
      recipientBytes_ += e.subject.size() + e.serial.size();
      if (recipientBytes_ > kEncMaxRecipientBytes) return fail(EncFault::TooManyRecipients, at);
      l_.recipients.push_back(std::move(e));
    }
  }

  // The Base64 text up to the first byte outside the alphabet and CR LF. Its last
  // two bytes are the CR LF that begins the end of File, so the sink lags two
  // bytes behind.
  bool payload() {
    if (!expect(kEncFileOpen, EncFault::BadPayload)) return false;
    const int64_t start = cur_.pos();
    uint64_t symbols = 0;
    auto payloadText = [this](const uint8_t* d, size_t n) {
      if (sink_) sink_->payloadText(d, n);
    };
    const sgnread::Base64Walk walk = sgnread::WalkBase64Text(
        cur_, &symbols, [](const uint8_t*, size_t) {}, payloadText);
    if (!walk.complete) return fail(cur_.ioError() ? EncFault::ReadError : EncFault::Truncated, cur_.pos());
    const int64_t at = cur_.pos();
    if (!walk.endsWithCrLf) return fail(EncFault::BadPayload, at);
    l_.payloadStart = start;
    l_.payloadEnd = at - 2;
    // The CR LF before "]]>" was counted as text; it holds no symbol.
    l_.cipherLength = symbols / 4 * 3 + (symbols % 4 == 3 ? 2 : symbols % 4 == 2 ? 1 : 0);
    if (symbols % 4 == 1) return fail(EncFault::BadPayload, at);
    return expect(kEncFileClose.substr(2), EncFault::BadPayload);
  }

  bool keys() {
    for (;;) {
      const int64_t at = cur_.pos();
      Match m = cur_.peek(kEncSessionKeyOpen);
      if (m == Match::Mismatch) {
        if (l_.sessionKeys.empty()) return fail(EncFault::BadSessionKey, at);
        return true;
      }
      if (!fromMatch(m, EncFault::BadSessionKey, at)) return false;
      if (l_.sessionKeys.size() >= l_.recipients.size()) return fail(EncFault::KeyCount, at);
      cur_.advance(kEncSessionKeyOpen.size());
      EncSessionKeyElement e;
      e.start = at;
      e.hexAt = cur_.pos();
      std::string hex;
      if (!text(IsHexChar, 2 * kEncMaxWrappedKeyBytes, hex, EncFault::BadHex)) return false;
      if (hex.empty() || hex.size() % 2 != 0) return fail(EncFault::BadHex, e.hexAt);
      if (!expect(kEncSessionKeyClose, EncFault::BadSessionKey)) return false;
      int64_t n = HexTextToBytes(hex.data(), int64_t(hex.size()));
      e.key.assign(hex.data(), hex.data() + n);
      l_.sessionKeys.push_back(std::move(e));
    }
  }

  bool end() {
    const int64_t at = cur_.pos();
    if (!expect(kEncRootClose, EncFault::BadEnd)) return false;
    // A key for every recipient, or the file is no whole container.
    if (l_.sessionKeys.size() != l_.recipients.size()) return fail(EncFault::KeyCount, at);
    if (cur_.need(1)) return fail(EncFault::BadEnd, cur_.pos());
    if (cur_.ioError()) return fail(EncFault::ReadError, cur_.pos());
    return true;
  }

  SgnSource& src_;
  Cursor cur_;
  EncLayout& l_;
  EncSink* sink_;
  size_t recipientBytes_ = 0;
};

}  // namespace

bool ReadEncodedContainer(SgnSource& source, EncLayout& layout, EncSink* sink, size_t blockSize) {
  Reader r(source, layout, sink, blockSize);
  return r.read();
}

// ---- recipient records ---------------------------------------------------------

void ParseRecipient(const EncRecipientElement& element, TRecipientRecord& record) {
  // The serial text as the reader's zero-filled work area holds it.
  std::string sn = element.serial.substr(0, std::min(element.serial.size(), kEncSerialWorkArea - 1));
  size_t zero = sn.find('\0');
  if (zero != std::string::npos) sn.resize(zero);
  record.SerialText.clear();
  if (sn.size() <= 10 && IsAllDigits(sn)) {
    uint64_t v = 0;
    for (char c : sn) v = v * 10 + uint64_t(c - '0');
    const uint32_t low = static_cast<uint32_t>(v);
    record.SerialValue = static_cast<int32_t>(low);
    record.SerialText = QString::number(low, 16).toUpper();
  } else {
    record.SerialText = QString::fromLatin1(sn.data(), qsizetype(sn.size()));
    record.SerialValue = HexSerialValue(std::string_view(sn).substr(0, 8));
  }
  record.Subject = FromCp1250(element.subject);
}

namespace {
void RecordsFromLayout(const EncLayout& layout, TRecipientList& list) {
  list.clear();
  list.reserve(layout.recipients.size());
  for (size_t i = 0; i < layout.recipients.size(); ++i) {
    TRecipientRecord r;
    ParseRecipient(layout.recipients[i], r);
    if (i < layout.sessionKeys.size()) {
      r.SessionKey = layout.sessionKeys[i].key;
      r.SessionKeyLength = int32_t(r.SessionKey.size());
    }
    list.push_back(std::move(r));
  }
}

// A source that cannot be read at all: a read error before its first byte.
bool Unreadable(EncLayout& layout) {
  layout = EncLayout{};
  layout.fault = EncFault::ReadError;
  return false;
}
}  // namespace

bool ParseRecipients(const char* text, int64_t length, int32_t* outPair, TRecipientList& list, EncLayout* layout) {
  if (outPair) outPair[0] = outPair[1] = 0;
  list.clear();
  EncLayout own;
  EncLayout& l = layout ? *layout : own;
  if (!text || length < 0) return Unreadable(l);
  SgnMemorySource src(text, length);
  if (!ReadEncodedContainer(src, l)) return false;
  RecordsFromLayout(l, list);
  return true;
}

bool ParseRecipientsFile(const QString& path, TRecipientList& list, EncLayout* layout) {
  list.clear();
  EncLayout own;
  EncLayout& l = layout ? *layout : own;
  SgnFileSource src(path);
  if (!src.isOpen()) return Unreadable(l);
  const bool showProgress = src.size() > ProgressMinSize;
  const bool shownBefore = fmProgres && fmProgres->isVisible();
  const QString shortName = QFileInfo(path).fileName();
  SgnCopyingSource reading(src, nullptr, [&](int64_t position, int64_t size) {
    if (showProgress) ShowProgress64(position, size, shortName, kProgressReadingEncrypted);
  });
  const bool ok = ReadEncodedContainer(reading, l);
  if (showProgress && !shownBefore) HideProgress();
  if (!ok) return false;
  RecordsFromLayout(l, list);
  return true;
}

namespace {
// Decodes the Base64 text as it arrives, through a bounded buffer.
class DecodingSink : public EncSink {
 public:
  explicit DecodingSink(ByteSink& out) : out_(out), buf_(kChunk / 4 * 3 + 3) {}
  void payloadText(const uint8_t* data, size_t n) override {
    while (n) {
      size_t k = std::min(n, kChunk);
      size_t got = Base64DecodeChunk(reinterpret_cast<const char*>(data), k, buf_.data(), missing_, acc_);
      if (got) out_.Write(buf_.data(), got);
      data += k;
      n -= k;
    }
  }
  void finish() {
    size_t got = Base64DecodeFlush(buf_.data(), acc_, missing_);
    if (got) out_.Write(buf_.data(), got);
  }

 private:
  static constexpr size_t kChunk = 65536;
  ByteSink& out_;
  std::vector<char> buf_;
  uint32_t missing_ = 4, acc_ = 0;
};
}  // namespace

bool VerifySignedStream(const QString& name, std::string* rangeCopy, ByteSink& destination, EncLayout* layout) {
  if (rangeCopy) rangeCopy->clear();
  EncLayout own;
  EncLayout& l = layout ? *layout : own;
  SgnFileSource src(name);
  if (!src.isOpen()) return Unreadable(l);
  DecodingSink sink(destination);
  if (!ReadEncodedContainer(src, l, &sink)) return false;
  sink.finish();
  return true;
}
