// A frame-exact cut of one stretch of a video: the partial picture groups at its edges are
// re-encoded with the source stream's own parameters, everything between them is copied, and
// the file is checked against the source before it appears under its name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/failure.hpp"
#include "posix/spawn.hpp"
#include "video/split_to_fit.hpp"

namespace fendral::video {

// From the first frame shown at or after `start` to the last shown before `end` (or the last
// frame), in microseconds from the source's start.
struct TrimRange {
  std::int64_t start_microseconds = 0;
  std::optional<std::int64_t> end_microseconds;
};

// Writes the stretch `range` of `input_file`'s first video stream, and its sound from the
// packet that plays at `start` (its edit list starting playback there), to `output_file`, a
// new MP4 or QuickTime file: whole and checked as reencode_head checks a segment, or not at
// all. Refused with ValueError before anything is written: a range that holds no frame, a
// video that cannot be matched, an output that is no local .mp4, .m4v or .mov name; an entry
// at the output as the join refuses it.
Result<FittedSegment> trim(const std::string& input_file, const std::string& output_file,
                           const TrimRange& range, SplitObserver& observer,
                           const posix::Environment& environment);

}  // namespace fendral::video
