// The Python class Chunk.
#pragma once

#include <vector>

#include "host/error.hpp"
#include "lib/chunk_record.hpp"

namespace fendral::lib {

// Creates the class (first call) and adds it to `module`.
host::HostResult<void> register_chunk_class(PyObject* module);

// A new list of new Chunk objects, the records' payloads moved in.
host::HostResult<host::OwnedRef> chunks_to_list(std::vector<ChunkRecord>&& records);

// Borrowed views of the Chunk objects of a sequence argument. `keep_alive` holds the objects
// so the payloads stay valid however the sequence changes.
struct BorrowedChunks {
  std::vector<host::OwnedRef> keep_alive;
  std::vector<ChunkPiece> pieces;
};
host::HostResult<BorrowedChunks> to_chunk_pieces(PyObject* sequence);

}  // namespace fendral::lib
