#include "app/contact_forms.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <filesystem>
#include <functional>

#include "card/cert_list.h"
#include "contacts_fixture.h"
#include "platform/codepage.h"
#include "platform/fake_ui_services.h"
#include "signing/settings.h"
#include "support/tarvirsa_binding.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using contactsfx::Cert;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
// Description files hold code page 1250.
std::string Cp(const QString& s) { return ToCp1250(s).toStdString(); }

class ContactFormsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(BindBuiltTarviRsa(&why)) << why;
    fs::create_directories(ca_);
    fs::create_directories(users_);
    fs::create_directories(src_);
    InstallPath = Q(install_.path()) + "/";
    Settings = std::make_unique<TPostavkeRada>(InstallPath);
    Settings->ShowSNCertAsDecimal = false;
  }
  void TearDown() override {
    delete fmUser;
    fmUser = nullptr;
    delete fmUserCertList;
    fmUserCertList = nullptr;
    delete ContactCertList;
    ContactCertList = nullptr;
    Settings.reset();
    SetRecipientWarning(nullptr);
  }

  // The contact list over the two folders, read from disk.
  void Load() {
    delete ContactCertList;
    ContactCertList = new TCertList;
    ContactCertList->RootFolder = Q(ca_);
    ContactCertList->UserFolder = Q(users_);
    ContactCertList->LoadAll();
  }
  // A fixture certificate placed in a folder under the given name.
  std::string Put(const std::string& from, const std::string& folder, const std::string& name) {
    const std::string to = folder + "/" + name;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    return to;
  }
  void WithCa() { Put(Cert("ca").p7c, ca_, "kontakt_ca0a1b.p7c"); }
  // The CA and ana ("Ana", ana@firma.hr) as listed contacts, plus the others given.
  void WithContacts(const std::vector<std::string>& more = {}) {
    WithCa();
    Put(Cert("ana").der, users_, "kontakt_ca11.crt");
    std::string desc = "kontakt_ca11;Ana;ana@firma.hr;\r\n";
    for (const std::string& m : more) Put(Cert(m).der, users_, m + ".crt");
    WriteAll(users_ + "/ucertdesc.txt", desc);
    Load();
  }

  // Runs the editor with the script run inside its modal loop; a window the script
  // left open is cancelled. The editor's result.
  bool Editor(int kind, int mode, TCertifikat* cert, const std::function<void(TfmUser&)>& script) {
    if (!fmUser) fmUser = new TfmUser;
    QTimer::singleShot(0, fmUser, [script] {
      script(*fmUser);
      if (fmUser->isVisible()) {
        leftOpen = true;
        fmUser->done(mrCancel);
      }
    });
    leftOpen = false;
    return RunUserCertDialog(kind, mode, cert);
  }
  // The same for the list window in administration use.
  void Administration(const std::function<void(TfmUserCertList&)> script) {
    if (!fmUserCertList) fmUserCertList = new TfmUserCertList;
    QTimer::singleShot(0, fmUserCertList, [script] {
      script(*fmUserCertList);
      if (fmUserCertList->isVisible()) fmUserCertList->actZatvori->trigger();
    });
    RunContactListDialog();
  }
  bool Picker(const std::function<void(TfmUserCertList&)> script) {
    if (!fmUserCertList) fmUserCertList = new TfmUserCertList;
    QTimer::singleShot(0, fmUserCertList, [script] {
      script(*fmUserCertList);
      if (fmUserCertList->isVisible()) {
        leftOpen = true;
        fmUserCertList->actZatvori->trigger();
      }
    });
    leftOpen = false;
    return SelectRecipients();
  }
  static void Check(QTreeWidget* list, int row) { list->topLevelItem(row)->setCheckState(0, Qt::Checked); }
  static QStringList Column(QTreeWidget* list, int column) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i) out << list->topLevelItem(i)->text(column);
    return out;
  }
  QStringList Texts() const {
    QStringList out;
    for (const auto& b : ui_.boxes) out << b.text;
    return out;
  }

  static inline bool leftOpen = false;
  FakeUiServices ui_;
  TempDir install_{"install"};
  TempDir dir_{"contacts"};
  std::string ca_ = dir_.file("cacert"), users_ = dir_.file("usercert"), src_ = dir_.file("src");
};

