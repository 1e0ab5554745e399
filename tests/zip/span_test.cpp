// Spanned archives: a set written as part files in one folder (numbered or with
// ".zNN" names) and over several folders taken as the disks of a removable drive,
// read back and extracted; the questions for an existing part, a disk without
// room and the unattended refusal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <random>

#include <QCoreApplication>

#include "platform/fake_ui_services.h"
#include "support/temp_dir.h"
#include "zip/zip_archiver.h"

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

std::string Random(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

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
  for (int n = 1; n <= 20; ++n) names.push_back(dir_.file("backup" + std::string(n < 10 ? "00" : "0") + std::to_string(n) + ".zip"));
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
  EXPECT_EQ(broken.ErrCode(), 11001) << S(broken.Message());
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
  std::vector<std::string> parts = Existing({dir_.file("set.z01"), dir_.file("set.z02"), dir_.file("set.z03"),
                                             dir_.file("set.z04"), dir_.file("set.z05"), dir_.file("set.z06"),
                                             dir_.file("set.z07"), dir_.file("set.z08")});
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
  Setup(zip);
  zip.SetSpanOptions({spNoVolumeName});
  zip.SetZipFileName(Q(drive + "/arhiva.zip"));
  zip.FSpecArgs() = Specs();
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
        {{mrCancel}, {question}, 11007},
        {{mrNo, mrCancel}, {question, insert}, 11007},
        {{mrNo, mrOk, mrNo, mrOk, mrCancel}, {question, insert, question, insert, question}, 11007},
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
    EXPECT_EQ(zip.Add(), 11025);
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
    EXPECT_EQ(zip.Add(), 11007);
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
    EXPECT_EQ(zip.Add(), 11007);
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

// The disk asked for next is still the one just written: its part carries the
// set's date and a lower number, so the question is whether to overwrite a
// previous disk. No (the default) asks for another disk; Cancel ends the add.
TEST_F(Span, PreviousDiskQuestion) {
  for (const bool cancel : {false, true}) {
    SCOPED_TRACE(cancel);
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
      if (cancel && text.startsWith("ATTENTION")) ui.answers.push_front(mrCancel);
    };
    LabelledZip zip;
    Setup(zip);
    zip.SetZipFileName(Q(drive.path() + "/arhiva.zip"));
    zip.FSpecArgs() = Specs();
    const int32_t r = zip.Add();
    EXPECT_TRUE(ui.refusals.empty());
    const std::string question = "ATTENTION: This is previous disk no 1!!!\nAre you sure you want to overwrite the contents";
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
      EXPECT_EQ(r, 11007);
      EXPECT_TRUE(fs::is_empty(drive.disk(2)));
      continue;
    }
    ASSERT_EQ(r, 0) << S(zip.Message());
    // After the question, disk 2 was asked for again and the set goes on there.
    const int last = drive.in;
    ASSERT_GE(last, 3);
    ui.boxes.clear();
    ui.onBox = [&](const QString& text) {
      if (const int n = AskedVolume(text); n > 0) drive.insert(n);
    };
    drive.insert(last);
    LabelledZip reader;
    reader.labels = zip.labels;
    ExtractAndCompare(reader, drive.path() + "/arhiva.zip");
    fs::remove_all(dir_.file("drive"));
    for (int n = 1; n <= 12; ++n) fs::remove_all(drive.disk(n));
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
    EXPECT_EQ(zip.Add(), keep ? 11036 : 0) << S(zip.Message());
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
      if (code == 11010) {
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
  ui.onBox = [&](const QString& text) {
    if (const int n = AskedVolume(text); n > 0) drive.insert(n);
  };
  RemovableZip zip;
  Setup(zip);
  zip.SetSpanOptions({spNoVolumeName});
  std::vector<std::pair<int32_t, TZipDiskStatus>> seen;
  zip.OnStatusDisk = [&](TZipArchiver&, int32_t disk, const QString&, TZipDiskStatus status, TZipDiskAction&) {
    seen.push_back({disk, status});
  };
  zip.SetZipFileName(Q(drive.path() + "/arhiva.zip"));
  zip.FSpecArgs() = Specs();
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
  ui.onBox = [&](const QString& text) {
    if (const int n = AskedVolume(text); n > 0) drive.insert(n);
  };
  RemovableZip zip;
  Setup(zip);
  zip.SetAddOptions({AddDiskSpanErase});
  zip.SetSpanOptions({spNoVolumeName});
  zip.SetZipFileName(Q(drive.path() + "/arhiva.zip"));
  zip.FSpecArgs() = Specs();
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
      {"num.zip", 0},         // num001.zip and on: the last numbered one
      {"cmp.zip", 11002},     // cmp.z01 is there, but not the set's last part
      {"nema.zip", 11002},    // nothing of that name
      {"smece.zip", 11036},   // a file, but no archive
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
  ui.onBox = [&](const QString& text) {
    if (const int n = AskedVolume(text); n > 0) drive.insert(n);
  };
  RemovableZip zip;
  Setup(zip);
  zip.SetSpanOptions({spNoVolumeName});
  zip.SetZipFileName(Q(drive.path() + "/arhiva.zip"));
  zip.FSpecArgs() = Specs();
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

// A set cancelled while a part is written keeps the parts that were finished,
// each whole, and nothing of the one being written: no part under its name, no
// hidden file beside it.
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
    EXPECT_EQ(zip.Add(), 11007) << S(zip.Message());
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string number = std::to_string(i + 1);
      EXPECT_EQ(names[i], "c" + std::string(3 - std::min<size_t>(3, number.size()), '0') + number + ".zip");
      EXPECT_GE(fs::file_size(folder + "/" + names[i]), 800u) << names[i];  // finished parts are full
    }
  }
}

}  // namespace
