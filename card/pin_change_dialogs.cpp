#include "card/pin_change_dialogs.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

#include "card/cryptoki.h"
#include "platform/codepage.h"
#include "platform/ui_services.h"

namespace {

// One PIN or code as the module gets it: the text's code page 1250 bytes up to the
// first NUL, at most 50 of them, in a fixed buffer that is overwritten when it goes.
class PinBuffer {
 public:
  static constexpr size_t kCapacity = 51;

  explicit PinBuffer(const QString& text) {
    const qsizetype n = std::min<qsizetype>(text.size(), static_cast<qsizetype>(kCapacity - 1));
    for (qsizetype i = 0; i < n; ++i) {
      const char b = ToCp1250Char(text[i].unicode());
      if (b == '\0') break;
      bytes_[len_++] = b;
    }
  }
  ~PinBuffer() {
    // Volatile writes: not optimised away although the buffer dies right after.
    volatile char* p = bytes_.data();
    for (size_t i = 0; i < kCapacity; ++i) p[i] = 0;
    len_ = 0;
  }
  PinBuffer(const PinBuffer&) = delete;
  PinBuffer& operator=(const PinBuffer&) = delete;

  CK_UTF8CHAR_PTR data() { return reinterpret_cast<CK_UTF8CHAR_PTR>(bytes_.data()); }
  CK_ULONG size() const { return static_cast<CK_ULONG>(len_); }
  bool empty() const { return len_ == 0; }
  bool SameBytes(const PinBuffer& other) const {
    return len_ == other.len_ && std::equal(bytes_.begin(), bytes_.begin() + len_, other.bytes_.begin());
  }

 private:
  std::array<char, kCapacity> bytes_{};
  size_t len_ = 0;
};

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

void ErrorBox(const QString& text) { Ui().messageBox(MsgKind::Error, text); }

QString Num(CK_RV rv) { return QString::number(static_cast<qulonglong>(rv)); }

}  // namespace

// ---------------------------------------------------------------------------
// TChangePINDlg

TChangePINDlg::TChangePINDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Promjena PINa ..."));
  setModal(true);
  auto* layout = new QVBoxLayout(this);

  auto* grid = new QGridLayout;
  OldPINCodeEdit = MaskedEdit("OldPINCodeEdit", kEditMaxLength, this);
  NewPINCodeEdit = MaskedEdit("NewPINCodeEdit", kEditMaxLength, this);
  ConfNewPINCodeEdit = MaskedEdit("ConfNewPINCodeEdit", kEditMaxLength, this);
  const QString captions[] = {QStringLiteral("Stari PIN :"), QStringLiteral("Novi PIN :"),
                              QStringLiteral("Potvrdi novi PIN :")};
  QLineEdit* edits[] = {OldPINCodeEdit, NewPINCodeEdit, ConfNewPINCodeEdit};
  for (int i = 0; i < 3; ++i) {
    auto* label = new QLabel(captions[i], this);
    label->setBuddy(edits[i]);
    grid->addWidget(label, i, 0);
    grid->addWidget(edits[i], i, 1);
  }
  layout->addLayout(grid);

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
  layout->addWidget(CardConfParamsBox);

  auto* buttons = new QHBoxLayout;
  OKBtn = Button("OKBtn", QStringLiteral("Potvrdi"), this);
  OKBtn->setDefault(true);
  CancelBtn = Button("CancelBtn", QStringLiteral("Odustani"), this);
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  layout->addLayout(buttons);

  connect(OKBtn, &QPushButton::clicked, this, &TChangePINDlg::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &TChangePINDlg::CancelBtnClick);
}

TChangePINDlg::~TChangePINDlg() {
  OldPINCodeEdit->clear();
  NewPINCodeEdit->clear();
  ConfNewPINCodeEdit->clear();
}

void TChangePINDlg::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FormShow();
}

void TChangePINDlg::FormShow() { OldPINCodeEdit->setFocus(); }

