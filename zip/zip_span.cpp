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

#include "interfaces/zip_headers.h"
#include "platform/disk_steps.h"
#include "platform/replacement_file.h"
#include "platform/temp_beside.h"
#include "platform/ui_services.h"
#include "zip/zip_archiver.h"
#include "zip/zip_message_ids.h"
#include "zip/zip_messages.h"

namespace {

constexpr uint32_t kChunk = 10240;

// Where the span writer and the joiner put a part number and an offset into a
// central header they pass on.
constexpr size_t kCentralDiskStartAt = 34;
constexpr size_t kCentralLocalOffsetAt = 42;

// Reads until count bytes came, the file ended or an error occurred.
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
    const int answer = Ui().questionBox(LoadZipString(kZipErase) + disk_.drive, LoadZipString(kZipConfirm),
                                        MsgButtons::YesNo, MsgIcon::Warning, mrNo);
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
      if (disk_.driveFixed) throw EZipArchiver::CreateFromId(kZipInputMissing, true);
      ShowZipMessage(kZipInputMissing);
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

// ---- The records a span copy passes on -----------------------------------------------------

// One entry of the archive being copied: its stored name, the part and offset of
// its local header, and (when joining) its central header and new offset.
struct TZipArchiver::SpanEntry {
  QByteArray name;
  int32_t disk = 0;
  uint32_t offset = 0;
  std::vector<uint8_t> central;  // the central header with its name, extra field and comment
  zipfmt::CentralHeader header;
  uint32_t newOffset = 0;
};

struct TZipArchiver::SpanCopy {
  EndOfCentral end;
  std::vector<SpanEntry> entries;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kChunk);
  int64_t centralStart = 0;  // where the central directory of the archive being spread starts
  int32_t centralDisk = 0;   // the part and offset where the copy's central directory starts
  uint32_t centralOffset = 0;
  uint64_t outPos = 0;  // the joined archive's size so far

  int Count() const { return static_cast<int>(entries.size()); }
  SpanEntry& Item(int i) {
    if (i < 0 || i >= Count())
      throw std::out_of_range(QStringLiteral("Index (%1) outside range 1..%2").arg(i).arg(Count() - 1).toStdString());
    return entries[static_cast<size_t>(i)];
  }
  // Headers come in the order of the entries; the name is looked up only when
  // they do not, so two entries of one name keep their own places.
  int IndexFor(int i, const QByteArray& name) { return Item(i).name == name ? i : IndexOf(name); }
  // The first record with that name (compared without regard to case). The
  // stored bytes are tried as they stand first: two names that differ only in
  // case are two entries.
  int IndexOf(const QByteArray& name) const {
    for (size_t i = 0; i < entries.size(); ++i)
      if (entries[i].name == name) return static_cast<int>(i);
    const QString wanted = QString::fromLatin1(name);
    for (size_t i = 0; i < entries.size(); ++i)
      if (QString::fromLatin1(entries[i].name).compare(wanted, Qt::CaseInsensitive) == 0) return static_cast<int>(i);
    throw EZipArchiver::CreateFromId(kZipLocalHeaderNotFound, true);
  }
};

namespace {

// Reads exactly n bytes or raises the message given.
using ReadExactly = std::function<void(void* out, uint32_t n, int messageId)>;

// The messages for a header too short, without its signature, and cut in its
// name or in what follows the name.
struct HeaderMessages {
  int fixed, signature, name, rest;
};
constexpr HeaderMessages kSpreadLocal{kZipLocalHeaderReadError, kZipLocalSignatureWrong, kZipLocalHeaderReadError,
                                      kZipLocalHeaderReadError};
constexpr HeaderMessages kSpreadCentral{kZipCentralHeaderReadError, kZipCentralSignatureWrong,
                                        kZipCentralHeaderReadError, kZipCentralHeaderReadError};
constexpr HeaderMessages kJoinLocal{kZipLocalHeaderReadError, kZipLocalSignatureWrong, kZipLocalNameReadError,
                                    kZipLocalExtraReadError};
constexpr HeaderMessages kJoinCentral{kZipCentralHeaderReadError, kZipCentralSignatureWrong, kZipCentralNameReadError,
                                      kZipCentralExtraReadError};

// A local header with its name and extra field.
std::vector<uint8_t> ReadLocalHeader(const ReadExactly& read, const HeaderMessages& ids, zipfmt::LocalHeader& h) {
  std::vector<uint8_t> bytes(zipfmt::kLocalHeaderSize);
  read(bytes.data(), zipfmt::kLocalHeaderSize, ids.fixed);
  if (!zipfmt::ParseLocalHeader(bytes.data(), bytes.size(), h)) throw EZipArchiver::CreateFromId(ids.signature, true);
  bytes.resize(h.TotalSize());
  read(bytes.data() + zipfmt::kLocalHeaderSize, h.nameLength, ids.name);
  read(bytes.data() + zipfmt::kLocalHeaderSize + h.nameLength, h.extraLength, ids.rest);
  return bytes;
}

// A central header with its name, extra field and comment.
std::vector<uint8_t> ReadCentralHeader(const ReadExactly& read, const HeaderMessages& ids, zipfmt::CentralHeader& h) {
  std::vector<uint8_t> bytes(zipfmt::kCentralHeaderSize);
  read(bytes.data(), zipfmt::kCentralHeaderSize, ids.fixed);
  if (!zipfmt::ParseCentralHeader(bytes.data(), bytes.size(), h)) throw EZipArchiver::CreateFromId(ids.signature, true);
  bytes.resize(h.TotalSize());
  read(bytes.data() + zipfmt::kCentralHeaderSize, h.nameLength, ids.name);
  read(bytes.data() + zipfmt::kCentralHeaderSize + h.nameLength, static_cast<uint32_t>(h.extraLength) + h.commentLength,
       ids.rest);
  return bytes;
}

// Reads from the archive being spread, where a short read is the message given.
ReadExactly ReadWhole(int fd) {
  return [fd](void* out, uint32_t n, int messageId) {
    if (ReadUpTo(fd, out, n) < n) throw EZipArchiver::CreateFromId(messageId, true);
  };
}

QByteArray StoredName(const std::vector<uint8_t>& header, size_t fixedSize, uint16_t length) {
  return QByteArray(reinterpret_cast<const char*>(header.data() + fixedSize), length);
}

// The name as the events show it.
QString ShownName(const QByteArray& name) {
  QString shown = QString::fromUtf8(name);
  shown.replace(u'/', u'\\');
  return shown;
}

void PutCentralPlace(std::vector<uint8_t>& header, int32_t disk, uint32_t offset) {
  zipfmt::Put16(header.data() + kCentralDiskStartAt, static_cast<uint16_t>(disk));
  zipfmt::Put32(header.data() + kCentralLocalOffsetAt, offset);
}

void PutEndRecord(uint8_t* p, const zipfmt::EndRecord& r) {
  zipfmt::Put32(p, zipfmt::kSigEnd);
  zipfmt::Put16(p + 4, r.thisDisk);
  zipfmt::Put16(p + 6, r.centralDisk);
  zipfmt::Put16(p + 8, r.entriesOnDisk);
  zipfmt::Put16(p + 10, r.totalEntries);
  zipfmt::Put32(p + 12, r.centralSize);
  zipfmt::Put32(p + 16, r.centralOffset);
  zipfmt::Put16(p + 20, r.commentLength);
}

}  // namespace

