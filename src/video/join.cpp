// Joining segments back: each one is checked and measured here, then ffmpeg's concat demuxer
// copies their streams into one file.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/propagate.hpp"
#include "base/uint128.hpp"
#include "mp4/boxes.hpp"
#include "mp4/track.hpp"
#include "posix/file.hpp"
#include "posix/fs.hpp"
#include "posix/interruption.hpp"
#include "posix/spawn.hpp"
#include "video/concat_script.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/ffmpeg_paths.hpp"
#include "video/join_check.hpp"
#include "video/join_output.hpp"
#include "video/metadata.hpp"
#include "video/segment_file.hpp"
#include "video/segment_location.hpp"
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
Result<std::vector<ConcatEntry>> checked_segments(const SplitDirectory& directory,
                                                  const Mp4ChunkMetadata& record) {
  const std::string recorded_directory = recorded_segment_directory(record.output_prefix);
  std::vector<ConcatEntry> entries;
  entries.reserve(record.chunk_paths.size());
  std::optional<std::string> current_directory;
  for (const std::string& chunk_path : record.chunk_paths) {
    if (posix::interrupt_requested(posix::Check::Throttled)) {
      return runtime_failure(std::string(kInterrupted));
    }
    const std::string segment = directory.locate(chunk_path, recorded_directory);
    if (holds_line_break_or_nul(segment)) {
      return runtime_failure(std::string(kUnwritableEntry));
    }
    const auto unreadable = as_runtime_error("Failed to read segment " + segment + ": ");
    FENDRAL_TRY(auto opened,
                posix::open_nonempty_regular_file(segment).transform_error(unreadable));
    FENDRAL_TRY(auto movie, read_segment(std::move(opened)).transform_error(unreadable));
    std::string absolute_path;
    if (segment.starts_with('/')) {
      absolute_path = segment;
    } else {
      if (!current_directory) {
        FENDRAL_TRY(current_directory, working_directory().transform_error(
                                           as_runtime_error("Failed to write concat list: ")));
      }
      absolute_path = posix::join_path(*current_directory, segment);
      // The working directory's own name can break the line too.
      if (holds_line_break_or_nul(absolute_path)) {
        return runtime_failure(std::string(kUnwritableEntry));
      }
    }
    entries.push_back({quote_for_concat_list(absolute_path), std::move(movie)});
  }
  return entries;
}

// How a Matroska side file's first streams carry the tags of the segments' (video, then audio)
// streams: the first segment's, then `late_audio` audio tracks that later segments add. Nothing
// when its streams cannot be numbered or do not start so, kind for kind: the side file is then
// not mapped, since its carriers would come back as empty tracks.
std::optional<JoinCommand::TagCarriers> tag_carriers(int side_file, const mp4::Movie& segment,
                                                     std::size_t late_audio) {
  const auto streams = matroska_streams_of(side_file);
  const std::size_t carriers = segment.tracks.size() + late_audio;
  if (!streams || streams->size() < carriers) return std::nullopt;
  for (std::size_t index = 0; index < carriers; ++index) {
    const std::uint32_t handler =
        index < segment.tracks.size() ? segment.tracks[index].handler : mp4::kAudioHandler;
    const bool video = handler == mp4::boxes::box_type("vide");
    if (!video && handler != mp4::boxes::box_type("soun")) return std::nullopt;
    if ((*streams)[index] != (video ? mp4::MatroskaStream::video : mp4::MatroskaStream::audio)) {
      return std::nullopt;
    }
  }
  return JoinCommand::TagCarriers{.carriers = carriers, .streams = streams->size()};
}

// "2 subtitle tracks", "a cover picture": how many of a kind.
std::string counted(std::size_t count, std::string_view kind) {
  if (count == 1) return std::string(kind.starts_with('a') ? "an " : "a ") + std::string(kind);
  return std::to_string(count) + " " + std::string(kind) + "s";
}