void TChangePINDlg::OKBtnClick() {
  PinBuffer oldPin(OldPINCodeEdit->text());
  PinBuffer newPin(NewPINCodeEdit->text());
  PinBuffer confPin(ConfNewPINCodeEdit->text());
  if (newPin.empty() || confPin.empty()) {
    ErrorBox(kMsgChangePinLength);
    return;
  }
  if (!newPin.SameBytes(confPin)) {
    ErrorBox(kMsgChangePinMismatch);
    return;
  }
  IUiServices& ui = Ui();
  ui.setWaitCursor(true);
  // An empty old PIN goes as length 0 (a card whose PIN was never set).
  const CK_RV rv = cryptoki::C_SetPIN(SessionHandle, oldPin.data(), oldPin.size(), newPin.data(), newPin.size());
  ui.setWaitCursor(false);
  if (rv == CKR_OK) {
    OldPINCodeEdit->clear();
    NewPINCodeEdit->clear();
    ConfNewPINCodeEdit->clear();
    ui.messageBox(MsgKind::Information, kMsgChangePinDone);
    done(mrOk);
  } else if (rv == CKR_PIN_INCORRECT) {
    ErrorBox(kMsgChangePinIncorrect);
  } else {
    ErrorBox(kMsgChangePinFailed + Num(rv) + "]");
  }
}

void TChangePINDlg::CancelBtnClick() {
  OldPINCodeEdit->clear();
  NewPINCodeEdit->clear();
  ConfNewPINCodeEdit->clear();
  done(mrCancel);
}

void TChangePINDlg::reject() { CancelBtnClick(); }

// ---------------------------------------------------------------------------
// TUnlockPINDlg

TUnlockPINDlg::TUnlockPINDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Otključavanje kartice ..."));
  setModal(true);
  auto* layout = new QVBoxLayout(this);

  auto* grid = new QGridLayout;
  UnlockCodeEdit = MaskedEdit("UnlockCodeEdit", kEditMaxLength, this);
  NewPINCodeEdit = MaskedEdit("NewPINCodeEdit", kEditMaxLength, this);
  ConfNewPINCodeEdit = MaskedEdit("ConfNewPINCodeEdit", kEditMaxLength, this);
  const QString captions[] = {QStringLiteral("Šifra za otključavanje :"), QStringLiteral("Novi PIN :"),
                              QStringLiteral("Potvrdi novi PIN :")};
  QLineEdit* edits[] = {UnlockCodeEdit, NewPINCodeEdit, ConfNewPINCodeEdit};
  for (int i = 0; i < 3; ++i) {
    auto* label = new QLabel(captions[i], this);
    label->setBuddy(edits[i]);
    grid->addWidget(label, i, 0);
    grid->addWidget(edits[i], i, 1);
  }
  layout->addLayout(grid);

  auto* buttons = new QHBoxLayout;
  OKBtn = Button("OKBtn", QStringLiteral("Potvrdi"), this);
  OKBtn->setDefault(true);
  CancelBtn = Button("CancelBtn", QStringLiteral("Odustani"), this);
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  layout->addLayout(buttons);

  connect(OKBtn, &QPushButton::clicked, this, &TUnlockPINDlg::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &TUnlockPINDlg::CancelBtnClick);
}

TUnlockPINDlg::~TUnlockPINDlg() {
  UnlockCodeEdit->clear();
  NewPINCodeEdit->clear();
  ConfNewPINCodeEdit->clear();
}

void TUnlockPINDlg::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FormShow();
}

void TUnlockPINDlg::FormShow() { UnlockCodeEdit->setFocus(); }

void TUnlockPINDlg::OKBtnClick() {
  PinBuffer code(UnlockCodeEdit->text());
  PinBuffer newPin(NewPINCodeEdit->text());
  PinBuffer confPin(ConfNewPINCodeEdit->text());
  // Only the new PIN's length is checked: an empty confirmation is a mismatch.
  if (newPin.empty()) {
    ErrorBox(kMsgUnlockPinLength);
    return;
  }
  if (!newPin.SameBytes(confPin)) {
    ErrorBox(kMsgUnlockPinMismatch);
    return;
  }
  IUiServices& ui = Ui();
  ui.setWaitCursor(true);
  // A module without the vendor function answers CKR_FUNCTION_NOT_SUPPORTED here.
  const CK_RV rv = cryptoki::C_UnlockPIN(SessionHandle, code.data(), code.size(), newPin.data(), newPin.size());
  ui.setWaitCursor(false);
  if (rv == CKR_OK) {
    UnlockCodeEdit->clear();
    NewPINCodeEdit->clear();
    ConfNewPINCodeEdit->clear();
    ui.messageBox(MsgKind::Information, kMsgUnlockDone);
    done(mrOk);
  } else {
    ErrorBox(kMsgUnlockFailed + Num(rv) + "]");
  }
}

void TUnlockPINDlg::CancelBtnClick() {
  UnlockCodeEdit->clear();
  NewPINCodeEdit->clear();
  ConfNewPINCodeEdit->clear();
  done(mrCancel);
}

void TUnlockPINDlg::reject() { CancelBtnClick(); }
