// Taking the signed file out of a container and removing a signer, on containers
// assembled by the test fixture with ZIP payloads made by Python's zipfile.
#include "signing/extract_revoke.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "container_fixture.h"
#include "platform/fake_ui_services.h"
#include "signing/data_module.h"
#include "signing/file_utils.h"
#include "signing/progress_window.h"
#include "signing/verify.h"
#include "support/file_size_limit.h"
#include "support/qt_print.h"
#include "support/temp_dir.h"

namespace {

using Entries = TestZipEntries;

// A ZIP archive from Python's zipfile (deflated), entries in the given order.
Bytes PythonZip(const Entries& entries) { return TestPythonZip(entries); }

const TestIdentity& Id(int i) {
  static const std::vector<TestIdentity> ids = [] {
    std::vector<TestIdentity> v;
    for (int k = 0; k < 3; ++k) {
      TestCertSpec s;
      s.cn = "Potpisnik " + std::to_string(k);
      s.bits = 1024;
      s.serial = {uint8_t(0x20 + k), 0x01};
      v.push_back(MakeTestIdentity(s, nullptr, k));
    }
    return v;
  }();
  return ids.at(size_t(i));
}

class ExtractRevoke : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(BindTarviRsaForTests(&error)) << error;
  }
  void SetUp() override {
    dm_ = std::make_unique<TdmCollector>();
    dmCollector = dm_.get();
    previousOpener_ = SetFileOpener([this](const QString& path) {
      opened_.push_back(path);
      return openerAnswer_;
    });
  }
  void TearDown() override {
    SetFileOpener(previousOpener_);
    dmCollector = nullptr;
  }
  // A container carrying a ZIP of the entries, signed by the first `signers` identities.
  std::string containerText(const Entries& entries, int signers = 1) {
    TestContainer c;
    c.dtd = "FileUpload.dtd";
    c.payload = TestBase64Lines(PythonZip(entries));
    for (int i = 0; i < signers; ++i) c.addSigner(Id(i), "2024010203040500" + std::to_string(i));
    return c.text();
  }
  QString write(const std::string& name, const std::string& text) {
    WriteAll(tmp_.file(name), text);
    return QString::fromStdString(tmp_.file(name));
  }
  // The text RevokeSignature raises; empty when it raises nothing.
  static QString RevokeError(const QString& sgn, const TSignerRecord& r) {
    try {
      RevokeSignature(sgn, r);
    } catch (const EFileError& e) {
      return e.Text();
    }
    return QString();
  }
  std::vector<QString> boxTexts() {
    std::vector<QString> v;
    for (const auto& b : ui_.boxes) v.push_back(b.text);
    ui_.boxes.clear();
    return v;
  }
  // What the work folders left in the program's temporary folder.
  QStringList workFiles() const {
    QStringList left = QDir(GetTempDirectory()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    left.removeAll(QStringLiteral(".owner"));  // the folder's record of its process
    return left;
  }

  TempDir tmp_{"extract"};
  FakeUiServices ui_;
  std::unique_ptr<TdmCollector> dm_;
  FileOpener previousOpener_;
  std::vector<QString> opened_;
  bool openerAnswer_ = true;
};

