#include "posix/child_process.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

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
    : pid_(std::exchange(other.pid_, -1)), statuses_kept_(std::move(other.statuses_kept_)) {}

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

}  // namespace fendral::posix
