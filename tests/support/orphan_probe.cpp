// Test helper: runs argv[1] with the arguments after it through posix::run_program, in a process
// whose getppid() answers as if its parent had died before the child asked the kernel to end it
// with its parent (PR_SET_PDEATHSIG): this executable's own getppid() stands in for libc's. Prints
// the child's exit status: a program started anyway would outlive the caller that started it.
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "posix/program_search.hpp"
#include "posix/spawn.hpp"

// The pid a reparented child sees: init's, or its subreaper's.
extern "C" pid_t getppid(void) {
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::vector<std::string> arguments(argv + 2, argv + argc);
  const auto environment = fendral::posix::Environment::capture();
  const auto status = fendral::posix::run_program(argv[1], arguments, {.environment = environment});
  if (!status) {
    std::fprintf(stderr, "%s\n", status.error().text().c_str());
    return 1;
  }
  std::printf("%s\n", status->describe().c_str());
  return 0;
}
