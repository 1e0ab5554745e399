#include "platform/ui_services.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "platform/fake_ui_services.h"

namespace {

// Clicks the button with the given role text of the next modal message box and
// records what the box showed.
struct BoxDriver {
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QStringList buttons;
  void clickNext(QMessageBox::StandardButton which) {
    QTimer::singleShot(0, [this, which] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      title = box->windowTitle();
      text = box->text();
      icon = box->icon();
      for (QAbstractButton* b : box->buttons()) buttons << b->text();
      if (QAbstractButton* b = box->button(which)) b->click();
    });
  }
};

class CloseCounter : public QWidget {
 public:
  int closes = 0;

 protected:
  void closeEvent(QCloseEvent* e) override {
    ++closes;
    e->accept();
  }
};

}  // namespace

TEST(UiServices, FakeIsInForceWhileItLives) {
  IUiServices* qt = &Ui();
  EXPECT_NE(dynamic_cast<QtUiServices*>(qt), nullptr);
  {
    FakeUiServices fake;
    EXPECT_EQ(&Ui(), &fake);
    {
      FakeUiServices inner;
      EXPECT_EQ(&Ui(), &inner);
    }
    EXPECT_EQ(&Ui(), &fake);
    fake.answers = {mrNo};
    EXPECT_EQ(Ui().messageBox(MsgKind::Confirmation, "q?"), mrNo);
    EXPECT_EQ(Ui().messageBox(MsgKind::Confirmation, "q2?"), mrYes);
    EXPECT_EQ(Ui().messageBox(MsgKind::Error, "e", "c"), mrOk);
    ASSERT_EQ(fake.boxes.size(), 3u);
    EXPECT_EQ(fake.boxes[2].kind, MsgKind::Error);
    EXPECT_EQ(fake.boxes[2].caption, "c");
    EXPECT_EQ(fake.lastText(), "e");
  }
  EXPECT_EQ(&Ui(), qt);
}

TEST(UiServices, WaitCursorIsOneValueNotAStack) {
  FakeUiServices fake;
  fake.setWaitCursor(true);
  fake.setWaitCursor(true);
  fake.setWaitCursor(false);
  EXPECT_FALSE(fake.waitCursor());
  EXPECT_EQ(fake.waitCursorChanges, 2);

  QtUiServices qt;
  ASSERT_EQ(QGuiApplication::overrideCursor(), nullptr);
  qt.setWaitCursor(true);
  qt.setWaitCursor(true);
  ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
  qt.setWaitCursor(false);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_FALSE(qt.waitCursor());
  qt.setWaitCursor(false);  // restoring twice must not pop a cursor someone else set
  QGuiApplication::setOverrideCursor(Qt::CrossCursor);
  qt.setWaitCursor(false);
  EXPECT_NE(QGuiApplication::overrideCursor(), nullptr);
  QGuiApplication::restoreOverrideCursor();
}

TEST(UiServices, QtMessageBoxKindsAndResults) {
  QtUiServices qt;
  struct Case {
    MsgKind kind;
    QMessageBox::StandardButton click;
    int result;
    QMessageBox::Icon icon;
    int buttons;
  } cases[] = {
      {MsgKind::Warning, QMessageBox::Ok, mrOk, QMessageBox::Warning, 1},
      {MsgKind::Error, QMessageBox::Ok, mrOk, QMessageBox::Critical, 1},
      {MsgKind::Information, QMessageBox::Ok, mrOk, QMessageBox::Information, 1},
      {MsgKind::Confirmation, QMessageBox::Yes, mrYes, QMessageBox::Question, 2},
      {MsgKind::Confirmation, QMessageBox::No, mrNo, QMessageBox::Question, 2},
  };
  for (const Case& c : cases) {
    BoxDriver d;
    d.clickNext(c.click);
    const QString text = QString::fromUtf8("Kartica je zaključana!");
    EXPECT_EQ(qt.messageBox(c.kind, text, "Naslov"), c.result);
    EXPECT_EQ(d.text, text);
    EXPECT_EQ(d.title, "Naslov");
    EXPECT_EQ(d.icon, c.icon);
    EXPECT_EQ(d.buttons.size(), c.buttons);
  }
}

