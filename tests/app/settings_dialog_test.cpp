// The settings dialog: every setting loaded from and saved to HKEY_CURRENT_USER,
// cancel writes nothing, the associations follow the list's check marks.
#include "app/settings_dialog.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <functional>

#include "app/file_associations.h"
#include "card/registry.h"
#include "platform/fake_ui_services.h"
#include "platform/registry_store.h"
#include "signing/settings.h"
#include "support/temp_dir.h"

namespace {

QString User(const char* name) {
  QString v = "<missing>";
  RegReadValue(HKEY_CURRENT_USER, SettingsKey, name, v);
  return v;
}

class SettingsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SettingsKey = SettingsKeyFor(QString("SetTest_") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    InstallPath = QString::fromStdString(install_.path()) + "/";
    ExeName = "TARVISEALDESK";
    regstore::DeleteKeyTree(regstore::Hive::ClassesRoot, ".sgn");
    regstore::DeleteKeyTree(regstore::Hive::ClassesRoot, "sgn");
    regstore::DeleteKeyTree(regstore::Hive::ClassesRoot, ".enc");
    regstore::DeleteKeyTree(regstore::Hive::ClassesRoot, "enc");
  }
  void TearDown() override { Settings.reset(); }

  // Runs the dialog; step works on it while it is shown.
  bool Run(const std::function<void(TfmPostavke*)>& step) {
    bool reached = false;
    QTimer::singleShot(0, [&] {
      auto* d = qobject_cast<TfmPostavke*>(QApplication::activeModalWidget());
      ASSERT_NE(d, nullptr);
      reached = true;
      step(d);
      if (d->isVisible()) d->reject();
    });
    const bool result = RunSettingsDialog();
    EXPECT_TRUE(reached);
    return result;
  }

  TempDir install_{"install"};
  TempDir folders_{"folders"};
  FakeUiServices ui_;
};

TEST_F(SettingsDialogTest, LoadsStoredValues) {
  const QString out = QString::fromStdString(folders_.path()) + "/izlaz/";
  RegWriteValue(HKEY_CURRENT_USER, SettingsKey, kRegLogoutOnExit, "YES");
  RegWriteValue(HKEY_CURRENT_USER, SettingsKey, kRegPackedNameWithDate, "yes");
  RegWriteValue(HKEY_CURRENT_USER, SettingsKey, kRegPackedFileExt, "TSX");
  RegWriteValue(HKEY_CURRENT_USER, SettingsKey, kRegWorkWithMBR, "YES");
  RegWriteValue(HKEY_CURRENT_USER, SettingsKey, kRegOutputPath, out);
  RegWriteValue(HKEY_CURRENT_USER, SettingsKey, kRegShowSNCertAsDecimal, "NO");
  RegWriteValue(HKEY_CLASSES_ROOT, ".tsx", "", "TSX");
  EXPECT_FALSE(Run([&](TfmPostavke* d) {
    EXPECT_EQ(d->pcPostavke->currentIndex(), 0);
    EXPECT_TRUE(d->rbOdjaviSe->isChecked());
    EXPECT_TRUE(d->cbDodajDatum->isChecked());
    EXPECT_EQ(d->edPackedExt->text(), "TSX");
    EXPECT_FALSE(d->edPackedExt->isEnabled());
    EXPECT_TRUE(d->cbRadSMbr->isChecked());
    EXPECT_EQ(d->edOutPath->text(), out);
    EXPECT_EQ(d->edRootCertDir->text(), InstallPath + "cacert/");
    EXPECT_EQ(d->edUserCertDir->text(), InstallPath + "usercert/");
    EXPECT_TRUE(d->rbHeksadecimalno->isChecked());
    EXPECT_TRUE(d->cbProvjeraCA->isChecked() && !d->cbProvjeraCA->isEnabled());
    EXPECT_TRUE(d->pcPostavke->isTabVisible(3));
    ASSERT_EQ(d->lwTipoviDat->topLevelItemCount(), 2);
    EXPECT_EQ(d->lwTipoviDat->topLevelItem(0)->text(0), "sgn");
    EXPECT_EQ(d->lwTipoviDat->topLevelItem(0)->text(1), "TSD signed file");
    EXPECT_EQ(d->lwTipoviDat->topLevelItem(0)->checkState(0), Qt::Unchecked);
    EXPECT_EQ(d->lwTipoviDat->topLevelItem(1)->text(0), "TSX");
    EXPECT_EQ(d->lwTipoviDat->topLevelItem(1)->text(1), "TSD encrypted file");
    EXPECT_EQ(d->lwTipoviDat->topLevelItem(1)->checkState(0), Qt::Checked);  // ".tsx" exists
  }));
}

