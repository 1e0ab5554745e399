// The block-parallel deflate stream on its own: the same bytes for any thread
// count, one valid raw deflate stream that inflates to the input, the CRC of the
// whole, the caller's hooks only on the calling thread, and a stop that leaves no
// thread running.
#include "outside/ziplib/parallel_deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "outside_test_support.h"

namespace pd = parallel_deflate;
using Bytes = std::vector<uint8_t>;
using namespace outsidetest;

namespace {

constexpr size_t kBlock = 65536;  // the smallest block: many blocks from small inputs

struct Outcome {
  pd::Result result;
  Bytes stream;
  std::vector<size_t> progress;
  bool otherThread = false;  // a hook ran on another thread
};

// The stream of input, read in reads of readCut bytes at most.
Outcome Deflate(const Bytes& input, int level, unsigned threads, size_t readCut = 1 << 30,
                std::function<bool(size_t calls)> progressAnswer = nullptr) {
  Outcome run;
  const std::thread::id caller = std::this_thread::get_id();
  size_t at = 0;
  pd::Io io;
  io.read = [&](uint8_t* p, size_t n) -> ssize_t {
    run.otherThread |= std::this_thread::get_id() != caller;
    n = std::min({n, input.size() - at, readCut});
    std::memcpy(p, input.data() + at, n);
    at += n;
    return static_cast<ssize_t>(n);
  };
  io.write = [&](uint8_t* p, size_t n) {
    run.otherThread |= std::this_thread::get_id() != caller;
    run.stream.insert(run.stream.end(), p, p + n);
    return true;
  };
  io.progress = [&](size_t n) {
    run.otherThread |= std::this_thread::get_id() != caller;
    run.progress.push_back(n);
    return progressAnswer ? progressAnswer(run.progress.size()) : true;
  };
  run.result = pd::DeflateBlocks(io, level, threads, kBlock);
  return run;
}

// Inflates a raw stream that must end exactly at its last byte.
bool Inflate(const Bytes& stream, Bytes& out) {
  z_stream zs{};
  if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return false;
  out.clear();
  zs.next_in = const_cast<uint8_t*>(stream.data());
  zs.avail_in = static_cast<uInt>(stream.size());
  uint8_t buf[65536];
  int ret;
  do {
    zs.next_out = buf;
    zs.avail_out = sizeof buf;
    ret = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - zs.avail_out));
  } while (ret == Z_OK);
  const bool ok = ret == Z_STREAM_END && zs.avail_in == 0;
  inflateEnd(&zs);
  return ok;
}

}  // namespace

