// Spanned archives: a set written as part files in one folder (numbered or with
// ".zNN" names) and over several folders taken as the disks of a removable drive,
// read back and extracted; the questions for an existing part, a disk without
// room and the unattended refusal.
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>

#include "outside/outside_test_support.h"
#include "platform/disk_steps.h"
#include "platform/fake_ui_services.h"
#include "support/disk_faults.h"
#include "support/file_size_limit.h"
#include "support/small_disk.h"
#include "support/temp_dir.h"
#include "zip/zip_archiver.h"
#include "zip/zip_message_ids.h"

namespace fs = std::filesystem;

namespace {

// The volume a disk question asks for, or -1 when the box is no such question.
int AskedVolume(const QString& text) {
  const QString prefix = "Please insert disk volume ";
  return text.startsWith(prefix) ? text.mid(prefix.size()).section(u' ', 0, 0).toInt() : -1;
}

std::string S(const QString& s) { return s.toStdString(); }
bool HaveUnzip() { return system("command -v unzip >/dev/null 2>&1") == 0; }
QString Q(const std::string& s) { return QString::fromStdString(s); }

uint32_t U16(const std::vector<unsigned char>& b, size_t at) { return b[at] | (b[at + 1] << 8); }
uint32_t U32(const std::vector<unsigned char>& b, size_t at) { return U16(b, at) | (U16(b, at + 2) << 16); }

using outsidetest::Random;

// A folder that the component takes for a removable drive.
class RemovableZip : public TZipArchiver {
 public:
  bool IsFixedDrive(const QString&) override { return false; }
};

// Removable media that carry volume labels (kept here per folder).
class LabelledZip : public RemovableZip {
 public:
  std::map<std::string, QString> labels;
  QString ReadVolumeLabel(const QString& drive) override {
    std::error_code ec;
    return labels[fs::canonical(S(drive), ec).string()];
  }
  bool WriteVolumeLabel(const QString& drive, const QString& label) override {
    std::error_code ec;
    labels[fs::canonical(S(drive), ec).string()] = label;
    return true;
  }
};

// Boxes that can act, as a user who changes the disk before answering.
class ActingUi : public FakeUiServices {
 public:
  std::function<void(const QString&)> onBox;
  int messageBox(MsgKind kind, const QString& text, const QString& caption) override {
    if (onBox) onBox(text);
    return FakeUiServices::messageBox(kind, text, caption);
  }
  int questionBox(const QString& text, const QString& caption, MsgButtons buttons, MsgIcon icon,
                  int defaultAnswer) override {
    if (onBox) onBox(text);
    return FakeUiServices::questionBox(text, caption, buttons, icon, defaultAnswer);
  }
};

// A drive that reports a given free space, as a fresh disk of that size would
// before each part.
template <class Base>
class SizedDrive : public Base {
 public:
  int64_t size = 10000;
  void DiskFreeAndSize(int which) override {
    if (which & 1) this->DiskState().freeOnDisk = size;
    if (which & 2) this->DiskState().sizeOfDisk = size;
  }
};

// What a question box offered.
void ExpectBox(const FakeUiServices::Box& b, MsgButtons buttons, MsgIcon icon, int defaultAnswer) {
  EXPECT_EQ(b.buttons, buttons) << S(b.text);
  EXPECT_EQ(b.icon, icon) << S(b.text);
  EXPECT_EQ(b.defaultAnswer, defaultAnswer) << S(b.text);
}

class Span : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(src_);
    files_ = {{"prvi dokument s dugim imenom čćž.bin", Random(2500, 1)},
              {"drugi.txt", std::string(700, 'd')},
              {"treći izvještaj s još dužim imenom datoteke.bin", Random(1800, 2)},
              {"prazan.txt", ""}};
    for (const auto& [name, data] : files_) WriteAll(src_ + "/" + name, data);
  }
  QStringList Specs() const {
    QStringList out;
    for (const auto& [name, data] : files_) out << Q(src_ + "/" + name);
    return out;
  }
  void Setup(TZipArchiver& zip) {
    zip.SetAddOptions({AddDiskSpan});
    zip.SetMaxVolumeSize(1000);
    zip.SetMinFreeVolumeSize(100);
    zip.SetAddCompLevel(0);
  }
  // zip set up to spread the files as "arhiva.zip" over the removable disks of
  // the drive at drivePath, without volume names.
  void SpreadOverDrive(TZipArchiver& zip, const std::string& drivePath) {
    Setup(zip);
    zip.SetSpanOptions({spNoVolumeName});
    zip.SetZipFileName(Q(drivePath + "/arhiva.zip"));
    zip.FSpecArgs() = Specs();
  }
  // Extracts the set through the given last part and compares every file.
  void ExtractAndCompare(TZipArchiver& zip, const std::string& lastPart) {
    zip.SetZipFileName(Q(lastPart));
    ASSERT_EQ(zip.ErrCode(), 0) << S(zip.Message());
    EXPECT_TRUE(zip.Spanned());
    ASSERT_EQ(zip.Count(), static_cast<int>(files_.size()));
    const std::string out = dir_.file("out" + std::to_string(++outs_));
    fs::create_directories(out);
    zip.SetExtrBaseDir(Q(out));
    zip.SetExtrOptions({ExtrOverWrite});
    EXPECT_EQ(zip.Extract(), 0) << S(zip.Message());
    EXPECT_EQ(zip.ProcessedCount(), static_cast<int>(files_.size()));
    for (const auto& [name, data] : files_) {
      SCOPED_TRACE(name);
      EXPECT_TRUE(ReadText(out + "/" + name) == data);
    }
  }
  // Every part holds at most max bytes, the first begins with the spanning
  // marker, and every entry's local header lies whole on the part named for it.
  void CheckParts(const std::vector<std::string>& parts, TZipArchiver& zip, size_t max) {
    ASSERT_GE(parts.size(), 3u);
    for (const std::string& p : parts) EXPECT_LE(fs::file_size(p), max) << p;
    const auto first = ReadAll(parts[0]);
    EXPECT_EQ(U32(first, 0), 0x08074b50u);
    EXPECT_EQ(U32(first, 4), 0x04034b50u);
    for (int i = 0; i < zip.Count(); ++i) {
      const ZipDirEntry& e = zip.DirEntry(i);
      SCOPED_TRACE(S(e.FileName));
      ASSERT_LT(e.StartOnDisk, parts.size());
      const auto part = ReadAll(parts[e.StartOnDisk]);
      ASSERT_LE(e.LocalHeaderOffset + 30u, part.size());
      EXPECT_EQ(U32(part, e.LocalHeaderOffset), 0x04034b50u);
      EXPECT_LE(e.LocalHeaderOffset + 30 + U16(part, e.LocalHeaderOffset + 26) + U16(part, e.LocalHeaderOffset + 28),
                part.size());
    }
  }
  std::vector<std::string> Existing(const std::vector<std::string>& names) {
    std::vector<std::string> out;
    for (const auto& n : names)
      if (fs::exists(n)) out.push_back(n);
    return out;
  }

  TempDir dir_{"zipspan"};
  std::string src_ = dir_.file("src");
  std::vector<std::pair<std::string, std::string>> files_;
  int outs_ = 0;
};

