// The segment list of a split in ffmpeg's csv form: one line per segment, its file name and
// where it starts and ends in the source's timeline, in seconds with six decimals. The split
// keeps it as segment_times.csv; the join places the segments by it. Pure: nothing here opens a
// file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fendral::video {

// The file names of the list, one per line in order; a name ffmpeg put in quotes (one holding a
// comma or a quote) comes back as it was. A line without times is a name alone.
std::vector<std::string> segment_list_names(std::string_view list);

// Where a segment starts and ends in the source's timeline.
struct SegmentSpan {
  std::int64_t start_microseconds = 0;
  std::int64_t end_microseconds = 0;
};

struct SegmentTime {
  std::string name;
  SegmentSpan span;
};

// Every line of the list with its span; nothing when a line is not a name followed by two
// times.
std::optional<std::vector<SegmentTime>> read_segment_times(std::string_view list);

}  // namespace fendral::video
