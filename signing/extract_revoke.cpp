#include "signing/extract_revoke.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/disk_steps.h"
#include "platform/ui_services.h"
#include "signing/base64.h"
#include "signing/container.h"
#include "signing/container_lock.h"
#include "signing/data_module.h"
#include "signing/file_utils.h"
#include "signing/payload_zip.h"
#include "signing/progress_window.h"
#include "signing/replacement_file.h"
#include "signing/settings.h"
#include "signing/step.h"

namespace {

// A box shows the outcome: the progress window is gone by then.
void Box(MsgKind kind, const QString& text) {
  HideProgress();
  Ui().messageBox(kind, text);
}

// The two steps of one showing: the scan of the container, then the extraction.
constexpr TProgressShare kScanShare{0, kProgressWhole / 2};
constexpr TProgressShare kUnpackShare{kProgressWhole / 2, kProgressWhole};

QString SystemErrorText(int e) { return kMsgSystemErrorPrefix + QString::number(e) + "-" + DiskErrorText(e) + "]"; }

// Only the two spellings count, and only at the end of the path.
bool HasContainerSuffix(const QString& path) { return path.endsWith(".sgn") || path.endsWith(".SGN"); }

// A failure of the disk under the work folder, in the system-error box; any other
// failure to make the work files is the file's.
void WorkFileFailed(int err) {
  if (err != 0)
    Box(MsgKind::Error, SystemErrorText(err));
  else
    Box(MsgKind::Information, kMsgNotInterpreted);
}

// Restores the cursor, hides progress and removes the work folder however the
// extraction ends.
struct ExtractionCleanup {
  TWorkFolder work;  // members go after the body: the folder is removed last
  ~ExtractionCleanup() {
    HideProgress();
    Ui().setWaitCursor(false);
  }
};

// The save dialog of modes 1 and 3, the overwrite question and the move. Returns
// the chosen path, empty when nothing was moved.
QString SaveWithDialog(const QString& extracted, const QString& initialDir, const QString& suggested) {
  TSaveDialog dialog;
  dialog.Title = kCaptionSaveOriginal;
  dialog.InitialDir = initialDir;
  dialog.FileName = suggested;
  HideProgress();
  if (!dialog.Execute()) return QString();
  const QString chosen = dialog.FileName;
  if (QFileInfo::exists(chosen) && Ui().messageBox(MsgKind::Confirmation, kMsgOverwrite) != mrYes) return QString();
  Ui().setWaitCursor(true);
  MoveFileWithFallback(extracted, chosen);
  return chosen;
}

}  // namespace

TPayloadArchive::TPayloadArchive(TWorkFolder& work) {
  if (work.path.isEmpty()) work.path = CreatePrivateWorkFolder(QStringLiteral("Tmp_Orig"));
  if (work.path.isEmpty()) {
    openError_ = errno != 0 ? errno : -1;
    return;
  }
  path_ = work.path + QStringLiteral("/Tmp_OrigZip.zip");
  if (!file_.Open(path_)) openError_ = file_.SystemError() != 0 ? file_.SystemError() : -1;
}

void TPayloadArchive::payloadBytes(const uint8_t* data, size_t n) {
  if (failed_ || openError_ != 0) return;
  buffer_.resize((n + 3) / 4 * 3 + 3);
  write(Base64DecodeChunk(reinterpret_cast<const char*>(data), n, buffer_.data(), missing_, accumulator_));
}

void TPayloadArchive::write(size_t k) {
  try {
    if (k > 0) file_.Write(buffer_.data(), k);
  } catch (const EWriteError&) {
    failed_ = true;
  }
}

