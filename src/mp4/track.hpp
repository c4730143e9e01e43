// One track of a movie box: its kind, its clock, its edit list and the timing of its samples.
// Only what the join needs is read: how long the track presents, and how much of its media its
// edit list hides at the start.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/expected.hpp"
#include "mp4/boxes.hpp"
#include "mp4/media_time.hpp"
#include "mp4/sample_layout.hpp"

namespace fendral::mp4 {

inline constexpr std::uint32_t kVideoHandler = boxes::box_type("vide");
inline constexpr std::uint32_t kAudioHandler = boxes::box_type("soun");

// The clock of a movie or media header (mvhd, mdhd: same layout up to the duration): its
// timescale as written, and the duration in it unless marked unknown. Nothing when the header
// is too short or of an unknown version.
struct Clock {
  std::uint32_t timescale = 0;
  std::optional<std::uint64_t> duration;
};
std::optional<Clock> read_clock(boxes::Bytes payload);

struct Track {
  std::uint32_t track_id = 0;  // tkhd
  bool enabled = false;        // tkhd's flags: players show it unless told otherwise
  std::uint32_t handler = 0;
  std::optional<Clock> media;
  std::optional<boxes::Bytes> edit_list;             // elst
  std::optional<boxes::Bytes> sample_times;          // stts
  std::optional<boxes::Bytes> composition_offsets;   // ctts
  std::optional<boxes::Bytes> sync_samples;          // stss
  std::optional<boxes::Bytes> compact_sample_sizes;  // stz2 (stsz is in the layout)
  bool has_sample_table = false;
  SampleLayout layout;  // where the samples lie in the file
  // The track numbers of the chapter text tracks this one refers to (tref > chap).
  std::optional<boxes::Bytes> chapter_references;

  // ffmpeg places no media of a track without a running media clock, a handler and a sample
  // table: such a track is not there for the join.
  bool usable() const { return media && media->timescale != 0 && handler != 0 && has_sample_table; }
};

// trak > tkhd, tref > chap; trak > mdia > hdlr, mdhd, minf > stbl > stts, ctts, stss, stsz,
// stz2, stsc, stco or co64; trak > edts > elst. The nesting is fixed, so the walk is a few
// loops, whatever the file holds.
Track read_track(boxes::Bytes trak);

// How long a track presents, edit list applied; nothing when it cannot be told. Fails with
// MovieFault::incomplete when the edit list states lengths that do not fit 64 bits, which
// ffmpeg refuses and then drops the file.
expected<std::optional<MediaDuration>, MovieFault> presented_duration(
    const Track& track, std::uint32_t movie_timescale);

// How much media the edit list hides before the first frame it shows: the media time of its
// first media edit minus the earliest composition time of any sample, on the media clock.
// Nothing when that is not positive or cannot be read.
std::optional<MediaDuration> hidden_lead(const Track& track);

struct SampleTiming {
  std::uint64_t count = 0;
  std::uint32_t longest = 0;  // on the media clock
  std::uint32_t last = 0;     // the last sample's, on the media clock
};
// The number of samples and the longest of their durations, from the decoding times.
SampleTiming sample_timing(const Track& track);

// How many samples a player gets of a track with an edit list: those whose presentation
// overlaps what the edit shows (ffmpeg drops a sample that ends before the edit starts or starts
// at or after its end). Nothing without an edit list, for an edit list of more than one media
// edit, or for more samples than kPlayedSampleCap.
inline constexpr std::uint64_t kPlayedSampleCap = std::uint64_t{1} << 26;
// `presented` is the track's presented_duration.
std::optional<std::uint64_t> played_samples(const Track& track, std::uint32_t movie_timescale,
                                            const MediaDuration& presented);

// One sample as ffmpeg hands it on as a packet: times on the media clock, edit list applied.
struct Sample {
  std::int64_t decode_time = 0;
  std::int64_t presentation_time = 0;
  std::uint32_t duration = 0;
  std::uint32_t size = 0;
  bool sync = false;
};

struct TrackSamples {
  std::vector<Sample> samples;
  bool has_composition_offsets = false;
};

// Every sample of the track, in decoding order. Nothing where ffmpeg would not hand on one
// packet per sample as listed: samples of one constant size (ffmpeg groups them by chunk), an
// edit list of more than one media edit or one that starts past a later keyframe (it rebuilds
// the index, dropping samples), or tables that disagree.
// Allocates no more than the tables' own entries could describe.
std::optional<TrackSamples> read_samples(const Track& track, std::uint32_t movie_timescale);

}  // namespace fendral::mp4
