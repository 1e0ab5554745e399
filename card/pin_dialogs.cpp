#include "card/pin_dialogs.h"

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPalette>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <memory>

#include "card/acg_component.h"
#include "card/card_objects.h"
#include "card/cryptoki.h"
#include "card/pkcs11_codes.h"
#include "card/registry.h"
#include "platform/codepage.h"
#include "platform/scope_exit.h"
#include "platform/ui_services.h"
#include "platform/window_border.h"

TEnterPINDlg* EnterPINDlg = nullptr;
TfmWaitForCard* fmWaitForCard = nullptr;

namespace {

// The index of the first slot (of the first count) whose token answers, or -1.
int FirstTokenSlot(const CK_SLOT_ID* slotIds, int count) {
  if (!slotIds) return -1;
  for (int i = 0; i < count && i < kMaxReaders; ++i) {
    CK_TOKEN_INFO info{};
    if (cryptoki::C_GetTokenInfo(slotIds[i], &info) == CKR_OK) return i;
  }
  return -1;
}

enum class PinState { Unknown, Locked, FinalTry };

// The PIN state that the token flags give; without a flag of either group the
// earlier state stays.
PinState ClassifyPin(CK_FLAGS flags, PinState earlier) {
  if (flags & (CKF_USER_PIN_LOCKED | CKF_SO_PIN_LOCKED)) return PinState::Locked;
  if (flags & (CKF_USER_PIN_FINAL_TRY | CKF_SO_PIN_FINAL_TRY)) return PinState::FinalTry;
  return earlier;
}

}  // namespace

// ---------------------------------------------------------------------------
// TCardPoll

int TCardPoll::ChooseReader(QTimer* timer) {
  CK_ULONG count = 0;
  if (cryptoki::C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count == 0) return -1;
  if (ReaderCount < 2) return 0;
  if (timer) timer->stop();
  IUiServices& ui = Ui();
  ui.setWaitCursor(true);
  const int chosen = FirstTokenSlot(SlotList, ReaderCount);
  // A slot list with cards but no slot whose token answers is no card to use.
  if (chosen >= 0 && PollSession == 0) {
    CK_SESSION_HANDLE h = 0;
    if (cryptoki::C_OpenSession(SlotList[chosen], CKF_SERIAL_SESSION | CKF_RW_SESSION, NotifyApplication,
                                NotifyCallback, &h) == CKR_OK) {
      CurrentSession = h;
      PollSession = h;
      PollSlot = SlotList[chosen];
    }
  }
  ui.setWaitCursor(false);
  if (chosen < 0 && timer) timer->start();
  return chosen;
}

// ---------------------------------------------------------------------------
// TEnterPINDlg

