#include "app/smoke_check.h"

#include <unistd.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "app/browse_folder.h"
#include "app/contact_forms.h"
#include "app/main_window.h"
#include "app/settings_dialog.h"
#include "app/splash_window.h"
#include "card/cert_list.h"
#include "card/certificate.h"
#include "card/pin_dialogs.h"
#include "platform/ui_services.h"
#include "signing/settings.h"

namespace {

void Say(const QString& text) {
  std::printf("smoke: %s\n", text.toUtf8().constData());
  std::fflush(stdout);
}

class SmokeCheck : public QObject {
 public:
  explicit SmokeCheck(std::string pin) : pin_(std::move(pin)), tour_(qEnvironmentVariable("TARVI_SMOKE_TOUR")) {
    if (!tour_.isEmpty()) MakeTour();
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
    if (Framing()) return;
    if (!shot_.isEmpty()) {
      // The script takes the picture and leaves NAME.done beside the others.
      if (!QFileInfo::exists(tour_ + "/" + shot_ + ".done")) return;
      shot_.clear();
      if (afterShot_) {
        auto next = std::move(afterShot_);
        afterShot_ = nullptr;
        next();
      }
      return;
    }
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal->isVisible()) {
      Answer(modal);
      return;
    }
    if (!done_ && fmMain && fmMain->isVisible() && !fmStartUp) {
      if (!tour_.isEmpty() && NextStep()) return;
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

  // ---- the tour: each window in turn, announced for a screenshot -----------------
  // "smoke: shot NAME X Y W H" names the window's frame on the screen; the tour
  // goes on once the script has left NAME.done in the tour folder.
  // The line names the window's X window, whose frame the script looks up; it
  // comes a quarter of a second after the window was first seen, once painted.
  void Shoot(const QString& name, QWidget* window, std::function<void()> then = nullptr) {
    watchdog_.start();  // every picture may take its time
    shot_ = name;
    afterShot_ = std::move(then);
    framing_ = window;
    framingTicks_ = 0;
  }
  // True while a window waits to be announced.
  bool Framing() {
    if (!framing_) return false;
    if (++framingTicks_ < 5) return true;
    QWidget* w = framing_;
    framing_ = nullptr;
    const QRect r = w->frameGeometry();
    Say(QStringLiteral("shot %1 0x%2 %3 %4 %5 %6")
            .arg(shot_)
            .arg(static_cast<qulonglong>(w->winId()), 0, 16)
            .arg(r.x())
            .arg(r.y())
            .arg(r.width())
            .arg(r.height()));
    return true;
  }

  // The window that a step's command opens, by its class, and its picture's name.
  struct Step {
    QString name;
    const char* windowClass;  // nullptr: the main window itself
    std::function<void()> open;
  };

  void MakeTour() {
    auto selectFile = [](QRadioButton* filter, const QString& suffix) {
      filter->setChecked(true);
      fmMain->rbIzvorneClick();
      for (int i = 0; i < fmMain->slvDatoteke->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = fmMain->slvDatoteke->topLevelItem(i);
        if (item->text(0).endsWith(suffix)) {
          fmMain->SelectFileItem(item);
          fmMain->slvDatotekeClick();
          return;
        }
      }
    };
    steps_ = {
        {"main-window", nullptr, [selectFile] { selectFile(fmMain->rbIzvorne, ".txt"); }},
        {"settings", "TfmPostavke", [] { fmMain->actPostavke->trigger(); }},
        {"certificates", "TfmUserCertList", [] { fmMain->actAdminKontaktOsoba->trigger(); }},
        {"contact-editor", "TfmUser",
         [] {
           if (ContactCertList && !ContactCertList->UserCertificates.empty())
             RunUserCertDialog(2, 2, ContactCertList->UserCertificates.front().get());
         }},
        {"registration-numbers", "TfmMaticniBrojevi", [] { fmMain->actEvidencijaMbrExecute(); }},
        {"about-box", "TfmOprogramu", [] { fmMain->actOProgramu->trigger(); }},
        {"signing", "QMessageBox",
         [selectFile] {
           selectFile(fmMain->rbIzvorne, ".txt");
           fmMain->actQVDPotpisivanjeExecute();
         }},
        {"main-window-signers", nullptr, [selectFile] { selectFile(fmMain->rbPotpisane, ".sgn"); }},
        {"signature-details", "TfmDetPotpisa", [] { fmMain->actDetPotpisaExecute(); }},
        {"data-sheet", "TfmPodaciSGN", [] { fmMain->actCoverPageExecute(); }},
        {"recipient-picker", "TfmUserCertList", [] { fmMain->actQVDPakiranjeExecute(); }},
        {"main-window-recipients", nullptr, [selectFile] { selectFile(fmMain->rbPakirane, ".enc"); }},
        {"decrypting", "QMessageBox", [] { fmMain->actProvjeraPotpisaExecute(); }},
    };
  }

  // Starts the next step; false when the tour is over.
  bool NextStep() {
    if (stepRunning_) return true;
    if (next_ >= steps_.size()) return false;
    const Step& step = steps_[next_++];
    stepRunning_ = true;
    stepShot_ = false;
    current_ = &step;
    QTimer::singleShot(0, fmMain, [this, &step] {
      step.open();
      if (!step.windowClass) {
        Shoot(step.name, fmMain, [this] { stepRunning_ = false; });
        return;
      }
      stepRunning_ = false;
    });
    return true;
  }

  // A window the tour opened: its picture first, then it is closed (the
  // settings dialog shows its folder picker before it goes). False for a window
  // that the ordinary answers take.
  bool TourWindow(QWidget* modal) {
    if (!current_) return false;
    if (modal == hold_) return true;  // its folder picker is on the way
    if (auto* picker = qobject_cast<TfmBrowseFolder*>(modal)) {
      if (pickerShot_) return false;
      pickerShot_ = true;
      Shoot("folder-picker", picker, [this, picker] {
        picker->btnOdustani->click();
        if (auto* settings = qobject_cast<TfmPostavke*>(hold_))
          QTimer::singleShot(0, settings, [settings] { settings->btnOdustani->click(); });
        hold_ = nullptr;
      });
      return true;
    }
    const QString cls = QString::fromLatin1(modal->metaObject()->className());
    if (stepShot_ || !current_->windowClass || cls != QLatin1String(current_->windowClass)) return false;
    stepShot_ = true;
    if (auto* settings = qobject_cast<TfmPostavke*>(modal)) {
      Shoot(current_->name, settings, [this, settings] {
        hold_ = settings;
        QTimer::singleShot(0, settings->actBFOutDir, &QAction::trigger);
      });
      return true;
    }
    if (qobject_cast<QMessageBox*>(modal)) {
      Shoot(current_->name, modal, [this, modal] { Reply(modal); });
      return true;
    }
    if (auto* picker = qobject_cast<TfmUserCertList*>(modal); picker && picker->actPotvrdi->isVisible()) {
      // The demo user encrypts for herself, so that the tour can decrypt it.
      Shoot(current_->name, picker, [picker] {
        for (int i = 0; i < picker->lwKontaktOsoba->topLevelItemCount(); ++i) {
          QTreeWidgetItem* row = picker->lwKontaktOsoba->topLevelItem(i);
          row->setCheckState(0, row->text(0) == QLatin1String("Ana Demo") ? Qt::Checked : Qt::Unchecked);
        }
        picker->actPotvrdi->trigger();
      });
      return true;
    }
    auto* dialog = qobject_cast<QDialog*>(modal);
    Shoot(current_->name, modal, [dialog] {
      if (dialog) dialog->done(mrCancel);
    });
    return true;
  }

  void Answer(QWidget* modal) {
    if (!tour_.isEmpty() && TourWindow(modal)) return;
    if (auto* pin = qobject_cast<TEnterPINDlg*>(modal)) {
      if (!pin->CardPresentFlag) return;  // the dialog is still waiting for a card
      if (!tour_.isEmpty() && !pinShot_) {
        pinShot_ = true;
        Shoot("pin-dialog", pin);
        return;
      }
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
    Reply(modal);
  }

  // The ordinary answer: a box's or dialog's default button.
  void Reply(QWidget* modal) {
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      Say("box: " + box->text());
      if (QAbstractButton* b = box->defaultButton())
        b->click();
      else
        box->accept();
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
  QString tour_;
  std::vector<Step> steps_;
  size_t next_ = 0;
  bool stepRunning_ = false;
  const Step* current_ = nullptr;
  QString shot_;
  std::function<void()> afterShot_;
  QPointer<QWidget> framing_;
  int framingTicks_ = 0;
  bool stepShot_ = false;
  bool pickerShot_ = false;
  QWidget* hold_ = nullptr;
  bool pinShot_ = false;
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
