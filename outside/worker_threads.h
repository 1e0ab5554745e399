#pragma once
// How many threads a stand-in library may use inside one call: the environment
// variable TARVI_THREADS (1 to 256), or else the machine's cores. 1 means the
// calling thread alone. Read on every call, so a test or a benchmark can change it
// between calls.
#include <cstdlib>
#include <thread>

namespace outside_threads {

inline unsigned WorkerCount() {
  if (const char* v = std::getenv("TARVI_THREADS"); v && *v) {
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    if (end && *end == '\0' && n >= 1) return n > 256 ? 256u : static_cast<unsigned>(n);
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return cores ? cores : 1u;
}

}  // namespace outside_threads
