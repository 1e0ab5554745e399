#include "support/modal_driver.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

bool SpinUntil(const std::function<bool()>& cond, int limitMs) {
  QElapsedTimer t;
  t.start();
  while (!cond()) {
    if (t.elapsed() > limitMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

ModalDriver::ModalDriver() : timer_(new QTimer) {
  timer_->setInterval(5);
  QObject::connect(timer_, &QTimer::timeout, [this] { Tick(); });
  timer_->start();
}

ModalDriver::~ModalDriver() {
  timer_->stop();
  delete timer_;
}

void ModalDriver::Tick() {
  QWidget* w = QApplication::activeModalWidget();
  if (!w || !w->isVisible()) return;
  const QString name = QString::fromLatin1(w->metaObject()->className());
  if (seen.isEmpty() || seen.back() != name) seen << name;
  if (!steps_.empty() && steps_.front()(w)) steps_.erase(steps_.begin());
}
