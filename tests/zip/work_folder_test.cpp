// The component's work folders ("$TMPDIR/tarvi-zip-<pid>-XXXXXX"): the folder of
// an operation is gone when the operation ends, whichever way it ends, and the
// folders that dead processes left behind are removed, a live process's never.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "platform/fake_ui_services.h"
#include "support/temp_dir.h"
#include "zip/zip_archiver.h"

namespace fs = std::filesystem;

namespace {

std::string S(const QString& s) { return s.toStdString(); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string TmpRoot() {
  const char* t = getenv("TMPDIR");
  return t && *t ? t : "/tmp";
}

// This process's work folders, apart from the private one of the whole run.
std::vector<std::string> OurWorkFolders() {
  const std::string prefix = "tarvi-zip-" + std::to_string(getpid()) + "-";
  const std::string privateFolder = fs::path(S(TZipArchiver::PrivateTempFolder())).parent_path().filename().string();
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(TmpRoot())) {
    const std::string name = e.path().filename().string();
    if (name.starts_with(prefix) && name != privateFolder) out.push_back(name);
  }
  return out;
}

// A pid that no process has any more: a child's, after it ended.
pid_t DeadPid() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  return child;
}

class WorkFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(src_);
    for (int i = 0; i < 3; ++i) WriteAll(src_ + "/f" + std::to_string(i) + ".bin", std::string(1500, char('a' + i)));
    ASSERT_TRUE(OurWorkFolders().empty());
  }
  // A spanned add of the three files into parts of 1000 bytes: its work archive
  // lives in the operation's work folder.
  void SpanSetup(TZipArchiver& zip, const std::string& target) {
    zip.SetAddOptions({AddDiskSpan});
    zip.SetMaxVolumeSize(1000);
    zip.SetMinFreeVolumeSize(100);
    zip.SetAddCompLevel(0);
    zip.SetZipFileName(Q(target));
    zip.FSpecArgs() = QStringList{Q(src_ + "/f0.bin"), Q(src_ + "/f1.bin"), Q(src_ + "/f2.bin")};
  }

  FakeUiServices ui_;
  TempDir dir_{"zipwork"};
  std::string src_ = dir_.file("src");
};

// Success, a cancel by an event handler, a failure of the library and an
// exception from an event handler that reaches the caller: each time the work
// file was made in a folder of this operation, and the folder is gone after.
TEST_F(WorkFolder, RemovedOnEveryRoad) {
  struct Road {
    const char* what;
    std::function<void(TZipArchiver&)> arm;
    bool throws;
  };
  const std::vector<Road> roads = {
      {"success", [](TZipArchiver&) {}, false},
      {"cancel",
       [](TZipArchiver& z) {
         z.OnMessage = [](TZipArchiver& zz, int32_t, const QString& m) {
           if (m.startsWith("Copying: ")) zz.SetCancel(true);
         };
       },
       false},
      // Two files for one entry name: the library refuses the add.
      {"library failure",
       [this](TZipArchiver& z) {
         fs::create_directories(src_ + "/sub");
         WriteAll(src_ + "/sub/f0.bin", std::string("another"));
         z.FSpecArgs() << Q(src_ + "/sub/f0.bin");
       },
       false},
      {"exception",
       [](TZipArchiver& z) {
         z.SetVerbose(true);
         z.OnMessage = [](TZipArchiver&, int32_t, const QString& m) {
           if (m.startsWith("Temporary zipfile: ")) throw std::runtime_error("handler failed");
         };
       },
       true},
  };
  int n = 0;
  for (const Road& road : roads) {
    SCOPED_TRACE(road.what);
    const std::string folder = dir_.file("set" + std::to_string(++n));
    fs::create_directories(folder);
    TZipArchiver zip;
    SpanSetup(zip, folder + "/s.zip");
    road.arm(zip);
    std::string workFolder;
    const auto seen = zip.OnMessage;
    zip.OnMessage = [&](TZipArchiver& z, int32_t code, const QString& m) {
      if (workFolder.empty()) workFolder = z.WorkFolder();
      if (seen) seen(z, code, m);
    };
    if (road.throws) {
      EXPECT_THROW(zip.Add(), std::runtime_error);
    } else {
      zip.Add();
    }
    EXPECT_FALSE(workFolder.empty()) << "the work archive was made in the operation's folder";
    EXPECT_FALSE(fs::exists(workFolder)) << workFolder;
    EXPECT_TRUE(zip.WorkFolder().empty());
    EXPECT_TRUE(OurWorkFolders().empty()) << ::testing::PrintToString(OurWorkFolders());
  }

  // Reading a set back joins it in a work folder, which goes after the extract.
  const std::string folder = dir_.file("read");
  fs::create_directories(folder);
  TZipArchiver writer;
  SpanSetup(writer, folder + "/r.zip");
  ASSERT_EQ(writer.Add(), 0) << S(writer.Message());
  std::string last;
  for (const auto& e : fs::directory_iterator(folder)) last = std::max(last, e.path().string());
  TZipArchiver reader;
  reader.SetZipFileName(Q(last));
  ASSERT_TRUE(reader.Spanned());
  reader.SetExtrBaseDir(Q(dir_.file("out")));
  reader.SetExtrOptions({ExtrForceDirs});
  EXPECT_EQ(reader.Extract(), 0) << S(reader.Message());
  EXPECT_EQ(reader.ProcessedCount(), 3);
  EXPECT_TRUE(OurWorkFolders().empty()) << ::testing::PrintToString(OurWorkFolders());
}

// A folder of a process that is gone goes with what it holds; one of a live
// process, one of another user's kind of name and a link stay.
TEST_F(WorkFolder, StaleFoldersOfDeadProcessesAreRemoved) {
  const std::string root = TmpRoot();
  const std::string dead = root + "/tarvi-zip-" + std::to_string(DeadPid()) + "-Ab3dE9";
  const std::string live = root + "/tarvi-zip-" + std::to_string(getppid()) + "-Ab3dE9";
  const std::string other = root + "/tarvi-zip-" + std::to_string(DeadPid()) + "-short";
  const std::string link = root + "/tarvi-zip-" + std::to_string(DeadPid()) + "-Lnk123";
  for (const std::string& f : {dead, live, other}) {
    fs::create_directories(f + "/inner");
    WriteAll(f + "/zipAB12cd.zip", std::string("work archive"));
    WriteAll(f + "/inner/.tarvi-1-x.tmp", std::string("partial"));
  }
  fs::create_directory_symlink(dir_.path(), link);
  struct Cleanup {
    std::vector<std::string> paths;
    ~Cleanup() {
      for (const std::string& p : paths) {
        std::error_code ec;
        fs::remove(p, ec);
        fs::remove_all(p, ec);
      }
    }
  } cleanup{{dead, live, other, link}};

  TZipArchiver::RemoveStaleWorkFolders();
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_TRUE(fs::exists(live + "/zipAB12cd.zip"));
  EXPECT_TRUE(fs::exists(other + "/zipAB12cd.zip"));  // not a work folder's name
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::exists(src_ + "/f0.bin"));  // nothing behind the link was touched
}

}  // namespace
