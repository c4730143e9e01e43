// The entry points of file chunking.
#include <array>
#include <string_view>

#include "chunking/file_chunking.hpp"
#include "python/common/binding.hpp"
#include "python/common/convert.hpp"
#include "python/common/unlocked.hpp"
#include "python/fendral/chunk_type.hpp"
#include "python/fendral/members.hpp"

namespace fendral::python {

PyObject* deconstruct_file_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 2> kParameters{"path", "chunk_size"};
    FENDRAL_TRY(const auto bound, bind_arguments("deconstruct_file()", kParameters, args, kwargs));
    FENDRAL_TRY(const auto path, convert_argument(bound[0], "path", to_string));
    FENDRAL_TRY(const auto chunk_size, convert_argument(bound[1], "chunk_size", to_u64));

    FENDRAL_TRY(auto records,
                run_unlocked([&] { return chunking::deconstruct_file(path, chunk_size); }));
    return chunks_to_list(std::move(records));
  });
}

PyObject* reconstruct_file_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<void> {
    static constexpr std::array<std::string_view, 2> kParameters{"chunks", "output_path"};
    FENDRAL_TRY(const auto bound, bind_arguments("reconstruct_file()", kParameters, args, kwargs));
    FENDRAL_TRY(const auto chunks, convert_argument(bound[0], "chunks", to_chunk_pieces));
    FENDRAL_TRY(const auto output_path, convert_argument(bound[1], "output_path", to_string));

    // `chunks` holds its Chunk objects until the call returns, so their payloads stay valid
    // while they are written without the lock.
    return run_unlocked([&] { return chunking::reconstruct_file(chunks.pieces, output_path); });
  });
}

}  // namespace fendral::python
