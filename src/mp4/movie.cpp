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
      movie.video_timescale = track.media->timescale;
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

}  // namespace

expected<Movie, MovieFault> read_movie(ByteSource& source) {
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
  // Too large to be read here: ffmpeg is left to judge the file, once it has a track.
  if (movie_box->second > kMovieBoxCap) {
    auto track = holds_track(source, movie_box->first, movie_box->second);
    if (!track) return unexpected(track.error());
    if (!*track) return unexpected(MovieFault::incomplete);
    return Movie{};
  }

  std::vector<unsigned char> payload(static_cast<std::size_t>(movie_box->second));
  if (!source.read_at(movie_box->first, payload.data(), payload.size())) {
    return unexpected(MovieFault::read_failed);
  }
  return read_movie_box(payload);
}

}  // namespace fendral::mp4
