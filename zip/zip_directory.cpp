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

#include "interfaces/zip_headers.h"
#include "interfaces/ziplib_names.h"
#include "zip/zip_archiver.h"

// Sequential reads from one position on, through a fixed buffer.
class ZipDirectoryReader {
 public:
  ZipDirectoryReader(int fd, int64_t pos) : fd_(fd), pos_(pos) {}
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

namespace {

using zipfmt::Get32;
using zipfmt::ReadAt;

constexpr int64_t kEndSize = zipfmt::kEndRecordSize;
constexpr int64_t kMaxTail = kEndSize + 65535;
constexpr int64_t kZip64LocatorSize = zipfmt::kZip64LocatorSize;
constexpr int64_t kZip64EndSize = zipfmt::kZip64EndSize;

int64_t FileSize(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<int64_t>(st.st_size);
}

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

// Zip64 is not read. Its markers are accepted only as zip writes them for an
// archive made from a pipe: a Zip64 end record and locator that repeat what the
// end record says. 65535 entries is a count like any other (the adding library
// writes up to that many): only a locator makes it a marker. Answers the size of
// the Zip64 records in front of the end record (0 without a locator), or -1 when
// the archive needs Zip64.
int64_t Zip64TailSize(int fd, int64_t recordPos, const TZipArchiver::EndOfCentral& rec) {
  if (rec.thisDisk == 0xFFFF || rec.centralDisk == 0xFFFF || rec.centralSize == zipfmt::kZip64Marker ||
      rec.centralOffset == zipfmt::kZip64Marker)
    return -1;
  uint8_t loc[kZip64LocatorSize];
  zipfmt::Zip64Locator locator;
  if (recordPos < kZip64LocatorSize || !ReadAt(fd, loc, sizeof loc, recordPos - kZip64LocatorSize) ||
      !zipfmt::ParseZip64Locator(loc, sizeof loc, locator))
    return 0;
  const int64_t z64 = recordPos - kZip64LocatorSize - kZip64EndSize;
  const int64_t prefix = z64 - static_cast<int64_t>(rec.centralSize) - static_cast<int64_t>(rec.centralOffset);
  uint8_t z[kZip64EndSize];
  zipfmt::Zip64End end;
  const bool agrees = z64 >= 0 && prefix >= 0 && ReadAt(fd, z, sizeof z, static_cast<uint64_t>(z64)) &&
                      zipfmt::ParseZip64End(z, sizeof z, end) && end.recordSize == kZip64EndSize - 12 &&
                      end.thisDisk == rec.thisDisk && end.centralDisk == rec.centralDisk &&
                      end.entriesOnDisk == rec.entriesOnDisk && end.totalEntries == rec.totalEntries &&
                      end.centralSize == rec.centralSize && end.centralOffset == rec.centralOffset &&
                      locator.endDisk == 0 && locator.totalDisks == 1 &&
                      locator.endOffset + static_cast<uint64_t>(prefix) == static_cast<uint64_t>(z64);
  return agrees ? kZip64LocatorSize + kZip64EndSize : -1;
}

// The message for a file in which no usable end record was found.
[[noreturn]] void ThrowNoDirectory(bool found, bool spanned, const QString& fileName) {
  if (found) throw EZipArchiver::CreateFromId(kZipNotValidArchive, true);
  const int32_t disk = DiskNumberFromName(fileName);
  if (!spanned && disk != 0) throw EZipArchiver::CreateFromIdInt(kZipNthDiskInsertLast, disk);
  if (!spanned) throw EZipArchiver::CreateFromId(kZipNotValidArchive, true);
  if (disk == 1) throw EZipArchiver::CreateFromId(kZipFirstDiskInsertLast, true);
  throw EZipArchiver::CreateFromId(kZipFirstFileChooseLast, true);
}

// A central header's fields, read at the reader's position.
void TakeCentralHeader(const zipfmt::CentralHeader& h, ZipDirEntry& e) {
  e.MadeByVersion = h.madeByVersion;
  e.HostSystem = h.hostSystem;
  e.NeededVersion = h.neededVersion;
  e.Flag = h.flag;
  e.Method = h.method;
  e.DateTime = h.dosTime;
  e.CRC32 = h.crc;
  e.CompressedSize = h.compressedSize;
  e.UncompressedSize = h.uncompressedSize;
  e.FileNameLength = h.nameLength;
  e.ExtraFieldLength = h.extraLength;
  e.FileCommentLength = h.commentLength;
  e.StartOnDisk = h.diskStart;
  e.InternalAttributes = h.internalAttributes;
  e.ExternalAttributes = h.externalAttributes;
  e.LocalHeaderOffset = h.localOffset;
}

// length bytes of the reader as a byte array, or messageId raised.
QByteArray ReadField(ZipDirectoryReader& reader, uint16_t length, int messageId) {
  QByteArray bytes(length, '\0');
  if (!reader.Read(bytes.data(), static_cast<size_t>(bytes.size()))) throw EZipArchiver::CreateFromId(messageId, true);
  return bytes;
}

}  // namespace

QString TZipArchiver::ConvertOemName(const QByteArray& stored, uint16_t flag, uint8_t hostSystem,
                                     uint8_t madeByVersion) const {
  const std::string_view bytes(stored.constData(), static_cast<size_t>(stored.size()));
  const std::string text =
      ziplib_names::DecodeEntryText(bytes, flag, hostSystem, madeByVersion, static_cast<uint8_t>(codePage_));
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool TZipArchiver::OpenWorkFile(bool fromList) {
  if (disk_.inFile >= 0) close(disk_.inFile);
  disk_.inFile = open(QFile::encodeName(workFileName_).constData(), O_RDONLY | O_CLOEXEC);
  if (disk_.inFile >= 0) return true;
  if (fromList) throw EZipArchiver::CreateFromId(kZipInputMissing, true);
  ShowZipMessage(kZipFileNotOpened);
  return false;
}

bool TZipArchiver::TakeEndRecordAtTheEnd(int64_t size, EndOfCentral& rec) {
  // Only where an archive without a comment has it; a record there that claims a
  // comment is not taken (it cannot have one), the scan decides.
  uint8_t last[kEndSize];
  EndOfCentral end;
  if (size < kEndSize || !ReadAt(disk_.inFile, last, sizeof last, static_cast<uint64_t>(size - kEndSize)) ||
      !zipfmt::ParseEndRecord(last, sizeof last, end) || end.commentLength != 0)
    return false;
  rec = end;
  recordPos_ = size - kEndSize;
  endPos_ = size;
  return true;
}

bool TZipArchiver::TakeEndRecordFromTail(int64_t size, EndOfCentral& rec) {
  if (size < kEndSize) return false;
  const int64_t n = std::min(kMaxTail, size);
  std::vector<uint8_t> tail(static_cast<size_t>(n));
  if (!ReadAt(disk_.inFile, tail.data(), tail.size(), static_cast<uint64_t>(size - n)))
    throw EZipArchiver::CreateFromId(kZipEndOfCentralReadError, true);
  // The record nearest the end whose comment lies in the file; failing that, the
  // nearest one, its comment cut to the bytes that exist.
  int64_t at = -1, anyAt = -1;
  zipfmt::EndRecord end;
  for (int64_t i = n - kEndSize; i >= 0; --i) {
    if (!zipfmt::ParseEndRecord(tail.data() + i, static_cast<size_t>(n - i), end)) continue;
    if (anyAt < 0) anyAt = i;
    if (i + kEndSize + end.commentLength <= n) {
      at = i;
      break;
    }
  }
  if (at < 0) at = anyAt;
  if (at < 0) return false;
  const uint8_t* p = tail.data() + at;
  zipfmt::ParseEndRecord(p, static_cast<size_t>(n - at), end);
  rec = end;
  recordPos_ = size - n + at;
  // d < 0: bytes after the comment; d > 0: the declared comment runs past the
  // end of the file. Both are garbage at the end.
  const int64_t d = at + kEndSize + rec.commentLength - n;
  bool garbage = d != 0;
  if (d < 0 && size % 512 == 0 && -d < 512) {
    // Padding to whole blocks is not garbage.
    garbage = !std::all_of(tail.begin() + (n + d), tail.end(), [](uint8_t b) { return b == 0; });
  }
  if (garbage) ShowZipMessage(kZipGarbageAtEnd);
  // From here on the comment is what the file holds of it, so the directory's
  // start (counted back from the end over the comment) and every reader of the
  // comment stay inside the file.
  rec.commentLength = static_cast<uint16_t>(std::min<int64_t>(rec.commentLength, n - at - kEndSize));
  endPos_ = size + std::min<int64_t>(d, 0);
  const char* comment = reinterpret_cast<const char*>(p + kEndSize);
  zipComment_ = QByteArray(comment, static_cast<qsizetype>(strnlen(comment, rec.commentLength)));
  return true;
}

bool TZipArchiver::FindEndOfCentral(EndOfCentral& rec, bool fromList) {
  zipComment_.clear();
  spanned_ = false;
  recordPos_ = 0;
  zip64Tail_ = 0;
  if (!OpenWorkFile(fromList)) return false;
  const int fd = disk_.inFile;
  const int64_t size = FileSize(fd);
  uint8_t head[8];
  if (size >= 8 && ReadAt(fd, head, 8, 0) && Get32(head) == zipfmt::kSigDescriptor &&
      Get32(head + 4) == zipfmt::kSigLocal)
    spanned_ = true;

  const bool found = TakeEndRecordAtTheEnd(size, rec) || TakeEndRecordFromTail(size, rec);
  if (found) {
    const int64_t zip64 = Zip64TailSize(fd, recordPos_, rec);
    if (zip64 >= 0) {
      zip64Tail_ = zip64;
      return true;
    }
  }
  close(disk_.inFile);
  disk_.inFile = -1;
  if (!fromList) return false;
  ThrowNoDirectory(found, spanned_, workFileName_);
}

void TZipArchiver::ResetDirectoryState() {
  ClearDirectory();
  disk_.diskNr = 0;
  disk_.totalDisks = 0;
  dataOffset_ = 0;
  zipComment_.clear();
  spanned_ = false;
  droppedDirEntries_ = 0;
  structureWarning_ = false;
  errCode_ = 0;
}

bool TZipArchiver::OpenListedArchive(EndOfCentral& rec) {
  struct stat st {};
  if (zipFileName_.isEmpty() || stat(QFile::encodeName(zipFileName_).constData(), &st) != 0) return false;
  workFileName_ = zipFileName_;
  disk_.drive = AppendSlash(QFileInfo(workFileName_).absolutePath());
  disk_.driveFixed = IsFixedDrive(disk_.drive);
  DiskIsReady();
  try {
    FindEndOfCentral(rec, true);
  } catch (const EZipArchiver& e) {
    ShowExceptionError(e);
  }
  return disk_.inFile >= 0;
}

int64_t TZipArchiver::CentralDirectoryStart(const EndOfCentral& rec) {
  thisDisk_ = rec.thisDisk;
  disk_.diskNr = rec.thisDisk;
  disk_.totalDisks = rec.thisDisk;
  if (thisDisk_ != 0) spanned_ = true;
  int64_t start = 0;
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
    throw EZipArchiver::CreateFromId(kZipListSeekError, true);
  if (rec.centralOffset != start) {
    structureWarning_ = true;
    ShowZipMessage(kZipStructureWarning);
  }
  return start;
}

std::unique_ptr<ZipDirEntry> TZipArchiver::ReadCentralEntry(ZipDirectoryReader& reader, const EndOfCentral& rec) {
  uint8_t h[zipfmt::kCentralHeaderSize];
  while (!reader.Read(h, sizeof h)) {
    if (disk_.diskNr >= rec.thisDisk) throw EZipArchiver::CreateFromId(kZipCentralHeaderReadError, true);
    GetNewDisk(disk_.diskNr + 1);
    reader.Restart(disk_.inFile, 0);
  }
  zipfmt::CentralHeader header;
  if (!zipfmt::ParseCentralHeader(h, sizeof h, header))
    throw EZipArchiver::CreateFromId(kZipCentralSignatureWrong, true);
  auto e = std::make_unique<ZipDirEntry>();
  TakeCentralHeader(header, *e);
  const QByteArray name = ReadField(reader, e->FileNameLength, kZipCentralNameReadError);
  e->Encrypted = (e->Flag & 1) != 0;
  if (e->ExtraFieldLength > 0) e->ExtraData = ReadField(reader, e->ExtraFieldLength, kZipCentralExtraReadError);
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
    const QByteArray comment = ReadField(reader, e->FileCommentLength, kZipFileCommentReadError);
    e->FileComment = ConvertOemName(comment, e->Flag, e->HostSystem, e->MadeByVersion);
  }
  return e;
}

void TZipArchiver::ReadCentralDirectory(const EndOfCentral& rec, int64_t start) {
  auto reader = std::make_unique<ZipDirectoryReader>(disk_.inFile, start);
  for (uint32_t i = 0; i < rec.totalEntries; ++i) {
    std::unique_ptr<ZipDirEntry> e = ReadCentralEntry(*reader, rec);
    dataOffset_ = std::min<int64_t>(dataOffset_, e->LocalHeaderOffset);
    if (!useDirOnlyEntries_ && e->FileName.endsWith(u'/')) {
      ++droppedDirEntries_;
      continue;
    }
    dirList_.push_back(std::move(e));
    if (OnNewName) OnNewName(*this, static_cast<int32_t>(dirList_.size()), *dirList_.back());
  }
  thisDisk_ = rec.thisDisk;
}

void TZipArchiver::List() {
  ResetDirectoryState();
  EndOfCentral rec;
  if (!OpenListedArchive(rec)) {
    if (OnDirUpdate) OnDirUpdate(*this);
    return;
  }
  bool failed = false;
  int64_t start = 0;
  StartWaitCursor();
  try {
    start = CentralDirectoryStart(rec);
    ReadCentralDirectory(rec, start);
  } catch (const EZipArchiver& e) {
    ShowExceptionError(e);
    failed = true;
  } catch (const std::bad_alloc&) {
    ShowZipMessage(kZipNoMemory);
    failed = true;
  } catch (const std::exception& e) {
    ShowZipMessage(kZipListUnknownError, QString::fromLocal8Bit(e.what()));
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
