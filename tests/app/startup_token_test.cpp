// The program's start-up, card events and close, in-process and offscreen, with a
// private SoftHSM2 token behind our middleware module.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTreeView>

#include "app/about_box.h"
#include "app/contact_forms.h"
#include "app/main_window.h"
#include "app/mbr_register.h"
#include "app/startup.h"
#include "app_fixture.h"
#include "card/acg_component.h"
#include "card/binding.h"
#include "card/card_actions.h"
#include "card/cert_list.h"
#include "card/pin_dialogs.h"
#include "signing/progress_window.h"
#include "signing/settings.h"

using namespace appfx;

namespace {

class StartUpTest : public TokenAppTest {};

}  // namespace

TEST_F(StartUpTest, OrderStatusBarAndOrderlyClose) {
  TempDir last("last"), temp("viewing");
  SetUserValue("Last Path", QString::fromStdString(last.path()));
  SetUserValue("LogoutOnExit", "YES");
  ModalDriver driver;
  TypePin(driver, kPin);

  ASSERT_TRUE(Start());
  EXPECT_TRUE(driver.Done());
  EXPECT_EQ(trace_, (QStringList{"Title", "fmStartUp", "dmCollector", "AfterLogin without settings", "FormCreate",
                                 "FormShow", "fmMain", "fmMaticniBrojevi", "fmOprogramu", "fmProgres", "fmUser",
                                 "fmUserCertList", "fmStartUp freed"}));
  EXPECT_EQ(QCoreApplication::applicationName(), "Tarvi Sealdesk");
  ASSERT_NE(fmMain, nullptr);
  EXPECT_TRUE(fmMain->isVisible());
  EXPECT_EQ(fmMain->windowTitle(), "Tarvi Sealdesk 2.5.0.1");
  EXPECT_EQ(fmMain->windowTitle(), VersionText);
  EXPECT_NE(fmProgres, nullptr);
  EXPECT_FALSE(fmProgres->isVisible());

  // Logged in: the card certificate's serial (hex) and the token's serial.
  EXPECT_TRUE(fmMain->DUDComponent->LoggedIn);
  EXPECT_EQ(fmMain->PanelText(1), "");
  EXPECT_EQ(fmMain->PanelText(2), "SB certifikata:1001");
  EXPECT_EQ(fmMain->PanelText(3), "SB kartice: " + TokenSerial());
  EXPECT_EQ(TokenSerial().size(), 16);
  EXPECT_EQ(fmMain->PanelWidth(1), 0);  // no registration numbers
  EXPECT_EQ(fmMain->PanelWidth(2), 240);
  EXPECT_TRUE(fmMain->DUDComponent->LogOutOnClose);

  // The settings, the contacts checked against the CA, the tree at "Last Path".
  ASSERT_TRUE(Settings);
  EXPECT_EQ(InstallPath, QString::fromStdString(install_.path()) + "/");
  ASSERT_NE(ContactCertList, nullptr);
  EXPECT_EQ(ContactCertList->RootCertificates.size(), 1u);
  ASSERT_EQ(ContactCertList->UserCertificates.size(), 2u);
  EXPECT_EQ(ContactCertList->UserCertificates[0]->RootCheck, 0);
  EXPECT_EQ(ContactCertList->UserCertificates[0]->DisplayName, "Ivana Horvat");
  EXPECT_EQ(fmMain->CurrentFolder(), QString::fromStdString(last.path()));

  // Close as the exit command does: viewing copies deleted, the session logged
  // out and closed, the current folder stored.
  const std::string copy = temp.file("a.txt");
  WriteAll(copy, "x");
  fmMain->TempFileList->append(QString::fromStdString(copy));
  fmMain->TempFileList->append(QString::fromStdString(temp.file("missing.txt")));  // a failure is ignored
  fmMain->SetCurrentFolder(QString::fromStdString(temp.path()));
  CallNames();
  CloseMainWindow();
  EXPECT_TRUE(fmMain->Closed());
  EXPECT_FALSE(fmMain->isVisible());
  EXPECT_FALSE(QFile::exists(QString::fromStdString(copy)));
  EXPECT_EQ(UserValue("Last Path"), QString::fromStdString(temp.path()));
  const QStringList calls = CallNames();
  EXPECT_TRUE(calls.contains("C_Logout")) << calls.join(" ").toStdString();
  EXPECT_TRUE(calls.contains("C_CloseAllSessions")) << calls.join(" ").toStdString();
  EXPECT_EQ(trace_.back(), "FormClose");
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
}

