// The plan of a split that fits caps, over packet tables made here, and ffprobe's packet list
// read into one.
#include "video/fit_plan.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "video/packet_list.hpp"

namespace fendral::video {
namespace {

constexpr ContainerOverhead kNoOverhead{.fixed = 0, .per_sample = 0, .per_offset_sample = 0};

// `seconds` of video at 10 frames a second on a clock of 1000, a keyframe every `gop` frames,
// each frame `size` bytes.
PacketTrack video(int seconds, int gop, std::uint32_t size = 1000) {
  PacketTrack track{.kind = StreamKind::video, .timescale = 1000};
  for (int frame = 0; frame < seconds * 10; ++frame) {
    track.packets.push_back({.decode_time = frame * 100,
                             .presentation_time = frame * 100,
                             .duration = 100,
                             .size = size,
                             .sync = frame % gop == 0});
  }
  return track;
}

// AAC frames of 1024 samples at `rate` Hz, the first starting at `first` (before 0 for the
// priming frame an edit list hides).
PacketTrack audio(int seconds, std::uint32_t rate = 44100, std::int64_t first = 0) {
  PacketTrack track{.kind = StreamKind::audio, .timescale = rate};
  for (std::int64_t at = first; at < seconds * std::int64_t{rate}; at += 1024) {
    track.packets.push_back(
        {.decode_time = at, .presentation_time = at, .duration = 1024, .size = 10, .sync = true});
  }
  return track;
}

std::vector<std::uint64_t> first_packets(const FitPlan& plan) {
  std::vector<std::uint64_t> firsts;
  for (const PlannedSegment& segment : plan.segments) firsts.push_back(segment.first_packet);
  return firsts;
}

TEST(FitPlan, EachSegmentEndsAtTheLastKeyframeWithinTheTimeCap) {
  const PacketTable table{{video(10, 10)}};  // a keyframe every second
  const auto plan = plan_fit(table, {.max_microseconds = 3'000'000}, kNoOverhead);
  ASSERT_TRUE(plan);
  EXPECT_EQ(first_packets(*plan), (std::vector<std::uint64_t>{0, 30, 60, 90}));
  EXPECT_EQ(segment_frames_list(*plan), "30,60,90");
  EXPECT_EQ(plan->segments[0].duration_microseconds, 3'000'000u);
  EXPECT_EQ(plan->total_microseconds, 10'000'000u);
}

TEST(FitPlan, CleanFramesCutInsideAGroupBetweenBFrameRuns) {
  // One keyframe in 4 s, and runs of a P-frame decoded before the two B-frames it follows on
  // screen: only the frame after each run is clean, and a segment starts where it presents.
  PacketTable table{{video(4, 40)}};
  std::vector<Packet>& packets = table.tracks[0].packets;
  for (std::size_t frame = 1; frame + 2 < packets.size(); frame += 3) {
    packets[frame].presentation_time += 200;
    packets[frame + 1].presentation_time -= 100;
    packets[frame + 2].presentation_time -= 100;
  }
  table.tracks[0].has_composition_offsets = true;
  EXPECT_FALSE(plan_fit(table, {.max_microseconds = 1'000'000}, kNoOverhead));
  const auto plan =
      plan_fit(table, {.max_microseconds = 1'000'000}, kNoOverhead, CutAt::clean_frames);
  ASSERT_TRUE(plan);
  EXPECT_EQ(segment_frames_list(*plan), "10,19,28,37");
  EXPECT_EQ(plan->segments[0].reencoded_frames, 0u);
  EXPECT_EQ(plan->segments[1].reencoded_frames, 9u);  // no keyframe after it: all of it
  EXPECT_EQ(plan->segments[1].start_microseconds, 1'000'000);
}

TEST(FitPlan, AByteCapCountsEachHeadAsItsEstimateReEncodesIt) {
  // One keyframe in 4 s of 1000-byte frames: a head of n frames is planned at 3000 + 2000 n.
  const PacketTable table{{video(4, 40)}};
  ContainerOverhead overhead = kNoOverhead;
  overhead.head_fixed = 3000;
  overhead.head_scale = 2;
  const auto plan = plan_fit(table, {.max_bytes = 10'000}, overhead, CutAt::clean_frames);
  ASSERT_TRUE(plan);
  EXPECT_EQ(segment_frames_list(*plan).substr(0, 8), "10,13,16");
  EXPECT_EQ(plan->segments[1].estimated_bytes, 9000u);
  EXPECT_EQ(plan->segments[1].head_source_bytes, 3000u);
  // Heads of 1000, 2000 and 3000 source bytes measured at 3000, 6000 and 7000: twice them, and
  // the 2000 more that covers every one.
  const ContainerOverhead measured = with_measured_heads(
      overhead, {{.first_packet = 11, .source_bytes = 1000, .written_bytes = 3000},
                 {.first_packet = 20, .source_bytes = 2000, .written_bytes = 6000},
                 {.first_packet = 30, .source_bytes = 3000, .written_bytes = 7000}});
  EXPECT_EQ(measured.head_scale, 2);
  EXPECT_EQ(measured.head_fixed, 2000u);
  // At 11000 bytes the head from packet 11 grows from its measure, 3000 + 2000 a frame more, to
  // 5 frames, where the estimate would give 4.
  const auto replanned = plan_fit(table, {.max_bytes = 11'000}, measured, CutAt::clean_frames);
  ASSERT_TRUE(replanned);
  EXPECT_EQ(first_packets(*replanned)[1], 11u);
  EXPECT_EQ(first_packets(*replanned)[2], 16u);
}

TEST(FitPlan, AHeadEncodedAheadIsPlannedFromItsFramesAsEncoded) {
  // One keyframe in 4 s of 1000-byte frames; the head from packet 10 encoded to 30 frames of 400
  // bytes each: one of n of them is planned at 400 n, to 25 frames in 10000 bytes.
  const PacketTable table{{video(4, 40)}};
  ContainerOverhead overhead = kNoOverhead;
  overhead.head_fixed = 3000;
  overhead.head_scale = 2;
  overhead.measured_heads = {{.first_packet = 10,
                              .frames = 30,
                              .source_bytes = 30'000,
                              .written_bytes = 12'000,
                              .frame_bytes = std::vector<std::uint64_t>(30, 400)}};
  const auto plan = plan_fit(table, {.max_bytes = 10'000}, overhead, CutAt::clean_frames);
  ASSERT_TRUE(plan);
  EXPECT_EQ(first_packets(*plan)[2], 35u);
  // Encoded to those 25 it came out at 11000: a tenth over its frames in the longer encode, so
  // 22 frames are planned at 9680, and 23 would be over.
  overhead.measured_heads.push_back(
      {.first_packet = 10, .frames = 25, .source_bytes = 25'000, .written_bytes = 11'000});
  const auto replanned = plan_fit(table, {.max_bytes = 10'000}, overhead, CutAt::clean_frames);
  ASSERT_TRUE(replanned);
  EXPECT_EQ(first_packets(*replanned)[2], 32u);
  EXPECT_EQ(replanned->segments[1].estimated_bytes, 9680u);
}

// Decode order I P B B | I B B P (an open group: its B-frames show before its keyframe) | I P:
// a copy starts at the first and the last keyframe only.
TEST(FitPlan, ACopyStartsOnlyAtAKeyframeThatShowsFirstOfWhatFollows) {
  const std::int64_t shown[] = {0, 3, 1, 2, 6, 4, 5, 7, 8, 9};
  std::vector<Packet> packets;
  for (std::int64_t index = 0; index < 10; ++index) {
    packets.push_back({.decode_time = index,
                       .presentation_time = shown[index],
                       .duration = 1,
                       .size = 1,
                       .sync = index == 0 || index == 4 || index == 8});
  }
  EXPECT_EQ(copy_starts(packets), (std::vector<bool>{true, false, false, false, false, false, false,
                                                     false, true, false}));
}

TEST(FitPlan, AnAudioFrameRunningPastTheCutCounts) {
  // The AAC frame decoded just before 3 s ends after it: three seconds do not fit a cap of 3.
  const PacketTable table{{video(10, 10), audio(10)}};
  const auto plan = plan_fit(table, {.max_microseconds = 3'000'000}, kNoOverhead);
  ASSERT_TRUE(plan);
  EXPECT_EQ(segment_frames_list(*plan), "20,40,60,80");
  // The last AAC frame decoded before 2 s ends at 2.0201 s: 2.021 s, up to the millisecond.
  EXPECT_EQ(plan->segments[0].duration_microseconds, 2'021'000u);
}

TEST(FitPlan, AnAudioFrameDecodedAtTheCutStartsTheNextSegment) {
  // At 64 kHz an AAC frame starts on every even second, decoded with the keyframe there.
  const PacketTable table{{video(8, 10), audio(8, 64000)}};
  const auto plan = plan_fit(table, {.max_microseconds = 2'000'000}, kNoOverhead);
  ASSERT_TRUE(plan);
  EXPECT_EQ(segment_frames_list(*plan), "20,40,60");
  for (const PlannedSegment& segment : plan->segments) {
    EXPECT_EQ(segment.duration_microseconds, 2'000'000u);
  }
}

TEST(FitPlan, SegmentsStartFromTheSourcesStart) {
  // An MPEG-TS clock starts anywhere: here at 1.4 s.
  PacketTable table{{video(6, 10)}};
  for (Packet& packet : table.tracks[0].packets) {
    packet.decode_time += 1400;
    packet.presentation_time += 1400;
  }
  const auto plan = plan_fit(table, {.max_microseconds = 2'000'000}, kNoOverhead);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->segments[0].start_microseconds, 0);
  EXPECT_EQ(plan->segments[1].start_microseconds, 2'000'000);
}

TEST(FitPlan, BytesCountEveryTrackAndTheContainer) {
  const PacketTable table{{video(10, 10), audio(10)}};
  const ContainerOverhead overhead{.fixed = 100, .per_sample = 2, .per_offset_sample = 0};
  // A second of video is 10,000 bytes, and about 430 of audio; two seconds do not fit 20,000.
  const auto plan = plan_fit(table, {.max_bytes = 20'000}, overhead);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->segments.size(), 10u);
  const PlannedSegment& first = plan->segments[0];
  EXPECT_EQ(first.estimated_bytes, first.payload_bytes + 100 + 2 * (10 + 44));
}

TEST(FitPlan, WithoutVideoAnyPacketIsACut) {
  const PacketTable table{{audio(4)}};
  const auto plan = plan_fit(table, {.max_microseconds = 1'000'000}, kNoOverhead);
  ASSERT_TRUE(plan);
  // 43 frames end at 0.9985 s, 44 at 1.0216 s.
  EXPECT_EQ(plan->segments[1].first_packet, 43u);
}

TEST(FitPlan, APictureGroupBeyondTheCapsIsRefused) {
  PacketTable table{{video(20, 100, 20'000)}};  // a keyframe every 10 s, 2 MB a picture group
  const auto plan = plan_fit(table, {.max_microseconds = 30'000'000, .max_bytes = 1'500'000});
  ASSERT_FALSE(plan);
  EXPECT_EQ(plan.error(),
            "the picture group at 0.000 s lasts 10.0 s and holds 2.0 MB; a segment can hold at "
            "most 30 s and 1.5 MB without re-encoding");
}

TEST(FitPlan, ARefusalShowsTheDecimalsThatBreakTheCap) {
  const PacketTable table{{video(10, 10), audio(10)}};
  const auto plan = plan_fit(table, {.max_microseconds = 1'000'000}, kNoOverhead);
  ASSERT_FALSE(plan);
  EXPECT_EQ(plan.error(),
            "the picture group at 0.000 s lasts 1.02 s and holds 0.010 MB; a segment can hold "
            "at most 1 s without re-encoding");
}

TEST(FitPlan, ARefusedAudioPacketLastsWhatItPlays) {
  // The priming frame ends where the source starts, and still plays 23 ms.
  const PacketTable table{{audio(1, 44100, -1024)}};
  const auto plan = plan_fit(table, {.max_bytes = 5}, kNoOverhead);
  ASSERT_FALSE(plan);
  EXPECT_EQ(plan.error(),
            "the audio packet at 0.000 s lasts 0.023 s and holds 0.000010 MB; a segment can hold "
            "at most 0.000005 MB without re-encoding");
}

TEST(FitPlan, AnEmptyTableIsRefused) {
  EXPECT_FALSE(plan_fit(PacketTable{}, {.max_microseconds = 1}));
}

TEST(PacketList, ReadsStreamsListedAfterTheirPackets) {
  const auto table = read_packet_list(
      "packet|stream_index=1|pts=0|dts=0|duration=1024|size=5|flags=K_\n"
      "packet|stream_index=0|pts=23|dts=N/A|duration=33|size=900|flags=K_\n"
      "packet|stream_index=0|pts=123|dts=N/A|duration=33|size=90|flags=__\n"
      "packet|stream_index=2|pts=0|dts=0|duration=1|size=1|flags=K_\n"
      "stream|index=0|codec_type=video|time_base=1/1000|disposition:attached_pic=0\n"
      "stream|index=1|codec_type=audio|time_base=1/44100|disposition:attached_pic=0\n"
      "stream|index=2|codec_type=video|time_base=1/90000|disposition:attached_pic=1\n");
  ASSERT_TRUE(table);
  ASSERT_EQ(table->tracks.size(), 2u);  // the cover picture is not kept
  const PacketTrack& picture = table->tracks[0];
  EXPECT_EQ(picture.kind, StreamKind::video);
  ASSERT_EQ(picture.packets.size(), 2u);
  EXPECT_TRUE(picture.packets[0].sync);
  EXPECT_FALSE(picture.packets[1].sync);
  EXPECT_EQ(picture.packets[1].presentation_time, 123);
  EXPECT_EQ(table->tracks[1].timescale, 44100u);
}

TEST(PacketList, ALineItCannotReadIsRefused) {
  EXPECT_EQ(read_packet_list("stream|index=0|codec_type=video|time_base=0\n").error(),
            "ffprobe's packet list cannot be read at line 1");
}

}  // namespace
}  // namespace fendral::video
