// What a blocking system call does when a signal interrupts it. The layer above decides: it may
// run its own signal handlers first and give the call up when one of them asks to stop.
#pragma once

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

// Work that goes on long without a blocking call a signal could interrupt (a walk over many files
// or boxes; reads of regular files never fail with EINTR) asks between its steps whether to go
// on: the thread's policy is asked as after an interrupted call, at most once every
// kInterruptionCheckMilliseconds. False once a handler asked to stop.
inline constexpr int kInterruptionCheckMilliseconds = 5;
bool go_on_between_steps();

// The same question asked at once, as before a step that cannot be taken back (starting a
// program).
bool go_on_now();

}  // namespace fendral::posix
