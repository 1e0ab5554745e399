#include "signing/file_utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QUrl>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/disk_steps.h"
#include "platform/library.h"
#include "platform/replacement_file.h"

namespace {

constexpr size_t kCopyBlock = 16384;

std::string Native(const QString& path) { return QFile::encodeName(path).toStdString(); }

// A descriptor read from, closed with the object.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

QString FolderOf(const QString& path) {
  QString folder = QFileInfo(path).path();
  return folder.isEmpty() ? QStringLiteral(".") : folder;
}

// Drives the optional progress bar and label. QProgressBar holds an int, so
// large sizes are counted in larger units.
class Progress {
 public:
  Progress(QProgressBar* bar, QLabel* label, int64_t size) : bar_(bar), label_(label), size_(size < 0 ? 0 : size) {
    while ((size_ >> shift_) > INT_MAX) ++shift_;
    if (bar_) {
      bar_->setMinimum(0);
      bar_->setValue(0);
      bar_->setMaximum(static_cast<int>(size_ >> shift_));
      if (label_) label_->setText(QStringLiteral("0 %"));
    }
  }
  void Set(int64_t total) {
    if (!bar_) return;
    bar_->setValue(static_cast<int>(std::min(total, size_) >> shift_));
    if (label_) {
      // An empty source is done as soon as it is opened.
      int64_t percent = size_ > 0 ? total * 100 / size_ : 100;
      label_->setText(QString::number(percent) + QStringLiteral(" %"));
    }
  }

 private:
  QProgressBar* bar_;
  QLabel* label_;
  int64_t size_;
  int shift_ = 0;
};

bool HasWildcard(const QString& s) { return s.contains(QLatin1Char('*')) || s.contains(QLatin1Char('?')); }

// * matches any run of characters, ? any one character.
bool WildcardMatch(const char* mask, const char* name) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name) {
    if (*mask == '?' || (*mask && *mask != '*' && *mask == *name)) {
      ++mask;
      ++name;
    } else if (*mask == '*') {
      star = mask++;
      resume = name;
    } else if (star) {
      mask = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*mask == '*') ++mask;
  return *mask == '\0';
}

// The path of the first entry that matches the name, or "".
std::string FirstMatch(const QString& name) {
  const QString full = QFileInfo(name).absoluteFilePath();
  const QFileInfo info(full);
  if (!HasWildcard(info.fileName())) {
    struct stat st;
    std::string path = Native(full);
    return lstat(path.c_str(), &st) == 0 ? path : std::string();
  }
  const std::string folder = Native(info.path());
  const std::string mask = Native(info.fileName());
  DIR* dir = opendir(folder.c_str());
  if (!dir) return {};
  std::string found;
  while (dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (WildcardMatch(mask.c_str(), e->d_name)) {
      found = folder + "/" + e->d_name;
      break;
    }
  }
  closedir(dir);
  return found;
}

std::mt19937& Generator() {
  static std::mt19937 generator{std::random_device{}()};
  return generator;
}

std::mutex g_tempMutex;
std::string g_tempFolder;

constexpr char kOwnerFile[] = ".owner";

// This process as the owner file records it: its pid and its start time (clock
// ticks after boot, field 22 of /proc/<pid>/stat), so a pid used again by a later
// process is not taken for the run that made the folder.
std::string StartTimeOf(long pid) {
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "re");
  if (!f) return {};
  char buf[1024];
  const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = '\0';
  // The command name may hold blanks and brackets: the fields start after the last ')'.
  const char* p = std::strrchr(buf, ')');
  if (!p) return {};
  ++p;
  for (int field = 3; field < 22 && *p; ++field) {  // skips fields 3 to 21
    while (*p == ' ') ++p;
    while (*p && *p != ' ') ++p;
  }
  while (*p == ' ') ++p;
  const char* end = p;
  while (*end >= '0' && *end <= '9') ++end;
  return std::string(p, end);
}

std::string OwnerRecord(long pid) { return std::to_string(pid) + " " + StartTimeOf(pid) + "\n"; }

// Whether the owner file of a work folder names a process that still runs.
// A folder without one, or with one that cannot be read, is taken as owned:
// what cannot be proved stale is left alone.
bool OwnerRuns(int folderFd) {
  const int fd = openat(folderFd, kOwnerFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return true;
  char buf[64];
  const ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return true;
  buf[n] = '\0';
  char* end = nullptr;
  const long pid = std::strtol(buf, &end, 10);
  if (pid <= 0 || end == buf) return true;
  const std::string recorded(buf, size_t(n));
  return OwnerRecord(pid) == recorded;
}

// Removes the folder when it holds nothing but its owner file.
void RemoveTempFolderIfEmpty() {
  if (g_tempFolder.empty()) return;
  const std::string owner = g_tempFolder + "/" + kOwnerFile;
  DIR* dir = opendir(g_tempFolder.c_str());
  if (!dir) return;
  bool empty = true;
  while (dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 &&
        std::strcmp(e->d_name, kOwnerFile) != 0)
      empty = false;
  }
  closedir(dir);
  if (!empty) return;  // the next start removes it once this process is gone
  unlink(owner.c_str());
  rmdir(g_tempFolder.c_str());
}

