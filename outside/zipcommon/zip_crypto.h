#pragma once
// The traditional ZIP encryption (the stream cipher of ZIP 2.0, general-purpose
// flag bit 0): three 32-bit keys seeded by the password, a 12-byte encryption
// header in front of the entry's data whose last byte checks the password.
//
// It is weak by today's measure; it is here because every ZIP reader and writer
// speaks it, so that a password-protected archive goes both ways between the
// program and Info-ZIP, Python's zipfile and 7-Zip.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zipcommon {

constexpr size_t kCryptHeaderSize = 12;

class ZipCrypto {
 public:
  // The password is taken as the bytes it holds; no character set is applied.
  explicit ZipCrypto(std::string_view password);
  ~ZipCrypto();
  ZipCrypto(const ZipCrypto&) = delete;
  ZipCrypto& operator=(const ZipCrypto&) = delete;

  void Encrypt(uint8_t* data, size_t n);
  void Decrypt(uint8_t* data, size_t n);

  // The 12 header bytes for an entry: 11 from the system's cryptographic random
  // source and the check byte, encrypted in place. false when no random bytes
  // could be had (nothing is then to be written).
  bool MakeHeader(uint8_t check, uint8_t (&header)[kCryptHeaderSize]);
  // Decrypts an entry's 12 header bytes (a copy) and answers whether its last
  // byte is one of the two accepted check bytes.
  bool CheckHeader(const uint8_t (&header)[kCryptHeaderSize], uint8_t check, uint8_t otherCheck);

 private:
  void Update(uint8_t plain);
  uint8_t Stream() const;
  uint32_t k0_, k1_, k2_;
};

// The check byte of an entry: the high byte of its CRC-32, or, when its sizes and
// CRC follow the data (flag bit 3), the high byte of its DOS time.
inline uint8_t CryptCheckByte(uint32_t crc) { return static_cast<uint8_t>(crc >> 24); }
inline uint8_t CryptTimeCheckByte(uint32_t dosDateTime) { return static_cast<uint8_t>((dosDateTime >> 8) & 0xFF); }

}  // namespace zipcommon
