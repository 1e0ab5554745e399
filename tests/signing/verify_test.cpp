// Verification of every signer of a container, against containers assembled and
// signed by the fixture with libcrypto.
#include "signing/verify.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <cctype>

#include "card/cert_list.h"
#include "card/certificate.h"
#include "container_fixture.h"
#include "platform/fake_ui_services.h"
#include "signing/settings.h"
#include "support/temp_dir.h"

namespace {

struct Ids {
  TestIdentity ca, a, b, c, other, selfSigned, expired;
};
const Ids& I() {
  static const Ids ids = [] {
    Ids x;
    TestCertSpec ca;
    ca.cn = "Tarvi Test CA";
    ca.ou.clear();
    ca.ca = true;
    ca.serial = {0x01};
    x.ca = MakeTestIdentity(ca, nullptr, 9);
    TestCertSpec a;
    a.cn = "Ana Anić";
    a.serial = {0x80, 0xA2, 0x0F, 0x33, 0x7C};  // top bit set: DER keeps a 00 sign byte
    x.a = MakeTestIdentity(a, &x.ca, 0);
    TestCertSpec b;
    b.cn = "Borna";
    b.ou.clear();
    b.bits = 1024;
    x.b = MakeTestIdentity(b, &x.ca, 0);
    TestCertSpec c;
    c.cn = "Cvita";
    c.bits = 4096;
    c.serial = {0x7F, 0xFF, 0xFF, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    x.c = MakeTestIdentity(c, &x.ca, 0);
    TestCertSpec o;
    o.cn = "Ana Anić";
    x.other = MakeTestIdentity(o, &x.ca, 1);  // another valid certificate, another key
    x.selfSigned = MakeTestIdentity(o, nullptr, 1);
    TestCertSpec e;
    e.cn = "Expired";
    e.notBefore = -400 * 86400;
    e.notAfter = -86400;
    x.expired = MakeTestIdentity(e, &x.ca, 0);
    return x;
  }();
  return ids;
}

class Verify : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(BindTarviRsaForTests(&error)) << error;
  }
  FakeUiServices ui;
};

TSignerList VerifyText(const std::string& text, SgnLayout* layout = nullptr) {
  TSignerList list;
  std::string range;
  EXPECT_TRUE(VerifySignedText(text.data(), int64_t(text.size()), &range, list, false, layout));
  EXPECT_TRUE(range.empty());
  return list;
}

std::string Flip(std::string text, size_t at, char to) {
  text.at(at) = to;
  return text;
}

}  // namespace

