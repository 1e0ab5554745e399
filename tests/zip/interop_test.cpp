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
#include "zip/ziplib_names.h"

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

// A name with Croatian letters is stored in code page 852 under host 0, as the
// component's reader expects, and also as UTF-8 in the Unicode path field, so
// unzip and 7-Zip on Linux (which cannot be told the code page) show it right.
TEST_F(Interop, CroatianNamesShowRightInPeers) {
  const std::string name = "Izvješće č.txt";
  WriteAll(dir_.file(name), std::string("sadržaj"));
  const std::string archive = dir_.file("imena.zip");
  TZipArchiver zip;
  zip.SetZipFileName(Q(archive));
  zip.FSpecArgs() = QStringList{Q(dir_.file(name))};
  ASSERT_EQ(zip.Add(), 0) << S(zip.Message());
  ASSERT_EQ(zip.Count(), 1);
  const ZipDirEntry& e = zip.DirEntry(0);
  EXPECT_EQ(S(e.FileName), name);
  EXPECT_EQ(e.HostSystem, 0);
  EXPECT_EQ(e.Flag & ziplib_names::kFlagUtf8, 0);
  std::string cp852;
  ASSERT_TRUE(ziplib_names::EncodeOem(name, cp852));
  EXPECT_NE(ReadText(archive).find(cp852), std::string::npos) << "the stored name is code page 852";
  const std::string field = ziplib_names::UnicodePathField(cp852, name);
  EXPECT_EQ(std::string(e.ExtraData.constData(), static_cast<size_t>(e.ExtraData.size())), field);
  const std::string bytes = ReadText(archive);
  EXPECT_EQ(bytes.find(cp852 + field), 30 + 0u) << "the local header carries it too";
  EXPECT_NE(bytes.rfind(cp852 + field), 30 + 0u) << "and the central one";

  std::string out;
  if (HaveTool("unzip")) {
    EXPECT_EQ(Sh("LC_ALL=C.UTF-8 unzip -l " + ShellQuote(archive), &out), 0) << out;
    EXPECT_NE(out.find("   " + name + "\n"), std::string::npos) << out;
    EXPECT_EQ(Sh("LC_ALL=C.UTF-8 unzip -Z1 " + ShellQuote(archive), &out), 0) << out;
    EXPECT_EQ(out, name + "\n");
  }
  if (HaveTool("7z")) {
    EXPECT_EQ(Sh("LC_ALL=C.UTF-8 7z l " + ShellQuote(archive), &out), 0) << out;
    EXPECT_NE(out.find("  " + name + "\n"), std::string::npos) << out;
  }
  ListAndExtract(archive, {{name, "sadržaj"}});
}

// The field as Info-ZIP zip on Windows writes it (the name in the OEM code page,
// "?" for what that lacks, the whole name in UTF-8 beside it): the component lists
// the field's name while its CRC matches the stored name, and the extracted file
// has that name; a stale, unknown or broken field leaves the stored name.
TEST_F(Interop, UnicodePathFieldIsReadWhenCurrent) {
  std::string cp852;
  ASSERT_TRUE(ziplib_names::EncodeOem("Izvješće č.txt", cp852));
  struct Case {
    const char* what;
    std::string stored;
    std::string extra;
    uint16_t flag;
    std::string expected;
  };
  const std::string greek = "Ελλάδα.txt";
  std::string truncated = ziplib_names::UnicodePathField("??????.txt", greek);
  truncated.resize(truncated.size() - 3);
  std::string version2 = ziplib_names::UnicodePathField("??????.txt", greek);
  version2[4] = 2;
  const std::vector<Case> cases = {
      {"current field", "??????.txt", ziplib_names::UnicodePathField("??????.txt", greek), 0, greek},
      {"current field after another", "??????.txt",
       std::string("\x0a\x00\x04\x00" "abcd", 8) + ziplib_names::UnicodePathField("??????.txt", greek), 0, greek},
      {"stale field", cp852, ziplib_names::UnicodePathField("Stari.txt", "Stari naziv.txt"), 0, "Izvješće č.txt"},
      {"unknown version", "??????.txt", version2, 0, "??????.txt"},
      {"cut short", "??????.txt", std::string(truncated.data(), 4) + truncated.substr(4), 0, "??????.txt"},
      {"UTF-8 flag wins", "Izvješće č.txt", ziplib_names::UnicodePathField("Izvješće č.txt", greek), 0x800,
       "Izvješće č.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string archive = dir_.file(std::string("field-") + std::to_string(outs_) + ".zip");
    WriteAll(archive, BuildZip({{.name = c.stored, .data = "iz Windowsa", .flag = c.flag, .extra = c.extra}}).bytes);
    ListAndExtract(archive, {{c.expected, "iz Windowsa"}});
    if (HaveTool("unzip") && c.expected == greek) {
      // unzip reads the same fixture the same way.
      std::string out;
      EXPECT_EQ(Sh("LC_ALL=C.UTF-8 unzip -Z1 " + ShellQuote(archive), &out), 0) << out;
      EXPECT_EQ(out, c.expected + "\n");
    }
  }
}

}  // namespace
