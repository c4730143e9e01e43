#include "posix/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

#include "posix/fs.hpp"

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
  int result;
  do {
    result = ::stat(path.c_str(), &info);
  } while (result != 0 && errno == EINTR);
  if (result != 0 || !S_ISREG(info.st_mode)) return false;
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

// posix_spawnattr_t, destroyed if it was initialised.
class SpawnAttributes {
 public:
  SpawnAttributes() = default;
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  ~SpawnAttributes() {
    if (initialized_) ::posix_spawnattr_destroy(&attributes_);
  }

  // Returns 0 or the error number.
  int initialize() {
    int code = ::posix_spawnattr_init(&attributes_);
    initialized_ = code == 0;
    return code;
  }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
  bool initialized_ = false;
};

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

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  int status;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

IoResult<ExitStatus> ChildProcess::wait() {
  if (pid_ <= 0) return errno_error(ECHILD);
  int status;
  for (;;) {
    if (::waitpid(pid_, &status, 0) >= 0) break;
    if (errno == EINTR) continue;
    // ECHILD and the like: there is nothing left to reap, so the destructor must not try.
    int code = errno;
    pid_ = -1;
    return errno_error(code);
  }
  pid_ = -1;
  return ExitStatus(status);
}

IoResult<std::string> find_program(std::string_view name) {
  const auto not_found =
      std::unexpected(IoError::with_message(ErrorKind::NotFound, kProgramNotFound));
  if (name.empty()) return not_found;
  if (name.find('/') != std::string_view::npos) return std::string(name);

  std::string search_path;
  if (const char* value = ::getenv("PATH")) {
    search_path = value;
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

IoResult<ChildProcess> spawn_program(std::string_view program, std::span<const std::string> args) {
  bool nul_found = holds_nul(program);
  for (const std::string& argument : args) nul_found = nul_found || holds_nul(argument);
  if (nul_found) {
    return std::unexpected(IoError::with_message(ErrorKind::InvalidInput, kNulInArgument));
  }

  auto executable = find_program(program);
  if (!executable) return std::unexpected(executable.error());

  std::string program_name(program);
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(program_name.data());
  for (const std::string& argument : args) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  SpawnAttributes attributes;
  if (int code = attributes.initialize()) return errno_error(code);
  if (int code = configure_child_signals(attributes)) return errno_error(code);

  // No file actions: the child keeps fds 0-2, and every descriptor this module opens carries
  // O_CLOEXEC, so nothing else reaches it.
  pid_t pid;
  if (int code = ::posix_spawn(&pid, executable->c_str(), nullptr, attributes.get(), argv.data(),
                               environ)) {
    return errno_error(code);
  }
  return ChildProcess(pid);
}

IoResult<ExitStatus> run_program(std::string_view program, std::span<const std::string> args) {
  auto child = spawn_program(program, args);
  if (!child) return std::unexpected(child.error());
  return child->wait();
}

}  // namespace fendral::posix