// Each button set shows exactly its buttons, the icon and the default asked
// for; each button gives its own result, Escape the box's cancelling one.
TEST(UiServices, QtQuestionBoxesButtonsIconsAndDefaults) {
  QtUiServices qt;
  struct Case {
    MsgButtons buttons;
    MsgIcon icon;
    int defaultAnswer;
    QMessageBox::Icon shownIcon;
    QMessageBox::StandardButtons shown;
    QMessageBox::StandardButton defaultShown;
    int escape;
  } cases[] = {
      {MsgButtons::Ok, MsgIcon::Information, mrOk, QMessageBox::Information, QMessageBox::Ok, QMessageBox::Ok, mrOk},
      {MsgButtons::OkCancel, MsgIcon::None, mrOk, QMessageBox::NoIcon, QMessageBox::Ok | QMessageBox::Cancel,
       QMessageBox::Ok, mrCancel},
      {MsgButtons::OkCancel, MsgIcon::Stop, mrOk, QMessageBox::Critical, QMessageBox::Ok | QMessageBox::Cancel,
       QMessageBox::Ok, mrCancel},
      {MsgButtons::YesNo, MsgIcon::Warning, mrNo, QMessageBox::Warning, QMessageBox::Yes | QMessageBox::No,
       QMessageBox::No, mrNo},
      {MsgButtons::YesNoCancel, MsgIcon::Warning, mrNo, QMessageBox::Warning,
       QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::No, mrCancel},
      {MsgButtons::RetryCancel, MsgIcon::Stop, mrRetry, QMessageBox::Critical, QMessageBox::Retry | QMessageBox::Cancel,
       QMessageBox::Retry, mrCancel},
      {MsgButtons::YesNo, MsgIcon::Question, mrYes, QMessageBox::Question, QMessageBox::Yes | QMessageBox::No,
       QMessageBox::Yes, mrNo},
  };
  const std::pair<QMessageBox::StandardButton, int> results[] = {{QMessageBox::Ok, mrOk},
                                                                 {QMessageBox::Cancel, mrCancel},
                                                                 {QMessageBox::Retry, mrRetry},
                                                                 {QMessageBox::Yes, mrYes},
                                                                 {QMessageBox::No, mrNo}};
  int k = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(k++);
    // Every button of the set, then Escape, then Enter.
    std::vector<std::pair<QMessageBox::StandardButton, int>> clicks;
    for (const auto& r : results)
      if (c.shown & r.first) clicks.push_back(r);
    EXPECT_EQ(ButtonAnswers(c.buttons).size(), clicks.size());
    for (const auto& [button, result] : clicks) {
      bool checked = false;
      QTimer::singleShot(0, [&, button = button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->icon(), c.shownIcon);
        EXPECT_EQ(box->windowTitle(), "Potvrda");
        QMessageBox::StandardButtons present = QMessageBox::NoButton;
        for (QAbstractButton* b : box->buttons()) present |= box->standardButton(b);
        EXPECT_EQ(present, c.shown);
        EXPECT_EQ(static_cast<QAbstractButton*>(box->defaultButton()), box->button(c.defaultShown));
        checked = true;
        box->button(button)->click();
      });
      EXPECT_EQ(qt.questionBox("Pitanje?", "Potvrda", c.buttons, c.icon, c.defaultAnswer), result);
      EXPECT_TRUE(checked);
    }
    QTimer::singleShot(0, [] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(box, &esc);
      }
    });
    EXPECT_EQ(qt.questionBox("Pitanje?", "Potvrda", c.buttons, c.icon, c.defaultAnswer), c.escape);
    QTimer::singleShot(0, [] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->defaultButton()->click();
    });
    EXPECT_EQ(qt.questionBox("Pitanje?", "Potvrda", c.buttons, c.icon, c.defaultAnswer), c.defaultAnswer);
  }
}

