#include "card/cert_helpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "card/tarvirsa_api.h"
#include "platform/fake_ui_services.h"

namespace {

// The Validity bytes the fake library hands out, and how it behaves.
struct FakeValidity {
  std::vector<uint8_t> bytes;
  TRRESULT rc = 0;
  uint32_t extraClaimed = 0;  // the size query claims this many bytes more than it writes
  int calls = 0;
} g_fake;

TRRESULT FakeExtractValidity(const uint8_t*, uint8_t* buf, uint32_t* len) {
  ++g_fake.calls;
  if (g_fake.rc) return g_fake.rc;
  const uint32_t size = static_cast<uint32_t>(g_fake.bytes.size());
  if (!buf) {
    *len = size + g_fake.extraClaimed;
    return 0;
  }
  if (*len < size) {
    *len = size;
    return TR_E_LEN;
  }
  std::memcpy(buf, g_fake.bytes.data(), size);
  *len = size;
  return 0;
}

// The library's contract: reads the tag, the first length byte and only the length
// bytes that one announces.
TRRESULT StrictDecodeLength(const uint8_t* tag, uint32_t* header, uint32_t* content) {
  if ((tag[0] & 0x1F) == 0x1F) return TR_E_DATA;
  uint8_t first = tag[1];
  if (first < 0x80) {
    *header = 2;
    *content = first;
    return 0;
  }
  unsigned n = first & 0x7F;
  if (n == 0 || n > 4) return TR_E_DATA;
  uint32_t v = 0;
  for (unsigned i = 0; i < n; ++i) v = v << 8 | tag[2 + i];
  *header = 2 + n;
  *content = v;
  return 0;
}

TRRESULT g_keyRc = 0;
int g_keyCalls = 0;
TRRESULT FakeExtractKey(const uint8_t*, TR_RSA_PUBLIC_KEY* key) {
  ++g_keyCalls;
  if (g_keyRc == 0) key->bits = 2048;
  return g_keyRc;
}

// Swaps the global table for one with the fakes, and back.
class CertHelpers : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = TarviRsa;
    ClearTarviRsaTable();
    TarviRsa.X509ExtractValidity = &FakeExtractValidity;
    TarviRsa.DERDecodeLength = &StrictDecodeLength;
    TarviRsa.X509ExtractRSAPublicKey = &FakeExtractKey;
    g_fake = FakeValidity{};
    g_keyRc = 0;
    g_keyCalls = 0;
  }
  void TearDown() override { TarviRsa = saved_; }
  TarviRsaTable saved_;
};

std::vector<uint8_t> Bytes(std::initializer_list<int> head, const std::string& tail = "") {
  std::vector<uint8_t> v;
  for (int b : head) v.push_back(static_cast<uint8_t>(b));
  v.insert(v.end(), tail.begin(), tail.end());
  return v;
}

// A DER element of tag with text as content.
std::string Tlv(int tag, const std::string& text) {
  return std::string(1, static_cast<char>(tag)) + std::string(1, static_cast<char>(text.size())) + text;
}

std::vector<uint8_t> Validity(const std::string& inner) { return Bytes({0x30, static_cast<int>(inner.size())}, inner); }

double Day(int days, int h = 0, int m = 0, int s = 0) { return days + (h * 3600 + m * 60 + s) / 86400.0; }

}  // namespace

