// The main window without a card library: its event handlers, the activity-log
// switch, the folder tree at start, and the splash picture.
#include "app/main_window.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QRegularExpression>
#include <QTimer>
#include <QTreeWidget>

#include "app/splash_window.h"
#include "app/startup.h"
#include "app_fixture.h"
#include "card/acg_component.h"
#include "signing/activity_log.h"
#include "signing/settings.h"

using namespace appfx;

namespace {

class MainWindowTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    ASSERT_TRUE(Start());
    ui_->boxes.clear();
  }
};

}  // namespace

TEST_F(MainWindowTest, RunsWithoutACardLibrary) {
  EXPECT_FALSE(fmMain->DUDComponent->LibraryInitialized);
  EXPECT_EQ(fmMain->PanelText(1), "");
  EXPECT_EQ(fmMain->PanelText(2), "odjavljen");
  EXPECT_EQ(fmMain->PanelText(3), "SB kartice: ");
  EXPECT_EQ(fmMain->actOProgramu->statusTip(), "O programu Tarvi Sealdesk");
  EXPECT_FALSE(fmMain->actEvidencijaMbr->isVisible());
  EXPECT_EQ(fmStartUp, nullptr);
}

TEST_F(MainWindowTest, ErrorEventsShowPositiveCodesOnly) {
  struct Row {
    int code;
    QString text;
    QString box;  // empty: no box
  } rows[] = {
      {160, "Unesen je pogrešan PIN!", "Unesen je pogrešan PIN! [Error code=160]"},
      {0xE0, "Kartica nije prisutna !", "Kartica nije prisutna ! [Error code=224]"},
      {164, "Kartica je zaključana!", "Kartica je zaključana! [Error code=164]"},
      {-1, "PIN nije definiran!", ""},
      {-2, "Korisnik je već logiran!", ""},
      {-3, "Greška pri otvaranju sesije!", ""},
      {0, "x", ""},
  };
  TACGComponent& c = *fmMain->DUDComponent;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.code);
    // Every one of the five error events reaches the same handler.
    for (auto* event :
         {&c.OnLoginError, &c.OnLogoutError, &c.OnCloseSessionError, &c.OnOpenSessionError, &c.OnOtherError}) {
      ui_->boxes.clear();
      ASSERT_TRUE(*event);
      (*event)(&c, r.code, r.text);
      if (r.box.isEmpty()) {
        EXPECT_TRUE(ui_->boxes.empty());
      } else {
        ASSERT_EQ(ui_->boxes.size(), 1u);
        EXPECT_EQ(ui_->boxes[0].kind, MsgKind::Error);
        EXPECT_EQ(ui_->boxes[0].text, r.box);
      }
    }
  }
}

TEST_F(MainWindowTest, CardEventsOnTheStatusBar) {
  TACGComponent& c = *fmMain->DUDComponent;
  fmMain->StatusPanel(2)->setText("SB certifikata:1001");
  fmMain->StatusPanel(3)->setText("SB kartice: 0123456789abcdef");
  c.OnAfterLogout(&c);
  EXPECT_EQ(fmMain->PanelText(2), "odjavljen");
  EXPECT_EQ(fmMain->PanelText(3), "SB kartice: 0123456789abcdef");
  for (CK_NOTIFICATION ignored : {CK_NOTIFICATION(3), CK_NOTIFICATION(1), CK_NOTIFICATION(4)}) {
    c.OnInsertRemoveCard(0, ignored, nullptr);
    EXPECT_EQ(fmMain->PanelText(3), "SB kartice: 0123456789abcdef") << ignored;
  }
  c.OnInsertRemoveCard(0, 2, nullptr);
  EXPECT_EQ(fmMain->PanelText(3), "");
  // A login event while not logged in leaves the panels as they are.
  c.OnAfterLogin(&c);
  EXPECT_EQ(fmMain->PanelText(2), "odjavljen");
  EXPECT_TRUE(ui_->boxes.empty());
}

