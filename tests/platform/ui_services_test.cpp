#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "platform/fake_ui_services.h"
#include "platform/ui_services.h"

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

TEST(UiServices, ProcessPendingMessagesRunsQueuedWork) {
  QtUiServices qt;
  bool ran = false;
  QMetaObject::invokeMethod(qApp, [&] { ran = true; }, Qt::QueuedConnection);
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
