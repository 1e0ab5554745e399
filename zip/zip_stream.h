#pragma once
// The component's memory stream: its own growable block, or a block of the
// caller's that it reads and writes in place (never copied, never freed).
#include <cstddef>
#include <cstdint>
#include <vector>

class TZipStream {
 public:
  TZipStream() { Clear(); }
  TZipStream(const TZipStream&) = delete;
  TZipStream& operator=(const TZipStream&) = delete;

  // Back to an empty stream of its own memory.
  void Clear();
  // New size; the position stays unless it lies beyond the end. An attached block
  // that is too small is left for memory of the stream's own (its bytes copied).
  // Throws std::bad_alloc when the memory cannot be had.
  void SetSize(size_t size);
  size_t Size() const { return size_; }
  size_t Position() const { return position_; }
  // Moves to an offset from the start (clamped to the size); returns it.
  size_t Seek(size_t offset);
  // The bytes read or written; writing past the end grows the stream.
  size_t Read(void* buffer, size_t count);
  size_t Write(const void* buffer, size_t count);
  uint8_t* Memory() { return data_; }
  const uint8_t* Memory() const { return data_; }

  // Works on the caller's block from now on; the position goes to 0.
  void AttachMemory(void* address, size_t size);
  bool Attached() const { return attached_; }

 private:
  std::vector<uint8_t> own_;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t position_ = 0;
  bool attached_ = false;
};
