// The steps a split takes around ffmpeg's run, the same for every way of choosing the cuts:
// the directory locked and checked before, its records cleared as ffmpeg starts, and the split
// recorded after.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/failure.hpp"
#include "posix/directory_lock.hpp"
#include "video/metadata.hpp"

namespace fendral::video {

// A split directory held for one split.
struct SplitTarget {
  posix::DirectoryLock lock;
  // The entries ffmpeg may write over that are symbolic links (it would write through them).
  std::vector<std::string> links;
};

// Locks `output_dir` (which exists) for one split at a time and finds the links among its
// segment names; refuses an input that is one of the segments.
Result<SplitTarget> hold_for_split(const std::string& input_file, const std::string& output_dir);

// Once ffmpeg starts, the directory's record no longer tells the truth: a split that fails from
// here on leaves none, rather than one that names segments ffmpeg has rewritten. The links go
// too.
Result<void> clear_for_ffmpeg(const SplitTarget& target, const std::string& output_dir);

// The segment files' names in time order, from ffmpeg's segment list (one file name a line).
std::vector<std::string> segment_names_from_list(std::string_view list);

// The segment paths of this split, in time order, from ffmpeg's segment list.
std::vector<std::string> segment_paths_from_list(std::string_view list,
                                                 const std::string& output_dir);

// Stores the source's metadata text (when there is any), then metadata.json, which then names a
// split whose metadata is complete. Both are written whole under another name and renamed: a
// link planted under the name is replaced, not followed, and a reader never sees half a record.
Result<void> record_split(const std::string& output_dir, std::string_view source_metadata_text,
                          const Mp4ChunkMetadata& metadata);

}  // namespace fendral::video
