#include "signing/replacement_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/disk_steps.h"
#include "platform/temp_beside.h"
#include "signing/file_utils.h"
#include "signing/progress_window.h"

namespace {

constexpr int64_t kWritebackChunk = int64_t(16) << 20;

std::string Native(const QString& path) { return QFile::encodeName(path).toStdString(); }

QString ErrnoText(int e) { return DiskErrorText(e); }

void SyncFolder(const QString& folder) { DiskSyncFolder(Native(folder).c_str()); }

constexpr size_t kWorkBuffer = size_t(1) << 20;

// Gathers data into buffer and hands each full MiB of it to flush (which empties
// the buffer or throws), so the disk sees few, large writes: each write costs the
// file system far more than its bytes do at 64 KiB.
template <typename Flush>
void BufferedWrite(std::vector<uint8_t>& buffer, const void* data, size_t size, Flush flush) {
  constexpr size_t kBuffer = kWorkBuffer;
  if (buffer.capacity() < kBuffer) buffer.reserve(kBuffer);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const size_t k = std::min(size, kBuffer - buffer.size());
    buffer.insert(buffer.end(), p, p + k);
    p += k;
    size -= k;
    if (buffer.size() == kBuffer) flush();
  }
}

}  // namespace

TReplacementFile::~TReplacementFile() {
  if (!committed_) Discard();
}

bool TReplacementFile::Fail(const QString& what) {
  errno_ = errno;
  error_ = what + ": " + ErrnoText(errno_);
  return false;
}

