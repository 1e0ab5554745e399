#include "signing/settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "card/version_info.h"
#include "platform/library.h"
#include "platform/temp_beside.h"
#include "signing/activity_log.h"
#include "signing/file_utils.h"

HKEY RegRootLocalMachine = HKEY_LOCAL_MACHINE;
HKEY RegRootCurrentUser = HKEY_CURRENT_USER;
QString InstallPath;
QString SettingsKey = QStringLiteral("SOFTWARE\\VodezOdir\\%s");
QString VersionText;
QString SelectedMbr;
QString LastDecryptedFile;
std::unique_ptr<TPostavkeRada> Settings;
TCertList* ContactCertList = nullptr;
QString ExeName;

namespace {

enum class Roots { UserOnly, MachineOnly, UserThenMachine };

// The value from the first root that has it, or nothing.
bool ReadText(Roots roots, const char* name, QString& value) {
  const QString n = QLatin1String(name);
  if (roots != Roots::MachineOnly && RegReadValue(RegRootCurrentUser, SettingsKey, n, value) == 0) return true;
  if (roots != Roots::UserOnly && RegReadValue(RegRootLocalMachine, SettingsKey, n, value) == 0) return true;
  return false;
}

bool ReadBool(Roots roots, const char* name, bool defaultValue) {
  QString value;
  if (!ReadText(roots, name, value)) return defaultValue;
  return value.toUpper() == QLatin1String("YES");
}

QString ReadFolder(Roots roots, const char* name, const QString& defaultValue) {
  QString value;
  if (!ReadText(roots, name, value)) value = defaultValue;
  return IncludeTrailingBackslash(value);
}

// A certificate folder: an empty value takes the default too.
QString ReadCertFolder(const char* name, const QString& defaultValue) {
  QString value;
  if (!ReadText(Roots::UserThenMachine, name, value) || value.isEmpty()) value = defaultValue;
  return IncludeTrailingBackslash(value);
}

}  // namespace

TPostavkeRada::TPostavkeRada(const QString& installFolder) : InstallFolder(installFolder) {
  LogoutOnExit = ReadBool(Roots::UserOnly, kRegLogoutOnExit, false);
  UserCertDirectory = ReadCertFolder(kRegUserCertDirectory, InstallFolder + QStringLiteral("usercert/"));
  OutputPath = ReadFolder(Roots::UserThenMachine, kRegOutputPath, QString());
  LastPath = ReadFolder(Roots::UserOnly, kRegLastPath, QString());
  ShowSNCertAsDecimal = ReadBool(Roots::UserThenMachine, kRegShowSNCertAsDecimal, false);
  WorkWithMBR = ReadBool(Roots::UserThenMachine, kRegWorkWithMBR, false);
  if (WorkWithMBR && !ReadText(Roots::MachineOnly, kRegKeyNameForMBR, RegKeyNameForMBR))
    RegKeyNameForMBR = SettingsKey + QStringLiteral("\\MBR");
  PackedNameWithDate = ReadBool(Roots::UserThenMachine, kRegPackedNameWithDate, false);
  CheckCertPath = true;
  CheckCertValidity = true;
  CaCertDirectory = ReadCertFolder(kRegCaCertDirectory, InstallFolder + QStringLiteral("cacert/"));
  PackedFileExt = QStringLiteral("enc");
  ReadText(Roots::UserThenMachine, kRegPackedFileExt, PackedFileExt);
  for (const QString& folder : {UserCertDirectory, CaCertDirectory})
    if (!QFileInfo(folder).isDir()) QDir().mkpath(folder);
}

QString SettingsKeyFor(const QString& programBaseName) {
  return QStringLiteral("SOFTWARE\\VodezOdir\\") + programBaseName;
}

void SetUpProgramGlobals(const QString& title) {
  const QString programFile = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
  VersionText = title + QLatin1Char(' ') + GetVersionString(programFile);
  ExeName = QFileInfo(programFile).fileName().toUpper();
  SettingsKey = SettingsKeyFor(QFile::decodeName(ProgramBaseName().c_str()));
  QString install;
  if (RegReadValue(RegRootLocalMachine, SettingsKey, QLatin1String(kRegInstallPath), install) != 0 || install.isEmpty())
    install = QFile::decodeName(ProgramFolder().c_str());
  InstallPath = IncludeTrailingBackslash(install);
}

long WriteSettingText(const QString& name, const QString& value) {
  return RegWriteValue(RegRootCurrentUser, SettingsKey, name, value, REG_SZ);
}

long WriteSettingBool(const QString& name, bool on) {
  return WriteSettingText(name, on ? QStringLiteral("YES") : QStringLiteral("NO"));
}

int RemoveStaleTempFilesInKnownFolders() {
  QStringList folders;
  if (Settings) {
    folders << Settings->LastPath << Settings->OutputPath << Settings->UserCertDirectory << Settings->CaCertDirectory;
  }
  if (!InstallPath.isEmpty()) folders << InstallPath << LogFolder(InstallPath);
  QStringList seen;
  int removed = 0;
  for (const QString& folder : folders) {
    const QString path = folder.isEmpty() ? QString() : QFileInfo(folder).absoluteFilePath();
    if (path.isEmpty() || seen.contains(path)) continue;
    seen << path;
    removed += RemoveStaleTempFiles(path);
  }
  return removed;
}
