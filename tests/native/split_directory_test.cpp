// Finding a segment of a split whose directory has moved: from its record's text alone, then
// through the locked directory.
#include "video/split_directory.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>

#include "video/segment_location.hpp"

namespace fendral::video {
namespace {

TEST(SegmentLocation, TheRecordedDirectoryIsTheOutputPrefixsDirectoryAsAPath) {
  EXPECT_EQ(recorded_segment_directory("segs/chunk_%03d.mp4"), "segs/");
  EXPECT_EQ(recorded_segment_directory("100%%/chunk_%03d.mp4"), "100%/");
  EXPECT_EQ(recorded_segment_directory("./-segs/chunk_%03d.mp4"), "./-segs/");
  EXPECT_EQ(recorded_segment_directory("chunk_%03d.mp4"), "");
}

struct Placed {
  std::string entry;
  std::string directory;
  std::optional<std::string> rest;
};

void PrintTo(const Placed& placed, std::ostream* out) {
  *out << '"' << placed.entry << "\" in \"" << placed.directory << '"';
}

class SegmentPlace : public testing::TestWithParam<Placed> {};

TEST_P(SegmentPlace, IsThePartOfTheEntryInsideTheDirectory) {
  const auto rest = place_in_directory(GetParam().entry, GetParam().directory);
  EXPECT_EQ(rest ? std::optional<std::string>(*rest) : std::nullopt, GetParam().rest);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, SegmentPlace,
    testing::Values(Placed{"segs/chunk_000.mp4", "segs/", "chunk_000.mp4"},
                    Placed{"-segs/chunk_000.mp4", "./-segs/", "chunk_000.mp4"},  // no "./"
                    Placed{"chunk_000.mp4", "", "chunk_000.mp4"},
                    Placed{"segs/sub/chunk_000.mp4", "segs/", "sub/chunk_000.mp4"},
                    Placed{"other/chunk_000.mp4", "segs/", std::nullopt},
                    Placed{"segs/../x.mp4", "segs/", std::nullopt},
                    Placed{"/abs/chunk_000.mp4", "", std::nullopt},
                    Placed{"segs/", "segs/", std::nullopt}));

// A scratch directory as the working directory, removed at the end.
class MovedSplit : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/fendral-split-directory-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    root_ = name;
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(root_);
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(root_);
  }
  static void write(const std::filesystem::path& path, const char* text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }

  std::filesystem::path root_;
  std::filesystem::path previous_;
};

TEST_F(MovedSplit, FindsTheSegmentUnderTheDirectoryNamedNow) {
  write("moved/chunk_000.mp4", "segment");
  auto directory = SplitDirectory::lock("moved", SplitDirectory::Use::join);
  ASSERT_TRUE(directory);
  EXPECT_EQ(directory->locate("segs/chunk_000.mp4", "segs/"), "moved/chunk_000.mp4");
  // Nothing there: the entry as written, for the join to report.
  EXPECT_EQ(directory->locate("segs/chunk_001.mp4", "segs/"), "segs/chunk_001.mp4");
  // Outside the recorded directory: as written.
  EXPECT_EQ(directory->locate("elsewhere/chunk_000.mp4", "segs/"), "elsewhere/chunk_000.mp4");
}

TEST_F(MovedSplit, KeepsTheEntryAsWrittenWhenBothNameOneFile) {
  write("segs/chunk_000.mp4", "segment");
  std::filesystem::create_directory_symlink("segs", "link");
  auto directory = SplitDirectory::lock("link", SplitDirectory::Use::join);
  ASSERT_TRUE(directory);
  EXPECT_EQ(directory->locate("segs/chunk_000.mp4", "segs/"), "segs/chunk_000.mp4");
}

TEST_F(MovedSplit, PrefersTheCopyHereOverTheOriginal) {
  write("segs/chunk_000.mp4", "original");
  write("copy/chunk_000.mp4", "copy");
  auto directory = SplitDirectory::lock("copy", SplitDirectory::Use::join);
  ASSERT_TRUE(directory);
  EXPECT_EQ(directory->locate("segs/chunk_000.mp4", "segs/"), "copy/chunk_000.mp4");
}

}  // namespace
}  // namespace fendral::video
