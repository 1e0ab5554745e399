// Logging in on the card: the PIN dialog with its poll, the order of checks and
// codes of Login and which roads end the program, working without a card, and the
// dialog that waits for a card.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <cstring>

#include "acg_fixture.h"
#include "card/card_objects.h"
#include "card/certificate.h"
#include "card/pin_dialogs.h"
#include "card/registry.h"

using namespace acgfx;

namespace {

class CardLogin : public CardTest {
 protected:
  static void SetUpTestSuite() { MakeTokens({{"Alpha", "0x1001"}}); }
  static void TearDownTestSuite() { DropTokens(); }

  QString ProgramKey() const { return "SOFTWARE\\VodezOdir\\" + programName_; }
  QString LastWorkWithoutCard() const {
    QString v = QStringLiteral("<absent>");
    RegReadValue(HKEY_CURRENT_USER, ProgramKey(), QStringLiteral("Last WorkWithoutCard"), v);
    return v;
  }
  void SetUp() override {
    CardTest::SetUp();
    module_->ctl.acpkcs_ctl_record(1);
  }
  // How many of the sessions opened since the log was last read are still open
  // (SoftHSM2 keeps no session count in its token information).
  int OpenSessions() {
    int open = 0;
    for (const std::string& l : Calls()) {
      if (l.rfind("C_OpenSession ", 0) != 0 || l.find("-> 0x0") == std::string::npos) continue;
      const size_t at = l.find("phSession=&0x");
      if (at == std::string::npos) continue;
      const CK_SESSION_HANDLE h = std::stoul(l.substr(at + 13), nullptr, 16);
      CK_SESSION_INFO info{};
      open += module_->f->C_GetSessionInfo(h, &info) == CKR_OK;
    }
    return open;
  }
  // Takes every card out before the component loads (cards stay out across
  // initialisations, as readers do).
  void CardsOutBeforeLoading(bool oneReader) {
    ASSERT_EQ(module_->f->C_Initialize(nullptr), CKR_OK);
    IndexOfToken(0);  // remembered while the card is still in
    if (oneReader) module_->ctl.acpkcs_ctl_hide_uninitialised_slots(1);
    AllCardsOut();
    ASSERT_EQ(module_->f->C_Finalize(nullptr), CKR_OK);
  }
  // Types the PIN and confirms, once the dialog lets the user.
  static std::function<bool(TEnterPINDlg*)> Enter(const QString& pin) {
    return [pin](TEnterPINDlg* d) {
      if (d->PINCodeEdit->text() != pin) d->PINCodeEdit->setText(pin);
      if (!d->OKBtn->isEnabled()) return false;
      d->OKBtn->click();
      return true;
    };
  }
};

TEST_F(CardLogin, TheRightPinLogsInAtStartUp) {
  TACGComponent& c = Make(amLogin);
  bool checked = false;
  ModalDriver drive;
  drive.When<TEnterPINDlg>([&](TEnterPINDlg* d) {
    checked = true;
    EXPECT_EQ(d->windowTitle(), programName_ + " - Prijava na karticu");
    EXPECT_EQ(d->Label1->text(), QStringLiteral("Unesite PIN"));
    EXPECT_EQ(d->lbInfo->text(), QStringLiteral("Kartica umetnuta"));
    EXPECT_EQ(d->sbStatus->currentMessage(), QStringLiteral("Odabrali ste: Rad s karticom"));
    EXPECT_TRUE(d->pnlBirajCitac->isVisible());  // two readers
    EXPECT_EQ(d->lbCitaca->count(), 2);
    EXPECT_EQ(d->lbCitaca->currentRow(), 0);
    EXPECT_EQ(d->PINCodeEdit->echoMode(), QLineEdit::Password);
    EXPECT_EQ(d->PINCodeEdit->maxLength(), 50);
    EXPECT_FALSE(d->cbWorkWithoutCard->isChecked());
    EXPECT_FALSE(d->OKBtn->isEnabled());  // no PIN yet
    d->PINCodeEdit->setText(QStringLiteral("   "));
    EXPECT_FALSE(d->OKBtn->isEnabled());  // blanks are no PIN
    EXPECT_TRUE(c.LoginInProgress);
    return Enter("1234")(d);
  });
  c.Loaded();
  EXPECT_TRUE(checked);
  EXPECT_FALSE(c.LoginInProgress);
  EXPECT_FALSE(ui_->terminateRequested());
  EXPECT_TRUE(c.LoggedIn);
  EXPECT_TRUE(c.Connected());
  EXPECT_EQ(events_.lines, (QStringList{"AfterOpen", "AfterLogin"}));
  EXPECT_TRUE(c.PIN.empty());  // the typed PIN served this login only
  EXPECT_EQ(c.UserCertSerialHex, QStringLiteral("1001"));
  EXPECT_EQ(c.UserCertSerial, 0x1001);
  EXPECT_TRUE(c.UserCertificate->Loaded);
  EXPECT_EQ(CurrentSession, c.SessionHandle);
  EXPECT_EQ(LastWorkWithoutCard(), QStringLiteral("NO"));
  // The session the dialog's poll opened is gone again; only the component's is left.
  EXPECT_EQ(OpenSessions(), 1);
  EXPECT_FALSE(ui_->waitCursor());

  // Once logged in, Login says so and asks nothing.
  bool asked = false;
  ModalDriver none;
  none.When<QDialog>([&](QDialog* d) {
    asked = true;
    d->reject();
    return true;
  });
  events_.lines.clear();
  EXPECT_TRUE(c.Login());
  EXPECT_FALSE(asked);
  EXPECT_EQ(events_.lines, QStringList{"LoginError -2 Korisnik je već logiran!"});
}

// Asked for the PIN while the component already holds a public session on the
// card (the login action after amOpen): the dialog's poll opens a session of its
// own, and closing that one afterwards leaves the component's session working.
TEST_F(CardLogin, ThePollsSessionGoesAndTheComponentsStays) {
  TACGComponent& c = Make(amNone);
  c.Loaded();
  c.SetConnected(true);
  ASSERT_TRUE(c.Connected());
  const CK_SESSION_HANDLE own = c.SessionHandle;
  CK_SESSION_HANDLE poll = 0;
  ModalDriver drive;
  drive.When<TEnterPINDlg>([&](TEnterPINDlg* d) {
    poll = d->PollSession;
    return Enter("1234")(d);
  });
  EXPECT_TRUE(c.Login()) << events_.Joined().toStdString();
  EXPECT_NE(poll, 0u);
  EXPECT_NE(poll, own);
  EXPECT_EQ(c.SessionHandle, own);
  EXPECT_EQ(CurrentSession, own);
  EXPECT_TRUE(c.LoggedIn);
  EXPECT_EQ(c.UserCertSerial, 0x1001);
  EXPECT_EQ(OpenSessions(), 1);
}

// Every failing road, at start-up (amLogin: the program ends) and called later
// with amNone (it goes on).
TEST_F(CardLogin, FailuresTakeTheirRoads) {
  struct Case {
    const char* what;
    std::function<void(Acpkcs&)> arrange;
    std::function<bool(TEnterPINDlg*)> dialog;  // empty: OnLogin gives an empty PIN
    QStringList events;
  };
  auto escape = [](TEnterPINDlg* d) {
    d->PINCodeEdit->setText("1234");
    PressEscape(d);
    return true;
  };
  auto cancel = [](TEnterPINDlg* d) {
    d->CancelBtn->click();
    return true;
  };
  const std::vector<Case> cases = {
      {"a wrong PIN", [](Acpkcs&) {}, Enter("9999"), {"AfterOpen", "LoginError 160 Unesen je pogrešan PIN!"}},
      {"a wrong PIN, one try left",
       [](Acpkcs& m) { m.ctl.acpkcs_ctl_set_pin_policy(2); },
       Enter("9999"),
       {"AfterOpen", "LoginError 160 Unesen je pogrešan PIN! Ovo je posljednji pokušaj!"}},
      {"a wrong PIN that locks the card",
       [](Acpkcs& m) { m.ctl.acpkcs_ctl_set_pin_policy(1); },
       Enter("9999"),
       {"AfterOpen", "LoginError 160 Unesen je pogrešan PIN! Kartica je zaključana!"}},
      {"a card locked already",
       [](Acpkcs& m) { m.ctl.acpkcs_ctl_token_flags(-1, CKF_USER_PIN_LOCKED, ~0UL); },
       Enter("1234"),
       {"AfterOpen", "LoginError 164 Kartica je zaključana!"}},
      {"the module says the PIN is locked",
       [](Acpkcs& m) { m.ctl.acpkcs_ctl_fail("C_Login", CKR_PIN_LOCKED, 1); },
       Enter("1234"),
       {"AfterOpen", "LoginError 164 Kartica je zaključana!"}},
      {"the module says the PIN is invalid",
       [](Acpkcs& m) { m.ctl.acpkcs_ctl_fail("C_Login", CKR_PIN_INVALID, 1); },
       Enter("1234"),
       {"AfterOpen", "LoginError 161 Unesen je pogrešan PIN!"}},
      {"another login failure",
       [](Acpkcs& m) { m.ctl.acpkcs_ctl_fail("C_Login", CKR_DEVICE_ERROR, 1); },
       Enter("1234"),
       {"AfterOpen", "LoginError 48 CKR_DEVICE_ERROR"}},
      {"the session cannot be opened",
       // The dialog's poll opens the first session, the component the second.
       [](Acpkcs& m) { m.ctl.acpkcs_ctl_fail("C_OpenSession", CKR_DEVICE_ERROR, 2); },
       Enter("1234"),
       {"OpenSessionError 48 CKR_DEVICE_ERROR", "LoginError -3 Greška pri otvaranju sesije!"}},
      {"an empty PIN", [](Acpkcs&) {}, {}, {"AfterOpen", "LoginError -1 PIN nije definiran!"}},
      {"Esc in the PIN dialog", [](Acpkcs&) {}, escape, {}},
      {"Odustani in the PIN dialog", [](Acpkcs&) {}, cancel, {}},
  };
  for (TAutoMode mode : {amLogin, amNone}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(std::string(k.what) + (mode == amLogin ? " at start-up" : " later"));
      TACGComponent& c = Make(mode);
      if (!k.dialog) c.OnLogin = [](TACGComponent*, TPin& pin) { pin.clear(); };
      k.arrange(*module_);
      ModalDriver drive;
      if (k.dialog) drive.When<TEnterPINDlg>(k.dialog);
      c.Loaded();
      if (mode == amNone) {
        EXPECT_TRUE(events_.lines.isEmpty()) << events_.Joined().toStdString();
        EXPECT_FALSE(c.Login());
      }
      EXPECT_TRUE(drive.Done());
      EXPECT_EQ(events_.lines, k.events);
      EXPECT_EQ(ui_->terminateRequested(), mode == amLogin);
      EXPECT_FALSE(c.LoggedIn);
      EXPECT_FALSE(c.LoginInProgress);
      EXPECT_TRUE(c.PIN.empty());  // a typed PIN is not kept
      EXPECT_FALSE(ui_->waitCursor());
      Destroy();
      ui_->clearTerminate();
      module_->ctl.acpkcs_ctl_reset();
      module_->f->C_Finalize(nullptr);
    }
  }
}

