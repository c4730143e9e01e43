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
#include "posix/spawn.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/metadata.hpp"
#include "video/movie.hpp"
#include "video/segment_location.hpp"
#include "video/source_metadata.hpp"
#include "video/video.hpp"

namespace fendral::video {

namespace {

constexpr std::string_view kNotCompleteMp4 = "not a complete MP4 file";
// The result of a call that a signal handler stopped; what the handler raised replaces it.
constexpr std::string_view kInterrupted = "Failed to join: interrupted";
// Each line of a concat list is these around the quoted path.
constexpr std::string_view kLineStart = "file '";
constexpr std::string_view kLineEnd = "'\n";
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

// A segment file read through its descriptor; keeps the first read error.
class SegmentFile final : public ByteSource {
 public:
  SegmentFile(posix::UniqueFd fd, std::uint64_t size) : fd_(std::move(fd)), size_(size) {}

  std::uint64_t size() const override { return size_; }
  bool read_at(std::uint64_t offset, void* buffer, std::size_t length) override {
    // Reads of a regular file are never interrupted, and a segment may hold millions of boxes:
    // a Ctrl-C is looked for here.
    if (posix::interrupt_requested(posix::Check::Throttled)) {
      if (!error_) error_ = posix::IoError::from_errno(EINTR);
      return false;
    }
    auto got = posix::read_full_at(fd_.get(), buffer, length, offset);
    if (!got) {
      if (!error_) error_ = got.error();
      return false;
    }
    return *got == length;  // short only when the file shrank meanwhile
  }
  const std::optional<posix::IoError>& error() const { return error_; }

