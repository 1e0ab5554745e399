#pragma once
// Signing a file: the engine operation behind the sign command. It packs any file
// into a new signed container with the user's signature made on the card, or adds
// the signature to an existing container: the selected file itself, or the
// container of the expected name that already carries the same file.
//
// A container appears under its final name only complete: a new one is written
// beside it under a temporary name and renamed once its Signer is in place (never
// over a file that appeared meanwhile); adding a signer writes a whole new copy
// and renames it over the old one. On every failure the folder holds what it held
// before. A container reached through a symbolic link gets the signer in the file
// the link leads to (the link stays); one with other hard links is refused with
// result 2 rather than split from them.
//
// A signer is only ever added to a container whose payload is a ZIP archive of
// exactly one file under a plain name, the file the others can be shown. Another
// container gets the box the comparison shows for it and result 0: the format
// warning (kMsgFormatCompare) for several entries, kMsgNotInterpreted for a name
// that is no plain file name, an archive without entries or one that carries
// more than its one entry, directory and end record (signing/payload_zip.h).
//
// Limits are checked before anything is packed or the card is asked, each with
// result 2 and nothing written: a container that already holds kSgnMaxSigners
// signers; a document whose container, work or extracted names cannot exist
// where they go (NameThatCannotExist, signing/sign_limits.h; the system's text
// for a name too long); a new container whose file is kMaxPackedFileSize or more
// (its archive would need Zip64; the system's text for a file too large).
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>

#include "interfaces/pkcs11.h"

// Results of SignFile.
enum : int32_t {
  sfrOk = 0,                // signed, or ended after a box of its own
  sfrInputUnreadable = 1,   // the file cannot be opened for reading
  sfrOutputUnwritable = 2,  // the container cannot be created or written (packing failures too)
  sfrNoBuffer = 3,          // the work buffer cannot be obtained
  sfrNoCertificate = 4,     // the certificate cannot be read from the card
  sfrNoSignature = 5,       // the card (or the digest) gave no signature
};

// Signs file on the card of session (the card layer's current session).
// installFolder and reserved are not used. packInput: the file is packed into a
// ZIP archive and Base64-encoded to form the payload (what the shell passes);
// false: the file's own bytes are the payload text, which must be the Base64 text
// of a ZIP archive of one file (else result 2, nothing written). certSerialValue:
// the card certificate's serial value, used to recognise this signer only when
// the card's certificate cannot be read for a full comparison. showSuccess: a
// successful run ends with the box "Datoteka je USPJEŠNO potpisana!".
int32_t SignFile(CK_SESSION_HANDLE session, const QString& installFolder, const QString& file, bool packInput,
                 int32_t certSerialValue, int32_t reserved, bool showSuccess);

// folder: everything before the last "/" (empty without one); of the rest, the
// base name is what stands before its last "." and the extension what follows
// (without the dot); with no "." the base name is the whole rest. Returns 1.
int SplitFileName(const QString& path, QString& folder, QString& baseName, QString& extension);
// The container's name for file: folder + "/" + base + "_" + extension + ".sgn";
// /docs/report.pdf gives /docs/report_pdf.sgn, /docs/report gives /docs/report_.sgn,
// /home/u/.bashrc gives /home/u/_bashrc.sgn. A path without a folder gives a name
// without one.
QString SignedFileName(const QString& file);

// The local clock that time-stamps containers and signers; tests put a fixed one
// in place. Returns the clock it replaces; an empty one brings back the real clock.
using SignClock = std::function<QDateTime()>;
SignClock SetSignClock(SignClock clock);

// Box and progress texts.
inline const QString kMsgSignSuccess = QStringLiteral("Datoteka je USPJEŠNO potpisana!");
inline const QString kMsgSignDifferentContent =
    QStringLiteral("Na disku postoji potpisana datoteka ovog imena, ali je različita od ove koju želite potpisati");
inline const QString kMsgSignAlreadySigned =
    QStringLiteral("Ovu datoteku ste već potpisali. Pogledajte potpisane datoteke.");
inline const QString kMsgSignAddError = QStringLiteral("Error in Add; Fatal DLL Exception in mainunit");
inline const QString kProgressZipping = QStringLiteral("Sažimanje podataka");
inline const QString kProgressSigningCaption = QStringLiteral("Potpisivanje datoteke");
inline const QString kProgressSameName = QStringLiteral("Postoji datoteka istog imena");
inline const QString kProgressSameNameCaption = QStringLiteral("Provjera istovjetnosti sadržaja");
inline const QString kProgressCertificateCaption = QStringLiteral("Dohvat certifikata s kartice");
inline const QString kProgressSignatureCaption = QStringLiteral("Generiranje digitalnog potpisa");

// The shell's box for results 1 to 5: kMsgSignErrorHead + CR LF + file + CR LF +
// SignFileResultLine(result).
inline const QString kMsgSignErrorHead = QStringLiteral("Nastala je pogreška prilikom potpisivanja datoteke ");
QString SignFileResultLine(int32_t result);
// When the last SignFile gave result 2 because the disk refused to write the
// container (full, failing), or a limit refused it (a name too long, a file too
// large for the archive), the system's text for it, which the shell adds as a
// further line; empty otherwise.
QString SignFileSystemErrorText();
