// Passwords through the component as the program drives it, over the real
// libziplib.so and libunzlib.so: archives that zip and 7z encrypt extract with
// Password; without it the component's own password dialog comes up (driven here
// as a user would: wrong then right, Cancel all), a handler's Abort stops the
// extract; adding with AddEncrypt asks for the password and its confirmation, and
// what it writes opens in unzip, Python and 7z. Peer steps are skipped when the
// peer is not installed.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <deque>
#include <filesystem>

#include "outside/zip_builder.h"
#include "platform/fake_ui_services.h"
#include "support/temp_dir.h"
#include "zip/password_dialog.h"
#include "zip/zip_archiver.h"

using namespace ziptest;

namespace {

std::string S(const QString& s) { return s.toStdString(); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string Text(size_t n, const std::string& seed) {
  std::string s;
  while (s.size() < n) s += seed + " " + std::to_string(s.size()) + "\n";
  s.resize(n);
  return s;
}

class PasswordRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = {{"zapisnik.txt", Text(40000, "Zapisnik")}, {"prilog.txt", Text(3000, "Prilog")}};
    std::filesystem::create_directories(src());
    for (const auto& [name, data] : files_) WriteAll(src() + "/" + name, data);
  }
  std::string src() const { return dir_.file("src"); }
  int Sh(const std::string& cmd, std::string* out = nullptr) { return ::Run(cmd + " 2>&1", out); }

  // An archive of both files under "tajna", made by the component itself.
  std::string OurArchive() {
    const std::string archive = dir_.file("ours.zip");
    TZipArchiver zip;
    zip.SetUnattended(true);
    zip.SetZipFileName(Q(archive));
    zip.SetPassword("tajna");
    zip.SetAddOptions({AddEncrypt});
    for (const auto& [name, data] : files_) zip.FSpecArgs().append(Q(src() + "/" + name));
    EXPECT_EQ(zip.Add(), 0) << S(zip.Message());
    EXPECT_EQ(zip.ProcessedCount(), 2);
    return archive;
  }
  std::string NewFolder() {
    const std::string out = dir_.file("out-" + std::to_string(++outs_));
    std::filesystem::create_directories(out);
    return out;
  }
  void ExpectSameFiles(const std::string& out) {
    for (const auto& [name, data] : files_) {
      SCOPED_TRACE(name);
      EXPECT_EQ(ReadText(out + "/" + name), data);
    }
  }

  // The dialogs that come up during an operation, answered in order: the text
  // typed, then the button clicked (by its caption).
  struct Step {
    QString type;
    QString button;
  };
  struct Seen {
    QString title, prompt;
    QStringList buttons;
  };
  void Script(std::deque<Step> steps) {
    steps_ = std::move(steps);
    QTimer::singleShot(0, [this] { Poll(); });
  }
  void Poll() {
    auto* dlg = dynamic_cast<TPasswordDlg*>(QApplication::activeModalWidget());
    if (!dlg) {
      if (!steps_.empty()) QTimer::singleShot(5, [this] { Poll(); });
      return;
    }
    Seen seen{dlg->windowTitle(), dlg->Prompt()->text(), {}};
    QPushButton* target = nullptr;
    const Step step = steps_.empty() ? Step{"", "&Cancel"} : steps_.front();
    if (!steps_.empty()) steps_.pop_front();
    for (int i = 0; i < 4; ++i) {
      if (QPushButton* b = dlg->ButtonSlot(i)) {
        seen.buttons << b->text();
        if (b->text() == step.button) target = b;
      }
    }
    seen_.push_back(seen);
    for (QChar ch : step.type) dlg->Edit()->insert(QString(ch));
    if (target)
      target->click();
    else
      dlg->reject();
    QTimer::singleShot(5, [this] { Poll(); });
  }

