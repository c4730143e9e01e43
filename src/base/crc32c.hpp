// CRC-32C (Castagnoli): the checksum that object stores, iSCSI and many file systems use.
// Computed on the processor's CRC instructions where it has them (SSE4.2 on x86_64, the CRC
// extension on aarch64, chosen when first used), and from tables elsewhere.
//
//   std::uint32_t crc = crc32c::extend(0, first.data(), first.size());
//   crc = crc32c::extend(crc, second.data(), second.size());   // the CRC of first + second
//   crc == crc32c::combine(crc32c::of(first), crc32c::of(second), second.size());
#pragma once

#include <cstddef>
#include <cstdint>

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

// The two ways extend() may take, for tests and benchmarks: the table one works everywhere; the
// instruction one is null where the processor (or the build's target) has no CRC instructions.
std::uint32_t extend_with_tables(std::uint32_t crc, const unsigned char* data, std::size_t size);
ExtendFunction instruction_extend();

// "sse4.2", "armv8-crc" or "tables": which one extend() uses on this processor.
const char* implementation_name();

}  // namespace fendral::crc32c
