// Lengths of media time as the boxes state them, exact on the clock that states them, and the
// ways reading a movie can fail.
#pragma once

#include <cstdint>
#include <optional>

#include "base/uint128.hpp"

namespace fendral::mp4 {

// `ticks` in whole microseconds, rounded to the nearest, of a clock running `timescale` ticks a
// second (not 0); UINT64_MAX when that does not fit.
std::uint64_t rounded_microseconds(uint128 ticks, std::uint64_t timescale);

// An exact length of time: `ticks` of a clock running `timescale` ticks a second.
struct MediaDuration {
  std::uint64_t ticks = 0;
  std::uint64_t timescale = 1;

  bool operator==(const MediaDuration&) const = default;

  std::uint64_t microseconds() const { return rounded_microseconds(ticks, timescale); }

  // This length followed by `other`, on this clock when it counts `other`'s ticks exactly and
  // otherwise on the product of the two clocks. Adding nothing keeps the clock. Nothing when the
  // sum or its clock does not fit 64 bits, or when a clock is stopped.
  std::optional<MediaDuration> plus(const MediaDuration& other) const;
};

enum class MovieFault {
  incomplete,   // boxes do not tile the file, no movie box with a usable track, or a broken clock
  read_failed,  // the source could not deliver bytes; it keeps the reason
};

}  // namespace fendral::mp4