TEnterPINDlg::TEnterPINDlg(QWidget* parent) : QDialog(parent) {
  SetFixedDialogBorder(this);
  setWindowTitle(QStringLiteral("Unos inicijalnog PINa ..."));
  setModal(true);
  auto* layout = new QVBoxLayout(this);

  pnlBirajCitac = new QWidget(this);
  auto* readerLayout = new QVBoxLayout(pnlBirajCitac);
  readerLayout->setContentsMargins(0, 0, 0, 0);
  lbCitaca = new QListWidget(pnlBirajCitac);
  lbCitaca->setObjectName(QStringLiteral("lbCitaca"));
  readerLayout->addWidget(lbCitaca);
  layout->addWidget(pnlBirajCitac);

  pnlUnosPina = new QWidget(this);
  auto* pinLayout = new QHBoxLayout(pnlUnosPina);
  pinLayout->setContentsMargins(0, 0, 0, 0);
  Label1 = new QLabel(QStringLiteral("Unesite inicijalni PIN :"), pnlUnosPina);
  PINCodeEdit = new QLineEdit(pnlUnosPina);
  PINCodeEdit->setObjectName(QStringLiteral("PINCodeEdit"));
  PINCodeEdit->setEchoMode(QLineEdit::Password);
  PINCodeEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
  PINCodeEdit->setMaxLength(kMaxPinLength);
  Label1->setBuddy(PINCodeEdit);
  actPotvrdi = new QAction(QStringLiteral("Potvrdi"), this);
  OKBtn = new QPushButton(actPotvrdi->text(), pnlUnosPina);
  OKBtn->setObjectName(QStringLiteral("OKBtn"));
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton(QStringLiteral("Odustani"), pnlUnosPina);
  CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
  pinLayout->addWidget(Label1);
  pinLayout->addWidget(PINCodeEdit);
  pinLayout->addWidget(OKBtn);
  pinLayout->addWidget(CancelBtn);
  layout->addWidget(pnlUnosPina);

  pnlStatusKartice = new QWidget(this);
  auto* statusLayout = new QHBoxLayout(pnlStatusKartice);
  statusLayout->setContentsMargins(0, 0, 0, 0);
  lbInfo = new QLabel(QStringLiteral("Umetnite karticu, molim"), pnlStatusKartice);
  lbInfo->setObjectName(QStringLiteral("lbInfo"));
  statusLayout->addWidget(lbInfo);
  layout->addWidget(pnlStatusKartice);

  pnlSaKarticom = new QWidget(this);
  auto* cardLayout = new QHBoxLayout(pnlSaKarticom);
  cardLayout->setContentsMargins(0, 0, 0, 0);
  cbWorkWithoutCard = new QCheckBox(QStringLiteral("Rad bez kartice"), pnlSaKarticom);
  cbWorkWithoutCard->setObjectName(QStringLiteral("cbWorkWithoutCard"));
  cardLayout->addWidget(cbWorkWithoutCard);
  layout->addWidget(pnlSaKarticom);

  sbStatus = new QStatusBar(this);
  sbStatus->setSizeGripEnabled(false);
  layout->addWidget(sbStatus);

  tInsCard = new QTimer(this);
  tInsCard->setInterval(300);
  Wire();
  FormCreate();
  actPotvrdiUpdate();
}

void TEnterPINDlg::Wire() {
  connect(tInsCard, &QTimer::timeout, this, &TEnterPINDlg::tInsCardTimer);
  // The reader the user picks is the one logged in to and signed on: a PIN meant
  // for that card must not be tried on another.
  connect(lbCitaca, &QListWidget::currentRowChanged, this, [this](int row) {
    if (SelectingReader || row < 0 || row >= ReaderCount) return;
    PickedReader = row;
    if (CardPresentFlag) ChosenReader = row;
  });
  connect(PINCodeEdit, &QLineEdit::textChanged, this, &TEnterPINDlg::actPotvrdiUpdate);
  connect(cbWorkWithoutCard, &QCheckBox::toggled, this, [this] {
    cbWorkWithoutCardClick();
    actPotvrdiUpdate();
  });
  connect(OKBtn, &QPushButton::clicked, actPotvrdi, &QAction::trigger);
  connect(actPotvrdi, &QAction::triggered, this, &TEnterPINDlg::actPotvrdiExecute);
  connect(actPotvrdi, &QAction::enabledChanged, OKBtn, &QPushButton::setEnabled);
  connect(CancelBtn, &QPushButton::clicked, this, &TEnterPINDlg::reject);
}

TEnterPINDlg::~TEnterPINDlg() { PINCodeEdit->clear(); }

void TEnterPINDlg::FormCreate() {
  PresentText = QStringLiteral("Kartica umetnuta");
  AbsentText = QStringLiteral("Umetnite karticu, molim");
}

void TEnterPINDlg::showEvent(QShowEvent* e) {
  // Fixed at the size of what it shows this time (the reader list may be hidden).
  FixDialogSize(this);
  QDialog::showEvent(e);
  FormShow();
}

