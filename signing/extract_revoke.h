#pragma once
// Taking the signed file out of a signed container, and removing one signature
// from a container.
//
// Both read the container only through the strict reader (signing/container.h):
// the file that comes out is always the payload of the signed range, the one every
// signature covers, and a container that deviates from the layout anywhere gives
// the format warning and nothing else.
#include <QString>
#include <cstdint>
#include <vector>

#include "signing/replacement_file.h"
#include "signing/verify.h"

class TZipArchiver;

// Modes of ExtractOriginalFile.
enum TExtractMode : int {
  emView = 0,      // "Tmp_Orig_" + name in the temporary folder, opened with its program; name := that path
  emSaveAs = 1,    // where the user chooses in a save dialog; name stays empty
  emCompare = 2,   // "Tmp_Orig_" + name in the temporary folder, for signing to compare; name := that path
  emAutomatic = 3  // beside the container under its own name (name := that path), or the save dialog
                   // when such a file exists (name stays empty)
};

// Takes out the file the container carries and delivers it by mode; name is
// cleared first and set as the mode says. A path that does not end in ".sgn" or
// ".SGN" is not a container: it is opened with its associated program, whatever
// the mode. Failures are reported in boxes (texts below); a container that cannot
// be opened raises EFileError (signing/file_utils.h).
//
// The payload is decoded straight from the signed range into a private temporary
// ZIP archive (CheckContainerPayload), which must hold exactly one file, under a
// plain file name (SafeEntryName, signing/file_utils.h); an archive of several
// entries gets the format warning of the mode and nothing of it comes out, one
// with anything more than its one entry, directory and end record
// (IsSingleDocumentZip, signing/payload_zip.h) kMsgNotInterpreted. Every work file
// is removed afterwards.
void ExtractOriginalFile(const QString& containerPath, int mode, QString& name);

// What a container's payload holds, as the extraction sees it.
enum class TPayloadCheck {
  OneFile,     // a ZIP archive of exactly one file, under a plain name
  Malformed,   // the container strays from the layout: it has no payload to trust
  Empty,       // an archive without entries (or no archive at all)
  NotOneFile,  // more entries than the one file; a folder entry counts too
  UnsafeName,  // the one entry's name is no plain file name
  Irregular,   // one entry listed, but not in the one shape of one document (IsSingleDocumentZip)
  Failed,      // the work archive could not be written
};

// Reads the container from source with the strict reader, decodes its payload into
// "Tmp_OrigZip.zip" in the work folder (made here when work.path is empty) and
// lists that archive with zip, which is left on it. Only a container whose check
// gives OneFile may be shown, saved, compared or signed: what is shown is then
// all there is.
TPayloadCheck CheckContainerPayload(SgnSource& source, TZipArchiver& zip, TWorkFolder& work,
                                    int* systemError = nullptr);

// The two halves of that check, for a pass of the strict reader that serves
// another sink too (DigestSignedRange's also): made before the pass, it makes the
// work folder (when work.path is empty) and the archive, and decodes the payload
// into it as the reader hands it over; Check, after a pass that found the
// container well-formed, closes and lists the archive. A work file that could not
// be made or written makes Check give Failed with the system's error number.
class TPayloadArchive : public SgnSink {
 public:
  explicit TPayloadArchive(TWorkFolder& work);
  void payloadBytes(const uint8_t* data, size_t n) override;
  // The error number when the work folder or the archive could not be made; -1
  // when they could not for another reason; 0 when they were made.
  int OpenError() const { return openError_; }
  TPayloadCheck Check(TZipArchiver& zip, int* systemError = nullptr);

 private:
  void write(size_t k);
  QString path_;
  TWorkFileSink file_;
  std::vector<uint8_t> buffer_;
  uint32_t missing_ = 4, accumulator_ = 0;
  int openError_ = 0;
  bool failed_ = false;
};

// Removes the signer's element (the LF before "<Signer>" through the CR after
// "</Signer>") from the container. The current file is read again and must still
// be a well-formed container (else kMsgFormatCompare) holding, at the record's
// Start and End, a Signer element with the record's certificate and signature
// (else kMsgRevokeStale); the new container is written beside it and renamed over
// it in one step, so the old container stays whole until the new one is complete.
// Through a symbolic link, the file it leads to is rewritten in its own folder and
// the link stays; a container with other hard links is refused
// (kMsgHardLinkedFile). Shows no message: every failure raises EFileError with its
// text, and the container is then unchanged.
void RevokeSignature(const QString& containerPath, const TSignerRecord& signer);

// Message texts.
inline const QString kMsgSystemErrorPrefix = QStringLiteral("System error ! [Code=");
inline const QString kMsgFormatCompare =
    QStringLiteral("Datoteka potrebna za završetak ove akcije nije očekivanog formata!");
inline const QString kMsgFormatView = QStringLiteral("Datoteka koju želite pregledati nije očekivanog formata!");
inline const QString kMsgOpenCompare =
    QStringLiteral("Imate otvorenu datoteku koja je potrebna za završetak ove akcije. Prvo je zatvorite!");
inline const QString kMsgOpenView = QStringLiteral("Datoteka koju želite pregledati je već otvorena!");
inline const QString kMsgNotInterpreted = QStringLiteral("Datoteka nije uspješno interpretirana!");
inline const QString kMsgOverwrite =
    QStringLiteral("Na disku već postoji datoteka s ovim imenom. Želite li je presnimiti?");
inline const QString kCaptionSaveOriginal = QStringLiteral("Spremanje originalne datoteke");
inline const QString kProgressAnalysing = QStringLiteral("Analiziranje originalne datoteke");
inline const QString kProgressSignedCaption = QStringLiteral("Datoteka je potpisana");
inline const QString kProgressUnpacking = QStringLiteral("Raspakiranje izvorne datoteke");
// Raised by RevokeSignature when the signer is no longer where the record says.
inline const QString kMsgRevokeStale =
    QStringLiteral("Potpis se ne može povući: datoteka %1 promijenjena je nakon čitanja potpisnika.");