TEST_F(CertHelpers, ValidityTable) {
  const std::string utc2050 = Tlv(0x17, "500101000000Z");
  const std::string utc1951 = Tlv(0x17, "510101000000Z");
  struct Case {
    const char* what;
    std::vector<uint8_t> validity;
    double start, end;
  } cases[] = {
      {"year 50 is 2050, 51 is 1951", Validity(utc2050 + utc1951), Day(54789), Day(18629)},
      {"GeneralizedTime end", Validity(Tlv(0x17, "250101000000Z") + Tlv(0x18, "20600101123456Z")), Day(45658),
       Day(58441, 12, 34, 56)},
      {"GeneralizedTime start", Validity(Tlv(0x18, "20500101000000Z") + Tlv(0x18, "20600101000000Z")), Day(54789),
       Day(58441)},
      {"fraction and offset ignored", Validity(Tlv(0x17, "491231235959+0100") + Tlv(0x18, "20600101000000.123Z")),
       Day(54788, 23, 59, 59), Day(58441)},
      {"no zone letter", Validity(Tlv(0x17, "500101000000") + utc1951), Day(54789), Day(18629)},
      {"second element missing", Validity(utc2050), Day(54789), 0},
      {"second element of another type", Validity(utc2050 + Tlv(0x04, "510101000000Z")), Day(54789), 0},
      {"first element of another type", Validity(Tlv(0x04, "500101000000Z") + utc1951), 0, 0},
      {"seconds missing", Validity(Tlv(0x17, "5001010000Z") + Tlv(0x17, "5101010000Z")), 0, 0},
      {"not digits", Validity(Tlv(0x17, "50AB01000000Z") + Tlv(0x17, "5101x1000000Z")), 0, 0},
      {"month 13, day 32", Validity(Tlv(0x17, "991332000000Z") + Tlv(0x17, "991232000000Z")), 0, 0},
      {"not a SEQUENCE", Bytes({0x31, 0x1E}, utc2050 + utc1951), 0, 0},
      {"empty", {}, 0, 0},
      {"only a tag", Bytes({0x30}), 0, 0},
      {"SEQUENCE with a four-byte length and nothing after", Bytes({0x30, 0x84}), 0, 0},
      {"outer length past the end", Bytes({0x30, 0x7F}, utc2050 + utc1951), 0, 0},
      {"huge outer length", Bytes({0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xF0}, utc2050), 0, 0},
      {"indefinite outer length", Bytes({0x30, 0x80}, utc2050 + utc1951 + std::string(2, '\0')), 0, 0},
      {"first element's length past the end", Bytes({0x30, 0x0F, 0x17, 0x7F}, "500101000000Z"), 0, 0},
      {"first element's length bytes cut off", Bytes({0x30, 0x03, 0x17, 0x82, 0x01}), 0, 0},
      {"second element runs past the Validity",
       Bytes({0x30, 0x1E}, utc2050 + Tlv(0x17, "510101000000Z").substr(0, 1) + "\x20" + "510101000000Z"), Day(54789),
       0},
      {"second element beyond the Validity's own length", Bytes({0x30, 0x0F}, utc2050 + utc1951), Day(54789), 0},
      {"time cut short by the Validity", Bytes({0x30, 0x08}, utc2050), 0, 0},
  };
  for (const Case& c : cases) {
    g_fake.bytes = c.validity;
    EXPECT_DOUBLE_EQ(CertValidity(reinterpret_cast<const uint8_t*>("x"), true), c.start) << c.what;
    EXPECT_DOUBLE_EQ(CertValidity(reinterpret_cast<const uint8_t*>("x"), false), c.end) << c.what;
  }
}

TEST_F(CertHelpers, ValidityLibraryFailures) {
  g_fake.bytes = Validity(Tlv(0x17, "500101000000Z") + Tlv(0x17, "510101000000Z"));
  const uint8_t* der = reinterpret_cast<const uint8_t*>("x");
  g_fake.rc = TR_E_DATA;
  EXPECT_EQ(CertValidity(der, true), 0);
  g_fake.rc = 0;
  // A size query that claims more than is then written: only the written bytes count.
  g_fake.extraClaimed = 40;
  EXPECT_DOUBLE_EQ(CertValidity(der, false), Day(18629));
  g_fake.extraClaimed = 0xFFFFFF00u;  // absurd: refused without allocating
  EXPECT_EQ(CertValidity(der, true), 0);
  g_fake.extraClaimed = 0;
  TarviRsa.DERDecodeLength = nullptr;
  EXPECT_EQ(CertValidity(der, true), 0);
  ClearTarviRsaTable();
  EXPECT_EQ(CertValidity(der, true), 0);
}

TEST_F(CertHelpers, ValiditySpanChecksTheCertificateFirst) {
  g_fake.bytes = Validity(Tlv(0x17, "500101000000Z") + Tlv(0x17, "510101000000Z"));
  const std::vector<uint8_t> lying = {0x30, 0x82, 0x10, 0x00, 0x30};  // claims 4096 content bytes
  EXPECT_EQ(CertValidity(std::span<const uint8_t>(lying), true), 0);
  EXPECT_EQ(g_fake.calls, 0);
  const std::vector<uint8_t> whole = {0x30, 0x03, 0x02, 0x01, 0x05};
  EXPECT_DOUBLE_EQ(CertValidity(std::span<const uint8_t>(whole), true), Day(54789));
  EXPECT_EQ(CertValidity(std::span<const uint8_t>(), true), 0);
}

TEST(CertTime, DecodeTable) {
  struct Case {
    int tag;
    const char* text;
    double expected;
  } cases[] = {
      {0x17, "000229000000Z", Day(36585)},  // 2000 is a leap year
      {0x18, "21000229000000Z", 0},         // 2100 is not
      {0x17, "500101240000Z", 0},           // hour 24
      {0x17, "500101236000Z", 0},           // minute 60
      {0x17, "500101235960Z", 0},           // second 60
      {0x17, "500100000000Z", 0},           // day 0
      {0x17, "500001000000Z", 0},           // month 0
      {0x17, "-50101000000Z", 0},
      {0x18, "205001010000Z", 0},    // GeneralizedTime without seconds
      {0x18, "00000101000000Z", 0},  // year 0
      {0x18, "99991231235959Z", Day(2958465, 23, 59, 59)},
      {0x04, "500101000000Z", 0},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(
        DecodeCertTime(static_cast<uint8_t>(c.tag), reinterpret_cast<const uint8_t*>(c.text), std::strlen(c.text)),
        c.expected)
        << c.text;
  }
  EXPECT_EQ(DecodeCertTime(0x17, nullptr, 13), 0);
}

