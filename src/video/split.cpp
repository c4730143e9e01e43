// Cutting a video into segments: ffmpeg's segment muxer copies the streams, and the segments it
// names are recorded in metadata.json.
#include <optional>
#include <string_view>

#include "base/propagate.hpp"
#include "posix/file.hpp"
#include "posix/fs.hpp"
#include "posix/interruption.hpp"
#include "posix/process.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/ffmpeg_paths.hpp"
#include "video/metadata.hpp"
#include "video/segment_file.hpp"
#include "video/split_directory.hpp"
#include "video/split_steps.hpp"
#include "video/video.hpp"

namespace fendral::video {

Result<void> split_video(const std::string& input_file, const std::string& output_dir,
                         std::optional<std::uint32_t> time_limit_sec,
                         const posix::Environment& environment) {
  if (auto created = posix::create_dir_all(output_dir); !created) {
    return fail_os(created.error());
  }
  if (!time_limit_sec || *time_limit_sec == 0) {
    return runtime_failure("time_limit_sec must be greater than 0");
  }

  const std::string segment_pattern =
      posix::join_path(escape_percent(directory_for_ffmpeg(output_dir)), kSegmentPattern);
  const std::string limit_text = std::to_string(*time_limit_sec);
  auto segment_list = posix::create_anonymous_file("fendral-segment-list");
  if (!segment_list) return fail_os(segment_list.error());
  FENDRAL_TRY(const SplitTarget target, hold_for_split(input_file, output_dir));
  auto source_metadata = posix::create_anonymous_file("fendral-source-metadata");
  if (!source_metadata) return fail_os(source_metadata.error());
  const std::string ffmpeg_input = input_for_ffmpeg(input_file);
  const auto arguments = split_command({
      .input = ffmpeg_input,
      .segment_pattern = segment_pattern,
      .time_limit_sec = *time_limit_sec,
      .quicktime = is_quicktime_file(ffmpeg_input),
  });
  const posix::SpawnOptions options{.stdin_from_null = !reads_standard_input(input_file),
                                    .passed_fd = segment_list->get(),
                                    .second_passed_fd = source_metadata->get(),
                                    .environment = &environment};
  // Every refusal comes before anything in the directory changes.
  if (auto command = posix::resolve_command(kProgram, arguments, &environment); !command) {
    return runtime_failure("Failed to run ffmpeg: " + command.error().text());
  }
  if (posix::interrupt_requested(posix::Check::Now))
    return runtime_failure("Failed to split: interrupted");
  FENDRAL_CHECK(clear_for_ffmpeg(target, output_dir));
  auto status = posix::run_program(kProgram, arguments, options);
  if (!status) return runtime_failure("Failed to run ffmpeg: " + status.error().text());
  if (!status->success()) {
    return runtime_failure("ffmpeg split failed with status " + status->describe());
  }

  auto list = posix::read_from_start(segment_list->get());
  if (!list) return fail_os(list.error());
  auto chunk_paths = segment_paths_from_list(*list, output_dir);

  auto source_metadata_text = posix::read_from_start(source_metadata->get());
  if (!source_metadata_text) return fail_os(source_metadata_text.error());

  Mp4ChunkMetadata metadata;
  metadata.original_file = input_file;
  metadata.output_prefix = segment_pattern;
  metadata.chunk_count = chunk_paths.size();
  metadata.chunk_paths = std::move(chunk_paths);
  metadata.split_type = "time";
  metadata.split_value = limit_text + "s";

  return record_split(output_dir, *source_metadata_text, metadata);
}

}  // namespace fendral::video