TEST_F(Verify, OneTwoAndThreeSignersVerify) {
  const std::vector<const TestIdentity*> all = {&I().a, &I().b, &I().c};
  for (size_t n = 1; n <= 3; ++n) {
    SCOPED_TRACE(n);
    TestContainer c = MakeTestContainer({all.begin(), all.begin() + long(n)}, 5000);
    const std::string text = c.text();
    SgnLayout layout;
    TSignerList list = VerifyText(text, &layout);
    ASSERT_TRUE(layout.wellFormed);
    ASSERT_EQ(list.size(), n);
    for (size_t i = 0; i < n; ++i) {
      const TSignerRecord& r = list[i];
      EXPECT_EQ(r.SignatureOk, 1) << i;
      EXPECT_EQ(r.DocumentTime.toStdString(), c.timeStamp);
      EXPECT_EQ(r.DocumentDigest.toStdString(), TestHexUpper(c.digest()));
      EXPECT_EQ(r.SigningTime.toStdString(), c.signers[i].time);
      EXPECT_EQ(r.Certificate, all[i]->certDer);
      EXPECT_EQ(r.Signature, c.signers[i].sig);
      EXPECT_EQ(r.Start, layout.signers[i].start);
      EXPECT_EQ(r.End, layout.signers[i].end);
      EXPECT_EQ(r.ValidityState, -1);
      EXPECT_EQ(r.PathState, -1);
    }
    // The file road gives the same records.
    TempDir dir;
    WriteAll(dir.file("a_txt.sgn"), text);
    TSignerList fromFile;
    ASSERT_TRUE(VerifySignedFile(QString::fromStdString(dir.file("a_txt.sgn")), fromFile));
    ASSERT_EQ(fromFile.size(), n);
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(fromFile[i].SignatureOk, 1);
      EXPECT_EQ(fromFile[i].DocumentDigest, list[i].DocumentDigest);
      EXPECT_EQ(fromFile[i].Subject, list[i].Subject);
    }
  }
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(Verify, RecordsCarrySerialSubjectAndValidity) {
  TestContainer c = MakeTestContainer({&I().a, &I().b, &I().c});
  TSignerList list = VerifyText(c.text());
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].SerialText, "0080A20F337C");
  EXPECT_EQ(list[0].SerialValue, 0x0080A20F);
  EXPECT_EQ(list[0].Subject, QString::fromUtf8("CN=Ana Anić,OU=Razvoj,O=Tarvi Test,C=HR"));
  EXPECT_EQ(list[0].SubjectLength(), list[0].Subject.size());
  EXPECT_EQ(list[1].SerialText, "1001");
  EXPECT_EQ(list[1].SerialValue, 0x1001);
  // No organisational unit: no empty "OU=" part.
  EXPECT_EQ(list[1].Subject, QString::fromUtf8("CN=Borna,O=Tarvi Test,C=HR"));
  EXPECT_EQ(list[2].SerialText, "7FFFFFFF010203040506");
  EXPECT_EQ(list[2].SerialValue, 0x7FFFFFFF);
  const TDateTime inAYear = ToTDateTime(QDateTime::currentDateTimeUtc()) + 365;
  for (const TSignerRecord& r : list) EXPECT_NEAR(r.ValidTo, inAYear, 0.01);
}

TEST_F(Verify, NoSignerGivesAnEmptyList) {
  TestContainer c = MakeTestContainer({});
  SgnLayout layout;
  TSignerList list = {TSignerRecord{}};
  std::string range = "old";
  const std::string text = c.text();
  EXPECT_TRUE(VerifySignedText(text.data(), int64_t(text.size()), &range, list, true, &layout));
  EXPECT_TRUE(layout.wellFormed);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(range, c.range());  // the copy flag hands out the signed range
  EXPECT_TRUE(VerifySignedText(nullptr, 0, &range, list, true));
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(range.empty());
}

TEST_F(Verify, TheDigestStaysWhenASignerIsRemoved) {
  TestContainer c = MakeTestContainer({&I().a, &I().b, &I().c});
  std::string text = c.text();
  SgnLayout layout;
  TSignerList before = VerifyText(text, &layout);
  ASSERT_EQ(before.size(), 3u);
  uint8_t d[20];
  SgnMemorySource src(text);
  SgnLayout l2;
  ASSERT_TRUE(DigestSignedRange(src, l2, d));
  EXPECT_EQ(Bytes(d, d + 20), c.digest());
  text.erase(size_t(layout.signers[1].revokeOffset()), size_t(layout.signers[1].revokeLength()));
  TSignerList after = VerifyText(text);
  ASSERT_EQ(after.size(), 2u);
  for (const TSignerRecord& r : after) {
    EXPECT_EQ(r.DocumentDigest, before[0].DocumentDigest);
    EXPECT_EQ(r.SignatureOk, 1);
  }
  EXPECT_EQ(after[1].Certificate, I().c.certDer);
}

