#pragma once
// TZipArchiver: the non-visual ZIP component. It holds the settings of the next
// operation as properties, the result of the last one as public state, and reports
// progress, questions and messages through its events. Adding and extracting run
// in the two ZIP libraries (zip/zip_loader.h), driven through the records of
// interfaces/ziplib_records.h; the archive directory is read by the component itself.
//
// Single-threaded: everything runs on the UI thread; the libraries call back on
// it, and every callback lets pending window messages run, so a handler may try a
// second operation: Add and Extract then answer -255.
#include <QByteArray>
#include <QDate>
#include <QIcon>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "interfaces/zip_headers.h"
#include "interfaces/ziplib_records.h"
#include "platform/replacement_file.h"
#include "zip/ezip_archiver.h"
#include "zip/zip_loader.h"
#include "zip/zip_stream.h"
#include "zip/zip_types.h"

// What Add and Extract answer while another operation of the component runs.
inline constexpr int32_t kZipBusyCode = -255;

class TZipArchiver;
class TCustomZaSFX;
class EZaSfxError;
class ZipDirectoryReader;

// The library callback: hands the record to the component named in it. Never lets
// an exception through; answers -1 (cancel) for a destroying or missing component
// and for anything that went wrong.
extern "C" int32_t DllCallback(ZipCallbackRec* rec) noexcept;

// The ZIP parameter record of one add, with every text, entry and array that it
// points to; all of it is freed with this object.
struct ZipLibParams {
  ZipLibParams();
  ZipLibParams(const ZipLibParams&) = delete;
  ZipLibParams& operator=(const ZipLibParams&) = delete;
  // A NUL-terminated copy that lives as long as this object.
  char* Text(const QByteArray& bytes);

  ZipRec rec;
  std::vector<std::unique_ptr<char[]>> texts;
  std::unique_ptr<ZipSpec[]> specs;
  std::unique_ptr<char*[]> excl;
};

// The UNZ parameter record of one extract, with what it points to.
struct UnzLibParams {
  UnzLibParams();
  UnzLibParams(const UnzLibParams&) = delete;
  UnzLibParams& operator=(const UnzLibParams&) = delete;
  char* Text(const QByteArray& bytes);

  UnzRec rec;
  std::vector<std::unique_ptr<char[]>> texts;
  std::unique_ptr<UnzName[]> names;
};

// Disk state of spanning: the drive (the archive's folder, with a trailing "/"),
// its figures, the current part and the files being copied.
// A part the span writer finished: the hidden file it waits in (empty once it is
// under its own name), its name, and which file it is, so that a part of the set
// being written is known again whatever name or disk it is met under.
struct ZipSpanPart {
  // A part finished and waiting under its hidden name until the whole set is
  // written (in a folder of a fixed drive); empty once the part has its name.
  std::unique_ptr<TReplacementFile> held;
  QString name;
  uint64_t device = 0;
  uint64_t inode = 0;
};

struct ZipDiskState {
  QString drive;
  bool driveFixed = true;
  QString volumeLabel;
  int64_t sizeOfDisk = -1;
  int64_t freeOnDisk = -1;
  int32_t diskNr = 0;      // current part, 0-based; -1 while the last is unknown
  int32_t totalDisks = 0;  // number of parts, 0-based like diskNr
  int64_t fileSize = 0;    // size of the archive being spread
  bool newDisk = false;
  int inFile = -1;
  // The joined archive of a read set, under its hidden name until it is whole.
  std::unique_ptr<TReplacementFile> joined;
  bool showProgress = false;
  // The span writer's part: its name, bytes written, room left, and the time
  // every part is given (that of the archive being spread).
  QString partName;
  std::unique_ptr<TReplacementFile> part;  // the part being written, under its hidden name
  int64_t partBytes = 0;
  int64_t roomLeft = 0;
  int64_t dateStamp = 0;
  QString target;  // the spanned archive's name
  TZipDiskAction lastAction = zdaOk;
  TZipDiskStatus lastStatus;
  int32_t thisDisk = -1;  // the part the last span write ended on
  // A set written into a folder of a fixed drive is one change: its parts wait
  // under hidden names until the last one is whole.
  bool holdParts = false;
  std::vector<ZipSpanPart> written;  // the parts of the set being written, in order
  int failedErrno = 0;               // the system's reason of the last failed part step
  QString setName;                   // the set's name without part number, while reading
};

class TZipArchiver {
 public:
  TZipArchiver();
  virtual ~TZipArchiver();
  TZipArchiver(const TZipArchiver&) = delete;
  TZipArchiver& operator=(const TZipArchiver&) = delete;

