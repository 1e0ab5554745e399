#include "card/certificate.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QDateTime>
#include <cstdlib>
#include <ctime>
#include <string>

#include "cert_fixture.h"
#include "platform/codepage.h"
#include "platform/fake_ui_services.h"
#include "support/tarvirsa_binding.h"
#include "support/temp_dir.h"

namespace {

// Days since 1899-12-30 computed from the Julian day, independently of the program.
double Days(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return static_cast<double>(QDate(y, mo, d).toJulianDay() - QDate(1899, 12, 30).toJulianDay()) +
         (h * 3600 + mi * 60 + s) / 86400.0;
}

class CertificateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(BindBuiltTarviRsa(&why)) << why;
  }
  void TearDown() override { TCertifikat::SetClock(nullptr); }
  FakeUiServices ui;
  TempDir dir;
};

struct Row {
  const char* name;
  const char* subjectText;
  const char* subjectCn;
  const char* issuerCn;
  const char* serialHex;
  int32_t serialInt;
  const char* keyName;
  double from, to;  // 0: not checked (made relative to today)
  int32_t expired;
};

const Row kRows[] = {
    {"user", "CN=Test User,OU=Unit,O=Org,C=AA", "Test User", "Test CA 1", "01A20F337C", 0x01A20F33,
     "test_ca_101a20f337c", Days(2020, 5, 1, 10, 20, 30), Days(2049, 12, 31, 23, 59, 59), 0},
    {"nounit", "CN=No Unit,O=Org,C=AA", "No Unit", "Test CA 1", "02", 2, "test_ca_102", Days(2020, 5, 1, 10, 20, 30),
     Days(2049, 12, 31, 23, 59, 59), 0},
    {"nocn", ",O=Org,C=AA", "", "Test CA 1", "03", 3, "test_ca_103", Days(2020, 5, 1, 10, 20, 30),
     Days(2049, 12, 31, 23, 59, 59), 0},
    // A positive serial with its top bit set is encoded with a 00 sign byte.
    {"highbit", "CN=High Bit", "High Bit", "Test CA 1", "008A01", 0x8A01, "test_ca_1008a01",
     Days(2020, 5, 1, 10, 20, 30), Days(2049, 12, 31, 23, 59, 59), 0},
    {"negative", "CN=Negative Serial", "Negative Serial", "Test CA 1", "FF7EDCBA99", static_cast<int32_t>(0xFF7EDCBAu),
     "test_ca_1ff7edcba99", 0, 0, 0},
    {"expired", "CN=Expired User", "Expired User", "Test CA 1", "05", 5, "test_ca_105", Days(2001, 2, 3, 4, 5, 6),
     Days(2011, 2, 3, 4, 5, 6), 1},
    // Not valid yet: only the end is ever compared with now.
    {"future", "CN=Future User", "Future User", "Test CA 1", "06", 6, "test_ca_106", Days(2045, 1, 1), Days(2046, 1, 1),
     0},
    // From 2050 the dates are GeneralizedTime.
    {"past2050", "CN=Long User", "Long User", "Test CA 1", "07", 7, "test_ca_107", Days(2030, 1, 1),
     Days(2060, 6, 30, 12, 0, 0), 0},
    {"after2050", "CN=Late User", "Late User", "Test CA 1", "08", 8, "test_ca_108", Days(2051, 1, 1), Days(2070, 1, 1),
     0},
    // Accented capitals of code page 1250 are lowered in the key name too.
    {"croatian", "CN=Čedomir Šimić,OU=Računovodstvo,O=Žuta Kuća,C=HR", "Čedomir Šimić", "ČŠ Đ CA", "0D0E", 0x0D0E,
     "čš_đ_ca0d0e", Days(2020, 5, 1, 10, 20, 30), Days(2049, 12, 31, 23, 59, 59), 0},
    {"ca1", "CN=Test CA 1,OU=Unit,O=Org,C=AA", "Test CA 1", "Test CA 1", "0A1B", 0x0A1B, "test_ca_10a1b", 0, 0, 0},
};

