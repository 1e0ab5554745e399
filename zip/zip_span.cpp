// Archives spread over several disks or part files.
//
// Here a "disk" is the folder of the archive. Every Linux path counts as a fixed
// drive, so a set is a row of part files in that folder (backup001.zip, ... or
// backup.z01, ..., backup.zip). A subclass may call a folder removable: the user
// is then asked through the UI services to put the next medium in before each
// part, and the parts keep their numbered names with spNoVolumeName (a folder has
// no volume label of its own).
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "platform/disk_steps.h"
#include "platform/temp_beside.h"
#include "platform/ui_services.h"
#include "zip/zip_archiver.h"
#include "zip/zip_messages.h"

namespace {

constexpr uint32_t kSigLocal = 0x04034b50;
constexpr uint32_t kSigCentral = 0x02014b50;
constexpr uint32_t kSigSpan = 0x08074b50;
constexpr uint32_t kLocalSize = 30;
constexpr uint32_t kCentralSize = 46;
constexpr uint32_t kEndSize = 22;
constexpr uint32_t kChunk = 10240;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}

size_t ReadUpTo(int fd, void* buffer, size_t count) {
  auto* p = static_cast<uint8_t*>(buffer);
  size_t got = 0;
  while (got < count) {
    ssize_t n = read(fd, p + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

bool AtEnd(int fd) {
  struct stat st;
  off_t pos = lseek(fd, 0, SEEK_CUR);
  return pos >= 0 && fstat(fd, &st) == 0 && pos >= st.st_size;
}

bool Exists(const QString& name) {
  struct stat st;
  return stat(QFile::encodeName(name).constData(), &st) == 0;
}

int64_t FileTime(const QString& name) {
  struct stat st;
  if (stat(QFile::encodeName(name).constData(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_mtime);
}

bool FolderIsEmpty(const QString& folder) {
  DIR* d = opendir(QFile::encodeName(folder).constData());
  if (!d) return true;
  bool empty = true;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(d);
  return empty;
}

QString Digits(int32_t n, int width) { return QStringLiteral("%1").arg(n, width, 10, QChar(u'0')); }

// Where the extension of a path begins (its end when it has none).
qsizetype ExtensionAt(const QString& path) {
  const qsizetype slash = path.lastIndexOf(u'/');
  const qsizetype dot = path.lastIndexOf(u'.');
  return dot <= slash ? path.size() : dot;
}

// One entry of the archive being copied: its stored name, and the part and offset
// of its local header.
struct TMZipData {
  QByteArray name;
  int32_t disk = 0;
  uint32_t offset = 0;
};

class TMZipDataList {
 public:
  explicit TMZipDataList(int count) : items_(static_cast<size_t>(count)) {}
  int Count() const { return static_cast<int>(items_.size()); }
  TMZipData& Items(int i) {
    if (i < 0 || i >= Count())
      throw std::out_of_range(QStringLiteral("Index (%1) outside range 1..%2").arg(i).arg(Count() - 1).toStdString());
    return items_[static_cast<size_t>(i)];
  }
  // The first record with that name (compared without regard to case). The
  // stored bytes are tried as they stand first: two names that differ only in
  // case are two entries.
  int IndexOf(const QByteArray& name) const {
    for (size_t i = 0; i < items_.size(); ++i)
      if (items_[i].name == name) return static_cast<int>(i);
    const QString wanted = QString::fromLatin1(name);
    for (size_t i = 0; i < items_.size(); ++i)
      if (QString::fromLatin1(items_[i].name).compare(wanted, Qt::CaseInsensitive) == 0) return static_cast<int>(i);
    throw EZipArchiver::CreateFromId(11026, true);
  }

 private:
  std::vector<TMZipData> items_;
};

}  // namespace

// ---- Part names --------------------------------------------------------------------------

QString TZipArchiver::SpanPartName(const QString& setName, int32_t part, bool last, bool compat) {
  const qsizetype dot = ExtensionAt(setName);
  if (compat) return setName.left(dot) + (last ? QStringLiteral(".zip") : QStringLiteral(".z") + Digits(part + 1, 2));
  return setName.left(dot) + Digits(part + 1, 3) + setName.mid(dot);
}

QString TZipArchiver::SpanSetName(const QString& partName, int32_t part, bool compat) {
  // A ".zNN" name carries its number in the extension, which a part name replaces.
  if (compat) return partName;
  const qsizetype dot = ExtensionAt(partName);
  const qsizetype nameStart = partName.lastIndexOf(u'/') + 1;
  const QString number = part >= 0 ? Digits(part + 1, 3) : QString();
  qsizetype cut = !number.isEmpty() && partName.left(dot).endsWith(number) ? number.size() : 3;
  cut = std::min<qsizetype>(cut, dot - nameStart);
  return partName.left(dot - cut) + partName.mid(dot);
}

int32_t TZipArchiver::MaxSpanParts() const {
  if (!disk_.driveFixed && !spanOptions_.Contains(spNoVolumeName)) return 999;
  return 0xFFFF;
}

// ---- Disks -----------------------------------------------------------------------------

QString TZipArchiver::ReadVolumeLabel(const QString&) { return QString(); }

bool TZipArchiver::WriteVolumeLabel(const QString&, const QString&) { return false; }

int32_t TZipArchiver::FormatDisk(uintptr_t, const QString& drive) {
  // Only a drive letter of a removable drive could be formatted, and there are
  // none: the caller erases instead.
  (void)drive;
  return -3;
}

void TZipArchiver::EraseFloppy(const QString& folder) {
  const QString base = AppendSlash(folder);
  DIR* d = opendir(QFile::encodeName(base).constData());
  if (!d) return;
  std::vector<QString> names;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    names.push_back(QFile::decodeName(e->d_name));
  }
  closedir(d);
  for (const QString& name : names) {
    const QString path = base + name;
    struct stat st;
    if (lstat(QFile::encodeName(path).constData(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      // A link is removed as a file: nothing outside the disk is touched.
      EraseFloppy(path + u'/');
      rmdir(QFile::encodeName(path).constData());
      if (trace_)
        DispatchEvent(ZIPCB_MESSAGE, 0, 0, QStringLiteral("EraseFloppy - Removing ") + path);
      else
        DispatchEvent(ZIPCB_TICK, 0, 0, QString());
    } else {
      unlink(QFile::encodeName(path).constData());
      if (trace_) DispatchEvent(ZIPCB_MESSAGE, 0, 0, QStringLiteral("EraseFloppy - Deleting ") + path);
    }
  }
}

int32_t TZipArchiver::ClearDisk() {
  int32_t result = -3;
  if (spanOptions_.Contains(spTryFormat) && !disk_.driveFixed) result = FormatDisk(windowHandle_, disk_.drive);
  if (result == -3) {
    const int answer = Ui().questionBox(LoadZipString(11101) + disk_.drive, LoadZipString(11102), MsgButtons::YesNo,
                                        MsgIcon::Warning, mrNo);
    if (answer != mrYes) return -3;
    EraseFloppy(disk_.drive);
    result = 0;
  }
  if (result == 0 && !spanOptions_.Contains(spNoVolumeName)) WriteVolumeLabel(disk_.drive, disk_.volumeLabel.left(11));
  return result;
}

bool TZipArchiver::CheckVolumeLabel() {
  if (!disk_.driveFixed && !spanOptions_.Contains(spNoVolumeName)) {
    return ReadVolumeLabel(disk_.drive) == QStringLiteral("PKBACK# ") + Digits(disk_.diskNr + 1, 3) &&
           Exists(workFileName_);
  }
  const bool compat = spanOptions_.Contains(spCompatName);
  const QString set = disk_.setName.isEmpty() ? SpanSetName(workFileName_, -1, compat) : disk_.setName;
  workFileName_ = SpanPartName(set, disk_.diskNr, disk_.diskNr == disk_.totalDisks, compat);
  return disk_.driveFixed || Exists(workFileName_);
}

void TZipArchiver::GetNewDisk(int32_t diskNr) {
  if (disk_.inFile >= 0) close(disk_.inFile);
  disk_.inFile = -1;
  // The open file is the part of the current number: its name without that
  // number names the set, whatever count of digits the number has.
  disk_.setName = SpanSetName(workFileName_, disk_.diskNr, spanOptions_.Contains(spCompatName));
  disk_.diskNr = diskNr;
  bool failed = false;
  for (;;) {
    if (failed) {
      if (disk_.driveFixed) throw EZipArchiver::CreateFromId(11001, true);
      ShowZipMessage(11001);
    }
    do {
      disk_.newDisk = true;
      PromptForDisk(false);
    } while (!CheckVolumeLabel());
    if (trace_) DispatchEvent(ZIPCB_MESSAGE, 0, 0, QStringLiteral("Trace : GetNewDisk Opening ") + workFileName_);
    disk_.inFile = open(QFile::encodeName(workFileName_).constData(), O_RDONLY | O_CLOEXEC);
    if (disk_.inFile >= 0) return;
    failed = true;
  }
}

// ---- The span writer --------------------------------------------------------------------

namespace {

// A part is written to a hidden file of the program's (".tarvi-<pid>-<random>.tmp")
// beside its name. On a removable disk it is renamed into place as soon as it is
// whole; in a folder of a fixed drive every part waits under its hidden name until
// the last one is whole, so a set given up half-way leaves the earlier files of
// those names as they were.
int CreatePartTemp(const QString& finalName, QString& temp) {
  return CreateTempBeside(QFileInfo(finalName).path(), &temp, 0666);
}

// Gives the part its date and puts it on disk (sync, close, and unless it is held
// the rename and the folder's sync); the part is then one of the set's. False,
// with errno, when a step failed: the hidden file is removed.
bool FinishPart(ZipDiskState& d) {
  if (d.outFile < 0) return true;
  if (d.dateStamp > 0) {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(d.dateStamp);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    futimens(d.outFile, times);
  }
  struct stat st {};
  fstat(d.outFile, &st);
  bool ok = DiskSync(d.outFile);
  int err = errno;
  if (!DiskClose(d.outFile) && ok) {
    ok = false;
    err = errno;
  }
  d.outFile = -1;
  const QByteArray temp = QFile::encodeName(d.partTemp);
  if (ok && !d.holdParts) {
    ok = DiskRename(temp.constData(), QFile::encodeName(d.partName).constData(), true);
    err = errno;
    if (ok) DiskSyncFolder(QFile::encodeName(QFileInfo(d.partName).path()).constData());
  }
  if (!ok) {
    unlink(temp.constData());
    d.partTemp.clear();
    d.failedErrno = err;
    errno = err;
    return false;
  }
  d.written.push_back({d.holdParts ? d.partTemp : QString(), d.partName, static_cast<uint64_t>(st.st_dev),
                       static_cast<uint64_t>(st.st_ino)});
  d.partTemp.clear();
  return true;
}

// Drops a part that is not complete.
void DiscardPart(ZipDiskState& d) {
  if (d.outFile < 0) return;
  close(d.outFile);
  d.outFile = -1;
  unlink(QFile::encodeName(d.partTemp).constData());
  d.partTemp.clear();
}

// Drops the held parts of a set that was given up.
void DiscardHeldParts(ZipDiskState& d) {
  for (const ZipSpanPart& p : d.written)
    if (!p.temp.isEmpty()) unlink(QFile::encodeName(p.temp).constData());
  d.written.clear();
}

// Whether the file of that name is a part this write has already put on a disk.
bool IsPartOfThisSet(const ZipDiskState& d, const QString& name) {
  struct stat st;
  if (stat(QFile::encodeName(name).constData(), &st) != 0) return false;
  return std::any_of(d.written.begin(), d.written.end(), [&](const ZipSpanPart& p) {
    return p.temp.isEmpty() && p.device == static_cast<uint64_t>(st.st_dev) &&
           p.inode == static_cast<uint64_t>(st.st_ino);
  });
}

}  // namespace

void TZipArchiver::CheckForDisk(const uint8_t* data, uint32_t length, uint32_t minRoom) {
  Ui().processPendingMessages();
  if (cancel_) throw EZipArchiver::CreateFromId(11007, false);
  uint32_t done = 0;
  while (done < length) {
    if (disk_.outFile < 0) {
      disk_.driveFixed = IsFixedDrive(disk_.drive);
      // Beyond this the end record could not number the part (or a label name it).
      if (disk_.diskNr >= MaxSpanParts()) throw EZipArchiver::CreateFromId(11048, true);
      PromptForDisk(true);
      const bool byName = disk_.driveFixed || spanOptions_.Contains(spNoVolumeName);
      QString name = disk_.target;
      if (byName) name = SpanPartName(disk_.target, disk_.diskNr, false, spanOptions_.Contains(spCompatName));
      if (!disk_.driveFixed && spanOptions_.Contains(spWipeFiles) && (!OnGetNextDisk || disk_.lastAction == zdaErase)) {
        disk_.volumeLabel = spanOptions_.Contains(spNoVolumeName)
                                ? QStringLiteral("ZipSet_") + QString::number(disk_.diskNr + 1)
                                : QStringLiteral("PKBACK# ") + Digits(disk_.diskNr + 1, 3);
        const int32_t r = ClearDisk();
        if (r == -2) throw EZipArchiver::CreateFromId(11007, false);
        if (r == -1) throw EZipArchiver::CreateFromId(11007, true);
      }
      int32_t shown = disk_.diskNr + 1;
      if (!byName) {
        bool ok = false;
        shown = ReadVolumeLabel(disk_.drive).mid(8, 3).toInt(&ok);
        if (!ok) shown = 1;
      }
      TZipDiskStatus status;
      QString question;
      bool ourPart = false;
      if (Exists(name)) {
        if (unattended_) throw EZipArchiver::CreateFromId(11025, true);
        ourPart = IsPartOfThisSet(disk_, name);
        if (FileTime(name) == disk_.dateStamp && shown - 1 < disk_.diskNr) {
          question = FormatZipText(LoadZipString(11040), {QString::number(shown)});
          status.Include(zdsPreviousDisk);
        } else {
          question = FormatZipText(LoadZipString(11039), {name});
          status.Include(zdsSameFileName);
        }
      } else if (!disk_.driveFixed) {
        status.Include(FolderIsEmpty(disk_.drive) ? zdsEmpty : zdsHasFiles);
      }
      disk_.lastStatus = status;
      enum { kGo, kOther, kCancel } decision = kGo;
      if (OnStatusDisk) {
        TZipDiskAction action = zdaOk;
        OnStatusDisk(*this, shown, name, status, action);
        disk_.lastAction = action;
        decision = action == zdaReject ? kOther : action == zdaCancel ? kCancel : kGo;
      } else if (status.Contains(zdsPreviousDisk) || status.Contains(zdsSameFileName)) {
        const int r = Ui().questionBox(question, QStringLiteral("Confirm"), MsgButtons::YesNoCancel, MsgIcon::Warning,
                                       mrNo);
        decision = r == mrYes ? kGo : r == mrNo ? kOther : kCancel;
      }
      if (decision == kCancel) throw EZipArchiver::CreateFromId(11007, false);
      // The disk in the drive still holds a part of this very set: going on would
      // write over it, so the next disk is asked for whatever the answer.
      if (decision == kGo && ourPart) decision = kOther;
      if (decision == kOther) {
        disk_.newDisk = true;
        // A folder of a fixed drive asks for nothing before a part, so another
        // disk is asked for here: the user can make room for the part (or give
        // up) before the same name is looked at again.
        if (disk_.driveFixed && !OnStatusDisk) {
          const QString text = FormatZipText(LoadZipString(11046), {QString::number(disk_.diskNr + 1)}) +
                               FormatZipText(LoadZipString(11035), {disk_.drive});
          const int r = Ui().questionBox(text, QString(), MsgButtons::OkCancel, MsgIcon::None, mrOk);
          if (r == mrNone) throw EZipArchiver::CreateFromId(11006, true);
          if (r != mrOk) throw EZipArchiver::CreateFromId(11007, false);
        }
        continue;
      }
      disk_.outFile = CreatePartTemp(name, disk_.partTemp);
      if (disk_.outFile < 0) {
        disk_.failedErrno = errno;
        throw EZipArchiver::CreateFromId(11009, true);
      }
      DiskFreeAndSize(1);
      int64_t room = disk_.freeOnDisk - static_cast<int64_t>(keepFreeOnAllDisks_);
      if (disk_.diskNr == 0) room -= keepFreeOnDisk1_;
      if (maxVolumeSize_ > 0 && maxVolumeSize_ < room) room = maxVolumeSize_;
      // A part with no room at all could never take a byte.
      if (room < minFreeVolumeSize_ || room <= 0) {
        DiscardPart(disk_);
        if (unattended_) throw EZipArchiver::CreateFromId(11025, true);
        if (OnStatusDisk) {
          TZipDiskAction action = zdaOk;
          OnStatusDisk(*this, shown, name, TZipDiskStatus{zdsNotEnoughSpace}, action);
          disk_.lastAction = action;
          if (action == zdaCancel) throw EZipArchiver::CreateFromId(11007, false);
        } else {
          const int r = Ui().questionBox(LoadZipString(11032), QCoreApplication::applicationName(),
                                         MsgButtons::RetryCancel, MsgIcon::Stop, mrRetry);
          if (r == mrNone) throw EZipArchiver::CreateFromId(11006, true);
          if (r != mrRetry) throw EZipArchiver::CreateFromId(11007, false);
        }
        disk_.newDisk = true;
        continue;
      }
      if (!disk_.driveFixed && !spanOptions_.Contains(spNoVolumeName) &&
          !WriteVolumeLabel(disk_.drive, QStringLiteral("PKBACK# ") + Digits(disk_.diskNr + 1, 3))) {
        DiscardPart(disk_);
        throw EZipArchiver::CreateFromId(11005, true);
      }
      disk_.partName = name;
      disk_.partBytes = 0;
      disk_.roomLeft = room;
    }
    // A structure that must stay whole goes to the next part, unless this part
    // is still empty: then no part could take it whole.
    if (minRoom > 0 && minRoom > disk_.roomLeft && disk_.partBytes > 0) {
      if (!FinishPart(disk_)) throw EZipArchiver::CreateFromId(11010, true);
      disk_.newDisk = true;
      ++disk_.diskNr;
      continue;
    }
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(length - done, std::max<int64_t>(disk_.roomLeft, 0)));
    if (n > 0) {
      if (!DiskWrite(disk_.outFile, data + done, n)) {
        disk_.failedErrno = errno;
        throw EZipArchiver::CreateFromId(11010, true);
      }
      if (disk_.showProgress) DispatchEvent(ZIPCB_PROGRESS, 0, n, QString());
      disk_.partBytes += n;
      disk_.roomLeft -= n;
      done += n;
    }
    if (done < length) {
      if (!FinishPart(disk_)) throw EZipArchiver::CreateFromId(11010, true);
      disk_.roomLeft = 0;
      ++disk_.diskNr;
      disk_.newDisk = true;
    }
  }
}

QString TZipArchiver::SpanKeptText() {
  QString text;
  if (disk_.holdParts) {
    // Nothing of the new set is left: the files of its names are the earlier ones.
    const bool compat = spanOptions_.Contains(spCompatName);
    const QString there = LoadZipString(11039).section(u'\n', 0, 0);
    for (int32_t part = 0; part < MaxSpanParts(); ++part) {
      const QString name = SpanPartName(disk_.target, part, false, compat);
      if (!Exists(name)) break;
      text += u'\n' + FormatZipText(there, {name});
    }
    if (compat && Exists(disk_.target)) text += u'\n' + FormatZipText(there, {disk_.target});
  } else {
    // Parts written disk by disk stay on their disks: the user is told which.
    for (size_t i = 0; i < disk_.written.size(); ++i)
      text += QStringLiteral("\nDisk volume %1: %2").arg(i + 1).arg(disk_.written[i].name);
  }
  return text;
}

bool TZipArchiver::CommitSpanParts(const QString& lastName) {
  // In order, so that a reader never meets a later part of the new set beside
  // earlier parts of the old one.
  for (size_t i = 0; i < disk_.written.size(); ++i) {
    ZipSpanPart& p = disk_.written[i];
    if (p.temp.isEmpty()) continue;
    const QString to = i + 1 == disk_.written.size() ? lastName : p.name;
    if (!DiskRename(QFile::encodeName(p.temp).constData(), QFile::encodeName(to).constData(), true)) {
      disk_.failedErrno = errno;
      return false;
    }
    p.temp.clear();
    p.name = to;
  }
  DiskSyncFolder(QFile::encodeName(QFileInfo(disk_.target).absolutePath()).constData());
  return true;
}

int32_t TZipArchiver::WriteSpan(const QString& inFile, const QString& outFile) {
  int32_t result = 0;
  errCode_ = 0;
  message_.clear();
  zipBusy_ = true;
  disk_.diskNr = 0;
  disk_.totalDisks = 0;
  disk_.roomLeft = 0;
  disk_.partBytes = 0;
  disk_.newDisk = true;
  disk_.thisDisk = -1;
  disk_.target = outFile;
  disk_.drive = AppendSlash(QFileInfo(outFile).absolutePath());
  disk_.driveFixed = IsFixedDrive(disk_.drive);
  disk_.holdParts = disk_.driveFixed;
  disk_.written.clear();
  disk_.failedErrno = 0;
  disk_.lastAction = zdaOk;
  std::unique_ptr<TMZipDataList> list;
  std::vector<uint8_t> buffer(kChunk);
  bool cursor = false;
  try {
    if (QFileInfo(outFile).fileName().isEmpty()) throw EZipArchiver::CreateFromId(11009, true);
    if (!Exists(inFile)) throw EZipArchiver::CreateFromId(11001, true);
    StartWaitCursor();
    cursor = true;
    workFileName_ = inFile;
    EndOfCentral end;
    if (!FindEndOfCentral(end, false)) throw EZipArchiver::CreateFromId(11002, true);
    disk_.dateStamp = FileTime(inFile);
    {
      struct stat st;
      disk_.fileSize = fstat(disk_.inFile, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
    }
    {
      // A set that would need more parts than can be numbered is refused before a
      // part is written: parts are at most the room a disk now offers.
      DiskFreeAndSize(3);
      int64_t room = (disk_.driveFixed ? disk_.freeOnDisk : disk_.sizeOfDisk) - static_cast<int64_t>(keepFreeOnAllDisks_);
      if (maxVolumeSize_ > 0 && (room <= 0 || maxVolumeSize_ < room)) room = maxVolumeSize_;
      if (room > 0 && (disk_.fileSize + 4 + room - 1) / room > MaxSpanParts())
        throw EZipArchiver::CreateFromId(11048, true);
    }
    const int64_t centralStart = recordPos_ - static_cast<int64_t>(end.centralSize) - zip64Tail_;
    if (lseek(disk_.inFile, 0, SEEK_SET) != 0) throw EZipArchiver::CreateFromId(11008, true);

    list = std::make_unique<TMZipDataList>(end.totalEntries);
    uint8_t marker[4];
    Put32(marker, kSigSpan);
    CheckForDisk(marker, 4, 0);
    disk_.showProgress = true;
    DispatchEvent(ZIPCB_FILE_COUNT, 0, end.totalEntries, QString());
    DispatchEvent(ZIPCB_TOTAL_SIZE, 0, static_cast<uint32_t>(disk_.fileSize), QString());

    for (int i = 0; i < list->Count(); ++i) {
      uint8_t h[kLocalSize];
      if (ReadUpTo(disk_.inFile, h, kLocalSize) < kLocalSize) throw EZipArchiver::CreateFromId(11012, true);
      if (Get32(h) != kSigLocal) throw EZipArchiver::CreateFromId(11014, true);
      const uint16_t flag = Get16(h + 6);
      const uint32_t compressed = Get32(h + 18);
      const uint32_t nameLen = Get16(h + 26);
      const uint32_t extraLen = Get16(h + 28);
      std::vector<uint8_t> header(kLocalSize + nameLen + extraLen);
      std::memcpy(header.data(), h, kLocalSize);
      if (ReadUpTo(disk_.inFile, header.data() + kLocalSize, nameLen + extraLen) < nameLen + extraLen)
        throw EZipArchiver::CreateFromId(11012, true);
      TMZipData& item = list->Items(i);
      item.name = QByteArray(reinterpret_cast<const char*>(header.data() + kLocalSize), nameLen);
      QString shown = QString::fromUtf8(item.name);
      shown.replace(u'/', u'\\');
      DispatchEvent(ZIPCB_MESSAGE, 0, 0, LoadZipString(10105) + shown);
      DispatchEvent(ZIPCB_NEW_FILE, 0,
                    static_cast<uint32_t>(header.size()) + compressed + ((flag & 8) ? 16 : 0), shown);
      CheckForDisk(header.data(), static_cast<uint32_t>(header.size()), static_cast<uint32_t>(header.size()));
      item.disk = disk_.diskNr;
      item.offset = static_cast<uint32_t>(disk_.partBytes - static_cast<int64_t>(header.size()));
      CopyToSpan(buffer.data(), compressed, 11021);
      if (flag & 8) CopyToSpan(buffer.data(), 16, 11021);
    }

    const QString central = LoadZipString(11047);
    DispatchEvent(ZIPCB_MESSAGE, 0, 0, LoadZipString(10105) + central);
    DispatchEvent(ZIPCB_NEW_FILE, 0, end.centralSize, central);
    if (lseek(disk_.inFile, centralStart, SEEK_SET) != centralStart) throw EZipArchiver::CreateFromId(11008, true);
    int32_t centralDisk = disk_.diskNr;
    uint32_t centralOffset = 0;
    for (int i = 0; i < list->Count(); ++i) {
      uint8_t h[kCentralSize];
      if (ReadUpTo(disk_.inFile, h, kCentralSize) < kCentralSize) throw EZipArchiver::CreateFromId(11013, true);
      if (Get32(h) != kSigCentral) throw EZipArchiver::CreateFromId(11015, true);
      const uint32_t rest = static_cast<uint32_t>(Get16(h + 28)) + Get16(h + 30) + Get16(h + 32);
      std::vector<uint8_t> header(kCentralSize + rest);
      std::memcpy(header.data(), h, kCentralSize);
      if (ReadUpTo(disk_.inFile, header.data() + kCentralSize, rest) < rest)
        throw EZipArchiver::CreateFromId(11013, true);
      const QByteArray name(reinterpret_cast<const char*>(header.data() + kCentralSize), Get16(h + 28));
      // Central headers come in the order of the entries; the name is looked up
      // only when they do not, so two entries of one name keep their own places.
      const TMZipData& item = list->Items(list->Items(i).name == name ? i : list->IndexOf(name));
      Put16(header.data() + 34, static_cast<uint32_t>(item.disk));
      Put32(header.data() + 42, item.offset);
      CheckForDisk(header.data(), static_cast<uint32_t>(header.size()), static_cast<uint32_t>(header.size()));
      if (i == 0) {
        centralDisk = disk_.diskNr;
        centralOffset = static_cast<uint32_t>(disk_.partBytes - static_cast<int64_t>(header.size()));
      }
    }
    if (list->Count() == 0) {
      centralDisk = disk_.diskNr;
      centralOffset = static_cast<uint32_t>(disk_.partBytes);
    }

    uint8_t rec[kEndSize];
    if (lseek(disk_.inFile, recordPos_, SEEK_SET) != recordPos_ || ReadUpTo(disk_.inFile, rec, kEndSize) < kEndSize)
      throw EZipArchiver::CreateFromId(11008, true);
    const uint32_t commentLen = end.commentLength;
    const uint32_t whole = kEndSize + commentLen;
    // The record lands on the part that has room for it with its comment.
    const int32_t lastPart = disk_.outFile >= 0 && disk_.partBytes > 0 && disk_.roomLeft < whole ? disk_.diskNr + 1
                                                                                                  : disk_.diskNr;
    Put16(rec + 4, static_cast<uint32_t>(lastPart));
    Put16(rec + 6, static_cast<uint32_t>(centralDisk));
    Put32(rec + 16, centralOffset);
    Put16(rec + 20, commentLen);
    std::vector<uint8_t> tail(whole);
    std::memcpy(tail.data(), rec, kEndSize);
    if (ReadUpTo(disk_.inFile, tail.data() + kEndSize, commentLen) < commentLen)
      throw EZipArchiver::CreateFromId(11023, true);
    CheckForDisk(tail.data(), whole, whole);
    if (!FinishPart(disk_)) throw EZipArchiver::CreateFromId(11010, true);
    disk_.showProgress = false;
  } catch (const EZipArchiver& e) {
    // The system's reason of a failed part step, then, once a part was begun,
    // what the disks now hold.
    const bool begun = disk_.outFile >= 0 || !disk_.written.empty();
    DiscardPart(disk_);
    QString extra;
    if (disk_.failedErrno != 0 && (e.Id() == 11009 || e.Id() == 11010)) extra = u'\n' + DiskErrorText(disk_.failedErrno);
    const QString kept = begun ? SpanKeptText() : QString();
    extra += kept;
    // A plain cancel shows no box, unless there is something to tell of what stays.
    ShowExceptionError(kept.isEmpty() || e.Display() ? e : EZipArchiver::CreateFromId(e.Id(), true), extra);
    result = -7;
  } catch (const std::bad_alloc&) {
    const bool begun = disk_.outFile >= 0 || !disk_.written.empty();
    DiscardPart(disk_);
    ShowZipMessage(10103, begun ? SpanKeptText() : QString());
    result = -8;
  } catch (const std::exception& e) {
    const bool begun = disk_.outFile >= 0 || !disk_.written.empty();
    DiscardPart(disk_);
    ShowZipMessage(11024, QString::fromLocal8Bit(e.what()) + (begun ? SpanKeptText() : QString()));
    result = -9;
  }
  disk_.showProgress = false;
  if (cursor) StopWaitCursor();
  try {
    DispatchEvent(ZIPCB_END_BATCH, 0, 0, QString());
  } catch (const EZipArchiver& e) {
    if (result == 0) {
      ShowExceptionError(e);
      result = -7;
    }
  }
  list.reset();
  // Only a part that was not finished is still open: it is not kept.
  DiscardPart(disk_);
  if (disk_.inFile >= 0) close(disk_.inFile);
  disk_.inFile = -1;

  if (result == 0 && !disk_.written.empty()) {
    const QString part = disk_.written.back().name;
    bool toTarget = false;
    bool keep = false;
    if (spanOptions_.Contains(spCompatName)) {
      toTarget = true;
      if (Exists(outFile)) {
        const QString question = FormatZipText(LoadZipString(11039), {outFile});
        if (OnStatusDisk) {
          TZipDiskAction action = zdaOk;
          OnStatusDisk(*this, disk_.diskNr + 1, outFile, TZipDiskStatus{zdsSameFileName}, action);
          keep = action != zdaOk;
        } else {
          const int r =
              Ui().questionBox(question, LoadZipString(11102), MsgButtons::YesNo, MsgIcon::Warning, mrNo);
          if (r == mrNone) ShowZipMessage(11006);
          keep = r != mrYes;
        }
        toTarget = !keep;
      }
    }
    bool placed = true;
    if (disk_.holdParts) {
      placed = CommitSpanParts(toTarget ? outFile : part);
    } else if (toTarget && Exists(part)) {
      placed = DiskRename(QFile::encodeName(part).constData(), QFile::encodeName(outFile).constData(), true);
      if (!placed) disk_.failedErrno = errno;
    }
    if (!placed) {
      ShowExceptionError(EZipArchiver::CreateFromId(11010, true), u'\n' + DiskErrorText(disk_.failedErrno));
      result = -7;
    } else if (keep) {
      try {
        DispatchEvent(ZIPCB_MESSAGE, 11010, 0, QStringLiteral("Last part left as : ") + part);
      } catch (const EZipArchiver&) {
      }
    }
  }
  // A set given up leaves none of its hidden parts.
  DiscardHeldParts(disk_);
  disk_.thisDisk = disk_.diskNr;
  zipBusy_ = false;
  return result;
}

// ---- Joining a set ----------------------------------------------------------------------

namespace {

// Ends a join without a further report: the reason has been given already.
struct SpanStop {};

}  // namespace

bool TZipArchiver::FindLastSpanPart(EndOfCentral& end) {
  const QFileInfo info(workFileName_);
  const QString folder = info.path();
  const QString stem = info.completeBaseName();
  const QString base = PathConcat(folder, stem);
  // A part of the set on the disk in the drive: numbered, else with ".zNN".
  // The highest number wins, not the last name: ".z100" sorts before ".z99".
  auto onDisk = [&]() -> QString {
    const QStringList names = QDir(folder).entryList(QDir::Files);
    for (const QRegularExpression& pattern : {QRegularExpression(QStringLiteral("^(\\d{3,})\\.zip$")),
                                              QRegularExpression(QStringLiteral("^\\.z(\\d{2,})$"))}) {
      QString best;
      qint64 bestNumber = -1;
      for (const QString& name : names) {
        if (!name.startsWith(stem)) continue;
        const QRegularExpressionMatch m = pattern.match(QStringView(name).mid(stem.size()));
        if (m.hasMatch() && m.captured(1).toLongLong() > bestNumber) {
          bestNumber = m.captured(1).toLongLong();
          best = name;
        }
      }
      if (!best.isEmpty()) return PathConcat(folder, best);
    }
    return QString();
  };
  bool numbered = false;
  if (!Exists(workFileName_)) {
    numbered = true;
    QString last;
    if (disk_.driveFixed) {
      // The first of a set named ".z01" and on whose last part (the named file)
      // is missing cannot be read as a numbered set.
      if (Exists(base + QStringLiteral(".z01"))) throw EZipArchiver::CreateFromId(11002, true);
      const QString set = base + QStringLiteral(".zip");
      for (int32_t part = 0; part < MaxSpanParts() && Exists(SpanPartName(set, part, false, false)); ++part)
        last = SpanPartName(set, part, false, false);
    } else {
      last = onDisk();
    }
    if (last.isEmpty()) throw EZipArchiver::CreateFromId(11002, true);
    workFileName_ = last;
  }
  while (!FindEndOfCentral(end, false)) {
    if (disk_.inFile >= 0) close(disk_.inFile);
    disk_.inFile = -1;
    if (disk_.driveFixed) throw EZipArchiver::CreateFromId(numbered ? 11002 : 11036, true);
    if (OnGetNextDisk) {
      bool abort = false;
      OnGetNextDisk(*this, 0, 0, disk_.drive.left(1), abort);
      if (abort) {
        spanStopResult_ = 1;
        return false;
      }
    } else {
      disk_.diskNr = -1;
      disk_.newDisk = true;
      PromptForDisk(false);
    }
    if (numbered) {
      const QString next = onDisk();
      if (next.isEmpty()) {
        ShowZipMessage(11002);
        spanStopResult_ = -1;
        return false;
      }
      workFileName_ = next;
    }
  }
  return true;
}

int32_t TZipArchiver::ReadSpan(const QString& inFile, QString& outFile) {
  int32_t result = 0;
  errCode_ = 0;
  message_.clear();
  std::unique_ptr<TMZipDataList> list;
  std::vector<uint8_t> buffer(kChunk);
  bool created = false;
  bool cursor = false;
  auto readAcross = [&](void* out, uint32_t n, int messageId) {
    // A part may end inside a structure: the rest is on the next one.
    auto* p = static_cast<uint8_t*>(out);
    while (n > 0) {
      const size_t got = ReadUpTo(disk_.inFile, p, n);
      p += got;
      n -= static_cast<uint32_t>(got);
      if (n == 0) break;
      if (!AtEnd(disk_.inFile) || disk_.diskNr >= disk_.totalDisks) throw EZipArchiver::CreateFromId(messageId, true);
      GetNewDisk(disk_.diskNr + 1);
    }
  };
  EndOfCentral end;
  try {
    // A name that is the set's own part would be erased: a temporary name then.
    if (outFile.isEmpty() || outFile.endsWith(u'/') || QFileInfo(outFile).isDir() ||
        QFileInfo(outFile) == QFileInfo(inFile)) {
      if (!outFile.isEmpty() && !QFileInfo(outFile).isDir()) outFile.clear();
      const QString saved = tempDir_;
      if (!outFile.isEmpty()) tempDir_ = outFile;
      outFile = MakeTempFileName();
      tempDir_ = saved;
      if (outFile.isEmpty()) throw EZipArchiver::CreateFromId(11027, true);
    } else {
      EraseFile(outFile, howToDelete_);
      const QFileInfo info(outFile);
      outFile = PathConcat(info.path(), info.completeBaseName() + QStringLiteral(".zip"));
    }
    StartWaitCursor();
    cursor = true;

    // The last part, with the end record.
    disk_.drive = AppendSlash(QFileInfo(inFile).absolutePath());
    disk_.driveFixed = IsFixedDrive(disk_.drive);
    DiskIsReady();
    disk_.volumeLabel = ReadVolumeLabel(disk_.drive);
    workFileName_ = inFile;
    if (!FindLastSpanPart(end)) throw SpanStop{};
    disk_.diskNr = end.thisDisk;
    disk_.totalDisks = end.thisDisk;
    QByteArray comment(end.commentLength, '\0');
    if (end.commentLength > 0 &&
        pread(disk_.inFile, comment.data(), end.commentLength, recordPos_ + kEndSize) != end.commentLength)
      throw EZipArchiver::CreateFromId(11023, true);

    disk_.outFile = open(QFile::encodeName(outFile).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (disk_.outFile < 0) throw EZipArchiver::CreateFromId(11009, true);
    created = true;

    // The central directory, from the parts that hold it.
    if (end.centralDisk != disk_.diskNr) GetNewDisk(end.centralDisk);
    if (lseek(disk_.inFile, end.centralOffset, SEEK_SET) != static_cast<off_t>(end.centralOffset))
      throw EZipArchiver::CreateFromId(11008, true);
    list = std::make_unique<TMZipDataList>(end.totalEntries);
    std::vector<std::vector<uint8_t>> centrals(end.totalEntries);
    for (int i = 0; i < list->Count(); ++i) {
      uint8_t h[kCentralSize];
      readAcross(h, kCentralSize, 11013);
      if (Get32(h) != kSigCentral) throw EZipArchiver::CreateFromId(11015, true);
      const uint32_t nameLen = Get16(h + 28);
      const uint32_t rest = nameLen + Get16(h + 30) + Get16(h + 32);
      std::vector<uint8_t>& header = centrals[static_cast<size_t>(i)];
      header.resize(kCentralSize + rest);
      std::memcpy(header.data(), h, kCentralSize);
      readAcross(header.data() + kCentralSize, nameLen, 11017);
      readAcross(header.data() + kCentralSize + nameLen, rest - nameLen, 11019);
      TMZipData& item = list->Items(i);
      item.name = QByteArray(reinterpret_cast<const char*>(header.data() + kCentralSize), nameLen);
      item.disk = Get16(h + 34);
      item.offset = Get32(h + 42);
    }

    // The entries, part after part from the first.
    GetNewDisk(0);
    uint8_t marker[4];
    if (ReadUpTo(disk_.inFile, marker, 4) < 4 || Get32(marker) != kSigSpan) throw EZipArchiver::CreateFromId(11031, true);
    disk_.showProgress = true;
    DispatchEvent(ZIPCB_FILE_COUNT, 0, end.totalEntries, QString());
    uint32_t total = 0;
    for (const auto& c : centrals) total += Get32(c.data() + 20);
    DispatchEvent(ZIPCB_TOTAL_SIZE, 0, total, QString());
    std::vector<uint32_t> newOffsets(end.totalEntries);
    uint64_t outPos = 0;
    for (int i = 0; i < list->Count(); ++i) {
      uint8_t h[kLocalSize];
      readAcross(h, kLocalSize, 11012);
      if (Get32(h) != kSigLocal) throw EZipArchiver::CreateFromId(11014, true);
      const uint16_t flag = Get16(h + 6);
      const uint32_t nameLen = Get16(h + 26);
      const uint32_t extraLen = Get16(h + 28);
      std::vector<uint8_t> header(kLocalSize + nameLen + extraLen);
      std::memcpy(header.data(), h, kLocalSize);
      readAcross(header.data() + kLocalSize, nameLen, 11016);
      readAcross(header.data() + kLocalSize + nameLen, extraLen, 11018);
      const QByteArray name(reinterpret_cast<const char*>(header.data() + kLocalSize), nameLen);
      const int index = list->Items(i).name == name ? i : list->IndexOf(name);
      // The sizes come from the central header: a local one may be zero when a
      // data descriptor follows.
      const uint32_t compressed = Get32(centrals[static_cast<size_t>(index)].data() + 20);
      QString shown = QString::fromUtf8(name);
      shown.replace(u'/', u'\\');
      DispatchEvent(ZIPCB_MESSAGE, 0, 0, LoadZipString(10105) + shown);
      DispatchEvent(ZIPCB_NEW_FILE, 0, static_cast<uint32_t>(header.size()) + compressed, shown);
      if (outPos > 0xFFFFFFFFu) throw EZipArchiver::CreateFromId(11028, true);
      newOffsets[static_cast<size_t>(index)] = static_cast<uint32_t>(outPos);
      if (!DiskWrite(disk_.outFile, header.data(), header.size())) throw EZipArchiver::CreateFromId(11028, true);
      outPos += header.size();
      CopyFromSpan(buffer.data(), compressed, 11021);
      outPos += compressed;
      if (flag & 8) {
        uint8_t d[16];
        readAcross(d, 4, 11020);
        uint32_t len = 4;
        const uint32_t more = Get32(d) == kSigSpan ? 12 : 8;
        readAcross(d + 4, more, 11020);
        len += more;
        if (!DiskWrite(disk_.outFile, d, len)) throw EZipArchiver::CreateFromId(11020, true);
        outPos += len;
      }
    }
    const uint64_t centralPos = outPos;
    uint64_t centralSize = 0;
    for (size_t i = 0; i < centrals.size(); ++i) {
      std::vector<uint8_t>& c = centrals[i];
      Put16(c.data() + 34, 0);
      Put32(c.data() + 42, newOffsets[i]);
      if (!DiskWrite(disk_.outFile, c.data(), c.size())) throw EZipArchiver::CreateFromId(11029, true);
      centralSize += c.size();
    }
    if (centralPos + centralSize > 0xFFFFFFFFu) throw EZipArchiver::CreateFromId(11030, true);
    uint8_t rec[kEndSize] = {};
    Put32(rec, 0x06054b50);
    Put16(rec + 8, end.totalEntries);
    Put16(rec + 10, end.totalEntries);
    Put32(rec + 12, static_cast<uint32_t>(centralSize));
    Put32(rec + 16, static_cast<uint32_t>(centralPos));
    Put16(rec + 20, end.commentLength);
    if (!DiskWrite(disk_.outFile, rec, kEndSize)) throw EZipArchiver::CreateFromId(11030, true);
    if (!DiskWrite(disk_.outFile, comment.constData(), static_cast<size_t>(comment.size())))
      throw EZipArchiver::CreateFromId(11023, true);
    if (fsync(disk_.outFile) != 0) throw EZipArchiver::CreateFromId(11030, true);
  } catch (const SpanStop&) {
    result = spanStopResult_;
  } catch (const EZipArchiver& e) {
    ShowExceptionError(e);
    if (result == 0) result = -7;
  } catch (const std::bad_alloc&) {
    ShowZipMessage(10103);
    result = -8;
  } catch (const std::exception& e) {
    ShowZipMessage(11024, QString::fromLocal8Bit(e.what()));
    result = -9;
  }
  disk_.showProgress = false;
  if (cursor) StopWaitCursor();
  list.reset();
  if (disk_.outFile >= 0) close(disk_.outFile);
  disk_.outFile = -1;
  if (disk_.inFile >= 0) close(disk_.inFile);
  disk_.inFile = -1;
  // Nothing half-joined is left for the extract.
  if (result != 0 && created) unlink(QFile::encodeName(outFile).constData());
  return result;
}
