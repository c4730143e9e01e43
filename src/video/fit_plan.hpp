// Planning a split that fits caps on time and bytes, from the source's packet table alone:
// where ffmpeg's segment muxer has to cut, without re-encoding, so that no segment runs longer
// or grows larger than the caps allow, in as few segments as possible. Pure C++: the table is
// read elsewhere (from an MP4's sample tables or from ffprobe's packet list).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/expected.hpp"
#include "mp4/track.hpp"

namespace fendral::video {

enum class StreamKind { video, audio };

// One packet in decode order, as an MP4 sample table lists it; times in ticks of its track's
// clock, as the source presents them (edit list applied). A sync sample is a keyframe.
using Packet = mp4::Sample;

struct PacketTrack {
  StreamKind kind = StreamKind::video;
  std::uint32_t timescale = 1;
  bool has_composition_offsets = false;
  std::vector<Packet> packets;
  // Where re-encoded frames may give way to copied ones (copy_starts), once a re-encoding split
  // has marked them; else at any keyframe.
  std::vector<bool> copy_start;

  bool may_copy_from(std::size_t index) const {
    return copy_start.empty() ? packets[index].sync : copy_start[index];
  }
};

// For each packet in decode order, whether a copy may start there, after frames re-encoded up to
// it: a keyframe that presents first of every packet decoded from it on, after every packet
// decoded before it. An open group's keyframe (x265's CRA, x264's open-gop I-frame) is followed
// in decoding by pictures shown before it, which refer to the group before: copied after
// re-encoded frames, they do not decode, and a decode that starts there skips them.
std::vector<bool> copy_starts(const std::vector<Packet>& packets);

// The tracks a split keeps, in the order ffmpeg writes them: every video track first, then
// every audio track. The first is the one the segment muxer cuts on.
struct PacketTable {
  std::vector<PacketTrack> tracks;
};

// A head re-encoded and measured: from the first track's packet `first_packet`, its `frames`
// frames of `source_bytes` in the source came out at `written_bytes`; where it was measured
// frame by frame, each one's bytes in display order (`frame_bytes`), which a head of fewer of
// its frames takes about as many of.
struct MeasuredHead {
  std::uint64_t first_packet = 0;
  std::uint64_t frames = 0;
  std::uint64_t source_bytes = 0;
  std::uint64_t written_bytes = 0;
  std::vector<std::uint64_t> frame_bytes;
};

// What a segment's container adds to its payload: the file type and media data headers, the
// movie box's fixed part, and its sample tables, which grow with every sample. An estimate
// until a split has been measured.
struct ContainerOverhead {
  std::uint64_t fixed = 2048;
  std::uint64_t per_sample = 16;
  // Composition offsets (B-frames) add a table entry per sample.
  std::uint64_t per_offset_sample = 8;
  // A re-encoded head's bytes, against the source's for the same frames: `head_fixed` more
  // (its first frame is a keyframe where the source's was not) plus `head_scale` times them.
  std::uint64_t head_fixed = 0;
  double head_scale = 1;
  // A head from a packet already measured from grows from its measure by `head_scale` per byte.
  std::vector<MeasuredHead> measured_heads;
};

struct FitCaps {
  std::optional<std::uint64_t> max_microseconds;
  std::optional<std::uint64_t> max_bytes;
};

// Where a segment of video may start: at a keyframe, copied whole; or at any frame that every
// frame before it in display order is decoded before, its frames up to the next keyframe then
// re-encoded.
enum class CutAt { keyframes, clean_frames };

struct PlannedSegment {
  // Index in decode order of the first track's packet that starts the segment.
  std::uint64_t first_packet = 0;
  // Where it starts in the source's timeline, and how long the segment file will last (the
  // longest of its tracks, rounded up to the millisecond: right for a cap of whole
  // milliseconds, and for a movie header on a clock of milliseconds).
  std::int64_t start_microseconds = 0;
  std::uint64_t duration_microseconds = 0;
  std::uint64_t payload_bytes = 0;
  std::uint64_t estimated_bytes = 0;
  // The packets of every track it holds, and those of tracks with composition offsets.
  std::uint64_t samples = 0;
  std::uint64_t offset_samples = 0;
  // The first track's packets from the one it starts with to the next keyframe (or its end),
  // re-encoded; 0 for a segment that starts at a keyframe.
  std::uint64_t reencoded_frames = 0;
  // The source's bytes of those frames, and what the estimate gives them re-encoded.
  std::uint64_t head_source_bytes = 0;
  std::uint64_t head_estimated_bytes = 0;
};

struct FitPlan {
  std::vector<PlannedSegment> segments;
  // The source's length over every kept track.
  std::uint64_t total_microseconds = 0;
};

// The greedy plan: each segment ends at the last cut point that keeps it within every cap, so
// no plan has fewer segments. Cut points are the keyframes of the first track when it is video
// (or its clean frames, with `cut_at`), and every packet of it when it is audio. Refused, with
// the text the caller shows, when one stretch between cut points alone breaks a cap (or the
// table holds no packet to cut on).
expected<FitPlan, std::string> plan_fit(const PacketTable& table, const FitCaps& caps,
                                        const ContainerOverhead& overhead = {},
                                        CutAt cut_at = CutAt::keyframes);

// The overhead that `sizes`, the sizes ffmpeg wrote for `plan`'s segments, show: the tables'
// growth per sample fitted to them (the estimate's runs over the real one), and the fixed part
// that then covers every segment measured. Planned with, a segment that fitted only by the
// estimate's margin takes what else fits.
ContainerOverhead measured_overhead(const FitPlan& plan, const std::vector<std::uint64_t>& sizes,
                                    const ContainerOverhead& estimate);

// The overhead `estimate` with a head estimate that covers every head in `heads`, which it
// keeps, the latest measure of each first packet.
ContainerOverhead with_measured_heads(ContainerOverhead estimate,
                                      const std::vector<MeasuredHead>& heads);

// The frame numbers ffmpeg's -segment_frames takes for `plan`: every segment's first packet
// but the first's, comma-separated; empty for a plan of one segment.
std::string segment_frames_list(const FitPlan& plan);

// "30", "2.5": a cap of microseconds as seconds, shortest decimal form.
std::string cap_seconds_text(std::uint64_t microseconds);

}  // namespace fendral::video
