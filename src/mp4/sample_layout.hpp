// Where a track's samples lie in the file: their sizes, how they fill chunks, and where each
// chunk starts.
#pragma once

#include <cstdint>
#include <optional>

#include "mp4/boxes.hpp"

namespace fendral::mp4 {

struct SampleLayout {
  std::optional<boxes::Bytes> sample_sizes;       // stsz
  std::optional<boxes::Bytes> samples_per_chunk;  // stsc
  std::optional<boxes::Bytes> chunk_offsets;      // stco, or co64 when wide_offsets
  bool wide_offsets = false;
};

// One past the last byte of any sample: the largest end of a chunk, each chunk as long as the
// samples it holds. Nothing when the tables are missing or do not agree; 0 for no samples. The
// walk takes one step per chunk and, where sizes vary, one per sample, both bounded by the
// tables' own lengths.
std::optional<std::uint64_t> media_end(const SampleLayout& layout);

}  // namespace fendral::mp4