// ---- The span writer --------------------------------------------------------------------

namespace {

// A part is written by the program's file writer under its hidden name beside
// the part's own. On a removable disk it is renamed into place as soon as it is
// whole; in a folder of a fixed drive every part waits, flushed and closed, under
// its hidden name until the last one is whole, so a set given up half-way leaves
// the earlier files of those names as they were.
//
// Gives the part its date and puts it on disk; the part is then one of the set's.
// False, with the reason in failedErrno, when a step failed: the hidden file is
// then gone.
bool FinishPart(ZipDiskState& d) {
  if (!d.part) return true;
  std::unique_ptr<TReplacementFile> part = std::move(d.part);
  if (d.dateStamp > 0) (void)part->SetModificationTime({static_cast<time_t>(d.dateStamp), 0});
  struct stat st {};
  stat(QFile::encodeName(part->TempPath()).constData(), &st);
  // A part is a new file: it gets the bits of one, whatever it replaces.
  if (!part->Finish(false) || (!d.holdParts && !part->Commit(true))) {
    d.failedErrno = part->SystemError();
    return false;
  }
  d.written.push_back({d.holdParts ? std::move(part) : nullptr, d.partName, static_cast<uint64_t>(st.st_dev),
                       static_cast<uint64_t>(st.st_ino)});
  return true;
}

// Whether the file of that name is a part this write has already put on a disk.
bool IsPartOfThisSet(const ZipDiskState& d, const QString& name) {
  struct stat st;
  if (stat(QFile::encodeName(name).constData(), &st) != 0) return false;
  return std::any_of(d.written.begin(), d.written.end(), [&](const ZipSpanPart& p) {
    return !p.held && p.device == static_cast<uint64_t>(st.st_dev) && p.inode == static_cast<uint64_t>(st.st_ino);
  });
}

}  // namespace

void TZipArchiver::CheckForDisk(const uint8_t* data, uint32_t length, uint32_t minRoom) {
  Ui().processPendingMessages();
  if (cancel_) throw EZipArchiver::CreateFromId(kZipUserCancelled, false);
  uint32_t done = 0;
  while (done < length) {
    if (!disk_.part && !BeginSpanPart()) continue;
    // A structure that must stay whole goes to the next part, unless this part
    // is still empty: then no part could take it whole.
    if (minRoom > 0 && minRoom > disk_.roomLeft && disk_.partBytes > 0) {
      NextSpanPart();
      continue;
    }
    done += WriteToSpanPart(data + done, length - done);
    if (done < length) NextSpanPart();
  }
}

bool TZipArchiver::BeginSpanPart() {
  const SpanPartPlan plan = PlanSpanPart();
  if (AskAboutPart(plan) == PartDecision::OtherDisk) {
    AskForAnotherDisk();
    return false;
  }
  return OpenSpanPart(plan);
}

