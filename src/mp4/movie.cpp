#include "mp4/movie.hpp"

#include <algorithm>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "mp4/boxes.hpp"
#include "mp4/fragments.hpp"
#include "mp4/track.hpp"

namespace fendral::mp4 {

namespace {

using boxes::box_type;
using boxes::BoxHeader;
using boxes::Bytes;
using boxes::Children;
using boxes::parse_header;

bool refers_to(const std::optional<Bytes>& references, std::uint32_t track_id) {
  if (!references) return false;
  for (std::size_t at = 0; at + 4 <= references->size(); at += 4) {
    if (boxes::be32(references->data() + at) == track_id) return true;
  }
  return false;
}

std::uint64_t fragmented_count(const std::vector<FragmentedSamples>& fragments,
                               std::uint32_t track_id) {
  for (const FragmentedSamples& samples : fragments) {
    if (samples.track_id == track_id) return samples.count;
  }
  return 0;
}

// The first child of `parent` of type `type`.
std::optional<Bytes> child_of(Bytes parent, std::uint32_t type) {
  Children children(parent);
  while (auto child = children.next()) {
    if (child->type == type) return child->payload;
  }
  return std::nullopt;
}

// The cover pictures' box of the movie's user data (udta/meta/ilst/covr).
std::optional<Bytes> covers_box(Bytes user_data) {
  auto meta = child_of(user_data, box_type("meta"));
  if (!meta) return std::nullopt;
  // MP4's meta is a full box (a version and flags first), QuickTime's is not: ffmpeg takes both.
  for (const std::size_t skipped : {std::size_t{4}, std::size_t{0}}) {
    if (meta->size() < skipped) continue;
    if (auto items = child_of(meta->subspan(skipped), box_type("ilst"))) {
      return child_of(*items, box_type("covr"));
    }
  }
  return std::nullopt;
}

bool holds_cover(Bytes user_data) {
  return covers_box(user_data).has_value();
}

expected<Movie, MovieFault> read_movie_box(Bytes movie_box, std::uint64_t file_size,
                                           const std::vector<FragmentedSamples>& fragments) {
  std::uint32_t movie_timescale = 0;
  bool has_movie_header = false;
  Movie movie{.tracks_known = true};
  std::vector<Track> tracks;
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
      tracks.push_back(read_track(child->payload));
    } else if (child->type == box_type("mvex")) {
      movie.fragmented = true;
    } else if (child->type == box_type("udta")) {
      movie.has_cover = movie.has_cover || holds_cover(child->payload);
    }
  }