  FakeUiServices ui_;
  TempDir dir_{"zippwroad"};
  std::vector<std::pair<std::string, std::string>> files_;
  std::deque<Step> steps_;
  std::vector<Seen> seen_;
  int outs_ = 0;
};

TEST_F(PasswordRoad, PeerArchivesExtractWithThePassword) {
  std::vector<std::pair<std::string, std::string>> made;
  std::string log;
  if (HaveTool("zip")) {
    const std::string e = dir_.file("zip-e.zip");
    // zip -e reads the password from the terminal; -P gives it on the line.
    ASSERT_EQ(Sh("cd " + ShellQuote(src()) + " && zip -q -P tajna " + ShellQuote(e) + " *", &log), 0) << log;
    made.emplace_back("zip -P", e);
  }
  if (HaveTool("7z")) {
    const std::string a = dir_.file("7z.zip");
    ASSERT_EQ(Sh("cd " + ShellQuote(src()) + " && 7z a -tzip -ptajna -mem=ZipCrypto " + ShellQuote(a) + " .", &log), 0)
        << log;
    made.emplace_back("7z ZipCrypto", a);
  }
  made.emplace_back("ours", OurArchive());
  for (const auto& [what, archive] : made) {
    SCOPED_TRACE(what);
    TZipArchiver zip;
    zip.SetZipFileName(Q(archive));
    ASSERT_EQ(zip.Count(), 2);
    EXPECT_TRUE(zip.DirEntry(0).Encrypted);
    zip.SetPassword("tajna");
    zip.SetExtrBaseDir(Q(NewFolder()));
    EXPECT_EQ(zip.Extract(), 0) << S(zip.Message());
    EXPECT_EQ(zip.ProcessedCount(), 2);
    EXPECT_TRUE(seen_.empty());
    ExpectSameFiles(S(zip.ExtrBaseDir()));
  }
}

