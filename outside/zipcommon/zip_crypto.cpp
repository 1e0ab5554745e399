#include "zip_crypto.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "interfaces/zip_headers.h"

namespace zipcommon {

namespace {

inline uint32_t Crc1(uint32_t crc, uint8_t b) { return zipfmt::Crc32Byte(crc, b); }

// Scrubs key material the compiler may not drop.
void Wipe(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n--) *v++ = 0;
}

}  // namespace

ZipCrypto::ZipCrypto(std::string_view password) : k0_(0x12345678u), k1_(0x23456789u), k2_(0x34567890u) {
  for (char c : password) Update(static_cast<uint8_t>(c));
}

ZipCrypto::~ZipCrypto() {
  Wipe(&k0_, sizeof k0_);
  Wipe(&k1_, sizeof k1_);
  Wipe(&k2_, sizeof k2_);
}

void ZipCrypto::Update(uint8_t plain) {
  k0_ = Crc1(k0_, plain);
  k1_ = (k1_ + (k0_ & 0xFF)) * 134775813u + 1;
  k2_ = Crc1(k2_, static_cast<uint8_t>(k1_ >> 24));
}

uint8_t ZipCrypto::Stream() const {
  const uint32_t t = (k2_ | 2) & 0xFFFF;
  return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
}

void ZipCrypto::Encrypt(uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t p = data[i];
    data[i] = p ^ Stream();
    Update(p);
  }
}

void ZipCrypto::Decrypt(uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t p = data[i] ^ Stream();
    data[i] = p;
    Update(p);
  }
}

bool ZipCrypto::MakeHeader(uint8_t check, uint8_t (&header)[kCryptHeaderSize]) {
  size_t have = 0;
  while (have < kCryptHeaderSize - 1) {
    const ssize_t r = getrandom(header + have, kCryptHeaderSize - 1 - have, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    have += static_cast<size_t>(r);
  }
  header[kCryptHeaderSize - 1] = check;
  Encrypt(header, kCryptHeaderSize);
  return true;
}

bool ZipCrypto::CheckHeader(const uint8_t (&header)[kCryptHeaderSize], uint8_t check, uint8_t otherCheck) {
  uint8_t h[kCryptHeaderSize];
  std::memcpy(h, header, sizeof h);
  Decrypt(h, sizeof h);
  const uint8_t last = h[kCryptHeaderSize - 1];
  Wipe(h, sizeof h);
  return last == check || last == otherCheck;
}

}  // namespace zipcommon