TZipArchiver::SpanPartPlan TZipArchiver::PlanSpanPart() {
  disk_.driveFixed = IsFixedDrive(disk_.drive);
  // Beyond this the end record could not number the part (or a label name it).
  if (disk_.diskNr >= MaxSpanParts()) throw EZipArchiver::CreateFromId(kZipSpanningNotSupported, true);
  PromptForDisk(true);
  const bool byName = disk_.driveFixed || spanOptions_.Contains(spNoVolumeName);
  SpanPartPlan plan{disk_.target, disk_.diskNr + 1};
  if (byName) plan.name = SpanPartName(disk_.target, disk_.diskNr, false, spanOptions_.Contains(spCompatName));
  if (!disk_.driveFixed && spanOptions_.Contains(spWipeFiles) && (!OnGetNextDisk || disk_.lastAction == zdaErase)) {
    disk_.volumeLabel = spanOptions_.Contains(spNoVolumeName)
                            ? QStringLiteral("ZipSet_") + QString::number(disk_.diskNr + 1)
                            : QStringLiteral("PKBACK# ") + Digits(disk_.diskNr + 1, 3);
    const int32_t r = ClearDisk();
    if (r == -2) throw EZipArchiver::CreateFromId(kZipUserCancelled, false);
    if (r == -1) throw EZipArchiver::CreateFromId(kZipUserCancelled, true);
  }
  if (!byName) {
    bool ok = false;
    plan.shown = ReadVolumeLabel(disk_.drive).mid(8, 3).toInt(&ok);
    if (!ok) plan.shown = 1;
  }
  return plan;
}

TZipArchiver::PartDecision TZipArchiver::AskAboutPart(const SpanPartPlan& plan) {
  TZipDiskStatus status;
  QString question;
  bool ourPart = false;
  if (Exists(plan.name)) {
    if (unattended_) throw EZipArchiver::CreateFromId(kZipUnattendedSpanning, true);
    ourPart = IsPartOfThisSet(disk_, plan.name);
    if (FileTime(plan.name) == disk_.dateStamp && plan.shown - 1 < disk_.diskNr) {
      question = FormatZipText(LoadZipString(kZipPreviousDiskOverwrite), {QString::number(plan.shown)});
      status.Include(zdsPreviousDisk);
    } else {
      question = FormatZipText(LoadZipString(kZipFileExistsOverwrite), {plan.name});
      status.Include(zdsSameFileName);
    }
  } else if (!disk_.driveFixed) {
    status.Include(FolderIsEmpty(disk_.drive) ? zdsEmpty : zdsHasFiles);
  }
  disk_.lastStatus = status;
  PartDecision decision = PartDecision::Go;
  if (OnStatusDisk) {
    TZipDiskAction action = zdaOk;
    OnStatusDisk(*this, plan.shown, plan.name, status, action);
    disk_.lastAction = action;
    decision = action == zdaReject   ? PartDecision::OtherDisk
               : action == zdaCancel ? PartDecision::Cancel
                                     : PartDecision::Go;
  } else if (status.Contains(zdsPreviousDisk) || status.Contains(zdsSameFileName)) {
    const int r =
        Ui().questionBox(question, QStringLiteral("Confirm"), MsgButtons::YesNoCancel, MsgIcon::Warning, mrNo);
    decision = r == mrYes ? PartDecision::Go : r == mrNo ? PartDecision::OtherDisk : PartDecision::Cancel;
  }
  if (decision == PartDecision::Cancel) throw EZipArchiver::CreateFromId(kZipUserCancelled, false);
  // The disk in the drive still holds a part of this very set: going on would
  // write over it, so the next disk is asked for whatever the answer.
  return ourPart ? PartDecision::OtherDisk : decision;
}

void TZipArchiver::AskForAnotherDisk() {
  disk_.newDisk = true;
  // A folder of a fixed drive asks for nothing before a part, so another disk is
  // asked for here: the user can make room for the part (or give up) before the
  // same name is looked at again.
  if (!disk_.driveFixed || OnStatusDisk) return;
  const QString text = FormatZipText(LoadZipString(kZipInsertDisk), {QString::number(disk_.diskNr + 1)}) +
                       FormatZipText(LoadZipString(kZipInDrive), {disk_.drive});
  const int r = Ui().questionBox(text, QString(), MsgButtons::OkCancel, MsgIcon::None, mrOk);
  if (r == mrNone) throw EZipArchiver::CreateFromId(kZipMsgBoxNoMemory, true);
  if (r != mrOk) throw EZipArchiver::CreateFromId(kZipUserCancelled, false);
}

bool TZipArchiver::OpenSpanPart(const SpanPartPlan& plan) {
  disk_.part = std::make_unique<TReplacementFile>();
  if (!disk_.part->Create(plan.name)) {
    disk_.failedErrno = disk_.part->SystemError();
    disk_.part.reset();
    throw EZipArchiver::CreateFromId(kZipOutputCreateFailed, true);
  }
  DiskFreeAndSize(1);
  int64_t room = disk_.freeOnDisk - static_cast<int64_t>(keepFreeOnAllDisks_);
  if (disk_.diskNr == 0) room -= keepFreeOnDisk1_;
  if (maxVolumeSize_ > 0 && maxVolumeSize_ < room) room = maxVolumeSize_;
  // A part with no room at all could never take a byte.
  if (room < minFreeVolumeSize_ || room <= 0) {
    disk_.part.reset();
    AskAfterNoRoom(plan);
    disk_.newDisk = true;
    return false;
  }
  if (!disk_.driveFixed && !spanOptions_.Contains(spNoVolumeName) &&
      !WriteVolumeLabel(disk_.drive, QStringLiteral("PKBACK# ") + Digits(disk_.diskNr + 1, 3))) {
    disk_.part.reset();
    throw EZipArchiver::CreateFromId(kZipVolumeLabelNotSet, true);
  }
  disk_.partName = plan.name;
  disk_.partBytes = 0;
  disk_.roomLeft = room;
  return true;
}