TEST_F(StartUpTest, StatusBarWithDecimalSerialAndRegistrationNumbers) {
  SetUserValue("ShowSNCertAsDecimal", "YES");
  SetUserValue("WorkWithMBR", "YES");
  const QString mbrKey = ProgramKey() + "\\MBR";
  ASSERT_EQ(RegWriteValue(HKEY_CURRENT_USER, mbrKey, "1", "111"), 0);
  ASSERT_EQ(RegWriteValue(HKEY_CURRENT_USER, mbrKey, "2", "222"), 0);
  ASSERT_EQ(RegWriteValue(HKEY_CURRENT_USER, mbrKey, "0", "222"), 0);
  ModalDriver driver;
  TypePin(driver, kPin);
  ASSERT_TRUE(Start());

  EXPECT_EQ(fmMain->PanelText(1), "Mbr: 222");
  EXPECT_EQ(fmMain->PanelText(2), "SB certifikata:4097");
  EXPECT_EQ(fmMain->PanelWidth(1), 100);
  EXPECT_EQ(fmMain->PanelWidth(2), 140);
  EXPECT_TRUE(fmMain->actEvidencijaMbr->isVisible());
  const QList<QAction*> items = fmMain->mnuMaticniBroj->actions();
  ASSERT_EQ(items.size(), 2);
  EXPECT_EQ(items[0]->text(), "111");
  EXPECT_FALSE(items[0]->isChecked());
  EXPECT_TRUE(items[1]->isChecked());

  items[0]->trigger();
  EXPECT_EQ(SelectedMbr, "111");
  EXPECT_EQ(fmMain->PanelText(1), "Mbr: 111");
  QString chosen;
  RegReadValue(HKEY_CURRENT_USER, mbrKey, "0", chosen);
  EXPECT_EQ(chosen, "111");
  EXPECT_TRUE(fmMain->mnuMaticniBroj->actions()[0]->isChecked());
}

// Every road that ends the program at start-up ends it without the show handler
// and without the close handler: no "Last Path", the session not closed.
TEST_F(StartUpTest, TerminateAtStartUpSkipsShowAndCloseHandlers) {
  struct Case {
    const char* name;
    std::function<void(ModalDriver&)> drive;
    QStringList arguments;
    QString box;
  } cases[] = {
      {"wrong PIN", [this](ModalDriver& d) { TypePin(d, "9999"); }, {}, "Unesen je pogrešan PIN! [Error code=160]"},
      {"PIN dialog cancelled",
       [](ModalDriver& d) {
         d.When<TEnterPINDlg>([](TEnterPINDlg* p) {
           p->CancelBtn->click();
           return true;
         });
       },
       {},
       ""},
      {"terminate on the command-line road", [this](ModalDriver& d) { TypePin(d, kPin); }, {"/tmp/x.enc"}, ""},
  };
  bool first = true;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    if (!first) SetUp();
    first = false;
    SetUserValue("Last Path", "/earlier");
    bool windowsDuringRoad = true, contactsDuringRoad = false;
    TfmMain::CommandLineRoad = [&](TfmMain&, const QString& file) {
      // The road runs inside the main window's creation: no later window exists yet.
      windowsDuringRoad = fmProgres || fmUser || fmUserCertList || fmMaticniBrojevi || fmOprogramu;
      contactsDuringRoad = ContactCertList != nullptr;
      EXPECT_EQ(file, "/tmp/x.enc");
      Ui().requestTerminate();  // as the road does after a decryption
    };
    ModalDriver driver;
    k.drive(driver);
    CallNames();
    EXPECT_FALSE(Start(k.arguments));
    EXPECT_TRUE(ui_->terminateRequested());
    EXPECT_FALSE(trace_.contains("FormClose"));
    EXPECT_FALSE(trace_.contains("fmProgres"));
    EXPECT_TRUE(trace_.contains("fmStartUp freed"));
    if (k.arguments.isEmpty()) {
      EXPECT_FALSE(trace_.contains("FormShow"));
    } else {
      EXPECT_FALSE(windowsDuringRoad);
      EXPECT_TRUE(contactsDuringRoad);
    }
    if (k.box.isEmpty()) {
      EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
    } else {
      EXPECT_EQ(ui_->lastText(), k.box);
    }
    const QStringList calls = CallNames();
    EXPECT_FALSE(calls.contains("C_Logout"));
    EXPECT_FALSE(calls.contains("C_CloseAllSessions"));
    ShutDown();
    started_ = false;
    EXPECT_EQ(UserValue("Last Path"), "/earlier");
    TearDown();
  }
}

