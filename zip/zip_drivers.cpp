// The add and extract drivers: preconditions, loading the library, the record,
// the call and the clean-up.
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>

#include "platform/scope_exit.h"
#include "zip/zip_archiver.h"
#include "zip/zip_sfx.h"

namespace {

bool FolderExists(const QString& path) {
  if (path.isEmpty()) return true;
  struct stat st {};
  return stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes a folder and its missing parents (0777 less the umask); an empty path
// succeeds.
bool ForceDirectories(QString path) {
  while (path.size() > 1 && path.endsWith(u'/')) path.chop(1);
  if (path.isEmpty() || FolderExists(path)) return true;
  const QString parent = QFileInfo(path).path();
  if (parent != path && !ForceDirectories(parent)) return false;
  return mkdir(QFile::encodeName(path).constData(), 0777) == 0 || errno == EEXIST;
}

bool HasExeExtension(const QString& name) {
  return QFileInfo(name).fileName().toUpper().endsWith(QLatin1String(".EXE"));
}

}  // namespace

bool TZipArchiver::CheckAddRequest() {
  if (fSpecArgs_.isEmpty()) {
    ShowZipMessage(kZipNoFilesToZip);
    return false;
  }
  if (addOptions_.Contains(AddDiskSpanErase)) {
    addOptions_.Include(AddDiskSpan);
    spanOptions_.Include(spWipeFiles);
  }
  if (zipFileName_.isEmpty()) {
    ShowZipMessage(kZipNoZipFile);
    return false;
  }
  if (unattended_ && addOptions_.Contains(AddEncrypt) && password_.isEmpty()) {
    ShowZipMessage(kZipUnattendedNoPassword);
    return false;
  }
  return true;
}

bool TZipArchiver::SpanWorkName(bool exe, QString& working) {
  if (addOptions_.Contains(AddFreshen) || addOptions_.Contains(AddUpdate)) {
    ShowZipMessage(kZipFreshenUpdateSpanned);
    return false;
  }
  if (exe) {
    ShowZipMessage(kZipSfxNotSpannable);
    return false;
  }
  working = MakeTempFileName();
  if (verbose_) DispatchEvent(ZIPCB_MESSAGE, 0, 0, QStringLiteral("Temporary zipfile: ") + working);
  return true;
}

bool TZipArchiver::StartNewSfx(QString& work) {
  try {
    work = MakeAutoSFX();
    return true;
  } catch (const EZipArchiver& e) {
    ShowExceptionError(e);
  } catch (const EZaSfxError& e) {
    ShowSfxError(e);
  }
  return false;
}

int32_t TZipArchiver::LoadLibraryFor(TZipLibLoader& lib, int32_t minVersion) {
  try {
    return lib.LoadDll(minVersion, false);
  } catch (const EZipArchiver& e) {
    ShowExceptionError(e);
    return 0;
  }
}

bool TZipArchiver::CallAddLibrary(const QString& working, bool span, std::unique_ptr<ZipLibParams>& params) {
  try {
    params = FillZipLibRecord(working);
    zipParams_ = params.get();
    const QString folder = QFileInfo(zipFileName_).path();
    const bool hasFolder = zipFileName_.contains(u'/');
    if (addOptions_.Contains(AddForceDest) && hasFolder) ForceDirectories(folder);
    if (hasFolder && !FolderExists(folder)) throw EZipArchiver::CreateFromIdText(kZipDestDirMissing, folder);
    params->rec.Seven = ZIPABI_SENTINEL;
    params->rec.SpecCount = static_cast<int32_t>(fSpecArgs_.size());
    eventErrorText_.clear();
    firstLibraryError_.clear();
    processedCount_ = zipLib_->Exec(&params->rec);
    if (span) {
      const int32_t added = processedCount_;
      // Until the parts are written nothing is in the target.
      processedCount_ = 0;
      ScopeExit removeWork([&] { QFile::remove(working); });
      if (added > 0 && WriteSpan(working, zipFileName_) == 0) processedCount_ = added;
    }
    return false;
  } catch (const EZipArchiver& e) {
    ShowExceptionError(e);
  } catch (...) {
    ShowZipMessage(kZipLibAborted);
  }
  return true;
}

void TZipArchiver::ListAfterAdd() {
  // The closing List answers for the new directory; a file that the library
  // could not add must still show in the result when List itself finds nothing.
  const int32_t libraryError = errCode_;
  const QString libraryMessage = message_;
  List();
  if (errCode_ == 0 && libraryError != 0) {
    errCode_ = libraryError;
    message_ = libraryMessage;
  }
}

void TZipArchiver::AddFiles() {
  processedCount_ = 0;
  // A fresh start, as the extract has: without it an add whose library failed
  // without processing anything would answer the error (or the 0) of an earlier
  // operation.
  errCode_ = 0;
  message_.clear();
  if (!CheckAddRequest()) return;
  const bool span = addOptions_.Contains(AddDiskSpan);
  const bool exe = HasExeExtension(zipFileName_);
  QString working = zipFileName_;
  if (span && !SpanWorkName(exe, working)) return;
  if (zipBusy_) return;
  // A new self-extractor is made and filled under a hidden name beside its own;
  // it takes its name only once it holds the files, so a failed add leaves no
  // empty program behind. Every road that does not get there removes it.
  struct NewSfx {
    QString work;
    ~NewSfx() {
      if (!work.isEmpty()) unlink(QFile::encodeName(work).constData());
    }
  } newSfx;
  if (exe && dataOffset_ == 0 && !QFileInfo::exists(zipFileName_)) {
    if (!StartNewSfx(newSfx.work)) return;
    working = newSfx.work;
  }
  if (LoadLibraryFor(*zipLib_, ZIPABI_ZIP_MIN_VERSION) == 0) return;

  zipBusy_ = true;
  cancel_ = false;
  std::unique_ptr<ZipLibParams> params;
  const bool reported = CallAddLibrary(working, span, params);  // a failure that has had its box
  if (!newSfx.work.isEmpty()) {
    FinishNewSfx(newSfx.work, reported);  // renamed, or removed, there
    newSfx.work.clear();
  }
  fSpecArgs_.clear();
  fSpecArgsExcl_.clear();
  zipParams_ = nullptr;
  params.reset();
  UnloadAfterOperation(*zipLib_, zipBusy_);
  if (processedCount_ > 0) ListAfterAdd();
}

bool TZipArchiver::CheckExtractRequest() {
  if (zipFileName_.isEmpty()) {
    ShowZipMessage(kZipNoZipFile);
    return false;
  }
  if (!QFileInfo::exists(zipFileName_)) {
    ShowZipMessage(kZipInputMissing);
    return false;
  }
  if (Count() == 0) {
    List();
    if (Count() == 0) {
      ShowZipMessage(kZipFileNotOpened);
      return false;
    }
  }
  return true;
}

bool TZipArchiver::JoinSpannedArchive(QString& working) {
  // Joined into a new temporary file (in TempDir, else the private folder),
  // never over the archive itself.
  working = tempDir_.isEmpty() ? QString() : AppendSlash(tempDir_);
  int32_t joined = -1;
  try {
    joined = ReadSpan(zipFileName_, working);
  } catch (const EZipArchiver& e) {
    ShowExceptionError(e);
  }
  return joined == 0;
}

void TZipArchiver::CallExtractLibrary(const QString& working, int32_t version, bool span) {
  std::unique_ptr<UnzLibParams> params;
  try {
    // The joined archive goes before anything is reported.
    ScopeExit removeJoined([&] {
      if (span) QFile::remove(working);
    });
    params = FillUnzLibRecord(working, version);
    unzParams_ = params.get();
    if (!extrBaseDir_.isEmpty()) {
      if (extrOptions_.Contains(ExtrForceDirs)) ForceDirectories(extrBaseDir_);
      if (!FolderExists(extrBaseDir_)) throw EZipArchiver::CreateFromIdText(kZipExtractDirMissing, extrBaseDir_);
    }
    params->rec.Seven = ZIPABI_SENTINEL;
    eventErrorText_.clear();
    processedCount_ = unzLib_->Exec(&params->rec);
  } catch (const EZipArchiver& e) {
    ShowExceptionError(e);
  } catch (...) {
    ShowZipMessage(kZipUnzLibAborted);
  }
  fSpecArgs_.clear();
  unzParams_ = nullptr;
}

bool TZipArchiver::RunExtract() {
  cancel_ = false;
  unzBusy_ = true;
  QString working = zipFileName_;
  const bool span = thisDisk_ != 0;
  if (span && !JoinSpannedArchive(working)) {
    unzBusy_ = false;
    return false;
  }
  const int32_t version = LoadLibraryFor(*unzLib_, ZIPABI_UNZ_MIN_VERSION);
  if (version == 0) {
    if (span) QFile::remove(working);
    unzBusy_ = false;
    return false;
  }
  CallExtractLibrary(working, version, span);
  return true;
}

void TZipArchiver::ExtractFiles() {
  processedCount_ = 0;
  errCode_ = 0;
  message_.clear();
  if (!CheckExtractRequest()) return;
  bool loaded = false;
  {
    // Unattended, without a password or a handler, nobody can answer a password
    // question: none is asked for in this extract, and the count is back as it
    // was before the library is unloaded.
    const uint32_t savedRequests = passwordReqCount_;
    bool requestsChanged = false;
    if (unattended_ && password_.isEmpty() && !OnPasswordError) {
      passwordReqCount_ = 0;
      requestsChanged = true;
      ShowZipMessage(kZipUnattendedExtractWarning);
    }
    ScopeExit restore([&] {
      if (requestsChanged) passwordReqCount_ = savedRequests;
    });
    loaded = RunExtract();
  }
  if (loaded) UnloadAfterOperation(*unzLib_, unzBusy_);
}

void TZipArchiver::UnloadAfterOperation(TZipLibLoader& lib, bool& busy) {
  // With Verbose, the unload report of a cancelled operation raises 11007 for the
  // caller of Add or Extract; the operation is over all the same, so the
  // component must not stay busy (every later Add or Extract would answer -255).
  auto done = [&] {
    extraData_.clear();
    cancel_ = false;
    busy = false;
  };
  try {
    lib.UnloadDll(false);
  } catch (...) {
    done();
    throw;
  }
  done();
}
