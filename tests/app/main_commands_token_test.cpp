// The main window's commands on the selected file, with a private SoftHSM2 token:
// signing, the enabling rules, revoking, encrypting, decrypting, saving and
// opening the original.
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QWindow>
#include <map>
#include <random>
#include <set>

#include "app/contact_forms.h"
#include "app/settings_dialog.h"
#include "app/signature_details.h"
#include "card/cert_list.h"
#include "card/certificate.h"
#include "main_fixture.h"
#include "platform/mail.h"
#include "signing/decrypt.h"
#include "signing/encrypt.h"
#include "signing/file_utils.h"
#include "signing/progress_window.h"
#include "signing/sign_file.h"

using namespace appfx;

namespace {

class MainCommandsTest : public MainTokenTest {
 protected:
  void TearDown() override {
    TCertifikat::SetClock(nullptr);
    SetFileOpener(nullptr);
    MainTokenTest::TearDown();
  }
  // a.txt in the work folder, signed with the sign command.
  void SignA() {
    WriteAll(work_.file("a.txt"), "Izvješće za 2026.\n");
    ShowWork();
    ASSERT_TRUE(ClickFile("a.txt"));
    fmMain->UpdateActions();
    ASSERT_TRUE(fmMain->actQVDPotpisivanje->isEnabled());
    fmMain->actQVDPotpisivanjeExecute();
    ASSERT_EQ(ui_->lastText(), kMsgSignSuccess);
    ASSERT_TRUE(QFileInfo::exists(Work("a_txt.sgn")));
  }
  // The contact folder: contacts holding the set's certificate k<serial>.crt alone,
  // described by line.
  void UseOneContact(const TempDir& contacts, const std::string& serial, const std::string& line) {
    const std::string crt = "k" + serial + ".crt";
    ASSERT_TRUE(QFile::copy(QString::fromStdString(certs_->path() + "/usercert/" + crt),
                            QString::fromStdString(contacts.file(crt))));
    WriteAll(contacts.file("ucertdesc.txt"), line);
    SetUserValue("UserCertDirectory", QString::fromStdString(contacts.path() + "/"));
  }
  void SelectSigner(int row) {
    fmMain->lvPotpisnici->topLevelItem(row)->setSelected(true);
    fmMain->UpdateActions();
  }
};

}  // namespace

TEST_F(MainCommandsTest, SignListsTheSignerThenRefusesASecondSignatureAndRevokes) {
  ASSERT_TRUE(StartLoggedIn());
  SignA();
  Filter(fmMain->rbPotpisane);
  ASSERT_TRUE(ClickFile("a_txt.sgn"));
  ASSERT_EQ(fmMain->lvPotpisnici->topLevelItemCount(), 1);
  EXPECT_EQ(Rows(fmMain->lvPotpisnici).value(0).section(" | ", 0, 1), "1 | 1001");
  fmMain->UpdateActions();
  for (QAction* a : {fmMain->actQVDPotpisivanje, fmMain->actQVDPakiranje, fmMain->actIzvlacenjeIzvorne,
                     fmMain->actCoverPage, fmMain->actDetPotpisa, fmMain->actPrikaziOrigDat})
    EXPECT_TRUE(a->isEnabled()) << a->objectName().toStdString();
  for (QAction* a : {fmMain->actProvjeraPotpisa, fmMain->actSendeMail, fmMain->actPovuciPotpis, fmMain->actDodajUKO})
    EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();

  // The card's owner has signed already: refused before the card is asked.
  ui_->boxes.clear();
  CallNames();
  fmMain->actQVDPotpisivanjeExecute();
  EXPECT_EQ(BoxTexts(), QStringList{kMsgAlreadySigner});
  EXPECT_TRUE(CallNames().isEmpty());

  // Revoke is for the owner's own row, and only while logged in.
  SelectSigner(0);
  EXPECT_TRUE(fmMain->actPovuciPotpis->isEnabled());
  EXPECT_TRUE(fmMain->actDodajUKO->isEnabled());
  fmMain->DUDComponent->LoggedIn = false;
  fmMain->UpdateActions();
  EXPECT_FALSE(fmMain->actPovuciPotpis->isEnabled());
  EXPECT_FALSE(fmMain->actQVDPotpisivanje->isEnabled());
  fmMain->DUDComponent->LoggedIn = true;
  fmMain->UpdateActions();

  // A container changed since its signers were read: the text is shown, the file
  // is kept as it is.
  const std::string before = ReadText(work_.file("a_txt.sgn"));
  WriteAll(work_.file("a_txt.sgn"), "<FileUpload>nije</FileUpload>");
  ui_->boxes.clear();
  fmMain->actPovuciPotpisExecute();
  ASSERT_EQ(ui_->boxes.size(), 1u);
  EXPECT_EQ(ui_->boxes[0].kind, MsgKind::Error);
  EXPECT_EQ(ReadText(work_.file("a_txt.sgn")), "<FileUpload>nije</FileUpload>");
  WriteAll(work_.file("a_txt.sgn"), before);

  ASSERT_TRUE(ClickFile("a_txt.sgn"));
  SelectSigner(0);
  ui_->boxes.clear();
  fmMain->actPovuciPotpisExecute();
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
  EXPECT_EQ(fmMain->lvPotpisnici->topLevelItemCount(), 0);  // read again
  TSignerList left;
  EXPECT_TRUE(VerifySignedFile(Work("a_txt.sgn"), left));
  EXPECT_TRUE(left.empty());
}

