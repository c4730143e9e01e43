// trim: its arguments bound and checked, the cut run without the interpreter lock, and the
// Segment record of the file it wrote.
#include "video/trim.hpp"

#include <array>
#include <cmath>
#include <string>
#include <string_view>

#include "python/common/binding.hpp"
#include "python/common/convert.hpp"
#include "python/common/module_support.hpp"
#include "python/common/unlocked.hpp"
#include "python/fendral_video/ffmpeg_observer.hpp"
#include "python/fendral_video/members.hpp"
#include "python/fendral_video/segment_type.hpp"

namespace fendral::python {
namespace {

// A time to cut at: seconds as an int or a float, finite, in whole microseconds.
HostResult<std::int64_t> to_cut_microseconds(PyObject* object, const char* name) {
  if (PyBool_Check(object) || !(PyLong_Check(object) || PyFloat_Check(object))) {
    return unexpected(type_mismatch(object, "float").named_argument(name));
  }
  const double seconds = PyFloat_AsDouble(object);
  if (seconds == -1.0 && PyErr_Occurred()) return captured_error();
  if (!std::isfinite(seconds) || std::abs(seconds) > 3.2e12) {
    return pending_error(PyExc_ValueError,
                         std::string(name) + " must be a finite number of seconds");
  }
  return static_cast<std::int64_t>(std::llround(seconds * 1e6));
}

}  // namespace

PyObject* trim_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 5> kParameters{"input_file", "output_file",
                                                                 "start", "end", "progress"};
    // The two paths by position or keyword, the rest by keyword; all but `end` and `progress`
    // required.
    FENDRAL_TRY(const auto bound, bind_arguments("trim()", kParameters, args, kwargs, 2, 2));
    if (bound[2] == nullptr) {
      return pending_error(PyExc_TypeError,
                           "trim() missing 1 required keyword-only argument: 'start'");
    }
    FENDRAL_TRY(const auto input_file, convert_argument(bound[0], "input_file", to_path));
    FENDRAL_TRY(const auto output_file, convert_argument(bound[1], "output_file", to_path));
    video::TrimRange range;
    FENDRAL_TRY(range.start_microseconds, to_cut_microseconds(bound[2], "start"));
    if (bound[3] != nullptr && bound[3] != Py_None) {
      FENDRAL_TRY(range.end_microseconds, to_cut_microseconds(bound[3], "end"));
    }
    PyObject* const progress = bound[4] == nullptr || bound[4] == Py_None ? nullptr : bound[4];
    if (progress != nullptr && PyCallable_Check(progress) == 0) {
      return pending_error(PyExc_TypeError, "progress must be callable or None");
    }

    FENDRAL_TRY(OwnedRef logger, ffmpeg_logger());
    PythonObserver observer(std::move(logger), progress);
    const auto environment = posix::Environment::capture();
    auto segment = run_unlocked(
        [&] { return video::trim(input_file, output_file, range, observer, environment); });
    // What a callback raised ended the cut, whatever the cut reports.
    if (observer.raised()) return unexpected(std::move(*observer.raised()));
    if (!segment) return unexpected(std::move(segment).error());
    return segment_object(SegmentRecord{segment->index, segment->path,
                                        static_cast<double>(segment->start_microseconds) / 1e6,
                                        static_cast<double>(segment->duration_microseconds) / 1e6,
                                        segment->size, segment->reencoded_frames});
  });
}

}  // namespace fendral::python
