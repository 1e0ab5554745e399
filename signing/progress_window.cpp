#include "signing/progress_window.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <QWindow>
#include <algorithm>
#include <cstdlib>

#include "platform/ui_services.h"
#include "zip/zip_archiver.h"

TfmProgres* fmProgres = nullptr;

namespace {

int64_t SteadyMilliseconds() {
  static QElapsedTimer timer;
  if (!timer.isValid()) timer.start();
  return timer.elapsed();
}

}  // namespace

TfmProgres::TfmProgres(QWidget* parent) : QDialog(parent), clock_(SteadyMilliseconds) {
  setObjectName("fmProgres");
  setWindowTitle("Progres");
  setModal(false);
  // A dialog-style border: no resizing, no help button.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setFixedSize(280, 124);

  lbPosto = new QLabel("1 %", this);
  lbPosto->setObjectName("lbPosto");
  lbPosto->setGeometry(16, 8, 249, 17);
  lbPosto->setAlignment(Qt::AlignCenter);

  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setGeometry(16, 28, 249, 17);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);

  lbOpis = new QLabel(this);
  lbOpis->setObjectName("lbOpis");
  lbOpis->setGeometry(16, 50, 249, 25);
  lbOpis->setFixedSize(249, 25);
  lbOpis->setWordWrap(true);

  Button1 = new QPushButton("&Odustani", this);
  Button1->setObjectName("Button1");
  Button1->setGeometry(102, 86, 75, 25);
  // Closes the window only; the operation goes on and its next update shows the
  // window again.
  connect(Button1, &QPushButton::clicked, this, &QDialog::reject);

  if (QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());
}

TfmProgres::~TfmProgres() {
  if (fmProgres == this) fmProgres = nullptr;
}

void TfmProgres::Update(int32_t position, int32_t maximum, const QString& description, const QString& caption) {
  setWindowTitle(caption);
  // The bar keeps position inside its range, as a native progress bar does.
  ProgressBar1->setRange(0, std::max(maximum, 0));
  ProgressBar1->setValue(std::clamp(position, 0, std::max(maximum, 0)));
  lbPosto->setText(QString::number(ProgressPercent(position, maximum)) + " %");
  lbOpis->setText(description);

  const bool wasHidden = !isVisible();
  if (wasHidden) {
    exposeSeen_ = false;
    show();
    // The window system tells of the showing by an expose message; until it has
    // been handled, a repaint is lost (and an earlier showing's state is stale).
    if (QWindow* w = windowHandle()) w->installEventFilter(this);
    if (!WaitUntilExposed()) return;
  }
  const int64_t now = clock_ ? clock_() : 0;
  if (wasHidden || repaints_ == 0 || now - lastRepaint_ >= kRepaintInterval || now < lastRepaint_) {
    lastRepaint_ = now;
    ++repaints_;
    if (!wasHidden && !updating_) {
      // Updates come from inside the operation, which holds the thread: this is
      // where the window system's messages get their turn. A nested update (from a
      // timer that runs here) repaints only.
      QPointer<TfmProgres> self(this);
      updating_ = true;
      Ui().processPendingMessages();
      if (!self) return;
      updating_ = false;
      if (!isVisible()) return;  // hidden meanwhile: the next update shows it again
    }
    repaint();
  }
}

bool TfmProgres::WaitUntilExposed() {
  if (updating_) return true;
  auto exposed = [this] { return exposeSeen_ && windowHandle() && windowHandle()->isExposed(); };
  QPointer<TfmProgres> self(this);
  updating_ = true;
  QElapsedTimer waited;
  waited.start();
  while (!exposed() && waited.elapsed() < kExposeWait) {
    Ui().processPendingMessages();
    if (!self) return false;
    if (!isVisible()) break;
    if (!exposed()) QThread::msleep(1);
  }
  updating_ = false;
  return true;
}

bool TfmProgres::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Expose && watched == windowHandle()) exposeSeen_ = true;
  return QDialog::eventFilter(watched, event);
}

int64_t ProgressPercent(int32_t position, int32_t maximum) {
  if (maximum == 0) return 0;
  int64_t num = int64_t(position) * 100;
  int64_t den = maximum;
  if (den < 0) {
    num = -num;
    den = -den;
  }
  const bool negative = num < 0;
  const int64_t a = negative ? -num : num;
  int64_t q = a / den;
  const int64_t r2 = (a % den) * 2;
  if (r2 > den || (r2 == den && (q & 1))) ++q;
  return negative ? -q : q;
}

void ShowProgress(int32_t position, int32_t maximum, const QString& description, const QString& caption) {
  if (!fmProgres) return;
  fmProgres->Update(position, maximum, description, caption);
}

void HideProgress() {
  if (fmProgres) fmProgres->hide();
}

int32_t TProgressShare::At(int64_t position, int64_t maximum) const {
  if (maximum <= 0 || position <= 0) return first;
  if (position >= maximum) return last;
  // Exact enough for any file size, and never past the share's end.
  const long double span = (long double)(int64_t(last) - first);
  return first + int32_t(span * (long double)position / (long double)maximum);
}

void TProgressShare::Show(int64_t position, int64_t maximum, const QString& description, const QString& caption) const {
  ShowProgress(At(position, maximum), kProgressWhole, description, caption);
}

TZipProgress::TZipProgress(TZipArchiver& zip, bool show, int32_t first, int32_t last, const QString& description,
                           const QString& caption, int32_t whole)
    : zip_(zip), previous_(zip.OnTotalProgress) {
  if (!show) return;
  zip_.OnTotalProgress = [=](TZipArchiver&, uint32_t, int32_t perCent) {
    if (perCent < 0) return;  // the end of the batch
    const int64_t p = std::min<int64_t>(perCent, 100);
    ShowProgress(int32_t(first + (last - first) * p / 100), whole, description, caption);
  };
}

TZipProgress::~TZipProgress() { zip_.OnTotalProgress = std::move(previous_); }
