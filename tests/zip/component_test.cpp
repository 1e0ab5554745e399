// The component's properties, busy state, accessors and utilities.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <cstring>
#include <string>
#include <vector>

#include "platform/fake_ui_services.h"
#include "platform/replacement_file.h"
#include "support/temp_dir.h"
#include "zip/zip_archiver.h"

namespace {

std::string S(const QString& s) { return s.toStdString(); }

TEST(Create, PropertyValues) {
  TZipArchiver z;
  EXPECT_FALSE(z.Verbose());
  EXPECT_FALSE(z.Trace());
  EXPECT_EQ(z.AddCompLevel(), 9);
  EXPECT_TRUE(z.AddOptions().Empty());
  EXPECT_EQ(z.AddFrom(), QDate(1899, 12, 30));
  EXPECT_TRUE(z.ExtrBaseDir().isEmpty());
  EXPECT_TRUE(z.ExtrOptions().Empty());
  EXPECT_TRUE(z.FSpecArgs().isEmpty());
  EXPECT_TRUE(z.FSpecArgsExcl().isEmpty());
  EXPECT_FALSE(z.Unattended());
  EXPECT_TRUE(z.ZipFileName().isEmpty());
  EXPECT_EQ(z.CodePage(), cpAuto);
  EXPECT_EQ(z.HowToDelete(), htdAllowUndo);
  EXPECT_EQ(S(z.VersionInfo()), "1.73");
  EXPECT_EQ(z.AddStoreSuffixes(), AddStoreExts::Range(assGIF, assJAR));
  EXPECT_FALSE(z.AddStoreSuffixes().Contains(assEXE));
  EXPECT_EQ(z.PasswordReqCount(), 1u);
  EXPECT_FALSE(z.UseDirOnlyEntries());
  EXPECT_TRUE(z.SpanOptions().Empty());
  EXPECT_TRUE(z.ConfirmErase());
  EXPECT_EQ(z.KeepFreeOnDisk1(), 0);
  EXPECT_EQ(z.KeepFreeOnAllDisks(), 0u);
  EXPECT_EQ(z.MaxVolumeSize(), 0);
  EXPECT_EQ(z.MinFreeVolumeSize(), 65536);
  EXPECT_EQ(z.SFXSlave(), nullptr);
  EXPECT_EQ(S(z.SFXCaption()), "Self-extracting Archive");
  EXPECT_TRUE(z.SFXCommandLine().isEmpty() && z.SFXDefaultDir().isEmpty() && z.SFXMessage().isEmpty());
  EXPECT_TRUE(z.SFXIcon().isNull());
  EXPECT_EQ(z.SFXOptions(), SFXOpts{SFXCheckSize});
  EXPECT_EQ(z.SFXOverWriteMode(), OvrConfirm);
  EXPECT_EQ(S(z.SFXPath()), "ZASFXUS.BIN");
  EXPECT_EQ(z.ErrCode(), 0);
  EXPECT_EQ(z.ProcessedCount(), 0);
  EXPECT_FALSE(z.Cancel());
  EXPECT_EQ(z.Count(), 0);
  EXPECT_FALSE(z.IsBusy());
  EXPECT_FALSE(z.ZipLib().Loaded());
  EXPECT_EQ(z.ZipLib().Path(), "ZIPLIB.DLL");
  EXPECT_EQ(z.UnzLib().Path(), "UNZLIB.DLL");
}

// Drivers that run a nested operation from inside, as an event handler could.
class NestingZip : public TZipArchiver {
 public:
  int32_t nested = 0;
  bool raise = false;

