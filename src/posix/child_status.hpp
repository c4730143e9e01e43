// Keeping children's exit statuses when the host process ignores SIGCHLD.
#pragma once

namespace fendral::posix {

// While at least one of these exists, SIGCHLD is at its default action, so the kernel keeps the
// exit statuses of children that a process ignoring SIGCHLD (or setting SA_NOCLDWAIT) would lose.
// When the last one goes, the earlier disposition is put back unless the process set another
// meanwhile. A handler the process installed is left alone: it keeps statuses anyway.
class KeepChildStatuses {
 public:
  KeepChildStatuses();
  ~KeepChildStatuses();
  KeepChildStatuses(KeepChildStatuses&& other) noexcept;
  KeepChildStatuses& operator=(KeepChildStatuses&&) = delete;
  KeepChildStatuses(const KeepChildStatuses&) = delete;
  KeepChildStatuses& operator=(const KeepChildStatuses&) = delete;

 private:
  bool held_ = true;
};

}  // namespace fendral::posix
