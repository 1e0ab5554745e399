// Extracting large entries with a worker thread writing and summing while the
// calling thread inflates: the files and every callback, in order, are those of
// one thread, whatever the entry holds or however the extraction ends; callbacks
// come on the calling thread and no thread outlives the call.
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <map>
#include <thread>

#include "outside_test_support.h"
#include "support/temp_dir.h"
#include "ziplib_harness.h"

using namespace ziptest;
using namespace outsidetest;

namespace {

// Where the library turns to a worker thread, and the size of one chunk.
constexpr size_t kThreadedFrom = size_t(1) << 20;
constexpr size_t kChunk = 65536;

// Every file under folder (relative name to bytes).
std::map<std::string, std::string> Files(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
    if (e.is_regular_file()) out[std::filesystem::relative(e.path(), folder).string()] = ReadText(e.path().string());
  return out;
}

struct Outcome {
  int32_t done = 0;
  std::string events;
  uint64_t reported = 0;  // bytes reported by progress callbacks before the first error
  std::map<std::string, std::string> files;
  bool otherThread = false;
  size_t threadsLeft = 0, threadsBefore = 0;
};

class UnzLibThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Libs().Loaded());
    // A first thread may start helpers of the runtime (a sanitizer's) that stay;
    // the joined one itself may trail in the kernel's list for a moment.
    std::thread([] {}).join();
    threads_ = ThreadsOfProcess(1);
  }
  void TearDown() override { unsetenv("TARVI_THREADS"); }

  // Extracts (or tests) archive into a fresh folder with this many threads;
  // onCall may answer or cancel.
  Outcome ExtractWith(unsigned threads, const std::string& archive, bool test,
                      const std::function<int32_t(ZipCallbackRec&)>& onCall = {}) {
    setenv("TARVI_THREADS", std::to_string(threads).c_str(), 1);
    const std::string out = dir_.file("out");
    std::filesystem::remove_all(out);
    std::filesystem::create_directories(out);
    Outcome o;
    o.threadsBefore = threads_;
    const std::thread::id caller = std::this_thread::get_id();
    Recorder r;
    r.onCall = [&](ZipCallbackRec& rec) -> int32_t {
      o.otherThread |= std::this_thread::get_id() != caller;
      return onCall ? onCall(rec) : 0;
    };
    ExtractJob job;
    job.archive = archive;
    job.base = out;
    job.test = test;
    o.done = job.Run(r);
    o.events = r.Dump();
    for (const Event& e : r.events) {
      if (e.code == ZIPCB_MESSAGE && e.error != 0) break;
      if (e.code == ZIPCB_PROGRESS) o.reported += uint32_t(e.size);
    }
    o.files = Files(out);
    o.threadsLeft = ThreadsOfProcess(o.threadsBefore);
    return o;
  }

  // The outcome on one thread, and the same on several.
  Outcome SameOnEveryThreadCount(const std::string& archive, bool test,
                                 const std::function<int32_t(ZipCallbackRec&)>& onCall = {}) {
    const Outcome one = ExtractWith(1, archive, test, onCall);
    for (unsigned threads : {2u, 8u}) {
      SCOPED_TRACE(threads);
      const Outcome o = ExtractWith(threads, archive, test, onCall);
      EXPECT_EQ(o.done, one.done);
      EXPECT_EQ(o.events, one.events);
      EXPECT_TRUE(o.files == one.files);
      EXPECT_FALSE(o.otherThread);
      EXPECT_EQ(o.threadsLeft, o.threadsBefore);
    }
    return one;
  }

  std::string Archive(const std::vector<BuildEntry>& entries) {
    const std::string path = dir_.file("a.zip");
    WriteAll(path, BuildZip(entries).bytes);
    return path;
  }

  TempDir dir_{"unzthreads"};
  size_t threads_ = 0;  // of this process before any extraction
};

}  // namespace

