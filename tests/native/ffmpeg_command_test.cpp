// The argument vectors of the split and the join, asserted whole.
#include "video/ffmpeg_command.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fendral::video {
namespace {

using Arguments = std::vector<std::string>;

Arguments split_arguments(const std::string& input, const std::string& pattern,
                          const std::string& limit, const std::string& segment_format) {
  return {"-i",
          input,
          "-map_metadata",
          "0",
          "-f",
          "ffmetadata",
          "pipe:4",
          "-map",
          "0:V?",
          "-map",
          "0:a?",
          "-c:v",
          "copy",
          "-c:a",
          "copy",
          "-f",
          "segment",
          "-segment_format",
          segment_format,
          "-segment_time",
          limit,
          "-segment_format_options",
          "strict=unofficial",
          "-increment_tc",
          "1",
          "-reset_timestamps",
          "1",
          "-avoid_negative_ts",
          "disabled",
          "-segment_list",
          "pipe:3",
          "-segment_list_type",
          "flat",
          pattern};
}

TEST(SplitCommand, CopiesTheStreamsIntoMp4Segments) {
  EXPECT_EQ(split_command({.input = "in.mp4",
                           .segment_pattern = "out/chunk_%03d.mp4",
                           .time_limit_sec = 4294967295u}),
            split_arguments("in.mp4", "out/chunk_%03d.mp4", "4294967295", "mp4"));
}

TEST(SplitCommand, GivesAQuickTimeSourceQuickTimeSegments) {
  EXPECT_EQ(split_command({.input = "./a:b.mov",
                           .segment_pattern = "100%%/chunk_%03d.mp4",
                           .time_limit_sec = 5,
                           .quicktime = true}),
            split_arguments("./a:b.mov", "100%%/chunk_%03d.mp4", "5", "mov"));
}

const Arguments kSourceMetadata = {
    "-f", "ffmetadata",      "-i",      "/dev/fd/4", "-map_metadata", "1", "-map_chapters",
    "1",  "-ignore_unknown", "-strict", "unofficial"};

Arguments join_arguments(const Arguments& middle, const std::string& output,
                         const Arguments& before_output = {}) {
  Arguments arguments = {"-f", "concat", "-safe", "0", "-auto_convert", "0", "-i", "/dev/fd/3"};
  arguments.insert(arguments.end(), middle.begin(), middle.end());
  arguments.insert(arguments.end(), {"-map", "0", "-c", "copy"});
  arguments.insert(arguments.end(), before_output.begin(), before_output.end());
  arguments.push_back(output);
  return arguments;
}

TEST(JoinCommand, CopiesTheSegmentsStreams) {
  EXPECT_EQ(join_command({.output_file = "joined.mp4"}), join_arguments({}, "joined.mp4"));
}

TEST(JoinCommand, MapsTheSourceMetadataBackFromTheRecord) {
  EXPECT_EQ(join_command({.output_file = "joined.mp4", .source_metadata = true}),
            join_arguments(kSourceMetadata, "joined.mp4"));
  Arguments keyed = kSourceMetadata;
  keyed.insert(keyed.end(), {"-movflags", "use_metadata_tags"});
  EXPECT_EQ(
      join_command({.output_file = "joined.mp4", .source_metadata = true, .quicktime_keys = true}),
      join_arguments(keyed, "joined.mp4"));
  // Keyed tags without a record to map are nothing to keep.
  EXPECT_EQ(join_command({.output_file = "joined.mp4", .quicktime_keys = true}),
            join_arguments({}, "joined.mp4"));
}

TEST(JoinCommand, KeepsTheTimestampsOfATrimmedClip) {
  EXPECT_EQ(join_command({.output_file = "joined.mp4", .keep_timestamps = true}),
            join_arguments({}, "joined.mp4", {"-copyts"}));
}

TEST(JoinCommand, ShieldsAnOutputThatLooksLikeAnOption) {
  EXPECT_EQ(join_command({.output_file = "-joined.mp4"}).back(), "./-joined.mp4");
  EXPECT_EQ(join_command({.output_file = "-"}).back(), "-");
  EXPECT_EQ(join_command({.output_file = "pipe:1"}).back(), "pipe:1");
}

TEST(PassedFile, IsAPipeForWritesAndAPathForReads) {
  EXPECT_EQ(passed_file(PassedSlot::first, PassedFileUse::written), "pipe:3");
  EXPECT_EQ(passed_file(PassedSlot::second, PassedFileUse::written), "pipe:4");
  EXPECT_EQ(passed_file(PassedSlot::first, PassedFileUse::read), "/dev/fd/3");
  EXPECT_EQ(passed_file(PassedSlot::second, PassedFileUse::read), "/dev/fd/4");
}

}  // namespace
}  // namespace fendral::video
