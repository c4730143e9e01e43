#include "video/split_run.hpp"

#include "base/propagate.hpp"
#include "posix/fs.hpp"
#include "posix/interruption.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/side_streams.hpp"

namespace fendral::video {

Result<SplitRun> SplitRun::claim(const std::string& input_file, const std::string& output_dir) {
  FENDRAL_CHECK(posix::create_dir_all(output_dir));
  FENDRAL_TRY(auto directory, SplitDirectory::lock(output_dir, SplitDirectory::Use::split));
  FENDRAL_TRY(auto cleared, directory.entries_to_clear(input_file));
  return SplitRun(std::move(directory), std::move(cleared));
}

Result<void> SplitRun::start(const std::vector<std::string>& arguments,
                             const posix::Environment& environment) const {
  FENDRAL_CHECK(posix::resolve_command(kProgram, arguments, environment)
                    .transform_error(as_runtime_error("Failed to run ffmpeg: ")));
  if (posix::interrupt_requested(posix::Check::Now)) {
    return runtime_failure("Failed to split: interrupted");
  }
  return directory_.clear_for_ffmpeg(cleared_);
}

Result<void> SplitRun::record(const SourceProbe& source, std::string_view segment_times,
                              std::string_view source_metadata, const Mp4ChunkMetadata& metadata,
                              const posix::Environment& environment) const {
  FENDRAL_TRY(const auto side_streams, store_side_streams(directory_, source, environment));
  FENDRAL_CHECK(directory_.store_segment_times(segment_times));
  FENDRAL_CHECK(directory_.store_source_metadata(source_metadata, side_streams));
  return directory_.write_record(metadata);
}

}  // namespace fendral::video