 protected:
  void AddFiles() override {
    nested = Extract();
    errCode_ = 7;
    if (raise) throw std::runtime_error("driver");
  }
  void ExtractFiles() override { nested = Add(); }
};

TEST(Busy, SecondOperationIsRefused) {
  NestingZip z;
  EXPECT_EQ(z.Add(), 7);
  EXPECT_EQ(z.nested, -255);
  EXPECT_FALSE(z.IsBusy());
  EXPECT_EQ(z.Extract(), 7);  // ErrCode stays from the add: the nested add was refused
  EXPECT_EQ(z.nested, -255);
}

TEST(Busy, FlagClearedWhenTheDriverRaises) {
  NestingZip z;
  z.raise = true;
  EXPECT_THROW(z.Add(), std::runtime_error);
  EXPECT_FALSE(z.IsBusy());
  z.raise = false;
  EXPECT_EQ(z.Add(), 7);
}

TEST(Accessors, DllDirectory) {
  TZipArchiver z;
  struct {
    const char* given;
    const char* stored;
  } cases[] = {
      {"/opt/libs/", "/opt/libs"}, {"/opt/libs", "/opt/libs"}, {"/", "/"}, {"./", "."}, {"", ""}, {"a//", "a/"}};
  for (auto& c : cases) {
    z.SetDLLDirectory(c.given);
    EXPECT_EQ(S(z.DLLDirectory()), c.stored) << c.given;
  }
}

TEST(Accessors, PasswordReqCountCapped) {
  TZipArchiver z;
  struct {
    uint32_t given, stored;
  } cases[] = {{20, 15}, {16, 15}, {15, 15}, {0, 0}, {3, 3}};
  for (auto& c : cases) {
    z.SetPasswordReqCount(c.given);
    EXPECT_EQ(z.PasswordReqCount(), c.stored) << c.given;
  }
}

TEST(Accessors, ExtAddStoreSuffixes) {
  struct {
    const char* given;
    const char* stored;
    bool ext;
  } cases[] = {
      {"DOC;pdf", ".doc:.pdf:", true},
      {".zip, .rar", ".zip:. .rar:", true},
      {"7Z", ".7z:", true},
      {".a:.b:", ".a:.b:", true},
      {":x;;y", ".x:.y:", true},
      {"", "", false},
      {";;", "", false},
  };
  for (auto& c : cases) {
    TZipArchiver z;
    z.SetExtAddStoreSuffixes(c.given);
    EXPECT_EQ(S(z.ExtAddStoreSuffixes()), c.stored) << c.given;
    EXPECT_EQ(z.AddStoreSuffixes().Contains(assEXT), c.ext) << c.given;
    EXPECT_TRUE(z.AddStoreSuffixes().Contains(assGIF));
  }
}

TEST(Accessors, VersionInfoAndLists) {
  TZipArchiver z;
  z.SetVersionInfo("9.99");
  EXPECT_EQ(S(z.VersionInfo()), "1.73");
  QStringList given{"a", "b"};
  z.SetFSpecArgs(given);
  given.append("c");
  EXPECT_EQ(z.FSpecArgs().size(), 2);  // a copy
}

TEST(Accessors, CountIsZeroWithoutAnArchiveName) {
  TempDir dir;
  TZipArchiver z;
  int updates = 0;
  z.OnDirUpdate = [&](TZipArchiver&) { ++updates; };
  z.SetZipFileName(QString::fromStdString(dir.file("new.zip")));  // does not exist: empty, no message
  EXPECT_EQ(z.Count(), 0);
  EXPECT_EQ(z.ErrCode(), 0);
  EXPECT_EQ(updates, 1);
}

// ---- Utilities ----------------------------------------------------------------------------

TEST(Utilities, PathConcat) {
  struct {
    const char *folder, *name, *expected;
  } cases[] = {{"/dir/", "/file.zip", "/dir/file.zip"},
               {"/dir", "file.zip", "/dir/file.zip"},
               {"/dir/", "file.zip", "/dir/file.zip"},
               {"/dir", "/file.zip", "/dir/file.zip"},
               {"", "file.zip", "file.zip"},
               {"/dir", "", "/dir"},
               {"/", "x", "/x"}};
  for (auto& c : cases)
    EXPECT_EQ(S(TZipArchiver::PathConcat(c.folder, c.name)), c.expected) << c.folder << "+" << c.name;
  EXPECT_EQ(S(TZipArchiver::AppendSlash("/a")), "/a/");
  EXPECT_EQ(S(TZipArchiver::AppendSlash("/a/")), "/a/");
  EXPECT_EQ(S(TZipArchiver::AppendSlash("")), "");
}

TEST(Utilities, TemporaryNamesInThePrivateFolder) {
  TZipArchiver z;
  const QString folder = TZipArchiver::PrivateTempFolder();
  ASSERT_FALSE(folder.isEmpty());
  EXPECT_TRUE(folder.endsWith(u'/'));
  struct stat st;
  ASSERT_EQ(stat(folder.toLocal8Bit().constData(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, getuid());

  QString a = z.MakeTempFileName();
  QString b = z.MakeTempFileName("ZMZ", ".dll");
  EXPECT_TRUE(a.startsWith(folder + "zip"));
  EXPECT_TRUE(a.endsWith(".zip"));
  EXPECT_TRUE(b.startsWith(folder + "ZMZ"));
  EXPECT_TRUE(b.endsWith(".dll"));
  EXPECT_NE(a, z.MakeTempFileName());
  EXPECT_FALSE(QFileInfo::exists(a));  // the caller creates the file
}

TEST(Utilities, TemporaryNamesInTempDir) {
  TempDir dir;
  TZipArchiver z;
  z.SetTempDir(QString::fromStdString(dir.path()));
  QString name = z.MakeTempFileName("sp", ".tmp");
  EXPECT_EQ(S(z.TempDir()), dir.path() + "/");  // the property keeps the trailing slash
  EXPECT_EQ(S(QFileInfo(name).path()), dir.path());
  z.SetTempDir(QString::fromStdString(dir.file("missing")));
  EXPECT_TRUE(z.MakeTempFileName().isEmpty());
}

TEST(Utilities, EraseFile) {
  TempDir dir;
  TZipArchiver z;
  EXPECT_EQ(z.EraseFile(QString::fromStdString(dir.file("none")), htdFinal), -1);
  EXPECT_EQ(z.EraseFile(QString::fromStdString(dir.file("none")), htdAllowUndo), -1);
  WriteAll(dir.file("final"), "x");
  EXPECT_EQ(z.EraseFile(QString::fromStdString(dir.file("final")), htdFinal), 0);
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(dir.file("final"))));
  WriteAll(dir.file("undo"), "y");
  EXPECT_EQ(z.EraseFile(QString::fromStdString(dir.file("undo")), htdAllowUndo), 0);
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(dir.file("undo"))));
  // The trash of the private test home holds it (and nothing lands in the current folder).
  QDir trash(QString::fromLocal8Bit(getenv("XDG_DATA_HOME")) + "/Trash/files");
  EXPECT_TRUE(trash.exists("undo"));
  EXPECT_FALSE(QFileInfo::exists("files/undo"));
}

