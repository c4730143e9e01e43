#include "video/heads_ahead.hpp"

#include <algorithm>

#include "base/propagate.hpp"
#include "base/uint128.hpp"

namespace fendral::video {

std::string segment_name(std::uint64_t index) {
  std::string number = std::to_string(index);
  if (number.size() < 3) number.insert(0, 3 - number.size(), '0');
  return "chunk_" + number + ".mp4";
}

Seam seam_of(const PacketTrack& video, const PlannedSegment& planned, std::uint64_t end,
             std::uint64_t reencoded, std::string name, std::string path, bool quicktime) {
  std::int64_t earliest = video.packets[planned.first_packet].presentation_time;
  for (std::uint64_t packet = planned.first_packet; packet < end; ++packet) {
    earliest = std::min(earliest, video.packets[packet].presentation_time);
  }
  // The keyframe before the cut, and its time from the source's start by the segment's.
  std::uint64_t keyframe = planned.first_packet;
  // One a decode can start from with every frame after it: an open group's skips some.
  while (keyframe > 0 && !video.may_copy_from(keyframe)) --keyframe;
  const int128 keyframe_offset =
      static_cast<int128>(earliest - video.packets[keyframe].presentation_time) * 1'000'000 /
      video.timescale;
  return Seam{.name = std::move(name),
              .path = std::move(path),
              .first_packet = planned.first_packet,
              .zero_ticks = earliest,
              .copied_zero_ticks = video.packets[planned.first_packet].presentation_time,
              .timescale = video.timescale,
              .frames = end - planned.first_packet,
              .reencoded = reencoded,
              .keyframe_packet = keyframe,
              .keyframe_microseconds =
                  planned.start_microseconds - static_cast<std::int64_t>(keyframe_offset),
              .last_frame_ticks = video.packets[end - 1].duration,
              .quicktime = quicktime};
}

Result<bool> HeadEncodes::settle(FitPlan& plan, ContainerOverhead& overhead,
                                 std::vector<MeasuredHead>& heads, const FitCaps& caps,
                                 SplitObserver& observer, const posix::Environment& environment) {
  const PacketTrack& video = table_.tracks[0];
  for (std::size_t round = 0; round < 4 * video.packets.size() + 4; ++round) {
    const auto missing = std::find_if(plan.segments.begin(), plan.segments.end(),
                                      [&](const PlannedSegment& planned) {
                                        return planned.reencoded_frames > 0 && !find(planned);
                                      });
    if (missing == plan.segments.end()) {
      // Heads the plan no longer takes are let go; a plan that comes back to one encodes it again.
      std::erase_if(encoded_, [&](const auto& entry) {
        return std::none_of(
            plan.segments.begin(), plan.segments.end(), [&](const PlannedSegment& planned) {
              return std::pair{planned.first_packet, planned.reencoded_frames} == entry.first;
            });
      });
      return true;
    }
    const std::uint64_t index = static_cast<std::uint64_t>(missing - plan.segments.begin());
    const bool first_encode =
        std::none_of(heads.begin(), heads.end(), [&](const MeasuredHead& head) {
          return head.first_packet == missing->first_packet && !head.frame_bytes.empty();
        });
    const std::uint64_t frames =
        first_encode ? reach(missing->first_packet) : missing->reencoded_frames;
    const std::uint64_t end = missing->first_packet + frames;
    // Named in a failure as the segment will be.
    const std::vector<std::string> paths = directory_.segment_paths(segment_name(index) + "\n");
    const Seam seam = seam_of(video, *missing, end, frames, segment_name(index),
                              paths.empty() ? segment_name(index) : paths.front(), false);
    FENDRAL_TRY(EncodedHead head,
                encode_head(seam, ffmpeg_input_, parameters_, directory_, observer, environment));
    MeasuredHead measured{
        .first_packet = missing->first_packet, .frames = frames, .frame_bytes = head.frame_bytes};
    for (std::uint64_t packet = missing->first_packet; packet < end; ++packet) {
      measured.source_bytes += video.packets[packet].size;
    }
    // MPEG-TS's start codes against MP4's lengths, and an access unit delimiter each.
    for (const std::uint64_t bytes : head.frame_bytes) {
      measured.written_bytes += bytes + kFrameAllowance;
    }
    for (std::uint64_t& bytes : measured.frame_bytes) bytes += kFrameAllowance;
    std::erase_if(heads, [&](const MeasuredHead& head) {
      return head.first_packet == measured.first_packet && head.frames == frames;
    });
    heads.push_back(std::move(measured));
    encoded_.insert_or_assign(std::pair{missing->first_packet, frames}, std::move(head));
    overhead = with_measured_heads(overhead, heads);
    auto replanned = plan_fit(table_, caps, overhead, CutAt::clean_frames);
    if (!replanned) return false;
    plan = std::move(*replanned);
  }
  return false;
}
std::uint64_t HeadEncodes::reach(std::uint64_t first) const {
  const PacketTrack& video = table_.tracks[0];
  std::uint64_t bytes = 0;
  std::uint64_t end = first;
  const std::int64_t start = video.packets[first].decode_time;
  do {
    bytes += video.packets[end].size;
    ++end;
    const bool too_large = max_bytes_ && bytes > 2 * *max_bytes_;
    const bool too_long =
        max_microseconds_ &&
        static_cast<int128>(video.packets[end - 1].decode_time - start) * 1'000'000 >
            static_cast<int128>(2 * *max_microseconds_) * video.timescale;
    if (too_large || too_long) break;
  } while (end < video.packets.size() && !video.may_copy_from(end));
  return end - first;
}
}  // namespace fendral::video
