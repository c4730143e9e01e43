#include "posix/interruption.hpp"

#include <cerrno>
#include <chrono>

namespace fendral::posix {
namespace {

thread_local InterruptionPolicy* current_policy = nullptr;
thread_local std::chrono::steady_clock::time_point next_check;

}  // namespace

InterruptionScope::InterruptionScope(InterruptionPolicy& policy) : previous_(current_policy) {
  current_policy = &policy;
}

InterruptionScope::~InterruptionScope() {
  current_policy = previous_;
}

bool resume_after_signal() {
  if (current_policy == nullptr) return true;
  const int saved_errno = errno;
  const bool resume = current_policy->resume_after_signal();
  errno = saved_errno;
  return resume;
}

bool interrupt_requested(Check check) {
  if (current_policy == nullptr) return false;
  if (check == Check::Throttled) {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_check) return false;
    next_check = now + std::chrono::milliseconds(kInterruptionCheckMilliseconds);
  }
  return !resume_after_signal();
}

}  // namespace fendral::posix
