// Cutting a video into segments: ffmpeg's segment muxer copies the streams, and the segments it
// names are recorded in metadata.json.
#include "base/propagate.hpp"
#include "posix/file.hpp"
#include "posix/fs.hpp"
#include "posix/spawn.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/ffmpeg_paths.hpp"
#include "video/metadata.hpp"
#include "video/source_probe.hpp"
#include "video/split_run.hpp"
#include "video/video.hpp"

namespace fendral::video {

Result<void> split_video(const std::string& input_file, const std::string& output_dir,
                         std::optional<std::uint32_t> time_limit_sec,
                         const posix::Environment& environment) {
  FENDRAL_CHECK(posix::create_dir_all(output_dir));
  if (!time_limit_sec || *time_limit_sec == 0) {
    return runtime_failure("time_limit_sec must be greater than 0");
  }
  // The segments ffmpeg finishes, listed in an anonymous in-memory file: nothing in the
  // directory can be listed by mistake (stale segments of an earlier split, unrelated .mp4
  // files, the input), and nothing is left to remove on any path out of the call.
  FENDRAL_TRY(const auto segment_list, posix::create_anonymous_file("fendral-segment-list"));
  FENDRAL_TRY(auto split_run, SplitRun::claim(input_file, output_dir));
  SplitDirectory& directory = split_run.directory();
  // The source's tags and chapters, kept as text for the join.
  FENDRAL_TRY(const auto source_metadata, posix::create_anonymous_file("fendral-source-metadata"));

  // The one look at the source before ffmpeg reads it.
  const SourceProbe source = probe_source(input_file);
  const std::string& ffmpeg_input = source.ffmpeg_input;
  const std::string segment_pattern = directory.segment_pattern();
  const auto arguments = split_command({
      .input = ffmpeg_input,
      .segment_pattern = segment_pattern,
      .time_limit_sec = *time_limit_sec,
      .quicktime = source.form == SourceProbe::Form::quicktime,
      .video_timescale = source.video_timescale,
      .timecode = source.may_hold_timecode,
      .last_audio_packets = source.last_audio_packets,
  });
  const posix::SpawnOptions options{.environment = environment,
                                    .stdin_from_null = !reads_standard_input(input_file),
                                    .passed_fds = {segment_list.get(), source_metadata.get(),
                                                   // ffmpeg holds the claim on the directory as
                                                   // long as it writes there, even when this
                                                   // process dies first.
                                                   directory.lock_for_child(), -1, -1}};
  FENDRAL_CHECK(split_run.start(arguments, environment));
  FENDRAL_TRY(const auto status, posix::run_program(kProgram, arguments, options)
                                     .transform_error(as_runtime_error("Failed to run ffmpeg: ")));
  if (!status.success()) {
    return runtime_failure("ffmpeg split failed with status " + status.describe());
  }
  directory.follow_path_if_moved();

  FENDRAL_TRY(const auto listed, posix::read_from_start(segment_list.get()));
  auto chunk_paths = directory.segment_paths(listed);
  FENDRAL_TRY(const auto source_metadata_text, posix::read_from_start(source_metadata.get()));

  Mp4ChunkMetadata metadata;
  metadata.original_file = input_file;
  metadata.output_prefix = segment_pattern;
  metadata.chunk_count = chunk_paths.size();
  metadata.chunk_paths = std::move(chunk_paths);
  metadata.split_type = "time";
  metadata.split_value = std::to_string(*time_limit_sec) + "s";
  return split_run.record(source, listed, source_metadata_text, metadata, environment);
}

}  // namespace fendral::video
