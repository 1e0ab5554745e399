#include "zip_format.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <numeric>

#include "interfaces/ziplib_errors.h"

namespace zipcommon {

namespace {

Problem Fail(int code, std::string text) { return Problem{code, std::move(text)}; }

// Sequential reads over one range of the file through a fixed buffer.
class RangeReader {
 public:
  RangeReader(int fd, uint64_t pos, uint64_t end) : fd_(fd), pos_(pos), end_(end) {}
  // The next n bytes (n <= kBuffer), or null when the range or the file ends first.
  const uint8_t* Next(size_t n) {
    if (n > end_ - pos_) return nullptr;
    if (avail_ < n) {
      std::memmove(buf_, buf_ + at_, avail_);
      at_ = 0;
      size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof buf_ - avail_, end_ - (pos_ + avail_)));
      if (want > 0 && !ReadAt(fd_, buf_ + avail_, want, pos_ + avail_)) return nullptr;
      avail_ += want;
      if (avail_ < n) return nullptr;
    }
    const uint8_t* p = buf_ + at_;
    at_ += n;
    avail_ -= n;
    pos_ += n;
    return p;
  }
  // Skips n bytes; false when the range ends first.
  bool Skip(uint64_t n) {
    if (n > end_ - pos_) return false;
    if (n <= avail_) {
      at_ += static_cast<size_t>(n);
      avail_ -= static_cast<size_t>(n);
    } else {
      at_ = 0;
      avail_ = 0;
    }
    pos_ += n;
    return true;
  }
  uint64_t Pos() const { return pos_; }

 private:
  int fd_;
  uint64_t pos_;
  uint64_t end_;
  uint8_t buf_[65536];
  size_t at_ = 0;
  size_t avail_ = 0;
};

Problem FindEndRecord(int fd, Directory& dir, uint8_t (&rec)[kEndRecordSize]) {
  const uint64_t size = dir.fileSize;
  if (size < kEndRecordSize) return Fail(ZIPERR_BAD_DATA, "not a ZIP archive (too short)");
  const size_t n = static_cast<size_t>(std::min<uint64_t>(size, kEndRecordSize + kMaxComment));
  std::vector<uint8_t> tail(n);
  if (!ReadAt(fd, tail.data(), n, size - n)) return Fail(ZIPERR_READ, "cannot read the end of the archive");
  // The record nearest the end whose comment lies inside the file; failing that,
  // the nearest one with its comment cut to the bytes that exist (as the ZIP
  // component reads it, so both see the same directory).
  size_t at = SIZE_MAX, anyAt = SIZE_MAX;
  for (size_t i = n - kEndRecordSize + 1; i-- > 0;) {
    const uint8_t* p = tail.data() + i;
    if (Get32(p) != kSigEnd) continue;
    if (anyAt == SIZE_MAX) anyAt = i;
    if (i + kEndRecordSize + Get16(p + 20) <= n) {
      at = i;
      break;
    }
  }
  if (at == SIZE_MAX) at = anyAt;
  if (at == SIZE_MAX) return Fail(ZIPERR_BAD_DATA, "not a ZIP archive (no end of central directory record)");
  const uint8_t* p = tail.data() + at;
  std::memcpy(rec, p, kEndRecordSize);
  dir.endPos = size - n + at;
  const size_t commentLen = std::min<size_t>(Get16(p + 20), n - at - kEndRecordSize);
  dir.comment.assign(reinterpret_cast<const char*>(p + kEndRecordSize), commentLen);
  return {};
}

// A Zip64 end record and its locator in front of the end record are accepted
// only when they say exactly what the 32-bit record says: a single disk, the same
// entry count, directory size and offset (zip writes such a pair for an archive
// made from a pipe, whose size it cannot know in advance). Anything else needs
// Zip64, which is refused. centralEnd becomes the start of the Zip64 record.
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndSize = 56;

Problem CheckZip64Tail(int fd, const Directory& dir, uint16_t total, uint64_t& centralEnd) {
  if (dir.endPos < kZip64LocatorSize) return {};
  uint8_t loc[kZip64LocatorSize];
  if (!ReadAt(fd, loc, sizeof loc, dir.endPos - kZip64LocatorSize) || Get32(loc) != kSigZip64Locator) return {};
  const Problem unsupported = Fail(ZIPERR_UNSUPPORTED, "Zip64 archive (not supported)");
  if (dir.endPos < kZip64LocatorSize + kZip64EndSize) return unsupported;
  const uint64_t recordPos = dir.endPos - kZip64LocatorSize - kZip64EndSize;
  uint8_t z[kZip64EndSize];
  if (!ReadAt(fd, z, sizeof z, recordPos) || Get32(z) != kSigZip64End) return unsupported;
  auto get64 = [](const uint8_t* p) { return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32); };
  const bool agrees = get64(z + 4) == kZip64EndSize - 12 && Get32(z + 16) == 0 && Get32(z + 20) == 0 &&
                      get64(z + 24) == total && get64(z + 32) == total && get64(z + 40) == dir.centralSize &&
                      get64(z + 48) == dir.centralOffset && Get32(loc + 4) == 0 && Get32(loc + 16) == 1 &&
                      dir.centralSize <= recordPos &&
                      get64(loc + 8) + (recordPos - dir.centralSize - dir.centralOffset) == recordPos;
  if (!agrees || dir.centralOffset > recordPos - dir.centralSize) return unsupported;
  centralEnd = recordPos;
  return {};
}

