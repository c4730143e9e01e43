#include "video/join_check.hpp"

#include <algorithm>
#include <utility>

#include "base/uint128.hpp"
#include "mp4/boxes.hpp"
#include "video/segment_file.hpp"

namespace fendral::video {

namespace {

// The kinds of track whose packets are counted, by handler. A timecode track and a chapter
// track are rebuilt by the muxer: their packets are not the segments'.
const char* kind_of(std::uint32_t handler) {
  switch (handler) {
    case mp4::boxes::box_type("vide"):
      return "video";
    case mp4::boxes::box_type("soun"):
      return "audio";
    case mp4::boxes::box_type("sbtl"):
    case mp4::boxes::box_type("subt"):
    case mp4::boxes::box_type("text"):
      return "subtitle";
    case mp4::boxes::box_type("meta"):
      return "data";
    default:
      return nullptr;
  }
}

// The packets of each track counted by kind and rank among the tracks of its kind (audio 0,
// audio 1, ...), in the order the kinds first appear.
struct RankedCount {
  const char* kind;
  std::size_t rank;
  std::uint64_t packets;
  std::uint64_t played;
};

void count_packets(const mp4::Movie& movie, std::vector<RankedCount>& counts) {
  std::vector<std::pair<const char*, std::size_t>> ranks;  // tracks of each kind so far
  for (const mp4::TrackPackets& track : movie.tracks) {
    const char* kind = kind_of(track.handler);
    if (!kind) continue;
    auto seen = std::find_if(ranks.begin(), ranks.end(),
                             [&](const auto& rank) { return rank.first == kind; });
    if (seen == ranks.end()) seen = ranks.insert(ranks.end(), {kind, 0});
    const std::size_t rank = seen->second++;
    auto counted = std::find_if(counts.begin(), counts.end(), [&](const RankedCount& count) {
      return count.kind == kind && count.rank == rank;
    });
    if (counted == counts.end()) {
      counts.push_back({kind, rank, track.packets, track.played});
    } else {
      counted->packets += track.packets;
      counted->played += track.played;
    }
  }
}

std::string packets_text(std::uint64_t packets) {
  return std::to_string(packets) + (packets == 1 ? " packet" : " packets");
}

// A track of the segments whose packets the joined file holds fewer of: ffmpeg takes the
// streams from the first segment and drops the packets of a segment whose track it cannot
// place (a stopped clock, an edit list that hides everything), both without an error.
std::optional<std::string> lost_packets(const mp4::Movie& joined,
                                        const std::vector<ConcatEntry>& entries) {
  std::vector<RankedCount> segments;
  for (const ConcatEntry& entry : entries) {
    if (!entry.movie.tracks_known) return std::nullopt;
    count_packets(entry.movie, segments);
  }
  std::vector<RankedCount> held;
  count_packets(joined, held);
  for (const RankedCount& expected : segments) {
    RankedCount found{expected.kind, expected.rank, 0, 0};
    for (const RankedCount& count : held) {
      if (count.kind == expected.kind && count.rank == expected.rank) found = count;
    }
    const std::string track =
        std::string(expected.kind) + " track " + std::to_string(expected.rank);
    if (found.packets < expected.packets) {
      return track + " holds " + packets_text(found.packets) + ", its segments " +
             std::to_string(expected.packets);
    }
    // What its edit list lets a player have: a sound cut short at the end is a loss too.
    if (found.played < expected.played) {
      return track + " plays " + packets_text(found.played) + ", its segments " +
             std::to_string(expected.played);
    }
  }
  return std::nullopt;
}

}  // namespace

std::string milliseconds_text(std::uint64_t microseconds) {
  const std::uint64_t milliseconds = microseconds / 1000 + (microseconds % 1000 >= 500 ? 1 : 0);
  std::string fraction = std::to_string(milliseconds % 1000);
  fraction.insert(0, 3 - fraction.size(), '0');
  return std::to_string(milliseconds / 1000) + "." + fraction;
}

std::optional<std::string> what_the_join_lost(const std::string& output_file,
                                              const std::vector<ConcatEntry>& entries,
                                              std::uint64_t stated_microseconds) {
  auto opened = posix::open_nonempty_regular_file(output_file);
  if (!opened) return std::nullopt;
  SegmentFile file(std::move(*opened));
  const auto joined = mp4::read_movie(file);
  if (!joined || !joined->tracks_known) return std::nullopt;

  struct Kind {
    const char* name;
    bool mp4::Movie::* held;
  };
  for (const Kind kind :
       {Kind{"video", &mp4::Movie::has_video}, Kind{"audio", &mp4::Movie::has_audio}}) {
    if ((*joined).*kind.held) continue;
    for (std::size_t index = 0; index < entries.size(); ++index) {
      if (entries[index].movie.*kind.held) {
        return std::string("no ") + kind.name + " track, segment " + std::to_string(index) +
               " has one";
      }
    }
  }
  if (auto lost = lost_packets(*joined, entries)) return lost;
  // A fragmented file's movie box states no duration; its packets were counted.
  if (joined->fragmented || !joined->duration || !joined->longest_sample) return std::nullopt;
  const std::uint64_t lasts = joined->duration->microseconds();
  const std::uint64_t longest_sample = joined->longest_sample->microseconds();
  if (uint128(lasts) + longest_sample >= stated_microseconds) return std::nullopt;
  return std::string("the joined ") + (joined->has_video ? "video" : "file") + " lasts " +
         milliseconds_text(lasts) + " s, its segments " + milliseconds_text(stated_microseconds) +
         " s";
}

}  // namespace fendral::video
