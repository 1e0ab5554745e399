#include "platform/replacement_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <string>
#include <utility>

#include "platform/disk_steps.h"
#include "platform/temp_beside.h"

namespace {

constexpr int64_t kWritebackChunk = int64_t(16) << 20;

std::string Native(const QString& path) { return QFile::encodeName(path).toStdString(); }

QString UnableToWrite(const QString& name) { return QStringLiteral("Unable to write %1").arg(name); }

}  // namespace

TReplacementFile::~TReplacementFile() {
  if (!committed_) Discard();
}

bool TReplacementFile::Fail(WriteStep step, const QString& what) {
  errno_ = errno;
  step_ = step;
  error_ = what + ": " + DiskErrorText(errno_);
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
  step_ = WriteStep::None;
  hardLinks_ = hardLinks;
  const QFileInfo given(target);
  // Through a symbolic link: the file it leads to is what changes, in its own
  // folder, and the link itself stays.
  const QString resolved = given.isSymLink() ? given.canonicalFilePath() : QString();
  target_ = resolved.isEmpty() ? given.absoluteFilePath() : resolved;
  if (hardLinks_ == HardLinks::Refuse && HasOtherLinks()) {
    step_ = WriteStep::Create;
    return false;
  }
  const QString folder = QFileInfo(target_).absolutePath();
  // Opened with O_EXCL and mode 0600: nobody else's file is ever written. The
  // name is the one every run leaves only when killed, so the next run finds it.
  fd_ = CreateTempBeside(folder, &tempPath_);
  if (fd_ < 0) return Fail(WriteStep::Create, QStringLiteral("Unable to create a file in %1").arg(folder));
  size_ = 0;
  writebackFrom_ = 0;
  return true;
}

bool TReplacementFile::WriteAt(int64_t offset, const void* data, size_t size) {
  if (fd_ < 0) {
    errno = EBADF;
    return Fail(WriteStep::Write, UnableToWrite(tempPath_));
  }
  if (size > 0 && !DiskWriteAt(fd_, data, size, offset)) return Fail(WriteStep::Write, UnableToWrite(tempPath_));
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
  if (fd_ < 0) errno = EBADF;
  if (fd_ < 0 || ftruncate(fd_, size) != 0) return Fail(WriteStep::Write, UnableToWrite(tempPath_));
  size_ = size;
  return true;
}

bool TReplacementFile::SetModificationTime(const struct timespec& mtime) {
  const struct timespec times[2] = {{0, UTIME_NOW}, mtime};
  if (fd_ < 0) errno = EBADF;
  if (fd_ < 0 || futimens(fd_, times) != 0) return Fail(WriteStep::Write, UnableToWrite(tempPath_));
  return true;
}

mode_t TReplacementFile::CommitMode(bool replace) const {
  if (mode_ >= 0) return mode_t(mode_);
  struct stat st;
  if (replace && stat(Native(target_).c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  // What a newly created file would get.
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// The new file's bits, then its bytes on the device, then the descriptor closed.
bool TReplacementFile::FlushAndClose(bool replace) {
  if (fchmod(fd_, CommitMode(replace)) != 0) return Fail(WriteStep::Write, UnableToWrite(target_));
  if (!DiskSync(fd_)) return Fail(WriteStep::Sync, UnableToWrite(target_));
  if (!DiskClose(std::exchange(fd_, -1))) return Fail(WriteStep::Close, UnableToWrite(target_));
  return true;
}

bool TReplacementFile::RenameIntoPlace(bool replace) {
  // The last look before the rename: the target must still be what was read.
  if (beforeRename_) {
    if (const int err = beforeRename_()) {
      errno = err;
      return Fail(WriteStep::Check, UnableToWrite(target_));
    }
  }
  // Without replace never over a file that appeared meanwhile.
  if (!DiskRename(Native(tempPath_).c_str(), Native(target_).c_str(), replace))
    return Fail(WriteStep::Rename, UnableToWrite(target_));
  committed_ = true;
  DiskSyncFolder(Native(QFileInfo(target_).absolutePath()).c_str());
  return true;
}

bool TReplacementFile::Commit(bool replace) {
  if (fd_ < 0) {
    errno = EBADF;
    return Fail(WriteStep::Close, UnableToWrite(target_));
  }
  // Whichever step fails, the new file goes with it.
  struct DiscardUnlessCommitted {
    TReplacementFile& file;
    ~DiscardUnlessCommitted() {
      if (!file.committed_) file.Discard();
    }
  } guard{*this};
  // A link made meanwhile would be split by the rename as well.
  if (replace && hardLinks_ == HardLinks::Refuse && HasOtherLinks()) {
    step_ = WriteStep::Check;
    return false;
  }
  return FlushAndClose(replace) && RenameIntoPlace(replace);
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
