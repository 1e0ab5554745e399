#include "platform/codepage.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <QStringDecoder>
#include <optional>

namespace {

constexpr unsigned char kUndefined[] = {0x81, 0x83, 0x88, 0x90, 0x98};

bool IsUndefined(unsigned b) {
  for (unsigned char u : kUndefined)
    if (u == b) return true;
  return false;
}

// glibc's reading of one byte, or nothing when glibc has no character for it.
std::optional<char32_t> GlibcChar(unsigned char b) {
  iconv_t cd = iconv_open("UTF-32LE", "CP1250");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  char in[1] = {static_cast<char>(b)};
  char out[8] = {};
  char* ip = in;
  char* op = out;
  size_t il = 1, ol = sizeof out;
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || ol != 4) return std::nullopt;
  return static_cast<char32_t>(static_cast<unsigned char>(out[0]) | static_cast<unsigned char>(out[1]) << 8 |
                               static_cast<unsigned char>(out[2]) << 16 | static_cast<unsigned char>(out[3]) << 24);
}

}  // namespace

TEST(Cp1250, EveryDefinedByteAgreesWithGlibc) {
  for (unsigned b = 0; b < 256; ++b) {
    std::optional<char32_t> ref = GlibcChar(static_cast<unsigned char>(b));
    if (IsUndefined(b)) {
      EXPECT_FALSE(ref.has_value()) << std::hex << b;
      EXPECT_EQ(FromCp1250Char(static_cast<unsigned char>(b)), char16_t(b)) << std::hex << b;
      continue;
    }
    ASSERT_TRUE(ref.has_value()) << std::hex << b;
    EXPECT_EQ(char32_t(FromCp1250Char(static_cast<unsigned char>(b))), *ref) << std::hex << b;
  }
}

TEST(Cp1250, EveryDefinedByteAgreesWithQt) {
  QStringDecoder qt("windows-1250");
  if (!qt.isValid()) GTEST_SKIP() << "Qt has no windows-1250 decoder here";
  for (unsigned b = 0x80; b < 256; ++b) {
    if (IsUndefined(b)) continue;
    char c = static_cast<char>(b);
    QString ref = qt.decode(QByteArrayView(&c, 1));
    ASSERT_EQ(ref.size(), 1) << std::hex << b;
    EXPECT_EQ(FromCp1250Char(static_cast<unsigned char>(b)), char16_t(ref[0].unicode())) << std::hex << b;
  }
}

TEST(Cp1250, AnyByteStringRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  QString text = FromCp1250(all);
  ASSERT_EQ(text.size(), 256);
  EXPECT_EQ(ToCp1250Std(text), all);
  EXPECT_EQ(ToCp1250(text), QByteArray(all.data(), static_cast<qsizetype>(all.size())));
  EXPECT_EQ(FromCp1250(QByteArray(all.data(), 256)), text);
  EXPECT_EQ(FromCp1250(all.data(), all.size()), text);
}

TEST(Cp1250, CroatianLettersAndUnmappable) {
  struct Case {
    QString text;
    std::string bytes;
  } cases[] = {
      {QString::fromUtf8("Čč Ćć Đđ Šš Žž"), "\xC8\xE8 \xC6\xE6 \xD0\xF0 \x8A\x9A \x8E\x9E"},
      {QString::fromUtf8("Greška kod dohvata javnog ključa"),
       "Gre\x9Aka kod dohvata javnog klju\xE8"
       "a"},
      {QString::fromUtf8("€ „x“ –"), "\x80 \x84x\x93 \x96"},
      // No byte for these: one '?' per character, also for one outside the BMP.
      {QString::fromUtf8("a\xE2\x82\xB9"
                         "b"),
       "a?b"},                                       // Indian rupee sign
      {QString::fromUtf8("\xF0\x9F\x98\x80"), "?"},  // emoji: a surrogate pair
      {QString(QChar(0xD800)), "?"},                 // a lone surrogate
      {QString(), ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToCp1250Std(c.text), c.bytes) << c.text.toStdString();
    if (c.bytes.find('?') == std::string::npos) {
      EXPECT_EQ(FromCp1250(c.bytes), c.text);
    }
  }
  EXPECT_EQ(ToCp1250Char(u'\0'), '\0');
  EXPECT_EQ(ToCp1250Char(u'\u0100'), '?');  // Ā is not in the code page
}

TEST(Cp1250, EmbeddedNulIsKept) {
  std::string bytes("a\0b", 3);
  QString text = FromCp1250(bytes);
  EXPECT_EQ(text.size(), 3);
  EXPECT_EQ(ToCp1250Std(text), bytes);
  EXPECT_TRUE(FromCp1250(nullptr, 5).isEmpty());
}
