// The program started with a file name, in-process with a private SoftHSM2 token:
// a signed container or a plain file is selected and shown; an encrypted container
// is decrypted at once, its original saved without a dialog, and the program ends
// without its close handler.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <iterator>

#include "card/cert_list.h"
#include "main_fixture.h"
#include "signing/decrypt.h"
#include "signing/encrypt.h"
#include "signing/progress_window.h"
#include "signing/sign_file.h"

using namespace appfx;

namespace {

class CommandLineTest : public MainTokenTest {
 protected:
  // In a first run of the program: a.txt signed into a_txt.sgn in folder, and that
  // container encrypted for recipient (the card's own certificate when null) into
  // a_txt.enc. The program is ended afterwards.
  void Prepare(const QString& folder, bool encrypt, int contact = -1) {
    ASSERT_TRUE(StartLoggedIn());
    WriteAll((folder + "/a.txt").toStdString(), "Ponuda br. 7\n");
    ASSERT_EQ(
        SignFile(CurrentSession, InstallPath, folder + "/a.txt", true, fmMain->DUDComponent->UserCertSerial, 0, false),
        0);
    if (encrypt) {
      const TCertifikat& to =
          contact < 0 ? *fmMain->DUDComponent->UserCertificate : *ContactCertList->UserCertificates[size_t(contact)];
      QString out;
      ASSERT_EQ(EncryptForRecipient("", InstallPath, folder + "/a_txt.sgn", out, true, kReportBoxes, to), 0);
    }
    EndProgram();
  }
};

}  // namespace

TEST_F(CommandLineTest, SignedContainerOrPlainFileIsOnlySelected) {
  struct Case {
    const char* name;
    QString folder;
    QString file;
    QRadioButton* TfmMain::*filter;
    int signers;
  } cases[] = {
      {"signed container", Work(), "a_txt.sgn", &TfmMain::rbPotpisane, 1},
      // Only the file's own name tells its kind, not a folder on its path.
      {"signed container in a folder named like one", Work("x.sgn"), "a_txt.sgn", &TfmMain::rbPotpisane, 1},
      {"plain file", Work(), "a.txt", &TfmMain::rbIzvorne, 0},
  };
  ASSERT_TRUE(QDir().mkdir(Work("x.sgn")));
  bool first = true;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    if (!first) SetUp();
    first = false;
    Prepare(k.folder, false);
    const QString path = k.folder + "/" + k.file;
    ASSERT_TRUE(StartLoggedIn({path}));
    EXPECT_FALSE(ui_->terminateRequested());
    EXPECT_TRUE((fmMain->*k.filter)->isChecked());
    EXPECT_EQ(fmMain->CurrentFolder(), k.folder);
    EXPECT_EQ(fmMain->SelectedFile(), path);
    EXPECT_EQ(fmMain->windowTitle(), VersionText + " [" + path + "]");
    EXPECT_EQ(fmMain->lvPotpisnici->topLevelItemCount(), k.signers);
    EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
    EXPECT_TRUE(trace_.contains("fmProgres"));
    TearDown();
  }
}

TEST_F(CommandLineTest, EncryptedContainerIsDecryptedItsOriginalSavedAndTheProgramEnds) {
  Prepare(Work(), true);
  TempDir incoming("incoming");
  const QString enc = QString::fromStdString(incoming.file("a_txt.enc"));
  ASSERT_TRUE(QFile::rename(Work("a_txt.enc"), enc));
  SetUserValue("Last Path", "/earlier");
  CallNames();

  EXPECT_FALSE(StartWithPin({enc}));
  EXPECT_TRUE(ui_->terminateRequested());
  const QString sgn = QString::fromStdString(incoming.file("a_txt.sgn"));
  const QString original = QString::fromStdString(incoming.file("a.txt"));
  EXPECT_EQ(LastDecryptedFile, sgn);
  ASSERT_EQ(ui_->boxes.size(), 2u) << ui_->lastText().toStdString();
  EXPECT_TRUE(ui_->boxes[0].text.startsWith(kMsgDecSuccess));
  EXPECT_EQ(ui_->boxes[1].kind, MsgKind::Information);
  EXPECT_EQ(ui_->boxes[1].text, "Izvorna datoteka uspješno pohranjena [" + original + "]");
  EXPECT_EQ(ReadText(original.toStdString()), "Ponuda br. 7\n");
  // Left on the signed container, its signer listed; ended without the close handler.
  EXPECT_TRUE(fmMain->rbPotpisane->isChecked());
  EXPECT_EQ(fmMain->SelectedFile(), sgn);
  EXPECT_EQ(fmMain->lvPotpisnici->topLevelItemCount(), 1);
  EXPECT_FALSE(fmMain->AutoExtract);
  EXPECT_FALSE(trace_.contains("FormClose"));
  EXPECT_FALSE(fmMain->Closed());
  EXPECT_EQ(UserValue("Last Path"), "/earlier");
  EXPECT_FALSE(CallNames().contains("C_CloseAllSessions"));
}

