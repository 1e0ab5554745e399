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
#include "signing/file_utils.h"
#include "signing/progress_window.h"

namespace {

std::string Native(const QString& path) { return QFile::encodeName(path).toStdString(); }

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
