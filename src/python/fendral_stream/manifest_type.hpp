// The Python class fendral_stream.Manifest, over chunking::Manifest.
#pragma once

#include "chunking/manifest.hpp"
#include "python/common/error.hpp"

namespace fendral::python {

// Creates the class (first call) and adds it to `module`.
[[nodiscard]] HostResult<void> register_manifest_class(PyObject* module);

// A new Manifest holding `manifest`.
[[nodiscard]] HostResult<OwnedRef> manifest_object(chunking::Manifest&& manifest);

// The `parity` keyword of read_chunks and Manifest.of_file (0 when not given), refused at once
// when no file could have that many parity chunks of `chunk_size`.
[[nodiscard]] HostResult<std::uint64_t> parity_argument(PyObject* argument,
                                                        std::uint64_t chunk_size);

// The manifest behind `object`, a Manifest, copied; a TypeError for anything else.
[[nodiscard]] HostResult<chunking::Manifest> to_manifest(PyObject* object);

}  // namespace fendral::python