void ExpectRow(const TCertifikat& c, const Row& r) {
  EXPECT_TRUE(c.Loaded);
  EXPECT_EQ(c.SubjectText, QString::fromUtf8(r.subjectText));
  EXPECT_EQ(c.SubjectCommonName, QString::fromUtf8(r.subjectCn));
  EXPECT_EQ(c.IssuerCommonName, QString::fromUtf8(r.issuerCn));
  EXPECT_EQ(c.SerialHex, QString::fromUtf8(r.serialHex));
  EXPECT_EQ(c.SerialInt, r.serialInt);
  EXPECT_EQ(c.KeyName, QString::fromUtf8(r.keyName));
  if (r.from != 0) {
    EXPECT_NEAR(c.ValidFrom, r.from, 1e-7);
    EXPECT_NEAR(c.ValidTo, r.to, 1e-7);
  } else {
    EXPECT_GT(c.ValidFrom, Days(2020, 1, 1));
    EXPECT_GT(c.ValidTo, c.ValidFrom);
  }
  EXPECT_EQ(c.Expired, r.expired);
  EXPECT_EQ(c.RootCheck, -1);
  EXPECT_TRUE(c.DisplayName.isEmpty());
  EXPECT_TRUE(c.EMail.isEmpty());
}

TEST_F(CertificateTest, ValuesFromDerAndPkcs7Files) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.name);
    const certfx::Made& m = certfx::Cert(r.name);
    const std::string der = certfx::Bytes(m.der);
    QString err = "stale";
    TCertifikat c;
    ASSERT_TRUE(c.LoadFromCrtFile(QString::fromStdString(m.der), true, err)) << err.toStdString();
    EXPECT_TRUE(err.isEmpty());
    ExpectRow(c, r);
    EXPECT_EQ(c.FileName, QString::fromUtf8(r.name) + ".der");
    ASSERT_EQ(c.DerLength, static_cast<int32_t>(der.size()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.Der), der.size()), der);
    EXPECT_GE(c.PublicKey.bits, 2048);

    // The same object loaded again from the PKCS #7 form.
    c.DisplayName = "old";
    c.RootCheck = 0;
    ASSERT_TRUE(c.LoadFromPkcs7File(QString::fromStdString(m.p7c), true, err)) << err.toStdString();
    ExpectRow(c, r);
    EXPECT_EQ(c.FileName, QString::fromUtf8(r.name) + ".p7c");
    ASSERT_EQ(c.DerLength, static_cast<int32_t>(der.size()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.Der), der.size()), der);
  }
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(CertificateTest, ExpiryComparesUtcNowWithTheEndAndCountsEqualAsValid) {
  TCertifikat c;
  QString err;
  ASSERT_TRUE(c.LoadFromCrtFile(QString::fromStdString(certfx::Cert("user").der), false, err));
  const double end = c.ValidTo;
  const double second = 1.0 / 86400;
  TCertifikat::SetClock([&] { return end; });
  EXPECT_EQ(c.UpdateExpired(), 0);
  TCertifikat::SetClock([&] { return end + second; });
  EXPECT_EQ(c.UpdateExpired(), 1);
  EXPECT_EQ(c.Expired, 1);
  TCertifikat::SetClock([&] { return end - second; });
  EXPECT_EQ(c.UpdateExpired(), 0);
  // The loader uses the same clock.
  TCertifikat::SetClock([&] { return Days(2050, 1, 1); });
  ASSERT_TRUE(c.LoadFromCrtFile(QString::fromStdString(certfx::Cert("user").der), false, err));
  EXPECT_EQ(c.Expired, 1);
  TCertifikat::SetClock(nullptr);

  // The real clock reads UTC, whatever the local zone.
  const char* oldTz = std::getenv("TZ");
  const std::string keep = oldTz ? oldTz : "";
  setenv("TZ", "Pacific/Kiritimati", 1);  // UTC+14
  tzset();
  const double utcNow = QDateTime::currentMSecsSinceEpoch() / 86400000.0 + 25569.0;
  const double now = TCertifikat::Now();
  if (oldTz)
    setenv("TZ", keep.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  EXPECT_NEAR(now, utcNow, 60.0 / 86400);
}

TEST_F(CertificateTest, FileFailures) {
  const std::string missing = dir.file("none.crt");
  struct Case {
    bool pkcs7;
    bool show;
  };
  for (Case k : {Case{false, false}, Case{true, false}, Case{false, true}}) {
    SCOPED_TRACE(k.pkcs7 * 10 + k.show);
    ui.boxes.clear();
    TCertifikat c;
    c.FileName = "old.crt";
    QString err;
    const QString path = QString::fromStdString(missing);
    bool ok = k.pkcs7 ? c.LoadFromPkcs7File(path, k.show, err) : c.LoadFromCrtFile(path, k.show, err);
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, "Nema datoteke \"" + path + "\". Učitavanje certifikata prekinuto.");
    EXPECT_TRUE(c.FileName.isEmpty());
    EXPECT_FALSE(c.Loaded);
    ASSERT_EQ(ui.boxes.size(), k.show ? 1u : 0u);
    if (k.show) {
      EXPECT_EQ(ui.boxes[0].kind, MsgKind::Error);
      EXPECT_EQ(ui.boxes[0].text, err);
    }
  }

  // A folder is not a certificate file.
  TCertifikat c;
  QString err;
  EXPECT_FALSE(c.LoadFromCrtFile(QString::fromStdString(dir.path()), false, err));
  EXPECT_TRUE(err.startsWith("Nema datoteke")) << err.toStdString();

  // Bytes that are no certificate: the public-key step fails and shows its own box
  // even without messages; a PKCS #7 parse failure names the library's number.
  ui.boxes.clear();
  WriteAll(dir.file("junk.crt"), std::string("\x30\x03\x01\x01\xff", 5));
  const QString junk = QString::fromStdString(dir.file("junk.crt"));
  EXPECT_FALSE(c.LoadFromCrtFile(junk, false, err));
  EXPECT_EQ(err, "Pogreška pri dohvatu podatka iz \"" + junk + "\"");
  EXPECT_EQ(c.DerLength, 0);
  EXPECT_TRUE(c.FileName.isEmpty());
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_TRUE(ui.boxes[0].text.startsWith("Greška kod dohvata javnog ključa iz certifikata. [Error Code="))
      << ui.boxes[0].text.toStdString();

  ui.boxes.clear();
  EXPECT_FALSE(c.LoadFromPkcs7File(junk, false, err));
  EXPECT_TRUE(err.startsWith("Pogreška pri dohvatu podatka iz \"" + junk + "\" [Error Code=")) << err.toStdString();
  EXPECT_TRUE(err.endsWith("]"));
  EXPECT_TRUE(ui.boxes.empty());

  // An EC certificate has no RSA key.
  const QString ec = QString::fromStdString(certfx::Cert("ec").der);
  EXPECT_FALSE(c.LoadFromCrtFile(ec, false, err));
  EXPECT_EQ(err, "Pogreška pri dohvatu podatka iz \"" + ec + "\"");
  EXPECT_EQ(ui.boxes.size(), 1u);
  EXPECT_FALSE(c.Loaded);
}

