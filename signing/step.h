#pragma once
// The pieces the engine's long operations are built from: each operation runs as
// a row of steps, and a step that ends the operation has already shown or logged
// why. Cleanup that every road needs is a scope guard, never a line repeated
// before each return.
#include <optional>
#include <utility>

#include "platform/scope_exit.h"

// What a step of an operation without a result tells it.
enum class Step { Next, Stop };

// What a step of an operation with a result tells it: empty to go on, else the
// result the operation returns.
template <class Result>
using StepEnd = std::optional<Result>;

// The scope guard of those cleanups (ScopeExit) is platform's.
