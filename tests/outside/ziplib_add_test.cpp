// libziplib.so: what it writes (methods, names, headers), how it treats an
// existing archive, its limits, and the callback protocol; read back with
// libunzlib.so and with our own parse of the bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "support/temp_dir.h"
#include "ziplib_harness.h"

using namespace ziptest;

namespace {

uint16_t Le16(const std::vector<unsigned char>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
uint32_t Le32(const std::vector<unsigned char>& b, size_t at) {
  return static_cast<uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24));
}

// The central headers of an archive we wrote (no comment, so the end record is the
// last 22 bytes).
struct CentralView {
  uint16_t madeBy, needed, flag, method;
  uint32_t crc, csize, usize, external, offset;
  std::string name;
};
std::vector<CentralView> Central(const std::vector<unsigned char>& b) {
  std::vector<CentralView> out;
  size_t end = b.size() - 22;
  EXPECT_EQ(Le32(b, end), 0x06054b50u);
  size_t pos = Le32(b, end + 16);
  for (unsigned i = 0; i < Le16(b, end + 10); ++i) {
    CentralView v;
    EXPECT_EQ(Le32(b, pos), 0x02014b50u);
    v.madeBy = Le16(b, pos + 4);
    v.needed = Le16(b, pos + 6);
    v.flag = Le16(b, pos + 8);
    v.method = Le16(b, pos + 10);
    v.crc = Le32(b, pos + 16);
    v.csize = Le32(b, pos + 20);
    v.usize = Le32(b, pos + 24);
    v.external = Le32(b, pos + 38);
    v.offset = Le32(b, pos + 42);
    const uint16_t n = Le16(b, pos + 28);
    v.name.assign(reinterpret_cast<const char*>(&b[pos + 46]), n);
    pos += 46 + n + Le16(b, pos + 30) + Le16(b, pos + 32);
    out.push_back(v);
  }
  return out;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

std::string Text(size_t n) {
  std::string s;
  while (s.size() < n) s += "Potpisani dokument broj " + std::to_string(s.size()) + ", stranica teksta.\n";
  s.resize(n);
  return s;
}

class ZipLibAdd : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Libs().Loaded()) << dlerror(); }
  TempDir dir_{"ziplib"};
  std::string Path(const std::string& n) const { return dir_.file(n); }
  // Extracts with our library into a fresh folder; returns it.
  std::string Unpack(const std::string& archive, Recorder& r, const std::string& sub = "out") {
    const std::string out = Path(sub);
    std::filesystem::create_directories(out);
    ExtractJob x;
    x.archive = archive;
    x.base = out;
    x.Run(r);
    return out;
  }
};

TEST_F(ZipLibAdd, VersionsAreInTheAcceptedRange) {
  EXPECT_EQ(Libs().zipVersion(), 173);
  EXPECT_EQ(Libs().unzVersion(), 173);
}

