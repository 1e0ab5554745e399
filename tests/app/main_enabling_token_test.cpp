// Which of the main window's commands the user can reach, read off the tool bar's
// buttons and the menus as they are shown, never by asking the window to
// recompute: logged in, logged out after the card was taken out, working without a
// card from the start, for each kind of selection in the lists. And the login
// offered again after the user chose to work without a card.
#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QToolBar>
#include <QTreeWidget>

#include "card/acg_component.h"
#include "card/card_actions.h"
#include "card/pin_dialogs.h"
#include "main_fixture.h"
#include "signing/encrypt.h"
#include "signing/sign_file.h"

using namespace appfx;

namespace {

// The commands whose enabling depends on the state, in the order of the expected
// texts below: one letter each, '1' enabled, '0' disabled.
struct Command {
  const char* name;
  QAction* TfmMain::*action;
};
const Command kCommands[] = {
    {"Otvori datoteku", &TfmMain::actPrikaziOrigDat},
    {"Potpiši", &TfmMain::actQVDPotpisivanje},
    {"Kriptiraj", &TfmMain::actQVDPakiranje},
    {"Kriptiraj i pošalji", &TfmMain::actKriptAndSend},
    {"Pohrani izvornu", &TfmMain::actIzvlacenjeIzvorne},
    {"Ispiši podatke", &TfmMain::actCoverPage},
    {"Dekriptiraj", &TfmMain::actProvjeraPotpisa},
    {"Pošalji e-mail", &TfmMain::actSendeMail},
    {"Povuci potpis", &TfmMain::actPovuciPotpis},
    {"Dodaj u kontakt osobe", &TfmMain::actDodajUKO},
    {"Analitika potpisa", &TfmMain::actDetPotpisa},
};
// Always enabled, whatever the state.
QAction* TfmMain::*const kAlways[] = {&TfmMain::actOsvjeziPrikaz,     &TfmMain::actEvidencijaMbr,
                                      &TfmMain::actAdminKontaktOsoba, &TfmMain::actPostavke,
                                      &TfmMain::actOProgramu,         &TfmMain::actIzlaz};

// The enabled state of an action as the user meets it: its tool-bar button when
// it has one, and every menu that lists it (menus draw their items from it); all
// must agree, else "?" is returned.
QString Shown(QAction* a) {
  if (!a->isVisible()) return "hidden";  // e.g. the register without registration numbers
  QList<bool> seen;
  if (QWidget* button = fmMain->tbAlati->widgetForAction(a)) seen << button->isEnabled();
  for (QMenu* menu :
       {fmMain->mnuDatoteka, fmMain->mnuPregled, fmMain->mnuPomoc, fmMain->pmDatoteke, fmMain->pmPotpisnici})
    if (menu->actions().contains(a)) seen << a->isEnabled();
  if (fmMain->actions().contains(a)) seen << a->isEnabled();  // shortcut only
  if (seen.isEmpty()) return "-";
  for (bool s : seen)
    if (s != seen.first()) return "?";
  return seen.first() ? "1" : "0";
}

QString ShownCommands() {
  QString out;
  for (const Command& c : kCommands) out += Shown(fmMain->*c.action);
  return out;
}

class MainEnablingTest : public MainTokenTest {
 protected:
  // a.txt, its container a_txt.sgn signed by the card, and a_txt.enc encrypted for
  // the card's own certificate.
  void MakeFiles() {
    WriteAll(work_.file("a.txt"), "Zapisnik\n");
    ASSERT_EQ(
        SignFile(CurrentSession, InstallPath, Work("a.txt"), true, fmMain->DUDComponent->UserCertSerial, 0, false),
        sfrOk);
    QString out;
    ASSERT_EQ(EncryptForRecipient("", InstallPath, Work("a_txt.sgn"), out, true, kReportBoxes,
                                  *fmMain->DUDComponent->UserCertificate),
              kEncryptOk);
    ShowWork();
  }

  // One selection of the lists, made as the user makes it.
  struct Selection {
    const char* name;
    QRadioButton* TfmMain::*filter;
    QString file;  // "" for none
    bool signerRow;
    // Expected for kCommands, logged in and not logged in.
    QString loggedIn, loggedOut;
  };

  void Select(const Selection& s) {
    Filter(fmMain->*s.filter);
    if (!s.file.isEmpty()) {
      ASSERT_TRUE(ClickFile(s.file)) << s.file.toStdString();
    }
    if (s.signerRow) {
      ASSERT_GT(fmMain->lvPotpisnici->topLevelItemCount(), 0);
      fmMain->lvPotpisnici->topLevelItem(0)->setSelected(true);
    }
    QCoreApplication::processEvents();
  }