// One reader with a card: Login opens the session before asking, and when that
// fails it reports it without ending the program, even at start-up.
TEST_F(CardLogin, AFirstOpenFailureWithOneReaderDoesNotEndTheProgram) {
  module_->ctl.acpkcs_ctl_hide_uninitialised_slots(1);
  module_->ctl.acpkcs_ctl_fail("C_OpenSession", CKR_DEVICE_ERROR, 1);
  TACGComponent& c = Make(amLogin);
  bool asked = false;
  ModalDriver drive;
  drive.When<QDialog>([&](QDialog* d) {
    asked = true;
    d->reject();
    return true;
  });
  c.Loaded();
  EXPECT_EQ(c.ReaderCount, 1);
  EXPECT_FALSE(asked);
  EXPECT_EQ(events_.lines,
            (QStringList{"OpenSessionError 48 CKR_DEVICE_ERROR", "LoginError -3 Greška pri otvaranju sesije!"}));
  EXPECT_FALSE(ui_->terminateRequested());
  EXPECT_FALSE(c.LoginInProgress);
  EXPECT_FALSE(ui_->waitCursor());
}

TEST_F(CardLogin, WorkingWithoutACard) {
  RegWriteValue(HKEY_CURRENT_USER, ProgramKey(), QStringLiteral("Last WorkWithoutCard"), QStringLiteral("yes"));
  TACGComponent& c = Make(amLogin);
  c.PIN = TPin::FromText(QStringLiteral("kept"));
  ModalDriver drive;
  drive.When<TEnterPINDlg>([](TEnterPINDlg* d) {
    EXPECT_TRUE(d->cbWorkWithoutCard->isChecked());
    EXPECT_EQ(d->sbStatus->currentMessage(), QStringLiteral("Odabrali ste: Rad bez kartice"));
    EXPECT_FALSE(d->PINCodeEdit->isEnabled());
    EXPECT_FALSE(d->pnlBirajCitac->isEnabled());
    EXPECT_TRUE(d->OKBtn->isEnabled());  // no PIN needed
    d->cbWorkWithoutCard->setChecked(false);
    EXPECT_EQ(d->sbStatus->currentMessage(), QStringLiteral("Odabrali ste: Rad s karticom"));
    EXPECT_TRUE(d->PINCodeEdit->isEnabled());
    EXPECT_FALSE(d->OKBtn->isEnabled());
    d->cbWorkWithoutCard->setChecked(true);
    d->OKBtn->click();
    return true;
  });
  c.Loaded();
  EXPECT_TRUE(drive.Done());
  EXPECT_FALSE(ui_->terminateRequested());
  EXPECT_TRUE(events_.lines.isEmpty()) << events_.Joined().toStdString();
  EXPECT_FALSE(c.LoggedIn);
  EXPECT_FALSE(c.Connected());
  EXPECT_TRUE(c.PIN.SameBytes(TPin::FromText(QStringLiteral("kept"))));
  EXPECT_EQ(LastWorkWithoutCard(), QStringLiteral("YES"));
  EXPECT_EQ(OpenSessions(), 0);

  // Asked again later (the login action): the same road, and Login says false.
  drive.When<TEnterPINDlg>([](TEnterPINDlg* d) {
    EXPECT_TRUE(d->cbWorkWithoutCard->isChecked());
    d->OKBtn->click();
    return true;
  });
  EXPECT_FALSE(c.Login());
  EXPECT_TRUE(events_.lines.isEmpty());
}

