#pragma once
// The two dialogs that work on the card's user PIN: TChangePINDlg changes it with
// C_SetPIN, TUnlockPINDlg sets a new one on a locked card with the module's vendor
// function C_UnlockPIN and the card's unlock code. The card component creates one
// of each; whoever shows one sets its SessionHandle first. Both are modal.
//
// The PINs reach the module as code page 1250 bytes, as at login, from bounded
// buffers that are wiped once the call returns.
#include <QDialog>

#include "interfaces/pkcs11.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TChangePINDlg : public QDialog {
  Q_OBJECT
 public:
  // Most characters each PIN edit takes.
  static constexpr int kEditMaxLength = 25;

  explicit TChangePINDlg(QWidget* parent = nullptr);
  ~TChangePINDlg() override;

  QLineEdit* OldPINCodeEdit = nullptr;
  QLineEdit* NewPINCodeEdit = nullptr;
  QLineEdit* ConfNewPINCodeEdit = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;
  QGroupBox* CardConfParamsBox = nullptr;
  QLabel* MinPinLenLabel = nullptr;
  QLabel* MaxPinLenLabel = nullptr;
  QLabel* LeftPINText = nullptr;

  // The session the PIN is changed on.
  CK_SESSION_HANDLE SessionHandle = 0;

  void OKBtnClick();
  void CancelBtnClick();
  void FormShow();

  // Esc and closing the window act as "Odustani".
  void reject() override;

 protected:
  void showEvent(QShowEvent* e) override;
};

class TUnlockPINDlg : public QDialog {
  Q_OBJECT
 public:
  // Most characters each edit takes: what the OK handler's buffers hold.
  static constexpr int kEditMaxLength = 50;

  explicit TUnlockPINDlg(QWidget* parent = nullptr);
  ~TUnlockPINDlg() override;

  QLineEdit* UnlockCodeEdit = nullptr;
  QLineEdit* NewPINCodeEdit = nullptr;
  QLineEdit* ConfNewPINCodeEdit = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;

  // The session of the locked card.
  CK_SESSION_HANDLE SessionHandle = 0;

  void OKBtnClick();
  void CancelBtnClick();
  void FormShow();

  void reject() override;

 protected:
  void showEvent(QShowEvent* e) override;
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
