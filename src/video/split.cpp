// Cutting a video into segments: ffmpeg's segment muxer copies the streams, and the segments it
// names are recorded in metadata.json.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "base/propagate.hpp"
#include "base/utf8.hpp"
#include "posix/directory_lock.hpp"
#include "posix/file.hpp"
#include "posix/fs.hpp"
#include "posix/interruption.hpp"
#include "posix/process.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/ffmpeg_paths.hpp"
#include "video/metadata.hpp"
#include "video/segment_file.hpp"
#include "video/split_directory.hpp"
#include "video/video.hpp"

namespace fendral::video {

namespace {

// The segment paths of this split, in time order: ffmpeg names each finished segment in its
// segment list, one file name per line. The list is an anonymous in-memory file: nothing in
// `output_dir` can be listed by mistake (stale segments of an earlier split, unrelated .mp4
// files, the input), and nothing is left to remove on any path out of the call.
std::vector<std::string> segment_paths_from_list(std::string_view list,
                                                 const std::string& output_dir) {
  std::vector<std::string> paths;
  while (!list.empty()) {
    const std::size_t end = list.find('\n');
    const std::string_view name = list.substr(0, end);
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
    if (name.empty()) continue;
    paths.push_back(lossy_utf8(posix::join_path(output_dir, name)));
  }
  return paths;
}

constexpr std::string_view kInputIsASegment =
    "Failed to split: the input is one of the segment files this split would write";

// "chunk_" + three or more digits + ".mp4": every name the segment pattern can give.
bool named_like_a_segment(std::string_view name) {
  constexpr std::string_view kPrefix = "chunk_";
  constexpr std::string_view kSuffix = ".mp4";
  if (name.size() < kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) ||
      !name.ends_with(kSuffix)) {
    return false;
  }
  const std::string_view digits =
      name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  return digits.size() >= 3 && std::all_of(digits.begin(), digits.end(),
                                           [](char byte) { return byte >= '0' && byte <= '9'; });
}

// The file ffmpeg will read, when it is one on this machine: the one it opens for the name it
// is handed, "file:" URLs included.
std::optional<posix::FileIdentity> input_identity(const std::string& input_file) {
  if (reads_standard_input(input_file)) return posix::descriptor_identity(STDIN_FILENO);
  const auto local_file = local_file_opened(input_for_ffmpeg(input_file));
  if (!local_file) return std::nullopt;
  return posix::file_identity(*local_file);
}

// The entries of `output_dir` that ffmpeg may write over and that are symbolic links: it would
// write through them into whatever they point to. Refused when one of those entries is the
// input itself, which ffmpeg would cut short while reading it.
Result<std::vector<std::string>> links_named_like_segments(const std::string& input_file,
                                                           const std::string& output_dir,
                                                           const posix::DirectoryLock& lock) {
  // Through the descriptor the lock holds, when it could open the directory.
  posix::UniqueFd reopened;
  if (lock.directory() < 0) {
    auto opened = posix::open_directory(output_dir);
    if (!opened) return fail_os(opened.error());
    reopened = std::move(*opened);
  }
  auto names = posix::list_directory(reopened ? reopened.get() : lock.directory());
  if (!names) return fail_os(names.error());
  const auto input = input_identity(input_file);
  std::vector<std::string> links;
  for (const std::string& name : *names) {
    if (!named_like_a_segment(name)) continue;
    std::string path = posix::join_path(output_dir, name);
    if (input && posix::file_identity(path) == input) {
      return runtime_failure(std::string(kInputIsASegment));
    }
    if (posix::is_symbolic_link(path)) links.push_back(std::move(path));
  }
  return links;
}

// Once ffmpeg starts, the directory's record no longer tells the truth: a split that fails from
// here on leaves none, rather than one that names segments ffmpeg has rewritten.
Result<void> clear_for_ffmpeg(const std::vector<std::string>& links,
                              const std::string& output_dir) {
  for (const std::string& link : links) {
    if (auto removed = posix::remove_entry(link); !removed) return fail_os(removed.error());
  }
  for (const std::string_view record : {kMetadataFileName, kSourceMetadataFileName}) {
    if (auto removed = posix::remove_entry(posix::join_path(output_dir, record)); !removed) {
      return fail_os(removed.error());
    }
  }
  return {};
}

}  // namespace

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
  // One split per directory at a time: two would write each other's segments and record.
  const auto lock =
      posix::DirectoryLock::try_lock(output_dir, posix::DirectoryLock::Mode::Exclusive);
  if (!lock) {
    return runtime_failure("Failed to split: another split is writing into " + output_dir);
  }
  FENDRAL_TRY(const auto links, links_named_like_segments(input_file, output_dir, *lock));
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
                                    // ffmpeg holds the claim on the directory as long as it
                                    // writes there, even when this process dies before it.
                                    .kept_fd = lock->held() ? lock->directory() : -1,
                                    .environment = &environment};
  // Every refusal comes before anything in the directory changes.
  if (auto command = posix::resolve_command(kProgram, arguments, &environment); !command) {
    return runtime_failure("Failed to run ffmpeg: " + command.error().text());
  }
  if (!posix::go_on_now()) return runtime_failure("Failed to split: interrupted");
  FENDRAL_CHECK(clear_for_ffmpeg(links, output_dir));
  auto status = posix::run_program(kProgram, arguments, options);
  if (!status) return runtime_failure("Failed to run ffmpeg: " + status.error().text());
  if (!status->success()) {
    return runtime_failure("ffmpeg split failed with status " + status->describe());
  }

  auto list = posix::read_from_start(segment_list->get());
  if (!list) return fail_os(list.error());
  auto chunk_paths = segment_paths_from_list(*list, output_dir);

  // Stored before metadata.json, which then names a split whose metadata is complete.
  auto source_metadata_text = posix::read_from_start(source_metadata->get());
  if (!source_metadata_text) return fail_os(source_metadata_text.error());
  if (!source_metadata_text->empty()) {
    if (auto written = posix::replace_file(posix::join_path(output_dir, kSourceMetadataFileName),
                                           *source_metadata_text);
        !written) {
      return fail_os(written.error());
    }
  }

  Mp4ChunkMetadata metadata;
  metadata.original_file = input_file;
  metadata.output_prefix = segment_pattern;
  metadata.chunk_count = chunk_paths.size();
  metadata.chunk_paths = std::move(chunk_paths);
  metadata.split_type = "time";
  metadata.split_value = limit_text + "s";

  // Written whole under another name and then renamed: a link planted under the name is
  // replaced, not followed, and a reader never sees half a record.
  const std::string json = metadata_to_json(metadata);
  if (auto written = posix::replace_file(posix::join_path(output_dir, kMetadataFileName), json);
      !written) {
    return fail_os(written.error());
  }
  return {};
}

}  // namespace fendral::video