TEST(Utilities, NestedWaitCursor) {
  FakeUiServices ui;
  TZipArchiver z;
  z.StartWaitCursor();
  z.StartWaitCursor();
  z.StopWaitCursor();
  EXPECT_TRUE(ui.waitCursor());
  z.StopWaitCursor();
  EXPECT_FALSE(ui.waitCursor());
  z.StopWaitCursor();  // unmatched: nothing
  EXPECT_FALSE(ui.waitCursor());
  ui.setWaitCursor(true);  // someone else's hourglass is given back as it was
  z.StartWaitCursor();
  z.StopWaitCursor();
  EXPECT_TRUE(ui.waitCursor());
}

TEST(Utilities, DiskFigures) {
  TempDir dir;
  TZipArchiver z;
  z.DiskState().drive = QString::fromStdString(dir.path() + "/");
  EXPECT_TRUE(z.DiskIsReady());
  EXPECT_GT(z.DiskState().sizeOfDisk, 0);
  EXPECT_GE(z.DiskState().freeOnDisk, 0);
  EXPECT_TRUE(z.DiskState().volumeLabel.isEmpty());
  z.DiskState().drive = QString::fromStdString(dir.file("missing/"));
  EXPECT_FALSE(z.DiskIsReady());
  EXPECT_EQ(z.DiskState().sizeOfDisk, -1);
  z.DiskState().freeOnDisk = 5;
  z.DiskFreeAndSize(2);
  EXPECT_EQ(z.DiskState().freeOnDisk, 5);  // only the size was asked for
}

