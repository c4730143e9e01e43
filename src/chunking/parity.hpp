// Parity chunks: N chunks made from a file's data chunks such that any N of the count + N
// chunks can be lost and the data rebuilt from the rest. A systematic Cauchy code over
// GF(2^16): data chunk i is the field element i, parity chunk j the element 65535 - j, and
// symbol s of parity j is the sum over i of symbol s of data i divided by (i + (65535 - j)).
// Every square part of a Cauchy matrix can be inverted, so any N losses are within reach. The
// short last data chunk counts as filled with zeros to chunk_size; symbols are laid out in
// their chunks as gf65536.hpp says.
#pragma once

#include <cstdint>
#include <vector>

#include "base/failure.hpp"
#include "base/gf65536.hpp"
#include "chunking/manifest.hpp"
#include "chunking/parity_transform.hpp"
#include "posix/buffer.hpp"

namespace fendral::chunking {

// Data and parity chunks together are at most this many: one field element each.
inline constexpr std::uint64_t kMostCodedChunks = 65536;

// The coefficient of data chunk `data_index` in parity chunk `parity_index`.
std::uint16_t parity_coefficient(std::uint64_t data_index, std::uint64_t parity_index);

// Refuses an odd chunk size for a chunk set with parity: a symbol is two bytes.
[[nodiscard]] Result<void> check_symbol_size(std::uint64_t chunk_size);

// Refuses a parity that no file could use: an odd chunk size (a symbol is two bytes), more than
// kMostCodedChunks - 1 chunks, or parity chunks that cannot all be held in memory.
[[nodiscard]] Result<void> check_parity(std::uint64_t chunk_size, std::uint64_t parity);

// Makes the parity chunks of data chunks handed over in index order, by the transforms of
// parity_transform.hpp: data chunks batched in whole groups (a group and at least 8 MiB when
// chunks are small), copied in; for each cosets() x group_size() chunks of sums, of which the
// parity chunks are the last ones. Data chunks that share a coset with the parity (only in sets
// near the most chunks) are added to the parity coefficient by coefficient.
class ParityEncoder {
 public:
  // After check_parity(), with the order parity_order() chooses.
  ParityEncoder(std::uint64_t chunk_size, std::uint64_t parity);
  // With groups of 2^order chunks; order 0 makes every parity chunk coefficient by coefficient,
  // the same bytes (for tests and benchmarks).
  ParityEncoder(std::uint64_t chunk_size, std::uint64_t parity, unsigned order);
  // The next data chunk, `size` bytes (chunk_size but for the last). Refused once the data
  // chunks and the parity would be more than kMostCodedChunks.
  [[nodiscard]] Result<void> add(const unsigned char* data, std::size_t size);
  // The parity chunks, chunk_size bytes each; the encoder is spent.
  std::vector<posix::ByteBuffer> finish();

 private:
  void flush();
  void flush_by_coefficients();
  void flush_by_transforms();
  void sums_to_values();

  std::size_t chunk_size_;
  std::uint64_t parity_;
  ParityTransform transform_;
  // Per parity coset the coefficients of the sum of its groups' shares; then (by_coefficients_)
  // its values, the parity chunks among them.
  std::vector<posix::ByteBuffer> sums_;
  bool by_coefficients_ = false;
  posix::ByteBuffer batch_;
  std::size_t batch_capacity_;  // chunks
  std::size_t batched_ = 0;
  std::uint64_t added_ = 0;  // data chunks so far
};

// The order the encoder takes for `parity` parity chunks of `chunk_size` bytes: groups of the
// power of two at or above the parity (the sums as many chunks), or smaller ones while the sums
// and a group would not fit in memory; 0, the coefficients' way, when none does.
unsigned parity_order(std::uint64_t chunk_size, std::uint64_t parity);

// dst_j ^= sum over the sources k of coefficient(k, j) x source k, over `bytes` bytes (even) of
// each, for every destination j: strip by strip, so the strips of the sources stay in the cache
// while every destination takes them, on two threads when the work is large enough.
// `coefficients` holds sources.size() values for each destination, destination by destination.
void accumulate(const std::vector<unsigned char*>& destinations,
                const std::vector<const unsigned char*>& sources,
                const std::vector<std::uint16_t>& coefficients, std::size_t bytes);

// The inverse of the Cauchy matrix 1 / (x_r + y_c) (rows r, columns c), row by row, for
// distinct elements; from the closed form, in O(n^2).
std::vector<std::uint16_t> cauchy_inverse(const std::vector<std::uint16_t>& x,
                                          const std::vector<std::uint16_t>& y);

// Where the rebuild reads and writes: the chunk file (data chunk i at i x chunk_size) and the
// file of the parity chunks (parity j at j x chunk_size).
struct RebuildFiles {
  int data_fd;
  int parity_fd;
};

// Rebuilds the data chunks `missing` (in order) into the chunk file from the other data chunks
// and the first missing.size() of the parity chunks `present_parity`, and checks each rebuilt
// chunk's CRC against the manifest. Holds missing.size() chunks and a batch of data chunks.
[[nodiscard]] Result<void> rebuild_missing(const RebuildFiles& files, const Manifest& manifest,
                                           const std::vector<std::uint64_t>& missing,
                                           const std::vector<std::uint64_t>& present_parity);

}  // namespace fendral::chunking