bool TReplacementFile::HasOtherLinks() {
  struct stat st;
  if (lstat(Native(target_).c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink <= 1) return false;
  error_ = kMsgHardLinkedFile.arg(target_).arg(qulonglong(st.st_nlink));
  return true;
}

bool TReplacementFile::Create(const QString& target, HardLinks hardLinks) {
  Discard();
  committed_ = false;
  errno_ = 0;
  hardLinks_ = hardLinks;
  const QFileInfo given(target);
  // Through a symbolic link: the file it leads to is what changes, in its own
  // folder, and the link itself stays.
  const QString resolved = given.isSymLink() ? given.canonicalFilePath() : QString();
  target_ = resolved.isEmpty() ? given.absoluteFilePath() : resolved;
  if (hardLinks_ == HardLinks::Refuse && HasOtherLinks()) return false;
  const QString folder = QFileInfo(target_).absolutePath();
  // Opened with O_EXCL and mode 0600: nobody else's file is ever written. The
  // name is the one every run leaves only when killed, so the next run finds it.
  fd_ = CreateTempBeside(folder, &tempPath_);
  if (fd_ < 0) return Fail(QStringLiteral("Unable to create a file in %1").arg(folder));
  size_ = 0;
  writebackFrom_ = 0;
  return true;
}

bool TReplacementFile::WriteAt(int64_t offset, const void* data, size_t size) {
  if (fd_ < 0) {
    errno = EBADF;
    return Fail(QStringLiteral("Unable to write %1").arg(tempPath_));
  }
  if (size > 0 && !DiskWriteAt(fd_, data, size, offset)) return Fail(QStringLiteral("Unable to write %1").arg(tempPath_));
  offset += int64_t(size);
  // Start writing a large file out while the rest is still being made, so the
  // flush before the rename finds little left to do.
  if (offset >= writebackFrom_ + kWritebackChunk) {
    sync_file_range(fd_, writebackFrom_, offset - writebackFrom_, SYNC_FILE_RANGE_WRITE);
    writebackFrom_ = offset;
  }
  return true;
}

bool TReplacementFile::Write(const void* data, size_t size) {
  if (!WriteAt(size_, data, size)) return false;
  size_ += int64_t(size);
  return true;
}

int64_t TReplacementFile::ReadAt(int64_t offset, void* data, size_t size) {
  if (fd_ < 0) return -1;
  size_t total = 0;
  while (total < size) {
    ssize_t n = pread(fd_, static_cast<char*>(data) + total, size - total, offset + int64_t(total));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    total += size_t(n);
  }
  return int64_t(total);
}

bool TReplacementFile::Truncate(int64_t size) {
  if (fd_ < 0 || ftruncate(fd_, size) != 0) return Fail(QStringLiteral("Unable to write %1").arg(tempPath_));
  size_ = size;
  return true;
}

bool TReplacementFile::Commit(bool replace) {
  if (fd_ < 0) {
    errno = EBADF;
    return Fail(QStringLiteral("Unable to write %1").arg(target_));
  }
  const std::string temp = Native(tempPath_), target = Native(target_);
  mode_t mode = 0666;
  struct stat st;
  if (replace && stat(target.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    // What a newly created file would get.
    mode_t mask = umask(0);
    umask(mask);
    mode &= ~mask;
  }
  // A link made meanwhile would be split by the rename as well.
  if (replace && hardLinks_ == HardLinks::Refuse && HasOtherLinks()) {
    Discard();
    return false;
  }
  if (fchmod(fd_, mode) != 0 || !DiskSync(fd_)) {
    Fail(QStringLiteral("Unable to write %1").arg(target_));
    Discard();
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (!DiskClose(fd)) {
    Fail(QStringLiteral("Unable to write %1").arg(target_));
    Discard();
    return false;
  }
  // The last look before the rename: the target must still be what was read.
  if (beforeRename_) {
    if (const int err = beforeRename_()) {
      errno = err;
      Fail(QStringLiteral("Unable to write %1").arg(target_));
      Discard();
      return false;
    }
  }
  // Without replace never over a file that appeared meanwhile.
  if (!DiskRename(temp.c_str(), target.c_str(), replace)) {
    Fail(QStringLiteral("Unable to write %1").arg(target_));
    Discard();
    return false;
  }
  committed_ = true;
  SyncFolder(QFileInfo(target_).absolutePath());
  return true;
}

void TReplacementFile::Discard() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  if (!tempPath_.isEmpty() && !committed_) unlink(Native(tempPath_).c_str());
  tempPath_.clear();
  size_ = 0;
}

void ReplacementFileSink::Write(const void* data, size_t size) {
  BufferedWrite(buffer_, data, size, [this] { Finish(); });
}

void ReplacementFileSink::Finish() {
  if (buffer_.empty()) return;
  const bool ok = out_.Write(buffer_.data(), buffer_.size());
  buffer_.clear();
  if (!ok) throw EWriteError();
}

TWorkFileSink::~TWorkFileSink() {
  if (fd_ >= 0) ::close(fd_);
}

bool TWorkFileSink::Open(const QString& path) {
  if (fd_ >= 0) ::close(fd_);
  buffer_.clear();
  fd_ = ::open(Native(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  errno_ = fd_ < 0 ? errno : 0;
  return fd_ >= 0;
}

bool TWorkFileSink::Drain() {
  if (fd_ < 0) {
    if (errno_ == 0) errno_ = EBADF;
    return false;
  }
  if (!buffer_.empty() && !DiskWrite(fd_, buffer_.data(), buffer_.size())) {
    errno_ = errno;
    return false;
  }
  buffer_.clear();
  return true;
}

void TWorkFileSink::Write(const void* data, size_t size) {
  // A piece of 64 KiB or more goes to the file as it is, after what the buffer
  // holds: the same bytes in the same order, with one copy fewer. Steps of 1 MiB:
  // single writes of several MiB were measured to fill the page cache slower, and
  // less evenly.
  if (size >= size_t(1) << 16) {
    if (!Drain()) throw EWriteError();
    constexpr size_t kStep = size_t(1) << 20;
    for (const uint8_t* p = static_cast<const uint8_t*>(data); size > 0;) {
      const size_t k = std::min(size, kStep);
      if (!DiskWrite(fd_, p, k)) {
        errno_ = errno;
        throw EWriteError();
      }
      p += k;
      size -= k;
    }
    return;
  }
  BufferedWrite(buffer_, data, size, [this] {
    if (!Drain()) throw EWriteError();
  });
}

bool TWorkFileSink::Close() {
  const bool drained = Drain();
  if (fd_ < 0) return false;
  const int fd = fd_;
  fd_ = -1;
  if (!DiskClose(fd)) {
    if (drained) errno_ = errno;
    return false;
  }
  return drained;
}

int DiskErrorInMessage(const QString& message) {
  // The ZIP libraries word the reason with the C library's own text, not the
  // program's Croatian one: that is the text to look for.
  for (int e : {ENOSPC, EDQUOT, EIO, EROFS, EFBIG, ENXIO})
    if (message.contains(QString::fromLocal8Bit(std::strerror(e)))) return e;
  return 0;
}

int64_t SgnCopyingSource::readAt(int64_t offset, void* buf, size_t n) {
  int64_t got = inner_.readAt(offset, buf, n);
  if (got > 0 && copy_) {
    if (!copy_->WriteAt(offset, buf, size_t(got))) {
      writeFailed_ = true;
      return -1;
    }
  }
  if (got > 0 && offset + got > covered_) covered_ = offset + got;
  if (got >= 0 && progress_) progress_(offset + got, total_);
  return got;
}

void ShowProgress64(int64_t position, int64_t maximum, const QString& description, const QString& caption) {
  while (maximum > std::numeric_limits<int32_t>::max()) {
    maximum >>= 1;
    position >>= 1;
  }
  if (position > maximum) position = maximum;
  ShowProgress(int32_t(position), int32_t(maximum), description, caption);
}

QString CreatePrivateWorkFolder(const QString& prefix) {
  std::string pattern = Native(GetTempDirectory() + prefix) + "XXXXXX";
  if (!mkdtemp(pattern.data())) return QString();
  return QFile::decodeName(pattern.c_str());
}

void TWorkFolder::remove() {
  if (!path.isEmpty()) QDir(path).removeRecursively();
  path.clear();
}
