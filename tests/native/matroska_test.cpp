#include "mp4/matroska.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "memory_source.hpp"

namespace fendral::mp4 {
namespace {

using testing_support::MemorySource;

using Bytes = std::string;
using enum MatroskaStream;

// An element: its identifier's bytes, its size in the eight-byte form ffmpeg writes for
// masters (or unknown), its content.
Bytes element(Bytes id, const Bytes& content, bool unknown_size = false) {
  Bytes size(8, '\0');
  size[0] = 0x01;
  for (int at = 7; at >= 1; --at) {
    size[at] = unknown_size ? '\xff' : static_cast<char>(content.size() >> (8 * (7 - at)));
  }
  return id + size + content;
}

Bytes track(int type, Bytes codec = "V_MPEG4/ISO/AVC") {
  return element("\xae", element("\x83", Bytes(1, static_cast<char>(type))) +
                             (codec.empty() ? "" : element("\x86", codec)));
}

Bytes attached_file(bool data = true, Bytes type = "font/ttf") {
  return element("\x61\xa7", element("\x46\x6e", "font.ttf") + element("\x46\x60", type) +
                                 (data ? element("\x46\x5c", "glyphs") : ""));
}

const Bytes kHeader = element("\x1a\x45\xdf\xa3", element("\x42\x82", "matroska"));
const Bytes kCluster = element("\x1f\x43\xb6\x75", element("\xe7", "\x00"));

Bytes matroska(const Bytes& children, bool unknown_size = false) {
  return kHeader + element("\x18\x53\x80\x67", children, unknown_size);
}

Bytes tracks(const Bytes& entries) {
  return element("\x16\x54\xae\x6b", entries);
}
Bytes attachments(const Bytes& files) {
  return element("\x19\x41\xa4\x69", files);
}

struct Numbered {
  const char* name;
  Bytes file;
  std::optional<std::vector<MatroskaStream>> streams;
};

class MatroskaStreams : public testing::TestWithParam<Numbered> {};

TEST_P(MatroskaStreams, AsFfmpegNumbersThem) {
  MemorySource source(GetParam().file);
  EXPECT_EQ(read_matroska_streams(source), GetParam().streams);
}

const Bytes kMovieTracks = tracks(track(1) + track(0x11) + track(2));

INSTANTIATE_TEST_SUITE_P(
    Files, MatroskaStreams,
    testing::Values(
        Numbered{"tracks_then_attachments",
                 matroska(element("\x15\x49\xa9\x66", "info") + kMovieTracks +
                          attachments(attached_file() + attached_file(true, "image/png") +
                                      attached_file(true, "image/gif")) +
                          kCluster),
                 std::vector{video, subtitle, audio, attachment, cover, attachment}},
        // ffmpeg numbers attachments after every track, wherever they are.
        Numbered{"attachments_first_and_after_clusters_of_an_open_segment",
                 matroska(attachments(attached_file()) + kCluster + kMovieTracks + kCluster, true),
                 std::vector{video, subtitle, audio, attachment}},
        Numbered{"a_track_of_another_type", matroska(tracks(track(1) + track(0x12))), std::nullopt},
        // Text converts into other families' subtitles; a string may be padded with NUL bytes.
        Numbered{
            "text_subtitles",
            matroska(tracks(track(0x11, "S_TEXT/UTF8") + track(0x11, Bytes("S_TEXT/ASS\0", 11)) +
                            track(0x11, "D_WEBVTT/SUBTITLES") + track(0x11, "S_HDMV/PGS"))),
            std::vector{text_subtitle, text_subtitle, text_subtitle, subtitle}},
        Numbered{"a_track_without_codec", matroska(tracks(track(2, ""))), std::nullopt},
        Numbered{"an_attachment_without_data",
                 matroska(kMovieTracks + attachments(attached_file(false))), std::nullopt},
        Numbered{"two_track_lists", matroska(kMovieTracks + kMovieTracks), std::nullopt},
        Numbered{"no_track_list", matroska(kCluster), std::nullopt},
        Numbered{"cut_inside_the_tracks", matroska(kMovieTracks).substr(0, 60), std::nullopt},
        Numbered{"a_cluster_of_unknown_size",
                 matroska(element("\x1f\x43\xb6\x75", "", true) + kMovieTracks), std::nullopt},
        Numbered{"not_matroska",
                 Bytes("\0\0\0\x18"
                       "ftypisom",
                       12),
                 std::nullopt}),
    [](const testing::TestParamInfo<Numbered>& info) { return info.param.name; });

// A tag named NAME (nested in `inner` when given), as ffmpeg writes one: Tag > SimpleTag.
Bytes tags(const Bytes& name, const Bytes& inner = "") {
  Bytes simple = element("\x45\xa3", name) + element("\x44\x87", "01:00:00:00");
  if (!inner.empty()) simple = element("\x45\xa3", inner) + element("\x67\xc8", simple);
  return element("\x12\x54\xc3\x67", element("\x73\x73", element("\x67\xc8", simple)));
}

TEST(MatroskaTimecode, FoundByTagNameInAnyCaseAndAssumedWhereUnread) {
  const auto timecode = [](const Bytes& file) {
    MemorySource source(file);
    return matroska_may_hold_timecode(source);
  };
  EXPECT_TRUE(timecode(matroska(kMovieTracks + kCluster + tags("TIMECODE"))));
  EXPECT_TRUE(timecode(matroska(kMovieTracks + tags("timecode"))));
  EXPECT_FALSE(timecode(matroska(kMovieTracks + kCluster + tags("ENCODER"))));
  // ffmpeg names a nested tag after its parent too ("SOURCE/TIMECODE").
  EXPECT_FALSE(timecode(matroska(kMovieTracks + tags("TIMECODE", "SOURCE"))));
  EXPECT_TRUE(timecode(matroska(element("\x1f\x43\xb6\x75", "", true) + kMovieTracks)));
}

}  // namespace
}  // namespace fendral::mp4