TEST_F(SettingsDialogTest, ConfirmWritesEverySettingAndRemakesSettings) {
  const QString out = QString::fromStdString(folders_.path()) + "/out";
  const QString ca = QString::fromStdString(folders_.path()) + "/ča";
  const QString user = QString::fromStdString(folders_.path()) + "/korisnički";
  ui_.fileAnswers = {out};  // the folder dialog for the output folder
  EXPECT_TRUE(Run([&](TfmPostavke* d) {
    d->rbOdjaviSe->setChecked(true);
    d->cbDodajDatum->setChecked(true);
    d->cbRadSMbr->setChecked(true);
    d->actBFOutDir->trigger();
    EXPECT_EQ(d->edOutPath->text(), out);
    d->edRootCertDir->setText("  " + ca + " ");
    d->edUserCertDir->setText(user);
    d->rbDecimalno->setChecked(true);
    d->actPotvrdi->trigger();
  }));
  EXPECT_EQ(User(kRegLogoutOnExit), "YES");
  EXPECT_EQ(User(kRegPackedNameWithDate), "YES");
  EXPECT_EQ(User(kRegPackedFileExt), "enc");
  EXPECT_EQ(User(kRegWorkWithMBR), "YES");
  EXPECT_EQ(User(kRegOutputPath), out);
  EXPECT_EQ(User(kRegCaCertDirectory), ca);
  EXPECT_EQ(User(kRegUserCertDirectory), user);
  EXPECT_EQ(User(kRegShowSNCertAsDecimal), "YES");
  ASSERT_TRUE(Settings);
  EXPECT_TRUE(Settings->LogoutOnExit && Settings->WorkWithMBR && Settings->ShowSNCertAsDecimal);
  EXPECT_EQ(Settings->CaCertDirectory, ca + "/");
  // Both rows unchecked: nothing was registered.
  EXPECT_FALSE(FileTypeRegistered("sgn"));
  EXPECT_TRUE(ui_.boxes.empty());

  // The other way round: booleans written as "NO"; emptied folder fields keep their values.
  EXPECT_TRUE(Run([&](TfmPostavke* d) {
    d->rbOstaniPrijavljen->setChecked(true);
    d->cbDodajDatum->setChecked(false);
    d->cbRadSMbr->setChecked(false);
    d->edOutPath->setText("   ");
    d->edRootCertDir->clear();
    d->rbHeksadecimalno->setChecked(true);
    d->actPotvrdi->trigger();
  }));
  EXPECT_EQ(User(kRegLogoutOnExit), "NO");
  EXPECT_EQ(User(kRegPackedNameWithDate), "NO");
  EXPECT_EQ(User(kRegWorkWithMBR), "NO");
  EXPECT_EQ(User(kRegShowSNCertAsDecimal), "NO");
  EXPECT_EQ(User(kRegOutputPath), out);
  EXPECT_EQ(User(kRegCaCertDirectory), ca);
}

TEST_F(SettingsDialogTest, CancelWritesNothing) {
  const std::string hkcu = regstore::HivePath(regstore::Hive::CurrentUser);
  const std::string hkcr = regstore::HivePath(regstore::Hive::ClassesRoot);
  RegWriteValue(HKEY_CURRENT_USER, SettingsKey, "marker", "1");
  const std::string before = ReadText(hkcu);
  const std::string classesBefore = ReadText(hkcr);
  EXPECT_FALSE(Run([&](TfmPostavke* d) {
    d->rbOdjaviSe->setChecked(true);
    d->cbDodajDatum->setChecked(true);
    d->edOutPath->setText("/tmp/x");
    d->lwTipoviDat->topLevelItem(0)->setCheckState(0, Qt::Checked);
    d->btnOdustani->click();
  }));
  EXPECT_EQ(ReadText(hkcu), before);
  EXPECT_EQ(ReadText(hkcr), classesBefore);
  EXPECT_FALSE(FileTypeRegistered("sgn"));
}

TEST_F(SettingsDialogTest, RowsRegisterAndUnregister) {
  EXPECT_TRUE(Run([&](TfmPostavke* d) {
    d->lwTipoviDat->topLevelItem(0)->setCheckState(0, Qt::Checked);
    d->lwTipoviDat->topLevelItem(1)->setCheckState(0, Qt::Checked);
    d->actPotvrdi->trigger();
  }));
  QString verb;
  EXPECT_EQ(RegReadValue(HKEY_CLASSES_ROOT, "sgn\\Shell\\Open", "", verb), 0);
  EXPECT_EQ(verb, "Otvaranje");
  EXPECT_EQ(RegReadValue(HKEY_CLASSES_ROOT, "enc\\Shell\\Open", "", verb), 0);
  EXPECT_EQ(verb, "Dekriptiranje");

  // Unchecking row 1 removes ".sgn" and "sgn" with their subkeys; row 2 stays.
  EXPECT_TRUE(Run([&](TfmPostavke* d) {
    EXPECT_EQ(d->lwTipoviDat->topLevelItem(0)->checkState(0), Qt::Checked);
    d->lwTipoviDat->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    d->actPotvrdi->trigger();
  }));
  EXPECT_EQ(regstore::KeyExists(regstore::Hive::ClassesRoot, ".sgn"), regstore::kNotFound);
  EXPECT_EQ(regstore::KeyExists(regstore::Hive::ClassesRoot, "sgn\\Shell"), regstore::kNotFound);
  EXPECT_TRUE(FileTypeRegistered("enc"));
}

TEST_F(SettingsDialogTest, CustomerEditionHidesTheChecksTab) {
  ExeName = "QVDQUILLMARK";
  EXPECT_FALSE(Run([&](TfmPostavke* d) { EXPECT_FALSE(d->pcPostavke->isTabVisible(3)); }));
}

}  // namespace
