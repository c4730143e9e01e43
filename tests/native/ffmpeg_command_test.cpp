// The argument vectors of the split and the join, asserted whole.
#include "video/ffmpeg_command.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fendral::video {
namespace {

using Arguments = std::vector<std::string>;

Arguments split_arguments(
    const std::string& input, const std::string& pattern, const std::string& limit,
    const std::string& segment_format,
    const std::string& format_options = "strict=unofficial:movie_timescale=90000") {
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
          "-copytb",
          "1",
          "-f",
          "segment",
          "-segment_format",
          segment_format,
          "-segment_time",
          limit,
          "-segment_format_options",
          format_options,
          "-increment_tc",
          "1",
          "-reset_timestamps",
          "1",
          "-avoid_negative_ts",
          "disabled",
          "-segment_list",
          "pipe:3",
          "-segment_list_type",
          "csv",
          pattern};
}

TEST(SplitCommand, CopiesTheStreamsIntoMp4Segments) {
  EXPECT_EQ(split_command({.input = "in.mp4",
                           .segment_pattern = "out/chunk_%03d.mp4",
                           .time_limit_sec = 4294967295u}),
            split_arguments("in.mp4", "out/chunk_%03d.mp4", "4294967295", "mp4"));
  // A packet ffmpeg reads without a duration gets the one the source tells for its last.
  Arguments filled = split_arguments("in.mp4", "out/chunk_%03d.mp4", "5", "mp4");
  filled.insert(std::find(filled.begin(), filled.end(), "-copytb"),
                {"-bsf:a:1", "setts=duration=if(DURATION\\,DURATION\\,round(136/44100/TB))"});
  EXPECT_EQ(split_command(
                {.input = "in.mp4",
                 .segment_pattern = "out/chunk_%03d.mp4",
                 .time_limit_sec = 5,
                 .last_audio_packets = {std::nullopt,
                                        LastPacket{.index = 87, .duration = 136, .clock = 44100}}}),
            filled);
}

// Asked for without a timecode in the source, ffmpeg warns once a segment.
TEST(SplitCommand, AsksForTimecodesOnlyWhereTheSourceMayHoldOne) {
  Arguments expected = split_arguments("in.mp4", "out/chunk_%03d.mp4", "5", "mp4");
  const auto at = std::find(expected.begin(), expected.end(), "-increment_tc");
  expected.erase(at, at + 2);
  EXPECT_EQ(split_command({.input = "in.mp4",
                           .segment_pattern = "out/chunk_%03d.mp4",
                           .time_limit_sec = 5,
                           .timecode = false}),
            expected);
}

TEST(SplitCommand, GivesAQuickTimeSourceQuickTimeSegmentsOnItsVideoClock) {
  EXPECT_EQ(split_command({.input = "./a:b.mov",
                           .segment_pattern = "100%%/chunk_%03d.mp4",
                           .time_limit_sec = 5,
                           .quicktime = true,
                           .video_timescale = 600}),
            split_arguments("./a:b.mov", "100%%/chunk_%03d.mp4", "5", "mov",
                            "strict=unofficial:movie_timescale=90000:video_track_timescale=600"));
}

const Arguments kSourceMetadata = {
    "-f", "ffmetadata",      "-i",      "/dev/fd/4", "-map_metadata", "1", "-map_chapters",
    "1",  "-ignore_unknown", "-strict", "unofficial"};

Arguments join_arguments(const Arguments& middle, const std::string& output,
                         const Arguments& before_output = {}, const Arguments& after_map = {}) {
  Arguments arguments = {"-f", "concat", "-safe", "0", "-auto_convert", "0", "-i", "/dev/fd/3"};
  arguments.insert(arguments.end(), middle.begin(), middle.end());
  arguments.insert(arguments.end(), {"-map", "0"});
  arguments.insert(arguments.end(), after_map.begin(), after_map.end());
  arguments.insert(arguments.end(), {"-c", "copy", "-copyts"});
  arguments.insert(arguments.end(), before_output.begin(), before_output.end());
  arguments.push_back(output);
  return arguments;
}

const Arguments kMovieClock = {"-movie_timescale", "90000"};

TEST(JoinCommand, CopiesTheSegmentsStreams) {
  EXPECT_EQ(join_command({.output_file = "joined.mp4"}),
            join_arguments({}, "joined.mp4", kMovieClock));
}

