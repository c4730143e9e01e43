// Where a track's samples end in the file, from its sample tables.
#include "mp4/sample_layout.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace fendral::mp4 {
namespace {

using Table = std::vector<unsigned char>;

void put32(Table& table, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    table.push_back(static_cast<unsigned char>(value >> shift));
}

// A full box's payload: version and flags, then the numbers given.
Table payload(std::initializer_list<std::uint32_t> numbers) {
  Table table(4, 0);
  for (const std::uint32_t number : numbers) put32(table, number);
  return table;
}

SampleLayout layout(const Table& sizes, const Table& runs, const Table& offsets) {
  return {.sample_sizes = boxes::Bytes(sizes),
          .samples_per_chunk = boxes::Bytes(runs),
          .chunk_offsets = boxes::Bytes(offsets)};
}

TEST(MediaEnd, IsTheEndOfTheLastByteOfAnyChunk) {
  // Five samples of 10, 20, 30, 40, 50 bytes: two chunks of two, then one of one.
  const Table sizes = payload({0, 5, 10, 20, 30, 40, 50});
  const Table runs = payload({2, 1, 2, 1, 3, 1, 1});
  const Table offsets = payload({3, 100, 1000, 500});
  EXPECT_EQ(media_end(layout(sizes, runs, offsets)), 1070u);
}

TEST(MediaEnd, MultipliesASizeSharedByEverySample) {
  const Table sizes = payload({100, 25});
  const Table runs = payload({1, 1, 25, 1});
  const Table offsets = payload({1, 1000});
  EXPECT_EQ(media_end(layout(sizes, runs, offsets)), 3500u);
}

TEST(MediaEnd, IsUnknownWhenTheTablesDisagree) {
  const Table sizes = payload({0, 3, 10, 10, 10});
  const Table offsets = payload({2, 100, 200});
  // A run from chunk 0 (they count from 1), and runs out of order.
  EXPECT_FALSE(media_end(layout(sizes, payload({1, 0, 1, 1}), offsets)));
  EXPECT_FALSE(media_end(layout(sizes, payload({2, 2, 1, 1, 1, 1, 1, 1}), offsets)));
  // More sizes claimed than the box holds.
  EXPECT_FALSE(media_end(layout(payload({0, 9, 10}), payload({1, 1, 1, 1}), offsets)));
  EXPECT_FALSE(media_end(SampleLayout{}));
}

}  // namespace
}  // namespace fendral::mp4
