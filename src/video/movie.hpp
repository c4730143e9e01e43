// Reading a segment as an MP4 (ISO base media) file: checks that it is whole and tells how long
// it presents. Pure C++: the bytes come through ByteSource, so nothing here knows of files.
// Only box headers and the movie box are read, never the media data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/expected.hpp"
#include "base/uint128.hpp"

namespace fendral::video {

// Random access to the bytes of one file.
class ByteSource {
 public:
  virtual std::uint64_t size() const = 0;
  // Fills `length` bytes from `offset`; false when they cannot be read (the source keeps why).
  virtual bool read_at(std::uint64_t offset, void* buffer, std::size_t length) = 0;

 protected:
  ~ByteSource() = default;
};

// An exact span of time: `ticks` of a clock running `ticks_per_second`.
struct Span {
  std::uint64_t ticks = 0;
  std::uint64_t ticks_per_second = 1;

  bool operator==(const Span&) const = default;
};

// `ticks` of a clock running `ticks_per_second`, in whole microseconds rounded to the nearest.
std::uint64_t microseconds(uint128 ticks, std::uint64_t ticks_per_second);

// A movie box larger than this is not read: the file is taken as it is, without a duration.
inline constexpr std::uint64_t kMovieBoxCap = 64u << 20;

enum class MovieFault {
  incomplete,   // boxes do not tile the file, no movie box with a usable track, or a broken clock
  read_failed,  // the source could not deliver bytes; it keeps the reason
};

struct Movie {
  // How long the segment presents: its video track's span, edit list applied, or the longest
  // track's when there is no video; nothing when no track tells.
  std::optional<Span> duration;
  // The longest sample of the track that gives the duration.
  std::optional<Span> longest_sample;
  // Media of the video track that its edit list hides at the start (see hidden_lead): frames
  // decoded with this file but shown before its first frame.
  std::optional<Span> hidden_lead;
  // Whether the movie box was read (it is not when over kMovieBoxCap), and then whether it
  // holds a video or an audio track with samples.
  bool tracks_known = false;
  bool has_video = false;
  bool has_audio = false;
};

// Checks that the top-level boxes tile the file exactly (a size-0 box runs to the end and so
// can only be last) and that a movie box holds at least one usable track, then reads it.
expected<Movie, MovieFault> read_movie(ByteSource& source);

}  // namespace fendral::video