// A drive that counts as removable, to reach the questions.
class RemovableZip : public TZipArchiver {
 public:
  bool IsFixedDrive(const QString&) override { return false; }
  std::vector<int32_t> opened;

 protected:
  void GetNewDisk(int32_t nr) override {
    opened.push_back(nr);
    close(disk_.inFile);
    disk_.inFile = nextPart;
    disk_.diskNr = nr;
  }

 public:
  int nextPart = -1;
};

TEST(PromptForDisk, FixedDriveAsksNothing) {
  FakeUiServices ui;
  TZipArchiver z;
  z.DiskState().newDisk = true;
  z.SetUnattended(true);
  z.PromptForDisk(true);
  EXPECT_FALSE(z.DiskState().newDisk);
  EXPECT_TRUE(ui.boxes.empty());
}

TEST(PromptForDisk, UnattendedRefusesWhenADiskIsNeeded) {
  FakeUiServices ui;
  RemovableZip z;
  z.SetUnattended(true);
  z.DiskState().newDisk = true;
  try {
    z.PromptForDisk(false);
    FAIL() << "no exception";
  } catch (const EZipArchiver& e) {
    EXPECT_EQ(e.Id(), kZipUnattendedSpanning);
  }
}

TEST(PromptForDisk, Questions) {
  TempDir dir;
  FakeUiServices ui;
  RemovableZip z;
  // No disk in the drive: the size is unknown, so no total is given.
  z.DiskState().drive = QString::fromStdString(dir.file("nodisk/"));
  z.DiskState().diskNr = 1;
  ui.answers = {mrCancel};
  EXPECT_THROW(z.PromptForDisk(true), EZipArchiver);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].buttons, MsgButtons::OkCancel);
  EXPECT_EQ(ui.boxes[0].defaultAnswer, mrOk);
  EXPECT_EQ(S(ui.boxes[0].text), "Please insert disk volume 2\nin drive: " + dir.file("nodisk/"));

  // Reading, with a handler in place of the box; the disk becomes ready.
  z.DiskState().drive = QString::fromStdString(dir.path() + "/");
  z.DiskState().newDisk = true;
  z.DiskState().totalDisks = 3;
  std::vector<std::string> asked;
  z.OnGetNextDisk = [&](TZipArchiver&, int32_t nr, int32_t total, const QString& drive, bool&) {
    asked.push_back(std::to_string(nr) + "/" + std::to_string(total) + " " + S(drive));
  };
  z.PromptForDisk(false);
  EXPECT_EQ(asked, (std::vector<std::string>{"2/4 /"}));

  // The last disk, cancelled.
  z.DiskState().diskNr = -1;
  z.DiskState().newDisk = true;
  z.OnGetNextDisk = [](TZipArchiver&, int32_t, int32_t, const QString&, bool& abort) { abort = true; };
  try {
    z.PromptForDisk(false);
    FAIL() << "no exception";
  } catch (const EZipArchiver& e) {
    EXPECT_EQ(e.Id(), kZipUserCancelled);
    EXPECT_FALSE(e.Display());
  }
}

TEST(SpanCopy, CopyFromSpanAcrossAPartBoundary) {
  TempDir dir;
  FakeUiServices ui;
  RemovableZip z;
  std::string first(15000, 'a');
  std::string second(9000, 'b');
  WriteAll(dir.file("p1"), first);
  WriteAll(dir.file("p2"), second);
  z.DiskState().inFile = open(dir.file("p1").c_str(), O_RDONLY);
  z.nextPart = open(dir.file("p2").c_str(), O_RDONLY);
  z.DiskState().joined = std::make_unique<TReplacementFile>();
  ASSERT_TRUE(z.DiskState().joined->Create(QString::fromStdString(dir.file("out"))));
  std::vector<uint8_t> buffer(10240);
  z.CopyFromSpan(buffer.data(), 20000, kZipDataReadError);
  close(z.DiskState().inFile);
  ASSERT_TRUE(z.DiskState().joined->Commit(false));
  EXPECT_EQ(z.opened, (std::vector<int32_t>{1}));
  EXPECT_EQ(ReadText(dir.file("out")), first + std::string(5000, 'b'));
}