  // From here on every library callback answers cancel and no event fires. The
  // destructor calls it; an owner may call it earlier.
  void BeforeDestruction();

  // ---- Published properties ---------------------------------------------------
  bool Verbose() const { return verbose_; }
  void SetVerbose(bool v) { verbose_ = v; }
  bool Trace() const { return trace_; }
  void SetTrace(bool v) { trace_ = v; }
  int32_t AddCompLevel() const { return addCompLevel_; }
  void SetAddCompLevel(int32_t v) { addCompLevel_ = v; }
  AddOpts AddOptions() const { return addOptions_; }
  void SetAddOptions(AddOpts v) { addOptions_ = v; }
  // With AddFromDate: only files from this date on.
  QDate AddFrom() const { return addFrom_; }
  void SetAddFrom(QDate v) { addFrom_ = v; }
  const QString& ExtrBaseDir() const { return extrBaseDir_; }
  void SetExtrBaseDir(const QString& v) { extrBaseDir_ = v; }
  ExtrOpts ExtrOptions() const { return extrOptions_; }
  void SetExtrOptions(ExtrOpts v) { extrOptions_ = v; }
  // The component's own lists; the setters copy the lines.
  QStringList& FSpecArgs() { return fSpecArgs_; }
  const QStringList& FSpecArgs() const { return fSpecArgs_; }
  void SetFSpecArgs(const QStringList& v) { fSpecArgs_ = v; }
  QStringList& FSpecArgsExcl() { return fSpecArgsExcl_; }
  const QStringList& FSpecArgsExcl() const { return fSpecArgsExcl_; }
  void SetFSpecArgsExcl(const QStringList& v) { fSpecArgsExcl_ = v; }
  bool Unattended() const { return unattended_; }
  void SetUnattended(bool v) { unattended_ = v; }
  // Writing it reads the archive's directory (List).
  const QString& ZipFileName() const { return zipFileName_; }
  void SetZipFileName(const QString& v);
  const QString& Password() const { return password_; }
  void SetPassword(const QString& v) { password_ = v; }
  // Stored without one trailing "/" ("/" itself stays).
  const QString& DLLDirectory() const { return dllDirectory_; }
  void SetDLLDirectory(const QString& v);
  const QString& TempDir() const { return tempDir_; }
  void SetTempDir(const QString& v) { tempDir_ = v; }
  CodePageOpts CodePage() const { return codePage_; }
  void SetCodePage(CodePageOpts v) { codePage_ = v; }
  DeleteOpts HowToDelete() const { return howToDelete_; }
  void SetHowToDelete(DeleteOpts v) { howToDelete_ = v; }
  // Always "1.73"; writing is ignored.
  QString VersionInfo() const { return QStringLiteral("1.73"); }
  void SetVersionInfo(const QString&) {}
  AddStoreExts AddStoreSuffixes() const { return addStoreSuffixes_; }
  void SetAddStoreSuffixes(AddStoreExts v) { addStoreSuffixes_ = v; }
  // Stored normalised (".doc:.pdf:") and lower-cased; non-empty adds assEXT to
  // AddStoreSuffixes, empty removes it.
  const QString& ExtAddStoreSuffixes() const { return extAddStoreSuffixes_; }
  void SetExtAddStoreSuffixes(const QString& v);
  // At most 15.
  uint32_t PasswordReqCount() const { return passwordReqCount_; }
  void SetPasswordReqCount(uint32_t v);
  bool UseDirOnlyEntries() const { return useDirOnlyEntries_; }
  void SetUseDirOnlyEntries(bool v) { useDirOnlyEntries_ = v; }
  const QString& RootDir() const { return rootDir_; }
  void SetRootDir(const QString& v) { rootDir_ = v; }
  SpanOpts SpanOptions() const { return spanOptions_; }
  void SetSpanOptions(SpanOpts v) { spanOptions_ = v; }
  bool ConfirmErase() const { return confirmErase_; }
  void SetConfirmErase(bool v) { confirmErase_ = v; }
  int32_t KeepFreeOnDisk1() const { return keepFreeOnDisk1_; }
  void SetKeepFreeOnDisk1(int32_t v) { keepFreeOnDisk1_ = v; }
  uint32_t KeepFreeOnAllDisks() const { return keepFreeOnAllDisks_; }
  void SetKeepFreeOnAllDisks(uint32_t v) { keepFreeOnAllDisks_ = v; }
  int32_t MaxVolumeSize() const { return maxVolumeSize_; }
  void SetMaxVolumeSize(int32_t v) { maxVolumeSize_ = v; }
  int32_t MinFreeVolumeSize() const { return minFreeVolumeSize_; }
  void SetMinFreeVolumeSize(int32_t v) { minFreeVolumeSize_ = v; }
  TCustomZaSFX* SFXSlave() const { return sfxSlave_; }
  void SetSFXSlave(TCustomZaSFX* v) { sfxSlave_ = v; }
  const QString& SFXCaption() const { return sfxCaption_; }
  void SetSFXCaption(const QString& v) { sfxCaption_ = v; }
  const QString& SFXCommandLine() const { return sfxCommandLine_; }
  void SetSFXCommandLine(const QString& v) { sfxCommandLine_ = v; }
  const QString& SFXDefaultDir() const { return sfxDefaultDir_; }
  void SetSFXDefaultDir(const QString& v) { sfxDefaultDir_ = v; }
  const QString& SFXMessage() const { return sfxMessage_; }
  void SetSFXMessage(const QString& v) { sfxMessage_ = v; }
  const QIcon& SFXIcon() const { return sfxIcon_; }
  void SetSFXIcon(const QIcon& v) { sfxIcon_ = v; }
  // SFXCheckSize has no counterpart in the maker: it reads as absent once the
  // component made its own.
  SFXOpts SFXOptions() const { return ownSfx_ ? sfxOptions_ - SFXOpts{SFXCheckSize} : sfxOptions_; }
  void SetSFXOptions(SFXOpts v) { sfxOptions_ = v; }
  OvrOpts SFXOverWriteMode() const { return sfxOverWriteMode_; }
  void SetSFXOverWriteMode(OvrOpts v) { sfxOverWriteMode_ = v; }
  const QString& SFXPath() const { return sfxPath_; }
  void SetSFXPath(const QString& v) { sfxPath_ = v; }