TEST_F(Span, NumberedPartsInOneFolder) {
  FakeUiServices ui;
  TZipArchiver zip;
  Setup(zip);
  const std::string target = dir_.file("backup.zip");
  zip.SetZipFileName(Q(target));
  zip.FSpecArgs() = Specs();
  QStringList messages;
  zip.OnMessage = [&](TZipArchiver&, int32_t, const QString& m) { messages << m; };
  ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
  EXPECT_EQ(zip.ProcessedCount(), 4);
  EXPECT_TRUE(messages.contains("Copying: drugi.txt")) << S(messages.join('|'));
  EXPECT_TRUE(messages.contains("Copying: Central directory"));
  EXPECT_TRUE(ui.boxes.empty()) << S(ui.lastText());
  EXPECT_FALSE(fs::exists(target));  // the parts carry numbers, the last too
  std::vector<std::string> names;
  for (int n = 1; n <= 20; ++n)
    names.push_back(dir_.file("backup" + std::string(n < 10 ? "00" : "0") + std::to_string(n) + ".zip"));
  const auto parts = Existing(names);
  ASSERT_FALSE(parts.empty());
  for (size_t i = 0; i < parts.size(); ++i) EXPECT_EQ(parts[i], names[i]);  // no gaps
  // 5000 stored bytes and their headers over parts of 1000: full parts but the last.
  for (size_t i = 0; i + 1 < parts.size(); ++i) EXPECT_GE(fs::file_size(parts[i]), 800u) << parts[i];

  TZipArchiver reader;
  ExtractAndCompare(reader, parts.back());
  CheckParts(parts, reader, 1000);

  // A missing middle part ends the extract.
  fs::remove(parts[1]);
  TZipArchiver broken;
  broken.SetZipFileName(Q(parts.back()));
  const std::string out = dir_.file("broken");
  fs::create_directories(out);
  broken.SetExtrBaseDir(Q(out));
  EXPECT_NE(broken.Extract(), 0);
  EXPECT_EQ(broken.ErrCode(), kZipInputMissing) << S(broken.Message());
  EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(Span, CompatNamesEndWithTheTarget) {
  FakeUiServices ui;
  TZipArchiver zip;
  Setup(zip);
  zip.SetSpanOptions({spCompatName});
  const std::string target = dir_.file("set.zip");
  zip.SetZipFileName(Q(target));
  zip.FSpecArgs() = Specs();
  ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
  ASSERT_TRUE(fs::exists(target));
  std::vector<std::string> parts =
      Existing({dir_.file("set.z01"), dir_.file("set.z02"), dir_.file("set.z03"), dir_.file("set.z04"),
                dir_.file("set.z05"), dir_.file("set.z06"), dir_.file("set.z07"), dir_.file("set.z08")});
  ASSERT_GE(parts.size(), 2u);
  EXPECT_EQ(parts.back(), dir_.file("set.z0" + std::to_string(parts.size())));
  parts.push_back(target);
  // The component lists the set from its last part.
  EXPECT_EQ(zip.Count(), 4);
  TZipArchiver reader;
  reader.SetSpanOptions({spCompatName});
  ExtractAndCompare(reader, target);
  CheckParts(parts, reader, 1000);
}

TEST_F(Span, OverSeveralFoldersOfARemovableDrive) {
  // The drive is a link; the user "changes the disk" by pointing it at the next
  // folder when asked for disk n.
  const std::string drive = dir_.file("drive");
  auto disk = [&](int n) { return dir_.file("disk" + std::to_string(n)); };
  for (int n = 1; n <= 12; ++n) fs::create_directories(disk(n));
  auto insert = [&](int n) {
    fs::remove(drive);
    fs::create_directory_symlink(disk(n), drive);
  };
  insert(1);
  ActingUi ui;
  std::vector<int> asked;
  ui.onBox = [&](const QString& text) {
    const int n = AskedVolume(text);
    if (n < 0) return;
    asked.push_back(n);
    insert(n);
  };
  RemovableZip zip;
  SpreadOverDrive(zip, drive);
  ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
  ASSERT_GE(asked.size(), 2u);
  for (size_t i = 0; i < asked.size(); ++i) EXPECT_EQ(asked[i], static_cast<int>(i) + 2);
  const int count = static_cast<int>(asked.size()) + 1;
  EXPECT_NE(S(ui.boxes[0].text).find("\nin drive: " + drive + "/"), std::string::npos) << S(ui.boxes[0].text);
  std::vector<std::string> parts;
  for (int n = 1; n <= count; ++n) {
    std::vector<std::string> here;
    for (const auto& e : fs::directory_iterator(disk(n))) here.push_back(e.path().filename().string());
    ASSERT_EQ(here.size(), 1u) << n;
    EXPECT_EQ(here[0], "arhiva00" + std::to_string(n) + ".zip");
    parts.push_back(disk(n) + "/" + here[0]);
  }

  // Read back with the last disk in the drive; the reader asks for the others.
  asked.clear();
  ui.boxes.clear();
  insert(count);
  RemovableZip reader;
  reader.SetSpanOptions({spNoVolumeName});
  ExtractAndCompare(reader, drive + "/arhiva00" + std::to_string(count) + ".zip");
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked.front(), 1);  // the extract starts from the first disk
  CheckParts(parts, reader, 1000);
}