// The signing road: a new archive, one absolute path, folders junked, level 9.
TEST_F(ZipLibAdd, OneFileAsTheSigningRoadAddsIt) {
  const std::string doc = Text(300000);
  std::filesystem::create_directories(Path("docs"));
  WriteAll(Path("docs/report.pdf"), doc);
  AddJob job;
  job.archive = Path("ZipSgnDat.tmp");
  job.specs = {Path("docs/report.pdf")};
  Recorder r;
  EXPECT_EQ(job.Run(r), 1) << r.Dump();
  EXPECT_TRUE(r.Errors().empty()) << r.Dump();

  // The new-name question, then progress: file count, total, the file, the
  // comment and extra-data questions, its bytes, end of batch.
  ASSERT_GE(r.events.size(), 8u);
  EXPECT_EQ(r.events[0].code, ZIPCB_NEW_NAME);
  EXPECT_EQ(r.events[0].text, "report.pdf");
  EXPECT_EQ(r.events[1].code, ZIPCB_FILE_COUNT);
  EXPECT_EQ(r.events[1].size, 1);
  EXPECT_EQ(r.events[2].code, ZIPCB_TOTAL_SIZE);
  EXPECT_EQ(r.events[2].size, 300000);
  EXPECT_EQ(r.events[3].code, ZIPCB_NEW_FILE);
  EXPECT_EQ(r.events[3].text, "report.pdf");
  EXPECT_EQ(r.events[4].code, ZIPCB_COMMENT);
  EXPECT_EQ(r.events[4].text, "report.pdf");
  EXPECT_EQ(r.events[5].code, ZIPCB_EXTRA_DATA);
  EXPECT_EQ(r.events[5].text, "report.pdf");
  int64_t progressed = 0;
  for (const Event& e : r.Of(ZIPCB_PROGRESS)) {
    EXPECT_LE(e.size, 65536);
    progressed += e.size;
  }
  EXPECT_EQ(progressed, 300000);
  EXPECT_EQ(r.events.back().code, ZIPCB_END_BATCH);

  const auto bytes = ReadAll(job.archive);
  auto c = Central(bytes);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].name, "report.pdf");
  EXPECT_EQ(c[0].madeBy, 0x0014);
  EXPECT_EQ(c[0].needed, 20);
  EXPECT_EQ(c[0].method, 8);
  EXPECT_EQ(c[0].flag, 0x2);  // maximum compression, no descriptor, no UTF-8 flag
  EXPECT_EQ(c[0].usize, 300000u);
  EXPECT_LT(c[0].csize, 300000u);
  EXPECT_EQ(c[0].crc, Crc(doc));
  EXPECT_EQ(c[0].external, 0x20u);
  EXPECT_EQ(c[0].offset, 0u);
  // The local header carries the final sizes itself.
  EXPECT_EQ(Le32(bytes, 14), c[0].crc);
  EXPECT_EQ(Le32(bytes, 18), c[0].csize);
  // No temporary file is left beside the archive.
  EXPECT_EQ(TreeOf(dir_.path()), (std::vector<std::string>{"ZipSgnDat.tmp", "docs/", "docs/report.pdf"}));

  Recorder x;
  const std::string out = Unpack(job.archive, x);
  EXPECT_EQ(ReadText(out + "/report.pdf"), doc);
}

// Stored for the store suffixes (any case), for level 0, and when deflating does
// not shrink the data; deflated otherwise.
TEST_F(ZipLibAdd, MethodPerFile) {
  struct Case {
    const char* name;
    std::string data;
    int32_t level;
    uint16_t method;
  } cases[] = {
      {"a.pdf", Text(5000), 9, 8}, {"b.ZIP", Text(5000), 9, 0},
      {"c.gif", Text(5000), 9, 0}, {"d.bin", RandomBytes(200000, 1), 9, 0},
      {"e.txt", Text(5000), 0, 0}, {"f.txt", Text(5000), 1, 8},
      {"empty.txt", "", 9, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    WriteAll(Path(k.name), k.data);
    AddJob job;
    job.archive = Path(std::string(k.name) + ".zip");
    job.specs = {Path(k.name)};
    job.level = k.level;
    Recorder r;
    ASSERT_EQ(job.Run(r), 1) << r.Dump();
    auto c = Central(ReadAll(job.archive));
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].method, k.method);
    EXPECT_EQ(c[0].needed, k.method == 8 ? 20 : 10);
    if (k.method == 0) {
      EXPECT_EQ(c[0].csize, k.data.size());
    }
    Recorder x;
    const std::string out = Unpack(job.archive, x, std::string("out-") + k.name);
    EXPECT_EQ(ReadText(out + "/" + k.name), k.data) << x.Dump();
  }
}

// Names go in as code page 852 (what the Windows program read as OEM from an
// MS-DOS host); a name that page cannot hold goes in as UTF-8 with bit 11. Either
// way extraction gives back the same name.
TEST_F(ZipLibAdd, NamesInCodePage852OrUtf8) {
  struct Case {
    const char* file;
    const char* stored;
    uint16_t utf8Flag;
  } cases[] = {
      {"Čćžšđ ČĆŽŠĐ.txt", "\xAC\x86\xA7\xE7\xD0 \xAC\x8F\xA6\xE6\xD1.txt", 0},
      {"plain.txt", "plain.txt", 0},
      {"日本.txt", "日本.txt", 0x800},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.file);
    WriteAll(Path(k.file), std::string("x"));
    AddJob job;
    job.archive = Path("names.zip");
    std::filesystem::remove(job.archive);
    job.specs = {Path(k.file)};
    Recorder r;
    ASSERT_EQ(job.Run(r), 1) << r.Dump();
    auto c = Central(ReadAll(job.archive));
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].name, k.stored);
    EXPECT_EQ(c[0].flag & 0x800, k.utf8Flag);
    Recorder x;
    std::filesystem::remove_all(Path("out"));
    const std::string out = Unpack(job.archive, x);
    EXPECT_EQ(TreeOf(out), std::vector<std::string>{k.file}) << x.Dump();
  }
}

