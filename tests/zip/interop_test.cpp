// The component with independent peers: what Info-ZIP zip and Python's zipfile
// write is listed with exactly the names that extraction then writes, and what
// the component adds passes unzip -t and reads back in Python with its names.
// Skipped when a peer is not installed.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "outside/zip_builder.h"
#include "platform/fake_ui_services.h"
#include "support/temp_dir.h"
#include "zip/zip_archiver.h"

using namespace ziptest;

namespace {

std::string S(const QString& s) { return s.toStdString(); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

class Interop : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = {{"Čćžšđ ČĆŽŠĐ.txt", std::string(5000, 't')},
              {"mapa/Đurđevac izvješće.pdf", std::string(40000, 'p')},
              {"mapa/podmapa/prazno.txt", ""}};
    for (const auto& [name, data] : files_) {
      std::filesystem::create_directories(std::filesystem::path(src() + "/" + name).parent_path());
      WriteAll(src() + "/" + name, data);
    }
  }
  std::string src() const { return dir_.file("src"); }
  int Sh(const std::string& cmd, std::string* out = nullptr) { return ::Run(cmd + " 2>&1", out); }

  // Lists and extracts the archive; the listed names must be the written files.
  void ListAndExtract(const std::string& archive, const std::map<std::string, std::string>& expected) {
    TZipArchiver zip;
    zip.SetZipFileName(Q(archive));
    std::vector<std::string> listed;
    for (int i = 0; i < zip.Count(); ++i) listed.push_back(S(zip.DirEntry(i).FileName));
    std::sort(listed.begin(), listed.end());
    std::vector<std::string> names;
    for (const auto& [name, data] : expected) names.push_back(name);
    EXPECT_EQ(listed, names);
    EXPECT_EQ(zip.ErrCode(), 0) << S(zip.Message());

    const std::string out = dir_.file("out" + std::to_string(++outs_));
    std::filesystem::create_directories(out);
    zip.SetExtrBaseDir(Q(out));
    zip.SetExtrOptions({ExtrDirNames, ExtrOverWrite});
    EXPECT_EQ(zip.Extract(), 0) << S(zip.Message());
    EXPECT_EQ(zip.ProcessedCount(), static_cast<int32_t>(expected.size()));
    for (const std::string& name : listed) {
      SCOPED_TRACE(name);
      EXPECT_EQ(ReadText(out + "/" + name), expected.at(name));
    }
  }

  FakeUiServices ui_;
  TempDir dir_{"zipinterop"};
  std::map<std::string, std::string> files_;
  int outs_ = 0;
};

TEST_F(Interop, InfoZipArchives) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
  for (const char* level : {"-9", "-0"}) {
    SCOPED_TRACE(level);
    const std::string archive = dir_.file(std::string("z") + level + ".zip");
    std::string log;
    ASSERT_EQ(Sh("cd " + ShellQuote(src()) + " && zip -q -r " + level + " " + ShellQuote(archive) + " .", &log), 0) << log;
    ListAndExtract(archive, files_);
  }
  // From a pipe: a data descriptor, Zip64 local extra and a Zip64 end record that
  // repeats the ordinary one.
  const std::string piped = dir_.file("piped.zip");
  std::string log;
  ASSERT_EQ(Sh("printf 'iz cijevi' | zip -q " + ShellQuote(piped) + " -", &log), 0) << log;
  ListAndExtract(piped, {{"-", "iz cijevi"}});
}

TEST_F(Interop, PythonArchives) {
  if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
  const std::string script = dir_.file("make.py");
  WriteAll(script, std::string(R"PY(
import os, sys, zipfile
src, kind, out = sys.argv[1], sys.argv[2], sys.argv[3]
class Pipe:
    def __init__(self, f): self.f = f
    def write(self, b): return self.f.write(b)
    def flush(self): self.f.flush()
with zipfile.ZipFile(Pipe(open(out, 'wb')) if kind == 'pipe' else out, 'w', zipfile.ZIP_DEFLATED) as z:
    for root, dirs, files in os.walk(src):
        for f in files:
            path = os.path.join(root, f)
            with z.open(os.path.relpath(path, src), 'w') as w:
                w.write(open(path, 'rb').read())
)PY"));
  for (const char* kind : {"file", "pipe"}) {
    SCOPED_TRACE(kind);
    const std::string archive = dir_.file(std::string("py-") + kind + ".zip");
    std::string log;
    ASSERT_EQ(Sh("python3 " + ShellQuote(script) + " " + ShellQuote(src()) + " " + kind + " " + ShellQuote(archive), &log), 0)
        << log;
    ListAndExtract(archive, files_);
  }
}

TEST_F(Interop, OurArchivesReadByPeers) {
  const std::string archive = dir_.file("ours.zip");
  TZipArchiver zip;
  zip.SetZipFileName(Q(archive));
  zip.SetRootDir(Q(src()));
  zip.SetAddOptions({AddDirNames, AddRecurseDirs});
  zip.FSpecArgs() = QStringList{"."};
  EXPECT_EQ(zip.Add(), 0) << S(zip.Message());
  EXPECT_EQ(zip.ProcessedCount(), 3);
  ListAndExtract(archive, files_);
  if (HaveTool("unzip")) {
    std::string log;
    EXPECT_EQ(Sh("unzip -t " + ShellQuote(archive), &log), 0) << log;
  }
  if (HaveTool("python3")) {
    std::string out;
    EXPECT_EQ(Sh("python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1], metadata_encoding='cp852'); "
                 "assert z.testzip() is None; print('|'.join(sorted(z.namelist())))\" " + ShellQuote(archive),
                 &out),
              0)
        << out;
    EXPECT_EQ(out, "mapa/podmapa/prazno.txt|mapa/Đurđevac izvješće.pdf|Čćžšđ ČĆŽŠĐ.txt\n");
  }
}

}  // namespace
