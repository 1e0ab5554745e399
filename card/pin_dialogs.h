#pragma once
// The card component's dialogs for logging in: the PIN dialog, which also lets the
// user choose a reader or choose to work without a card, and the dialog that waits
// for a card. Both poll the readers every 300 ms. The component's Login,
// ShowEnterPin and WaitForCard (declared in card/acg_component.h) are defined with
// them.
#include <QDialog>
#include <QString>
#include <string>

#include "interfaces/pkcs11.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QStatusBar;
class QTimer;
class QWidget;
class TACGComponent;

// The PIN dialog; one use, no owner, freed after it closes.
class TEnterPINDlg : public QDialog {
  Q_OBJECT
 public:
  // Most PIN characters the dialog takes.
  static constexpr int kMaxPinLength = 50;

  explicit TEnterPINDlg(QWidget* parent = nullptr);
  ~TEnterPINDlg() override;

  QWidget* pnlBirajCitac = nullptr;
  QListWidget* lbCitaca = nullptr;
  QWidget* pnlUnosPina = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* PINCodeEdit = nullptr;
  QPushButton* OKBtn = nullptr;
  QAction* actPotvrdi = nullptr;
  QPushButton* CancelBtn = nullptr;
  QWidget* pnlStatusKartice = nullptr;
  QLabel* lbInfo = nullptr;
  QWidget* pnlSaKarticom = nullptr;
  QCheckBox* cbWorkWithoutCard = nullptr;
  QStatusBar* sbStatus = nullptr;
  QTimer* tInsCard = nullptr;

  // The PIN as the user confirmed it, code page 1250 bytes; wiped with the dialog.
  std::string PinBuffer;
  bool CardPresentFlag = false;
  CK_NOTIFY NotifyCallback = nullptr;
  void* NotifyApplication = nullptr;
  int ReaderCount = 0;
  int ChosenReader = -1;
  // The reader the user picked in lbCitaca (-1: none): the polls then keep it
  // rather than choose the first reader with a card.
  int PickedReader = -1;
  // True while the poll itself moves the list's selection.
  bool SelectingReader = false;
  const CK_SLOT_ID* SlotList = nullptr;
  QString PresentText;
  QString AbsentText;
  // The session a poll opened (0: none) and its slot.
  CK_SESSION_HANDLE PollSession = 0;
  CK_SLOT_ID PollSlot = 0;

  void FormCreate();
  void FormShow();
  void cbWorkWithoutCardClick();
  void actPotvrdiUpdate();
  void actPotvrdiExecute();
  void CancelBtnClick();
  // The poll.
  void tInsCardTimer();
  // A card notification while the dialog is open.
  void CardNotified(CK_NOTIFICATION event);

  // Esc and closing the window act as "Odustani".
  void reject() override;

 protected:
  void showEvent(QShowEvent* e) override;
};

// The dialog that waits for a card; one use, no owner.
class TfmWaitForCard : public QDialog {
  Q_OBJECT
 public:
  explicit TfmWaitForCard(QWidget* parent = nullptr);

  QLabel* lbInfo = nullptr;
  QPushButton* btURedu = nullptr;
  QPushButton* btOdustani = nullptr;
  QWidget* pnlCitaci = nullptr;  // disabled
  QListWidget* lbCitaca = nullptr;

  bool CardFound = false;
  CK_NOTIFY NotifyCallback = nullptr;
  void* NotifyApplication = nullptr;
  int ReaderCount = 0;
  int ChosenReader = -1;
  const CK_SLOT_ID* SlotList = nullptr;
  QTimer* Timer = nullptr;  // made by WaitForCard
  CK_SESSION_HANDLE PollSession = 0;
  CK_SLOT_ID PollSlot = 0;

  void Poll();
};

// The dialogs while they are open, else nullptr.
extern TEnterPINDlg* EnterPINDlg;
extern TfmWaitForCard* fmWaitForCard;

// Texts.
inline const QString kMsgNoReaders = QStringLiteral("Nema dostupnih čitača");
inline const QString kMsgSessionOpenFailed = QStringLiteral("Greška pri otvaranju sesije!");
inline const QString kMsgAlreadyLoggedIn = QStringLiteral("Korisnik je već logiran!");
inline const QString kMsgPinNotDefined = QStringLiteral("PIN nije definiran!");
inline const QString kMsgCardLocked = QStringLiteral("Kartica je zaključana!");
inline const QString kMsgWrongPinLocked = QStringLiteral("Unesen je pogrešan PIN! Kartica je zaključana!");
inline const QString kMsgWrongPinFinalTry = QStringLiteral("Unesen je pogrešan PIN! Ovo je posljednji pokušaj!");
inline const QString kMsgWrongPin = QStringLiteral("Unesen je pogrešan PIN!");
inline const QString kStatusWithoutCard = QStringLiteral("Odabrali ste: Rad bez kartice");
inline const QString kStatusWithCard = QStringLiteral("Odabrali ste: Rad s karticom");
inline const QString kRegLastWorkWithoutCard = QStringLiteral("Last WorkWithoutCard");
