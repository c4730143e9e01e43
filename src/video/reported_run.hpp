// Running ffmpeg or ffprobe with what it prints handed to a SplitObserver while it runs: each
// message with its level, and ffmpeg's progress report.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/failure.hpp"
#include "posix/spawn.hpp"
#include "video/split_to_fit.hpp"

namespace fendral::video {

struct ReportedRun {
  posix::ExitStatus status;
  // The last error messages, one a line, for the failure a caller reports.
  std::string last_errors;
};

// Runs `program` with `arguments` and `options` (whose standard output and error it replaces
// with its own pipes when asked to). Messages are read from standard error; with
// `total_microseconds`, ffmpeg's progress report is read from standard output. Fails with
// "Failed to run <program>: ..." when it cannot be started or waited for, with kStopped when
// the observer stopped it, and "Failed to split: interrupted" when a signal did.
Result<ReportedRun> run_reported(std::string_view program, std::span<const std::string> arguments,
                                 posix::SpawnOptions options, SplitObserver& observer,
                                 std::optional<std::uint64_t> total_microseconds);

// `lead` ("ffmpeg split failed"), " with status ..." and, after a colon, the last error
// messages.
std::string failure_text(std::string_view lead, const ReportedRun& run);

}  // namespace fendral::video