TEST_F(MainCommandsTest, SignRefusesAnEmptyFileAfterTheCardChecks) {
  ASSERT_TRUE(StartLoggedIn());
  WriteAll(work_.file("prazna.txt"), "");
  ShowWork();
  ASSERT_TRUE(ClickFile("prazna.txt"));
  CallNames();
  fmMain->actQVDPotpisivanjeExecute();
  EXPECT_EQ(BoxTexts(), QStringList{"Datoteka " + Work("prazna.txt") + " je prazna !"});
  EXPECT_TRUE(CallNames().contains("C_FindObjectsInit"));
  EXPECT_FALSE(QFileInfo::exists(Work("prazna_txt.sgn")));
  EXPECT_FALSE(ui_->waitCursor());
}

TEST_F(MainCommandsTest, EncryptForTheOneContactWithoutThePickerThenDecryptOnTheCard) {
  // One contact only, in order.
  TempDir contacts("contacts");
  ASSERT_NO_FATAL_FAILURE(UseOneContact(contacts, "2001", "test_ca2001;Ivana Horvat;ivana@example.test;\r\n"));
  TempDir out("out");
  SetUserValue("Output Path", QString::fromStdString(out.path()));
  ASSERT_TRUE(StartLoggedIn());
  ASSERT_EQ(ContactCertList->UserCertificates.size(), 1u);
  SignA();
  Filter(fmMain->rbPotpisane);
  ASSERT_TRUE(ClickFile("a_txt.sgn"));
  ui_->boxes.clear();
  ModalDriver driver;
  fmMain->actQVDPakiranjeExecute();
  EXPECT_TRUE(driver.seen.isEmpty()) << driver.seen.join(",").toStdString();
  EXPECT_EQ(BoxTexts(), QStringList{"Datoteka uspješno kriptirana za primatelja \"Ivana Horvat\"!"});
  EXPECT_TRUE(QFileInfo::exists(Work("a_txt.enc")));
  EXPECT_FALSE(ui_->waitCursor());

  // A container for the card's own certificate, decrypted into the output folder.
  QString enc;
  ui_->answers.push_back(mrYes);  // over the first one
  ASSERT_EQ(EncryptForRecipient("", InstallPath, Work("a_txt.sgn"), enc, true, kReportBoxes,
                                *fmMain->DUDComponent->UserCertificate),
            0);
  Filter(fmMain->rbPakirane);
  ASSERT_TRUE(ClickFile("a_txt.enc"));
  ASSERT_EQ(fmMain->lwPrimatelj->topLevelItemCount(), 1);
  fmMain->UpdateActions();
  EXPECT_TRUE(fmMain->actProvjeraPotpisa->isEnabled());
  EXPECT_TRUE(fmMain->actSendeMail->isEnabled());
  EXPECT_FALSE(fmMain->actQVDPotpisivanje->isEnabled());
  EXPECT_FALSE(fmMain->actPrikaziOrigDat->isEnabled());
  ui_->boxes.clear();
  LastDecryptedFile = "earlier";
  fmMain->actProvjeraPotpisaExecute();
  const QString decrypted = QString::fromStdString(out.file("a_txt.sgn"));
  EXPECT_EQ(LastDecryptedFile, decrypted);
  ASSERT_EQ(ui_->boxes.size(), 1u);
  EXPECT_TRUE(ui_->boxes[0].text.startsWith(kMsgDecSuccess)) << ui_->boxes[0].text.toStdString();
  EXPECT_EQ(ReadText(out.file("a_txt.sgn")), ReadText(work_.file("a_txt.sgn")));
  EXPECT_EQ(fmMain->lwPrimatelj->topLevelItemCount(), 1);  // not refreshed
  EXPECT_FALSE(ui_->waitCursor());
}

