#include "mp4/track.hpp"

#include <algorithm>
#include <limits>

#include "base/uint128.hpp"

namespace fendral::mp4 {

namespace {

using boxes::be32;
using boxes::be64;
using boxes::box_type;
using boxes::Bytes;
using boxes::Children;

using boxes::table_entries;

struct Edit {
  std::uint64_t length;     // on the movie clock
  std::int64_t media_time;  // -1 for an empty edit
};

class EditList {
 public:
  static std::optional<EditList> read(Bytes payload) {
    if (payload.empty() || payload[0] > 1) return std::nullopt;
    const bool wide = payload[0] == 1;
    auto entries = table_entries(payload, wide ? 20 : 12);
    if (!entries) return std::nullopt;
    return EditList(*entries, wide);
  }

  std::size_t size() const { return entries_.size() / entry_size(); }
  Edit operator[](std::size_t index) const {
    const unsigned char* entry = entries_.data() + index * entry_size();
    if (wide_) return {be64(entry), static_cast<std::int64_t>(be64(entry + 8))};
    return {be32(entry), static_cast<std::int32_t>(be32(entry + 4))};
  }

 private:
  EditList(Bytes entries, bool wide) : entries_(entries), wide_(wide) {}
  std::size_t entry_size() const { return wide_ ? 20 : 12; }

  Bytes entries_;
  bool wide_;
};

uint128 distance(uint128 a, uint128 b) {
  return a > b ? a - b : b - a;
}

// The earliest composition time of any sample: decoding times from stts plus ctts offsets.
// Within a run where both stay constant the first sample is the earliest, so the walk takes as
// many steps as the two tables have entries.
std::optional<int128> earliest_composition(Bytes sample_times,
                                           std::optional<Bytes> composition_offsets) {
  auto times = table_entries(sample_times, 8);
  if (!times) return std::nullopt;
  Bytes offsets;
  if (composition_offsets) {
    auto entries = table_entries(*composition_offsets, 8);
    if (!entries) return std::nullopt;
    offsets = *entries;
  }
  std::optional<int128> earliest;
  int128 decoding_time = 0;
  std::uint64_t offset_run_left = 0;
  std::int32_t offset = 0;
  for (std::size_t at = 0; at < times->size(); at += 8) {
    std::uint64_t count = be32(times->data() + at);
    const std::uint32_t delta = be32(times->data() + at + 4);
    while (count > 0) {
      while (offset_run_left == 0 && !offsets.empty()) {
        offset_run_left = be32(offsets.data());
        offset = static_cast<std::int32_t>(be32(offsets.data() + 4));
        offsets = offsets.subspan(8);
      }
      const bool offset_applies = offset_run_left != 0;
      const std::uint64_t taken = offset_applies ? std::min(count, offset_run_left) : count;
      const int128 composition = decoding_time + (offset_applies ? offset : 0);
      if (!earliest || composition < *earliest) earliest = composition;
      decoding_time += static_cast<int128>(taken) * delta;
      count -= taken;
      if (offset_applies) offset_run_left -= taken;
    }
  }
  return earliest;
}

}  // namespace

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
  return clock;
}

