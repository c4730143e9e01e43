// Joining segments back: each one is checked and measured here, then ffmpeg's concat demuxer
// copies their streams into one file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/propagate.hpp"
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

// The output's container as a reader names it, with its article, by the name's extension.
std::string container_name(std::string_view output_file) {
  const std::string extension = lowercase(output_file.substr(output_file.rfind('.') + 1));
  if (extension == "mkv" || extension == "mka") return "a Matroska";
  if (extension == "webm") return "a WebM";
  if (extension == "ts" || extension == "m2ts" || extension == "mts") return "an MPEG-TS";
  if (extension == "ismv" || extension == "isma") return "a fragmented MP4";
  if (extension == "mov") return "a QuickTime";
  if (writes_movie_file(output_file)) return "an MP4";
  return "a ." + extension;
}

// How a join maps the split's side file: as it is into the source's own family, and across
// families its text subtitles, converted, and its cover pictures.
struct SidePlan {
  std::optional<posix::UniqueFd> file;  // handed to ffmpeg; nothing when none is used
  bool input = false;                   // whether ffmpeg reads its streams, not only covers
  std::optional<JoinCommand::TagCarriers> carriers;
  JoinCommand::CrossedStreams crossed;
  std::vector<JoinCommand::AttachedCover> covers;
  std::vector<JoinCommand::Disposition> dispositions;
  // For the caller when the side file holds what this output does not take.
  std::optional<std::string> left_out;
};

// What a side file holds beyond the carriers of the segments' own tracks, by kind, and of those
// what crosses into the output.
struct SideKinds {
  std::size_t subtitles = 0, crossed_subtitles = 0;
  std::size_t covers = 0, crossed_covers = 0;
  std::size_t data = 0, attachments = 0;
};

// Whether ffmpeg's muxer for the output writes cover pictures (as the MP4 and iTunes forms do;
// its QuickTime form drops them).
bool holds_covers(const std::string& output_file) {
  const std::string lower = lowercase(output_file);
  return side_streams_form_for(output_file) == SideStreamsForm::mp4 &&
         (lower.ends_with(".mp4") || lower.ends_with(".m4v") || lower.ends_with(".m4a") ||
          lower.ends_with(".m4b"));
}

// What an output of another family (or a QuickTime one) takes of a side file.
std::string_view what_crosses(SideStreamsForm stored, const std::string& output_file) {
  const std::string container = container_name(output_file);
  const bool movie = side_streams_form_for(output_file) == SideStreamsForm::mp4;
  if (stored == SideStreamsForm::mp4) {
    if (container == "a Matroska") return "only the text subtitles and cover pictures of ";
    if (container == "a WebM") return "only the text subtitles of ";
    if (movie) return "all but the cover pictures of ";
  } else if (movie) {
    return holds_covers(output_file) ? "only the text subtitles and cover pictures of "
                                     : "only the text subtitles of ";
  }
  return "none of ";
}

std::optional<std::string> left_out_note(const SideKinds& kinds, const std::string& output_file,
                                         const SideStreamsStamp& stamp, SideStreamsForm stored) {
  std::vector<std::string> listed;
  if (kinds.subtitles > kinds.crossed_subtitles) {
    listed.push_back(counted(kinds.subtitles - kinds.crossed_subtitles, "subtitle track"));
  }
  if (kinds.data) listed.push_back(counted(kinds.data, "data track"));
  if (kinds.covers > kinds.crossed_covers) {
    listed.push_back(counted(kinds.covers - kinds.crossed_covers, "cover picture"));
  }
  if (kinds.attachments) listed.push_back(counted(kinds.attachments, "attachment"));
  if (listed.empty()) return std::nullopt;
  std::string note = output_file + " leaves out ";
  for (std::size_t index = 0; index < listed.size(); ++index) {
    if (index > 0) note += index + 1 == listed.size() ? " and " : ", ";
    note += listed[index];
  }
  return note + " of the split's " + stamp.name + ": " + container_name(output_file) +
         " output takes " + std::string(what_crosses(stored, output_file)) +
         (stored == SideStreamsForm::matroska ? "a Matroska" : "an MP4") + " source's side streams";
}

