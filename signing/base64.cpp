#include "signing/base64.h"

#include <QIODevice>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint32_t kSkip = 255;

constexpr size_t kLineInput = 48;
constexpr size_t kLineOutput = 66;  // 64 characters and CR LF
constexpr size_t kBlockInput = 2304;
constexpr size_t kBlockOutput = 3168;

// Every byte's value: 0..63 for the alphabet, kSkip for anything else ("=" too).
constexpr std::array<uint32_t, 256> MakeDecodeTable() {
  std::array<uint32_t, 256> t{};
  for (auto& v : t) v = kSkip;
  for (uint32_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = i;
  return t;
}
constexpr std::array<uint32_t, 256> kDecode = MakeDecodeTable();

// The same values already shifted into their place in a group of four, with the
// top bit set for a skipped byte, so a whole group is tested with one OR.
constexpr uint32_t kBad = 0x80000000u;
constexpr std::array<uint32_t, 256> MakeShifted(int shift) {
  std::array<uint32_t, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = kDecode[c] == kSkip ? kBad : kDecode[c] << shift;
  return t;
}
constexpr std::array<uint32_t, 256> kDec0 = MakeShifted(18);
constexpr std::array<uint32_t, 256> kDec1 = MakeShifted(12);
constexpr std::array<uint32_t, 256> kDec2 = MakeShifted(6);
constexpr std::array<uint32_t, 256> kDec3 = MakeShifted(0);

// Two characters for every 12-bit value, first character in the low byte: one
// look-up per pair of characters.
constexpr std::array<uint16_t, 4096> MakePairs() {
  std::array<uint16_t, 4096> t{};
  for (uint32_t v = 0; v < 4096; ++v)
    t[v] = static_cast<uint16_t>(static_cast<unsigned char>(kAlphabet[v >> 6]) |
                                 static_cast<unsigned char>(kAlphabet[v & 63]) << 8);
  return t;
}
constexpr std::array<uint16_t, 4096> kPairs = MakePairs();

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the pair table assumes little-endian stores");

// Six input bytes (48 bits) into eight characters.
inline void Encode6(uint64_t v, char* out) {
  uint64_t w = static_cast<uint64_t>(kPairs[(v >> 36) & 0xFFF]) |
               static_cast<uint64_t>(kPairs[(v >> 24) & 0xFFF]) << 16 |
               static_cast<uint64_t>(kPairs[(v >> 12) & 0xFFF]) << 32 | static_cast<uint64_t>(kPairs[v & 0xFFF]) << 48;
  std::memcpy(out, &w, 8);
}

inline uint64_t Load48(const unsigned char* p) {
  return static_cast<uint64_t>(p[0]) << 40 | static_cast<uint64_t>(p[1]) << 32 | static_cast<uint64_t>(p[2]) << 24 |
         static_cast<uint64_t>(p[3]) << 16 | static_cast<uint64_t>(p[4]) << 8 | static_cast<uint64_t>(p[5]);
}

// Loads 8 bytes and keeps the first 6: only where 8 bytes are readable.
inline uint64_t Load48Wide(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v) >> 16;
}

inline void EncodeGroup(const unsigned char* p, char* out) {
  uint32_t v = static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
  out[0] = kAlphabet[v >> 18];
  out[1] = kAlphabet[(v >> 12) & 63];
  out[2] = kAlphabet[(v >> 6) & 63];
  out[3] = kAlphabet[v & 63];
}

// Fills the buffer as far as the source goes: the block layout must depend on
// the total length only, never on how many bytes one read happened to return.
size_t ReadFull(ByteSource& source, void* buffer, size_t size) {
  auto* p = static_cast<char*>(buffer);
  size_t got = 0;
  while (got < size) {
    size_t n = source.Read(p + got, size - got);
    if (n == 0) break;
    got += n;
  }
  return got;
}

// 1: Base64 alphabet, 2: "=", CR, LF. Nothing else may stand in a payload.
constexpr std::array<uint8_t, 256> MakePayloadTable() {
  std::array<uint8_t, 256> t{};
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = 1;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = 1;
  for (int c = '0'; c <= '9'; ++c) t[c] = 1;
  t['+'] = t['/'] = 1;
  t['='] = t['\r'] = t['\n'] = 2;
  return t;
}
constexpr std::array<uint8_t, 256> kPayloadByte = MakePayloadTable();

}  // namespace