// Encrypt and send: no success box; only a mail that did not go is reported. The
// e-mail command sends the selected encrypted file to its first recipient.
TEST_F(MainCommandsTest, EncryptAndSendReportsOnlyFailedMails) {
  TempDir contacts("contacts");
  ASSERT_NO_FATAL_FAILURE(UseOneContact(contacts, "2002", "test_ca2002;Marko Maric;marko@example.test;\r\n"));
  ASSERT_TRUE(StartLoggedIn());
  SignA();
  Filter(fmMain->rbPotpisane);
  ASSERT_TRUE(ClickFile("a_txt.sgn"));
  QStringList sent;
  int mailResult = 0;
  mapi::MailRunner runner;
  runner.find = [](const QString& program) { return "/usr/bin/" + program; };
  runner.run = [&](const QString&, const QStringList& arguments) {
    sent << arguments.join(' ');
    return mailResult;
  };
  const mapi::MailRunner earlier = mapi::SetMailRunner(runner);
  struct Restore {
    mapi::MailRunner runner;
    ~Restore() { mapi::SetMailRunner(runner); }
  } restore{earlier};

  ui_->boxes.clear();
  fmMain->actKriptAndSendExecute();
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
  ASSERT_EQ(sent.size(), 1);
  EXPECT_TRUE(sent[0].contains("marko@example.test")) << sent[0].toStdString();
  EXPECT_TRUE(sent[0].contains(Work("a_txt.enc"))) << sent[0].toStdString();

  mailResult = 3;
  fmMain->actKriptAndSendExecute();  // over the first container
  EXPECT_EQ(ui_->lastText(), "e-mail za primatelja \"Marko Maric\" nije poslan!");

  Filter(fmMain->rbPakirane);
  ASSERT_TRUE(ClickFile("a_txt.enc"));
  ui_->boxes.clear();
  sent.clear();
  mailResult = 0;
  fmMain->actSendeMailExecute();
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
  ASSERT_EQ(sent.size(), 1);
  EXPECT_TRUE(sent[0].contains("marko@example.test")) << sent[0].toStdString();
}

// A card certificate that has expired: the user is asked, and only Yes signs.
TEST_F(MainCommandsTest, SignWithAnExpiredCardCertificateAsksFirst) {
  ASSERT_TRUE(StartLoggedIn());
  WriteAll(work_.file("b.txt"), "b");
  ShowWork();
  ASSERT_TRUE(ClickFile("b.txt"));
  TCertifikat::SetClock([] { return ToTDateTime(QDateTime::currentDateTimeUtc().addYears(5)); });
  const QString question = "Validnost certifikata na kartici istekla [vrijedi do " +
                           ValidToText(fmMain->DUDComponent->UserCertificate->ValidTo) +
                           "]. Želite li nastaviti potpisivanje?";
  ui_->answers = {mrNo};
  fmMain->actQVDPotpisivanjeExecute();
  EXPECT_EQ(BoxTexts(), QStringList{question});
  EXPECT_FALSE(QFileInfo::exists(Work("b_txt.sgn")));
  ui_->boxes.clear();
  ui_->answers = {mrYes};
  fmMain->actQVDPotpisivanjeExecute();
  EXPECT_EQ(BoxTexts(), (QStringList{question, kMsgSignSuccess}));
  EXPECT_TRUE(QFileInfo::exists(Work("b_txt.sgn")));
}