  void ExpectTable(const char* state, bool loggedIn) {
    SCOPED_TRACE(state);
    const Selection selections[] = {
        {"Izvorne, nothing selected", &TfmMain::rbIzvorne, "", false, "00000000000", "00000000000"},
        {"Izvorne, a.txt", &TfmMain::rbIzvorne, "a.txt", false, "11000000000", "10000000000"},
        {"Potpisane, nothing selected", &TfmMain::rbPotpisane, "", false, "00000000000", "00000000000"},
        {"Potpisane, a_txt.sgn", &TfmMain::rbPotpisane, "a_txt.sgn", false, "11111100001", "10111100001"},
        {"Potpisane, a_txt.sgn, own signer", &TfmMain::rbPotpisane, "a_txt.sgn", true, "11111100111", "10111100011"},
        {"Kriptirane, nothing selected", &TfmMain::rbPakirane, "", false, "00000000000", "00000000000"},
        {"Kriptirane, a_txt.enc", &TfmMain::rbPakirane, "a_txt.enc", false, "00000011000", "00000001000"},
    };
    for (const Selection& s : selections) {
      SCOPED_TRACE(s.name);
      ASSERT_NO_FATAL_FAILURE(Select(s));
      EXPECT_EQ(ShownCommands(), loggedIn ? s.loggedIn : s.loggedOut);
      for (QAction* TfmMain::*a : kAlways)
        EXPECT_NE(Shown(fmMain->*a), "0") << (fmMain->*a)->objectName().toStdString();
      // The login command is there whenever no one is logged in.
      EXPECT_EQ(fmMain->DUDLogin1->isEnabled(), !loggedIn);
    }
  }

  // Answers the PIN dialog: with the PIN (taking off "Rad bez kartice" when it
  // starts checked), or with "Rad bez kartice".
  static void Answer(ModalDriver& driver, bool withoutCard, bool needCard = true) {
    driver.When<TEnterPINDlg>([=](TEnterPINDlg* d) {
      if (withoutCard) {
        if (!d->cbWorkWithoutCard->isChecked()) d->cbWorkWithoutCard->click();
      } else {
        if (needCard && !d->CardPresentFlag) return false;
        if (d->cbWorkWithoutCard->isChecked()) d->cbWorkWithoutCard->click();
        d->PINCodeEdit->setText(kPin);
      }
      d->OKBtn->click();
      return true;
    });
  }
};

}  // namespace

TEST_F(MainEnablingTest, EveryCommandFollowsTheLoginAndTheSelection) {
  ASSERT_TRUE(StartLoggedIn());
  ASSERT_NO_FATAL_FAILURE(MakeFiles());
  ASSERT_NO_FATAL_FAILURE(ExpectTable("logged in", true));
  // The login command sits in "&Datoteka", before the exit.
  const QList<QAction*> file = fmMain->mnuDatoteka->actions();
  ASSERT_GE(file.size(), 3);
  EXPECT_EQ(file[file.size() - 3], fmMain->DUDLogin1);
  EXPECT_EQ(fmMain->DUDLogin1->text(), "&Prijava na karticu");
  EXPECT_FALSE(fmMain->pmDatoteke->actions().contains(fmMain->DUDLogin1));

  // The card taken out while a plain file is selected: the login is asked for at
  // once, the user chooses to work without a card, and signing is no longer
  // offered, without any other click.
  Filter(fmMain->rbIzvorne);
  ASSERT_TRUE(ClickFile("a.txt"));
  ASSERT_EQ(ShownCommands(), "11000000000");
  const int card = TokenIndex();
  module_->ctl.acpkcs_ctl_set_removal_event(2);
  {
    ModalDriver removal;
    Answer(removal, true);
    ASSERT_EQ(module_->ctl.acpkcs_ctl_set_card_present(card, 0), 0);
    ASSERT_TRUE(SpinUntil([&] { return removal.Done() && !fmMain->DUDComponent->LoginInProgress; }));
  }
  ASSERT_FALSE(fmMain->DUDComponent->LoggedIn);
  EXPECT_EQ(fmMain->PanelText(2), "odjavljen");
  EXPECT_EQ(ShownCommands(), "10000000000");
  EXPECT_TRUE(fmMain->DUDLogin1->isEnabled());
  ASSERT_NO_FATAL_FAILURE(ExpectTable("logged out after card removal", false));

  // The card put back: the login is offered again, and signing comes back.
  Filter(fmMain->rbIzvorne);
  ASSERT_TRUE(ClickFile("a.txt"));
  {
    ModalDriver insertion;
    Answer(insertion, false);
    ASSERT_EQ(module_->ctl.acpkcs_ctl_set_card_present(card, 1), 0);
    ASSERT_TRUE(SpinUntil([&] { return insertion.Done() && fmMain->DUDComponent->LoggedIn; }));
  }
  EXPECT_EQ(ShownCommands(), "11000000000");
  EXPECT_FALSE(fmMain->DUDLogin1->isEnabled());
  EXPECT_TRUE(ui_->boxes.empty()) << ui_->lastText().toStdString();
  EndProgram();

  // Working without a card from the start (the choice remembered, the card in).
  ModalDriver start;
  Answer(start, true);
  ASSERT_TRUE(Start());
  EXPECT_TRUE(start.Done());
  ASSERT_FALSE(fmMain->DUDComponent->LoggedIn);
  ShowWork();
  ASSERT_NO_FATAL_FAILURE(ExpectTable("working without a card", false));

  // The menu's login command: the PIN dialog again, and then signing.
  Filter(fmMain->rbIzvorne);
  ASSERT_TRUE(ClickFile("a.txt"));
  ModalDriver login;
  Answer(login, false);
  fmMain->DUDLogin1->trigger();
  EXPECT_TRUE(login.Done());
  ASSERT_TRUE(fmMain->DUDComponent->LoggedIn);
  EXPECT_EQ(fmMain->PanelText(2), "SB certifikata:1001");
  EXPECT_EQ(ShownCommands(), "11000000000");
  EXPECT_FALSE(ui_->terminateRequested());
}
