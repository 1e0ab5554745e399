// The certificate helpers over our real cryptographic library and certificates made
// by the openssl command line.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QString>
#include <memory>

#include "card/cert_helpers.h"
#include "card/tarvirsa_api.h"
#include "platform/fake_ui_services.h"
#include "platform/library.h"
#include "support/temp_dir.h"

namespace {

struct Made {
  std::vector<uint8_t> der;
  QDateTime notBefore, notAfter;  // as openssl reports them
};

QDateTime OpensslDate(const std::string& out, const std::string& field) {
  size_t p = out.find(field + "=");
  if (p == std::string::npos) return QDateTime();
  std::string v = out.substr(p + field.size() + 1, 19);  // "2025-01-01 12:00:00"
  return QDateTime::fromString(QString::fromStdString(v), "yyyy-MM-dd hh:mm:ss");
}

Made MakeCert(const TempDir& dir, const std::string& name, const std::string& keyArgs, int days) {
  const std::string base = dir.file(name);
  std::string cmd = "openssl req -x509 " + keyArgs + " -nodes -keyout " + base + ".key -out " + base + ".pem -days " +
                    std::to_string(days) + " -subj /CN=" + name + " 2>/dev/null && openssl x509 -in " + base +
                    ".pem -outform DER -out " + base + ".der";
  EXPECT_EQ(Run(cmd), 0) << cmd;
  std::string dates;
  EXPECT_EQ(Run("openssl x509 -in " + base + ".pem -noout -startdate -enddate -dateopt iso_8601", &dates), 0);
  return Made{ReadAll(base + ".der"), OpensslDate(dates, "notBefore"), OpensslDate(dates, "notAfter")};
}

class CertHelpersLib : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    lib_ = SharedLibrary::Load("tarvirsa.dll", &error).release();
    ASSERT_NE(lib_, nullptr) << error;
    ASSERT_TRUE(FillTarviRsaTable(*lib_).empty());
    dir_ = new TempDir("certhelpers");
    short_ = new Made(MakeCert(*dir_, "Short", "-newkey rsa:1024", 30));
    long_ = new Made(MakeCert(*dir_, "Long", "-newkey rsa:2048", 20000));  // ends after 2050
    ec_ = new Made(MakeCert(*dir_, "Ec", "-newkey ec -pkeyopt ec_paramgen_curve:P-256", 30));
  }
  static void TearDownTestSuite() {
    ClearTarviRsaTable();
    delete short_;
    delete long_;
    delete ec_;
    delete dir_;
    delete lib_;
  }
  static SharedLibrary* lib_;
  static TempDir* dir_;
  static Made *short_, *long_, *ec_;
};
SharedLibrary* CertHelpersLib::lib_ = nullptr;
TempDir* CertHelpersLib::dir_ = nullptr;
Made *CertHelpersLib::short_ = nullptr, *CertHelpersLib::long_ = nullptr, *CertHelpersLib::ec_ = nullptr;

}  // namespace

TEST_F(CertHelpersLib, ValidityMatchesOpenssl) {
  for (const Made* m : {short_, long_}) {
    ASSERT_TRUE(m->notBefore.isValid() && m->notAfter.isValid());
    EXPECT_EQ(ToQDateTime(CertValidity(std::span<const uint8_t>(m->der), true)), m->notBefore);
    EXPECT_EQ(ToQDateTime(CertValidity(std::span<const uint8_t>(m->der), false)), m->notAfter);
    EXPECT_EQ(ToQDateTime(CertValidity(m->der.data(), false)), m->notAfter);
  }
  EXPECT_GT(long_->notAfter.date().year(), 2050);
}

TEST_F(CertHelpersLib, PublicKey) {
  FakeUiServices ui;
  TR_RSA_PUBLIC_KEY key{};
  EXPECT_TRUE(ExtractRsaPublicKey(std::span<const uint8_t>(short_->der), &key));
  EXPECT_EQ(key.bits, 1024);
  EXPECT_TRUE(ExtractRsaPublicKey(long_->der.data(), &key));
  EXPECT_EQ(key.bits, 2048);
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_FALSE(ExtractRsaPublicKey(std::span<const uint8_t>(ec_->der), &key));
  EXPECT_EQ(ui.lastText(), QString::fromUtf8("Greška kod dohvata javnog ključa iz certifikata. [Error Code=") +
                               QString::number(TR_E_KEY) + ", ]");
}

TEST_F(CertHelpersLib, DamagedCertificates) {
  FakeUiServices ui;
  TR_RSA_PUBLIC_KEY key{};
  const std::vector<uint8_t>& der = short_->der;
  // Every truncation is refused before the library sees it.
  for (size_t n = 0; n < der.size(); n += 7) {
    std::span<const uint8_t> cut(der.data(), n);
    EXPECT_EQ(CertValidity(cut, true), 0) << n;
    EXPECT_FALSE(ExtractRsaPublicKey(cut, &key)) << n;
  }
  // A Validity whose first time claims to run past its end.
  std::vector<uint8_t> lying = der;
  const uint8_t validityStart[] = {0x30, 0x1E, 0x17, 0x0D};
  auto at = std::search(lying.begin(), lying.end(), std::begin(validityStart), std::end(validityStart));
  ASSERT_NE(at, lying.end());
  at[3] = 0x7F;
  EXPECT_EQ(CertValidity(std::span<const uint8_t>(lying), true), 0);
  EXPECT_EQ(CertValidity(std::span<const uint8_t>(lying), false), 0);
  // The second time turned into an unknown type: the start still reads, the end does not.
  lying = der;
  at = std::search(lying.begin(), lying.end(), std::begin(validityStart), std::end(validityStart));
  at[2 + 15] = 0x04;
  EXPECT_EQ(ToQDateTime(CertValidity(std::span<const uint8_t>(lying), true)), short_->notBefore);
  EXPECT_EQ(CertValidity(std::span<const uint8_t>(lying), false), 0);
}
