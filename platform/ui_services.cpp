#include "platform/ui_services.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QEventLoop>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPrintDialog>
#include <QPrinter>
#include <QWidget>
#include <algorithm>
#include <utility>

namespace {

IUiServices* g_override = nullptr;
FolderPicker g_folderPicker;

QtUiServices& QtServices() {
  static QtUiServices services;
  return services;
}

QWidget* DialogParent() {
  return qobject_cast<QApplication*>(QCoreApplication::instance()) ? QApplication::activeWindow() : nullptr;
}

}  // namespace

IUiServices& Ui() { return g_override ? *g_override : QtServices(); }

IUiServices* SetUiServices(IUiServices* services) {
  IUiServices* previous = g_override;
  g_override = services == &QtServices() ? nullptr : services;
  return previous;
}

std::vector<int> ButtonAnswers(MsgButtons buttons) {
  switch (buttons) {
    case MsgButtons::Ok: return {mrOk};
    case MsgButtons::OkCancel: return {mrOk, mrCancel};
    case MsgButtons::YesNo: return {mrYes, mrNo};
    case MsgButtons::YesNoCancel: return {mrYes, mrNo, mrCancel};
    case MsgButtons::RetryCancel: return {mrRetry, mrCancel};
  }
  return {mrOk};
}

int QtUiServices::messageBox(MsgKind kind, const QString& text, const QString& caption) {
  switch (kind) {
    case MsgKind::Warning: return questionBox(text, caption, MsgButtons::Ok, MsgIcon::Warning, mrOk);
    case MsgKind::Error: return questionBox(text, caption, MsgButtons::Ok, MsgIcon::Stop, mrOk);
    case MsgKind::Information: return questionBox(text, caption, MsgButtons::Ok, MsgIcon::Information, mrOk);
    case MsgKind::Confirmation: break;
  }
  return questionBox(text, caption, MsgButtons::YesNo, MsgIcon::Question, mrYes);
}

namespace {

struct ButtonResult {
  QMessageBox::StandardButton button;
  int result;
};
constexpr ButtonResult kButtons[] = {{QMessageBox::Ok, mrOk},
                                     {QMessageBox::Cancel, mrCancel},
                                     {QMessageBox::Retry, mrRetry},
                                     {QMessageBox::Yes, mrYes},
                                     {QMessageBox::No, mrNo}};

QMessageBox::StandardButton ButtonOf(int result) {
  for (const ButtonResult& b : kButtons)
    if (b.result == result) return b.button;
  return QMessageBox::NoButton;
}

}  // namespace

int QtUiServices::questionBox(const QString& text, const QString& caption, MsgButtons buttons, MsgIcon icon,
                              int defaultAnswer) {
  QMessageBox::Icon qicon = QMessageBox::NoIcon;
  switch (icon) {
    case MsgIcon::None: qicon = QMessageBox::NoIcon; break;
    case MsgIcon::Information: qicon = QMessageBox::Information; break;
    case MsgIcon::Question: qicon = QMessageBox::Question; break;
    case MsgIcon::Warning: qicon = QMessageBox::Warning; break;
    case MsgIcon::Stop: qicon = QMessageBox::Critical; break;
  }
  const std::vector<int> answers = ButtonAnswers(buttons);
  QMessageBox::StandardButtons set = QMessageBox::NoButton;
  for (int a : answers) set |= ButtonOf(a);
  QString title = caption.isEmpty() ? QGuiApplication::applicationDisplayName() : caption;
  QMessageBox box(qicon, title, text, set, DialogParent());
  const bool known = std::find(answers.begin(), answers.end(), defaultAnswer) != answers.end();
  box.setDefaultButton(ButtonOf(known ? defaultAnswer : answers.front()));
  // Escape and the close button answer as a Windows box does: Cancel, else the
  // only "no" there is, else OK.
  const int escape = std::find(answers.begin(), answers.end(), int(mrCancel)) != answers.end() ? mrCancel
                     : buttons == MsgButtons::YesNo                                            ? mrNo
                                                                                               : mrOk;
  box.setEscapeButton(ButtonOf(escape));
  const int r = box.exec();
  for (const ButtonResult& b : kButtons)
    if (b.button == r && std::find(answers.begin(), answers.end(), b.result) != answers.end()) return b.result;
  return escape;
}

void QtUiServices::setWaitCursor(bool on) {
  // One value, not Qt's cursor stack: callers set the hourglass more often than
  // they restore it.
  if (on == wait_) return;
  wait_ = on;
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return;
  if (on)
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  else
    QGuiApplication::restoreOverrideCursor();
}

void QtUiServices::processPendingMessages() {
  if (!QCoreApplication::instance()) return;
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void QtUiServices::requestTerminate() {
  terminate_ = true;
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  // exit(), not quit(): Qt 6's quit() first closes every window, which would run
  // the main window's close handler. Queued, so that a request made before the
  // loop starts still ends it; main() also checks the flag before exec().
  QMetaObject::invokeMethod(
      app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

QString QtUiServices::openFileName(const QString& caption, const QString& folder, const QString& filter) {
  return QFileDialog::getOpenFileName(DialogParent(), caption, folder, filter);
}

QString QtUiServices::saveFileName(const QString& caption, const QString& suggestedPath, const QString& filter) {
  return QFileDialog::getSaveFileName(DialogParent(), caption, suggestedPath, filter);
}

void SetFolderPicker(FolderPicker picker) { g_folderPicker = std::move(picker); }

QString QtUiServices::folderName(const QString& caption, const QString& folder) {
  if (g_folderPicker) return g_folderPicker(caption, folder);
  return QFileDialog::getExistingDirectory(DialogParent(), caption, folder);
}

bool QtUiServices::printDialog(QPrinter* printer, QWidget* parent) {
  if (!printer) return false;
  QPrintDialog dialog(printer, parent ? parent : DialogParent());
  // A document that knows its pages gives them as the printer's range: the dialog
  // then offers exactly those pages and no others.
  if (printer->fromPage() > 0 && printer->toPage() >= printer->fromPage()) {
    dialog.setMinMax(printer->fromPage(), printer->toPage());
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, true);
  }
  return dialog.exec() == QDialog::Accepted;
}
