#pragma once
// Reading, writing and deleting one string value under a registry root and key
// path, on our registry store (platform/registry_store.h).
//
// Text crosses into the registry as code page 1250 bytes with a terminating zero.
// Key paths and value names may hold up to 200 characters and written values up
// to 512; anything longer is refused with 87 rather than cut short, since a cut
// key name would silently address another key. A text with a character that code
// page 1250 cannot hold is refused with 1113 rather than stored as "?".
//
// Every function returns the Windows error number of the step that failed, 0 for
// success, and never throws. 2 means the key or value does not exist.
#include <QString>
#include <cstdint>

using HKEY = std::uintptr_t;
inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr HKEY HKEY_USERS = 0x80000003u;  // not kept by our store: refused with 6

inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;

inline constexpr int kRegMaxKeyLength = 200;    // key paths and value names
inline constexpr int kRegMaxValueLength = 512;  // written values

inline constexpr long kRegErrorNoUnicodeTranslation = 1113;  // ERROR_NO_UNICODE_TRANSLATION

// Creates or opens the key and sets the value in the given type; the stored
// length counts the terminator ("YES" is 4 bytes).
long RegWriteValue(HKEY root, const QString& key, const QString& name, const QString& value, uint32_t type = REG_SZ);

// value := the stored data up to its terminator (or all of it when none is
// stored). The stored type is not checked. On any failure value is unchanged.
long RegReadValue(HKEY root, const QString& key, const QString& name, QString& value, uint32_t type = REG_SZ);

// Removes the value.
long RegDeleteValue(HKEY root, const QString& key, const QString& name);
