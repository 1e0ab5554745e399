#pragma once
// Helpers of the tests of the outside libraries: seeded input bytes, and the
// number of threads of this process (to see that no worker thread is left).
#include <dirent.h>

#include <chrono>
#include <cstddef>
#include <random>
#include <string>
#include <thread>

namespace outsidetest {

// n bytes from a generator seeded with seed: the same bytes on every run.
template <typename Buffer = std::string>
Buffer Random(size_t n, unsigned seed) {
  using Byte = typename Buffer::value_type;
  std::mt19937 gen(seed);
  Buffer b(n, Byte{});
  for (Byte& c : b) c = static_cast<Byte>(gen());
  return b;
}

inline size_t CountTasks() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

// The threads of this process, once joined threads have also left the kernel's
// list (which can trail the join by a moment).
inline size_t ThreadsOfProcess(size_t expected) {
  size_t n = CountTasks();
  for (int i = 0; i < 500 && n > expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    n = CountTasks();
  }
  return n;
}

}  // namespace outsidetest
