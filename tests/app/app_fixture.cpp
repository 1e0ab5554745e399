#include "app_fixture.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>

#include "app/main_window.h"
#include "app/startup.h"
#include "card/pin_dialogs.h"
#include "card/registry.h"
#include "platform/library.h"
#include "platform/registry_store.h"

namespace appfx {

QString ProgramKey() { return "SOFTWARE\\VodezOdir\\" + QString::fromStdString(ProgramBaseName()); }

void SetUserValue(const QString& name, const QString& value) {
  ASSERT_EQ(RegWriteValue(HKEY_CURRENT_USER, ProgramKey(), name, value), 0);
}

void SetMachineValue(const QString& name, const QString& value) {
  ASSERT_EQ(RegWriteValue(HKEY_LOCAL_MACHINE, ProgramKey(), name, value), 0);
}

QString UserValue(const QString& name, const QString& missing) {
  QString v = missing;
  RegReadValue(HKEY_CURRENT_USER, ProgramKey(), name, v);
  return v;
}

void AppTest::SetUp() {
  ui_ = std::make_unique<FakeUiServices>();
  for (auto hive : {regstore::Hive::CurrentUser, regstore::Hive::LocalMachine})
    std::remove(regstore::HivePath(hive).c_str());
  SetMachineValue("Install Path", QString::fromStdString(install_.path()));
  // No card library unless a test names one: the program then runs without a card.
  UseModuleFile(install_.path() + "/none.so");
  TfmMain::Trace = [this](const QString& step) { trace_ << step; };
}

void AppTest::TearDown() {
  if (started_) ShutDown();
  started_ = false;
  TfmMain::Trace = nullptr;
  TfmMain::CommandLineRoad = nullptr;
  ui_.reset();
}

void AppTest::UseModuleFile(const std::string& file) {
  const QString key = ProgramKey() + "\\PKCS #11 DLL";
  const QString path = file.find('/') == std::string::npos
                           ? QString::fromStdString(std::string(TARVI_BIN_DIR) + "/" + file)
                           : QString::fromStdString(file);
  ASSERT_EQ(RegWriteValue(HKEY_LOCAL_MACHINE, key, "DLL", path), 0);
}

bool AppTest::Start(const QStringList& arguments) {
  started_ = true;
  return StartUp(arguments);
}

void AppTest::CloseMainWindow() {
  ASSERT_NE(fmMain, nullptr);
  fmMain->actIzlaz->trigger();
}

// ---- token tests -------------------------------------------------------------------

std::unique_ptr<SoftHsm> TokenAppTest::hsm_;
TokenFiles TokenAppTest::token_;
std::unique_ptr<TempDir> TokenAppTest::certs_;

void TokenAppTest::SetUpTestSuite() {
  hsm_ = std::make_unique<SoftHsm>();
  token_ = hsm_->addToken(kLabel, kPin, 1024, "0x1001", "Ana Test");
  // The CA folder holds the token's CA as PKCS #7, the contact folder two contacts
  // that CA issued, each with a description line.
  certs_ = std::make_unique<TempDir>("certs");
  const std::string d = certs_->path(), ca = hsm_->caCert(), caKey = hsm_->caKey();
  std::string script = "set -e; mkdir -p '" + d + "/cacert' '" + d + "/usercert'; cd '" + d + "';" +
                       "openssl crl2pkcs7 -nocrl -certfile '" + ca + "' -outform DER -out cacert/ca.p7c;";
  for (const char* serial : {"2001", "2002"})
    script += std::string("openssl req -new -newkey rsa:1024 -nodes -keyout k.pem -subj '/CN=Kontakt ") + serial +
              "/O=Tarvi Test/C=HR' -out r.csr 2>/dev/null;" + "openssl x509 -req -in r.csr -CA '" + ca + "' -CAkey '" +
              caKey + "' -set_serial 0x" + serial + " -days 30 -outform DER -out usercert/k" + serial +
              ".crt 2>/dev/null;";
  script += "rm -f k.pem r.csr";
  std::string out;
  ASSERT_EQ(::Run(script + " 2>&1", &out), 0) << out;
  WriteAll(d + "/usercert/ucertdesc.txt",
           "test_ca2001;Ivana Horvat;ivana@example.test;\r\ntest_ca2002;Marko Maric;marko@example.test;\r\n");
}

void TokenAppTest::TearDownTestSuite() {
  certs_.reset();
  hsm_.reset();
}

void TokenAppTest::SetUp() {
  AppTest::SetUp();
  module_ = std::make_unique<Acpkcs>("libacpkcs.so");
  module_->ctl.acpkcs_ctl_hide_uninitialised_slots(1);
  RegDeleteValue(HKEY_LOCAL_MACHINE, ProgramKey() + "\\PKCS #11 DLL", "DLL");
  SetUserValue("CaCertDirectory", QString::fromStdString(certs_->path() + "/cacert/"));
  SetUserValue("UserCertDirectory", QString::fromStdString(certs_->path() + "/usercert/"));
  module_->ctl.acpkcs_ctl_record(1);
}

void TokenAppTest::TearDown() {
  AppTest::TearDown();
  if (module_) {
    module_->ctl.acpkcs_ctl_record(0);
    module_->ctl.acpkcs_ctl_reset();
  }
  module_.reset();
}

void TokenAppTest::TypePin(ModalDriver& driver, const QString& pin) {
  driver.When<TEnterPINDlg>([pin](TEnterPINDlg* d) {
    if (!d->CardPresentFlag) return false;
    d->PINCodeEdit->setText(pin);
    d->OKBtn->click();
    return true;
  });
}

int TokenAppTest::TokenIndex() { return module_->indexOf(module_->slotOf(kLabel)); }

QString TokenAppTest::TokenSerial() {
  CK_TOKEN_INFO ti{};
  EXPECT_EQ(module_->f->C_GetTokenInfo(module_->slotOf(kLabel), &ti), CKR_OK);
  QString s = QString::fromLatin1(reinterpret_cast<const char*>(ti.serialNumber), sizeof ti.serialNumber);
  while (s.endsWith(' ')) s.chop(1);
  return s;
}

QStringList TokenAppTest::CallNames() {
  QStringList names;
  for (const QString& line : QString::fromStdString(module_->takeLog()).split('\n', Qt::SkipEmptyParts))
    names << line.section(' ', 0, 0);
  return names;
}

}  // namespace appfx
