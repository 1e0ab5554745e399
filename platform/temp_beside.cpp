#include "platform/temp_beside.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <string>
#include <vector>

#include "interfaces/temp_names.h"

namespace {

using tempname::kPrefix;
using tempname::kSuffix;

std::string RandomPart() {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char rnd[12] = {};
  if (getrandom(rnd, sizeof rnd, 0) != ssize_t(sizeof rnd)) {
    // Without the kernel's randomness the O_EXCL retry still keeps names apart.
    for (unsigned char& c : rnd) c = static_cast<unsigned char>(random());
  }
  std::string s;
  for (unsigned char c : rnd) s.push_back(kAlphabet[c % 36]);
  return s;
}

}  // namespace

bool IsTempBesideName(std::string_view name, pid_t* pid) { return tempname::IsTempName(name, pid); }

int RemoveStaleTempFiles(const QString& folder) {
  if (folder.isEmpty()) return 0;
  const QByteArray native = QFile::encodeName(folder);
  const int dirfd = open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd < 0) return 0;
  DIR* dir = fdopendir(dirfd);
  if (!dir) {
    close(dirfd);
    return 0;
  }
  const uid_t me = geteuid();
  std::vector<std::string> stale;
  while (dirent* e = readdir(dir)) {
    pid_t pid = 0;
    if (!IsTempBesideName(e->d_name, &pid)) continue;
    struct stat st;
    if (fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) || st.st_uid != me) continue;
    if (!ProcessIsGone(pid)) continue;
    stale.push_back(e->d_name);
  }
  int removed = 0;
  for (const std::string& name : stale) removed += unlinkat(dirfd, name.c_str(), 0) == 0;
  closedir(dir);  // closes dirfd too
  return removed;
}

bool ProcessIsGone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

QString TempBesideName(const QString& folder) {
  return (folder.isEmpty() ? QStringLiteral(".") : folder) + u'/' +
         QString::fromLatin1(std::string(kPrefix) + std::to_string(getpid()) + "-" + RandomPart() +
                             std::string(kSuffix));
}

int CreateTempBeside(const QString& folder, QString* path, mode_t mode) {
  RemoveStaleTempFiles(folder);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const QString name = TempBesideName(folder);
    const int fd = open(QFile::encodeName(name).constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      if (path) *path = name;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}
