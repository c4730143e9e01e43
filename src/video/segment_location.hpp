// Where a segment of a split is now, told from text alone: the record names the segments as the
// split wrote them, while the split directory may since have been moved, renamed or copied, or
// be named from another working directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace fendral::video {

// The directory a split wrote its segments to: the directory part of its output_prefix, as a
// path ('%%' read as '%'), '/' at its end unless empty.
std::string recorded_segment_directory(std::string_view output_prefix);

// The part of `entry` after `directory` when the entry lies inside it, compared as text. The
// split's entries lack the "./" that an option-looking or colon-bearing directory got in the
// pattern. A remainder that is absolute or climbs out with ".." lies inside no directory.
std::optional<std::string_view> place_in_directory(std::string_view entry,
                                                   std::string_view directory);

}  // namespace fendral::video
