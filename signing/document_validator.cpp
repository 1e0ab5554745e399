#include "signing/document_validator.h"

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace sgnvalidator {
namespace {

// A forward byte reader over a source with a small buffer, one byte at a time as
// the tokenizer wants it, plus a move to any position.
class Cursor {
 public:
  explicit Cursor(SgnSource& s) : src_(s), size_(s.size()) {}

  int64_t pos() const { return pos_; }
  int64_t size() const { return size_; }
  bool atEnd() const { return failed_ || pos_ >= size_; }
  bool failed() const { return failed_; }

  // The next byte, or -1 at the end (or after a read error).
  int get() {
    if (pos_ >= size_ || failed_) return -1;
    if (pos_ < bufStart_ || pos_ >= bufStart_ + bufLen_) {
      bufStart_ = pos_;
      bufLen_ = src_.readAt(pos_, buf_.data(), buf_.size());
      if (bufLen_ <= 0) {
        bufLen_ = 0;
        failed_ = true;
        return -1;
      }
    }
    return buf_[size_t(pos_++ - bufStart_)];
  }
  void seek(int64_t p) { pos_ = p; }

 private:
  SgnSource& src_;
  int64_t size_;
  int64_t pos_ = 0;
  std::array<uint8_t, 4096> buf_{};
  int64_t bufStart_ = 0;
  int64_t bufLen_ = 0;
  bool failed_ = false;
};

// Position of needle in hay at or after from; npos when missing.
size_t Find(std::string_view hay, std::string_view needle, size_t from = 0) {
  if (from > hay.size()) return std::string_view::npos;
  return hay.find(needle, from);
}

// Every needle, each searched after the end of the previous one.
bool InOrder(std::string_view hay, std::initializer_list<std::string_view> needles) {
  size_t at = 0;
  for (std::string_view n : needles) {
    size_t p = Find(hay, n, at);
    if (p == std::string_view::npos) return false;
    at = p + n.size();
  }
  return true;
}

bool AroundNameChar(char c) {
  return c == '/' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z');
}

// The rest of a tag from just after its "<": bytes through the next ">", quoted
// parts (quotes included) left out. Stops at the end of the stream or when the
// token would pass the limit; *closed tells whether the ">" was reached.
void CollectTag(Cursor& in, std::string& token, bool* closed) {
  *closed = false;
  for (;;) {
    int c = in.get();
    if (c < 0) return;
    if (c == '"') {
      do {
        c = in.get();
      } while (c >= 0 && c != '"');
      if (c < 0) return;
      continue;
    }
    token.push_back(char(c));
    if (c == '>') {
      *closed = true;
      return;
    }
    if (int(token.size()) > kTokenLimit) return;
  }
}

enum class TokenKind { Tag, Text };

// The next token; at the end of the stream an empty tag token.
TokenKind ReadToken(Cursor& in, std::string& token) {
  token.clear();
  int c;
  do {
    c = in.get();
  } while (c == '\r' || c == '\n');
  if (c < 0) return TokenKind::Tag;

  if (c == '<') {
    token.push_back('<');
    bool closed = false;
    CollectTag(in, token, &closed);
    if (closed && IsKnownTag(token)) return TokenKind::Tag;
    token = kNonTag;
    return TokenKind::Text;
  }

  // A text runs to a known tag (left for the next token), a ">" outside a tag, the
  // end of the stream or the limit. An unknown tag inside it is part of the text.
  int64_t length = 1;
  std::string tag;
  if (c != '>') {
    for (;;) {
      const int64_t at = in.pos();
      c = in.get();
      if (c < 0 || c == '>') break;
      if (c == '<') {
        tag.assign(1, '<');
        bool closed = false;
        CollectTag(in, tag, &closed);
        if (closed && IsKnownTag(tag)) {
          in.seek(at);
          break;
        }
        length += int64_t(tag.size());
      } else {
        ++length;
      }
      if (length > kTokenLimit) break;
    }
  }
  token = kNonTag;
  return TokenKind::Text;
}

// ---- the state graph -------------------------------------------------------------

struct State {
  std::string_view name;
  std::array<int, 2> next;  // -1: no further successor
};

constexpr State kGraph[19] = {
    {"NON TAG", {1, -1}},
    {"?xml version=\"\" ?", {2, -1}},
    {"!DOCTYPE FileUpload SYSTEM \"\"", {3, -1}},
    {"FileUpload", {4, -1}},
    {"TimeStamp", {5, -1}},
    {"NON TAG", {6, -1}},
    {"/TimeStamp", {7, -1}},
    {"File compress= encoding=", {8, -1}},
    {"NON TAG", {9, -1}},
    {"/File", {10, -1}},
    {"Signer", {11, -1}},
    {"Certificate", {12, -1}},
    {"NON TAG", {13, -1}},
    {"/Certificate", {14, -1}},
    {"Sign", {15, -1}},
    {"NON TAG", {16, -1}},
    {"/Sign", {17, -1}},
    {"/Signer", {18, 10}},
    {"/FileUpload", {-1, -1}},
};
constexpr int kFileState = 7;
constexpr int kFinalState = 18;

// The words of a tag token: the first runs from after "<" to the first blank (or
// ">"); each further one ends at "="; a word that ends at a quote, a blank or ">"
// is the last; an empty word ends the list.
std::vector<std::string_view> TagWords(std::string_view token) {
  std::vector<std::string_view> words;
  size_t p = token.empty() ? 0 : 1;
  size_t e = p;
  while (e < token.size() && token[e] != ' ' && token[e] != '>') ++e;
  if (e == p) return words;
  words.push_back(token.substr(p, e - p));
  if (e >= token.size() || token[e] == '>') return words;
  p = e + 1;
  for (;;) {
    e = p;
    while (e < token.size() && token[e] != '=' && token[e] != '"' && token[e] != ' ' && token[e] != '>') ++e;
    if (e == p) break;
    words.push_back(token.substr(p, e - p));
    if (e >= token.size() || token[e] != '=') break;
    p = e + 1;
  }
  return words;
}

// The first successor of state that the token matches, or -1.
int FindSuccessor(int state, TokenKind kind, std::string_view token) {
  std::vector<std::string_view> words;
  if (kind == TokenKind::Tag) words = TagWords(token);
  for (int next : kGraph[state].next) {
    if (next < 0) break;
    std::string_view name = kGraph[next].name;
    bool match = true;
    if (kind == TokenKind::Text) {
      match = name.find(kNonTag) != std::string_view::npos;
    } else {
      for (std::string_view w : words)
        if (name.find(w) == std::string_view::npos) {
          match = false;
          break;
        }
    }
    if (match) return next;
  }
  return -1;
}

// The first 65536 bytes, as text up to the first zero byte, name the four parts.
bool CheckHeader(Cursor& in) {
  in.seek(0);
  std::string head;
  while (int(head.size()) < kTokenLimit) {
    int c = in.get();
    if (c <= 0) break;
    head.push_back(char(c));
  }
  in.seek(0);
  if (in.failed()) return false;
  for (std::string_view part : {"?xml", "!DOCTYPE", "FileUpload", "TimeStamp"})
    if (head.find(part) == std::string::npos) return false;
  return true;
}

// The position of the last "</File>", searching backwards from the end; -1 when
// there is none or the source fails.
int64_t LastFileClose(SgnSource& src) {
  static constexpr std::string_view kClose = "</File>";
  const int64_t size = src.size();
  std::vector<char> block(65536 + kClose.size());
  int64_t end = size;
  while (end > 0) {
    const int64_t start = end > 65536 ? end - 65536 : 0;
    // Read a little past the block so a tag that straddles the seam is seen.
    const int64_t want = std::min<int64_t>(size - start, int64_t(block.size()));
    const int64_t got = src.readAt(start, block.data(), size_t(want));
    if (got != want) return -1;
    std::string_view text(block.data(), size_t(got));
    size_t p = text.rfind(kClose);
    if (p != std::string_view::npos) return start + int64_t(p);
    end = start;
  }
  return -1;
}

// Reads tokens to the end of the stream (or, when stopAtFile, until the File
// element); false when a tag does not fit the graph.
bool Walk(Cursor& in, int& state, bool stopAtFile) {
  std::string token;
  while (!in.atEnd()) {
    TokenKind kind = ReadToken(in, token);
    if (in.failed()) return false;
    int next = FindSuccessor(state, kind, token);
    if (kind == TokenKind::Tag) {
      if (!IsKnownTag(token) || next < 0) return false;
      state = next;
      if (stopAtFile && state == kFileState) return true;
    } else if (next >= 0) {
      state = next;
    }
  }
  return true;
}

}  // namespace

bool IsKnownTag(const char* token, int length) {
  if (!token || length <= 0) return false;
  std::string_view t(token, size_t(length));
  if (InOrder(t, {"?xml", "version", "=", "?"})) {
    size_t opens = 0;
    for (char c : t) opens += c == '<';
    return opens == 1;
  }
  if (InOrder(t, {"!", "DOCTYPE", "FileUpload", "SYSTEM"})) return true;
  if (InOrder(t, {"File", "compress", "encoding"})) return true;
  if (t.front() != '<' || t.back() != '>') return false;
  for (std::string_view name : {"FileUpload", "TimeStamp", "File", "Signer", "Certificate", "Sign"}) {
    size_t p = t.find(name);
    if (p == std::string_view::npos) continue;
    if (p == 0) return false;
    for (size_t i = 1; i < p; ++i)
      if (!AroundNameChar(t[i])) return false;
    for (size_t i = p + name.size(); i + 1 < t.size(); ++i)
      if (!AroundNameChar(t[i])) return false;
    return p + name.size() < t.size();
  }
  return false;
}

bool WalkSignedDocument(SgnSource& source) {
  Cursor in(source);
  if (!CheckHeader(in)) return false;
  int state = 0;
  if (!Walk(in, state, true)) return false;
  if (state == kFileState) {
    state = 8;
    const int64_t close = LastFileClose(source);
    if (close < 0) return false;
    in.seek(close);
    if (!Walk(in, state, false)) return false;
  }
  return state == kFinalState;
}

}  // namespace sgnvalidator

bool ValidateSignedDocument(SgnSource& source) {
  if (!sgnvalidator::WalkSignedDocument(source)) return false;
  SgnLayout layout;
  SgnReadOptions options;
  options.decodeFields = false;
  return ReadSignedContainer(source, layout, nullptr, options);
}

bool ValidateSignedDocument(QFile& stream) {
  if (!stream.isOpen()) return false;
  SgnFileSource source(stream);
  return ValidateSignedDocument(source);
}
