#include "posix/child_status.hpp"

#include <signal.h>

#include <mutex>
#include <utility>

namespace fendral::posix {
namespace {

// The process's signal dispositions are shared by all threads: one count for all of them.
std::mutex holders_mutex;
int holders = 0;
bool disposition_changed = false;
struct sigaction saved_disposition;

}  // namespace

ChildStatusKept::ChildStatusKept() {
  std::lock_guard lock(holders_mutex);
  if (holders++ != 0) return;
  if (::sigaction(SIGCHLD, nullptr, &saved_disposition) != 0) return;
  const bool statuses_discarded =
      (saved_disposition.sa_flags & SA_SIGINFO) == 0 && saved_disposition.sa_handler == SIG_IGN;
  if (!statuses_discarded && (saved_disposition.sa_flags & SA_NOCLDWAIT) == 0) return;
  struct sigaction default_action{};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  disposition_changed = ::sigaction(SIGCHLD, &default_action, nullptr) == 0;
}

ChildStatusKept::ChildStatusKept(ChildStatusKept&& other) noexcept
    : held_(std::exchange(other.held_, false)) {}

ChildStatusKept::~ChildStatusKept() {
  if (!held_) return;
  std::lock_guard lock(holders_mutex);
  if (--holders != 0 || !disposition_changed) return;
  ::sigaction(SIGCHLD, &saved_disposition, nullptr);
  disposition_changed = false;
}

}  // namespace fendral::posix