// A Matroska side file into the MP4 family: its text subtitles as mov_text, by number, and
// into a file that holds covers its cover pictures. ffmpeg wrote a source's attached picture
// there as a video track of one picture after the carriers (`carriers` streams first), which
// goes back as the output's cover; `videos` is the number of the segments' video streams.
void cross_matroska(int side_file, const std::string& output_file, std::size_t carriers,
                    std::size_t videos, SideKinds& kinds, SidePlan& plan) {
  const auto streams = matroska_streams_of(side_file);
  if (!streams) return;
  const bool into_movie = side_streams_form_for(output_file) == SideStreamsForm::mp4;
  const bool covers_kept = holds_covers(output_file);
  for (std::size_t index = carriers; index < streams->size(); ++index) {
    const mp4::MatroskaStream kind = (*streams)[index];
    switch (kind) {
      case mp4::MatroskaStream::attachment:
        ++kinds.attachments;
        break;
      case mp4::MatroskaStream::subtitle:
        ++kinds.subtitles;
        break;
      case mp4::MatroskaStream::text_subtitle:
        ++kinds.subtitles;
        if (into_movie) {
          ++kinds.crossed_subtitles;
          plan.crossed.streams.push_back(index);
        }
        break;
      case mp4::MatroskaStream::video:
      case mp4::MatroskaStream::cover:
        ++kinds.covers;
        if (covers_kept) {
          if (kind == mp4::MatroskaStream::video) {
            plan.dispositions.push_back(
                {"v:" + std::to_string(videos + kinds.crossed_covers), "attached_pic"});
          }
          ++kinds.crossed_covers;
          plan.crossed.streams.push_back(index);
        }
        break;
      default:
        break;
    }
  }
  if (kinds.crossed_subtitles) plan.crossed.subtitle_codec = "mov_text";
  plan.input = !plan.crossed.streams.empty();
}

// An MP4 side file into Matroska or WebM: its text subtitles (mov_text) as SubRip or WebVTT,
// when every subtitle track is text, and into Matroska its JPEG and PNG covers as attachments;
// its data tracks stay out.
void cross_mp4(int side_file, const std::string& output_file, SideKinds& kinds, SidePlan& plan) {
  // A side file of a cover alone has no track, which makes no whole movie: its covers are read
  // all the same.
  const auto movie = movie_of(side_file);
  bool all_text = true;
  for (const mp4::TrackPackets& track : movie ? movie->tracks : std::vector<mp4::TrackPackets>{}) {
    const std::uint32_t handler = track.handler;
    if (handler == mp4::kVideoHandler || handler == mp4::kAudioHandler) continue;
    if (handler == mp4::boxes::box_type("meta")) {
      ++kinds.data;
      continue;
    }
    ++kinds.subtitles;
    all_text = all_text &&
               (handler == mp4::boxes::box_type("sbtl") ||
                handler == mp4::boxes::box_type("text") || handler == mp4::boxes::box_type("subt"));
  }
  const std::string container = container_name(output_file);
  const auto covers = cover_pictures_of(side_file);
  kinds.covers = covers.size();
  if (container == "a Matroska") {
    for (const mp4::CoverPicture& cover : covers) {
      if (!cover.mime_type) continue;
      plan.covers.push_back(
          {.offset = cover.offset, .size = cover.size, .mime_type = std::string(*cover.mime_type)});
    }
    kinds.crossed_covers = plan.covers.size();
  }
  if (kinds.subtitles == 0 || !all_text) return;
  if (container != "a Matroska" && container != "a WebM") return;
  plan.crossed.subtitle_codec = container == "a WebM" ? "webvtt" : "srt";
  plan.crossed.all_subtitles = true;
  kinds.crossed_subtitles = kinds.subtitles;
  plan.input = true;
}

