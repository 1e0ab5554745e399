#pragma once
// The modeless progress window that the engine's long operations show while they
// hold the one thread. The window's texts always show the latest position; the
// explicit repaint runs at most about 20 times a second, because some operations
// report after every few bytes.
#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;

class TfmProgres : public QDialog {
  Q_OBJECT
 public:
  explicit TfmProgres(QWidget* parent = nullptr);
  ~TfmProgres() override;

  QLabel* lbPosto = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QLabel* lbOpis = nullptr;
  QPushButton* Button1 = nullptr;

  // Caption, bar, percentage and description as given; shows the window and
  // repaints it unless the last repaint was less than kRepaintInterval ago (a
  // window that was hidden is always repainted at once).
  void Update(int32_t position, int32_t maximum, const QString& description, const QString& caption);

  // Number of explicit repaints so far; the clock is milliseconds since any fixed
  // point (tests put their own in place).
  int repaintCount() const { return repaints_; }
  void setClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }
  static constexpr int64_t kRepaintInterval = 50;

 private:
  std::function<int64_t()> clock_;
  int64_t lastRepaint_ = 0;
  int repaints_ = 0;
};

// The one progress window; absent (nullptr) until start-up or the command-line
// road creates it, and absent again once it is deleted.
extern TfmProgres* fmProgres;

// position × 100 / maximum rounded to the nearest whole number, halves to the even
// neighbour, exact for any 32-bit values; 0 when maximum is 0.
int64_t ProgressPercent(int32_t position, int32_t maximum);

// Updates and shows fmProgres; nothing at all when it is absent.
void ShowProgress(int32_t position, int32_t maximum, const QString& description, const QString& caption);
// Hides fmProgres when it exists.
void HideProgress();
