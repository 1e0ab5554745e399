#pragma once
// A PIN (or unlock code) on its way from a dialog to the module: the code page
// 1250 bytes the module gets, in storage of its own that is overwritten when the
// PIN is cleared, replaced, moved from or destroyed. It is moved, never copied, so
// no second copy is left behind by accident, and it has no text form to log.
#include <QString>
#include <cstddef>
#include <memory>

#include "interfaces/pkcs11.h"

class TPin {
 public:
  // Most bytes a PIN keeps: the longest the module is ever given.
  static constexpr size_t kMaxBytes = 2000;

  TPin() = default;
  // The bytes of text's first maxChars characters (all when negative) up to the
  // first NUL, at most kMaxBytes. A character outside the basic plane is one '?'.
  static TPin FromText(const QString& text, qsizetype maxChars = -1);

  TPin(TPin&& other) noexcept;
  TPin& operator=(TPin&& other) noexcept;
  TPin(const TPin&) = delete;
  TPin& operator=(const TPin&) = delete;
  ~TPin();

  // Wipes the bytes; the storage stays the PIN's until it is destroyed.
  void clear();
  bool empty() const { return size_ == 0; }
  CK_ULONG size() const { return static_cast<CK_ULONG>(size_); }
  // For C_Login, C_InitPIN, C_SetPIN and the like; valid while the PIN lives
  // unchanged. Never null: an empty PIN goes as length 0 at a valid address.
  CK_UTF8CHAR_PTR data() const;
  bool SameBytes(const TPin& other) const;

 private:
  void Release();

  std::unique_ptr<char[]> bytes_;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

// Overwrites a string that held a PIN where it is the only holder of its
// characters (a shared one would only be copied by writing), then empties it.
void WipeText(QString& text);
