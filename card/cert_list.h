#pragma once
// The certificates the program trusts and encrypts to: the CA (root) certificates,
// "*.p7c" files with "rcertdesc.txt", and the contact (user) certificates, "*.crt"
// files with "ucertdesc.txt", each contact checked against the CA certificates.
//
// A description line is "KeyName;DisplayName;EMail;" in code page 1250, written with
// CR LF. Adding is the owner's: copy the file into the folder, append the loaded
// certificate to the list, then save that list's descriptions.
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "card/certificate.h"

class TCertList {
 public:
  TCertList();
  virtual ~TCertList();
  TCertList(const TCertList&) = delete;
  TCertList& operator=(const TCertList&) = delete;

  QString RootFolder;  // folder of the CA certificates
  QStringList RootDescriptions;
  std::vector<std::unique_ptr<TCertifikat>> RootCertificates;  // owned, in load order
  QString UserFolder;                                          // folder of the contact certificates
  QStringList UserDescriptions;
  std::vector<std::unique_ptr<TCertifikat>> UserCertificates;  // owned, in load order

  // Both folders, roots first (contacts are checked against them); wait cursor meanwhile.
  void LoadAll();
  // Each replaces its list with the folder's certificates, in file-name order; files
  // that do not load are skipped, a later file with an already listed KeyName too.
  void LoadRoots(const QString& folder);
  void LoadUsers(const QString& folder);

  // RootCheck := 0 when a CA certificate's key verifies cert's signature, else 1.
  void CheckAgainstRoots(TCertifikat& cert) const;
  // DisplayName and EMail from the first line whose key name is exactly cert's
  // KeyName, root lines first; unchanged when there is none.
  void FindDescription(TCertifikat& cert) const;
  // A listed certificate has the same KeyName (exact, case-sensitive).
  bool RootExists(const TCertifikat& cert) const;
  bool UserExists(const TCertifikat& cert) const;

  // EMail of the first contact whose SubjectText equals subject; empty when none.
  QString GetUserEMail(const QString& subject) const;
  // subject itself, or the first such contact's DisplayName when that is not blank.
  QString GetUserDisplayName(const QString& subject) const;

  // Deletes the certificate's file, then drops it from the list together with its
  // description line, and frees it. A failed deletion shows "Neuspješno brisanje
  // certifikata" and changes nothing. False when nothing was deleted. The caller
  // saves the descriptions.
  bool DeleteRoot(TCertifikat* cert);
  bool DeleteUser(TCertifikat* cert);

  // Rebuild the description lines from the list, in list order, and replace the file
  // atomically. A text that would break the line format, or a failed write, is shown
  // in an error box and gives false; the file on disk then stays as it was.
  bool SaveRootDescriptions();
  bool SaveUserDescriptions();

  // Free every certificate of the list (last to first), empty it and its lines.
  void ClearRoots();
  void ClearUsers();

  // A display name or e-mail can be stored only without ";" and line breaks.
  static bool DescriptionTextAllowed(const QString& text);
  // The text shown when one cannot.
  static QString DescriptionTextRefused();
};

// Field number index (from 0) of a description line: the text before the
// (index + 1)-th ";", empty when the ";" run out first.
QString GetDescriptionField(int index, const QString& line);
