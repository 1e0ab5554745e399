#include "card/cert_list.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <filesystem>
#include <string>

#include "cert_fixture.h"
#include "platform/codepage.h"
#include "platform/fake_ui_services.h"
#include "support/tarvirsa_binding.h"
#include "support/temp_dir.h"

namespace {

using certfx::Cert;
using certfx::CopyTo;

QStringList FileNames(const std::vector<std::unique_ptr<TCertifikat>>& list) {
  QStringList names;
  for (const auto& c : list) names << c->FileName;
  return names;
}

class CertListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(BindBuiltTarviRsa(&why)) << why;
    roots = dir.file("ca");
    users = dir.file("users");
    std::filesystem::create_directories(roots);
    std::filesystem::create_directories(users);
  }
  // The CA folder of most tests: ca1 and ca2.
  void StandardRoots() {
    CopyTo(Cert("ca1").p7c, roots, "ca1.p7c");
    CopyTo(Cert("ca2").p7c, roots, "ca2.p7c");
  }
  QString R() const { return QString::fromStdString(roots + "/"); }
  QString U() const { return QString::fromStdString(users + "/"); }

  FakeUiServices ui;
  TempDir dir;
  std::string roots, users;
};

TEST_F(CertListTest, LoadsFoldersInNameOrderAndChecksContactsByKey) {
  CopyTo(Cert("ca2").p7c, roots, "b_ca2.P7C");  // extension in any case
  CopyTo(Cert("ca1").p7c, roots, "ca1.p7c");
  CopyTo(Cert("ca1").p7c, roots, "z_copy.p7c");  // the same certificate again: dropped
  WriteAll(roots + "/bad.p7c", "not a certificate");
  CopyTo(Cert("cahr").p7c, roots, ".hidden.p7c");
  std::filesystem::create_directories(roots + "/folder.p7c");
  CopyTo(Cert("cahr").p7c, roots, "cahr.p7c.txt");

  CopyTo(Cert("user").der, users, "user.crt");
  CopyTo(Cert("user").der, users, "A_dup.crt");  // sorts first, so it is the one kept
  CopyTo(Cert("ofca2").der, users, "ofca2.CRT");
  CopyTo(Cert("selfsigned").der, users, "selfsigned.crt");
  CopyTo(Cert("ofimpostor").der, users, "ofimpostor.crt");
  CopyTo(Cert("oftwin").der, users, "oftwin.crt");
  CopyTo(Cert("expired").der, users, "expired.crt");
  CopyTo(Cert("ec").der, users, "ec.crt");

  TCertList list;
  list.RootFolder = R();
  list.UserFolder = U();
  list.LoadAll();
  EXPECT_FALSE(ui.waitCursor());
  EXPECT_EQ(ui.waitCursorChanges, 2);

  EXPECT_EQ(FileNames(list.RootCertificates), (QStringList{"b_ca2.P7C", "ca1.p7c"}));
  for (const auto& c : list.RootCertificates) EXPECT_EQ(c->RootCheck, 0);

  EXPECT_EQ(FileNames(list.UserCertificates),
            (QStringList{"A_dup.crt", "expired.crt", "ofca2.CRT", "ofimpostor.crt", "oftwin.crt", "selfsigned.crt"}));
  const QList<int> checks = {0, 0, 0, 1, 0, 1};
  for (size_t i = 0; i < list.UserCertificates.size(); ++i) {
    SCOPED_TRACE(list.UserCertificates[i]->FileName.toStdString());
    EXPECT_TRUE(list.UserCertificates[i]->Loaded);
    // The impostor CA carries ca1's exact name but its own key: not verified. The
    // twin CA has another name but ca1's key: verified.
    EXPECT_EQ(list.UserCertificates[i]->RootCheck, checks[static_cast<qsizetype>(i)]);
  }
  // Only the EC certificate's key extraction speaks up; skipped files are silent.
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_TRUE(ui.boxes[0].text.startsWith("Greška kod dohvata javnog ključa iz certifikata."));

  // Loading again replaces the lists.
  list.LoadRoots(R());
  EXPECT_EQ(list.RootCertificates.size(), 2u);
}

