#include "signing/extract_revoke.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/ui_services.h"
#include "signing/base64.h"
#include "signing/container.h"
#include "signing/data_module.h"
#include "signing/file_utils.h"
#include "signing/progress_window.h"
#include "signing/replacement_file.h"
#include "signing/settings.h"

namespace {

void Box(MsgKind kind, const QString& text) { Ui().messageBox(kind, text); }

QString SystemErrorText(int e) {
  return kMsgSystemErrorPrefix + QString::number(e) + "-" + QString::fromLocal8Bit(std::strerror(e)) + "]";
}

// Only the two spellings count, and only at the end of the path.
bool HasContainerSuffix(const QString& path) { return path.endsWith(".sgn") || path.endsWith(".SGN"); }

// A ZIP entry name that can only ever name a file directly in the target folder.
bool IsPlainEntryName(const QString& name) {
  if (name.isEmpty() || name.contains('/') || name.contains('\\') || name.contains("..")) return false;
  if (name.size() >= 2 && name[1] == ':' && name[0].isLetter()) return false;
  for (QChar c : name)
    if (c.unicode() < 0x20) return false;
  return true;
}

// Decodes the payload as the reader hands it over, straight into the work archive.
class PayloadDecoder : public SgnSink {
 public:
  explicit PayloadDecoder(TWorkFileSink& out) : out_(out) {}
  void payloadBytes(const uint8_t* data, size_t n) override {
    if (failed_) return;
    buffer_.resize((n + 3) / 4 * 3 + 3);
    size_t k = Base64DecodeChunk(reinterpret_cast<const char*>(data), n, buffer_.data(), missing_, accumulator_);
    write(k);
  }
  bool finish() {
    if (failed_) return false;
    buffer_.resize(std::max<size_t>(buffer_.size(), 3));
    write(Base64DecodeFlush(buffer_.data(), accumulator_, missing_));
    if (!failed_ && !out_.Close()) failed_ = true;
    return !failed_;
  }
  bool failed() const { return failed_; }

 private:
  void write(size_t k) {
    try {
      if (k > 0) out_.Write(buffer_.data(), k);
    } catch (const EWriteError&) {
      failed_ = true;
    }
  }
  TWorkFileSink& out_;
  std::vector<uint8_t> buffer_;
  uint32_t missing_ = 4, accumulator_ = 0;
  bool failed_ = false;
};

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
  if (!dialog.Execute()) return QString();
  const QString chosen = dialog.FileName;
  if (QFileInfo::exists(chosen) && Ui().messageBox(MsgKind::Confirmation, kMsgOverwrite) != mrYes) return QString();
  Ui().setWaitCursor(true);
  MoveFileWithFallback(extracted, chosen);
  return chosen;
}

}  // namespace

