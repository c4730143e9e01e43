#include "video/movie.hpp"

#include <limits>
#include <span>
#include <utility>
#include <vector>

namespace fendral::video {

namespace {

using Bytes = std::span<const unsigned char>;

constexpr std::uint32_t box_type(const char (&name)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(name[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[2])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[3]));
}

std::uint32_t be32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
}

std::uint64_t be64(const unsigned char* bytes) {
  return static_cast<std::uint64_t>(be32(bytes)) << 32 | be32(bytes + 4);
}

struct BoxHeader {
  std::uint32_t type;
  std::uint64_t size;  // header included
  std::uint32_t header_length;
};

// The header at the start of `bytes` (at most 16 of them), for a box that has `room` bytes to
// the end of whatever contains it. Nothing when the box is broken or does not fit: a size
// smaller than its own header, or one running past the container.
std::optional<BoxHeader> parse_header(Bytes bytes, std::uint64_t room) {
  if (room < 8 || bytes.size() < 8) return std::nullopt;
  BoxHeader header{be32(bytes.data() + 4), be32(bytes.data()), 8};
  if (header.size == 1) {  // 64-bit size after the type
    if (room < 16 || bytes.size() < 16) return std::nullopt;
    header.size = be64(bytes.data() + 8);
    header.header_length = 16;
  } else if (header.size == 0) {  // runs to the end of the container
    header.size = room;
  }
  if (header.size < header.header_length || header.size > room) return std::nullopt;
  return header;
}

struct Box {
  std::uint32_t type;
  Bytes payload;
};

// The boxes inside a payload held in memory, in order. Stops at the end or at the first box
// that does not fit; what follows it is not looked at.
class Children {
 public:
  explicit Children(Bytes payload) : rest_(payload) {}

  std::optional<Box> next() {
    auto header = parse_header(rest_.first(std::min<std::size_t>(rest_.size(), 16)), rest_.size());
    if (!header) return std::nullopt;
    const Box box{header->type,
                  rest_.subspan(header->header_length, header->size - header->header_length)};
    rest_ = rest_.subspan(header->size);
    return box;
  }

 private:
  Bytes rest_;
};

// The timescale of a movie or media header (mvhd, mdhd: same layout up to the duration), and
// the duration in it; nothing for a zero timescale or a duration marked unknown.
struct Clock {
  std::uint32_t timescale = 0;
  std::optional<std::uint64_t> duration;
};

std::optional<Clock> read_clock(Bytes payload) {
  if (payload.empty()) return std::nullopt;
  Clock clock;
  if (payload[0] == 0 && payload.size() >= 20) {
    clock.timescale = be32(payload.data() + 12);
    if (const std::uint32_t duration = be32(payload.data() + 16); duration != UINT32_MAX) {
      clock.duration = duration;
    }
  } else if (payload[0] == 1 && payload.size() >= 32) {
    clock.timescale = be32(payload.data() + 20);
    if (const std::uint64_t duration = be64(payload.data() + 24); duration != UINT64_MAX) {
      clock.duration = duration;
    }
  } else {
    return std::nullopt;
  }
  if (clock.timescale == 0) return std::nullopt;
  return clock;
}

struct Track {
  std::uint32_t handler = 0;
  std::optional<Clock> media;
  std::optional<Bytes> edit_list;
};

// A track's handler, media clock and edit list (trak > mdia > hdlr, mdhd; trak > edts > elst).
// The nesting is fixed, so the walk is a few loops, whatever the file holds.
Track read_track(Bytes trak) {
  Track track;
  Children children(trak);
  while (auto child = children.next()) {
    if (child->type == box_type("edts")) {
      Children edits(child->payload);
      while (auto edit = edits.next()) {
        if (edit->type == box_type("elst") && !track.edit_list) track.edit_list = edit->payload;
      }
    } else if (child->type == box_type("mdia")) {
      Children media(child->payload);
      while (auto part = media.next()) {
        if (part->type == box_type("mdhd") && !track.media) {
          track.media = read_clock(part->payload);
        } else if (part->type == box_type("hdlr") && part->payload.size() >= 12 &&
                   track.handler == 0) {
          track.handler = be32(part->payload.data() + 8);
        }
      }
    }
  }
  return track;
}

