#include "parallel_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace parallel_deflate {
namespace {

constexpr size_t kDictionary = 32768;  // deflate's window
constexpr unsigned kMaxThreads = 16;
constexpr size_t kMaxInFlight = 20;

// One block: its input, the input's last 32 KiB before it, and what it became.
struct Job {
  std::unique_ptr<uint8_t[]> input;
  size_t len = 0;
  uint8_t dict[kDictionary];
  size_t dictLen = 0;
  bool last = false;
  std::vector<uint8_t> output;
  uint32_t crc = 0;
  bool done = false;
  bool failed = false;
};

// A raw deflate stream, reset for each block.
class Deflater {
 public:
  explicit Deflater(int level) {
    ok_ = deflateInit2(&zs_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~Deflater() {
    if (ok_) deflateEnd(&zs_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Compresses job in pieces of kProgressPiece, looking at stop between them.
  // false when zlib failed or stop was seen.
  bool Compress(Job& job, const bool* stop, std::mutex* m) {
    if (!ok_ || deflateReset(&zs_) != Z_OK) return false;
    if (job.dictLen && deflateSetDictionary(&zs_, job.dict, static_cast<uInt>(job.dictLen)) != Z_OK) return false;
    job.crc = static_cast<uint32_t>(crc32(0, job.input.get(), static_cast<uInt>(job.len)));
    job.output.resize(deflateBound(&zs_, static_cast<uLong>(job.len)) + 16);
    size_t produced = 0;
    size_t at = 0;
    do {
      if (stop) {
        std::lock_guard<std::mutex> lock(*m);
        if (*stop) return false;
      }
      const size_t n = std::min(kProgressPiece, job.len - at);
      const bool end = at + n == job.len;
      const int flush = !end ? Z_NO_FLUSH : job.last ? Z_FINISH : Z_SYNC_FLUSH;
      zs_.next_in = job.input.get() + at;
      zs_.avail_in = static_cast<uInt>(n);
      int ret;
      do {
        if (produced == job.output.size()) job.output.resize(job.output.size() * 2);
        zs_.next_out = job.output.data() + produced;
        zs_.avail_out = static_cast<uInt>(job.output.size() - produced);
        ret = deflate(&zs_, flush);
        produced = job.output.size() - zs_.avail_out;
        if (ret == Z_STREAM_ERROR) return false;
      } while (zs_.avail_out == 0 || (flush == Z_FINISH && ret != Z_STREAM_END));
      at += n;
    } while (at < job.len);
    job.output.resize(produced);
    return true;
  }

 private:
  bool ok_ = false;
  z_stream zs_{};
};

// The worker threads and their queue. Its destructor stops and joins them all.
class Pool {
 public:
  Pool(unsigned threads, int level) : level_(level) {
    for (unsigned i = 0; i < threads; ++i) {
      try {
        workers_.emplace_back([this] { Work(); });
      } catch (...) {
        break;  // fewer threads; the calling thread covers for none at all
      }
    }
  }
  ~Pool() { Stop(); }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  bool Running() const { return !workers_.empty(); }
  void Submit(Job* job) {
    {
      std::lock_guard<std::mutex> lock(m_);
      queue_.push_back(job);
    }
    work_.notify_one();
  }
  // Waits until job is done (or failed).
  void Wait(Job* job) {
    std::unique_lock<std::mutex> lock(m_);
    done_.wait(lock, [&] { return job->done; });
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
      queue_.clear();
    }
    work_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
  }

 private:
  void Work() {
    std::unique_ptr<Deflater> z;
    try {
      z = std::make_unique<Deflater>(level_);
    } catch (...) {
    }
    while (true) {
      Job* job = nullptr;
      {
        std::unique_lock<std::mutex> lock(m_);
        work_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        job = queue_.front();
        queue_.pop_front();
      }
      bool ok = false;
      try {
        ok = z && z->Compress(*job, &stop_, &m_);
      } catch (...) {
        ok = false;
      }
      {
        std::lock_guard<std::mutex> lock(m_);
        job->failed = !ok;
        job->done = true;
      }
      done_.notify_all();
    }
  }

  int level_;
  std::mutex m_;
  std::condition_variable work_, done_;
  std::deque<Job*> queue_;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace

Result DeflateBlocks(const Io& io, int level, unsigned threads, size_t blockSize) {
  Result r;
  r.crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  level = std::clamp(level, 0, 9);
  blockSize = std::max<size_t>(kProgressPiece, (blockSize + kProgressPiece - 1) / kProgressPiece * kProgressPiece);
  // Memory stays flat whatever the thread count asks for: each worker holds a
  // compressor's state, each block in flight its input and output.
  threads = std::clamp(threads, 1u, kMaxThreads);
  // Blocks read ahead of the one being written: enough to keep every thread busy.
  const size_t window = threads == 1 ? 1 : std::min<size_t>(2 * size_t(threads), kMaxInFlight);

  // The blocks outlive the pool: on every way out the workers are joined before
  // anything they might still touch is freed.
  std::deque<std::unique_ptr<Job>> inFlight;  // in stream order
  std::unique_ptr<Job> pending;               // read, not yet known to be the last
  std::unique_ptr<Pool> pool;
  std::unique_ptr<Deflater> here;
  try {
    if (threads > 1) pool = std::make_unique<Pool>(threads, level);
    if (!pool || !pool->Running()) here = std::make_unique<Deflater>(level);
  } catch (const std::bad_alloc&) {
    r.status = Status::kNoMemory;
    return r;
  }
  uint8_t tail[kDictionary];
  size_t tailLen = 0;
  bool readDone = false;

  // Reads the next block; nullptr with r.status set on a failure.
  auto readJob = [&]() -> std::unique_ptr<Job> {
    auto job = std::make_unique<Job>();
    job->input.reset(new uint8_t[blockSize]);
    std::memcpy(job->dict, tail, tailLen);
    job->dictLen = tailLen;
    while (job->len < blockSize) {
      const ssize_t n = io.read(job->input.get() + job->len, blockSize - job->len);
      if (n < 0) {
        r.status = Status::kReadFailed;
        return nullptr;
      }
      if (n == 0) break;
      job->len += static_cast<size_t>(n);
    }
    if (job->len >= kDictionary) {
      std::memcpy(tail, job->input.get() + job->len - kDictionary, kDictionary);
      tailLen = kDictionary;
    } else if (job->len) {
      // Only the last block can be short; what it leaves is never used.
      tailLen = 0;
    }
    r.in += job->len;
    return job;
  };
  auto dispatch = [&](std::unique_ptr<Job> job) {
    Job* j = job.get();
    inFlight.push_back(std::move(job));
    if (pool && pool->Running()) {
      pool->Submit(j);
      return;
    }
    j->failed = !here->Compress(*j, nullptr, nullptr);
    j->done = true;
  };

  try {
    while (true) {
      // Keep the threads fed.
      while (!readDone && inFlight.size() < window) {
        std::unique_ptr<Job> next = readJob();
        if (!next) return r;  // the pool's destructor stops the workers
        if (!pending) {
          if (next->len < blockSize) {
            next->last = true;
            readDone = true;
            dispatch(std::move(next));
          } else {
            pending = std::move(next);
          }
          continue;
        }
        if (next->len == 0) {
          pending->last = true;
          readDone = true;
          dispatch(std::move(pending));
          continue;
        }
        dispatch(std::move(pending));
        pending = std::move(next);
        if (pending->len < blockSize) {
          pending->last = true;
          readDone = true;
          dispatch(std::move(pending));
        }
      }
      if (inFlight.empty()) break;

      // Write the oldest block once it is done, then report its input.
      Job* front = inFlight.front().get();
      if (pool && pool->Running()) pool->Wait(front);
      if (front->failed) {
        r.status = Status::kNoMemory;
        return r;
      }
      if (!front->output.empty() && !io.write(front->output.data(), front->output.size())) {
        r.status = Status::kWriteFailed;
        return r;
      }
      r.out += front->output.size();
      r.crc = static_cast<uint32_t>(crc32_combine(r.crc, front->crc, static_cast<z_off_t>(front->len)));
      const size_t len = front->len;
      inFlight.pop_front();
      for (size_t at = 0; at < len; at += kProgressPiece) {
        if (io.progress && !io.progress(std::min(kProgressPiece, len - at))) {
          r.status = Status::kStopped;
          return r;
        }
      }
    }
  } catch (const std::bad_alloc&) {
    r.status = Status::kNoMemory;
  }
  return r;
}

}  // namespace parallel_deflate