// Each row must leave no signer counted as good: either the signer is bad or the
// file is refused as a whole.
TEST_F(Verify, TamperedContainersHaveNoGoodSigner) {
  const TestContainer c = MakeTestContainer({&I().a, &I().b}, 4000);
  const std::string good = c.text();
  const size_t ts = good.find("<TimeStamp>");
  const size_t payload = good.find("<![CDATA[\r\n") + 11;
  const size_t fileEnd = good.find("</File>") + 7;
  auto with = [&](auto edit) {
    TestContainer x = c;
    edit(x);
    return x.text();
  };
  auto insertAt = [&](size_t at, const std::string& s) {
    std::string t = good;
    return t.insert(at, s);
  };
  const Bytes digest = c.digest();
  Bytes wrongPrefix = TestDigestInfo(digest);
  wrongPrefix[10] ^= 0x01;  // another hash OID, same digest
  Bytes longer = TestDigestInfo(digest);
  longer.insert(longer.begin(), 0x00);  // the digest still in the last 20 bytes
  Bytes tooLong = TestDigestInfo(digest);
  tooLong.push_back(0x00);
  std::string lfOnly;
  for (char ch : good)
    if (ch != '\r') lfOnly += ch;
  TestContainer otherContent = c;
  otherContent.payload = TestBase64Lines(TestRandomBytes(4000, 77));

  char flipped = good[payload + 100] == 'A' ? 'B' : 'A';
  char otherDigit = good[ts + 13 + 5] == '1' ? '2' : '1';
  struct Row {
    const char* name;
    std::string text;
  } rows[] = {
      {"flipped payload byte", Flip(good, payload + 100, flipped)},
      {"flipped TimeStamp digit", Flip(good, ts + 13 + 5, otherDigit)},
      {"TimeStamp digit made a letter", Flip(good, ts + 13 + 5, 'x')},
      {"flipped byte of the tail", Flip(good, fileEnd - 2, 'l')},
      {"CDATA before <TimeStamp>", insertAt(ts, "<![CDATA[\r\n" + otherContent.payload + "\r\n]]>\r\n")},
      {"second block after </File>", insertAt(fileEnd, "\r\n" + otherContent.range())},
      {"second block before the first", insertAt(ts, otherContent.range() + "\r\n")},
      {"certificate swapped for another valid one",
       with([](TestContainer& x) { x.signers[0].cert = x.signers[1].cert = I().other.certDer; })},
      {"signature over other content", with([&](TestContainer& x) {
         x.signers[0].sig = x.signers[1].sig = TestSignSha1(I().a, otherContent.range());
       })},
      {"wrong DigestInfo prefix, right digest", with([&](TestContainer& x) {
         x.signers[0].sig = TestSignRawBlock(I().a, wrongPrefix);
         x.signers[1].sig = TestSignRawBlock(I().b, wrongPrefix);
       })},
      {"a byte before the DigestInfo", with([&](TestContainer& x) {
         x.signers[0].sig = TestSignRawBlock(I().a, longer);
         x.signers[1].sig = TestSignRawBlock(I().b, longer);
       })},
      {"a byte after the DigestInfo", with([&](TestContainer& x) {
         x.signers[0].sig = TestSignRawBlock(I().a, tooLong);
         x.signers[1].sig = TestSignRawBlock(I().b, tooLong);
       })},
      {"the digest alone", with([&](TestContainer& x) {
         x.signers[0].sig = TestSignRawBlock(I().a, digest);
         x.signers[1].sig = TestSignRawBlock(I().b, digest);
       })},
      {"signature longer than the modulus", with([](TestContainer& x) {
         for (auto& s : x.signers) s.sig.insert(s.sig.begin(), 0x00);
       })},
      {"signatures of the two signers exchanged",
       with([](TestContainer& x) { std::swap(x.signers[0].sig, x.signers[1].sig); })},
      {"trailing CR LF", good + "\r\n"},
      {"LF-only line ends", lfOnly},
      {"odd-length certificate hex", with([](TestContainer& x) {
         x.signers[0].certHex = TestHexUpper(x.signers[0].cert) + "0";
         x.signers[1].certHex = TestHexUpper(x.signers[1].cert).substr(1);
       })},
      {"over-long signature hex", with([](TestContainer& x) {
         for (auto& s : x.signers)
           s.sigHex = std::string(size_t(kSgnMaxSignatureHex) - 2 * s.sig.size() + 2, '0') + TestHexUpper(s.sig);
       })},
      {"truncated in the header", good.substr(0, 30)},
      {"truncated in the time stamp", good.substr(0, ts + 20)},
      {"truncated in the payload", good.substr(0, payload + 2000)},
      {"truncated in the tail", good.substr(0, fileEnd - 3)},
      {"truncated in a certificate", good.substr(0, good.find("<Certificate>") + 100)},
      {"truncated in a signature", good.substr(0, good.rfind("<Sign>") + 40)},
      {"truncated in a time", good.substr(0, good.rfind("<Time>") + 12)},
      {"truncated after </Signer>", good.substr(0, good.rfind("</Signer>") + 9)},
      {"last byte missing", good.substr(0, good.size() - 1)},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SgnLayout layout;
    TSignerList list = VerifyText(r.text, &layout);
    EXPECT_TRUE(!layout.wellFormed || !list.empty());
    for (const TSignerRecord& rec : list) EXPECT_EQ(rec.SignatureOk, 0);
    if (!layout.wellFormed) {
      for (const TSignerRecord& rec : list) EXPECT_TRUE(rec.DocumentDigest.isEmpty());
    }
  }
  // A malformed head still lists its signers, all bad.
  SgnLayout layout;
  TSignerList list = VerifyText(rows[4].text, &layout);
  EXPECT_FALSE(layout.wellFormed);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].Subject, QString::fromUtf8("CN=Borna,O=Tarvi Test,C=HR"));
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(Verify, LowerCaseHexAndAShortSignatureValueStillVerify) {
  // A signature value whose leading byte is 0 may come without it.
  TestContainer c;
  c.payload = TestBase64Lines(TestRandomBytes(100));
  for (int i = 0; i < 5000; ++i) {
    c.timeStamp = std::to_string(20240102030000LL + i);
    c.signers.clear();
    TestSigner& s = c.addSigner(I().b);
    if (s.sig[0] == 0) break;
  }
  ASSERT_EQ(c.signers[0].sig[0], 0) << "no signature with a leading zero byte found";
  c.signers[0].sig.erase(c.signers[0].sig.begin());
  std::string hex = TestHexUpper(c.signers[0].sig);
  for (char& ch : hex) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  c.signers[0].sigHex = hex;
  TSignerList list = VerifyText(c.text());
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].SignatureOk, 1);
}

