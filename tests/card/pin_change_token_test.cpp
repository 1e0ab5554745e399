// The PIN change and unlock dialogs over our middleware module and SoftHSM2: the
// card component makes them, the caller gives them its session; the checks before
// the module is called, the module's answers and the texts of every box.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include "acg_fixture.h"
#include "card/cryptoki.h"
#include "card/pin_change_dialogs.h"

using namespace acgfx;

namespace {

class PinChange : public CardTest {
 protected:
  static void SetUpTestSuite() { MakeTokens({{"Alpha", "0x1001"}}); }
  static void TearDownTestSuite() { DropTokens(); }

  void SetUp() override {
    CardTest::SetUp();
    TACGComponent& c = Make(amNone);
    c.PinPrompt = false;
    c.Loaded();
    c.SetConnected(true);
    ASSERT_TRUE(c.Connected()) << events_.Joined().toStdString();
    ASSERT_TRUE(c.ChangePINDlg && c.UnlockPINDlg);
    // Whoever shows a dialog gives it the session first.
    c.ChangePINDlg->SessionHandle = CurrentSession;
    c.UnlockPINDlg->SessionHandle = CurrentSession;
    slot_ = c.CurrentSlotId;
    ui_->boxes.clear();
  }
  void TearDown() override {
    // The token outlives the test: its PIN goes back to the one the suite made.
    if (module_ && !pinNow_.empty() && pinNow_ != "1234") {
      module_->ctl.acpkcs_ctl_reset();
      CK_SESSION_HANDLE s = module_->open(slot_);
      EXPECT_EQ(module_->f->C_SetPIN(s, Bytes(pinNow_), pinNow_.size(), Bytes("1234"), 4), CKR_OK);
      module_->f->C_CloseSession(s);
    }
    CardTest::TearDown();
  }