// Folders kept (junk off), the file argument relative to RootDir, recursion,
// exclusions, hidden files only when named.
TEST_F(ZipLibAdd, FoldersRecursionExclusionsAndHiddenFiles) {
  std::filesystem::create_directories(Path("src/sub/deep"));
  WriteAll(Path("src/a.txt"), std::string("a"));
  WriteAll(Path("src/sub/b.txt"), std::string("b"));
  WriteAll(Path("src/sub/deep/c.log"), std::string("c"));
  WriteAll(Path("src/.hidden"), std::string("h"));
  WriteAll(Path("src/sub/skip.tmp"), std::string("s"));
  AddJob job;
  job.archive = Path("tree.zip");
  job.rootDir = dir_.path();
  job.specs = {"src", "src/.hidden"};
  job.recurse = true;
  job.junkDirs = false;
  job.excl = {"*.tmp"};
  Recorder r;
  EXPECT_EQ(job.Run(r), 4) << r.Dump();
  std::vector<std::string> names;
  for (const auto& c : Central(ReadAll(job.archive))) names.push_back(c.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"src/.hidden", "src/a.txt", "src/sub/b.txt", "src/sub/deep/c.log"}))
      << r.Dump();

  // With folder entries and a wildcard.
  AddJob wild;
  wild.archive = Path("wild.zip");
  wild.rootDir = dir_.path();
  wild.specs = {"src/*.txt"};
  wild.recurse = true;
  wild.junkDirs = false;
  wild.noDirEntries = false;
  Recorder w;
  wild.Run(w);
  names.clear();
  for (const auto& c : Central(ReadAll(wild.archive))) names.push_back(c.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"src/a.txt", "src/sub/", "src/sub/b.txt", "src/sub/deep/"})) << w.Dump();
}

// A file-argument line that names an existing file is that file, whatever
// characters of the line syntax or wildcards it holds.
TEST_F(ZipLibAdd, ExistingFileIsTakenLiterally) {
  const std::string odd = "a<b|c>*?[x].pdf";
  WriteAll(Path(odd), std::string("literal"));
  WriteAll(Path("a<b|c>zz[x].pdf"), std::string("other"));
  AddJob job;
  job.archive = Path("odd.zip");
  job.specs = {Path(odd)};
  Recorder r;
  EXPECT_EQ(job.Run(r), 1) << r.Dump();
  auto c = Central(ReadAll(job.archive));
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].name, odd);
}

TEST_F(ZipLibAdd, NothingToAddLeavesNoArchive) {
  AddJob job;
  job.archive = Path("none.zip");
  job.specs = {Path("missing.txt"), Path("*.nothing")};
  Recorder r;
  EXPECT_EQ(job.Run(r), 0);
  EXPECT_TRUE(r.HasError(ZIPERR_NOTHING)) << r.Dump();
  EXPECT_FALSE(std::filesystem::exists(job.archive));
}

// Two different files for one entry name (folders junked) refuse the whole add:
// keeping either would drop the other without a word. A new archive is not made,
// an existing one stays as it was. The same file named twice goes in once.
TEST_F(ZipLibAdd, TwoFilesForOneEntryNameAddNothing) {
  for (const char* d : {"a", "b"}) {
    std::filesystem::create_directories(Path(d));
    WriteAll(Path(std::string(d) + "/x.txt"), std::string("from ") + d);
  }
  WriteAll(Path("y.txt"), std::string("y"));
  AddJob job;
  job.archive = Path("dup.zip");
  job.specs = {Path("y.txt"), Path("a/x.txt"), Path("b/x.txt")};
  Recorder r;
  EXPECT_EQ(job.Run(r), 0);
  EXPECT_TRUE(r.HasError(ZIPERR_DUPLICATE_NAME)) << r.Dump();
  bool named = false;
  for (const Event& e : r.Of(ZIPCB_MESSAGE))
    named = named || e.text == "Two files for one entry name, nothing added: x.txt (" + Path("a/x.txt") + ", " +
                                   Path("b/x.txt") + ")";
  EXPECT_TRUE(named) << r.Dump();
  EXPECT_FALSE(std::filesystem::exists(job.archive));

  job.specs = {Path("y.txt")};
  Recorder first;
  ASSERT_EQ(job.Run(first), 1) << first.Dump();
  const auto before = ReadAll(job.archive);
  job.specs = {Path("a/x.txt"), Path("b/x.txt")};
  Recorder again;
  EXPECT_EQ(job.Run(again), 0);
  EXPECT_TRUE(again.HasError(ZIPERR_DUPLICATE_NAME)) << again.Dump();
  EXPECT_TRUE(ReadAll(job.archive) == before);

  // One file under two paths: one entry, no error.
  job.specs = {Path("a/x.txt"), Path("b/../a/x.txt")};
  Recorder same;
  EXPECT_EQ(job.Run(same), 1) << same.Dump();
  EXPECT_TRUE(same.Errors().empty()) << same.Dump();
  EXPECT_EQ(Central(ReadAll(job.archive)).size(), 2u);
}

