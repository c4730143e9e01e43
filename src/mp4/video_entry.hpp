// The Python side of video segmentation: the Mp4ChunkMetadata class and the two functions.
#pragma once

#include "host/error.hpp"

namespace fendral::mp4 {

// Adds, in this order, the class Mp4ChunkMetadata and the functions split_video and
// reconstruct_video to `module`.
host::HostResult<void> register_video(PyObject* module);

}  // namespace fendral::mp4
