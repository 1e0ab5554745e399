#include "card/pin.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/codepage.h"

namespace {

// Volatile writes: not optimised away although the storage dies right after.
void Zero(void* p, size_t n) {
  volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) v[i] = 0;
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

TPin TPin::FromText(const QString& text, qsizetype maxChars) {
  const qsizetype n = maxChars < 0 ? text.size() : std::min(text.size(), maxChars);
  TPin pin;
  pin.capacity_ = std::min(static_cast<size_t>(n), kMaxBytes);
  if (pin.capacity_ == 0) return pin;
  pin.bytes_ = std::make_unique<char[]>(pin.capacity_);
  const char16_t* p = reinterpret_cast<const char16_t*>(text.utf16());
  for (qsizetype i = 0; i < n && pin.size_ < pin.capacity_; ++i) {
    char b = '?';
    if (IsHighSurrogate(p[i]) && i + 1 < n && IsLowSurrogate(p[i + 1]))
      ++i;
    else
      b = ToCp1250Char(p[i]);
    if (b == '\0') break;
    pin.bytes_[pin.size_++] = b;
  }
  return pin;
}

TPin::TPin(TPin&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)) {}

TPin& TPin::operator=(TPin&& other) noexcept {
  if (this != &other) {
    Release();
    bytes_ = std::move(other.bytes_);
    capacity_ = std::exchange(other.capacity_, 0);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

TPin::~TPin() { Release(); }

void TPin::clear() {
  if (bytes_) Zero(bytes_.get(), capacity_);
  size_ = 0;
}

void TPin::Release() {
  clear();
  bytes_.reset();
  capacity_ = 0;
}

CK_UTF8CHAR_PTR TPin::data() const {
  static CK_UTF8CHAR none[1] = {0};
  return bytes_ ? reinterpret_cast<CK_UTF8CHAR_PTR>(bytes_.get()) : none;
}

bool TPin::SameBytes(const TPin& other) const {
  return size_ == other.size_ && (size_ == 0 || std::memcmp(bytes_.get(), other.bytes_.get(), size_) == 0);
}

void WipeText(QString& text) {
  if (text.isDetached() && !text.isEmpty()) Zero(text.data(), static_cast<size_t>(text.size()) * sizeof(QChar));
  text.clear();
}
