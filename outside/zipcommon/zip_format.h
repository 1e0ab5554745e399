#pragma once
// The ZIP file format as both libraries read it: little-endian fields, the
// signatures, DOS times, and a reader of an archive's central directory that
// checks every size and offset against the file before anything is used.
//
// The reader keeps a few fixed fields per entry and no names: a name is read
// again from the directory when it is needed, so memory stays bounded by the
// number of entries (at most 65535) whatever the archive holds.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "interfaces/zip_headers.h"

namespace zipcommon {

// The records, signatures, sizes, byte helpers and ReadAt are the format's one
// reader in interfaces/zip_headers.h; these names bring them into the libraries'
// namespace.
using zipfmt::Get16;
using zipfmt::Get32;
using zipfmt::kCentralHeaderSize;
using zipfmt::kEndRecordSize;
using zipfmt::kLocalHeaderSize;
using zipfmt::kSigCentral;
using zipfmt::kSigDescriptor;
using zipfmt::kSigEnd;
using zipfmt::kSigLocal;
using zipfmt::Put16;
using zipfmt::Put32;
using zipfmt::ReadAt;

constexpr size_t kMaxComment = 65535;

constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kMethodAes = 99;  // the WinZip AES marker: its entries carry flag bit 0 too

constexpr uint16_t kFlagEncrypted = 1u << 0;
constexpr uint16_t kFlagDescriptor = 1u << 3;
constexpr uint16_t kFlagStrongEncryption = 1u << 6;
constexpr uint16_t kFlagMaskedHeader = 1u << 13;

// Largest value that a 32-bit size or offset field can hold honestly: 0xFFFFFFFF
// itself means "see the Zip64 record".
constexpr uint64_t kMax32 = 0xFFFFFFFEull;

// DOS date (high half) and time (low half) of a time, in local time, clamped to
// the range the format can hold (1980-01-01 to 2107-12-31).
uint32_t DosDateTime(time_t t);
// The time of a DOS date and time, in local time; fields out of range are clamped.
time_t FromDosDateTime(uint32_t dos);

// A failure with the library error code (ziplib_errors.h) and a text.
struct Problem {
  int code = 0;
  std::string text;
  explicit operator bool() const { return code != 0; }
};

// One entry of the central directory: its central header's fields, and the
// positions worked out from its local header. Positions are absolute in the file.
struct Entry : zipfmt::CentralHeader {
  uint64_t centralPos = 0;  // its central header
  uint64_t headerPos = 0;   // its local header
  uint64_t dataPos = 0;     // its data
  uint64_t dataEnd = 0;     // dataPos + compressedSize
  // Set when the entry cannot be used (bad local header, data outside the archive,
  // overlapping another entry, Zip64 fields): the whole archive stays usable.
  Problem problem;
  bool localNameDiffers = false;
};

struct Directory {
  uint64_t fileSize = 0;
  uint64_t endPos = 0;      // the end-of-central-directory record
  uint64_t centralPos = 0;  // where the central directory really starts
  uint32_t centralSize = 0;
  uint32_t centralOffset = 0;  // as recorded
  uint64_t prefix = 0;         // bytes in front of the archive (centralPos - centralOffset)
  std::string comment;         // the archive comment as stored
  std::vector<Entry> entries;
};

// Reads the directory of the archive open on fd. A Problem is returned for faults
// of the archive as a whole (no end record, Zip64, several disks, a directory
// outside the file or cut short, 4 GiB or more); faults of single entries are
// left in their Entry::problem.
Problem ReadDirectory(int fd, Directory& dir);

// The stored name of an entry, read from its central header.
bool ReadStoredName(int fd, const Entry& e, std::string& name);
// The extra field of an entry's central header.
bool ReadCentralExtra(int fd, const Entry& e, std::string& extra);

}  // namespace zipcommon