TEST_F(MainWindowTest, ActivityLogSwitch) {
  EXPECT_EQ(fmMain->actZapAktivnosti->shortcut(), QKeySequence("Ctrl+Alt+L"));
  EXPECT_TRUE(fmMain->actions().contains(fmMain->actZapAktivnosti));
  for (QAction* menu : fmMain->menuBar()->actions())
    EXPECT_FALSE(menu->menu()->actions().contains(fmMain->actZapAktivnosti));

  const QString name = InstallPath + QFileInfo(QCoreApplication::applicationFilePath()).fileName() + "Act.log";
  ASSERT_EQ(ActivityLogFileName(InstallPath), name);
  EXPECT_FALSE(ActivityLogOn);

  // On and off: two boxes, the file made and left empty and closed.
  fmMain->actZapAktivnosti->trigger();
  EXPECT_TRUE(ActivityLogOn);
  ASSERT_NE(ActivityLogStream, nullptr);
  fmMain->actZapAktivnosti->trigger();
  EXPECT_FALSE(ActivityLogOn);
  EXPECT_EQ(ActivityLogStream, nullptr);
  ASSERT_EQ(ui_->boxes.size(), 2u);
  EXPECT_EQ(ui_->boxes[0].kind, MsgKind::Information);
  EXPECT_EQ(ui_->boxes[0].text, "Vođenje zapisnika svih aktivnosti programa UKLJUČENO!");
  EXPECT_EQ(ui_->boxes[1].text, "Vođenje zapisnika svih aktivnosti programa ISKLJUČENO!");
  EXPECT_TRUE(QFile::exists(name));
  EXPECT_EQ(QFileInfo(name).size(), 0);

  // A click on a file while it is on writes its lines; a click while it is off
  // writes nothing; switching on again appends to the earlier lines.
  TempDir work("work");
  WriteAll(work.file("a.txt"), "x");
  const QString file = QString::fromStdString(work.file("a.txt"));
  fmMain->SetCurrentFolder(QString::fromStdString(work.path()));
  auto click = [](QTreeWidgetItem* item) {
    fmMain->SelectFileItem(item);
    fmMain->slvDatotekeClick();
  };
  ASSERT_NE(fmMain->FileItem("a.txt"), nullptr);
  fmMain->actZapAktivnosti->trigger();
  click(fmMain->FileItem("a.txt"));
  fmMain->actZapAktivnosti->trigger();
  click(fmMain->FileItem("a.txt"));
  fmMain->actZapAktivnosti->trigger();
  click(nullptr);
  fmMain->actZapAktivnosti->trigger();
  const QString text = QString::fromUtf8(ReadText(name.toStdString()));
  const QString stamp = "\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d \\[Selektirana datoteka\\] ";
  const QRegularExpression lines("^" + stamp + "Broj selektiranih: 1\\r\\n" + stamp + "Naziv datoteke: " +
                                 QRegularExpression::escape(file) + "\\r\\n" + stamp + "Broj selektiranih: 0\\r\\n$");
  EXPECT_TRUE(lines.match(text).hasMatch()) << text.toStdString();
}

TEST_F(MainWindowTest, ActivityLogThatCannotBeOpenedStaysOff) {
  const QString name = ActivityLogFileName(InstallPath);
  ASSERT_TRUE(QDir().mkpath(name + "/busy"));  // a folder where the file should be
  fmMain->actZapAktivnosti->trigger();
  EXPECT_FALSE(ActivityLogOn);
  EXPECT_EQ(ActivityLogStream, nullptr);
  ASSERT_EQ(ui_->boxes.size(), 1u);
  EXPECT_EQ(ui_->boxes[0].kind, MsgKind::Error);
  EXPECT_EQ(ui_->boxes[0].text, "Zapisnik aktivnosti nije moguće otvoriti [" + name + "]");
  EXPECT_EQ(WriteActivityLog(ActivityLogStream, "[Dekripcija]", "x"), -1);

  // Once the path is usable the next press switches it on.
  ASSERT_TRUE(QDir(name).removeRecursively());
  fmMain->actZapAktivnosti->trigger();
  EXPECT_TRUE(ActivityLogOn);
  EXPECT_NE(ActivityLogStream, nullptr);
}

// "Last Path" opens the folder tree only without an argument and only when the
// folder exists.
class StartTest : public AppTest {};

TEST_F(StartTest, FolderTreeAtLastPath) {
  struct Case {
    const char* name;
    bool exists;
    QStringList arguments;
    bool opened;
  } cases[] = {
      {"no argument", true, {}, true},
      {"with an argument", true, {"/nonexistent-folder/a.txt"}, false},
      {"folder gone", false, {}, false},
  };
  TempDir last("last");
  bool first = true;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    if (!first) SetUp();
    first = false;
    const QString folder = QString::fromStdString(last.path()) + (k.exists ? "" : "/gone");
    SetUserValue("Last Path", folder);
    ASSERT_TRUE(Start(k.arguments));
    EXPECT_EQ(fmMain->CurrentFolder(), k.opened ? folder : QString());
    TearDown();
  }
}

// With the program's own UI services: a terminate request while the message loop
// runs ends the loop without closing the main window, so "Last Path" stays unwritten.
TEST_F(StartTest, TerminateDuringTheLoopSkipsTheCloseHandler) {
  ui_.reset();  // the Qt services from here on
  ASSERT_TRUE(Start());
  ASSERT_FALSE(Ui().terminateRequested());
  QTimer::singleShot(0, [] { Ui().requestTerminate(); });
  QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });  // safety net only
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_TRUE(fmMain->isVisible());
  EXPECT_FALSE(fmMain->Closed());
  EXPECT_FALSE(trace_.contains("FormClose"));
  EXPECT_EQ(UserValue("Last Path"), "<missing>");
}

TEST(Splash, PictureDecodesWithLibjpeg) {
  const QImage picture = DecodeJpeg(SplashJpeg());
  ASSERT_FALSE(picture.isNull());
  EXPECT_EQ(picture.size(), QSize(268, 92));
  EXPECT_TRUE(DecodeJpeg(QByteArray("not a picture")).isNull());
  EXPECT_TRUE(DecodeJpeg(SplashJpeg().left(20)).isNull());  // ends inside the header
  EXPECT_TRUE(DecodeJpeg(QByteArray()).isNull());

  TfmStartUp splash;
  EXPECT_EQ(splash.size(), QSize(274, 109));
  EXPECT_EQ(splash.Label1->text(), "Program se učitava, molimo Vas da pričekate.");
  ASSERT_FALSE(splash.Image1->pixmap().isNull());
  EXPECT_EQ(splash.Image1->geometry().size(), QSize(268, 92));
}