  static CK_UTF8CHAR_PTR Bytes(const std::string& s) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.data()));
  }
  // A login on a session of its own: the PIN the token takes now.
  CK_RV LoginWith(const std::string& pin) {
    CK_SESSION_HANDLE s = module_->open(slot_);
    CK_RV rv = module_->login(s, pin);
    module_->f->C_CloseSession(s);
    return rv;
  }
  QStringList Boxes(MsgKind kind) const {
    QStringList texts;
    for (const auto& b : ui_->boxes) {
      EXPECT_EQ(b.kind, kind) << b.text.toStdString();
      texts << b.text;
    }
    return texts;
  }
  static void Fill(QLineEdit* a, const QString& ta, QLineEdit* b, const QString& tb, QLineEdit* c, const QString& tc) {
    a->setText(ta);
    b->setText(tb);
    c->setText(tc);
  }
  void LockPin() {
    module_->ctl.acpkcs_ctl_set_pin_policy(2);
    EXPECT_EQ(LoginWith("0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(LoginWith("0000"), CKR_PIN_INCORRECT);
    ASSERT_TRUE(module_->tokenFlags(slot_) & CKF_USER_PIN_LOCKED);
  }

  CK_SLOT_ID slot_ = 0;
  std::string pinNow_ = "1234";
};

TEST_F(PinChange, TheComponentMakesBothDialogsAndFreesThem) {
  QPointer<QDialog> change = c_->ChangePINDlg.get();
  QPointer<QDialog> unlock = c_->UnlockPINDlg.get();
  EXPECT_EQ(change->windowTitle(), QStringLiteral("Promjena PINa ..."));
  EXPECT_EQ(unlock->windowTitle(), QStringLiteral("Otključavanje kartice ..."));
  EXPECT_FALSE(change->isVisible());
  EXPECT_FALSE(unlock->isVisible());
  EXPECT_EQ(c_->ChangePINDlg->OldPINCodeEdit->maxLength(), 25);
  EXPECT_EQ(c_->ChangePINDlg->OldPINCodeEdit->echoMode(), QLineEdit::Password);
  EXPECT_EQ(c_->ChangePINDlg->MinPinLenLabel->text(), QStringLiteral("/"));
  EXPECT_TRUE(c_->ChangePINDlg->OKBtn->isDefault());
  Destroy();
  EXPECT_TRUE(change.isNull());
  EXPECT_TRUE(unlock.isNull());
}

TEST_F(PinChange, ChangeWithTheRightOldPinTakesTheNewOne) {
  TChangePINDlg* d = c_->ChangePINDlg.get();
  int shown = -1;
  QWidget* focused = nullptr;
  QTimer::singleShot(0, [&] {
    focused = d->focusWidget();
    Fill(d->OldPINCodeEdit, "1234", d->NewPINCodeEdit, "56789", d->ConfNewPINCodeEdit, "56789");
    d->OKBtn->click();
  });
  shown = d->exec();
  pinNow_ = "56789";
  EXPECT_EQ(shown, mrOk);
  EXPECT_EQ(focused, d->OldPINCodeEdit);
  EXPECT_EQ(Boxes(MsgKind::Information), QStringList{"PIN kod je uspješno izmijenjen !"});
  EXPECT_TRUE(d->OldPINCodeEdit->text().isEmpty());
  EXPECT_TRUE(d->NewPINCodeEdit->text().isEmpty());
  EXPECT_TRUE(d->ConfNewPINCodeEdit->text().isEmpty());
  EXPECT_FALSE(ui_->waitCursor());
  EXPECT_EQ(LoginWith("1234"), CKR_PIN_INCORRECT);
  EXPECT_EQ(LoginWith("56789"), CKR_OK);
}

TEST_F(PinChange, EntriesThatNeverReachTheModule) {
  struct Case {
    const char* what;
    bool unlock;
    QString first, next, confirm;
    QString box;
  };
  const std::vector<Case> cases = {
      {"change: no new PIN", false, "1234", "", "5678", "Neispravna duljina PIN koda!"},
      {"change: no confirmation", false, "1234", "5678", "", "Neispravna duljina PIN koda!"},
      {"change: confirmation differs", false, "1234", "5678", "5679", "PIN kod nije ispravno unesen!"},
      {"change: differs in case only", false, "1234", "abcd", "ABCD", "PIN kod nije ispravno unesen!"},
      {"unlock: no new PIN", true, "87654321", "", "5678", "Pogrešna duljina PINa !"},
      {"unlock: no confirmation", true, "87654321", "5678", "", "Novi PIN kod nije ispravno unesen !"},
      {"unlock: confirmation differs", true, "87654321", "5678", "5677", "Novi PIN kod nije ispravno unesen !"},
  };
  module_->ctl.acpkcs_ctl_record(1);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ui_->boxes.clear();
    QDialog* d = nullptr;
    QLineEdit* edits[3];
    if (k.unlock) {
      TUnlockPINDlg* u = c_->UnlockPINDlg.get();
      d = u;
      edits[0] = u->UnlockCodeEdit, edits[1] = u->NewPINCodeEdit, edits[2] = u->ConfNewPINCodeEdit;
    } else {
      TChangePINDlg* ch = c_->ChangePINDlg.get();
      d = ch;
      edits[0] = ch->OldPINCodeEdit, edits[1] = ch->NewPINCodeEdit, edits[2] = ch->ConfNewPINCodeEdit;
    }
    Fill(edits[0], k.first, edits[1], k.next, edits[2], k.confirm);
    d->setResult(0);
    if (k.unlock)
      c_->UnlockPINDlg->OKBtnClick();
    else
      c_->ChangePINDlg->OKBtnClick();
    EXPECT_EQ(Boxes(MsgKind::Error), QStringList{k.box});
    EXPECT_EQ(d->result(), 0);            // not closed
    EXPECT_EQ(edits[1]->text(), k.next);  // the entries stay for the user to mend
  }
  EXPECT_TRUE(Calls().empty());
}

TEST_F(PinChange, ChangeFailuresKeepTheDialogOpen) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    QString old, next;
    QString box;
  };
  const std::vector<Case> cases = {
      {"wrong old PIN", [] {}, "4321", "5678", "Uneseni PIN kod nije valjan !"},
      // The module's own length rule: the number in decimal.
      {"new PIN too short", [] {}, "1234", "12", "PIN kod se ne može promijeniti ! [ErorCode=162]"},
      {"the module fails", [this] { module_->ctl.acpkcs_ctl_fail("C_SetPIN", CKR_DEVICE_ERROR, 1); }, "1234", "5678",
       "PIN kod se ne može promijeniti ! [ErorCode=48]"},
      {"a locked PIN", [this] { LockPin(); }, "1234", "5678", "PIN kod se ne može promijeniti ! [ErorCode=164]"},
  };
  TChangePINDlg* d = c_->ChangePINDlg.get();
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ui_->boxes.clear();
    k.arrange();
    bool stillOpen = false;
    QTimer::singleShot(0, [&] {
      Fill(d->OldPINCodeEdit, k.old, d->NewPINCodeEdit, k.next, d->ConfNewPINCodeEdit, k.next);
      d->OKBtn->click();
      stillOpen = d->isVisible();
      d->CancelBtn->click();
    });
    EXPECT_EQ(d->exec(), mrCancel);
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(Boxes(MsgKind::Error), QStringList{k.box});
    // Cancel empties every entry.
    EXPECT_TRUE(d->OldPINCodeEdit->text().isEmpty());
    EXPECT_TRUE(d->NewPINCodeEdit->text().isEmpty());
    EXPECT_TRUE(d->ConfNewPINCodeEdit->text().isEmpty());
    EXPECT_FALSE(ui_->waitCursor());
    module_->ctl.acpkcs_ctl_reset();
  }
  EXPECT_EQ(LoginWith("1234"), CKR_OK);
}