TEST_F(MainCommandsTest, TwoContactsOpenThePicker) {
  ASSERT_TRUE(StartLoggedIn());
  ASSERT_EQ(ContactCertList->UserCertificates.size(), 2u);
  SignA();
  Filter(fmMain->rbPotpisane);
  ASSERT_TRUE(ClickFile("a_txt.sgn"));
  ui_->boxes.clear();
  ModalDriver driver;
  driver.When<TfmUserCertList>([&](TfmUserCertList* d) {
    for (int i = 0; i < d->lwKontaktOsoba->topLevelItemCount(); ++i)
      d->lwKontaktOsoba->topLevelItem(i)->setCheckState(0, Qt::Checked);
    d->Accept();
    return true;
  });
  fmMain->actQVDPakiranjeExecute();
  EXPECT_TRUE(driver.Done());
  // One output name for every recipient: the second asks before it replaces the first.
  EXPECT_EQ(BoxTexts(), (QStringList{"Datoteka uspješno kriptirana za primatelja \"Ivana Horvat\"!",
                                     kMsgEncOverwrite1 + Work("a_txt.enc") + kMsgEncOverwrite2,
                                     "Datoteka uspješno kriptirana za primatelja \"Marko Maric\"!"}));

  // Cancelled picker: nothing encrypted.
  ui_->boxes.clear();
  ModalDriver cancel;
  cancel.When<TfmUserCertList>([](TfmUserCertList* d) {
    d->reject();
    return true;
  });
  fmMain->actQVDPakiranjeExecute();
  EXPECT_TRUE(cancel.Done());
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
}

TEST_F(MainCommandsTest, SaveOriginalAsksAboutBadSignaturesAndOpenKeepsTheViewingCopy) {
  ASSERT_TRUE(StartLoggedIn());
  SignA();
  // A second Signer block, a copy of the first: two signers of one container.
  QByteArray text = QByteArray::fromStdString(ReadText(work_.file("a_txt.sgn")));
  const qsizetype from = text.indexOf("<Signer>"), to = text.indexOf("</Signer>") + 9;
  ASSERT_GT(from, 0);
  text.insert(to + 1, text.mid(from - 1, to - from + 2));
  WriteAll(work_.file("a_txt.sgn"), text.toStdString());
  TCertifikat::SetClock([] { return ToTDateTime(QDateTime::currentDateTimeUtc().addYears(5)); });
  Filter(fmMain->rbPotpisane);
  ASSERT_TRUE(ClickFile("a_txt.sgn"));
  ASSERT_EQ(Rows(fmMain->lvPotpisnici).size(), 2);
  EXPECT_EQ(Rows(fmMain->lvPotpisnici).value(1).section(" | ", 3), "Neispravan");

  struct Case {
    const char* name;
    std::function<void(TfmDetPotpisa*)> answer;
    bool saved;
  } cases[] = {
      {"no", [](TfmDetPotpisa* d) { d->btnNe->click(); }, false},
      {"closed", [](TfmDetPotpisa* d) { d->reject(); }, false},
      {"yes", [](TfmDetPotpisa* d) { d->btnDa->click(); }, true},
  };
  const QString target = Work("spremljeno.txt");
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ui_->boxes.clear();
    ui_->fileAnswers = {target};
    ModalDriver driver;
    QString message;
    driver.When<TfmDetPotpisa>([&](TfmDetPotpisa* d) {
      message = d->lblMsg->text();
      k.answer(d);
      return true;
    });
    fmMain->actIzvlacenjeIzvorneExecute();
    EXPECT_TRUE(driver.Done());
    EXPECT_EQ(message, "Potpisana datoteka ima neispravnih potpisa (2). Želite li nastaviti?");
    EXPECT_EQ(QFileInfo::exists(target), k.saved);
  }
  EXPECT_EQ(ReadText(work_.file("spremljeno.txt")), "Izvješće za 2026.\n");
  TCertifikat::SetClock(nullptr);

  // Open: the viewing copy is opened with its program and deleted on close.
  QStringList opened;
  SetFileOpener([&](const QString& path) {
    opened << path;
    return true;
  });
  fmMain->actPrikaziOrigDatExecute();
  ASSERT_EQ(opened.size(), 1);
  EXPECT_EQ(*fmMain->TempFileList, opened);
  EXPECT_EQ(ReadText(opened[0].toStdString()), "Izvješće za 2026.\n");
  // An original under "Izvorne" is opened as it is and never counted as a copy.
  Filter(fmMain->rbIzvorne);
  ASSERT_TRUE(ClickFile("a.txt"));
  fmMain->actPrikaziOrigDatExecute();
  EXPECT_EQ(opened.value(1), Work("a.txt"));
  EXPECT_EQ(fmMain->TempFileList->size(), 1);
  CloseMainWindow();
  EXPECT_FALSE(QFileInfo::exists(opened[0]));
  EXPECT_TRUE(QFileInfo::exists(Work("a.txt")));
}

