// The password questions of the component: the dialog's shape and limits, which
// button gives which answer, the confirmation rule, when a typed password is kept
// and the unattended refusals.
#include "zip/password_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <deque>
#include <functional>

#include "platform/fake_ui_services.h"
#include "zip/zip_archiver.h"

namespace {

// What the test does with the next dialog that comes up.
struct Step {
  QString type;  // typed into the edit
  int slot;      // button slot to click, or -1 for Esc, -2 for the window's close
};

class Scripted : public TZipArchiver {
 public:
  using TZipArchiver::GetAddPassword;
  using TZipArchiver::GetExtrPassword;
  using TZipArchiver::GetPassword;
  TPasswordButton LastButton() const { return lastPasswordButton_; }
  int LastModalResult() const { return passwordModalResult_; }
  void SetStorePassword(bool v) { storePassword_ = v; }
};

class PasswordDialog : public ::testing::Test {
 protected:
  // Answers the coming dialogs in order; each one's shape is recorded.
  void Script(std::deque<Step> steps) {
    steps_ = std::move(steps);
    Arm();
  }
  void Arm() {
    QTimer::singleShot(0, [this] { Poll(); });
  }
  void Poll() {
    auto* dlg = dynamic_cast<TPasswordDlg*>(QApplication::activeModalWidget());
    if (!dlg || steps_.empty()) {
      if (!steps_.empty()) QTimer::singleShot(5, [this] { Poll(); });
      return;
    }
    Step step = steps_.front();
    steps_.pop_front();
    seen_.push_back({dlg->width(), dlg->windowTitle(), dlg->Prompt()->text(), dlg->Edit()->maxLength(), Buttons(dlg)});
    // Typed as the keyboard would: one character at a time, through the edit's limit.
    for (QChar ch : step.type) dlg->Edit()->insert(QString(ch));
    typed_.push_back(dlg->Edit()->text());
    if (step.slot == -1) {
      QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QApplication::sendEvent(dlg, &press);
    } else if (step.slot == -2) {
      dlg->close();
    } else {
      dlg->ButtonSlot(step.slot)->click();
    }
    if (!steps_.empty()) Arm();
  }
  static QStringList Buttons(TPasswordDlg* dlg) {
    QStringList out;
    for (int i = 0; i < 4; ++i)
      if (QPushButton* b = dlg->ButtonSlot(i)) out << b->text();
    return out;
  }

  struct Seen {
    int width;
    QString title, prompt;
    int maxLength;
    QStringList buttons;
  };
  FakeUiServices ui_;
  Scripted zip_;
  std::deque<Step> steps_;
  std::vector<Seen> seen_;
  QStringList typed_;
};

TEST_F(PasswordDialog, ExtractQuestionShapeAndAnswers) {
  struct Case {
    Step step;
    TPasswordButton button;
    QString password;
    int modal;
  } cases[] = {
      {{"tajna", 0}, pwbOk, "tajna", 1},   {{"tajna", 1}, pwbCancel, "", 2},
      {{"tajna", 2}, pwbCancelAll, "", 9}, {{"tajna", -1}, pwbCancel, "", 2},  // Esc
      {{"tajna", -2}, pwbCancel, "", 2},                                       // window's close button
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step.slot);
    seen_.clear();
    Script({c.step});
    QString password = "stale";
    zip_.GetExtrPassword(password);
    EXPECT_EQ(password, c.password);
    EXPECT_EQ(zip_.LastButton(), c.button);
    EXPECT_EQ(zip_.LastModalResult(), c.modal);
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].width, 407);
    EXPECT_EQ(seen_[0].title, "Password");
    EXPECT_EQ(seen_[0].prompt, "Enter Password ");
    EXPECT_EQ(seen_[0].buttons, QStringList({"&Ok", "&Cancel", "Cancel all"}));
  }
  EXPECT_TRUE(ui_.boxes.empty());
  // Nothing is kept while the store flag is clear (as at creation).
  EXPECT_EQ(zip_.Password(), "");
}

