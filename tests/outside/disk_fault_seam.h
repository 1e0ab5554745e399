#pragma once
// Disk faults for the writer of outside/ (outside/common/safe_file.h): its seam is
// the environment variable TARVI_DISK_FAULT, read at every step, so a case sets it
// around a call of a loaded library or in a child program's environment. The
// sampled points and the checks every case holds to are shared by the library and
// self-extractor tests.
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace ziptest {

struct DiskFault {
  const char* step;  // write, close, sync, rename
  int nth;           // which call of that step fails (1 = the first)
  int err;
  bool Reached() const { return nth < 1000; }  // the last sample is never reached: nothing fails
  std::string Value() const { return std::string(step) + ":" + std::to_string(nth) + ":" + std::to_string(err); }
  std::string Name() const { return Value() + " (" + strerrordesc_np(err) + ")"; }
};

// The first and a later call of each step, and a point past the end of the work.
inline const DiskFault kSampledFaults[] = {
    {"write", 1, ENOSPC}, {"write", 3, EIO},    {"close", 1, EIO},
    {"sync", 1, EIO},     {"rename", 1, EROFS}, {"write", 1000, EIO},
};

// The variable set for the life of the object, in this process.
class ScopedDiskFault {
 public:
  explicit ScopedDiskFault(const DiskFault& f) { setenv("TARVI_DISK_FAULT", f.Value().c_str(), 1); }
  ~ScopedDiskFault() { unsetenv("TARVI_DISK_FAULT"); }
  ScopedDiskFault(const ScopedDiskFault&) = delete;
  ScopedDiskFault& operator=(const ScopedDiskFault&) = delete;
};

// The writer's hidden files left in folder: none, after any case.
inline std::vector<std::string> HiddenLeft(const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    if (e.path().filename().string().rfind(".tarvi-", 0) == 0) out.push_back(e.path().filename().string());
  return out;
}

}  // namespace ziptest