TEST_F(Span, QuestionsForAnExistingPartAndAFullDisk) {
  const std::string target = dir_.file("q.zip");
  WriteAll(dir_.file("q001.zip"), "staro");
  {
    // No asks for another disk: in a folder of a fixed drive that is a request
    // to make room, answered with OK (look again) or Cancel (end the add).
    const std::string question =
        "There is already a file " + dir_.file("q001.zip") + "\nDo you want to overwrite this file";
    const std::string insert = "Please insert disk volume 1\nin drive: " + dir_.path() + "/";
    struct Case {
      std::deque<int> answers;
      std::vector<std::string> shown;
      int result;
    } cases[] = {
        {{mrCancel}, {question}, kZipUserCancelled},
        {{mrNo, mrCancel}, {question, insert}, kZipUserCancelled},
        {{mrNo, mrOk, mrNo, mrOk, mrCancel}, {question, insert, question, insert, question}, kZipUserCancelled},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.shown.size());
      FakeUiServices ui;
      ui.answers = c.answers;
      TZipArchiver zip;
      Setup(zip);
      zip.SetZipFileName(Q(target));
      zip.FSpecArgs() = Specs();
      EXPECT_EQ(zip.Add(), c.result);
      ASSERT_EQ(ui.boxes.size(), c.shown.size());
      for (size_t i = 0; i < c.shown.size(); ++i) {
        const auto& b = ui.boxes[i];
        EXPECT_EQ(S(b.text), c.shown[i]);
        if (c.shown[i] == question) {
          EXPECT_EQ(b.caption, "Confirm");
          ExpectBox(b, MsgButtons::YesNoCancel, MsgIcon::Warning, mrNo);
        } else {
          ExpectBox(b, MsgButtons::OkCancel, MsgIcon::None, mrOk);
        }
      }
      EXPECT_TRUE(ui.refusals.empty());
      EXPECT_EQ(ReadText(dir_.file("q001.zip")), "staro");
      EXPECT_FALSE(fs::exists(dir_.file("q002.zip")));
    }
    // The user moves the old file away while asked for another disk.
    ActingUi acting;
    acting.answers = {mrNo, mrOk};
    acting.onBox = [&](const QString& text) {
      if (S(text) == insert) fs::rename(dir_.file("q001.zip"), dir_.file("maknuto.zip"));
    };
    TZipArchiver zip;
    Setup(zip);
    zip.SetZipFileName(Q(target));
    zip.FSpecArgs() = Specs();
    EXPECT_EQ(zip.Add(), 0) << S(zip.Message());
    EXPECT_EQ(acting.boxes.size(), 2u);
    EXPECT_EQ(ReadText(dir_.file("maknuto.zip")), "staro");
    EXPECT_NE(ReadText(dir_.file("q001.zip")), "staro");
    fs::rename(dir_.file("maknuto.zip"), dir_.file("q001.zip"));
    for (int n = 2; n < 20; ++n) fs::remove(dir_.file("q00" + std::to_string(n) + ".zip"));
  }
  {
    FakeUiServices ui;
    TZipArchiver zip;
    Setup(zip);
    zip.SetUnattended(true);
    zip.SetZipFileName(Q(target));
    zip.FSpecArgs() = Specs();
    EXPECT_EQ(zip.Add(), kZipUnattendedSpanning);
    EXPECT_EQ(S(zip.Message()), "Unattended disk spanning not implemented");
    EXPECT_TRUE(ui.boxes.empty());
  }
  {
    // Yes overwrites it.
    FakeUiServices ui;
    ui.answers = {mrYes};
    TZipArchiver zip;
    Setup(zip);
    zip.SetZipFileName(Q(target));
    zip.FSpecArgs() = Specs();
    EXPECT_EQ(zip.Add(), 0) << S(zip.Message());
    EXPECT_EQ(ui.boxes.size(), 1u);
    EXPECT_NE(ReadText(dir_.file("q001.zip")), "staro");
  }
  {
    // The same questions through OnStatusDisk: reject asks for another disk,
    // and a full disk cancelled ends the add.
    FakeUiServices ui;
    TZipArchiver zip;
    Setup(zip);
    std::vector<std::pair<QString, TZipDiskStatus>> calls;
    bool rejected = false;
    zip.OnStatusDisk = [&](TZipArchiver&, int32_t disk, const QString& file, TZipDiskStatus status,
                           TZipDiskAction& action) {
      EXPECT_GE(disk, 1);
      calls.push_back({file, status});
      action = !rejected ? zdaReject : status.Contains(zdsNotEnoughSpace) ? zdaCancel : zdaOk;
      rejected = true;
    };
    zip.SetZipFileName(Q(target));
    zip.FSpecArgs() = Specs();
    EXPECT_EQ(zip.Add(), 0) << S(zip.Message());
    ASSERT_GE(calls.size(), 3u);
    for (int i : {0, 1}) {
      EXPECT_EQ(S(calls[i].first), dir_.file("q001.zip"));
      EXPECT_EQ(calls[i].second, TZipDiskStatus{zdsSameFileName});
    }
    EXPECT_TRUE(ui.boxes.empty());

    calls.clear();
    zip.SetMinFreeVolumeSize(2000);
    zip.SetZipFileName(Q(dir_.file("full.zip")));
    zip.FSpecArgs() = Specs();
    EXPECT_EQ(zip.Add(), kZipUserCancelled);
    ASSERT_EQ(calls.size(), 2u);  // the part's status, then the full disk
    EXPECT_EQ(calls[0].second, TZipDiskStatus{});
    EXPECT_EQ(calls[1].second, TZipDiskStatus{zdsNotEnoughSpace});
    EXPECT_TRUE(ui.boxes.empty());
  }
  {
    // A disk with less room than asked for is refused: retry asks again, Cancel ends.
    FakeUiServices ui;
    ui.answers = {mrRetry, mrCancel};
    TZipArchiver zip;
    Setup(zip);
    zip.SetMinFreeVolumeSize(2000);
    zip.SetZipFileName(Q(dir_.file("full.zip")));
    zip.FSpecArgs() = Specs();
    EXPECT_EQ(zip.Add(), kZipUserCancelled);
    ASSERT_EQ(ui.boxes.size(), 2u);
    for (const auto& b : ui.boxes) {
      EXPECT_EQ(b.text, "This disk has not enough free space available");
      EXPECT_EQ(b.caption, QCoreApplication::applicationName());
      ExpectBox(b, MsgButtons::RetryCancel, MsgIcon::Stop, mrRetry);
    }
    EXPECT_FALSE(fs::exists(dir_.file("full001.zip")));
  }
}

// Disks that are erased before use and labelled "PKBACK# 001" and on: every
// disk holds the archive under its own name, and the reader knows the disks by
// their labels.
TEST_F(Span, ErasedAndLabelledDisks) {
  const std::string drive = dir_.file("drive");
  auto disk = [&](int n) { return dir_.file("disk" + std::to_string(n)); };
  for (int n = 1; n <= 12; ++n) fs::create_directories(disk(n));
  // Old content of a disk, and a link out of it that erasing must not follow.
  WriteAll(disk(2) + "/staro.txt", "x");
  fs::create_directories(disk(2) + "/mapa/dublje");
  WriteAll(disk(2) + "/mapa/dublje/b.txt", "y");
  WriteAll(dir_.file("vani.txt"), "ostaje");
  fs::create_directory_symlink(dir_.path(), disk(2) + "/mapa/veza");
  auto insert = [&](int n) {
    fs::remove(drive);
    fs::create_directory_symlink(disk(n), drive);
  };
  insert(1);
  ActingUi ui;
  int inserted = 1;
  ui.onBox = [&](const QString& text) {
    if (const int n = AskedVolume(text); n >= 0) insert(inserted = n);
    // Every disk is erased: the question's default (No) would keep its files.
    if (text.startsWith("Erase ")) ui.answers.push_front(mrYes);
  };
  LabelledZip zip;
  Setup(zip);
  zip.SetAddOptions({AddDiskSpanErase});
  zip.SetZipFileName(Q(drive + "/arhiva.zip"));
  zip.FSpecArgs() = Specs();
  ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
  const int count = inserted;
  ASSERT_GE(count, 3);
  int erases = 0;
  for (const auto& b : ui.boxes)
    if (b.text.startsWith("Erase ")) {
      EXPECT_EQ(S(b.text), "Erase " + drive + "/");
      EXPECT_EQ(b.caption, "Confirm");
      ExpectBox(b, MsgButtons::YesNo, MsgIcon::Warning, mrNo);
      ++erases;
    }
  EXPECT_EQ(erases, count);
  for (int n = 1; n <= count; ++n) {
    SCOPED_TRACE(n);
    std::vector<std::string> here;
    for (const auto& e : fs::directory_iterator(disk(n))) here.push_back(e.path().filename().string());
    EXPECT_EQ(here, std::vector<std::string>{"arhiva.zip"});
    EXPECT_EQ(S(zip.labels[fs::canonical(disk(n)).string()]), "PKBACK# 00" + std::to_string(n));
  }
  EXPECT_EQ(ReadText(dir_.file("vani.txt")), "ostaje");

  ui.boxes.clear();
  insert(count);
  LabelledZip reader;
  reader.labels = zip.labels;
  ExtractAndCompare(reader, drive + "/arhiva.zip");
  EXPECT_FALSE(ui.boxes.empty());
}