 private:
  posix::UniqueFd fd_;
  std::uint64_t size_;
  std::optional<posix::IoError> error_;
};

// Reads an opened segment as an MP4 file: its duration, or the text of why it is unusable.
expected<Movie, std::string> read_segment(posix::OpenRegularFile segment) {
  SegmentFile file(std::move(segment.fd), segment.size);
  auto movie = read_movie(file);
  if (movie) return *movie;
  if (movie.error() == MovieFault::read_failed && file.error()) {
    return unexpected(file.error()->text());
  }
  return unexpected(std::string(kNotCompleteMp4));
}

struct ConcatEntry {
  std::string quoted_path;
  Movie movie;
};

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
    if (posix::interrupt_requested(posix::Check::Throttled)) {
      return runtime_failure(std::string(kInterrupted));
    }
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

// Whole microseconds as seconds for ffmpeg: "2", "0.88", "1.021678".
std::string seconds_text(std::uint64_t microseconds) {
  std::string text = std::to_string(microseconds / 1'000'000);
  if (const std::uint64_t fraction = microseconds % 1'000'000; fraction != 0) {
    std::string digits = std::to_string(fraction);
    digits.insert(0, 6 - digits.size(), '0');
    digits.erase(digits.find_last_not_of('0') + 1);
    text += "." + digits;
  }
  return text;
}

// A segment's span and the lead the next one hides, on one clock. An open GOP's last frames
// are decoded with the next segment but shown before its first frame: neither segment's span
// covers them, so the earlier one is stretched over them. A lead on a clock that shares no
// common one with the span within 64 bits is left out.
Span with_lead(Span span, const std::optional<Span>& lead) {
  if (!lead || lead->ticks == 0) return span;
  uint128 ticks_per_second = span.ticks_per_second;
  uint128 ticks = span.ticks;
  if (span.ticks_per_second % lead->ticks_per_second != 0) {
    ticks_per_second *= lead->ticks_per_second;
    ticks *= lead->ticks_per_second;
  }
  ticks += static_cast<uint128>(lead->ticks) * (ticks_per_second / lead->ticks_per_second);
  constexpr uint128 kMax = std::numeric_limits<std::uint64_t>::max();
  if (ticks_per_second > kMax || ticks > kMax) return span;
  return {static_cast<std::uint64_t>(ticks), static_cast<std::uint64_t>(ticks_per_second)};
}

struct ConcatScript {
  std::string text;
  std::uint64_t stated_microseconds = 0;  // the durations it states, summed
};

// The list ffmpeg reads: concat_list.txt's lines, each followed by the segment's duration when
// it is known, so that each segment starts where the previous one's video ended rather than
// after its last audio frame. The durations are the differences of the running ends, each end
// rounded once, so rounding to microseconds never adds up over many segments.
ConcatScript concat_script(const std::vector<ConcatEntry>& entries) {
  ConcatScript script;
  std::uint64_t ticks_per_second = 0;  // the clock of the current run of segments
  uint128 run_ticks = 0;
  std::uint64_t run_start = 0;  // microseconds
  std::uint64_t previous_end = 0;
  for (std::size_t index = 0; index < entries.size(); ++index) {
    const ConcatEntry& entry = entries[index];
    script.text.append(kLineStart).append(entry.quoted_path).append(kLineEnd);
    if (!entry.movie.duration) {
      ticks_per_second = 0;  // ffmpeg places this one; the next run starts afresh
      previous_end = 0;
      continue;
    }
    const Span duration =
        index + 1 < entries.size()
            ? with_lead(*entry.movie.duration, entries[index + 1].movie.hidden_lead)
            : *entry.movie.duration;
    if (duration.ticks_per_second != ticks_per_second) {
      ticks_per_second = duration.ticks_per_second;
      run_ticks = 0;
      run_start = previous_end;
    }
    run_ticks += duration.ticks;
    const std::uint64_t end = run_start + microseconds(run_ticks, ticks_per_second);
    if (end <= previous_end) continue;
    script.text.append("duration ").append(seconds_text(end - previous_end)).append("\n");
    script.stated_microseconds += end - previous_end;
    previous_end = end;
  }
  return script;
}

// Whole microseconds as seconds to the millisecond: "1.045".
std::string milliseconds_text(std::uint64_t microseconds) {
  const std::uint64_t milliseconds = microseconds / 1000 + (microseconds % 1000 >= 500 ? 1 : 0);
  std::string fraction = std::to_string(milliseconds % 1000);
  fraction.insert(0, 3 - fraction.size(), '0');
  return std::to_string(milliseconds / 1000) + "." + fraction;
}

// What a join that ffmpeg reported as a success lacks, found by reading the joined file as the
// segments were read: a kind of track that a segment holds, or a video (without one, the
// longest track) shorter than the stated durations by more than its longest sample. ffmpeg's
// concat demuxer skips a segment it cannot read and takes its streams from the first segment,
// both silently. Nothing when all is there, or when the output is no MP4 file that can be read
// (another container, a stream): such a join is judged by ffmpeg's status alone.
std::optional<std::string> lost_in_join(const std::string& output_file,
                                        const std::vector<ConcatEntry>& entries,
                                        std::uint64_t stated_microseconds) {
  auto opened = posix::open_nonempty_regular_file(output_file);
  if (!opened) return std::nullopt;
  SegmentFile file(std::move(opened->fd), opened->size);
  const auto joined = read_movie(file);
  if (!joined || !joined->tracks_known) return std::nullopt;

  struct Kind {
    const char* name;
    bool Movie::* held;
  };
  for (const Kind kind : {Kind{"video", &Movie::has_video}, Kind{"audio", &Movie::has_audio}}) {
    if ((*joined).*kind.held) continue;
    for (std::size_t index = 0; index < entries.size(); ++index) {
      if (entries[index].movie.*kind.held) {
        return std::string("no ") + kind.name + " track, segment " + std::to_string(index) +
               " has one";
      }
    }
  }
  if (!joined->duration || !joined->longest_sample) return std::nullopt;
  const std::uint64_t lasts =
      microseconds(joined->duration->ticks, joined->duration->ticks_per_second);
  const std::uint64_t longest_sample =
      microseconds(joined->longest_sample->ticks, joined->longest_sample->ticks_per_second);
  if (uint128(lasts) + longest_sample >= stated_microseconds) return std::nullopt;
  return std::string("the joined ") + (joined->has_video ? "video" : "file") + " lasts " +
         milliseconds_text(lasts) + " s, its segments " + milliseconds_text(stated_microseconds) +
         " s";
}

// The output of a join that fails once ffmpeg may have started: removed, so a failed join
// leaves nothing that looks like a result. ffmpeg never overwrites (it is not asked to, and
// cannot be asked on its standard input), so a file there before the join is not its own and
// is left alone.
class OutputOfJoin {
 public:
  explicit OutputOfJoin(std::string path)
      : path_(std::move(path)), existed_before_(posix::entry_exists(path_)) {}
  OutputOfJoin(const OutputOfJoin&) = delete;
  OutputOfJoin& operator=(const OutputOfJoin&) = delete;
  ~OutputOfJoin() {
    if (!kept_ && !existed_before_) ::unlink(path_.c_str());
  }
  void keep() { kept_ = true; }