TEST_F(ExtractRevoke, EveryModeDeliversThePayloadsFile) {
  const std::string content = "%PDF-1.4 sadržaj izvještaja\n" + std::string(5000, 'x');
  const QString sgn = write("report_pdf.sgn", containerText({{"report.pdf", content}}));
  const QString temp = GetTempDirectory() + "Tmp_Orig_report.pdf";

  QString name = "stale";
  ExtractOriginalFile(sgn, emView, name);
  EXPECT_EQ(name, temp);
  EXPECT_EQ(ReadText(name.toStdString()), content);
  EXPECT_EQ(opened_, std::vector<QString>{temp});

  ExtractOriginalFile(sgn, emCompare, name);
  EXPECT_EQ(name, temp);
  EXPECT_EQ(ReadText(name.toStdString()), content);
  QFile::remove(temp);

  // Save as: the chosen path; the name stays empty.
  ui_.fileAnswers = {QString::fromStdString(tmp_.file("saved.pdf"))};
  ExtractOriginalFile(sgn, emSaveAs, name);
  EXPECT_TRUE(name.isEmpty());
  EXPECT_EQ(ReadText(tmp_.file("saved.pdf")), content);
  // Over an existing file only after Yes.
  WriteAll(tmp_.file("saved.pdf"), "old");
  ui_.fileAnswers = {QString::fromStdString(tmp_.file("saved.pdf"))};
  ui_.answers = {mrNo};
  ExtractOriginalFile(sgn, emSaveAs, name);
  EXPECT_EQ(ReadText(tmp_.file("saved.pdf")), "old");
  EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgOverwrite});
  ui_.fileAnswers = {QString::fromStdString(tmp_.file("saved.pdf"))};
  ExtractOriginalFile(sgn, emSaveAs, name);
  EXPECT_EQ(ReadText(tmp_.file("saved.pdf")), content);
  EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgOverwrite});
  // Cancelled: nothing anywhere.
  ExtractOriginalFile(sgn, emSaveAs, name);

  // Automatic: beside the container, or the dialog when that name is taken.
  ExtractOriginalFile(sgn, emAutomatic, name);
  EXPECT_EQ(name, QString::fromStdString(tmp_.file("report.pdf")));
  EXPECT_EQ(ReadText(tmp_.file("report.pdf")), content);
  ui_.fileAnswers = {QString::fromStdString(tmp_.file("other.pdf"))};
  ExtractOriginalFile(sgn, emAutomatic, name);
  EXPECT_TRUE(name.isEmpty());
  EXPECT_EQ(ReadText(tmp_.file("other.pdf")), content);

  EXPECT_TRUE(ui_.boxes.empty());
  EXPECT_FALSE(ui_.waitCursor());
  QFile::remove(temp);
  EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
}

TEST_F(ExtractRevoke, WhatIsNotAContainerIsOpenedWithItsProgram) {
  for (const char* file : {"report.pdf", "X.Sgn", "a.sgn.x"}) {
    SCOPED_TRACE(file);
    opened_.clear();
    const QString path = write(file, containerText({{"a.txt", "a"}}));
    for (int mode : {emView, emSaveAs, emCompare, emAutomatic}) {
      QString name = "stale";
      ExtractOriginalFile(path, mode, name);
      EXPECT_TRUE(name.isEmpty());
    }
    EXPECT_EQ(opened_.size(), 4u);
  }
  // The suffix counts, not the first ".sgn" in the path.
  opened_.clear();
  QString name;
  ExtractOriginalFile(write("a.sgn.x.sgn", containerText({{"a.txt", "a"}})), emCompare, name);
  EXPECT_TRUE(opened_.empty());
  EXPECT_EQ(ReadText(name.toStdString()), "a");
  QFile::remove(name);
  EXPECT_TRUE(ui_.boxes.empty());

  openerAnswer_ = false;
  ExtractOriginalFile(QString::fromStdString(tmp_.file("missing.pdf")), emView, name);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_TRUE(ui_.boxes[0].text.startsWith(kMsgSystemErrorPrefix + QString::number(ENOENT) + "-"))
      << ui_.boxes[0].text.toStdString();
  EXPECT_TRUE(ui_.boxes[0].text.endsWith("]"));
}

