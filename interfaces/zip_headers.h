#pragma once
// The fixed records of the ZIP format, read from bytes with every length checked:
// the local header, the central header, the end-of-central-directory record, the
// data descriptor and the two Zip64 records. The program's ZIP component, its
// spanning, the payload check of a signed container and the two ZIP libraries all
// read the format through these, so a field is found at one offset in one place.
//
// A parser takes the bytes it was given and their count; it answers false when
// they are too few or the record's signature is not there, and never reads past
// the count. What a record's lengths mean for the rest of the file (names, extra
// fields, data) is the caller's to check against what the file holds.
#include <array>
#include <cstddef>
#include <cstdint>

namespace zipfmt {

constexpr uint32_t kSigLocal = 0x04034b50;
constexpr uint32_t kSigCentral = 0x02014b50;
constexpr uint32_t kSigEnd = 0x06054b50;
// The data descriptor's optional signature; a spanned archive's first part also
// starts with it, as the span marker.
constexpr uint32_t kSigDescriptor = 0x08074b50;
constexpr uint32_t kSigZip64Locator = 0x07064b50;
constexpr uint32_t kSigZip64End = 0x06064b50;
constexpr uint32_t kSigDigitalSignature = 0x05054b50;
constexpr uint32_t kSigExtraData = 0x08064b50;

constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kDescriptorSize = 12;  // without the optional signature
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndSize = 56;  // without the extensible data

// A 32-bit size or offset of all ones stands for the Zip64 record's value.
constexpr uint32_t kZip64Marker = 0xFFFFFFFFu;

// The format's CRC-32 (reflected, polynomial 0xEDB88320), byte by byte: the
// traditional encryption's keys and the Unicode path field's check run it on
// their own, where zlib's whole-buffer form does not fit.
inline constexpr std::array<uint32_t, 256> kCrc32Table = [] {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}();
inline uint32_t Crc32Byte(uint32_t crc, uint8_t b) { return kCrc32Table[(crc ^ b) & 0xFF] ^ (crc >> 8); }

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Get64(const uint8_t* p) {
  return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct LocalHeader {
  uint16_t neededVersion = 0;
  uint16_t flag = 0;
  uint16_t method = 0;
  uint32_t dosTime = 0;
  uint32_t crc = 0;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
  uint16_t nameLength = 0;
  uint16_t extraLength = 0;
  // The header with its name and extra field: where the entry's data start.
  uint64_t TotalSize() const { return kLocalHeaderSize + nameLength + extraLength; }
};

struct CentralHeader {
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
  // The header with its name, extra field and comment: where the next one starts.
  uint64_t TotalSize() const { return kCentralHeaderSize + nameLength + extraLength + commentLength; }
};

struct EndRecord {
  uint16_t thisDisk = 0;
  uint16_t centralDisk = 0;
  uint16_t entriesOnDisk = 0;
  uint16_t totalEntries = 0;
  uint32_t centralSize = 0;
  uint32_t centralOffset = 0;
  uint16_t commentLength = 0;
};

struct DataDescriptor {
  bool signature = false;  // whether the record starts with kSigDescriptor
  uint32_t crc = 0;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
  size_t Size() const { return kDescriptorSize + (signature ? 4 : 0); }
};

struct Zip64Locator {
  uint32_t endDisk = 0;    // the disk that holds the Zip64 end record
  uint64_t endOffset = 0;  // where that record starts
  uint32_t totalDisks = 0;
};

struct Zip64End {
  uint64_t recordSize = 0;  // the record's size after this field
  uint16_t madeBy = 0;
  uint16_t neededVersion = 0;
  uint32_t thisDisk = 0;
  uint32_t centralDisk = 0;
  uint64_t entriesOnDisk = 0;
  uint64_t totalEntries = 0;
  uint64_t centralSize = 0;
  uint64_t centralOffset = 0;
};

// Each parser reads the record that starts at p, of which n bytes are at hand.
bool ParseLocalHeader(const uint8_t* p, size_t n, LocalHeader& out);
bool ParseCentralHeader(const uint8_t* p, size_t n, CentralHeader& out);
bool ParseEndRecord(const uint8_t* p, size_t n, EndRecord& out);
// A descriptor with or without its signature: one that starts with the signature
// is taken as signed (the ambiguity of a CRC equal to the signature is the
// format's; readers that know the sizes check both forms).
bool ParseDataDescriptor(const uint8_t* p, size_t n, DataDescriptor& out);
bool ParseZip64Locator(const uint8_t* p, size_t n, Zip64Locator& out);
bool ParseZip64End(const uint8_t* p, size_t n, Zip64End& out);

// Reads exactly n bytes at offset off of the file open on fd (a read cut short by
// a signal is resumed); false on an error or when the file ends first.
bool ReadAt(int fd, void* buf, size_t n, uint64_t off);

}  // namespace zipfmt
