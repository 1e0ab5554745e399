#pragma once
// The pieces the engine's long operations are built from: each operation runs as
// a row of steps, and a step that ends the operation has already shown or logged
// why. Cleanup that every road needs is a scope guard, never a line repeated
// before each return.
#include <optional>
#include <utility>

// What a step of an operation without a result tells it.
enum class Step { Next, Stop };

// What a step of an operation with a result tells it: empty to go on, else the
// result the operation returns.
template <class Result>
using StepEnd = std::optional<Result>;

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