void ExtractOriginalFile(const QString& containerPath, int mode, QString& name) {
  name.clear();
  if (!HasContainerSuffix(containerPath)) {
    if (!ShellOpenFile(containerPath)) Box(MsgKind::Error, SystemErrorText(errno));
    return;
  }
  const QString& formatText = mode == emCompare ? kMsgFormatCompare : kMsgFormatView;

  SgnFileSource container(containerPath);
  if (!container.isOpen()) throw EFileError(QStringLiteral("Unable to open %1").arg(containerPath));

  ExtractionCleanup cleanup;
  Ui().setWaitCursor(true);
  cleanup.work.path = CreatePrivateWorkFolder(QStringLiteral("Tmp_Orig"));
  if (cleanup.work.path.isEmpty()) {
    WorkFileFailed(errno);
    return;
  }
  const QString zipPath = cleanup.work.path + QStringLiteral("/Tmp_OrigZip.zip");
  TWorkFileSink zipFile;
  if (!zipFile.Open(zipPath)) {
    WorkFileFailed(zipFile.SystemError());
    return;
  }

  // About ProgressSteps updates over a container above ProgressMinSize.
  const int64_t size = container.size();
  const bool showProgress = size > ProgressMinSize;
  const int64_t step = std::max<int64_t>(1, size / ProgressSteps);
  int64_t nextReport = step;
  SgnCopyingSource source(container, nullptr, [&](int64_t position, int64_t total) {
    if (!showProgress || position < nextReport) return;
    nextReport = (position / step + 1) * step;
    ShowProgress64(position, total, kProgressAnalysing, kProgressSignedCaption);
  });
  PayloadDecoder decoder(zipFile);
  SgnLayout layout;
  const bool wellFormed = ReadSignedContainer(source, layout, &decoder);
  if (showProgress) ShowProgress64(size, size, kProgressAnalysing, kProgressSignedCaption);
  if (!wellFormed) {
    Box(MsgKind::Warning, formatText);
    return;
  }
  if (!decoder.finish()) {
    WorkFileFailed(zipFile.SystemError());
    return;
  }

  TZipArchiver* zip = dmCollector ? &dmCollector->ZipArchiver1 : nullptr;
  QString extracted;
  try {
    if (!zip || zip->IsBusy()) {
      Box(MsgKind::Information, kMsgNotInterpreted);
      return;
    }
    zip->SetZipFileName(zipPath);
    if (zip->Count() == 0) return;
    const QString entry = zip->DirEntry(0).FileName;
    const uint32_t entrySize = zip->DirEntry(0).UncompressedSize;
    if (!IsPlainEntryName(entry)) {
      Box(MsgKind::Information, kMsgNotInterpreted);
      return;
    }
    const QString extractFolder = cleanup.work.path + QStringLiteral("/out");
    if (!QDir().mkdir(extractFolder)) throw EFileError(QStringLiteral("Unable to open %1").arg(extractFolder));
    zip->FSpecArgs().clear();
    zip->FSpecArgs().append(entry);
    zip->SetExtrBaseDir(extractFolder);
    zip->SetExtrOptions({ExtrDirNames, ExtrOverWrite});

    const QString tempCopy = GetTempDirectory() + QStringLiteral("Tmp_Orig_") + entry;
    QFile::remove(tempCopy);
    if (QFileInfo::exists(tempCopy) || QFileInfo(tempCopy).isSymLink()) {
      Box(MsgKind::Warning, mode == emCompare ? kMsgOpenCompare : kMsgOpenView);
      return;
    }

    // The component's result may be a warning only; what counts is the file, whole.
    const int32_t rc = zip->Extract();
    extracted = extractFolder + "/" + entry;
    const QFileInfo info(extracted);
    if (!info.isFile() || info.isSymLink() || uint32_t(info.size()) != entrySize) {
      if (const int disk = rc != 0 ? DiskErrorInMessage(zip->Message()) : 0) {
        WorkFileFailed(disk);
        return;
      }
      // Without the file there is nothing to compare either: an empty name sends
      // signing down its result-0 road, after this box.
      Box(MsgKind::Information, kMsgNotInterpreted);
      return;
    }

    switch (mode) {
      case emView:
        Ui().setWaitCursor(true);
        MoveFileWithFallback(extracted, tempCopy);
        if (!ShellOpenFile(tempCopy)) Box(MsgKind::Error, SystemErrorText(errno));
        name = tempCopy;
        break;
      case emSaveAs:
        SaveWithDialog(extracted, QFileInfo(containerPath).absolutePath(), entry);
        break;
      case emCompare:
        Ui().setWaitCursor(true);
        MoveFileWithFallback(extracted, tempCopy);
        name = tempCopy;
        break;
      case emAutomatic: {
        const QString target = QFileInfo(containerPath).absolutePath() + "/" + entry;
        if (!QFileInfo::exists(target) && !QFileInfo(target).isSymLink()) {
          Ui().setWaitCursor(true);
          MoveFileWithFallback(extracted, target);
          name = target;
        } else {
          SaveWithDialog(extracted, QFileInfo(target).absolutePath(), target);
        }
        break;
      }
      default:
        break;
    }
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
  SgnFileSource container(containerPath);
  if (!container.isOpen()) throw EFileError(QStringLiteral("Unable to open %1").arg(containerPath));
  TReplacementFile out;
  if (!out.Create(containerPath, QStringLiteral("RevokeSgn"))) throw EFileError(out.Error(), out.SystemError());

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
  if (!wellFormed || source.Covered() != size || it == layout.signers.end())
    throw EFileError(kMsgRevokeStale.arg(containerPath));

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