  // ---- Public state -----------------------------------------------------------
  int32_t ErrCode() const { return errCode_; }
  int32_t ErrCodeFull() const { return errCodeFull_; }
  const QString& Message() const { return message_; }
  int32_t ProcessedCount() const { return processedCount_; }
  bool Cancel() const { return cancel_; }
  void SetCancel(bool v) { cancel_ = v; }
  // Entries of the directory list; 0 while ZipFileName is empty.
  int32_t Count() const;
  // Entry i (0-based) of the directory list; i below the list's own size.
  const ZipDirEntry& DirEntry(int i) const { return *dirList_.at(static_cast<size_t>(i)); }
  // The archive comment as stored (not converted).
  const QByteArray& ZipComment() const { return zipComment_; }
  // Where the archive's data really begins (the length of anything in front of
  // it, such as a self-extractor); 0 for an archive without entries.
  int64_t DataOffset() const { return dataOffset_; }
  // Folder-only entries that the last List left out.
  int32_t DroppedDirEntries() const { return droppedDirEntries_; }
  // The last List found a part of a spanned set.
  bool Spanned() const { return spanned_; }

  // ---- Operations -------------------------------------------------------------
  // -255 without doing anything while any operation runs; otherwise runs the add
  // (or extract) and returns ErrCode.
  int32_t Add();
  int32_t Extract();

 private:
  // Add's and Extract's frame: the busy answer, the operation's work folder and
  // the busy mark around the driver.
  int32_t RunOperation(void (TZipArchiver::*driver)());

 public:
  // Re-reads the directory of ZipFileName.
  void List();
  // Writes a new self-extracting archive without entries at target through the
  // SFX maker (SFXSlave, else the component's own, made once from the SFX
  // properties). Returns 0; the maker's EZaSfxError passes through. An icon that
  // the stub cannot take (ours is no Windows program) is left out with one
  // information message.
  int32_t ConvertToSfx(const QString& target);

  // The end-of-central-directory record as stored.
  using EndOfCentral = zipfmt::EndRecord;
  // Finds the record of the working file and opens the file for List (the handle
  // stays in the disk state). From List a missing file or record raises
  // EZipArchiver; otherwise it reports 11002 and answers false.
  bool FindEndOfCentral(EndOfCentral& rec, bool fromList);