void TEnterPINDlg::FormShow() {
  PINCodeEdit->clear();
  if (PINCodeEdit->isEnabled()) PINCodeEdit->setFocus();
  sbStatus->showMessage(cbWorkWithoutCard->isChecked() ? kStatusWithoutCard : kStatusWithCard);
}

void TEnterPINDlg::cbWorkWithoutCardClick() {
  const bool without = cbWorkWithoutCard->isChecked();
  sbStatus->showMessage(without ? kStatusWithoutCard : kStatusWithCard);
  PINCodeEdit->setEnabled(!without);
  pnlBirajCitac->setEnabled(!without);
  QPalette pal = PINCodeEdit->palette();
  pal.setColor(QPalette::Base, without ? palette().color(QPalette::Button) : palette().color(QPalette::Base));
  PINCodeEdit->setPalette(pal);
}

void TEnterPINDlg::actPotvrdiUpdate() {
  const bool enabled = cbWorkWithoutCard->isChecked() || (CardPresentFlag && !PINCodeEdit->text().trimmed().isEmpty());
  actPotvrdi->setEnabled(enabled);
  OKBtn->setEnabled(enabled);
}

void TEnterPINDlg::actPotvrdiExecute() {
  actPotvrdiUpdate();
  if (!actPotvrdi->isEnabled()) return;
  QString text = PINCodeEdit->text();
  // The edit lets its copy and its undo history go, so this string is the only
  // holder left to overwrite.
  PINCodeEdit->setText(QString());
  Pin = TPin::FromText(text, kMaxPinLength);
  WipeText(text);
  accept();
}

void TEnterPINDlg::CancelBtnClick() { PINCodeEdit->clear(); }

void TEnterPINDlg::reject() {
  CancelBtnClick();
  QDialog::reject();
}

void TEnterPINDlg::tInsCardTimer() {
  int chosen = ChooseReader(tInsCard);
  // A reader the user picked stays chosen while any card is in.
  if (chosen >= 0 && PickedReader >= 0 && PickedReader < ReaderCount) chosen = PickedReader;
  ChosenReader = chosen;
  SelectingReader = true;
  struct EndSelecting {
    bool& flag;
    ~EndSelecting() { flag = false; }
  } endSelecting{SelectingReader};
  if (chosen < 0) {
    lbInfo->setText(AbsentText);
    CardPresentFlag = false;
    lbCitaca->setCurrentRow(-1);
    lbCitaca->clearSelection();
  } else {
    lbInfo->setText(PresentText);
    CardPresentFlag = true;
    lbCitaca->setCurrentRow(chosen);
  }
  actPotvrdiUpdate();
}

void TEnterPINDlg::CardNotified(CK_NOTIFICATION event) {
  if (IsCardInserted(event)) {
    tInsCard->stop();
    CardPresentFlag = true;
  } else {
    if (PollSession != 0) {
      if (TACGComponent* c = TACGComponent::Instance())
        c->ClosePollSession(PollSlot, PollSession);
      else
        cryptoki::C_CloseAllSessions(PollSlot);
      PollSession = 0;
    }
    tInsCard->start();
    CardPresentFlag = false;
  }
  actPotvrdiUpdate();
}

// ---------------------------------------------------------------------------
// TfmWaitForCard

TfmWaitForCard::TfmWaitForCard(QWidget* parent) : QDialog(parent, Qt::Tool) {
  setWindowTitle(QStringLiteral("Unesite karticu"));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  lbInfo = new QLabel(QStringLiteral("Umetnite karticu, molim"), this);
  lbInfo->setObjectName(QStringLiteral("lbInfo"));
  layout->addWidget(lbInfo);
  pnlCitaci = new QWidget(this);
  auto* panelLayout = new QVBoxLayout(pnlCitaci);
  panelLayout->setContentsMargins(0, 0, 0, 0);
  lbCitaca = new QListWidget(pnlCitaci);
  lbCitaca->setObjectName(QStringLiteral("lbCitaca"));
  panelLayout->addWidget(lbCitaca);
  pnlCitaci->setEnabled(false);
  layout->addWidget(pnlCitaci);
  auto* buttons = new QHBoxLayout;
  btURedu = new QPushButton(QStringLiteral("&U redu"), this);
  btURedu->setObjectName(QStringLiteral("btURedu"));
  btOdustani = new QPushButton(QStringLiteral("&Odustani"), this);
  btOdustani->setObjectName(QStringLiteral("btOdustani"));
  buttons->addWidget(btURedu);
  buttons->addWidget(btOdustani);
  layout->addLayout(buttons);
  connect(btURedu, &QPushButton::clicked, this, &QDialog::accept);
  connect(btOdustani, &QPushButton::clicked, this, &QDialog::reject);
}