// What the side file holds beyond the carriers of the segments' own tracks, by kind.
std::vector<std::string> side_stream_kinds(int side_file, SideStreamsForm form,
                                           std::size_t carried_subtitles) {
  std::size_t subtitles = 0, data = 0, covers = 0, attachments = 0;
  if (form == SideStreamsForm::matroska) {
    const auto streams = matroska_streams_of(side_file);
    if (!streams) return {};
    for (const mp4::MatroskaStream kind : *streams) {
      subtitles += kind == mp4::MatroskaStream::subtitle;
      attachments += kind == mp4::MatroskaStream::attachment;
    }
  } else {
    const auto movie = movie_of(side_file);
    if (!movie) return {};
    for (const mp4::TrackPackets& track : movie->tracks) {
      if (track.handler == mp4::boxes::box_type("meta")) {
        ++data;
      } else if (track.handler != mp4::kVideoHandler && track.handler != mp4::kAudioHandler) {
        ++subtitles;
      }
    }
    covers = movie->has_cover ? 1 : 0;
  }
  subtitles -= std::min(subtitles, carried_subtitles);
  std::vector<std::string> kinds;
  if (subtitles) kinds.push_back(counted(subtitles, "subtitle track"));
  if (data) kinds.push_back(counted(data, "data track"));
  if (covers) kinds.push_back(counted(covers, "cover picture"));
  if (attachments) kinds.push_back(counted(attachments, "attachment"));
  return kinds;
}

// The output's container as a reader names it, with its article, by the name's extension.
std::string container_name(std::string_view output_file) {
  const std::string extension = lowercase(output_file.substr(output_file.rfind('.') + 1));
  if (extension == "mkv" || extension == "mka") return "a Matroska";
  if (extension == "webm") return "a WebM";
  if (extension == "ts" || extension == "m2ts" || extension == "mts") return "an MPEG-TS";
  if (extension == "ismv" || extension == "isma") return "a fragmented MP4";
  if (writes_movie_file(output_file)) return "an MP4";
  return "a ." + extension;
}

// The note for the caller when the split stored a side file that this output does not take.
Result<std::optional<std::string>> side_streams_left_out(
    const SplitDirectory& directory, const std::optional<SourceMetadata>& source_metadata,
    std::optional<SideStreamsForm> output_form, const std::string& output_file,
    std::size_t carried_subtitles) {
  if (!source_metadata || !source_metadata->side_streams) return std::nullopt;
  const SideStreamsStamp& stamp = *source_metadata->side_streams;
  if (stamp.name.empty()) return std::nullopt;
  const SideStreamsForm stored =
      stamp.name == kMatroskaSideStreamsFileName ? SideStreamsForm::matroska : SideStreamsForm::mp4;
  if (output_form == stored) return std::nullopt;
  FENDRAL_TRY(const auto side_file, directory.open_side_streams(stored, stamp));
  if (!side_file) return std::nullopt;
  const auto kinds = side_stream_kinds(side_file->get(), stored, carried_subtitles);
  if (kinds.empty()) return std::nullopt;
  std::string listed;
  for (std::size_t index = 0; index < kinds.size(); ++index) {
    if (index > 0) listed += index + 1 == kinds.size() ? " and " : ", ";
    listed += kinds[index];
  }
  return std::optional<std::string>(
      output_file + " leaves out " + listed + " of the split's " + stamp.name + ": " +
      container_name(output_file) + " output takes " +
      (carried_subtitles ? "only the text subtitles of " : "none of ") +
      (stored == SideStreamsForm::matroska ? "a Matroska" : "an MP4") + " source's side streams");
}

// An MP4 side file's text subtitles (mov_text) for a Matroska or WebM output, converted to the
// text subtitles it holds; its data tracks and cover stay out. Nothing when the split stored no
// MP4 side file, the output takes none, or a subtitle track is not text.
struct CrossedSubtitles {
  posix::UniqueFd side_file;
  std::string codec;
  std::size_t tracks = 0;
};
Result<std::optional<CrossedSubtitles>> crossed_subtitles(
    const SplitDirectory& directory, const std::optional<SourceMetadata>& source_metadata,
    const std::string& output_file) {
  if (!source_metadata || !source_metadata->side_streams) return std::nullopt;
  const SideStreamsStamp& stamp = *source_metadata->side_streams;
  if (stamp.name.empty() || stamp.name == kMatroskaSideStreamsFileName) return std::nullopt;
  const std::string container = container_name(output_file);
  if (container != "a Matroska" && container != "a WebM") return std::nullopt;
  FENDRAL_TRY(auto side_file, directory.open_side_streams(SideStreamsForm::mp4, stamp));
  if (!side_file) return std::nullopt;
  const auto movie = movie_of(side_file->get());
  if (!movie) return std::nullopt;
  std::size_t tracks = 0;
  for (const mp4::TrackPackets& track : movie->tracks) {
    const std::uint32_t handler = track.handler;
    if (handler == mp4::kVideoHandler || handler == mp4::kAudioHandler ||
        handler == mp4::boxes::box_type("meta")) {
      continue;
    }
    if (handler != mp4::boxes::box_type("sbtl") && handler != mp4::boxes::box_type("text") &&
        handler != mp4::boxes::box_type("subt")) {
      return std::nullopt;
    }
    ++tracks;
  }
  if (tracks == 0) return std::nullopt;
  return std::optional<CrossedSubtitles>(
      CrossedSubtitles{.side_file = std::move(*side_file),
                       .codec = container == "a WebM" ? "webvtt" : "srt",
                       .tracks = tracks});
}

