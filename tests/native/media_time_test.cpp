// Lengths of media time: rounding to microseconds, and adding a length on another clock.
#include "mp4/media_time.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>

namespace fendral::mp4 {
namespace {

TEST(MediaTime, RoundsToTheNearestMicrosecond) {
  EXPECT_EQ(rounded_microseconds(1, 3), 333'333u);
  EXPECT_EQ(rounded_microseconds(2, 3), 666'667u);
  EXPECT_EQ(rounded_microseconds(1, 2'000'000), 1u);  // half a microsecond goes up
  const MediaDuration ntsc_frames{90'090, 90'000};
  EXPECT_EQ(ntsc_frames.microseconds(), 1'001'000u);
}

TEST(MediaTime, SaturatesWhereMicrosecondsDoNotFit) {
  EXPECT_EQ(rounded_microseconds(static_cast<uint128>(UINT64_MAX) * 2, 1), UINT64_MAX);
  EXPECT_EQ(rounded_microseconds(~static_cast<uint128>(0), 1), UINT64_MAX);
}

struct Sum {
  MediaDuration first;
  MediaDuration second;
  std::optional<MediaDuration> expected;
};

void PrintTo(const Sum& sum, std::ostream* out) {
  *out << sum.first.ticks << '/' << sum.first.timescale << " + " << sum.second.ticks << '/'
       << sum.second.timescale;
}

class MediaTimeSum : public testing::TestWithParam<Sum> {};

TEST_P(MediaTimeSum, AddsOnTheClockThatCountsBoth) {
  EXPECT_EQ(GetParam().first.plus(GetParam().second), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, MediaTimeSum,
    testing::Values(Sum{{3, 30}, {2, 30}, MediaDuration{5, 30}},  // the same clock
                    Sum{{3, 30}, {1, 10}, MediaDuration{6, 30}},  // a divisor of it
                    Sum{{1100, 1000}, {256, 12800}, MediaDuration{14'336'000, 12'800'000}},
                    Sum{{1100, 1000}, {0, 12800}, MediaDuration{1100, 1000}},  // nothing added
                    Sum{{UINT64_MAX, 1}, {1, 1}, std::nullopt},                // the sum overflows
                    Sum{{1, UINT64_MAX}, {1, 2}, std::nullopt},                // the clock does
                    Sum{{1, 0}, {1, 2}, std::nullopt}));                       // a stopped clock

}  // namespace
}  // namespace fendral::mp4
