#pragma once
// Loading a shared library by the name the configuration gives.
//
// A name without a folder that ends in ".dll" (any case) is loaded as "lib" + its
// lower-cased stem + ".so", looked for first in the program's own folder, then on
// the system's library path; a name with a folder, or ending in ".so", is loaded as
// given. Messages keep showing the name as configured.
#include <memory>
#include <string>
#include <vector>

class SharedLibrary {
 public:
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // nullptr when the library cannot be loaded; *error (when given) gets dlerror's text.
  static std::unique_ptr<SharedLibrary> Load(const std::string& configuredName, std::string* error = nullptr);

  // The address of an exported symbol, or nullptr.
  void* Symbol(const char* name) const;
  template <typename F>
  F Function(const char* name) const {
    return reinterpret_cast<F>(Symbol(name));
  }

  const std::string& configuredName() const { return configured_; }
  const std::string& loadedPath() const { return path_; }  // the file actually opened
  void* handle() const { return handle_; }

 private:
  SharedLibrary(void* h, std::string configured, std::string path)
      : handle_(h), configured_(std::move(configured)), path_(std::move(path)) {}
  void* handle_;
  std::string configured_;
  std::string path_;
};

// The candidate file names, in search order, for a configured library name.
// An entry without a folder goes to the system's library path.
std::vector<std::string> LibraryCandidates(const std::string& configuredName);

// The folder of the running program, with no trailing "/".
std::string ProgramFolder();
// The program file's name without folder and without a final ".exe" (any case).
std::string ProgramBaseName();