TEST_F(ContactFormsTest, ImportingAContactCopiesItAndSavesItsDescription) {
  WithCa();
  Load();
  const std::string file = Put(Cert("ana").der, src_, "Ana iz pošte.cer");
  ui_.fileAnswers = {Q(file)};
  bool showed = false;
  Administration([&](TfmUserCertList& w) {
    EXPECT_EQ(w.windowTitle(), "Lista evidentiranih certifikata");
    EXPECT_EQ(w.pcLists->currentWidget(), w.tsKontaktOsoba);
    EXPECT_TRUE(w.pcLists->isTabVisible(0));
    EXPECT_FALSE(w.actPotvrdi->isVisible());
    EXPECT_FALSE(w.actIzmjeni->isEnabled());  // nothing selected yet
    QTimer::singleShot(0, fmUser, [&] {
      TfmUser& e = *fmUser;
      showed = true;
      EXPECT_EQ(e.windowTitle(), "Korisnički certifikat");
      EXPECT_TRUE(e.SpeedButton1->isVisible());
      EXPECT_TRUE(e.edCertDat->text().isEmpty());
      e.Browse();
      EXPECT_EQ(e.edCertDat->text(), Q(file));
      EXPECT_EQ(e.edSBCert->text(), "11");
      EXPECT_EQ(e.edIzdanZa->text(), "CN=Ana Anić,O=Firma,C=HR");
      EXPECT_EQ(e.edIzdanOd->text(), "Kontakt CA");
      EXPECT_FALSE(e.edValidanOd->text().isEmpty());
      EXPECT_FALSE(e.edSBCert->isEnabled());
      e.edNaziv->setText("Ana Anić");
      e.edeMail->setText("ana@firma.hr");
      e.Confirm();
    });
    w.actDodaj->trigger();
    EXPECT_EQ(Column(w.lwKontaktOsoba, 0), QStringList{"Ana Anić"});
    EXPECT_EQ(Column(w.lwKontaktOsoba, 1), QStringList{"11"});
    EXPECT_EQ(Column(w.lwKontaktOsoba, 2), QStringList{"Kontakt CA"});
  });
  EXPECT_TRUE(showed);
  EXPECT_EQ(Texts(), QStringList{});
  EXPECT_EQ(ReadText(users_ + "/kontakt_ca11.crt"), ReadText(Cert("ana").der));
  EXPECT_EQ(ReadText(users_ + "/ucertdesc.txt"), Cp("kontakt_ca11;Ana Anić;ana@firma.hr;\r\n"));
  // Only the certificate and its description: the copy left no temporary file.
  EXPECT_EQ(std::distance(fs::directory_iterator(users_), fs::directory_iterator()), 2);
  ASSERT_EQ(ContactCertList->UserCertificates.size(), 1u);
  EXPECT_EQ(ContactCertList->UserCertificates[0]->RootCheck, 0);
}

TEST_F(ContactFormsTest, ImportingACaCertificateAsksNothingAboutItsPath) {
  Load();
  ui_.fileAnswers = {Q(Cert("ca").p7c)};
  EXPECT_TRUE(Editor(kCertKindRoot, kCertModeImport, nullptr, [](TfmUser& e) {
    EXPECT_EQ(e.windowTitle(), "Certifikat izdavatelja");
    e.Browse();
    e.edNaziv->setText("Naš CA");
    e.Confirm();
  }));
  EXPECT_EQ(Texts(), QStringList{});
  EXPECT_EQ(ReadText(ca_ + "/kontakt_ca0a1b.p7c"), ReadText(Cert("ca").p7c));
  EXPECT_EQ(ReadText(ca_ + "/rcertdesc.txt"), Cp("kontakt_ca0a1b;Naš CA;;\r\n"));
  ASSERT_EQ(ContactCertList->RootCertificates.size(), 1u);
  // It lies under its new name, so deleting it from the list finds it.
  TCertifikat* listed = ContactCertList->RootCertificates[0].get();
  EXPECT_EQ(listed->FileName, "kontakt_ca0a1b.p7c");
  EXPECT_TRUE(ContactCertList->DeleteRoot(listed));
  EXPECT_FALSE(fs::exists(ca_ + "/kontakt_ca0a1b.p7c"));
}

