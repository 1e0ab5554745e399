// The signed container's writer pieces and its strict reader, checked against
// containers that the fixture assembles straight from the layout.
#include "signing/container.h"

#include <gtest/gtest.h>

#include <QFile>

#include "container_fixture.h"
#include "support/temp_dir.h"

namespace {

// Collects what the reader hands to a sink.
struct Collect : SgnSink {
  std::string range, payload;
  void rangeBytes(const uint8_t* d, size_t n) override { range.append(reinterpret_cast<const char*>(d), n); }
  void payloadBytes(const uint8_t* d, size_t n) override { payload.append(reinterpret_cast<const char*>(d), n); }
};

SgnLayout Read(const std::string& text, size_t block = size_t(1) << 20, Collect* sink = nullptr) {
  SgnMemorySource src(text);
  SgnLayout l;
  SgnReadOptions o;
  o.blockSize = block;
  ReadSignedContainer(src, l, sink, o);
  return l;
}

TestContainer Plain(size_t payloadBytes, int signers) { return TestPlainContainer(payloadBytes, signers, 300); }

}  // namespace

TEST(ContainerWriter, PiecesGiveTheLayoutByteForByte) {
  TestContainer c = Plain(1000, 2);
  c.dtd = "FileUpload.dtd";
  EXPECT_EQ(SgnHeaderText("FileUpload.dtd"), c.head());
  c.dtd.clear();
  EXPECT_EQ(SgnHeaderText(""), c.head());
  EXPECT_NE(c.head().find("SYSTEM \"\">\r\n"), std::string::npos);

  const std::string prefix = SgnRangePrefixText(c.timeStamp);
  ASSERT_EQ(prefix.size(), 95u);
  EXPECT_EQ(prefix, c.range().substr(0, 95));
  EXPECT_EQ(std::string(kSgnTail), c.range().substr(c.range().size() - 14));

  // Writer pieces assembled the way signing assembles them.
  std::string w = SgnHeaderText("") + prefix + c.payload + std::string(kSgnTail);
  for (const TestSigner& s : c.signers)
    w += SgnSignerText(s.cert.data(), s.cert.size(), s.sig.data(), s.sig.size(), s.time);
  w += kSgnClose;
  EXPECT_EQ(w, c.text());
  EXPECT_EQ(w.substr(w.size() - 24), "</Signer>\r\n</FileUpload>");
}

