#include "card/pin_change_dialogs.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "card/cryptoki.h"
#include "platform/ui_services.h"

namespace {

// Most characters of an entry the module is given.
constexpr qsizetype kEntryMaxChars = 50;

QLineEdit* MaskedEdit(const char* name, int maxLength, QWidget* parent) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(QString::fromLatin1(name));
  e->setEchoMode(QLineEdit::Password);
  e->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));  // shown as "*"
  e->setMaxLength(maxLength);
  return e;
}

QPushButton* Button(const char* name, const QString& text, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(QString::fromLatin1(name));
  return b;
}

TPin Entry(const QLineEdit* edit) {
  QString text = edit->text();
  TPin pin = TPin::FromText(text, kEntryMaxChars);
  WipeText(text);
  return pin;
}

void ErrorBox(const QString& text) { Ui().messageBox(MsgKind::Error, text); }

QString Num(CK_RV rv) { return QString::number(static_cast<qulonglong>(rv)); }

}  // namespace

// ---------------------------------------------------------------------------
// TPinEditsDlg

TPinEditsDlg::TPinEditsDlg(const TLook& look, QWidget* parent) : QDialog(parent) {
  setWindowTitle(look.title);
  setModal(true);
  Layout = new QVBoxLayout(this);

  auto* grid = new QGridLayout;
  CodeEdit = MaskedEdit(look.codeEditName, look.editMaxLength, this);
  NewPINCodeEdit = MaskedEdit("NewPINCodeEdit", look.editMaxLength, this);
  ConfNewPINCodeEdit = MaskedEdit("ConfNewPINCodeEdit", look.editMaxLength, this);
  const QString captions[] = {look.codeCaption, QStringLiteral("Novi PIN :"), QStringLiteral("Potvrdi novi PIN :")};
  QLineEdit* edits[] = {CodeEdit, NewPINCodeEdit, ConfNewPINCodeEdit};
  for (int i = 0; i < 3; ++i) {
    auto* label = new QLabel(captions[i], this);
    label->setBuddy(edits[i]);
    grid->addWidget(label, i, 0);
    grid->addWidget(edits[i], i, 1);
  }
  Layout->addLayout(grid);

  auto* buttons = new QHBoxLayout;
  OKBtn = Button("OKBtn", QStringLiteral("Potvrdi"), this);
  OKBtn->setDefault(true);
  CancelBtn = Button("CancelBtn", QStringLiteral("Odustani"), this);
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  Layout->addLayout(buttons);

  connect(OKBtn, &QPushButton::clicked, this, &TPinEditsDlg::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &TPinEditsDlg::CancelBtnClick);
}

TPinEditsDlg::~TPinEditsDlg() { ClearEdits(); }

void TPinEditsDlg::ClearEdits() {
  CodeEdit->clear();
  NewPINCodeEdit->clear();
  ConfNewPINCodeEdit->clear();
}

void TPinEditsDlg::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FormShow();
}

void TPinEditsDlg::FormShow() { CodeEdit->setFocus(); }

bool TPinEditsDlg::ReadEntries(TPin& code, TPin& newPin, bool confirmationLength, const QString& lengthText,
                               const QString& mismatchText) {
  code = Entry(CodeEdit);
  newPin = Entry(NewPINCodeEdit);
  const TPin confirmation = Entry(ConfNewPINCodeEdit);
  if (newPin.empty() || (confirmationLength && confirmation.empty())) {
    ErrorBox(lengthText);
    return false;
  }
  if (!newPin.SameBytes(confirmation)) {
    ErrorBox(mismatchText);
    return false;
  }
  return true;
}

CK_RV TPinEditsDlg::CallModule(const std::function<CK_RV()>& call) {
  IUiServices& ui = Ui();
  ui.setWaitCursor(true);
  const CK_RV rv = call();
  ui.setWaitCursor(false);
  return rv;
}

void TPinEditsDlg::Succeeded(const QString& doneText) {
  ClearEdits();
  Ui().messageBox(MsgKind::Information, doneText);
  done(mrOk);
}

