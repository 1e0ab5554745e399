// Property accessors that do more than store, and the component's utilities:
// wait cursor, temporary names, paths, deleting and disks.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string_view>

#include "platform/disk_steps.h"
#include "platform/temp_beside.h"
#include "platform/ui_services.h"
#include "zip/zip_archiver.h"
#include "zip/zip_message_ids.h"
#include "zip/zip_messages.h"

namespace {

bool IsSuffixSeparator(QChar c) { return c == u';' || c == u':' || c == u','; }

// Qt's trash gives up on a home trash whose parent folder is missing, and then
// moves the file into "files" under the current folder. The folders of the home
// trash are made first (0700, as the freedesktop trash rules ask).
bool EnsureHomeTrash() {
  const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  if (data.isEmpty() || !QDir().mkpath(data)) return false;
  for (const QString& sub : {QStringLiteral("/Trash"), QStringLiteral("/Trash/files"), QStringLiteral("/Trash/info")}) {
    QByteArray path = QFile::encodeName(data + sub);
    if (mkdir(path.constData(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

std::string g_privateTemp;

constexpr std::string_view kWorkPrefix = "tarvi-zip-";

// The folder under which work folders are made: $TMPDIR, else /tmp.
std::string WorkRoot() {
  const char* base = getenv("TMPDIR");
  std::string root = base && *base ? base : "/tmp";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

// A new work folder "tarvi-zip-<pid>-XXXXXX" (mode 0700); empty on failure.
std::string MakeWorkFolder() {
  std::string pattern = WorkRoot() + "/" + std::string(kWorkPrefix) + std::to_string(getpid()) + "-XXXXXX";
  // mkdtemp makes the folder with mode 0700 under a name nobody could plant.
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

// A work folder holds only our own work files: it goes with all it holds. Links
// in it are removed, never followed.
void RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

// The process that made a work folder of that name; 0 when the name is not one.
pid_t WorkFolderPid(std::string_view name) {
  if (!name.starts_with(kWorkPrefix)) return 0;
  name.remove_prefix(kWorkPrefix.size());
  const size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 9 || name.size() - dash - 1 != 6) return 0;
  pid_t pid = 0;
  for (char c : name.substr(0, dash)) {
    if (c < '0' || c > '9') return 0;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

void RemovePrivateTemp() {
  if (!g_privateTemp.empty()) RemoveTree(g_privateTemp);
}

}  // namespace

// ---- Accessors ----------------------------------------------------------------------

void TZipArchiver::SetZipFileName(const QString& v) {
  zipFileName_ = v;
  List();
}

void TZipArchiver::SetDLLDirectory(const QString& v) {
  if (v == dllDirectory_) return;
  QString dir = v;
  if (dir.size() > 1 && dir.endsWith(u'/')) dir.chop(1);
  dllDirectory_ = dir;
}

void TZipArchiver::SetPasswordReqCount(uint32_t v) {
  if (v == passwordReqCount_) return;
  passwordReqCount_ = v > 15 ? 15 : v;
}

void TZipArchiver::SetExtAddStoreSuffixes(const QString& v) {
  // "DOC;pdf" -> ".doc:.pdf:", ".zip, .rar" -> ".zip:. .rar:". Empty items (a
  // leading separator, two in a row) are skipped.
  QString out;
  qsizetype i = 0;
  const qsizetype n = v.size();
  while (i < n) {
    if (IsSuffixSeparator(v[i])) {
      ++i;
      continue;
    }
    if (v[i] != u'.') out += u'.';
    while (i < n) {
      QChar c = v[i++];
      if (IsSuffixSeparator(c)) {
        out += u':';
        break;
      }
      out += c;
    }
  }
  if (!out.isEmpty() && !out.endsWith(u':')) out += u':';
  extAddStoreSuffixes_ = out.toLower();
  if (extAddStoreSuffixes_.isEmpty())
    addStoreSuffixes_.Exclude(assEXT);
  else
    addStoreSuffixes_.Include(assEXT);
}

// ---- Wait cursor ----------------------------------------------------------------------

void TZipArchiver::StartWaitCursor() {
  if (waitCursorCount_ == 0) {
    savedCursor_ = Ui().waitCursor();
    Ui().setWaitCursor(true);
  }
  ++waitCursorCount_;
}

void TZipArchiver::StopWaitCursor() {
  if (waitCursorCount_ <= 0) return;
  if (--waitCursorCount_ == 0) Ui().setWaitCursor(savedCursor_);
}

// ---- Temporary names and paths ----------------------------------------------------------

QString TZipArchiver::PrivateTempFolder() {
  static std::once_flag once;
  std::call_once(once, [] {
    RemoveStaleWorkFolders();
    g_privateTemp = MakeWorkFolder();
    if (!g_privateTemp.empty()) atexit(RemovePrivateTemp);
  });
  return g_privateTemp.empty() ? QString() : QFile::decodeName(g_privateTemp.c_str()) + u'/';
}

void TZipArchiver::RemoveStaleWorkFolders() {
  const std::string root = WorkRoot();
  DIR* d = opendir(root.c_str());
  if (!d) return;
  const uid_t me = geteuid();
  while (const dirent* e = readdir(d)) {
    const pid_t pid = WorkFolderPid(e->d_name);
    if (pid <= 0 || pid == getpid()) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != me)
      continue;
    // Only a folder whose process is gone: a live one is in use.
    if (!ProcessIsGone(pid)) continue;
    RemoveTree(root + "/" + e->d_name);
  }
  closedir(d);
}

void TZipArchiver::RemoveWorkFolder() {
  if (workFolder_.empty()) return;
  RemoveTree(workFolder_);
  workFolder_.clear();
}

QString TZipArchiver::MakeTempFileName(const QString& prefix, const QString& ext) {
  const QString pre = prefix.isEmpty() ? QStringLiteral("zip") : prefix;
  const QString extension = ext.isEmpty() ? QStringLiteral(".zip") : ext;
  QString folder;
  if (!tempDir_.isEmpty()) {
    tempDir_ = AppendSlash(tempDir_);
    folder = tempDir_;
  } else if (workScopes_ > 0) {
    if (workFolder_.empty()) workFolder_ = MakeWorkFolder();
    if (!workFolder_.empty()) folder = QFile::decodeName(workFolder_.c_str()) + u'/';
  } else {
    folder = PrivateTempFolder();
  }
  if (folder.isEmpty()) return QString();
  QByteArray pattern = QFile::encodeName(folder + pre + QStringLiteral("XXXXXX") + extension);
  QByteArray suffix = QFile::encodeName(extension);
  // The name is made exclusively and given back unused: the caller creates the file.
  int fd = mkstemps(pattern.data(), static_cast<int>(suffix.size()));
  if (fd < 0) return QString();
  close(fd);
  unlink(pattern.constData());
  return QFile::decodeName(pattern);
}

QString TZipArchiver::PathConcat(const QString& folder, const QString& name) {
  QString result = folder;
  if (!folder.isEmpty() && !name.isEmpty()) {
    bool folderSlash = folder.endsWith(u'/');
    bool nameSlash = name.startsWith(u'/');
    if (!folderSlash && !nameSlash)
      result += u'/';
    else if (folderSlash && nameSlash)
      result.chop(1);
  }
  return result + name;
}

QString TZipArchiver::AppendSlash(const QString& path) {
  if (path.isEmpty() || path.endsWith(u'/')) return path;
  return path + u'/';
}

int TZipArchiver::EraseFile(const QString& name, DeleteOpts how) {
  const QString path = QFileInfo(name).isRelative() ? QDir::current().absoluteFilePath(name) : name;
  const QByteArray native = QFile::encodeName(path);
  struct stat st;
  if (lstat(native.constData(), &st) != 0) return -1;
  if (how == htdAllowUndo) {
    QString inTrash;
    return MoveToTrash(path, &inTrash) ? 0 : 1;
  }
  return unlink(native.constData()) == 0 ? 0 : errno;
}

bool TZipArchiver::MoveToTrash(const QString& path, QString* inTrash) {
  return EnsureHomeTrash() && QFile::moveToTrash(path, inTrash);
}

bool TZipArchiver::RestoreFromTrash(const QString& inTrash, const QString& path) {
  if (!DiskRename(QFile::encodeName(inTrash).constData(), QFile::encodeName(path).constData(), false)) return false;
  // The record beside "files" in the trash: <trash>/info/<name>.trashinfo.
  const QFileInfo moved(inTrash);
  QFile::remove(
      moved.dir().absoluteFilePath(QStringLiteral("../info/") + moved.fileName() + QStringLiteral(".trashinfo")));
  return true;
}

// ---- Disks ------------------------------------------------------------------------------------

bool TZipArchiver::IsFixedDrive(const QString&) { return true; }

void TZipArchiver::DiskFreeAndSize(int which) {
  int64_t freeSpace = -1;
  int64_t size = -1;
  struct statvfs st;
  if (!disk_.drive.isEmpty() && statvfs(QFile::encodeName(disk_.drive).constData(), &st) == 0) {
    freeSpace = static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
    size = static_cast<int64_t>(st.f_blocks) * static_cast<int64_t>(st.f_frsize);
  }
  if (which & 1) disk_.freeOnDisk = freeSpace;
  if (which & 2) disk_.sizeOfDisk = size;
}

bool TZipArchiver::DiskIsReady() {
  disk_.volumeLabel.clear();
  disk_.sizeOfDisk = 0;
  disk_.freeOnDisk = 0;
  // There are no drive letters to check: the drive is the folder of the archive.
  if (!disk_.driveFixed) {
    struct statvfs st;
    if (disk_.drive.isEmpty() || statvfs(QFile::encodeName(disk_.drive).constData(), &st) != 0) return false;
  }
  DiskFreeAndSize(3);
  return disk_.sizeOfDisk != -1;
}

void TZipArchiver::PromptForDisk(bool writing) {
  disk_.driveFixed = IsFixedDrive(disk_.drive);
  if (disk_.driveFixed) {
    disk_.newDisk = false;
    return;
  }
  DispatchEvent(ZIPCB_TICK, 0, 0, QString());
  int answer = mrOk;
  for (;;) {
    if (!disk_.newDisk && (answer != mrOk || DiskIsReady())) break;
    if (unattended_) throw EZipArchiver::CreateFromId(kZipUnattendedSpanning, true);
    QString text;
    if (disk_.diskNr < 0) {
      text = LoadZipStringDef(kZipInsertLastDisk, QStringLiteral("Please insert last disk in set"));
    } else if (writing) {
      int64_t room = disk_.sizeOfDisk - static_cast<int64_t>(keepFreeOnAllDisks_);
      if (maxVolumeSize_ > 0 && room > maxVolumeSize_) room = maxVolumeSize_;
      if (room > 0) {
        int64_t needed = (disk_.fileSize + 4 + keepFreeOnDisk1_) / room;
        if (needed > disk_.totalDisks) disk_.totalDisks = static_cast<int32_t>(needed);
        text = FormatZipText(LoadZipString(kZipInsertDiskOf),
                             {QString::number(disk_.diskNr + 1), QString::number(disk_.totalDisks + 1)});
      } else {
        text = FormatZipText(LoadZipString(kZipInsertDisk), {QString::number(disk_.diskNr + 1)});
      }
    } else {
      text = FormatZipText(LoadZipString(kZipInsertDiskOf),
                           {QString::number(disk_.diskNr + 1), QString::number(disk_.totalDisks + 1)});
    }
    text += FormatZipText(LoadZipString(kZipInDrive), {disk_.drive});
    if (writing && disk_.diskNr == 0 && DiskIsReady()) {
      disk_.newDisk = false;
      continue;
    }
    if (OnGetNextDisk) {
      bool abort = false;
      OnGetNextDisk(*this, disk_.diskNr + 1, disk_.totalDisks + 1, disk_.drive.left(1), abort);
      answer = abort ? mrCancel : mrOk;
    } else {
      // The stop icon only when the last disk is asked for.
      answer = Ui().questionBox(text, QString(), MsgButtons::OkCancel, disk_.diskNr < 0 ? MsgIcon::Stop : MsgIcon::None,
                                mrOk);
    }
    disk_.newDisk = false;
  }
  if (answer == mrNone) throw EZipArchiver::CreateFromId(kZipMsgBoxNoMemory, true);
  if (answer != mrOk) throw EZipArchiver::CreateFromId(kZipUserCancelled, false);
}

QByteArray TZipArchiver::BufferToText(const uint8_t* buffer, uint32_t length) {
  return QByteArray(reinterpret_cast<const char*>(buffer), static_cast<qsizetype>(length));
}

void TZipArchiver::MakePartFileName(QString& name, bool replace) {
  const bool compat = spanOptions_.Contains(spCompatName);
  const QString set = replace ? SpanSetName(name, -1, compat) : name;
  name = SpanPartName(set, disk_.diskNr, disk_.diskNr == disk_.totalDisks, compat);
}