std::vector<const mp4::TrackPackets*> audio_tracks(const mp4::Movie& movie) {
  std::vector<const mp4::TrackPackets*> tracks;
  for (const mp4::TrackPackets& track : movie.tracks) {
    if (track.handler == mp4::kAudioHandler) tracks.push_back(&track);
  }
  return tracks;
}

// Per audio track, the last segment's last packet's duration on the clock the joined stream
// takes from the first segment; nothing where it is not known exactly on that clock.
std::vector<std::optional<std::uint64_t>> last_audio_packets(
    const std::vector<ConcatEntry>& entries) {
  const auto first = audio_tracks(entries.front().movie);
  const auto last = audio_tracks(entries.back().movie);
  std::vector<std::optional<std::uint64_t>> lasts(std::min(first.size(), last.size()));
  for (std::size_t rank = 0; rank < lasts.size(); ++rank) {
    const auto& sample = last[rank]->last_sample;
    const auto& clock = first[rank]->last_sample;
    if (!sample || !clock || sample->timescale == 0) continue;
    const uint128 scaled = uint128(sample->ticks) * clock->timescale;
    if (scaled % sample->timescale == 0) {
      lasts[rank] = static_cast<std::uint64_t>(scaled / sample->timescale);
    }
  }
  return lasts;
}

// Audio tracks that the first segment lacks, and the first segment that holds them. Nothing when
// there are none, or when they start in different segments: the read-back then names the loss.
struct LateAudio {
  std::size_t first_entry = 0;
  std::vector<std::size_t> ranks;
};
std::optional<LateAudio> late_audio(const std::vector<ConcatEntry>& entries) {
  const std::size_t held = audio_tracks(entries.front().movie).size();
  std::optional<LateAudio> late;
  for (std::size_t index = 1; index < entries.size(); ++index) {
    const std::size_t count = audio_tracks(entries[index].movie).size();
    if (count <= held) continue;
    if (late) {
      if (count > held + late->ranks.size()) return std::nullopt;
      continue;
    }
    late = LateAudio{.first_entry = index, .ranks = {}};
    for (std::size_t rank = held; rank < count; ++rank) late->ranks.push_back(rank);
  }
  return late;
}

// The concat script in an anonymous in-memory file, for ffmpeg to read.
Result<posix::UniqueFd> script_in_memory(const std::string& text) {
  const auto unwritable = as_runtime_error("Failed to write concat list: ");
  FENDRAL_TRY(auto file,
              posix::create_anonymous_file("fendral-concat-script").transform_error(unwritable));
  FENDRAL_CHECK(posix::write_all(file.get(), text.data(), text.size()).transform_error(unwritable));
  return file;
}

// Where audio tracks start after the first cut: a second concat input over the segments from the
// first that holds them, shifted to where that one starts in the joined file.
struct LateInput {
  posix::UniqueFd script;
  JoinCommand::LateTracks tracks;
};
Result<std::optional<LateInput>> late_track_input(
    const std::vector<ConcatEntry>& entries, const std::optional<std::vector<SegmentSpan>>& spans,
    const ConcatScript& script) {
  const auto late = late_audio(entries);
  if (!late || !script.starts) return std::nullopt;
  const auto from = static_cast<std::ptrdiff_t>(late->first_entry);
  const std::vector<ConcatEntry> later(entries.begin() + from, entries.end());
  std::optional<std::vector<SegmentSpan>> later_spans;
  if (spans && spans->size() == entries.size()) {
    later_spans.emplace(spans->begin() + from, spans->end());
  }
  FENDRAL_TRY(auto file,
              script_in_memory(concat_script(later, later_spans ? &*later_spans : nullptr).text));
  return std::optional<LateInput>(
      LateInput{.script = std::move(file),
                .tracks = {.offset = seconds_text((*script.starts)[late->first_entry]),
                           .audio_ranks = late->ranks}});
}

}  // namespace