TEST_F(CertHelpers, ExtractRsaPublicKeyReportsFailures) {
  FakeUiServices ui;
  TR_RSA_PUBLIC_KEY key{};
  const uint8_t* der = reinterpret_cast<const uint8_t*>("x");
  EXPECT_TRUE(ExtractRsaPublicKey(der, &key));
  EXPECT_EQ(key.bits, 2048);
  EXPECT_TRUE(ui.boxes.empty());

  g_keyRc = TR_E_KEY;
  EXPECT_FALSE(ExtractRsaPublicKey(der, &key));
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].kind, MsgKind::Error);
  EXPECT_EQ(ui.boxes[0].text,
            QString::fromUtf8("Greška kod dohvata javnog ključa iz certifikata. [Error Code=1027, ]"));

  g_keyRc = 0xA0;  // a value with a PKCS#11 name shows it
  EXPECT_FALSE(ExtractRsaPublicKey(der, &key));
  EXPECT_EQ(ui.lastText(),
            QString::fromUtf8("Greška kod dohvata javnog ključa iz certifikata. [Error Code=160, CKR_PIN_INCORRECT]"));

  TarviRsa.X509ExtractRSAPublicKey = nullptr;
  EXPECT_FALSE(ExtractRsaPublicKey(der, &key));
  EXPECT_EQ(ui.lastText(), QString::fromUtf8("Greška kod dohvata javnog ključa iz certifikata. [Error Code=1033, ]"));
}

TEST_F(CertHelpers, ExtractRsaPublicKeySpanRefusesTruncatedDer) {
  FakeUiServices ui;
  TR_RSA_PUBLIC_KEY key{};
  const std::vector<uint8_t> truncated = {0x30, 0x82, 0x03};
  EXPECT_FALSE(ExtractRsaPublicKey(std::span<const uint8_t>(truncated), &key));
  EXPECT_EQ(g_keyCalls, 0);
  EXPECT_EQ(ui.lastText(), QString::fromUtf8("Greška kod dohvata javnog ključa iz certifikata. [Error Code=1025, ]"));
  const std::vector<uint8_t> whole = {0x30, 0x00};
  EXPECT_TRUE(ExtractRsaPublicKey(std::span<const uint8_t>(whole), &key));
  EXPECT_EQ(g_keyCalls, 1);
}

TEST(ByteHelpers, SwapBytes32ReadsMemoryOrderAsBigEndian) {
  const uint8_t serial[4] = {0x80, 0x01, 0x02, 0x03};
  uint32_t inMemory;
  std::memcpy(&inMemory, serial, 4);
  uint32_t out = 0;
  EXPECT_TRUE(SwapBytes32(inMemory, out));
  EXPECT_EQ(out, 0x80010203u);
  EXPECT_EQ(static_cast<int32_t>(out), -2147417597);  // the serial value is read as signed
}

TEST(ByteHelpers, CopyBytes) {
  const char src[] = "abcdef";
  for (std::ptrdiff_t n : {0, -1, -1000}) {
    char dst[7] = "......";
    CopyBytes(src, dst, n);
    EXPECT_STREQ(dst, "......") << n;
  }
  char dst[7] = "......";
  CopyBytes(src, dst, 3);
  EXPECT_STREQ(dst, "abc...");
}

TEST(TDateTimeConversions, KnownValues) {
  struct Case {
    double value;
    QDateTime when;
  } cases[] = {
      {0.0, QDateTime(QDate(1899, 12, 30), QTime(0, 0))},
      {2.0, QDateTime(QDate(1900, 1, 1), QTime(0, 0))},
      {2.75, QDateTime(QDate(1900, 1, 1), QTime(18, 0))},
      {-1.25, QDateTime(QDate(1899, 12, 29), QTime(6, 0))},
      {36526.5, QDateTime(QDate(2000, 1, 1), QTime(12, 0))},
      {Day(54789, 23, 59, 59), QDateTime(QDate(2050, 1, 1), QTime(23, 59, 59))},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToQDateTime(c.value), c.when) << c.value;
    EXPECT_NEAR(ToTDateTime(c.when), c.value, 1e-9) << c.value;
  }
  EXPECT_FALSE(ToQDateTime(NAN).isValid());
  EXPECT_FALSE(ToQDateTime(1e12).isValid());
  EXPECT_EQ(ToTDateTime(QDateTime()), 0);
  // A value a hair below midnight rounds to the next day, not to 24:00.
  EXPECT_EQ(ToQDateTime(3.0 - 1e-12), QDateTime(QDate(1900, 1, 2), QTime(0, 0)));
  TDateTime t = 0;
  EXPECT_FALSE(TryEncodeDateTime(2023, 2, 29, 0, 0, 0, 0, t));
  EXPECT_EQ(t, 0);
}
