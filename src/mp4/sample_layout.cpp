#include "mp4/sample_layout.hpp"

#include <algorithm>

#include "base/uint128.hpp"

namespace fendral::mp4 {

using boxes::be32;
using boxes::be64;
using boxes::Bytes;
using boxes::table_entries;

std::optional<std::uint64_t> media_end(const SampleLayout& layout) {
  if (!layout.sample_sizes || !layout.samples_per_chunk || !layout.chunk_offsets) {
    return std::nullopt;
  }
  // stsz: version and flags, a size shared by every sample (0: each has its own), the count.
  const Bytes sizes_box = *layout.sample_sizes;
  if (sizes_box.size() < 12) return std::nullopt;
  const std::uint32_t shared_size = be32(sizes_box.data() + 4);
  std::uint64_t samples_left = be32(sizes_box.data() + 8);
  Bytes own_sizes;
  if (shared_size == 0) {
    if (samples_left > (sizes_box.size() - 12) / 4) return std::nullopt;
    own_sizes = sizes_box.subspan(12, samples_left * 4);
  }
  const auto runs = table_entries(*layout.samples_per_chunk, 12);
  const std::size_t offset_size = layout.wide_offsets ? 8 : 4;
  const auto offsets = table_entries(*layout.chunk_offsets, offset_size);
  if (!runs || !offsets) return std::nullopt;
  const std::uint64_t chunk_count = offsets->size() / offset_size;

  uint128 end = 0;
  std::uint64_t chunk = 0;  // counted from 0; stsc counts from 1
  for (std::size_t run = 0; run < runs->size() / 12 && samples_left > 0; ++run) {
    const std::uint64_t first = be32(runs->data() + run * 12);
    const std::uint32_t per_chunk = be32(runs->data() + run * 12 + 4);
    const std::uint64_t next_first =
        run + 1 < runs->size() / 12 ? be32(runs->data() + (run + 1) * 12) : chunk_count + 1;
    if (first == 0 || first - 1 < chunk || next_first < first) return std::nullopt;
    chunk = first - 1;
    for (; chunk + 1 < next_first && chunk < chunk_count && samples_left > 0; ++chunk) {
      const unsigned char* entry = offsets->data() + chunk * offset_size;
      const std::uint64_t offset = layout.wide_offsets ? be64(entry) : be32(entry);
      const std::uint64_t taken = std::min<std::uint64_t>(per_chunk, samples_left);
      uint128 bytes = 0;
      if (shared_size != 0) {
        bytes = static_cast<uint128>(taken) * shared_size;
      } else {
        for (std::uint64_t sample = 0; sample < taken; ++sample) {
          bytes += be32(own_sizes.data() + sample * 4);
        }
        own_sizes = own_sizes.subspan(taken * 4);
      }
      samples_left -= taken;
      if (taken > 0) end = std::max(end, offset + bytes);
    }
  }
  constexpr uint128 kMax = UINT64_MAX;
  return static_cast<std::uint64_t>(std::min(end, kMax));
}

}  // namespace fendral::mp4