TEST_F(CertListTest, NoCaCertificatesAndMissingFolders) {
  CopyTo(Cert("user").der, users, "user.crt");
  TCertList list;
  list.LoadRoots(QString::fromStdString(dir.file("nowhere/")));
  list.LoadUsers(U());
  EXPECT_TRUE(list.RootCertificates.empty());
  ASSERT_EQ(list.UserCertificates.size(), 1u);
  EXPECT_EQ(list.UserCertificates[0]->RootCheck, 1);
  EXPECT_TRUE(list.UserCertificates[0]->DisplayName.isEmpty());
  EXPECT_TRUE(list.UserCertificates[0]->EMail.isEmpty());
  list.LoadUsers(QString::fromStdString(dir.file("nowhere")));
  EXPECT_TRUE(list.UserCertificates.empty());
  EXPECT_TRUE(list.UserDescriptions.isEmpty());
}

TEST(CertListFields, GetDescriptionField) {
  struct Case {
    const char* line;
    int index;
    const char* field;
  };
  const Case cases[] = {
      {"key;Name;mail;", 0, "key"},
      {"key;Name;mail;", 1, "Name"},
      {"key;Name;mail;", 2, "mail"},
      {"key;Name;mail;", 3, ""},
      {"key;Name;mail", 2, ""},
      {"key;;;", 1, ""},
      {"a;b;c;d;e;", 3, "d"},
      {"nosep", 0, ""},
      {"", 0, ""},
      {"key;Name;mail;", -1, ""},
  };
  for (const Case& k : cases) EXPECT_EQ(GetDescriptionField(k.index, k.line), k.field) << k.line << " " << k.index;
}

TEST_F(CertListTest, DescriptionLines) {
  StandardRoots();
  CopyTo(Cert("user").der, users, "user.crt");        // test_ca_101a20f337c
  CopyTo(Cert("nounit").der, users, "nounit.crt");    // test_ca_102
  CopyTo(Cert("nocn").der, users, "nocn.crt");        // test_ca_103
  CopyTo(Cert("highbit").der, users, "highbit.crt");  // test_ca_1008a01
  CopyTo(Cert("ofca2").der, users, "ofca2.crt");      // test_ca_20b02
  CopyTo(Cert("croatian").der, users, "croatian.crt");
  // A root line wins over a user line for the same key.
  WriteAll(roots + "/rcertdesc.txt", "test_ca_20b02;From roots;r@x;\r\n");
  WriteAll(users + "/ucertdesc.txt",
           // A longer key that begins with another certificate's key is not that certificate's.
           "test_ca_1020;Wrong Person;wrong@x;\r\n"
           "test_ca_102;No Unit Name;nounit@x;\r\n"
           "test_ca_101a20f337c;Test User;user@x\n"       // no final ";": no e-mail; LF only
           "\r\n"                                         // empty line
           "test_ca_103\r"                                // no separators at all; lone CR
           "test_ca_1008a01;High;high@x;extra;more;\r\n"  // extra fields
           "test_ca_20b02;From users;u@x;\r\n" +
               ToCp1250Std(QString::fromUtf8("čš_đ_ca0d0e;Šime Čikić;sime@x;")) +  // code page 1250 bytes
               "\r\nTEST_CA_103;Wrong Case;case@x;");                              // no final line break

  TCertList list;
  list.RootFolder = R();
  list.UserFolder = U();
  list.LoadAll();
  EXPECT_EQ(list.UserDescriptions.size(), 9);
  EXPECT_EQ(list.UserDescriptions[3], "");
  EXPECT_EQ(list.UserDescriptions[8], "TEST_CA_103;Wrong Case;case@x;");
  struct Expect {
    const char* file;
    const char* name;
    const char* mail;
  };
  const Expect expected[] = {
      {"croatian.crt", "Šime Čikić", "sime@x"},   {"highbit.crt", "High", "high@x"},  {"nocn.crt", "", ""},
      {"nounit.crt", "No Unit Name", "nounit@x"}, {"ofca2.crt", "From roots", "r@x"}, {"user.crt", "Test User", ""},
  };
  ASSERT_EQ(list.UserCertificates.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const TCertifikat& c = *list.UserCertificates[i];
    SCOPED_TRACE(c.FileName.toStdString());
    EXPECT_EQ(c.FileName, expected[i].file);
    EXPECT_EQ(c.DisplayName, QString::fromUtf8(expected[i].name));
    EXPECT_EQ(c.EMail, expected[i].mail);
  }
}