TEST_F(ContactFormsTest, TheChecksOfAnImportInTheirOrder) {
  struct Case {
    const char* what;
    std::vector<std::string> files;  // chosen in turn
    bool removeChosen;
    std::vector<int> answers;
    QString name;
    QStringList texts;
    bool saved;
  };
  const QString expiredQ = "Validnost certifikata istekla. Želite li nastaviti s učitavanjem?";
  const QString pathQ = "Provjera puta certifikacije nije u redu. Želite li nastaviti s učitavanjem?";
  const Case cases[] = {
      {"nothing chosen", {}, false, {}, "", {"Datoteka s certifikatom mora biti definirana!"}, false},
      {"the chosen file went away", {"bruno"}, true, {}, "", {}, false},
      {"the key name is listed, from another file",
       {"twin"},
       false,
       {},
       "",
       {"Ovaj certifikat je već u listi!"},
       false},
      {"expired, not taken", {"expired"}, false, {mrNo}, "", {expiredQ}, false},
      {"expired, taken", {"expired"}, false, {mrYes}, "", {expiredQ}, true},
      {"path not verified, not taken", {"stranger"}, false, {mrNo}, "", {pathQ}, false},
      {"path not verified, taken", {"stranger"}, false, {mrYes}, "", {pathQ}, true},
      {"a separator in the name", {"bruno"}, false, {}, "Bruno; Babić", {TCertList::DescriptionTextRefused()}, false},
      {"a line break in the name", {"bruno"}, false, {}, "Bruno\nBabić", {TCertList::DescriptionTextRefused()}, false},
      // A second choice that fails to load leaves the fields but no certificate.
      {"a good file, then a bad one",
       {"bruno", "junk"},
       false,
       {},
       "",
       {"Datoteka s certifikatom mora biti definirana!"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(users_);
    fs::create_directories(users_);
    WithContacts();
    const std::string before = ReadText(users_ + "/ucertdesc.txt");
    ui_.boxes.clear();
    ui_.answers.assign(c.answers.begin(), c.answers.end());
    QString lastChosen;
    for (const std::string& f : c.files) {
      const std::string path = f == "junk" ? (WriteAll(src_ + "/junk.crt", "not a certificate"), src_ + "/junk.crt")
                                           : Put(Cert(f).der, src_, f + ".crt");
      ui_.fileAnswers.push_back(Q(path));
      lastChosen = Q(path);
    }
    const bool ok = Editor(kCertKindUser, kCertModeImport, nullptr, [&](TfmUser& e) {
      for (size_t i = 0; i < c.files.size(); ++i) e.Browse();
      if (c.removeChosen) fs::remove(lastChosen.toStdString());
      e.edNaziv->setText(c.name);
      e.Confirm();
    });
    QStringList expected = c.texts;
    if (c.removeChosen) expected = {"Nema datoteke \"" + lastChosen + "\""};
    QStringList shown = Texts();
    // Loading a file that is no certificate reports its own failures first.
    if (c.files.size() == 2) shown = shown.mid(std::max<qsizetype>(0, shown.size() - expected.size()));
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(ok, c.saved);
    EXPECT_EQ(leftOpen, !c.saved);
    EXPECT_EQ(ContactCertList->UserCertificates.size(), c.saved ? 2u : 1u);
    if (!c.saved) {
      EXPECT_EQ(ReadText(users_ + "/ucertdesc.txt"), before);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(users_), fs::directory_iterator()), c.saved ? 3 : 2);
  }
}

TEST_F(ContactFormsTest, ASecondChoiceReplacesTheFirst) {
  WithContacts();
  ui_.fileAnswers = {Q(Put(Cert("expired").der, src_, "a.crt")), Q(Put(Cert("bruno").der, src_, "b.crt"))};
  EXPECT_TRUE(Editor(kCertKindUser, kCertModeImport, nullptr, [&](TfmUser& e) {
    e.Browse();
    const TCertifikat* first = e.Certificate();
    EXPECT_EQ(e.edSBCert->text(), "13");
    e.Browse();
    EXPECT_EQ(e.Certificate(), first);  // the same object, loaded again
    EXPECT_EQ(e.edSBCert->text(), "12");
    EXPECT_EQ(e.edIzdanZa->text(), "CN=Bruno Babić,O=Firma,C=HR");
    EXPECT_EQ(e.edCertDat->text(), Q(src_ + "/b.crt"));
    e.Confirm();
  }));
  EXPECT_EQ(Texts(), QStringList{});  // bruno is neither expired nor unverified
  EXPECT_TRUE(fs::exists(users_ + "/kontakt_ca12.crt"));
  EXPECT_FALSE(fs::exists(users_ + "/kontakt_ca13.crt"));
}

TEST_F(ContactFormsTest, EditingChangesTheDescriptionsOnly) {
  WithContacts({"bruno"});
  Administration([&](TfmUserCertList& w) {
    ASSERT_EQ(Column(w.lwKontaktOsoba, 0), (QStringList{"CN=Bruno Babić,O=Firma,C=HR", "Ana"}));
    w.lwKontaktOsoba->topLevelItem(1)->setSelected(true);
    EXPECT_TRUE(w.actIzmjeni->isEnabled());
    EXPECT_TRUE(w.actObrisi->isEnabled());
    // A separator is refused and changes nothing; then an empty name is taken.
    QTimer::singleShot(0, fmUser, [&] {
      TfmUser& e = *fmUser;
      EXPECT_EQ(e.windowTitle(), "Korisnički certifikat");
      EXPECT_FALSE(e.SpeedButton1->isVisible());
      EXPECT_EQ(e.edCertDat->text(), "kontakt_ca11.crt");
      EXPECT_EQ(e.edNaziv->text(), "Ana");
      EXPECT_EQ(e.edeMail->text(), "ana@firma.hr");
      EXPECT_EQ(e.edSBCert->text(), "11");
      e.edeMail->setText("ana;x@firma.hr");
      e.Confirm();
      EXPECT_TRUE(e.isVisible());
      EXPECT_EQ(e.Certificate()->EMail, "ana@firma.hr");
      e.edNaziv->clear();
      e.edeMail->setText("ana.nova@firma.hr");
      e.Confirm();
    });
    w.actIzmjeni->trigger();
    EXPECT_EQ(Column(w.lwKontaktOsoba, 0), (QStringList{"CN=Bruno Babić,O=Firma,C=HR", ""}));
    w.actOsvjezi->trigger();
    EXPECT_EQ(Column(w.lwKontaktOsoba, 0), (QStringList{"CN=Bruno Babić,O=Firma,C=HR", "CN=Ana Anić,O=Firma,C=HR"}));
  });
  EXPECT_EQ(Texts(), QStringList{TCertList::DescriptionTextRefused()});
  EXPECT_EQ(ReadText(users_ + "/ucertdesc.txt"), "kontakt_ca12;;;\r\nkontakt_ca11;;ana.nova@firma.hr;\r\n");
}

TEST_F(ContactFormsTest, DeletingAsksWithTheRowAsShown) {
  for (bool decimal : {false, true}) {
    SCOPED_TRACE(decimal);
    Settings->ShowSNCertAsDecimal = decimal;
    WithContacts({"bruno"});
    ui_.boxes.clear();
    ui_.answers = {mrNo, mrYes};
    Administration([&](TfmUserCertList& w) {
      EXPECT_EQ(Column(w.lwKontaktOsoba, 1), decimal ? QStringList({"18", "17"}) : QStringList({"12", "11"}));
      for (int i = 0; i < 2; ++i) {
        w.lwKontaktOsoba->topLevelItem(w.lwKontaktOsoba->topLevelItemCount() - 1)->setSelected(true);
        w.actObrisi->trigger();
      }
      EXPECT_EQ(Column(w.lwKontaktOsoba, 0), QStringList{"CN=Bruno Babić,O=Firma,C=HR"});
      EXPECT_FALSE(w.actObrisi->isEnabled());
    });
    const QString q = QString("Da li ste sigurni da želite obrisati certifikat iz liste ?\r\n[Ana; SB=") +
                      (decimal ? "17" : "11") + "]";
    EXPECT_EQ(Texts(), (QStringList{q, q}));
    EXPECT_FALSE(fs::exists(users_ + "/kontakt_ca11.crt"));
    EXPECT_EQ(ReadText(users_ + "/ucertdesc.txt"), "kontakt_ca12;;;\r\n");
    ASSERT_EQ(ContactCertList->UserCertificates.size(), 1u);
  }
}

TEST_F(ContactFormsTest, DeletingACaCertificateFromItsPage) {
  WithContacts();
  ui_.answers = {mrYes};
  Administration([&](TfmUserCertList& w) {
    w.pcLists->setCurrentWidget(w.tsRootCert);
    EXPECT_FALSE(w.actObrisi->isEnabled());
    w.lwRootCert->topLevelItem(0)->setSelected(true);
    w.actObrisi->trigger();
    EXPECT_EQ(w.lwRootCert->topLevelItemCount(), 0);
    EXPECT_EQ(w.lwKontaktOsoba->topLevelItemCount(), 1);
  });
  EXPECT_EQ(Texts(),
            QStringList{
                "Da li ste sigurni da želite obrisati certifikat iz liste ?\r\n[CN=Kontakt CA,O=Firma,C=HR; SB=0A1B]"});
  EXPECT_FALSE(fs::exists(ca_ + "/kontakt_ca0a1b.p7c"));
  EXPECT_EQ(ReadText(ca_ + "/rcertdesc.txt"), "");
}

TEST_F(ContactFormsTest, AFailedDeletionKeepsTheRow) {
  WithContacts();
  ui_.answers = {mrYes};
  Administration([&](TfmUserCertList& w) {
    fs::remove(users_ + "/kontakt_ca11.crt");
    w.lwKontaktOsoba->topLevelItem(0)->setSelected(true);
    w.actObrisi->trigger();
    EXPECT_EQ(Column(w.lwKontaktOsoba, 0), QStringList{"Ana"});
  });
  EXPECT_EQ(Texts().back(), "Neuspješno brisanje certifikata");
  EXPECT_EQ(ReadText(users_ + "/ucertdesc.txt"), "kontakt_ca11;Ana;ana@firma.hr;\r\n");
}

TEST_F(ContactFormsTest, ThePickerTakesGoodContactsAndAsksAboutBadOnes) {
  WithContacts({"expired", "stranger"});  // rows: expired, kontakt_ca11 (ana), stranger
  std::vector<QStringList> warned;
  int answer = mrNo;
  SetRecipientWarning([&](const QString& message, const std::vector<const TCertifikat*>& checked) {
    QStringList l{message};
    for (const TCertifikat* c : checked) l << CertRowName(*c);
    warned.push_back(l);
    return answer;
  });

  // Pre-checked rows are gone once the picker shows: it re-reads the folders.
  fmUserCertList = new TfmUserCertList;
  EXPECT_EQ(fmUserCertList->CheckGoodContacts(), 1);
  EXPECT_TRUE(Picker([&](TfmUserCertList& w) {
    EXPECT_FALSE(w.pcLists->isTabVisible(0));
    EXPECT_EQ(w.pcLists->currentWidget(), w.tsKontaktOsoba);
    EXPECT_FALSE(w.actDodaj->isVisible());
    EXPECT_FALSE(w.actObrisi->isVisible());
    EXPECT_TRUE(w.actPotvrdi->isVisible());
    EXPECT_TRUE(w.CheckedContacts().empty());
    w.actPotvrdi->trigger();  // nothing checked: stays open
    EXPECT_TRUE(w.isVisible());
    Check(w.lwKontaktOsoba, 1);
    w.actPotvrdi->trigger();
  }));
  EXPECT_FALSE(leftOpen);
  EXPECT_EQ(Texts(), QStringList{"Morate odabrati barem jednu kontakt osobu !"});
  EXPECT_TRUE(warned.empty());
  ASSERT_EQ(fmUserCertList->CheckedContacts().size(), 1u);
  EXPECT_EQ(fmUserCertList->CheckedContacts()[0]->DisplayName, "Ana");

  for (int a : {mrNo, mrCancel, mrYes}) {
    SCOPED_TRACE(a);
    answer = a;
    warned.clear();
    const bool ok = Picker([&](TfmUserCertList& w) {
      Check(w.lwKontaktOsoba, 1);
      Check(w.lwKontaktOsoba, 2);
      w.actPotvrdi->trigger();
    });
    EXPECT_EQ(ok, a == mrYes);
    EXPECT_FALSE(leftOpen);  // No does not return to the picker
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_EQ(warned[0],
              (QStringList{"Odabrani certifikat je neispravan. Želite li nastaviti?", "Ana", "CN=Stranac,C=HR"}));
  }
  // Without the details window, a confirmation box asks the same.
  SetRecipientWarning(nullptr);
  ui_.boxes.clear();
  ui_.answers = {mrNo};
  EXPECT_FALSE(Picker([&](TfmUserCertList& w) {
    Check(w.lwKontaktOsoba, 0);
    w.actPotvrdi->trigger();
  }));
  EXPECT_EQ(Texts(), QStringList{"Odabrani certifikat je neispravan. Želite li nastaviti?"});
}

TEST_F(ContactFormsTest, RowsOfAReloadedListHandOutOnlyTheirOwnCertificate) {
  WithContacts();
  fmUserCertList = new TfmUserCertList;
  EXPECT_EQ(fmUserCertList->CheckGoodContacts(), 1);
  // Read again without a refill: the row's certificate is freed, another one is
  // listed (possibly at the same address).
  fs::remove(users_ + "/kontakt_ca11.crt");
  Put(Cert("bruno").der, users_, "bruno.crt");
  ContactCertList->LoadAll();
  ASSERT_EQ(ContactCertList->UserCertificates.size(), 1u);
  EXPECT_TRUE(fmUserCertList->CheckedContacts().empty());
  EXPECT_EQ(fmUserCertList->CheckGoodContacts(), 0);
}

TEST_F(ContactFormsTest, AddingASignersCertificate) {
  WithContacts();
  const std::string der = ReadText(Cert("bruno").der);
  auto make = [&] {
    auto c = std::make_unique<TCertifikat>();
    QString error;
    EXPECT_TRUE(c->LoadFromMemory(der.data(), static_cast<int32_t>(der.size()), error, true));
    ContactCertList->CheckAgainstRoots(*c);
    return c;
  };
  auto cert = make();
  TCertifikat* raw = cert.get();
  if (!fmUser) fmUser = new TfmUser;
  QTimer::singleShot(0, fmUser, [] {
    EXPECT_FALSE(fmUser->SpeedButton1->isVisible());
    EXPECT_EQ(fmUser->edSBCert->text(), "12");
    fmUser->btnOdustani->click();
  });
  EXPECT_FALSE(RunAddContactDialog(cert));
  EXPECT_EQ(cert.get(), raw);  // still the caller's
  EXPECT_FALSE(fs::exists(users_ + "/kontakt_ca12.crt"));

  QTimer::singleShot(0, fmUser, [] {
    EXPECT_EQ(fmUser->windowTitle(), "Korisnički certifikat");
    fmUser->edNaziv->setText("Bruno");
    fmUser->edeMail->setText("bruno@firma.hr");
    fmUser->btnPotvrdi->click();
  });
  EXPECT_TRUE(RunAddContactDialog(cert));
  EXPECT_EQ(cert, nullptr);  // the contact list has it now
  EXPECT_EQ(ReadText(users_ + "/kontakt_ca12.crt"), der);
  EXPECT_EQ(ReadText(users_ + "/ucertdesc.txt"),
            "kontakt_ca11;Ana;ana@firma.hr;\r\nkontakt_ca12;Bruno;bruno@firma.hr;\r\n");
  ASSERT_EQ(ContactCertList->UserCertificates.size(), 2u);
  EXPECT_EQ(ContactCertList->UserCertificates[1]->FileName, "kontakt_ca12.crt");
  EXPECT_EQ(Texts(), QStringList{});
}

TEST_F(ContactFormsTest, AnIssuerNameWithSeparatorsStaysInTheFolder) {
  WithContacts();
  const std::string der = ReadText(Cert("escapee").der);
  auto cert = std::make_unique<TCertifikat>();
  QString error;
  ASSERT_TRUE(cert->LoadFromMemory(der.data(), static_cast<int32_t>(der.size()), error, false));
  ASSERT_EQ(cert->KeyName, "./../../x15");
  const fs::path outside = fs::path(users_) / "./../../x15.crt";
  ASSERT_FALSE(fs::exists(outside));
  if (!fmUser) fmUser = new TfmUser;
  QTimer::singleShot(0, fmUser, [] { fmUser->btnPotvrdi->click(); });
  EXPECT_TRUE(RunAddContactDialog(cert));
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_EQ(ReadText(users_ + "/__.._.._x15.crt"), der);
  // Read again, it is listed under its key name with its description.
  Load();
  ASSERT_EQ(ContactCertList->UserCertificates.size(), 2u);
  EXPECT_EQ(ContactCertList->UserCertificates[0]->KeyName, "./../../x15");
}

TEST_F(ContactFormsTest, StartUpMakesEachWindowOnlyWhenAbsent) {
  auto forms = ContactStartUpForms();
  ASSERT_EQ(forms.size(), 2u);
  EXPECT_EQ(forms[0].name, "fmUser");
  EXPECT_EQ(forms[1].name, "fmUserCertList");
  for (auto& f : forms) {
    EXPECT_TRUE(f.onlyWhenAbsent);
    EXPECT_FALSE(f.exists());
    f.create();
    EXPECT_TRUE(f.exists());
  }
  EXPECT_NE(fmUser, nullptr);
  EXPECT_NE(fmUserCertList, nullptr);
  for (auto& f : forms) f.destroy();
  EXPECT_EQ(fmUser, nullptr);
  EXPECT_EQ(fmUserCertList, nullptr);
}

TEST(CertTexts, DatesLeaveOutMidnightAndTheZone) {
  const QLocale locale = QLocale::system();
  TDateTime midnight = 0, day = 0;
  ASSERT_TRUE(TryEncodeDateTime(2049, 12, 31, 0, 0, 0, 0, midnight));
  ASSERT_TRUE(TryEncodeDateTime(2020, 5, 1, 10, 20, 30, 0, day));
  EXPECT_EQ(CertDateTimeText(midnight), locale.toString(QDate(2049, 12, 31), QLocale::ShortFormat));
  const QString text = CertDateTimeText(day);
  EXPECT_TRUE(text.startsWith(locale.toString(QDate(2020, 5, 1), QLocale::ShortFormat) + " ")) << text.toStdString();
  EXPECT_TRUE(text.endsWith(" 10:20:30")) << text.toStdString();  // no zone name after the time
}

}  // namespace

