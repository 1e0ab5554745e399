#include "platform/codepage.h"

#include <array>

#include "interfaces/cp1250_table.h"

namespace {

using cp1250::kHigh;

// Byte for every BMP character; 0 where there is none (NUL itself is handled before
// the lookup). Built once from kHigh, so the two directions cannot disagree.
struct ReverseTable {
  std::array<unsigned char, 0x10000> bytes{};
  ReverseTable() {
    for (unsigned i = 0; i < 128; ++i) bytes[kHigh[i]] = static_cast<unsigned char>(0x80 + i);
  }
};

const ReverseTable& Reverse() {
  static const ReverseTable table;
  return table;
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

template <typename Out>
void Encode(const QString& text, Out& out) {
  const char16_t* p = reinterpret_cast<const char16_t*>(text.utf16());
  const qsizetype n = text.size();
  out.reserve(static_cast<decltype(out.size())>(n));
  for (qsizetype i = 0; i < n; ++i) {
    char16_t c = p[i];
    // A character outside the BMP is one character: one '?', not one per half.
    if (IsHighSurrogate(c) && i + 1 < n && IsLowSurrogate(p[i + 1])) {
      ++i;
      out.push_back('?');
      continue;
    }
    out.push_back(ToCp1250Char(c));
  }
}

}  // namespace

char16_t FromCp1250Char(unsigned char b) { return b < 0x80 ? char16_t(b) : kHigh[b - 0x80]; }

char ToCp1250Char(char16_t c) {
  if (c < 0x80) return static_cast<char>(c);
  unsigned char b = Reverse().bytes[c];
  return b ? static_cast<char>(b) : '?';
}

QString FromCp1250(const char* bytes, size_t len) {
  QString s;
  if (!bytes || len == 0) return s;
  s.resize(static_cast<qsizetype>(len));
  char16_t* d = reinterpret_cast<char16_t*>(s.data());
  for (size_t i = 0; i < len; ++i) d[i] = FromCp1250Char(static_cast<unsigned char>(bytes[i]));
  return s;
}

QString FromCp1250(const QByteArray& bytes) { return FromCp1250(bytes.constData(), static_cast<size_t>(bytes.size())); }

QString FromCp1250(const std::string& bytes) { return FromCp1250(bytes.data(), bytes.size()); }

QByteArray ToCp1250(const QString& text) {
  QByteArray out;
  Encode(text, out);
  return out;
}

std::string ToCp1250Std(const QString& text) {
  std::string out;
  Encode(text, out);
  return out;
}
