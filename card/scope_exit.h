#pragma once
// Runs its action when it goes out of scope: the cleanup a function owes on every
// road out, written once.
#include <utility>

template <typename F>
class TScopeExit {
 public:
  explicit TScopeExit(F action) : action_(std::move(action)) {}
  ~TScopeExit() { action_(); }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

 private:
  F action_;
};
