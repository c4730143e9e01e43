// The native record behind a Chunk: an index and the payload it owns.
#pragma once

#include <cstdint>

#include "posix/buffer.hpp"

namespace fendral::chunking {

struct ChunkRecord {
  std::uint64_t index = 0;
  posix::ByteBuffer payload;
};

// A payload borrowed from a Chunk that the caller keeps alive.
struct ChunkPiece {
  std::uint64_t index = 0;
  const unsigned char* data = nullptr;
  std::size_t size = 0;
};

}  // namespace fendral::chunking