// Settings confirmed: the serials follow the new form in the status bar and in the
// signer list, which is read again; the registration-number panels appear.
TEST_F(MainCommandsTest, SettingsTakeEffectAtOnce) {
  ASSERT_TRUE(StartLoggedIn());
  SignA();
  Filter(fmMain->rbPotpisane);
  ASSERT_TRUE(ClickFile("a_txt.sgn"));
  EXPECT_EQ(fmMain->PanelText(2), "SB certifikata:1001");
  EXPECT_EQ(Rows(fmMain->lvPotpisnici).value(0).section(" | ", 1, 1), "1001");
  ModalDriver driver;
  driver.When<TfmPostavke>([](TfmPostavke* d) {
    d->rbDecimalno->setChecked(true);
    d->cbRadSMbr->setChecked(true);
    d->btnPotvrdi->click();
    return true;
  });
  fmMain->actPostavkeExecute();
  EXPECT_TRUE(driver.Done());
  ASSERT_TRUE(Settings);
  EXPECT_TRUE(Settings->ShowSNCertAsDecimal);
  EXPECT_EQ(fmMain->PanelText(2), "SB certifikata:4097");
  EXPECT_EQ(Rows(fmMain->lvPotpisnici).value(0).section(" | ", 1, 1), "4097");
  EXPECT_EQ(fmMain->PanelWidth(1), 100);
  EXPECT_EQ(fmMain->PanelWidth(2), 140);
  EXPECT_EQ(fmMain->PanelText(1), "Mbr: ");
  EXPECT_TRUE(fmMain->actEvidencijaMbr->isVisible());
  // Revoke compares the decimal column with the card's serial value.
  SelectSigner(0);
  EXPECT_TRUE(fmMain->actPovuciPotpis->isEnabled());
}

// Signing a large file from the main window: the progress window that start-up
// made is painted, exposed, while the file is packed and while it is digested,
// the bar moving in both steps, and it is gone when the success box comes.
TEST_F(MainCommandsTest, SigningALargeFilePaintsItsProgress) {
  ASSERT_TRUE(StartLoggedIn());
  {
    std::mt19937 random(3);
    std::string bytes(2 << 20, '\0');
    for (char& c : bytes) c = char(random());
    WriteAll(work_.file("velika.bin"), bytes);
  }
  ShowWork();
  ASSERT_TRUE(ClickFile("velika.bin"));
  ASSERT_NE(fmProgres, nullptr);
  int64_t now = 0;
  fmProgres->setClock([&] { return now += 50; });  // every update is due for a repaint
  ui_->onProcess = [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); };
  struct Paints : QObject {
    std::map<QString, std::set<int>> positions;  // by caption + description
    bool unexposed = false;
    bool eventFilter(QObject* o, QEvent* e) override {
      if (o == fmProgres && e->type() == QEvent::Paint) {
        positions[fmProgres->windowTitle() + " / " + fmProgres->lbOpis->text()].insert(
            fmProgres->ProgressBar1->value());
        if (!fmProgres->windowHandle() || !fmProgres->windowHandle()->isExposed()) unexposed = true;
      }
      return false;
    }
  } paints;
  fmProgres->installEventFilter(&paints);
  fmMain->actQVDPotpisivanjeExecute();
  ui_->onProcess = nullptr;
  fmProgres->removeEventFilter(&paints);
  EXPECT_EQ(BoxTexts(), QStringList{kMsgSignSuccess});
  EXPECT_FALSE(fmProgres->isVisible());
  EXPECT_FALSE(paints.unexposed);
  EXPECT_GE(paints.positions["velika.bin / " + kProgressZipping].size(), 3u);
  EXPECT_GE(paints.positions[kProgressSigningCaption + " / velika.bin"].size(), 3u);
}
