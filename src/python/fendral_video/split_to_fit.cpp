// split_to_fit: its arguments bound and checked, the split run without the interpreter lock, and
// the Segment records it returns.
#include "video/split_to_fit.hpp"

#include <array>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "python/common/binding.hpp"
#include "python/common/convert.hpp"
#include "python/common/module_support.hpp"
#include "python/common/unlocked.hpp"
#include "python/fendral_video/ffmpeg_observer.hpp"
#include "python/fendral_video/members.hpp"
#include "python/fendral_video/segment_type.hpp"

namespace fendral::python {
namespace {

// ---------------------------------------------------------------------------------------------
// Arguments.

// Seconds as an int or a float, positive and finite, in whole microseconds.
HostResult<std::uint64_t> to_cap_microseconds(PyObject* object) {
  if (PyBool_Check(object) || !(PyLong_Check(object) || PyFloat_Check(object))) {
    return unexpected(type_mismatch(object, "float"));
  }
  const double seconds = PyFloat_AsDouble(object);
  if (seconds == -1.0 && PyErr_Occurred()) return captured_error();
  const double microseconds = std::round(seconds * 1e6);
  if (std::isnan(seconds) || microseconds < 1) {
    return pending_error(PyExc_ValueError, "max_seconds must be a positive number of seconds");
  }
  // A cap beyond a hundred thousand years is no cap at all but still must fit 64 bits.
  if (microseconds > 3.2e18) {
    return pending_error(PyExc_ValueError, "max_seconds must be at most 3200000000000 seconds");
  }
  return static_cast<std::uint64_t>(microseconds);
}

HostResult<std::uint64_t> to_cap_bytes(PyObject* object) {
  if (PyBool_Check(object)) return unexpected(type_mismatch(object, "int"));
  FENDRAL_TRY(const std::uint64_t bytes, to_u64(object));
  if (bytes == 0) return pending_error(PyExc_ValueError, "max_bytes must be greater than 0");
  return bytes;
}

HostResult<OwnedRef> segments_to_list(const std::vector<video::FittedSegment>& segments) {
  OwnedRef list = OwnedRef::steal(PyList_New(0));
  if (!list) return captured_error();
  for (const video::FittedSegment& segment : segments) {
    FENDRAL_TRY(OwnedRef item, segment_object(SegmentRecord{
                                   segment.index, segment.path,
                                   static_cast<double>(segment.start_microseconds) / 1e6,
                                   static_cast<double>(segment.duration_microseconds) / 1e6,
                                   segment.size, segment.reencoded_frames}));
    if (PyList_Append(list.get(), item.get()) != 0) return captured_error();
  }
  return list;
}

}  // namespace

PyObject* split_to_fit_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 6> kParameters{
        "input_file", "output_dir", "max_seconds", "max_bytes", "progress", "reencode"};
    if (PyTuple_Size(args) > 2) {
      return pending_error(PyExc_TypeError, "split_to_fit() takes 2 positional arguments but " +
                                                std::to_string(PyTuple_Size(args)) + " were given");
    }
    // The caps and the callback may be left out, as None, and reencode, as False; the two paths
    // may not. The bound arguments are borrowed from `keywords`, which lives to the end of the
    // call.
    OwnedRef keywords = OwnedRef::steal(PyDict_New());
    if (!keywords) return captured_error();
    if (kwargs != nullptr && PyDict_Update(keywords.get(), kwargs) != 0) return captured_error();
    for (const auto& [optional, default_value] :
         {std::pair{"max_seconds", Py_None}, std::pair{"max_bytes", Py_None},
          std::pair{"progress", Py_None}, std::pair{"reencode", Py_False}}) {
      if (PyDict_GetItemString(keywords.get(), optional) == nullptr &&
          PyDict_SetItemString(keywords.get(), optional, default_value) != 0) {
        return captured_error();
      }
    }
    FENDRAL_TRY(const auto bound,
                bind_arguments("split_to_fit()", kParameters, args, keywords.get()));

    FENDRAL_TRY(const auto input_file, convert_argument(bound[0], "input_file", to_path));
    FENDRAL_TRY(const auto output_dir, convert_argument(bound[1], "output_dir", to_path));
    video::FitCaps caps;
    FENDRAL_TRY(caps.max_microseconds,
                convert_argument(bound[2], "max_seconds", [](PyObject* value) {
                  return optional_of(value, to_cap_microseconds);
                }));
    FENDRAL_TRY(caps.max_bytes, convert_argument(bound[3], "max_bytes", [](PyObject* value) {
                  return optional_of(value, to_cap_bytes);
                }));
    PyObject* const progress = bound[4] == Py_None ? nullptr : bound[4];
    if (progress != nullptr && PyCallable_Check(progress) == 0) {
      return pending_error(PyExc_TypeError, "progress must be callable or None");
    }
    if (!PyBool_Check(bound[5])) {
      return unexpected(type_mismatch(bound[5], "bool").named_argument("reencode"));
    }
    const bool reencode = bound[5] == Py_True;
    if (!caps.max_microseconds && !caps.max_bytes) {
      return pending_error(PyExc_ValueError, "split_to_fit needs max_seconds, max_bytes or both");
    }

    FENDRAL_TRY(OwnedRef logger, ffmpeg_logger());
    PythonObserver observer(std::move(logger), progress);
    const auto environment = posix::Environment::capture();
    auto segments = run_unlocked([&] {
      return video::split_to_fit(input_file, output_dir, caps, reencode, observer, environment);
    });
    // What a callback raised ended the split, whatever the split reports.
    if (observer.raised()) return unexpected(std::move(*observer.raised()));
    if (!segments) return unexpected(std::move(segments).error());
    return segments_to_list(*segments);
  });
}

}  // namespace fendral::python
