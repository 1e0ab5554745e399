#pragma once
// The forward-only window both container readers walk a file with: one block of
// memory whatever the file's size, so neither reader grows with the payload.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "signing/base64.h"
#include "signing/container.h"

namespace sgnread {

enum class Match { Ok, Short, Mismatch, Io };

// A forward-only window over the source: one block of memory whatever its size.
class Cursor {
 public:
  // minBlock bounds the longest literal or field a reader looks ahead for.
  // A source smaller than the block gets a buffer of its own size: reading a
  // small container touches no more memory than it holds.
  Cursor(SgnSource& src, size_t block, size_t minBlock = 256)
      : src_(src), buf_(std::max<size_t>(Fit(block, src.size()), minBlock) + 256) {}

  int64_t pos() const { return base_ + int64_t(head_); }
  size_t avail() const { return tail_ - head_; }
  const uint8_t* ptr() const { return buf_.data() + head_; }
  void advance(size_t n) { head_ += n; }
  bool ioError() const { return io_; }
  void seek(int64_t offset) {
    base_ = offset;
    head_ = tail_ = 0;
  }

  // At least n bytes (n small) from the current position, when the file has them.
  bool need(size_t n) {
    if (avail() >= n) return true;
    if (head_ > 0) {
      std::memmove(buf_.data(), buf_.data() + head_, avail());
      base_ += int64_t(head_);
      tail_ -= head_;
      head_ = 0;
    }
    while (tail_ < n) {
      int64_t got = src_.readAt(base_ + int64_t(tail_), buf_.data() + tail_, buf_.size() - tail_);
      if (got < 0) {
        io_ = true;
        return false;
      }
      if (got == 0) return false;
      tail_ += size_t(got);
    }
    return true;
  }

  Match peek(std::string_view lit) {
    bool have = need(lit.size());
    size_t k = std::min(avail(), lit.size());
    if (std::memcmp(ptr(), lit.data(), k) != 0) return Match::Mismatch;
    if (!have) return io_ ? Match::Io : Match::Short;
    return Match::Ok;
  }

  // Collects the leading run of bytes that pass the test, at most limit + 1 of them
  // (so that an over-long run shows itself).
  template <typename Pred>
  bool run(Pred ok, size_t limit, std::string& out) {
    out.clear();
    for (;;) {
      if (!need(1)) return !io_;
      const uint8_t* d = ptr();
      size_t n = avail(), i = 0;
      while (i < n && out.size() + i <= limit && ok(d[i])) ++i;
      out.append(reinterpret_cast<const char*>(d), i);
      advance(i);
      if (i < n || out.size() > limit) return true;
    }
  }

 private:
  static size_t Fit(size_t block, int64_t size) { return size >= 0 && uint64_t(size) < block ? size_t(size) : block; }

  SgnSource& src_;
  std::vector<uint8_t> buf_;
  int64_t base_ = 0;
  size_t head_ = 0, tail_ = 0;
  bool io_ = false;
};

// The first fault a reader meets, and where: every later one only follows from
// it. False, so a reader's step can end with it. Layout is either reader's layout,
// Fault its fault enum (with None, Truncated and ReadError).
template <class Layout, class Fault>
bool NoteFault(Layout& layout, Fault fault, int64_t at) {
  if (layout.fault == Fault::None) {
    layout.fault = fault;
    layout.faultOffset = at;
  }
  return false;
}

// A literal's match as a fault: a file ending inside it is truncated, a failed
// read is a read error, other bytes are the fault given.
template <class Layout, class Fault>
bool NoteMatch(Layout& layout, Match match, Fault fault, int64_t at) {
  switch (match) {
    case Match::Ok: return true;
    case Match::Short: return NoteFault(layout, Fault::Truncated, at);
    case Match::Io: return NoteFault(layout, Fault::ReadError, at);
    case Match::Mismatch: return NoteFault(layout, fault, at);
  }
  return false;
}

// Steps over a literal that must follow.
template <class Layout, class Fault>
bool ExpectLiteral(Cursor& cursor, Layout& layout, std::string_view literal, Fault fault) {
  if (!NoteMatch(layout, cursor.peek(literal), fault, cursor.pos())) return false;
  cursor.advance(literal.size());
  return true;
}

// How a walk over a Base64 text ended.
struct Base64Walk {
  bool complete = false;      // false: the source ended or failed inside the text
  bool endsWithCrLf = false;  // its last two bytes are the CR LF that closes it
};

// Walks a Base64 text, CR LF included, up to the first byte outside it; symbols
// (may be null) counts its Base64 symbols. onText gets every byte of it as read;
// onPayload gets them too, but two bytes behind, so that the closing CR LF never
// reaches it. Both get only pieces of at least one byte.
template <class OnText, class OnPayload>
Base64Walk WalkBase64Text(Cursor& cursor, uint64_t* symbols, OnText&& onText, OnPayload&& onPayload) {
  uint8_t last[2] = {0, 0};
  size_t held = 0;
  for (;;) {
    if (!cursor.need(1)) return {};
    const uint8_t* d = cursor.ptr();
    const size_t n = cursor.avail();
    const size_t k = Base64TextRun(d, n, symbols);
    if (k > 0) {
      onText(d, k);
      if (k >= 2) {
        if (held) onPayload(last, held);
        if (k > 2) onPayload(d, k - 2);
        last[0] = d[k - 2];
        last[1] = d[k - 1];
        held = 2;
      } else if (held == 2) {
        onPayload(last, 1);
        last[0] = last[1];
        last[1] = d[0];
      } else {
        last[held++] = d[0];
      }
      cursor.advance(k);
    }
    if (k < n) break;
  }
  return {true, held == 2 && last[0] == '\r' && last[1] == '\n'};
}

}  // namespace sgnread