TEST_F(CardLogin, OnLoginTakesThePlaceOfTheDialog) {
  TACGComponent& c = Make(amLogin);
  int asked = 0;
  c.OnLogin = [&](TACGComponent*, TPin& pin) {
    EXPECT_TRUE(pin.empty());
    ++asked;
    pin = TPin::FromText(QStringLiteral("1234"));
  };
  c.Loaded();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(c.LoggedIn);
  EXPECT_EQ(LastWorkWithoutCard(), QStringLiteral("<absent>"));
  EXPECT_FALSE(ui_->terminateRequested());
}

TEST_F(CardLogin, AnOverlongPinIsCutAtTheLoginBuffer) {
  TACGComponent& c = Make(amNone);
  c.OnLogin = [](TACGComponent*, TPin& pin) { pin = TPin::FromText(QString(3000, QChar('7'))); };
  c.Loaded();
  module_->ctl.acpkcs_ctl_record(1);
  EXPECT_FALSE(c.Login());
  bool cut = false;
  for (const std::string& l : Calls())
    if (l.rfind("C_Login", 0) == 0) cut = l.find("ulPinLen=2000") != std::string::npos;
  EXPECT_TRUE(cut);
  ASSERT_EQ(events_.lines.size(), 2);
  EXPECT_TRUE(events_.lines[1].startsWith("LoginError ")) << events_.Joined().toStdString();
}

