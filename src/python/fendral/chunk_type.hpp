// The Python class Chunk.
#pragma once

#include <vector>

#include "chunking/chunk_record.hpp"
#include "python/common/error.hpp"

namespace fendral::python {

// Creates the class (first call) and adds it to `module`.
[[nodiscard]] HostResult<void> register_chunk_class(PyObject* module);

// A new list of new Chunk objects, the records' payloads moved in.
[[nodiscard]] HostResult<OwnedRef> chunks_to_list(std::vector<chunking::ChunkRecord>&& records);

// Borrowed views of the Chunk objects of a sequence argument. `keep_alive` holds the objects
// so the payloads stay valid however the sequence changes.
struct BorrowedChunks {
  std::vector<OwnedRef> keep_alive;
  std::vector<chunking::ChunkPiece> pieces;
};
[[nodiscard]] HostResult<BorrowedChunks> to_chunk_pieces(PyObject* sequence);

// For a module other than fendral: imports fendral and takes its Chunk class as the one this
// module makes and accepts, so both hand out the same class. Fails with ImportError when that
// class is not the one this module was built with.
[[nodiscard]] HostResult<void> adopt_chunk_class();

// A new Chunk holding the record's payload, moved in.
[[nodiscard]] HostResult<OwnedRef> chunk_from_record(chunking::ChunkRecord&& record);

// A view of the payload of `object`, a Chunk the caller keeps alive while it uses the view.
[[nodiscard]] HostResult<chunking::ChunkPiece> borrow_chunk(PyObject* object);

}  // namespace fendral::python
