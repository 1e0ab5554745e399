#pragma once
// Shell associations of the program's file types.
//
// The keys live under HKEY_CLASSES_ROOT of our registry store, as on Windows:
//   "." + ext lower-cased  = ext           ext\DefaultIcon       = <program>,0
//   ext                    = description   ext\Shell             = "Open"
//   ext\Shell\Open         = verb          ext\Shell\Open\command = <program> "%1"
// (each the key's default value). The desktop learns of them the freedesktop way,
// under ${XDG_DATA_HOME:-~/.local/share}:
//   mime/packages/tarvisealdesk-<ext>.xml   MIME type application/x-tarvisealdesk-<ext>
//                                           with the glob *.<ext> and the description
//   applications/tarvisealdesk-<ext>.desktop  an entry that opens the type with the
//                                           program, the file's path as its argument
// Registering writes only what is missing: an existing key or file, another
// program's included, is never changed, so a second run changes nothing.
// Unregistering removes both keys with their subkeys and our two files.
//
// Public API (for the settings dialog):
//   RegisterFileType(ext, description, verb)  true when everything missing was
//                                             written; on failure the error box
//                                             kMsgAssociationRights has been shown
//   UnregisterFileType(ext)                   failures are ignored
//   FileTypeRegistered(ext)                   key "." + ext lower-cased exists
//   IsCustomerEdition()                       the program's name (its file name
//                                             without a final ".exe") is
//                                             QVDQUILLMARK: both calls also handle
//                                             "QVD", and the main window's file
//                                             list and command line take ".qvd"
//                                             files as encrypted
#include <QString>

bool RegisterFileType(const QString& extension, const QString& description, const QString& verb);
void UnregisterFileType(const QString& extension);
bool FileTypeRegistered(const QString& extension);
bool IsCustomerEdition();

// The program path the associations name (the running program's file).
QString AssociationProgramPath();
// The freedesktop files of an extension (they may not exist).
QString MimePackagePath(const QString& extension);
QString DesktopEntryPath(const QString& extension);

inline const QString kSignedFileDescription = QStringLiteral("TSD signed file");        // resource string 65226
inline const QString kEncryptedFileDescription = QStringLiteral("TSD encrypted file");  // resource string 65227
inline const QString kMsgAssociationRights =
    QStringLiteral("Nemate dovoljne ovlasti za (de)registraciju nastavaka datoteka (pisanje u registry)");
