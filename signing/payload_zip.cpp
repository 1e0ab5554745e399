#include "signing/payload_zip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kSigLocal = 0x04034b50;
constexpr uint32_t kSigCentral = 0x02014b50;
constexpr uint32_t kSigEnd = 0x06054b50;
constexpr uint32_t kSigDescriptor = 0x08074b50;
// Every record signature of the format: none of them may stand in a comment,
// where a reader that searches for records would take it for one.
constexpr uint32_t kSignatures[] = {kSigLocal,  kSigCentral, kSigEnd,    kSigDescriptor,
                                    0x06064b50 /* Zip64 end */, 0x07064b50 /* Zip64 locator */,
                                    0x05054b50 /* digital signature */, 0x08064b50 /* extra data record */};
constexpr size_t kLocalSize = 30, kCentralSize = 46, kEndSize = 22;
constexpr uint16_t kFlagDescriptor = 1u << 3;
constexpr uint32_t kZip64Marker = 0xFFFFFFFFu;

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

bool HoldsSignature(const uint8_t* p, size_t n) {
  for (size_t i = 0; i + 4 <= n; ++i)
    if (p[i] == 'P' && p[i + 1] == 'K')
      for (uint32_t sig : kSignatures)
        if (Get32(p + i) == sig) return true;
  return false;
}

class Reader {
 public:
  explicit Reader(const QString& path) : fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC)) {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) {
      error_ = errno;
      return;
    }
    size_ = uint64_t(st.st_size);
  }
  ~Reader() {
    if (fd_ >= 0) ::close(fd_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  bool ok() const { return error_ == 0; }
  int error() const { return error_; }
  uint64_t size() const { return size_; }
  // Exactly n bytes at offset, all inside the file; false otherwise (a read error
  // is kept for the caller).
  bool read(uint64_t offset, void* buf, size_t n) {
    if (error_ != 0 || offset > size_ || n > size_ - offset) return false;
    auto* p = static_cast<uint8_t*>(buf);
    while (n > 0) {
      const ssize_t got = ::pread(fd_, p, n, off_t(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        error_ = got < 0 ? errno : EIO;
        return false;
      }
      p += got;
      offset += uint64_t(got);
      n -= size_t(got);
    }
    return true;
  }

 private:
  int fd_;
  int error_ = 0;
  uint64_t size_ = 0;
};

bool Check(Reader& in) {
  const uint64_t size = in.size();
  if (size < kLocalSize + kCentralSize + kEndSize) return false;

  // The end record: the one signature from which the record and its comment reach
  // exactly to the end of the file; the nearest to the end is the only candidate,
  // since a comment holding another could not pass.
  const size_t tailLen = size_t(std::min<uint64_t>(size, kEndSize + 0xFFFF));
  std::vector<uint8_t> tail(tailLen);
  if (!in.read(size - tailLen, tail.data(), tailLen)) return false;
  size_t end = tailLen;
  for (size_t i = tailLen - kEndSize + 1; i-- > 0;) {
    if (Get32(tail.data() + i) == kSigEnd && i + kEndSize + Get16(tail.data() + i + 20) == tailLen) {
      end = i;
      break;
    }
  }
  if (end == tailLen) return false;
  const uint8_t* e = tail.data() + end;
  const uint64_t endPos = size - tailLen + end;
  if (Get16(e + 4) != 0 || Get16(e + 6) != 0 || Get16(e + 8) != 1 || Get16(e + 10) != 1) return false;
  if (HoldsSignature(e + kEndSize, Get16(e + 20))) return false;
  const uint64_t centralSize = Get32(e + 12), centralPos = Get32(e + 16);
  if (centralPos + centralSize != endPos) return false;

  // The one central entry fills the directory exactly and points at the first byte.
  if (centralSize < kCentralSize) return false;
  uint8_t c[kCentralSize];
  if (!in.read(centralPos, c, sizeof c) || Get32(c) != kSigCentral) return false;
  const size_t nameLen = Get16(c + 28), extraLen = Get16(c + 30), commentLen = Get16(c + 32);
  if (kCentralSize + nameLen + extraLen + commentLen != centralSize) return false;
  if (Get16(c + 34) != 0 || Get32(c + 42) != 0) return false;
  const uint16_t method = Get16(c + 10);
  const uint32_t crc = Get32(c + 16), packed = Get32(c + 20), unpacked = Get32(c + 24);
  if (packed == kZip64Marker || unpacked == kZip64Marker) return false;
  std::vector<uint8_t> centralName(nameLen), comment(commentLen);
  if (!in.read(centralPos + kCentralSize, centralName.data(), nameLen) ||
      !in.read(centralPos + kCentralSize + nameLen + extraLen, comment.data(), commentLen))
    return false;
  if (HoldsSignature(comment.data(), comment.size())) return false;

  // The local entry at the first byte says the same of the same file.
  uint8_t l[kLocalSize];
  if (!in.read(0, l, sizeof l) || Get32(l) != kSigLocal) return false;
  const uint16_t flags = Get16(l + 6);
  if (Get16(l + 8) != method || Get16(l + 26) != nameLen) return false;
  std::vector<uint8_t> localName(nameLen);
  if (!in.read(kLocalSize, localName.data(), nameLen) || localName != centralName) return false;
  const uint32_t lcrc = Get32(l + 14), lpacked = Get32(l + 18), lunpacked = Get32(l + 22);
  const bool sameAsCentral = lcrc == crc && lpacked == packed && lunpacked == unpacked;
  const uint64_t dataEnd = kLocalSize + nameLen + Get16(l + 28) + uint64_t(packed);
  if (!(flags & kFlagDescriptor)) return sameAsCentral && dataEnd == centralPos;

  // Sizes that follow the data: zeros (or the same values) in the local header,
  // then the descriptor, with or without its signature, up to the directory.
  if (!sameAsCentral && (lcrc != 0 || lpacked != 0 || lunpacked != 0)) return false;
  if (centralPos < dataEnd || centralPos - dataEnd > 16) return false;
  uint8_t d[16];
  const size_t dLen = size_t(centralPos - dataEnd);
  if (!in.read(dataEnd, d, dLen)) return false;
  const uint8_t* v = dLen == 16 && Get32(d) == kSigDescriptor ? d + 4 : dLen == 12 ? d : nullptr;
  return v && Get32(v) == crc && Get32(v + 4) == packed && Get32(v + 8) == unpacked;
}

}  // namespace

bool IsSingleDocumentZip(const QString& path, int* systemError) {
  if (systemError) *systemError = 0;
  Reader in(path);
  const bool ok = in.ok() && Check(in);
  if (systemError) *systemError = in.error();
  return ok;
}