 private:
  // ---- Steps of reading the directory (zip_directory.cpp) ----------------------
  // Opens the working file as disk_.inFile; failing, raises 11001 from List,
  // otherwise reports 11002 and answers false.
  bool OpenWorkFile(bool fromList);
  // The end record found where an archive without a comment has it, or by a scan
  // of the file's last 64 KiB; each fills rec, recordPos_, endPos_ (and the scan
  // the comment, with 10204 for garbage at the end).
  bool TakeEndRecordAtTheEnd(int64_t size, EndOfCentral& rec);
  bool TakeEndRecordFromTail(int64_t size, EndOfCentral& rec);
  // List's steps: the state of a new listing; the working file and its end
  // record (false: nothing to list); where the directory starts (with the
  // structure warning); the entries one after another.
  void ResetDirectoryState();
  bool OpenListedArchive(EndOfCentral& rec);
  int64_t CentralDirectoryStart(const EndOfCentral& rec);
  void ReadCentralDirectory(const EndOfCentral& rec, int64_t start);
  std::unique_ptr<ZipDirEntry> ReadCentralEntry(ZipDirectoryReader& reader, const EndOfCentral& rec);

 public:
  // A stored name or comment as text, by the code-page rule: UTF-8 when the entry
  // says so, OEM (code page 852) when CodePage or the maker's host asks for it,
  // else as stored (code page 1250, or UTF-8 from a Unix host). The extracting
  // library decodes with the same rule (interfaces/ziplib_names.h).
  QString ConvertOemName(const QByteArray& stored, uint16_t flag, uint8_t hostSystem, uint8_t madeByVersion) const;
  // Empties the directory list.
  void ClearDirectory();

  // ---- Messages ---------------------------------------------------------------
  // The table's text, then OnZipStr may replace it.
  QString LoadZipString(int id);
  // LoadZipString, or def when that is empty.
  QString LoadZipStringDef(int id, const QString& def);
  // A failure or notice the component found itself: Message, ErrCode = id, a box
  // unless Unattended, OnMessage(0, text). args fill the text's placeholders.
  void ShowZipMessage(int id, const QString& extra = QString(), const QStringList& args = {});
  // A caught EZipArchiver: ErrCode = its id, a box when it asks for one and the
  // component is not Unattended, Message, OnMessage(ErrCode, text); extra is
  // appended to the text.
  void ShowExceptionError(const EZipArchiver& e, const QString& extra = QString());
  // The same report for a failure of the SFX maker (ErrCode its message id, or
  // 11009 for a failed file operation).
  void ShowSfxError(const EZaSfxError& e);

  // ---- Library records and callbacks ------------------------------------------
  // The record of an add from the properties: every field, the file-argument
  // entries from FSpecArgs, the exclusions from FSpecArgsExcl and the sentinel.
  std::unique_ptr<ZipLibParams> FillZipLibRecord(const QString& archiveName);

 private:
  // ---- Steps of filling the ZIP record (zip_records.cpp) ----------------------
  // The record's head and option fields; answers the record's password text, which
  // the file-argument entries share.
  char* FillZipOptions(ZipLibParams& p);

 public:
  // The record of an extract; version is what the loaded library reported. The
  // name entries come from FSpecArgs unless it is empty or begins with "*.*".
  std::unique_ptr<UnzLibParams> FillUnzLibRecord(const QString& archiveName, int32_t version);
  // The text of the store suffixes, as it goes into the ZIP record.
  QString StoreSuffixText() const;

  // Raises the events of a callback code. Code 17: a library called, and code,
  // error, size and text come from rec. The component's own calls (codes 0 to 6)
  // let a handler's exception through and raise 11007 when Cancel is set; a
  // library call keeps the first exception's text and answers cancel instead.
  // Returns whether to cancel.
  bool DispatchEvent(uint8_t code, int32_t error, uint32_t size, const QString& text, ZipCallbackRec* rec = nullptr);
  static constexpr uint8_t kLibraryCall = 17;
  // Percentage of done in total: 0 when either is 0.
  static uint32_t PercentOf(uint32_t total, uint32_t done);

  // ---- Utilities --------------------------------------------------------------
  bool IsBusy() const { return opBusy_ || zipBusy_ || unzBusy_; }
  // Nested wait cursor: the first start saves the cursor, the last stop restores it.
  void StartWaitCursor();
  void StopWaitCursor();
  // A new unique name prefix + "XXXXXX" + ext in TempDir, or else in the running
  // operation's work folder (outside an operation, the program's private
  // temporary folder); no file of that name exists on return. Empty on failure.
  QString MakeTempFileName(const QString& prefix = QString(), const QString& ext = QString());
  // The program's private temporary folder (mode 0700, made once per run and
  // removed with its contents at exit), with a trailing "/".
  static QString PrivateTempFolder();
  // Work folders are "$TMPDIR/tarvi-zip-<pid>-XXXXXX". Removes those of this user
  // whose process no longer runs (a crash or a kill left them); the first
  // component of a run and the making of the private folder call it.
  static void RemoveStaleWorkFolders();
  // Holds the running operation's work folder: made when the operation first
  // needs a work file, removed with all it holds when the outermost scope ends,
  // whichever way (success, failure, cancel, exception).
  class WorkFolderScope {
   public:
    explicit WorkFolderScope(TZipArchiver& z) : z_(z) { ++z_.workScopes_; }
    ~WorkFolderScope() {
      if (--z_.workScopes_ == 0) z_.RemoveWorkFolder();
    }
    WorkFolderScope(const WorkFolderScope&) = delete;
    WorkFolderScope& operator=(const WorkFolderScope&) = delete;

