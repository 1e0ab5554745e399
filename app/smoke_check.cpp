#include "app/smoke_check.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unistd.h>

#include "app/main_window.h"
#include "app/splash_window.h"
#include "card/pin_dialogs.h"

namespace {

void Say(const QString& text) {
  std::printf("smoke: %s\n", text.toUtf8().constData());
  std::fflush(stdout);
}

class SmokeCheck : public QObject {
 public:
  explicit SmokeCheck(std::string pin) : pin_(std::move(pin)) {
    connect(&tick_, &QTimer::timeout, this, [this] { Tick(); });
    tick_.start(50);
    int seconds = qEnvironmentVariableIntValue("TARVI_SMOKE_TIMEOUT");
    if (seconds <= 0) seconds = 60;
    watchdog_.setSingleShot(true);
    connect(&watchdog_, &QTimer::timeout, this, [] {
      Say("the main window did not come up in time");
      _exit(3);
    });
    watchdog_.start(seconds * 1000);
  }
  ~SmokeCheck() override { Wipe(); }

 private:
  void Wipe() {
    for (char& c : pin_) c = '\0';
    pin_.clear();
  }

  void Tick() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal->isVisible()) {
      Answer(modal);
      return;
    }
    if (!done_ && fmMain && fmMain->isVisible() && !fmStartUp) {
      done_ = true;
      watchdog_.stop();
      Say("main window up: " + fmMain->windowTitle() + " | " + fmMain->PanelText(1) + " | " + fmMain->PanelText(2) +
          " | " + fmMain->PanelText(3));
      const int hold = qMax(0, qEnvironmentVariableIntValue("TARVI_SMOKE_HOLD"));
      QTimer::singleShot(hold * 1000, fmMain, [] {
        if (fmMain) fmMain->close();
      });
    }
  }

  void Answer(QWidget* modal) {
    if (auto* pin = qobject_cast<TEnterPINDlg*>(modal)) {
      if (!pin->CardPresentFlag) return;  // the dialog is still waiting for a card
      if (pinTyped_ || pin_.empty()) {
        Say("PIN dialog: no PIN to give");
        pin->reject();
        return;
      }
      pinTyped_ = true;
      Say("PIN dialog: PIN typed");
      pin->PINCodeEdit->setText(QString::fromStdString(pin_));
      Wipe();
      pin->OKBtn->click();
      return;
    }
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      Say("box: " + box->text());
      if (QAbstractButton* b = box->defaultButton()) b->click();
      else box->accept();
      return;
    }
    Say(QString("window: ") + modal->metaObject()->className() + " \"" + modal->windowTitle() + "\"");
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      for (QPushButton* b : dialog->findChildren<QPushButton*>())
        if (b->isDefault() && b->isEnabled()) {
          b->click();
          return;
        }
      dialog->accept();
    } else {
      modal->close();
    }
  }

  std::string pin_;
  bool pinTyped_ = false;
  bool done_ = false;
  QTimer tick_;
  QTimer watchdog_;
};

}  // namespace

bool InstallSmokeCheck() {
  if (qEnvironmentVariable("TARVI_SMOKE_CHECK") != QLatin1String("1")) return false;
  std::string pin;
  std::getline(std::cin, pin);
  while (!pin.empty() && (pin.back() == '\r' || pin.back() == '\n')) pin.pop_back();
  Say("installed");
  auto* check = new SmokeCheck(std::move(pin));
  check->setParent(QCoreApplication::instance());  // lives as long as the application
  return true;
}
