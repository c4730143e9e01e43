#include "mp4/video.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "mp4/metadata.hpp"
#include "posix/file.hpp"
#include "posix/fs.hpp"
#include "posix/process.hpp"

namespace fendral::mp4 {

namespace {

using host::Failure;

constexpr std::string_view kProgram = "ffmpeg";
constexpr std::string_view kSegmentPattern = "chunk_%03d.mp4";
constexpr std::string_view kMetadataFileName = "metadata.json";
constexpr std::string_view kConcatListFileName = "concat_list.txt";
constexpr std::string_view kUnwritableEntry =
    "Failed to write concat list: segment path contains a line break or NUL byte";

std::unexpected<Failure> runtime_failure(std::string message) {
  return host::fail(Failure::runtime_error(std::move(message)));
}

// ffmpeg expands '%' directives anywhere in the pattern, so the directory's own '%' are doubled.
std::string escape_percent(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char byte : text) {
    escaped.push_back(byte);
    if (byte == '%') escaped.push_back('%');
  }
  return escaped;
}

// The extension is what follows the last '.', unless that '.' starts the name (".mp4" has none).
bool has_mp4_extension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot + 1) == "mp4";
}

// The .mp4 entries of `output_dir` as text paths, in natural name order, without the input
// file itself (an input kept in the output directory is not one of its own segments).
posix::IoResult<std::vector<std::string>> collect_segment_paths(const std::string& input_file,
                                                                const std::string& output_dir) {
  auto names = posix::list_directory(output_dir);
  if (!names) return std::unexpected(names.error());

  // The input may be unreachable by now; then nothing can be the input.
  const auto input_identity = posix::file_identity(input_file);
  std::vector<std::string> segment_names;
  for (std::string& name : *names) {
    if (!has_mp4_extension(name)) continue;
    if (input_identity) {
      const auto identity = posix::file_identity(posix::join_path(output_dir, name));
      if (identity && *identity == *input_identity) continue;
    }
    segment_names.push_back(std::move(name));
  }
  // The listing order is arbitrary; segments must come out in time order, also past 999.
  std::sort(segment_names.begin(), segment_names.end(),
            [](const std::string& left, const std::string& right) {
              return posix::natural_less(left, right);
            });

  std::vector<std::string> paths;
  paths.reserve(segment_names.size());
  for (const std::string& name : segment_names) {
    paths.push_back(posix::lossy_utf8(posix::join_path(output_dir, name)));
  }
  return paths;
}

bool holds_line_break_or_nul(std::string_view path) {
  return path.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos;
}

posix::IoResult<std::string> working_directory() {
  struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
  };
  // glibc sizes the buffer itself when given none.
  std::unique_ptr<char, FreeDeleter> path(::getcwd(nullptr, 0));
  if (!path) return posix::errno_error(errno);
  return std::string(path.get());
}

// Quoting for a concat list line: ffmpeg reads '\'' inside quotes as one literal quote.
std::string quote_for_concat_list(std::string_view path) {
  std::string quoted;
  quoted.reserve(path.size());
  for (char byte : path) {
    if (byte == '\'') {
      quoted.append("'\\''");
    } else {
      quoted.push_back(byte);
    }
  }
  return quoted;
}

// Checks every segment and turns it into the quoted absolute path for its list line. ffmpeg
// resolves relative list entries against the list's directory, not ours, and does not report
// a segment it cannot open as a failure, so both are settled here before the list exists.
host::Result<std::vector<std::string>> concat_list_entries(
    const std::vector<std::string>& chunk_paths) {
  std::vector<std::string> entries;
  entries.reserve(chunk_paths.size());
  std::optional<std::string> current_directory;
  for (const std::string& chunk_path : chunk_paths) {
    if (holds_line_break_or_nul(chunk_path)) {
      return runtime_failure(std::string(kUnwritableEntry));
    }
    if (auto readable = posix::check_readable_non_directory(chunk_path); !readable) {
      return runtime_failure("Failed to read segment " + chunk_path + ": " +
                             readable.error().text());
    }
    std::string absolute_path;
    if (chunk_path.starts_with('/')) {
      absolute_path = chunk_path;
    } else {
      if (!current_directory) {
        auto directory = working_directory();
        if (!directory) {
          return runtime_failure("Failed to write concat list: " + directory.error().text());
        }
        current_directory = std::move(*directory);
      }
      absolute_path = posix::join_path(*current_directory, chunk_path);
      // The working directory's own name can break the line too.
      if (holds_line_break_or_nul(absolute_path)) {
        return runtime_failure(std::string(kUnwritableEntry));
      }
    }
    entries.push_back(quote_for_concat_list(absolute_path));
  }
  return entries;
}

