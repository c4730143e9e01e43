#include "mp4/fragments.hpp"

#include <algorithm>

namespace fendral::mp4 {

using boxes::be32;
using boxes::box_type;
using boxes::Bytes;
using boxes::Children;

namespace {

void add_samples(std::vector<FragmentedSamples>& totals, std::uint32_t track_id,
                 std::uint64_t count) {
  auto found = std::find_if(totals.begin(), totals.end(), [&](const FragmentedSamples& total) {
    return total.track_id == track_id;
  });
  if (found == totals.end()) {
    totals.push_back({track_id, count});
  } else {
    found->count += count;
  }
}

}  // namespace

expected<std::vector<FragmentedSamples>, MovieFault> fragmented_samples(
    ByteSource& source, const std::vector<BoxRange>& fragments, std::uint64_t cap) {
  std::vector<FragmentedSamples> totals;
  std::vector<unsigned char> payload;
  for (const BoxRange& fragment : fragments) {
    if (fragment.length > cap) continue;
    payload.resize(static_cast<std::size_t>(fragment.length));
    if (!source.read_at(fragment.offset, payload.data(), payload.size())) {
      return unexpected(MovieFault::read_failed);
    }
    Children children{Bytes(payload)};
    while (auto child = children.next()) {
      if (child->type != box_type("traf")) continue;
      std::optional<std::uint32_t> track_id;
      std::uint64_t count = 0;
      Children parts(child->payload);
      while (auto part = parts.next()) {
        // Both full boxes: version and flags, then the track's number or the run's length.
        if (part->payload.size() < 8) continue;
        if (part->type == box_type("tfhd") && !track_id) {
          track_id = be32(part->payload.data() + 4);
        } else if (part->type == box_type("trun")) {
          count += be32(part->payload.data() + 4);
        }
      }
      if (track_id) add_samples(totals, *track_id, count);
    }
  }
  return totals;
}

}  // namespace fendral::mp4
