#include "jni_bridge/bridge_log.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

#if BRIDGE_DEBUG_LOG
std::atomic<int> log_enabled{0};
char log_path[260] = "";
#else
// Fixed in the delivered builds: no operation can switch the log on.
constexpr int log_enabled = 0;
constexpr char log_path[1] = "";
#endif

// Lines from several threads must not interleave, and the switch must not
// change under a line being written.
std::mutex& LogMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

void log_line(const char* text) {
  if (!log_enabled) return;
  std::lock_guard<std::mutex> lock(LogMutex());
  if (!log_enabled || log_path[0] == '\0') return;
  std::FILE* f = std::fopen(log_path, "a");
  if (!f) return;
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  // One extra byte for the terminating NUL; the newline is added on its own.
  char line[kBridgeLogLineMax + 1];
  std::snprintf(line, sizeof line, "%04d-%02d-%02d|%02d:%02d:%02d.%04d> %s", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ts.tv_nsec / 1000000),
                text ? text : "");
  std::fputs(line, f);
  std::fputc('\n', f);
  std::fclose(f);
}

void log_int(const char* format, int number) {
  if (!log_enabled) return;
  char text[kBridgeLogTextMax + 1];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(text, sizeof text, format, number);
#pragma GCC diagnostic pop
  log_line(text);
}

void log_int2(const char* format, int first, int second) {
  if (!log_enabled) return;
  char text[kBridgeLogTextMax + 1];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(text, sizeof text, format, first, second);
#pragma GCC diagnostic pop
  log_line(text);
}

void log_str(const char* format, const char* value) {
  if (!log_enabled) return;
  char text[kBridgeLogTextMax + 1];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(text, sizeof text, format, value ? value : "");
#pragma GCC diagnostic pop
  log_line(text);
}

#if BRIDGE_DEBUG_LOG
extern "C" void bridge_log_configure(int enabled, const char* path) {
  std::lock_guard<std::mutex> lock(LogMutex());
  if (!path || std::strlen(path) >= sizeof log_path) {
    log_enabled.store(0);
    log_path[0] = '\0';
    return;
  }
  std::snprintf(log_path, sizeof log_path, "%s", path);
  log_enabled.store(enabled ? 1 : 0);
}
#endif