Track read_track(Bytes trak) {
  Track track;
  Children children(trak);
  while (auto child = children.next()) {
    if (child->type == box_type("tkhd") && child->payload.size() >= 24) {
      // The track's number follows the version, the flags and two dates of 32 or 64 bits.
      const std::size_t at = child->payload[0] == 1 ? 20 : 12;
      track.track_id = be32(child->payload.data() + at);
      track.enabled = (child->payload[3] & 1) != 0;
    } else if (child->type == box_type("tref")) {
      Children references(child->payload);
      while (auto reference = references.next()) {
        if (reference->type == box_type("chap")) track.chapter_references = reference->payload;
      }
    } else if (child->type == box_type("edts")) {
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
        } else if (part->type == box_type("minf")) {
          Children information(part->payload);
          while (auto box = information.next()) {
            if (box->type != box_type("stbl") || track.has_sample_table) continue;
            track.has_sample_table = true;
            Children table(box->payload);
            while (auto entry = table.next()) {
              if (entry->type == box_type("stts") && !track.sample_times) {
                track.sample_times = entry->payload;
              } else if (entry->type == box_type("ctts") && !track.composition_offsets) {
                track.composition_offsets = entry->payload;
              } else if (entry->type == box_type("stss") && !track.sync_samples) {
                track.sync_samples = entry->payload;
              } else if (entry->type == box_type("stz2") && !track.compact_sample_sizes) {
                track.compact_sample_sizes = entry->payload;
              } else if (entry->type == box_type("stsz") && !track.layout.sample_sizes) {
                track.layout.sample_sizes = entry->payload;
              } else if (entry->type == box_type("stsc") && !track.layout.samples_per_chunk) {
                track.layout.samples_per_chunk = entry->payload;
              } else if (entry->type == box_type("stco") && !track.layout.chunk_offsets) {
                track.layout.chunk_offsets = entry->payload;
              } else if (entry->type == box_type("co64") && !track.layout.chunk_offsets) {
                track.layout.chunk_offsets = entry->payload;
                track.layout.wide_offsets = true;
              }
            }
          }
        }
      }
    }
  }
  return track;
}

