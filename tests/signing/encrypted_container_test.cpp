// The encrypted container's texts, the strict reader, the recipient records and
// the payload reader, against containers the tests assemble themselves.
#include "signing/encrypted_container.h"

#include <gtest/gtest.h>

#include <QFile>

#include "encrypt_fixture.h"
#include "signing/base64.h"

using enctest::Spec;

namespace {

Spec TwoRecipients() {
  Spec s;
  s.recipients = {{"CN=Ana,O=Tarvi Test,C=HR", "1234"}, {"CN=Ivo,O=Tarvi Test,C=HR", "0A1B2C3D4E"}};
  s.payload = TestBase64Lines(TestRandomBytes(1008));
  s.keysHex = {std::string(256, 'A'), std::string(512, 'b')};
  return s;
}

EncLayout Read(const std::string& text) {
  EncLayout l;
  SgnMemorySource src(text);
  ReadEncodedContainer(src, l, nullptr, 4096);
  return l;
}

}  // namespace

TEST(EncodedWriter, PiecesMakeTheLayoutByteForByte) {
  const uint8_t wrapped[] = {0x01, 0xAB, 0xFF};
  std::string text = EncHeadText("Tarvi Sealdesk 1.0.0.8") + EncRecipientText("CN=Ana,C=HR", "00A1") +
                     EncFileOpenText() + "QUJD" + EncTailText(wrapped, sizeof wrapped);
  EXPECT_EQ(text,
            "<?xml version=\"1.0\" ?>\r\n"
            "<!DOCTYPE EncodedFile SYSTEM \"EncodedFile.dtd\">\r\n"
            "<EncodedFile>\r\n"
            "<Version>\r\nTarvi Sealdesk 1.0.0.8\r\n</Version>\r\n"
            "<Recipient>\r\n<Subject>\r\nCN=Ana,C=HR\r\n</Subject>\r\n"
            "<CertificateSN>\r\n00A1\r\n</CertificateSN>\r\n</Recipient>\r\n"
            "<File compress=\"zip\" encoding=\"base64\">\r\n<![CDATA[\r\n"
            "QUJD"
            "\r\n]]>\r\n</File>\r\n"
            "<SessionKey>\r\n01ABFF\r\n</SessionKey>\r\n"
            "</EncodedFile>\r\n");
}

TEST(EncodedWriter, TextsStopAtZeroAndCannotBreakTheirRows) {
  EXPECT_EQ(EncBufferedText(std::string_view("abc\0def", 7)), "abc");
  EXPECT_EQ(EncBufferedText(std::string(70000, 'x')).size(), kEncTextBuffer);
  EXPECT_EQ(EncSubjectText("CN=a\r\n</Subject><x"),
            "CN=a??"
            "?/Subject>?x");
  // A decimal serial from a serial whose first byte has the top bit set.
  EXPECT_EQ(EncSerialText(int32_t(0x8091A2B3), "8091A2B3", true), "-2137939277");
  EXPECT_EQ(EncSerialText(0x1001, "1001", false), "1001");
  EXPECT_EQ(EncSerialText(0x1001, "1001", true), "4097");
}