   private:
    TZipArchiver& z_;
  };
  // The running operation's work folder ("" when it has none yet).
  const std::string& WorkFolder() const { return workFolder_; }
  // Exactly one "/" at the seam.
  static QString PathConcat(const QString& folder, const QString& name);
  static QString AppendSlash(const QString& path);
  // -1 when the file does not exist; otherwise 0 when it is gone (to the trash
  // with htdAllowUndo, else removed), nonzero when that failed. A file that cannot
  // be moved to the trash is kept.
  static int EraseFile(const QString& name, DeleteOpts how);
  // Moves a file to the user's trash; *inTrash gets where it went there.
  static bool MoveToTrash(const QString& path, QString* inTrash);
  // Puts a file that MoveToTrash moved back under path (never over a file that
  // took the name meanwhile) and drops its trash record.
  static bool RestoreFromTrash(const QString& inTrash, const QString& path);
  // Every Linux path counts as a fixed drive.
  virtual bool IsFixedDrive(const QString& path);
  // which: 1 free space, 2 size, 3 both, into the disk state (-1 when unknown).
  virtual void DiskFreeAndSize(int which);
  // True when the spanning drive answers: reads its figures into the disk state.
  bool DiskIsReady();
  // Asks for the next disk until a usable one is in (nothing on a fixed drive).
  void PromptForDisk(bool writing);
  // The copy steps of spanning. buffer holds at least min(length, 10240) bytes.
  void WriteChecked(const uint8_t* buffer, uint32_t length, int messageId);
  void CopyToSpan(uint8_t* buffer, uint32_t length, int messageId);
  void CopyFromSpan(uint8_t* buffer, uint32_t length, int messageId);
  static QByteArray BufferToText(const uint8_t* buffer, uint32_t length);
  // The file name of the current part of a spanned set.
  void MakePartFileName(QString& name, bool replace);
  // The one naming of parts, for the writer and the reader alike: part (0-based)
  // of the set setName. With compat ".z" and at least two digits (".z01", ...,
  // ".z99", ".z100", as Info-ZIP and 7-Zip name them), the last part ".zip";
  // otherwise at least three digits in front of the extension (backup001.zip, ...,
  // backup999.zip, backup1000.zip).
  static QString SpanPartName(const QString& setName, int32_t part, bool last, bool compat);
  // The set's name from the name of its part (-1: a part of unknown number, whose
  // three digits are taken off).
  static QString SpanSetName(const QString& partName, int32_t part, bool compat);
  // The most parts a set can have: the end record counts disks in 16 bits (0xFFFF
  // means a ZIP64 record), and a volume label holds three digits.
  int32_t MaxSpanParts() const;
  // Volume labels of removable disks. A folder has none: reading gives empty and
  // writing fails, so a removable medium is used with spNoVolumeName unless a
  // subclass knows its labels.
  virtual QString ReadVolumeLabel(const QString& drive);
  virtual bool WriteVolumeLabel(const QString& drive, const QString& label);
  // Before a part is written with spWipeFiles: format (not possible here) or,
  // after the question, erase the disk, then label it. 0 done, -3 not erased.
  int32_t ClearDisk();
  // The shell's format dialog for a drive letter; there is none here: -3.
  static int32_t FormatDisk(uintptr_t window, const QString& drive);
  // Deletes everything in a folder tree (the folder itself stays).
  void EraseFloppy(const QString& folder);
  // Whether the disk in the drive holds the current part; sets the working file
  // name to that part's name.
  bool CheckVolumeLabel();
  // After a span write was given up: the lines that tell what stays (the earlier
  // files of the set's names in a folder of a fixed drive, else the disks that
  // hold parts of the new set).
  QString SpanKeptText();
  // Renames the held parts into place in order (the last one to lastName) and
  // syncs the folder; false, with the reason in the disk state, when one failed.
  bool CommitSpanParts(const QString& lastName);

  TZipLib& ZipLib() { return *zipLib_; }
  TUnzLib& UnzLib() { return *unzLib_; }
  TZipStream& ZipStream() { return zipStream_; }
  ZipDiskState& DiskState() { return disk_; }

