#include "video/split_to_fit.hpp"

#include <algorithm>
#include <optional>
#include <set>

#include "base/propagate.hpp"
#include "base/uint128.hpp"
#include "mp4/movie.hpp"
#include "mp4/track.hpp"
#include "posix/file.hpp"
#include "posix/fs.hpp"
#include "video/ffmpeg_command.hpp"
#include "video/ffmpeg_paths.hpp"
#include "video/head_reencode.hpp"
#include "video/heads_ahead.hpp"
#include "video/packet_list.hpp"
#include "video/reported_run.hpp"
#include "video/segment_file.hpp"
#include "video/segment_times.hpp"
#include "video/source_probe.hpp"
#include "video/split_directory.hpp"
#include "video/split_run.hpp"

namespace fendral::video {

namespace {

// The first cut and at most this many more, each with the container overhead measured on the
// one before.
constexpr int kCuts = 3;
// The cuts that may follow one that fits, to fill segments whose heads came out smaller.
constexpr int kHeadTightenings = 4;

Result<PacketTable> table_from_ffprobe(const std::string& ffmpeg_input, SplitObserver& observer,
                                       const posix::Environment& environment) {
  FENDRAL_TRY(const auto listing, posix::create_anonymous_file("fendral-packet-list"));
  const auto arguments = packet_list_command(ffmpeg_input);
  const posix::SpawnOptions options{
      .environment = environment, .stdin_from_null = true, .stdout_fd = listing.get()};
  FENDRAL_TRY(const ReportedRun run,
              run_reported(kProbeProgram, arguments, options, observer, std::nullopt));
  if (!run.status.success()) return runtime_failure(failure_text("ffprobe failed", run));
  FENDRAL_TRY(const auto text, posix::read_from_start(listing.get()));
  auto table = read_packet_list(text);
  if (!table) return runtime_failure(table.error());
  return std::move(*table);
}

struct Measured {
  std::uint64_t size = 0;
  std::optional<std::uint64_t> duration_microseconds;
  // What its re-encoded head added to the segment as the muxer copied it.
  std::uint64_t head_growth = 0;
};

Result<Measured> measure(const SplitDirectory& directory, const std::string& name,
                         const std::string& path) {
  auto opened = directory.open_segment(name);
  if (!opened) {
    return runtime_failure("Failed to measure segment " + path + ": " + opened.error().message);
  }
  Measured measured{.size = opened->size};
  SegmentFile file(std::move(*opened));
  if (auto tables = mp4::read_sample_tables(file)) {
    measured.duration_microseconds = tables->stated_microseconds;
  }
  return measured;
}

std::string split_type(const FitCaps& caps) {
  if (caps.max_microseconds && caps.max_bytes) return "time+size";
  return caps.max_microseconds ? "time" : "size";
}

std::string split_value(const FitCaps& caps) {
  std::string value;
  if (caps.max_microseconds) value = cap_seconds_text(*caps.max_microseconds) + "s";
  if (caps.max_microseconds && caps.max_bytes) value += '+';
  if (caps.max_bytes) value += std::to_string(*caps.max_bytes) + "B";
  return value;
}

// How far the cut came out from the plan. The overhead grows by the largest shortfall of the
// estimate; the time cap planned with shrinks by the largest overrun of a planned duration.
struct Overrun {
  bool over_cap = false;
  std::uint64_t bytes = 0;
  std::uint64_t microseconds = 0;
  std::string first_over;  // the first segment over a cap, for the failure after the last cut
};

Overrun compare(const FitPlan& plan, const std::vector<Measured>& measured,
                const std::vector<std::string>& paths, const FitCaps& caps) {
  Overrun overrun;
  for (std::size_t index = 0; index < measured.size(); ++index) {
    const PlannedSegment& planned = plan.segments[index];
    const Measured& segment = measured[index];
    // Against the segment as copied: a head's own estimate is corrected by its measure.
    const std::uint64_t copied = segment.size - segment.head_growth;
    const std::uint64_t copied_estimate =
        planned.estimated_bytes - planned.head_estimated_bytes + planned.head_source_bytes;
    if (copied > copied_estimate) overrun.bytes = std::max(overrun.bytes, copied - copied_estimate);
    const std::uint64_t duration =
        segment.duration_microseconds.value_or(planned.duration_microseconds);
    if (duration > planned.duration_microseconds) {
      overrun.microseconds =
          std::max(overrun.microseconds, duration - planned.duration_microseconds);
    }
    const bool over = (caps.max_bytes && segment.size > *caps.max_bytes) ||
                      (caps.max_microseconds && duration > *caps.max_microseconds);
    if (over && !overrun.over_cap) {
      overrun.over_cap = true;
      overrun.first_over = paths[index] + " (" + std::to_string(segment.size) + " bytes, " +
                           cap_seconds_text(duration) + " s)";
    }
  }
  return overrun;
}

// Until a head is measured: its first frame as large as the source's largest keyframe, and the
// rest at twice the source's bytes (heads are encoded finer than a phone records).
ContainerOverhead with_head_estimate(ContainerOverhead overhead, const PacketTable& table) {
  for (const Packet& packet : table.tracks[0].packets) {
    if (packet.sync) {
      overhead.head_fixed = std::max<std::uint64_t>(overhead.head_fixed, packet.size);
    }
  }
  overhead.head_scale = 2;
  return overhead;
}

// The planner's refusal, and the way past it where there is one: a video's cut may fall inside a
// picture group when the frames from it to the next keyframe are re-encoded, which a refusal
// without `reencode` offers where a plan that cuts at any frame meets the caps. Sound is never
// re-encoded, so an audio packet that breaks a cap stays a refusal.
std::string refusal_text(const PacketTable& table, const FitCaps& caps,
                         const ContainerOverhead& overhead, std::string refusal, bool reencode) {
  if (reencode || table.tracks.empty() || table.tracks[0].kind != StreamKind::video ||
      table.tracks[0].packets.empty() ||
      !plan_fit(table, caps, with_head_estimate(overhead, table), CutAt::clean_frames)) {
    return refusal;
  }
  const bool both = caps.max_microseconds && caps.max_bytes;
  return refusal + (both ? "; reencode=True meets the caps" : "; reencode=True meets the cap");
}

// ffmpeg's segment list with the start of each re-encoded segment moved to its earliest
// picture: the segment muxer states the time of its first packet, which B-frames present after
// the ones that follow it.
std::string listed_starts(std::string_view list, const FitPlan& plan) {
  std::string rewritten;
  std::size_t index = 0;
  while (!list.empty()) {
    const std::size_t end = list.find('\n');
    std::string line(list.substr(0, end));
    list = end == list.npos ? std::string_view() : list.substr(end + 1);
    const std::size_t first = line.find(',');
    const std::size_t second = first == line.npos ? line.npos : line.find(',', first + 1);
    if (index < plan.segments.size() && plan.segments[index].reencoded_frames > 0 &&
        second != line.npos) {
      const std::int64_t start = plan.segments[index].start_microseconds;
      std::string fraction = std::to_string(start % 1'000'000);
      line = line.substr(0, first + 1) + std::to_string(start / 1'000'000) + "." +
             std::string(6 - fraction.size(), '0') + fraction + line.substr(second);
    }
    rewritten += line + '\n';
    ++index;
  }
  return rewritten;
}

}  // namespace

Result<std::vector<FittedSegment>> split_to_fit(const std::string& input_file,
                                                const std::string& output_dir, const FitCaps& caps,
                                                bool reencode, SplitObserver& observer,
                                                const posix::Environment& environment) {
  if (reads_standard_input(input_file)) {
    return fail(
        Failure::value_error("split_to_fit reads its input twice, to plan and to cut, so it cannot "
                             "read standard input"));
  }
  SourceProbe source = probe_source(input_file, SourceProbe::Tables::read);
  const std::string& ffmpeg_input = source.ffmpeg_input;
  FENDRAL_TRY(auto listed, read_packet_table(source, observer, environment));
  std::optional<PacketTable> table = std::move(listed);
  ContainerOverhead overhead;
  FitCaps planned_caps = caps;
  // Cut at any clean frame, the heads re-encoded, where the video can be matched; a cap that
  // needs it is refused otherwise, saying why.
  CutAt cut_at = CutAt::keyframes;
  std::optional<VideoParameters> parameters;
  std::optional<std::string> cannot_match;
  if (reencode && table->tracks[0].kind == StreamKind::video) {
    FENDRAL_TRY(parameters, read_video_parameters(ffmpeg_input, observer, environment));
    cannot_match = unmatched(*parameters);
    if (!cannot_match) {
      cut_at = CutAt::clean_frames;
      PacketTrack& video = table->tracks[0];
      FENDRAL_TRY(video.copy_start,
                  copy_starts_of(ffmpeg_input, *parameters, video.packets, observer, environment));
    }
  }
  if (cut_at == CutAt::clean_frames) overhead = with_head_estimate(overhead, *table);
  auto plan = plan_fit(*table, planned_caps, overhead, cut_at);
  if (!plan) {
    std::string text = refusal_text(*table, caps, overhead, plan.error(), reencode);
    if (cannot_match) text += "; " + *cannot_match;
    return fail(Failure::value_error(text));
  }

  FENDRAL_TRY(auto split_run, SplitRun::claim(input_file, output_dir));
  SplitDirectory& directory = split_run.directory();
  SplitCommand command{
      .input = ffmpeg_input,
      .segment_pattern = directory.segment_pattern(),
      .quicktime = source.form == SourceProbe::Form::quicktime,
      .reported = true,
      .video_timescale = source.video_timescale,
      .timecode = source.may_hold_timecode,
      .break_non_keyframes = cut_at == CutAt::clean_frames,
      .video_codec = parameters ? parameters->codec : "h264",
      .last_audio_packets = source.last_audio_packets,
  };
  FENDRAL_CHECK(split_run.start(split_command(command), environment));

  // The source's pictures, for the check of every re-encoded segment's copied frames.
  std::optional<std::vector<std::string>> source_hashes;
  std::vector<std::string> previous_names;
  // A byte cap's heads encoded ahead of each cut, so the plan takes them as they come out.
  std::optional<HeadEncodes> heads_ahead;
  if (cut_at == CutAt::clean_frames && caps.max_bytes) {
    heads_ahead.emplace(*table, ffmpeg_input, *parameters, directory, caps.max_bytes,
                        caps.max_microseconds);
  }
  // Once a cut fits, it is tried once more with the overhead it measured, when that lets fewer
  // segments hold; the cut that fitted is kept to go back to. Re-encoded heads cut at any frame
  // are tried again while the plan moves and the cuts fit. Heads encoded ahead are planned with
  // the boxes a first cut measured instead: a cut that moved them would encode them again.
  int tightenings = heads_ahead ? 0 : cut_at == CutAt::clean_frames ? kHeadTightenings : 1;
  bool boxes_measured = false;
  // Each re-encoded head measured: the source's bytes of its frames, and its own.
  std::vector<MeasuredHead> heads;
  std::optional<FitPlan> fitted;
  ContainerOverhead fitted_overhead;
  for (int cut = 1;; ++cut) {
    if (heads_ahead && boxes_measured) {
      FENDRAL_TRY(const bool settled,
                  heads_ahead->settle(*plan, overhead, heads, planned_caps, observer, environment));
      if (!settled) {
        // Planned from the estimates as the heads measured them instead, cut by cut.
        heads_ahead.reset();
        tightenings = kHeadTightenings;
      }
    }
    // A plan of one segment names a frame past the last, which never comes.
    command.segment_frames = plan->segments.size() > 1
                                 ? segment_frames_list(*plan)
                                 : std::to_string(table->tracks[0].packets.size());
    const auto arguments = split_command(command);
    FENDRAL_TRY(const auto segment_list, posix::create_anonymous_file("fendral-segment-list"));
    FENDRAL_TRY(const auto source_metadata,
                posix::create_anonymous_file("fendral-source-metadata"));
    const posix::SpawnOptions options{.environment = environment,
                                      .stdin_from_null = true,
                                      .passed_fds = {segment_list.get(), source_metadata.get(),
                                                     directory.lock_for_child(), -1, -1}};
    FENDRAL_TRY(const ReportedRun run,
                run_reported(kProgram, arguments, options, observer, plan->total_microseconds));
    if (!run.status.success()) return runtime_failure(failure_text("ffmpeg split failed", run));
    directory.follow_path_if_moved();

    FENDRAL_TRY(const auto list, posix::read_from_start(segment_list.get()));
    const std::vector<std::string> names = segment_list_names(list);
    // Segments of an earlier cut that this one did not write again are ours to remove.
    const std::set<std::string> written(names.begin(), names.end());
    for (const std::string& name : previous_names) {
      if (!written.contains(name)) FENDRAL_CHECK(directory.remove_segment(name));
    }
    previous_names = names;
    const std::vector<std::string> paths = directory.segment_paths(list);
    if (paths.size() != plan->segments.size()) {
      return runtime_failure("Failed to split: ffmpeg wrote " + std::to_string(paths.size()) +
                             " segments where " + std::to_string(plan->segments.size()) +
                             " were planned");
    }
    const PacketTrack& video = table->tracks[0];
    if (heads_ahead && !boxes_measured) {
      // The first cut, copied whole, only measures the boxes, for heads planned to the byte.
      boxes_measured = true;
      std::vector<std::uint64_t> sizes;
      for (std::size_t index = 0; index < names.size(); ++index) {
        FENDRAL_TRY(const Measured segment, measure(directory, names[index], paths[index]));
        sizes.push_back(segment.size);
      }
      overhead = with_measured_heads(measured_overhead(*plan, sizes, overhead), heads);
      auto replanned = plan_fit(*table, planned_caps, overhead, cut_at);
      if (replanned) plan = std::move(replanned);
      continue;
    }
    // Each re-encoded segment's size as the muxer copied it.
    std::vector<std::uint64_t> copied_sizes(names.size(), 0);
    for (std::size_t index = 0; index < names.size(); ++index) {
      const PlannedSegment& planned = plan->segments[index];
      if (planned.reencoded_frames == 0) continue;
      if (!source_hashes) {
        FENDRAL_TRY(source_hashes, source_frame_hashes(ffmpeg_input, observer, environment));
      }
      const std::uint64_t end = index + 1 < plan->segments.size()
                                    ? plan->segments[index + 1].first_packet
                                    : video.packets.size();
      const Seam seam = seam_of(video, planned, end, planned.reencoded_frames, names[index],
                                paths[index], command.quicktime);
      const EncodedHead* encoded = heads_ahead ? heads_ahead->find(planned) : nullptr;
      if (encoded) {
        FENDRAL_TRY(copied_sizes[index], reencode_head(seam, ffmpeg_input, *encoded, *source_hashes,
                                                       directory, observer, environment));
      } else {
        FENDRAL_TRY(copied_sizes[index],
                    reencode_head(seam, ffmpeg_input, *parameters, *source_hashes, directory,
                                  observer, environment));
      }
    }
    std::vector<Measured> measured;
    for (std::size_t index = 0; index < names.size(); ++index) {
      const PlannedSegment& planned = plan->segments[index];
      FENDRAL_TRY(Measured segment, measure(directory, names[index], paths[index]));
      if (planned.reencoded_frames > 0) {
        segment.head_growth = segment.size - std::min(segment.size, copied_sizes[index]);
        // The head's measure in the segment as written replaces the one of its encode alone.
        const auto same = std::find_if(heads.begin(), heads.end(), [&](const MeasuredHead& head) {
          return head.first_packet == planned.first_packet &&
                 head.frames == planned.reencoded_frames;
        });
        MeasuredHead& head = same != heads.end() ? *same : heads.emplace_back();
        head.first_packet = planned.first_packet;
        head.frames = planned.reencoded_frames;
        head.source_bytes = planned.head_source_bytes;
        head.written_bytes = planned.head_source_bytes + segment.head_growth;
      }
      measured.push_back(segment);
    }
    // Every head measured so far bounds the next plan's.
    overhead = with_measured_heads(overhead, heads);

    const Overrun overrun = compare(*plan, measured, paths, caps);
    if (!overrun.over_cap && tightenings > 0) {
      --tightenings;
      // The sizes as if every segment were copied, for the container's part.
      std::vector<std::uint64_t> sizes;
      for (std::size_t index = 0; index < measured.size(); ++index) {
        sizes.push_back(measured[index].size - measured[index].head_growth);
      }
      const ContainerOverhead tighter_overhead =
          with_measured_heads(measured_overhead(*plan, sizes, overhead), heads);
      auto tighter = plan_fit(*table, planned_caps, tighter_overhead, cut_at);
      // Re-encoded heads cut anywhere, so a tighter plan of as many segments fills them better.
      if (tighter && (tighter->segments.size() < plan->segments.size() ||
                      (cut_at == CutAt::clean_frames &&
                       segment_frames_list(*tighter) != segment_frames_list(*plan)))) {
        fitted = std::move(*plan);
        fitted_overhead = overhead;
        plan = std::move(tighter);
        overhead = tighter_overhead;
        continue;
      }
    }
    if (!overrun.over_cap) {
      FENDRAL_TRY(const auto metadata_text, posix::read_from_start(source_metadata.get()));
      Mp4ChunkMetadata metadata;
      metadata.original_file = input_file;
      metadata.output_prefix = command.segment_pattern;
      metadata.chunk_count = paths.size();
      metadata.chunk_paths = paths;
      metadata.split_type = split_type(caps);
      metadata.split_value = split_value(caps);
      // Told before anything is recorded: a callback that stops the split leaves no record.
      if (!observer.progress(plan->total_microseconds, plan->total_microseconds)) {
        return runtime_failure(std::string(kStopped));
      }
      FENDRAL_CHECK(split_run.record(source, listed_starts(list, *plan), metadata_text, metadata,
                                     environment));
      std::vector<FittedSegment> segments;
      for (std::size_t index = 0; index < paths.size(); ++index) {
        const PlannedSegment& planned = plan->segments[index];
        segments.push_back({.index = index,
                            .path = paths[index],
                            .start_microseconds = planned.start_microseconds,
                            .duration_microseconds = measured[index].duration_microseconds.value_or(
                                planned.duration_microseconds),
                            .size = measured[index].size,
                            .reencoded_frames = planned.reencoded_frames});
      }
      return segments;
    }
    if (fitted) {
      plan = std::move(*fitted);
      overhead = fitted_overhead;
      fitted.reset();
      tightenings = 0;
      continue;
    }
    // A cut that only measured the boxes counts for none, the heads encoded ahead or not since.
    if (cut >= kCuts + (boxes_measured ? 1 : 0)) {
      return runtime_failure("Failed to split: after " + std::to_string(kCuts) + " cuts, segment " +
                             overrun.first_over + " is still over a cap");
    }
    overhead.fixed += overrun.bytes;
    if (planned_caps.max_microseconds) {
      *planned_caps.max_microseconds -=
          std::min(*planned_caps.max_microseconds, overrun.microseconds);
    }
    auto replanned = plan_fit(*table, planned_caps, overhead, cut_at);
    if (!replanned) {
      return runtime_failure(
          "Failed to split: the segments came out larger than planned, and "
          "the plan that allows for it is refused: " +
          replanned.error());
    }
    plan = std::move(replanned);
  }
}

Result<PacketTable> read_packet_table(SourceProbe& source, SplitObserver& observer,
                                      const posix::Environment& environment) {
  if (source.packet_table) return *std::exchange(source.packet_table, std::nullopt);
  return table_from_ffprobe(source.ffmpeg_input, observer, environment);
}

}  // namespace fendral::video