  const auto is_chapter_track = [&](const Track& track) {
    return std::any_of(tracks.begin(), tracks.end(), [&](const Track& other) {
      return refers_to(other.chapter_references, track.track_id);
    });
  };
  bool any_usable = false;
  bool video_found = false;
  for (const Track& track : tracks) {
    if (!track.usable()) {
      // A track ffmpeg cannot place (a stopped clock) still holds packets the join must keep.
      if (track.handler != 0 && track.has_sample_table && !is_chapter_track(track)) {
        const std::uint64_t count = sample_timing(track).count;
        movie.tracks.push_back({track.handler, count, count, std::nullopt, track.enabled});
      }
      continue;
    }
    any_usable = true;
    // ffmpeg would read what a sample that lies past the end holds as missing: a segment cut
    // short where its media data starts still tiles the file.
    if (const auto end = media_end(track.layout); end && *end > file_size) {
      return unexpected(MovieFault::incomplete);
    }
    auto presented = presented_duration(track, movie_timescale);
    if (!presented) return unexpected(presented.error());
    if (is_chapter_track(track)) continue;
    const SampleTiming timing = sample_timing(track);
    const std::uint64_t fragmented_packets = fragmented_count(fragments, track.track_id);
    const std::uint64_t packets = timing.count + fragmented_packets;
    // A fragmented track's samples are not in its tables: all of them are taken as played.
    std::uint64_t played = packets;
    if (fragmented_packets == 0 && *presented) {
      played = played_samples(track, movie_timescale, **presented).value_or(packets);
    }
    std::optional<MediaDuration> last_sample;
    if (fragmented_packets == 0 && timing.count > 0) {
      last_sample = MediaDuration{timing.last, track.media->timescale};
    }
    movie.tracks.push_back({track.handler, packets, played, last_sample, track.enabled});
    if (packets > 0) {
      movie.has_video |= track.handler == kVideoHandler;
      movie.has_audio |= track.handler == kAudioHandler;
    }
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

// The movie box of a file whose top-level boxes tile it, and its fragments' boxes.
struct LoadedMovie {
  // The payload read whole; nothing when it is over kMovieBoxCap (then only its children's
  // headers are walked, for a track).
  std::optional<std::vector<unsigned char>> payload;
  std::uint64_t payload_offset = 0;  // in the file
  std::vector<BoxRange> fragments;
};

// Fails unless the top-level boxes tile the file and one of them is a movie box.
expected<LoadedMovie, MovieFault> load_movie_box(ByteSource& source) {
  std::optional<std::pair<std::uint64_t, std::uint64_t>> movie_box;  // payload offset, length
  LoadedMovie loaded;
  const auto tiled =
      walk_boxes(source, 0, source.size(), [&](const BoxHeader& header, std::uint64_t at) {
        if (header.type == box_type("moov") && !movie_box) {
          movie_box.emplace(at + header.header_length, header.size - header.header_length);
        } else if (header.type == box_type("moof")) {
          loaded.fragments.push_back(
              {at + header.header_length, header.size - header.header_length});
        }
        return true;
      });
  if (!tiled) return unexpected(tiled.error());
  if (!*tiled || !movie_box) return unexpected(MovieFault::incomplete);
  if (movie_box->second > kMovieBoxCap) {
    auto track = holds_track(source, movie_box->first, movie_box->second);
    if (!track) return unexpected(track.error());
    if (!*track) return unexpected(MovieFault::incomplete);
    return loaded;
  }
  std::vector<unsigned char> payload(static_cast<std::size_t>(movie_box->second));
  if (!source.read_at(movie_box->first, payload.data(), payload.size())) {
    return unexpected(MovieFault::read_failed);
  }
  loaded.payload = std::move(payload);
  loaded.payload_offset = movie_box->first;
  return loaded;
}

}  // namespace

expected<Movie, MovieFault> read_movie(ByteSource& source) {
  auto loaded = load_movie_box(source);
  if (!loaded) return unexpected(loaded.error());
  // Too large to be read here: ffmpeg is left to judge the file, once it has a track.
  if (!loaded->payload) return Movie{};
  std::vector<FragmentedSamples> fragmented;
  if (!loaded->fragments.empty()) {
    auto counted = fragmented_samples(source, loaded->fragments, kMovieBoxCap);
    if (!counted) return unexpected(counted.error());
    fragmented = std::move(*counted);
  }
  return read_movie_box(*loaded->payload, source.size(), fragmented);
}

expected<SampleTables, MovieFault> read_sample_tables(ByteSource& source) {
  auto loaded = load_movie_box(source);
  if (!loaded) return unexpected(loaded.error());
  SampleTables tables;
  if (!loaded->payload) return tables;
  std::optional<Clock> movie_clock;
  std::vector<Bytes> traks;
  Children children(*loaded->payload);
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
    if (rounded_up <= UINT64_MAX) {
      tables.stated_microseconds = static_cast<std::uint64_t>(rounded_up);
    }
  }
  // A fragmented file's samples lie in its fragments, not in the movie box's tables.
  if (!loaded->fragments.empty()) return tables;
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

namespace {

void put_be32(std::vector<unsigned char>& bytes, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<unsigned char>(value >> shift));
}

void put_be64(std::vector<unsigned char>& bytes, std::uint64_t value) {
  put_be32(bytes, static_cast<std::uint32_t>(value >> 32));
  put_be32(bytes, static_cast<std::uint32_t>(value));
}

// A chapter track's boxes whose times are on its media clock.
struct ClockedBoxes {
  std::optional<Bytes> media_header, sample_times, edit_list;
  bool composition_offsets = false;
};

ClockedBoxes clocked_boxes(Bytes trak) {
  ClockedBoxes found;
  if (auto edits = child_of(trak, box_type("edts")))
    found.edit_list = child_of(*edits, box_type("elst"));
  auto media = child_of(trak, box_type("mdia"));
  if (!media) return found;
  found.media_header = child_of(*media, box_type("mdhd"));
  auto information = child_of(*media, box_type("minf"));
  auto samples = information ? child_of(*information, box_type("stbl")) : std::nullopt;
  if (samples) {
    found.sample_times = child_of(*samples, box_type("stts"));
    found.composition_offsets = child_of(*samples, box_type("ctts")).has_value();
  }
  return found;
}

// The edits for one chapter track, appended to `edits`; false when a time does not divide.
bool restate(const ClockedBoxes& boxes, std::uint32_t timescale, std::uint64_t base,
             const unsigned char* movie_box, std::vector<ByteEdit>& edits) {
  const auto offset_of = [&](const unsigned char* at) {
    return base + static_cast<std::uint64_t>(at - movie_box);
  };
  if (!boxes.media_header || !boxes.sample_times || boxes.composition_offsets) return false;
  const Bytes header = *boxes.media_header;
  const bool wide = !header.empty() && header[0] == 1;
  const std::size_t clock_at = wide ? 20 : 12;
  if (header.empty() || header[0] > 1 || header.size() < clock_at + (wide ? 12 : 8)) return false;
  const std::uint32_t old_timescale = boxes::be32(header.data() + clock_at);
  if (old_timescale == timescale) return true;
  if (timescale == 0 || old_timescale % timescale != 0) return false;
  const std::uint32_t factor = old_timescale / timescale;
  const auto divides = [&](std::uint64_t ticks) { return ticks % factor == 0; };

  ByteEdit clock{.offset = offset_of(header.data() + clock_at), .bytes = {}};
  put_be32(clock.bytes, timescale);
  const std::uint64_t duration =
      wide ? boxes::be64(header.data() + clock_at + 4) : boxes::be32(header.data() + clock_at + 4);
  const bool unknown = duration == (wide ? UINT64_MAX : UINT32_MAX);
  if (!unknown && !divides(duration)) return false;
  const std::uint64_t restated = unknown ? duration : duration / factor;
  if (wide) {
    put_be64(clock.bytes, restated);
  } else {
    put_be32(clock.bytes, static_cast<std::uint32_t>(restated));
  }

  const auto entries = boxes::table_entries(*boxes.sample_times, 8);
  if (!entries) return false;
  ByteEdit times{.offset = offset_of(entries->data()), .bytes = {}};
  for (std::size_t at = 0; at < entries->size(); at += 8) {
    const std::uint32_t delta = boxes::be32(entries->data() + at + 4);
    if (!divides(delta)) return false;
    put_be32(times.bytes, boxes::be32(entries->data() + at));
    put_be32(times.bytes, delta / factor);
  }

  std::optional<ByteEdit> edit_list;
  if (boxes.edit_list) {
    const Bytes list = *boxes.edit_list;
    const bool wide_list = !list.empty() && list[0] == 1;
    const std::size_t entry_size = wide_list ? 20 : 12;
    const auto edit_entries = boxes::table_entries(list, entry_size);
    if (list.empty() || list[0] > 1 || !edit_entries) return false;
    edit_list.emplace(ByteEdit{.offset = offset_of(edit_entries->data()), .bytes = {}});
    for (std::size_t at = 0; at < edit_entries->size(); at += entry_size) {
      const unsigned char* entry = edit_entries->data() + at;
      const std::size_t time_at = wide_list ? 8 : 4;
      const std::uint64_t raw =
          wide_list ? boxes::be64(entry + time_at) : boxes::be32(entry + time_at);
      const bool empty_edit = raw == (wide_list ? UINT64_MAX : UINT32_MAX);
      if (!empty_edit && !divides(raw)) return false;
      const std::uint64_t media_time = empty_edit ? raw : raw / factor;
      edit_list->bytes.insert(edit_list->bytes.end(), entry, entry + time_at);
      if (wide_list) {
        put_be64(edit_list->bytes, media_time);
      } else {
        put_be32(edit_list->bytes, static_cast<std::uint32_t>(media_time));
      }
      edit_list->bytes.insert(edit_list->bytes.end(), entry + time_at + (wide_list ? 8 : 4),
                              entry + entry_size);
    }
  }
  edits.push_back(std::move(clock));
  edits.push_back(std::move(times));
  if (edit_list) edits.push_back(std::move(*edit_list));
  return true;
}

}  // namespace

