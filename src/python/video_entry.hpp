// The Python side of video segmentation: the Mp4ChunkMetadata class and the two functions.
#pragma once

#include "python/error.hpp"

namespace fendral::python {

// Adds, in this order, the class Mp4ChunkMetadata and the functions split_video and
// reconstruct_video to `module`.
HostResult<void> register_video(PyObject* module);

}  // namespace fendral::python