// The fake answers only with a button the box has: a scripted answer it cannot
// give (or a default it has no button for) is refused and reported.
TEST(UiServices, FakeRefusesAnswersTheBoxCannotGive) {
  std::vector<std::string> reported;
  const auto saved = FakeUiServices::refusalReporter;
  FakeUiServices::refusalReporter = [&](const std::string& t) { reported.push_back(t); };
  {
    FakeUiServices fake;
    struct Case {
      MsgButtons buttons;
      int answer;
      bool allowed;
    } cases[] = {
        {MsgButtons::Ok, mrOk, true},
        {MsgButtons::Ok, mrCancel, false},
        {MsgButtons::OkCancel, mrCancel, true},
        {MsgButtons::OkCancel, mrNo, false},
        {MsgButtons::YesNo, mrNo, true},
        {MsgButtons::YesNo, mrCancel, false},
        {MsgButtons::YesNoCancel, mrCancel, true},
        {MsgButtons::YesNoCancel, mrOk, false},
        {MsgButtons::RetryCancel, mrRetry, true},
        {MsgButtons::RetryCancel, mrYes, false},
        {MsgButtons::RetryCancel, mrNone, false},
    };
    for (const Case& c : cases) {
      reported.clear();
      fake.answers = {c.answer};
      const int first = ButtonAnswers(c.buttons).front();
      const int r = fake.questionBox("q", "c", c.buttons, MsgIcon::Warning, first);
      EXPECT_EQ(reported.empty(), c.allowed) << c.answer;
      EXPECT_EQ(r, c.allowed ? c.answer : first);
    }
    // The old kinds: a confirmation has Yes and No only, the others OK.
    reported.clear();
    fake.answers = {mrCancel, mrNo, mrYes};
    fake.messageBox(MsgKind::Confirmation, "q", "");
    fake.messageBox(MsgKind::Confirmation, "q", "");
    fake.messageBox(MsgKind::Error, "e", "");
    EXPECT_EQ(reported.size(), 2u);
    EXPECT_EQ(fake.boxes.back().buttons, MsgButtons::Ok);
    EXPECT_EQ(fake.boxes.back().icon, MsgIcon::Stop);
    // A default that is no button of the box.
    reported.clear();
    fake.questionBox("q", "c", MsgButtons::YesNo, MsgIcon::Warning, mrCancel);
    EXPECT_EQ(reported.size(), 1u);
    // Unscripted, a question box answers its default, as Enter does.
    reported.clear();
    EXPECT_EQ(fake.questionBox("q", "c", MsgButtons::YesNoCancel, MsgIcon::Warning, mrNo), mrNo);
    EXPECT_TRUE(reported.empty());
  }
  FakeUiServices::refusalReporter = nullptr;
  {
    FakeUiServices fake;
    fake.answers = {mrCancel};
    EXPECT_THROW(fake.questionBox("q", "c", MsgButtons::YesNo, MsgIcon::Warning, mrNo), std::logic_error);
  }
  FakeUiServices::refusalReporter = saved;
}

TEST(UiServices, ProcessPendingMessagesRunsQueuedWork) {
  QtUiServices qt;
  bool ran = false;
  QMetaObject::invokeMethod(
      qApp, [&] { ran = true; }, Qt::QueuedConnection);
  qt.processPendingMessages();
  EXPECT_TRUE(ran);
}

TEST(UiServices, TerminateBeforeTheLoopEndsItWithoutClosingWindows) {
  QtUiServices qt;
  CloseCounter window;
  window.show();
  EXPECT_FALSE(qt.terminateRequested());
  qt.requestTerminate();  // before exec(), as during start-up
  EXPECT_TRUE(qt.terminateRequested());
  // A safety net, so a broken terminate fails the test instead of hanging it.
  bool timedOut = false;
  QTimer::singleShot(5000, [&] {
    timedOut = true;
    QCoreApplication::exit(1);
  });
  int rc = QApplication::exec();
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(window.closes, 0);
  EXPECT_TRUE(window.isVisible());
}