std::string TempBase() {
  const char* env = std::getenv("TMPDIR");
  return env && *env == '/' ? env : "/tmp";
}

// A new work folder for this process with its owner file; empty when none can be made.
std::string MakeOwnedFolder(const std::string& base) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    std::string pattern = base + "/" + ProgramBaseName() + "-XXXXXX";
    if (!mkdtemp(pattern.data())) return {};
    const std::string record = OwnerRecord(long(getpid()));
    const int fd = open((pattern + "/" + kOwnerFile).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      const bool ok = DiskWrite(fd, record.data(), record.size());
      if (DiskClose(fd) && ok) return pattern;
      unlink((pattern + "/" + kOwnerFile).c_str());
    }
    rmdir(pattern.c_str());  // taken away meanwhile, or no room for the record
  }
  return {};
}

FileOpener& Opener() {
  static FileOpener opener;
  return opener;
}

bool DesktopOpen(const QString& path) {
  return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
}

}  // namespace

QString IncludeTrailingBackslash(const QString& text) {
  if (text.isEmpty() || text.endsWith(QLatin1Char('/'))) return text;
  return text + QLatin1Char('/');
}

bool SafeEntryName(const QString& name) {
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") || name.size() > 255) return false;
  if (name.size() >= 2 && name[1] == QLatin1Char(':') && name[0].isLetter()) return false;
  for (QChar c : name)
    if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() == 0x7F) return false;
  return true;
}