TPayloadCheck TPayloadArchive::Check(TZipArchiver& zip, int* systemError) {
  auto failed = [&](int err) {
    if (systemError) *systemError = err;
    return TPayloadCheck::Failed;
  };
  if (systemError) *systemError = 0;
  if (openError_ != 0) return failed(openError_ > 0 ? openError_ : 0);
  if (!failed_) {
    buffer_.resize(std::max<size_t>(buffer_.size(), 3));
    write(Base64DecodeFlush(buffer_.data(), accumulator_, missing_));
  }
  if (failed_ || !file_.Close()) return failed(file_.SystemError());

  zip.SetZipFileName(path_);
  // A folder entry left out of the list is an entry all the same: the archive
  // must hold the one file and nothing else, or a second signer would sign bytes
  // no one was shown.
  const int32_t entries = zip.Count() + zip.DroppedDirEntries();
  if (entries == 0) return TPayloadCheck::Empty;
  if (entries != 1 || zip.Count() != 1) return TPayloadCheck::NotOneFile;
  // One entry as the component lists it is not yet one document: another reader
  // must not find a second one before, inside or after it.
  int readError = 0;
  if (!IsSingleDocumentZip(path_, &readError)) return readError != 0 ? failed(readError) : TPayloadCheck::Irregular;
  if (!SafeEntryName(zip.DirEntry(0).FileName)) return TPayloadCheck::UnsafeName;
  return TPayloadCheck::OneFile;
}

TPayloadCheck CheckContainerPayload(SgnSource& source, TZipArchiver& zip, TWorkFolder& work, int* systemError) {
  if (systemError) *systemError = 0;
  TPayloadArchive archive(work);
  // The work disk is asked first: without an archive there is nothing to look at.
  if (archive.OpenError() != 0) return archive.Check(zip, systemError);
  SgnLayout layout;
  if (!ReadSignedContainer(source, layout, &archive)) return TPayloadCheck::Malformed;
  return archive.Check(zip, systemError);
}

namespace {

// One extraction of a container's original file, step by step; a step that
// returns Stop has shown its box.
class OriginalExtraction {
 public:
  OriginalExtraction(SgnFileSource& container, TWorkFolder& work, const QString& containerPath, int mode)
      : containerPath_(containerPath),
        mode_(mode),
        work_(work),
        size_(container.size()),
        showProgress_(size_ > ProgressMinSize),
        step_(std::max<int64_t>(1, size_ / ProgressSteps)),
        nextReport_(step_),
        source_(container, nullptr, [this](int64_t position, int64_t total) { ScanProgress(position, total); }),
        zip_(dmCollector ? &dmCollector->ZipArchiver1 : nullptr) {}

  Step CheckPayload();
  Step PrepareExtraction();
  Step Extract();
  void Deliver(QString& name);

 private:
  // About ProgressSteps updates over a container above ProgressMinSize.
  void ScanProgress(int64_t position, int64_t total) {
    if (!showProgress_ || position < nextReport_) return;
    nextReport_ = (position / step_ + 1) * step_;
    kScanShare.Show(position, total, kProgressAnalysing, kProgressSignedCaption);
  }

