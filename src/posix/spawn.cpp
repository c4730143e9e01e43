// Starting a child: a clone that shares our memory and runs on a stack of its own until it
// execs, as the C library's posix_spawn does, with one step that posix_spawn cannot take: the
// child is ended when the thread that started it ends.
#include "posix/spawn.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <vector>

#include "base/propagate.hpp"
#include "posix/file.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define FENDRAL_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FENDRAL_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef FENDRAL_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace fendral::posix {

namespace {

// True when `fd` is open and stays open across exec.
bool reaches_child(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC) == 0;
}

// Everything the child needs, settled before it exists: from the clone to the exec it shares
// our memory with a thread of ours that waits, so it makes system calls only.
struct ChildPlan {
  const char* executable;
  char* const* argv;
  char* const* envp;
  pid_t parent;
  // Descriptors to dup2 onto kFirstPassedFd and up; -1 where none is handed over.
  std::array<int, kPassedFdCount> sources;
  // Descriptors to dup2 onto the standard output and error; -1 keeps the caller's.
  std::array<int, 2> output_sources;
  // The standard streams the child gets /dev/null on.
  std::array<bool, 3> null_stream;
  // Set by the child when it could not exec: the errno value.
  volatile int failure = 0;
};

[[noreturn]] void fail_in_child(ChildPlan& plan, int code) {
  plan.failure = code;
  ::_exit(127);
}

// The child's side. Signals are blocked on entry (the parent blocked them all before the clone).
int start_child(void* argument) {
  ChildPlan& plan = *static_cast<ChildPlan*>(argument);
  // A handler of ours would run here, on our memory: every caught signal goes back to its
  // default before the mask opens. Python ignores SIGPIPE and SIGXFSZ, and an exec'd program
  // expects the defaults, or a closed pipe would turn into a stream of EPIPE errors instead of
  // ending it.
  struct sigaction default_action{};
  default_action.sa_handler = SIG_DFL;
  for (int number = 1; number < NSIG; ++number) {
    struct sigaction current;
    if (::sigaction(number, nullptr, &current) != 0) continue;  // reserved numbers
    const bool ignored = current.sa_handler == SIG_IGN;
    const bool caught = !ignored && current.sa_handler != SIG_DFL;
    const bool defaulted = number == SIGPIPE || number == SIGXFSZ;
    if (caught || (ignored && defaulted)) ::sigaction(number, &default_action, nullptr);
  }
  // Ended with the thread that waits for it, so a caller killed outright leaves no ffmpeg
  // writing on. A parent that died before this line is no longer ours to ask: checked after.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail_in_child(plan, errno);
  if (::getppid() != plan.parent) ::_exit(127);

  for (std::size_t slot = 0; slot < plan.sources.size(); ++slot) {
    if (plan.sources[slot] < 0) continue;
    const int target = kFirstPassedFd + static_cast<int>(slot);
    if (::dup2(plan.sources[slot], target) < 0) fail_in_child(plan, errno);
  }
  for (int stream = STDOUT_FILENO; stream <= STDERR_FILENO; ++stream) {
    const int source = plan.output_sources[stream - STDOUT_FILENO];
    if (source >= 0 && ::dup2(source, stream) < 0) fail_in_child(plan, errno);
  }
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
    if (!plan.null_stream[stream]) continue;
    const int opened = ::open("/dev/null", stream == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened < 0) fail_in_child(plan, errno);
    if (opened != stream) {
      if (::dup2(opened, stream) < 0) fail_in_child(plan, errno);
      ::close(opened);
    }
  }
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  ::sigprocmask(SIG_SETMASK, &empty_mask, nullptr);
  ::execve(plan.executable, plan.argv, plan.envp);
  fail_in_child(plan, errno);
}

// The child's stack until it execs; the frames above are a few hundred bytes, the rest is room
// for a sanitizer's larger ones.
class ChildStack {
 public:
  static constexpr std::size_t kSize = 256 * 1024;

