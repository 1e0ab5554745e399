// The windows as the user meets them, read off the screen: Qt's standard boxes in
// Croatian, the folder picker of the settings dialog, the main window's tool bar
// and status bar at the starting size, the folder tree at "Last Path", and the
// about box's link.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileSystemModel>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

#include "app/about_box.h"
#include "app/browse_folder.h"
#include "app/main_window.h"
#include "app/mbr_register.h"
#include "app/settings_dialog.h"
#include "app/startup.h"
#include "app_fixture.h"
#include "card/binding.h"
#include "card/pin_dialogs.h"
#include "platform/ui_services.h"
#include "support/temp_dir.h"

using namespace appfx;

namespace {

// The program started as a user starts it, with its own UI services.
class WindowsTest : public AppTest {
 protected:
  void StartWithQtServices() {
    ui_.reset();
    ASSERT_TRUE(Start());
    ASSERT_TRUE(SpinUntil([] { return fmMain->isVisible(); }));
  }
};

QStringList ButtonTexts(QWidget* box) {
  QStringList texts;
  for (QAbstractButton* b : box->findChildren<QAbstractButton*>())
    if (b->isVisible()) texts << b->text().remove('&');
  texts.sort();
  return texts;
}

TEST_F(WindowsTest, StandardBoxesSpeakCroatian) {
  StartWithQtServices();
  const struct {
    MsgKind kind;
    QStringList buttons;  // sorted
  } cases[] = {
      {MsgKind::Confirmation, {"Da", "Ne"}},
      {MsgKind::Information, {"U redu"}},
      {MsgKind::Error, {"U redu"}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(static_cast<int>(k.kind));
    QStringList shown;
    ModalDriver driver;
    driver.When<QMessageBox>([&](QMessageBox* box) {
      shown = ButtonTexts(box);
      box->done(QMessageBox::No);
      return true;
    });
    Ui().messageBox(k.kind, "Pitanje?");
    EXPECT_EQ(shown, k.buttons);
  }
}

// The settings dialog's browse buttons open TfmBrowseFolder at the field's folder;
// its answer goes into the field only after "&Potvrdi".
TEST_F(WindowsTest, TheSettingsDialogBrowsesWithTheFolderPicker) {
  StartWithQtServices();
  TempDir base("browse");
  const QString start = QString::fromStdString(base.path()) + "/izlaz";
  const QString other = QString::fromStdString(base.path()) + "/drugi";
  ASSERT_TRUE(QDir().mkpath(start));
  ASSERT_TRUE(QDir().mkpath(other));
  const struct {
    const char* answer;
    QString field;
  } cases[] = {
      {"Potvrdi", other},
      {"Odustani", start},
      {"Escape", start},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.answer);
    QString field, caption, startSelected;
    QSize client;
    bool defaultPotvrdi = false, fixed = false, filesListed = true;
    ModalDriver driver;
    driver.When<TfmPostavke>([&](TfmPostavke* d) {
      d->edOutPath->setText(" " + start + " ");
      QTimer::singleShot(0, d->actBFOutDir, &QAction::trigger);  // not inside this step
      return true;
    });
    driver.When<TfmBrowseFolder>([&](TfmBrowseFolder* p) {
      if (!SpinUntil([p] {
            const QModelIndex i = p->ShellTreeView1->currentIndex();
            return i.isValid() && p->ShellTreeView1->viewport()->rect().contains(p->ShellTreeView1->visualRect(i));
          }))
        ADD_FAILURE() << "the start folder is not in view";
      caption = p->windowTitle();
      client = p->size();
      fixed = p->minimumSize() == p->maximumSize();
      defaultPotvrdi =
          p->btnPotvrdi->isDefault() && p->btnPotvrdi->text() == "&Potvrdi" && p->btnOdustani->text() == "&Odustani";
      startSelected = p->SelectedFolder();
      filesListed = p->model->filter().testFlag(QDir::Files);
      p->ShellTreeView1->setCurrentIndex(p->model->index(other));
      if (QString(k.answer) == "Potvrdi")
        p->btnPotvrdi->click();
      else if (QString(k.answer) == "Odustani")
        p->btnOdustani->click();
      else
        p->reject();
      return true;
    });
    driver.When<TfmPostavke>([&](TfmPostavke* d) {
      field = d->edOutPath->text();
      d->btnOdustani->click();
      return true;
    });
    EXPECT_FALSE(RunSettingsDialog());
    EXPECT_TRUE(driver.Done());
    EXPECT_EQ(caption, "Izlazni direktorij za dekriptirane datoteke");
    EXPECT_EQ(client, QSize(370, 355));
    EXPECT_TRUE(fixed);
    EXPECT_TRUE(defaultPotvrdi);
    EXPECT_FALSE(filesListed);
    EXPECT_EQ(startSelected, start);
    EXPECT_EQ(field.trimmed(), k.field);
  }
}

// The fixed dialogs ask for a title bar without minimise or maximise boxes (the
// check list without any box) and cannot be resized, so no window manager offers
// to maximise them; the register is wide enough for its caption in bold.
TEST_F(WindowsTest, FixedDialogsHaveNoMinimiseOrMaximiseBox) {
  TfmMaticniBrojevi registerWindow;
  TEnterPINDlg pin;
  TErrorLoadingDlg checks;
  const struct {
    const char* name;
    QWidget* window;
    bool closeBox;
  } cases[] = {{"register", &registerWindow, true}, {"PIN dialog", &pin, true}, {"check list", &checks, false}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    k.window->show();
    ASSERT_TRUE(SpinUntil([&] { return k.window->isVisible(); }));
    const Qt::WindowFlags f = k.window->windowFlags();
    EXPECT_TRUE(f.testFlag(Qt::CustomizeWindowHint));
    EXPECT_TRUE(f.testFlag(Qt::WindowTitleHint));
    EXPECT_FALSE(f.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(f.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(f.testFlag(Qt::WindowCloseButtonHint), k.closeBox);
    EXPECT_EQ(k.window->minimumSize(), k.window->maximumSize());
    k.window->hide();
  }
  QFont bold = QApplication::font();
  bold.setBold(true);
  EXPECT_EQ(registerWindow.windowTitle(), "Evidencija matičnih brojeva");
  EXPECT_GE(registerWindow.width(), 283);
  EXPECT_GE(registerWindow.width(), QFontMetrics(bold).horizontalAdvance(registerWindow.windowTitle()) + 100);
}

TEST_F(WindowsTest, ThePickerWithoutACaptionOfItsOwn) {
  TfmBrowseFolder picker;
  EXPECT_EQ(picker.windowTitle(), "Odabir direktorija");
}

// Every command of the tool bar has its button, whole, inside the bar at the
// window's starting size: none hides behind the overflow arrow.
TEST_F(WindowsTest, EveryToolBarCommandIsReachableAtTheStartingSize) {
  StartWithQtServices();
  ASSERT_EQ(fmMain->size(), QSize(722, 482));
  QToolBar* bar = fmMain->tbAlati;
  QStringList shown;
  for (QAction* a : bar->actions()) {
    if (a->isSeparator()) continue;
    QWidget* button = bar->widgetForAction(a);
    ASSERT_NE(button, nullptr) << a->objectName().toStdString();
    EXPECT_TRUE(button->isVisible()) << a->objectName().toStdString();
    EXPECT_TRUE(bar->rect().contains(button->geometry())) << a->objectName().toStdString();
    auto* tool = qobject_cast<QToolButton*>(button);
    ASSERT_NE(tool, nullptr);
    // The whole caption is on the button, even where it takes two lines.
    shown << tool->text().replace('\n', ' ');
    EXPECT_GE(tool->width(), tool->sizeHint().width()) << a->objectName().toStdString();
  }
  EXPECT_EQ(shown,
            QStringList({"Otvori datoteku", "Potpiši", "Kriptiraj", "Kriptiraj i pošalji e-mail",
                         "Pohrani izvornu datoteku", "Ispiši podatke o datoteci", "Dekriptiraj", "Povuci potpis"}));
  for (QToolButton* b : bar->findChildren<QToolButton*>(QStringLiteral("qt_toolbar_ext_button")))
    EXPECT_FALSE(b->isVisible());
}

// The status panels show their whole texts at the starting size, with and
// without the registration-number panel.
TEST_F(WindowsTest, StatusPanelsAreNotClipped) {
  StartWithQtServices();
  const struct {
    bool mbr;
    QString certificate;
  } cases[] = {
      {true, "SB certifikata:1A2B3C"},
      {true, "SB certifikata:00C3A54B19E2F7D1"},
      {true, "SB certifikata:-2147483648"},
      {false, "SB certifikata:00C3A54B19E2F7D1"},
      {true, "odjavljen"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.certificate.toStdString() + (k.mbr ? " with Mbr" : ""));
    fmMain->StatusPanel(1)->setVisible(k.mbr);
    fmMain->StatusPanel(1)->setText("Mbr: 12345678");
    fmMain->StatusPanel(2)->setMinimumWidth(k.mbr ? 140 : 240);
    fmMain->StatusPanel(2)->setText(k.certificate);
    fmMain->StatusPanel(3)->setText("SB kartice: f90e10ccdd3862c0");
    QApplication::processEvents();
    fmMain->statusBar()->layout()->activate();
    for (int i = k.mbr ? 1 : 2; i <= 3; ++i) {
      QLabel* p = fmMain->StatusPanel(i);
      EXPECT_TRUE(p->isVisible()) << i;
      EXPECT_GE(p->contentsRect().width(), p->fontMetrics().horizontalAdvance(p->text())) << i;
      EXPECT_TRUE(fmMain->statusBar()->rect().contains(p->geometry())) << i;
    }
  }
}

// Started without an argument, the folder tree shows "Last Path": selected and
// scrolled into view, also when many folders come before it and the tree reads
// them in the background.
TEST_F(WindowsTest, TheFolderTreeIsScrolledToLastPath) {
  TempDir parent("many");
  QString last;
  for (int i = 0; i < 300; ++i) {
    const QString f = QString::fromStdString(parent.path()) + QStringLiteral("/mapa%1").arg(i, 3, 10, QChar('0'));
    ASSERT_TRUE(QDir().mkpath(f));
    if (i == 250) last = f;
  }
  SetUserValue("Last Path", last);
  StartWithQtServices();
  QTreeView* tree = fmMain->stvListaDirektoija;
  QFileSystemModel* model = fmMain->stvModel;
  ASSERT_EQ(fmMain->CurrentFolder(), last);
  const QModelIndex folder = model->index(QString::fromStdString(parent.path()));
  // Once the tree has read the folders on the way, and sorted them.
  ASSERT_TRUE(SpinUntil([&] { return model->rowCount(folder) == 300; }));
  ASSERT_TRUE(SpinUntil([&] {
    const QModelIndex current = tree->currentIndex();
    return current.isValid() && tree->viewport()->rect().contains(tree->visualRect(current));
  })) << "the current folder is out of view";
  EXPECT_EQ(model->filePath(tree->currentIndex()), last);
}

// The about box's link is drawn whole on the window's white, not on the picture:
// every pixel under it is white, blue or a blend of the two.
TEST_F(WindowsTest, TheAboutBoxLinkIsReadable) {
  CreateAboutWindow();
  fmOprogramu->FillTexts();
  fmOprogramu->show();
  ASSERT_TRUE(SpinUntil([] { return fmOprogramu->isVisible(); }));
  QLabel* link = fmOprogramu->lblWeb;
  ASSERT_TRUE(fmOprogramu->rect().contains(link->geometry()));
  EXPECT_GE(link->contentsRect().width(),
            link->sizeHint().width() - link->contentsMargins().left() - link->contentsMargins().right());
  const QImage shot = fmOprogramu->grab().toImage();
  const QRect r = link->geometry();
  int bad = 0;
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x) {
      const QColor c =
          shot.pixelColor(x * shot.width() / fmOprogramu->width(), y * shot.height() / fmOprogramu->height());
      if (c.blue() < 240 || std::abs(c.red() - c.green()) > 24) ++bad;
    }
  EXPECT_EQ(bad, 0);
  fmOprogramu->hide();
  DestroyAboutWindow();
}

}  // namespace