TEST_F(Verify, ACertificateWithoutAKeyIsABadSignerWithTheKeyErrorBox) {
  TestContainer c = MakeTestContainer({&I().a});
  c.signers[0].cert = {0x30, 0x03, 0x02, 0x01, 0x05};  // a DER element, not a certificate
  TSignerList list = VerifyText(c.text());
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].SignatureOk, 0);
  EXPECT_EQ(list[0].SerialValue, -1);
  EXPECT_TRUE(list[0].SerialText.isEmpty());
  EXPECT_TRUE(list[0].Subject.isEmpty());
  EXPECT_EQ(list[0].ValidTo, 0);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].kind, MsgKind::Error);
  EXPECT_TRUE(
      ui.boxes[0].text.startsWith(QString::fromUtf8("Greška kod dohvata javnog ključa iz certifikata. [Error Code=")))
      << ui.boxes[0].text.toStdString();

  // Bytes whose outer length runs past the field never reach the library.
  c.signers[0].cert = {0x30, 0x82, 0x7F, 0xFF, 0x02};
  list = VerifyText(c.text());
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].SignatureOk, 0);
}

TEST_F(Verify, ACertificateFieldWithBytesAfterItsDerMakesThatSignerBad) {
  // The signature itself is right, and the certificate's own bytes are whole: only
  // what follows them in the field is wrong, and it spoils that signer alone.
  const struct {
    const char* what;
    Bytes extra;
  } cases[] = {
      {"one zero byte", {0x00}},
      {"one 0xFF byte", {0xFF}},
      {"an empty element", {0x30, 0x00}},
      {"the certificate twice", I().b.certDer},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestContainer x = MakeTestContainer({&I().a, &I().b, &I().c});
    x.signers[1].cert.insert(x.signers[1].cert.end(), c.extra.begin(), c.extra.end());
    ui.boxes.clear();
    TSignerList list = VerifyText(x.text());
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].SignatureOk, 1);
    EXPECT_EQ(list[1].SignatureOk, 0);
    EXPECT_EQ(list[2].SignatureOk, 1);
    // Nothing is read from such a field.
    EXPECT_EQ(list[1].SerialValue, -1);
    EXPECT_TRUE(list[1].Subject.isEmpty());
    EXPECT_EQ(list[1].ValidTo, 0);
    // The key error box, once, for the one bad certificate.
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_TRUE(ui.boxes[0].text.startsWith(
        QString::fromUtf8("Greška kod dohvata javnog ključa iz certifikata. [Error Code=")));
    // The shell's states: never valid overall.
    TCertList roots;
    CheckSignerStates(list[1], roots, false, false, 0);
    EXPECT_EQ(list[1].ValidOverall, 0);
    CheckSignerStates(list[0], roots, false, false, 0);
    EXPECT_EQ(list[0].ValidOverall, 1);
  }
}

