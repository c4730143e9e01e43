// Every way the CRC32C can take on this processor against a bit-by-bit reference, from every
// start within a word and over every way a span divides into streams and folded blocks, and
// the combination of two CRCs without their bytes.
#include "base/crc32c.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "random_content.hpp"

namespace fendral::crc32c {
namespace {

std::uint32_t bit_by_bit(const unsigned char* data, std::size_t size) {
  std::uint32_t state = 0xFFFFFFFF;
  for (std::size_t i = 0; i < size; ++i) {
    state ^= data[i];
    for (int bit = 0; bit < 8; ++bit) state = (state & 1) ? (state >> 1) ^ 0x82F63B78 : state >> 1;
  }
  return ~state;
}

const unsigned char* bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

std::vector<unsigned char> random_content(std::size_t size) {
  return testing_support::random_content(size, 5);
}

TEST(Crc32c, EveryWayGivesTheKnownAnswers) {
  ASSERT_EQ(std::string_view(available_ways().back().name), "tables");
  for (const Way& way : available_ways()) {
    SCOPED_TRACE(way.name);
    EXPECT_EQ(way.extend(0, bytes("123456789"), 9), 0xE3069283u);
    EXPECT_EQ(way.extend(0, nullptr, 0), 0u);
    EXPECT_EQ(way.extend(0xE3069283u, nullptr, 0), 0xE3069283u);
  }
}

TEST(Crc32c, EveryWayAgreesWithTheReferenceAtEveryStartAndLength) {
  const std::vector<unsigned char> content = random_content(80'000);
  // Around a word, the streams' block of 3 x 256 and 3 x 8192 bytes, the folded step of 272
  // bytes times 16, two of the wide fold's 512-byte blocks, and much more than any of them.
  for (std::size_t length : {0, 1, 8, 9, 767, 768, 769, 1'023, 1'024, 1'025, 4'351, 4'352, 4'353,
                             24'575, 24'576, 24'577, 79'000}) {
    for (std::size_t offset : {0, 1, 7}) {
      const std::uint32_t expected = bit_by_bit(content.data() + offset, length);
      for (const Way& way : available_ways()) {
        SCOPED_TRACE(testing::Message() << way.name << " at " << offset << ", " << length);
        EXPECT_EQ(way.extend(0, content.data() + offset, length), expected);
        // Continued from the CRC of a first part.
        const std::size_t cut = length / 3;
        EXPECT_EQ(way.extend(way.extend(0, content.data() + offset, cut),
                             content.data() + offset + cut, length - cut),
                  expected);
      }
    }
  }
}

TEST(Crc32c, CombinationEqualsTheCrcOfBothParts) {
  const std::vector<unsigned char> content = random_content(50'000);
  for (std::size_t cut : {0, 1, 4, 4'095, 25'000, 49'999, 50'000}) {
    SCOPED_TRACE(cut);
    const std::uint32_t first = of(content.data(), cut);
    const std::uint32_t second = of(content.data() + cut, content.size() - cut);
    EXPECT_EQ(combine(first, second, content.size() - cut), of(content.data(), content.size()));
    EXPECT_EQ(FixedLengthCombine(content.size() - cut)(first, second),
              of(content.data(), content.size()));
  }
  // Lengths no buffer here could have are only arithmetic: zeros after zeros add up.
  const std::uint64_t half = std::uint64_t{1} << 63;
  EXPECT_EQ(combine(combine(0xE3069283u, 0, half), 0, half - 1),
            combine(0xE3069283u, 0, ~std::uint64_t{0}));
}

}  // namespace
}  // namespace fendral::crc32c
