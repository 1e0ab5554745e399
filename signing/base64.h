#pragma once
// Base64 as the containers carry it: the standard alphabet, "=" padding, lines
// of 64 characters (48 input bytes) separated by CR LF, no CR LF after the last
// line, except when the input is a non-zero multiple of 2304 bytes: then the
// text ends with the CR LF of its last full block.
//
// Decoding skips every byte outside the alphabet, "=" included, wherever it
// stands, so line breaks, blanks and padding in odd places do no harm.
#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

class QIODevice;

// --- buffer routines (the caller provides the output space) -------------------

// Characters of all lines plus one CR LF between lines, none after the last:
// (n + 2) / 3 * 4 + (n - 1) / 48 * 2, and 0 for n = 0.
size_t Base64EncodedLength(size_t n);

// Encodes the n / 48 whole 48-byte groups of the input, each into 64 characters
// followed by CR LF: writes n / 48 * 66 bytes (nothing when n < 48).
void Base64EncodeLines(const void* input, size_t n, char* output);

// Encodes n bytes with no line breaks, padding the last group with "=":
// writes (n + 2) / 3 * 4 bytes.
void Base64EncodeRest(const void* input, size_t n, char* output);

// The length of the leading run of d[0, n) that a container's Base64 payload may
// hold (the alphabet, "=", CR and LF), adding the alphabet symbols in it to
// *symbols when given. Large payloads are scanned with it, sixteen bytes at a time
// where the processor allows.
size_t Base64TextRun(const uint8_t* d, size_t n, uint64_t* symbols = nullptr);

// Decodes text as a continuation of the state (missing: characters still needed
// to complete the current group of four, starting at 4; accumulator: the bits
// gathered so far, starting at 0) and leaves the new state in the two variables.
// Returns the number of bytes written; output needs room for
// (length + 3) / 4 * 3 bytes.
size_t Base64DecodeChunk(const char* input, size_t length, void* output, uint32_t& missing, uint32_t& accumulator);

// Writes what an incomplete last group holds: 2 bytes when one character is
// missing, 1 byte when two are, nothing otherwise. Returns the count.
size_t Base64DecodeFlush(void* output, uint32_t accumulator, uint32_t missing);

// --- streams ------------------------------------------------------------------

class EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class EReadError : public EStreamError {
 public:
  EReadError() : EStreamError("Stream read error") {}
};
class EWriteError : public EStreamError {
 public:
  EWriteError() : EStreamError("Stream write error") {}
};

// Where the stream routines read. Read returns 0 only at the end; it may return
// fewer bytes than asked before that. A failing read throws (EReadError).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual size_t Read(void* buffer, size_t max) = 0;
};

// Where the stream routines write. Write takes all the bytes or throws
// (EWriteError): a short write is never passed over.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void Write(const void* data, size_t size) = 0;
};

// Reads or writes a QIODevice at its current position.
class QIODeviceSource : public ByteSource {
 public:
  explicit QIODeviceSource(QIODevice& device) : device_(device) {}
  size_t Read(void* buffer, size_t max) override;
  // errno of the read that failed (0 before one did, or when the device set none).
  int SystemError() const { return systemError_; }

 private:
  QIODevice& device_;
  int systemError_ = 0;
};

class QIODeviceSink : public ByteSink {
 public:
  explicit QIODeviceSink(QIODevice& device) : device_(device) {}
  void Write(const void* data, size_t size) override;

 private:
  QIODevice& device_;
};

// Reads a block of memory that outlives the source.
class MemorySource : public ByteSource {
 public:
  MemorySource(const void* data, size_t size) : data_(static_cast<const char*>(data)), size_(size) {}
  explicit MemorySource(const QByteArray& data) : MemorySource(data.constData(), static_cast<size_t>(data.size())) {}
  explicit MemorySource(const std::string& data) : MemorySource(data.data(), data.size()) {}
  // The source keeps no copy: a temporary would be gone before the first read.
  explicit MemorySource(QByteArray&&) = delete;
  explicit MemorySource(std::string&&) = delete;
  size_t Read(void* buffer, size_t max) override;

 private:
  const char* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Appends to a QByteArray.
class ByteArraySink : public ByteSink {
 public:
  explicit ByteArraySink(QByteArray& out) : out_(out) {}
  void Write(const void* data, size_t size) override;

 private:
  QByteArray& out_;
};

// Hands every block to a function (a digest, a counter).
class FunctionSink : public ByteSink {
 public:
  explicit FunctionSink(std::function<void(const char*, size_t)> f) : f_(std::move(f)) {}
  void Write(const void* data, size_t size) override { f_(static_cast<const char*>(data), size); }

 private:
  std::function<void(const char*, size_t)> f_;
};

// Writes every block to two sinks, first to first: a digest and a file at once.
class TeeSink : public ByteSink {
 public:
  TeeSink(ByteSink& first, ByteSink& second) : first_(first), second_(second) {}
  void Write(const void* data, size_t size) override {
    first_.Write(data, size);
    second_.Write(data, size);
  }

 private:
  ByteSink& first_;
  ByteSink& second_;
};

// Base64 text of all remaining bytes of the source, in blocks of 2304 input bytes
// (3168 bytes of text). The line layout depends only on the total length, not on
// how the source hands out its bytes. Failures of either stream pass to the
// caller, with what was written so far left in place.
void MimeEncodeStream(ByteSource& source, ByteSink& destination);

// The bytes of all remaining Base64 text of the source.
void MimeDecodeStream(ByteSource& source, ByteSink& destination);