TEST_F(UnzLibThreads, EveryEntryAndEveryEndIsThatOfOneThread) {
  const std::string text = Text(5 * kThreadedFrom + 7, 3);
  const std::string deflated = RawDeflate(text);
  std::string corrupt = deflated;
  corrupt[corrupt.size() / 2] ^= 0x55;
  struct Case {
    const char* what;
    BuildEntry entry;
    bool extracted;  // else refused, with an error
  };
  const Case cases[] = {
      {"small, deflated", {.name = "mali.txt", .data = Text(1000, 1), .method = 8}, true},
      {"at the threshold, deflated", {.name = "prag.txt", .data = Text(kThreadedFrom, 2), .method = 8}, true},
      {"large, deflated", {.name = "veliki.txt", .data = text, .method = 8}, true},
      {"large, stored", {.name = "slucajni.bin", .data = Random(3 * kThreadedFrom + 1, 4)}, true},
      {"large, wrong CRC", {.name = "crc.txt", .data = text, .method = 8, .crc = Crc(text) ^ 1}, false},
      {"holds more than declared",
       {.name = "vise.txt", .data = text, .method = 8, .usize = int64_t(text.size() - 3 * kChunk - 5)},
       false},
      {"holds less than declared",
       {.name = "manje.txt", .data = text, .method = 8, .usize = int64_t(text.size() + 1)},
       false},
      {"compressed data cut short",
       {.name = "kratki.txt",
        .data = deflated.substr(0, deflated.size() / 2),
        .method = 8,
        .crc = Crc(text),
        .usize = int64_t(text.size()),
        .raw = true},
       false},
      {"corrupt in the middle",
       {.name = "losi.txt", .data = corrupt, .method = 8, .crc = Crc(text), .usize = int64_t(text.size()), .raw = true},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string archive = Archive({c.entry, {.name = "iza.txt", .data = "sljedeći unos", .method = 8}});
    for (bool test : {false, true}) {
      SCOPED_TRACE(test ? "test" : "extract");
      const Outcome one = SameOnEveryThreadCount(archive, test);
      EXPECT_EQ(one.done, c.extracted ? 2 : 1) << one.events;
      if (test) {
        EXPECT_TRUE(one.files.empty());
        continue;
      }
      // The entry whole, or nothing of it; the next entry whatever came before.
      std::string expected = c.entry.data;
      if (c.entry.raw) expected = text;
      EXPECT_EQ(one.files.count(c.entry.name), c.extracted ? 1u : 0u);
      if (c.extracted) {
        EXPECT_TRUE(one.files.at(c.entry.name) == expected);
      }
      EXPECT_EQ(one.files.count("iza.txt"), 1u);
    }
  }
}

TEST_F(UnzLibThreads, CancelStopsAtTheSameChunkAndLeavesNoFile) {
  const std::string text = Text(4 * kThreadedFrom, 9);
  const std::string archive = Archive({{.name = "veliki.txt", .data = text, .method = 8}});
  for (int cancelAt : {1, 2, 17, 64}) {
    SCOPED_TRACE(cancelAt);
    int progress = 0;
    const Outcome one = SameOnEveryThreadCount(archive, false, [&](ZipCallbackRec& rec) -> int32_t {
      if ((rec.Action & 0xFF) == ZIPCB_NEW_FILE) progress = 0;
      if ((rec.Action & 0xFF) == ZIPCB_PROGRESS && ++progress == cancelAt) return -1;
      return 0;
    });
    EXPECT_EQ(one.done, 0);
    EXPECT_TRUE(one.files.empty());
  }
}

// A disk that takes only part of the file: the write fails at the same chunk, the
// same message follows, and the partial file is gone.
TEST_F(UnzLibThreads, AFailedWriteEndsTheEntryAtTheSameChunk) {
  const std::string text = Text(4 * kThreadedFrom, 11);
  const std::string archive =
      Archive({{.name = "veliki.txt", .data = text, .method = 8}, {.name = "mali.txt", .data = "mali", .method = 8}});
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &old);
  rlimit before{};
  getrlimit(RLIMIT_FSIZE, &before);
  for (rlim_t limit : {rlim_t(kChunk / 2), rlim_t(2 * kThreadedFrom + 100)}) {
    SCOPED_TRACE(limit);
    rlimit small = before;
    small.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const Outcome one = SameOnEveryThreadCount(archive, false);
    setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_EQ(one.done, 1) << one.events;
    EXPECT_NE(one.events.find("cannot write: "), std::string::npos) << one.events;
    // Every chunk the disk took whole was reported, and none after.
    EXPECT_LE(one.reported, limit);
    EXPECT_GT(one.reported + kChunk, limit);
    EXPECT_EQ(one.files.count("veliki.txt"), 0u);
    EXPECT_EQ(one.files.count("mali.txt"), 1u);
  }
  sigaction(SIGXFSZ, &old, nullptr);
}
