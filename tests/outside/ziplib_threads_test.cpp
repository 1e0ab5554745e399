// Adding large files on several threads: the archive is the same byte for byte
// whatever TARVI_THREADS says, peers read it, every callback comes on the calling
// thread, and a cancel leaves neither a partial archive nor a running thread.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "outside_test_support.h"
#include "support/temp_dir.h"
#include "ziplib_harness.h"

using namespace ziptest;
using namespace outsidetest;

namespace {

// Where the library turns to blocks, and its block size.
constexpr size_t kBlocksFrom = size_t(4) << 20;
constexpr size_t kBlock = size_t(512) << 10;

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class ZipLibThreads : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Libs().Loaded()); }
  void TearDown() override { unsetenv("TARVI_THREADS"); }

  // Adds file to a new archive with this many threads; the archive's bytes.
  std::string AddWith(unsigned threads, const std::string& file, const std::string& archive, Recorder& r) {
    setenv("TARVI_THREADS", std::to_string(threads).c_str(), 1);
    std::filesystem::remove(archive);
    AddJob job;
    job.archive = archive;
    job.specs = {file};
    job.level = 9;
    const int32_t added = job.Run(r);
    EXPECT_EQ(added, 1) << r.Dump();
    return ReadText(archive);
  }

  TempDir dir_{"threads"};
};

}  // namespace

TEST_F(ZipLibThreads, ArchiveIsTheSameForEveryThreadCountAndPeersReadIt) {
  const bool unzip = HaveTool("unzip"), python = HaveTool("python3");
  struct Case {
    const char* what;
    size_t size;
    bool random;
  };
  const Case cases[] = {
      {"empty", 0, false},
      {"one byte", 1, false},
      {"one stream: the largest", kBlocksFrom, false},
      {"blocks: just above", kBlocksFrom + 1, false},
      {"blocks: a block more and one", kBlocksFrom + kBlock + 1, false},
      {"blocks: random data, stored", kBlocksFrom + kBlock, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = dir_.file("podaci.txt");
    const std::string data = c.random ? Random(c.size, 3) : Text(c.size, 7);
    WriteAll(file, data);
    const std::string archive = dir_.file("arhiva.zip");

    Recorder first;
    const std::string one = AddWith(1, file, archive, first);
    ASSERT_FALSE(one.empty());
    if (!c.random && c.size > 1000) {
      EXPECT_LT(one.size(), c.size / 3);
    }
    if (c.random) {
      EXPECT_GT(one.size(), c.size);  // stored: nothing to gain
    }
    for (unsigned threads : {2u, 3u, 8u}) {
      SCOPED_TRACE(threads);
      Recorder r;
      EXPECT_TRUE(AddWith(threads, file, archive, r) == one);
      // The same callbacks in the same order.
      EXPECT_EQ(r.Dump(), first.Dump());
    }

    int rc = 0;
    if (unzip) {
      const std::string log = Sh("unzip -t " + ShellQuote(archive), &rc);
      EXPECT_EQ(rc, 0) << log;
    }
    if (python) {
      const std::string script = dir_.file("check.py");
      WriteAll(script,
               "import sys, zipfile\n"
               "z = zipfile.ZipFile(sys.argv[1])\n"
               "assert z.testzip() is None\n"
               "assert z.namelist() == ['podaci.txt'], z.namelist()\n"
               "assert z.read('podaci.txt') == open(sys.argv[2], 'rb').read()\n");
      const std::string log =
          Sh("python3 " + ShellQuote(script) + " " + ShellQuote(archive) + " " + ShellQuote(file), &rc);
      EXPECT_EQ(rc, 0) << log;
    }
  }
}

TEST_F(ZipLibThreads, CancelDuringAParallelAddLeavesTheOldArchiveAndNoThread) {
  const std::string file = dir_.file("veliki.txt");
  WriteAll(file, Text(12 * kBlocksFrom, 5));
  const std::string small = dir_.file("mali.txt");
  WriteAll(small, std::string("prvi unos"));
  const std::string archive = dir_.file("arhiva.zip");
  {
    Recorder r;
    AddJob job;
    job.archive = archive;
    job.specs = {small};
    ASSERT_EQ(job.Run(r), 1) << r.Dump();
  }
  const std::string before = ReadText(archive);
  const std::vector<std::string> namesBefore = FolderNames(dir_.path());

  for (int cancelAt : {1, 10}) {
    SCOPED_TRACE(cancelAt);
    setenv("TARVI_THREADS", "8", 1);
    // A first thread may start helpers of the runtime (a sanitizer's) that stay.
    std::thread([] {}).join();
    const size_t threadsBefore = CountTasks();
    const std::thread::id caller = std::this_thread::get_id();
    bool otherThread = false;
    int progress = 0;
    Recorder r;
    r.onCall = [&](ZipCallbackRec& rec) -> int32_t {
      otherThread |= std::this_thread::get_id() != caller;
      if ((rec.Action & 0xFF) == ZIPCB_PROGRESS && ++progress == cancelAt) return -1;
      return 0;
    };
    AddJob job;
    job.archive = archive;
    job.specs = {file};
    EXPECT_EQ(job.Run(r), 0) << r.Dump();
    EXPECT_FALSE(otherThread);
    // Nothing was asked once the answer was to stop, but the closing notice.
    EXPECT_EQ(static_cast<int>(r.Of(ZIPCB_PROGRESS).size()), cancelAt);
    EXPECT_EQ(ThreadsOfProcess(threadsBefore), threadsBefore);
    EXPECT_TRUE(ReadText(archive) == before);
    EXPECT_EQ(FolderNames(dir_.path()), namesBefore);
  }
}

// An encrypted large file: deflated in blocks, then enciphered over the whole
// compressed stream; peers open it with the password, and its data is not in the
// clear.
TEST_F(ZipLibThreads, EncryptedEntryDeflatedInBlocksOpensWithThePassword) {
  const std::string file = dir_.file("tajno.txt");
  const std::string data = Text(kBlocksFrom + 2 * kBlock + 7, 13);
  WriteAll(file, data);
  const std::string archive = dir_.file("tajno.zip");
  setenv("TARVI_THREADS", "8", 1);
  Recorder r;
  AddJob job;
  job.archive = archive;
  job.specs = {file};
  job.encrypt = 65535;
  job.password = "tajna lozinka";
  ASSERT_EQ(job.Run(r), 1) << r.Dump();
  const std::string bytes = ReadText(archive);
  EXPECT_LT(bytes.size(), data.size() / 3);
  EXPECT_EQ(bytes.find("čuvanju dokumenata"), std::string::npos);

  int rc = 0;
  if (HaveTool("unzip")) {
    const std::string log = Sh("unzip -P 'tajna lozinka' -t " + ShellQuote(archive), &rc);
    EXPECT_EQ(rc, 0) << log;
  }
  // Our own extraction, with the password.
  const std::string out = dir_.file("out");
  std::filesystem::create_directories(out);
  Recorder x;
  ExtractJob ex;
  ex.archive = archive;
  ex.base = out;
  ex.password = "tajna lozinka";
  EXPECT_EQ(ex.Run(x), 1) << x.Dump();
  EXPECT_TRUE(ReadText(out + "/tajno.txt") == data);
}
