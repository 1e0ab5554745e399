#include "signing/settings.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <functional>
#include <string>

#include "platform/library.h"
#include "support/private_registry.h"
#include "support/temp_dir.h"

namespace {

const QString kKey = QStringLiteral("SOFTWARE\\VodezOdir\\Potpis");

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    savedKey_ = SettingsKey;
    SettingsKey = kKey;
    install_ = QString::fromStdString(installDir_.path()) + QLatin1Char('/');
  }
  void TearDown() override { SettingsKey = savedKey_; }
  static void User(const char* name, const QString& v) {
    ASSERT_EQ(RegWriteValue(HKEY_CURRENT_USER, kKey, QLatin1String(name), v), 0);
  }
  static void Machine(const char* name, const QString& v) {
    ASSERT_EQ(RegWriteValue(HKEY_LOCAL_MACHINE, kKey, QLatin1String(name), v), 0);
  }
  TPostavkeRada Read() { return TPostavkeRada(install_); }

  PrivateRegistry registry_{"settings-reg"};
  TempDir installDir_{"install"};
  QString install_;
  QString savedKey_;
};

}  // namespace

TEST_F(Settings, NothingStoredGivesTheDefaultsAndMakesTheCertificateFolders) {
  TPostavkeRada s = Read();
  EXPECT_EQ(s.InstallFolder, install_);
  EXPECT_EQ(s.UserCertDirectory, install_ + QStringLiteral("usercert/"));
  EXPECT_EQ(s.CaCertDirectory, install_ + QStringLiteral("cacert/"));
  EXPECT_TRUE(QFileInfo(s.UserCertDirectory).isDir());
  EXPECT_TRUE(QFileInfo(s.CaCertDirectory).isDir());
  EXPECT_EQ(s.OutputPath, QString());
  EXPECT_EQ(s.LastPath, QString());
  EXPECT_EQ(s.PackedFileExt, QStringLiteral("enc"));
  EXPECT_FALSE(s.PackedNameWithDate);
  EXPECT_FALSE(s.LogoutOnExit);
  EXPECT_FALSE(s.ShowSNCertAsDecimal);
  EXPECT_FALSE(s.WorkWithMBR);
  EXPECT_EQ(s.RegKeyNameForMBR, QString());
  EXPECT_TRUE(s.CheckCertPath);
  EXPECT_TRUE(s.CheckCertValidity);
}

// For each kind of setting: user only, machine only, both, neither.
TEST_F(Settings, EachSettingReadsItsRootsInOrder) {
  struct Setting {
    const char* name;
    QString userValue, machineValue;
    std::function<QString(const TPostavkeRada&)> get;
    QString userOnly, machineOnly, both, neither;
  };
  auto flag = [](bool b) { return b ? QStringLiteral("on") : QStringLiteral("off"); };
  const QString mbrDefault = kKey + QStringLiteral("\\MBR");
  Setting settings[] = {
      {kRegOutputPath, "/u/out", "/m/out", [](auto& s) { return s.OutputPath; }, "/u/out/", "/m/out/", "/u/out/", ""},
      {kRegPackedFileExt, "usr", "mch", [](auto& s) { return s.PackedFileExt; }, "usr", "mch", "usr", "enc"},
      {kRegShowSNCertAsDecimal, "YES", "yes", [&](auto& s) { return flag(s.ShowSNCertAsDecimal); }, "on", "on", "on",
       "off"},
      {kRegPackedNameWithDate, "NO", "YES", [&](auto& s) { return flag(s.PackedNameWithDate); }, "off", "on", "off",
       "off"},
      {kRegLogoutOnExit, "Yes", "YES", [&](auto& s) { return flag(s.LogoutOnExit); }, "on", "off", "on", "off"},
      {kRegLastPath, "/u/last", "/m/last", [](auto& s) { return s.LastPath; }, "/u/last/", "", "/u/last/", ""},
      {kRegUserCertDirectory, install_ + "u", install_ + "m", [](auto& s) { return s.UserCertDirectory; },
       install_ + "u/", install_ + "m/", install_ + "u/", install_ + "usercert/"},
      {kRegCaCertDirectory, install_ + "cu", install_ + "cm", [](auto& s) { return s.CaCertDirectory; },
       install_ + "cu/", install_ + "cm/", install_ + "cu/", install_ + "cacert/"},
      // Read from the machine only, and only while the register is in use.
      {kRegKeyNameForMBR, "USER\\MBR", "MACHINE\\MBR", [](auto& s) { return s.RegKeyNameForMBR; }, mbrDefault,
       "MACHINE\\MBR", "MACHINE\\MBR", mbrDefault},
  };
  for (const Setting& st : settings) {
    SCOPED_TRACE(st.name);
    for (int c = 0; c < 4; ++c) {
      RegDeleteValue(HKEY_CURRENT_USER, kKey, QLatin1String(st.name));
      RegDeleteValue(HKEY_LOCAL_MACHINE, kKey, QLatin1String(st.name));
      RegDeleteValue(HKEY_CURRENT_USER, kKey, QLatin1String(kRegWorkWithMBR));
      if (st.name == std::string(kRegKeyNameForMBR)) User(kRegWorkWithMBR, QStringLiteral("YES"));
      if (c == 0 || c == 2) User(st.name, st.userValue);
      if (c == 1 || c == 2) Machine(st.name, st.machineValue);
      const QString expected[] = {st.userOnly, st.machineOnly, st.both, st.neither};
      EXPECT_EQ(st.get(Read()), expected[c]) << "case " << c;
    }
  }
}