TEST_F(StartUpTest, NoCardWorkWithoutCard) {
  // The card is out before the program starts (a reader keeps that state across
  // C_Finalize); the user chooses to work without a card.
  ASSERT_EQ(module_->f->C_Initialize(nullptr), CKR_OK);
  ASSERT_EQ(module_->ctl.acpkcs_ctl_set_card_present(TokenIndex(), 0), 0);
  ASSERT_EQ(module_->f->C_Finalize(nullptr), CKR_OK);
  ModalDriver driver;
  driver.When<TEnterPINDlg>([](TEnterPINDlg* d) {
    EXPECT_FALSE(d->CardPresentFlag);
    EXPECT_FALSE(d->OKBtn->isEnabled());
    d->cbWorkWithoutCard->click();
    d->OKBtn->click();
    return true;
  });
  ASSERT_TRUE(Start());
  EXPECT_TRUE(driver.Done());
  EXPECT_FALSE(fmMain->DUDComponent->LoggedIn);
  EXPECT_EQ(fmMain->PanelText(2), "odjavljen");
  EXPECT_EQ(UserValue("Last WorkWithoutCard"), "YES");
  EXPECT_FALSE(ui_->terminateRequested());
  CloseMainWindow();
  EXPECT_NE(UserValue("Last Path"), "<missing>");
}

// A module that lacks a standard function: whichever button of the check list the
// user presses, the main window's component runs on without a card library.
TEST_F(StartUpTest, BindingFailsContinueAndStop) {
  struct Case {
    const char* name;
    bool proceed;
  } cases[] = {{"Nastavi", true}, {"Prekini", false}};
  bool first = true;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    if (!first) SetUp();
    first = false;
    UseModuleFile("libacpkcs_nodigestkey.so");
    ModalDriver driver;
    driver.When<TErrorLoadingDlg>([&k](TErrorLoadingDlg* d) {
      (k.proceed ? d->ContinueBtn : d->FinishBtn)->click();
      return true;
    });
    ASSERT_TRUE(Start());
    EXPECT_TRUE(driver.Done());
    EXPECT_FALSE(ui_->terminateRequested());
    EXPECT_FALSE(fmMain->DUDComponent->LibraryInitialized);
    EXPECT_EQ(fmMain->PanelText(2), "odjavljen");
    EXPECT_TRUE(trace_.contains("fmProgres"));
    EXPECT_EQ(ui_->boxes.size(), k.proceed ? 1u : 0u);
    if (k.proceed) {
      EXPECT_EQ(ui_->lastText(), kMsgMinimalSet);
    }
    CloseMainWindow();
    ShutDown();
    started_ = false;
    TearDown();
  }
}

// The card taken out and put back while the main window is up.
TEST_F(StartUpTest, CardRemovalAndInsertion) {
  ModalDriver start;
  TypePin(start, kPin);
  ASSERT_TRUE(Start());
  const QString serialPanel = "SB kartice: " + TokenSerial();
  const int card = TokenIndex();  // while the card is in
  ASSERT_EQ(fmMain->PanelText(3), serialPanel);

  // A removal notice other than 2: logged out, the card serial stays, no login.
  module_->ctl.acpkcs_ctl_set_removal_event(4);
  ASSERT_EQ(module_->ctl.acpkcs_ctl_set_card_present(card, 0), 0);
  ASSERT_TRUE(SpinUntil([] { return !fmMain->DUDComponent->LoggedIn; }));
  SpinUntil([] { return false; }, 100);
  EXPECT_EQ(fmMain->PanelText(2), "odjavljen");
  EXPECT_EQ(fmMain->PanelText(3), serialPanel);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  // Put back while no one is logged in: the login is offered again.
  {
    ModalDriver insertion;
    TypePin(insertion, kPin);
    ASSERT_EQ(module_->ctl.acpkcs_ctl_set_card_present(card, 1), 0);
    ASSERT_TRUE(SpinUntil([&] { return insertion.Done() && fmMain->DUDComponent->LoggedIn; }));
  }
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

  // Logged in again, then a removal notice 2: the card serial is emptied and a
  // new login waits for the card; putting it back and typing the PIN logs in.
  ASSERT_TRUE(fmMain->DUDComponent->LoggedIn);
  module_->ctl.acpkcs_ctl_set_removal_event(2);
  QString panelWhileWaiting, panel2WhileWaiting;
  ModalDriver removal;
  removal.When<TEnterPINDlg>([&](TEnterPINDlg* d) {
    panelWhileWaiting = fmMain->PanelText(3);
    panel2WhileWaiting = fmMain->PanelText(2);
    EXPECT_FALSE(d->CardPresentFlag);
    module_->ctl.acpkcs_ctl_set_card_present(card, 1);
    return true;
  });
  TypePin(removal, kPin);
  ASSERT_EQ(module_->ctl.acpkcs_ctl_set_card_present(card, 0), 0);
  ASSERT_TRUE(SpinUntil([&] { return removal.Done(); }));
  EXPECT_EQ(panelWhileWaiting, "");
  EXPECT_EQ(panel2WhileWaiting, "odjavljen");
  ASSERT_TRUE(SpinUntil([] { return fmMain->DUDComponent->LoggedIn; }));
  EXPECT_EQ(fmMain->PanelText(2), "SB certifikata:1001");
  EXPECT_EQ(fmMain->PanelText(3), serialPanel);
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
  CloseMainWindow();
}
