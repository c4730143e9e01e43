// The concat script: segment lines, durations from running ends, and the leads of open GOPs.
#include "video/concat_script.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace fendral::video {
namespace {

using mp4::MediaDuration;

ConcatEntry segment(std::string path, std::optional<MediaDuration> duration,
                    std::optional<MediaDuration> hidden_lead = std::nullopt) {
  ConcatEntry entry{std::move(path), {}};
  entry.movie.duration = duration;
  entry.movie.hidden_lead = hidden_lead;
  return entry;
}

TEST(ConcatScript, RoundsEachRunningEndOnce) {
  const auto script =
      concat_script({segment("/s/a", MediaDuration{1, 3}), segment("/s/b", MediaDuration{1, 3}),
                     segment("/s/c", MediaDuration{1, 3})});
  EXPECT_EQ(script.text,
            "file '/s/a'\nduration 0.333333\n"
            "file '/s/b'\nduration 0.333334\n"
            "file '/s/c'\nduration 0.333333\n");
  EXPECT_EQ(script.stated_microseconds, 1'000'000u);
}

TEST(ConcatScript, StretchesASegmentOverTheLeadTheNextHidesOnAnotherClock) {
  const auto script =
      concat_script({segment("/s/a", MediaDuration{1100, 1000}),
                     segment("/s/b", MediaDuration{12800, 12800}, MediaDuration{256, 12800})});
  EXPECT_EQ(script.text, "file '/s/a'\nduration 1.12\nfile '/s/b'\nduration 1\n");
  EXPECT_EQ(script.stated_microseconds, 2'120'000u);
}

TEST(ConcatScript, AnEntryWithoutADurationEndsItsClocksRun) {
  const auto script =
      concat_script({segment("/s/a", MediaDuration{1, 3}), segment("/s/b", std::nullopt),
                     segment("/s/c", MediaDuration{1, 3})});
  EXPECT_EQ(script.text,
            "file '/s/a'\nduration 0.333333\nfile '/s/b'\nfile '/s/c'\nduration 0.333333\n");
}

// The split's list places a segment whose own span agrees with its listed one within a frame
// (0.96 s listed and found: it lasts until the next starts); one cut short since the split (1.5
// s found, 3 s listed) lasts its own span.
TEST(ConcatScript, TheListsTimesHoldOnlyForSegmentsThatAgreeWithIt) {
  std::vector<ConcatEntry> entries{segment("/s/a", MediaDuration{96, 100}),
                                   segment("/s/b", MediaDuration{15, 10}),
                                   segment("/s/c", MediaDuration{3, 1})};
  for (auto& entry : entries) entry.movie.longest_sample = MediaDuration{4, 100};
  const std::vector<SegmentSpan> spans{
      {0, 960'000}, {1'040'000, 4'040'000}, {4'040'000, 7'040'000}};
  const auto script = concat_script(entries, &spans);
  EXPECT_EQ(script.text,
            "file '/s/a'\nduration 1.04\nfile '/s/b'\nduration 1.5\nfile '/s/c'\nduration 3\n");
  EXPECT_EQ(script.stated_microseconds, 5'540'000u);
}

TEST(ConcatScript, ALeadThatCannotShareAClockIsLeftOut) {
  const MediaDuration duration{1, UINT64_MAX};
  EXPECT_EQ(with_lead(duration, MediaDuration{1, 2}), duration);
  EXPECT_EQ(with_lead(duration, std::nullopt), duration);
}

TEST(ConcatScript, QuotesForAListLine) {
  EXPECT_EQ(quote_for_concat_list("/a/it's.mp4"), "/a/it'\\''s.mp4");
  EXPECT_EQ(quote_for_concat_list("/plain"), "/plain");
}

TEST(ConcatScript, WritesSecondsWithoutTrailingZeros) {
  EXPECT_EQ(seconds_text(2'000'000), "2");
  EXPECT_EQ(seconds_text(880'000), "0.88");
  EXPECT_EQ(seconds_text(1'021'678), "1.021678");
  EXPECT_EQ(seconds_text(5), "0.000005");
}

}  // namespace
}  // namespace fendral::video
