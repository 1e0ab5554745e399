// The register of registration numbers: its window's actions against the registry.
#include "app/mbr_register.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTimer>

#include "card/registry.h"
#include "platform/fake_ui_services.h"
#include "signing/settings.h"
#include "support/temp_dir.h"

namespace {

// Types text into a widget key by key, as the keyboard would.
void Type(QWidget* w, const QString& text) {
  for (QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(w, &release);
  }
}

QString Value(const QString& name) {
  QString v = "<missing>";
  RegReadValue(HKEY_CURRENT_USER, Settings->RegKeyNameForMBR, name, v);
  return v;
}

class MbrRegisterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SettingsKey = SettingsKeyFor(QString("MbrTest_") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    InstallPath = QString::fromStdString(install_.path()) + "/";
    RegWriteValue(HKEY_CURRENT_USER, SettingsKey, kRegWorkWithMBR, "YES");
    Settings = std::make_unique<TPostavkeRada>(InstallPath);
    ASSERT_EQ(Settings->RegKeyNameForMBR, SettingsKey + "\\MBR");
    SelectedMbr.clear();
    w_ = new TfmMaticniBrojevi;
    LoadSelectedMbr(w_, true);
  }
  void TearDown() override {
    delete w_;
    Settings.reset();
  }
  void Add(const QString& text) {
    w_->edMbr->setFocus();
    w_->edMbr->clear();
    Type(w_->edMbr, text);
    ASSERT_TRUE(w_->actDodajMbr->isEnabled());
    w_->actDodajMbr->trigger();
  }
  QStringList Entries() const {
    QStringList l;
    for (int i = 0; i < w_->lbMbr->count(); ++i) l << w_->lbMbr->item(i)->text();
    return l;
  }

  TempDir install_{"install"};
  FakeUiServices ui_;
  TfmMaticniBrojevi* w_ = nullptr;
};

TEST_F(MbrRegisterTest, AddStoresInOrderAndFirstBecomesChosen) {
  Add("111");
  EXPECT_EQ(SelectedMbr, "111");
  EXPECT_EQ(Value("0"), "111");
  EXPECT_EQ(w_->lblDefaultMbr->text(), "Matični broj odabran za rad je: 111");
  EXPECT_FALSE(w_->actDodajMbr->isEnabled());  // unchanged after a successful add
  Add("222");
  Add("333");
  EXPECT_EQ(Value("1"), "111");
  EXPECT_EQ(Value("2"), "222");
  EXPECT_EQ(Value("3"), "333");
  EXPECT_EQ(Value("0"), "111");  // only the first add chooses
  EXPECT_EQ(w_->lbMbr->currentRow(), 2);
  EXPECT_EQ(ReadMbrRegister(), (QStringList{"111", "222", "333"}));
  EXPECT_TRUE(ui_.boxes.empty());

  // A second window sees the same register.
  TfmMaticniBrojevi other;
  LoadSelectedMbr(&other, true);
  ASSERT_EQ(other.lbMbr->count(), 3);
  EXPECT_EQ(other.lbMbr->item(1)->text(), "222");
}

TEST_F(MbrRegisterTest, AddRefusesEmptyAndDuplicates) {
  Add("111");
  Add("111");
  EXPECT_EQ(ui_.lastText(), kMbrExists);
  Add("   ");  // blanks are filtered as typed: the edit stays empty
  EXPECT_EQ(w_->edMbr->text(), "");
  w_->SetEditText("  ");
  w_->actDodajMbrExecute();
  EXPECT_EQ(ui_.lastText(), kMbrMustEnter);
  EXPECT_EQ(Value("2"), "<missing>");
  EXPECT_EQ(Entries(), QStringList{"111"});

  // Compared exactly: a hand-stored value with a leading blank is another entry.
  RegWriteValue(HKEY_CURRENT_USER, Settings->RegKeyNameForMBR, "2", " 222");
  w_->actOsvjezi->trigger();
  ui_.boxes.clear();
  Add("222");
  EXPECT_TRUE(ui_.boxes.empty());
  EXPECT_EQ(Value("3"), "222");
}

