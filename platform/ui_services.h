#pragma once
// Every message box, file or folder dialog, print dialog, the wait cursor,
// "process pending messages" and the terminate request go through this one
// interface, so tests can script the answers and read the exact texts.
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

class QPrinter;
class QWidget;

// The four kinds of message box: warning, error and information have an OK button,
// confirmation has Yes and No.
enum class MsgKind { Warning, Error, Information, Confirmation };

// Modal results that callers test.
enum ModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrRetry = 4, mrYes = 6, mrNo = 7 };

// The button sets of a question box, and its icon.
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class MsgIcon { None, Information, Question, Warning, Stop };

// The answers a box with those buttons can give: one per button. Escape and the
// window's close button give Cancel where the box has one, else No (Yes/No), else
// OK, so they add no answer of their own.
std::vector<int> ButtonAnswers(MsgButtons buttons);

class IUiServices {
 public:
  virtual ~IUiServices() = default;

  // Shows a modal box and returns mrOk, or mrYes/mrNo for a confirmation.
  virtual int messageBox(MsgKind kind, const QString& text, const QString& caption = QString()) = 0;

  // Shows a modal box with the given buttons, icon and default button (the answer
  // that Enter gives); returns the modal result of the button chosen. An empty
  // caption means the application's title.
  virtual int questionBox(const QString& text, const QString& caption, MsgButtons buttons, MsgIcon icon,
                          int defaultAnswer) = 0;

  // The wait cursor is a single value, not a stack: setting it twice and restoring
  // once leaves the normal cursor.
  virtual void setWaitCursor(bool on) = 0;
  virtual bool waitCursor() const = 0;

  // Lets pending window messages (timers, repaints, queued calls) run, without
  // user input.
  virtual void processPendingMessages() = 0;

  // Terminate is not close: it ends the event loop without the main window's close
  // handler, also when it comes before the loop starts.
  virtual void requestTerminate() = 0;
  virtual bool terminateRequested() const = 0;

  // File and folder dialogs; an empty result means cancelled.
  virtual QString openFileName(const QString& caption, const QString& folder, const QString& filter) = 0;
  virtual QString saveFileName(const QString& caption, const QString& suggestedPath, const QString& filter) = 0;
  virtual QString folderName(const QString& caption, const QString& folder) = 0;

  // The print dialog over the given printer (its settings change with the user's
  // choices); true when the user chose to print. A page range set on the printer
  // beforehand (from 1 to the document's last page) is all that the dialog offers.
  virtual bool printDialog(QPrinter* printer, QWidget* parent = nullptr) = 0;
};

// The services in force; a Qt implementation unless a test put its own in place.
IUiServices& Ui();
// Puts services in place (nullptr brings back the Qt implementation); returns the earlier ones.
IUiServices* SetUiServices(IUiServices* services);

// The program's own folder picker (caption, start folder; the chosen folder or ""):
// once set, the Qt implementation's folderName shows it in place of Qt's generic
// folder dialog. An empty function brings that dialog back.
using FolderPicker = std::function<QString(const QString& caption, const QString& folder)>;
void SetFolderPicker(FolderPicker picker);

// The standard Qt implementation.
class QtUiServices : public IUiServices {
 public:
  int messageBox(MsgKind kind, const QString& text, const QString& caption) override;
  int questionBox(const QString& text, const QString& caption, MsgButtons buttons, MsgIcon icon,
                  int defaultAnswer) override;
  void setWaitCursor(bool on) override;
  bool waitCursor() const override { return wait_; }
  void processPendingMessages() override;
  void requestTerminate() override;
  bool terminateRequested() const override { return terminate_; }
  QString openFileName(const QString& caption, const QString& folder, const QString& filter) override;
  QString saveFileName(const QString& caption, const QString& suggestedPath, const QString& filter) override;
  QString folderName(const QString& caption, const QString& folder) override;
  bool printDialog(QPrinter* printer, QWidget* parent = nullptr) override;

 private:
  bool wait_ = false;
  bool terminate_ = false;
};
