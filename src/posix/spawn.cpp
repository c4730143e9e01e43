#include "posix/spawn.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "base/propagate.hpp"
#include "posix/file.hpp"

namespace fendral::posix {

namespace {

// A posix_spawn object (attributes or file actions), destroyed if it was initialised.
template <class Object, int (*kInit)(Object*), int (*kDestroy)(Object*)>
class SpawnObject {
 public:
  SpawnObject() = default;
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;
  ~SpawnObject() {
    if (initialized_) kDestroy(&object_);
  }

  // Returns 0 or the error number.
  int initialize() {
    int code = kInit(&object_);
    initialized_ = code == 0;
    return code;
  }
  Object* get() { return &object_; }

 private:
  Object object_;
  bool initialized_ = false;
};

using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;
using SpawnFileActions = SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init,
                                     ::posix_spawn_file_actions_destroy>;

// Python ignores SIGPIPE and SIGXFSZ and may block signals; an exec'd program expects the
// defaults, or a closed pipe would turn into a stream of EPIPE errors instead of ending it.
int configure_child_signals(SpawnAttributes& attributes) {
  sigset_t defaulted;
  sigemptyset(&defaulted);
  sigaddset(&defaulted, SIGPIPE);
  sigaddset(&defaulted, SIGXFSZ);
#ifdef SIGXFZ
  sigaddset(&defaulted, SIGXFZ);
#endif
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  if (int code = ::posix_spawnattr_setsigdefault(attributes.get(), &defaulted)) return code;
  if (int code = ::posix_spawnattr_setsigmask(attributes.get(), &empty_mask)) return code;
  return ::posix_spawnattr_setflags(attributes.get(),
                                    POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

// True when `fd` is open and stays open across exec.
bool reaches_child(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC) == 0;
}

}  // namespace

IoResult<ChildProcess> spawn_program(std::string_view program, std::span<const std::string> args,
                                     const SpawnOptions& options) {
  FENDRAL_TRY(auto executable, resolve_command(program, args, options.environment));

  std::string program_name(program);
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(program_name.data());
  for (const std::string& argument : args) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  SpawnAttributes attributes;
  if (int code = attributes.initialize()) return errno_error(code);
  if (int code = configure_child_signals(attributes)) return errno_error(code);

  // Every descriptor this module opens carries O_CLOEXEC, so the child gets fds 0-2 and only
  // what the file actions below add.
  SpawnFileActions file_actions;
  if (int code = file_actions.initialize()) return errno_error(code);
  // A descriptor handed over must not sit on a number the actions below set up or replace:
  // with the caller's standard streams closed it can be 0-2, and the child's /dev/null would
  // take its place; on a passed number the first dup2 could replace a later source. Such a
  // source is copied above the last passed number first. (dup2 onto itself would also keep
  // close-on-exec on older C libraries.)
  constexpr int kLastPassedFd = kFirstPassedFd + static_cast<int>(kPassedFdCount) - 1;
  struct Handover {
    int source;
    int target;
    UniqueFd moved;
  };
  std::array<Handover, kPassedFdCount + 2> handovers;
  for (std::size_t slot = 0; slot < kPassedFdCount; ++slot) {
    handovers[slot] = {options.passed_fds[slot], kFirstPassedFd + static_cast<int>(slot), {}};
  }
  handovers[kPassedFdCount] = {options.stdout_fd, STDOUT_FILENO, {}};
  handovers[kPassedFdCount + 1] = {options.stderr_fd, STDERR_FILENO, {}};
  for (Handover& handover : handovers) {
    if (handover.source < 0 || handover.source > kLastPassedFd) continue;
    handover.moved = UniqueFd(::fcntl(handover.source, F_DUPFD_CLOEXEC, kLastPassedFd + 1));
    // EINVAL: every number above kLastPassedFd is beyond the descriptor limit.
    if (!handover.moved) return errno_error(errno == EINVAL ? EMFILE : errno);
    handover.source = handover.moved.get();
  }
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
    const bool null_input = stream == STDIN_FILENO && options.stdin_from_null;
    const bool replaced = (stream == STDOUT_FILENO && options.stdout_fd >= 0) ||
                          (stream == STDERR_FILENO && options.stderr_fd >= 0);
    if (replaced || (!null_input && reaches_child(stream))) continue;
    // A standard stream the child would start without gets /dev/null, so the first files the
    // program opens cannot become its standard output or error and take in its messages.
    const int flags = stream == STDIN_FILENO ? O_RDONLY : O_WRONLY;
    if (int code =
            ::posix_spawn_file_actions_addopen(file_actions.get(), stream, "/dev/null", flags, 0)) {
      return errno_error(code);
    }
  }
  for (const Handover& handover : handovers) {
    if (handover.source < 0) continue;
    if (int code = ::posix_spawn_file_actions_adddup2(file_actions.get(), handover.source,
                                                      handover.target)) {
      return errno_error(code);
    }
  }

  // Before the child exists, so its status cannot be discarded however soon it ends.
  KeepChildStatuses statuses_kept;
  pid_t pid;
  if (int code = ::posix_spawn(&pid, executable.c_str(), file_actions.get(), attributes.get(),
                               argv.data(), options.environment.table())) {
    return errno_error(code);
  }
  return ChildProcess(pid, std::move(statuses_kept));
}

IoResult<ExitStatus> run_program(std::string_view program, std::span<const std::string> args,
                                 const SpawnOptions& options) {
  FENDRAL_TRY(auto child, spawn_program(program, args, options));
  return child.wait();
}

}  // namespace fendral::posix
