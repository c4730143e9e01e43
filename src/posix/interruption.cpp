#include "posix/interruption.hpp"

#include <cerrno>

namespace fendral::posix {
namespace {

thread_local InterruptionPolicy* current_policy = nullptr;

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

}  // namespace fendral::posix