// Without an edit list, the media duration. With one, the sum of its edits: an empty edit
// (media time -1) presents its own length; an edit of the media is stated on the movie's clock,
// which is coarse (ffmpeg writes milliseconds), so where the media's own exact figure for the
// same span agrees with it to within one tick of that clock, the exact figure is taken: the media
// from the edit's start to its end, or the whole media duration (a video with B-frames starts
// its edit at the first frame's composition offset). A list of empty edits only presents no
// media, so it tells no duration: a stated one would cover nothing.
expected<std::optional<MediaDuration>, MovieFault> presented_duration(
    const Track& track, std::uint32_t movie_timescale) {
  if (!track.media || !track.media->duration || track.media->timescale == 0) return std::nullopt;
  const std::uint32_t media_timescale = track.media->timescale;
  const std::uint64_t media_duration = *track.media->duration;
  if (!track.edit_list) return MediaDuration{media_duration, media_timescale};
  const auto edits = EditList::read(*track.edit_list);
  if (!edits || movie_timescale == 0) return std::nullopt;
  if (edits->size() == 0) return MediaDuration{media_duration, media_timescale};

  // Summed in ticks of movie_timescale * media_timescale, where both clocks are exact.
  uint128 total = 0;
  bool presents_media = false;
  for (std::size_t index = 0; index < edits->size(); ++index) {
    const Edit edit = (*edits)[index];
    // ffmpeg reads a length as a signed 64-bit number and refuses a negative one.
    if (edit.length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return unexpected(MovieFault::incomplete);
    }
    const uint128 stated = static_cast<uint128>(edit.length) * media_timescale;
    if (edit.media_time == -1) {
      total += stated;
      continue;
    }
    if (edit.media_time < 0) return std::nullopt;
    presents_media = true;
    uint128 chosen = stated;
    const auto start = static_cast<std::uint64_t>(edit.media_time);
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
  if (total > std::numeric_limits<std::uint64_t>::max()) return unexpected(MovieFault::incomplete);
  if (!presents_media) return std::nullopt;
  return MediaDuration{static_cast<std::uint64_t>(total),
                       static_cast<std::uint64_t>(movie_timescale) * media_timescale};
}

std::optional<MediaDuration> hidden_lead(const Track& track) {
  if (!track.media || track.media->timescale == 0 || !track.edit_list || !track.sample_times) {
    return std::nullopt;
  }
  const auto edits = EditList::read(*track.edit_list);
  if (!edits) return std::nullopt;
  std::optional<std::int64_t> shown_from;
  for (std::size_t index = 0; index < edits->size() && !shown_from; ++index) {
    const Edit edit = (*edits)[index];
    if (edit.media_time != -1) shown_from = edit.media_time;
  }
  if (!shown_from || *shown_from < 0) return std::nullopt;
  const auto earliest = earliest_composition(*track.sample_times, track.composition_offsets);
  if (!earliest) return std::nullopt;
  const int128 lead = static_cast<int128>(*shown_from) - *earliest;
  if (lead <= 0 || lead > static_cast<int128>(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  return MediaDuration{static_cast<std::uint64_t>(lead), track.media->timescale};
}

SampleTiming sample_timing(const Track& track) {
  SampleTiming timing;
  if (!track.sample_times) return timing;
  const auto times = table_entries(*track.sample_times, 8);
  if (!times) return timing;
  for (std::size_t at = 0; at < times->size(); at += 8) {
    const std::uint32_t count = be32(times->data() + at);
    if (count == 0) continue;
    timing.count += count;
    timing.longest = std::max(timing.longest, be32(times->data() + at + 4));
    timing.last = be32(times->data() + at + 4);
  }
  return timing;
}

namespace {

// The sizes from stsz (explicit ones only) or stz2; nothing for a constant size or a broken box.
std::optional<std::vector<std::uint32_t>> sample_sizes(const Track& track) {
  std::vector<std::uint32_t> sizes;
  if (track.layout.sample_sizes) {
    const Bytes box = *track.layout.sample_sizes;
    if (box.size() < 12 || be32(box.data() + 4) != 0) return std::nullopt;
    const std::uint32_t count = be32(box.data() + 8);
    if (count > (box.size() - 12) / 4) return std::nullopt;
    sizes.reserve(count);
    for (std::uint32_t index = 0; index < count; ++index) {
      sizes.push_back(be32(box.data() + 12 + 4 * index));
    }
    return sizes;
  }
  if (!track.compact_sample_sizes) return std::nullopt;
  const Bytes box = *track.compact_sample_sizes;
  if (box.size() < 12) return std::nullopt;
  const unsigned field_bits = box[7];
  const std::uint32_t count = be32(box.data() + 8);
  if ((field_bits != 4 && field_bits != 8 && field_bits != 16) ||
      count > (box.size() - 12) * 8 / field_bits) {
    return std::nullopt;
  }
  sizes.reserve(count);
  const unsigned char* fields = box.data() + 12;
  for (std::uint32_t index = 0; index < count; ++index) {
    if (field_bits == 16) {
      sizes.push_back(static_cast<std::uint32_t>(fields[2 * index]) << 8 | fields[2 * index + 1]);
    } else if (field_bits == 8) {
      sizes.push_back(fields[index]);
    } else {
      const unsigned char pair = fields[index / 2];
      sizes.push_back(index % 2 == 0 ? pair >> 4 : pair & 0x0F);
    }
  }
  return sizes;
}

// How far the edit list moves the media's times: back by the media time its one media edit
// starts at, on by the empty edits before it. Nothing for an edit list ffmpeg rebuilds the
// index for.
std::optional<std::int64_t> edit_shift(const Track& track, std::uint32_t movie_timescale) {
  if (!track.edit_list) return 0;
  const auto edits = EditList::read(*track.edit_list);
  if (!edits || movie_timescale == 0) return std::nullopt;
  int128 empty = 0;
  std::optional<std::int64_t> media_start;
  for (std::size_t index = 0; index < edits->size(); ++index) {
    const Edit edit = (*edits)[index];
    if (edit.media_time == -1 && !media_start) {
      empty += edit.length;
    } else if (edit.media_time < 0 || media_start) {
      return std::nullopt;
    } else {
      media_start = edit.media_time;
    }
  }
  const int128 shift = empty * track.media->timescale / movie_timescale - media_start.value_or(0);
  if (shift > std::numeric_limits<std::int32_t>::max() ||
      shift < std::numeric_limits<std::int32_t>::min()) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(shift);
}

}  // namespace

std::optional<std::uint64_t> played_samples(const Track& track, std::uint32_t movie_timescale,
                                            const MediaDuration& presented) {
  if (!track.edit_list || !track.usable() || !track.sample_times) return std::nullopt;
  const auto shift = edit_shift(track, movie_timescale);
  const auto times = table_entries(*track.sample_times, 8);
  if (!shift || !times) return std::nullopt;
  std::optional<Bytes> offsets;
  if (track.composition_offsets) {
    offsets = table_entries(*track.composition_offsets, 8);
    if (!offsets) return std::nullopt;
  }
  // A sample plays while its time t (on the media clock) is before the edit's end: t *
  // presented.timescale < presented.ticks * media timescale, both exact.
  const uint128 end = static_cast<uint128>(presented.ticks) * track.media->timescale;
  const std::uint64_t scale = presented.timescale;
  std::uint64_t seen = 0, played = 0;
  std::int64_t decode_time = *shift;
  std::size_t offset_at = 0;
  std::uint32_t offset_run = 0;
  std::int32_t offset = 0;
  for (std::size_t at = 0; at < times->size(); at += 8) {
    const std::uint32_t count = be32(times->data() + at);
    const std::uint32_t delta = be32(times->data() + at + 4);
    if (count > kPlayedSampleCap - seen) return std::nullopt;
    seen += count;
    for (std::uint32_t run = 0; run < count; ++run) {
      while (offsets && offset_run == 0 && offset_at < offsets->size()) {
        offset_run = be32(offsets->data() + offset_at);
        // Read as signed whatever the box's version says, as ffmpeg does.
        offset = static_cast<std::int32_t>(be32(offsets->data() + offset_at + 4));
        offset_at += 8;
      }
      std::int64_t presentation_time = decode_time;
      if (offset_run > 0) {
        presentation_time += offset;
        --offset_run;
      }
      const bool ends_after_start = presentation_time + static_cast<std::int64_t>(delta) > 0;
      const bool starts_before_end =
          presentation_time < 0 || static_cast<uint128>(presentation_time) * scale < end;
      if (ends_after_start && starts_before_end) ++played;
      decode_time += delta;
    }
  }
  return played;
}

std::optional<TrackSamples> read_samples(const Track& track, std::uint32_t movie_timescale) {
  if (!track.usable() || !track.sample_times) return std::nullopt;
  auto sizes = sample_sizes(track);
  const auto times = table_entries(*track.sample_times, 8);
  const auto shift = edit_shift(track, movie_timescale);
  if (!sizes || !times || !shift) return std::nullopt;

  TrackSamples result;
  result.samples.reserve(sizes->size());
  std::int64_t decode_time = *shift;
  for (std::size_t at = 0; at < times->size() && result.samples.size() < sizes->size(); at += 8) {
    const std::uint32_t count = be32(times->data() + at);
    const std::uint32_t delta = be32(times->data() + at + 4);
    for (std::uint32_t run = 0; run < count && result.samples.size() < sizes->size(); ++run) {
      const std::size_t index = result.samples.size();
      result.samples.push_back({.decode_time = decode_time,
                                .presentation_time = decode_time,
                                .duration = delta,
                                .size = (*sizes)[index],
                                .sync = !track.sync_samples});
      decode_time += delta;
    }
  }
  if (result.samples.size() != sizes->size()) return std::nullopt;

  if (track.composition_offsets) {
    const auto offsets = table_entries(*track.composition_offsets, 8);
    if (!offsets) return std::nullopt;
    std::size_t index = 0;
    for (std::size_t at = 0; at < offsets->size() && index < result.samples.size(); at += 8) {
      const std::uint32_t count = be32(offsets->data() + at);
      // Read as signed whatever the box's version says, as ffmpeg does.
      const auto offset = static_cast<std::int32_t>(be32(offsets->data() + at + 4));
      for (std::uint32_t run = 0; run < count && index < result.samples.size(); ++run) {
        result.samples[index++].presentation_time += offset;
        result.has_composition_offsets |= offset != 0;
      }
    }
  }
  if (track.sync_samples) {
    const auto numbers = table_entries(*track.sync_samples, 4);
    if (!numbers) return std::nullopt;
    for (std::size_t at = 0; at < numbers->size(); at += 4) {
      const std::uint32_t number = be32(numbers->data() + at);  // counted from 1
      if (number >= 1 && number <= result.samples.size()) result.samples[number - 1].sync = true;
    }
  }
  // An edit that starts past a later keyframe trims the media: ffmpeg drops the samples before
  // that keyframe, and every packet number after them would be off.
  for (std::size_t index = 1; index < result.samples.size(); ++index) {
    if (result.samples[index].sync && result.samples[index].presentation_time < 0) {
      return std::nullopt;
    }
  }
  return result;
}

}  // namespace fendral::mp4
