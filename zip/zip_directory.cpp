// Reading an archive's directory: the end-of-central-directory record and every
// central header, each read with the length it declares and no further, so a
// damaged or hostile archive ends in one of the component's messages, never in a
// read outside what was asked for.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "zip/zip_archiver.h"
#include "interfaces/ziplib_names.h"

namespace {

constexpr uint32_t kSigLocal = 0x04034b50;
constexpr uint32_t kSigCentral = 0x02014b50;
constexpr uint32_t kSigEnd = 0x06054b50;
constexpr uint32_t kSigSpan = 0x08074b50;
constexpr uint32_t kSigZip64Locator = 0x07064b50;
constexpr uint32_t kSigZip64End = 0x06064b50;
constexpr int64_t kEndSize = 22;
constexpr int64_t kMaxTail = 22 + 65535;
constexpr int64_t kZip64LocatorSize = 20;
constexpr int64_t kZip64EndSize = 56;
constexpr size_t kCentralSize = 46;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Get64(const uint8_t* p) { return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32); }

bool ReadAt(int fd, void* buf, size_t n, int64_t off) {
  auto* p = static_cast<uint8_t*>(buf);
  while (n > 0) {
    ssize_t r = pread(fd, p, n, static_cast<off_t>(off));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
    off += r;
  }
  return true;
}

int64_t FileSize(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<int64_t>(st.st_size);
}

// Sequential reads from one position on, through a fixed buffer.
class Reader {
 public:
  Reader(int fd, int64_t pos) : fd_(fd), pos_(pos) {}
  // Exactly n bytes into out, or false when the file ends first.
  bool Read(void* out, size_t n) {
    auto* dst = static_cast<uint8_t*>(out);
    while (n > 0) {
      if (at_ == have_) {
        ssize_t r;
        do {
          r = pread(fd_, buf_, sizeof buf_, static_cast<off_t>(pos_));
        } while (r < 0 && errno == EINTR);
        if (r <= 0) return false;
        at_ = 0;
        have_ = static_cast<size_t>(r);
        pos_ += r;
      }
      const size_t k = std::min(n, have_ - at_);
      std::memcpy(dst, buf_ + at_, k);
      at_ += k;
      dst += k;
      n -= k;
    }
    return true;
  }
  void Restart(int fd, int64_t pos) {
    fd_ = fd;
    pos_ = pos;
    at_ = have_ = 0;
  }

 private:
  int fd_;
  int64_t pos_;
  uint8_t buf_[65536];
  size_t at_ = 0;
  size_t have_ = 0;
};

// The disk number that a part's file name gives: ".Znn", else the three
// characters before the extension; 0 when neither is a number.
int32_t DiskNumberFromName(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  const qsizetype dot = name.lastIndexOf(u'.');
  auto number = [](const QString& s) -> int32_t {
    if (s.isEmpty()) return 0;
    for (QChar c : s)
      if (!c.isDigit() || c.unicode() > 0x7F) return 0;
    return s.toInt();
  };
  int32_t n = 0;
  if (dot >= 0) {
    const QString ext = name.mid(dot).toUpper();
    if (ext.startsWith(QLatin1String(".Z"))) n = number(ext.mid(2));
  }
  if (n == 0) {
    const QString stem = dot >= 0 ? name.left(dot) : name;
    if (stem.size() >= 3) n = number(stem.right(3));
  }
  return n;
}

}  // namespace

