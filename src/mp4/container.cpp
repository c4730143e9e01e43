#include "mp4/container.hpp"

#include <algorithm>
#include <array>

#include "mp4/boxes.hpp"

namespace fendral::mp4 {

bool is_quicktime(ByteSource& source) {
  using boxes::box_type;
  std::array<unsigned char, 12> head{};
  const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(source.size(), head.size()));
  if (length < 8 || !source.read_at(0, head.data(), length)) return false;
  const std::uint32_t type = boxes::be32(head.data() + 4);
  if (type == box_type("ftyp")) {
    return length == head.size() && boxes::be32(head.data() + 8) == box_type("qt  ");
  }
  for (const std::uint32_t top_level : {box_type("moov"), box_type("mdat"), box_type("wide"),
                                        box_type("free"), box_type("skip"), box_type("pnot")}) {
    if (type == top_level) return true;
  }
  return false;
}

bool is_matroska(ByteSource& source) {
  constexpr std::array<unsigned char, 4> kEbmlHeader = {0x1a, 0x45, 0xdf, 0xa3};
  std::array<unsigned char, 4> head{};
  return source.size() >= head.size() && source.read_at(0, head.data(), head.size()) &&
         head == kEbmlHeader;
}

}  // namespace fendral::mp4