TEST_F(MbrRegisterTest, KeyFilterDropsLettersAndBlanks) {
  w_->edMbr->setFocus();
  Type(w_->edMbr, "12 3A-4b");
  EXPECT_EQ(w_->edMbr->text(), "123-4");
  EXPECT_TRUE(MbrKeyDiscarded('[') && MbrKeyDiscarded('`') && MbrKeyDiscarded('Z'));
  EXPECT_FALSE(MbrKeyDiscarded('{') || MbrKeyDiscarded('@') || MbrKeyDiscarded(QChar(0x10D)));
}

TEST_F(MbrRegisterTest, DeleteMovesLaterEntriesDown) {
  Add("A1");  // letters are filtered: stored as "1"
  ASSERT_EQ(Value("1"), "1");
  Add("2");
  Add("3");
  w_->lbMbr->setCurrentRow(1);
  ui_.answers = {mrNo};
  w_->actObrisiMbr->trigger();
  EXPECT_EQ(ui_.lastText(), "Da li ste sigurni da želite obrisati matični broj \"2\" iz evidencije");
  EXPECT_EQ(Value("3"), "3");  // No: nothing happened

  w_->lbMbr->setCurrentRow(1);
  w_->actObrisiMbr->trigger();
  EXPECT_EQ(Value("1"), "1");
  EXPECT_EQ(Value("2"), "3");
  EXPECT_EQ(Value("3"), "<missing>");
  EXPECT_EQ(Entries(), (QStringList{"1", "3"}));
  EXPECT_EQ(w_->lbMbr->currentRow(), 0);
  EXPECT_EQ(SelectedMbr, "1");  // not the deleted one: kept

  // Deleting the chosen number clears value "0" and the label.
  w_->lbMbr->setCurrentRow(0);
  w_->actObrisiMbr->trigger();
  EXPECT_EQ(Value("0"), "<missing>");
  EXPECT_EQ(Value("1"), "3");
  EXPECT_EQ(Value("2"), "<missing>");
  EXPECT_EQ(SelectedMbr, "");
  EXPECT_EQ(w_->lblDefaultMbr->text(), "Matični broj odabran za rad je: ");
}

TEST_F(MbrRegisterTest, ChooseAndListClicks) {
  Add("10");
  Add("20");
  w_->lbMbr->setCurrentRow(0);
  EXPECT_FALSE(w_->actPostaviMbr->isEnabled());  // already the chosen one
  w_->lbMbr->setCurrentRow(1);
  w_->lbMbrClick();
  EXPECT_EQ(w_->edMbr->text(), "20");
  EXPECT_FALSE(w_->actDodajMbr->isEnabled());
  ASSERT_TRUE(w_->actPostaviMbr->isEnabled());
  w_->lbMbrDblClick();
  EXPECT_EQ(SelectedMbr, "20");
  EXPECT_EQ(Value("0"), "20");
  EXPECT_EQ(w_->lblDefaultMbr->text(), "Matični broj odabran za rad je: 20");
  EXPECT_FALSE(w_->actPostaviMbr->isEnabled());
}

TEST_F(MbrRegisterTest, WriteFailureIsReportedAndLeavesTheList) {
  // Without a register key every write fails.
  Settings->RegKeyNameForMBR.clear();
  Add("55");
  EXPECT_EQ(ui_.lastText(), kMbrWriteFailed);
  EXPECT_EQ(w_->lbMbr->count(), 0);
  EXPECT_EQ(SelectedMbr, "");
}

TEST_F(MbrRegisterTest, RunMbrDialogReturnsValueZeroAfterClosing) {
  Add("7");
  Add("8");
  delete w_;
  w_ = nullptr;
  ASSERT_EQ(fmMaticniBrojevi, nullptr);
  bool seen = false;
  QTimer::singleShot(0, [&] {
    ASSERT_NE(fmMaticniBrojevi, nullptr);
    seen = fmMaticniBrojevi->lbMbr->count() == 2 && fmMaticniBrojevi->edMbr->text().isEmpty();
    fmMaticniBrojevi->lbMbr->setCurrentRow(1);
    fmMaticniBrojevi->actPostaviMbr->trigger();
    fmMaticniBrojevi->actZatvori->trigger();
  });
  EXPECT_EQ(RunMbrDialog(), "8");
  EXPECT_TRUE(seen);
  DestroyMbrWindow();
}

}  // namespace
