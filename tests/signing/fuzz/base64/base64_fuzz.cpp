// Fuzz entry for the Base64 codec of the containers. Any input is decoded as
// text and encoded as bytes:
//  - decoding gives the same bytes in one chunk, in chunks cut anywhere, through
//    the stream routine with short reads, and by a plain one-character-at-a-time
//    reading of the rule (skip every byte outside the alphabet, flush 1 or 2 bytes
//    from an incomplete last group);
//  - encoding gives the line layout exactly (64 characters a line, CR LF between
//    lines, the extra CR LF after a non-zero multiple of 2304 bytes), the same text
//    as a plain encoder, and decodes back to the input.
// The buffer routines get the input buffer itself, so a read past it is caught.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "signing/base64.h"

using fuzzsupport::Require;

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Value(uint8_t c) {
  const char* p = c ? std::strchr(kAlphabet, c) : nullptr;
  return p ? int(p - kAlphabet) : -1;
}

std::string PlainDecode(const uint8_t* data, size_t size) {
  std::string out;
  uint32_t acc = 0, have = 0;
  for (size_t i = 0; i < size; ++i) {
    int v = Value(data[i]);
    if (v < 0) continue;
    acc = acc << 6 | uint32_t(v);
    if (++have == 4) {
      out += char(acc >> 16);
      out += char(acc >> 8);
      out += char(acc);
      acc = have = 0;
    }
  }
  if (have == 3) {
    out += char(acc >> 10);
    out += char(acc >> 2);
  } else if (have == 2) {
    out += char(acc >> 4);
  }
  return out;
}

std::string PlainEncode(const uint8_t* data, size_t size) {
  std::string out;
  for (size_t i = 0; i < size; i += 3) {
    if (i > 0 && i % 48 == 0) out += "\r\n";
    uint32_t v = uint32_t(data[i]) << 16;
    if (i + 1 < size) v |= uint32_t(data[i + 1]) << 8;
    if (i + 2 < size) v |= data[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < size ? kAlphabet[v & 63] : '=';
  }
  if (size > 0 && size % 2304 == 0) out += "\r\n";
  return out;
}

// Hands out at most a few bytes per read, cut by the input itself.
class ChoppySource : public ByteSource {
 public:
  ChoppySource(const uint8_t* data, size_t size, size_t step) : data_(data), size_(size), step_(step) {}
  size_t Read(void* buffer, size_t max) override {
    size_t n = std::min({max, size_ - pos_, step_});
    if (n) std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  const uint8_t* data_;
  size_t size_, pos_ = 0, step_;
};

class StringSink : public ByteSink {
 public:
  void Write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
  std::string out;
};

std::string DecodeInChunks(const uint8_t* data, size_t size, size_t cut) {
  std::string out;
  uint32_t missing = 4, acc = 0;
  size_t at = 0;
  while (at < size) {
    const size_t k = std::min(cut, size - at);
    // Exactly the room the routine asks for, on the heap, so an overrun shows.
    std::vector<char> buf((k + 3) / 4 * 3 + 1);
    const size_t got = Base64DecodeChunk(reinterpret_cast<const char*>(data + at), k, buf.data(), missing, acc);
    Require(got <= (k + 3) / 4 * 3 && missing >= 1 && missing <= 4);
    out.append(buf.data(), got);
    at += k;
  }
  char tail[2];
  const size_t got = Base64DecodeFlush(tail, acc, missing);
  Require(got <= 2);
  out.append(tail, got);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // --- decoding ---
  const std::string expected = PlainDecode(data, size);
  Require(DecodeInChunks(data, size, size ? size : 1) == expected);
  const size_t cut = size ? 1 + data[0] % 7 : 1;
  Require(DecodeInChunks(data, size, cut) == expected);
  {
    ChoppySource src(data, size, 1 + (size ? data[size - 1] : 0) % 97);
    StringSink sink;
    MimeDecodeStream(src, sink);
    Require(sink.out == expected);
  }

  // --- encoding the input as bytes ---
  const std::string plain = PlainEncode(data, size);
  {
    MemorySource src(data, size);
    StringSink sink;
    MimeEncodeStream(src, sink);
    Require(sink.out == plain);
    ChoppySource choppy(data, size, 1 + size % 13);
    StringSink again;
    MimeEncodeStream(choppy, again);
    Require(again.out == plain);
  }
  const size_t lines = size / 48;
  if (lines > 0) {
    std::vector<char> out(lines * 66);
    Base64EncodeLines(data, size, out.data());
    for (size_t l = 0; l < lines; ++l) {
      Require(std::memcmp(out.data() + l * 66, plain.data() + l * 66, 64) == 0);
      Require(out[l * 66 + 64] == '\r' && out[l * 66 + 65] == '\n');
    }
  }
  {
    std::vector<char> out((size + 2) / 3 * 4 + 1);
    Base64EncodeRest(data, size, out.data());
    Require(PlainDecode(reinterpret_cast<const uint8_t*>(out.data()), (size + 2) / 3 * 4) ==
            std::string(reinterpret_cast<const char*>(data), size));
  }
  Require(Base64EncodedLength(size) + (size > 0 && size % 2304 == 0 ? 2 : 0) == plain.size());
  Require(PlainDecode(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()) ==
          std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
