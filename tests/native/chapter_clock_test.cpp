#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "memory_source.hpp"
#include "mp4/movie.hpp"

namespace fendral::mp4 {
namespace {

using testing_support::MemorySource;

using Bytes = std::string;

Bytes be32(std::uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}

Bytes box(const char* type, const Bytes& payload) {
  return be32(static_cast<std::uint32_t>(payload.size() + 8)) + type + payload;
}

// Track 1 refers to track 2 as its chapters; track 2's clock (its media three seconds long),
// sample durations and edit.
Bytes movie(std::uint32_t timescale, std::uint32_t delta, std::uint32_t media_time) {
  const Bytes full(4, '\0');
  const auto header = [&](std::uint32_t id) {
    return box("tkhd", full + Bytes(8, '\0') + be32(id) + Bytes(8, '\0'));
  };
  const Bytes referring = box("trak", header(1) + box("tref", box("chap", be32(2))));
  const Bytes chapters = box(
      "trak",
      header(2) +
          box("edts", box("elst", full + be32(1) + be32(3000) + be32(media_time) + be32(0x10000))) +
          box("mdia",
              box("mdhd", full + Bytes(8, '\0') + be32(timescale) + be32(3 * timescale)) +
                  box("minf", box("stbl", box("stts", full + be32(1) + be32(3) + be32(delta))))));
  return box("ftyp", "isom" + be32(512)) +
         box("moov",
             box("mvhd", full + Bytes(8, '\0') + be32(1000) + be32(3000)) + referring + chapters);
}

// Each edit as (offset, bytes), the file's own bytes at that offset replaced.
std::vector<std::pair<std::uint64_t, Bytes>> edits_of(const Bytes& file, std::uint32_t timescale) {
  MemorySource source(file);
  std::vector<std::pair<std::uint64_t, Bytes>> edits;
  for (const ByteEdit& edit : chapter_clock_edits(source, timescale)) {
    edits.emplace_back(edit.offset, Bytes(edit.bytes.begin(), edit.bytes.end()));
  }
  return edits;
}

TEST(ChapterClock, RestatesTheChapterTrackOnTheNewClock) {
  const Bytes file = movie(90000, 90000, 45000);
  const auto edits = edits_of(file, 1000);
  ASSERT_EQ(edits.size(), 3u);
  // The media header's clock and duration, the sample durations, the edit's media time.
  EXPECT_EQ(edits[0].second, be32(1000) + be32(3000));
  EXPECT_EQ(file.substr(edits[0].first, 8), be32(90000) + be32(270000));
  EXPECT_EQ(edits[1].second, be32(3) + be32(1000));
  EXPECT_EQ(edits[2].second, be32(3000) + be32(500) + be32(0x10000));
  EXPECT_EQ(file.substr(edits[2].first, 12), be32(3000) + be32(45000) + be32(0x10000));
}

TEST(ChapterClock, LeavesAFileAloneWhenATimeDoesNotDivide) {
  EXPECT_TRUE(edits_of(movie(90000, 90001, 0), 1000).empty());      // a sample's duration
  EXPECT_TRUE(edits_of(movie(90000, 90000, 45001), 1000).empty());  // the edit's media time
  EXPECT_TRUE(edits_of(movie(1000, 1000, 0), 1000).empty());        // already on that clock
  EXPECT_TRUE(edits_of(movie(90000, 90000, 0), 7).empty());         // a clock that does not divide
}

}  // namespace
}  // namespace fendral::mp4