TEST_F(ExtractRevoke, OnlyTheSignedRangesPayloadComesOut) {
  TestContainer good;
  good.payload = TestBase64Lines(PythonZip({{"report.pdf", "signed"}}));
  good.addSigner(Id(0));
  // A CDATA section with another file before the signed range: the file is
  // malformed as a whole, never a source for the other file.
  const std::string planted = "<![CDATA[\r\n" + TestBase64Lines(PythonZip({{"report.pdf", "planted"}})) + "\r\n]]>\r\n";
  std::string text = good.text();
  text.insert(good.head().size(), planted);
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"cdata before the range", text},
      {"no cdata", good.head() + "<TimeStamp>\r\n20240102030405\r\n</TimeStamp>\r\n\r\n</FileUpload>"},
      {"trailing byte", good.text() + "\r\n"},
      {"not a container at all", "hello"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const QString sgn = write("bad.sgn", c.text);
    for (int mode : {emView, emCompare}) {
      QString name = "stale";
      ExtractOriginalFile(sgn, mode, name);
      EXPECT_TRUE(name.isEmpty());
      EXPECT_EQ(boxTexts(), std::vector<QString>{mode == emCompare ? kMsgFormatCompare : kMsgFormatView});
    }
  }
  EXPECT_TRUE(opened_.empty());
  EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
  // A container that does not open raises.
  QString name;
  EXPECT_THROW(ExtractOriginalFile(QString::fromStdString(tmp_.file("none.sgn")), emView, name), EFileError);
}

TEST_F(ExtractRevoke, OnlyAnArchiveOfOnePlainFileComesOut) {
  // A name with a folder part never leaves the temporary folder, and never lands anywhere.
  for (const char* hostile : {"../evil.txt", "a/../../evil.txt", "sub/evil.txt", "/tmp/evil.txt", "..", "C:evil.txt"}) {
    SCOPED_TRACE(hostile);
    QString name = "stale";
    ExtractOriginalFile(write("h.sgn", containerText({{hostile, "evil"}})), emAutomatic, name);
    EXPECT_TRUE(name.isEmpty());
    EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgNotInterpreted});
  }
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(tmp_.file("evil.txt"))));
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(tmp_.file("sub"))));

  // Dots inside a name are ordinary characters: such a file comes out in every mode.
  for (const char* dotted : {"report..pdf", "a..b..c.txt", "..x", "x.."}) {
    SCOPED_TRACE(dotted);
    const QString sgn = write("dotted.sgn", containerText({{dotted, std::string("sadržaj ") + dotted}}));
    const QString temp = GetTempDirectory() + "Tmp_Orig_" + QString::fromUtf8(dotted);
    for (int mode : {emView, emCompare}) {
      QString name;
      ExtractOriginalFile(sgn, mode, name);
      EXPECT_EQ(name, temp);
      EXPECT_EQ(ReadText(temp.toStdString()), std::string("sadržaj ") + dotted);
      QFile::remove(temp);
    }
    ui_.fileAnswers = {QString::fromStdString(tmp_.file("saved"))};
    QString name;
    ExtractOriginalFile(sgn, emSaveAs, name);
    EXPECT_EQ(ReadText(tmp_.file("saved")), std::string("sadržaj ") + dotted);
    QFile::remove(QString::fromStdString(tmp_.file("saved")));
    ExtractOriginalFile(sgn, emAutomatic, name);
    EXPECT_EQ(name, QString::fromStdString(tmp_.file(dotted)));
    EXPECT_EQ(ReadText(tmp_.file(dotted)), std::string("sadržaj ") + dotted);
    EXPECT_TRUE(ui_.boxes.empty()) << ui_.boxes.front().text.toStdString();
  }

  // A second entry beside the file, or a folder entry, would be signed unseen:
  // nothing of such a payload is shown, saved or compared, in any mode.
  const struct {
    const char* what;
    Entries entries;
  } several[] = {
      {"hidden second file", {{"first.txt", "shown"}, {"second.txt", "hidden"}}},
      {"hidden file first", {{"second.txt", "hidden"}, {"first.txt", "shown"}}},
      {"the same name twice", {{"first.txt", "shown"}, {"first.txt", "hidden"}}},
      {"a folder entry beside the file", {{"first.txt", "shown"}, {"dir/", ""}}},
  };
  opened_.clear();
  for (const auto& c : several) {
    SCOPED_TRACE(c.what);
    const QString sgn = write("two.sgn", containerText(c.entries));
    for (int mode : {emView, emSaveAs, emCompare, emAutomatic}) {
      ui_.fileAnswers = {QString::fromStdString(tmp_.file("saved-two"))};
      QString name = "stale";
      ExtractOriginalFile(sgn, mode, name);
      EXPECT_TRUE(name.isEmpty());
      EXPECT_EQ(boxTexts(), std::vector<QString>{mode == emCompare ? kMsgFormatCompare : kMsgFormatView});
    }
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(tmp_.file("saved-two"))));
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(tmp_.file("first.txt"))));
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(tmp_.file("second.txt"))));
  }
  EXPECT_TRUE(opened_.empty()) << opened_.size();
  EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
}

