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

namespace {

IUiServices* g_override = nullptr;

QtUiServices& QtServices() {
  static QtUiServices services;
  return services;
}

QWidget* DialogParent() { return qobject_cast<QApplication*>(QCoreApplication::instance()) ? QApplication::activeWindow() : nullptr; }

}  // namespace

IUiServices& Ui() { return g_override ? *g_override : QtServices(); }

IUiServices* SetUiServices(IUiServices* services) {
  IUiServices* previous = g_override;
  g_override = services == &QtServices() ? nullptr : services;
  return previous;
}

int QtUiServices::messageBox(MsgKind kind, const QString& text, const QString& caption) {
  QMessageBox::Icon icon = QMessageBox::Warning;
  switch (kind) {
    case MsgKind::Warning: icon = QMessageBox::Warning; break;
    case MsgKind::Error: icon = QMessageBox::Critical; break;
    case MsgKind::Information: icon = QMessageBox::Information; break;
    case MsgKind::Confirmation: icon = QMessageBox::Question; break;
  }
  QString title = caption.isEmpty() ? QGuiApplication::applicationDisplayName() : caption;
  QMessageBox box(icon, title, text, QMessageBox::NoButton, DialogParent());
  if (kind == MsgKind::Confirmation) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
  }
  int r = box.exec();
  if (kind == MsgKind::Confirmation) return r == QMessageBox::Yes ? mrYes : mrNo;
  return mrOk;
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
  QMetaObject::invokeMethod(app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

QString QtUiServices::openFileName(const QString& caption, const QString& folder, const QString& filter) {
  return QFileDialog::getOpenFileName(DialogParent(), caption, folder, filter);
}

QString QtUiServices::saveFileName(const QString& caption, const QString& suggestedPath, const QString& filter) {
  return QFileDialog::getSaveFileName(DialogParent(), caption, suggestedPath, filter);
}

QString QtUiServices::folderName(const QString& caption, const QString& folder) {
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
