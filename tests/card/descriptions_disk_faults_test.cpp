// A failing disk at every step of saving a certificate folder's description
// file: the file is replaced whole or not at all, the failure is shown in a box
// that names the full disk, and no temporary file is left in the folder.
#include <gtest/gtest.h>

#include <QDir>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "card/cert_list.h"
#include "cert_fixture.h"
#include "platform/fake_ui_services.h"
#include "support/disk_faults.h"
#include "support/tarvirsa_binding.h"
#include "support/temp_dir.h"

namespace {

using certfx::Cert;
using certfx::CopyTo;

struct DescriptionCase {
  const char* name;
  bool roots;                // the CA folder's file, else the contacts'
  const char* earlierLines;  // the description file as it was; null: none yet
};

class DescriptionDiskFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(BindBuiltTarviRsa(&why)) << why;
  }
  QString folder(bool roots) const { return QString::fromStdString(dir_.file(roots ? "ca" : "users")); }

  // The folder with its certificates and earlier lines, loaded, and one
  // description edited as the contact editor edits it.
  void prepare(const DescriptionCase& c) {
    const std::string ca = dir_.file("ca"), users = dir_.file("users");
    std::filesystem::create_directories(ca);
    std::filesystem::create_directories(users);
    CopyTo(Cert("ca1").p7c, ca, "ca1.p7c");
    CopyTo(Cert("ca2").p7c, ca, "ca2.p7c");
    CopyTo(Cert("user").der, users, "user.crt");
    const std::string file = c.roots ? ca + "/rcertdesc.txt" : users + "/ucertdesc.txt";
    if (c.earlierLines) WriteAll(file, c.earlierLines);
    list_ = std::make_unique<TCertList>();
    list_->RootFolder = QString::fromStdString(ca + "/");
    list_->UserFolder = QString::fromStdString(users + "/");
    list_->LoadAll();
    auto& certs = c.roots ? list_->RootCertificates : list_->UserCertificates;
    ASSERT_FALSE(certs.empty());
    certs[0]->DisplayName = QString::fromUtf8("Čedo Šimić, uređeno");
    certs[0]->EMail = "cedo@x";
    ui_.boxes.clear();
  }
  WriteOutcome save(bool roots) {
    const bool saved = roots ? list_->SaveRootDescriptions() : list_->SaveUserDescriptions();
    QString shown;
    for (const auto& b : ui_.boxes) shown += b.text + "\n";
    return WriteOutcome(saved && ui_.boxes.empty(), !saved && !ui_.boxes.empty(), shown);
  }

  FakeUiServices ui_;
  TempDir dir_{"descfaults"};
  std::unique_ptr<TCertList> list_;
};

TEST_F(DescriptionDiskFaults, EveryStepOfASaveFailsCleanly) {
  const DescriptionCase cases[] = {
      {"contacts' descriptions replaced", false, "test_ca_101a20f337c;Old;old@x;\r\n"},
      {"contacts' first descriptions", false, nullptr},
      {"CA descriptions replaced", true, "test_ca_10a1b;Old CA;;\r\ntest_ca_20b01;;;\r\n"},
  };
  for (const DescriptionCase& c : cases) {
    const QString target = folder(c.roots) + (c.roots ? "/rcertdesc.txt" : "/ucertdesc.txt");
    // The emptied folder is the one the case writes into; the other is made afresh too.
    CheckEveryDiskFault(DiskFaultCase(
        c.name, folder(c.roots), target,
        [this, &c] {
          QDir(folder(!c.roots)).removeRecursively();
          prepare(c);
        },
        [this, &c] { return save(c.roots); }));
    if (HasFailure()) return;
  }
}

}  // namespace