TEST_F(CertificateTest, SizeLimit) {
  // Trailing bytes beyond the limit are ignored: the certificate in front loads, and
  // only its own element is kept.
  const std::string der = certfx::Bytes(certfx::Cert("user").der);
  const std::string p7c = certfx::Bytes(certfx::Cert("user").p7c);
  WriteAll(dir.file("padded.crt"), der + std::string(30000, '\x5a'));
  WriteAll(dir.file("padded.p7c"), p7c + std::string(30000, '\0'));
  TCertifikat c;
  QString err;
  ASSERT_TRUE(c.LoadFromCrtFile(QString::fromStdString(dir.file("padded.crt")), false, err)) << err.toStdString();
  EXPECT_EQ(c.DerLength, static_cast<int32_t>(der.size()));
  ASSERT_TRUE(c.LoadFromPkcs7File(QString::fromStdString(dir.file("padded.p7c")), false, err)) << err.toStdString();
  EXPECT_EQ(c.DerLength, static_cast<int32_t>(der.size()));

  // A certificate that itself needs more than 20480 bytes is refused, never cut.
  const std::string big = certfx::Bytes(certfx::Cert("big").der);
  ASSERT_GT(big.size(), 20480u);
  for (const std::string& path : {certfx::Cert("big").der, certfx::Cert("big").p7c}) {
    SCOPED_TRACE(path);
    const QString p = QString::fromStdString(path);
    const bool ok = path.ends_with(".der") ? c.LoadFromCrtFile(p, true, err) : c.LoadFromPkcs7File(p, true, err);
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, "Pogreška pri dohvatu podatka iz \"" + p + "\". Certifikat je veći od 20480 bajtova.");
    EXPECT_EQ(c.DerLength, 0);
    EXPECT_TRUE(c.FileName.isEmpty());
    EXPECT_EQ(ui.lastText(), err);
  }
  EXPECT_FALSE(c.LoadFromMemory(big.data(), static_cast<int32_t>(big.size()), err, false));
  EXPECT_EQ(err, "Pogreška pri dohvatu podatka iz certifikata. Certifikat je veći od 20480 bajtova.");
  EXPECT_EQ(c.DerLength, 0);
}