std::vector<ByteEdit> chapter_clock_edits(ByteSource& source, std::uint32_t timescale) {
  auto loaded = load_movie_box(source);
  if (!loaded || !loaded->payload) return {};
  const Bytes movie_box(*loaded->payload);
  std::vector<std::pair<Bytes, Track>> tracks;
  Children children(movie_box);
  while (auto child = children.next()) {
    if (child->type == box_type("trak"))
      tracks.emplace_back(child->payload, read_track(child->payload));
  }
  std::vector<ByteEdit> edits;
  for (const auto& [trak, track] : tracks) {
    const bool chapters = std::any_of(tracks.begin(), tracks.end(), [&](const auto& other) {
      return refers_to(other.second.chapter_references, track.track_id);
    });
    if (!chapters) continue;
    if (!restate(clocked_boxes(trak), timescale, loaded->payload_offset, movie_box.data(), edits)) {
      return {};
    }
  }
  return edits;
}

std::vector<CoverPicture> cover_pictures(ByteSource& source) {
  auto loaded = load_movie_box(source);
  if (!loaded || !loaded->payload) return {};
  const Bytes movie_box(*loaded->payload);
  const auto user_data = child_of(movie_box, box_type("udta"));
  const auto covers = user_data ? covers_box(*user_data) : std::nullopt;
  if (!covers) return {};
  std::vector<CoverPicture> pictures;
  Children data(*covers);
  while (auto box = data.next()) {
    // A type (its well-known number in the flags' place) and a locale, then the image.
    if (box->type != box_type("data") || box->payload.size() <= 8) continue;
    const std::uint32_t type = boxes::be32(box->payload.data()) & 0xffffff;
    CoverPicture picture{
        .offset = loaded->payload_offset +
                  static_cast<std::uint64_t>(box->payload.data() + 8 - movie_box.data()),
        .size = box->payload.size() - 8,
        .mime_type = std::nullopt};
    if (type == 13) picture.mime_type = "image/jpeg";
    if (type == 14) picture.mime_type = "image/png";
    pictures.push_back(picture);
  }
  return pictures;
}

}  // namespace fendral::mp4
