#include "mp4/media_time.hpp"

#include <limits>

namespace fendral::mp4 {

std::uint64_t rounded_microseconds(uint128 ticks, std::uint64_t timescale) {
  constexpr uint128 kLimit = std::numeric_limits<uint128>::max() / 1'000'000;
  if (ticks > kLimit) return UINT64_MAX;
  const uint128 rounded = (ticks * 1'000'000 + timescale / 2) / timescale;
  return rounded > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(rounded);
}

std::optional<MediaDuration> MediaDuration::plus(const MediaDuration& other) const {
  if (other.ticks == 0) return *this;
  if (timescale == 0 || other.timescale == 0) return std::nullopt;
  uint128 sum_timescale = timescale;
  uint128 sum_ticks = ticks;
  if (timescale % other.timescale != 0) {
    sum_timescale *= other.timescale;
    sum_ticks *= other.timescale;
  }
  sum_ticks += static_cast<uint128>(other.ticks) * (sum_timescale / other.timescale);
  constexpr uint128 kMax = std::numeric_limits<std::uint64_t>::max();
  if (sum_timescale > kMax || sum_ticks > kMax) return std::nullopt;
  return MediaDuration{static_cast<std::uint64_t>(sum_ticks),
                       static_cast<std::uint64_t>(sum_timescale)};
}

}  // namespace fendral::mp4
