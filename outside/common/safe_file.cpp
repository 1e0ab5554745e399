#include "outside/common/safe_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "interfaces/temp_names.h"

namespace outside_io {

namespace {

using tempname::kPrefix;
using tempname::kSuffix;

// The seam's state: the variable's text when last read and each step's count
// since then.
struct FaultSeam {
  std::mutex mu;
  std::string spec;
  DiskStep step = DiskStep::kWrite;
  long nth = -1;  // -1: nothing to inject
  int err = 0;
  long count[4] = {};
};

// Plain statics: a library that is unloaded frees them with itself.
FaultSeam& Seam() {
  static FaultSeam seam;
  return seam;
}

bool ParseStep(std::string_view s, DiskStep& step) {
  static constexpr std::pair<std::string_view, DiskStep> kSteps[] = {{"write", DiskStep::kWrite},
                                                                     {"close", DiskStep::kClose},
                                                                     {"sync", DiskStep::kSync},
                                                                     {"rename", DiskStep::kRename}};
  for (const auto& [name, value] : kSteps)
    if (s == name) return step = value, true;
  return false;
}

void ParseSpec(FaultSeam& seam, const char* text) {
  seam.spec = text;
  seam.nth = -1;
  for (long& c : seam.count) c = 0;
  const std::string& s = seam.spec;
  const size_t a = s.find(':'), b = a == std::string::npos ? a : s.find(':', a + 1);
  if (b == std::string::npos || !ParseStep(std::string_view(s).substr(0, a), seam.step)) return;
  char* end = nullptr;
  const long nth = std::strtol(s.c_str() + a + 1, &end, 10);
  const long err = std::strtol(s.c_str() + b + 1, nullptr, 10);
  if (end != s.c_str() + b || nth < 0 || err <= 0) return;
  seam.nth = nth;
  seam.err = static_cast<int>(err);
}

bool Fail(DiskStep step) {
  if (const int err = InjectedFault(step)) {
    errno = err;
    return true;
  }
  return false;
}

std::string RandomPart() {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char rnd[12] = {};
  if (getrandom(rnd, sizeof rnd, 0) != static_cast<ssize_t>(sizeof rnd)) {
    // Without the kernel's randomness the O_EXCL retry still keeps names apart.
    for (unsigned char& c : rnd) c = static_cast<unsigned char>(random());
  }
  std::string s;
  for (unsigned char c : rnd) s.push_back(kAlphabet[c % 36]);
  return s;
}

bool ProcessIsGone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

// Each folder is swept once per process: an extraction of many files into one
// folder would otherwise read the folder again for every file.
bool FirstVisit(int dirfd) {
  static std::mutex mu;
  static std::set<std::pair<dev_t, ino_t>> seen;
  struct stat st {};
  if (fstat(dirfd, &st) != 0) return false;
  std::lock_guard<std::mutex> lock(mu);
  return seen.insert({st.st_dev, st.st_ino}).second;
}

// The file a symbolic link names, followed link by link (a dangling one too, so
// the link's target is made); the path itself when it is no link.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    char buf[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0) break;
    const std::string to(buf, static_cast<size_t>(n));
    const size_t slash = path.find_last_of('/');
    path = to[0] == '/' || slash == std::string::npos ? to : path.substr(0, slash + 1) + to;
  }
  return path;
}

}  // namespace

int InjectedFault(DiskStep step) {
  const char* text = getenv("TARVI_DISK_FAULT");
  FaultSeam& seam = Seam();
  std::lock_guard<std::mutex> lock(seam.mu);
  if (!text) {
    seam.spec.clear();
    seam.nth = -1;
    return 0;
  }
  if (seam.spec != text) ParseSpec(seam, text);
  if (seam.nth < 0 || seam.step != step) return 0;
  const long n = ++seam.count[static_cast<int>(step)];
  return seam.nth == 0 || n == seam.nth ? seam.err : 0;
}

