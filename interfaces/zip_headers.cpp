#include "interfaces/zip_headers.h"

#include <unistd.h>

#include <cerrno>

namespace zipfmt {

bool ParseLocalHeader(const uint8_t* p, size_t n, LocalHeader& out) {
  if (n < kLocalHeaderSize || Get32(p) != kSigLocal) return false;
  out.neededVersion = Get16(p + 4);
  out.flag = Get16(p + 6);
  out.method = Get16(p + 8);
  out.dosTime = Get32(p + 10);
  out.crc = Get32(p + 14);
  out.compressedSize = Get32(p + 18);
  out.uncompressedSize = Get32(p + 22);
  out.nameLength = Get16(p + 26);
  out.extraLength = Get16(p + 28);
  return true;
}

bool ParseCentralHeader(const uint8_t* p, size_t n, CentralHeader& out) {
  if (n < kCentralHeaderSize || Get32(p) != kSigCentral) return false;
  out.madeByVersion = p[4];
  out.hostSystem = p[5];
  out.neededVersion = Get16(p + 6);
  out.flag = Get16(p + 8);
  out.method = Get16(p + 10);
  out.dosTime = Get32(p + 12);
  out.crc = Get32(p + 16);
  out.compressedSize = Get32(p + 20);
  out.uncompressedSize = Get32(p + 24);
  out.nameLength = Get16(p + 28);
  out.extraLength = Get16(p + 30);
  out.commentLength = Get16(p + 32);
  out.diskStart = Get16(p + 34);
  out.internalAttributes = Get16(p + 36);
  out.externalAttributes = Get32(p + 38);
  out.localOffset = Get32(p + 42);
  return true;
}

bool ParseEndRecord(const uint8_t* p, size_t n, EndRecord& out) {
  if (n < kEndRecordSize || Get32(p) != kSigEnd) return false;
  out.thisDisk = Get16(p + 4);
  out.centralDisk = Get16(p + 6);
  out.entriesOnDisk = Get16(p + 8);
  out.totalEntries = Get16(p + 10);
  out.centralSize = Get32(p + 12);
  out.centralOffset = Get32(p + 16);
  out.commentLength = Get16(p + 20);
  return true;
}

bool ParseDataDescriptor(const uint8_t* p, size_t n, DataDescriptor& out) {
  out.signature = n >= 4 && Get32(p) == kSigDescriptor;
  const size_t skip = out.signature ? 4 : 0;
  if (n < skip + kDescriptorSize) return false;
  out.crc = Get32(p + skip);
  out.compressedSize = Get32(p + skip + 4);
  out.uncompressedSize = Get32(p + skip + 8);
  return true;
}

bool ParseZip64Locator(const uint8_t* p, size_t n, Zip64Locator& out) {
  if (n < kZip64LocatorSize || Get32(p) != kSigZip64Locator) return false;
  out.endDisk = Get32(p + 4);
  out.endOffset = Get64(p + 8);
  out.totalDisks = Get32(p + 16);
  return true;
}

bool ParseZip64End(const uint8_t* p, size_t n, Zip64End& out) {
  if (n < kZip64EndSize || Get32(p) != kSigZip64End) return false;
  out.recordSize = Get64(p + 4);
  out.madeBy = Get16(p + 12);
  out.neededVersion = Get16(p + 14);
  out.thisDisk = Get32(p + 16);
  out.centralDisk = Get32(p + 20);
  out.entriesOnDisk = Get64(p + 24);
  out.totalEntries = Get64(p + 32);
  out.centralSize = Get64(p + 40);
  out.centralOffset = Get64(p + 48);
  return true;
}

bool ReadAt(int fd, void* buf, size_t n, uint64_t off) {
  auto* p = static_cast<uint8_t*>(buf);
  while (n > 0) {
    const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(off));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
    off += static_cast<uint64_t>(got);
  }
  return true;
}

}  // namespace zipfmt
