#include "card/cert_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "card/tarvirsa_api.h"
#include "platform/atomic_file.h"
#include "platform/codepage.h"
#include "platform/ui_services.h"

namespace {

const QString kRootDescriptionFile = QStringLiteral("rcertdesc.txt");
const QString kUserDescriptionFile = QStringLiteral("ucertdesc.txt");

// The folder texts come from the settings with or without a final separator.
QString InFolder(const QString& folder, const QString& name) {
  if (folder.isEmpty() || folder.endsWith(QLatin1Char('/'))) return folder + name;
  return folder + QLatin1Char('/') + name;
}

bool IsRegularFile(const QString& path) {
  struct stat st {};
  return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

// Description files were written on Windows: split as its string lists did.
QStringList ReadDescriptionFile(const QString& path) {
  QStringList lines;
  if (!IsRegularFile(path)) return lines;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return lines;
  const QByteArray data = f.readAll();
  qsizetype start = 0;
  const qsizetype n = data.size();
  while (start < n) {
    qsizetype i = start;
    while (i < n && data[i] != '\r' && data[i] != '\n') ++i;
    lines.append(FromCp1250(data.constData() + start, static_cast<size_t>(i - start)));
    if (i < n && data[i] == '\r' && i + 1 < n && data[i + 1] == '\n') ++i;
    start = i + 1;
  }
  return lines;
}

// Hidden files (dot-files) and folders are skipped; the order is the names' own, so
// that which duplicate wins and the order of saved lines never depend on the file
// system.
QStringList CertificateFileNames(const QString& folder, const QString& suffix) {
  QStringList names;
  if (!folder.isEmpty() && !QFileInfo(folder).isDir()) return names;
  const QDir dir(folder.isEmpty() ? QStringLiteral(".") : folder);
  for (const QString& name : dir.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort)) {
    if (name.startsWith(QLatin1Char('.'))) continue;
    if (!name.endsWith(suffix, Qt::CaseInsensitive)) continue;
    if (!IsRegularFile(InFolder(folder, name))) continue;
    names.append(name);
  }
  std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
    const int c = a.compare(b, Qt::CaseInsensitive);
    return c != 0 ? c < 0 : a < b;
  });
  return names;
}

// A line belongs to the certificate whose key name is its whole first field.
bool LineIsFor(const QString& line, const QString& keyName) {
  return line.size() > keyName.size() && line.startsWith(keyName) && line[keyName.size()] == QLatin1Char(';');
}

using CertVector = std::vector<std::unique_ptr<TCertifikat>>;

bool Exists(const CertVector& list, const TCertifikat& cert) {
  return std::any_of(list.begin(), list.end(), [&](const auto& c) { return c->KeyName == cert.KeyName; });
}

void Clear(CertVector& list, QStringList& lines) {
  while (!list.empty()) list.pop_back();
  lines.clear();
}

bool Delete(CertVector& list, QStringList& lines, const QString& folder, TCertifikat* cert) {
  auto it = std::find_if(list.begin(), list.end(), [&](const auto& c) { return c.get() == cert; });
  if (it == list.end()) return false;
  const QByteArray path = QFile::encodeName(InFolder(folder, cert->FileName));
  if (cert->FileName.isEmpty() || ::unlink(path.constData()) != 0) {
    Ui().messageBox(MsgKind::Error, QStringLiteral("Neuspješno brisanje certifikata"));
    return false;
  }
  const QString keyName = cert->KeyName;
  list.erase(it);
  for (qsizetype i = 0; i < lines.size(); ++i) {
    if (LineIsFor(lines[i], keyName)) {
      lines.removeAt(i);
      break;
    }
  }
  return true;
}

bool Save(const CertVector& list, QStringList& lines, const QString& folder, const QString& fileName) {
  for (const auto& c : list) {
    // The key name comes from the issuer's name, which could hold the separator too.
    if (!TCertList::DescriptionTextAllowed(c->KeyName) || !TCertList::DescriptionTextAllowed(c->DisplayName) ||
        !TCertList::DescriptionTextAllowed(c->EMail)) {
      Ui().messageBox(MsgKind::Error, TCertList::DescriptionTextRefused() + QStringLiteral(" [") +
                                          (c->DisplayName.isEmpty() ? c->SubjectText : c->DisplayName) +
                                          QStringLiteral("]"));
      return false;
    }
  }
  lines.clear();
  QByteArray data;
  for (const auto& c : list) {
    const QString line =
        c->KeyName + QLatin1Char(';') + c->DisplayName + QLatin1Char(';') + c->EMail + QLatin1Char(';');
    lines.append(line);
    data += ToCp1250(line);
    data += "\r\n";
  }
  const QString path = InFolder(folder, fileName);
  QString why;
  if (!WriteFileAtomically(path, data, &why)) {
    Ui().messageBox(MsgKind::Error, QStringLiteral("Neuspješno spremanje opisa certifikata u datoteku \"") + path +
                                        QStringLiteral("\". [") + why + QStringLiteral("]"));
    return false;
  }
  return true;
}

}  // namespace

