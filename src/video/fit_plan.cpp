#include "video/fit_plan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/uint128.hpp"

namespace fendral::video {

namespace {

constexpr std::uint64_t kMillion = 1'000'000;

// a / b rounded up, for b > 0 and any a.
int128 ceil_div(int128 a, int128 b) {
  const int128 quotient = a / b;
  return quotient * b < a ? quotient + 1 : quotient;
}

struct MediaTime {
  std::int64_t ticks = 0;
  std::uint32_t timescale = 1;
};

// Where ffmpeg's timeline starts, which the first segment starts at: the earliest first
// presentation of any track, but not before 0 (ffmpeg starts there whatever AAC's priming
// packet, hidden by its edit list, says).
MediaTime source_start(const PacketTable& table) {
  std::optional<MediaTime> earliest;
  for (const PacketTrack& track : table.tracks) {
    if (track.packets.empty()) continue;
    const MediaTime first{track.packets[0].presentation_time, track.timescale};
    if (!earliest || static_cast<int128>(first.ticks) * earliest->timescale <
                         static_cast<int128>(earliest->ticks) * first.timescale) {
      earliest = first;
    }
  }
  if (!earliest || earliest->ticks < 0) return MediaTime{};
  return *earliest;
}

// What a segment holds of one track: the packets from the one the segment starts with up to
// `next`, their bytes, and the latest time at which one of them ends.
struct TrackSpan {
  std::size_t next = 0;
  std::uint64_t bytes = 0;
  std::uint64_t samples = 0;
  std::optional<std::int64_t> begin;
  std::optional<std::int64_t> end;

  void take(const Packet& packet) {
    bytes += packet.size;
    ++samples;
    const std::int64_t packet_end = packet.presentation_time + packet.duration;
    begin = begin ? std::min(*begin, packet.presentation_time) : packet.presentation_time;
    end = end ? std::max(*end, packet_end) : packet_end;
  }
};

// A segment being grown, cut point by cut point. Packets of the first track belong to it by
// position; those of the others by decode time, as ffmpeg interleaves them: a packet decoded
// before the first track's cut packet is written before it, into the segment that ends there.
class GrowingSegment {
 public:
  // A segment starts at its first packet's presentation, the first segment where the source
  // does (`source_start`).
  // The first track's packets before `head_end` are re-encoded.
  GrowingSegment(const PacketTable& table, const std::vector<std::size_t>& positions,
                 std::size_t first_packet, const MediaTime& source_start, std::int64_t start_ticks,
                 std::size_t head_end = 0)
      : table_(&table),
        first_packet_(first_packet),
        head_end_(head_end),
        source_start_(source_start),
        start_(first_packet == 0 ? source_start
                                 : MediaTime{start_ticks, table.tracks[0].timescale}) {
    spans_.reserve(table.tracks.size());
    for (std::size_t track = 0; track < table.tracks.size(); ++track) {
      spans_.push_back(TrackSpan{.next = positions[track]});
    }
    spans_[0].next = first_packet;
  }

  // Takes every packet up to the first track's packet `cut` (the end of the table when `cut`
  // is its size).
  void extend_to(std::size_t cut) {
    const PacketTrack& reference = table_->tracks[0];
    while (spans_[0].next < cut) {
      const Packet& packet = reference.packets[spans_[0].next++];
      if (spans_[0].next <= head_end_) head_bytes_ += packet.size;
      spans_[0].take(packet);
    }
    const bool to_the_end = cut >= reference.packets.size();
    for (std::size_t index = 1; index < spans_.size(); ++index) {
      const PacketTrack& track = table_->tracks[index];
      TrackSpan& span = spans_[index];
      while (span.next < track.packets.size() &&
             (to_the_end || before(track.packets[span.next].decode_time, track.timescale,
                                   reference.packets[cut].decode_time, reference.timescale))) {
        span.take(track.packets[span.next++]);
      }
    }
  }

