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

Problem FindEndRecord(int fd, Directory& dir, zipfmt::EndRecord& rec) {
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
    zipfmt::EndRecord candidate;
    if (!zipfmt::ParseEndRecord(tail.data() + i, n - i, candidate)) continue;
    if (anyAt == SIZE_MAX) anyAt = i;
    if (i + kEndRecordSize + candidate.commentLength <= n) {
      at = i;
      break;
    }
  }
  if (at == SIZE_MAX) at = anyAt;
  if (at == SIZE_MAX) return Fail(ZIPERR_BAD_DATA, "not a ZIP archive (no end of central directory record)");
  const uint8_t* p = tail.data() + at;
  zipfmt::ParseEndRecord(p, n - at, rec);
  dir.endPos = size - n + at;
  const size_t commentLen = std::min<size_t>(rec.commentLength, n - at - kEndRecordSize);
  dir.comment.assign(reinterpret_cast<const char*>(p + kEndRecordSize), commentLen);
  return {};
}

// A Zip64 end record and its locator in front of the end record are accepted
// only when they say exactly what the 32-bit record says: a single disk, the same
// entry count, directory size and offset (zip writes such a pair for an archive
// made from a pipe, whose size it cannot know in advance). Anything else needs
// Zip64, which is refused. centralEnd becomes the start of the Zip64 record.
Problem CheckZip64Tail(int fd, const Directory& dir, uint16_t total, uint64_t& centralEnd) {
  using zipfmt::kZip64EndSize;
  using zipfmt::kZip64LocatorSize;
  if (dir.endPos < kZip64LocatorSize) return {};
  uint8_t loc[kZip64LocatorSize];
  zipfmt::Zip64Locator l;
  if (!ReadAt(fd, loc, sizeof loc, dir.endPos - kZip64LocatorSize) || !zipfmt::ParseZip64Locator(loc, sizeof loc, l))
    return {};
  const Problem unsupported = Fail(ZIPERR_UNSUPPORTED, "Zip64 archive (not supported)");
  if (dir.endPos < kZip64LocatorSize + kZip64EndSize) return unsupported;
  const uint64_t recordPos = dir.endPos - kZip64LocatorSize - kZip64EndSize;
  uint8_t z[kZip64EndSize];
  zipfmt::Zip64End r;
  if (!ReadAt(fd, z, sizeof z, recordPos) || !zipfmt::ParseZip64End(z, sizeof z, r)) return unsupported;
  const bool agrees = r.recordSize == kZip64EndSize - 12 && r.thisDisk == 0 && r.centralDisk == 0 &&
                      r.entriesOnDisk == total && r.totalEntries == total && r.centralSize == dir.centralSize &&
                      r.centralOffset == dir.centralOffset && l.endDisk == 0 && l.totalDisks == 1 &&
                      dir.centralSize <= recordPos &&
                      l.endOffset + (recordPos - dir.centralSize - dir.centralOffset) == recordPos;
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
  zipfmt::LocalHeader local;
  if (!zipfmt::ParseLocalHeader(h, sizeof h, local)) {
    e.problem = Fail(ZIPERR_BAD_DATA, "bad local header signature");
    return;
  }
  if (local.method != e.method || (local.flag & kFlagEncrypted) != (e.flag & kFlagEncrypted)) {
    e.problem = Fail(ZIPERR_BAD_DATA, "local header does not match the central directory");
    return;
  }
  const uint16_t nameLen = local.nameLength;
  e.dataPos = e.headerPos + local.TotalSize();
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
  uint64_t reach = 0;  // furthest end so far
  size_t reacher = 0;  // the entry that reaches it
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

  zipfmt::EndRecord rec;
  if (Problem p = FindEndRecord(fd, dir, rec)) return p;
  const uint16_t thisDisk = rec.thisDisk, centralDisk = rec.centralDisk;
  const uint16_t onThisDisk = rec.entriesOnDisk, total = rec.totalEntries;
  dir.centralSize = rec.centralSize;
  dir.centralOffset = rec.centralOffset;

  // 65535 entries is a count like any other: only a Zip64 locator in front of
  // the record (checked below) makes it a Zip64 marker.
  if (thisDisk == 0xFFFF || centralDisk == 0xFFFF || dir.centralSize == 0xFFFFFFFFu || dir.centralOffset == 0xFFFFFFFFu)
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
    if (!zipfmt::ParseCentralHeader(h, kCentralHeaderSize, e))
      return Fail(ZIPERR_BAD_DATA, "bad central header signature");
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