// Everything fits on the first part: one ordinary archive behind the spanning
// marker, read by the component and by unzip.
TEST_F(Span, SetOfOnePart) {
  FakeUiServices ui;
  TZipArchiver zip;
  Setup(zip);
  zip.SetMaxVolumeSize(0);
  zip.SetZipFileName(Q(dir_.file("jedan.zip")));
  zip.FSpecArgs() = Specs();
  ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
  const std::string part = dir_.file("jedan001.zip");
  ASSERT_TRUE(fs::exists(part));
  EXPECT_FALSE(fs::exists(dir_.file("jedan002.zip")));
  EXPECT_EQ(U32(ReadAll(part), 0), 0x08074b50u);
  TZipArchiver reader;
  reader.SetZipFileName(Q(part));
  ASSERT_EQ(reader.Count(), 4) << S(reader.Message());
  const std::string out = dir_.file("out1");
  fs::create_directories(out);
  reader.SetExtrBaseDir(Q(out));
  EXPECT_EQ(reader.Extract(), 0) << S(reader.Message());
  for (const auto& [name, data] : files_) EXPECT_TRUE(ReadText(out + "/" + name) == data) << name;
  if (system("command -v unzip >/dev/null 2>&1") == 0) {
    std::string log;
    EXPECT_EQ(::Run("unzip -t '" + part + "' 2>&1", &log), 0) << log;
  }
}

// A removable drive whose disks are folders behind a link: the user changes the
// disk by pointing the link at another folder.
class Drive {
 public:
  explicit Drive(TempDir& dir) : dir_(dir) {
    for (int n = 1; n <= 12; ++n) fs::create_directories(disk(n));
    insert(1);
  }
  std::string disk(int n) const { return dir_.file("disk" + std::to_string(n)); }
  std::string path() const { return dir_.file("drive"); }
  void insert(int n) {
    fs::remove(path());
    fs::create_directory_symlink(disk(n), path());
    in = n;
  }
  int in = 1;

 private:
  TempDir& dir_;
};

// Every "insert disk" box answered by putting the disk it asks for into the drive.
void InsertAskedDisks(ActingUi& ui, Drive& drive) {
  ui.onBox = [&drive](const QString& text) {
    if (const int n = AskedVolume(text); n > 0) drive.insert(n);
  };
}

// The disk asked for next is still the one just written: its part carries the
// set's date and a lower number, so the question is whether to overwrite a
// previous disk. No (the default) asks for another disk; Cancel ends the add;
// Yes cannot write over a part of this very set, so it asks for another disk too.
TEST_F(Span, PreviousDiskQuestion) {
  for (const int answer : {int(mrNo), int(mrCancel), int(mrYes)}) {
    const bool cancel = answer == mrCancel;
    SCOPED_TRACE(answer);
    // Fresh disks for every answer.
    fs::remove_all(dir_.file("drive"));
    for (int n = 1; n <= 12; ++n) fs::remove_all(dir_.file("disk" + std::to_string(n)));
    Drive drive(dir_);
    ActingUi ui;
    bool keptOnce = false;
    std::vector<std::string> shown;
    ui.onBox = [&](const QString& text) {
      shown.push_back(S(text));
      const int n = AskedVolume(text);
      if (n == 2 && !keptOnce) {
        keptOnce = true;  // the user forgets to change the disk
        return;
      }
      if (n > 0) drive.insert(n);
      if (answer != mrNo && text.startsWith("ATTENTION")) ui.answers.push_front(answer);
    };
    LabelledZip zip;
    Setup(zip);
    zip.SetZipFileName(Q(drive.path() + "/arhiva.zip"));
    zip.FSpecArgs() = Specs();
    const int32_t r = zip.Add();
    EXPECT_TRUE(ui.refusals.empty());
    const std::string question =
        "ATTENTION: This is previous disk no 1!!!\nAre you sure you want to overwrite the contents";
    int questions = 0;
    for (const auto& b : ui.boxes)
      if (S(b.text) == question) {
        ++questions;
        EXPECT_EQ(b.caption, "Confirm");
        ExpectBox(b, MsgButtons::YesNoCancel, MsgIcon::Warning, mrNo);
      }
    EXPECT_EQ(questions, 1) << S(QString::fromStdString(shown.empty() ? "" : shown.back()));
    // Disk 1 keeps its part whatever the answer.
    ASSERT_TRUE(fs::exists(drive.disk(1) + "/arhiva.zip"));
    EXPECT_EQ(U32(ReadAll(drive.disk(1) + "/arhiva.zip"), 0), 0x08074b50u);
    if (cancel) {
      EXPECT_EQ(r, kZipUserCancelled);
      EXPECT_TRUE(fs::is_empty(drive.disk(2)));
      continue;
    }
    ASSERT_EQ(r, 0) << S(zip.Message());
    // After the question, disk 2 was asked for again and the set goes on there.
    const int last = drive.in;
    ASSERT_GE(last, 3);
    ui.boxes.clear();
    InsertAskedDisks(ui, drive);
    drive.insert(last);
    LabelledZip reader;
    reader.labels = zip.labels;
    ExtractAndCompare(reader, drive.path() + "/arhiva.zip");
  }
}

// With ".zNN" names the last part becomes the target; a file of that name is
// asked about first. No (the default) keeps it, and the last part stays under
// its own name; Yes replaces it.
TEST_F(Span, ExistingTargetOfACompatSet) {
  for (const int answer : {0, int(mrNo), int(mrYes)}) {
    SCOPED_TRACE(answer);
    const std::string target = dir_.file("set" + std::to_string(answer) + ".zip");
    FakeUiServices ui;
    if (answer != 0) ui.answers = {answer};
    TZipArchiver zip;
    Setup(zip);
    zip.SetSpanOptions({spCompatName});
    std::vector<std::pair<int32_t, QString>> messages;
    // Another program makes a file of the target's name while the set is written.
    zip.OnMessage = [&](TZipArchiver&, int32_t code, const QString& m) {
      messages.push_back({code, m});
      if (m == "Copying: Central directory") WriteAll(target, "staro");
    };
    zip.SetZipFileName(Q(target));
    zip.FSpecArgs() = Specs();
    // Kept, the target is the other program's file: the component, which lists
    // its archive after an add, then reports that file as no archive.
    const bool keep = answer != mrYes;
    EXPECT_EQ(zip.Add(), keep ? kZipNotValidArchive : 0) << S(zip.Message());
    ASSERT_EQ(ui.boxes.size(), keep ? 2u : 1u);
    if (keep) {
      EXPECT_EQ(S(ui.boxes[1].text), "This archive is not a valid Zip archive");
    }
    EXPECT_EQ(S(ui.boxes[0].text), "There is already a file " + target + "\nDo you want to overwrite this file");
    EXPECT_EQ(ui.boxes[0].caption, "Confirm");
    ExpectBox(ui.boxes[0], MsgButtons::YesNo, MsgIcon::Warning, mrNo);
    std::vector<std::string> parts;
    for (int n = 1; n < 10; ++n) {
      const std::string p = dir_.file("set" + std::to_string(answer) + ".z0" + std::to_string(n));
      if (fs::exists(p)) parts.push_back(p);
    }
    ASSERT_GE(parts.size(), 2u);
    bool left = false;
    for (const auto& [code, m] : messages)
      if (code == kZipOutputWriteError) {
        left = true;
        EXPECT_EQ(S(m), "Last part left as : " + parts.back());
      }
    if (answer == mrYes) {
      EXPECT_FALSE(left);
      EXPECT_NE(ReadText(target), "staro");
      TZipArchiver reader;
      reader.SetSpanOptions({spCompatName});
      ExtractAndCompare(reader, target);
    } else {
      EXPECT_TRUE(left);
      EXPECT_EQ(ReadText(target), "staro");
      // The set is whole: with the other file moved away and the last part given
      // the target's name, as the message tells the user, it reads back.
      fs::rename(target, target + ".drugi");
      fs::rename(parts.back(), target);
      TZipArchiver reader;
      reader.SetSpanOptions({spCompatName});
      ExtractAndCompare(reader, target);
    }
  }
}