  // ---- Events (the sender is always this component) -----------------------------
  std::function<void(TZipArchiver&)> OnDirUpdate;
  std::function<void(TZipArchiver&, uint32_t totalSize, int32_t perCent)> OnTotalProgress;
  std::function<void(TZipArchiver&, const QString& item, uint32_t totalSize, int32_t perCent)> OnItemProgress;
  std::function<void(TZipArchiver&, ProgressType type, const QString& fileName, uint32_t fileSize)> OnProgress;
  std::function<void(TZipArchiver&, int32_t errCode, const QString& message)> OnMessage;
  std::function<void(TZipArchiver&, QString& oldFileName, bool& isChanged)> OnSetNewName;
  std::function<void(TZipArchiver&, int32_t seqNo, const ZipDirEntry& entry)> OnNewName;
  std::function<void(TZipArchiver&, const QString& forFile, uint32_t foundCrc, uint32_t expectedCrc, bool& doExtract)>
      OnCRC32Error;
  std::function<void(TZipArchiver&, bool isZipAction, QString& newPassword, const QString& forFile,
                     uint32_t& repeatCount, TPasswordButton& action)>
      OnPasswordError;
  std::function<void(TZipArchiver&, const QString& forFile, bool isOlder, bool& doOverwrite, int32_t dirIndex)>
      OnExtractOverwrite;
  std::function<void(TZipArchiver&, const QString& forFile, UnZipSkipTypes skipType, int32_t extError)>
      OnExtractSkipped;
  std::function<void(TZipArchiver&, const QString& forFile, bool& doOverwrite)> OnCopyZipOverwrite;
  std::function<void(TZipArchiver&, const QString& forFile, QString& fileComment, bool& isChanged)> OnFileComment;
  std::function<void(TZipArchiver&, bool& abort)> OnAfterCallback;
  std::function<void(TZipArchiver&)> OnTick;
  std::function<void(TZipArchiver&, const QString& forFile, QByteArray& data, bool& isChanged)> OnFileExtra;
  std::function<void(TZipArchiver&, int32_t id, QString& str)> OnZipStr;
  std::function<void(TZipArchiver&, int32_t diskSeqNo, int32_t diskTotal, const QString& drive, bool& abortAction)>
      OnGetNextDisk;
  std::function<void(TZipArchiver&, int32_t previousDisk, const QString& previousFile, TZipDiskStatus status,
                     TZipDiskAction& action)>
      OnStatusDisk;

 protected:
  // The add and extract drivers; each runs inside Add or Extract with the
  // operation-busy flag set.
  virtual void AddFiles();
  virtual void ExtractFiles();

 private:
  // ---- Steps of the drivers (zip_drivers.cpp) -----------------------------------
  // Each check reports its message and answers false when the operation cannot go on.
  bool CheckAddRequest();
  bool CheckExtractRequest();
  // The work file of a spanned add (refused for freshen, update and ".EXE").
  bool SpanWorkName(bool exe, QString& working);
  // The new self-extractor's hidden work file, or the maker's failure reported.
  bool StartNewSfx(QString& work);
  // The loaded library's version, or 0 with the loader's failure reported.
  int32_t LoadLibraryFor(TZipLibLoader& lib, int32_t minVersion);
  // The library's add and, spanned, the parts written; true when a failure was
  // reported with its box.
  bool CallAddLibrary(const QString& working, bool span, std::unique_ptr<ZipLibParams>& params);
  // The closing List, keeping the library's error when List finds none.
  void ListAfterAdd();
  // The extract after its checks: false when the library was never loaded.
  bool RunExtract();
  bool JoinSpannedArchive(QString& working);
  void CallExtractLibrary(const QString& working, int32_t version, bool span);

 protected:
  // The password questions when no OnPasswordError handler is bound: the answer
  // goes to password (empty when cancelled), the button to lastPasswordButton_.
  virtual void GetAddPassword(QString& password);
  virtual void GetExtrPassword(QString& password);
  // One modal password dialog with the given TPasswordDlg buttons; the typed text
  // goes to password (empty unless Ok), the dialog's modal result is kept.
  TPasswordButton GetPassword(const QString& title, const QString& prompt, QString& password, int buttons);
  // Spanning: waits for the disk that holds part diskNr and reopens the archive;
  // hands length bytes to the span writer (minRoom > 0: not to be split).
  virtual void GetNewDisk(int32_t diskNr);
  virtual void CheckForDisk(const uint8_t* data, uint32_t length, uint32_t minRoom);
  // Spanning for the drivers: spreads the finished temporary archive over the
  // parts of outFile, or joins a spanned set into one temporary archive (its
  // name in outFile). 0 when done.
  virtual int32_t WriteSpan(const QString& inFile, const QString& outFile);
  virtual int32_t ReadSpan(const QString& inFile, QString& outFile);
  // Finds the last part of the set named by workFileName_ and reads its end
  // record; false when the user or the handler gave up (spanStopResult_ says how).
  bool FindLastSpanPart(EndOfCentral& end);