TEST(JoinCommand, MapsTheSourceMetadataBackFromTheRecord) {
  EXPECT_EQ(join_command({.output_file = "joined.mp4", .source_metadata = true}),
            join_arguments(kSourceMetadata, "joined.mp4", kMovieClock));
  Arguments keyed = kSourceMetadata;
  keyed.insert(keyed.end(), {"-movflags", "use_metadata_tags"});
  EXPECT_EQ(
      join_command({.output_file = "joined.mp4", .source_metadata = true, .quicktime_keys = true}),
      join_arguments(keyed, "joined.mp4", kMovieClock));
  // Keyed tags without a record to map are nothing to keep.
  EXPECT_EQ(join_command({.output_file = "joined.mp4", .quicktime_keys = true}),
            join_arguments({}, "joined.mp4", kMovieClock));
}

TEST(JoinCommand, MapsTheSideStreamsBackAfterTheSegments) {
  EXPECT_EQ(
      join_command({.output_file = "joined.mp4", .source_metadata = true, .side_streams = true}),
      (Arguments{"-f",
                 "concat",
                 "-safe",
                 "0",
                 "-auto_convert",
                 "0",
                 "-i",
                 "/dev/fd/3",
                 "-f",
                 "ffmetadata",
                 "-i",
                 "/dev/fd/4",
                 "-i",
                 "/dev/fd/6",
                 "-map_metadata",
                 "1",
                 "-map_chapters",
                 "1",
                 "-ignore_unknown",
                 "-strict",
                 "unofficial",
                 "-map",
                 "0",
                 "-map",
                 "2",
                 "-c",
                 "copy",
                 "-copyts",
                 "-movie_timescale",
                 "90000",
                 "joined.mp4"}));
  // Tags from the side file's carriers, stream for stream; its own streams after them.
  EXPECT_EQ(join_command({.output_file = "joined.mkv",
                          .side_streams = true,
                          .tag_carriers = JoinCommand::TagCarriers{.carriers = 2, .streams = 3}}),
            join_arguments({"-i", "/dev/fd/6"}, "joined.mkv", {},
                           {"-map", "1:2", "-map_metadata:s:0", "1:s:0", "-map_metadata:s:1",
                            "1:s:1", "-map_metadata:s:2", "1:s:2"}));
  // Without the record the side file is the second input.
  EXPECT_EQ(join_command({.output_file = "joined.mkv", .side_streams = true}),
            join_arguments({"-i", "/dev/fd/6"}, "joined.mkv", {}, {"-map", "1"}));
}

// An MP4 side file into Matroska: its text subtitles converted, its cover attached from where
// it lies in the side file, the dispositions set, the sound's last packet given its duration in
// milliseconds, the clock ffmpeg hands Matroska's filters packets on.
TEST(JoinCommand, CrossesIntoMatroskaWithAttachmentsAndDispositions) {
  Arguments expected = join_arguments({"-i", "/dev/fd/6"}, "joined.mkv", {}, {"-map", "1:s"});
  expected.insert(
      std::find(expected.begin(), expected.end(), "-copyts"),
      {"-disposition:v:0", "default", "-c:s", "srt", "-attach",
       "subfile,,start,40,end,100,,:/dev/fd/6", "-metadata:s:t:0", "mimetype=image/png",
       "-metadata:s:t:0", "filename=cover.png", "-bsf:a:0",
       "setts=duration=if(eq(N\\,9)\\,round(1024*1000/48000)\\,if(DURATION\\,DURATION\\,"
       "round(1024*1000/48000)))"});
  EXPECT_EQ(join_command(
                {.output_file = "joined.mkv",
                 .side_streams = true,
                 .crossed = {.subtitle_codec = "srt", .all_subtitles = true},
                 .attached_covers = {{.offset = 40, .size = 60, .mime_type = "image/png"}},
                 .last_audio_packets = {LastPacket{.index = 9, .duration = 1024, .clock = 48000}},
                 .dispositions = {{.stream = "v:0", .value = "default"}}}),
            expected);
}

TEST(SideStreamsCommand, CopiesAllButAudioVideoTimecodeAndChaptersIntoMp4) {
  EXPECT_EQ(side_streams_command("./a:b.mov"), (Arguments{"-v",
                                                          "quiet",
                                                          "-i",
                                                          "./a:b.mov",
                                                          "-map",
                                                          "0",
                                                          "-map",
                                                          "-0:V?",
                                                          "-map",
                                                          "-0:a?",
                                                          "-map",
                                                          "-0:t?",
                                                          "-map",
                                                          "-0:d:m:timecode?",
                                                          "-map",
                                                          "-0:d:m:handler_name:SubtitleHandler?",
                                                          "-map_chapters",
                                                          "-1",
                                                          "-c",
                                                          "copy",
                                                          "-f",
                                                          "mp4",
                                                          "-y",
                                                          "/dev/fd/3"}));
}

