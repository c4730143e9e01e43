#include "video/trim.hpp"

#include <algorithm>
#include <numeric>
#include <string_view>
#include <utility>
#include <vector>

#include "base/propagate.hpp"
#include "base/uint128.hpp"
#include "posix/file.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/ffmpeg_paths.hpp"
#include "video/head_reencode.hpp"
#include "video/join_output.hpp"
#include "video/reported_run.hpp"
#include "video/segment_file.hpp"
#include "video/source_probe.hpp"

namespace fendral::video {

namespace {

constexpr std::string_view kTrimOutputRefused = "Failed to trim: the output cannot be created";
constexpr std::string_view kStoppedTrim = "Failed to trim: stopped";
constexpr std::string_view kOutputExtensions[] = {".mp4", ".m4v", ".mov"};

std::string shown_seconds(std::int64_t microseconds) {
  return cap_seconds_text(static_cast<std::uint64_t>(std::max<std::int64_t>(0, microseconds)));
}

// The first video track's frames in display order, with where the cut may copy from.
class DisplayedFrames {
 public:
  DisplayedFrames(const PacketTrack& video, std::int64_t origin_microseconds)
      : video_(video), origin_(origin_microseconds), by_display_(video.packets.size()) {
    const auto& packets = video.packets;
    std::iota(by_display_.begin(), by_display_.end(), 0);
    // Ties keep decode order. (std::stable_sort would do, but libstdc++ 12 builds it on a
    // helper that clang 19 warns deprecated.)
    std::sort(by_display_.begin(), by_display_.end(), [&](std::size_t a, std::size_t b) {
      return std::pair(packets[a].presentation_time, a) <
             std::pair(packets[b].presentation_time, b);
    });
    // A clean frame: every packet decoded before it presents before every one decoded from it
    // on, so the packets before it decode to the frames shown before it, and its display index
    // is its decode index. A copy may end at any; it may start where set_copy_starts says.
    clean_.assign(packets.size() + 1, true);
    std::vector<std::int64_t> earliest_from(packets.size() + 1, INT64_MAX);
    for (std::size_t index = packets.size(); index-- > 0;) {
      earliest_from[index] = std::min(packets[index].presentation_time, earliest_from[index + 1]);
    }
    std::int64_t latest_before = INT64_MIN;
    for (std::size_t index = 0; index < packets.size(); ++index) {
      clean_[index] = latest_before < earliest_from[index];
      latest_before = std::max(latest_before, packets[index].presentation_time);
    }
  }

  // Where a copy may start (copy_starts_of), packet by packet in decode order.
  void set_copy_starts(std::vector<bool> starts) {
    copy_start_ = std::move(starts);
    copy_start_.push_back(true);  // the end
  }

  std::size_t count() const { return by_display_.size(); }
  const Packet& shown(std::size_t display) const { return video_.packets[by_display_[display]]; }
  bool clean(std::size_t display) const { return clean_[display]; }
  bool copy_start(std::size_t display) const { return copy_start_[display]; }

  // When frame `display` shows, in microseconds from the source's start.
  std::int64_t microseconds(std::size_t display) const {
    const int128 ticks = static_cast<int128>(shown(display).presentation_time) * 1'000'000;
    return static_cast<std::int64_t>(ticks / video_.timescale) - origin_;
  }

  // The first frame shown at or after `at`: count() when none is.
  std::size_t first_from(std::int64_t at) const {
    std::size_t display = 0;
    while (display < count() && microseconds(display) < at) ++display;
    return display;
  }

 private:
  const PacketTrack& video_;
  std::int64_t origin_;
  std::vector<std::size_t> by_display_;
  std::vector<bool> clean_;
  std::vector<bool> copy_start_;
};

// Where ffmpeg's timeline starts: the earliest first packet of any track, not before 0.
std::int64_t origin_microseconds(const PacketTable& table) {
  std::optional<std::int64_t> earliest;
  for (const PacketTrack& track : table.tracks) {
    if (track.packets.empty()) continue;
    const auto first = static_cast<std::int64_t>(
        static_cast<int128>(track.packets.front().presentation_time) * 1'000'000 / track.timescale);
    earliest = std::min(earliest.value_or(first), first);
  }
  return std::max<std::int64_t>(0, earliest.value_or(0));
}

// The stretch cut: frames [first, end) in display order; [copy_first, copy_end) copied, the
// frames before and after them re-encoded, each run decoded from the keyframe before it.
struct TrimCut {
  std::size_t first = 0;
  std::size_t end = 0;
  std::size_t copy_first = 0;
  std::size_t copy_end = 0;
  std::size_t keyframe = 0;
  std::size_t tail_keyframe = 0;

