#pragma once
// The modal dialogs of a test driven from the event loop: a test lets the loop
// run, and scripted steps act on whichever modal dialog is active.
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

class QTimer;
class QWidget;

// Lets the event loop run until cond holds; false when it never did (a safety net
// of many seconds, not a timing expectation).
bool SpinUntil(const std::function<bool()>& cond, int limitMs = 20000);

// Runs the front step on the active modal dialog whenever the event loop runs,
// until that step returns true; then the next one. The helper lives until its
// steps are done (or until the test ends).
class ModalDriver {
 public:
  ModalDriver();
  ~ModalDriver();
  // step gets the dialog of type D (never null); return true when done with it.
  template <typename D>
  void When(std::function<bool(D*)> step) {
    steps_.push_back([step](QWidget* w) {
      auto* d = qobject_cast<D*>(w);
      return d && step(d);
    });
  }
  bool Done() const { return steps_.empty(); }
  // Class names of the modal dialogs seen, in order, once each.
  QStringList seen;

 private:
  void Tick();
  std::vector<std::function<bool(QWidget*)>> steps_;
  QTimer* timer_;
};
