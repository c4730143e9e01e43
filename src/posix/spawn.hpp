// Starting a program without a shell, with the descriptors and environment it is given.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "posix/child_process.hpp"
#include "posix/io_error.hpp"
#include "posix/program_search.hpp"

namespace fendral::posix {

// A child receives SpawnOptions::passed_fds in order under the numbers from kFirstPassedFd up.
inline constexpr std::size_t kPassedFdCount = 5;
inline constexpr int kFirstPassedFd = 3;

// What a child gets besides the caller's stdout, stderr and working directory.
struct SpawnOptions {
  // The environment the child gets and in whose PATH the program is looked up.
  const Environment& environment;
  // Standard input from /dev/null rather than the caller's, so the child cannot consume it.
  bool stdin_from_null = false;
  // Descriptors of the caller's handed to the child as kFirstPassedFd, kFirstPassedFd + 1 and so
  // on; -1 hands none in its place. A lock on one of them then lasts until the child ends too,
  // whichever of the two ends first.
  std::array<int, kPassedFdCount> passed_fds = {-1, -1, -1, -1, -1};
  // Descriptors the child gets as its standard output and error instead of the caller's; -1
  // keeps the caller's.
  int stdout_fd = -1;
  int stderr_fd = -1;
};

// Starts `program` with `args` (argv[0] is `program`). The child inherits the standard streams
// and working directory, except as `options` say; a standard stream the caller has closed is
// /dev/null in the child. SIGPIPE and SIGXFSZ are back at their defaults in it and its signal
// mask is empty, whatever the host process set. It gets SIGKILL when the calling thread ends
// (the process killed, say) before it does; a child whose caller died before it could ask for
// that exits without running the program.
[[nodiscard]] IoResult<ChildProcess> spawn_program(std::string_view program,
                                                   std::span<const std::string> args,
                                                   const SpawnOptions& options);

// Starts `program` and waits for it.
[[nodiscard]] IoResult<ExitStatus> run_program(std::string_view program,
                                               std::span<const std::string> args,
                                               const SpawnOptions& options);

}  // namespace fendral::posix
