#pragma once
// The settings object and the program's globals.
//
// Settings are registry string values under SettingsKey. A value is read from
// HKEY_CURRENT_USER, then HKEY_LOCAL_MACHINE, then taken from its default (some
// settings read one root only, see below); writing always goes to
// HKEY_CURRENT_USER. A boolean is on when its text, upper-cased, is "YES"; it is
// written as "YES" or "NO".
//
// Folder names end in "/" (IncludeTrailingBackslash, signing/file_utils.h):
// an empty text stays empty, anything else gets a trailing "/" when it has none.
#include <QString>
#include <cstdint>
#include <memory>

#include "card/registry.h"

class TCertList;

// Registry value names of the settings, all under SettingsKey.
inline constexpr char kRegUserCertDirectory[] = "UserCertDirectory";      // HKCU, HKLM
inline constexpr char kRegCaCertDirectory[] = "CaCertDirectory";          // HKCU, HKLM
inline constexpr char kRegOutputPath[] = "Output Path";                   // HKCU, HKLM
inline constexpr char kRegPackedNameWithDate[] = "PackedNameWithDate";    // HKCU, HKLM
inline constexpr char kRegPackedFileExt[] = "PackedFileExt";              // HKCU, HKLM
inline constexpr char kRegLogoutOnExit[] = "LogoutOnExit";                // HKCU only
inline constexpr char kRegShowSNCertAsDecimal[] = "ShowSNCertAsDecimal";  // HKCU, HKLM
inline constexpr char kRegWorkWithMBR[] = "WorkWithMBR";                  // HKCU, HKLM
inline constexpr char kRegKeyNameForMBR[] = "RegKeyNameForMBR";           // HKLM only
inline constexpr char kRegLastPath[] = "Last Path";                       // HKCU only
inline constexpr char kRegInstallPath[] = "Install Path";                 // HKLM only (start-up)

class TPostavkeRada {
 public:
  // Reads every setting, in this order: LogoutOnExit, UserCertDirectory,
  // OutputPath, LastPath, ShowSNCertAsDecimal, WorkWithMBR, RegKeyNameForMBR,
  // PackedNameWithDate, the two checks, CaCertDirectory, PackedFileExt; then
  // creates the two certificate folders when missing (failures are silent).
  explicit TPostavkeRada(const QString& installFolder);

  // Default install folder + "usercert/", also when the value is empty.
  QString UserCertDirectory;
  // Default install folder + "cacert/", also when the value is empty.
  QString CaCertDirectory;
  // As given to the constructor.
  QString InstallFolder;
  // Default "": the folder for decrypted files.
  QString OutputPath;
  // Default false: names of encrypted containers carry the time.
  bool PackedNameWithDate = false;
  // Default "enc" (no dot); a value present but empty gives "".
  QString PackedFileExt;
  // Default false; HKCU only.
  bool LogoutOnExit = false;
  // Always true; not stored.
  bool CheckCertPath = true;
  bool CheckCertValidity = true;
  // Default false.
  bool ShowSNCertAsDecimal = false;
  // Default false.
  bool WorkWithMBR = false;
  // HKLM only and only with WorkWithMBR; default SettingsKey + "\MBR"; "" when
  // WorkWithMBR is off.
  QString RegKeyNameForMBR;
  // Default ""; HKCU only: the folder shown at start.
  QString LastPath;
};

// --- program globals ------------------------------------------------------------

extern HKEY RegRootLocalMachine;  // HKEY_LOCAL_MACHINE
extern HKEY RegRootCurrentUser;   // HKEY_CURRENT_USER
// ActivityLogOn and ActivityLogStream belong to the activity log (signing/activity_log.h).
extern QString InstallPath;        // ends in "/"
extern QString SettingsKey;        // "SOFTWARE\VodezOdir\%s" until start-up formats it
extern QString VersionText;        // title + " " + the program's file version
extern QString SelectedMbr;        // the registration number chosen for work
extern QString LastDecryptedFile;  // the signed container the last decryption wrote
extern std::unique_ptr<TPostavkeRada> Settings;
extern TCertList* ContactCertList;  // made at start-up, lives until the program ends
extern QString ExeName;             // the program file's name without folder, upper-cased

inline constexpr int64_t ProgressMinSize = 102400;  // above this, long operations show progress
inline constexpr int ProgressSteps = 25;            // progress updates while a container is scanned

// "SOFTWARE\VodezOdir\" + the program's name without a final ".exe".
QString SettingsKeyFor(const QString& programBaseName);

// The start-up part of the globals, in order: VersionText := title + " " + the
// program file's version; ExeName; SettingsKey for ProgramBaseName();
// InstallPath := HKLM "Install Path" under SettingsKey, else (missing or empty)
// the program's folder, with a trailing "/".
void SetUpProgramGlobals(const QString& title);

// Writes one setting under SettingsKey in HKEY_CURRENT_USER; the registry's result.
long WriteSettingText(const QString& name, const QString& value);
long WriteSettingBool(const QString& name, bool on);  // "YES" / "NO"

// Removes the temporary files that killed or crashed runs left beside the user's
// files (platform/temp_beside.h) in every folder the program knows of: "Last
// Path", the output folder, the two certificate folders, the install folder and
// the logs' folder. Start-up calls it once Settings are read; the rewrites of
// other folders clean their own folder as they start. Returns how many went.
int RemoveStaleTempFilesInKnownFolders();
