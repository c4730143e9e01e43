#include "video/concat_script.hpp"

#include "base/uint128.hpp"

namespace fendral::video {

std::string quote_for_concat_list(std::string_view path) {
  std::string quoted;
  quoted.reserve(path.size());
  for (char byte : path) {
    if (byte == '\'') {
      quoted.append("'\\''");
    } else {
      quoted.push_back(byte);
    }
  }
  return quoted;
}

std::string seconds_text(std::uint64_t microseconds) {
  std::string text = std::to_string(microseconds / 1'000'000);
  if (const std::uint64_t fraction = microseconds % 1'000'000; fraction != 0) {
    std::string digits = std::to_string(fraction);
    digits.insert(0, 6 - digits.size(), '0');
    digits.erase(digits.find_last_not_of('0') + 1);
    text += "." + digits;
  }
  return text;
}

mp4::MediaDuration with_lead(const mp4::MediaDuration& duration,
                             const std::optional<mp4::MediaDuration>& lead) {
  if (!lead) return duration;
  return duration.plus(*lead).value_or(duration);
}

namespace {

// Whether a segment's own span agrees with the span the split listed for it, within its longest
// frame (and a millisecond, for the list's rounding).
bool agrees_with_list(const mp4::Movie& movie, const SegmentSpan& listed) {
  if (!movie.duration || listed.end_microseconds < listed.start_microseconds) return false;
  const auto own = static_cast<std::int64_t>(movie.duration->microseconds());
  const std::int64_t frame =
      movie.longest_sample ? static_cast<std::int64_t>(movie.longest_sample->microseconds()) : 0;
  const std::int64_t difference = own - (listed.end_microseconds - listed.start_microseconds);
  return (difference < 0 ? -difference : difference) <= frame + 1000;
}

// The next entry starts where the stated durations so far end.
void stated_start(ConcatScript& script) {
  if (script.starts) script.starts->push_back(script.stated_microseconds);
}

// An entry with no stated duration: ffmpeg places the ones after it.
void unplaced_after(ConcatScript& script, bool followed) {
  if (followed) script.starts.reset();
}

ConcatScript script_from_spans(const std::vector<ConcatEntry>& entries,
                               const std::vector<SegmentSpan>& spans) {
  ConcatScript script;
  script.starts.emplace();
  for (std::size_t index = 0; index < entries.size(); ++index) {
    const ConcatEntry& entry = entries[index];
    script.text.append(kLineStart).append(entry.quoted_path).append(kLineEnd);
    stated_start(script);
    std::optional<std::uint64_t> lasts;
    const std::int64_t start = spans[index].start_microseconds;
    if (index + 1 < entries.size() && agrees_with_list(entry.movie, spans[index])) {
      if (spans[index + 1].start_microseconds > start) {
        lasts = static_cast<std::uint64_t>(spans[index + 1].start_microseconds - start);
      }
    } else if (entry.movie.duration) {
      // The last entry, or one changed since the split (it no longer lasts what the list says):
      // its own span, stretched over the lead the next one hides.
      lasts = index + 1 < entries.size()
                  ? with_lead(*entry.movie.duration, entries[index + 1].movie.hidden_lead)
                        .microseconds()
                  : entry.movie.duration->microseconds();
    }
    if (!lasts || *lasts == 0) {
      unplaced_after(script, index + 1 < entries.size());
      continue;
    }
    script.text.append("duration ").append(seconds_text(*lasts)).append("\n");
    script.stated_microseconds += *lasts;
  }
  return script;
}

}  // namespace

ConcatScript concat_script(const std::vector<ConcatEntry>& entries,
                           const std::vector<SegmentSpan>* spans) {
  if (spans && spans->size() == entries.size()) return script_from_spans(entries, *spans);
  ConcatScript script;
  script.starts.emplace();
  std::uint64_t timescale = 0;  // the clock of the current run of segments
  uint128 run_ticks = 0;
  std::uint64_t run_start = 0;  // microseconds
  std::uint64_t previous_end = 0;
  for (std::size_t index = 0; index < entries.size(); ++index) {
    const ConcatEntry& entry = entries[index];
    script.text.append(kLineStart).append(entry.quoted_path).append(kLineEnd);
    stated_start(script);
    if (!entry.movie.duration) {
      unplaced_after(script, index + 1 < entries.size());
      timescale = 0;  // ffmpeg places this one; the next run starts afresh
      previous_end = 0;
      continue;
    }
    const mp4::MediaDuration duration =
        index + 1 < entries.size()
            ? with_lead(*entry.movie.duration, entries[index + 1].movie.hidden_lead)
            : *entry.movie.duration;
    if (duration.timescale != timescale) {
      timescale = duration.timescale;
      run_ticks = 0;
      run_start = previous_end;
    }
    run_ticks += duration.ticks;
    const std::uint64_t end = run_start + mp4::rounded_microseconds(run_ticks, timescale);
    if (end <= previous_end) {
      unplaced_after(script, index + 1 < entries.size());
      continue;
    }
    script.text.append("duration ").append(seconds_text(end - previous_end)).append("\n");
    script.stated_microseconds += end - previous_end;
    previous_end = end;
  }
  return script;
}

}  // namespace fendral::video