TEST(EncodedReader, PositionsAreThoseOfTheTagsAndEveryKeyGoesToItsRecipient) {
  const Spec s = TwoRecipients();
  const std::string text = s.text();
  EncLayout l = Read(text);
  ASSERT_TRUE(l.wellFormed) << EncFaultName(l.fault) << " at " << l.faultOffset;
  ASSERT_EQ(l.recipients.size(), 2u);
  ASSERT_EQ(l.sessionKeys.size(), 2u);
  for (const EncRecipientElement& r : l.recipients) {
    EXPECT_EQ(text.compare(size_t(r.start), kEncRecipientTag.size(), kEncRecipientTag), 0);
    const size_t sn = text.find("<CertificateSN>", size_t(r.start));
    const size_t snEnd = text.find("</CertificateSN>", sn);
    EXPECT_EQ(size_t(r.serialAt), sn + 17);
    EXPECT_EQ(r.serial.size(), snEnd - sn - 19);
    const size_t sub = text.find("<Subject>", size_t(r.start));
    EXPECT_EQ(size_t(r.subjectAt), sub + 11);
    EXPECT_EQ(r.subject.size(), text.find("</Subject>", sub) - sub - 13);
  }
  const size_t cdata = text.find("<![CDATA[");
  EXPECT_EQ(size_t(l.payloadStart), cdata + 11);
  EXPECT_EQ(size_t(l.payloadEnd), text.find("]]>") - 2);
  EXPECT_EQ(l.cipherLength, 1008u);
  EXPECT_EQ(size_t(l.sessionKeys[0].hexAt), text.find("<SessionKey>") + 14);

  TRecipientList list;
  int32_t pair[2] = {7, 7};
  ASSERT_TRUE(ParseRecipients(text.data(), int64_t(text.size()), pair, list));
  EXPECT_EQ(pair[0], 0);
  EXPECT_EQ(pair[1], 0);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Subject, "CN=Ana,O=Tarvi Test,C=HR");
  EXPECT_EQ(list[0].SessionKeyLength, 128);
  EXPECT_EQ(list[0].SessionKey, Bytes(128, 0xAA));
  EXPECT_EQ(list[1].Subject, "CN=Ivo,O=Tarvi Test,C=HR");
  EXPECT_EQ(list[1].SessionKeyLength, 256);
  EXPECT_EQ(list[1].SessionKey, Bytes(256, 0xBB));
}

