#pragma once
// The two dialogs that work on the card's user PIN: TChangePINDlg changes it with
// C_SetPIN, TUnlockPINDlg sets a new one on a locked card with the module's vendor
// function C_UnlockPIN and the card's unlock code. The card component creates one
// of each; whoever shows one sets its SessionHandle first. Both are modal.
//
// The PINs reach the module as code page 1250 bytes, as at login, in TPins that
// are wiped once the call returns.
#include <QDialog>
#include <functional>

#include "card/pin.h"
#include "interfaces/pkcs11.h"

class QVBoxLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// What both dialogs are: a code (the old PIN or the unlock code), the new PIN and
// its confirmation in three masked edits, "Potvrdi" and "Odustani". The edits are
// emptied whenever the dialog closes and when it goes.
class TPinEditsDlg : public QDialog {
  Q_OBJECT
 public:
  ~TPinEditsDlg() override;

  QLineEdit* NewPINCodeEdit = nullptr;
  QLineEdit* ConfNewPINCodeEdit = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;

  // The session the dialog works on.
  CK_SESSION_HANDLE SessionHandle = 0;

  virtual void OKBtnClick() = 0;
  void CancelBtnClick();
  void FormShow();

  // Esc and closing the window act as "Odustani".
  void reject() override;

 protected:
  struct TLook {
    QString title;
    const char* codeEditName;
    QString codeCaption;
    int editMaxLength;
  };
  TPinEditsDlg(const TLook& look, QWidget* parent);
  void showEvent(QShowEvent* e) override;

  // The three entries as the module gets them; false (with lengthText or
  // mismatchText in a box) when the new PIN is refused before the module is asked.
  // An empty confirmation is a length fault only when confirmationLength.
  bool ReadEntries(TPin& code, TPin& newPin, bool confirmationLength, const QString& lengthText,
                   const QString& mismatchText);
  // Calls the module with the wait cursor on; its result.
  CK_RV CallModule(const std::function<CK_RV()>& call);
  // After the module said yes: the edits emptied, doneText shown, the dialog closed.
  void Succeeded(const QString& doneText);
  void ClearEdits();

  QLineEdit* CodeEdit = nullptr;
  QVBoxLayout* Layout = nullptr;
};

// Changes the user PIN with C_SetPIN.
class TChangePINDlg : public TPinEditsDlg {
  Q_OBJECT
 public:
  // Most characters each PIN edit takes.
  static constexpr int kEditMaxLength = 25;

  explicit TChangePINDlg(QWidget* parent = nullptr);

  QLineEdit* OldPINCodeEdit = nullptr;
  QGroupBox* CardConfParamsBox = nullptr;
  QLabel* MinPinLenLabel = nullptr;
  QLabel* MaxPinLenLabel = nullptr;
  QLabel* LeftPINText = nullptr;

  void OKBtnClick() override;
};

// Sets a new PIN on a locked card with the unlock code (C_UnlockPIN).
class TUnlockPINDlg : public TPinEditsDlg {
  Q_OBJECT
 public:
  // Most characters each edit takes: what the OK handler's buffers hold.
  static constexpr int kEditMaxLength = 50;

  explicit TUnlockPINDlg(QWidget* parent = nullptr);

  QLineEdit* UnlockCodeEdit = nullptr;

  void OKBtnClick() override;
};

// Texts.
inline const QString kMsgChangePinLength = QStringLiteral("Neispravna duljina PIN koda!");
inline const QString kMsgChangePinMismatch = QStringLiteral("PIN kod nije ispravno unesen!");
inline const QString kMsgChangePinDone = QStringLiteral("PIN kod je uspješno izmijenjen !");
inline const QString kMsgChangePinIncorrect = QStringLiteral("Uneseni PIN kod nije valjan !");
inline const QString kMsgChangePinFailed = QStringLiteral("PIN kod se ne može promijeniti ! [ErorCode=");
inline const QString kMsgUnlockPinLength = QStringLiteral("Pogrešna duljina PINa !");
inline const QString kMsgUnlockPinMismatch = QStringLiteral("Novi PIN kod nije ispravno unesen !");
inline const QString kMsgUnlockDone = QStringLiteral("Kartica uspješno otključana!");
inline const QString kMsgUnlockFailed = QStringLiteral("Greška kod otključavanja ! [ErorCode=");
