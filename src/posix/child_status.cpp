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
struct sigaction installed_disposition;  // as the kernel reports it back

bool same_disposition(const struct sigaction& first, const struct sigaction& second) {
  return first.sa_handler == second.sa_handler && first.sa_flags == second.sa_flags;
}

}  // namespace

KeepChildStatuses::KeepChildStatuses() {
  std::lock_guard lock(holders_mutex);
  if (holders++ != 0) return;
  if (::sigaction(SIGCHLD, nullptr, &saved_disposition) != 0) return;
  const bool statuses_discarded =
      (saved_disposition.sa_flags & SA_SIGINFO) == 0 && saved_disposition.sa_handler == SIG_IGN;
  if (!statuses_discarded && (saved_disposition.sa_flags & SA_NOCLDWAIT) == 0) return;
  // SA_NODEFER means nothing without a handler; it marks this default action as ours, so a
  // default action the caller sets meanwhile (signal.signal gives no flags before Python 3.10)
  // can be told apart from it.
  struct sigaction default_action{};
  default_action.sa_handler = SIG_DFL;
  default_action.sa_flags = SA_NODEFER;
  sigemptyset(&default_action.sa_mask);
  disposition_changed = ::sigaction(SIGCHLD, &default_action, nullptr) == 0 &&
                        ::sigaction(SIGCHLD, nullptr, &installed_disposition) == 0;
}

KeepChildStatuses::KeepChildStatuses(KeepChildStatuses&& other) noexcept
    : held_(std::exchange(other.held_, false)) {}

KeepChildStatuses::~KeepChildStatuses() {
  if (!held_) return;
  std::lock_guard lock(holders_mutex);
  if (--holders != 0 || !disposition_changed) return;
  disposition_changed = false;
  // A disposition set meanwhile (by the caller's own signal.signal, say) is the caller's latest
  // word and stays.
  struct sigaction current;
  if (::sigaction(SIGCHLD, nullptr, &current) != 0) return;
  if (same_disposition(current, installed_disposition)) {
    ::sigaction(SIGCHLD, &saved_disposition, nullptr);
  }
}

}  // namespace fendral::posix
