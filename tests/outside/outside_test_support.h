#pragma once
// Helpers of the tests of the outside libraries: seeded input bytes and text, a shell
// command's output, and the number of threads of this process (to see that no worker thread is left).
#include <dirent.h>

#include <chrono>
#include <cstddef>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "support/temp_dir.h"

namespace outsidetest {

// n bytes of numbered sentences: stem, the count of bytes before it, a full stop.
inline std::string Sentences(size_t n, std::string_view stem) {
  std::string s;
  while (s.size() < n) s += std::string(stem) + std::to_string(s.size()) + ".\n";
  s.resize(n);
  return s;
}

// A shell command's standard output and error; its exit status to *rc when given.
inline std::string Sh(const std::string& cmd, int* rc = nullptr) {
  std::string out;
  const int r = ::Run(cmd + " 2>&1", &out);
  if (rc) *rc = r;
  return out;
}

// n bytes from a generator seeded with seed: the same bytes on every run.
template <typename Buffer = std::string>
Buffer Random(size_t n, unsigned seed) {
  using Byte = typename Buffer::value_type;
  std::mt19937 gen(seed);
  Buffer b(n, Byte{});
  for (Byte& c : b) c = static_cast<Byte>(gen());
  return b;
}

// n bytes of Croatian contract text, words drawn by a generator seeded with seed:
// text that deflate shrinks, with runs that reach back across block boundaries,
// the same on every run.
template <typename Buffer = std::string>
Buffer Text(size_t n, unsigned seed) {
  static const char* const words[] = {"Ugovor ", "o ",      "čuvanju ", "dokumenata, ", "članak ",
                                      "stavak ", "potpis ", "\r\n",     "2026. ",       "Zagreb "};
  std::mt19937 gen(seed);
  Buffer b;
  b.reserve(n + 16);
  while (b.size() < n) {
    const std::string_view w = words[gen() % 10];
    b.insert(b.end(), w.begin(), w.end());
  }
  b.resize(n);
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