// One entry in the directory is not yet one document: an archive in which another
// reader finds a second file, or the file under another name, shows nothing in
// any mode. The same file with its sizes after its data (a writer that cannot
// seek back) is still one document.
TEST_F(ExtractRevoke, AnArchiveThatCarriesASecondDocumentShowsNothing) {
  opened_.clear();
  for (const TestTwoDocumentZip& v : TestTwoDocumentZips("first.txt", "shown")) {
    SCOPED_TRACE(v.what);
    TestContainer c;
    c.payload = TestBase64Lines(v.zip);
    c.addSigner(Id(0));
    const QString sgn = write("two.sgn", c.text());
    for (int mode : {emView, emSaveAs, emCompare, emAutomatic}) {
      SCOPED_TRACE(mode);
      ui_.fileAnswers = {QString::fromStdString(tmp_.file("saved-two"))};
      QString name = "stale";
      ExtractOriginalFile(sgn, mode, name);
      EXPECT_TRUE(name.isEmpty());
      EXPECT_EQ(boxTexts(), std::vector<QString>{kMsgNotInterpreted});
    }
    EXPECT_EQ(QDir(QString::fromStdString(tmp_.path())).entryList(QDir::Files), QStringList{"two.sgn"});
    EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
  }
  EXPECT_TRUE(opened_.empty()) << opened_.size();

  for (bool deflate : {true, false}) {
    SCOPED_TRACE(deflate);
    TestContainer c;
    const Bytes zip = TestPythonZip({{"first.txt", "shown"}}, deflate, true);
    ASSERT_TRUE(zip.at(6) & 0x08) << "no data descriptor";
    c.payload = TestBase64Lines(zip);
    const QString sgn = write("streamed.sgn", c.text());
    QString name;
    ExtractOriginalFile(sgn, emAutomatic, name);
    EXPECT_EQ(name, QString::fromStdString(tmp_.file("first.txt")));
    EXPECT_EQ(ReadText(tmp_.file("first.txt")), "shown");
    EXPECT_TRUE(ui_.boxes.empty()) << ui_.boxes.front().text.toStdString();
    QFile::remove(name);
  }
}

TEST_F(ExtractRevoke, LargeContainersShowAboutTwentyFiveSteps) {
  TfmProgres progress;
  fmProgres = &progress;
  int64_t clock = 0;
  progress.setClock([&] { return clock += 1000; });  // every update may repaint
  const QString sgn = write("big.sgn", containerText({{"big.bin", [] {
                                                         Bytes r = TestRandomBytes(2 << 20);
                                                         return std::string(r.begin(), r.end());
                                                       }()}}));
  // The repaints of each step, told apart by the description they showed.
  struct Paints : QObject {
    std::map<QString, std::set<int>> byDescription;  // the positions painted
    std::set<QString> captions;
    bool eventFilter(QObject* o, QEvent* e) override {
      if (o == fmProgres && e->type() == QEvent::Paint) {
        byDescription[fmProgres->lbOpis->text()].insert(fmProgres->ProgressBar1->value());
        captions.insert(fmProgres->windowTitle());
      }
      return false;
    }
  } paints;
  progress.installEventFilter(&paints);
  // Pending messages run as the program's own services run them: the window is
  // exposed, and painted.
  ui_.onProcess = [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); };
  QString name;
  ExtractOriginalFile(sgn, emCompare, name);
  fmProgres = nullptr;
  ui_.onProcess = nullptr;
  EXPECT_GE(paints.byDescription[kProgressAnalysing].size(), 2u);
  EXPECT_LE(paints.byDescription[kProgressAnalysing].size(), 27u);
  // Then the extraction itself moves the window on.
  EXPECT_GE(paints.byDescription[kProgressUnpacking].size(), 1u);
  EXPECT_EQ(paints.captions, std::set<QString>{kProgressSignedCaption});
  EXPECT_EQ(progress.lbOpis->text(), kProgressUnpacking);
  EXPECT_FALSE(progress.isVisible());
  QFile::remove(name);
}