TEST(ParallelDeflate, SameStreamForEveryThreadCountAndItInflatesToTheInput) {
  struct Case {
    const char* what;
    size_t size;
    bool random;
    int level;
  };
  const Case cases[] = {
      {"empty", 0, false, 9},
      {"one byte", 1, false, 9},
      {"a block less one", kBlock - 1, false, 9},
      {"a block", kBlock, false, 9},
      {"a block and one", kBlock + 1, false, 9},
      {"many blocks and a bit", 37 * kBlock + 4321, false, 9},
      {"exactly many blocks", 20 * kBlock, false, 6},
      {"random data", 5 * kBlock + 17, true, 9},
      {"fastest level", 9 * kBlock + 3, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes input = c.random ? Random<Bytes>(c.size, 5) : Text<Bytes>(c.size, 3);
    const Outcome one = Deflate(input, c.level, 1);
    ASSERT_EQ(one.result.status, pd::Status::kOk);
    EXPECT_EQ(one.result.in, input.size());
    EXPECT_EQ(one.result.out, one.stream.size());
    EXPECT_EQ(one.result.crc, crc32(crc32(0, nullptr, 0), input.data(), static_cast<uInt>(input.size())));
    Bytes back;
    ASSERT_TRUE(Inflate(one.stream, back));
    EXPECT_TRUE(back == input);
    if (!c.random && c.size > 4 * kBlock) {
      EXPECT_LT(one.stream.size(), input.size() / 3);
    }

    // The progress pieces: the whole input, in order, none above 64 KiB.
    size_t sum = 0;
    for (size_t n : one.progress) {
      EXPECT_GT(n, 0u);
      EXPECT_LE(n, pd::kProgressPiece);
      sum += n;
    }
    EXPECT_EQ(sum, input.size());
    EXPECT_FALSE(one.otherThread);

    for (unsigned threads : {2u, 3u, 8u, 40u}) {  // 40: more than are ever started
      SCOPED_TRACE(threads);
      // Short reads as a pipe gives them must not change a byte either.
      const Outcome many = Deflate(input, c.level, threads, 10007);
      ASSERT_EQ(many.result.status, pd::Status::kOk);
      EXPECT_TRUE(many.stream == one.stream);
      EXPECT_EQ(many.result.crc, one.result.crc);
      EXPECT_EQ(many.progress, one.progress);
      EXPECT_FALSE(many.otherThread);
    }
  }
}

TEST(ParallelDeflate, EachBlockIsPrimedWithTheInputBeforeIt) {
  // A block that begins with the last 16 KiB of the one before costs almost
  // nothing for them only when the earlier input is its dictionary.
  const Bytes first = Random<Bytes>(kBlock, 11);
  Bytes input = first;
  input.insert(input.end(), first.end() - 16384, first.end());
  const Bytes rest = Random<Bytes>(kBlock - 16384, 12);
  input.insert(input.end(), rest.begin(), rest.end());
  const Outcome run = Deflate(input, 9, 4);
  ASSERT_EQ(run.result.status, pd::Status::kOk);
  EXPECT_LT(run.stream.size(), kBlock + (kBlock - 16384) + 1024);
  Bytes back;
  ASSERT_TRUE(Inflate(run.stream, back));
  EXPECT_TRUE(back == input);
}

TEST(ParallelDeflate, StopAndFailuresEndEveryWorker) {
  const Bytes input = Text<Bytes>(64 * kBlock, 9);
  // A first thread may start helpers of the runtime (a sanitizer's) that stay.
  std::thread([] {}).join();
  const size_t before = CountTasks();
  struct Case {
    const char* what;
    size_t stopAt;  // progress call that answers false; 0: none
    bool readFails, writeFails;
    pd::Status expected;
  };
  const Case cases[] = {
      {"stop at the first piece", 1, false, false, pd::Status::kStopped},
      {"stop midway", 20, false, false, pd::Status::kStopped},
      {"read error", 0, true, false, pd::Status::kReadFailed},
      {"write error", 0, false, true, pd::Status::kWriteFailed},
  };
  for (const Case& c : cases) {
    for (unsigned threads : {1u, 8u}) {
      SCOPED_TRACE(std::string(c.what) + ", threads " + std::to_string(threads));
      size_t at = 0, progressCalls = 0, writes = 0;
      pd::Io io;
      io.read = [&](uint8_t* p, size_t n) -> ssize_t {
        if (c.readFails && at >= 10 * kBlock) return -1;
        n = std::min(n, input.size() - at);
        std::memcpy(p, input.data() + at, n);
        at += n;
        return static_cast<ssize_t>(n);
      };
      io.write = [&](uint8_t*, size_t) { return !(c.writeFails && ++writes >= 3); };
      io.progress = [&](size_t) { return ++progressCalls != c.stopAt; };
      const pd::Result r = pd::DeflateBlocks(io, 9, threads, kBlock);
      EXPECT_EQ(r.status, c.expected);
      if (c.stopAt) {
        EXPECT_EQ(progressCalls, c.stopAt);  // nothing after the answer
      }
      // Reading stops at a few blocks per thread ahead of what is written.
      if (c.stopAt == 1) {
        EXPECT_LE(at, (2 * threads + 2) * kBlock);
      }
      EXPECT_EQ(ThreadsOfProcess(before), before);
    }
  }
}