TCertList::TCertList() = default;

TCertList::~TCertList() {
  ClearRoots();
  ClearUsers();
}

void TCertList::LoadAll() {
  Ui().setWaitCursor(true);
  LoadRoots(RootFolder);
  LoadUsers(UserFolder);
  Ui().setWaitCursor(false);
}

void TCertList::LoadRoots(const QString& folder) {
  ClearRoots();
  RootFolder = folder;
  RootDescriptions = ReadDescriptionFile(InFolder(folder, kRootDescriptionFile));
  for (const QString& name : CertificateFileNames(folder, QStringLiteral(".p7c"))) {
    auto cert = std::make_unique<TCertifikat>();
    QString error;
    if (!cert->LoadFromPkcs7File(InFolder(folder, name), false, error)) continue;
    cert->RootCheck = 0;
    FindDescription(*cert);
    if (!RootExists(*cert)) RootCertificates.push_back(std::move(cert));
  }
}

void TCertList::LoadUsers(const QString& folder) {
  ClearUsers();
  UserFolder = folder;
  UserDescriptions = ReadDescriptionFile(InFolder(folder, kUserDescriptionFile));
  for (const QString& name : CertificateFileNames(folder, QStringLiteral(".crt"))) {
    auto cert = std::make_unique<TCertifikat>();
    QString error;
    if (!cert->LoadFromCrtFile(InFolder(folder, name), false, error)) continue;
    CheckAgainstRoots(*cert);
    FindDescription(*cert);
    if (!UserExists(*cert)) UserCertificates.push_back(std::move(cert));
  }
}

void TCertList::CheckAgainstRoots(TCertifikat& cert) const {
  cert.RootCheck = 1;
  for (const auto& ca : RootCertificates) {
    if (tarvirsa::X509CheckCert(cert.Der, static_cast<uint32_t>(cert.DerLength), &ca->PublicKey) == 0) {
      cert.RootCheck = 0;
      return;
    }
  }
}

void TCertList::FindDescription(TCertifikat& cert) const {
  for (const QStringList* lines : {&RootDescriptions, &UserDescriptions}) {
    for (const QString& line : *lines) {
      if (LineIsFor(line, cert.KeyName)) {
        cert.DisplayName = GetDescriptionField(1, line);
        cert.EMail = GetDescriptionField(2, line);
        return;
      }
    }
  }
}

bool TCertList::RootExists(const TCertifikat& cert) const { return Exists(RootCertificates, cert); }
bool TCertList::UserExists(const TCertifikat& cert) const { return Exists(UserCertificates, cert); }

QString TCertList::GetUserEMail(const QString& subject) const {
  for (const auto& c : UserCertificates)
    if (c->SubjectText == subject) return c->EMail;
  return QString();
}

QString TCertList::GetUserDisplayName(const QString& subject) const {
  for (const auto& c : UserCertificates) {
    if (c->SubjectText == subject) return c->DisplayName.trimmed().isEmpty() ? subject : c->DisplayName;
  }
  return subject;
}

bool TCertList::DeleteRoot(TCertifikat* cert) { return Delete(RootCertificates, RootDescriptions, RootFolder, cert); }
bool TCertList::DeleteUser(TCertifikat* cert) { return Delete(UserCertificates, UserDescriptions, UserFolder, cert); }

bool TCertList::SaveRootDescriptions() {
  return Save(RootCertificates, RootDescriptions, RootFolder, kRootDescriptionFile);
}
bool TCertList::SaveUserDescriptions() {
  return Save(UserCertificates, UserDescriptions, UserFolder, kUserDescriptionFile);
}

void TCertList::ClearRoots() { Clear(RootCertificates, RootDescriptions); }
void TCertList::ClearUsers() { Clear(UserCertificates, UserDescriptions); }

bool TCertList::DescriptionTextAllowed(const QString& text) {
  return !text.contains(QLatin1Char(';')) && !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n'));
}

QString TCertList::DescriptionTextRefused() {
  return QStringLiteral("Naziv i e-mail ne smiju sadržavati znak \";\" ni prijelom retka.");
}

QString GetDescriptionField(int index, const QString& line) {
  if (index < 0) return QString();
  qsizetype start = 0;
  for (int i = 0;; ++i) {
    const qsizetype sep = line.indexOf(QLatin1Char(';'), start);
    if (sep < 0) return QString();
    if (i == index) return line.mid(start, sep - start);
    start = sep + 1;
  }
}
