// The PIN type on its own: the bytes a module gets from what the user typed, and
// storage that holds zeros once the PIN is cleared or moved on.
#include "card/pin.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Bytes(const TPin& pin) { return std::string(reinterpret_cast<const char*>(pin.data()), pin.size()); }

TEST(Pin, TheBytesTheModuleGets) {
  struct Case {
    const char* what;
    QString text;
    qsizetype maxChars;
    std::string bytes;
  } cases[] = {
      {"plain", QStringLiteral("1234"), -1, "1234"},
      {"code page 1250", QStringLiteral("čšž"), -1, "\xE8\x9A\x9E"},
      {"no byte for it", QStringLiteral("a\u20ACb\u4E00"), -1,
       "a\x80"
       "b?"},
      {"outside the basic plane: one character",
       QString::fromUtf8("1\xF0\x9F\x98\x80"
                         "2"),
       -1, "1?2"},
      {"up to the first NUL",
       QString::fromLatin1("12\0"
                           "34",
                           5),
       -1, "12"},
      {"the dialog's length", QString(60, QChar('5')), 50, std::string(50, '5')},
      {"the login buffer", QString(3000, QChar('7')), -1, std::string(TPin::kMaxBytes, '7')},
      {"nothing", QString(), -1, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const TPin pin = TPin::FromText(k.text, k.maxChars);
    EXPECT_EQ(Bytes(pin), k.bytes);
    EXPECT_EQ(pin.empty(), k.bytes.empty());
    EXPECT_NE(pin.data(), nullptr);  // an empty old PIN still goes at an address
  }
  EXPECT_TRUE(TPin::FromText(QStringLiteral("abcd")).SameBytes(TPin::FromText(QStringLiteral("abcd"))));
  EXPECT_FALSE(TPin::FromText(QStringLiteral("abcd")).SameBytes(TPin::FromText(QStringLiteral("ABCD"))));
  EXPECT_FALSE(TPin::FromText(QStringLiteral("abc")).SameBytes(TPin::FromText(QStringLiteral("abcd"))));
}

TEST(Pin, ClearedAndMovedPinsLeaveZeros) {
  TPin pin = TPin::FromText(QStringLiteral("24681357"));
  const CK_UTF8CHAR* storage = pin.data();

  // Moved: the storage goes along, no copy is made, and the source is empty.
  TPin moved = std::move(pin);
  EXPECT_TRUE(pin.empty());  // NOLINT(bugprone-use-after-move): a moved-from PIN is empty by contract
  EXPECT_EQ(moved.data(), storage);
  EXPECT_EQ(Bytes(moved), "24681357");

  // Cleared: the storage stays the PIN's, and holds zeros.
  moved.clear();
  EXPECT_TRUE(moved.empty());
  EXPECT_EQ(moved.data(), storage);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(storage), 8), std::string(8, '\0'));
}

}  // namespace
