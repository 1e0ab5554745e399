#pragma once
// Small helpers shared by the fuzz entries: a private folder for the files an
// entry must write (made once per process, removed at exit), removing a tree
// without following links, and writing a file or stopping.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzzsupport {

// Stops the run so that libFuzzer keeps the input: an invariant did not hold.
inline void Require(bool ok) {
  if (!ok) std::abort();
}

// Removes path and everything under it; a link is removed, never followed.
inline void RemoveTree(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        RemoveTree(path + "/" + e->d_name);
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

inline std::string& RootSlot() {
  static std::string root;
  return root;
}

inline void RemoveRoot() {
  if (!RootSlot().empty()) RemoveTree(RootSlot());
}

// $TMPDIR/tarvi-fuzz-<tag>-XXXXXX (mode 0700), the same folder for the whole run.
inline const std::string& Root(const char* tag) {
  std::string& root = RootSlot();
  if (root.empty()) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarvi-fuzz-" + tag + "-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    root = pattern;
    std::atexit(RemoveRoot);
  }
  return root;
}

// Empties a folder (keeps the folder itself).
inline void ClearFolder(const std::string& path) {
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d)) {
      if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
      RemoveTree(path + "/" + e->d_name);
    }
    closedir(d);
  }
}

inline void WriteFile(const std::string& path, const void* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Require(fd >= 0);
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    Require(n > 0);
    p += n;
    size -= static_cast<size_t>(n);
  }
  Require(close(fd) == 0);
}

}  // namespace fuzzsupport