size_t Base64TextRun(const uint8_t* d, size_t n, uint64_t* symbols) {
  uint64_t counted = 0;
  size_t k = 0;
#if defined(__SSE2__)
  auto range = [](__m128i c, char lo, char hi) {
    const __m128i t = _mm_sub_epi8(c, _mm_set1_epi8(lo));
    const __m128i top = _mm_set1_epi8(char(hi - lo));
    return _mm_cmpeq_epi8(_mm_min_epu8(t, top), t);
  };
  auto is = [](__m128i c, char v) { return _mm_cmpeq_epi8(c, _mm_set1_epi8(v)); };
  // Symbols are summed as bytes of 1, eight to a 64-bit lane.
  const __m128i one = _mm_set1_epi8(1), zero = _mm_setzero_si128();
  __m128i count = zero;
  while (k + 16 <= n) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + k));
    const __m128i sym = _mm_or_si128(_mm_or_si128(range(c, 'A', 'Z'), range(c, 'a', 'z')),
                                     _mm_or_si128(range(c, '0', '9'), _mm_or_si128(is(c, '+'), is(c, '/'))));
    const __m128i other = _mm_or_si128(is(c, '='), _mm_or_si128(is(c, '\r'), is(c, '\n')));
    if (_mm_movemask_epi8(_mm_or_si128(sym, other)) != 0xFFFF) break;
    count = _mm_add_epi64(count, _mm_sad_epu8(_mm_and_si128(sym, one), zero));
    k += 16;
  }
  alignas(16) uint64_t lanes[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), count);
  counted += lanes[0] + lanes[1];
#endif
  while (k < n && kPayloadByte[d[k]]) {
    counted += kPayloadByte[d[k]] & 1;
    ++k;
  }
  if (symbols) *symbols += counted;
  return k;
}

size_t Base64EncodedLength(size_t n) {
  if (n == 0) return 0;
  return (n + 2) / 3 * 4 + (n - 1) / kLineInput * 2;
}

void Base64EncodeLines(const void* input, size_t n, char* output) {
  const auto* in = static_cast<const unsigned char*>(input);
  const size_t lines = n / kLineInput;
  for (size_t line = 0; line < lines; ++line) {
    const unsigned char* p = in + line * kLineInput;
    char* out = output + line * kLineOutput;
    for (size_t g = 0; g < 7; ++g) Encode6(Load48Wide(p + g * 6), out + g * 8);
    // The last six bytes of a line: 8 may be read only when the input goes on.
    const size_t lastOffset = line * kLineInput + 42;
    Encode6(lastOffset + 8 <= n ? Load48Wide(p + 42) : Load48(p + 42), out + 56);
    out[64] = '\r';
    out[65] = '\n';
  }
}

void Base64EncodeRest(const void* input, size_t n, char* output) {
  const auto* in = static_cast<const unsigned char*>(input);
  size_t i = 0;
  for (; i + 3 <= n; i += 3, output += 4) EncodeGroup(in + i, output);
  if (n - i == 1) {
    uint32_t v = static_cast<uint32_t>(in[i]) << 4;
    output[0] = kAlphabet[v >> 6];
    output[1] = kAlphabet[v & 63];
    output[2] = '=';
    output[3] = '=';
  } else if (n - i == 2) {
    uint32_t v = (static_cast<uint32_t>(in[i]) << 8 | in[i + 1]) << 2;
    output[0] = kAlphabet[v >> 12];
    output[1] = kAlphabet[(v >> 6) & 63];
    output[2] = kAlphabet[v & 63];
    output[3] = '=';
  }
}

