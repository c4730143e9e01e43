// What a split directory holds: the segments ffmpeg writes and the records of the split beside
// them, under the names given here.
#pragma once

#include <string_view>

namespace fendral::video {

// ffmpeg numbers the segments from 000; a split of a thousand or more gets wider numbers.
inline constexpr std::string_view kSegmentPattern = "chunk_%03d.mp4";
// The record of the split, which the join reads.
inline constexpr std::string_view kMetadataFileName = "metadata.json";
// The source's container metadata and chapters in ffmpeg's metadata text form, kept by the split
// for the join.
inline constexpr std::string_view kSourceMetadataFileName = "source_metadata.txt";
// ffmpeg's list of the segments in csv form: each one's name and where it starts and ends in the
// source, kept by the split so the join can place every segment where it started.
inline constexpr std::string_view kSegmentTimesFileName = "segment_times.csv";
// The segments of the last join, one "file '...'" line each, left for the caller.
inline constexpr std::string_view kConcatListFileName = "concat_list.txt";

}  // namespace fendral::video