TEST_F(Settings, EdgeCasesOfTheDefaults) {
  // "yes" in the machine root only turns the register on, and its key comes from there.
  Machine(kRegWorkWithMBR, QStringLiteral("yes"));
  Machine(kRegKeyNameForMBR, QStringLiteral("SOFTWARE\\Org\\Brojevi"));
  TPostavkeRada s = Read();
  EXPECT_TRUE(s.WorkWithMBR);
  EXPECT_EQ(s.RegKeyNameForMBR, QStringLiteral("SOFTWARE\\Org\\Brojevi"));

  // Off in the user's root wins over the machine; then the key is empty.
  User(kRegWorkWithMBR, QStringLiteral("NO"));
  EXPECT_EQ(Read().RegKeyNameForMBR, QString());

  // An empty certificate folder takes the default, not the machine's value.
  User(kRegUserCertDirectory, QString());
  Machine(kRegUserCertDirectory, QStringLiteral("/elsewhere/"));
  EXPECT_EQ(Read().UserCertDirectory, install_ + QStringLiteral("usercert/"));

  // An empty extension stays empty.
  User(kRegPackedFileExt, QString());
  Machine(kRegPackedFileExt, QStringLiteral("mch"));
  EXPECT_EQ(Read().PackedFileExt, QString());

  // Folders named in the registry are made with their parents.
  User(kRegCaCertDirectory, install_ + QStringLiteral("a/b/čćž"));
  EXPECT_EQ(Read().CaCertDirectory, install_ + QStringLiteral("a/b/čćž/"));
  EXPECT_TRUE(QFileInfo(install_ + QStringLiteral("a/b/čćž")).isDir());
}

TEST_F(Settings, WritesGoToTheUserAsYesAndNo) {
  Machine(kRegPackedNameWithDate, QStringLiteral("YES"));
  ASSERT_EQ(WriteSettingBool(QLatin1String(kRegPackedNameWithDate), false), 0);
  ASSERT_EQ(WriteSettingBool(QLatin1String(kRegLogoutOnExit), true), 0);
  ASSERT_EQ(WriteSettingText(QLatin1String(kRegOutputPath), QStringLiteral("/izlaz")), 0);
  QString v;
  ASSERT_EQ(RegReadValue(HKEY_CURRENT_USER, kKey, QLatin1String(kRegPackedNameWithDate), v), 0);
  EXPECT_EQ(v, QStringLiteral("NO"));
  ASSERT_EQ(RegReadValue(HKEY_CURRENT_USER, kKey, QLatin1String(kRegLogoutOnExit), v), 0);
  EXPECT_EQ(v, QStringLiteral("YES"));
  ASSERT_EQ(RegReadValue(HKEY_LOCAL_MACHINE, kKey, QLatin1String(kRegPackedNameWithDate), v), 0);
  EXPECT_EQ(v, QStringLiteral("YES"));
  TPostavkeRada s = Read();
  EXPECT_FALSE(s.PackedNameWithDate);
  EXPECT_TRUE(s.LogoutOnExit);
  EXPECT_EQ(s.OutputPath, QStringLiteral("/izlaz/"));
}

TEST_F(Settings, StartUpFillsTheProgramGlobals) {
  EXPECT_EQ(SettingsKeyFor(QStringLiteral("Signer")), QStringLiteral("SOFTWARE\\VodezOdir\\Signer"));
  EXPECT_EQ(RegRootCurrentUser, HKEY_CURRENT_USER);
  EXPECT_EQ(RegRootLocalMachine, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(savedKey_, QStringLiteral("SOFTWARE\\VodezOdir\\%s"));

  const QString base = QString::fromStdString(ProgramBaseName());
  SetUpProgramGlobals(QStringLiteral("Tarvi Sealdesk"));
  EXPECT_EQ(SettingsKey, QStringLiteral("SOFTWARE\\VodezOdir\\") + base);
  EXPECT_EQ(ExeName, base.toUpper());
  EXPECT_EQ(InstallPath, QString::fromStdString(ProgramFolder()) + QLatin1Char('/'));
  EXPECT_TRUE(VersionText.startsWith(QStringLiteral("Tarvi Sealdesk ")));

  ASSERT_EQ(
      RegWriteValue(HKEY_LOCAL_MACHINE, SettingsKey, QLatin1String(kRegInstallPath), QStringLiteral("/opt/tarvi")), 0);
  SetUpProgramGlobals(QStringLiteral("Tarvi Sealdesk"));
  EXPECT_EQ(InstallPath, QStringLiteral("/opt/tarvi/"));
}