// An existing archive: its entries are copied as stored, one of the same name is
// replaced, anything in front of it (a self-extractor) stays in front, and the
// offsets written are absolute.
TEST_F(ZipLibAdd, ExistingArchiveKeepsReplacesAndKeepsItsPrefix) {
  const std::string stub = "MZ-stub-" + std::string(100, 's');
  Built old = BuildZip(
      {{.name = "keep.txt", .data = Text(3000), .method = 8}, {.name = "new.txt", .data = "old content"}}, "", stub);
  WriteAll(Path("arch.zip"), old.bytes);
  WriteAll(Path("new.txt"), std::string("new content"));
  AddJob job;
  job.archive = Path("arch.zip");
  job.specs = {Path("new.txt")};
  job.comment = "archive comment";
  Recorder r;
  EXPECT_EQ(job.Run(r), 1) << r.Dump();

  const auto bytes = ReadAll(job.archive);
  ASSERT_GT(bytes.size(), stub.size());
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<long>(stub.size())), stub);
  // The comment ends the file.
  const std::string tail(bytes.end() - 15, bytes.end());
  EXPECT_EQ(tail, "archive comment");

  Recorder x;
  const std::string out = Unpack(job.archive, x);
  EXPECT_TRUE(x.Errors().empty()) << x.Dump();
  EXPECT_EQ(ReadText(out + "/keep.txt"), Text(3000));
  EXPECT_EQ(ReadText(out + "/new.txt"), "new content");
  if (HaveTool("unzip")) {
    std::string log;
    EXPECT_EQ(::Run("unzip -t " + ShellQuote(job.archive) + " 2>&1", &log), 0) << log;
    EXPECT_EQ(log.find("extra bytes"), std::string::npos) << log;  // offsets absolute
  }
}

TEST_F(ZipLibAdd, DamagedExistingArchiveIsNotTouched) {
  Built old = BuildZip({{.name = "a.txt", .data = "a"}});
  old.bytes[old.local[0]] = 'X';  // bad local signature
  WriteAll(Path("bad.zip"), old.bytes);
  WriteAll(Path("b.txt"), std::string("b"));
  AddJob job;
  job.archive = Path("bad.zip");
  job.specs = {Path("b.txt")};
  Recorder r;
  EXPECT_EQ(job.Run(r), 0);
  EXPECT_TRUE(r.HasError(ZIPERR_BAD_DATA)) << r.Dump();
  EXPECT_EQ(ReadText(job.archive), old.bytes);
}

TEST_F(ZipLibAdd, UpdateAndFreshenCompareTimes) {
  const uint32_t oldTime = (10u << 25) | (1u << 21) | (1u << 16);  // 1990-01-01
  Built base = BuildZip({{.name = "old.txt", .data = "was", .dosTime = oldTime},
                         {.name = "same.txt", .data = "was", .dosTime = (60u << 25) | (1u << 21) | (1u << 16)}});
  WriteAll(Path("old.txt"), std::string("now"));
  WriteAll(Path("same.txt"), std::string("now"));  // older than its entry (2040)
  WriteAll(Path("fresh.txt"), std::string("now"));
  for (bool update : {false, true}) {
    SCOPED_TRACE(update ? "update" : "freshen");
    WriteAll(Path("u.zip"), base.bytes);
    AddJob job;
    job.archive = Path("u.zip");
    job.specs = {Path("old.txt"), Path("same.txt"), Path("fresh.txt")};
    job.update = update;
    job.freshen = !update;
    Recorder r;
    EXPECT_EQ(job.Run(r), update ? 2 : 1) << r.Dump();
    Recorder x;
    std::filesystem::remove_all(Path("out"));
    const std::string out = Unpack(job.archive, x);
    EXPECT_EQ(ReadText(out + "/old.txt"), "now");
    EXPECT_EQ(ReadText(out + "/same.txt"), "was");
    EXPECT_EQ(std::filesystem::exists(out + "/fresh.txt"), update);
  }
}

