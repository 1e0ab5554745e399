#include "zip/zip_stream.h"

#include <algorithm>
#include <cstring>

void TZipStream::Clear() {
  own_.clear();
  own_.shrink_to_fit();
  data_ = nullptr;
  size_ = capacity_ = position_ = 0;
  attached_ = false;
}

void TZipStream::SetSize(size_t size) {
  if (size > capacity_) {
    if (attached_) {
      std::vector<uint8_t> fresh(size);
      if (size_) std::memcpy(fresh.data(), data_, size_);
      own_.swap(fresh);
      attached_ = false;
    } else {
      own_.resize(size);
    }
    data_ = own_.data();
    capacity_ = own_.size();
  }
  size_ = size;
  position_ = std::min(position_, size_);
}

size_t TZipStream::Seek(size_t offset) {
  position_ = std::min(offset, size_);
  return position_;
}

size_t TZipStream::Read(void* buffer, size_t count) {
  size_t n = std::min(count, size_ - position_);
  if (n) std::memcpy(buffer, data_ + position_, n);
  position_ += n;
  return n;
}

size_t TZipStream::Write(const void* buffer, size_t count) {
  if (count == 0) return 0;
  if (position_ + count > size_) SetSize(position_ + count);
  std::memcpy(data_ + position_, buffer, count);
  position_ += count;
  return count;
}

void TZipStream::AttachMemory(void* address, size_t size) {
  own_.clear();
  own_.shrink_to_fit();
  data_ = static_cast<uint8_t*>(address);
  size_ = capacity_ = address ? size : 0;
  position_ = 0;
  attached_ = true;
}
