// Cutting a file into numbered chunks and joining chunks back into a file.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "chunking/chunk_record.hpp"

namespace fendral::chunking {

// Reads `path` whole as chunks of at most `chunk_size` bytes, numbered from 0.
Result<std::vector<ChunkRecord>> deconstruct_file(const std::string& path,
                                                  std::uint64_t chunk_size);

// Writes the payloads in index order into `output_path`; stops at the first missing index.
Result<void> reconstruct_file(std::span<const ChunkPiece> pieces, const std::string& output_path);

}  // namespace fendral::chunking