void TfmWaitForCard::Poll() {
  const int chosen = ChooseReader(Timer);
  ChosenReader = chosen;
  if (chosen < 0) {
    if (Timer) Timer->start();
    lbInfo->setText(QStringLiteral("Umetnite karticu, molim"));
    btURedu->setEnabled(false);
    CardFound = false;
    lbCitaca->setCurrentRow(-1);
    lbCitaca->clearSelection();
  } else {
    lbInfo->setText(QStringLiteral("Kartica umetnuta"));
    btURedu->setEnabled(true);
    CardFound = true;
    lbCitaca->setCurrentRow(chosen);
  }
}

// ---------------------------------------------------------------------------
// The component's login, PIN prompt and wait for a card

bool TACGComponent::ShowEnterPin(bool showReaderChoice, TPin& pin, bool& workWithoutCard) {
  if (!EnterPINDlg) EnterPINDlg = new TEnterPINDlg;
  TEnterPINDlg* dlg = EnterPINDlg;
  dlg->setWindowTitle(EnterPINfmCaption);
  dlg->PresentText = AfterCardInsertText;
  dlg->AbsentText = WaitForCardText;
  dlg->Label1->setText(EnterPINlbCaption);
  dlg->lbCitaca->clear();
  dlg->lbCitaca->addItems(ReaderNames);
  dlg->pnlBirajCitac->setVisible(showReaderChoice && ReaderCount > 1);
  dlg->CardPresentFlag = CardPresent;
  dlg->NotifyCallback = &TACGComponent::CardNotify;
  dlg->NotifyApplication = this;
  dlg->ReaderCount = ReaderCount;
  dlg->SlotList = SlotList;

  dlg->tInsCardTimer();
  dlg->cbWorkWithoutCard->setChecked(workWithoutCard);
  dlg->cbWorkWithoutCardClick();
  dlg->actPotvrdiUpdate();
  if (!dlg->CardPresentFlag) dlg->tInsCard->start();

  bool result = false;
  if (dlg->exec() == QDialog::Accepted) {
    workWithoutCard = dlg->cbWorkWithoutCard->isChecked();
    if (!workWithoutCard) {
      pin = std::move(dlg->Pin);
      // No reader chosen (the card went while the dialog was open): keep the index.
      if (dlg->ChosenReader >= 0) SetReaderIndex(dlg->ChosenReader);
      CardPresent = dlg->CardPresentFlag;
    }
    result = true;
  }
  dlg->tInsCard->stop();
  if (dlg->PollSession != 0) {
    ClosePollSession(dlg->PollSlot, dlg->PollSession);
    dlg->PollSession = 0;
  }
  EnterPINDlg = nullptr;
  delete dlg;
  return result;
}

