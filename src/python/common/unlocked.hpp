// Native work done with the interpreter lock released, interruptible as PEP 475 asks: a system
// call that a signal interrupts is resumed only after the interpreter's signal handlers ran, and
// is given up when one of them raised (KeyboardInterrupt, say); that exception is then the result.
#pragma once

#include <optional>
#include <type_traits>

#include "posix/interruption.hpp"
#include "python/common/error.hpp"

namespace fendral::python {

// Releases the lock for its lifetime and is the thread's interruption policy meanwhile. Nothing
// inside may touch a Python object: only native values, and memory the caller keeps alive.
class UnlockedSection final : posix::InterruptionPolicy {
 public:
  // `raised` receives the exception of a signal handler; it must outlive the section and is
  // only to be touched once the section has ended.
  explicit UnlockedSection(std::optional<ErrorValue>& raised);
  ~UnlockedSection();
  UnlockedSection(const UnlockedSection&) = delete;
  UnlockedSection& operator=(const UnlockedSection&) = delete;

 private:
  bool resume_after_signal() override;

  std::optional<ErrorValue>& raised_;
  PyThreadState* thread_state_;
  posix::InterruptionScope scope_;
};

// Holds the interpreter lock for its lifetime, on a thread that released it (a callback from
// inside an unlocked section).
class LockHeld {
 public:
  LockHeld() : state_(PyGILState_Ensure()) {}
  ~LockHeld() { PyGILState_Release(state_); }
  LockHeld(const LockHeld&) = delete;
  LockHeld& operator=(const LockHeld&) = delete;

 private:
  PyGILState_STATE state_;
};

// Runs `operation` (returning Result<T>) without the lock and hands back its outcome: a failure
// becomes its error value, and a signal handler's exception takes precedence over both.
template <class Operation>
auto run_unlocked(Operation&& operation)
    -> HostResult<typename std::invoke_result_t<Operation>::value_type> {
  using Value = typename std::invoke_result_t<Operation>::value_type;
  std::optional<ErrorValue> raised;
  auto outcome = [&] {
    UnlockedSection section(raised);
    return operation();
  }();
  if (raised) return unexpected(std::move(*raised));
  if (!outcome) return unexpected(ErrorValue::from_failure(outcome.error()));
  if constexpr (std::is_void_v<Value>) {
    return {};
  } else {
    return std::move(*outcome);
  }
}

}  // namespace fendral::python
