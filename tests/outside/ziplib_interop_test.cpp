// The two ZIP libraries against independent peers: archives that Info-ZIP zip and
// Python's zipfile write are extracted byte for byte with the right names, and
// archives that we write pass unzip -t, zipinfo and Python with the right names.
// Each test is skipped when its peer is not installed.
#include <filesystem>
#include <random>

#include "outside_test_support.h"
#include "support/temp_dir.h"
#include "ziplib_harness.h"

using namespace ziptest;
using outsidetest::Random;
using outsidetest::Sh;

namespace {

std::string Text(size_t n) { return outsidetest::Sentences(n, "Ugovor o čuvanju dokumenata, članak "); }

class ZipLibInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Libs().Loaded());
    // A small tree with Croatian names, text and incompressible data.
    files_ = {{"Čćžšđ ČĆŽŠĐ.txt", Text(20000)},
              {"slika.gif", Random(30000, 7)},
              {"mapa/Đurđevac izvješće.pdf", Text(150000)},
              {"mapa/podmapa/prazno.txt", ""}};
    for (const auto& [name, data] : files_) {
      std::filesystem::create_directories(std::filesystem::path(src() + "/" + name).parent_path());
      WriteAll(src() + "/" + name, data);
    }
  }
  std::string src() const { return dir_.file("src"); }
  // Extracts with our library, folders kept, into a fresh folder.
  std::string Extract(const std::string& archive, Recorder& r, int32_t* done = nullptr) {
    const std::string out = dir_.file("out-" + std::to_string(++outs_));
    std::filesystem::create_directories(out);
    ExtractJob x;
    x.archive = archive;
    x.base = out;
    const int32_t n = x.Run(r);
    if (done) *done = n;
    return out;
  }
  // Our library extracts every file of the tree from archive, byte for byte, without a complaint.
  void ExpectExtractsWhole(const std::string& archive) {
    Recorder r;
    int32_t done = 0;
    const std::string out = Extract(archive, r, &done);
    EXPECT_EQ(done, static_cast<int32_t>(files_.size())) << r.Dump();
    EXPECT_TRUE(r.Errors().empty()) << r.Dump();
    ExpectSameFiles(out);
  }
  void ExpectSameFiles(const std::string& out, const std::string& prefix = "") {
    for (const auto& [name, data] : files_) {
      SCOPED_TRACE(name);
      ASSERT_TRUE(std::filesystem::exists(out + "/" + prefix + name)) << ::testing::PrintToString(TreeOf(out));
      EXPECT_EQ(ReadText(out + "/" + prefix + name), data);
    }
  }
  std::string Python(const std::string& script, const std::string& args = "") {
    const std::string path = dir_.file("script.py");
    WriteAll(path, script);
    int rc = 0;
    std::string out = Sh("python3 " + ShellQuote(path) + " " + args, &rc);
    EXPECT_EQ(rc, 0) << out;
    return out;
  }

  TempDir dir_{"interop"};
  std::vector<std::pair<std::string, std::string>> files_;
  int outs_ = 0;
};

// zip on Linux stores UTF-8 names without the UTF-8 flag, host Unix: read as
// UTF-8 by our rule. Deflated (-9) and stored (-0), folder entries, and an entry
// from a pipe (zip writes a Zip64 local extra and a data descriptor there).
TEST_F(ZipLibInterop, InfoZipArchivesExtract) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
  for (const char* level : {"-9", "-0"}) {
    SCOPED_TRACE(level);
    const std::string archive = dir_.file(std::string("z") + level + ".zip");
    int rc = 0;
    std::string log = Sh("cd " + ShellQuote(src()) + " && zip -q -r " + level + " " + ShellQuote(archive) + " .", &rc);
    ASSERT_EQ(rc, 0) << log;
    ExpectExtractsWhole(archive);
  }
  const std::string piped = dir_.file("piped.zip");
  int rc = 0;
  std::string log = Sh("printf 'iz cijevi\\n' | zip -q " + ShellQuote(piped) + " -", &rc);
  ASSERT_EQ(rc, 0) << log;
  Recorder r;
  int32_t done = 0;
  const std::string out = Extract(piped, r, &done);
  EXPECT_EQ(done, 1) << r.Dump();
  EXPECT_EQ(ReadText(out + "/-"), "iz cijevi\n");
}

// Without a password (and no answer to the question) an encrypted entry is skipped
// as a bad password, and nothing is written.
TEST_F(ZipLibInterop, InfoZipEncryptedEntryWithoutPasswordIsSkipped) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
  const std::string archive = dir_.file("enc.zip");
  int rc = 0;
  std::string log = Sh("cd " + ShellQuote(src()) + " && zip -q -e -P tajna " + ShellQuote(archive) + " slika.gif", &rc);
  ASSERT_EQ(rc, 0) << log;
  Recorder r;
  int32_t done = 0;
  const std::string out = Extract(archive, r, &done);
  EXPECT_EQ(done, 0);
  auto skipped = r.Of(ZIPCB_SKIPPED);
  ASSERT_EQ(skipped.size(), 1u) << r.Dump();
  EXPECT_EQ(skipped[0].size, ZIPSKIP_BAD_PASSWORD);
  EXPECT_EQ(skipped[0].error, ZIPERR_PASSWORD);
  EXPECT_EQ(r.Of(ZIPCB_PASSWORD).size(), 1u);
  EXPECT_TRUE(TreeOf(out).empty());
}

