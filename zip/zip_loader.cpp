#include "zip/zip_loader.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/library.h"
#include "zip/zip_archiver.h"

namespace {

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file a configured name stands for in a folder: a ".dll" name maps to
// lib<stem>.so, as the platform's loader maps it.
std::string FileNameFor(const std::string& libraryName) {
  std::vector<std::string> candidates = LibraryCandidates(libraryName);
  if (candidates.empty()) return libraryName;
  const std::string& bare = candidates.back();
  size_t slash = bare.rfind('/');
  return slash == std::string::npos ? bare : bare.substr(slash + 1);
}

}  // namespace

TZipLibLoader::TZipLibLoader(TZipArchiver& owner, Kind kind)
    : TZipLibLoader(owner, kind, kind == kZip ? ZIPABI_ZIP_LIBRARY : ZIPABI_UNZ_LIBRARY) {}

TZipLibLoader::TZipLibLoader(TZipArchiver& owner, Kind kind, std::string libraryName)
    : owner_(owner), kind_(kind), libraryName_(std::move(libraryName)), path_(libraryName_) {}

TZipLibLoader::~TZipLibLoader() {
  module_.reset();
  if (FileExists(tempLibraryFile_)) unlink(tempLibraryFile_.c_str());
}

const char* TZipLibLoader::ExecName() const { return kind_ == kZip ? ZIPABI_ZIP_EXEC_NAME : ZIPABI_UNZ_EXEC_NAME; }

const char* TZipLibLoader::VersionName() const {
  return kind_ == kZip ? ZIPABI_ZIP_VERSION_NAME : ZIPABI_UNZ_VERSION_NAME;
}

void TZipLibLoader::BindFunctions(void* exec, GetLibVersionFn* version, std::string path) {
  module_.reset();
  bound_ = true;
  boundExec_ = exec;
  boundVersion_ = version;
  path_ = std::move(path);
  exec_ = nullptr;
  versionFn_ = nullptr;
  useBits_ = 0;
  version_ = 0;
}

std::string TZipLibLoader::ModulePath() const {
  if (!module_) return std::string();
  link_map* map = nullptr;
  if (dlinfo(module_->handle(), RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name || !*map->l_name)
    return module_->loadedPath();
  char resolved[PATH_MAX];
  if (realpath(map->l_name, resolved)) return resolved;
  return map->l_name;
}

bool TZipLibLoader::ExtractDllResource(std::string& fileName) {
  // The program carries no library of its own, and loading code written to a
  // temporary folder is not something to do anyway.
  fileName.clear();
  return false;
}

int32_t TZipLibLoader::LoadDllCore(uint32_t bit) {
  useBits_ = (useBits_ | bit) & 7;
  if (Loaded()) return version_;

  version_ = 0;
  exec_ = nullptr;
  versionFn_ = nullptr;
  if (bound_) {
    exec_ = boundExec_;
    versionFn_ = boundVersion_;
  } else {
    std::string candidate = tempLibraryFile_;
    if (candidate.empty()) ExtractDllResource(candidate);
    const std::string dir = owner_.DLLDirectory().toStdString();
    if (candidate.empty() && !dir.empty()) {
      std::string inDir =
          TZipArchiver::PathConcat(QString::fromStdString(dir), QString::fromStdString(FileNameFor(libraryName_)))
              .toStdString();
      // "." and "./sub" are folders of the program, not of the current folder.
      if (dir[0] == '.')
        inDir = TZipArchiver::PathConcat(QString::fromStdString(ProgramFolder()), QString::fromStdString(inDir))
                    .toStdString();
      if (FileExists(inDir)) candidate = inDir;
    }
    if (candidate.empty()) candidate = libraryName_;

    module_ = SharedLibrary::Load(candidate);
    if (!module_) {
      useBits_ = 0;
      throw EZipArchiver::CreateFromIdText(kZipLoadFailed, QString::fromStdString(candidate));
    }
    exec_ = module_->Symbol(ExecName());
    versionFn_ = module_->Function<GetLibVersionFn*>(VersionName());
    path_ = ModulePath();
  }

  if (exec_ && versionFn_) version_ = versionFn_();
  if (version_ < ZIPABI_VERSION_MIN || version_ > ZIPABI_VERSION_MAX) {
    Free();
    throw EZipArchiver::CreateFromIdText(kZipLoadOldOrCorrupt, QString::fromStdString(path_));
  }
  if (owner_.Verbose())
    owner_.DispatchEvent(
        ZIPCB_MESSAGE, 0, 0,
        owner_.LoadZipStringDef(kZipLoaded, QStringLiteral("loaded ")) + QString::fromStdString(path_));
  return version_;
}

int32_t TZipLibLoader::UnloadDllCore(uint32_t bits) {
  useBits_ = ~bits & useBits_ & 7;
  if (useBits_ == 0 && Loaded()) {
    // The report may raise (a cancelled operation): the library is freed all the same.
    try {
      if (owner_.Verbose())
        owner_.DispatchEvent(
            ZIPCB_MESSAGE, 0, 0,
            owner_.LoadZipStringDef(kZipUnloaded, QStringLiteral("unloaded ")) + QString::fromStdString(path_));
    } catch (...) {
      Free();
      throw;
    }
    Free();
  }
  if (!Loaded()) {
    useBits_ = 0;
    version_ = 0;
    exec_ = nullptr;
    versionFn_ = nullptr;
  }
  return version_;
}

void TZipLibLoader::Free() {
  module_.reset();
  exec_ = nullptr;
  versionFn_ = nullptr;
  useBits_ = 0;
  version_ = 0;
}

int32_t TZipLibLoader::LoadDll(int32_t minimum, bool explicitLoad) {
  LoadDllCore(explicitLoad ? kExplicit : kForOperation);
  int32_t v = Loaded() ? version_ : 0;
  if (minimum > v) {
    UnloadDllCore(7);
    throw EZipArchiver::CreateFromIdText(kZipLoadOldOrCorrupt, QString::fromStdString(path_));
  }
  return v;
}

void TZipLibLoader::UnloadDll(bool explicitLoad) { UnloadDllCore(explicitLoad ? kExplicit : kForOperation); }

int32_t TZipLibLoader::ExecDll(void* record) {
  LoadDllCore(kExecRunning);
  int32_t result = 0;
  try {
    if (kind_ == kZip)
      result = reinterpret_cast<ZipLibExecFn*>(exec_)(static_cast<ZipRec*>(record));
    else
      result = reinterpret_cast<UnzLibExecFn*>(exec_)(static_cast<UnzRec*>(record));
  } catch (...) {
    UnloadDllCore(kExecRunning);
    throw;
  }
  UnloadDllCore(kExecRunning);
  return result;
}
