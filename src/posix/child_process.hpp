// A started child process and how it ended.
#pragma once

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "posix/child_status.hpp"
#include "posix/io_error.hpp"

namespace fendral::posix {

// How a child ended, as reported by waitpid.
class ExitStatus {
 public:
  explicit ExitStatus(int wait_status) : wait_status_(wait_status) {}

  bool success() const;
  // The exit code, when the child exited rather than being killed.
  std::optional<int> code() const;
  // The signal that ended the child.
  std::optional<int> signal() const;
  // "ExitStatus(ExitStatus(N))" for exit code N; "signal: N (SIGNAME)" for a killed child.
  std::string describe() const;

 private:
  int wait_status_;
};

struct SpawnOptions;

// A started child. It is always waited for: by wait(), or else by the destructor.
class ChildProcess {
 public:
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Blocks until the child ends, with no time limit. When a signal interrupts the wait and the
  // thread's interruption policy gives it up, the child is stopped: SIGINT, so it can finish
  // what it writes, then SIGKILL if it is still running after kStopGraceMilliseconds. It is reaped
  // either way, and the wait fails with EINTR.
  [[nodiscard]] IoResult<ExitStatus> wait();

  static constexpr int kStopGraceMilliseconds = 2000;

 private:
  friend IoResult<ChildProcess> spawn_program(std::string_view, std::span<const std::string>,
                                              const SpawnOptions&);
  ChildProcess(pid_t pid, KeepChildStatuses statuses_kept)
      : pid_(pid), statuses_kept_(std::move(statuses_kept)) {}

  void stop();

  pid_t pid_ = -1;  // -1 once reaped
  KeepChildStatuses statuses_kept_;
};

}  // namespace fendral::posix
