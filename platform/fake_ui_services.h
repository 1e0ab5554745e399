#pragma once
// A recording stand-in for the UI services: tests script the answers and read the
// exact texts that were shown.
#include <algorithm>
#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ui_services.h"

class FakeUiServices : public IUiServices {
 public:
  struct Box {
    MsgKind kind;
    QString text;
    QString caption;
    // What the box offered: its buttons, icon and default button.
    MsgButtons buttons = MsgButtons::Ok;
    MsgIcon icon = MsgIcon::None;
    int defaultAnswer = mrOk;
  };

  // Shown boxes, in order.
  std::vector<Box> boxes;
  // Answers for the boxes in order. When empty, a confirmation answers
  // defaultConfirm, a question box its default button (as Enter does), and every
  // other box mrOk. An answer that the box has no button for is refused.
  std::deque<int> answers;
  int defaultConfirm = mrYes;
  // Refused answers (and defaults the box has no button for), as texts.
  std::vector<std::string> refusals;
  // Reports a refusal; the test main points it at a test failure. Unset, a
  // refusal throws std::logic_error.
  static inline std::function<void(const std::string&)> refusalReporter;
  // Answers for the file and folder dialogs, in order; when empty, "" (cancelled).
  std::deque<QString> fileAnswers;
  bool printAnswer = false;
  int printCalls = 0;
  int processCalls = 0;
  int waitCursorChanges = 0;
  // Runs inside processPendingMessages (lets a test simulate timers or card events).
  std::function<void()> onProcess;
  // Runs as each box is shown, before it is answered (lets a test look at the
  // windows at that moment).
  std::function<void(const Box&)> onBox;

  // Put into force on construction, the earlier services back on destruction.
  FakeUiServices() { previous_ = SetUiServices(this); }
  ~FakeUiServices() override { SetUiServices(previous_); }

  int messageBox(MsgKind kind, const QString& text, const QString& caption) override {
    Box box{kind, text, caption};
    switch (kind) {
      case MsgKind::Warning: box.icon = MsgIcon::Warning; break;
      case MsgKind::Error: box.icon = MsgIcon::Stop; break;
      case MsgKind::Information: box.icon = MsgIcon::Information; break;
      case MsgKind::Confirmation:
        box.buttons = MsgButtons::YesNo;
        box.icon = MsgIcon::Question;
        box.defaultAnswer = mrYes;
        break;
    }
    return answer(box, kind == MsgKind::Confirmation ? defaultConfirm : mrOk);
  }
  int questionBox(const QString& text, const QString& caption, MsgButtons buttons, MsgIcon icon,
                  int defaultAnswer) override {
    MsgKind kind = MsgKind::Confirmation;
    if (icon == MsgIcon::Warning) kind = MsgKind::Warning;
    if (icon == MsgIcon::Stop) kind = MsgKind::Error;
    if (icon == MsgIcon::Information) kind = MsgKind::Information;
    const Box box{kind, text, caption, buttons, icon, defaultAnswer};
    if (canAnswer(buttons, defaultAnswer)) return answer(box, defaultAnswer);
    refuse("default button " + std::to_string(defaultAnswer), box);
    return answer(box, ButtonAnswers(buttons).front());
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

  static bool canAnswer(MsgButtons buttons, int a) {
    const std::vector<int> possible = ButtonAnswers(buttons);
    return std::find(possible.begin(), possible.end(), a) != possible.end();
  }

 private:
  int answer(const Box& box, int fallback) {
    if (onBox) onBox(box);
    boxes.push_back(box);
    int a = fallback;
    if (!answers.empty()) {
      a = answers.front();
      answers.pop_front();
    }
    if (!canAnswer(box.buttons, a)) {
      refuse("answer " + std::to_string(a), box);
      return canAnswer(box.buttons, fallback) ? fallback : ButtonAnswers(box.buttons).front();
    }
    return a;
  }
  void refuse(const std::string& what, const Box& box) {
    const std::string text = "FakeUiServices: the box \"" + box.text.toStdString() + "\" has no button for " + what;
    refusals.push_back(text);
    if (!refusalReporter) throw std::logic_error(text);
    refusalReporter(text);
  }

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