TEST_F(PasswordDialog, AbortButtonAndEditLimit) {
  // 82 characters typed: the edit keeps 81, the one password limit of every road.
  const QString longText(82, u'x');
  Script({{longText, 3}});
  QString password;
  EXPECT_EQ(zip_.GetPassword("T", "P", password, TPasswordDlg::pbCancel | TPasswordDlg::pbAbort), pwbAbort);
  EXPECT_EQ(zip_.LastModalResult(), 3);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].maxLength, 81);
  EXPECT_EQ(seen_[0].buttons, QStringList({"&Ok", "&Cancel", "Abort"}));
  EXPECT_EQ(typed_[0].size(), 81);
  EXPECT_EQ(password, "");

  seen_.clear();
  Script({{longText, 0}});
  EXPECT_EQ(zip_.GetPassword("T", "P", password, 0), pwbOk);
  EXPECT_EQ(seen_[0].width, 159);  // Ok alone
  EXPECT_EQ(password, QString(81, u'x'));
}

TEST_F(PasswordDialog, AddQuestionConfirms) {
  struct Case {
    std::deque<Step> steps;
    size_t dialogs;
    QString password;
    bool mismatch;
  } cases[] = {
      {{{"Lozinka1", 0}, {"Lozinka1", 0}}, 2, "Lozinka1", false},
      {{{"Lozinka1", 0}, {"lozinka1", 0}}, 2, "", true},  // other case: no match
      {{{"Lozinka1", 1}}, 1, "", false},                  // first cancelled
      {{{"", 0}}, 1, "", false},                          // first empty
      {{{"Lozinka1", 0}, {"Lozinka1", -1}}, 2, "", false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.dialogs);
    seen_.clear();
    ui_.boxes.clear();
    zip_.SetPassword("");
    zip_.SetStorePassword(true);
    Script(c.steps);
    QString password = "stale";
    zip_.GetAddPassword(password);
    EXPECT_EQ(password, c.password);
    ASSERT_EQ(seen_.size(), c.dialogs);
    EXPECT_EQ(seen_[0].width, 283);
    EXPECT_EQ(seen_[0].buttons, QStringList({"&Ok", "&Cancel"}));
    EXPECT_EQ(seen_[0].prompt, "Enter Password ");
    if (c.dialogs > 1) {
      EXPECT_EQ(seen_[1].prompt, "Confirm Password ");
    }
    EXPECT_EQ(zip_.Password(), c.password);  // kept only when confirmed
    if (c.mismatch) {
      ASSERT_EQ(ui_.boxes.size(), 1u);
      EXPECT_EQ(ui_.boxes[0].text, "Error - passwords do NOT match\nPassword ignored");
      EXPECT_EQ(zip_.ErrCode(), kZipPasswordsDiffer);
    } else {
      EXPECT_TRUE(ui_.boxes.empty());
    }
  }
  // With the store flag clear the confirmed password is only handed back.
  zip_.SetPassword("");
  zip_.SetStorePassword(false);
  Script({{"abc", 0}, {"abc", 0}});
  QString password;
  zip_.GetAddPassword(password);
  EXPECT_EQ(password, "abc");
  EXPECT_EQ(zip_.Password(), "");
}

TEST_F(PasswordDialog, TitleThroughMessageLookup) {
  zip_.OnZipStr = [](TZipArchiver&, int32_t id, QString& s) {
    if (id == kZipPasswordTitle) s = "Lozinka";
    if (id == kZipEnterPassword) s = "not used for the prompt";
  };
  Script({{"x", 0}});
  QString password;
  zip_.GetExtrPassword(password);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].title, "Lozinka");
  EXPECT_EQ(seen_[0].prompt, "Enter Password ");
}

TEST_F(PasswordDialog, UnattendedNeverAsks) {
  zip_.SetUnattended(true);
  std::vector<QString> messages;
  zip_.OnMessage = [&](TZipArchiver&, int32_t, const QString& m) { messages.push_back(m); };
  QString password = "stale";
  zip_.GetAddPassword(password);
  EXPECT_EQ(password, "");
  EXPECT_EQ(zip_.ErrCode(), kZipNoAddPassword);
  zip_.GetExtrPassword(password);
  EXPECT_EQ(password, "");
  EXPECT_EQ(zip_.ErrCode(), kZipNoExtractPassword);
  EXPECT_EQ(messages, std::vector<QString>({"Error - no add password given", "Error - no extract password given"}));
  EXPECT_TRUE(ui_.boxes.empty());
}

}  // namespace