TEST_F(Verify, SubjectNameTextErrors) {
  QString error, subject = "x";
  const uint8_t junk[] = {0x30, 0x03, 0x02, 0x01, 0x05};
  EXPECT_FALSE(SubjectNameText(junk, sizeof junk, ',', error, subject));
  EXPECT_TRUE(subject.isEmpty());
  EXPECT_TRUE(error.startsWith(QString::fromUtf8("Greška kod dohvata Subjecta iz certifikata banke. [Error code=")));
  EXPECT_TRUE(error.endsWith("]"));
  EXPECT_TRUE(SubjectNameText(I().b.certDer.data(), I().b.certDer.size(), ';', error, subject));
  EXPECT_EQ(subject, "CN=Borna;O=Tarvi Test;C=HR");
  EXPECT_TRUE(error.isEmpty());
}

TEST_F(Verify, SignerStatesFollowValidityPathAndSettings) {
  TCertList roots;
  auto ca = std::make_unique<TCertifikat>();
  QString error;
  ASSERT_TRUE(ca->LoadFromMemory(I().ca.certDer.data(), int32_t(I().ca.certDer.size()), error, false))
      << error.toStdString();
  roots.RootCertificates.push_back(std::move(ca));

  TestContainer c = MakeTestContainer({&I().a, &I().selfSigned, &I().expired});
  c.signers.push_back(c.signers[0]);
  c.signers[3].sig[5] ^= 1;  // a bad signature from a good certificate
  TSignerList list = VerifyText(c.text());
  ASSERT_EQ(list.size(), 4u);
  const TDateTime now = ToTDateTime(QDateTime::currentDateTimeUtc());
  TempDir install;
  TPostavkeRada settings(QString::fromStdString(install.path()) + "/");
  struct Want {
    int validity, path, overall, overallWithoutChecks;
  } want[] = {{0, 0, 1, 1}, {0, 1, 0, 1}, {1, 0, 0, 1}, {0, 0, 0, 0}};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    TSignerRecord r = list[i];
    CheckSignerStates(r, roots, true, true, now);
    EXPECT_EQ(r.ValidityState, want[i].validity);
    EXPECT_EQ(r.PathState, want[i].path);
    EXPECT_EQ(r.ValidOverall, want[i].overall);
    CheckSignerStates(r, roots, false, false, now);
    EXPECT_EQ(r.ValidOverall, want[i].overallWithoutChecks);
    CheckSignerStates(r, roots, settings, now);  // both checks always on
    EXPECT_EQ(r.ValidOverall, want[i].overall);
  }
  // Valid until exactly now is not expired.
  TSignerRecord r = list[0];
  CheckSignerStates(r, roots, true, true, r.ValidTo);
  EXPECT_EQ(r.ValidityState, 0);
  // A certificate that cannot be loaded fails the path check, without a second box.
  r.Certificate = {0x30, 0x03, 0x02, 0x01, 0x05};
  CheckSignerStates(r, roots, true, true, now);
  EXPECT_EQ(r.PathState, 1);
  EXPECT_EQ(r.ValidOverall, 0);
  EXPECT_TRUE(ui.boxes.empty());
}
