// The concat script ffmpeg reads for a join: one line per segment naming it, followed by how
// long it lasts when that is known. Pure: nothing here opens a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mp4/movie.hpp"
#include "video/segment_times.hpp"

namespace fendral::video {

// Each line of a concat list is these around the quoted path.
inline constexpr std::string_view kLineStart = "file '";
inline constexpr std::string_view kLineEnd = "'\n";

// Quoting for a concat list line: ffmpeg reads '\'' inside quotes as one literal quote.
std::string quote_for_concat_list(std::string_view path);

// One segment of a join: its absolute path quoted for its line, and what reading it told.
struct ConcatEntry {
  std::string quoted_path;
  mp4::Movie movie;
};

// Whole microseconds as seconds for ffmpeg: "2", "0.88", "1.021678".
std::string seconds_text(std::uint64_t microseconds);

// How long a segment lasts in the joined file: its own duration stretched over the lead the
// next one hides. An open GOP's last frames are decoded with the next segment but shown before
// its first frame, so neither segment's duration covers them. A lead whose clock shares no
// common one with the duration within 64 bits is left out.
mp4::MediaDuration with_lead(const mp4::MediaDuration& duration,
                             const std::optional<mp4::MediaDuration>& lead);

struct ConcatScript {
  std::string text;
  std::uint64_t stated_microseconds = 0;  // the durations it states, summed
  // Where each entry starts in the joined file, in microseconds; nothing when an entry before
  // the last states no duration (ffmpeg then places what follows).
  std::optional<std::vector<std::uint64_t>> starts;
};

// concat_list.txt's lines, each followed by the segment's duration when it is known, so that
// each segment starts where the previous one's video ended rather than after its last audio
// frame. Segments in a row on one clock form a run: the durations are the differences of the
// run's ends, each end rounded once, so rounding to microseconds never adds up over many
// segments. A segment without a duration is placed by ffmpeg and ends the run.
//
// With `spans`, where each entry starts and ends in the source (one per entry), every entry but
// the last lasts until the next one starts: a segment's own span cannot tell how long its last
// frame is shown (at a variable frame rate it was 0.96 s of 1 s), the source's timeline can.
// That holds only for an entry whose own span agrees with its listed one within its longest
// frame; one that disagrees (a segment replaced since the split) lasts its own span. The last
// entry lasts its own span.
ConcatScript concat_script(const std::vector<ConcatEntry>& entries,
                           const std::vector<SegmentSpan>* spans = nullptr);

}  // namespace fendral::video
