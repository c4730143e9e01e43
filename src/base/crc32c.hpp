// CRC-32C (Castagnoli): the checksum that object stores, iSCSI and many file systems use.
// Computed on the processor's CRC instructions where it has them (SSE4.2 on x86_64, the CRC
// extension on aarch64), with carry-less multiplication besides where that is faster, and from
// tables elsewhere: chosen when first used.
//
//   std::uint32_t crc = crc32c::extend(0, first.data(), first.size());
//   crc = crc32c::extend(crc, second.data(), second.size());   // the CRC of first + second
//   crc == crc32c::combine(crc32c::of(first), crc32c::of(second), second.size());
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace fendral::crc32c {

// The CRC of the bytes that gave `crc` followed by `data` (`crc` is 0 for none).
using ExtendFunction = std::uint32_t (*)(std::uint32_t crc, const unsigned char* data,
                                         std::size_t size);

std::uint32_t extend(std::uint32_t crc, const unsigned char* data, std::size_t size);

inline std::uint32_t of(const unsigned char* data, std::size_t size) {
  return extend(0, data, size);
}

// The CRC of a sequence A followed by B, from A's CRC, B's CRC and B's length, without the
// bytes: log2(size_b) steps of arithmetic on 32-bit values.
std::uint32_t combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t size_b);

// combine() for one length of B, again and again (the equal chunks of a file): four table
// look-ups a call instead of log2(size_b) multiplications, after 1024 to fill the tables.
class FixedLengthCombine {
 public:
  explicit FixedLengthCombine(std::uint64_t size_b);
  std::uint32_t operator()(std::uint32_t crc_a, std::uint32_t crc_b) const {
    return tables_[0][crc_a & 0xff] ^ tables_[1][(crc_a >> 8) & 0xff] ^
           tables_[2][(crc_a >> 16) & 0xff] ^ tables_[3][crc_a >> 24] ^ crc_b;
  }

 private:
  std::uint32_t tables_[4][256];
};

std::uint32_t extend_with_tables(std::uint32_t crc, const unsigned char* data, std::size_t size);

// The ways extend() can take on this processor, fastest first, which is the one it takes:
// "vpclmulqdq-512" and "vpclmulqdq" (x86_64 with carry-less multiplication on 512-bit and on
// 256-bit registers), "sse4.2" or "armv8-crc" (the CRC instruction), and "tables", which works
// everywhere. For tests and benchmarks.
struct Way {
  const char* name;
  ExtendFunction extend;
};
std::span<const Way> available_ways();

}  // namespace fendral::crc32c