// The bytes of a PIN that was asked for are overwritten when Login returns, on
// the road that logs in and on the one that fails. The component still owns that
// storage afterwards, so it can be looked at.
TEST_F(CardLogin, APromptedPinIsWipedWhenLoginReturns) {
  for (const char* typed : {"1234", "9999"}) {
    SCOPED_TRACE(typed);
    TACGComponent& c = Make(amNone);
    const CK_UTF8CHAR* bytes = nullptr;
    c.OnLogin = [&](TACGComponent*, TPin& pin) {
      pin = TPin::FromText(QString::fromLatin1(typed));
      bytes = pin.data();
    };
    c.Loaded();
    EXPECT_EQ(c.Login(), std::string(typed) == "1234");
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(c.PIN.data(), bytes);  // the same storage went all the way to C_Login
    EXPECT_TRUE(c.PIN.empty());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), 4), std::string(4, '\0'));
    Destroy();
    module_->ctl.acpkcs_ctl_reset();
    module_->f->C_Finalize(nullptr);
  }
}

// No card when the program starts: the PIN dialog waits, its poll finds the card.
TEST_F(CardLogin, TheDialogWaitsForTheCard) {
  for (bool oneReader : {false, true}) {
    SCOPED_TRACE(oneReader ? "one reader" : "two readers");
    CardsOutBeforeLoading(oneReader);
    TACGComponent& c = Make(amLogin);
    ModalDriver drive;
    drive.When<TEnterPINDlg>([&](TEnterPINDlg* d) {
      EXPECT_EQ(d->lbInfo->text(), QStringLiteral("Umetnite karticu, molim"));
      EXPECT_EQ(d->pnlBirajCitac->isVisible(), !oneReader);
      d->PINCodeEdit->setText("1234");
      EXPECT_FALSE(d->OKBtn->isEnabled());  // no card
      SetCardPresent(0, true);
      return true;
    });
    drive.When<TEnterPINDlg>([](TEnterPINDlg* d) {
      if (!d->OKBtn->isEnabled()) return false;
      EXPECT_EQ(d->lbInfo->text(), QStringLiteral("Kartica umetnuta"));
      EXPECT_EQ(d->lbCitaca->currentRow(), 0);
      d->OKBtn->click();
      return true;
    });
    c.Loaded();
    EXPECT_TRUE(drive.Done());
    EXPECT_TRUE(c.LoggedIn) << events_.Joined().toStdString();
    EXPECT_FALSE(ui_->terminateRequested());
    EXPECT_EQ(OpenSessions(), 1);
    Destroy();
    module_->ctl.acpkcs_ctl_reset();
    module_->ctl.acpkcs_ctl_record(1);
  }
}