// The component's own dialog, as a user answers it. The two entries share the
// password, so once it is right the second entry asks nothing.
TEST_F(PasswordRoad, ExtractThroughTheDialog) {
  const std::string archive = OurArchive();
  struct Case {
    const char* what;
    uint32_t requests;
    std::deque<Step> steps;
    size_t dialogs;
    int32_t processed;
    int32_t result;
  };
  const std::vector<Case> cases = {
      {"right at once", 1, {{"tajna", "&Ok"}}, 1, 2, 0},
      {"wrong then right", 2, {{"kriva", "&Ok"}, {"tajna", "&Ok"}}, 2, 2, 0},
      // One request per entry: each entry is asked once, then skipped.
      {"wrong with one request", 1, {{"kriva", "&Ok"}, {"kriva", "&Ok"}}, 2, 0, 6},
      {"cancel all", 3, {{"", "Cancel all"}}, 1, 0, 6},
      {"cancel asks the next entry", 1, {{"", "&Cancel"}, {"tajna", "&Ok"}}, 2, 1, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    seen_.clear();
    TZipArchiver zip;
    zip.SetZipFileName(Q(archive));
    zip.SetPasswordReqCount(c.requests);
    const std::string out = NewFolder();
    zip.SetExtrBaseDir(Q(out));
    std::vector<UnZipSkipTypes> skipped;
    zip.OnExtractSkipped = [&](TZipArchiver&, const QString&, UnZipSkipTypes t, int32_t) { skipped.push_back(t); };
    Script(c.steps);
    EXPECT_EQ(zip.Extract(), c.result) << S(zip.Message());
    EXPECT_EQ(zip.ProcessedCount(), c.processed);
    ASSERT_EQ(seen_.size(), c.dialogs);
    for (const Seen& s : seen_) {
      EXPECT_EQ(s.title, "Password");
      EXPECT_EQ(s.prompt, "Enter Password ");
      EXPECT_EQ(s.buttons, QStringList({"&Ok", "&Cancel", "Cancel all"}));
    }
    EXPECT_EQ(skipped.size(), static_cast<size_t>(2 - c.processed));
    for (UnZipSkipTypes t : skipped) EXPECT_EQ(t, stBadPassword);
    if (c.processed == 2) {
      ExpectSameFiles(out);
    } else if (c.processed == 0) {
      EXPECT_TRUE(TreeOf(out).empty()) << "a wrong password leaves no file";
    }
    EXPECT_EQ(zip.Password(), "") << "the dialog's answer is handed on, not kept";
  }
}

// The extract dialog has no Abort button; a program's handler can answer Abort,
// which stops the whole extract.
TEST_F(PasswordRoad, AbortFromAHandlerStopsTheExtract) {
  const std::string archive = OurArchive();
  TZipArchiver zip;
  zip.SetZipFileName(Q(archive));
  zip.SetPasswordReqCount(3);
  const std::string out = NewFolder();
  zip.SetExtrBaseDir(Q(out));
  int asked = 0;
  zip.OnPasswordError = [&](TZipArchiver&, bool isZip, QString& pw, const QString& forFile, uint32_t&,
                            TPasswordButton& action) {
    ++asked;
    EXPECT_FALSE(isZip);
    EXPECT_EQ(forFile, "zapisnik.txt");
    pw = "tajna";  // emptied by the abort
    action = pwbAbort;
  };
  EXPECT_EQ(zip.Extract(), 9) << S(zip.Message());
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(zip.ProcessedCount(), 0);
  EXPECT_TRUE(TreeOf(out).empty());
}

// AddEncrypt without Password: the add dialog asks for the password and its
// confirmation; a mismatch adds nothing.
TEST_F(PasswordRoad, AddThroughTheDialog) {
  struct Case {
    const char* what;
    std::deque<Step> steps;
    int32_t processed;
  };
  const std::vector<Case> cases = {
      {"confirmed", {{"Tajna 1", "&Ok"}, {"Tajna 1", "&Ok"}}, 2},
      {"mismatch", {{"Tajna 1", "&Ok"}, {"tajna 1", "&Ok"}}, 0},
      {"cancelled", {{"", "&Cancel"}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    seen_.clear();
    ui_.boxes.clear();
    const std::string archive = dir_.file(std::string("added-") + c.what + ".zip");
    TZipArchiver zip;
    zip.SetZipFileName(Q(archive));
    zip.SetAddOptions({AddEncrypt});
    for (const auto& [name, data] : files_) zip.FSpecArgs().append(Q(src() + "/" + name));
    Script(c.steps);
    zip.Add();
    EXPECT_EQ(zip.ProcessedCount(), c.processed) << S(zip.Message());
    ASSERT_EQ(seen_.size(), c.steps.size());
    EXPECT_EQ(seen_[0].buttons, QStringList({"&Ok", "&Cancel"}));
    if (c.processed == 0) {
      EXPECT_FALSE(std::filesystem::exists(archive));
      EXPECT_EQ(zip.ErrCode(), 6) << S(zip.Message());
      continue;
    }
    EXPECT_EQ(zip.ErrCode(), 0) << S(zip.Message());
    EXPECT_EQ(zip.Password(), "");
    ASSERT_EQ(zip.Count(), 2);
    EXPECT_TRUE(zip.DirEntry(0).Encrypted);
    std::string log;
    if (HaveTool("unzip")) {
      EXPECT_EQ(Sh("unzip -P 'Tajna 1' -t " + ShellQuote(archive), &log), 0) << log;
    }
    if (HaveTool("7z")) {
      EXPECT_EQ(Sh("7z t '-pTajna 1' " + ShellQuote(archive), &log), 0) << log;
    }
    if (HaveTool("python3")) {
      EXPECT_EQ(Sh("python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                   "print(len(z.read('zapisnik.txt', pwd=b'Tajna 1')))\" " +
                       ShellQuote(archive),
                   &log),
                0)
          << log;
      EXPECT_EQ(log, "40000\n");
    }
  }
}

}  // namespace
