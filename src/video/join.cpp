// Joining segments back: each one is checked and measured here, then ffmpeg's concat demuxer
// copies their streams into one file.
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "base/propagate.hpp"
#include "base/uint128.hpp"
#include "base/utf8.hpp"
#include "posix/directory_lock.hpp"
#include "posix/file.hpp"
#include "posix/fs.hpp"
#include "posix/interruption.hpp"
#include "posix/memory.hpp"
#include "posix/process.hpp"
#include "video/concat_script.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/join_check.hpp"
#include "video/join_output.hpp"
#include "video/metadata.hpp"
#include "video/segment_file.hpp"
#include "video/segment_location.hpp"
#include "video/source_metadata.hpp"
#include "video/split_directory.hpp"
#include "video/video.hpp"

namespace fendral::video {

namespace {

// The result of a call that a signal handler stopped; what the handler raised replaces it.
constexpr std::string_view kInterrupted = "Failed to join: interrupted";
constexpr std::string_view kUnwritableEntry =
    "Failed to write concat list: segment path contains a line break or NUL byte";

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

// Checks every segment and turns it into the quoted absolute path for its list line. ffmpeg
// resolves relative list entries against the list's directory, not ours, and does not report
// a segment it cannot open as a failure, so both are settled here before the list exists. A
// FIFO or device is refused because it is not a segment ffmpeg could have written; an empty
// file because ffmpeg would drop it with a mere warning; a file that is not a whole MP4 because
// ffmpeg would join what it can read of it and report success.
Result<std::vector<ConcatEntry>> concat_list_entries(const std::vector<std::string>& chunk_paths,
                                                     const SegmentHome& home) {
  std::vector<ConcatEntry> entries;
  entries.reserve(chunk_paths.size());
  std::optional<std::string> current_directory;
  for (const std::string& chunk_path : chunk_paths) {
    if (!posix::go_on_between_steps()) return runtime_failure(std::string(kInterrupted));
    const std::string segment = segment_path(chunk_path, home);
    if (holds_line_break_or_nul(segment)) {
      return runtime_failure(std::string(kUnwritableEntry));
    }
    auto opened = posix::open_nonempty_regular_file(segment);
    if (!opened) {
      return runtime_failure("Failed to read segment " + segment + ": " + opened.error().text());
    }
    auto movie = read_segment(std::move(*opened));
    if (!movie) {
      return runtime_failure("Failed to read segment " + segment + ": " + movie.error());
    }
    std::string absolute_path;
    if (segment.starts_with('/')) {
      absolute_path = segment;
    } else {
      if (!current_directory) {
        auto directory = working_directory();
        if (!directory) {
          return runtime_failure("Failed to write concat list: " + directory.error().text());
        }
        current_directory = std::move(*directory);
      }
      absolute_path = posix::join_path(*current_directory, segment);
      // The working directory's own name can break the line too.
      if (holds_line_break_or_nul(absolute_path)) {
        return runtime_failure(std::string(kUnwritableEntry));
      }
    }
    entries.push_back({quote_for_concat_list(absolute_path), *movie});
  }
  return entries;
}

posix::IoResult<void> write_concat_line(int fd, const std::string& entry) {
  const std::array<iovec, 3> pieces{{
      {const_cast<char*>(kLineStart.data()), kLineStart.size()},
      {const_cast<char*>(entry.data()), entry.size()},
      {const_cast<char*>(kLineEnd.data()), kLineEnd.size()},
  }};
  return posix::write_all_vectored(fd, pieces);
}

// metadata.json read and parsed. A file larger than this process can hold is refused unread.
Result<Mp4ChunkMetadata> read_record(const std::string& path) {
  auto opened = posix::open_regular_file(path);
  if (!opened) return runtime_failure("Failed to read metadata.json: " + opened.error().text());
  if (auto refusal = posix::beyond_memory(path, opened->size)) {
    return fail(Failure::memory_error(std::move(*refusal)));
  }
  try {
    auto text = posix::read_from_start(opened->fd.get());
    if (!text) return runtime_failure("Failed to read metadata.json: " + text.error().text());
    if (!is_valid_utf8(*text)) {
      return runtime_failure("Failed to read metadata.json: " + std::string(posix::kInvalidUtf8));
    }
    auto metadata = read_metadata(*text);
    if (!metadata) return runtime_failure("Serde error: " + metadata.error());
    return std::move(*metadata);
  } catch (const std::bad_alloc&) {
    return fail(Failure::memory_error(posix::out_of_memory_reading(path)));
  }
}

}  // namespace

Result<void> reconstruct_video(const std::string& output_dir, const std::string& output_file,
                               const posix::Environment& environment) {
  // Shared: joins read side by side, but never while a split rewrites the directory.
  const auto lock = posix::DirectoryLock::try_lock(output_dir, posix::DirectoryLock::Mode::Shared);
  if (!lock) return runtime_failure("Failed to join: a split is writing into " + output_dir);
  auto metadata = read_record(posix::join_path(output_dir, kMetadataFileName));
  if (!metadata) return fail(metadata.error());
  if (metadata->chunk_paths.empty()) return runtime_failure("No chunks found in metadata.");

  FENDRAL_TRY(auto entries, concat_list_entries(metadata->chunk_paths,
                                                segment_home(metadata->output_prefix, output_dir)));
  FENDRAL_TRY(auto source_metadata, open_source_metadata(output_dir));

  const std::string list_path = posix::join_path(output_dir, kConcatListFileName);
  // Written under another name and renamed into place once complete, as metadata.json is.
  {
    auto list_file = posix::ReplacementFile::create(list_path);
    if (!list_file) {
      return runtime_failure("Failed to create concat list file: " + list_file.error().text());
    }
    for (const ConcatEntry& entry : entries) {
      if (auto written = write_concat_line(list_file->fd(), entry.quoted_path); !written) {
        return runtime_failure("Failed to write concat list: " + written.error().text());
      }
    }
    if (auto placed = list_file->commit(); !placed) {
      return runtime_failure("Failed to create concat list file: " + placed.error().text());
    }
  }

  // ffmpeg reads the list with durations from memory.
  auto script_file = posix::create_anonymous_file("fendral-concat-script");
  if (!script_file)
    return runtime_failure("Failed to write concat list: " + script_file.error().text());
  const ConcatScript script = concat_script(entries);
  if (auto written = posix::write_all(script_file->get(), script.text.data(), script.text.size());
      !written) {
    return runtime_failure("Failed to write concat list: " + written.error().text());
  }

  FENDRAL_TRY(auto output, JoinOutput::prepare(output_file));
  const auto arguments = join_command({
      .output_file = output.written(),
      .source_metadata = source_metadata.has_value(),
      .quicktime_keys = source_metadata && source_metadata->quicktime_keys,
      .keep_timestamps = entries.front().movie.hidden_lead.has_value(),
  });
  if (!posix::go_on_now()) return runtime_failure(std::string(kInterrupted));
  auto status =
      posix::run_program(kProgram, arguments,
                         {.stdin_from_null = true,
                          .passed_fd = script_file->get(),
                          .second_passed_fd = source_metadata ? source_metadata->fd.get() : -1,
                          .kept_fd = lock->held() ? lock->directory() : -1,
                          .environment = &environment});
  if (!status) return runtime_failure("Failed to run ffmpeg: " + status.error().text());
  if (!status->success()) {
    return runtime_failure("ffmpeg concat failed with status " + status->describe());
  }
  if (auto lost = what_the_join_lost(output.written(), entries, script.stated_microseconds)) {
    return runtime_failure("ffmpeg concat lost data: " + *lost);
  }
  return output.place();
}

}  // namespace fendral::video
