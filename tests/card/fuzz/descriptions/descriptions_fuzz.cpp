// Fuzz entry for the certificate description files, read as the program reads
// them: a CA folder ("ca.p7c" and "rcertdesc.txt") and a contact folder (two
// ".crt" files and "ucertdesc.txt") loaded by TCertList::LoadAll, with the
// cryptographic library compiled in. The input is "rcertdesc.txt", then, after
// its first NUL byte, "ucertdesc.txt" (without one: "ucertdesc.txt" alone).
// Beyond the sanitizers it checks against a plain reading of the format (lines
// end at CR LF, CR or LF; a certificate's line is the first, CA lines first, whose
// text before its first ";" is the key name; fields 1 and 2 are its display name
// and e-mail, empty when their ";" is missing; a CA certificate, loaded before the
// contact lines are read, finds only CA lines) that:
//  - the certificates load whatever the descriptions say, contacts checked
//    against the CA;
//  - every certificate gets the display name and e-mail of its line;
//  - saving both files and loading again keeps every name and e-mail, and the
//    files written hold exactly one line per certificate.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>

#include "card/cert_list.h"
#include "fuzz_support.h"
#include "inprocess_tarvirsa.h"
#include "platform/codepage.h"
#include "platform/fake_ui_services.h"

using fuzzsupport::Require;

namespace {

std::string ReadFile(const std::string& path) {
  std::string out;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
  }
  return out;
}

void Copy(const std::string& from, const std::string& to) {
  const std::string data = ReadFile(from);
  Require(!data.empty());
  fuzzsupport::WriteFile(to, data.data(), data.size());
}

std::vector<QString> Lines(const std::string& bytes) {
  std::vector<QString> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t i = start;
    while (i < bytes.size() && bytes[i] != '\r' && bytes[i] != '\n') ++i;
    lines.push_back(FromCp1250(bytes.data() + start, i - start));
    if (i + 1 < bytes.size() && bytes[i] == '\r' && bytes[i + 1] == '\n') ++i;
    start = i + 1;
  }
  return lines;
}

QString Field(const QString& line, int index) {
  const QStringList parts = line.split(QLatin1Char(';'));
  // A field counts only when a ";" follows it.
  return index + 1 < parts.size() ? parts[index] : QString();
}

struct Description {
  bool found = false;
  QString name, mail;
};

Description Expected(const std::vector<QString>& roots, const std::vector<QString>& users, const QString& key) {
  for (const auto* lines : {&roots, &users})
    for (const QString& line : *lines)
      if (line.startsWith(key + QLatin1Char(';'))) return {true, Field(line, 1), Field(line, 2)};
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool bound = (BindInProcessTarviRsa(), true);
  Require(bound);
  static FakeUiServices* ui = new FakeUiServices;
  ui->boxes.clear();
  const std::string& root = fuzzsupport::Root("desc");
  const std::string caFolder = root + "/ca/", userFolder = root + "/users/";
  static const bool made = [&] {
    Require(mkdir(caFolder.c_str(), 0700) == 0 && mkdir(userFolder.c_str(), 0700) == 0);
    const std::string certs = TARVI_FUZZ_CERTS;
    Copy(certs + "/ca.p7c", caFolder + "ca.p7c");
    Copy(certs + "/user1001.crt", userFolder + "user1001.crt");
    Copy(certs + "/user10A2.crt", userFolder + "user10A2.crt");
    return true;
  }();
  Require(made);

  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string rootText = nul == std::string::npos ? std::string() : input.substr(0, nul);
  const std::string userText = nul == std::string::npos ? input : input.substr(nul + 1);
  const std::string rootFile = caFolder + "rcertdesc.txt", userFile = userFolder + "ucertdesc.txt";
  unlink(rootFile.c_str());
  if (nul != std::string::npos) fuzzsupport::WriteFile(rootFile, rootText.data(), rootText.size());
  fuzzsupport::WriteFile(userFile, userText.data(), userText.size());
  const std::vector<QString> rootLines = Lines(rootText), userLines = Lines(userText);

  TCertList list;
  list.RootFolder = QString::fromStdString(caFolder);
  list.UserFolder = QString::fromStdString(userFolder);
  list.LoadAll();
  Require(list.RootCertificates.size() == 1 && list.UserCertificates.size() == 2);
  Require(size_t(list.RootDescriptions.size()) == rootLines.size() &&
          size_t(list.UserDescriptions.size()) == userLines.size());
  // The CA folder loads first, while a fresh list has no contact lines yet: a CA
  // certificate finds only the lines of "rcertdesc.txt".
  const std::vector<QString> noLines;
  std::vector<std::pair<QString, QString>> before;
  for (const auto* certs : {&list.RootCertificates, &list.UserCertificates}) {
    for (const auto& c : *certs) {
      Require(c->Loaded && c->RootCheck == 0);
      const bool isRoot = certs == &list.RootCertificates;
      const Description d = Expected(rootLines, isRoot ? noLines : userLines, c->KeyName);
      Require(c->DisplayName == d.name && c->EMail == d.mail);
      before.emplace_back(c->DisplayName, c->EMail);
    }
  }
  for (const auto& c : list.UserCertificates) {
    // The two contacts have subjects of their own.
    Require(list.GetUserEMail(c->SubjectText) == c->EMail);
    Require(list.GetUserDisplayName(c->SubjectText) ==
            (c->DisplayName.trimmed().isEmpty() ? c->SubjectText : c->DisplayName));
  }

  // Saved and loaded again, nothing changes.
  Require(list.SaveRootDescriptions() && list.SaveUserDescriptions());
  Require(ui->boxes.empty());
  for (const auto& [file, certs] :
       {std::pair{rootFile, &list.RootCertificates}, std::pair{userFile, &list.UserCertificates}}) {
    std::string expected;
    for (const auto& c : *certs) {
      const QChar sep = QLatin1Char(';');
      expected += ToCp1250Std(c->KeyName + sep + c->DisplayName + sep + c->EMail + sep);
      expected += "\r\n";
    }
    Require(ReadFile(file) == expected);
  }
  TCertList again;
  again.RootFolder = list.RootFolder;
  again.UserFolder = list.UserFolder;
  again.LoadAll();
  size_t i = 0;
  for (const auto* certs : {&again.RootCertificates, &again.UserCertificates})
    for (const auto& c : *certs) {
      Require(i < before.size() && c->DisplayName == before[i].first && c->EMail == before[i].second);
      ++i;
    }
  Require(i == before.size());
  return 0;
}
