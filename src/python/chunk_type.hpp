// The Python class Chunk.
#pragma once

#include <vector>

#include "chunking/chunk_record.hpp"
#include "python/error.hpp"

namespace fendral::python {

// Creates the class (first call) and adds it to `module`.
HostResult<void> register_chunk_class(PyObject* module);

// A new list of new Chunk objects, the records' payloads moved in.
HostResult<OwnedRef> chunks_to_list(std::vector<chunking::ChunkRecord>&& records);

// Borrowed views of the Chunk objects of a sequence argument. `keep_alive` holds the objects
// so the payloads stay valid however the sequence changes.
struct BorrowedChunks {
  std::vector<OwnedRef> keep_alive;
  std::vector<chunking::ChunkPiece> pieces;
};
HostResult<BorrowedChunks> to_chunk_pieces(PyObject* sequence);

}  // namespace fendral::python
