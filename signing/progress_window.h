#pragma once
// The modeless progress window that the engine's long operations show while they
// hold the one thread. The window's texts always show the latest position; the
// explicit repaint runs at most about 20 times a second, because some operations
// report after every few bytes. A window that is shown is first waited for until
// the window system has exposed it (a repaint before that is lost), and every
// repaint after the first lets pending messages run, user input excluded: the
// window system's own messages keep this and the program's other windows drawn
// while the operation holds the thread.
#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>

class TZipArchiver;

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
  // window that was hidden is always repainted at once, once it is exposed or
  // kExposeWait has passed).
  void Update(int32_t position, int32_t maximum, const QString& description, const QString& caption);

  // Number of explicit repaints so far; the clock is milliseconds since any fixed
  // point (tests put their own in place).
  int repaintCount() const { return repaints_; }
  void setClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }
  static constexpr int64_t kRepaintInterval = 50;
  static constexpr int64_t kExposeWait = 300;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool exposeSeen_ = false;
  // False when the window was deleted meanwhile.
  bool WaitUntilExposed();
  bool updating_ = false;
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

// The whole of a showing whose steps share one window: each step shows its own
// position of its own maximum inside its share, from first to last of
// kProgressWhole, so the window's position only grows from one step to the next.
inline constexpr int32_t kProgressWhole = 1000;
struct TProgressShare {
  int32_t first = 0;
  int32_t last = kProgressWhole;
  // The position of the whole for a step's position of its maximum (0 or less:
  // the start of the share; at or past the maximum: its end).
  int32_t At(int64_t position, int64_t maximum) const;
  void Show(int64_t position, int64_t maximum, const QString& description, const QString& caption) const;
};

// While it lives, the running ZIP operation's own progress shows in the progress
// window as positions from first to last of whole (100 unless given), with the
// description and caption given (only when show is set); the component's earlier
// handler comes back after.
class TZipProgress {
 public:
  TZipProgress(TZipArchiver& zip, bool show, int32_t first, int32_t last, const QString& description,
               const QString& caption, int32_t whole = 100);
  ~TZipProgress();
  TZipProgress(const TZipProgress&) = delete;
  TZipProgress& operator=(const TZipProgress&) = delete;

 private:
  TZipArchiver& zip_;
  std::function<void(TZipArchiver&, uint32_t, int32_t)> previous_;
};
