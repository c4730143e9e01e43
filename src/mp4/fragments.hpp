// The samples of a fragmented file (an .ismv, say), whose movie box holds none: each movie
// fragment (moof) adds runs of samples to tracks.
#pragma once

#include <cstdint>
#include <vector>

#include "base/expected.hpp"
#include "mp4/boxes.hpp"
#include "mp4/byte_source.hpp"
#include "mp4/media_time.hpp"

namespace fendral::mp4 {

struct FragmentedSamples {
  std::uint32_t track_id = 0;
  std::uint64_t count = 0;
};

struct BoxRange {
  std::uint64_t offset = 0;  // of the payload
  std::uint64_t length = 0;
};

// The samples the fragments hold, summed per track: moof > traf > tfhd (the track), trun (a run
// of samples). A fragment larger than `cap` is not read.
expected<std::vector<FragmentedSamples>, MovieFault> fragmented_samples(
    ByteSource& source, const std::vector<BoxRange>& fragments, std::uint64_t cap);

}  // namespace fendral::mp4