// The card taken out while the dialog's poll holds a session on it, then put back.
TEST_F(CardLogin, TheDialogFollowsTheCardOutAndIn) {
  // Only the token's reader holds a card, so that the poll has one card to find.
  ASSERT_EQ(module_->f->C_Initialize(nullptr), CKR_OK);
  const int alpha = IndexOfToken(0);
  for (int i = 0; i < module_->ctl.acpkcs_ctl_slot_count(); ++i)
    if (i != alpha) module_->ctl.acpkcs_ctl_set_card_present(i, 0);
  ASSERT_EQ(module_->f->C_Finalize(nullptr), CKR_OK);
  TACGComponent& c = Make(amLogin);
  ModalDriver drive;
  drive.When<TEnterPINDlg>([&](TEnterPINDlg* d) {
    d->PINCodeEdit->setText("1234");
    if (!d->OKBtn->isEnabled()) return false;
    EXPECT_NE(d->PollSession, 0u);
    SetCardPresent(0, false);
    return true;
  });
  drive.When<TEnterPINDlg>([&](TEnterPINDlg* d) {
    // The notification reached the dialog: its session closed, OK off.
    if (d->OKBtn->isEnabled() || d->PollSession != 0) return false;
    EXPECT_FALSE(d->CardPresentFlag);
    EXPECT_TRUE(d->tInsCard->isActive());
    EXPECT_EQ(CurrentSession, 0u);
    SetCardPresent(0, true);
    return true;
  });
  drive.When<TEnterPINDlg>(Enter("1234"));
  c.Loaded();
  EXPECT_TRUE(drive.Done());
  EXPECT_TRUE(c.LoggedIn) << events_.Joined().toStdString();
  EXPECT_TRUE(events_.Has("InsertRemove 2"));
  EXPECT_EQ(OpenSessions(), 1);
}