TEST(SpanCopy, ShortWriteRaisesTheCallersMessage) {
  TZipArchiver z;  // no joined archive open: nothing can be written
  uint8_t b[4] = {};
  try {
    z.WriteChecked(b, 4, kZipOutputWriteError);
    FAIL() << "no exception";
  } catch (const EZipArchiver& e) {
    EXPECT_EQ(e.Id(), kZipOutputWriteError);
  }
}

TEST(SpanCopy, PartFileNames) {
  struct {
    const char* name;
    bool compat, replace;
    int32_t part, parts;
    const char* expected;
  } cases[] = {
      {"/d/backup.zip", false, false, 0, 2, "/d/backup001.zip"},
      {"/d/backup001.zip", false, true, 1, 2, "/d/backup002.zip"},
      {"/d.x/backup", false, false, 4, 9, "/d.x/backup005"},
      {"/d/backup.zip", true, false, 0, 2, "/d/backup.z01"},
      {"/d/backup.z01", true, false, 1, 2, "/d/backup.z02"},
      {"/d/backup.z02", true, false, 2, 2, "/d/backup.zip"},
  };
  for (auto& c : cases) {
    TZipArchiver z;
    if (c.compat) z.SetSpanOptions({spCompatName});
    z.DiskState().diskNr = c.part;
    z.DiskState().totalDisks = c.parts;
    QString name = c.name;
    z.MakePartFileName(name, c.replace);
    EXPECT_EQ(S(name), c.expected) << c.name;
  }
  EXPECT_EQ(TZipArchiver::BufferToText(reinterpret_cast<const uint8_t*>("abc"), 2), QByteArray("ab"));
}

// ---- Memory stream -------------------------------------------------------------------------

TEST(ZipStream, OwnAndAttachedMemory) {
  TZipStream s;
  EXPECT_EQ(s.Size(), 0u);
  EXPECT_EQ(s.Write("hello", 5), 5u);
  EXPECT_EQ(s.Size(), 5u);
  s.Seek(1);
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 8), 4u);
  EXPECT_STREQ(buf, "ello");

  char block[4] = {'w', 'x', 'y', 'z'};
  s.AttachMemory(block, sizeof block);
  EXPECT_TRUE(s.Attached());
  EXPECT_EQ(s.Position(), 0u);
  s.Write("AB", 2);
  EXPECT_EQ(std::string(block, 4), "AByz");  // written in place
  s.Seek(3);
  s.Write("CD", 2);  // past the block: the stream leaves it for its own memory
  EXPECT_FALSE(s.Attached());
  EXPECT_EQ(block[3], 'z');
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.Memory()), s.Size()), "AByCD");
  s.Clear();
  EXPECT_EQ(s.Size(), 0u);
}

}  // namespace

namespace {

class ListedZip : public TZipArchiver {
 public:
  void Put(const QString& name) {
    auto e = std::make_unique<ZipDirEntry>();
    e->FileName = name;
    dirList_.push_back(std::move(e));
  }
  void SetNameOnly(const QString& name) { zipFileName_ = name; }
};

TEST(State, CountIgnoresEntriesWhileTheNameIsEmpty) {
  ListedZip z;
  z.Put("a.txt");
  EXPECT_EQ(z.Count(), 0);
  z.SetNameOnly("x.zip");
  EXPECT_EQ(z.Count(), 1);
  EXPECT_EQ(S(z.DirEntry(0).FileName), "a.txt");
}

}  // namespace