// ---- revoking ------------------------------------------------------------------

TEST_F(ExtractRevoke, RevokingFirstMiddleOrLastLeavesTheOthersValid) {
  TestContainer c;
  c.payload = TestBase64Lines(PythonZip({{"a.txt", "abc"}}));
  for (int i = 0; i < 3; ++i) c.addSigner(Id(i), "2024010203040500" + std::to_string(i));
  const std::string original = c.text();
  for (size_t drop = 0; drop < 3; ++drop) {
    SCOPED_TRACE(drop);
    const QString sgn = write("three.sgn", original);
    chmod(tmp_.file("three.sgn").c_str(), 0640);
    TSignerList list;
    ASSERT_TRUE(VerifySignedFile(sgn, list));
    ASSERT_EQ(list.size(), 3u);
    RevokeSignature(sgn, list[drop]);
    TestContainer expected = c;
    expected.signers.erase(expected.signers.begin() + long(drop));
    EXPECT_EQ(ReadText(tmp_.file("three.sgn")), expected.text());
    TSignerList after;
    ASSERT_TRUE(VerifySignedFile(sgn, after));
    ASSERT_EQ(after.size(), 2u);
    for (const TSignerRecord& r : after) EXPECT_EQ(r.SignatureOk, 1);
    struct stat st;
    ASSERT_EQ(stat(tmp_.file("three.sgn").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
  }
  // The only signer: the bytes up to "</File>", then CR LF "</FileUpload>".
  TestContainer one = c;
  one.signers.resize(1);
  const QString sgn = write("one.sgn", one.text());
  TSignerList list;
  ASSERT_TRUE(VerifySignedFile(sgn, list));
  RevokeSignature(sgn, list[0]);
  EXPECT_EQ(ReadText(tmp_.file("one.sgn")), one.head() + one.range() + "\r\n</FileUpload>");
  EXPECT_TRUE(ui_.boxes.empty());
  EXPECT_EQ(QDir(QString::fromStdString(tmp_.path())).entryList(QDir::Files).size(), 2);
}

TEST_F(ExtractRevoke, AStaleRecordLeavesTheContainerAlone) {
  TestContainer c;
  c.payload = TestBase64Lines(PythonZip({{"a.txt", "abc"}}));
  c.addSigner(Id(0));
  c.addSigner(Id(1));
  const QString sgn = write("c.sgn", c.text());
  TSignerList list;
  ASSERT_TRUE(VerifySignedFile(sgn, list));

  // The first signer was revoked meanwhile: the second record's positions now
  // point past the end; the first record's element is gone.
  TestContainer later = c;
  later.signers.erase(later.signers.begin());
  write("c.sgn", later.text());
  EXPECT_EQ(RevokeError(sgn, list[1]), kMsgRevokeStale.arg(sgn));
  EXPECT_EQ(RevokeError(sgn, list[0]), kMsgRevokeStale.arg(sgn));
  EXPECT_EQ(ReadText(tmp_.file("c.sgn")), later.text());

  // A signer added before it shifts nothing, but a record of another element at
  // the same place (same positions, other signature) is refused.
  write("c.sgn", c.text());
  TSignerRecord forged = list[0];
  forged.Signature[0] ^= 1;
  EXPECT_EQ(RevokeError(sgn, forged), kMsgRevokeStale.arg(sgn));
  // A container that became malformed is refused too, as a malformed file: no
  // record of it can be stale when it is no container at all.
  for (const std::string& broken : {c.text() + "x", c.text().substr(0, c.text().size() / 2), std::string("hello")}) {
    write("c.sgn", broken);
    EXPECT_EQ(RevokeError(sgn, list[0]), kMsgFormatCompare);
    EXPECT_EQ(ReadText(tmp_.file("c.sgn")), broken);
  }
  EXPECT_THROW(RevokeSignature(QString::fromStdString(tmp_.file("none.sgn")), list[0]), EFileError);
  EXPECT_EQ(QDir(QString::fromStdString(tmp_.path())).entryList(QDir::Files), QStringList{"c.sgn"});
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(ExtractRevoke, AFullDiskWhileRevokingLeavesTheOldContainer) {
  TestContainer c;
  c.payload = TestBase64Lines(TestRandomBytes(200000));
  c.addSigner(Id(0));
  c.addSigner(Id(1));
  const QString sgn = write("c.sgn", c.text());
  TSignerList list;
  ASSERT_TRUE(VerifySignedFile(sgn, list));
  struct rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit low = old;
  low.rlim_cur = 100000;
  setrlimit(RLIMIT_FSIZE, &low);
  EXPECT_THROW(RevokeSignature(sgn, list[0]), EFileError);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(ReadText(tmp_.file("c.sgn")), c.text());
  EXPECT_EQ(QDir(QString::fromStdString(tmp_.path())).entryList(QDir::Files), QStringList{"c.sgn"});
}

TEST_F(ExtractRevoke, RevokingThroughASymbolicLinkChangesTheSharedContainer) {
  TestContainer c;
  c.payload = TestBase64Lines(PythonZip({{"a.txt", "abc"}}));
  c.addSigner(Id(0));
  c.addSigner(Id(1));
  TempDir shared("shared");
  WriteAll(shared.file("c.sgn"), c.text());
  chmod(shared.file("c.sgn").c_str(), 0640);
  const QString link = QString::fromStdString(tmp_.file("link.sgn"));
  ASSERT_EQ(symlink(shared.file("c.sgn").c_str(), tmp_.file("link.sgn").c_str()), 0);
  TSignerList list;
  ASSERT_TRUE(VerifySignedFile(link, list));
  ASSERT_EQ(list.size(), 2u);

  RevokeSignature(link, list[0]);
  // The link is still a link to the same file, which lost the signer in place.
  EXPECT_TRUE(QFileInfo(link).isSymLink());
  EXPECT_EQ(QFileInfo(link).symLinkTarget(), QString::fromStdString(shared.file("c.sgn")));
  TestContainer expected = c;
  expected.signers.erase(expected.signers.begin());
  EXPECT_EQ(ReadText(shared.file("c.sgn")), expected.text());
  struct stat st;
  ASSERT_EQ(stat(shared.file("c.sgn").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // No work file in either folder.
  EXPECT_EQ(
      QDir(QString::fromStdString(shared.path())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
      QStringList{"c.sgn"});
  EXPECT_EQ(QDir(QString::fromStdString(tmp_.path())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{"link.sgn"});

  // A link to a link: the file at the end of the chain changes.
  ASSERT_EQ(symlink(tmp_.file("link.sgn").c_str(), tmp_.file("link2.sgn").c_str()), 0);
  TSignerList again;
  ASSERT_TRUE(VerifySignedFile(QString::fromStdString(tmp_.file("link2.sgn")), again));
  ASSERT_EQ(again.size(), 1u);
  RevokeSignature(QString::fromStdString(tmp_.file("link2.sgn")), again[0]);
  EXPECT_TRUE(QFileInfo(QString::fromStdString(tmp_.file("link2.sgn"))).isSymLink());
  EXPECT_TRUE(QFileInfo(link).isSymLink());
  EXPECT_EQ(ReadText(shared.file("c.sgn")), c.head() + c.range() + "\r\n</FileUpload>");
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(ExtractRevoke, AHardLinkedContainerIsRefusedNotSplit) {
  TestContainer c;
  c.payload = TestBase64Lines(PythonZip({{"a.txt", "abc"}}));
  c.addSigner(Id(0));
  const QString sgn = write("c.sgn", c.text());
  ASSERT_EQ(link(tmp_.file("c.sgn").c_str(), tmp_.file("other.sgn").c_str()), 0);
  TSignerList list;
  ASSERT_TRUE(VerifySignedFile(sgn, list));
  ASSERT_EQ(list.size(), 1u);
  for (const char* name : {"c.sgn", "other.sgn"})
    EXPECT_EQ(RevokeError(QString::fromStdString(tmp_.file(name)), list[0]),
              kMsgHardLinkedFile.arg(QString::fromStdString(tmp_.file(name))).arg(2));
  // Both names still name one file, unchanged.
  struct stat a, b;
  ASSERT_EQ(stat(tmp_.file("c.sgn").c_str(), &a), 0);
  ASSERT_EQ(stat(tmp_.file("other.sgn").c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(a.st_nlink, 2u);
  EXPECT_EQ(ReadText(tmp_.file("c.sgn")), c.text());
  EXPECT_EQ(QDir(QString::fromStdString(tmp_.path())).entryList(QDir::Files), (QStringList{"c.sgn", "other.sgn"}));
  // Once the other name is gone, the container is an ordinary file again.
  ASSERT_EQ(unlink(tmp_.file("other.sgn").c_str()), 0);
  RevokeSignature(sgn, list[0]);
  EXPECT_EQ(ReadText(tmp_.file("c.sgn")), c.head() + c.range() + "\r\n</FileUpload>");
}

}  // namespace

namespace {

std::string RandomText(size_t n) {
  const Bytes b = TestRandomBytes(n, 3);
  return std::string(b.begin(), b.end());
}

}  // namespace

// A disk that refuses the work files or the extracted file is named with the
// system's own text in the system-error box, in every mode, and never blamed on
// the file; nothing is left at the target or in the work folder.
TEST_F(ExtractRevoke, ADiskThatRefusesTheOriginalIsNamedAsSuch) {
  const QString tooLarge =
      kMsgSystemErrorPrefix + QString::number(EFBIG) + "-" + QStringLiteral("Datoteka je prevelika") + "]";
  struct Case {
    const char* what;
    std::string content;  // the original: random data makes a large archive, repeated text a small one
    int mode;
  };
  const Case cases[] = {
      {"the archive does not fit", RandomText(200000), emSaveAs},
      {"the extracted file does not fit", std::string(300000, 'a'), emSaveAs},
      {"the extracted file does not fit, beside the container", std::string(300000, 'a'), emAutomatic},
      {"the extracted file does not fit, for viewing", std::string(300000, 'a'), emView},
      {"the extracted file does not fit, for comparing", std::string(300000, 'a'), emCompare},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const QString sgn = write("report_pdf.sgn", containerText({{"report.pdf", c.content}}));
    ASSERT_LT(QFileInfo(sgn).size(), 350000);
    ui_.boxes.clear();
    ui_.fileAnswers = {QString::fromStdString(tmp_.file("report.pdf"))};
    QString name;
    {
      FileSizeLimit limit(100000);
      ExtractOriginalFile(sgn, c.mode, name);
    }
    EXPECT_TRUE(name.isEmpty());
    EXPECT_EQ(boxTexts(), std::vector<QString>{tooLarge});
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(tmp_.file("report.pdf"))));
    EXPECT_FALSE(QFileInfo::exists(GetTempDirectory() + "Tmp_Orig_report.pdf"));
    EXPECT_TRUE(workFiles().isEmpty()) << workFiles().join(",").toStdString();
    EXPECT_TRUE(opened_.empty());
  }
}