  std::uint64_t reencoded() const { return (copy_first - first) + (end - copy_end); }
};

// Where a decode for the frames at `display` starts: one that gives every frame after it (an
// open group's keyframe skips its leading pictures, and an H.264 I-frame that is no IDR picture
// can refer to pictures before it).
std::size_t keyframe_before(const DisplayedFrames& frames, std::size_t display) {
  while (display > 0 && !frames.copy_start(display)) --display;
  return display;
}

TrimCut plan_cut(const DisplayedFrames& frames, std::size_t first, std::size_t end) {
  TrimCut cut{.first = first,
              .end = end,
              .copy_first = end,
              .copy_end = end,
              .keyframe = keyframe_before(frames, first)};
  std::size_t copy_first = first;
  while (copy_first < end && !frames.copy_start(copy_first)) ++copy_first;
  std::size_t copy_end = end;
  while (copy_end > copy_first && !frames.clean(copy_end)) --copy_end;
  // No frame between them to copy: all re-encoded.
  if (copy_end <= copy_first) return cut;
  cut.copy_first = copy_first;
  cut.copy_end = copy_end;
  if (copy_end < end) cut.tail_keyframe = keyframe_before(frames, copy_end);
  return cut;
}

// The packets of an audio track that play from `from` to `to` (ticks of the video's clock), one
// more ahead: a decoder's first frame of sound is only right after one before it.
std::optional<std::pair<std::size_t, std::size_t>> audio_packets(const PacketTrack& audio,
                                                                 std::int64_t from, std::int64_t to,
                                                                 std::uint32_t video_clock) {
  const auto before = [&](const Packet& packet, std::int64_t video_ticks) {
    return static_cast<int128>(packet.presentation_time) * video_clock <
           static_cast<int128>(video_ticks) * audio.timescale;
  };
  const auto& packets = audio.packets;
  std::size_t first = 0;
  // The packet that plays at `from` is the last that starts at or before it.
  for (std::size_t index = 0; index < packets.size() && before(packets[index], from + 1); ++index) {
    first = index;
  }
  first -= std::min<std::size_t>(first, 1);
  std::size_t last = packets.size();
  while (last > first && !before(packets[last - 1], to)) --last;
  if (last == first) return std::nullopt;
  return std::pair{first, last - 1};
}

Result<void> run_trim_step(const std::vector<std::string>& arguments,
                           const std::array<int, posix::kPassedFdCount>& fds,
                           SplitObserver& observer, const posix::Environment& environment,
                           const std::string& failed) {
  const posix::SpawnOptions options{
      .environment = environment, .stdin_from_null = true, .passed_fds = fds};
  FENDRAL_TRY(const ReportedRun done,
              run_reported(kProgram, arguments, options, observer, std::nullopt));
  if (!done.status.success()) return runtime_failure(failure_text(failed, done));
  return {};
}

bool named_as_mp4(const std::string& path) {
  const std::string lower = lowercase(path);
  return std::any_of(std::begin(kOutputExtensions), std::end(kOutputExtensions),
                     [&](std::string_view extension) { return lower.ends_with(extension); });
}

Result<FittedSegment> trim_worded_as_split(const std::string& input_file,
                                           const std::string& output_file, const TrimRange& range,
                                           SplitObserver& observer,
                                           const posix::Environment& environment);

}  // namespace

Result<FittedSegment> trim(const std::string& input_file, const std::string& output_file,
                           const TrimRange& range, SplitObserver& observer,
                           const posix::Environment& environment) {
  auto trimmed = trim_worded_as_split(input_file, output_file, range, observer, environment);
  if (trimmed) return trimmed;
  // The runner the splits share words a stop or a signal as a split's: the caller trimmed.
  constexpr std::string_view kSplitLead = "Failed to split: ";
  Failure failure = std::move(trimmed).error();
  if (failure.message.starts_with(kSplitLead)) {
    failure.message.replace(0, kSplitLead.size(), "Failed to trim: ");
  }
  return fail(std::move(failure));
}

namespace {

Result<FittedSegment> trim_worded_as_split(const std::string& input_file,
                                           const std::string& output_file, const TrimRange& range,
                                           SplitObserver& observer,
                                           const posix::Environment& environment) {
  const std::int64_t start = range.start_microseconds;
  if (start < 0) return fail(Failure::value_error("start must be at least 0"));
  if (range.end_microseconds && *range.end_microseconds <= start) {
    return fail(Failure::value_error("end must be later than start"));
  }
  if (reads_standard_input(input_file)) {
    return fail(Failure::value_error(
        "trim reads its input more than once, to plan, to cut and to check, so it cannot read "
        "standard input"));
  }
  const auto local_output = local_file_opened(option_safe(output_file));
  if (!local_output || !named_as_mp4(*local_output)) {
    return fail(Failure::value_error(
        "trim writes an MP4 or QuickTime file: the output must be a local file named .mp4, "
        ".m4v or .mov"));
  }
  SourceProbe source = probe_source(input_file, SourceProbe::Tables::read);
  const std::string& input = source.ffmpeg_input;
  FENDRAL_TRY(const PacketTable table, read_packet_table(source, observer, environment));
  if (table.tracks.empty() || table.tracks[0].kind != StreamKind::video ||
      table.tracks[0].packets.empty()) {
    return fail(Failure::value_error("trim cuts a video, and the input has no video stream"));
  }
  const PacketTrack& video = table.tracks[0];
  DisplayedFrames frames(video, origin_microseconds(table));
  const std::size_t first = frames.first_from(start);
  if (first == frames.count()) {
    return fail(Failure::value_error("start is past the last frame, which shows at " +
                                     shown_seconds(frames.microseconds(frames.count() - 1)) +
                                     " s"));
  }
  const std::size_t end =
      range.end_microseconds ? frames.first_from(*range.end_microseconds) : frames.count();
  if (end == first) {
    return fail(Failure::value_error("no frame shows from " + shown_seconds(start) + " s to " +
                                     shown_seconds(*range.end_microseconds) + " s"));
  }
  FENDRAL_TRY(const VideoParameters parameters,
              read_video_parameters(input, observer, environment));
  if (const auto cannot = unmatched(parameters)) return fail(Failure::value_error(*cannot));
  FENDRAL_TRY(std::vector<bool> copy_starts,
              copy_starts_of(input, parameters, video.packets, observer, environment));
  frames.set_copy_starts(std::move(copy_starts));
  const TrimCut cut = plan_cut(frames, first, end);

  FENDRAL_TRY(auto output, JoinOutput::prepare(output_file, kTrimOutputRefused));
  const std::string failed = "Failed to trim " + input_file;
  const std::uint64_t total = static_cast<std::uint64_t>(
      frames.microseconds(end - 1) - frames.microseconds(first) +
      static_cast<std::int64_t>(static_cast<int128>(frames.shown(end - 1).duration) * 1'000'000 /
                                video.timescale));
  // Told after each of the parts, the run that joins them and the checks.
  std::uint64_t steps = 0;
  const auto step = [&]() -> Result<void> {
    constexpr std::uint64_t kSteps = 5;
    if (!observer.progress(total * std::min(++steps, kSteps) / kSteps, total)) {
      return runtime_failure(std::string(kStoppedTrim));
    }
    return {};
  };

  // The re-encoded head, the copied picture groups and the re-encoded tail, each in MPEG-TS.
  std::array<posix::UniqueFd, 3> parts;
  std::string video_input = "concat:";
  // An encode writes to passed descriptor 0, a copy to 1; the join reads part `slot` from
  // descriptor `slot`.
  const auto add_part = [&](std::size_t slot, std::size_t written_to,
                            const std::vector<std::string>& arguments) -> Result<void> {
    // On disk beside the output, where there is room for it: the copied part is as long as the
    // cut.
    const auto& beside = output.own_directory();
    FENDRAL_TRY(parts[slot], beside ? posix::create_unnamed_file_in(*beside, "fendral-trim-part")
                                    : posix::create_anonymous_file("fendral-trim-part"));
    std::array<int, posix::kPassedFdCount> fds = {-1, -1, -1, -1, -1};
    fds[written_to] = parts[slot].get();
    FENDRAL_CHECK(run_trim_step(arguments, fds, observer, environment, failed));
    if (video_input != "concat:") video_input += '|';
    video_input += "/dev/fd/" + std::to_string(posix::kFirstPassedFd + slot);
    return {};
  };
  const auto span = [&](std::size_t from, std::size_t to, std::size_t keyframe) {
    return Seam{.first_packet = from,
                .frames = to - from,
                .reencoded = to - from,
                .keyframe_packet = keyframe,
                .keyframe_microseconds = frames.microseconds(keyframe)};
  };
  if (cut.copy_first > first) {
    FENDRAL_CHECK(add_part(
        0, 0, encode_frames_command(span(first, cut.copy_first, cut.keyframe), input, parameters)));
  }
  FENDRAL_CHECK(step());
  if (cut.copy_end > cut.copy_first) {
    Seam copied = span(cut.copy_first, cut.copy_end, cut.copy_first);
    copied.reencoded = 0;
    FENDRAL_CHECK(add_part(1, 1, copy_packets_command(copied, input, parameters.codec)));
  }
  FENDRAL_CHECK(step());
  if (end > cut.copy_end) {
    FENDRAL_CHECK(add_part(
        2, 0,
        encode_frames_command(span(cut.copy_end, end, cut.tail_keyframe), input, parameters)));
  }
  FENDRAL_CHECK(step());

  // The parts on the output's clock, which starts at the first frame shown; the sound moved as
  // much, its first packets before 0, which the edit list skips.
  const std::uint32_t clock = video.timescale;
  const std::int64_t zero = frames.shown(first).presentation_time;
  const std::int64_t lead = kSpanLeadSeconds * clock;
  std::vector<std::string> arguments = {"-hide_banner",
                                        "-nostats",
                                        "-loglevel",
                                        "level+warning",
                                        "-copyts",
                                        "-itsoffset",
                                        ticks_as_seconds(-(lead + zero), clock),
                                        "-i",
                                        video_input,
                                        "-itsoffset",
                                        ticks_as_seconds(-zero, clock),
                                        "-i",
                                        input,
                                        "-map",
                                        "0:v"};
  const std::int64_t stop =
      end < frames.count() ? frames.shown(end).presentation_time : INT64_MAX / 2;
  // A sound with nothing to play in the cut is left out, so the output's audio streams are
  // numbered apart from the input's.
  for (std::size_t track = 1, audio = 0, mapped = 0; track < table.tracks.size(); ++track) {
    if (table.tracks[track].kind != StreamKind::audio) continue;
    const std::size_t rank = audio++;
    const auto packets = audio_packets(table.tracks[track], zero, stop, clock);
    if (!packets) continue;
    arguments.insert(arguments.end(),
                     {"-map", "1:a:" + std::to_string(rank), "-bsf:a:" + std::to_string(mapped++),
                      "noise=drop=not(between(n\\," + std::to_string(packets->first) + "\\," +
                          std::to_string(packets->second) + "))"});
  }
  const std::uint32_t track_clock = parameters.timescale.value_or(clock);
  const auto last_ticks = static_cast<long long>(
      static_cast<int128>(frames.shown(end - 1).duration) * track_clock / clock);
  arguments.insert(
      arguments.end(),
      {"-c", "copy", "-strict", "unofficial", "-movie_timescale", "90000", "-video_track_timescale",
       std::to_string(track_clock), "-bsf:v",
       // MPEG-TS states no duration: the last frame keeps the source's.
       "setts=pts=PTS:dts=DTS:duration=if(DURATION\\,DURATION\\," + std::to_string(last_ticks) +
           ")",
       "-avoid_negative_ts", "disabled", "-f",
       lowercase(*local_output).ends_with(".mov") ? "mov" : "mp4", option_safe(output.written())});
  FENDRAL_CHECK(run_trim_step(arguments, {parts[0].get(), parts[1].get(), parts[2].get(), -1, -1},
                              observer, environment, failed));
  FENDRAL_CHECK(step());

  FENDRAL_TRY(const std::vector<std::string> hashes,
              source_frame_hashes(input, cut.keyframe, frames.microseconds(cut.keyframe),
                                  end - cut.keyframe, observer, environment));
  FENDRAL_TRY(
      posix::OpenRegularFile written,
      posix::open_regular_file(output.written()).transform_error(as_runtime_error(failed + ": ")));
  FENDRAL_CHECK(check_splice(written.fd.get(),
                             {.failed = failed,
                              .frames = end - first,
                              .source_first = first,
                              .copied_first = cut.copy_first - first,
                              .copied_end = cut.copy_end - first,
                              .compared = end - first,
                              .keyframe_frame = cut.keyframe,
                              .keyframe_microseconds = frames.microseconds(cut.keyframe),
                              .codec = parameters.codec},
                             input, hashes, observer, environment));
  FENDRAL_CHECK(step());
  const std::uint64_t size = written.size;
  SegmentFile file(std::move(written));
  const auto tables = mp4::read_sample_tables(file);
  // Told before the output appears: a callback that stops the trim leaves nothing.
  if (!observer.progress(total, total)) return runtime_failure(std::string(kStoppedTrim));
  FENDRAL_CHECK(output.place());
  return FittedSegment{.index = 0,
                       .path = output_file,
                       .start_microseconds = frames.microseconds(first),
                       .duration_microseconds = tables && tables->stated_microseconds
                                                    ? *tables->stated_microseconds
                                                    : total,
                       .size = size,
                       .reencoded_frames = cut.reencoded()};
}

}  // namespace

}  // namespace fendral::video
