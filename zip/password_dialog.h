#pragma once
// The component's own password question: a small modal dialog built in code,
// with a masked edit and one to four buttons.
#include <QDialog>
#include <QString>

#include "zip/zip_types.h"

class QLabel;
class QLineEdit;
class QPushButton;

class TPasswordDlg : public QDialog {
 public:
  // Which buttons the dialog has; Ok is always there.
  enum Button : int { pbOk = 1, pbCancel = 2, pbCancelAll = 4, pbAbort = 8 };
  // Modal results of the buttons; closing the window or Esc gives Cancel.
  static constexpr int kResultOk = 1;
  static constexpr int kResultCancel = 2;
  static constexpr int kResultAbort = 3;
  static constexpr int kResultCancelAll = 9;
  static constexpr int kMaxLength = kZipPasswordLimit;

  // Captions come from the message table (ids 10152, 10153, 10157, 10158).
  TPasswordDlg(QWidget* owner, int buttons);
  ~TPasswordDlg() override;

  // Shows the dialog modally; the typed text when it closed with Ok, else empty.
  QString ShowPasswordDialog(const QString& title, const QString& prompt);

  QLineEdit* Edit() const { return edit_; }
  QLabel* Prompt() const { return prompt_; }
  // Slot 0 Ok, 1 Cancel, 2 Cancel all, 3 Abort; null when not wanted.
  QPushButton* ButtonSlot(int slot) const { return slot >= 0 && slot < 4 ? buttons_[slot] : nullptr; }

  void reject() override;

 private:
  QPushButton* buttons_[4] = {nullptr, nullptr, nullptr, nullptr};
  QLineEdit* edit_ = nullptr;
  QLabel* prompt_ = nullptr;
};