// With amOpen the program waits for a card in its own dialog, then opens a session.
TEST_F(CardLogin, WaitingForACardWithAmOpen) {
  CardsOutBeforeLoading(false);
  TACGComponent& c = Make(amOpen);
  c.PinPrompt = false;
  c.PIN = TPin::FromText(QStringLiteral("1234"));
  ModalDriver drive;
  drive.When<TfmWaitForCard>([&](TfmWaitForCard* d) {
    EXPECT_EQ(d->windowTitle(), QStringLiteral("Unesite karticu"));
    EXPECT_TRUE(d->windowFlags() & Qt::Tool);
    EXPECT_EQ(d->lbInfo->text(), QStringLiteral("Umetnite karticu, molim"));
    EXPECT_FALSE(d->btURedu->isEnabled());
    EXPECT_TRUE(d->btOdustani->isEnabled());
    EXPECT_FALSE(d->pnlCitaci->isEnabled());
    SetCardPresent(0, true);
    return true;
  });
  drive.When<TfmWaitForCard>([](TfmWaitForCard* d) {
    if (!d->btURedu->isEnabled()) return false;
    EXPECT_EQ(d->lbInfo->text(), QStringLiteral("Kartica umetnuta"));
    d->btURedu->click();
    return true;
  });
  c.Loaded();
  EXPECT_TRUE(drive.Done());
  EXPECT_TRUE(c.Connected());
  EXPECT_EQ(OpenSessions(), 1);  // the wait dialog's session is closed again
  EXPECT_TRUE(c.Login());
  EXPECT_EQ(events_.lines, (QStringList{"AfterOpen", "AfterLogin"}));

  // Taken out: the session goes, and the component waits for the card again.
  drive.When<TfmWaitForCard>([&](TfmWaitForCard* d) {
    EXPECT_FALSE(d->btURedu->isEnabled());
    SetCardPresent(0, true);
    return true;
  });
  drive.When<TfmWaitForCard>([](TfmWaitForCard* d) {
    if (!d->btURedu->isEnabled()) return false;
    d->btURedu->click();
    return true;
  });
  events_.lines.clear();
  SetCardPresent(0, false);
  ASSERT_TRUE(SpinUntil([&] { return drive.Done() && events_.Has("InsertRemove 2"); }));
  EXPECT_EQ(events_.lines, (QStringList{"AfterLogout", "AfterClose", "InsertRemove 2"}));
  EXPECT_FALSE(c.Connected());
  EXPECT_FALSE(ui_->terminateRequested());
}

TEST_F(CardLogin, WaitForCardRoads) {
  TACGComponent& c = Make(amNone);
  c.Loaded();

  // A card in the reader: found at once, no dialog and no session left open.
  EXPECT_TRUE(c.WaitForCard(&TACGComponent::CardNotify));
  EXPECT_EQ(OpenSessions(), 0);

  // Cancelled: ends the program unless the mode is amNone.
  for (TAutoMode mode : {amNone, amLogin, amOpen}) {
    c.SetAutoMode(mode);
    AllCardsOut();
    ModalDriver drive;
    drive.When<TfmWaitForCard>([](TfmWaitForCard* d) {
      PressEscape(d);
      return true;
    });
    EXPECT_FALSE(c.WaitForCard(&TACGComponent::CardNotify));
    EXPECT_TRUE(drive.Done());
    EXPECT_EQ(ui_->terminateRequested(), mode != amNone);
    ui_->clearTerminate();
    module_->ctl.acpkcs_ctl_reset();
  }

  // No reader can be listed.
  c.SetAutoMode(amOpen);
  module_->ctl.acpkcs_ctl_fail("C_GetSlotList", CKR_DEVICE_ERROR, 1);
  ui_->boxes.clear();
  EXPECT_FALSE(c.WaitForCard(&TACGComponent::CardNotify));
  ASSERT_EQ(ui_->boxes.size(), 2u);
  EXPECT_EQ(ui_->boxes[0].text, QStringLiteral("Nema dostupnih čitača. [Error Code=48, CKR_DEVICE_ERROR]"));
  EXPECT_EQ(ui_->boxes[1].text, QStringLiteral("Nema dostupnih čitača"));
  EXPECT_EQ(ui_->boxes[1].kind, MsgKind::Error);
  EXPECT_FALSE(ui_->terminateRequested());
}

}  // namespace