uint128 distance(uint128 a, uint128 b) {
  return a > b ? a - b : b - a;
}

// The span a track presents. Without an edit list, its media duration. With one, the sum of
// its edits: an empty edit (media time -1) presents its own length; an edit of the media is
// stated on the movie's clock, which is coarse (ffmpeg writes milliseconds), so where the
// media's own exact figure for the same span agrees with it to within one tick of that clock,
// the exact figure is taken: the media from the edit's start to its end, or the whole media
// duration (a video with B-frames starts its edit at the first frame's composition offset).
std::optional<Span> presented_span(const Track& track, std::uint32_t movie_timescale) {
  if (!track.media || !track.media->duration) return std::nullopt;
  const std::uint32_t media_timescale = track.media->timescale;
  const std::uint64_t media_duration = *track.media->duration;
  if (!track.edit_list) return Span{media_duration, media_timescale};
  const Bytes list = *track.edit_list;
  if (movie_timescale == 0 || list.size() < 8 || list[0] > 1) return std::nullopt;
  const bool wide = list[0] == 1;
  const std::size_t entry_size = wide ? 20 : 12;
  const std::uint32_t count = be32(list.data() + 4);
  if (count > (list.size() - 8) / entry_size) return std::nullopt;
  if (count == 0) return Span{media_duration, media_timescale};

  // Summed in ticks of movie_timescale * media_timescale, where both clocks are exact.
  uint128 total = 0;
  for (std::uint32_t index = 0; index < count; ++index) {
    const unsigned char* entry = list.data() + 8 + index * entry_size;
    const std::uint64_t length = wide ? be64(entry) : be32(entry);
    const std::int64_t media_time = wide ? static_cast<std::int64_t>(be64(entry + 8))
                                         : static_cast<std::int32_t>(be32(entry + 4));
    const uint128 stated = static_cast<uint128>(length) * media_timescale;
    if (media_time == -1) {
      total += stated;
      continue;
    }
    if (media_time < 0) return std::nullopt;
    uint128 chosen = stated;
    const auto start = static_cast<std::uint64_t>(media_time);
    for (const std::uint64_t exact :
         {start <= media_duration ? media_duration - start : UINT64_MAX, media_duration}) {
      const uint128 candidate = static_cast<uint128>(exact) * movie_timescale;
      if (exact != UINT64_MAX && distance(candidate, stated) < media_timescale) {
        chosen = candidate;
        break;
      }
    }
    total += chosen;
  }
  if (total > std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
  return Span{static_cast<std::uint64_t>(total),
              static_cast<std::uint64_t>(movie_timescale) * media_timescale};
}

constexpr std::uint32_t kVideoHandler = box_type("vide");

std::optional<Span> movie_duration(Bytes movie_box, std::size_t& track_count) {
  std::uint32_t movie_timescale = 0;
  std::vector<Bytes> traks;
  Children children(movie_box);
  while (auto child = children.next()) {
    if (child->type == box_type("mvhd") && movie_timescale == 0) {
      if (auto clock = read_clock(child->payload)) movie_timescale = clock->timescale;
    } else if (child->type == box_type("trak")) {
      traks.push_back(child->payload);
    }
  }
  track_count = traks.size();

  std::optional<Span> longest;
  for (const Bytes trak : traks) {
    const Track track = read_track(trak);
    const auto span = presented_span(track, movie_timescale);
    if (track.handler == kVideoHandler) return span;
    if (span && (!longest || microseconds(span->ticks, span->ticks_per_second) >
                                 microseconds(longest->ticks, longest->ticks_per_second)))
      longest = span;
  }
  return longest;
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
  // Too large to be read here: ffmpeg is left to judge the file.
  if (movie_box->second > kMovieBoxCap) return Movie{};

  std::vector<unsigned char> payload(static_cast<std::size_t>(movie_box->second));
  if (!source.read_at(movie_box->first, payload.data(), payload.size())) {
    return unexpected(MovieFault::read_failed);
  }
  std::size_t track_count = 0;
  Movie movie{movie_duration(payload, track_count)};
  if (track_count == 0) return unexpected(MovieFault::incomplete);
  return movie;
}

}  // namespace fendral::video
