#pragma once
// Version information of a file: our binaries carry a version record in the ELF
// section ".tarvi_verinfo", written at build time by tarvi_add_version_info()
// (cmake/VersionInfo.cmake). The reader finds the section through the ELF section
// headers; it never searches the file's bytes for the record.
//
// Record layout (all integers little-endian):
//   8 bytes   "TVERINFO"
//   u32       number of translations, n
//   n x u32   translation: language (low 16 bits), code page (high 16 bits),
//             so 0x04E2041A is Croatian (041A) in code page 1250 (04E2)
//   u32       size of the fixed record (52 in every record we write)
//   ...       the fixed record, VS_FIXEDFILEINFO below
//   u32       size of the string table
//   ...       string table: pairs "<query path>\0<value>\0", the query path as the
//             version API names it, e.g. "\StringFileInfo\041A04E2\FileVersion";
//             values are code page 1250 bytes
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include "interfaces/pkcs11.h"

inline constexpr char kVerInfoSection[] = ".tarvi_verinfo";
inline constexpr uint32_t kVerInfoFixedSignature = 0xFEEF04BDu;

struct VS_FIXEDFILEINFO {
  uint32_t dwSignature;
  uint32_t dwStrucVersion;
  uint32_t dwFileVersionMS;
  uint32_t dwFileVersionLS;
  uint32_t dwProductVersionMS;
  uint32_t dwProductVersionLS;
  uint32_t dwFileFlagsMask;
  uint32_t dwFileFlags;
  uint32_t dwFileOS;
  uint32_t dwFileType;
  uint32_t dwFileSubtype;
  uint32_t dwFileDateMS;
  uint32_t dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

inline constexpr uint32_t VS_FF_DEBUG = 0x01;
inline constexpr uint32_t VS_FF_PRERELEASE = 0x02;
inline constexpr uint32_t VS_FF_PATCHED = 0x04;
inline constexpr uint32_t VS_FF_PRIVATEBUILD = 0x08;
inline constexpr uint32_t VS_FF_SPECIALBUILD = 0x20;

// The record cannot be read ("Cannot obtain version info.") or has no
// translation table ("No language info.").
class EVerInfoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The file carries no record: "No Version Info Available."
class ENoVerInfoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The fixed record is missing or shorter than 52 bytes: "No fixed file info".
class eNoFixeVerInfo : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One file's version record, read for one query.
class TVerInfoRes {
 public:
  // Reads the record, then its translation table, the fixed record and the build
  // flags; throws the exceptions above.
  explicit TVerInfoRes(const QString& fileName);

  QString FileVersion() const;     // "%d.%d.%d.%d"
  QString ProductVersion() const;  // "%d.%d.%d.%d"
  // Build flags under the flag mask, in this order: "Pre-release", "Private
  // build", "Special build", "Debug".
  const QStringList& Flags() const { return flags_; }
  const VS_FIXEDFILEINFO& FixedFileInfo() const { return fixed_; }
  // The first translation (language in the low 16 bits, code page in the high).
  uint32_t Translation() const;
  // The bytes of a string value by its query path (compared without regard to
  // case), or nothing when the record has no such value.
  std::optional<QByteArray> QueryValue(const QString& subBlock) const;
  const QString& FileName() const { return fileName_; }

 private:
  uint32_t handle_ = 0;  // kept for the record's shape; ELF files have no handle
  uint32_t size_ = 0;
  std::vector<unsigned char> bytes_;
  size_t translation_ = 0;  // offset of the translation table in bytes_
  VS_FIXEDFILEINFO fixed_{};
  QStringList flags_;
  QString fileName_;
  size_t stringsOffset_ = 0;
  size_t stringsSize_ = 0;
};

// Formats a most and least significant word pair as "%d.%d.%d.%d".
QString VersionWordsText(uint32_t ms, uint32_t ls);

// The file version text of a file, or "" on any failure. A name without a folder
// is looked for the way a library of that name is loaded (platform/library.h).
QString GetVersionString(const QString& fileName);

// The product version text before its first "." (all of it when it has none),
// or "" on any failure: 2.5.0.1 gives "2".
QString GetFileMajorVersion(const QString& fileName);

// A string of the running program's own record, queried under
// "\StringFileInfo\041A04E2\" + name; "" when absent.
QString GetVersionInfoValue(const QString& name);

// The major version of a PKCS#11 module: its record's, as GetFileMajorVersion
// gives it, or, for a module that carries no record (every third-party module on
// this platform), the library version's major number that its C_GetInfo
// reported.
QString GetModuleMajorVersion(const QString& moduleFile, const CK_VERSION& libraryVersion);

// The path the version functions read for a name as configured.
QString VersionFilePath(const QString& fileName);
