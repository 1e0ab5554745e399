#pragma once
// A small store with the registry's semantics, kept in one text file per hive.
//
// Keys hold values; a value has a name (the empty name is the key's default
// value), a type number and data, which are kept as exactly the bytes given.
// Key paths are segments separated by "\" and, like value names, are compared
// without regard to case (ASCII and the letters of code page 1250), while the
// case first written is kept. Creating a key creates its missing parents.
//
// Where the hives live:
//   TARVI_REGISTRY_DIR set:  that folder, files HKCU.ini, HKLM.ini, HKCR.ini
//   else HKEY_CURRENT_USER:  ${XDG_CONFIG_HOME:-$HOME/.config}/VodezOdir/registry.ini
//        HKEY_LOCAL_MACHINE: /etc/VodezOdir/registry.ini
//        HKEY_CLASSES_ROOT:  ${XDG_CONFIG_HOME:-$HOME/.config}/VodezOdir/classes.ini
//
// Every call reads the file afresh, so several processes can share a hive. A
// change is made under an exclusive flock on "<file>.lock": the file is read,
// changed, written to a temporary file in the same folder, flushed to disk and
// renamed over the old one, so readers (which take no lock) see either the old
// or the new file and concurrent writers lose nothing.
//
// File format (UTF-8-clean, one entry per line):
//   [SOFTWARE\VodezOdir\TarviSealdesk]
//   "Output Path"=1:/home/ana/Izlaz/%00
// A section names a key; a value line holds the quoted name, "=", the type in
// decimal, ":" and the data. In section names, value names and data, every byte
// outside printable ASCII and each of % " [ ] is written as %XX (two upper-case
// hex digits); "\" stays literal in section names, where it separates segments.
// Blank lines and lines starting with ";" are ignored.
//
// Results are Windows error numbers, so callers keep the registry's contract.
#include <cstdint>
#include <string>
#include <string_view>

namespace regstore {

enum class Hive { ClassesRoot, CurrentUser, LocalMachine };

inline constexpr long kSuccess = 0;            // ERROR_SUCCESS
inline constexpr long kNotFound = 2;           // ERROR_FILE_NOT_FOUND: key or value missing
inline constexpr long kAccessDenied = 5;       // ERROR_ACCESS_DENIED
inline constexpr long kInvalidHandle = 6;      // ERROR_INVALID_HANDLE: not a root we know
inline constexpr long kInvalidData = 13;       // ERROR_INVALID_DATA: the hive file is malformed
inline constexpr long kInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
inline constexpr long kDiskFull = 112;         // ERROR_DISK_FULL
inline constexpr long kBadPathname = 161;      // ERROR_BAD_PATHNAME: an empty key segment
inline constexpr long kIoFailed = 1016;        // ERROR_REGISTRY_IO_FAILED: any other I/O failure

// The file that holds a hive, as the environment gives it now.
std::string HivePath(Hive hive);

// Reads one value. On success *data gets its bytes and *type (when given) its
// type; on failure neither is touched.
long ReadValue(Hive hive, std::string_view key, std::string_view name, std::string* data, uint32_t* type = nullptr);

// Sets one value, creating the key and its parents when missing.
long WriteValue(Hive hive, std::string_view key, std::string_view name, std::string_view data, uint32_t type);

// Removes one value; kNotFound when the key or the value does not exist.
long DeleteValue(Hive hive, std::string_view key, std::string_view name);

// kSuccess when the key exists (with or without values), else kNotFound.
long KeyExists(Hive hive, std::string_view key);

// Creates the key and its missing parents; an existing key is left as it is.
long CreateKey(Hive hive, std::string_view key);

// Removes the key with all its subkeys and values; kNotFound when it does not exist.
long DeleteKeyTree(Hive hive, std::string_view key);

// Whether two key segments or value names are equal without regard to case
// (ASCII and the code page 1250 letters).
bool NamesEqual(std::string_view a, std::string_view b);

}  // namespace regstore
