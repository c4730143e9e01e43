// The small steps the re-encoding code shares: ffmpeg's argument lists, the names of passed
// descriptors, one run of ffmpeg whose failure names what failed, and the reading of its text.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.hpp"
#include "posix/spawn.hpp"
#include "video/head_reencode.hpp"
#include "video/reported_run.hpp"

namespace fendral::video::steps {

// ffmpeg's opening arguments for a step that logs only warnings and errors, then `more`.
std::vector<std::string> with_quiet(std::initializer_list<std::string> more);
void add(std::vector<std::string>& arguments, std::initializer_list<std::string> more);
// The names ffmpeg opens passed descriptor `fd` by, as a file and as a pipe.
std::string fd_name(int fd);
std::string pipe_name(int fd);

// Runs one step of the re-encode; a failure names the step and the segment (`what`).
[[nodiscard]] Result<ReportedRun> run_step(std::string_view program,
                                           const std::vector<std::string>& arguments,
                                           const std::array<int, posix::kPassedFdCount>& fds,
                                           int stdout_fd, SplitObserver& observer,
                                           const posix::Environment& environment,
                                           const std::string& what);
[[nodiscard]] Result<void> run_only(std::string_view program,
                                    const std::vector<std::string>& arguments,
                                    const std::array<int, posix::kPassedFdCount>& fds,
                                    int stdout_fd, SplitObserver& observer,
                                    const posix::Environment& environment, const std::string& what);

std::vector<std::string_view> lines(std::string_view text);
std::string_view trimmed(std::string_view text);

// The source's input arguments, read from the keyframe `keyframe` (shown at
// `keyframe_microseconds`) before a cut, or from its start.
std::vector<std::string> from_keyframe(std::uint64_t keyframe, std::int64_t keyframe_microseconds,
                                       const std::string& input);
std::vector<std::string> from_keyframe(const Seam& seam, const std::string& input);

}  // namespace fendral::video::steps