void TZipArchiver::AskAfterNoRoom(const SpanPartPlan& plan) {
  if (unattended_) throw EZipArchiver::CreateFromId(kZipUnattendedSpanning, true);
  if (OnStatusDisk) {
    TZipDiskAction action = zdaOk;
    OnStatusDisk(*this, plan.shown, plan.name, TZipDiskStatus{zdsNotEnoughSpace}, action);
    disk_.lastAction = action;
    if (action == zdaCancel) throw EZipArchiver::CreateFromId(kZipUserCancelled, false);
    return;
  }
  const int r = Ui().questionBox(LoadZipString(kZipDiskFull), QCoreApplication::applicationName(),
                                 MsgButtons::RetryCancel, MsgIcon::Stop, mrRetry);
  if (r == mrNone) throw EZipArchiver::CreateFromId(kZipMsgBoxNoMemory, true);
  if (r != mrRetry) throw EZipArchiver::CreateFromId(kZipUserCancelled, false);
}

uint32_t TZipArchiver::WriteToSpanPart(const uint8_t* data, uint32_t length) {
  const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(length, std::max<int64_t>(disk_.roomLeft, 0)));
  if (n == 0) return 0;
  if (!disk_.part->Write(data, n)) {
    disk_.failedErrno = disk_.part->SystemError();
    throw EZipArchiver::CreateFromId(kZipOutputWriteError, true);
  }
  if (disk_.showProgress) DispatchEvent(ZIPCB_PROGRESS, 0, n, QString());
  disk_.partBytes += n;
  disk_.roomLeft -= n;
  return n;
}

void TZipArchiver::NextSpanPart() {
  if (!FinishPart(disk_)) throw EZipArchiver::CreateFromId(kZipOutputWriteError, true);
  disk_.roomLeft = 0;
  ++disk_.diskNr;
  disk_.newDisk = true;
}