  const QString containerPath_;
  const int mode_;
  TWorkFolder& work_;
  const int64_t size_;
  const bool showProgress_;
  const int64_t step_;
  int64_t nextReport_;
  SgnCopyingSource source_;
  TZipArchiver* const zip_;
  QString entry_;
  uint32_t entrySize_ = 0;
  QString extractFolder_;
  QString tempCopy_;
  QString extracted_;
};

// The container's payload, looked at: exactly one document, or a box.
Step OriginalExtraction::CheckPayload() {
  if (!zip_ || zip_->IsBusy()) {
    Box(MsgKind::Information, kMsgNotInterpreted);
    return Step::Stop;
  }
  int workError = 0;
  const TPayloadCheck check = CheckContainerPayload(source_, *zip_, work_, &workError);
  if (showProgress_) kScanShare.Show(size_, size_, kProgressAnalysing, kProgressSignedCaption);
  switch (check) {
    case TPayloadCheck::OneFile: return Step::Next;
    case TPayloadCheck::Malformed:
    case TPayloadCheck::NotOneFile:
      // Not the layout's archive of one file: nothing of it is shown, saved or
      // compared, so nothing of it can be signed unseen.
      Box(MsgKind::Warning, mode_ == emCompare ? kMsgFormatCompare : kMsgFormatView);
      return Step::Stop;
    case TPayloadCheck::Empty: return Step::Stop;
    case TPayloadCheck::UnsafeName:
    case TPayloadCheck::Irregular: Box(MsgKind::Information, kMsgNotInterpreted); return Step::Stop;
    case TPayloadCheck::Failed: WorkFileFailed(workError); return Step::Stop;
  }
  return Step::Stop;
}

// The component set for the one entry, and the name of the copy shown again free.
Step OriginalExtraction::PrepareExtraction() {
  entry_ = zip_->DirEntry(0).FileName;
  entrySize_ = zip_->DirEntry(0).UncompressedSize;
  extractFolder_ = work_.path + QStringLiteral("/out");
  if (!QDir().mkdir(extractFolder_)) throw EFileError(QStringLiteral("Unable to open %1").arg(extractFolder_));
  zip_->FSpecArgs().clear();
  zip_->FSpecArgs().append(entry_);
  zip_->SetExtrBaseDir(extractFolder_);
  zip_->SetExtrOptions({ExtrDirNames, ExtrOverWrite});

  tempCopy_ = GetTempDirectory() + QStringLiteral("Tmp_Orig_") + entry_;
  QFile::remove(tempCopy_);
  if (QFileInfo::exists(tempCopy_) || QFileInfo(tempCopy_).isSymLink()) {
    Box(MsgKind::Warning, mode_ == emCompare ? kMsgOpenCompare : kMsgOpenView);
    return Step::Stop;
  }
  return Step::Next;
}

Step OriginalExtraction::Extract() {
  // The component's result may be a warning only; what counts is the file, whole.
  int32_t rc = 0;
  {
    TZipProgress progress(*zip_, showProgress_, kUnpackShare.first, kUnpackShare.last, kProgressUnpacking,
                          kProgressSignedCaption, kProgressWhole);
    rc = zip_->Extract();
  }
  extracted_ = extractFolder_ + "/" + entry_;
  const QFileInfo info(extracted_);
  if (info.isFile() && !info.isSymLink() && uint32_t(info.size()) == entrySize_) return Step::Next;
  if (const int disk = rc != 0 ? DiskErrorInMessage(zip_->Message()) : 0) {
    WorkFileFailed(disk);
    return Step::Stop;
  }
  // Without the file there is nothing to compare either: an empty name sends
  // signing down its result-0 road, after this box.
  Box(MsgKind::Information, kMsgNotInterpreted);
  return Step::Stop;
}

// The extracted file where the mode puts it; name is where it went, if anywhere.
void OriginalExtraction::Deliver(QString& name) {
  switch (mode_) {
    case emView:
      Ui().setWaitCursor(true);
      MoveFileWithFallback(extracted_, tempCopy_);
      if (!ShellOpenFile(tempCopy_)) Box(MsgKind::Error, SystemErrorText(errno));
      name = tempCopy_;
      break;
    case emSaveAs: SaveWithDialog(extracted_, QFileInfo(containerPath_).absolutePath(), entry_); break;
    case emCompare:
      Ui().setWaitCursor(true);
      MoveFileWithFallback(extracted_, tempCopy_);
      name = tempCopy_;
      break;
    case emAutomatic: {
      const QString target = QFileInfo(containerPath_).absolutePath() + "/" + entry_;
      if (!QFileInfo::exists(target) && !QFileInfo(target).isSymLink()) {
        Ui().setWaitCursor(true);
        MoveFileWithFallback(extracted_, target);
        name = target;
      } else {
        SaveWithDialog(extracted_, QFileInfo(target).absolutePath(), target);
      }
      break;
    }
    default: break;
  }
}

}  // namespace