void TPinEditsDlg::CancelBtnClick() {
  ClearEdits();
  done(mrCancel);
}

void TPinEditsDlg::reject() { CancelBtnClick(); }

// ---------------------------------------------------------------------------
// TChangePINDlg

TChangePINDlg::TChangePINDlg(QWidget* parent)
    : TPinEditsDlg(
          {QStringLiteral("Promjena PINa ..."), "OldPINCodeEdit", QStringLiteral("Stari PIN :"), kEditMaxLength},
          parent) {
  OldPINCodeEdit = CodeEdit;
  CardConfParamsBox = new QGroupBox(QStringLiteral("Informacije o PIN-u :"), this);
  CardConfParamsBox->setObjectName(QStringLiteral("CardConfParamsBox"));
  auto* boxGrid = new QGridLayout(CardConfParamsBox);
  boxGrid->addWidget(new QLabel(QStringLiteral("Min. duljina PIN-a :"), CardConfParamsBox), 0, 0);
  MinPinLenLabel = new QLabel(QStringLiteral("/"), CardConfParamsBox);
  MinPinLenLabel->setObjectName(QStringLiteral("MinPinLenLabel"));
  boxGrid->addWidget(MinPinLenLabel, 0, 1);
  boxGrid->addWidget(new QLabel(QStringLiteral("Max. duljina PIN-a :"), CardConfParamsBox), 1, 0);
  MaxPinLenLabel = new QLabel(QStringLiteral("/"), CardConfParamsBox);
  MaxPinLenLabel->setObjectName(QStringLiteral("MaxPinLenLabel"));
  boxGrid->addWidget(MaxPinLenLabel, 1, 1);
  LeftPINText = new QLabel(CardConfParamsBox);
  LeftPINText->setObjectName(QStringLiteral("LeftPINText"));
  boxGrid->addWidget(LeftPINText, 2, 0, 1, 2);
  // Between the edits and the buttons.
  Layout->insertWidget(1, CardConfParamsBox);
}

void TChangePINDlg::OKBtnClick() {
  TPin oldPin, newPin;
  if (!ReadEntries(oldPin, newPin, true, kMsgChangePinLength, kMsgChangePinMismatch)) return;
  // An empty old PIN goes as length 0 (a card whose PIN was never set).
  const CK_RV rv = CallModule(
      [&] { return cryptoki::C_SetPIN(SessionHandle, oldPin.data(), oldPin.size(), newPin.data(), newPin.size()); });
  if (rv == CKR_OK)
    Succeeded(kMsgChangePinDone);
  else if (rv == CKR_PIN_INCORRECT)
    ErrorBox(kMsgChangePinIncorrect);
  else
    ErrorBox(kMsgChangePinFailed + Num(rv) + "]");
}

// ---------------------------------------------------------------------------
// TUnlockPINDlg

TUnlockPINDlg::TUnlockPINDlg(QWidget* parent)
    : TPinEditsDlg({QStringLiteral("Otključavanje kartice ..."), "UnlockCodeEdit",
                    QStringLiteral("Šifra za otključavanje :"), kEditMaxLength},
                   parent) {
  UnlockCodeEdit = CodeEdit;
}

void TUnlockPINDlg::OKBtnClick() {
  TPin code, newPin;
  // Only the new PIN's length is checked: an empty confirmation is a mismatch.
  if (!ReadEntries(code, newPin, false, kMsgUnlockPinLength, kMsgUnlockPinMismatch)) return;
  // A module without the vendor function answers CKR_FUNCTION_NOT_SUPPORTED here.
  const CK_RV rv = CallModule(
      [&] { return cryptoki::C_UnlockPIN(SessionHandle, code.data(), code.size(), newPin.data(), newPin.size()); });
  if (rv == CKR_OK)
    Succeeded(kMsgUnlockDone);
  else
    ErrorBox(kMsgUnlockFailed + Num(rv) + "]");
}
