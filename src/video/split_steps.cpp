#include "video/split_steps.hpp"

#include <unistd.h>

#include <algorithm>
#include <optional>

#include "base/utf8.hpp"
#include "posix/file.hpp"
#include "posix/fs.hpp"
#include "video/ffmpeg_paths.hpp"
#include "video/split_directory.hpp"

namespace fendral::video {

namespace {

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

// The file ffmpeg will read, when it is one on this machine.
std::optional<posix::FileIdentity> input_identity(const std::string& input_file) {
  if (reads_standard_input(input_file)) return posix::descriptor_identity(STDIN_FILENO);
  return posix::file_identity(input_file);
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

}  // namespace

std::vector<std::string> segment_names_from_list(std::string_view list) {
  std::vector<std::string> names;
  while (!list.empty()) {
    const std::size_t end = list.find('\n');
    const std::string_view name = list.substr(0, end);
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
    if (!name.empty()) names.emplace_back(name);
  }
  return names;
}

std::vector<std::string> segment_paths_from_list(std::string_view list,
                                                 const std::string& output_dir) {
  std::vector<std::string> paths;
  for (const std::string& name : segment_names_from_list(list)) {
    paths.push_back(lossy_utf8(posix::join_path(output_dir, name)));
  }
  return paths;
}

Result<void> clear_for_ffmpeg(const SplitTarget& target, const std::string& output_dir) {
  for (const std::string& link : target.links) {
    if (auto removed = posix::remove_entry(link); !removed) return fail_os(removed.error());
  }
  for (const std::string_view record : {kMetadataFileName, kSourceMetadataFileName}) {
    if (auto removed = posix::remove_entry(posix::join_path(output_dir, record)); !removed) {
      return fail_os(removed.error());
    }
  }
  return {};
}

Result<SplitTarget> hold_for_split(const std::string& input_file, const std::string& output_dir) {
  auto lock = posix::DirectoryLock::try_lock(output_dir, posix::DirectoryLock::Mode::Exclusive);
  if (!lock) {
    return runtime_failure("Failed to split: another split is writing into " + output_dir);
  }
  auto links = links_named_like_segments(input_file, output_dir, *lock);
  if (!links) return unexpected(std::move(links).error());
  return SplitTarget{std::move(*lock), std::move(*links)};
}

Result<void> record_split(const std::string& output_dir, std::string_view source_metadata_text,
                          const Mp4ChunkMetadata& metadata) {
  if (!source_metadata_text.empty()) {
    if (auto written = posix::replace_file(posix::join_path(output_dir, kSourceMetadataFileName),
                                           source_metadata_text);
        !written) {
      return fail_os(written.error());
    }
  }
  const std::string json = metadata_to_json(metadata);
  if (auto written = posix::replace_file(posix::join_path(output_dir, kMetadataFileName), json);
      !written) {
    return fail_os(written.error());
  }
  return {};
}

}  // namespace fendral::video
