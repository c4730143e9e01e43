// Cutting a file into numbered chunks and joining chunks back into a file.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "chunking/chunk_record.hpp"
#include "posix/file.hpp"

namespace fendral::chunking {

// Opens `path` to be read in chunks of `chunk_size` bytes. A size of 2**63 or more can never be
// allocated: an internal fault ("capacity overflow"), raised once the file has opened, after
// the open's own errors.
[[nodiscard]] Result<posix::UniqueFd> open_for_chunks(const std::string& path,
                                                      std::uint64_t chunk_size);

// Reads `path` whole as chunks of at most `chunk_size` bytes, numbered from 0.
[[nodiscard]] Result<std::vector<ChunkRecord>> deconstruct_file(const std::string& path,
                                                                std::uint64_t chunk_size);

// Writes the payloads in index order into `output_path`; stops at the first missing index.
[[nodiscard]] Result<void> reconstruct_file(std::span<const ChunkPiece> pieces,
                                            const std::string& output_path);

}  // namespace fendral::chunking
