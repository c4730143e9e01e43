#include "posix/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/propagate.hpp"
#include "posix/file.hpp"
#include "posix/fs.hpp"
#include "posix/interruption.hpp"

namespace fendral::posix {

namespace {

// Abbreviation without the "SIG" prefix, or nullptr for a signal without one (real-time
// signals). Our own table: the C library's lookup is a glibc 2.32 extension that older glibc
// and musl lack.
const char* signal_abbreviation(int signal_number) {
  struct Entry {
    int number;
    const char* name;
  };
  static constexpr Entry kNames[] = {
      {SIGHUP, "HUP"},       {SIGINT, "INT"},       {SIGQUIT, "QUIT"}, {SIGILL, "ILL"},
      {SIGTRAP, "TRAP"},     {SIGABRT, "ABRT"},     {SIGBUS, "BUS"},   {SIGFPE, "FPE"},
      {SIGKILL, "KILL"},     {SIGUSR1, "USR1"},     {SIGSEGV, "SEGV"}, {SIGUSR2, "USR2"},
      {SIGPIPE, "PIPE"},     {SIGALRM, "ALRM"},     {SIGTERM, "TERM"},
#ifdef SIGSTKFLT
      {SIGSTKFLT, "STKFLT"},
#endif
      {SIGCHLD, "CHLD"},     {SIGCONT, "CONT"},     {SIGSTOP, "STOP"}, {SIGTSTP, "TSTP"},
      {SIGTTIN, "TTIN"},     {SIGTTOU, "TTOU"},     {SIGURG, "URG"},   {SIGXCPU, "XCPU"},
      {SIGXFSZ, "XFSZ"},     {SIGVTALRM, "VTALRM"}, {SIGPROF, "PROF"}, {SIGWINCH, "WINCH"},
      {SIGPOLL, "POLL"},  // also SIGIO on Linux
#ifdef SIGPWR
      {SIGPWR, "PWR"},
#endif
      {SIGSYS, "SYS"},
  };
  for (const Entry& entry : kNames) {
    if (entry.number == signal_number) return entry.name;
  }
  return nullptr;
}

bool is_executable_file(const std::string& path) {
  struct stat info;
  if (retry_on_eintr([&] { return ::stat(path.c_str(), &info); }) != 0) return false;
  if (!S_ISREG(info.st_mode)) return false;
  // Effective ids, as exec itself judges them.
  return ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

std::string default_search_path() {
  std::size_t size = ::confstr(_CS_PATH, nullptr, 0);
  if (size == 0) return {};
  std::string value(size, '\0');
  ::confstr(_CS_PATH, value.data(), size);
  value.resize(size - 1);  // drop the terminator confstr counts
  return value;
}

bool holds_nul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

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

bool ExitStatus::success() const {
  return code() == 0;
}

std::optional<int> ExitStatus::code() const {
  if (WIFEXITED(wait_status_)) return WEXITSTATUS(wait_status_);
  return std::nullopt;
}

std::optional<int> ExitStatus::signal() const {
  if (WIFSIGNALED(wait_status_)) return WTERMSIG(wait_status_);
  return std::nullopt;
}

std::string ExitStatus::describe() const {
  if (auto exit_code = code()) {
    return "ExitStatus(ExitStatus(" + std::to_string(static_cast<std::uint32_t>(*exit_code)) + "))";
  }
  if (auto signal_number = signal()) {
    std::string text = "signal: " + std::to_string(*signal_number);
    if (const char* name = signal_abbreviation(*signal_number)) {
      text += " (SIG";
      text += name;
      text += ')';
    }
    return text;
  }
  // waitpid without WUNTRACED/WCONTINUED reports only exits and kills.
  return "wait status: " + std::to_string(wait_status_);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_kept_(std::move(other.status_kept_)) {}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  int status;
  // Retried whatever the policy says: a child is reaped on every path.
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

IoResult<ExitStatus> ChildProcess::wait() {
  if (pid_ <= 0) return errno_error(ECHILD);
  int status;
  if (retry_on_eintr([&] { return ::waitpid(pid_, &status, 0); }) < 0) {
    const int code = errno;
    if (code == EINTR) {
      stop();
      return errno_error(EINTR);
    }
    // ECHILD and the like: there is nothing left to reap, so the destructor must not try.
    pid_ = -1;
    return errno_error(code);
  }
  pid_ = -1;
  return ExitStatus(status);
}

void ChildProcess::stop() {
  if (pid_ <= 0) return;
  int status;
  // Retried whatever the policy says: the policy has already given the wait up, and the child
  // must still be reaped.
  auto reaped = [&](int options) {
    for (;;) {
      const pid_t result = ::waitpid(pid_, &status, options);
      if (result < 0 && errno == EINTR) continue;
      return result != 0;  // the child, or an error: nothing left to wait for either way
    }
  };
  if (!reaped(WNOHANG)) {
    ::kill(pid_, SIGINT);
    constexpr int kPollMilliseconds = 10;
    bool ended = false;
    for (int waited = 0; waited < kStopGraceMilliseconds && !ended; waited += kPollMilliseconds) {
      const timespec pause{0, kPollMilliseconds * 1'000'000L};
      ::nanosleep(&pause, nullptr);
      ended = reaped(WNOHANG);
    }
    if (!ended) {
      ::kill(pid_, SIGKILL);
      reaped(0);
    }
  }
  pid_ = -1;
}

Environment Environment::capture() {
  Environment environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    environment.entries_.emplace_back(*entry);
  }
  environment.pointers_.reserve(environment.entries_.size() + 1);
  for (std::string& entry : environment.entries_) environment.pointers_.push_back(entry.data());
  environment.pointers_.push_back(nullptr);
  return environment;
}

const char* Environment::find(std::string_view name) const {
  for (const std::string& entry : entries_) {
    if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=') {
      return entry.c_str() + name.size() + 1;
    }
  }
  return nullptr;
}

IoResult<std::string> find_program(std::string_view name, const Environment* environment) {
  const auto not_found = unexpected(IoError::with_message(ErrorKind::NotFound, kProgramNotFound));
  if (name.empty()) return not_found;
  if (name.find('/') != std::string_view::npos) return std::string(name);

  std::string search_path;
  const char* path_value = environment ? environment->find("PATH") : ::getenv("PATH");
  if (path_value != nullptr) {
    search_path = path_value;
  } else {
    search_path = default_search_path();
  }
  std::string_view remaining = search_path;
  for (;;) {
    const std::size_t colon = remaining.find(':');
    std::string_view directory = remaining.substr(0, colon);
    if (directory.empty()) directory = ".";
    std::string candidate = join_path(directory, name);
    if (is_executable_file(candidate)) return candidate;
    if (colon == std::string_view::npos) break;
    remaining.remove_prefix(colon + 1);
  }
  return not_found;
}

IoResult<std::string> resolve_command(std::string_view program, std::span<const std::string> args,
                                      const Environment* environment) {
  bool nul_found = holds_nul(program);
  for (const std::string& argument : args) nul_found = nul_found || holds_nul(argument);
  if (nul_found) {
    return unexpected(IoError::with_message(ErrorKind::InvalidInput, kNulInArgument));
  }
  return find_program(program, environment);
}

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
  // take its place; on 3 or 4 the first dup2 could replace the second source. Such a source
  // is copied above kSecondPassedFdNumber first. (dup2 onto itself would also keep
  // close-on-exec on older C libraries.)
  struct Handover {
    int source;
    int target;
    UniqueFd moved;
  };
  std::array<Handover, 4> handovers{{{options.passed_fd, kPassedFdNumber, {}},
                                     {options.second_passed_fd, kSecondPassedFdNumber, {}},
                                     {options.stdout_fd, STDOUT_FILENO, {}},
                                     {options.stderr_fd, STDERR_FILENO, {}}}};
  for (Handover& handover : handovers) {
    if (handover.source < 0 || handover.source > kSecondPassedFdNumber) continue;
    handover.moved = UniqueFd(::fcntl(handover.source, F_DUPFD_CLOEXEC, kSecondPassedFdNumber + 1));
    // EINVAL: every number above kSecondPassedFdNumber is beyond the descriptor limit.
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
  ChildStatusKept status_kept;
  pid_t pid;
  if (int code =
          ::posix_spawn(&pid, executable.c_str(), file_actions.get(), attributes.get(), argv.data(),
                        options.environment ? options.environment->table() : environ)) {
    return errno_error(code);
  }
  return ChildProcess(pid, std::move(status_kept));
}

IoResult<ExitStatus> run_program(std::string_view program, std::span<const std::string> args,
                                 const SpawnOptions& options) {
  FENDRAL_TRY(auto child, spawn_program(program, args, options));
  return child.wait();
}

}  // namespace fendral::posix
