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

// One call of DeflateBlocks: the blocks read, in flight and written. The blocks
// outlive the pool (declared first): on every way out the workers are joined
// before anything they might still touch is freed.
class Stream {
 public:
  Stream(const Io& io, size_t blockSize, Result& r) : io_(io), blockSize_(blockSize), r_(r) {}

  // The compressors: a pool for threads > 1, else (or when no thread starts)
  // one on the calling thread.
  void Start(unsigned threads, int level) {
    if (threads > 1) pool_ = std::make_unique<Pool>(threads, level);
    if (!pool_ || !pool_->Running()) here_ = std::make_unique<Deflater>(level);
  }
  // Reads and hands out blocks until window are in flight or the input ends;
  // false with r_.status set on a read failure.
  bool Fill(size_t window);
  bool Empty() const { return inFlight_.empty(); }
  // Writes the oldest block once it is done and reports its input; false with
  // r_.status set when the stream stops.
  bool WriteFront();

 private:
  std::unique_ptr<Job> ReadJob();
  void Dispatch(std::unique_ptr<Job> job);
  // job is the last block of the input.
  void Finish(std::unique_ptr<Job> job) {
    job->last = true;
    readDone_ = true;
    Dispatch(std::move(job));
  }

  const Io& io_;
  const size_t blockSize_;
  Result& r_;
  std::deque<std::unique_ptr<Job>> inFlight_;  // in stream order
  std::unique_ptr<Job> pending_;               // read, not yet known to be the last
  std::unique_ptr<Pool> pool_;
  std::unique_ptr<Deflater> here_;
  uint8_t tail_[kDictionary];
  size_t tailLen_ = 0;
  bool readDone_ = false;
};

std::unique_ptr<Job> Stream::ReadJob() {
  auto job = std::make_unique<Job>();
  job->input.reset(new uint8_t[blockSize_]);
  std::memcpy(job->dict, tail_, tailLen_);
  job->dictLen = tailLen_;
  while (job->len < blockSize_) {
    const ssize_t n = io_.read(job->input.get() + job->len, blockSize_ - job->len);
    if (n < 0) {
      r_.status = Status::kReadFailed;
      return nullptr;
    }
    if (n == 0) break;
    job->len += static_cast<size_t>(n);
  }
  if (job->len >= kDictionary) {
    std::memcpy(tail_, job->input.get() + job->len - kDictionary, kDictionary);
    tailLen_ = kDictionary;
  } else if (job->len) {
    // Only the last block can be short; what it leaves is never used.
    tailLen_ = 0;
  }
  r_.in += job->len;
  return job;
}

void Stream::Dispatch(std::unique_ptr<Job> job) {
  Job* j = job.get();
  inFlight_.push_back(std::move(job));
  if (pool_ && pool_->Running()) {
    pool_->Submit(j);
    return;
  }
  j->failed = !here_->Compress(*j, nullptr, nullptr);
  j->done = true;
}

bool Stream::Fill(size_t window) {
  while (!readDone_ && inFlight_.size() < window) {
    std::unique_ptr<Job> next = ReadJob();
    if (!next) return false;  // the pool's destructor stops the workers
    if (!pending_) {
      if (next->len < blockSize_)
        Finish(std::move(next));
      else
        pending_ = std::move(next);
      continue;
    }
    if (next->len == 0) {
      Finish(std::move(pending_));
      continue;
    }
    Dispatch(std::move(pending_));
    pending_ = std::move(next);
    if (pending_->len < blockSize_) Finish(std::move(pending_));
  }
  return true;
}

bool Stream::WriteFront() {
  Job* front = inFlight_.front().get();
  if (pool_ && pool_->Running()) pool_->Wait(front);
  if (front->failed) {
    r_.status = Status::kNoMemory;
    return false;
  }
  if (!front->output.empty() && !io_.write(front->output.data(), front->output.size())) {
    r_.status = Status::kWriteFailed;
    return false;
  }
  r_.out += front->output.size();
  r_.crc = static_cast<uint32_t>(crc32_combine(r_.crc, front->crc, static_cast<z_off_t>(front->len)));
  const size_t len = front->len;
  inFlight_.pop_front();
  for (size_t at = 0; at < len; at += kProgressPiece) {
    if (io_.progress && !io_.progress(std::min(kProgressPiece, len - at))) {
      r_.status = Status::kStopped;
      return false;
    }
  }
  return true;
}

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
  try {
    Stream stream(io, blockSize, r);
    try {
      stream.Start(threads, level);
    } catch (const std::bad_alloc&) {
      r.status = Status::kNoMemory;
      return r;
    }
    while (stream.Fill(window) && !stream.Empty())
      if (!stream.WriteFront()) break;
  } catch (const std::bad_alloc&) {
    r.status = Status::kNoMemory;
  }
  return r;
}

}  // namespace parallel_deflate
