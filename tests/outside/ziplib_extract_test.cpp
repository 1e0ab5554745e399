// libunzlib.so: the options of an extract and its questions to the program
// (overwrite, CRC error), selection by name, test mode, times, and aborting.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "ziplib_harness.h"

using namespace ziptest;

namespace {

class ZipLibExtract : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Libs().Loaded());
    std::filesystem::create_directories(base_);
  }
  std::string Archive(const std::vector<BuildEntry>& entries) {
    const std::string path = dir_.file("a.zip");
    WriteAll(path, BuildZip(entries).bytes);
    return path;
  }
  ExtractJob Job(const std::string& archive) const {
    ExtractJob x;
    x.archive = archive;
    x.base = base_;
    return x;
  }
  TempDir dir_{"unzlib"};
  std::string base_ = dir_.file("out");
};

TEST_F(ZipLibExtract, FoldersKeptOrDropped) {
  const std::string a = Archive({{.name = "top.txt", .data = "t"},
                                 {.name = "d1/", .data = "", .external = 0x10},
                                 {.name = "d1\\d2\\deep.txt", .data = "d", .method = 8},
                                 {.name = "empty/", .data = "", .external = 0x10}});
  Recorder r;
  EXPECT_EQ(Job(a).Run(r), 2) << r.Dump();
  EXPECT_EQ(TreeOf(base_), (std::vector<std::string>{"d1/", "d1/d2/", "d1/d2/deep.txt", "empty/", "top.txt"}));
  // Names in the callbacks are the decoded names with "/".
  std::vector<std::string> names;
  for (const Event& e : r.Of(ZIPCB_NEW_FILE)) names.push_back(e.text);
  EXPECT_EQ(names, (std::vector<std::string>{"top.txt", "d1/d2/deep.txt"}));

  std::filesystem::remove_all(base_);
  std::filesystem::create_directories(base_);
  ExtractJob flat = Job(a);
  flat.dirNames = false;
  Recorder f;
  EXPECT_EQ(flat.Run(f), 2) << f.Dump();
  EXPECT_EQ(TreeOf(base_), (std::vector<std::string>{"deep.txt", "top.txt"}));
}

// Without overwrite the program is asked (code 10); with no handler the default
// (0) stands and the file is skipped with "no overwrite".
TEST_F(ZipLibExtract, ExistingFileQuestion) {
  const uint32_t t2100 = (120u << 25) | (1u << 21) | (1u << 16);
  const std::string a = Archive({{.name = "f.txt", .data = "archived", .dosTime = t2100}});
  WriteAll(base_ + "/f.txt", std::string("existing"));
  ExtractJob x = Job(a);
  x.overwrite = false;

  Recorder r;
  EXPECT_EQ(x.Run(r), 0);
  auto asked = r.Of(ZIPCB_OVERWRITE);
  ASSERT_EQ(asked.size(), 1u) << r.Dump();
  EXPECT_EQ(asked[0].size, 0);
  EXPECT_EQ(asked[0].error & 0xFFFF, 0);         // the entry's index
  EXPECT_EQ(asked[0].error & 0x10000, 0x10000);  // the existing file is older than the entry
  auto skipped = r.Of(ZIPCB_SKIPPED);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(skipped[0].size, ZIPSKIP_NO_OVERWRITE);
  EXPECT_EQ(skipped[0].error, 0);
  EXPECT_EQ(ReadText(base_ + "/f.txt"), "existing");

  Recorder yes;
  yes.onCall = [](ZipCallbackRec& rec) {
    if (rec.Action == ZIPCB_OVERWRITE) rec.Size = 1;
    return 0;
  };
  EXPECT_EQ(x.Run(yes), 1) << yes.Dump();
  EXPECT_EQ(ReadText(base_ + "/f.txt"), "archived");
}

TEST_F(ZipLibExtract, FreshenAndUpdateCompareTimes) {
  // Entries from 1990; the files on disk are from now, so the entries are older.
  const uint32_t t1990 = (10u << 25) | (1u << 21) | (1u << 16);
  const std::string a =
      Archive({{.name = "old.txt", .data = "entry", .dosTime = t1990}, {.name = "new.txt", .data = "entry"}});
  WriteAll(base_ + "/old.txt", std::string("disk"));
  ExtractJob fresh = Job(a);
  fresh.overwrite = false;
  fresh.freshen = true;
  Recorder r;
  EXPECT_EQ(fresh.Run(r), 0) << r.Dump();
  EXPECT_EQ(ReadText(base_ + "/old.txt"), "disk");
  EXPECT_FALSE(std::filesystem::exists(base_ + "/new.txt"));

  ExtractJob update = fresh;
  update.freshen = false;
  update.update = true;
  Recorder u;
  EXPECT_EQ(update.Run(u), 1) << u.Dump();
  EXPECT_EQ(ReadText(base_ + "/old.txt"), "disk");
  EXPECT_EQ(ReadText(base_ + "/new.txt"), "entry");
}

// A name that matches an entry exactly is taken literally; only otherwise do its
// wildcards count. Names that match nothing are reported.
TEST_F(ZipLibExtract, SelectionByName) {
  const std::string a = Archive({{.name = "a*.txt", .data = "star"},
                                 {.name = "ab.txt", .data = "ab"},
                                 {.name = "sub/c.log", .data = "c"},
                                 {.name = "d.log", .data = "d"}});
  struct Case {
    std::vector<std::string> names;
    int32_t count;
    std::vector<std::string> tree;
    bool unmatched;
  } cases[] = {
      {{"a*.txt"}, 1, {"a*.txt"}, false},
      {{"*.log"}, 2, {"d.log", "sub/", "sub/c.log"}, false},
      {{"sub\\c.log"}, 1, {"sub/", "sub/c.log"}, false},
      {{"?b.txt", "none.*"}, 1, {"ab.txt"}, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.names[0]);
    std::filesystem::remove_all(base_);
    std::filesystem::create_directories(base_);
    ExtractJob x = Job(a);
    x.names = k.names;
    Recorder r;
    EXPECT_EQ(x.Run(r), k.count) << r.Dump();
    EXPECT_EQ(TreeOf(base_), k.tree);
    EXPECT_EQ(r.HasError(ZIPERR_NOTHING), k.unmatched) << r.Dump();
  }
}

