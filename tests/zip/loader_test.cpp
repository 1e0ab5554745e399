// Loading the ZIP libraries: version checks, the search order, nested use and
// the verbose reports, against small stand-in libraries built beside the tests.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/fake_ui_services.h"
#include "support/temp_dir.h"
#include "zip/zip_archiver.h"

namespace {

const std::string kFakes = std::string(TARVI_BIN_DIR) + "/zipfakes";

std::string Real(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

std::string FakeFile(const std::string& variant) {
  return Real(kFakes + "/" + variant + (variant.rfind("unz", 0) == 0 ? "/libunzlib.so" : "/libziplib.so"));
}

// Whether the process holds the library open (without opening it ourselves).
bool InProcess(const std::string& path) {
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!h) return false;
  dlclose(h);
  return true;
}

struct VersionCase {
  const char* variant;
  int32_t minimum;
  int32_t version;  // 0: refused
  int errorId;
};

const VersionCase kVersionCases[] = {
    {"zip152", 0, 0, kZipLoadOldOrCorrupt},
    {"zip153", 0, 153, 0},
    {"zip300", 0, 300, 0},
    {"zip301", 0, 0, kZipLoadOldOrCorrupt},
    {"zip172", 173, 0, kZipLoadOldOrCorrupt},
    {"zip172", 172, 172, 0},
    {"zip173", 173, 173, 0},
    {"zipnoexec", 0, 0, kZipLoadOldOrCorrupt},
    {"unz172", 172, 172, 0},
    {"unz153", 172, 0, kZipLoadOldOrCorrupt},
    {"unz153", 0, 153, 0},
};

class LoaderVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(LoaderVersion, Check) {
  const VersionCase& c = GetParam();
  FakeUiServices ui;
  TZipArchiver zip;
  zip.SetDLLDirectory(QString::fromStdString(kFakes + "/" + c.variant));
  TZipLibLoader& lib = std::string(c.variant).rfind("unz", 0) == 0 ? static_cast<TZipLibLoader&>(zip.UnzLib())
                                                                   : static_cast<TZipLibLoader&>(zip.ZipLib());
  const std::string file = FakeFile(c.variant);
  if (c.errorId == 0) {
    EXPECT_EQ(lib.LoadDll(c.minimum, false), c.version);
    EXPECT_TRUE(lib.Loaded());
    EXPECT_EQ(lib.Path(), file);
    EXPECT_TRUE(InProcess(file));
    lib.UnloadDll(false);
    EXPECT_FALSE(lib.Loaded());
    EXPECT_FALSE(InProcess(file));
    return;
  }
  try {
    lib.LoadDll(c.minimum, false);
    FAIL() << "loaded";
  } catch (const EZipArchiver& e) {
    EXPECT_EQ(e.Id(), c.errorId);
    EXPECT_EQ(e.Message().toStdString(), "Unable to load " + file + " - It is old or corrupt");
    zip.ShowExceptionError(e);
    EXPECT_EQ(zip.ErrCode(), c.errorId);
    EXPECT_EQ(zip.Message(), e.Message());
  }
  EXPECT_FALSE(lib.Loaded());
  EXPECT_EQ(lib.UseBits(), 0u);
  EXPECT_EQ(lib.Version(), 0);
  EXPECT_FALSE(InProcess(file));
}

INSTANTIATE_TEST_SUITE_P(Loader, LoaderVersion, ::testing::ValuesIn(kVersionCases), [](const auto& info) {
  return std::string(info.param.variant) + "_min" + std::to_string(info.param.minimum);
});

TEST(LoaderSearch, MissingLibrary) {
  TZipArchiver zip;
  TZipLibLoader lib(zip, TZipLibLoader::kZip, "NOSUCHZIPLIB.DLL");
  try {
    lib.LoadDll(173, false);
    FAIL() << "loaded";
  } catch (const EZipArchiver& e) {
    EXPECT_EQ(e.Id(), kZipLoadFailed);
    EXPECT_STREQ(e.what(), "Failed to load NOSUCHZIPLIB.DLL");
  }
  EXPECT_EQ(lib.UseBits(), 0u);
}

TEST(LoaderSearch, FileThatIsNoLibrary) {
  TempDir dir;
  WriteAll(dir.file("libziplib.so"), "not a library");
  TZipArchiver zip;
  zip.SetDLLDirectory(QString::fromStdString(dir.path()));
  try {
    zip.ZipLib().LoadDll(173, false);
    FAIL() << "loaded";
  } catch (const EZipArchiver& e) {
    EXPECT_EQ(e.Id(), kZipLoadFailed);
    EXPECT_EQ(std::string(e.what()), "Failed to load " + dir.file("libziplib.so"));
  }
}

TEST(LoaderSearch, DirectoryWithoutTheFileFallsBackToTheBareName) {
  TempDir empty;
  TZipArchiver zip;
  zip.SetDLLDirectory(QString::fromStdString(empty.path()));
  // "ZIPFAKETEST.DLL" is libzipfaketest.so beside the test program.
  TZipLibLoader lib(zip, TZipLibLoader::kZip, "ZIPFAKETEST.DLL");
  EXPECT_EQ(lib.LoadDll(173, false), 173);
  EXPECT_EQ(lib.Path(), Real(std::string(TARVI_BIN_DIR) + "/libzipfaketest.so"));
  lib.UnloadDll(false);
}

TEST(LoaderSearch, DotDirectoryIsTheProgramsFolder) {
  TZipArchiver zip;
  zip.SetDLLDirectory("./zipfakes/zip300/");
  EXPECT_EQ(zip.DLLDirectory(), "./zipfakes/zip300");
  EXPECT_EQ(zip.ZipLib().LoadDll(173, false), 300);
  EXPECT_EQ(zip.ZipLib().Path(), FakeFile("zip300"));
  zip.ZipLib().UnloadDll(false);
}

TEST(LoaderUse, NestedUsersShareOneLoad) {
  FakeUiServices ui;
  TZipArchiver zip;
  zip.SetDLLDirectory(QString::fromStdString(kFakes + "/zip173"));
  TZipLib& lib = zip.ZipLib();
  const std::string file = FakeFile("zip173");
  EXPECT_EQ(lib.LoadDll(173, false), 173);
  EXPECT_EQ(lib.UseBits(), 2u);
  EXPECT_EQ(lib.LoadDll(173, true), 173);
  EXPECT_EQ(lib.UseBits(), 6u);
  auto params = zip.FillZipLibRecord("x.zip");
  EXPECT_EQ(lib.Exec(&params->rec), 0);
  EXPECT_EQ(lib.UseBits(), 6u);  // the exec bit came and went
  lib.UnloadDll(false);
  EXPECT_TRUE(InProcess(file));  // still held explicitly
  EXPECT_EQ(lib.UseBits(), 4u);
  lib.UnloadDll(true);
  EXPECT_FALSE(InProcess(file));
  EXPECT_FALSE(lib.Loaded());
}

TEST(LoaderUse, ExecAloneLoadsForTheCallOnly) {
  FakeUiServices ui;
  TZipArchiver zip;
  zip.SetDLLDirectory(QString::fromStdString(kFakes + "/unz172"));
  auto params = zip.FillUnzLibRecord("x.zip", 172);
  EXPECT_EQ(zip.UnzLib().Exec(&params->rec), 0);
  EXPECT_FALSE(zip.UnzLib().Loaded());
  EXPECT_FALSE(InProcess(FakeFile("unz172")));
}

TEST(LoaderUse, RecordAndCallbackThroughTheLibrary) {
  FakeUiServices ui;
  TZipArchiver zip;
  zip.SetDLLDirectory(QString::fromStdString(kFakes + "/zip173"));
  std::vector<std::string> seen;
  zip.OnProgress = [&](TZipArchiver&, ProgressType t, const QString& f, uint32_t n) {
    seen.push_back(std::to_string(int(t)) + " " + f.toStdString() + " " + std::to_string(n));
  };
  zip.SetFSpecArgs({"a", "b", "c"});
  zip.ZipLib().LoadDll(173, false);
  auto params = zip.FillZipLibRecord("x.zip");
  EXPECT_EQ(zip.ZipLib().Exec(&params->rec), 3);  // the library's answer comes back unchanged
  EXPECT_EQ(seen, (std::vector<std::string>{"0 fake.txt 42"}));

  zip.OnProgress = [](TZipArchiver& z, ProgressType, const QString&, uint32_t) { z.SetCancel(true); };
  EXPECT_EQ(zip.ZipLib().Exec(&params->rec), -1);  // the fake stops on the callback's -1
  params->rec.Seven = 0;
  EXPECT_EQ(zip.ZipLib().Exec(&params->rec), -7);
  zip.ZipLib().UnloadDll(false);
}

TEST(LoaderReport, VerboseLoadAndUnload) {
  FakeUiServices ui;
  TZipArchiver zip;
  zip.SetVerbose(true);
  zip.SetDLLDirectory(QString::fromStdString(kFakes + "/zip173"));
  std::vector<std::string> messages;
  zip.OnMessage = [&](TZipArchiver&, int32_t code, const QString& m) {
    messages.push_back(std::to_string(code) + " " + m.toStdString());
  };
  zip.ZipLib().LoadDll(173, false);
  zip.ZipLib().LoadDll(173, false);  // already loaded: no second report
  zip.ZipLib().UnloadDll(false);
  const std::string file = FakeFile("zip173");
  EXPECT_EQ(messages, (std::vector<std::string>{"0 Loaded " + file, "0 Unloaded " + file}));
  EXPECT_TRUE(ui.boxes.empty());
}

TEST(LoaderReport, CancelledUnloadReportStillFrees) {
  FakeUiServices ui;
  TZipArchiver zip;
  zip.SetVerbose(true);
  zip.SetDLLDirectory(QString::fromStdString(kFakes + "/zip173"));
  zip.ZipLib().LoadDll(173, false);
  zip.SetCancel(true);
  EXPECT_THROW(zip.ZipLib().UnloadDll(false), EZipArchiver);  // 11007 from the report
  EXPECT_FALSE(zip.ZipLib().Loaded());
  EXPECT_FALSE(InProcess(FakeFile("zip173")));
}

int32_t CapturedVersion() { return 173; }
ZipRec* g_captured = nullptr;
int32_t CaptureExec(ZipRec* rec) {
  g_captured = rec;
  return 5;
}

TEST(LoaderSeam, BoundFunctionsStandInForALibrary) {
  TZipArchiver zip;
  zip.ZipLib().BindFunctions(reinterpret_cast<void*>(&CaptureExec), &CapturedVersion, "/in/process");
  EXPECT_EQ(zip.ZipLib().LoadDll(173, false), 173);
  auto params = zip.FillZipLibRecord("x.zip");
  EXPECT_EQ(zip.ZipLib().Exec(&params->rec), 5);
  EXPECT_EQ(g_captured, &params->rec);
  zip.ZipLib().UnloadDll(false);
  EXPECT_FALSE(zip.ZipLib().Loaded());
  EXPECT_EQ(zip.ZipLib().LoadDll(173, false), 173);  // bound again for the next operation
  EXPECT_EQ(zip.ZipLib().Path(), "/in/process");
  zip.ZipLib().UnloadDll(false);
}

}  // namespace
