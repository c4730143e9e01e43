// Reading a file as an MP4 (ISO base media) file: checks that it is whole and tells how long it
// presents. Only box headers and the movie box are read, never the media data.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/expected.hpp"
#include "mp4/byte_source.hpp"
#include "mp4/media_time.hpp"
#include "mp4/track.hpp"

namespace fendral::mp4 {

// A movie box larger than this is not read: the file is taken as it is, without a duration.
inline constexpr std::uint64_t kMovieBoxCap = 64u << 20;

// The packets of one track, of the kind its handler names.
struct TrackPackets {
  std::uint32_t handler = 0;
  std::uint64_t packets = 0;
  // Of those, the packets a player gets once the edit list is applied (see played_samples).
  std::uint64_t played = 0;
  // How long its last sample lasts on its media clock, as the sample table states it; nothing
  // for a fragmented track or one without samples.
  std::optional<MediaDuration> last_sample;
  // Whether its header marks it enabled, which ffmpeg reads as the default disposition.
  bool enabled = false;
};

// How long the track's last packet lasts as ffmpeg reads it: its last sample's duration, but
// nothing for samples of one tick (uncompressed sound), which ffmpeg reads a chunk to a packet,
// or on no clock.
inline std::optional<MediaDuration> last_packet_duration(const TrackPackets& track) {
  const auto& last = track.last_sample;
  if (!last || last->ticks <= 1 || last->timescale == 0) return std::nullopt;
  return last;
}

struct Movie {
  // How long the file presents: its video track's duration, edit list applied, or the longest
  // track's when there is no video; nothing when no track tells.
  std::optional<MediaDuration> duration;
  // The longest sample of the track that gives the duration.
  std::optional<MediaDuration> longest_sample;
  // Media of the video track that its edit list hides at the start (see hidden_lead): frames
  // decoded with this file but shown before its first frame.
  std::optional<MediaDuration> hidden_lead;
  // The media clock of the video track.
  std::optional<std::uint32_t> video_timescale;
  // Whether the movie box was read (it is not when over kMovieBoxCap), and then whether it
  // holds a video or an audio track with samples.
  bool tracks_known = false;
  bool has_video = false;
  bool has_audio = false;
  // The usable tracks in file order, with their samples (those of the movie fragments
  // included); chapter text tracks, which the muxer rebuilds, are left out here and never give
  // the duration.
  std::vector<TrackPackets> tracks;
  // Whether the samples are in movie fragments: the movie box then states no duration.
  bool fragmented = false;
  // Whether the movie's metadata holds a cover picture (udta/meta/ilst/covr), which ffmpeg
  // shows as a video stream of its own.
  bool has_cover = false;
};

struct MovieTrack {
  std::uint32_t handler = 0;
  std::uint32_t timescale = 0;
  TrackSamples samples;
};

// What the movie box tells of every sample, for planning cuts without reading the media.
struct SampleTables {
  // The movie's duration as its header states it (what players and ffprobe show), in
  // microseconds rounded up; nothing when unknown.
  std::optional<std::uint64_t> stated_microseconds;
  // Every usable track in file order; nothing when one of them cannot be listed sample by
  // sample (see read_samples), or the movie box is over kMovieBoxCap.
  std::optional<std::vector<MovieTrack>> tracks;
};

// Reads the movie box of a file whose top-level boxes tile it, as read_movie does.
expected<SampleTables, MovieFault> read_sample_tables(ByteSource& source);

// A cover picture of the movie's metadata (udta/meta/ilst/covr/data): where its image lies in
// the file, and its MIME type; nothing for an image of another kind than JPEG and PNG.
struct CoverPicture {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::optional<std::string_view> mime_type;
};
// Every cover picture of the file, in order; none when it has none or cannot be read.
std::vector<CoverPicture> cover_pictures(ByteSource& source);

// Bytes to write over a file's own, at `offset`.
struct ByteEdit {
  std::uint64_t offset = 0;
  std::vector<unsigned char> bytes;
};

// The edits that restate every chapter text track of the file (one another track refers to
// through tref > chap) on the media clock `timescale`: its media header's clock and duration,
// its sample durations and its edits' media times, each divided exactly. None when there is no
// such track, it already runs on that clock, or one of its times is not a whole number of the
// new ticks (the file is then left as it is).
std::vector<ByteEdit> chapter_clock_edits(ByteSource& source, std::uint32_t timescale);

// Checks that the top-level boxes tile the file exactly (a size-0 box runs to the end and so
// can only be last), that a movie box holds at least one usable track and that no track's
// samples lie past the end of the file, then reads it.
expected<Movie, MovieFault> read_movie(ByteSource& source);

}  // namespace fendral::mp4