// Opens the side file once: the same family's as it is, another family's for what crosses and
// what is left out. A side file that is not the split's fails the join, naming it.
Result<SidePlan> side_plan(const SplitDirectory& directory,
                           const std::optional<SourceMetadata>& source_metadata,
                           const std::string& output_file, const mp4::Movie& first_segment,
                           std::size_t late_audio) {
  SidePlan plan;
  const auto stamp = source_metadata ? source_metadata->side_streams : std::nullopt;
  const auto output_form = side_streams_form_for(output_file);
  if (output_form) {
    FENDRAL_TRY(plan.file, directory.open_side_streams(*output_form, stamp));
    if (plan.file && output_form == SideStreamsForm::matroska) {
      plan.carriers = tag_carriers(plan.file->get(), first_segment, late_audio);
      if (!plan.carriers) plan.file.reset();
    }
    plan.input = plan.file.has_value();
  }
  if (!stamp || stamp->name.empty()) return plan;
  const SideStreamsForm stored = stamp->name == kMatroskaSideStreamsFileName
                                     ? SideStreamsForm::matroska
                                     : SideStreamsForm::mp4;
  if (output_form == stored) {
    // ffmpeg's QuickTime form drops the covers of an MP4 side file without a word.
    if (plan.file && stored == SideStreamsForm::mp4 && !holds_covers(output_file)) {
      const SideKinds kinds{.covers = cover_pictures_of(plan.file->get()).size()};
      plan.left_out = left_out_note(kinds, output_file, *stamp, stored);
    }
    return plan;
  }
  FENDRAL_TRY(auto side_file, directory.open_side_streams(stored, stamp));
  if (!side_file) return plan;
  SideKinds kinds;
  if (stored == SideStreamsForm::matroska) {
    const std::size_t videos = std::count_if(
        first_segment.tracks.begin(), first_segment.tracks.end(),
        [](const mp4::TrackPackets& track) { return track.handler == mp4::kVideoHandler; });
    cross_matroska(side_file->get(), output_file, first_segment.tracks.size() + late_audio, videos,
                   kinds, plan);
  } else {
    cross_mp4(side_file->get(), output_file, kinds, plan);
  }
  if (kinds.crossed_subtitles || kinds.crossed_covers) plan.file = std::move(side_file);
  plan.left_out = left_out_note(kinds, output_file, *stamp, stored);
  return plan;
}

std::vector<const mp4::TrackPackets*> audio_tracks(const mp4::Movie& movie) {
  std::vector<const mp4::TrackPackets*> tracks;
  for (const mp4::TrackPackets& track : movie.tracks) {
    if (track.handler == mp4::kAudioHandler) tracks.push_back(&track);
  }
  return tracks;
}