TEST_F(CommandLineTest, FailedDecryptionKeepsTheProgramOpen) {
  Prepare(Work(), true, 0);  // for a contact, not for this card
  ASSERT_TRUE(QFile::remove(Work("a_txt.sgn")));
  const QString enc = Work("a_txt.enc");
  ASSERT_TRUE(StartLoggedIn({enc}));
  EXPECT_FALSE(ui_->terminateRequested());
  EXPECT_TRUE(LastDecryptedFile.isEmpty());
  ASSERT_FALSE(ui_->boxes.empty());
  EXPECT_EQ(ui_->lastText(), kMsgDecWrongCard);
  EXPECT_FALSE(QFileInfo::exists(Work("a_txt.sgn")));
  EXPECT_TRUE(fmMain->rbPakirane->isChecked());
  EXPECT_EQ(fmMain->SelectedFile(), enc);
  EXPECT_EQ(fmMain->lwPrimatelj->topLevelItemCount(), 1);
  // The road's progress window was freed; start-up made its own.
  EXPECT_TRUE(trace_.contains("fmProgres"));
  EXPECT_NE(fmProgres, nullptr);
}

// The customer edition's program (its file named QVDQUILLMARK, on some systems
// with ".exe") takes ".qvd" files as encrypted containers: listed under
// "Kriptirane", not under "Izvorne", and decrypted when named on the command
// line. Any other program name leaves them plain files.
TEST_F(CommandLineTest, TheCustomerEditionTakesQvdFilesAsEncrypted) {
  Prepare(Work(), true);
  TempDir incoming("incoming");
  const QString qvd = QString::fromStdString(incoming.file("a_txt.qvd"));
  ASSERT_TRUE(QFile::rename(Work("a_txt.enc"), qvd));
  const QString sgn = QString::fromStdString(incoming.file("a_txt.sgn"));
  const QString original = QString::fromStdString(incoming.file("a.txt"));
  const struct {
    const char* programName;  // as the start-up finds it: upper-cased
    bool customer;
  } cases[] = {
      {"TARVISEALDESK", false},   {"QVDQUILLMARK.EXE.OLD", false}, {"XQVDQUILLMARK", false},
      {"QVDQUILLMARK.EXE", true}, {"QVDQUILLMARK", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.programName);
    const bool last = &c == &cases[std::size(cases) - 1];
    // The road runs inside start-up, after the program has found its own name.
    TfmMain::CommandLineRoad = [&](TfmMain& window, const QString& file) {
      ExeName = c.programName;
      window.OpenCommandLineFile(file);
    };
    const bool running = StartWithPin({last ? qvd : QString::fromStdString(incoming.file("nothing.txt"))});
    TfmMain::CommandLineRoad = nullptr;
    if (!last) {
      ASSERT_TRUE(running);
      fmMain->SetCurrentFolder(QString::fromStdString(incoming.path()));
      Filter(fmMain->rbIzvorne);
      EXPECT_EQ(FileNames().contains("a_txt.qvd"), !c.customer);
      Filter(fmMain->rbPakirane);
      EXPECT_EQ(FileNames().contains("a_txt.qvd"), c.customer);
      if (c.customer) {
        ASSERT_TRUE(ClickFile("a_txt.qvd"));
        EXPECT_EQ(fmMain->lwPrimatelj->topLevelItemCount(), 1);
      } else {
        // Named on the command line, it is only selected as a plain file.
        Filter(fmMain->rbIzvorne);
        fmMain->OpenCommandLineFile(qvd);
        EXPECT_TRUE(fmMain->rbIzvorne->isChecked());
        EXPECT_EQ(fmMain->SelectedFile(), qvd);
        EXPECT_FALSE(ui_->terminateRequested());
        EXPECT_FALSE(QFileInfo::exists(sgn));
      }
      EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
      EndProgram();
      continue;
    }
    // The whole road: decrypted at once, the original saved, the program ended.
    EXPECT_FALSE(running);
    EXPECT_TRUE(ui_->terminateRequested());
    EXPECT_EQ(LastDecryptedFile, sgn);
    EXPECT_EQ(ReadText(original.toStdString()), "Ponuda br. 7\n");
    ASSERT_EQ(ui_->boxes.size(), 2u) << ui_->lastText().toStdString();
    EXPECT_EQ(ui_->boxes[1].text, "Izvorna datoteka uspješno pohranjena [" + original + "]");
  }
}