// Reads the local header of e and works out where its data lies.
void ReadLocalHeader(int fd, const Directory& dir, Entry& e) {
  e.headerPos = dir.prefix + e.localOffset;
  if (e.headerPos + kLocalHeaderSize > dir.centralPos) {
    e.problem = Fail(ZIPERR_BAD_DATA, "local header outside the archive");
    return;
  }
  uint8_t h[kLocalHeaderSize];
  if (!ReadAt(fd, h, sizeof h, e.headerPos)) {
    e.problem = Fail(ZIPERR_READ, "cannot read a local header");
    return;
  }
  if (Get32(h) != kSigLocal) {
    e.problem = Fail(ZIPERR_BAD_DATA, "bad local header signature");
    return;
  }
  const uint16_t method = Get16(h + 8);
  const uint16_t flag = Get16(h + 6);
  if (method != e.method || (flag & kFlagEncrypted) != (e.flag & kFlagEncrypted)) {
    e.problem = Fail(ZIPERR_BAD_DATA, "local header does not match the central directory");
    return;
  }
  const uint16_t nameLen = Get16(h + 26);
  const uint16_t extraLen = Get16(h + 28);
  e.dataPos = e.headerPos + kLocalHeaderSize + nameLen + extraLen;
  e.dataEnd = e.dataPos + e.compressedSize;
  if (e.dataEnd > dir.centralPos) {
    e.problem = Fail(ZIPERR_BAD_DATA, "entry data outside the archive");
    return;
  }
  if (nameLen != e.nameLength) {
    e.localNameDiffers = true;
  } else if (nameLen > 0) {
    std::string local(nameLen, '\0'), central;
    if (ReadAt(fd, local.data(), nameLen, e.headerPos + kLocalHeaderSize) && ReadStoredName(fd, e, central))
      e.localNameDiffers = local != central;
  }
}

// Entries whose byte ranges (local header through data) overlap another entry's
// are refused: one stored range extracted as several files is the shape of a
// ZIP bomb, and no honest writer produces it.
void MarkOverlaps(std::vector<Entry>& entries) {
  std::vector<size_t> order;
  order.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i)
    if (!entries[i].problem) order.push_back(i);
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return entries[a].headerPos < entries[b].headerPos; });
  uint64_t reach = 0;   // furthest end so far
  size_t reacher = 0;   // the entry that reaches it
  bool any = false;
  for (size_t k : order) {
    Entry& e = entries[k];
    if (any && e.headerPos < reach) {
      e.problem = Fail(ZIPERR_BAD_DATA, "entry overlaps another entry");
      Entry& other = entries[reacher];
      if (!other.problem) other.problem = Fail(ZIPERR_BAD_DATA, "entry overlaps another entry");
    }
    if (!any || e.dataEnd > reach) {
      reach = e.dataEnd;
      reacher = k;
    }
    any = true;
  }
}

}  // namespace

uint32_t DosDateTime(time_t t) {
  struct tm tm {};
  if (!localtime_r(&t, &tm) || tm.tm_year < 80) return (0u << 25) | (1u << 21) | (1u << 16);  // 1980-01-01
  if (tm.tm_year > 207) return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
  const uint32_t date = (static_cast<uint32_t>(tm.tm_year - 80) << 9) | (static_cast<uint32_t>(tm.tm_mon + 1) << 5) |
                        static_cast<uint32_t>(tm.tm_mday);
  const uint32_t time = (static_cast<uint32_t>(tm.tm_hour) << 11) | (static_cast<uint32_t>(tm.tm_min) << 5) |
                        static_cast<uint32_t>(tm.tm_sec / 2);
  return (date << 16) | time;
}

time_t FromDosDateTime(uint32_t dos) {
  auto clamp = [](int v, int lo, int hi) { return std::max(lo, std::min(hi, v)); };
  const uint32_t date = dos >> 16, time = dos & 0xFFFF;
  struct tm tm {};
  tm.tm_year = static_cast<int>((date >> 9) & 0x7F) + 80;
  tm.tm_mon = clamp(static_cast<int>((date >> 5) & 0x0F), 1, 12) - 1;
  tm.tm_mday = clamp(static_cast<int>(date & 0x1F), 1, 31);
  tm.tm_hour = clamp(static_cast<int>(time >> 11), 0, 23);
  tm.tm_min = clamp(static_cast<int>((time >> 5) & 0x3F), 0, 59);
  tm.tm_sec = clamp(static_cast<int>(time & 0x1F) * 2, 0, 58);
  tm.tm_isdst = -1;
  return mktime(&tm);
}

bool ReadAt(int fd, void* buf, size_t n, uint64_t off) {
  auto* p = static_cast<uint8_t*>(buf);
  while (n > 0) {
    ssize_t r = pread(fd, p, n, static_cast<off_t>(off));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
    off += static_cast<uint64_t>(r);
  }
  return true;
}

