#include "video/movie.hpp"

#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "video/boxes.hpp"
#include "video/track.hpp"

namespace fendral::video {

namespace {

using boxes::box_type;
using boxes::Bytes;
using boxes::Children;
using boxes::parse_header;

std::uint64_t span_microseconds(const Span& span) {
  return microseconds(span.ticks, span.ticks_per_second);
}

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
    auto span = presented_span(track, movie_timescale);
    if (!span) return unexpected(span.error());
    if (video_found) continue;
    const Span longest_sample{timing.longest, track.media->timescale};
    if (track.handler == kVideoHandler) {
      video_found = true;
      movie.duration = *span;
      movie.longest_sample = longest_sample;
      movie.hidden_lead = hidden_lead(track);
    } else if (*span && (!movie.duration ||
                         span_microseconds(**span) > span_microseconds(*movie.duration))) {
      movie.duration = *span;
      movie.longest_sample = longest_sample;
    }
  }
  if (!any_usable) return unexpected(MovieFault::incomplete);
  return movie;
}

// A movie box too large to be read whole: only its children's headers are walked, for a track.
expected<bool, MovieFault> holds_track(ByteSource& source, std::uint64_t offset,
                                       std::uint64_t length) {
  for (std::uint64_t at = 0; at < length;) {
    unsigned char bytes[16];
    const auto available = static_cast<std::size_t>(std::min<std::uint64_t>(16, length - at));
    if (!source.read_at(offset + at, bytes, available)) return unexpected(MovieFault::read_failed);
    const auto header = parse_header(Bytes(bytes, available), length - at);
    if (!header) return false;
    if (header->type == box_type("trak")) return true;
    at += header->size;
  }
  return false;
}

}  // namespace

std::uint64_t microseconds(uint128 ticks, std::uint64_t ticks_per_second) {
  constexpr uint128 kLimit = std::numeric_limits<uint128>::max() / 1'000'000;
  if (ticks > kLimit) return UINT64_MAX;
  const uint128 rounded = (ticks * 1'000'000 + ticks_per_second / 2) / ticks_per_second;
  return rounded > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(rounded);
}

expected<Movie, MovieFault> read_movie(ByteSource& source) {
  const std::uint64_t file_size = source.size();
  std::optional<std::pair<std::uint64_t, std::uint64_t>> movie_box;  // payload offset, length
  for (std::uint64_t offset = 0; offset < file_size;) {
    unsigned char bytes[16];
    const auto available =
        static_cast<std::size_t>(std::min<std::uint64_t>(16, file_size - offset));
    if (!source.read_at(offset, bytes, available)) return unexpected(MovieFault::read_failed);
    const auto header = parse_header(Bytes(bytes, available), file_size - offset);
    if (!header) return unexpected(MovieFault::incomplete);
    if (header->type == box_type("moov") && !movie_box) {
      movie_box.emplace(offset + header->header_length, header->size - header->header_length);
    }
    offset += header->size;
  }
  if (!movie_box) return unexpected(MovieFault::incomplete);
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

}  // namespace fendral::video