// 4 GiB or more cannot be written without Zip64: refused before anything is read
// or written.
TEST_F(ZipLibAdd, FileOfFourGigabytesIsRefused) {
  const std::string big = Path("big.bin");
  {
    int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t{1} << 32) + 1), 0);  // sparse
    close(fd);
  }
  AddJob job;
  job.archive = Path("big.zip");
  job.specs = {big};
  Recorder r;
  EXPECT_EQ(job.Run(r), 0);
  EXPECT_TRUE(r.HasError(ZIPERR_TOO_LARGE)) << r.Dump();
  EXPECT_TRUE(r.Of(ZIPCB_PROGRESS).empty());
  EXPECT_FALSE(std::filesystem::exists(job.archive));
  EXPECT_EQ(TreeOf(dir_.path()), std::vector<std::string>{"big.bin"});
}

// Encryption asked for and no password given, not even when asked: adding the
// files in the clear instead would give them away.
TEST_F(ZipLibAdd, EncryptionWithoutAPasswordAddsNothing) {
  WriteAll(Path("secret.txt"), std::string("s"));
  AddJob job;
  job.archive = Path("enc.zip");
  job.specs = {Path("secret.txt")};
  job.encrypt = 65535;
  Recorder r;
  EXPECT_EQ(job.Run(r), 0);
  EXPECT_TRUE(r.HasError(ZIPERR_PASSWORD)) << r.Dump();
  EXPECT_EQ(r.Of(ZIPCB_PASSWORD).size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(job.archive));
}

// -1 from the callback stops at once: "aborted" is the last callback, the old
// archive is untouched and no temporary file is left.
TEST_F(ZipLibAdd, AbortLeavesTheOldArchive) {
  Built old = BuildZip({{.name = "a.txt", .data = "a"}});
  WriteAll(Path("keep.zip"), old.bytes);
  WriteAll(Path("big.txt"), Text(1000000));
  AddJob job;
  job.archive = Path("keep.zip");
  job.specs = {Path("big.txt")};
  Recorder r;
  int progress = 0;
  r.onCall = [&](ZipCallbackRec& rec) { return (rec.Action == ZIPCB_PROGRESS && ++progress == 3) ? -1 : 0; };
  EXPECT_EQ(job.Run(r), 0);
  ASSERT_FALSE(r.events.empty());
  EXPECT_EQ(r.events.back().code, ZIPCB_MESSAGE);
  EXPECT_EQ(r.events.back().error, ZIPERR_ABORTED);
  EXPECT_EQ(r.Of(ZIPCB_PROGRESS).size(), 3u);
  EXPECT_EQ(ReadText(job.archive), old.bytes);
  EXPECT_EQ(TreeOf(dir_.path()), (std::vector<std::string>{"big.txt", "keep.zip"}));
}

TEST_F(ZipLibAdd, BadRecordIsRefused) {
  WriteAll(Path("a.txt"), std::string("a"));
  std::string archive = Path("r.zip"), spec = Path("a.txt");
  ZipSpec s{};
  s.Spec = spec.data();
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    Recorder r;
    ZipRec rec{};
    rec.Instance = &r;
    rec.Version = variant == 0 ? 172 : 173;
    rec.Callback = &RecorderCallback;
    rec.Level = 9;
    rec.SpecCount = 1;
    rec.Specs = &s;
    rec.Archive = variant == 1 ? nullptr : archive.data();
    rec.Seven = variant == 2 ? 6 : ZIPABI_SENTINEL;
    EXPECT_EQ(Libs().zipExec(&rec), 0);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].error, ZIPERR_BAD_RECORD);
    EXPECT_FALSE(std::filesystem::exists(archive));
  }
  EXPECT_EQ(Libs().zipExec(nullptr), 0);
}