bool DiskWrite(int fd, const void* data, size_t n) {
  if (Fail(DiskStep::kWrite)) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return false;
    if (w == 0) return errno = ENOSPC, false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool DiskWriteAt(int fd, const void* data, size_t n, uint64_t offset) {
  if (Fail(DiskStep::kWrite)) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t w = pwrite(fd, p, n, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return false;
    if (w == 0) return errno = ENOSPC, false;
    p += w;
    n -= static_cast<size_t>(w);
    offset += static_cast<uint64_t>(w);
  }
  return true;
}

bool DiskClose(int fd) {
  if (Fail(DiskStep::kClose)) {
    const int err = errno;
    close(fd);
    return errno = err, false;
  }
  return close(fd) == 0;
}

bool DiskSync(int fd) { return !Fail(DiskStep::kSync) && fsync(fd) == 0; }

bool DiskRename(int dirfd, const std::string& from, const std::string& to, bool replace) {
  if (Fail(DiskStep::kRename)) return false;
  if (replace) return renameat(dirfd, from.c_str(), dirfd, to.c_str()) == 0;
  if (renameat2(dirfd, from.c_str(), dirfd, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a hard link fails just as well when the name
  // is taken.
  if (linkat(dirfd, from.c_str(), dirfd, to.c_str(), 0) != 0) return false;
  unlinkat(dirfd, from.c_str(), 0);
  return true;
}

void DiskSyncFolder(int dirfd) { (void)fsync(dirfd); }

bool IsTempName(std::string_view name, pid_t* pid) { return tempname::IsTempName(name, pid); }

int RemoveStaleTempFiles(int dirfd) {
  const int own = dup(dirfd);
  DIR* dir = own < 0 ? nullptr : fdopendir(own);
  if (!dir) {
    if (own >= 0) close(own);
    return 0;
  }
  std::vector<std::string> stale;
  while (dirent* e = readdir(dir)) {
    pid_t pid = 0;
    struct stat st {};
    if (IsTempName(e->d_name, &pid) && fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_uid == geteuid() && ProcessIsGone(pid))
      stale.push_back(e->d_name);
  }
  closedir(dir);
  int removed = 0;
  for (const std::string& name : stale) removed += unlinkat(dirfd, name.c_str(), 0) == 0;
  return removed;
}

bool SafeFile::Create(const std::string& target, mode_t mode) {
  Discard();
  const std::string path = FollowLinks(target);
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  leaf_ = slash == std::string::npos ? path : path.substr(slash + 1);
  const int dirfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd < 0) return false;
  if (!CreateIn(dirfd, mode)) {
    const int err = errno;
    close(dirfd);
    return errno = err, false;
  }
  ownDir_ = true;
  return true;
}

bool SafeFile::CreateIn(int dirfd, mode_t mode) {
  if (fd_ >= 0 || !temp_.empty()) Discard();
  if (FirstVisit(dirfd)) RemoveStaleTempFiles(dirfd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = std::string(kPrefix) + std::to_string(getpid()) + "-" + RandomPart() + std::string(kSuffix);
    const int fd = openat(dirfd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      dirfd_ = dirfd;
      fd_ = fd;
      temp_ = std::move(name);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  errno = EEXIST;
  return false;
}

bool SafeFile::Close() {
  const int fd = std::exchange(fd_, -1);
  return fd < 0 || DiskClose(fd);
}

bool SafeFile::RenameTo(const std::string& leaf, bool replace) {
  bool ok = Close() && DiskRename(dirfd_, temp_, leaf, replace);
  if (!ok) {
    const int err = errno;
    Discard();
    return errno = err, false;
  }
  temp_.clear();
  DiskSyncFolder(dirfd_);
  Discard();
  return true;
}

bool SafeFile::Commit(bool replace) {
  if (!Sync()) {
    const int err = errno;
    Discard();
    return errno = err, false;
  }
  return RenameTo(leaf_, replace);
}

void SafeFile::Discard() {
  const int err = errno;
  if (fd_ >= 0) close(std::exchange(fd_, -1));
  if (!temp_.empty() && dirfd_ >= 0) unlinkat(dirfd_, temp_.c_str(), 0);
  temp_.clear();
  if (ownDir_ && dirfd_ >= 0) close(dirfd_);
  ownDir_ = false;
  dirfd_ = -1;
  errno = err;
}

}  // namespace outside_io
