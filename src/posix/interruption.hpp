// What a blocking system call does when a signal interrupts it. The layer above decides: it may
// run its own signal handlers first and give the call up when one of them asks to stop.
#pragma once

#include <cerrno>

namespace fendral::posix {

class InterruptionPolicy {
 public:
  // Called after a system call failed with EINTR. True resumes the call; false gives it up, and
  // the call then fails with EINTR.
  virtual bool resume_after_signal() = 0;

 protected:
  ~InterruptionPolicy() = default;
};

// Makes `policy` the calling thread's policy until the scope ends; scopes nest.
class InterruptionScope {
 public:
  explicit InterruptionScope(InterruptionPolicy& policy);
  ~InterruptionScope();
  InterruptionScope(const InterruptionScope&) = delete;
  InterruptionScope& operator=(const InterruptionScope&) = delete;

 private:
  InterruptionPolicy* previous_;
};

// What the calling thread's policy says about an interrupted call. Without a policy every
// interrupted call is resumed. Leaves errno as it was.
bool resume_after_signal();

// Runs `call`, a system call that returns -1 and sets errno when it fails, again after each
// EINTR for as long as the thread's policy resumes it (the handlers have run and none raised).
// Gives the last result, with errno as that call left it.
//
//   const int fd = retry_on_eintr([&] { return ::open(path, O_RDONLY | O_CLOEXEC); });
template <class Call>
auto retry_on_eintr(Call&& call) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR || !resume_after_signal()) return result;
  }
}

// Work that goes on long without a blocking call a signal could interrupt (a walk over many files
// or boxes; reads of regular files never fail with EINTR) asks whether a signal handler asked to
// stop: between its steps at most once every kInterruptionCheckMilliseconds, since asking runs
// the handlers; at once before a step that cannot be taken back (starting a program).
enum class Check { Throttled, Now };
inline constexpr int kInterruptionCheckMilliseconds = 5;
bool interrupt_requested(Check check);

}  // namespace fendral::posix