  // ---- The steps of spanning (zip_span.cpp) ------------------------------------
  struct SpanEntry;
  struct SpanCopy;  // one spread or join: the entries, the central directory's place, the buffer
  struct SpanPartPlan {
    QString name;
    int32_t shown = 0;  // the number of the disk as its questions show it
  };
  enum class PartDecision { Go, OtherDisk, Cancel };
  // Before each part: the disk and the part's name, the question on a file of that
  // name, the other disk asked for, or the new part opened with its room (false
  // when none was, and the disk is looked at again).
  bool BeginSpanPart();
  SpanPartPlan PlanSpanPart();
  PartDecision AskAboutPart(const SpanPartPlan& plan);
  void AskForAnotherDisk();
  bool OpenSpanPart(const SpanPartPlan& plan);
  void AskAfterNoRoom(const SpanPartPlan& plan);
  uint32_t WriteToSpanPart(const uint8_t* data, uint32_t length);
  void NextSpanPart();
  // The writer's steps: the state of a new write, the copy into parts (0, or the
  // result after the failure was shown), and the set given its names at the end.
  void ResetSpanWrite(const QString& outFile);
  int32_t SpreadOverParts(const QString& inFile);
  void OpenSpanSource(const QString& inFile, SpanCopy& copy);
  void CopySpanEntries(SpanCopy& copy);
  void CopySpanCentral(SpanCopy& copy);
  void WriteSpanEnd(SpanCopy& copy);
  QString DropUnfinishedPart();
  bool KeepsTargetOfCompatSet(const QString& outFile);
  int32_t PlaceSpanSet(const QString& outFile);
  // The joiner's steps.
  void ChooseJoinName(const QString& inFile, QString& outFile);
  void CreateJoinedArchive(const QString& outFile);
  QByteArray OpenLastSpanPart(const QString& inFile, EndOfCentral& end);
  void ReadAcross(void* out, uint32_t n, int messageId);
  void ReadSpanCentral(SpanCopy& copy);
  void JoinSpanEntries(SpanCopy& copy);
  void JoinSpanEntry(SpanCopy& copy, int i);
  void WriteJoinedDirectory(SpanCopy& copy, const QByteArray& comment);
  // ---- (end of the steps of spanning) -----------------------------------------

  // Writes a new self-extracting program with no entries for an add to a new
  // ".EXE" ZipFileName, under a hidden name beside it that it returns: the add
  // fills it there, and FinishNewSfx gives it its name. Raises EZipArchiver or
  // EZaSfxError on failure.
  virtual QString MakeAutoSFX();
  // After the library's call on a new self-extractor at work: when it holds files
  // it takes ZipFileName (true); otherwise it is removed and, unless the failure
  // was reported already or the user cancelled, the failed add is reported.
  bool FinishNewSfx(const QString& work, bool reported);
  // The drivers' last step: unloads the library, clears the kept extra data, Cancel
  // and the library's busy mark, also when the unload report raises.
  void UnloadAfterOperation(TZipLibLoader& lib, bool& busy);

  // Dispatch steps for one code; rec is null for the component's own calls.
  void DispatchCode(uint8_t code, int32_t error, uint32_t size, const QString& text, ZipCallbackRec* rec);
  void DispatchPassword(int32_t error, uint32_t size, const QString& text, ZipCallbackRec* rec);

 private:
  // ---- Steps of dispatching one code (zip_dispatch.cpp) -----------------------
  // The codes of progress (ticks, files, sizes, extra steps), each raising its
  // events; the library's messages and skips, which also set ErrCode; and the
  // questions whose answers go back into rec.
  void DispatchProgress(uint8_t code, int32_t error, uint32_t size, const QString& text);
  void DispatchMessage(int32_t error, const QString& text);
  void DispatchSkipped(int32_t error, uint32_t size, const QString& text);
  void DispatchNewName(const QString& text, ZipCallbackRec& rec);
  void DispatchCrcError(int32_t error, uint32_t size, const QString& text, ZipCallbackRec* rec);
  void DispatchOverwrite(int32_t error, uint32_t size, const QString& text, ZipCallbackRec& rec);
  void DispatchComment(const QString& text, ZipCallbackRec& rec);
  void DispatchStreamMemory(uint32_t size, ZipCallbackRec* rec);
  void DispatchExtraData(uint32_t size, const QString& text, ZipCallbackRec& rec);