size_t Base64DecodeChunk(const char* input, size_t length, void* output, uint32_t& missing, uint32_t& accumulator) {
  const auto* in = reinterpret_cast<const unsigned char*>(input);
  auto* out = static_cast<unsigned char*>(output);
  unsigned char* const start = out;
  uint32_t acc = accumulator;
  uint32_t miss = missing;
  size_t i = 0;
  while (i < length) {
    if (miss == 4) {
      // Whole groups of four alphabet characters, the common case.
      while (i + 4 <= length) {
        uint32_t v = kDec0[in[i]] | kDec1[in[i + 1]] | kDec2[in[i + 2]] | kDec3[in[i + 3]];
        if (v & kBad) break;
        out[0] = static_cast<unsigned char>(v >> 16);
        out[1] = static_cast<unsigned char>(v >> 8);
        out[2] = static_cast<unsigned char>(v);
        out += 3;
        i += 4;
      }
      if (i >= length) break;
    }
    uint32_t d = kDecode[in[i++]];
    if (d == kSkip) continue;
    acc = acc << 6 | d;
    if (--miss == 0) {
      out[0] = static_cast<unsigned char>(acc >> 16);
      out[1] = static_cast<unsigned char>(acc >> 8);
      out[2] = static_cast<unsigned char>(acc);
      out += 3;
      acc = 0;
      miss = 4;
    }
  }
  accumulator = acc;
  missing = miss;
  return static_cast<size_t>(out - start);
}

size_t Base64DecodeFlush(void* output, uint32_t accumulator, uint32_t missing) {
  auto* out = static_cast<unsigned char*>(output);
  if (missing == 1) {
    out[0] = static_cast<unsigned char>(accumulator >> 10);
    out[1] = static_cast<unsigned char>(accumulator >> 2);
    return 2;
  }
  if (missing == 2) {
    out[0] = static_cast<unsigned char>(accumulator >> 4);
    return 1;
  }
  return 0;
}

// --- stream adapters ------------------------------------------------------------

size_t QIODeviceSource::Read(void* buffer, size_t max) {
  errno = 0;
  qint64 n = device_.read(static_cast<char*>(buffer), static_cast<qint64>(max));
  if (n < 0) {
    systemError_ = errno;
    throw EReadError();
  }
  return static_cast<size_t>(n);
}

void QIODeviceSink::Write(const void* data, size_t size) {
  if (size == 0) return;
  qint64 n = device_.write(static_cast<const char*>(data), static_cast<qint64>(size));
  if (n != static_cast<qint64>(size)) throw EWriteError();
}

size_t MemorySource::Read(void* buffer, size_t max) {
  size_t n = std::min(max, size_ - pos_);
  if (n == 0) return 0;  // empty data may come with a null pointer
  std::memcpy(buffer, data_ + pos_, n);
  pos_ += n;
  return n;
}

void ByteArraySink::Write(const void* data, size_t size) {
  out_.append(static_cast<const char*>(data), static_cast<qsizetype>(size));
}

// --- streams --------------------------------------------------------------------

void MimeEncodeStream(ByteSource& source, ByteSink& destination) {
  // Many blocks to a read: a read and a write for every 2304 bytes would cost more
  // than encoding them. The blocks come out as they would one at a time.
  constexpr size_t kChunkBlocks = 64;
  std::vector<unsigned char> in(kBlockInput * kChunkBlocks);
  std::vector<char> out(kBlockOutput * kChunkBlocks);
  size_t k = ReadFull(source, in.data(), in.size());
  while (k == in.size()) {
    Base64EncodeLines(in.data(), k, out.data());
    destination.Write(out.data(), out.size());
    k = ReadFull(source, in.data(), in.size());
  }
  const size_t blocks = k / kBlockInput;
  if (blocks) {
    Base64EncodeLines(in.data(), blocks * kBlockInput, out.data());
    destination.Write(out.data(), blocks * kBlockOutput);
  }
  // The last, partial block: its whole lines, then the rest right behind them,
  // which drops the CR LF after the last whole line when nothing follows it.
  const unsigned char* last = in.data() + blocks * kBlockInput;
  k -= blocks * kBlockInput;
  const size_t whole = k / kLineInput;
  Base64EncodeLines(last, k, out.data());
  Base64EncodeRest(last + whole * kLineInput, k % kLineInput, out.data() + whole * kLineOutput);
  const size_t n = Base64EncodedLength(k);
  if (n) destination.Write(out.data(), n);
}

void MimeDecodeStream(ByteSource& source, ByteSink& destination) {
  char in[kBlockInput];
  unsigned char out[(kBlockInput + 3) / 4 * 3];
  uint32_t accumulator = 0;
  uint32_t missing = 4;
  size_t n;
  while ((n = source.Read(in, sizeof in)) > 0) {
    size_t written = Base64DecodeChunk(in, n, out, missing, accumulator);
    if (written) destination.Write(out, written);
  }
  size_t rest = Base64DecodeFlush(out, accumulator, missing);
  if (rest) destination.Write(out, rest);
}
