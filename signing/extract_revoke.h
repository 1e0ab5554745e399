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

#include "signing/verify.h"

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
// ZIP archive, and only the archive's first entry is extracted, under a name that
// must be a plain file name (no folder part, no ".."); every work file is removed
// afterwards.
void ExtractOriginalFile(const QString& containerPath, int mode, QString& name);

// Removes the signer's element (the LF before "<Signer>" through the CR after
// "</Signer>") from the container. The current file is read again and must still
// be a well-formed container holding, at the record's Start and End, a Signer
// element with the record's certificate and signature; the new container is written
// beside it and renamed over it in one step, so the old container stays whole
// until the new one is complete. Shows no message: every failure raises
// EFileError with its text, and the container is then unchanged.
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
