#include "interfaces/ziplib_names.h"

#include "interfaces/zip_headers.h"

namespace ziplib_names {

bool UsesOemCodePage(uint8_t hostSystem, uint8_t madeByVersion, uint8_t codePage) {
  if (hostSystem == kHostHpfs) return true;
  if (hostSystem == kHostNtfs && madeByVersion == 50) return true;
  if (codePage == kCpOem) return true;
  return codePage == kCpAuto && hostSystem == kHostMsDos;
}

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      const unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string FromSingleByte(std::string_view bytes, const char16_t (&high)[128]) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char ch : bytes) {
    const unsigned char b = static_cast<unsigned char>(ch);
    AppendUtf8(out, b < 0x80 ? b : high[b - 0x80]);
  }
  return out;
}

std::string DecodeEntryText(std::string_view stored, uint16_t flag, uint8_t hostSystem, uint8_t madeByVersion,
                            uint8_t codePage) {
  if ((flag & kFlagUtf8) && IsValidUtf8(stored)) return std::string(stored);
  if (UsesOemCodePage(hostSystem, madeByVersion, codePage)) return FromSingleByte(stored, kCp852High);
  if (hostSystem == kHostUnix && IsValidUtf8(stored)) return std::string(stored);
  return FromSingleByte(stored, kCp1250High);
}

uint32_t NameCrc32(std::string_view bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (char ch : bytes) crc = zipfmt::Crc32Byte(crc, static_cast<uint8_t>(ch));
  return crc ^ 0xFFFFFFFFu;
}

bool UnicodePathOf(std::string_view extra, std::string_view stored, std::string& utf8) {
  auto get16 = [&](size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(extra[at]) |
                                 (static_cast<unsigned char>(extra[at + 1]) << 8));
  };
  size_t at = 0;
  while (at + 4 <= extra.size()) {
    const uint16_t id = get16(at), len = get16(at + 2);
    if (at + 4 + len > extra.size()) return false;
    if (id == kUnicodePathId && len >= 5 && static_cast<unsigned char>(extra[at + 4]) == 1) {
      const uint32_t crc = static_cast<uint32_t>(get16(at + 5)) | (static_cast<uint32_t>(get16(at + 7)) << 16);
      std::string_view name = extra.substr(at + 9, len - 5u);
      if (crc != NameCrc32(stored) || name.empty() || !IsValidUtf8(name)) return false;
      utf8.assign(name);
      return true;
    }
    at += 4u + len;
  }
  return false;
}

std::string UnicodePathField(std::string_view stored, std::string_view utf8) {
  std::string f;
  const size_t len = 5 + utf8.size();
  auto put16 = [&](uint32_t v) {
    f.push_back(static_cast<char>(v & 0xFF));
    f.push_back(static_cast<char>((v >> 8) & 0xFF));
  };
  put16(kUnicodePathId);
  put16(static_cast<uint32_t>(len));
  f.push_back(1);
  const uint32_t crc = NameCrc32(stored);
  put16(crc & 0xFFFF);
  put16(crc >> 16);
  f.append(utf8);
  return f;
}

std::string DecodeEntryName(std::string_view stored, uint16_t flag, uint8_t hostSystem, uint8_t madeByVersion,
                            uint8_t codePage, std::string_view extra) {
  std::string name;
  if ((flag & kFlagUtf8) || !UnicodePathOf(extra, stored, name))
    name = DecodeEntryText(stored, flag, hostSystem, madeByVersion, codePage);
  for (char& c : name)
    if (c == '\\') c = '/';
  return name;
}

bool EncodeSingleByte(std::string_view utf8, const char16_t (&high)[128], std::string& out) {
  out.clear();
  if (!IsValidUtf8(utf8)) return false;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
    uint32_t cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += len;
    int found = -1;
    for (int b = 0; b < 128; ++b) {
      if (high[b] == cp) {
        found = b;
        break;
      }
    }
    if (found < 0) return false;
    out.push_back(static_cast<char>(0x80 + found));
  }
  return true;
}

bool EncodeOem(std::string_view utf8, std::string& out) { return EncodeSingleByte(utf8, kCp852High, out); }

}  // namespace ziplib_names
