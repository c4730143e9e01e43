// Keeping children's exit statuses when the host process ignores SIGCHLD.
#pragma once

namespace fendral::posix {

// While SIGCHLD is ignored (or SA_NOCLDWAIT is set), the kernel reaps every child the moment it
// ends and its exit status is lost. While at least one of these tokens exists, SIGCHLD is at its
// default action instead; when the last one goes, the disposition the process had is put back,
// unless it was changed meanwhile (handler or flags differ from what was installed here, which
// carries a flag no handler-less setting needs). A change made between that check and the
// restore is undone. A handler the process installed is left as it is: it
// keeps statuses anyway.
class ChildStatusKept {
 public:
  ChildStatusKept();
  ~ChildStatusKept();
  ChildStatusKept(ChildStatusKept&& other) noexcept;
  ChildStatusKept& operator=(ChildStatusKept&&) = delete;
  ChildStatusKept(const ChildStatusKept&) = delete;
  ChildStatusKept& operator=(const ChildStatusKept&) = delete;

 private:
  bool held_ = true;
};

}  // namespace fendral::posix