void ExtractOriginalFile(const QString& containerPath, int mode, QString& name) {
  name.clear();
  if (!HasContainerSuffix(containerPath)) {
    if (!ShellOpenFile(containerPath)) Box(MsgKind::Error, SystemErrorText(errno));
    return;
  }
  SgnFileSource container(containerPath);
  if (!container.isOpen()) throw EFileError(QStringLiteral("Unable to open %1").arg(containerPath));

  ExtractionCleanup cleanup;
  Ui().setWaitCursor(true);
  OriginalExtraction run(container, cleanup.work, containerPath, mode);
  try {
    if (run.CheckPayload() == Step::Stop || run.PrepareExtraction() == Step::Stop || run.Extract() == Step::Stop)
      return;
    run.Deliver(name);
  } catch (const EFileError& e) {
    // A move that the disk refused names the system's reason.
    name.clear();
    Box(MsgKind::Error, e.SystemError() != 0 ? SystemErrorText(e.SystemError()) : e.Text());
  } catch (const std::exception& e) {
    name.clear();
    Box(MsgKind::Error, QString::fromUtf8(e.what()));
  }
}

void RevokeSignature(const QString& containerPath, const TSignerRecord& signer) {
  // Held from the first read to the rename, so a signer added meanwhile by
  // another run is neither lost nor overwritten.
  TContainerLock lock;
  if (!lock.Acquire(containerPath) && lock.Busy())
    throw EFileError(QStringLiteral("Unable to write %1: ").arg(containerPath) + DiskErrorText(lock.SystemError()),
                     lock.SystemError());
  SgnFileSource container(containerPath);
  if (!container.isOpen()) throw EFileError(QStringLiteral("Unable to open %1").arg(containerPath));
  TReplacementFile out;
  // Through a symbolic link the shared container itself changes; a container with
  // other hard links is refused rather than split from them.
  if (!out.Create(containerPath, TReplacementFile::HardLinks::Refuse)) throw EFileError(out.Error(), out.SystemError());
  out.CheckBeforeRename([&lock] { return lock.Changed(); });

  // One pass reads, checks and copies the current file: the checks hold for
  // exactly the bytes the new container is made of.
  SgnCopyingSource source(container, &out);
  SgnLayout layout;
  const bool wellFormed = ReadSignedContainer(source, layout);
  if (source.WriteFailed()) throw EFileError(out.Error(), out.SystemError());
  if (layout.fault == SgnFault::ReadError) throw EFileError(QStringLiteral("Unable to read %1").arg(containerPath));
  const int64_t size = container.size();
  const auto it = std::find_if(layout.signers.begin(), layout.signers.end(), [&](const SgnSignerElement& e) {
    return e.start == signer.Start && e.end == signer.End && e.certificate == signer.Certificate &&
           e.signature == signer.Signature;
  });
  // A file that is no container any more says so; only a well-formed one can hold
  // a record that went stale.
  if (!wellFormed || source.Covered() != size) throw EFileError(kMsgFormatCompare);
  if (it == layout.signers.end()) throw EFileError(kMsgRevokeStale.arg(containerPath));

  // Close the gap: everything after the element moves down over it.
  const int64_t gap = it->revokeOffset(), length = it->revokeLength();
  std::vector<uint8_t> block(size_t(1) << 16);
  for (int64_t from = gap + length, to = gap; from < size;) {
    const int64_t n = out.ReadAt(from, block.data(), size_t(std::min<int64_t>(int64_t(block.size()), size - from)));
    if (n <= 0) throw EFileError(QStringLiteral("Unable to read %1").arg(out.TempPath()));
    if (!out.WriteAt(to, block.data(), size_t(n))) throw EFileError(out.Error(), out.SystemError());
    from += n;
    to += n;
  }
  if (!out.Truncate(size - length) || !out.Commit(true)) throw EFileError(out.Error(), out.SystemError());
}