// The first part keeps KeepFreeOnDisk1 more free than the others; every part
// keeps KeepFreeOnAllDisks.
TEST_F(Span, RoomKeptFreeOnTheFirstDisk) {
  struct Case {
    int64_t size;
    uint32_t keepAll;
    int32_t keepFirst;
    size_t firstMax, otherMax;
  } cases[] = {
      {3000, 2000, 0, 1000, 1000},
      {3000, 2000, 400, 600, 1000},
      {3000, 2300, 0, 700, 700},
      {3000, 2300, 300, 400, 700},
  };
  int k = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(k);
    const std::string folder = dir_.file("fixed" + std::to_string(++k));
    fs::create_directories(folder);
    FakeUiServices ui;
    SizedDrive<TZipArchiver> zip;
    Setup(zip);
    zip.SetMaxVolumeSize(0);
    zip.size = c.size;
    zip.SetKeepFreeOnAllDisks(c.keepAll);
    zip.SetKeepFreeOnDisk1(c.keepFirst);
    zip.SetZipFileName(Q(folder + "/k.zip"));
    zip.FSpecArgs() = Specs();
    ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
    std::vector<std::string> parts;
    for (int n = 1; n < 100; ++n) {
      char name[16];
      snprintf(name, sizeof name, "k%03d.zip", n);
      if (!fs::exists(folder + "/" + name)) break;
      parts.push_back(folder + "/" + name);
    }
    ASSERT_GE(parts.size(), 3u);
    // Full parts, but for a header that did not fit whole; the last takes the rest.
    EXPECT_LE(fs::file_size(parts[0]), c.firstMax);
    EXPECT_GE(fs::file_size(parts[0]), c.firstMax - 150);
    for (size_t i = 1; i + 1 < parts.size(); ++i) {
      EXPECT_LE(fs::file_size(parts[i]), c.otherMax) << i;
      EXPECT_GE(fs::file_size(parts[i]), c.otherMax - 150) << i;
    }
    EXPECT_LE(fs::file_size(parts.back()), c.otherMax);
    TZipArchiver reader;
    ExtractAndCompare(reader, parts.back());
  }
}

// Before a part goes onto a removable disk, the disk's state is reported: empty,
// or holding other files.
TEST_F(Span, EmptyAndUsedDisksAreReported) {
  Drive drive(dir_);
  WriteAll(drive.disk(2) + "/tude.txt", "x");
  ActingUi ui;
  InsertAskedDisks(ui, drive);
  RemovableZip zip;
  SpreadOverDrive(zip, drive.path());
  std::vector<std::pair<int32_t, TZipDiskStatus>> seen;
  zip.OnStatusDisk = [&](TZipArchiver&, int32_t disk, const QString&, TZipDiskStatus status, TZipDiskAction&) {
    seen.push_back({disk, status});
  };
  ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
  ASSERT_GE(seen.size(), 3u);
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].first, static_cast<int32_t>(i) + 1);
    EXPECT_EQ(seen[i].second, TZipDiskStatus{i == 1 ? zdsHasFiles : zdsEmpty});
  }
  EXPECT_EQ(ReadText(drive.disk(2) + "/tude.txt"), "x");
}

// Asked whether to erase a disk, the default (No) keeps its files: the part is
// written beside them.
TEST_F(Span, EraseQuestionDefaultKeepsTheDisk) {
  Drive drive(dir_);
  WriteAll(drive.disk(1) + "/staro.txt", "staro");
  ActingUi ui;
  InsertAskedDisks(ui, drive);
  RemovableZip zip;
  SpreadOverDrive(zip, drive.path());
  zip.SetAddOptions({AddDiskSpanErase});
  ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
  ASSERT_FALSE(ui.boxes.empty());
  EXPECT_EQ(S(ui.boxes[0].text), "Erase " + drive.path() + "/");
  ExpectBox(ui.boxes[0], MsgButtons::YesNo, MsgIcon::Warning, mrNo);
  EXPECT_EQ(ReadText(drive.disk(1) + "/staro.txt"), "staro");
  EXPECT_TRUE(fs::exists(drive.disk(1) + "/arhiva001.zip"));
}

// Where the last part is looked for when the name given is not a file.
TEST_F(Span, LocatingTheLastPart) {
  // A set of numbered parts, and one with ".zNN" names, in a fixed folder.
  {
    FakeUiServices ui;
    TZipArchiver zip;
    Setup(zip);
    zip.SetZipFileName(Q(dir_.file("num.zip")));
    zip.FSpecArgs() = Specs();
    ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
    zip.SetSpanOptions({spCompatName});
    zip.SetZipFileName(Q(dir_.file("cmp.zip")));
    zip.FSpecArgs() = Specs();
    ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
    fs::rename(dir_.file("cmp.zip"), dir_.file("cmp.bak"));
  }
  WriteAll(dir_.file("smece.zip"), std::string(300, 'x'));
  struct Case {
    std::string name;
    int errCode;
  } cases[] = {
      {"num.zip", 0},                      // num001.zip and on: the last numbered one
      {"cmp.zip", kZipFileNotOpened},      // cmp.z01 is there, but not the set's last part
      {"nema.zip", kZipFileNotOpened},     // nothing of that name
      {"smece.zip", kZipNotValidArchive},  // a file, but no archive
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeUiServices ui;
    QString temp = Q(dir_.file("joined-" + c.name));
    struct Open : TZipArchiver {
      using TZipArchiver::ReadSpan;
    };
    Open o;
    o.SetUnattended(true);
    const int32_t r = o.ReadSpan(Q(dir_.file(c.name)), temp);
    EXPECT_EQ(r == 0, c.errCode == 0) << S(o.Message());
    EXPECT_EQ(o.ErrCode(), c.errCode) << S(o.Message());
    if (r == 0 && HaveUnzip()) {
      std::string log;
      EXPECT_EQ(::Run("unzip -t '" + S(temp) + "' 2>&1", &log), 0) << log;
    }
  }

  // On a removable drive the part on the disk in the drive is found by pattern.
  Drive drive(dir_);
  ActingUi ui;
  InsertAskedDisks(ui, drive);
  RemovableZip zip;
  SpreadOverDrive(zip, drive.path());
  ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
  ASSERT_GE(drive.in, 3);
  struct Open : RemovableZip {
    using TZipArchiver::ReadSpan;
  };
  Open reader;
  reader.SetSpanOptions({spNoVolumeName});
  QString temp = Q(dir_.file("joined-removable.zip"));
  ASSERT_EQ(reader.ReadSpan(Q(drive.path() + "/arhiva.zip"), temp), 0) << S(reader.Message());
  TZipArchiver joined;
  joined.SetZipFileName(temp);
  EXPECT_EQ(joined.Count(), 4) << S(joined.Message());
  if (HaveUnzip()) {
    std::string log;
    EXPECT_EQ(::Run("unzip -t '" + S(temp) + "' 2>&1", &log), 0) << log;
  }
}