TEST_F(CertificateTest, LoadFromMemory) {
  const std::string der = certfx::Bytes(certfx::Cert("user").der);
  TCertifikat c;
  QString err;
  c.FileName = "kept.crt";
  const std::string junk = "\x30\x82\x01\x00" + std::string(10, '\0');  // says 256 bytes, holds 10
  EXPECT_FALSE(c.LoadFromMemory(junk.data(), static_cast<int32_t>(junk.size()), err, false));
  EXPECT_EQ(err, "Pogreška pri dohvatu podatka iz certifikata");
  EXPECT_EQ(c.FileName, "kept.crt");
  EXPECT_EQ(c.DerLength, 0);
  EXPECT_FALSE(c.LoadFromMemory(der.data(), -1, err, false));
  EXPECT_EQ(err, "Pogreška pri dohvatu podatka iz certifikata");
  EXPECT_FALSE(c.LoadFromMemory(der.data(), 20481, err, false));
  EXPECT_FALSE(c.Loaded);
  ui.boxes.clear();
  EXPECT_FALSE(c.LoadFromMemory(der.data(), 0, err, true));
  EXPECT_EQ(ui.lastText(), "Pogreška pri dohvatu podatka iz certifikata");

  ASSERT_TRUE(c.LoadFromMemory(der.data(), static_cast<int32_t>(der.size()), err, false));
  EXPECT_TRUE(err.isEmpty());
  ExpectRow(c, kRows[0]);
  EXPECT_EQ(c.FileName, "test_ca_101a20f337c.crt");
  EXPECT_EQ(c.DerLength, static_cast<int32_t>(der.size()));
}

TEST(CertificateText, LowerCaseFollowsCodePage1250) {
  // Every byte whose character has a lower-case form in the code page maps to it;
  // the rest stay.
  QByteArray all(256, '\0');
  for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
  const QByteArray lowered = Cp1250Lower(all);
  int changed = 0;
  for (int i = 0; i < 256; ++i) {
    const QChar ch(FromCp1250Char(static_cast<unsigned char>(i)));
    const QChar low = ch.toLower();
    unsigned char expect = static_cast<unsigned char>(i);
    if (low != ch && ToCp1250Char(low.unicode()) != '?')
      expect = static_cast<unsigned char>(ToCp1250Char(low.unicode()));
    EXPECT_EQ(static_cast<unsigned char>(lowered[i]), expect) << "byte " << i;
    changed += expect != i;
  }
  EXPECT_EQ(changed, 26 + 10 + 30);
}

TEST(CertificateText, SerialForms) {
  struct Case {
    std::string bytes;
    const char* hex;
    int32_t value;
  };
  const Case cases[] = {
      {"", "", 0},
      {"\x0A\x1B", "0A1B", 0x0A1B},
      {std::string("\x00\x8A\x01", 3), "008A01", 0x8A01},
      {"\x01\xA2\x0F\x33\x7C", "01A20F337C", 0x01A20F33},
      {"\xFF\x7E\xDC\xBA\x99", "FF7EDCBA99", static_cast<int32_t>(0xFF7EDCBAu)},
  };
  for (const Case& k : cases) {
    const auto* b = reinterpret_cast<const uint8_t*>(k.bytes.data());
    EXPECT_EQ(SerialHexText(b, k.bytes.size()), k.hex);
    EXPECT_EQ(SerialValue(b, k.bytes.size()), k.value) << k.hex;
  }
}

}  // namespace