TEST_F(PinChange, AnEmptyOldPinGoesWithLengthZero) {
  TChangePINDlg* d = c_->ChangePINDlg.get();
  module_->ctl.acpkcs_ctl_record(1);
  Fill(d->OldPINCodeEdit, "", d->NewPINCodeEdit, "5678", d->ConfNewPINCodeEdit, "5678");
  d->OKBtnClick();
  std::vector<std::string> calls = Calls();
  ASSERT_EQ(Names(calls), std::vector<std::string>{"C_SetPIN"});
  EXPECT_NE(calls[0].find("ulOldLen=0 "), std::string::npos) << calls[0];
  EXPECT_NE(calls[0].find("ulNewLen=4 "), std::string::npos) << calls[0];
  EXPECT_EQ(calls[0].find("5678"), std::string::npos) << "PINs never reach the log";
  EXPECT_EQ(Boxes(MsgKind::Error), QStringList{"Uneseni PIN kod nije valjan !"});
}

TEST_F(PinChange, UnlockWithTheRightCodeSetsTheNewPin) {
  LockPin();
  module_->ctl.acpkcs_ctl_set_unlock_code("24681357");
  TUnlockPINDlg* d = c_->UnlockPINDlg.get();
  QWidget* focused = nullptr;
  QTimer::singleShot(0, [&] {
    focused = d->focusWidget();
    Fill(d->UnlockCodeEdit, "24681357", d->NewPINCodeEdit, "97531", d->ConfNewPINCodeEdit, "97531");
    d->OKBtn->click();
  });
  EXPECT_EQ(d->exec(), mrOk);
  pinNow_ = "97531";
  EXPECT_EQ(focused, d->UnlockCodeEdit);
  EXPECT_EQ(Boxes(MsgKind::Information), QStringList{"Kartica uspješno otključana!"});
  EXPECT_TRUE(d->UnlockCodeEdit->text().isEmpty());
  EXPECT_TRUE(d->NewPINCodeEdit->text().isEmpty());
  EXPECT_TRUE(d->ConfNewPINCodeEdit->text().isEmpty());
  EXPECT_FALSE(ui_->waitCursor());
  EXPECT_FALSE(module_->tokenFlags(slot_) & CKF_USER_PIN_LOCKED);
  EXPECT_EQ(LoginWith("97531"), CKR_OK);
}

TEST_F(PinChange, UnlockFailuresKeepTheDialogOpen) {
  struct Case {
    const char* what;
    bool vendorFunction;
    QString code;
    QString box;
  };
  const std::vector<Case> cases = {
      {"wrong code", true, "11111111", "Greška kod otključavanja ! [ErorCode=160]"},
      {"no code", true, "", "Greška kod otključavanja ! [ErorCode=160]"},
      // A module without the vendor function leaves its entry unbound.
      {"no vendor function", false, "87654321", "Greška kod otključavanja ! [ErorCode=84]"},
  };
  TUnlockPINDlg* d = c_->UnlockPINDlg.get();
  const CK_C_UnlockPIN bound = Cryptoki.C_UnlockPIN;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    LockPin();
    ui_->boxes.clear();
    if (!k.vendorFunction) Cryptoki.C_UnlockPIN = nullptr;
    bool stillOpen = false;
    QTimer::singleShot(0, [&] {
      Fill(d->UnlockCodeEdit, k.code, d->NewPINCodeEdit, "5678", d->ConfNewPINCodeEdit, "5678");
      d->OKBtn->click();
      stillOpen = d->isVisible();
      d->reject();  // Esc
    });
    EXPECT_EQ(d->exec(), mrCancel);
    Cryptoki.C_UnlockPIN = bound;
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(Boxes(MsgKind::Error), QStringList{k.box});
    EXPECT_TRUE(d->UnlockCodeEdit->text().isEmpty());
    EXPECT_TRUE(module_->tokenFlags(slot_) & CKF_USER_PIN_LOCKED);
    module_->ctl.acpkcs_ctl_reset();
  }
  EXPECT_EQ(LoginWith("1234"), CKR_OK);
}

}  // namespace
