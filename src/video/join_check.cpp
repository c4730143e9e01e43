#include "video/join_check.hpp"

#include "base/uint128.hpp"
#include "video/segment_file.hpp"

namespace fendral::video {

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
  if (!joined->duration || !joined->longest_sample) return std::nullopt;
  const std::uint64_t lasts = joined->duration->microseconds();
  const std::uint64_t longest_sample = joined->longest_sample->microseconds();
  if (uint128(lasts) + longest_sample >= stated_microseconds) return std::nullopt;
  return std::string("the joined ") + (joined->has_video ? "video" : "file") + " lasts " +
         milliseconds_text(lasts) + " s, its segments " + milliseconds_text(stated_microseconds) +
         " s";
}

}  // namespace fendral::video