posix::IoResult<void> write_concat_line(int fd, const std::string& entry) {
  static constexpr std::string_view kLineStart = "file '";
  static constexpr std::string_view kLineEnd = "'\n";
  const std::array<iovec, 3> pieces{{
      {const_cast<char*>(kLineStart.data()), kLineStart.size()},
      {const_cast<char*>(entry.data()), entry.size()},
      {const_cast<char*>(kLineEnd.data()), kLineEnd.size()},
  }};
  return posix::write_all_vectored(fd, pieces);
}

}  // namespace

host::Result<void> split_video(const std::string& input_file, const std::string& output_dir,
                               std::optional<std::uint32_t> time_limit_sec) {
  if (auto created = posix::create_dir_all(output_dir); !created) {
    return host::fail_os(created.error());
  }
  if (!time_limit_sec || *time_limit_sec == 0) {
    return runtime_failure("time_limit_sec must be greater than 0");
  }

  const std::string segment_pattern = posix::join_path(escape_percent(output_dir), kSegmentPattern);
  const std::string limit_text = std::to_string(*time_limit_sec);
  // -reset_timestamps makes every segment start at 0: segments then play alone and join back
  // to the original length instead of accumulating gaps.
  const std::array<std::string, 13> arguments{
      "-i",
      input_file,
      "-c:v",
      "copy",
      "-c:a",
      "copy",
      "-f",
      "segment",
      "-segment_time",
      limit_text,
      "-reset_timestamps",
      "1",
      segment_pattern,
  };
  auto status = posix::run_program(kProgram, arguments);
  if (!status) return runtime_failure("Failed to run ffmpeg: " + status.error().text());
  if (!status->success()) {
    return runtime_failure("ffmpeg split failed with status " + status->describe());
  }

  auto chunk_paths = collect_segment_paths(input_file, output_dir);
  if (!chunk_paths) return host::fail_os(chunk_paths.error());

  Mp4ChunkMetadata metadata;
  metadata.original_file = input_file;
  metadata.output_prefix = segment_pattern;
  metadata.chunk_count = chunk_paths->size();
  metadata.chunk_paths = std::move(*chunk_paths);
  metadata.split_type = "time";
  metadata.split_value = limit_text + "s";

  auto file = posix::create_for_writing(posix::join_path(output_dir, kMetadataFileName));
  if (!file) return host::fail_os(file.error());
  const std::string json = metadata_to_json(metadata);
  if (auto written = posix::write_all(file->get(), json.data(), json.size()); !written) {
    return host::fail_os(written.error());
  }
  return {};
}

host::Result<void> reconstruct_video(const std::string& output_dir,
                                     const std::string& output_file) {
  auto text = posix::read_whole_file(posix::join_path(output_dir, kMetadataFileName));
  if (!text) return runtime_failure("Failed to read metadata.json: " + text.error().text());
  if (!posix::is_valid_utf8(*text)) {
    return runtime_failure("Failed to read metadata.json: " + std::string(posix::kInvalidUtf8));
  }
  auto metadata = read_metadata(*text);
  if (!metadata) return runtime_failure("Serde error: " + metadata.error());
  if (metadata->chunk_paths.empty()) return runtime_failure("No chunks found in metadata.");

  auto entries = concat_list_entries(metadata->chunk_paths);
  if (!entries) return std::unexpected(std::move(entries.error()));

  const std::string list_path = posix::join_path(output_dir, kConcatListFileName);
  auto list_file = posix::create_for_writing(list_path);
  if (!list_file) {
    return runtime_failure("Failed to create concat list file: " + list_file.error().text());
  }
  for (const std::string& entry : *entries) {
    if (auto written = write_concat_line(list_file->get(), entry); !written) {
      return runtime_failure("Failed to write concat list: " + written.error().text());
    }
  }

  // The list stays open until ffmpeg has ended; `list_file` closes it on return.
  const std::array<std::string, 9> arguments{
      "-f", "concat", "-safe", "0", "-i", list_path, "-c", "copy", output_file,
  };
  auto status = posix::run_program(kProgram, arguments);
  if (!status) return runtime_failure("Failed to run ffmpeg: " + status.error().text());
  if (!status->success()) {
    return runtime_failure("ffmpeg concat failed with status " + status->describe());
  }
  return {};
}

}  // namespace fendral::mp4
