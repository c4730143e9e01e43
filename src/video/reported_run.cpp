#include "video/reported_run.hpp"

#include <cerrno>
#include <charconv>
#include <deque>

#include "base/propagate.hpp"
#include "posix/child_output.hpp"

namespace fendral::video {

namespace {

// More often than the once a second promised, so a busy poll loop cannot stretch the gap.
constexpr int kTickMilliseconds = 500;
constexpr std::size_t kErrorsKept = 2;
// A line longer than this is handed on in pieces, so a child cannot make us hold unbounded text.
constexpr std::size_t kLongestLine = 64 * 1024;

constexpr std::string_view kLevels[] = {"panic", "fatal",   "error", "warning",
                                        "info",  "verbose", "debug", "trace"};

bool is_level(std::string_view word) {
  for (const std::string_view level : kLevels) {
    if (word == level) return true;
  }
  return false;
}

// "[info] text" or "[mp4 @ 0x55d0] [info] text" (ffmpeg's -loglevel level+...): the level and
// the line without its tag. A line without a tag is info.
std::pair<std::string_view, std::string> split_level(std::string_view line) {
  std::size_t tag_at = 0;
  if (const std::size_t close = line.find("] ");
      line.starts_with('[') && close != line.npos && !is_level(line.substr(1, close - 1))) {
    tag_at = close + 2;  // after the context
  }
  const std::string_view rest = line.substr(tag_at);
  const std::size_t close = rest.find("] ");
  if (!rest.starts_with('[') || close == rest.npos || !is_level(rest.substr(1, close - 1))) {
    return {"info", std::string(line)};
  }
  std::string text(line.substr(0, tag_at));
  text += rest.substr(close + 2);
  for (const std::string_view level : kLevels) {
    if (rest.substr(1, close - 1) == level) return {level, std::move(text)};
  }
  return {"info", std::move(text)};
}

bool is_error_level(std::string_view level) {
  return level == "error" || level == "fatal" || level == "panic";
}

class ReportReader final : public posix::OutputWatcher {
 public:
  ReportReader(SplitObserver& observer, std::optional<std::uint64_t> total)
      : observer_(observer), total_(total) {}

  bool output(std::size_t stream, std::string_view bytes) override {
    std::string& pending = pending_[stream];
    pending += bytes;
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      if (!line(stream, std::string_view(pending).substr(start, end - start))) return false;
    }
    pending.erase(0, start);
    if (pending.size() > kLongestLine) {
      if (!line(stream, pending)) return false;
      pending.clear();
    }
    return true;
  }

  bool tick() override { return !total_ || observer_.progress(done_, *total_); }

  // What is left without a line break.
  bool finish() {
    for (std::size_t stream = 0; stream < 2; ++stream) {
      if (!pending_[stream].empty() && !line(stream, pending_[stream])) return false;
      pending_[stream].clear();
    }
    return true;
  }

  std::string last_errors() const {
    std::string text;
    for (const std::string& error : errors_) text += (text.empty() ? "" : "\n") + error;
    return text;
  }

 private:
  bool line(std::size_t stream, std::string_view text) {
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (stream == 1) return progress_line(text);
    if (text.empty()) return true;
    auto [level, message] = split_level(text);
    if (is_error_level(level)) {
      errors_.push_back(message);
      if (errors_.size() > kErrorsKept) errors_.pop_front();
    }
    return observer_.message(level, message);
  }

  // key=value lines; "progress=..." ends each report.
  bool progress_line(std::string_view text) {
    constexpr std::string_view kOutTime = "out_time_us=";
    if (text.starts_with(kOutTime)) {
      std::int64_t value = 0;
      const std::string_view digits = text.substr(kOutTime.size());
      const auto [end, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), value);
      if (error == std::errc() && value > 0) {
        done_ = std::min<std::uint64_t>(static_cast<std::uint64_t>(value), *total_);
      }
      return true;
    }
    if (text.starts_with("progress=")) return tick();
    return true;
  }

  SplitObserver& observer_;
  std::optional<std::uint64_t> total_;
  std::uint64_t done_ = 0;
  std::string pending_[2];
  std::deque<std::string> errors_;
};

}  // namespace

Result<ReportedRun> run_reported(std::string_view program, std::span<const std::string> arguments,
                                 posix::SpawnOptions options, SplitObserver& observer,
                                 std::optional<std::uint64_t> total_microseconds) {
  const std::string prefix = "Failed to run " + std::string(program) + ": ";
  auto messages = posix::create_pipe();
  if (!messages) return runtime_failure(prefix + messages.error().text());
  options.stderr_fd = messages->write_end.get();
  std::optional<posix::Pipe> progress;
  if (total_microseconds) {
    auto created = posix::create_pipe();
    if (!created) return runtime_failure(prefix + created.error().text());
    progress = std::move(*created);
    options.stdout_fd = progress->write_end.get();
  }
  auto child = posix::spawn_program(program, arguments, options);
  if (!child) return runtime_failure(prefix + child.error().text());
  // Only the child's copies stay open, so its exit ends the pipes.
  messages->write_end.reset();
  if (progress) progress->write_end.reset();

  ReportReader reader(observer, total_microseconds);
  std::vector<int> read_ends{messages->read_end.get()};
  if (progress) read_ends.push_back(progress->read_end.get());
  auto status = posix::watch_child(*child, read_ends, reader, kTickMilliseconds);
  if (!status) {
    const auto code = status.error().os_code();
    if (code == ECANCELED) return runtime_failure(std::string(kStopped));
    if (code == EINTR) return runtime_failure("Failed to split: interrupted");
    return runtime_failure(prefix + status.error().text());
  }
  if (!reader.finish()) return runtime_failure(std::string(kStopped));
  return ReportedRun{*status, reader.last_errors()};
}

std::string failure_text(std::string_view lead, const ReportedRun& run) {
  std::string text = std::string(lead) + " with status " + run.status.describe();
  if (!run.last_errors.empty()) text += ": " + run.last_errors;
  return text;
}

}  // namespace fendral::video