Result<void> reconstruct_video(const std::string& output_dir, const std::string& output_file,
                               const posix::Environment& environment, JoinObserver* observer) {
  // Shared: joins read side by side, but never while a split rewrites the directory.
  FENDRAL_TRY(const auto directory, SplitDirectory::lock(output_dir, SplitDirectory::Use::join));
  FENDRAL_TRY(const auto record, directory.load_record());
  if (record.chunk_paths.empty()) return runtime_failure("No chunks found in metadata.");
  FENDRAL_TRY(const auto entries, checked_segments(directory, record));
  FENDRAL_TRY(const auto source_metadata, directory.open_source_metadata());
  const auto side_form = side_streams_form_for(output_file);
  std::optional<posix::UniqueFd> side_streams;
  if (side_form) {
    FENDRAL_TRY(side_streams,
                directory.open_side_streams(
                    *side_form, source_metadata ? source_metadata->side_streams : std::nullopt));
  }
  const auto spans = directory.segment_spans(record.chunk_paths);
  const ConcatScript script = concat_script(entries, spans ? &*spans : nullptr);
  FENDRAL_TRY(const auto script_file, script_in_memory(script.text));

  FENDRAL_TRY(const auto late, late_track_input(entries, spans, script));

  std::optional<JoinCommand::TagCarriers> carriers;
  if (side_streams && side_form == SideStreamsForm::matroska) {
    carriers = tag_carriers(side_streams->get(), entries.front().movie,
                            late ? late->tracks.audio_ranks.size() : 0);
    if (!carriers) side_streams.reset();
  }
  std::optional<CrossedSubtitles> crossed;
  if (!side_streams) {
    FENDRAL_TRY(crossed, crossed_subtitles(directory, source_metadata, output_file));
    if (crossed) side_streams = std::move(crossed->side_file);
  }
  // Never silently: what the output cannot hold is named before ffmpeg starts.
  FENDRAL_TRY(const auto left_out,
              side_streams_left_out(directory, source_metadata, side_form, output_file,
                                    crossed ? crossed->tracks : 0));
  if (left_out && observer && !observer->left_out(*left_out)) {
    return runtime_failure(std::string(kInterrupted));
  }
  FENDRAL_CHECK(directory.write_concat_list(entries));
  FENDRAL_TRY(auto output, JoinOutput::prepare(output_file));
  const auto arguments = join_command({
      .output_file = output.written(),
      .source_metadata = source_metadata.has_value(),
      .quicktime_keys = source_metadata && source_metadata->quicktime_keys,
      .video_timescale = entries.front().movie.video_timescale,
      .major_brand = source_metadata ? source_metadata->major_brand : std::nullopt,
      .side_streams = side_streams.has_value(),
      .tag_carriers = carriers,
      .subtitle_codec = crossed ? std::optional(crossed->codec) : std::nullopt,
      .last_audio_packets = last_audio_packets(entries),
      .late_tracks = late ? std::optional(late->tracks) : std::nullopt,
  });
  if (posix::interrupt_requested(posix::Check::Now)) {
    return runtime_failure(std::string(kInterrupted));
  }
  FENDRAL_TRY(
      const auto status,
      posix::run_program(
          kProgram, arguments,
          {.environment = environment,
           .stdin_from_null = true,
           .passed_fds = {script_file.get(), source_metadata ? source_metadata->fd.get() : -1,
                          directory.lock_for_child(), side_streams ? side_streams->get() : -1,
                          late ? late->script.get() : -1}})
          .transform_error(as_runtime_error("Failed to run ffmpeg: ")));
  if (!status.success()) {
    return runtime_failure("ffmpeg concat failed with status " + status.describe());
  }
  if (auto lost = what_the_join_lost(output.written(), entries, script.stated_microseconds)) {
    return runtime_failure("ffmpeg concat lost data: " + *lost);
  }
  return output.place();
}

}  // namespace fendral::video