// The sources are deleted after a successful write: to the trash when undo is
// allowed (never deleted outright when that fails), else removed.
TEST_F(ZipLibAdd, MoveDeletesTheSources) {
  WriteAll(Path("m1.txt"), std::string("1"));
  WriteAll(Path("m2.txt"), std::string("2"));
  AddJob job;
  job.archive = Path("move.zip");
  job.specs = {Path("m1.txt")};
  job.move = true;
  Recorder r;
  EXPECT_EQ(job.Run(r), 1) << r.Dump();
  EXPECT_FALSE(std::filesystem::exists(Path("m1.txt")));
  const std::string trash = std::string(getenv("XDG_DATA_HOME")) + "/Trash";
  EXPECT_TRUE(std::filesystem::exists(trash + "/files/m1.txt"));
  EXPECT_NE(ReadText(trash + "/info/m1.txt.trashinfo").find("Path=" + dir_.path() + "/m1.txt"), std::string::npos);

  job.specs = {Path("m2.txt")};
  job.allowUndo = false;
  Recorder r2;
  EXPECT_EQ(job.Run(r2), 1) << r2.Dump();
  EXPECT_FALSE(std::filesystem::exists(Path("m2.txt")));
  EXPECT_FALSE(std::filesystem::exists(trash + "/files/m2.txt"));
}

// A file that cannot be read when its turn comes is skipped: the entry it was to
// replace stays in the archive, and with AddMove its source stays where it is.
// (Here it turns into a folder just before it is read: even root cannot read that.)
TEST_F(ZipLibAdd, SkippedFileKeepsItsOldEntryAndItsSource) {
  WriteAll(Path("arch.zip"), BuildZip({{.name = "a.txt", .data = "old a"}, {.name = "k.txt", .data = "kept"}}).bytes);
  WriteAll(Path("a.txt"), std::string("new a"));
  WriteAll(Path("b.txt"), std::string("new b"));
  AddJob job;
  job.archive = Path("arch.zip");
  job.specs = {Path("a.txt"), Path("b.txt")};
  job.move = true;
  Recorder r;
  r.onCall = [&](ZipCallbackRec& rec) {
    if ((rec.Action & 0xFF) == ZIPCB_NEW_FILE && std::string(rec.Msg.Text) == "a.txt") {
      std::filesystem::remove(Path("a.txt"));
      std::filesystem::create_directory(Path("a.txt"));
      WriteAll(Path("a.txt/inside.txt"), std::string("user data"));
    }
    return 0;
  };
  EXPECT_EQ(job.Run(r), 1) << r.Dump();
  EXPECT_TRUE(r.HasError(ZIPERR_READ)) << r.Dump();

  EXPECT_EQ(ReadText(Path("a.txt/inside.txt")), "user data");
  EXPECT_FALSE(std::filesystem::exists(Path("b.txt")));
  Recorder x;
  const std::string out = Unpack(job.archive, x);
  EXPECT_TRUE(x.Errors().empty()) << x.Dump();
  EXPECT_EQ(ReadText(out + "/a.txt"), "old a");
  EXPECT_EQ(ReadText(out + "/k.txt"), "kept");
  EXPECT_EQ(ReadText(out + "/b.txt"), "new b");
}

// A callback may run a second operation of the same library inside the first:
// the libraries keep no state of their own between or across calls.
TEST_F(ZipLibAdd, NestedOperationsInsideACallback) {
  WriteAll(Path("outer.txt"), Text(200000));
  WriteAll(Path("inner.txt"), std::string("inner"));
  AddJob inner;
  inner.archive = Path("inner.zip");
  inner.specs = {Path("inner.txt")};
  Recorder innerRec;
  int32_t innerResult = -1;
  AddJob outer;
  outer.archive = Path("outer.zip");
  outer.specs = {Path("outer.txt")};
  Recorder r;
  r.onCall = [&](ZipCallbackRec& rec) {
    if (rec.Action == ZIPCB_PROGRESS && innerResult < 0) innerResult = inner.Run(innerRec);
    return 0;
  };
  EXPECT_EQ(outer.Run(r), 1) << r.Dump();
  EXPECT_EQ(innerResult, 1) << innerRec.Dump();
  Recorder x1, x2;
  EXPECT_EQ(ReadText(Unpack(outer.archive, x1, "o1") + "/outer.txt"), Text(200000));
  EXPECT_EQ(ReadText(Unpack(inner.archive, x2, "o2") + "/inner.txt"), "inner");
}

}  // namespace
