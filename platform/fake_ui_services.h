#pragma once
// A recording stand-in for the UI services: tests script the answers and read the
// exact texts that were shown.
#include <deque>
#include <functional>
#include <vector>

#include "platform/ui_services.h"

class FakeUiServices : public IUiServices {
 public:
  struct Box {
    MsgKind kind;
    QString text;
    QString caption;
  };

  // Shown boxes, in order.
  std::vector<Box> boxes;
  // Answers for confirmations (and any box) in order; when empty, a confirmation
  // answers defaultConfirm and every other box answers mrOk.
  std::deque<int> answers;
  int defaultConfirm = mrYes;
  // Answers for the file and folder dialogs, in order; when empty, "" (cancelled).
  std::deque<QString> fileAnswers;
  bool printAnswer = false;
  int printCalls = 0;
  int processCalls = 0;
  int waitCursorChanges = 0;
  // Runs inside processPendingMessages (lets a test simulate timers or card events).
  std::function<void()> onProcess;

  // Put into force on construction, the earlier services back on destruction.
  FakeUiServices() { previous_ = SetUiServices(this); }
  ~FakeUiServices() override { SetUiServices(previous_); }

  int messageBox(MsgKind kind, const QString& text, const QString& caption) override {
    boxes.push_back({kind, text, caption});
    if (!answers.empty()) {
      int a = answers.front();
      answers.pop_front();
      return a;
    }
    return kind == MsgKind::Confirmation ? defaultConfirm : mrOk;
  }
  void setWaitCursor(bool on) override {
    if (on != wait_) ++waitCursorChanges;
    wait_ = on;
  }
  bool waitCursor() const override { return wait_; }
  void processPendingMessages() override {
    ++processCalls;
    if (onProcess) onProcess();
  }
  void requestTerminate() override { terminate_ = true; }
  bool terminateRequested() const override { return terminate_; }
  QString openFileName(const QString&, const QString&, const QString&) override { return nextFile(); }
  QString saveFileName(const QString&, const QString&, const QString&) override { return nextFile(); }
  QString folderName(const QString&, const QString&) override { return nextFile(); }
  bool printDialog(QPrinter*, QWidget* = nullptr) override {
    ++printCalls;
    return printAnswer;
  }

  QString lastText() const { return boxes.empty() ? QString() : boxes.back().text; }
  void clearTerminate() { terminate_ = false; }

 private:
  QString nextFile() {
    if (fileAnswers.empty()) return QString();
    QString f = fileAnswers.front();
    fileAnswers.pop_front();
    return f;
  }
  IUiServices* previous_ = nullptr;
  bool wait_ = false;
  bool terminate_ = false;
};
