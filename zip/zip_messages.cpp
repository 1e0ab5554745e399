#include "zip/zip_messages.h"

#include <algorithm>
#include <iterator>

namespace {

struct Entry {
  int id;
  const char* text;
};

// Sorted by id. "\n" is a line feed.
constexpr Entry kTable[] = {
    {kZipLibAborted, "Fatal Error in ZipLIB.DLL: abort exception"},
    {kZipNoZipFile, "Error - no zip file specified!"},
    {kZipNoMemory, "Requested memory not available"},
    {kZipPasswordsDiffer, "Error - passwords do NOT match\nPassword ignored"},
    {kZipCopying, "Copying: "},
    {kZipSfxHeaderCopyError, "Error while copying the SFX header"},
    {kZipRenameSpanned, "Rename is not implemented for a spanned zip file"},
    {kZipProcessing, "Processing: "},
    {kZipRenamedTo, " renamed to: "},
    {kZipBadDateTime, "Invalid date/time argument for file: "},
    {kZipNoAddPassword, "Error - no add password given"},
    {kZipNoExtractPassword, "Error - no extract password given"},
    {kZipButtonOk, "&Ok"},
    {kZipButtonCancel, "&Cancel"},
    {kZipPasswordTitle, "Password"},
    {kZipEnterPassword, "Enter Password "},
    {kZipConfirmPassword, "Confirm Password "},
    {kZipCancelAll, "Cancel all"},
    {kZipAbort, "Abort"},
    {kZipForFile, " for file: "},
    {kZipSourceIsDestination, "Source archive is the same as the destination archive!"},
    {kZipOverwriteFileIn, "Overwrite file '%s' in '%s' ?"},
    {kZipCopyFileFailed, "Copying a file from '%s' to '%s' failed"},
    {kZipFileNotPresent, "File '%s' is not present in '%s'!"},
    {kZipSfxDataCopyError, "Error while copying the SFX data"},
    {kZipDestinationNotOpened, "Destination zip archive could not be opened!"},
    {kZipCopyZippedSpanned, "CopyZippedFiles is not implemented for a spanned zip file"},
    {kZipListSeekError, "Seek error reading Zip archive!"},
    {kZipListUnknownError, "Unknown error in List() function\n"},
    {kZipStructureWarning, "Warning - Error in zip structure!"},
    {kZipGarbageAtEnd, "Warning - Garbage at the end of the zipfile!"},
    {kZipNoFilesToZip, "Error - no files to zip!"},
    {kZipUnattendedNoPassword, "Unattended action not possible without a password"},
    {kZipFreshenUpdateSpanned, "AddFreshen or AddUpdate not possible on a spanned archive"},
    {kZipAutoSfxError, "Error %.1d occurred during Auto SFX creation."},
    {kZipLibNoStreams, "Error - your ZipLIB.dll can not use streams, please update to version >= 1.60"},
    {kZipStreamInIsOut, "Input stream may not be set to the output stream"},
    {kZipWildcardsNotAllowed, "Wildcards are not allowed in Filename or file specification"},
    {kZipDestDirMissing, "Destination directory '%s' must exist!"},
    {kZipNoFilesToDelete, "Error - no files selected for deletion"},
    {kZipDeleteSpanned, "Delete Files from archive is not implemented for a spanned zip file"},
    {kZipUnzLibAborted, "Fatal Error in UnzLIB.DLL: abort exception"},
    {kZipUnattendedExtractWarning, "Warning - Unattended Extract: possible not all files extracted"},
    {kZipUnzLibNoStreams, "Error - your UnzLIB.dll can not use streams, please update to version >= 1.60"},
    {kZipExtractDirMissing, "Extract directory '%s' must exist"},
    {kZipLibLoaded, "ZIP DLL Loaded"},
    {kZipLibExecMissing, "ZipLibExec function not found in ZIPLIB.DLL!"},
    {kZipLibVersionMissing, "GetZipLibVersion function not found in ZIPLIB.DLL!"},
    {kZipLibNotFound, "ZIPLIB.DLL not found!"},
    {kZipLibOld, "Attempted to load old ZipLib from "},
    {kZipLibUnloaded, "Zip DLL Unloaded"},
    {kZipLoadFailed, "Failed to load %s"},
    {kZipLoadOldOrCorrupt, "Unable to load %s - It is old or corrupt"},
    {kZipLoaded, "Loaded "},
    {kZipUnloaded, "Unloaded "},
    {kUnzLibLoaded, "UNZLIB Loaded!"},
    {kUnzLibExecMissing, "UnzLibExec function not found in UNZLIB.DLL!"},
    {kUnzLibVersionMissing, "GetUnzLibVersion function not found in UNZLIB.DLL!"},
    {kUnzLibNotFound, "UNZLIB.DLL not found!"},
    {kUnzLibOld, "Attempted to load old UnzLib from "},
    {kUnzLibUnloaded, "Unz DLL Unloaded"},
    {kZipSfxStringTooLong, "Error - On or more of the 4 property strings mentioned below exceeds 255 characters!"},
    {kZipSfxStubMissing, "Error - ZASFX.BIN not found!"},
    {kZipSfxInputNotZip, "Error: input file is not a zip file"},
    {kZipSfxNotSupported, "SFX Functions not supported"},
    {kZipNoExeFile, "Error - no .EXE file specified"},
    {kZipInputNotExe, "Error: input file is not an .EXE file"},
    {kZipSfxTypeUnknown, "Error determining the type of SFX archive"},
    {kZipInputMissing, "Input file does not exist"},
    {kZipFileNotOpened, "Zip file could not be opened"},
    {kZipInvalidDrive, "Not a valid drive: %s"},
    {kZipDriveUndefined, "Drive %s is NOT defined"},
    {kZipVolumeLabelNotSet, "Volume label could not be set"},
    {kZipMsgBoxNoMemory, "Not enough memory to display MsgBox"},
    {kZipUserCancelled, "User canceled operation"},
    {kZipInputSeekError, "Seek error in input file"},
    {kZipOutputCreateFailed, "Creation of output file failed"},
    {kZipOutputWriteError, "Write error in output file"},
    {kZipEndOfCentralReadError, "Error while reading the End Of Central Directory"},
    {kZipLocalHeaderReadError, "Error while reading a local header"},
    {kZipCentralHeaderReadError, "Error while reading a central header"},
    {kZipLocalSignatureWrong, "A local header signature is wrong"},
    {kZipCentralSignatureWrong, "A central header signature is wrong"},
    {kZipLocalNameReadError, "Error while reading a local file name"},
    {kZipCentralNameReadError, "Error while reading a central file name"},
    {kZipLocalExtraReadError, "Error while reading a local extra field"},
    {kZipCentralExtraReadError, "Error while reading a central extra field"},
    {kZipDataDescriptorError, "Error while reading/writing a data descriptor area"},
    {kZipDataReadError, "Error while reading zipped data"},
    {kZipFileCommentReadError, "Error while reading a file comment"},
    {kZipArchiveCommentReadError, "Error while reading the archive comment"},
    {kZipSpanUnknownError,
     "UnKnown error in function ReadSpan(), WriteSpan(), ChangeFileDetails() or CopyZippedFiles()\n"},
    {kZipUnattendedSpanning, "Unattended disk spanning not implemented"},
    {kZipLocalHeaderNotFound, "A local header not found in internal structure"},
    {kZipTempFileNotCreated, "Temporary file could not be created"},
    {kZipLocalHeaderWriteError, "Error while writing a local header"},
    {kZipCentralHeaderWriteError, "Error while writing a central header"},
    {kZipEndOfCentralWriteError, "Error while writing the End Of Central Directory"},
    {kZipExtLocalSignatureError, "Error while reading a Extended Local signature"},
    {kZipDiskFull, "This disk has not enough free space available"},
    {kZipInsertLastDisk, "Please insert last disk"},
    {kZipInsertDiskOf, "Please insert disk volume %.1d of %.1d"},
    {kZipInDrive, "\nin drive: %s"},
    {kZipNotValidArchive, "This archive is not a valid Zip archive"},
    {kZipFirstDiskInsertLast, "This is the first disk in a backup set,\nplease insert the last disk of this set"},
    {kZipNthDiskInsertLast, "This is the %dth disk in a backup set,\nplease insert the last disk of this set"},
    {kZipFileExistsOverwrite, "There is already a file %s\nDo you want to overwrite this file"},
    {kZipPreviousDiskOverwrite,
     "ATTENTION: This is previous disk no %d!!!\nAre you sure you want to overwrite the contents"},
    {kZipSfxNotSpannable, "Error - Self extracting archives(.exe) can not be spanned"},
    {kZipCehNameCopyError, "Error while copying a filename of a CEH structure"},
    {kZipEocSkipSeekError, "Seek error while skipping a EOC structure"},
    {kZipArchiveCommentCopyError, "Error while copying the zip archive comment"},
    {kZipFirstFileChooseLast, "This is the first file in a backup set,\nplease choose the last file of this set"},
    {kZipInsertDisk, "Please insert disk volume %.1d"},
    {kZipCentralDirectory, "Central directory"},
    {kZipSpanningNotSupported, "DiskSpanning not supported"},
    {kZipErase, "Erase "},
    {kZipConfirm, "Confirm"},
    {kZipExtraDataTooLarge, "Size of FileExtraData is larger than available array"},
    {kZipChangeDetailsSpanned, "ChangeFileDetails is not implemented for a spanned zip file"},
    {kZipNoChangeDetailsHandler, "No Event Handler found to Change File Details"},
    {kZipLocalExtraWriteError, "Error while writing a local extra field"},
    {kZipCentralExtraWriteError, "Error while writing a central extra field"},
    {kZipFileCommentWriteError, "Error while writing a file comment"},
    {kZipChangedDetailsNoName, "No FileName in changed file details"},
    {kZipChangedDetailsTooLong, "The combined length of CEH + FileName + FileComment + ExtraData exceeds 65535"},
    {kZipChangingDetails, "Changing details of: "},
    {kZipProgressArchiveBit, "*Resetting Archive bit"},
    {kZipProgressCopyingZip, "*Copying Zip File"},
    {kZipProgressSfx, "*SFX"},
    {kZipProgressUnknown, "*??"},
    {kZipProgressFinalising, "*Finalising"},
    {kZipProgressCopying, "*Copying"},
    {kZipProgressCentralDir, "*Central Directory"},
    {kZipProgressChecking, "*Checking"},
    {kZipDroppingEmptyDirs, "Dropping %d empty directory entries"},
    {kZipNothingToWrite, "Nothing to write"},
};

}  // namespace

QString ZipMessageText(int id) {
  auto it = std::lower_bound(std::begin(kTable), std::end(kTable), id, [](const Entry& e, int v) { return e.id < v; });
  if (it == std::end(kTable) || it->id != id) return QString();
  return QString::fromUtf8(it->text);
}

QList<int> ZipMessageIds() {
  QList<int> ids;
  for (const Entry& e : kTable) ids.append(e.id);
  return ids;
}

QString FormatZipText(const QString& format, const QStringList& args) {
  QString out;
  out.reserve(format.size() + 32);
  qsizetype next = 0;
  auto take = [&]() { return next < args.size() ? args[next++] : (++next, QString()); };
  for (qsizetype i = 0; i < format.size(); ++i) {
    QChar c = format[i];
    if (c != u'%' || i + 1 >= format.size()) {
      out += c;
      continue;
    }
    QStringView rest = QStringView(format).mid(i + 1);
    if (rest.startsWith(u'%')) {
      out += u'%';
      i += 1;
    } else if (rest.startsWith(u's') || rest.startsWith(u'd')) {
      out += take();
      i += 1;
    } else if (rest.startsWith(u".1d")) {
      out += take();
      i += 3;
    } else {
      out += c;
    }
  }
  return out;
}
