// Cutting a video into segments that each fit caps on time and bytes: planned from the source's
// packet table, cut by ffmpeg's segment muxer at the planned frames, measured afterwards and cut
// again when a segment came out larger than planned.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.hpp"
#include "posix/spawn.hpp"
#include "video/fit_plan.hpp"
#include "video/source_probe.hpp"

namespace fendral::video {

// Told what ffmpeg (and ffprobe) print and how far the split has come, on the calling thread.
class SplitObserver {
 public:
  // One message with ffmpeg's level for it ("error", "warning", "info", ...). False stops the
  // split.
  virtual bool message(std::string_view level, std::string_view text) = 0;
  // How much of the source ffmpeg has copied, at least once a second while it runs and once at
  // the end. False stops the split.
  virtual bool progress(std::uint64_t done_microseconds, std::uint64_t total_microseconds) = 0;

 protected:
  ~SplitObserver() = default;
};

struct FittedSegment {
  std::uint64_t index = 0;
  std::string path;
  std::int64_t start_microseconds = 0;      // in the source's timeline
  std::uint64_t duration_microseconds = 0;  // as the segment's movie header states it
  std::uint64_t size = 0;
  // The frames at its start that were re-encoded; 0 for a segment copied whole.
  std::uint64_t reencoded_frames = 0;
};

inline constexpr std::string_view kStopped = "Failed to split: stopped";

// Splits `input_file` into `output_dir` (created with its parents) so that every segment is
// within `caps` (at least one of them set), and records the split as split_video does. A cap
// that no cut without re-encoding can meet is refused with ValueError before anything is
// written; without `reencode`, the refusal says that re-encoding a video's heads would meet it.
// When the observer asks to stop, ffmpeg is stopped and the call fails with kStopped, leaving no
// record.
Result<std::vector<FittedSegment>> split_to_fit(const std::string& input_file,
                                                const std::string& output_dir, const FitCaps& caps,
                                                bool reencode, SplitObserver& observer,
                                                const posix::Environment& environment);

// The packet table of the source: a local MP4's as `source` read it from its movie box (taken
// out of it), any other's from ffprobe's packet list.
Result<PacketTable> read_packet_table(SourceProbe& source, SplitObserver& observer,
                                      const posix::Environment& environment);

}  // namespace fendral::video