  ChildStack()
      : base_(::mmap(nullptr, kSize, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0)) {}
  ChildStack(const ChildStack&) = delete;
  ChildStack& operator=(const ChildStack&) = delete;
  ~ChildStack() {
    if (base_ == MAP_FAILED) return;
#ifdef FENDRAL_ADDRESS_SANITIZER
    // The child's frames left their redzones in the shadow; a later mapping at these addresses
    // would be taken for a dead stack.
    __asan_unpoison_memory_region(base_, kSize);
#endif
    ::munmap(base_, kSize);
  }

  bool valid() const { return base_ != MAP_FAILED; }
  void* top() const { return static_cast<char*>(base_) + kSize; }  // stacks grow down here

 private:
  void* base_;
};

// The thread's signal mask, all blocked until the object goes.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;
  ~AllSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

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

  // Every descriptor this module opens carries O_CLOEXEC, so the child gets fds 0-2 and only
  // what is handed over below. A descriptor handed over must not sit on a number the child sets
  // up or replaces: with the caller's standard streams closed it can be 0-2, and the child's
  // /dev/null would take its place; on a passed number an earlier dup2 could replace a later
  // source. Such a source is copied above the last passed number first.
  constexpr int kLastPassedFd = kFirstPassedFd + static_cast<int>(kPassedFdCount) - 1;
  ChildPlan plan{.executable = executable.c_str(),
                 .argv = argv.data(),
                 .envp = options.environment.table(),
                 .parent = ::getpid(),
                 .sources = options.passed_fds,
                 .output_sources = {options.stdout_fd, options.stderr_fd},
                 .null_stream = {}};
  std::array<int*, kPassedFdCount + 2> sources;
  for (std::size_t slot = 0; slot < kPassedFdCount; ++slot) sources[slot] = &plan.sources[slot];
  sources[kPassedFdCount] = &plan.output_sources[0];
  sources[kPassedFdCount + 1] = &plan.output_sources[1];
  std::array<UniqueFd, kPassedFdCount + 2> moved;
  for (std::size_t slot = 0; slot < sources.size(); ++slot) {
    int& source = *sources[slot];
    if (source < 0 || source > kLastPassedFd) continue;
    moved[slot] = UniqueFd(::fcntl(source, F_DUPFD_CLOEXEC, kLastPassedFd + 1));
    // EINVAL: every number above kLastPassedFd is beyond the descriptor limit.
    if (!moved[slot]) return errno_error(errno == EINVAL ? EMFILE : errno);
    source = moved[slot].get();
  }
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
    // A standard stream the child would start without gets /dev/null, so the first files the
    // program opens cannot become its standard output or error and take in its messages.
    const bool replaced = stream != STDIN_FILENO && plan.output_sources[stream - 1] >= 0;
    plan.null_stream[stream] = !replaced && ((stream == STDIN_FILENO && options.stdin_from_null) ||
                                             !reaches_child(stream));
  }

  ChildStack stack;
  if (!stack.valid()) return errno_error(errno);
  // Before the child exists, so its status cannot be discarded however soon it ends.
  KeepChildStatuses statuses_kept;
  pid_t pid;
  int clone_error;
  {
    // No handler of ours may run in the child; it opens the mask itself just before exec.
    AllSignalsBlocked blocked;
    // CLONE_VFORK: this thread goes on once the child has exec'd or exited, so the plan's
    // failure is settled by then.
    pid = ::clone(start_child, stack.top(), CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
    clone_error = errno;
  }
  if (pid < 0) return errno_error(clone_error);
  if (const int failure = plan.failure; failure != 0) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return errno_error(failure);
  }
  return ChildProcess(pid, std::move(statuses_kept));
}

IoResult<ExitStatus> run_program(std::string_view program, std::span<const std::string> args,
                                 const SpawnOptions& options) {
  FENDRAL_TRY(auto child, spawn_program(program, args, options));
  return child.wait();
}

}  // namespace fendral::posix