// A set cancelled while a part is written, in a folder of a fixed drive, leaves
// nothing: neither the parts that were finished (they wait under hidden names
// until the whole set is written) nor the one being written.
TEST_F(Span, CancelledPartLeavesNothingHalfWritten) {
  for (const int after : {1, 3, 6}) {
    SCOPED_TRACE(after);
    const std::string folder = dir_.file("cancel" + std::to_string(after));
    fs::create_directories(folder);
    FakeUiServices ui;
    TZipArchiver zip;
    Setup(zip);
    // Counted once the parts are being written (the copy announces each entry).
    bool copying = false;
    int steps = 0;
    zip.OnMessage = [&](TZipArchiver&, int32_t, const QString& m) { copying = copying || m.startsWith("Copying: "); };
    zip.OnProgress = [&](TZipArchiver& z, ProgressType type, const QString&, uint32_t) {
      if (copying && type == ProgressType::ProgressUpdate && ++steps == after) z.SetCancel(true);
    };
    zip.SetZipFileName(Q(folder + "/c.zip"));
    zip.FSpecArgs() = Specs();
    EXPECT_EQ(zip.Add(), kZipUserCancelled) << S(zip.Message());
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    EXPECT_TRUE(names.empty()) << names.front();
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string number = std::to_string(i + 1);
      EXPECT_EQ(names[i], "c" + std::string(3 - std::min<size_t>(3, number.size()), '0') + number + ".zip");
      EXPECT_GE(fs::file_size(folder + "/" + names[i]), 800u) << names[i];  // finished parts are full
    }
  }
}

bool Have7z() { return system("command -v 7z >/dev/null 2>&1") == 0; }

// 7-Zip tests the set whose last part is given (".zNN" names beside it).
void Expect7zTestsSet(const std::string& last) {
  if (!Have7z()) return;
  std::string log;
  EXPECT_EQ(::Run("LC_ALL=C.UTF-8 7z t '" + last + "' 2>&1", &log), 0) << log;
  EXPECT_NE(log.find("Everything is Ok"), std::string::npos) << log;
}

// Every regular file of a folder with its bytes.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.is_regular_file()) out[e.path().filename().string()] = ReadText(e.path().string());
  return out;
}

// The set's name is found again from any of its parts, whatever count of digits
// the number has, also when the set's own name ends in digits.
TEST(SpanNames, PartNamesAndTheSetBehindThem) {
  struct {
    const char* set;
    bool compat;
    int32_t part;
    bool last;
    const char* part_name;
  } cases[] = {
      {"/d/backup.zip", false, 0, false, "/d/backup001.zip"},
      {"/d/backup.zip", false, 998, false, "/d/backup999.zip"},
      {"/d/backup.zip", false, 999, false, "/d/backup1000.zip"},
      {"/d/backup.zip", false, 65533, true, "/d/backup65534.zip"},
      {"/d/b2024.zip", false, 1000, false, "/d/b20241001.zip"},
      {"/d.x/backup", false, 1000, false, "/d.x/backup1001"},
      {"/d/set.zip", true, 0, false, "/d/set.z01"},
      {"/d/set.zip", true, 98, false, "/d/set.z99"},
      {"/d/set.zip", true, 99, false, "/d/set.z100"},
      {"/d/set.zip", true, 1000, false, "/d/set.z1001"},
      {"/d/set.zip", true, 106, true, "/d/set.zip"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.part_name);
    const QString name = TZipArchiver::SpanPartName(c.set, c.part, c.last, c.compat);
    EXPECT_EQ(S(name), c.part_name);
    const QString set = TZipArchiver::SpanSetName(name, c.part, c.compat);
    EXPECT_EQ(S(TZipArchiver::SpanPartName(set, c.part + 1, false, c.compat)),
              S(TZipArchiver::SpanPartName(c.set, c.part + 1, false, c.compat)));
  }
}

// Sets of more than 99 ".zNN" parts and of more than 999 numbered parts: part
// 100 is ".z100" (as Info-ZIP names it and 7-Zip looks for it), part 1000 is
// backup1000.zip; the component reads both back whole, and 7-Zip tests them
// (the numbered set under ".zNN" names: the parts' bytes do not depend on names).
TEST_F(Span, SetsOfManyParts) {
  struct Case {
    bool compat;
    int32_t partSize;
    size_t dataSize;
    size_t parts;
  } cases[] = {{true, 100, 10570, 107}, {false, 64, 63900, 1001}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parts);
    const std::string folder = dir_.file(c.compat ? "mnogo-z" : "mnogo-n");
    fs::create_directories(folder);
    files_ = {{"p.bin", Random(c.dataSize, static_cast<unsigned>(c.parts))}};
    WriteAll(src_ + "/p.bin", files_[0].second);
    FakeUiServices ui;
    TZipArchiver zip;
    Setup(zip);
    zip.SetMaxVolumeSize(c.partSize);
    zip.SetMinFreeVolumeSize(c.partSize);
    if (c.compat) zip.SetSpanOptions({spCompatName});
    zip.SetZipFileName(Q(folder + "/set.zip"));
    zip.FSpecArgs() = Specs();
    ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
    EXPECT_TRUE(ui.boxes.empty()) << S(ui.lastText());
    std::vector<std::string> parts;
    for (size_t i = 0; i < c.parts; ++i)
      parts.push_back(
          S(TZipArchiver::SpanPartName(Q(folder + "/set.zip"), static_cast<int32_t>(i), i + 1 == c.parts, c.compat)));
    EXPECT_EQ(Snapshot(folder).size(), c.parts);  // those parts and nothing else
    for (const std::string& p : parts) ASSERT_TRUE(fs::exists(p)) << p;
    EXPECT_EQ(parts[c.compat ? 99 : 999], folder + (c.compat ? "/set.z100" : "/set1000.zip"));

    TZipArchiver reader;
    if (c.compat) reader.SetSpanOptions({spCompatName});
    ExtractAndCompare(reader, parts.back());
    EXPECT_EQ(reader.DirEntry(0).StartOnDisk, 0u);

    std::string last = parts.back();
    if (!c.compat) {
      const std::string linked = dir_.file("mnogo-7z");
      fs::create_directories(linked);
      for (size_t i = 0; i < parts.size(); ++i)
        fs::create_hard_link(parts[i], S(TZipArchiver::SpanPartName(Q(linked + "/set.zip"), static_cast<int32_t>(i),
                                                                    i + 1 == parts.size(), true)));
      last = linked + "/set.zip";
    }
    Expect7zTestsSet(last);
  }
}

// A set that needs more parts than can be numbered is refused before a part is
// written: the end record counts disks in 16 bits, a volume label in three digits.
TEST_F(Span, ASetTooLargeToNumberIsRefusedBeforeWriting) {
  files_ = {{"veliki.bin", Random(70000, 9)}};
  WriteAll(src_ + "/veliki.bin", files_[0].second);
  {
    const std::string folder = dir_.file("prevelik");
    fs::create_directories(folder);
    FakeUiServices ui;
    TZipArchiver zip;
    Setup(zip);
    zip.SetMaxVolumeSize(1);
    zip.SetMinFreeVolumeSize(1);
    zip.SetZipFileName(Q(folder + "/set.zip"));
    zip.FSpecArgs() = Specs();
    EXPECT_EQ(zip.Add(), kZipSpanningNotSupported);
    EXPECT_EQ(S(zip.Message()), "DiskSpanning not supported");
    EXPECT_EQ(S(ui.lastText()), "DiskSpanning not supported");
    EXPECT_TRUE(fs::is_empty(folder));
  }
  {
    Drive drive(dir_);
    ActingUi ui;
    InsertAskedDisks(ui, drive);
    LabelledZip zip;
    Setup(zip);
    zip.SetMaxVolumeSize(69);
    zip.SetMinFreeVolumeSize(1);
    zip.SetZipFileName(Q(drive.path() + "/arhiva.zip"));
    zip.FSpecArgs() = Specs();
    EXPECT_EQ(zip.Add(), kZipSpanningNotSupported);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(S(ui.boxes[0].text), "DiskSpanning not supported");
    EXPECT_TRUE(fs::is_empty(drive.disk(1)));
    EXPECT_TRUE(zip.labels.empty());
  }
}