  std::vector<std::size_t> positions() const {
    std::vector<std::size_t> next;
    for (const TrackSpan& span : spans_) next.push_back(span.next);
    return next;
  }

  std::size_t end_packet() const { return spans_[0].next; }

  PlannedSegment planned(const ContainerOverhead& overhead) const {
    // Counted from the source's start, as ffmpeg's segment list counts (an MPEG-TS clock
    // starts anywhere).
    const int128 start_numerator = static_cast<int128>(start_.ticks) * source_start_.timescale -
                                   static_cast<int128>(source_start_.ticks) * start_.timescale;
    PlannedSegment segment{.first_packet = first_packet_,
                           .start_microseconds = static_cast<std::int64_t>(ceil_div(
                               start_numerator * kMillion,
                               static_cast<int128>(start_.timescale) * source_start_.timescale))};
    std::uint64_t samples = 0;
    std::uint64_t offset_samples = 0;
    int128 longest_milliseconds = 0;
    for (std::size_t index = 0; index < spans_.size(); ++index) {
      const TrackSpan& span = spans_[index];
      const PacketTrack& track = table_->tracks[index];
      segment.payload_bytes += span.bytes;
      samples += span.samples;
      if (track.has_composition_offsets) offset_samples += span.samples;
      if (span.end)
        longest_milliseconds = std::max(longest_milliseconds, end_after_start(index, 1000));
    }
    segment.duration_microseconds = static_cast<std::uint64_t>(longest_milliseconds) * 1000;
    segment.samples = samples;
    segment.offset_samples = offset_samples;
    if (head_end_ > first_packet_) {
      segment.head_source_bytes = head_bytes_;
      const auto scaled = [&](std::uint64_t bytes) {
        return static_cast<std::uint64_t>(
            std::ceil(static_cast<double>(bytes) * overhead.head_scale));
      };
      segment.head_estimated_bytes = head_estimate(overhead, scaled);
    }
    segment.estimated_bytes = segment.payload_bytes - segment.head_source_bytes +
                              segment.head_estimated_bytes + overhead.fixed +
                              overhead.per_sample * samples +
                              overhead.per_offset_sample * offset_samples;
    return segment;
  }

  // What the head takes re-encoded: as measured where it was to these frames; from the first
  // frames of its longest encode, scaled by what an encode to the nearest other length took
  // against the same frames of it (an encode's last frames come out apart from the same frames
  // of a longer one); otherwise the estimate, or a measure of fewer of its frames with the rest
  // scaled, whichever is less.
  template <typename Scaled>
  std::uint64_t head_estimate(const ContainerOverhead& overhead, const Scaled& scaled) const {
    const std::uint64_t frames = std::min(spans_[0].next, head_end_) - first_packet_;
    const MeasuredHead* longest = nullptr;
    for (const MeasuredHead& head : overhead.measured_heads) {
      if (head.first_packet != first_packet_) continue;
      if (head.frames == frames) return head.written_bytes;
      if (head.frame_bytes.size() > frames &&
          (!longest || head.frame_bytes.size() > longest->frame_bytes.size())) {
        longest = &head;
      }
    }
    if (longest) {
      const auto first_frames = [&](std::uint64_t count) {
        std::uint64_t taken = 0;
        for (std::size_t frame = 0; frame < count; ++frame) taken += longest->frame_bytes[frame];
        return taken;
      };
      const MeasuredHead* nearest = nullptr;
      const auto distance = [&](const MeasuredHead& head) {
        return head.frames > frames ? head.frames - frames : frames - head.frames;
      };
      for (const MeasuredHead& head : overhead.measured_heads) {
        if (head.first_packet == first_packet_ && head.frames < longest->frame_bytes.size() &&
            (!nearest || distance(head) < distance(*nearest))) {
          nearest = &head;
        }
      }
      const double ratio =
          nearest
              ? static_cast<double>(nearest->written_bytes) /
                    static_cast<double>(std::max<std::uint64_t>(first_frames(nearest->frames), 1))
              : 1.0;
      return static_cast<std::uint64_t>(
          std::ceil(static_cast<double>(first_frames(frames)) * ratio));
    }
    std::uint64_t estimate = overhead.head_fixed + scaled(head_bytes_);
    for (const MeasuredHead& head : overhead.measured_heads) {
      if (head.first_packet == first_packet_ && head.source_bytes <= head_bytes_) {
        estimate = std::min(estimate, head.written_bytes + scaled(head_bytes_ - head.source_bytes));
      }
    }
    return estimate;
  }

