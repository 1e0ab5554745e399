#include "platform/library.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>

namespace {

bool HasFolder(const std::string& name) {
  // A Windows-style path counts as having a folder too: it names one exact file.
  return name.find('/') != std::string::npos || name.find('\\') != std::string::npos;
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
  if (s.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) !=
        std::tolower(static_cast<unsigned char>(suffix[i])))
      return false;
  }
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ProgramPath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string ProgramFolder() {
  std::string p = ProgramPath();
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

std::string ProgramBaseName() {
  std::string p = ProgramPath();
  size_t slash = p.rfind('/');
  std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
  if (EndsWithNoCase(base, ".exe")) base.resize(base.size() - 4);
  return base;
}

std::vector<std::string> LibraryCandidates(const std::string& configuredName) {
  if (configuredName.empty()) return {};
  if (HasFolder(configuredName) || !EndsWithNoCase(configuredName, ".dll")) return {configuredName};
  std::string file = "lib" + Lower(configuredName.substr(0, configuredName.size() - 4)) + ".so";
  std::string folder = ProgramFolder();
  return {folder == "/" ? "/" + file : folder + "/" + file, file};
}

SharedLibrary::~SharedLibrary() {
  if (handle_) dlclose(handle_);
}

std::unique_ptr<SharedLibrary> SharedLibrary::Load(const std::string& configuredName, std::string* error) {
  std::vector<std::string> candidates = LibraryCandidates(configuredName);
  if (candidates.empty()) {
    if (error) *error = "empty library name";
    return nullptr;
  }
  // The error worth showing is the one of a file that exists but would not load
  // (a missing dependency, a wrong architecture), else the last one.
  std::string firstRealError;
  std::string lastError;
  for (const std::string& candidate : candidates) {
    dlerror();
    void* h = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h) {
      if (error) error->clear();
      return std::unique_ptr<SharedLibrary>(new SharedLibrary(h, configuredName, candidate));
    }
    const char* e = dlerror();
    lastError = e ? e : ("cannot load " + candidate);
    bool explicitPath = candidate.find('/') != std::string::npos;
    if (firstRealError.empty() && explicitPath && FileExists(candidate)) firstRealError = lastError;
  }
  if (error) *error = firstRealError.empty() ? lastError : firstRealError;
  return nullptr;
}

void* SharedLibrary::Symbol(const char* name) const {
  if (!handle_ || !name) return nullptr;
  return dlsym(handle_, name);
}