bool ReadStoredName(int fd, const Entry& e, std::string& name) {
  name.assign(e.nameLength, '\0');
  return e.nameLength == 0 || ReadAt(fd, name.data(), e.nameLength, e.centralPos + kCentralHeaderSize);
}

bool ReadCentralExtra(int fd, const Entry& e, std::string& extra) {
  extra.assign(e.extraLength, '\0');
  return e.extraLength == 0 ||
         ReadAt(fd, extra.data(), e.extraLength, e.centralPos + kCentralHeaderSize + e.nameLength);
}

Problem ReadDirectory(int fd, Directory& dir) {
  dir = Directory{};
  struct stat st {};
  if (fstat(fd, &st) != 0) return Fail(ZIPERR_READ, "cannot read the archive");
  if (!S_ISREG(st.st_mode)) return Fail(ZIPERR_READ, "the archive is not a regular file");
  dir.fileSize = static_cast<uint64_t>(st.st_size);
  if (dir.fileSize > kMax32 + kEndRecordSize + kMaxComment)
    return Fail(ZIPERR_TOO_LARGE, "archive of 4 GiB or more (Zip64 is not supported)");

  uint8_t rec[kEndRecordSize] = {};
  if (Problem p = FindEndRecord(fd, dir, rec)) return p;
  const uint16_t thisDisk = Get16(rec + 4), centralDisk = Get16(rec + 6);
  const uint16_t onThisDisk = Get16(rec + 8), total = Get16(rec + 10);
  dir.centralSize = Get32(rec + 12);
  dir.centralOffset = Get32(rec + 16);

  // 65535 entries is a count like any other: only a Zip64 locator in front of
  // the record (checked below) makes it a Zip64 marker.
  if (thisDisk == 0xFFFF || centralDisk == 0xFFFF || dir.centralSize == 0xFFFFFFFFu ||
      dir.centralOffset == 0xFFFFFFFFu)
    return Fail(ZIPERR_UNSUPPORTED, "Zip64 archive (not supported)");
  if (thisDisk != 0 || centralDisk != 0 || onThisDisk != total)
    return Fail(ZIPERR_UNSUPPORTED, "archive spread over several disks (join the parts first)");
  // Where the central directory ends: right before the end record, or before the
  // Zip64 end record and locator that zip writes when it reads from a pipe.
  uint64_t centralEnd = dir.endPos;
  if (Problem p = CheckZip64Tail(fd, dir, total, centralEnd)) return p;
  if (dir.centralSize > centralEnd) return Fail(ZIPERR_BAD_DATA, "central directory outside the archive");
  dir.centralPos = centralEnd - dir.centralSize;
  if (dir.centralOffset > dir.centralPos)
    return Fail(ZIPERR_BAD_DATA, "central directory offset points past the directory");
  dir.prefix = dir.centralPos - dir.centralOffset;
  if (static_cast<uint64_t>(total) * kCentralHeaderSize > dir.centralSize)
    return Fail(ZIPERR_BAD_DATA, "central directory too short for its entries");

  RangeReader in(fd, dir.centralPos, dir.endPos);
  dir.entries.resize(total);
  for (uint32_t i = 0; i < total; ++i) {
    Entry& e = dir.entries[i];
    e.centralPos = in.Pos();
    const uint8_t* h = in.Next(kCentralHeaderSize);
    if (!h) return Fail(ZIPERR_BAD_DATA, "central directory cut short");
    if (Get32(h) != kSigCentral) return Fail(ZIPERR_BAD_DATA, "bad central header signature");
    e.madeByVersion = h[4];
    e.hostSystem = h[5];
    e.neededVersion = Get16(h + 6);
    e.flag = Get16(h + 8);
    e.method = Get16(h + 10);
    e.dosTime = Get32(h + 12);
    e.crc = Get32(h + 16);
    e.compressedSize = Get32(h + 20);
    e.uncompressedSize = Get32(h + 24);
    e.nameLength = Get16(h + 28);
    e.extraLength = Get16(h + 30);
    e.commentLength = Get16(h + 32);
    e.diskStart = Get16(h + 34);
    e.internalAttributes = Get16(h + 36);
    e.externalAttributes = Get32(h + 38);
    e.localOffset = Get32(h + 42);
    if (!in.Skip(static_cast<uint64_t>(e.nameLength) + e.extraLength + e.commentLength))
      return Fail(ZIPERR_BAD_DATA, "central directory cut short");
    if (e.compressedSize == 0xFFFFFFFFu || e.uncompressedSize == 0xFFFFFFFFu || e.localOffset == 0xFFFFFFFFu ||
        e.diskStart == 0xFFFF)
      e.problem = Fail(ZIPERR_UNSUPPORTED, "Zip64 entry (not supported)");
    else if (e.diskStart != 0)
      e.problem = Fail(ZIPERR_UNSUPPORTED, "entry on another disk");
  }
  for (Entry& e : dir.entries)
    if (!e.problem) ReadLocalHeader(fd, dir, e);
  MarkOverlaps(dir.entries);
  return {};
}

}  // namespace zipcommon
