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

namespace zipcommon {

constexpr uint32_t kSigLocal = 0x04034b50;
constexpr uint32_t kSigCentral = 0x02014b50;
constexpr uint32_t kSigEnd = 0x06054b50;
constexpr uint32_t kSigDescriptor = 0x08074b50;
constexpr uint32_t kSigZip64Locator = 0x07064b50;
constexpr uint32_t kSigZip64End = 0x06064b50;

constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndRecordSize = 22;
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

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

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

// One entry of the central directory, with the positions worked out from its
// local header. Positions are absolute in the file.
struct Entry {
  uint8_t madeByVersion = 0;
  uint8_t hostSystem = 0;
  uint16_t neededVersion = 0;
  uint16_t flag = 0;
  uint16_t method = 0;
  uint32_t dosTime = 0;
  uint32_t crc = 0;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
  uint16_t nameLength = 0;
  uint16_t extraLength = 0;
  uint16_t commentLength = 0;
  uint16_t diskStart = 0;
  uint16_t internalAttributes = 0;
  uint32_t externalAttributes = 0;
  uint32_t localOffset = 0;

  uint64_t centralPos = 0;  // its central header
  uint64_t headerPos = 0;   // its local header
  uint64_t dataPos = 0;     // its data
  uint64_t dataEnd = 0;     // dataPos + compressedSize
  // Set when the entry cannot be used (bad local header, data outside the archive,
  // overlapping another entry, Zip64 fields): the whole archive stays usable.
  Problem problem;
  bool localNameDiffers = false;

  uint64_t CentralRecordSize() const { return kCentralHeaderSize + nameLength + extraLength + commentLength; }
};

struct Directory {
  uint64_t fileSize = 0;
  uint64_t endPos = 0;       // the end-of-central-directory record
  uint64_t centralPos = 0;   // where the central directory really starts
  uint32_t centralSize = 0;
  uint32_t centralOffset = 0;  // as recorded
  uint64_t prefix = 0;       // bytes in front of the archive (centralPos - centralOffset)
  std::string comment;       // the archive comment as stored
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

// Reads exactly n bytes at off; false on a short read or an error.
bool ReadAt(int fd, void* buf, size_t n, uint64_t off);

}  // namespace zipcommon