TEST(SideStreamsCommand, PutsTagCarriersFirstInMatroska) {
  using enum mp4::MatroskaStream;
  // A subtitle track before the audio, a second video, an attachment.
  EXPECT_EQ(matroska_side_streams_command("a.mkv", {video, subtitle, audio, video, attachment}),
            (Arguments{"-v",
                       "quiet",
                       "-i",
                       "a.mkv",
                       "-map",
                       "0:0",
                       "-map",
                       "0:3",
                       "-map",
                       "0:2",
                       "-map",
                       "0:1",
                       "-map",
                       "0:4",
                       "-map_chapters",
                       "-1",
                       "-c",
                       "copy",
                       "-bsf:0",
                       "noise=drop=gt(n\\,0)",
                       "-bsf:1",
                       "noise=drop=gt(n\\,0)",
                       "-bsf:2",
                       "noise=drop=gt(n\\,0)",
                       "-avoid_negative_ts",
                       "disabled",
                       "-f",
                       "matroska",
                       "-y",
                       "/dev/fd/3"}));
}

TEST(SideStreamsFormFor, TheOutputsFamilyUnlessFragmentedOrOther) {
  using Form = std::optional<SideStreamsForm>;
  for (const auto& [name, form] :
       std::vector<std::pair<const char*, Form>>{{"a.mp4", SideStreamsForm::mp4},
                                                 {"a.MOV", SideStreamsForm::mp4},
                                                 {"a.m4a", SideStreamsForm::mp4},
                                                 {"a.mkv", SideStreamsForm::matroska},
                                                 {"a.MKA", SideStreamsForm::matroska},
                                                 {"a.ismv", std::nullopt},
                                                 {"a.ISMA", std::nullopt},
                                                 {"a.webm", std::nullopt},
                                                 {"a.ts", std::nullopt},
                                                 {"mkv", std::nullopt},
                                                 {"a.mkv/b", std::nullopt}}) {
    EXPECT_EQ(side_streams_form_for(name), form) << name;
  }
}

TEST(JoinCommand, KeepsTheVideoClockInAMovieFile) {
  EXPECT_EQ(join_command({.output_file = "joined.MOV", .video_timescale = 600}),
            join_arguments({}, "joined.MOV",
                           {"-movie_timescale", "90000", "-video_track_timescale", "600"}));
  // The sound's last packet, the 384th of every segment's, lasts what the last segment says.
  Arguments last = join_arguments({}, "joined.mp4", kMovieClock);
  last.insert(std::find(last.begin(), last.end(), "-copyts"),
              {"-bsf:a:0",
               "setts=duration=if(eq(N\\,383)\\,round(889/44100/TB)\\,if(DURATION\\,"
               "DURATION\\,round(889/44100/TB)))"});
  EXPECT_EQ(join_command({.output_file = "joined.mp4",
                          .last_audio_packets = {LastPacket{
                              .index = 383, .duration = 889, .clock = 44100}}}),
            last);
  // An MP4 source's brand other than the muxer's own isom, in an MP4 output only.
  EXPECT_EQ(join_command({.output_file = "joined.mp4", .major_brand = "mp42"}),
            join_arguments({}, "joined.mp4", {"-movie_timescale", "90000", "-brand", "mp42"}));
  EXPECT_EQ(join_command({.output_file = "joined.mov", .major_brand = "mp42"}),
            join_arguments({}, "joined.mov", kMovieClock));
  EXPECT_EQ(join_command({.output_file = "joined.mp4", .major_brand = "isom"}),
            join_arguments({}, "joined.mp4", kMovieClock));
  // Other muxers take neither option.
  EXPECT_EQ(join_command({.output_file = "joined.mkv", .video_timescale = 600}),
            join_arguments({}, "joined.mkv"));
}

TEST(WritesMovieFile, KnowsTheMp4AndQuickTimeFamilyByExtension) {
  for (const char* name : {"a.mp4", "a.M4A", "dir.x/a.mov", "a.ismv", "a.isma", "a.3gp"}) {
    EXPECT_TRUE(writes_movie_file(name)) << name;
  }
  for (const char* name : {"a.mkv", "a.ts", "a", "dir.mp4/a", "pipe:1", "a.mp4.part"}) {
    EXPECT_FALSE(writes_movie_file(name)) << name;
  }
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
  EXPECT_EQ(passed_file(PassedSlot::fourth, PassedFileUse::read), "/dev/fd/6");
}

}  // namespace
}  // namespace fendral::video
