#include "platform/codepage.h"

#include <array>

namespace {

// Characters of the bytes 0x80..0xFF. The five bytes the code page leaves
// undefined stand for the C1 control of the same number, so that any byte string
// survives a round trip through QString.
constexpr std::array<char16_t, 128> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x0088, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  // 0x98
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  // 0xA0
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  // 0xA8
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  // 0xB8
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  // 0xC0
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  // 0xC8
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  // 0xD0
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  // 0xD8
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  // 0xE0
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  // 0xE8
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  // 0xF0
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,  // 0xF8
};

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