  // How long the first track's packets play, from the earliest to the latest, in microseconds
  // rounded up: what a refused stretch lasts even where the source's start hides some of it
  // (AAC's priming packet).
  std::uint64_t reference_microseconds() const {
    const TrackSpan& span = spans_[0];
    if (!span.end) return 0;
    return static_cast<std::uint64_t>(ceil_div(
        static_cast<int128>(*span.end - *span.begin) * kMillion, table_->tracks[0].timescale));
  }

  // From the segment's start to where the first track's last packet ends, in microseconds
  // rounded up.
  std::uint64_t reference_end_microseconds() const {
    if (!spans_[0].end) return 0;
    return static_cast<std::uint64_t>(std::max<int128>(0, end_after_start(0, kMillion)));
  }

  // Whether the segment runs to the end of the first track, every other track's rest with it.
  bool reaches_the_end() const { return spans_[0].next >= table_->tracks[0].packets.size(); }

  // From the segment's start to where the latest packet of the other tracks ends, in whole
  // milliseconds rounded up as the segment's duration is; 0 for none.
  std::uint64_t others_end_microseconds() const {
    int128 longest_milliseconds = 0;
    for (std::size_t index = 1; index < spans_.size(); ++index) {
      if (spans_[index].end) {
        longest_milliseconds = std::max(longest_milliseconds, end_after_start(index, 1000));
      }
    }
    return static_cast<std::uint64_t>(longest_milliseconds) * 1000;
  }

 private:
  // From the segment's start to where track `index`'s packets end (it has some), in units of
  // 1/`per_second` s rounded up: end / track clock - start / its clock.
  int128 end_after_start(std::size_t index, std::int64_t per_second) const {
    const std::uint32_t timescale = table_->tracks[index].timescale;
    const int128 numerator = static_cast<int128>(*spans_[index].end) * start_.timescale -
                             static_cast<int128>(start_.ticks) * timescale;
    return ceil_div(numerator * per_second, static_cast<int128>(timescale) * start_.timescale);
  }

  // a / a_clock < b / b_clock, exactly.
  static bool before(std::int64_t a, std::uint32_t a_clock, std::int64_t b, std::uint32_t b_clock) {
    return static_cast<int128>(a) * b_clock < static_cast<int128>(b) * a_clock;
  }