// Python: deflated and stored, UTF-8 names (flag set), a pipe (data descriptors),
// forced Zip64 local extras; bzip2 and LZMA are skipped as unsupported.
TEST_F(ZipLibInterop, PythonArchivesExtract) {
  if (!HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
  const std::string script = R"PY(
import os, sys, zipfile
src, kind, out = sys.argv[1], sys.argv[2], sys.argv[3]
class Pipe:
    def __init__(self, f): self.f = f
    def write(self, b): return self.f.write(b)
    def flush(self): self.f.flush()
method = {'stored': zipfile.ZIP_STORED, 'bzip2': zipfile.ZIP_BZIP2, 'lzma': zipfile.ZIP_LZMA}.get(kind, zipfile.ZIP_DEFLATED)
target = Pipe(open(out, 'wb')) if kind == 'pipe' else out
with zipfile.ZipFile(target, 'w', compression=method) as z:
    for root, dirs, files in os.walk(src):
        for f in sorted(files):
            path = os.path.join(root, f)
            name = os.path.relpath(path, src)
            data = open(path, 'rb').read()
            if kind in ('pipe', 'zip64'):
                with z.open(name, 'w', force_zip64=(kind == 'zip64')) as w:
                    w.write(data)
            else:
                z.write(path, name)
)PY";
  for (const char* kind : {"deflated", "stored", "pipe", "zip64"}) {
    SCOPED_TRACE(kind);
    const std::string archive = dir_.file(std::string("py-") + kind + ".zip");
    Python(script, ShellQuote(src()) + " " + kind + " " + ShellQuote(archive));
    ExpectExtractsWhole(archive);
  }
  for (const char* kind : {"bzip2", "lzma"}) {
    SCOPED_TRACE(kind);
    const std::string archive = dir_.file(std::string("py-") + kind + ".zip");
    Python(script, ShellQuote(src()) + " " + kind + " " + ShellQuote(archive));
    Recorder r;
    int32_t done = 0;
    const std::string out = Extract(archive, r, &done);
    EXPECT_EQ(done, 0);
    for (const Event& e : r.Of(ZIPCB_SKIPPED)) {
      EXPECT_EQ(e.size, ZIPSKIP_COMPRESSION_UNKNOWN);
      EXPECT_EQ(e.error, ZIPERR_UNSUPPORTED);
    }
    EXPECT_EQ(r.Of(ZIPCB_SKIPPED).size(), 4u) << r.Dump();
    EXPECT_TRUE(TreeOf(out).empty());
  }
}

// What we write, read by the peers: unzip -t passes, zipinfo shows an MS-DOS
// archive of version 2.0 with maximum deflation for documents and stored entries
// for the store suffixes, Python tests it clean and reads the names (code page
// 852 without the flag, UTF-8 with it).
TEST_F(ZipLibInterop, OurArchivesReadByPeers) {
  WriteAll(src() + "/arhiva.zip", Random(5000, 9));
  WriteAll(src() + "/日本.txt", std::string("utf-8 name"));
  const std::string archive = dir_.file("ours.zip");
  AddJob job;
  job.archive = archive;
  job.rootDir = src();
  job.specs = {"Čćžšđ ČĆŽŠĐ.txt", "slika.gif", "mapa/Đurđevac izvješće.pdf", "arhiva.zip", "日本.txt"};
  job.junkDirs = false;
  Recorder r;
  ASSERT_EQ(job.Run(r), 5) << r.Dump();

  if (HaveTool("unzip")) {
    int rc = 0;
    std::string log = Sh("unzip -t " + ShellQuote(archive), &rc);
    EXPECT_EQ(rc, 0) << log;
    EXPECT_NE(log.find("No errors detected"), std::string::npos) << log;
  }
  if (HaveTool("zipinfo")) {
    const std::string v = Sh("zipinfo -v " + ShellQuote(archive));
    size_t pdf = v.find("izvje");
    ASSERT_NE(pdf, std::string::npos) << v;
    EXPECT_NE(v.find("MS-DOS, OS/2 or NT FAT"), std::string::npos) << v;
    EXPECT_NE(v.find("version of encoding software:                   2.0"), std::string::npos) << v;
    EXPECT_NE(v.find("compression method:                             deflated"), std::string::npos) << v;
    EXPECT_NE(v.find("compression sub-type (deflation):               maximum"), std::string::npos) << v;
    EXPECT_NE(v.find("compression method:                             none (stored)"), std::string::npos) << v;
  }
  if (HaveTool("python3")) {
    const std::string out = Python(R"PY(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1], metadata_encoding='cp852')
assert z.testzip() is None
for i in z.infolist():
    print('%s|%d|%d' % (i.filename, i.compress_type, i.create_system))
)PY",
                                   ShellQuote(archive));
    EXPECT_EQ(out,
              "Čćžšđ ČĆŽŠĐ.txt|8|0\n"
              "slika.gif|0|0\n"
              "mapa/Đurđevac izvješće.pdf|8|0\n"
              "arhiva.zip|0|0\n"
              "日本.txt|0|0\n");
  }
  // And back through our extractor.
  Recorder x;
  const std::string out = Extract(archive, x);
  files_.pop_back();  // the empty file was not added
  ExpectSameFiles(out);
}

}  // namespace
