#include "posix/process.hpp"

#include <fcntl.h>
#include <signal.h>
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
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

IoResult<ExitStatus> ChildProcess::wait() {
  if (pid_ <= 0) return errno_error(ECHILD);
  int status;
  for (;;) {
    if (::waitpid(pid_, &status, 0) >= 0) break;
    const int code = errno;
    if (code == EINTR) {
      if (resume_after_signal()) continue;
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
  int status;
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

IoResult<ExitStatus> run_program(std::string_view program, std::span<const std::string> args,
                                 const SpawnOptions& options) {
  FENDRAL_TRY(auto child, spawn_program(program, args, options));
  return child.wait();
}

}  // namespace fendral::posix
