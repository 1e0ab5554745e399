#include "platform/disk_steps.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

DiskFaultHook& Hook() {
  static DiskFaultHook hook;
  return hook;
}

// False (errno set) when the seam fails this step.
bool Allowed(DiskStep step) {
  const DiskFaultHook& hook = Hook();
  if (!hook) return true;
  const int err = hook(step);
  if (err == 0) return true;
  errno = err;
  return false;
}

}  // namespace

bool DiskWrite(int fd, const void* data, size_t n) {
  if (!Allowed(DiskStep::Write)) return false;
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      return false;
    }
    p += w;
    n -= size_t(w);
  }
  return true;
}

bool DiskWriteAt(int fd, const void* data, size_t n, int64_t offset) {
  if (!Allowed(DiskStep::Write)) return false;
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, p, n, off_t(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      return false;
    }
    p += w;
    offset += w;
    n -= size_t(w);
  }
  return true;
}

bool DiskClose(int fd) {
  if (!Allowed(DiskStep::Close)) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return false;
  }
  // Linux releases the descriptor even when close reports an error: never retry.
  return ::close(fd) == 0 || errno == EINTR;
}

bool DiskSync(int fd) { return Allowed(DiskStep::Sync) && ::fsync(fd) == 0; }

bool DiskRename(const char* from, const char* to, bool replace) {
  if (!Allowed(DiskStep::Rename)) return false;
  if (replace) return ::rename(from, to) == 0;
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a hard link fails as well when the name exists.
  if (::link(from, to) != 0) return false;
  ::unlink(from);
  return true;
}

void DiskSyncFolder(const char* folder) {
  const int d = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d < 0) return;
  (void)::fsync(d);
  ::close(d);
}

QString DiskErrorText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

DiskFaultHook SetDiskFaultHook(DiskFaultHook hook) { return std::exchange(Hook(), std::move(hook)); }