TEST_F(CertListTest, LookupsBySubject) {
  StandardRoots();
  CopyTo(Cert("user").der, users, "a.crt");
  CopyTo(Cert("user2").der, users, "b.crt");  // same subject, other CA
  WriteAll(users + "/ucertdesc.txt", "test_ca_101a20f337c;  ;first@x;\r\ntest_ca_20b03;Second;second@x;\r\n");
  TCertList list;
  list.RootFolder = R();
  list.UserFolder = U();
  list.LoadAll();
  ASSERT_EQ(list.UserCertificates.size(), 2u);
  const QString subject = "CN=Test User,OU=Unit,O=Org,C=AA";
  EXPECT_EQ(list.GetUserEMail(subject), "first@x");
  // The first contact's name is blank: the subject stands.
  EXPECT_EQ(list.GetUserDisplayName(subject), subject);
  list.UserCertificates[0]->DisplayName = "Ana";
  EXPECT_EQ(list.GetUserDisplayName(subject), "Ana");
  EXPECT_EQ(list.GetUserDisplayName("CN=Nobody"), "CN=Nobody");
  EXPECT_EQ(list.GetUserEMail("CN=Nobody"), "");

  TCertifikat other;
  QString err;
  ASSERT_TRUE(other.LoadFromCrtFile(QString::fromStdString(Cert("user").der), false, err));
  EXPECT_TRUE(list.UserExists(other));
  EXPECT_FALSE(list.RootExists(other));
}

TEST_F(CertListTest, AddEditSaveAndReload) {
  StandardRoots();
  CopyTo(Cert("user").der, users, "user.crt");
  WriteAll(users + "/ucertdesc.txt", "stale_key;Gone;gone@x;\r\ntest_ca_101a20f337c;Old;old@x;\r\n");
  TCertList list;
  list.RootFolder = R();
  list.UserFolder = U();
  list.LoadAll();
  ASSERT_EQ(list.UserCertificates.size(), 1u);

  // Adding, as the contact editor does: copy the file, append, save.
  auto added = std::make_unique<TCertifikat>();
  QString err;
  ASSERT_TRUE(added->LoadFromCrtFile(QString::fromStdString(Cert("croatian").der), false, err));
  list.CheckAgainstRoots(*added);
  EXPECT_EQ(added->RootCheck, 1);  // its CA is not in the folder
  CopyTo(Cert("croatian").der, users, added->KeyName.toStdString() + ".crt");
  added->DisplayName = QString::fromUtf8("Čedo Šimić");
  added->EMail = "cedo@x";
  list.UserCertificates.push_back(std::move(added));
  list.UserCertificates[0]->DisplayName = "Edited";
  ASSERT_TRUE(list.SaveUserDescriptions());

  // Lines of certificates no longer listed are gone; list order; CR LF; code page 1250.
  const std::string expected = "test_ca_101a20f337c;Edited;old@x;\r\n" +
                               ToCp1250Std(QString::fromUtf8("čš_đ_ca0d0e;Čedo Šimić;cedo@x;")) + "\r\n";
  EXPECT_EQ(ReadText(users + "/ucertdesc.txt"), expected);
  EXPECT_EQ(list.UserDescriptions.size(), 2);

  list.LoadAll();
  ASSERT_EQ(list.UserCertificates.size(), 2u);
  EXPECT_EQ(list.UserCertificates[1]->DisplayName, QString::fromUtf8("Čedo Šimić"));
  EXPECT_EQ(list.UserCertificates[0]->DisplayName, "Edited");

  ASSERT_TRUE(list.SaveRootDescriptions());
  EXPECT_EQ(ReadText(roots + "/rcertdesc.txt"), "test_ca_10a1b;;;\r\ntest_ca_20b01;;;\r\n");
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(CertListTest, SaveRefusesSeparatorsAndReportsFailures) {
  StandardRoots();
  CopyTo(Cert("user").der, users, "user.crt");
  const std::string desc = users + "/ucertdesc.txt";
  const std::string old = "test_ca_101a20f337c;Old;old@x;\r\n";
  WriteAll(desc, old);
  TCertList list;
  list.RootFolder = R();
  list.UserFolder = U();
  list.LoadAll();
  ASSERT_EQ(list.UserCertificates.size(), 1u);
  TCertifikat& c = *list.UserCertificates[0];

  for (const char* bad : {"A;B", "line\r\nbreak", "lf\nonly"}) {
    for (bool inName : {true, false}) {
      ui.boxes.clear();
      c.DisplayName = inName ? bad : "Fine";
      c.EMail = inName ? "ok@x" : bad;
      EXPECT_FALSE(list.SaveUserDescriptions());
      ASSERT_EQ(ui.boxes.size(), 1u);
      EXPECT_EQ(ui.boxes[0].kind, MsgKind::Error);
      EXPECT_TRUE(ui.boxes[0].text.startsWith(TCertList::DescriptionTextRefused()));
      EXPECT_EQ(ReadText(desc), old);
    }
  }
  EXPECT_FALSE(TCertList::DescriptionTextAllowed("a;b"));
  EXPECT_TRUE(TCertList::DescriptionTextAllowed(QString::fromUtf8("Ana Šimić <ana@x>")));

  // A write that stops part-way (here a file size limit, as a full disk would) is
  // reported, and the earlier file stays whole.
  c.DisplayName = QString(100, QLatin1Char('n'));
  c.EMail = "new@x";
  ui.boxes.clear();
  struct rlimit keep {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &keep), 0);
  auto handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = keep;
  small.rlim_cur = 40;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saved = list.SaveUserDescriptions();
  ::setrlimit(RLIMIT_FSIZE, &keep);
  ::signal(SIGXFSZ, handler);
  EXPECT_FALSE(saved);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_TRUE(
      ui.boxes[0].text.startsWith("Neuspješno spremanje opisa certifikata u datoteku \"" + U() + "ucertdesc.txt\"."))
      << ui.boxes[0].text.toStdString();
  EXPECT_EQ(ReadText(desc), old);
  EXPECT_EQ(QDir(U()).entryList(QDir::Files | QDir::Hidden).size(), 2);  // no temporary left

  // The folder is gone: reported too.
  std::filesystem::remove_all(users);
  ui.boxes.clear();
  EXPECT_FALSE(list.SaveUserDescriptions());
  EXPECT_EQ(ui.boxes.size(), 1u);
}

