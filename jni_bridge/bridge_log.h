#pragma once
// The bridge's debug log. The delivered libraries are built with it switched off
// and without a file name, so none of these calls writes anything there; a test
// build (BRIDGE_DEBUG_LOG=1) can switch it on with bridge_log_configure.
#include <cstddef>

// Longest line the log writes, time stamp included, newline excluded.
constexpr std::size_t kBridgeLogLineMax = 1024;
// Longest text the formatting helpers hand to log_line.
constexpr std::size_t kBridgeLogTextMax = 1024;

void log_line(const char* text);
void log_int(const char* format, int number);
void log_int2(const char* format, int first, int second);
void log_str(const char* format, const char* text);

#if BRIDGE_DEBUG_LOG
// Switches the log on (non-zero) or off and names its file (at most 259
// characters; a longer name switches the log off). Not exported.
extern "C" void bridge_log_configure(int enabled, const char* path);
#endif
