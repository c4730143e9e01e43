// The heads of a byte-capped split, encoded ahead of its cut: each head measured as encoded, so
// the plan takes it at its real size, and kept for its seam.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/failure.hpp"
#include "posix/spawn.hpp"
#include "video/fit_plan.hpp"
#include "video/head_reencode.hpp"
#include "video/split_directory.hpp"
#include "video/split_to_fit.hpp"

namespace fendral::video {

// The name ffmpeg's segment muxer gives segment `index`.
std::string segment_name(std::uint64_t index);

// The seam of a planned segment from the first track's packet `planned.first_packet` to `end`,
// its first `reencoded` frames encoded anew.
Seam seam_of(const PacketTrack& video, const PlannedSegment& planned, std::uint64_t end,
             std::uint64_t reencoded, std::string name, std::string path, bool quicktime);

// What a byte cap's plan needs of the heads it re-encodes: each encoded ahead of the cut, once at
// the length the plan ends up giving it, and measured frame by frame, so the plan takes each
// head at its real size rather than an estimate's.
class HeadEncodes {
 public:
  HeadEncodes(const PacketTable& table, const std::string& ffmpeg_input,
              const VideoParameters& parameters, const SplitDirectory& directory,
              std::optional<std::uint64_t> max_bytes, std::optional<std::uint64_t> max_microseconds)
      : table_(table),
        ffmpeg_input_(ffmpeg_input),
        parameters_(parameters),
        directory_(directory),
        max_bytes_(max_bytes),
        max_microseconds_(max_microseconds) {}

  // The head of `planned` encoded to its planned frames, if it was.
  const EncodedHead* find(const PlannedSegment& planned) const {
    const auto found = encoded_.find({planned.first_packet, planned.reencoded_frames});
    return found == encoded_.end() ? nullptr : &found->second;
  }

  // Plans again until every head of the plan is encoded at its planned length, and says whether
  // it came to that: a greedy plan of heads as encoded can end a segment where the next one's
  // first frames alone break the cap, which the estimates' plan (`plan` as it was last) did not.
  // The first head not yet encoded is encoded first up to the next keyframe, or as far as a segment
  // could reach (a first encode its shorter lengths are planned from), then at the length planned
  // from it; the segments before it keep their plan, so each round settles one more.
  Result<bool> settle(FitPlan& plan, ContainerOverhead& overhead, std::vector<MeasuredHead>& heads,
                      const FitCaps& caps, SplitObserver& observer,
                      const posix::Environment& environment);

 private:
  // Bytes an encoded frame may take more in MP4 than as MPEG-TS listed it.
  static constexpr std::uint64_t kFrameAllowance = 8;

  // The frames from `first` a head's first encode takes: up to the next keyframe, but not past
  // twice what a cap lets one segment hold of the source's (its bytes or its time).
  std::uint64_t reach(std::uint64_t first) const;

  const PacketTable& table_;
  const std::string& ffmpeg_input_;
  const VideoParameters& parameters_;
  const SplitDirectory& directory_;
  std::optional<std::uint64_t> max_bytes_;
  std::optional<std::uint64_t> max_microseconds_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, EncodedHead> encoded_;
};

}  // namespace fendral::video