// What each use of the list window shows: a hidden command leaves no button
// behind, greyed or not; the buttons read off the window as it is shown.
TEST_F(ContactFormsTest, EachUseShowsTheButtonsOfItsOwnCommandsOnly) {
  WithContacts();
  auto shownButtons = [](TfmUserCertList& w) {
    QStringList shown;
    for (QPushButton* b : w.findChildren<QPushButton*>())
      if (b->isVisible()) shown << b->text().remove('&');
    return shown;
  };
  const struct {
    const char* use;
    QStringList shown;
  } cases[] = {
      {"administration", {"Dodavanje", "Izmjena", "Brisanje", "Osvježi", "Izlaz"}},
      {"picker", {"Osvježi", "Kriptiraj", "Izlaz"}},
      {"administration again", {"Dodavanje", "Izmjena", "Brisanje", "Osvježi", "Izlaz"}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.use);
    QStringList shown;
    const bool picker = QString(k.use) == "picker";
    auto read = [&](TfmUserCertList& w) {
      ASSERT_TRUE(w.isVisible());
      shown = shownButtons(w);
    };
    if (picker)
      Picker(read);
    else
      Administration(read);
    EXPECT_EQ(shown, k.shown);
  }
}

// A description file that cannot be written (here a folder stands in its place)
// is reported by the list; the certificate is then not listed, its file is not
// left in the folder, the editor stays open and nobody is told of a success.
TEST_F(ContactFormsTest, AFailedDescriptionSaveIsReportedAndListsNothing) {
  const struct {
    const char* what;
    int mode;
  } cases[] = {{"importing a file", kCertModeImport}, {"adding a signer's certificate", kCertModeAdd}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir fresh("contacts");
    ca_ = fresh.file("cacert");
    users_ = fresh.file("usercert");
    src_ = fresh.file("src");
    fs::create_directories(ca_);
    fs::create_directories(users_);
    fs::create_directories(src_);
    WithCa();
    Load();
    fs::create_directory(users_ + "/ucertdesc.txt");
    ui_.boxes.clear();
    bool ok = true;
    auto confirm = [](TfmUser& e) {
      e.edNaziv->setText("Bruno");
      e.edeMail->setText("bruno@firma.hr");
      e.btnPotvrdi->click();
      EXPECT_TRUE(e.isVisible());  // the window waits for the user
    };
    if (c.mode == kCertModeImport) {
      ui_.fileAnswers = {Q(Put(Cert("bruno").der, src_, "bruno.cer"))};
      ok = Editor(kCertKindUser, kCertModeImport, nullptr, [&](TfmUser& e) {
        e.Browse();
        confirm(e);
      });
      EXPECT_TRUE(leftOpen);
    } else {
      const std::string der = ReadText(Cert("bruno").der);
      auto cert = std::make_unique<TCertifikat>();
      QString error;
      ASSERT_TRUE(cert->LoadFromMemory(der.data(), static_cast<int32_t>(der.size()), error, true));
      if (!fmUser) fmUser = new TfmUser;
      QTimer::singleShot(0, fmUser, [&] {
        confirm(*fmUser);
        fmUser->btnOdustani->click();
      });
      ok = RunAddContactDialog(cert);
      EXPECT_NE(cert, nullptr);  // still the caller's
    }
    EXPECT_FALSE(ok);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].kind, MsgKind::Error);
    EXPECT_TRUE(ui_.boxes[0].text.startsWith("Neuspješno spremanje opisa certifikata u datoteku \""))
        << ui_.boxes[0].text.toStdString();
    EXPECT_TRUE(ContactCertList->UserCertificates.empty());
    EXPECT_FALSE(fs::exists(users_ + "/kontakt_ca12.crt"));
    // Read again from the folder, the list still holds no contact.
    Load();
    EXPECT_TRUE(ContactCertList->UserCertificates.empty());
  }
}