 protected:
  // ---- Property values ----------------------------------------------------------
  bool verbose_ = false;
  bool trace_ = false;
  int32_t addCompLevel_ = 9;
  AddOpts addOptions_;
  QDate addFrom_;
  QString extrBaseDir_;
  ExtrOpts extrOptions_;
  QStringList fSpecArgs_;
  QStringList fSpecArgsExcl_;
  bool unattended_ = false;
  QString zipFileName_;
  QString password_;
  QString dllDirectory_;
  QString tempDir_;
  std::string workFolder_;  // of the running operation, see WorkFolderScope
  int workScopes_ = 0;
  void RemoveWorkFolder();
  CodePageOpts codePage_ = cpAuto;
  DeleteOpts howToDelete_ = htdAllowUndo;
  AddStoreExts addStoreSuffixes_;
  QString extAddStoreSuffixes_;
  uint32_t passwordReqCount_ = 1;
  bool useDirOnlyEntries_ = false;
  QString rootDir_;
  SpanOpts spanOptions_;
  bool confirmErase_ = true;
  int32_t keepFreeOnDisk1_ = 0;
  uint32_t keepFreeOnAllDisks_ = 0;
  int32_t maxVolumeSize_ = 0;
  int32_t minFreeVolumeSize_ = 65536;
  TCustomZaSFX* sfxSlave_ = nullptr;
  std::shared_ptr<TCustomZaSFX> ownSfx_;  // the maker the component made itself
  QString sfxCaption_;
  QString sfxCommandLine_;
  QString sfxDefaultDir_;
  QString sfxMessage_;
  QIcon sfxIcon_;
  SFXOpts sfxOptions_;
  OvrOpts sfxOverWriteMode_ = OvrConfirm;
  QString sfxPath_;

  // ---- Public state -------------------------------------------------------------
  int32_t errCode_ = 0;
  int32_t errCodeFull_ = 0;
  QString message_;
  int32_t processedCount_ = 0;
  bool cancel_ = false;
  std::vector<std::unique_ptr<ZipDirEntry>> dirList_;
  QByteArray zipComment_;

  // ---- Inner state --------------------------------------------------------------
  uintptr_t windowHandle_ = 0;  // a nonzero token for the libraries
  bool zipBusy_ = false;        // the adding library is in use
  bool unzBusy_ = false;        // the extracting library is in use
  bool opBusy_ = false;         // Add or Extract runs
  bool destroying_ = false;
  uint32_t totalSize_ = 0;
  uint32_t totalDone_ = 0;
  uint32_t itemSize_ = 0;
  uint32_t itemDone_ = 0;
  QString itemName_;
  // The first exception a handler raised during the library call, as
  // ' #<code> "<message>"'; emptied by the drivers before each call.
  QString eventErrorText_;
  // The text of the library's first message with an error in the call (later
  // ones tend to sum up: "Nothing to do"); emptied with eventErrorText_.
  QString firstLibraryError_;
  ZipLibParams* zipParams_ = nullptr;  // the records while a library runs
  UnzLibParams* unzParams_ = nullptr;
  int32_t waitCursorCount_ = 0;
  bool savedCursor_ = false;
  std::unique_ptr<TZipLib> zipLib_;
  std::unique_ptr<TUnzLib> unzLib_;
  TZipStream zipStream_;
  QByteArray extraData_;  // code 14's answer of 512 bytes or more, until the operation ends
  // The button of the last password question without a handler.
  TPasswordButton lastPasswordButton_ = pwbOk;
  // The modal result of the last password dialog.
  int passwordModalResult_ = 0;
  // Cleared while a library's password request is answered, so the typed text goes
  // to the library and not into Password.
  bool storePassword_ = false;

  // ---- Directory reading and spanning -----------------------------------------------
  bool spanned_ = false;
  int32_t thisDisk_ = 0;
  int64_t dataOffset_ = 0;
  int64_t endPos_ = 0;          // where the end record's comment ends
  int64_t recordPos_ = 0;       // the end record
  int32_t spanStopResult_ = 0;  // ReadSpan's result when the last part was not found
  int64_t zip64Tail_ = 0;       // bytes of a Zip64 end record and locator before it
  QString workFileName_;        // the archive List reads
  bool structureWarning_ = false;
  int32_t droppedDirEntries_ = 0;
  ZipDiskState disk_;
};
