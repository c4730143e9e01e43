// The ISO base media box layout, as the MP4 reading needs it: big-endian numbers, box headers,
// and walking the boxes inside a payload held in memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace fendral::mp4::boxes {

using Bytes = std::span<const unsigned char>;

constexpr std::uint32_t box_type(const char (&name)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(name[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[2])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[3]));
}

inline std::uint32_t be32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
}

inline std::uint64_t be64(const unsigned char* bytes) {
  return static_cast<std::uint64_t>(be32(bytes)) << 32 | be32(bytes + 4);
}

// The entries of a full box that holds a count and then `entry_size`-byte entries; nothing when
// the count claims more than the box holds.
inline std::optional<Bytes> table_entries(Bytes payload, std::size_t entry_size) {
  if (payload.size() < 8) return std::nullopt;
  const std::uint32_t count = be32(payload.data() + 4);
  if (count > (payload.size() - 8) / entry_size) return std::nullopt;
  return payload.subspan(8, count * entry_size);
}

struct BoxHeader {
  std::uint32_t type;
  std::uint64_t size;  // header included
  std::uint32_t header_length;
};

// The header at the start of `bytes` (at most 16 of them), for a box that has `room` bytes to
// the end of whatever contains it. Nothing when the box is broken or does not fit: a size
// smaller than its own header, or one running past the container.
inline std::optional<BoxHeader> parse_header(Bytes bytes, std::uint64_t room) {
  if (room < 8 || bytes.size() < 8) return std::nullopt;
  BoxHeader header{be32(bytes.data() + 4), be32(bytes.data()), 8};
  if (header.size == 1) {  // 64-bit size after the type
    if (room < 16 || bytes.size() < 16) return std::nullopt;
    header.size = be64(bytes.data() + 8);
    header.header_length = 16;
  } else if (header.size == 0) {  // runs to the end of the container
    header.size = room;
  }
  if (header.size < header.header_length || header.size > room) return std::nullopt;
  return header;
}

struct Box {
  std::uint32_t type;
  Bytes payload;
};

// The boxes inside a payload held in memory, in order. Stops at the end or at the first box
// that does not fit; what follows it is not looked at.
class Children {
 public:
  explicit Children(Bytes payload) : rest_(payload) {}

  std::optional<Box> next() {
    auto header = parse_header(rest_.first(std::min<std::size_t>(rest_.size(), 16)), rest_.size());
    if (!header) return std::nullopt;
    const Box box{header->type,
                  rest_.subspan(header->header_length, header->size - header->header_length)};
    rest_ = rest_.subspan(header->size);
    return box;
  }

 private:
  Bytes rest_;
};

}  // namespace fendral::mp4::boxes
