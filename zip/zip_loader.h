#pragma once
// Run-time loading of the two ZIP libraries, shared by nested users through use
// bits: 1 = an exec call runs, 2 = loaded for an operation, 4 = loaded explicitly.
// The library is freed when the last bit goes.
#include <cstdint>
#include <memory>
#include <string>

#include "interfaces/ziplib_records.h"

class SharedLibrary;
class TZipArchiver;

class TZipLibLoader {
 public:
  enum Kind : uint8_t { kUnz = 0, kZip = 1 };
  enum UseBit : uint32_t { kExecRunning = 1, kForOperation = 2, kExplicit = 4 };

  // The kind's standard library ("ZIPLIB.DLL" or "UNZLIB.DLL").
  TZipLibLoader(TZipArchiver& owner, Kind kind);
  // Another configured library name with the kind's entry points.
  TZipLibLoader(TZipArchiver& owner, Kind kind, std::string libraryName);
  virtual ~TZipLibLoader();
  TZipLibLoader(const TZipLibLoader&) = delete;
  TZipLibLoader& operator=(const TZipLibLoader&) = delete;

  // Loads (bit 4 when explicit, else 2) and returns the version. Raises
  // EZipArchiver 10650 when no candidate loads, 10651 when an entry point is
  // missing, the version is outside 153..300 or below minimum; nothing then stays
  // loaded.
  int32_t LoadDll(int32_t minimum, bool explicitLoad);
  // Drops bit 4 (explicit) or 2; frees the library when no bit remains.
  void UnloadDll(bool explicitLoad);
  // Calls the exec entry with the record, loading for the call when needed.
  int32_t ExecDll(void* record);

  bool Loaded() const { return module_ != nullptr || exec_ != nullptr; }
  int32_t Version() const { return version_; }
  uint32_t UseBits() const { return useBits_; }
  Kind LibraryKind() const { return kind_; }
  // The library name before the first load, then the loaded module's full path.
  const std::string& Path() const { return path_; }
  const std::string& LibraryName() const { return libraryName_; }
  const char* ExecName() const;
  const char* VersionName() const;

  // Uses these functions in place of a library file from now on (tests capture
  // records this way); "path" stands for the module's file name.
  void BindFunctions(void* exec, GetLibVersionFn* version, std::string path);

 protected:
  int32_t LoadDllCore(uint32_t bit);
  int32_t UnloadDllCore(uint32_t bits);
  // The loaded module's full file name; empty when nothing is loaded.
  std::string ModulePath() const;
  // No library is embedded in the program: always false with an empty name.
  bool ExtractDllResource(std::string& fileName);
  void* ExecFunction() const { return exec_; }

 private:
  // Nothing loaded any more.
  void Free();

  TZipArchiver& owner_;
  std::unique_ptr<SharedLibrary> module_;
  void* exec_ = nullptr;
  GetLibVersionFn* versionFn_ = nullptr;
  Kind kind_;
  std::string libraryName_;
  std::string path_;
  uint32_t useBits_ = 0;
  int32_t version_ = 0;
  std::string tempLibraryFile_;
  bool bound_ = false;
  void* boundExec_ = nullptr;
  GetLibVersionFn* boundVersion_ = nullptr;
};

// The adding library.
class TZipLib : public TZipLibLoader {
 public:
  explicit TZipLib(TZipArchiver& owner) : TZipLibLoader(owner, kZip) {}
  int32_t Exec(ZipRec* record) { return ExecDll(record); }
};

// The extracting library.
class TUnzLib : public TZipLibLoader {
 public:
  explicit TUnzLib(TZipArchiver& owner) : TZipLibLoader(owner, kUnz) {}
  int32_t Exec(UnzRec* record) { return ExecDll(record); }
};
