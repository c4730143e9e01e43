// What a set of chunks held: the chunk size, the file's size, and the CRC32C of every chunk and
// of the whole file. Sent with the chunks, it lets the receiver tell a damaged, short or missing
// chunk by its index.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/crc32c.hpp"
#include "base/failure.hpp"
#include "chunking/chunk_record.hpp"

namespace fendral::chunking {

struct Manifest {
  std::uint64_t chunk_size = 0;       // at least 1
  std::uint64_t size = 0;             // bytes in the file
  std::vector<std::uint32_t> crc32c;  // one per chunk, in index order
  std::uint32_t file_crc32c = 0;      // of the whole file, combined from the chunks' CRCs
  // One per parity chunk (chunkset index count() + j), each chunk_size bytes; none without.
  std::vector<std::uint32_t> parity_crc32c;

  std::uint64_t count() const { return crc32c.size(); }
  std::uint64_t parity() const { return parity_crc32c.size(); }
  // The bytes chunk `index` holds: chunk_size for all but the last.
  std::uint64_t chunk_bytes(std::uint64_t index) const;

  bool operator==(const Manifest&) const = default;
};

// Builds a manifest from whole chunks handed over in index order, each chunk_size bytes but the
// last.
class ManifestBuilder {
 public:
  explicit ManifestBuilder(std::uint64_t chunk_size) : chunk_size_(chunk_size) {}
  void add(const unsigned char* data, std::size_t size);
  // A chunk of `size` bytes whose CRC is already known.
  void add_crc(std::uint32_t crc, std::uint64_t size);
  // The next parity chunk's CRC, after every data chunk.
  void add_parity_crc(std::uint32_t crc) { parity_crc32c_.push_back(crc); }
  // The manifest of the chunks added so far; refused for a chunk size of 0, with which a file of
  // any length gives no chunk.
  [[nodiscard]] Result<Manifest> build() const;

 private:
  std::uint64_t chunk_size_;
  std::uint64_t size_ = 0;
  std::vector<std::uint32_t> crc32c_;
  std::uint32_t file_crc32c_ = 0;
  std::vector<std::uint32_t> parity_crc32c_;
  // Made once a file has shown many chunks: a loop over tiny chunks spent most of its time
  // combining their CRCs.
  std::unique_ptr<const crc32c::FixedLengthCombine> combine_full_;
};

// The number of chunks of `chunk_size` (at least 1) that `size` bytes make.
std::uint64_t chunks_in(std::uint64_t size, std::uint64_t chunk_size);

// The manifest of a file whose chunks were checksummed elsewhere, its file CRC combined from
// theirs; refused (ValueError) for a chunk size of 0 or a number of CRCs that is not the
// number of chunks, or parity CRCs that no chunk set could have (check_parity_of).
[[nodiscard]] Result<Manifest> manifest_of_parts(std::uint64_t chunk_size, std::uint64_t size,
                                                 std::vector<std::uint32_t> crcs,
                                                 std::vector<std::uint32_t> parity_crcs = {});

// Refuses parity chunks with an odd chunk size, or more chunks than the code has elements.
[[nodiscard]] Result<void> check_parity_of(const Manifest& manifest);

// The CRC of the whole file, combined from the chunks' CRCs.
std::uint32_t combined_crc(const Manifest& manifest);

// The manifest of the file at `path` in chunks of `chunk_size`, read once, no chunk kept.
[[nodiscard]] Result<Manifest> manifest_of_file(const std::string& path, std::uint64_t chunk_size);

// The indices of the chunks of the file at `path` whose size or CRC differs from `manifest`'s,
// in order; a file shorter or longer than the manifest says differs in every chunk past the
// shorter end.
[[nodiscard]] Result<std::vector<std::uint64_t>> chunks_differing(const Manifest& manifest,
                                                                  const std::string& path);

// A ValueError naming the index and both values when `piece` is not the chunk the manifest
// lists at its index (a parity chunk's after the data chunks').
[[nodiscard]] Result<void> check_against(const Manifest& manifest, const ChunkPiece& piece);

// "0x" and eight lowercase hexadecimal digits, as Python's hex() writes a CRC (zero-padded).
std::string crc_text(std::uint32_t crc);

// The manifest as one line of JSON; manifest_from_json takes exactly what it writes, with any
// spacing and field order, and refuses anything else with a ValueError naming the field.
std::string manifest_to_json(const Manifest& manifest);
[[nodiscard]] Result<Manifest> manifest_from_json(std::string_view text);

}  // namespace fendral::chunking
