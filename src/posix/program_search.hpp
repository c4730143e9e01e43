// Finding the program a command names, on the PATH of an environment captured once.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "posix/io_error.hpp"

namespace fendral::posix {

inline constexpr std::string_view kProgramNotFound = "program not found";
inline constexpr std::string_view kNulInArgument = "nul byte found in provided data";

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

// The file that would run for `name`: a name holding '/' is taken as a path; otherwise the
// first executable regular file in the directories of `environment`'s PATH (an empty entry is
// the working directory; with PATH unset, the system's default search path).
[[nodiscard]] IoResult<std::string> find_program(std::string_view name,
                                                 const Environment& environment);

// What spawn_program settles before it starts anything: neither `program` nor an argument holds a
// NUL byte, and the program is found as find_program finds it. Gives the file that would run.
[[nodiscard]] IoResult<std::string> resolve_command(std::string_view program,
                                                    std::span<const std::string> args,
                                                    const Environment& environment);

}  // namespace fendral::posix