TEST_F(CertListTest, Delete) {
  StandardRoots();
  CopyTo(Cert("user").der, users, "user.crt");
  CopyTo(Cert("nounit").der, users, "nounit.crt");
  WriteAll(roots + "/rcertdesc.txt",
           "test_ca_10a1bx;Longer Key;l@x;\r\ntest_ca_10a1b;CA One;;\r\ntest_ca_20b01;CA Two;;\r\n");
  WriteAll(users + "/ucertdesc.txt", "test_ca_102;No Unit;n@x;\r\ntest_ca_101a20f337c;User;u@x;\r\n");
  TCertList list;
  list.RootFolder = R();
  list.UserFolder = U();
  list.LoadAll();
  ASSERT_EQ(list.RootCertificates.size(), 2u);
  ASSERT_EQ(list.UserCertificates.size(), 2u);

  // Only the line whose key is exactly the certificate's goes.
  TCertifikat* ca1 = list.RootCertificates[0].get();
  ASSERT_EQ(ca1->KeyName, "test_ca_10a1b");
  EXPECT_TRUE(list.DeleteRoot(ca1));
  EXPECT_FALSE(std::filesystem::exists(roots + "/ca1.p7c"));
  EXPECT_EQ(list.RootDescriptions, (QStringList{"test_ca_10a1bx;Longer Key;l@x;", "test_ca_20b01;CA Two;;"}));
  EXPECT_EQ(list.RootCertificates.size(), 1u);

  // A file that cannot be deleted (a non-empty folder stands in its place; this holds
  // also for root): message, and nothing changes.
  TCertifikat* user = list.UserCertificates[1].get();
  ASSERT_EQ(user->FileName, "user.crt");
  std::filesystem::remove(users + "/user.crt");
  std::filesystem::create_directories(users + "/user.crt/inner");
  EXPECT_FALSE(list.DeleteUser(user));
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].kind, MsgKind::Error);
  EXPECT_EQ(ui.boxes[0].text, "Neuspješno brisanje certifikata");
  EXPECT_EQ(list.UserCertificates.size(), 2u);
  EXPECT_EQ(list.UserDescriptions.size(), 2);

  // Not in the list: nothing happens.
  TCertifikat stranger;
  stranger.FileName = "nounit.crt";
  EXPECT_FALSE(list.DeleteUser(&stranger));
  EXPECT_TRUE(std::filesystem::exists(users + "/nounit.crt"));

  EXPECT_TRUE(list.DeleteUser(list.UserCertificates[0].get()));
  EXPECT_FALSE(std::filesystem::exists(users + "/nounit.crt"));
  EXPECT_EQ(list.UserDescriptions, (QStringList{"test_ca_101a20f337c;User;u@x;"}));
  ASSERT_TRUE(list.SaveUserDescriptions());
  EXPECT_EQ(ReadText(users + "/ucertdesc.txt"), "test_ca_101a20f337c;User;u@x;\r\n");
}

}  // namespace
