#include "mp4/movie.hpp"

#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "mp4/boxes.hpp"
#include "mp4/track.hpp"

namespace fendral::mp4 {

namespace {

using boxes::box_type;
using boxes::BoxHeader;
using boxes::Bytes;
using boxes::Children;
using boxes::parse_header;

expected<Movie, MovieFault> read_movie_box(Bytes movie_box) {
  std::uint32_t movie_timescale = 0;
  bool has_movie_header = false;
  std::vector<Bytes> traks;
  Children children(movie_box);
  while (auto child = children.next()) {
    if (child->type == box_type("mvhd") && !has_movie_header) {
      has_movie_header = true;
      if (auto clock = read_clock(child->payload)) {
        // ffmpeg divides by it: a stopped movie clock scrambles every edit of the file.
        if (clock->timescale == 0) return unexpected(MovieFault::incomplete);
        movie_timescale = clock->timescale;
      }
    } else if (child->type == box_type("trak")) {
      traks.push_back(child->payload);
    }
  }

  Movie movie{.tracks_known = true};
  bool any_usable = false;
  bool video_found = false;
  for (const Bytes trak : traks) {
    const Track track = read_track(trak);
    if (!track.usable()) continue;
    any_usable = true;
    const SampleTiming timing = sample_timing(track);
    if (timing.count > 0) {
      movie.has_video |= track.handler == kVideoHandler;
      movie.has_audio |= track.handler == kAudioHandler;
    }
    auto presented = presented_duration(track, movie_timescale);
    if (!presented) return unexpected(presented.error());
    if (video_found) continue;
    const MediaDuration longest_sample{timing.longest, track.media->timescale};
    if (track.handler == kVideoHandler) {
      video_found = true;
      movie.duration = *presented;
      movie.longest_sample = longest_sample;
      movie.hidden_lead = hidden_lead(track);
    } else if (*presented &&
               (!movie.duration || (*presented)->microseconds() > movie.duration->microseconds())) {
      movie.duration = *presented;
      movie.longest_sample = longest_sample;
    }
  }
  if (!any_usable) return unexpected(MovieFault::incomplete);
  return movie;
}

// The headers of the boxes that tile `length` bytes from `offset`, each handed to `visit` with
// its offset until it returns false. True when the walk ended there or at the end of the range,
// false at a header that is broken or does not fit.
template <class Visit>
expected<bool, MovieFault> walk_boxes(ByteSource& source, std::uint64_t offset,
                                      std::uint64_t length, Visit visit) {
  for (std::uint64_t at = 0; at < length;) {
    unsigned char bytes[16];
    const auto available = static_cast<std::size_t>(std::min<std::uint64_t>(16, length - at));
    if (!source.read_at(offset + at, bytes, available)) return unexpected(MovieFault::read_failed);
    const auto header = parse_header(Bytes(bytes, available), length - at);
    if (!header) return false;
    if (!visit(*header, offset + at)) return true;
    at += header->size;
  }
  return true;
}

// A movie box too large to be read whole: only its children's headers are walked, for a track.
expected<bool, MovieFault> holds_track(ByteSource& source, std::uint64_t offset,
                                       std::uint64_t length) {
  bool found = false;
  const auto walked = walk_boxes(source, offset, length, [&](const BoxHeader& header, auto) {
    found = header.type == box_type("trak");
    return !found;
  });
  if (!walked) return unexpected(walked.error());
  return found;
}

// The movie box's payload read whole, or nothing when it is over kMovieBoxCap (then only its
// children's headers are walked, for a track). Fails unless the top-level boxes tile the file
// and one of them is a movie box.
expected<std::optional<std::vector<unsigned char>>, MovieFault> load_movie_box(ByteSource& source) {
  std::optional<std::pair<std::uint64_t, std::uint64_t>> movie_box;  // payload offset, length
  const auto tiled =
      walk_boxes(source, 0, source.size(), [&](const BoxHeader& header, std::uint64_t at) {
        if (header.type == box_type("moov") && !movie_box) {
          movie_box.emplace(at + header.header_length, header.size - header.header_length);
        }
        return true;
      });
  if (!tiled) return unexpected(tiled.error());
  if (!*tiled || !movie_box) return unexpected(MovieFault::incomplete);
  if (movie_box->second > kMovieBoxCap) {
    auto track = holds_track(source, movie_box->first, movie_box->second);
    if (!track) return unexpected(track.error());
    if (!*track) return unexpected(MovieFault::incomplete);
    return std::nullopt;
  }
  std::vector<unsigned char> payload(static_cast<std::size_t>(movie_box->second));
  if (!source.read_at(movie_box->first, payload.data(), payload.size())) {
    return unexpected(MovieFault::read_failed);
  }
  return payload;
}

}  // namespace

expected<Movie, MovieFault> read_movie(ByteSource& source) {
  auto payload = load_movie_box(source);
  if (!payload) return unexpected(payload.error());
  // Too large to be read here: ffmpeg is left to judge the file.
  if (!*payload) return Movie{};
  return read_movie_box(**payload);
}

expected<SampleTables, MovieFault> read_sample_tables(ByteSource& source) {
  auto payload = load_movie_box(source);
  if (!payload) return unexpected(payload.error());
  SampleTables tables;
  if (!*payload) return tables;
  std::optional<Clock> movie_clock;
  std::vector<Bytes> traks;
  Children children(**payload);
  while (auto child = children.next()) {
    if (child->type == box_type("mvhd") && !movie_clock) {
      movie_clock = read_clock(child->payload);
    } else if (child->type == box_type("trak")) {
      traks.push_back(child->payload);
    }
  }
  if (movie_clock && movie_clock->timescale != 0 && movie_clock->duration) {
    const uint128 scaled = static_cast<uint128>(*movie_clock->duration) * 1'000'000;
    const uint128 rounded_up = (scaled + movie_clock->timescale - 1) / movie_clock->timescale;
    if (rounded_up <= UINT64_MAX)
      tables.stated_microseconds = static_cast<std::uint64_t>(rounded_up);
  }
  std::vector<MovieTrack> tracks;
  for (const Bytes trak : traks) {
    const Track track = read_track(trak);
    if (!track.usable()) continue;
    auto samples = read_samples(track, movie_clock ? movie_clock->timescale : 0);
    if (!samples) return tables;
    tracks.push_back({track.handler, track.media->timescale, std::move(*samples)});
  }
  tables.tracks = std::move(tracks);
  return tables;
}

}  // namespace fendral::mp4
