#pragma once
// A raw deflate stream of a whole input, compressed in independent blocks that
// several threads can work on at once.
//
// The input is cut into blocks of a fixed size. Each block is compressed on its
// own, primed with the last 32 KiB of the input before it as its dictionary, and
// ended with a sync flush (an empty stored block), which leaves the stream on a
// byte boundary; only the last block carries the final-block bit. Joined in order
// the blocks are one valid raw deflate stream. Which bytes come out depends only on
// the input, the level and the block size: never on the thread count or the
// timing, so the same input always gives the same stream.
//
// Everything that talks to the caller (read, write, progress) runs on the calling
// thread, inside DeflateBlocks; the workers only compress. A progress answer of
// false stops the workers, and every worker has ended when DeflateBlocks returns.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace parallel_deflate {

// The block size of the stream; part of what decides its bytes.
inline constexpr size_t kBlockSize = size_t(512) << 10;
// The input is handed to progress in pieces of at most this many bytes.
inline constexpr size_t kProgressPiece = 65536;

struct Io {
  // Up to n bytes of input into p: the count, 0 at the end, -1 on a read error.
  std::function<ssize_t(uint8_t* p, size_t n)> read;
  // The next bytes of the stream; false stops with kWriteFailed. The bytes are
  // the caller's to change in place (an encryption over the stream).
  std::function<bool(uint8_t* p, size_t n)> write;
  // Called with each piece of the input (in order, at most kProgressPiece bytes)
  // once its compressed bytes are written; false stops with kStopped. May be empty.
  std::function<bool(size_t n)> progress;
};

enum class Status { kOk, kReadFailed, kWriteFailed, kStopped, kNoMemory };

struct Result {
  Status status = Status::kOk;
  uint32_t crc = 0;  // CRC-32 of the input read
  uint64_t in = 0;   // input bytes read
  uint64_t out = 0;  // stream bytes written
};

// Compresses everything io.read gives at level (0 to 9) with up to threads
// threads, at most 16 (1: the calling thread alone). At most 20 blocks are in
// memory at once: with the default block size about 30 MiB at the most, whatever
// the input's size. blockSize is for tests; it is rounded up to a multiple of
// kProgressPiece.
Result DeflateBlocks(const Io& io, int level, unsigned threads, size_t blockSize = kBlockSize);

}  // namespace parallel_deflate
