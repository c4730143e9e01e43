// The check after a join that ffmpeg reported as a success: the joined file read back as the
// segments were read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "video/concat_script.hpp"

namespace fendral::video {

// Whole microseconds as seconds to the millisecond: "1.045".
std::string milliseconds_text(std::uint64_t microseconds);

// What the join lacks: a kind of track that a segment holds, or a video (without one, the
// longest track) shorter than the stated durations by more than its longest sample. ffmpeg's
// concat demuxer skips a segment it cannot read and takes its streams from the first segment,
// both silently. Nothing when all is there, or when the output is no MP4 file that can be read
// (another container, a stream): such a join is judged by ffmpeg's status alone.
std::optional<std::string> what_the_join_lost(const std::string& output_file,
                                              const std::vector<ConcatEntry>& entries,
                                              std::uint64_t stated_microseconds);

}  // namespace fendral::video