// An earlier set of three ".zNN" parts and the start of a new set of the same
// names: the new set, given up at its second part, leaves the earlier one as it
// was, byte for byte and with nothing beside it; it still reads and 7-Zip still
// tests it, and the message tells which earlier files stay.
class EarlierSet : public Span {
 protected:
  // The earlier set in folder; the fixture's files then change for the new one.
  void MakeEarlierSet(const std::string& folder, SpanOpts options = {spCompatName},
                      const std::vector<std::string>& names = {"set.z01", "set.z02", "set.zip"}) {
    fs::create_directories(folder);
    FakeUiServices ui;
    TZipArchiver zip;
    Setup(zip);
    zip.SetMaxVolumeSize(2000);
    zip.SetSpanOptions(options);
    zip.SetZipFileName(Q(folder + "/set.zip"));
    zip.FSpecArgs() = Specs();
    ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
    earlierFiles_ = files_;
    earlier_ = Snapshot(folder);
    ASSERT_EQ(earlier_.size(), names.size());
    for (const std::string& name : names) ASSERT_TRUE(earlier_.count(name)) << name;
    files_[0].second = Random(2600, 11);
    files_[2].second = Random(1900, 12);
    for (const auto& [name, data] : files_) WriteAll(src_ + "/" + name, data);
  }
  void NewSet(TZipArchiver& zip, const std::string& folder) {
    Setup(zip);
    zip.SetSpanOptions({spCompatName});
    zip.SetZipFileName(Q(folder + "/set.zip"));
    zip.FSpecArgs() = Specs();
  }
  std::string Question(const std::string& folder, const std::string& part) {
    return "There is already a file " + folder + "/" + part + "\nDo you want to overwrite this file";
  }
  // The message's lines after the reason.
  std::string Kept(const std::string& folder) {
    return "\nThere is already a file " + folder + "/set.z01\nThere is already a file " + folder +
           "/set.z02\nThere is already a file " + folder + "/set.zip";
  }
  void ExpectEarlierSetKept(const std::string& folder) {
    auto now = Snapshot(folder);
    now.erase("filler");
    EXPECT_TRUE(now == earlier_);
    for (const auto& [name, data] : now) EXPECT_EQ(name.rfind(".tarvi-", 0), std::string::npos) << name;
    files_ = earlierFiles_;
    TZipArchiver reader;
    reader.SetSpanOptions({spCompatName});
    ExtractAndCompare(reader, folder + "/set.zip");
    Expect7zTestsSet(folder + "/set.zip");
  }

  std::map<std::string, std::string> earlier_;
  std::vector<std::pair<std::string, std::string>> earlierFiles_;
};

TEST_F(EarlierSet, CancelAtTheSecondPart) {
  const std::string folder = dir_.file("ranije");
  MakeEarlierSet(folder);
  FakeUiServices ui;
  ui.answers = {mrYes, mrCancel};
  TZipArchiver zip;
  NewSet(zip, folder);
  EXPECT_EQ(zip.Add(), kZipUserCancelled);
  ASSERT_EQ(ui.boxes.size(), 3u);
  EXPECT_EQ(S(ui.boxes[0].text), Question(folder, "set.z01"));
  EXPECT_EQ(S(ui.boxes[1].text), Question(folder, "set.z02"));
  EXPECT_EQ(ui.boxes[2].kind, MsgKind::Information);
  EXPECT_EQ(S(ui.boxes[2].text), "User canceled operation" + Kept(folder));
  EXPECT_EQ(S(zip.Message()), "User canceled operation" + Kept(folder));
  ExpectEarlierSetKept(folder);
}

// A write of the second part that fails as on a full disk (no file may grow past
// 300 bytes from then on): the reason in the system's words, then what stays.
TEST_F(EarlierSet, AFailedWriteAtTheSecondPart) {
  const std::string folder = dir_.file("ranije");
  MakeEarlierSet(folder);
  ActingUi ui;
  ui.answers = {mrYes, mrYes};
  std::unique_ptr<FileSizeLimit> limit;
  ui.onBox = [&](const QString& text) {
    if (S(text) == Question(folder, "set.z02")) limit = std::make_unique<FileSizeLimit>(300);
  };
  TZipArchiver zip;
  NewSet(zip, folder);
  const int32_t r = zip.Add();
  limit.reset();
  EXPECT_EQ(r, kZipOutputWriteError);
  ASSERT_EQ(ui.boxes.size(), 3u);
  EXPECT_EQ(S(ui.boxes[2].text), "Write error in output file\n" + S(DiskErrorText(EFBIG)) + Kept(folder));
  ExpectEarlierSetKept(folder);
}

// The same on a real disk that is full at the second part: a small tmpfs in a
// mount namespace of its own, skipped where the system allows none.
TEST_F(EarlierSet, AFullDiskAtTheSecondPart) {
  if (SmallDisk()) GTEST_SKIP() << "the outer half of the test";
  RunOnSmallDisk("EarlierSet.OnASmallDisk", "256k");
}

// The inner half: one page is left free, which the new first part takes; the
// second finds no room (11032), and Cancel gives the set up.
TEST_F(EarlierSet, OnASmallDisk) {
  if (!SmallDisk()) GTEST_SKIP() << "runs inside AFullDiskAtTheSecondPart";
  const std::string folder = SmallDisk();
  MakeEarlierSet(folder);
  struct statvfs vfs {};
  ASSERT_EQ(statvfs(folder.c_str(), &vfs), 0);
  const uint64_t page = vfs.f_frsize;
  const uint64_t free = uint64_t(vfs.f_bavail) * page;
  ASSERT_GT(free, page);
  WriteAll(folder + "/filler", std::string(free - page, 'f'));
  ASSERT_EQ(statvfs(folder.c_str(), &vfs), 0);
  ASSERT_EQ(uint64_t(vfs.f_bavail) * page, page);

  FakeUiServices ui;
  ui.answers = {mrYes, mrYes, mrCancel};
  TZipArchiver zip;
  NewSet(zip, folder);
  EXPECT_EQ(zip.Add(), kZipUserCancelled);
  ASSERT_EQ(ui.boxes.size(), 4u);
  EXPECT_EQ(S(ui.boxes[1].text), Question(folder, "set.z02"));
  EXPECT_EQ(S(ui.boxes[2].text), "This disk has not enough free space available");
  EXPECT_EQ(S(ui.boxes[3].text), "User canceled operation" + Kept(folder));
  ExpectEarlierSetKept(folder);
}

