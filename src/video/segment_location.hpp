// Where the segments of a split are now: the record names them as the split wrote them, while
// the split directory may since have been moved, renamed or copied.
#pragma once

#include <string>
#include <string_view>

namespace fendral::video {

// Where a split wrote its segments, and where the caller now says the split is. A split
// directory may have been moved, renamed or copied since, or be named from another working
// directory, while chunk_paths still name the segments as the split did.
struct SegmentHome {
  std::string recorded;    // the directory part of output_prefix, '/' at its end unless empty
  std::string_view given;  // output_dir of this join
};

SegmentHome segment_home(std::string_view output_prefix, std::string_view output_dir);

// The file to join for one entry of chunk_paths. An entry inside the recorded directory has a
// second candidate: the same place under the directory this join names. The entry as written
// wins when both name one file or nothing is found at the other place, so a join that finds the
// segments where the split left them lists them exactly as it always did; otherwise the
// segment under the named directory is the one meant (a moved directory, or a copy).
std::string segment_path(const std::string& entry, const SegmentHome& home);

}  // namespace fendral::video