// Per audio track, the joined stream's last packet: its number, counting every segment's
// packets, and the last segment's last packet's duration; nothing where either is not known.
std::vector<std::optional<LastPacket>> last_audio_packets(const std::vector<ConcatEntry>& entries) {
  const auto first = audio_tracks(entries.front().movie);
  const auto last = audio_tracks(entries.back().movie);
  std::vector<std::optional<LastPacket>> lasts(std::min(first.size(), last.size()));
  // Each track's packets over every segment; nothing counted for one a segment lacks.
  std::vector<std::optional<std::uint64_t>> packets(lasts.size(), 0);
  for (const ConcatEntry& entry : entries) {
    const auto tracks = audio_tracks(entry.movie);
    for (std::size_t rank = 0; rank < packets.size(); ++rank) {
      if (!packets[rank]) continue;
      if (rank < tracks.size()) {
        *packets[rank] += tracks[rank]->packets;
      } else {
        packets[rank].reset();
      }
    }
  }
  for (std::size_t rank = 0; rank < lasts.size(); ++rank) {
    const auto duration = mp4::last_packet_duration(*last[rank]);
    if (duration && packets[rank].value_or(0) > 0) {
      lasts[rank] = LastPacket{
          .index = *packets[rank] - 1, .duration = duration->ticks, .clock = duration->timescale};
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

// The segments' streams that an output of another family marks default: those the first
// segment's header enables, of an MP4 or QuickTime source (its record names the brand), whose
// tracks' flags the segments keep. Other sources' segments enable the first track of each kind
// whatever the source said, and a movie file's muxer marks its tracks itself.
std::vector<JoinCommand::Disposition> default_streams(
    const mp4::Movie& first_segment, const std::optional<SourceMetadata>& source_metadata,
    const std::string& output_file) {
  if (writes_movie_file(output_file) || !source_metadata || !source_metadata->major_brand) {
    return {};
  }
  const auto& stamp = source_metadata->side_streams;
  if (stamp && stamp->name == kMatroskaSideStreamsFileName) return {};
  std::vector<JoinCommand::Disposition> streams;
  for (std::size_t index = 0; index < first_segment.tracks.size(); ++index) {
    const mp4::TrackPackets& track = first_segment.tracks[index];
    const bool picture_or_sound =
        track.handler == mp4::kVideoHandler || track.handler == mp4::kAudioHandler;
    if (picture_or_sound && track.enabled) streams.push_back({std::to_string(index), "default"});
  }
  return streams;
}

// The movie muxer states its chapter track on the movie clock, which the join sets to 1/90000
// for its edit lists; the track goes back onto the clock of the source's chapters (one that
// divides it), else the muxer's default of milliseconds, as a whole-file remux has it. A file
// ffmpeg wrote outside the join's own directory is left as it is.
Result<void> restate_chapter_clock(const JoinOutput& output,
                                   const std::optional<SourceMetadata>& source_metadata) {
  if (!output.in_own_directory() || !writes_movie_file(output.written())) return {};
  std::uint32_t timescale = 1000;
  if (source_metadata && source_metadata->chapter_timescale &&
      kJoinMovieTimescale % *source_metadata->chapter_timescale == 0) {
    timescale = *source_metadata->chapter_timescale;
  }
  const auto unwritable = as_runtime_error("Failed to write the joined file: ");
  FENDRAL_TRY(const auto file,
              posix::open_file_at(AT_FDCWD, output.written(), O_RDWR | O_NOFOLLOW | O_NONBLOCK)
                  .transform_error(unwritable));
  for (const mp4::ByteEdit& edit : chapter_clock_edits_of(file.get(), timescale)) {
    FENDRAL_CHECK(posix::write_all_at(file.get(), edit.bytes.data(), edit.bytes.size(), edit.offset)
                      .transform_error(unwritable));
  }
  return {};
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
  const auto spans = directory.segment_spans(record.chunk_paths);
  const ConcatScript script = concat_script(entries, spans ? &*spans : nullptr);
  FENDRAL_TRY(const auto script_file, script_in_memory(script.text));

  FENDRAL_TRY(const auto late, late_track_input(entries, spans, script));

  FENDRAL_TRY(auto side, side_plan(directory, source_metadata, output_file, entries.front().movie,
                                   late ? late->tracks.audio_ranks.size() : 0));
  // Never silently: what the output cannot hold is named before ffmpeg starts.
  if (side.left_out && observer && !observer->left_out(*side.left_out)) {
    return runtime_failure(std::string(kInterrupted));
  }
  auto dispositions = default_streams(entries.front().movie, source_metadata, output_file);
  dispositions.insert(dispositions.end(), side.dispositions.begin(), side.dispositions.end());
  FENDRAL_CHECK(directory.write_concat_list(entries));
  FENDRAL_TRY(auto output, JoinOutput::prepare(output_file));
  const auto arguments = join_command({
      .output_file = output.written(),
      .source_metadata = source_metadata.has_value(),
      .quicktime_keys = source_metadata && source_metadata->quicktime_keys,
      .video_timescale = entries.front().movie.video_timescale,
      .major_brand = source_metadata ? source_metadata->major_brand : std::nullopt,
      .side_streams = side.input,
      .tag_carriers = side.carriers,
      .crossed = side.crossed,
      .attached_covers = side.covers,
      .last_audio_packets = last_audio_packets(entries),
      .late_tracks = late ? std::optional(late->tracks) : std::nullopt,
      .dispositions = dispositions,
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
                          directory.lock_for_child(), side.file ? side.file->get() : -1,
                          late ? late->script.get() : -1}})
          .transform_error(as_runtime_error("Failed to run ffmpeg: ")));
  if (!status.success()) {
    return runtime_failure("ffmpeg concat failed with status " + status.describe());
  }
  if (auto lost = what_the_join_lost(output.written(), entries, script.stated_microseconds)) {
    return runtime_failure("ffmpeg concat lost data: " + *lost);
  }
  FENDRAL_CHECK(restate_chapter_clock(output, source_metadata));
  return output.place();
}

}  // namespace fendral::video