// A failing disk at every sampled step of a span write: each write, close, sync
// and rename of the first part, of a middle one and of the last. In a folder of a
// fixed drive the folder then holds the earlier set byte for byte (nothing, when
// there was none) or the new set whole; on removable disks the parts already
// renamed are exactly those the message names. A failure is a box with the
// system's reason, and no hidden part is left beside the set.
class SpanDiskFaults : public EarlierSet {
 protected:
  struct Case {
    const char* name;
    SpanOpts options;
    std::vector<std::string> earlier;  // the earlier set's names (none: a new set)
    bool removable;
  };
  // One run with the k-th step of a kind failing (k 0: none): the folder before
  // and after it, and what the user was told.
  struct Run {
    int32_t result = 0;
    std::map<std::string, std::string> before, after;
    std::string told;
    std::map<DiskStep, int> seen;
    bool fired = false;
  };

  void SetUp() override {
    EarlierSet::SetUp();
    files0_ = files_;
  }

  Run RunWith(const Case& c, DiskStep kind, int k) {
    Run r;
    fs::remove_all(folder_);
    files_ = files0_;
    // The same times in every run, so that every whole set has the same bytes.
    for (const auto& [name, data] : files_) {
      WriteAll(src_ + "/" + name, data);
      fs::last_write_time(src_ + "/" + name, stamp_);
    }
    if (c.earlier.empty())
      fs::create_directories(folder_);
    else
      MakeEarlierSet(folder_, c.options, c.earlier);
    r.before = Snapshot(folder_);
    FakeUiServices ui;
    // Yes to writing over a file of the set's names; every other box its default.
    ui.onBox = [&](const FakeUiServices::Box& b) {
      if (b.buttons == MsgButtons::YesNoCancel || b.buttons == MsgButtons::YesNo) ui.answers.push_front(mrYes);
    };
    std::unique_ptr<TZipArchiver> zip(c.removable ? new RemovableZip : new TZipArchiver);
    Setup(*zip);
    zip->SetMaxVolumeSize(2000);
    zip->SetSpanOptions(c.options);
    zip->SetZipFileName(Q(folder_ + "/set.zip"));
    zip->FSpecArgs() = Specs();
    {
      DiskFaultInjector injector(kind, k);
      r.result = zip->Add();
      for (DiskStep s : kDiskSteps) r.seen[s] = injector.seen(s);
      r.fired = injector.fired();
    }
    r.after = Snapshot(folder_);
    r.told = S(zip->Message());
    if (r.result != 0) {
      EXPECT_EQ(S(ui.lastText()), r.told);
    }
    return r;
  }

  void ExpectOneWholeSet(const Case& c, const Run& r, const Run& whole) {
    EXPECT_TRUE(r.fired);
    for (const auto& [name, bytes] : r.after) EXPECT_EQ(name.rfind(".tarvi-", 0), std::string::npos) << name;
    if (r.result == 0) {
      EXPECT_TRUE(r.after == whole.after) << "the new set is not whole";
      return;
    }
    EXPECT_NE(r.told.find(S(DiskErrorText(ENOSPC))), std::string::npos) << r.told;
    if (!c.removable) {
      EXPECT_TRUE(r.after == r.before) << "the earlier set changed";
      return;
    }
    // The parts of the new set on disks are those named, each as the whole write
    // made it.
    auto placed = r.after;
    for (const auto& [name, bytes] : r.before) placed.erase(name);
    for (const auto& [name, bytes] : placed) {
      EXPECT_NE(r.told.find(": " + folder_ + "/" + name), std::string::npos) << name << "\n" << r.told;
      EXPECT_TRUE(whole.after.count(name) && whole.after.at(name) == bytes) << name;
    }
  }

  std::string folder_ = dir_.file("faults");
  std::vector<std::pair<std::string, std::string>> files0_;
  fs::file_time_type stamp_ = fs::file_time_type::clock::now() - std::chrono::hours(24);
};

TEST_F(SpanDiskFaults, EveryFailingStepLeavesOneWholeSet) {
  const Case cases[] = {
      {"'.zNN' names over an earlier set", {spCompatName}, {"set.z01", "set.z02", "set.zip"}, false},
      {"numbered names over an earlier set", {}, {"set001.zip", "set002.zip", "set003.zip"}, false},
      {"a new set", {spCompatName}, {}, false},
      {"removable disks", {spNoVolumeName}, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Run whole = RunWith(c, DiskStep::Write, 0);
    ASSERT_EQ(whole.result, 0) << whole.told;
    ASSERT_GE(whole.after.size(), 3u);
    EXPECT_NE(whole.after, whole.before);
    for (DiskStep kind : kDiskSteps) {
      const int seen = whole.seen.at(kind);
      ASSERT_GE(seen, 1) << DiskStepName(kind);
      for (int k : DiskFaultPoints(seen)) {
        SCOPED_TRACE(std::string(DiskStepName(kind)) + " " + std::to_string(k) + " of " + std::to_string(seen));
        ExpectOneWholeSet(c, RunWith(c, kind, k), whole);
        if (HasFailure()) return;  // the first failing point is enough to read
      }
    }
  }
}

// Joining a set for reading writes one archive through the writer: at every
// failing step the join reports the failure and leaves no part of it, and a
// join that gets through leaves the whole archive.
TEST_F(EarlierSet, JoiningASetUnderDiskFaultsLeavesNothingHalfJoined) {
  const std::string set = dir_.file("set");
  MakeEarlierSet(set);
  const QString folder = Q(dir_.file("joined"));
  const QString target = folder + QStringLiteral("/joined.zip");
  DiskFaultCase c("joining a spanned set", folder, target, {}, [&] {
    FakeUiServices ui;
    struct Open : TZipArchiver {
      using TZipArchiver::ReadSpan;
    };
    Open o;
    o.SetUnattended(true);
    o.SetSpanOptions({spCompatName});
    QString out = target;
    const int32_t r = o.ReadSpan(Q(set + "/set.zip"), out);
    EXPECT_EQ(out, target);
    return WriteOutcome(r == 0, r != 0, o.Message());
  });
  c.namesReason = false;  // the component's own fixed texts name the step, not the reason
  CheckEveryDiskFault(c);
}

// On a removable drive the parts go disk by disk: given up at the third disk,
// the message names the disks that hold parts of the new set.
TEST_F(Span, GivenUpOnRemovableDisksNamesTheDisksWritten) {
  Drive drive(dir_);
  ActingUi ui;
  ui.onBox = [&](const QString& text) {
    const int n = AskedVolume(text);
    if (n == 3)
      ui.answers.push_front(mrCancel);
    else if (n > 0)
      drive.insert(n);
  };
  RemovableZip zip;
  SpreadOverDrive(zip, drive.path());
  EXPECT_EQ(zip.Add(), kZipUserCancelled);
  const std::string told = "User canceled operation\nDisk volume 1: " + drive.path() +
                           "/arhiva001.zip\nDisk volume 2: " + drive.path() + "/arhiva002.zip";
  ASSERT_FALSE(ui.boxes.empty());
  EXPECT_EQ(S(ui.boxes.back().text), told);
  EXPECT_EQ(S(zip.Message()), told);
  EXPECT_TRUE(fs::exists(drive.disk(1) + "/arhiva001.zip"));
  EXPECT_TRUE(fs::exists(drive.disk(2) + "/arhiva002.zip"));
  EXPECT_TRUE(fs::is_empty(drive.disk(3)));
}

}  // namespace
