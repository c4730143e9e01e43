// ffmpeg's segment list in csv form, as the split keeps it and the join reads it.
#include "video/segment_times.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fendral::video {
namespace {

TEST(SegmentListNames, AreTheFirstFieldOfEachLine) {
  EXPECT_EQ(segment_list_names("chunk_000.mp4,0.000000,1.000000\n"
                               "\"a,\"\"b.mp4\",1.000000,2.000000\n\nchunk_002.mp4\n"),
            (std::vector<std::string>{"chunk_000.mp4", "a,\"b.mp4", "chunk_002.mp4"}));
}

TEST(SegmentTimes, GiveEachSegmentsStartInMicroseconds) {
  const auto times = read_segment_times(
      "chunk_000.mp4,-0.021333,1.000000\nchunk_001.mp4,1.04,2.000000\nchunk_002.mp4,7,8\n");
  ASSERT_TRUE(times);
  ASSERT_EQ(times->size(), 3u);
  EXPECT_EQ((*times)[0].span.start_microseconds, -21333);
  EXPECT_EQ((*times)[1].span.start_microseconds, 1040000);
  EXPECT_EQ((*times)[2].span.start_microseconds, 7000000);
  EXPECT_EQ((*times)[2].name, "chunk_002.mp4");
}

TEST(SegmentTimes, AreNotReadFromALineWithoutTwoTimes) {
  for (const char* list :
       {"chunk_000.mp4\n", "chunk_000.mp4,1.0\n", "chunk_000.mp4,1.0s,2\n",
        "chunk_000.mp4,1.0000001,2\n", "\"chunk_000.mp4,1,2\n", ",1,2\n", "chunk_000.mp4,,2\n"}) {
    EXPECT_FALSE(read_segment_times(list)) << list;
  }
}

}  // namespace
}  // namespace fendral::video
