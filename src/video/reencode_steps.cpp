#include "video/reencode_steps.hpp"

#include <algorithm>
#include <iterator>

#include "base/propagate.hpp"

namespace fendral::video::steps {
namespace {

constexpr std::string_view kQuiet[] = {"-hide_banner", "-nostats", "-loglevel", "level+warning"};

}  // namespace

std::vector<std::string> with_quiet(std::initializer_list<std::string> more) {
  std::vector<std::string> arguments(std::begin(kQuiet), std::end(kQuiet));
  arguments.insert(arguments.end(), more);
  return arguments;
}

void add(std::vector<std::string>& arguments, std::initializer_list<std::string> more) {
  arguments.insert(arguments.end(), more);
}

std::string fd_name(int fd) {
  return "/dev/fd/" + std::to_string(posix::kFirstPassedFd + fd);
}

std::string pipe_name(int fd) {
  return "pipe:" + std::to_string(posix::kFirstPassedFd + fd);
}

Result<ReportedRun> run_step(std::string_view program, const std::vector<std::string>& arguments,
                             const std::array<int, posix::kPassedFdCount>& fds, int stdout_fd,
                             SplitObserver& observer, const posix::Environment& environment,
                             const std::string& what) {
  const posix::SpawnOptions options{.environment = environment,
                                    .stdin_from_null = true,
                                    .passed_fds = fds,
                                    .stdout_fd = stdout_fd};
  FENDRAL_TRY(ReportedRun run, run_reported(program, arguments, options, observer, std::nullopt));
  if (!run.status.success()) return runtime_failure(failure_text(what, run));
  return run;
}

Result<void> run_only(std::string_view program, const std::vector<std::string>& arguments,
                      const std::array<int, posix::kPassedFdCount>& fds, int stdout_fd,
                      SplitObserver& observer, const posix::Environment& environment,
                      const std::string& what) {
  FENDRAL_TRY(const ReportedRun run,
              run_step(program, arguments, fds, stdout_fd, observer, environment, what));
  static_cast<void>(run);
  return {};
}

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> found;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    found.push_back(text.substr(0, end));
    text = end == text.npos ? std::string_view() : text.substr(end + 1);
  }
  return found;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\r')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// The source read from the keyframe before the cut: an input seek lands on a keyframe at or
// before the time, and frames before it are dropped, so frame numbers count from the keyframe.
// A millisecond early, so a time rounded to microseconds still keeps the keyframe.
std::vector<std::string> from_keyframe(std::uint64_t keyframe, std::int64_t keyframe_microseconds,
                                       const std::string& input) {
  if (keyframe == 0) return {"-i", input};
  const std::int64_t at = std::max<std::int64_t>(0, keyframe_microseconds - 1000);
  return {
      "-ss",
      std::to_string(at / 1'000'000) + "." + std::to_string(1'000'000 + at % 1'000'000).substr(1),
      "-i", input};
}

std::vector<std::string> from_keyframe(const Seam& seam, const std::string& input) {
  return from_keyframe(seam.keyframe_packet, seam.keyframe_microseconds, input);
}

}  // namespace fendral::video::steps