TEST(EncodedReader, CertificateSerialIsDecimalOnlyUpToTenDigits) {
  struct Case {
    std::string text;
    int32_t value;
    const char* serialText;
  };
  const Case cases[] = {
      {"1234", 1234, "4D2"},
      {"0A1B2C3D4E", 0x0A1B2C3D, "0A1B2C3D4E"},
      {"2147483647", 2147483647, "7FFFFFFF"},
      // Ten digits above the 32-bit range keep their low 32 bits.
      {"4294967297", 1, "1"},
      {"12345678901", int32_t(0x12345678), "12345678901"},
      // A hexadecimal serial that happens to have only digits reads as a number.
      {"1001", 1001, "3E9"},
      {"0000", 0, "0"},
      // A negative decimal text goes the hexadecimal way.
      {"-2142133581", int32_t(0x02142133), "-2142133581"},
      {"80", int32_t(80), "50"},
      {"8A", int32_t(0x8A000000), "8A"},
      // Only the work area's 34 characters count.
      {std::string(20, '0') + "1122334455667788AABB", 0, "00000000000000000000112233445566778"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EncRecipientElement e;
    e.serial = c.text;
    e.subject = "CN=x";
    TRecipientRecord r;
    ParseRecipient(e, r);
    EXPECT_EQ(r.SerialValue, c.value);
    EXPECT_EQ(r.SerialText, QString::fromLatin1(c.serialText).left(34));
  }
  EXPECT_EQ(HexSerialValue("0A1B"), 0x0A1B0000);
  EXPECT_TRUE(IsAllDigits(""));
  EXPECT_FALSE(IsAllDigits("12a"));
}

TEST(EncodedReader, SubjectBytesComeBackAsCodePage1250) {
  Spec s;
  s.recipients[0].subject =
      "CN=\x8A"
      "ar\x9Ei\xE6,C=HR";  // Šaržić
  s.keysHex = {"00FF"};
  TRecipientList list;
  const std::string text = s.text();
  ASSERT_TRUE(ParseRecipients(text.data(), int64_t(text.size()), nullptr, list));
  EXPECT_EQ(list[0].Subject, QString::fromUtf8("CN=Šaržić,C=HR"));
}

// Every deviation from the layout makes the whole file malformed, with no records.
TEST(EncodedReader, HostileLayoutsAreRefused) {
  const std::string good = TwoRecipients().text();
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    size_t at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return t.replace(at, from.size(), to);
  };
  struct Case {
    const char* what;
    std::string text;
    EncFault fault;
  };
  Spec oneKey = TwoRecipients();
  oneKey.keysHex.pop_back();
  Spec threeKeys = TwoRecipients();
  threeKeys.keysHex.push_back("00");
  Spec noRecipient = TwoRecipients();
  noRecipient.recipients.clear();
  noRecipient.keysHex.clear();
  Spec crowd = TwoRecipients();
  crowd.recipients.assign(20, {std::string(60000, 'S'), "01"});
  crowd.keysHex.assign(20, "00");
  Spec many = TwoRecipients();
  many.recipients.assign(kEncMaxRecipients + 1, {"CN=x", "01"});
  many.keysHex.assign(kEncMaxRecipients + 1, "00");
  const Case cases[] = {
      {"recipient texts above the bound", crowd.text(), EncFault::TooManyRecipients},
      {"too many recipients", many.text(), EncFault::TooManyRecipients},
      {"recipient without a key", oneKey.text(), EncFault::KeyCount},
      {"key without a recipient", threeKeys.text(), EncFault::KeyCount},
      {"no recipient", noRecipient.text(), EncFault::NoRecipient},
      {"odd key", replace(std::string(256, 'A'), std::string(255, 'A')), EncFault::BadHex},
      {"non-hex key", replace(std::string(256, 'A'), std::string(254, 'A') + "GA"), EncFault::BadSessionKey},
      {"empty key", replace(std::string(256, 'A'), ""), EncFault::BadHex},
      {"long key", replace(std::string(256, 'A'), std::string(1026, 'A')), EncFault::BadHex},
      {"serial with a blank", replace("1234", "12 34"), EncFault::BadRecipient},
      {"empty serial", replace("1234", ""), EncFault::BadSerial},
      {"subject over two lines", replace("CN=Ana", "CN=\r\nAna"), EncFault::BadRecipient},
      {"tag inside a subject", replace("CN=Ana", "CN=<SessionKey>"), EncFault::BadRecipient},
      {"foreign payload byte", replace("\r\n]]>", "*\r\n]]>"), EncFault::BadPayload},
      {"CDATA without its line end", replace("]]>\r\n</File>", "]]></File>"), EncFault::BadPayload},
      {"a byte after the end", good + "x", EncFault::BadEnd},
      {"no line end at the end", good.substr(0, good.size() - 2), EncFault::Truncated},
      {"lower-case root", replace("<EncodedFile>", "<encodedfile>"), EncFault::BadHeader},
      {"other DTD", replace("EncodedFile.dtd", "x.dtd"), EncFault::BadHeader},
      {"version over two lines", replace("Tarvi Sealdesk", "Tarvi\nSealdesk"), EncFault::BadVersion},
      {"comment before the end", replace("</EncodedFile>", "<!-- -->\r\n</EncodedFile>"), EncFault::BadEnd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EncLayout l = Read(c.text);
    EXPECT_FALSE(l.wellFormed);
    EXPECT_EQ(l.fault, c.fault) << EncFaultName(l.fault);
    TRecipientList list(1);
    EXPECT_FALSE(ParseRecipients(c.text.data(), int64_t(c.text.size()), nullptr, list));
    EXPECT_TRUE(list.empty());
  }
}

// The payload is scanned many bytes at a time: a foreign byte ends it exactly where
// it stands, and the cipher length counts every symbol, wherever in a group of
// bytes a line end, a pad or the end falls.
TEST(EncodedReader, PayloadEndsAtItsFirstForeignByteAndCountsEverySymbol) {
  for (size_t n = 0; n <= 120; ++n) {
    SCOPED_TRACE(n);
    Spec s = TwoRecipients();
    s.payload = TestBase64Lines(TestRandomBytes(n, uint32_t(n + 7)));
    const EncLayout whole = Read(s.text());
    ASSERT_TRUE(whole.wellFormed) << EncFaultName(whole.fault);
    EXPECT_EQ(whole.cipherLength, n);
  }
  Spec s = TwoRecipients();
  s.payload = TestBase64Lines(TestRandomBytes(90));
  const std::string payload = s.payload;
  for (size_t at = 0; at < payload.size(); ++at) {
    for (char foreign : {'*', '\0', '\x80', ' ', '@', '[', '`', '{'}) {
      SCOPED_TRACE(testing::Message() << at << " " << int(uint8_t(foreign)));
      s.payload = payload;
      s.payload[at] = foreign;
      const std::string text = s.text();
      const EncLayout l = Read(text);
      EXPECT_FALSE(l.wellFormed);
      EXPECT_EQ(l.fault, EncFault::BadPayload) << EncFaultName(l.fault);
      EXPECT_EQ(size_t(l.faultOffset), text.find("<![CDATA[") + 11 + at);
    }
  }
}

TEST(EncodedReader, EveryTruncationIsRefused) {
  Spec s = TwoRecipients();
  s.payload = TestBase64Lines(TestRandomBytes(200));
  const std::string text = s.text();
  for (size_t n = 0; n < text.size(); ++n) {
    EncLayout l = Read(text.substr(0, n));
    ASSERT_FALSE(l.wellFormed) << n;
    ASSERT_NE(l.fault, EncFault::None) << n;
  }
  EXPECT_TRUE(Read(text).wellFormed);
}

// The payload comes out exactly as it was encoded, for every line layout the
// encoder makes (a multiple of 2304 bytes ends with a line break of its own).
TEST(EncodedReader, PayloadStreamIsTheEncodedCipherText) {
  TempDir tmp("payload");
  for (size_t n : {size_t(0), size_t(8), size_t(48), size_t(2304), size_t(4608), size_t(70000)}) {
    SCOPED_TRACE(n);
    const Bytes cipher = TestRandomBytes(n, uint32_t(n + 1));
    QByteArray encoded;
    static const uint8_t none = 0;  // MemorySource copies from its pointer even for 0 bytes
    MemorySource src(cipher.empty() ? &none : cipher.data(), cipher.size());
    ByteArraySink enc(encoded);
    MimeEncodeStream(src, enc);
    Spec s;
    s.payload = encoded.toStdString();
    s.keysHex = {"ABCD"};
    const std::string path = tmp.file("c" + std::to_string(n) + ".enc");
    WriteAll(path, s.text());
    QByteArray decoded;
    ByteArraySink out(decoded);
    EncLayout l;
    std::string range = "x";
    ASSERT_TRUE(VerifySignedStream(QString::fromStdString(path), &range, out, &l)) << EncFaultName(l.fault);
    EXPECT_TRUE(range.empty());
    EXPECT_EQ(l.cipherLength, n);
    EXPECT_EQ(Bytes(decoded.begin(), decoded.end()), cipher);
  }
  QByteArray none;
  ByteArraySink out(none);
  EXPECT_FALSE(VerifySignedStream(QString::fromStdString(tmp.file("missing.enc")), nullptr, out));
}

TEST(EncodedReader, StreamTagAtStaysInsideTheSource) {
  const std::string text = "ab<SessionKey>";
  SgnMemorySource src(text);
  EXPECT_TRUE(StreamTagAt(src, 2, "<SessionKey>"));
  EXPECT_FALSE(StreamTagAt(src, 3, "<SessionKey>"));
  EXPECT_FALSE(StreamTagAt(src, -1, "ab"));
  EXPECT_TRUE(StreamTagAt(src, 14, ""));
  EXPECT_FALSE(StreamTagAt(src, 15, ""));
}
