// Paths shielded before they go on ffmpeg's command line.
#include "video/ffmpeg_paths.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace fendral::video {
namespace {

TEST(FfmpegPaths, DoublesAndUndoublesPercent) {
  EXPECT_EQ(escape_percent("100%/50%%"), "100%%/50%%%%");
  EXPECT_EQ(unescape_percent("100%%/50%%%%"), "100%/50%%");
  EXPECT_EQ(unescape_percent("chunk_%03d.mp4"), "chunk_%03d.mp4");
  EXPECT_EQ(unescape_percent("ends%"), "ends%");
}

struct Shielded {
  std::string given;
  std::string as_option_safe;
  std::string as_directory;
};

void PrintTo(const Shielded& path, std::ostream* out) {
  *out << '"' << path.given << '"';
}

class FfmpegPathsShield : public testing::TestWithParam<Shielded> {};

TEST_P(FfmpegPathsShield, KeepsARelativePathFromReadingAsAnOptionOrAUrl) {
  EXPECT_EQ(option_safe(GetParam().given), GetParam().as_option_safe);
  EXPECT_EQ(directory_for_ffmpeg(GetParam().given), GetParam().as_directory);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FfmpegPathsShield,
    testing::Values(Shielded{"segs", "segs", "segs"}, Shielded{"-segs", "./-segs", "./-segs"},
                    Shielded{"-", "-", "./-"}, Shielded{"a:b/c", "a:b/c", "./a:b/c"},
                    Shielded{"d/a:b", "d/a:b", "d/a:b"},
                    Shielded{"/abs/-x:y", "/abs/-x:y", "/abs/-x:y"}, Shielded{"", "", ""}));

TEST(FfmpegPaths, AnAbsentColonNameIsLeftToFfmpegAsAUrl) {
  EXPECT_EQ(input_for_ffmpeg("absent-here:1.mp4"), "absent-here:1.mp4");
  EXPECT_EQ(input_for_ffmpeg("-in.mp4"), "./-in.mp4");
  EXPECT_EQ(input_for_ffmpeg("https://example.org/v.mp4"), "https://example.org/v.mp4");
}

TEST(FfmpegPaths, FindsTheLocalFileFfmpegOpens) {
  EXPECT_EQ(local_file_opened("in.mp4"), "in.mp4");
  EXPECT_EQ(local_file_opened("./a:b.mp4"), "./a:b.mp4");
  // ffmpeg's file protocol takes what follows "file:" as the path, slashes and all.
  EXPECT_EQ(local_file_opened("file:in.mp4"), "in.mp4");
  EXPECT_EQ(local_file_opened("file:/abs/in.mp4"), "/abs/in.mp4");
  EXPECT_EQ(local_file_opened("file:///abs/in.mp4"), "///abs/in.mp4");
  EXPECT_EQ(local_file_opened("file://in.mp4"), "//in.mp4");
  for (const char* other : {"pipe:0", "-", "", "FILE:in.mp4", "https://example.org/v.mp4"}) {
    EXPECT_EQ(local_file_opened(other), std::nullopt) << other;
  }
}

TEST(FfmpegPaths, ReadsStandardInputOnlyWhenNamedSo) {
  for (const char* name : {"-", "pipe:", "pipe:0", "/dev/stdin"}) {
    EXPECT_TRUE(reads_standard_input(name)) << name;
  }
  for (const char* name : {"pipe:1", "./-", "pipe:00", "in.mp4"}) {
    EXPECT_FALSE(reads_standard_input(name)) << name;
  }
}

}  // namespace
}  // namespace fendral::video