TEST(ContainerWriter, EveryHeaderItWritesReadsBack) {
  // The DTD name comes from the registry as it stands; a name the reader would
  // refuse is left out, or the new container could never be read again.
  const TestContainer c = Plain(100, 1);
  const std::string rest = c.range() + c.signerText(0) + std::string(kSgnClose);
  struct Case {
    const char* what;
    std::string name, written;
  } cases[] = {
      {"plain name", "FileUpload.dtd", "FileUpload.dtd"},
      {"longest name", std::string(kSgnMaxDtdName, 'd'), std::string(kSgnMaxDtdName, 'd')},
      {"code page 1250 letters", "Potpis\x9A\xE8.dtd", "Potpis\x9A\xE8.dtd"},
      {"double quote", "a\"b.dtd", ""},
      {"line break", "a\r\nb.dtd", ""},
      {"angle bracket", "a>b.dtd", ""},
      {"too long", std::string(kSgnMaxDtdName + 1, 'd'), ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const std::string head = SgnHeaderText(k.name);
    EXPECT_EQ(head,
              "<?xml version=\"1.0\" ?>\r\n<!DOCTYPE FileUpload SYSTEM \"" + k.written + "\">\r\n<FileUpload>\r\n");
    const std::string text = head + rest;
    SgnMemorySource src(text);
    SgnLayout l;
    EXPECT_TRUE(ReadSignedContainer(src, l)) << SgnFaultName(l.fault);
    EXPECT_EQ(l.dtdName, k.written);
  }
}

TEST(ContainerWriter, ClockTextsAndAppendingInPlace) {
  QDateTime t(QDate(2024, 1, 2), QTime(3, 4, 5, 67));
  EXPECT_EQ(SgnTimeStampText(t), "20240102030405");
  EXPECT_EQ(SgnSigningTimeText(t), "20240102030405067");
  QDateTime late(QDate(1999, 12, 31), QTime(23, 59, 59, 999));
  EXPECT_EQ(SgnSigningTimeText(late), "19991231235959999");

  // A new Signer written at the append position over the closing text gives the
  // container with one more signer.
  TestContainer one = Plain(500, 1), two = one;
  two.signers.push_back(Plain(0, 2).signers[1]);
  std::string text = one.text();
  const TestSigner& s = two.signers[1];
  text.replace(
      size_t(SgnAppendPosition(int64_t(text.size()))), std::string::npos,
      SgnSignerText(s.cert.data(), s.cert.size(), s.sig.data(), s.sig.size(), s.time) + std::string(kSgnClose));
  EXPECT_EQ(text, two.text());
}

TEST(ContainerWriter, HexHelpers) {
  const uint8_t b[] = {0x00, 0x0F, 0xA5, 0xFF};
  EXPECT_EQ(BytesToHexText(b, 4), "000FA5FF");
  char text[] = "000fA5Ff7";
  EXPECT_EQ(HexTextToBytes(text, 9), 4);
  EXPECT_EQ(std::memcmp(text, b, 4), 0);
  EXPECT_EQ(text[4], 0);
  const char t[] = "<Sign>";
  EXPECT_TRUE(TagAt(t, 6, 0, "<Sign>"));
  EXPECT_FALSE(TagAt(t, 5, 0, "<Sign>"));  // would run past the text
  EXPECT_FALSE(TagAt(t, 6, 1, "<Sign>"));
}

TEST(ContainerReader, PositionsOfAWellFormedContainer) {
  for (int n : {0, 1, 3}) {
    SCOPED_TRACE(n);
    TestContainer c = Plain(2000, n);
    c.dtd = "x.dtd";
    const std::string text = c.text();
    SgnLayout l = Read(text);
    ASSERT_TRUE(l.wellFormed) << SgnFaultName(l.fault) << " at " << l.faultOffset;
    EXPECT_EQ(l.dtdName, "x.dtd");
    EXPECT_EQ(l.size, int64_t(text.size()));
    EXPECT_EQ(l.timeStamp, c.timeStamp);
    EXPECT_EQ(l.rangeStart, int64_t(text.find("<TimeStamp>")));
    EXPECT_EQ(l.rangeLength(), int64_t(text.find("</File>")) - l.rangeStart + 7);
    EXPECT_EQ(text.substr(size_t(l.rangeStart), size_t(l.rangeLength())), c.range());
    EXPECT_EQ(text.substr(size_t(l.payloadStart), size_t(l.payloadEnd - l.payloadStart)), c.payload);
    ASSERT_EQ(l.signers.size(), size_t(n));
    size_t from = 0;
    for (int i = 0; i < n; ++i) {
      const SgnSignerElement& e = l.signers[size_t(i)];
      const int64_t s = int64_t(text.find("<Signer>", from)), e2 = int64_t(text.find("</Signer>", from));
      const int64_t cs = int64_t(text.find("<Certificate>", from)), ce = int64_t(text.find("</Certificate>", from));
      const int64_t ss = int64_t(text.find("<Sign>", from)), se = int64_t(text.find("</Sign>", from));
      const int64_t ts = int64_t(text.find("<Time>", from)), te = int64_t(text.find("</Time>", from));
      from = size_t(e2) + 1;
      EXPECT_EQ(e.start, s);
      EXPECT_EQ(e.end, e2);
      EXPECT_EQ(e.certHexPos, cs + 15);
      EXPECT_EQ(e.certHexLen, ce - cs - 17);
      EXPECT_EQ(e.signHexPos, ss + 8);
      EXPECT_EQ(e.signHexLen, se - ss - 10);
      EXPECT_EQ(e.timePos, ts + 8);
      EXPECT_EQ(int64_t(e.time.size()), te - ts - 10);
      EXPECT_EQ(e.certificate, c.signers[size_t(i)].cert);
      EXPECT_EQ(e.signature, c.signers[size_t(i)].sig);
      EXPECT_EQ(e.time, c.signers[size_t(i)].time);
    }
  }
}

TEST(ContainerReader, LowerCaseHexIsRead) {
  TestContainer c = Plain(100, 1);
  c.signers[0].certHex = "3082abcdEF";
  SgnLayout l = Read(c.text());
  ASSERT_TRUE(l.wellFormed);
  EXPECT_EQ(l.signers[0].certificate, (Bytes{0x30, 0x82, 0xAB, 0xCD, 0xEF}));
}

TEST(ContainerReader, RemovingASignerLeavesAWellFormedContainer) {
  TestContainer c = Plain(700, 3);
  for (size_t drop = 0; drop < 3; ++drop) {
    SCOPED_TRACE(drop);
    std::string text = c.text();
    SgnLayout l = Read(text);
    ASSERT_TRUE(l.wellFormed);
    const SgnSignerElement& e = l.signers[drop];
    text.erase(size_t(e.revokeOffset()), size_t(e.revokeLength()));
    TestContainer expect = c;
    expect.signers.erase(expect.signers.begin() + long(drop));
    EXPECT_EQ(text, expect.text());
    EXPECT_TRUE(Read(text).wellFormed);
  }
  // The only signer gone: the range, then CR LF "</FileUpload>".
  TestContainer one = Plain(10, 1);
  std::string text = one.text();
  SgnLayout l = Read(text);
  text.erase(size_t(l.signers[0].revokeOffset()), size_t(l.signers[0].revokeLength()));
  EXPECT_EQ(text, one.head() + one.range() + "\r\n</FileUpload>");
}

// Payload sizes at the edges of the Base64 line layout, and read blocks so small
// that every literal and field straddles two of them: the layout and the bytes
// handed to the sink never change.
TEST(ContainerReader, StreamingGivesTheSameResultForEveryBlockSize) {
  struct Case {
    const char* name;
    size_t zipBytes;
  } cases[] = {
      {"empty payload", 0},
      {"one byte", 1},
      {"one line", 48},
      {"one line and a byte", 49},
      {"2304: ends with CR LF", 2304},
      {"2305", 2305},
      {"4608: ends with CR LF", 4608},
      {"Base64 text of 65536 bytes", 47664},
      {"larger", 200000},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TestContainer c = Plain(k.zipBytes, 2);
    if (k.zipBytes == 47664) {
      ASSERT_EQ(c.payload.size(), 65536u);
    }
    if (k.zipBytes == 2304 || k.zipBytes == 4608) {
      ASSERT_EQ(c.payload.substr(c.payload.size() - 2), "\r\n");
      ASSERT_NE(c.text().find("\r\n\r\n]]>"), std::string::npos);
    }
    const std::string text = c.text();
    Collect ref;
    SgnLayout base = Read(text, size_t(1) << 20, &ref);
    ASSERT_TRUE(base.wellFormed) << SgnFaultName(base.fault) << " at " << base.faultOffset;
    EXPECT_EQ(ref.range, c.range());
    EXPECT_EQ(ref.payload, c.payload);
    // The first Signer element follows the tail directly.
    EXPECT_EQ(base.signers[0].start, base.rangeEnd + 2);
    for (size_t block : {256u, 257u, 1000u, 4096u, 65536u}) {
      SCOPED_TRACE(block);
      Collect got;
      SgnLayout l = Read(text, block, &got);
      ASSERT_TRUE(l.wellFormed);
      EXPECT_EQ(l.rangeStart, base.rangeStart);
      EXPECT_EQ(l.rangeEnd, base.rangeEnd);
      EXPECT_EQ(l.payloadEnd, base.payloadEnd);
      ASSERT_EQ(l.signers.size(), 2u);
      EXPECT_EQ(l.signers[1].end, base.signers[1].end);
      EXPECT_EQ(l.signers[1].certificate, c.signers[1].cert);
      EXPECT_EQ(got.range, ref.range);
      EXPECT_EQ(got.payload, ref.payload);
    }
  }
}

TEST(ContainerReader, FileSourceReadsLikeMemory) {
  TempDir dir;
  TestContainer c = Plain(300000, 2);
  const std::string text = c.text();
  WriteAll(dir.file("a.sgn"), text);
  SgnFileSource src(QString::fromStdString(dir.file("a.sgn")));
  ASSERT_TRUE(src.isOpen());
  SgnLayout l;
  SgnReadOptions o;
  o.blockSize = 65536;
  Collect got;
  ASSERT_TRUE(ReadSignedContainer(src, l, &got, o));
  EXPECT_EQ(got.range, c.range());
  EXPECT_EQ(l.signers.size(), 2u);

  SgnFileSource missing(QString::fromStdString(dir.file("none.sgn")));
  EXPECT_FALSE(missing.isOpen());
  SgnLayout m;
  EXPECT_FALSE(ReadSignedContainer(missing, m));
}

// Every deviation from the layout makes the whole file malformed.
TEST(ContainerReader, MalformedFilesAreRefused) {
  const TestContainer c = Plain(3000, 2);
  auto with = [&](auto edit) {
    TestContainer x = c;
    edit(x);
    return x.text();
  };
  for (const MalformedContainer& r : MalformedContainerCases()) {
    SCOPED_TRACE(r.name);
    SgnLayout l = Read(r.text);
    EXPECT_FALSE(l.wellFormed);
    EXPECT_EQ(SgnFaultName(l.fault), std::string(SgnFaultName(r.fault)));
    SgnLayout small = Read(r.text, 256);
    EXPECT_FALSE(small.wellFormed);
  }
  // The longest fields that are allowed still read.
  std::string longest = with([](TestContainer& x) {
    x.signers[0].certHex = std::string(size_t(kSgnMaxCertificateHex), 'A');
    x.signers[0].sigHex = std::string(size_t(kSgnMaxSignatureHex), '1');
  });
  EXPECT_TRUE(Read(longest).wellFormed);
  EXPECT_TRUE(Read(longest, 256).wellFormed);
}

TEST(ContainerReader, EveryTruncationIsRefused) {
  const std::string good = Plain(600, 2).text();
  for (size_t n = 0; n < good.size(); ++n) {
    SgnLayout l = Read(good.substr(0, n), 256);
    ASSERT_FALSE(l.wellFormed) << n;
    ASSERT_NE(l.fault, SgnFault::None) << n;
  }
}

// When the head or range is broken, the Signer elements are still framed so that a
// listing can show them, but the file stays malformed.
TEST(ContainerReader, SignersOfAMalformedHeadAreStillFramed) {
  TestContainer c = Plain(1000, 2);
  std::string text = c.text();
  text.insert(text.find("<TimeStamp>"), "<![CDATA[\r\nQUJD\r\n]]>\r\n");
  SgnLayout l = Read(text);
  EXPECT_FALSE(l.wellFormed);
  EXPECT_FALSE(l.haveRange);
  ASSERT_EQ(l.signers.size(), 2u);
  EXPECT_EQ(l.signers[1].certificate, c.signers[1].cert);
  EXPECT_EQ(l.signers[0].start, int64_t(text.find("<Signer>")));
}
