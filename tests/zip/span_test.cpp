// Spanned archives: a set written as part files in one folder (numbered or with
// ".zNN" names) and over several folders taken as the disks of a removable drive,
// read back and extracted; the questions for an existing part, a disk without
// room and the unattended refusal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>

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
};

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
    // No asks for another disk (the same folder again), Cancel ends the add.
    FakeUiServices ui;
    ui.answers = {mrNo, mrCancel};
    TZipArchiver zip;
    Setup(zip);
    zip.SetZipFileName(Q(target));
    zip.FSpecArgs() = Specs();
    EXPECT_EQ(zip.Add(), 11007);
    ASSERT_EQ(ui.boxes.size(), 2u);
    for (const auto& b : ui.boxes) {
      EXPECT_EQ(S(b.text), "There is already a file " + dir_.file("q001.zip") + "\nDo you want to overwrite this file");
      EXPECT_EQ(b.caption, "Confirm");
    }
    EXPECT_EQ(ReadText(dir_.file("q001.zip")), "staro");
    EXPECT_FALSE(fs::exists(dir_.file("q002.zip")));
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
    ui.answers = {mrYes, mrNo};
    TZipArchiver zip;
    Setup(zip);
    zip.SetMinFreeVolumeSize(2000);
    zip.SetZipFileName(Q(dir_.file("full.zip")));
    zip.FSpecArgs() = Specs();
    EXPECT_EQ(zip.Add(), 11007);
    ASSERT_EQ(ui.boxes.size(), 2u);
    EXPECT_EQ(ui.boxes[0].text, "This disk has not enough free space available");
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

}  // namespace