bool TACGComponent::WaitForCard(CK_NOTIFY callback) {
  QStringList names;
  auto* form = new TfmWaitForCard;
  fmWaitForCard = form;
  form->NotifyCallback = callback;
  form->NotifyApplication = this;
  form->SlotList = SlotList;
  CK_ULONG count = 0;
  // A module that lists no reader at all has none to wait at.
  if (!GetReaderList(SlotList, kMaxReaders, count, names) || count == 0) {
    fmWaitForCard = nullptr;
    delete form;
    Ui().messageBox(MsgKind::Error, kMsgNoReaders);
    return false;
  }
  form->ReaderCount = static_cast<int>(std::min<CK_ULONG>(count, kMaxReaders));
  form->lbCitaca->addItems(names);
  form->Timer = new QTimer(form);
  form->Timer->setInterval(300);
  connect(form->Timer, &QTimer::timeout, form, &TfmWaitForCard::Poll);
  form->CardFound = false;

  form->Poll();
  if (form->CardFound) {
    // The caller opens its own session; the poll's is not needed any more.
    if (form->PollSession != 0) ClosePollSession(form->PollSlot, form->PollSession);
    fmWaitForCard = nullptr;
    delete form;
    return true;
  }
  form->Timer->start();
  form->btURedu->setEnabled(false);
  form->btOdustani->setEnabled(true);
  const int r = form->exec();
  form->Timer->stop();
  if (form->PollSession != 0) ClosePollSession(form->PollSlot, form->PollSession);
  fmWaitForCard = nullptr;
  delete form;
  if (r == QDialog::Accepted) return true;
  if (autoMode_ != amNone) Ui().requestTerminate();
  return false;
}

void TACGComponent::LoginFailed(int code, const QString& text, bool endProgram) {
  Ui().setWaitCursor(false);
  FireError(OnLoginError, code, text);
  if (endProgram && autoMode_ == amLogin) Ui().requestTerminate();
}

TACGComponent::LoginRoad TACGComponent::LoginOnOpenSession() {
  IUiServices& ui = Ui();
  auto openFailed = [this] { return !Connected() && ReaderCount == 1 && CardPresent; };
  if (openFailed()) OpenSession();
  ui.setWaitCursor(true);
  ui.processPendingMessages();
  // One reader with a card that would not open: reported, but the program goes on.
  if (openFailed()) {
    LoginFailed(-3, kMsgSessionOpenFailed, false);
    return LoginRoad::Failed;
  }
  CK_STATE state = CKS_RO_PUBLIC_SESSION;
  CK_SESSION_INFO info{};
  if (SessionHandle != 0 && cryptoki::C_GetSessionInfo(SessionHandle, &info) == CKR_OK) state = info.state;
  if (state != CKS_RO_USER_FUNCTIONS && state != CKS_RW_USER_FUNCTIONS) return LoginRoad::Continue;
  ui.setWaitCursor(false);
  LoggedIn = true;
  if (UserCertSerial == 0) FindUserCertificate();
  FireError(OnLoginError, -2, kMsgAlreadyLoggedIn);
  return LoginRoad::Succeeded;
}

TACGComponent::LoginRoad TACGComponent::LoginObtainPin(bool& workWithoutCard) {
  IUiServices& ui = Ui();
  ui.processPendingMessages();
  TPin obtained;
  if (OnLogin) {
    OnLogin(this, obtained);
    PIN = std::move(obtained);
    return LoginRoad::Continue;
  }
  QString last;
  workWithoutCard = !DefaultProgramReg.isEmpty() &&
                    RegReadValue(HKEY_CURRENT_USER, DefaultProgramReg, kRegLastWorkWithoutCard, last) == 0 &&
                    last.toUpper() == QStringLiteral("YES");
  if (!ShowEnterPin(true, obtained, workWithoutCard)) {
    ui.setWaitCursor(false);
    if (autoMode_ == amLogin) ui.requestTerminate();
    return LoginRoad::Failed;
  }
  RegWriteValue(HKEY_CURRENT_USER, DefaultProgramReg, kRegLastWorkWithoutCard,
                workWithoutCard ? QStringLiteral("YES") : QStringLiteral("NO"));
  // Working without a card keeps the PIN the owner set.
  if (!workWithoutCard) PIN = std::move(obtained);
  return LoginRoad::Continue;
}