namespace {

// Three readers, each with its own card: the reader the user picks in the PIN
// dialog is the one logged in to and whose key signs, whatever reader the poll
// found first or the component had open.
class ThreeReaders : public CardTest {
 protected:
  static void SetUpTestSuite() { MakeTokens({{"Alpha", "0x1001"}, {"Beta", "0x2002"}, {"Gamma", "0x3003"}}); }
  static void TearDownTestSuite() { DropTokens(); }
  void SetUp() override {
    CardTest::SetUp();
    module_->ctl.acpkcs_ctl_hide_uninitialised_slots(1);
  }
  // The reader index of token t in the component's list.
  static int IndexIn(const TACGComponent& c, CK_SLOT_ID slot) {
    for (int i = 0; i < c.ReaderCount; ++i)
      if (c.SlotList[i] == slot) return i;
    return -1;
  }
  // Picks the reader in the list as a user does, then types the PIN and confirms.
  static std::function<bool(TEnterPINDlg*)> PickAndEnter(int reader) {
    return [reader](TEnterPINDlg* d) {
      if (d->lbCitaca->currentRow() != reader) d->lbCitaca->setCurrentRow(reader);
      if (d->PINCodeEdit->text() != "1234") d->PINCodeEdit->setText(QStringLiteral("1234"));
      if (!d->OKBtn->isEnabled()) return false;
      d->OKBtn->click();
      return true;
    };
  }
  void ExpectLoggedInOn(TACGComponent& c, size_t token) {
    const CK_SLOT_ID slot = module_->slotOf(Token(token).label);
    EXPECT_TRUE(c.LoggedIn) << events_.Joined().toStdString();
    EXPECT_EQ(c.CurrentSlotId, slot);
    CK_SESSION_INFO info{};
    ASSERT_EQ(module_->f->C_GetSessionInfo(CurrentSession, &info), CKR_OK);
    EXPECT_EQ(info.slotID, slot);
    EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
    // The certificate and the signing key are that card's.
    const std::vector<unsigned char> der = ReadAll(Token(token).certDer());
    ASSERT_EQ(static_cast<size_t>(c.UserCertificate->DerLength), der.size());
    EXPECT_EQ(0, memcmp(c.UserCertificate->Der, der.data(), der.size()));
    TUserCertificateObject user;
    ASSERT_EQ(FindUserCertificateObject(CurrentSession, user), 1);
    EXPECT_NE(user.PrivateKey, 0u);
    EXPECT_EQ(user.Der, std::vector<uint8_t>(der.begin(), der.end()));
  }
};

TEST_F(ThreeReaders, TheChosenReaderIsLoggedInToAtStartUp) {
  for (size_t token : {2u, 1u, 0u}) {
    SCOPED_TRACE(Token(token).label);
    TACGComponent& c = Make(amLogin);
    int reader = -1;
    ModalDriver drive;
    drive.When<TEnterPINDlg>([&](TEnterPINDlg* d) {
      EXPECT_EQ(d->lbCitaca->count(), 3);
      reader = IndexIn(c, module_->slotOf(Token(token).label));
      return reader >= 0 && PickAndEnter(reader)(d);
    });
    c.Loaded();
    ASSERT_GE(reader, 0);
    EXPECT_EQ(c.ReaderIndex(), reader);
    EXPECT_FALSE(ui_->terminateRequested());
    ExpectLoggedInOn(c, token);
    Destroy();
    events_.lines.clear();
  }
}

TEST_F(ThreeReaders, ASessionOnAnotherReaderGivesWayToTheChosenOne) {
  TACGComponent& c = Make(amNone);
  c.Loaded();
  ASSERT_EQ(c.ReaderCount, 3);
  const int first = IndexIn(c, module_->slotOf(Token(0).label));
  const int third = IndexIn(c, module_->slotOf(Token(2).label));
  c.SetReaderIndex(first);
  c.SetConnected(true);
  ASSERT_TRUE(c.Connected());
  ModalDriver drive;
  drive.When<TEnterPINDlg>(PickAndEnter(third));
  EXPECT_TRUE(c.Login()) << events_.Joined().toStdString();
  ExpectLoggedInOn(c, 2);
}

}  // namespace