TEST_F(ZipLibExtract, TestModeWritesNothing) {
  const std::string a = Archive({{.name = "x/y.txt", .data = std::string(100000, 'q'), .method = 8},
                                 {.name = "bad.txt", .data = "data", .crc = 1}});
  ExtractJob x = Job(a);
  x.test = true;
  Recorder r;
  EXPECT_EQ(x.Run(r), 1) << r.Dump();
  EXPECT_TRUE(r.HasError(ZIPERR_BAD_DATA));
  EXPECT_TRUE(TreeOf(base_).empty());
  EXPECT_TRUE(r.Of(ZIPCB_CRC_ERROR).empty());  // no question when nothing is written
}

// A CRC mismatch asks the program (code 9, found and expected); 1 keeps the
// file, anything else (2 is "no handler") drops it with a bad-data error.
TEST_F(ZipLibExtract, CrcErrorQuestion) {
  const std::string a = Archive({{.name = "c.txt", .data = "payload", .crc = 0xDEADBEEF}});
  for (int32_t answer : {2, 0, 1}) {
    SCOPED_TRACE(answer);
    std::filesystem::remove_all(base_);
    std::filesystem::create_directories(base_);
    Recorder r;
    r.onCall = [answer](ZipCallbackRec& rec) {
      if (rec.Action == ZIPCB_CRC_ERROR) rec.Error = answer;
      return 0;
    };
    EXPECT_EQ(Job(a).Run(r), answer == 1 ? 1 : 0) << r.Dump();
    auto q = r.Of(ZIPCB_CRC_ERROR);
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(static_cast<uint32_t>(q[0].error), Crc("payload"));
    EXPECT_EQ(static_cast<uint32_t>(q[0].size), 0xDEADBEEFu);
    EXPECT_EQ(std::filesystem::exists(base_ + "/c.txt"), answer == 1);
    EXPECT_EQ(r.HasError(ZIPERR_BAD_DATA), answer != 1);
    EXPECT_EQ(TreeOf(base_).size(), answer == 1 ? 1u : 0u);  // no temporary file left
  }
}

TEST_F(ZipLibExtract, ModificationTimeFromTheEntry) {
  const uint32_t t = (35u << 25) | (6u << 21) | (15u << 16) | (13u << 11) | (45u << 5) | 10u;  // 2015-06-15 13:45:20
  const std::string a = Archive({{.name = "t.txt", .data = "t", .dosTime = t}});
  Recorder r;
  ASSERT_EQ(Job(a).Run(r), 1);
  struct stat st {};
  ASSERT_EQ(stat((base_ + "/t.txt").c_str(), &st), 0);
  struct tm tm {};
  localtime_r(&st.st_mtime, &tm);
  EXPECT_EQ(tm.tm_year, 115);
  EXPECT_EQ(tm.tm_mon, 5);
  EXPECT_EQ(tm.tm_mday, 15);
  EXPECT_EQ(tm.tm_hour, 13);
  EXPECT_EQ(tm.tm_min, 45);
  EXPECT_EQ(tm.tm_sec, 20);
}

// -1 in the middle of a file: the partial file is removed, files already in place
// stay, and "aborted" is the last callback.
TEST_F(ZipLibExtract, AbortInsideAFile) {
  const std::string a = Archive({{.name = "first.txt", .data = "1"},
                                 {.name = "second.txt", .data = std::string(500000, 's'), .method = 8},
                                 {.name = "third.txt", .data = "3"}});
  Recorder r;
  int progress = 0;
  r.onCall = [&](ZipCallbackRec& rec) { return (rec.Action == ZIPCB_PROGRESS && ++progress == 3) ? -1 : 0; };
  EXPECT_EQ(Job(a).Run(r), 1);
  EXPECT_EQ(r.events.back().code, ZIPCB_MESSAGE);
  EXPECT_EQ(r.events.back().error, ZIPERR_ABORTED);
  EXPECT_EQ(TreeOf(base_), std::vector<std::string>{"first.txt"});
}

TEST_F(ZipLibExtract, BadRecordsAndMissingArchive) {
  Recorder r;
  ExtractJob x = Job(dir_.file("missing.zip"));
  EXPECT_EQ(x.Run(r), 0);
  EXPECT_TRUE(r.HasError(ZIPERR_READ)) << r.Dump();

  const std::string a = Archive({{.name = "f.txt", .data = "f"}});
  std::string archive = a;
  for (int variant = 0; variant < 2; ++variant) {
    Recorder b;
    UnzRec rec{};
    rec.Instance = &b;
    rec.Version = variant == 0 ? 172 : 173;
    rec.Callback = &RecorderCallback;
    rec.Archive = archive.data();
    rec.Seven = variant == 1 ? 0 : ZIPABI_SENTINEL;
    EXPECT_EQ(Libs().unzExec(&rec), 0);
    ASSERT_EQ(b.events.size(), 1u);
    EXPECT_EQ(b.events[0].error, ZIPERR_BAD_RECORD);
  }
  EXPECT_TRUE(TreeOf(base_).empty());
}

}  // namespace
