// Child processes: finding a program on PATH, starting it without a shell, waiting for it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "posix/child_status.hpp"
#include "posix/io_error.hpp"

namespace fendral::posix {

inline constexpr std::string_view kProgramNotFound = "program not found";
inline constexpr std::string_view kNulInArgument = "nul byte found in provided data";

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

// A copy of the process environment taken at one moment. Children started while other threads
// may change the environment (a Python thread setting os.environ, say) get this copy, which
// stays valid, instead of the live table, which such a change may reallocate under them.
class Environment {
 public:
  // Copies the process environment; call it while nothing else can change the environment.
  static Environment capture();

  // The value of `name`, or nullptr when it is not set.
  const char* find(std::string_view name) const;
  // The NULL-terminated "NAME=value" table for exec.
  char* const* table() const { return pointers_.data(); }

 private:
  Environment() = default;

  std::vector<std::string> entries_;
  std::vector<char*> pointers_;
};

// The descriptor numbers under which a child receives SpawnOptions::passed_fd,
// SpawnOptions::second_passed_fd and SpawnOptions::kept_fd.
inline constexpr int kPassedFdNumber = 3;
inline constexpr int kSecondPassedFdNumber = 4;
inline constexpr int kKeptFdNumber = 5;

// What a child gets besides the caller's stdout, stderr, environment and working directory.
struct SpawnOptions {
  // Standard input from /dev/null rather than the caller's, so the child cannot consume it.
  bool stdin_from_null = false;
  // A descriptor of the caller's handed to the child as kPassedFdNumber; -1 hands none.
  int passed_fd = -1;
  // Another one, handed over as kSecondPassedFdNumber; -1 hands none.
  int second_passed_fd = -1;
  // One the child only holds, as kKeptFdNumber: a lock on it then lasts until the child ends
  // too, whichever of the two ends first. -1 hands none.
  int kept_fd = -1;
  // The environment the child gets and in whose PATH the program is looked up; nullptr takes
  // the process environment as it is at the start.
  const Environment* environment = nullptr;
};

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
  IoResult<ExitStatus> wait();

  static constexpr int kStopGraceMilliseconds = 2000;

 private:
  friend IoResult<ChildProcess> spawn_program(std::string_view, std::span<const std::string>,
                                              const SpawnOptions&);
  ChildProcess(pid_t pid, ChildStatusKept status_kept)
      : pid_(pid), status_kept_(std::move(status_kept)) {}

  void stop();

  pid_t pid_ = -1;  // -1 once reaped
  ChildStatusKept status_kept_;
};

// The file that would run for `name`: a name holding '/' is taken as a path; otherwise the
// first executable regular file in the PATH directories (an empty entry is the working
// directory; with PATH unset, the system's default search path). PATH is taken from
// `environment`, or from the process environment when that is nullptr.
IoResult<std::string> find_program(std::string_view name, const Environment* environment = nullptr);

// What spawn_program settles before it starts anything: neither `program` nor an argument holds a
// NUL byte, and the program is found as find_program finds it. Gives the file that would run.
IoResult<std::string> resolve_command(std::string_view program, std::span<const std::string> args,
                                      const Environment* environment = nullptr);

// Starts `program` with `args` (argv[0] is `program`). The child inherits the standard streams,
// environment and working directory, except as `options` say; a standard stream the caller has
// closed is /dev/null in the child. SIGPIPE and SIGXFSZ are back at their defaults in it and its
// signal mask is empty, whatever the host process set. It gets SIGKILL when the calling thread
// ends (the process killed, say) before it does; a child whose caller died before it could ask
// for that exits without running the program.
IoResult<ChildProcess> spawn_program(std::string_view program, std::span<const std::string> args,
                                     const SpawnOptions& options = {});

// Starts `program` and waits for it.
IoResult<ExitStatus> run_program(std::string_view program, std::span<const std::string> args,
                                 const SpawnOptions& options = {});

}  // namespace fendral::posix
