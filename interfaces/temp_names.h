#pragma once
// The hidden name of a file being written beside a user's file,
// ".tarvi-<pid>-<random>.tmp" (pid decimal, random letters and digits): the
// program and the libraries it loads both make such files, and each removes the
// stale ones of an ended process whoever made them, so the rule is one.
#include <sys/types.h>

#include <string_view>

namespace tempname {

inline constexpr std::string_view kPrefix = ".tarvi-";
inline constexpr std::string_view kSuffix = ".tmp";

// Whether name (a bare file name) has the form above; the pid written in it goes
// to *pid when given.
inline bool IsTempName(std::string_view name, pid_t* pid = nullptr) {
  if (name.size() <= kPrefix.size() + kSuffix.size() || name.substr(0, kPrefix.size()) != kPrefix ||
      name.substr(name.size() - kSuffix.size()) != kSuffix)
    return false;
  const std::string_view rest = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  const size_t dash = rest.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 10 || dash + 1 == rest.size()) return false;
  long long value = 0;
  for (char c : rest.substr(0, dash)) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value <= 0 || value > 0x7fffffff) return false;
  for (char c : rest.substr(dash + 1))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  if (pid) *pid = static_cast<pid_t>(value);
  return true;
}

}  // namespace tempname
