#include "video/side_streams.hpp"

#include <vector>

#include "base/propagate.hpp"
#include "posix/file.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/ffmpeg_paths.hpp"
#include "video/segment_file.hpp"

namespace fendral::video {

namespace {

// Whether ffmpeg reads the side file back whole: a file it wrote but cannot read would fail
// every join that maps it.
Result<bool> reads_back(int side_file, const posix::Environment& environment) {
  FENDRAL_TRY(const auto status, posix::run_program(kProgram, side_streams_check_command(),
                                                    {.environment = environment,
                                                     .stdin_from_null = true,
                                                     .passed_fds = {side_file, -1, -1, -1, -1}})
                                     .transform_error(as_runtime_error("Failed to run ffmpeg: ")));
  if (status.signal()) {
    return runtime_failure("ffmpeg split failed with status " + status.describe());
  }
  return status.success();
}

}  // namespace

Result<SideStreamsStamp> store_side_streams(const SplitDirectory& directory,
                                            const SourceProbe& source,
                                            const posix::Environment& environment) {
  if (!source.may_hold_side_streams) return SideStreamsStamp{};
  SideStreamsForm form = SideStreamsForm::mp4;
  std::vector<std::string> arguments;
  if (source.form == SourceProbe::Form::matroska) {
    // The streams are named by number, so only a file whose streams are known is taken.
    if (!source.matroska_streams || source.matroska_streams->empty()) return SideStreamsStamp{};
    form = SideStreamsForm::matroska;
    arguments = matroska_side_streams_command(source.ffmpeg_input, *source.matroska_streams);
  } else {
    arguments = side_streams_command(source.ffmpeg_input);
  }
  const auto cannot_run = as_runtime_error("Failed to run ffmpeg: ");
  FENDRAL_TRY(const auto side_file, posix::create_anonymous_file("fendral-side-streams"));
  FENDRAL_TRY(const auto status,
              posix::run_program(kProgram, arguments,
                                 {.environment = environment,
                                  .stdin_from_null = true,
                                  .passed_fds = {side_file.get(), -1, -1, -1, -1}})
                  .transform_error(cannot_run));
  if (status.signal()) {
    return runtime_failure("ffmpeg split failed with status " + status.describe());
  }
  if (!status.success()) return SideStreamsStamp{};
  FENDRAL_TRY(const bool readable, reads_back(side_file.get(), environment));
  if (!readable) return SideStreamsStamp{};
  FENDRAL_TRY(const auto content, posix::read_from_start(side_file.get()));
  return directory.store_side_streams(form, content);
}

}  // namespace fendral::video