bool CopyFileWithProgress(const QString& source, const QString& destination, QProgressBar* progressBar, QLabel* label) {
  QString target = destination;
  if (QFileInfo(destination).isDir()) target = IncludeTrailingBackslash(destination) + QFileInfo(source).fileName();

  const auto unableToOpen = [](const QString& name) {
    return EFileError(QStringLiteral("Unable to open %1").arg(name));
  };

  Fd in(open(Native(source).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat srcStat;
  if (in.get() < 0 || fstat(in.get(), &srcStat) != 0 || S_ISDIR(srcStat.st_mode)) throw unableToOpen(source);

  // The size of the file opened, not of a name: a file name may hold "*" or "?".
  Progress progress(progressBar, label, static_cast<int64_t>(srcStat.st_size));

  // The new content goes to the program's replacement file beside the target and
  // replaces the target only when complete, keeping a replaced target's
  // permission bits (a new file gets 0666 less the umask). A target that may not
  // be written keeps its content, as a read-only file does on Windows.
  const std::string targetPath = Native(target);
  struct stat old;
  if (stat(targetPath.c_str(), &old) == 0 && (S_ISDIR(old.st_mode) || access(targetPath.c_str(), W_OK) != 0))
    throw unableToOpen(target);
  TReplacementFile out;
  if (!out.Create(target)) throw EFileError(QStringLiteral("Unable to open %1").arg(target), out.SystemError());
  const auto unableToWrite = [&] {
    return EFileError(QStringLiteral("Unable to write %1").arg(target), out.SystemError());
  };

  std::unique_ptr<char[]> block(new char[kCopyBlock]);
  int64_t total = 0;
  while (true) {
    ssize_t n = read(in.get(), block.get(), kCopyBlock);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;  // before anything else can change it
      throw EFileError(QStringLiteral("Unable to read %1").arg(source), err);
    }
    if (n == 0) break;
    if (!out.Write(block.get(), static_cast<size_t>(n))) throw unableToWrite();
    total += n;
    progress.Set(total);
  }
  if (total == 0) progress.Set(0);
  if (!out.SetModificationTime(srcStat.st_mtim) || !out.Commit(true)) throw unableToWrite();
  return true;
}

void MoveFileWithFallback(const QString& source, const QString& destination, QProgressBar* progress, QLabel* label) {
  const QString target = QFileInfo(destination).absoluteFilePath();
  const std::string src = Native(source), dst = Native(target);
  if (DiskRename(src.c_str(), dst.c_str(), false)) {
    DiskSyncFolder(Native(FolderOf(target)).c_str());
    return;
  }
  struct stat st;
  if (stat(src.c_str(), &st) != 0) return;
  // A target that is the source itself (the same name, the folder that holds it, or
  // another link to the same file) already holds the content: copying and then
  // deleting the source would lose the file.
  const QString landing =
      QFileInfo(target).isDir() ? IncludeTrailingBackslash(target) + QFileInfo(source).fileName() : target;
  struct stat there;
  if (stat(Native(landing).c_str(), &there) == 0 && there.st_dev == st.st_dev && there.st_ino == st.st_ino) {
    if (QFileInfo(source).canonicalFilePath() != QFileInfo(landing).canonicalFilePath()) unlink(src.c_str());
    return;
  }
  if (CopyFileWithProgress(source, target, progress, label)) unlink(src.c_str());
}

int64_t GetFileSizeByName(const QString& name) {
  std::string path = FirstMatch(name);
  if (path.empty()) return -1;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  if (S_ISDIR(st.st_mode)) return 0;
  return static_cast<int64_t>(st.st_size);
}

QDateTime GetFileDateTime(const QString& name) {
  QFileInfo info(name);
  if (!info.exists()) return QDateTime();
  return info.lastModified();
}

bool FileMaskExists(const QString& name) { return !FirstMatch(name).empty(); }

QString RandomLetters(int n) {
  if (n <= 0) return QString();
  std::uniform_int_distribution<int> letter(0, 24);  // "A" to "Y"
  QString s;
  s.reserve(n);
  for (int i = 0; i < n; ++i) s += QLatin1Char(static_cast<char>('A' + letter(Generator())));
  return s;
}

QString CreateUniqueFile(const QString& folder, const QString& prefix, const QString& extension) {
  if (prefix.size() >= 8) throw std::invalid_argument("CreateUniqueFile: the prefix leaves no room for letters");
  const QString dir = folder.isEmpty() ? GetTempDirectory() : IncludeTrailingBackslash(folder);
  for (int attempt = 0; attempt < 100000; ++attempt) {
    const QString base = dir + prefix + RandomLetters(8 - static_cast<int>(prefix.size()));
    if (FileMaskExists(base + QStringLiteral(".*"))) continue;
    const QString name = base + QLatin1Char('.') + extension;
    // O_EXCL closes the race with another process choosing the same name.
    int fd = open(Native(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      return name;
    }
    if (errno != EEXIST) throw EFileError(QStringLiteral("Unable to open %1").arg(name));
  }
  throw EFileError(QStringLiteral("Unable to open %1").arg(dir + prefix));
}

QString CreateUniqueTempFile(const QString& prefix, const QString& extension) {
  return CreateUniqueFile(QString(), prefix, extension);
}

QString GetTempDirectory() {
  std::lock_guard<std::mutex> lock(g_tempMutex);
  struct stat st;
  if (g_tempFolder.empty() || lstat(g_tempFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    const std::string base = TempBase();
    if (g_tempFolder.empty()) RemoveStaleWorkFolders(QFile::decodeName(base.c_str()));
    const std::string made = MakeOwnedFolder(base);
    if (made.empty()) return IncludeTrailingBackslash(QFile::decodeName(base.c_str()));
    static bool registered = false;
    if (!registered) {
      std::atexit(RemoveTempFolderIfEmpty);
      registered = true;
    }
    g_tempFolder = made;
  }
  return IncludeTrailingBackslash(QFile::decodeName(g_tempFolder.c_str()));
}

int RemoveStaleWorkFolders(const QString& base) {
  const std::string folder = base.isEmpty() ? TempBase() : Native(base);
  const std::string prefix = ProgramBaseName() + "-";
  DIR* dir = opendir(folder.c_str());
  if (!dir) return 0;
  std::vector<std::string> stale;
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    // Only names that mkdtemp gives this program's folders: prefix + six characters.
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string path = folder + "/" + name;
    if (path == g_tempFolder) continue;
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;  // not a folder, or a link to one
    struct stat st;
    const bool mine = fstat(fd, &st) == 0 && st.st_uid == getuid() && (st.st_mode & 077) == 0;
    const bool ownerRuns = !mine || OwnerRuns(fd);
    close(fd);
    if (!ownerRuns) stale.push_back(path);
  }
  closedir(dir);
  for (const std::string& path : stale) QDir(QFile::decodeName(path.c_str())).removeRecursively();
  return int(stale.size());
}

bool ShellOpenFile(const QString& name) {
  if (!QFileInfo::exists(name)) {
    errno = ENOENT;
    return false;
  }
  errno = 0;
  const FileOpener& opener = Opener();
  bool ok = opener ? opener(name) : DesktopOpen(name);
  if (!ok && errno == 0) errno = EIO;
  return ok;
}

FileOpener SetFileOpener(FileOpener opener) {
  FileOpener previous = std::move(Opener());
  Opener() = std::move(opener);
  return previous;
}
