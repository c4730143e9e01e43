// The manifest built from chunks, from their CRCs alone and from its JSON text: every way gives
// the same chunk CRCs and the same file CRC, combined without the bytes.
#include "chunking/manifest.hpp"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "random_content.hpp"

namespace fendral::chunking {
namespace {

void expect_manifest(const Result<Manifest>& made, const Manifest& expected) {
  ASSERT_TRUE(made) << made.error().message;
  EXPECT_EQ(*made, expected);
}

std::vector<unsigned char> random_content(std::size_t size) {
  return testing_support::random_content(size, 7);
}

TEST(Manifest, KnownAnswersOfTenBytesInChunksOfFour) {
  const std::string_view text = "0123456789";
  ManifestBuilder builder(4);
  for (std::size_t offset = 0; offset < text.size(); offset += 4) {
    builder.add(reinterpret_cast<const unsigned char*>(text.data()) + offset,
                std::min<std::size_t>(4, text.size() - offset));
  }
  const Result<Manifest> manifest = builder.build();
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->crc32c, (std::vector<std::uint32_t>{0x063962b9, 0x6ad50193, 0x646a3494}));
  EXPECT_EQ(manifest->file_crc32c, 0x280c069eu);
  EXPECT_EQ(manifest->chunk_bytes(2), 2u);
  EXPECT_EQ(manifest_to_json(*manifest),
            R"({"version": 1, "chunk_size": 4, "size": 10, "count": 3, "file_crc32c": "280c069e", )"
            R"("crc32c": ["063962b9", "6ad50193", "646a3494"]})");
}

// Few chunks are combined one by one, many (past 256) through the tables of one length; a
// short last chunk never goes through those.
class EveryWayOfBuilding : public testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(EveryWayOfBuilding, GivesTheSameManifestAndTheFileCrc) {
  const auto [chunk_size, size] = GetParam();
  const std::vector<unsigned char> content = random_content(size);
  ManifestBuilder from_bytes(chunk_size), from_crcs(chunk_size);
  std::vector<std::uint32_t> crcs;
  for (std::size_t offset = 0; offset < size; offset += chunk_size) {
    const std::size_t bytes = std::min(chunk_size, size - offset);
    from_bytes.add(content.data() + offset, bytes);
    crcs.push_back(crc32c::of(content.data() + offset, bytes));
    from_crcs.add_crc(crcs.back(), bytes);
  }
  const Result<Manifest> built = from_bytes.build();
  ASSERT_TRUE(built);
  EXPECT_EQ(built->size, size);
  EXPECT_EQ(built->file_crc32c, crc32c::of(content.data(), size));
  EXPECT_EQ(combined_crc(*built), built->file_crc32c);
  expect_manifest(from_crcs.build(), *built);
  expect_manifest(manifest_of_parts(chunk_size, size, crcs), *built);
  expect_manifest(manifest_from_json(manifest_to_json(*built)), *built);
}

INSTANTIATE_TEST_SUITE_P(ChunkAndFileSizes, EveryWayOfBuilding,
                         testing::Values(std::pair<std::size_t, std::size_t>{1, 300},
                                         std::pair<std::size_t, std::size_t>{16, 16 * 300 + 5},
                                         std::pair<std::size_t, std::size_t>{1000, 2500},
                                         std::pair<std::size_t, std::size_t>{1000, 3000},
                                         std::pair<std::size_t, std::size_t>{1000, 0}));

TEST(Manifest, RefusesWhatNoFileCouldGive) {
  EXPECT_FALSE(ManifestBuilder(0).build());
  const Result<Manifest> one_short = manifest_of_parts(4, 10, {0x063962b9, 0x6ad50193});
  ASSERT_FALSE(one_short);
  EXPECT_EQ(one_short.error().exception_class, ExceptionClass::ValueError);
}

TEST(Manifest, ParityCrcsSurviveTheJsonText) {
  const std::vector<unsigned char> content = random_content(64);
  const Result<Manifest> manifest =
      manifest_of_parts(16, 64,
                        {crc32c::of(content.data(), 16), crc32c::of(content.data() + 16, 16),
                         crc32c::of(content.data() + 32, 16), crc32c::of(content.data() + 48, 16)},
                        {0x01234567, 0x89abcdef});
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->file_crc32c, crc32c::of(content.data(), 64));
  expect_manifest(manifest_from_json(manifest_to_json(*manifest)), *manifest);
}

}  // namespace
}  // namespace fendral::chunking