QString TZipArchiver::SpanKeptText() {
  QString text;
  if (disk_.holdParts) {
    // Nothing of the new set is left: the files of its names are the earlier ones.
    const bool compat = spanOptions_.Contains(spCompatName);
    const QString there = LoadZipString(kZipFileExistsOverwrite).section(u'\n', 0, 0);
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

namespace {

// The files a set's renames replace, kept under hidden hard links until every
// part has its name: a rename that fails half-way through the set puts them back,
// so the folder holds the earlier set or the new one, never a mix. (A file system
// without hard links keeps nothing, and a failed rename then leaves the mix.)
class EarlierFilesKept {
 public:
  void Keep(const QString& target) {
    const QByteArray name = QFile::encodeName(target);
    struct stat st;
    if (lstat(name.constData(), &st) != 0) {
      fresh_.push_back(name);
      return;
    }
    const QByteArray kept = QFile::encodeName(TempBesideName(QFileInfo(target).absolutePath()));
    if (link(name.constData(), kept.constData()) == 0) kept_.push_back({name, kept});
  }
  void Done() { done_ = true; }
  ~EarlierFilesKept() {
    for (const auto& [target, kept] : kept_) {
      // A file never replaced is its own link: the rename then leaves both names.
      if (!done_) DiskRename(kept.constData(), target.constData(), true);
      unlink(kept.constData());
    }
    if (!done_)
      for (const QByteArray& target : fresh_) unlink(target.constData());
  }

 private:
  std::vector<std::pair<QByteArray, QByteArray>> kept_;  // a file of the set's names, and its hidden link
  std::vector<QByteArray> fresh_;                        // names no file had before
  bool done_ = false;
};

}  // namespace

bool TZipArchiver::CommitSpanParts(const QString& lastName) {
  EarlierFilesKept earlier;
  for (size_t i = 0; i < disk_.written.size(); ++i) {
    ZipSpanPart& p = disk_.written[i];
    if (!p.held) continue;
    if (i + 1 == disk_.written.size()) {
      p.held->Retarget(lastName);
      p.name = lastName;
    }
    earlier.Keep(p.held->Target());
  }
  // In order, so that a reader never meets a later part of the new set beside
  // earlier parts of the old one.
  for (ZipSpanPart& p : disk_.written) {
    if (!p.held) continue;
    if (!p.held->Commit(true)) {
      disk_.failedErrno = p.held->SystemError();
      return false;
    }
    p.held.reset();
  }
  earlier.Done();
  return true;
}

QString TZipArchiver::DropUnfinishedPart() {
  const bool begun = disk_.part || !disk_.written.empty();
  disk_.part.reset();
  return begun ? SpanKeptText() : QString();
}

int32_t TZipArchiver::WriteSpan(const QString& inFile, const QString& outFile) {
  ResetSpanWrite(outFile);
  // A set given up leaves none of its hidden parts.
  struct SpanWriteEnd {
    TZipArchiver& z;
    ~SpanWriteEnd() {
      z.disk_.written.clear();
      z.disk_.thisDisk = z.disk_.diskNr;
      z.zipBusy_ = false;
    }
  } writeEnd{*this};
  int32_t result = SpreadOverParts(inFile);
  try {
    DispatchEvent(ZIPCB_END_BATCH, 0, 0, QString());
  } catch (const EZipArchiver& e) {
    if (result == 0) {
      ShowExceptionError(e);
      result = -7;
    }
  }
  // Only a part that was not finished is still open: it is not kept.
  disk_.part.reset();
  if (disk_.inFile >= 0) close(disk_.inFile);
  disk_.inFile = -1;
  if (result == 0 && !disk_.written.empty()) result = PlaceSpanSet(outFile);
  return result;
}

void TZipArchiver::ResetSpanWrite(const QString& outFile) {
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
}

int32_t TZipArchiver::SpreadOverParts(const QString& inFile) {
  struct CursorScope {
    TZipArchiver& z;
    bool on = false;
    ~CursorScope() {
      z.disk_.showProgress = false;
      if (on) z.StopWaitCursor();
    }
  } cursor{*this};
  try {
    if (QFileInfo(disk_.target).fileName().isEmpty()) throw EZipArchiver::CreateFromId(kZipOutputCreateFailed, true);
    if (!Exists(inFile)) throw EZipArchiver::CreateFromId(kZipInputMissing, true);
    StartWaitCursor();
    cursor.on = true;
    SpanCopy copy;
    OpenSpanSource(inFile, copy);
    uint8_t marker[4];
    zipfmt::Put32(marker, zipfmt::kSigDescriptor);
    CheckForDisk(marker, 4, 0);
    disk_.showProgress = true;
    DispatchEvent(ZIPCB_FILE_COUNT, 0, copy.end.totalEntries, QString());
    DispatchEvent(ZIPCB_TOTAL_SIZE, 0, static_cast<uint32_t>(disk_.fileSize), QString());
    CopySpanEntries(copy);
    CopySpanCentral(copy);
    WriteSpanEnd(copy);
    if (!FinishPart(disk_)) throw EZipArchiver::CreateFromId(kZipOutputWriteError, true);
    return 0;
  } catch (const EZipArchiver& e) {
    // The system's reason of a failed part step, then, once a part was begun,
    // what the disks now hold.
    const QString kept = DropUnfinishedPart();
    QString extra;
    if (disk_.failedErrno != 0 && (e.Id() == kZipOutputCreateFailed || e.Id() == kZipOutputWriteError))
      extra = u'\n' + DiskErrorText(disk_.failedErrno);
    extra += kept;
    // A plain cancel shows no box, unless there is something to tell of what stays.
    ShowExceptionError(kept.isEmpty() || e.Display() ? e : EZipArchiver::CreateFromId(e.Id(), true), extra);
    return -7;
  } catch (const std::bad_alloc&) {
    ShowZipMessage(kZipNoMemory, DropUnfinishedPart());
    return -8;
  } catch (const std::exception& e) {
    const QString kept = DropUnfinishedPart();
    ShowZipMessage(kZipSpanUnknownError, QString::fromLocal8Bit(e.what()) + kept);
    return -9;
  }
}

void TZipArchiver::OpenSpanSource(const QString& inFile, SpanCopy& copy) {
  workFileName_ = inFile;
  if (!FindEndOfCentral(copy.end, false)) throw EZipArchiver::CreateFromId(kZipFileNotOpened, true);
  disk_.dateStamp = FileTime(inFile);
  struct stat st;
  disk_.fileSize = fstat(disk_.inFile, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
  // A set that would need more parts than can be numbered is refused before a
  // part is written: parts are at most the room a disk now offers.
  DiskFreeAndSize(3);
  int64_t room = (disk_.driveFixed ? disk_.freeOnDisk : disk_.sizeOfDisk) - static_cast<int64_t>(keepFreeOnAllDisks_);
  if (maxVolumeSize_ > 0 && (room <= 0 || maxVolumeSize_ < room)) room = maxVolumeSize_;
  if (room > 0 && (disk_.fileSize + 4 + room - 1) / room > MaxSpanParts())
    throw EZipArchiver::CreateFromId(kZipSpanningNotSupported, true);
  copy.centralStart = recordPos_ - static_cast<int64_t>(copy.end.centralSize) - zip64Tail_;
  if (lseek(disk_.inFile, 0, SEEK_SET) != 0) throw EZipArchiver::CreateFromId(kZipInputSeekError, true);
  copy.entries.resize(copy.end.totalEntries);
}

void TZipArchiver::CopySpanEntries(SpanCopy& copy) {
  const ReadExactly read = ReadWhole(disk_.inFile);
  for (int i = 0; i < copy.Count(); ++i) {
    zipfmt::LocalHeader h;
    const std::vector<uint8_t> header = ReadLocalHeader(read, kSpreadLocal, h);
    SpanEntry& item = copy.Item(i);
    item.name = StoredName(header, zipfmt::kLocalHeaderSize, h.nameLength);
    const QString shown = ShownName(item.name);
    const bool described = (h.flag & 8) != 0;
    DispatchEvent(ZIPCB_MESSAGE, 0, 0, LoadZipString(kZipCopying) + shown);
    DispatchEvent(ZIPCB_NEW_FILE, 0, static_cast<uint32_t>(header.size()) + h.compressedSize + (described ? 16 : 0),
                  shown);
    CheckForDisk(header.data(), static_cast<uint32_t>(header.size()), static_cast<uint32_t>(header.size()));
    item.disk = disk_.diskNr;
    item.offset = static_cast<uint32_t>(disk_.partBytes - static_cast<int64_t>(header.size()));
    CopyToSpan(copy.buffer.data(), h.compressedSize, kZipDataReadError);
    if (described) CopyToSpan(copy.buffer.data(), 16, kZipDataReadError);
  }
}

void TZipArchiver::CopySpanCentral(SpanCopy& copy) {
  const QString central = LoadZipString(kZipCentralDirectory);
  DispatchEvent(ZIPCB_MESSAGE, 0, 0, LoadZipString(kZipCopying) + central);
  DispatchEvent(ZIPCB_NEW_FILE, 0, copy.end.centralSize, central);
  if (lseek(disk_.inFile, copy.centralStart, SEEK_SET) != copy.centralStart)
    throw EZipArchiver::CreateFromId(kZipInputSeekError, true);
  const ReadExactly read = ReadWhole(disk_.inFile);
  copy.centralDisk = disk_.diskNr;
  copy.centralOffset = 0;
  for (int i = 0; i < copy.Count(); ++i) {
    zipfmt::CentralHeader h;
    std::vector<uint8_t> header = ReadCentralHeader(read, kSpreadCentral, h);
    const SpanEntry& item = copy.Item(copy.IndexFor(i, StoredName(header, zipfmt::kCentralHeaderSize, h.nameLength)));
    PutCentralPlace(header, item.disk, item.offset);
    CheckForDisk(header.data(), static_cast<uint32_t>(header.size()), static_cast<uint32_t>(header.size()));
    if (i == 0) {
      copy.centralDisk = disk_.diskNr;
      copy.centralOffset = static_cast<uint32_t>(disk_.partBytes - static_cast<int64_t>(header.size()));
    }
  }
  if (copy.Count() == 0) {
    copy.centralDisk = disk_.diskNr;
    copy.centralOffset = static_cast<uint32_t>(disk_.partBytes);
  }
}

void TZipArchiver::WriteSpanEnd(SpanCopy& copy) {
  const uint32_t commentLen = copy.end.commentLength;
  const uint32_t whole = static_cast<uint32_t>(zipfmt::kEndRecordSize) + commentLen;
  std::vector<uint8_t> tail(whole);
  zipfmt::EndRecord rec;
  if (lseek(disk_.inFile, recordPos_, SEEK_SET) != recordPos_ ||
      ReadUpTo(disk_.inFile, tail.data(), zipfmt::kEndRecordSize) < zipfmt::kEndRecordSize ||
      !zipfmt::ParseEndRecord(tail.data(), zipfmt::kEndRecordSize, rec))
    throw EZipArchiver::CreateFromId(kZipInputSeekError, true);
  // The record lands on the part that has room for it with its comment.
  const bool toNext = disk_.part && disk_.partBytes > 0 && disk_.roomLeft < whole;
  rec.thisDisk = static_cast<uint16_t>(toNext ? disk_.diskNr + 1 : disk_.diskNr);
  rec.centralDisk = static_cast<uint16_t>(copy.centralDisk);
  rec.centralOffset = copy.centralOffset;
  rec.commentLength = static_cast<uint16_t>(commentLen);
  PutEndRecord(tail.data(), rec);
  if (ReadUpTo(disk_.inFile, tail.data() + zipfmt::kEndRecordSize, commentLen) < commentLen)
    throw EZipArchiver::CreateFromId(kZipArchiveCommentReadError, true);
  CheckForDisk(tail.data(), whole, whole);
}

bool TZipArchiver::KeepsTargetOfCompatSet(const QString& outFile) {
  if (!Exists(outFile)) return false;
  if (OnStatusDisk) {
    TZipDiskAction action = zdaOk;
    OnStatusDisk(*this, disk_.diskNr + 1, outFile, TZipDiskStatus{zdsSameFileName}, action);
    return action != zdaOk;
  }
  const QString question = FormatZipText(LoadZipString(kZipFileExistsOverwrite), {outFile});
  const int r = Ui().questionBox(question, LoadZipString(kZipConfirm), MsgButtons::YesNo, MsgIcon::Warning, mrNo);
  if (r == mrNone) ShowZipMessage(kZipMsgBoxNoMemory);
  return r != mrYes;
}

int32_t TZipArchiver::PlaceSpanSet(const QString& outFile) {
  const QString part = disk_.written.back().name;
  const bool compat = spanOptions_.Contains(spCompatName);
  const bool keep = compat && KeepsTargetOfCompatSet(outFile);
  const bool toTarget = compat && !keep;
  bool placed = true;
  if (disk_.holdParts) {
    placed = CommitSpanParts(toTarget ? outFile : part);
  } else if (toTarget && Exists(part)) {
    placed = DiskRename(QFile::encodeName(part).constData(), QFile::encodeName(outFile).constData(), true);
    if (!placed) disk_.failedErrno = errno;
  }
  if (!placed) {
    ShowExceptionError(EZipArchiver::CreateFromId(kZipOutputWriteError, true),
                       u'\n' + DiskErrorText(disk_.failedErrno));
    return -7;
  }
  if (keep) {
    try {
      DispatchEvent(ZIPCB_MESSAGE, kZipOutputWriteError, 0, QStringLiteral("Last part left as : ") + part);
    } catch (const EZipArchiver&) {
    }
  }
  return 0;
}

// ---- Span copies ------------------------------------------------------------------------------

void TZipArchiver::WriteChecked(const uint8_t* buffer, uint32_t length, int messageId) {
  if (!disk_.joined || !disk_.joined->Write(buffer, length)) throw EZipArchiver::CreateFromId(messageId, true);
  if (disk_.showProgress) DispatchEvent(ZIPCB_PROGRESS, 0, length, QString());
}

void TZipArchiver::CopyToSpan(uint8_t* buffer, uint32_t length, int messageId) {
  while (length > 0) {
    uint32_t n = std::min(length, kChunk);
    if (ReadUpTo(disk_.inFile, buffer, n) < n) throw EZipArchiver::CreateFromId(messageId, true);
    CheckForDisk(buffer, n, 0);
    length -= n;
  }
}

void TZipArchiver::CopyFromSpan(uint8_t* buffer, uint32_t length, int messageId) {
  while (length > 0) {
    uint32_t n = std::min(length, kChunk);
    uint32_t got = static_cast<uint32_t>(ReadUpTo(disk_.inFile, buffer, n));
    if (got < n) {
      // A part may end inside a record: the rest is on the next one.
      if (AtEnd(disk_.inFile))
        GetNewDisk(disk_.diskNr + 1);
      else
        throw EZipArchiver::CreateFromId(messageId, true);
    }
    if (got > 0) WriteChecked(buffer, got, messageId);
    length -= got;
  }
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
      if (Exists(base + QStringLiteral(".z01"))) throw EZipArchiver::CreateFromId(kZipFileNotOpened, true);
      const QString set = base + QStringLiteral(".zip");
      for (int32_t part = 0; part < MaxSpanParts() && Exists(SpanPartName(set, part, false, false)); ++part)
        last = SpanPartName(set, part, false, false);
    } else {
      last = onDisk();
    }
    if (last.isEmpty()) throw EZipArchiver::CreateFromId(kZipFileNotOpened, true);
    workFileName_ = last;
  }
  while (!FindEndOfCentral(end, false)) {
    if (disk_.inFile >= 0) close(disk_.inFile);
    disk_.inFile = -1;
    if (disk_.driveFixed) throw EZipArchiver::CreateFromId(numbered ? kZipFileNotOpened : kZipNotValidArchive, true);
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
        ShowZipMessage(kZipFileNotOpened);
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
  // Nothing half-joined is left for the extract.
  struct JoinEnd {
    TZipArchiver& z;
    const int32_t& result;
    const QString& outFile;
    bool cursor = false;
    ~JoinEnd() {
      z.disk_.showProgress = false;
      if (cursor) z.StopWaitCursor();
      z.disk_.joined.reset();  // uncommitted, its hidden file goes with it
      if (z.disk_.inFile >= 0) close(z.disk_.inFile);
      z.disk_.inFile = -1;
    }
  } joinEnd{*this, result, outFile};
  try {
    ChooseJoinName(inFile, outFile);
    StartWaitCursor();
    joinEnd.cursor = true;
    SpanCopy copy;
    const QByteArray comment = OpenLastSpanPart(inFile, copy.end);
    CreateJoinedArchive(outFile);
    ReadSpanCentral(copy);
    JoinSpanEntries(copy);
    WriteJoinedDirectory(copy, comment);
    // A file of that name made meanwhile is not replaced: the join then fails as
    // if it had been there from the start.
    if (!disk_.joined->Commit(false))
      throw EZipArchiver::CreateFromId(
          disk_.joined->SystemError() == EEXIST ? kZipOutputCreateFailed : kZipEndOfCentralWriteError, true);
  } catch (const SpanStop&) {
    result = spanStopResult_;
  } catch (const EZipArchiver& e) {
    ShowExceptionError(e);
    result = -7;
  } catch (const std::bad_alloc&) {
    ShowZipMessage(kZipNoMemory);
    result = -8;
  } catch (const std::exception& e) {
    ShowZipMessage(kZipSpanUnknownError, QString::fromLocal8Bit(e.what()));
    result = -9;
  }
  return result;
}

void TZipArchiver::CreateJoinedArchive(const QString& outFile) {
  // Only a new file: an existing one of that name is refused, as before the join.
  struct stat st;
  disk_.joined = std::make_unique<TReplacementFile>();
  disk_.joined->SetMode(0600);
  if (lstat(QFile::encodeName(outFile).constData(), &st) == 0 || !disk_.joined->Create(outFile))
    throw EZipArchiver::CreateFromId(kZipOutputCreateFailed, true);
}

void TZipArchiver::ChooseJoinName(const QString& inFile, QString& outFile) {
  // A name that is the set's own part would be erased: a temporary name then.
  if (outFile.isEmpty() || outFile.endsWith(u'/') || QFileInfo(outFile).isDir() ||
      QFileInfo(outFile) == QFileInfo(inFile)) {
    if (!outFile.isEmpty() && !QFileInfo(outFile).isDir()) outFile.clear();
    const QString saved = tempDir_;
    if (!outFile.isEmpty()) tempDir_ = outFile;
    outFile = MakeTempFileName();
    tempDir_ = saved;
    if (outFile.isEmpty()) throw EZipArchiver::CreateFromId(kZipTempFileNotCreated, true);
  } else {
    EraseFile(outFile, howToDelete_);
    const QFileInfo info(outFile);
    outFile = PathConcat(info.path(), info.completeBaseName() + QStringLiteral(".zip"));
  }
}

QByteArray TZipArchiver::OpenLastSpanPart(const QString& inFile, EndOfCentral& end) {
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
      !zipfmt::ReadAt(disk_.inFile, comment.data(), end.commentLength, recordPos_ + zipfmt::kEndRecordSize))
    throw EZipArchiver::CreateFromId(kZipArchiveCommentReadError, true);
  return comment;
}

void TZipArchiver::ReadAcross(void* out, uint32_t n, int messageId) {
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
}

void TZipArchiver::ReadSpanCentral(SpanCopy& copy) {
  if (copy.end.centralDisk != disk_.diskNr) GetNewDisk(copy.end.centralDisk);
  if (lseek(disk_.inFile, copy.end.centralOffset, SEEK_SET) != static_cast<off_t>(copy.end.centralOffset))
    throw EZipArchiver::CreateFromId(kZipInputSeekError, true);
  copy.entries.resize(copy.end.totalEntries);
  const ReadExactly read = [this](void* out, uint32_t n, int messageId) { ReadAcross(out, n, messageId); };
  for (SpanEntry& item : copy.entries) {
    item.central = ReadCentralHeader(read, kJoinCentral, item.header);
    item.name = StoredName(item.central, zipfmt::kCentralHeaderSize, item.header.nameLength);
    item.disk = item.header.diskStart;
    item.offset = item.header.localOffset;
  }
}

void TZipArchiver::JoinSpanEntries(SpanCopy& copy) {
  GetNewDisk(0);
  uint8_t marker[4];
  if (ReadUpTo(disk_.inFile, marker, 4) < 4 || zipfmt::Get32(marker) != zipfmt::kSigDescriptor)
    throw EZipArchiver::CreateFromId(kZipExtLocalSignatureError, true);
  disk_.showProgress = true;
  DispatchEvent(ZIPCB_FILE_COUNT, 0, copy.end.totalEntries, QString());
  uint32_t total = 0;
  for (const SpanEntry& item : copy.entries) total += item.header.compressedSize;
  DispatchEvent(ZIPCB_TOTAL_SIZE, 0, total, QString());
  copy.outPos = 0;
  for (int i = 0; i < copy.Count(); ++i) JoinSpanEntry(copy, i);
}

void TZipArchiver::JoinSpanEntry(SpanCopy& copy, int i) {
  const ReadExactly read = [this](void* out, uint32_t n, int messageId) { ReadAcross(out, n, messageId); };
  zipfmt::LocalHeader h;
  const std::vector<uint8_t> header = ReadLocalHeader(read, kJoinLocal, h);
  const QByteArray name = StoredName(header, zipfmt::kLocalHeaderSize, h.nameLength);
  SpanEntry& item = copy.Item(copy.IndexFor(i, name));
  // The sizes come from the central header: a local one may be zero when a data
  // descriptor follows.
  const uint32_t compressed = item.header.compressedSize;
  const QString shown = ShownName(name);
  DispatchEvent(ZIPCB_MESSAGE, 0, 0, LoadZipString(kZipCopying) + shown);
  DispatchEvent(ZIPCB_NEW_FILE, 0, static_cast<uint32_t>(header.size()) + compressed, shown);
  if (copy.outPos > 0xFFFFFFFFu) throw EZipArchiver::CreateFromId(kZipLocalHeaderWriteError, true);
  item.newOffset = static_cast<uint32_t>(copy.outPos);
  if (!disk_.joined->Write(header.data(), header.size()))
    throw EZipArchiver::CreateFromId(kZipLocalHeaderWriteError, true);
  copy.outPos += header.size();
  CopyFromSpan(copy.buffer.data(), compressed, kZipDataReadError);
  copy.outPos += compressed;
  if (h.flag & 8) {
    // The descriptor, with or without its signature.
    uint8_t d[16];
    ReadAcross(d, 4, kZipDataDescriptorError);
    const uint32_t more = zipfmt::Get32(d) == zipfmt::kSigDescriptor ? 12 : 8;
    ReadAcross(d + 4, more, kZipDataDescriptorError);
    if (!disk_.joined->Write(d, 4 + more)) throw EZipArchiver::CreateFromId(kZipDataDescriptorError, true);
    copy.outPos += 4 + more;
  }
}

void TZipArchiver::WriteJoinedDirectory(SpanCopy& copy, const QByteArray& comment) {
  const uint64_t centralPos = copy.outPos;
  uint64_t centralSize = 0;
  for (SpanEntry& item : copy.entries) {
    PutCentralPlace(item.central, 0, item.newOffset);
    if (!disk_.joined->Write(item.central.data(), item.central.size()))
      throw EZipArchiver::CreateFromId(kZipCentralHeaderWriteError, true);
    centralSize += item.central.size();
  }
  if (centralPos + centralSize > 0xFFFFFFFFu) throw EZipArchiver::CreateFromId(kZipEndOfCentralWriteError, true);
  zipfmt::EndRecord end;
  end.entriesOnDisk = end.totalEntries = copy.end.totalEntries;
  end.centralSize = static_cast<uint32_t>(centralSize);
  end.centralOffset = static_cast<uint32_t>(centralPos);
  end.commentLength = copy.end.commentLength;
  uint8_t rec[zipfmt::kEndRecordSize];
  PutEndRecord(rec, end);
  if (!disk_.joined->Write(rec, zipfmt::kEndRecordSize))
    throw EZipArchiver::CreateFromId(kZipEndOfCentralWriteError, true);
  if (!disk_.joined->Write(comment.constData(), static_cast<size_t>(comment.size())))
    throw EZipArchiver::CreateFromId(kZipArchiveCommentReadError, true);
}
