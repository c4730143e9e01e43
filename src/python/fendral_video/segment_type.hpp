// The class Segment: an immutable record of one segment file, which split_to_fit returns a list
// of.
#pragma once

#include <cstdint>
#include <string>

#include "python/common/error.hpp"
#include "python/common/ref.hpp"

namespace fendral::python {

struct SegmentRecord {
  std::uint64_t index = 0;
  std::string path;
  double start = 0;
  double duration = 0;
  std::uint64_t size = 0;
  std::uint64_t reencoded_frames = 0;
};

// A new Segment holding `record`; the class is created by register_segment_class.
[[nodiscard]] HostResult<OwnedRef> segment_object(SegmentRecord record);

// Creates the class Segment (first call) and adds it to `module`.
[[nodiscard]] HostResult<void> register_segment_class(PyObject* module);

}  // namespace fendral::python