// The list window's buttons carry their captions' Alt shortcuts, and each use has
// its default button (Enter): "Kriptiraj" in the picker, "Izmjena" otherwise.
TEST_F(ContactFormsTest, TheListButtonsHaveTheirShortcutsAndADefault) {
  WithContacts();
  auto read = [](TfmUserCertList& w, QStringList& shortcuts, QString& byDefault) {
    for (QPushButton* b : w.findChildren<QPushButton*>()) {
      if (!b->isVisible()) continue;
      shortcuts << b->shortcut().toString();
      if (b->isDefault()) byDefault += b->text();
    }
  };
  QStringList shortcuts;
  QString byDefault;
  Picker([&](TfmUserCertList& w) { read(w, shortcuts, byDefault); });
  EXPECT_EQ(shortcuts, QStringList({"Alt+S", "Alt+K", "Alt+Z"}));
  EXPECT_EQ(byDefault, "&Kriptiraj");
  shortcuts.clear();
  byDefault.clear();
  Administration([&](TfmUserCertList& w) { read(w, shortcuts, byDefault); });
  EXPECT_EQ(shortcuts, QStringList({"Alt+D", "Alt+I", "Alt+B", "Alt+S", "Alt+Z"}));
  EXPECT_EQ(byDefault, "&Izmjena");
}