  const PacketTable* table_;
  std::size_t first_packet_;
  std::size_t head_end_;
  std::uint64_t head_bytes_ = 0;
  MediaTime source_start_;
  MediaTime start_;
  std::vector<TrackSpan> spans_;
};

bool fits(const PlannedSegment& segment, const FitCaps& caps) {
  return (!caps.max_microseconds || segment.duration_microseconds <= *caps.max_microseconds) &&
         (!caps.max_bytes || segment.estimated_bytes <= *caps.max_bytes);
}

// `units` / `scale` with `decimals` digits after the point, rounded to the nearest.
std::string fixed_text(std::int64_t units, std::uint64_t scale, int decimals) {
  std::uint64_t step = scale;
  for (int digit = 0; digit < decimals; ++digit) step /= 10;
  const bool negative = units < 0;
  const std::uint64_t magnitude = static_cast<std::uint64_t>(negative ? -units : units);
  const std::uint64_t rounded = (magnitude + step / 2) / step;
  std::uint64_t power = 1;
  for (int digit = 0; digit < decimals; ++digit) power *= 10;
  std::string text = (negative && rounded != 0 ? "-" : "") + std::to_string(rounded / power);
  if (decimals == 0) return text;
  const std::string fraction = std::to_string(rounded % power);
  return text + "." + std::string(static_cast<std::size_t>(decimals) - fraction.size(), '0') +
         fraction;
}

// A measure that breaks a cap, with as many decimals as it takes to show that it does (one at
// least, six at most).
std::string exceeding_text(std::uint64_t value, std::uint64_t scale,
                           std::optional<std::uint64_t> cap) {
  int decimals = 1;
  for (std::uint64_t step = scale / 10; decimals < 6; step /= 10, ++decimals) {
    const std::uint64_t rounded = (value + step / 2) / step;
    // Two significant digits at least, and as many as it takes to show the cap is broken.
    if (rounded >= 10 && (!cap || value <= *cap || rounded * step > *cap)) break;
  }
  return fixed_text(static_cast<std::int64_t>(value), scale, decimals);
}

std::string shortest_text(std::uint64_t units, std::uint64_t scale, int least_decimals) {
  int decimals = 6;
  std::uint64_t step = 1;
  while (decimals > least_decimals && units % (step * 10) == 0 && step * 10 <= scale) {
    step *= 10;
    --decimals;
  }
  return fixed_text(static_cast<std::int64_t>(units), scale, decimals);
}

std::string refusal(const PacketTable& table, const GrowingSegment& growing, const FitCaps& caps,
                    const ContainerOverhead& overhead) {
  const PlannedSegment stretch = growing.planned(overhead);
  const bool video = table.tracks[0].kind == StreamKind::video;
  std::string text = video ? "the picture group at " : "the audio packet at ";
  text += fixed_text(stretch.start_microseconds, kMillion, 3) + " s lasts ";
  const std::uint64_t lasts =
      std::max(stretch.duration_microseconds, growing.reference_microseconds());
  text += exceeding_text(lasts, kMillion, caps.max_microseconds);
  // The segment muxer cuts on the pictures alone: a sound that runs on past the last one stays
  // with the last picture group.
  const std::uint64_t pictures_end = growing.reference_end_microseconds();
  const std::uint64_t sound_end = growing.others_end_microseconds();
  if (video && growing.reaches_the_end() && caps.max_microseconds &&
      pictures_end <= *caps.max_microseconds && sound_end > *caps.max_microseconds) {
    text += " s, its sound running on " + exceeding_text(sound_end - pictures_end, kMillion, {}) +
            " s past the last picture,";
  } else {
    text += " s";
  }
  text += " and holds " + exceeding_text(stretch.estimated_bytes, kMillion, caps.max_bytes);
  text += " MB; a segment can hold at most ";
  if (caps.max_microseconds) text += cap_seconds_text(*caps.max_microseconds) + " s";
  if (caps.max_microseconds && caps.max_bytes) text += " and ";
  if (caps.max_bytes) text += shortest_text(*caps.max_bytes, kMillion, 1) + " MB";
  return text + " without re-encoding";
}

// The slope of ys over xs by least squares, within [low, high]; `fallback` where the xs do not
// differ.
double fitted_slope(const std::vector<double>& xs, const std::vector<double>& ys, double fallback,
                    double low, double high) {
  const std::size_t count = std::min(xs.size(), ys.size());
  if (count < 2) return fallback;
  double mean_x = 0;
  double mean_y = 0;
  for (std::size_t index = 0; index < count; ++index) {
    mean_x += xs[index] / static_cast<double>(count);
    mean_y += ys[index] / static_cast<double>(count);
  }
  double covariance = 0;
  double variance = 0;
  for (std::size_t index = 0; index < count; ++index) {
    covariance += (xs[index] - mean_x) * (ys[index] - mean_y);
    variance += (xs[index] - mean_x) * (xs[index] - mean_x);
  }
  return variance > 0 ? std::clamp(covariance / variance, low, high) : fallback;
}

}  // namespace

std::vector<bool> copy_starts(const std::vector<Packet>& packets) {
  std::vector<std::int64_t> earliest_from(packets.size() + 1, INT64_MAX);
  for (std::size_t index = packets.size(); index-- > 0;) {
    earliest_from[index] = std::min(packets[index].presentation_time, earliest_from[index + 1]);
  }
  std::vector<bool> starts(packets.size(), false);
  std::int64_t latest_before = INT64_MIN;
  for (std::size_t index = 0; index < packets.size(); ++index) {
    starts[index] = packets[index].sync && latest_before < earliest_from[index] &&
                    packets[index].presentation_time == earliest_from[index];
    latest_before = std::max(latest_before, packets[index].presentation_time);
  }
  return starts;
}

std::string cap_seconds_text(std::uint64_t microseconds) {
  return shortest_text(microseconds, kMillion, 0);
}

expected<FitPlan, std::string> plan_fit(const PacketTable& table, const FitCaps& caps,
                                        const ContainerOverhead& overhead, CutAt cut_at) {
  if (table.tracks.empty() || table.tracks[0].packets.empty()) {
    return unexpected(std::string("the input holds no video or audio packet to cut on"));
  }
  const PacketTrack& reference = table.tracks[0];
  const std::vector<Packet>& packets = reference.packets;
  const bool any_clean_frame = cut_at == CutAt::clean_frames && reference.kind == StreamKind::video;
  // The earliest presentation from each packet on: a clean frame presents after every packet
  // decoded before it, and its segment starts at this earliest one.
  std::vector<std::int64_t> earliest_from(packets.size());
  for (std::size_t index = packets.size(); index-- > 0;) {
    earliest_from[index] = index + 1 < packets.size() ? std::min(packets[index].presentation_time,
                                                                 earliest_from[index + 1])
                                                      : packets[index].presentation_time;
  }
  std::vector<std::size_t> cut_points;
  std::int64_t latest_before = packets[0].presentation_time;
  for (std::size_t index = 1; index < packets.size(); ++index) {
    const bool clean = any_clean_frame && latest_before < earliest_from[index];
    if (reference.kind == StreamKind::audio || packets[index].sync || clean) {
      cut_points.push_back(index);
    }
    latest_before = std::max(latest_before, packets[index].presentation_time);
  }
  cut_points.push_back(packets.size());
  // A head runs up to the next keyframe a copy can start from (the end for none).
  std::vector<std::size_t> next_keyframe(packets.size() + 1, packets.size());
  for (std::size_t index = packets.size(); index-- > 0;) {
    next_keyframe[index] = reference.may_copy_from(index) ? index : next_keyframe[index + 1];
  }

  FitPlan plan;
  const MediaTime start = source_start(table);
  std::vector<std::size_t> positions(table.tracks.size(), 0);
  auto next_cut = cut_points.begin();
  std::size_t first_packet = 0;
  while (first_packet < packets.size()) {
    const std::int64_t start_ticks =
        any_clean_frame ? earliest_from[first_packet] : packets[first_packet].presentation_time;
    const std::size_t head_end =
        any_clean_frame && first_packet > 0 ? next_keyframe[first_packet] : first_packet;
    GrowingSegment segment(table, positions, first_packet, start, start_ticks, head_end);
    segment.extend_to(*next_cut++);
    PlannedSegment planned = segment.planned(overhead);
    if (!fits(planned, caps)) return unexpected(refusal(table, segment, caps, overhead));
    while (next_cut != cut_points.end()) {
      GrowingSegment longer = segment;
      longer.extend_to(*next_cut);
      const PlannedSegment longer_planned = longer.planned(overhead);
      if (!fits(longer_planned, caps)) break;
      segment = std::move(longer);
      planned = longer_planned;
      ++next_cut;
    }
    if (first_packet > 0) {
      planned.reencoded_frames =
          std::min(next_keyframe[first_packet], segment.end_packet()) - first_packet;
    }
    plan.segments.push_back(planned);
    positions = segment.positions();
    first_packet = segment.end_packet();
  }

  // The whole source as one stretch gives its length.
  GrowingSegment whole(table, std::vector<std::size_t>(table.tracks.size(), 0), 0, start, 0);
  whole.extend_to(packets.size());
  plan.total_microseconds = whole.planned(overhead).duration_microseconds;
  return plan;
}

ContainerOverhead measured_overhead(const FitPlan& plan, const std::vector<std::uint64_t>& sizes,
                                    const ContainerOverhead& estimate) {
  const std::size_t count = std::min(plan.segments.size(), sizes.size());
  // What each segment's boxes took, against what the estimate gave their tables.
  std::vector<double> tables;
  std::vector<double> boxes;
  for (std::size_t index = 0; index < count; ++index) {
    const PlannedSegment& segment = plan.segments[index];
    tables.push_back(static_cast<double>(estimate.per_sample * segment.samples +
                                         estimate.per_offset_sample * segment.offset_samples));
    boxes.push_back(static_cast<double>(sizes[index]) - static_cast<double>(segment.payload_bytes));
  }
  // The tables' real growth as a share of the estimated, over segments of different lengths.
  const double share = fitted_slope(tables, boxes, 1, 0.125, 1.0);
  const auto scaled = [share](std::uint64_t rate) {
    return static_cast<std::uint64_t>(std::ceil(static_cast<double>(rate) * share));
  };
  ContainerOverhead measured{.fixed = 0,
                             .per_sample = scaled(estimate.per_sample),
                             .per_offset_sample = scaled(estimate.per_offset_sample),
                             .head_fixed = estimate.head_fixed,
                             .head_scale = estimate.head_scale};
  // The fixed part that covers every segment measured.
  for (std::size_t index = 0; index < count; ++index) {
    const PlannedSegment& segment = plan.segments[index];
    const std::uint64_t growing = segment.payload_bytes + measured.per_sample * segment.samples +
                                  measured.per_offset_sample * segment.offset_samples;
    if (sizes[index] > growing) measured.fixed = std::max(measured.fixed, sizes[index] - growing);
  }
  return measured;
}

ContainerOverhead with_measured_heads(ContainerOverhead estimate,
                                      const std::vector<MeasuredHead>& heads) {
  if (heads.empty()) return estimate;
  std::vector<double> source;
  std::vector<double> written;
  for (const MeasuredHead& head : heads) {
    source.push_back(static_cast<double>(head.source_bytes));
    written.push_back(static_cast<double>(head.written_bytes));
  }
  // A head's keyframe dominates a short one, its frames' quality a long one: the slope as the
  // heads show it, the fixed part then what covers every one of them.
  estimate.head_scale = fitted_slope(source, written, estimate.head_scale, 0.5, 8.0);
  estimate.head_fixed = 0;
  for (const MeasuredHead& head : heads) {
    const auto scaled = static_cast<std::uint64_t>(
        std::ceil(static_cast<double>(head.source_bytes) * estimate.head_scale));
    if (head.written_bytes > scaled) {
      estimate.head_fixed = std::max(estimate.head_fixed, head.written_bytes - scaled);
    }
  }
  estimate.measured_heads = heads;
  return estimate;
}

std::string segment_frames_list(const FitPlan& plan) {
  std::string list;
  for (std::size_t index = 1; index < plan.segments.size(); ++index) {
    if (!list.empty()) list += ',';
    list += std::to_string(plan.segments[index].first_packet);
  }
  return list;
}

}  // namespace fendral::video