 private:
  std::string path_;
  bool existed_before_;
  bool kept_ = false;
};

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

  // ffmpeg gets the list with durations from memory, named by a path: it resolves the list's
  // entries against the list's own name, which a "pipe:" URL would break.
  auto script_file = posix::create_anonymous_file("fendral-concat-script");
  if (!script_file)
    return runtime_failure("Failed to write concat list: " + script_file.error().text());
  const ConcatScript script = concat_script(entries);
  if (auto written = posix::write_all(script_file->get(), script.text.data(), script.text.size());
      !written) {
    return runtime_failure("Failed to write concat list: " + written.error().text());
  }

  // -auto_convert 0 keeps the packets as they are (no parameter sets added to keyframes);
  // -map 0 keeps every stream of the segments.
  std::vector<std::string> arguments{
      "-f",
      "concat",
      "-safe",
      "0",
      "-auto_convert",
      "0",
      "-i",
      "/dev/fd/" + std::to_string(posix::kFirstPassedFd),
  };
  if (source_metadata) {
    // The source's tags and chapters come from the record, the streams still only from the
    // segments. A timecode track the segments carry is rebuilt from the video's own timecode
    // (-map 0 could not copy it); "unofficial" strictness writes the 360 and stereo 3D boxes;
    // QuickTime keys survive only when every tag goes in keyed form, so only then.
    arguments.insert(
        arguments.end(),
        {"-f", "ffmetadata", "-i", "/dev/fd/" + std::to_string(posix::kFirstPassedFd + 1),
         "-map_metadata", "1", "-map_chapters", "1", "-ignore_unknown", "-strict", "unofficial"});
    if (source_metadata->quicktime_keys) {
      arguments.insert(arguments.end(), {"-movflags", "use_metadata_tags"});
    }
  }
  arguments.insert(arguments.end(), {"-map", "0", "-c", "copy", option_safe(output_file)});
  if (entries.front().movie.hidden_lead) {
    // A trimmed clip: its first segment's edit list hides the frames before the trim. ffmpeg
    // starts its output at the earliest timestamp it reads, which would show them again;
    // -copyts keeps the segments' own timestamps, so they stay hidden. Only then: it also
    // hides AAC's priming, and the output's edit list, on a clock of milliseconds, can then
    // hide a last audio packet shorter than that.
    arguments.insert(arguments.end() - 1, "-copyts");
  }
  if (posix::interrupt_requested(posix::Check::Now)) {
    return runtime_failure(std::string(kInterrupted));
  }
  OutputOfJoin output(output_file);
  auto status = posix::run_program(
      kProgram, arguments,
      {.environment = environment,
       .stdin_from_null = true,
       .passed_fds = {script_file->get(), source_metadata ? source_metadata->fd.get() : -1}});
  if (!status) return runtime_failure("Failed to run ffmpeg: " + status.error().text());
  if (!status->success()) {
    return runtime_failure("ffmpeg concat failed with status " + status->describe());
  }
  if (auto lost = lost_in_join(output_file, entries, script.stated_microseconds)) {
    return runtime_failure("ffmpeg concat lost data: " + *lost);
  }
  output.keep();
  return {};
}

}  // namespace fendral::video