QString TZipArchiver::ConvertOemName(const QByteArray& stored, uint16_t flag, uint8_t hostSystem,
                                     uint8_t madeByVersion) const {
  const std::string text = ziplib_names::DecodeEntryText(std::string_view(stored.constData(), static_cast<size_t>(stored.size())), flag,
                                                         hostSystem, madeByVersion, static_cast<uint8_t>(codePage_));
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool TZipArchiver::FindEndOfCentral(EndOfCentral& rec, bool fromList) {
  zipComment_.clear();
  spanned_ = false;
  recordPos_ = 0;
  zip64Tail_ = 0;
  if (disk_.inFile >= 0) close(disk_.inFile);
  disk_.inFile = open(QFile::encodeName(workFileName_).constData(), O_RDONLY | O_CLOEXEC);
  if (disk_.inFile < 0) {
    if (fromList) throw EZipArchiver::CreateFromId(11001, true);
    ShowZipMessage(11002);
    return false;
  }
  const int fd = disk_.inFile;
  const int64_t size = FileSize(fd);
  uint8_t head[8];
  if (size >= 8 && ReadAt(fd, head, 8, 0) && Get32(head) == kSigSpan && Get32(head + 4) == kSigLocal) spanned_ = true;

  auto take = [&](const uint8_t* p) {
    rec.thisDisk = Get16(p + 4);
    rec.centralDisk = Get16(p + 6);
    rec.entriesOnDisk = Get16(p + 8);
    rec.totalEntries = Get16(p + 10);
    rec.centralSize = Get32(p + 12);
    rec.centralOffset = Get32(p + 16);
    rec.commentLength = Get16(p + 20);
  };
  bool found = false;
  // Only where an archive without a comment has it; a record there that claims a
  // comment is not taken (it cannot have one), the scan decides.
  uint8_t last[kEndSize];
  if (size >= kEndSize && ReadAt(fd, last, sizeof last, size - kEndSize) && Get32(last) == kSigEnd &&
      Get16(last + 20) == 0) {
    take(last);
    recordPos_ = size - kEndSize;
    endPos_ = size;
    found = true;
  }
  if (!found && size >= kEndSize) {
    const int64_t n = std::min(kMaxTail, size);
    std::vector<uint8_t> tail(static_cast<size_t>(n));
    if (!ReadAt(fd, tail.data(), tail.size(), size - n)) throw EZipArchiver::CreateFromId(11011, true);
    // The record nearest the end whose comment lies in the file; failing that, the
    // nearest one, its comment cut to the bytes that exist.
    int64_t at = -1, anyAt = -1;
    for (int64_t i = n - kEndSize; i >= 0; --i) {
      const uint8_t* p = tail.data() + i;
      if (Get32(p) != kSigEnd) continue;
      if (anyAt < 0) anyAt = i;
      if (i + kEndSize + Get16(p + 20) <= n) {
        at = i;
        break;
      }
    }
    if (at < 0) at = anyAt;
    if (at >= 0) {
      const uint8_t* p = tail.data() + at;
      take(p);
      recordPos_ = size - n + at;
      // d < 0: bytes after the comment; d > 0: the declared comment runs past the
      // end of the file. Both are garbage at the end.
      const int64_t d = at + kEndSize + rec.commentLength - n;
      bool garbage = d != 0;
      if (d < 0 && size % 512 == 0 && -d < 512) {
        // Padding to whole blocks is not garbage.
        garbage = !std::all_of(tail.begin() + (n + d), tail.end(), [](uint8_t b) { return b == 0; });
      }
      if (garbage) ShowZipMessage(10204);
      // From here on the comment is what the file holds of it, so the directory's
      // start (counted back from the end over the comment) and every reader of the
      // comment stay inside the file.
      rec.commentLength = static_cast<uint16_t>(std::min<int64_t>(rec.commentLength, n - at - kEndSize));
      endPos_ = size + std::min<int64_t>(d, 0);
      const char* comment = reinterpret_cast<const char*>(p + kEndSize);
      zipComment_ = QByteArray(comment, static_cast<qsizetype>(strnlen(comment, rec.commentLength)));
      found = true;
    }
  }

  if (found) {
    // Zip64 is not read. Its markers are accepted only as zip writes them for an
    // archive made from a pipe: a Zip64 end record and locator that repeat what
    // this record says. 65535 entries is a count like any other (the adding
    // library writes up to that many): only a locator makes it a marker.
    bool zip64 = rec.thisDisk == 0xFFFF || rec.centralDisk == 0xFFFF || rec.centralSize == 0xFFFFFFFFu ||
                 rec.centralOffset == 0xFFFFFFFFu;
    uint8_t loc[kZip64LocatorSize];
    if (!zip64 && recordPos_ >= kZip64LocatorSize &&
        ReadAt(fd, loc, sizeof loc, recordPos_ - kZip64LocatorSize) && Get32(loc) == kSigZip64Locator) {
      const int64_t z64 = recordPos_ - kZip64LocatorSize - kZip64EndSize;
      const int64_t prefix = z64 - static_cast<int64_t>(rec.centralSize) - static_cast<int64_t>(rec.centralOffset);
      uint8_t z[kZip64EndSize];
      const bool agrees = z64 >= 0 && prefix >= 0 && ReadAt(fd, z, sizeof z, z64) && Get32(z) == kSigZip64End &&
                          Get64(z + 4) == kZip64EndSize - 12 && Get32(z + 16) == rec.thisDisk &&
                          Get32(z + 20) == rec.centralDisk && Get64(z + 24) == rec.entriesOnDisk &&
                          Get64(z + 32) == rec.totalEntries && Get64(z + 40) == rec.centralSize &&
                          Get64(z + 48) == rec.centralOffset && Get32(loc + 4) == 0 && Get32(loc + 16) == 1 &&
                          Get64(loc + 8) + static_cast<uint64_t>(prefix) == static_cast<uint64_t>(z64);
      if (agrees)
        zip64Tail_ = kZip64LocatorSize + kZip64EndSize;
      else
        zip64 = true;
    }
    if (!zip64) return true;
  }

  close(disk_.inFile);
  disk_.inFile = -1;
  if (!fromList) return false;
  if (found) throw EZipArchiver::CreateFromId(11036, true);
  const int32_t disk = DiskNumberFromName(workFileName_);
  if (!spanned_ && disk != 0) throw EZipArchiver::CreateFromIdInt(11038, disk);
  if (!spanned_) throw EZipArchiver::CreateFromId(11036, true);
  if (disk == 1) throw EZipArchiver::CreateFromId(11037, true);
  throw EZipArchiver::CreateFromId(11045, true);
}

void TZipArchiver::List() {
  ClearDirectory();
  disk_.diskNr = 0;
  disk_.totalDisks = 0;
  dataOffset_ = 0;
  zipComment_.clear();
  spanned_ = false;
  droppedDirEntries_ = 0;
  structureWarning_ = false;
  errCode_ = 0;

  struct stat st {};
  if (zipFileName_.isEmpty() || stat(QFile::encodeName(zipFileName_).constData(), &st) != 0) {
    if (OnDirUpdate) OnDirUpdate(*this);
    return;
  }
  workFileName_ = zipFileName_;
  disk_.drive = AppendSlash(QFileInfo(workFileName_).absolutePath());
  disk_.driveFixed = IsFixedDrive(disk_.drive);
  DiskIsReady();

  EndOfCentral rec;
  try {
    FindEndOfCentral(rec, true);
  } catch (const EZipArchiver& e) {
    ShowExceptionError(e);
  }
  if (disk_.inFile < 0) {
    if (OnDirUpdate) OnDirUpdate(*this);
    return;
  }

  bool failed = false;
  int64_t start = 0;
  StartWaitCursor();
  try {
    thisDisk_ = rec.thisDisk;
    disk_.diskNr = rec.thisDisk;
    disk_.totalDisks = rec.thisDisk;
    if (thisDisk_ != 0) spanned_ = true;
    if (rec.centralDisk != rec.thisDisk) {
      GetNewDisk(rec.centralDisk);
      endPos_ = FileSize(disk_.inFile);
      start = rec.centralOffset;
    } else {
      start = endPos_ - rec.centralSize - kEndSize - rec.commentLength - zip64Tail_;
    }
    dataOffset_ = endPos_ == kEndSize ? 0 : endPos_;
    // A recorded offset beyond where the directory lies would put the data before
    // the start of the file; the extracting library refuses such an archive, and
    // so does the reader, as a seek that cannot be made.
    if (start < 0 || (rec.centralDisk == rec.thisDisk && static_cast<int64_t>(rec.centralOffset) > start))
      throw EZipArchiver::CreateFromId(10201, true);
    if (rec.centralOffset != start) {
      structureWarning_ = true;
      ShowZipMessage(10203);
    }

    auto reader = std::make_unique<Reader>(disk_.inFile, start);
    for (uint32_t i = 0; i < rec.totalEntries; ++i) {
      uint8_t h[kCentralSize];
      while (!reader->Read(h, sizeof h)) {
        if (disk_.diskNr >= rec.thisDisk) throw EZipArchiver::CreateFromId(11013, true);
        GetNewDisk(disk_.diskNr + 1);
        reader->Restart(disk_.inFile, 0);
      }
      if (Get32(h) != kSigCentral) throw EZipArchiver::CreateFromId(11015, true);
      auto e = std::make_unique<ZipDirEntry>();
      e->MadeByVersion = h[4];
      e->HostSystem = h[5];
      e->NeededVersion = Get16(h + 6);
      e->Flag = Get16(h + 8);
      e->Method = Get16(h + 10);
      e->DateTime = Get32(h + 12);
      e->CRC32 = Get32(h + 16);
      e->CompressedSize = Get32(h + 20);
      e->UncompressedSize = Get32(h + 24);
      e->FileNameLength = Get16(h + 28);
      e->ExtraFieldLength = Get16(h + 30);
      e->FileCommentLength = Get16(h + 32);
      e->StartOnDisk = Get16(h + 34);
      e->InternalAttributes = Get16(h + 36);
      e->ExternalAttributes = Get32(h + 38);
      e->LocalHeaderOffset = Get32(h + 42);

      QByteArray name(e->FileNameLength, '\0');
      if (!reader->Read(name.data(), static_cast<size_t>(name.size()))) throw EZipArchiver::CreateFromId(11017, true);
      e->Encrypted = (e->Flag & 1) != 0;
      if (e->ExtraFieldLength > 0) {
        e->ExtraData = QByteArray(e->ExtraFieldLength, '\0');
        if (!reader->Read(e->ExtraData.data(), static_cast<size_t>(e->ExtraData.size())))
          throw EZipArchiver::CreateFromId(11019, true);
      }
      // The name that the extracting library writes: a current Unicode path field
      // before the code-page rule.
      std::string unicode;
      if ((e->Flag & ziplib_names::kFlagUtf8) == 0 &&
          ziplib_names::UnicodePathOf(std::string_view(e->ExtraData.constData(), static_cast<size_t>(e->ExtraData.size())),
                                      std::string_view(name.constData(), static_cast<size_t>(name.size())), unicode))
        e->FileName = QString::fromUtf8(unicode.data(), static_cast<qsizetype>(unicode.size()));
      else
        e->FileName = ConvertOemName(name, e->Flag, e->HostSystem, e->MadeByVersion);
      e->FileName.replace(u'\\', u'/');
      if (e->FileCommentLength > 0) {
        QByteArray comment(e->FileCommentLength, '\0');
        if (!reader->Read(comment.data(), static_cast<size_t>(comment.size())))
          throw EZipArchiver::CreateFromId(11022, true);
        e->FileComment = ConvertOemName(comment, e->Flag, e->HostSystem, e->MadeByVersion);
      }
      dataOffset_ = std::min<int64_t>(dataOffset_, e->LocalHeaderOffset);
      if (!useDirOnlyEntries_ && e->FileName.endsWith(u'/')) {
        ++droppedDirEntries_;
        continue;
      }
      dirList_.push_back(std::move(e));
      if (OnNewName) OnNewName(*this, static_cast<int32_t>(dirList_.size()), *dirList_.back());
    }
    thisDisk_ = rec.thisDisk;
  } catch (const EZipArchiver& e) {
    ShowExceptionError(e);
    failed = true;
  } catch (const std::bad_alloc&) {
    ShowZipMessage(10103);
    failed = true;
  } catch (const std::exception& e) {
    ShowZipMessage(10202, QString::fromLocal8Bit(e.what()));
    failed = true;
  }
  if (failed) {
    zipFileName_.clear();
    dataOffset_ = 0;
  }
  StopWaitCursor();
  if (disk_.inFile >= 0) close(disk_.inFile);
  disk_.inFile = -1;
  if (!failed) dataOffset_ += start - static_cast<int64_t>(rec.centralOffset);
  if (OnDirUpdate) OnDirUpdate(*this);
}
