#pragma once
// Cleanup that every road out of a scope needs, written once: a scope guard,
// never a line repeated before each return.
#include <utility>

// Runs its action when the scope ends, whichever road ends it.
template <class Action>
class ScopeExit {
 public:
  explicit ScopeExit(Action action) : action_(std::move(action)) {}
  ~ScopeExit() { action_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  Action action_;
};