TACGComponent::LoginRoad TACGComponent::LoginOnChosenReader() {
  // A session still open on another reader than the one chosen goes first: the
  // login and the signing happen on the chosen reader's card.
  const int chosen = ReaderIndex();
  if (Connected() && chosen >= 0 && chosen < ReaderCount && SlotList[chosen] != CurrentSlotId) CloseSession();
  if (!Connected()) OpenSession();
  if (!Connected()) {
    LoginFailed(-3, kMsgSessionOpenFailed, true);
    return LoginRoad::Failed;
  }
  return LoginRoad::Continue;
}

TACGComponent::LoginRoad TACGComponent::LoginCheckCard(CK_FLAGS& flagsBefore) {
  IUiServices& ui = Ui();
  ui.setWaitCursor(true);
  ui.processPendingMessages();
  CK_TOKEN_INFO token{};
  flagsBefore = cryptoki::C_GetTokenInfo(CurrentSlotId, &token) == CKR_OK ? token.flags : 0;
  if (ClassifyPin(flagsBefore, PinState::Unknown) == PinState::Locked) {
    LoginFailed(164, kMsgCardLocked, true);
    return LoginRoad::Failed;
  }
  if (PIN.empty()) {
    LoginFailed(-1, kMsgPinNotDefined, true);
    return LoginRoad::Failed;
  }
  if (LoggedIn) {
    FireError(OnLoginError, -2, kMsgAlreadyLoggedIn);
    ui.setWaitCursor(false);
    return LoginRoad::Succeeded;
  }
  return LoginRoad::Continue;
}

bool TACGComponent::LoginWithPin(CK_FLAGS flagsBefore) {
  const CK_RV rv = cryptoki::C_Login(SessionHandle, CKU_USER, PIN.data(), PIN.size());
  if (rv == CKR_OK) {
    LoggedIn = true;
    if (UserCertSerial == 0) FindUserCertificate();
    FireNotify(OnAfterLogin);
  } else {
    QString text = PkcsRetCodeText(rv);
    if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID) {
      PinState state = ClassifyPin(flagsBefore, PinState::Unknown);
      CK_TOKEN_INFO after{};
      if (cryptoki::C_GetTokenInfo(CurrentSlotId, &after) == CKR_OK) state = ClassifyPin(after.flags, state);
      text = state == PinState::Locked     ? kMsgWrongPinLocked
             : state == PinState::FinalTry ? kMsgWrongPinFinalTry
                                           : kMsgWrongPin;
    } else if (rv == CKR_PIN_LOCKED) {
      text = kMsgCardLocked;
    }
    FireError(OnLoginError, static_cast<int>(rv), text);
    if (autoMode_ == amLogin) Ui().requestTerminate();
  }
  Ui().setWaitCursor(false);
  return rv == CKR_OK;
}

bool TACGComponent::Login() {
  LoginInProgress = true;
  ScopeExit done([this] {
    LoginInProgress = false;
    emit StateChanged();
  });
  if (!LibraryInitialized) return false;
  LoginRoad road = LoginOnOpenSession();
  if (road != LoginRoad::Continue) return road == LoginRoad::Succeeded;
  bool workWithoutCard = false;
  if (PinPrompt && LoginObtainPin(workWithoutCard) == LoginRoad::Failed) return false;
  // A PIN that was asked for serves this login only: it does not stay in memory
  // after Login, whichever road it takes out (the owner's own PIN, given without a
  // prompt, is the owner's to keep).
  ScopeExit wipePrompted([this, wipe = PinPrompt && !workWithoutCard] {
    if (wipe) PIN.clear();
  });
  if (workWithoutCard) {
    Ui().setWaitCursor(false);
    return false;
  }
  road = LoginOnChosenReader();
  CK_FLAGS flagsBefore = 0;
  if (road == LoginRoad::Continue) road = LoginCheckCard(flagsBefore);
  if (road != LoginRoad::Continue) return road == LoginRoad::Succeeded;
  return LoginWithPin(flagsBefore);
}
