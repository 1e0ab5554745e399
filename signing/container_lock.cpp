#include "signing/container_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Errors of a file system that keeps no locks: its files are still read and
// checked, only not locked.
bool NoLocksHere(int err) { return err == ENOLCK || err == EOPNOTSUPP || err == EINVAL || err == ENOSYS; }

}  // namespace

bool TContainerLock::Acquire(const QString& path, int waitMs) {
  Release();
  error_ = 0;
  const QByteArray native = QFile::encodeName(path);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    // O_NONBLOCK: a fifo in a container's place must not hang the open.
    const int fd = open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      error_ = errno;
      return false;
    }
    bool locked = false;
    while (!locked) {
      const int err = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
      if (err == 0 || NoLocksHere(err)) {
        locked = true;
      } else if (err == EWOULDBLOCK && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      } else if (err != EINTR) {
        error_ = err;
        close(fd);
        return false;
      }
    }
    // The writer before us may have renamed a new file into place while we
    // waited: the lock then holds a file that no longer has the name.
    struct stat held, named;
    if (fstat(fd, &held) != 0 || stat(native.constData(), &named) != 0) {
      error_ = errno;
      close(fd);
      return false;
    }
    if (!SameFile(held, named)) {
      close(fd);
      if (std::chrono::steady_clock::now() >= deadline) {
        error_ = EWOULDBLOCK;
        return false;
      }
      continue;
    }
    fd_ = fd;
    path_ = path;
    dev_ = held.st_dev;
    ino_ = held.st_ino;
    size_ = held.st_size;
    mtime_ = held.st_mtim;
    return true;
  }
}

int TContainerLock::Changed() const {
  if (fd_ < 0) return error_ != 0 ? error_ : EWOULDBLOCK;
  struct stat st;
  if (stat(QFile::encodeName(path_).constData(), &st) != 0) return errno;
  if (st.st_dev != dev_ || st.st_ino != ino_ || st.st_size != size_ || st.st_mtim.tv_sec != mtime_.tv_sec ||
      st.st_mtim.tv_nsec != mtime_.tv_nsec)
    return EWOULDBLOCK;
  return 0;
}

void TContainerLock::Release() {
  if (fd_ >= 0) close(fd_);  // the lock goes with the last descriptor of the open file
  fd_ = -1;
  path_.clear();
}
