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

#include "interfaces/zip_headers.h"

namespace {

using zipfmt::Get32;

// Every record signature of the format: none of them may stand in a comment,
// where a reader that searches for records would take it for one.
constexpr uint32_t kSignatures[] = {zipfmt::kSigLocal,
                                    zipfmt::kSigCentral,
                                    zipfmt::kSigEnd,
                                    zipfmt::kSigDescriptor,
                                    zipfmt::kSigZip64End,
                                    zipfmt::kSigZip64Locator,
                                    zipfmt::kSigDigitalSignature,
                                    zipfmt::kSigExtraData};
constexpr size_t kLocalSize = zipfmt::kLocalHeaderSize, kCentralSize = zipfmt::kCentralHeaderSize,
                 kEndSize = zipfmt::kEndRecordSize;
constexpr uint16_t kFlagDescriptor = 1u << 3;

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

// The end record: the one signature from which the record and its comment reach
// exactly to the end of the file; the nearest to the end is the only candidate,
// since a comment holding another could not pass. It must describe one entry on
// one disk, hold no record signature in its comment and end the directory.
bool ReadEndRecord(Reader& in, zipfmt::EndRecord& end) {
  const uint64_t size = in.size();
  const size_t tailLen = size_t(std::min<uint64_t>(size, kEndSize + 0xFFFF));
  std::vector<uint8_t> tail(tailLen);
  if (!in.read(size - tailLen, tail.data(), tailLen)) return false;
  size_t at = tailLen;
  for (size_t i = tailLen - kEndSize + 1; i-- > 0;) {
    if (zipfmt::ParseEndRecord(tail.data() + i, tailLen - i, end) && i + kEndSize + end.commentLength == tailLen) {
      at = i;
      break;
    }
  }
  if (at == tailLen) return false;
  const uint64_t endPos = size - tailLen + at;
  if (end.thisDisk != 0 || end.centralDisk != 0 || end.entriesOnDisk != 1 || end.totalEntries != 1) return false;
  if (HoldsSignature(tail.data() + at + kEndSize, end.commentLength)) return false;
  return uint64_t(end.centralOffset) + end.centralSize == endPos;
}

// The one central entry fills the directory exactly and points at the first byte.
bool ReadCentralEntry(Reader& in, const zipfmt::EndRecord& end, zipfmt::CentralHeader& c, std::vector<uint8_t>& name) {
  const uint64_t centralPos = end.centralOffset;
  if (end.centralSize < kCentralSize) return false;
  uint8_t h[kCentralSize];
  if (!in.read(centralPos, h, sizeof h) || !zipfmt::ParseCentralHeader(h, sizeof h, c)) return false;
  if (c.TotalSize() != end.centralSize) return false;
  if (c.diskStart != 0 || c.localOffset != 0) return false;
  if (c.compressedSize == zipfmt::kZip64Marker || c.uncompressedSize == zipfmt::kZip64Marker) return false;
  std::vector<uint8_t> comment(c.commentLength);
  name.resize(c.nameLength);
  if (!in.read(centralPos + kCentralSize, name.data(), c.nameLength) ||
      !in.read(centralPos + kCentralSize + c.nameLength + c.extraLength, comment.data(), c.commentLength))
    return false;
  return !HoldsSignature(comment.data(), comment.size());
}

// Sizes that follow the data: the descriptor, with or without its signature, fills
// what lies between the data and the directory. Its two forms are told apart by
// that length, so a CRC equal to the signature is read as a CRC.
bool DescriptorMatches(Reader& in, uint64_t dataEnd, uint64_t centralPos, const zipfmt::CentralHeader& c) {
  if (centralPos < dataEnd || centralPos - dataEnd > 16) return false;
  uint8_t d[16];
  const size_t dLen = size_t(centralPos - dataEnd);
  if (!in.read(dataEnd, d, dLen)) return false;
  zipfmt::DataDescriptor v;
  if (dLen == 16) {
    if (!zipfmt::ParseDataDescriptor(d, dLen, v) || !v.signature) return false;
  } else if (dLen == 12) {
    v = {false, Get32(d), Get32(d + 4), Get32(d + 8)};
  } else {
    return false;
  }
  return v.crc == c.crc && v.compressedSize == c.compressedSize && v.uncompressedSize == c.uncompressedSize;
}

bool Check(Reader& in) {
  if (in.size() < kLocalSize + kCentralSize + kEndSize) return false;
  zipfmt::EndRecord end;
  zipfmt::CentralHeader c;
  std::vector<uint8_t> centralName;
  if (!ReadEndRecord(in, end) || !ReadCentralEntry(in, end, c, centralName)) return false;
  const uint64_t centralPos = end.centralOffset;

  // The local entry at the first byte says the same of the same file.
  uint8_t h[kLocalSize];
  zipfmt::LocalHeader l;
  if (!in.read(0, h, sizeof h) || !zipfmt::ParseLocalHeader(h, sizeof h, l)) return false;
  if (l.method != c.method || l.nameLength != c.nameLength) return false;
  std::vector<uint8_t> localName(c.nameLength);
  if (!in.read(kLocalSize, localName.data(), c.nameLength) || localName != centralName) return false;
  const bool sameAsCentral =
      l.crc == c.crc && l.compressedSize == c.compressedSize && l.uncompressedSize == c.uncompressedSize;
  const uint64_t dataEnd = l.TotalSize() + uint64_t(c.compressedSize);
  if (!(l.flag & kFlagDescriptor)) return sameAsCentral && dataEnd == centralPos;

  // With sizes after the data the local header holds zeros (or the same values).
  if (!sameAsCentral && (l.crc != 0 || l.compressedSize != 0 || l.uncompressedSize != 0)) return false;
  return DescriptorMatches(in, dataEnd, centralPos, c);
}

}  // namespace

bool IsSingleDocumentZip(const QString& path, int* systemError) {
  if (systemError) *systemError = 0;
  Reader in(path);
  const bool ok = in.ok() && Check(in);
  if (systemError) *systemError = in.error();
  return ok;
}
