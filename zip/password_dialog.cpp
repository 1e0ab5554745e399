// Asking the user for an archive password when no OnPasswordError handler is bound.
#include "zip/password_dialog.h"

#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include "zip/zip_archiver.h"
#include "zip/zip_messages.h"

namespace {

struct ButtonSpec {
  int bit;
  int result;
  int captionId;
};
constexpr ButtonSpec kButtons[4] = {
    {TPasswordDlg::pbOk, TPasswordDlg::kResultOk, kZipButtonOk},
    {TPasswordDlg::pbCancel, TPasswordDlg::kResultCancel, kZipButtonCancel},
    {TPasswordDlg::pbCancelAll, TPasswordDlg::kResultCancelAll, kZipCancelAll},
    {TPasswordDlg::pbAbort, TPasswordDlg::kResultAbort, kZipAbort},
};

}  // namespace

TPasswordDlg::TPasswordDlg(QWidget* owner, int buttons) : QDialog(owner) {
  buttons |= pbOk;
  int n = 0;
  for (const ButtonSpec& b : kButtons)
    if (buttons & b.bit) ++n;

  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setModal(true);
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(12);
  font.setBold(true);
  setFont(font);
  setFixedSize(124 * n + 35, 137);

  prompt_ = new QLabel(this);
  prompt_->setGeometry(20, 8, 297, 18);

  edit_ = new QLineEdit(this);
  edit_->setGeometry(20, 40, 124 * n - 10, edit_->sizeHint().height());
  edit_->setEchoMode(QLineEdit::Password);
  edit_->setMaxLength(kMaxLength);

  int k = 0;
  for (int slot = 0; slot < 4; ++slot) {
    const ButtonSpec& b = kButtons[slot];
    if (!(buttons & b.bit)) continue;
    auto* button = new QPushButton(ZipMessageText(b.captionId), this);
    button->setGeometry(20 + 124 * k, 72, 114, 28);
    const int result = b.result;
    connect(button, &QPushButton::clicked, this, [this, result] { done(result); });
    if (b.bit == pbOk) {
      button->setDefault(true);
      button->setAutoDefault(true);
    } else {
      button->setAutoDefault(false);
    }
    buttons_[slot] = button;
    ++k;
  }
  edit_->setFocus();

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}

TPasswordDlg::~TPasswordDlg() {
  // The typed text does not outlive the dialog in the edit's buffer.
  if (edit_) edit_->setText(QString(edit_->text().size(), u' '));
}

void TPasswordDlg::reject() {
  // Esc and the window's close button are the Cancel button.
  done(kResultCancel);
}

QString TPasswordDlg::ShowPasswordDialog(const QString& title, const QString& prompt) {
  setWindowTitle(title);
  prompt_->setText(prompt);
  const int result = exec();
  return result == kResultOk ? edit_->text() : QString();
}

TPasswordButton TZipArchiver::GetPassword(const QString& title, const QString& prompt, QString& password, int buttons) {
  {
    TPasswordDlg dialog(nullptr, buttons);
    password = dialog.ShowPasswordDialog(title, prompt);
    passwordModalResult_ = dialog.result();
  }
  switch (passwordModalResult_) {
    case TPasswordDlg::kResultOk: return pwbOk;
    case TPasswordDlg::kResultCancel: return pwbCancel;
    case TPasswordDlg::kResultCancelAll: return pwbCancelAll;
    default: return pwbAbort;
  }
}

void TZipArchiver::GetAddPassword(QString& password) {
  password.clear();
  if (unattended_) {
    ShowZipMessage(kZipNoAddPassword);
    return;
  }
  const int buttons = TPasswordDlg::pbOk | TPasswordDlg::pbCancel;
  QString first;
  QString second;
  TPasswordButton answer =
      GetPassword(LoadZipString(kZipPasswordTitle), ZipMessageText(kZipEnterPassword), first, buttons);
  lastPasswordButton_ = answer;
  if (answer == pwbOk && !first.isEmpty()) {
    answer = GetPassword(LoadZipString(kZipPasswordTitle), ZipMessageText(kZipConfirmPassword), second, buttons);
    lastPasswordButton_ = answer;
    if (answer == pwbOk && !second.isEmpty()) {
      if (first != second) {
        ShowZipMessage(kZipPasswordsDiffer);
        second.clear();
      } else if (storePassword_) {
        password_ = second;
      }
    } else {
      second.clear();
    }
  }
  password = second;
}

void TZipArchiver::GetExtrPassword(QString& password) {
  password.clear();
  if (unattended_) {
    ShowZipMessage(kZipNoExtractPassword);
    return;
  }
  QString text;
  const TPasswordButton answer = GetPassword(LoadZipString(kZipPasswordTitle), ZipMessageText(kZipEnterPassword), text,
                                             TPasswordDlg::pbOk | TPasswordDlg::pbCancel | TPasswordDlg::pbCancelAll);
  lastPasswordButton_ = answer;
  if (answer == pwbOk && !text.isEmpty() && storePassword_) password_ = text;
  password = text;
}
