// The members of fendral_video: split_to_fit and the Segment records it returns.
#include "python/fit_entry.hpp"

#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/docstrings.hpp"
#include "python/module_support.hpp"
#include "python/unlocked.hpp"
#include "video/split_to_fit.hpp"
#include "video/trim.hpp"

namespace fendral::python {
namespace {

// ---------------------------------------------------------------------------------------------
// Segment: an immutable record of one segment file.

struct SegmentRecord {
  std::uint64_t index = 0;
  std::string path;
  double start = 0;
  double duration = 0;
  std::uint64_t size = 0;
  std::uint64_t reencoded_frames = 0;
};

struct SegmentObject {
  PyObject ob_base;
  SegmentRecord record;
};

const SegmentRecord& segment_of(PyObject* self) {
  return reinterpret_cast<SegmentObject*>(self)->record;
}

PyObject* segment_index(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(segment_of(self).index);
}
PyObject* segment_path(PyObject* self, void*) {
  const std::string& path = segment_of(self).path;
  return PyUnicode_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}
PyObject* segment_start(PyObject* self, void*) {
  return PyFloat_FromDouble(segment_of(self).start);
}
PyObject* segment_duration(PyObject* self, void*) {
  return PyFloat_FromDouble(segment_of(self).duration);
}
PyObject* segment_size(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(segment_of(self).size);
}
PyObject* segment_reencoded_frames(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(segment_of(self).reencoded_frames);
}

// (index, path, start, duration, size, reencoded_frames), which equality and hashing go by.
OwnedRef field_tuple(PyObject* self) {
  OwnedRef fields[] = {OwnedRef::steal(segment_index(self, nullptr)),
                       OwnedRef::steal(segment_path(self, nullptr)),
                       OwnedRef::steal(segment_start(self, nullptr)),
                       OwnedRef::steal(segment_duration(self, nullptr)),
                       OwnedRef::steal(segment_size(self, nullptr)),
                       OwnedRef::steal(segment_reencoded_frames(self, nullptr))};
  for (const OwnedRef& field : fields) {
    if (!field) return OwnedRef();
  }
  return OwnedRef::steal(PyTuple_Pack(6, fields[0].get(), fields[1].get(), fields[2].get(),
                                      fields[3].get(), fields[4].get(), fields[5].get()));
}

PyObject* segment_repr(PyObject* self) {
  return guarded_entry([&]() -> PyObject* {
    const SegmentRecord& record = segment_of(self);
    OwnedRef path = OwnedRef::steal(segment_path(self, nullptr));
    OwnedRef start = OwnedRef::steal(PyFloat_FromDouble(record.start));
    OwnedRef duration = OwnedRef::steal(PyFloat_FromDouble(record.duration));
    if (!path || !start || !duration) return nullptr;
    // A copied segment's repr leaves out the count, as its constructor may.
    if (record.reencoded_frames == 0) {
      return PyUnicode_FromFormat("Segment(%llu, %R, start=%R, duration=%R, size=%llu)",
                                  static_cast<unsigned long long>(record.index), path.get(),
                                  start.get(), duration.get(),
                                  static_cast<unsigned long long>(record.size));
    }
    return PyUnicode_FromFormat(
        "Segment(%llu, %R, start=%R, duration=%R, size=%llu, reencoded_frames=%llu)",
        static_cast<unsigned long long>(record.index), path.get(), start.get(), duration.get(),
        static_cast<unsigned long long>(record.size),
        static_cast<unsigned long long>(record.reencoded_frames));
  });
}

PyObject* segment_class = nullptr;

PyObject* segment_richcompare(PyObject* self, PyObject* other, int operation) {
  return guarded_entry([&]() -> PyObject* {
    if ((operation != Py_EQ && operation != Py_NE) ||
        Py_TYPE(other) != reinterpret_cast<PyTypeObject*>(segment_class)) {
      return OwnedRef::borrow(Py_NotImplemented).release();
    }
    OwnedRef mine = field_tuple(self);
    OwnedRef theirs = field_tuple(other);
    if (!mine || !theirs) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), operation);
  });
}

Py_hash_t segment_hash(PyObject* self) {
  OwnedRef fields = field_tuple(self);
  if (!fields) return -1;
  return PyObject_Hash(fields.get());
}

HostResult<double> to_seconds(PyObject* object) {
  const double seconds = PyFloat_AsDouble(object);
  if (seconds == -1.0 && PyErr_Occurred()) return captured_error();
  return seconds;
}

// Segment(index, path, start, duration, size, reencoded_frames=0), as its repr writes it: what
// pickle calls, too (a pickle of five fields, from before the count, still loads).
PyObject* segment_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 6> kParameters{
        "index", "path", "start", "duration", "size", "reencoded_frames"};
    FENDRAL_TRY(const auto bound, bind_arguments("Segment()", kParameters, args, kwargs, 5));
    SegmentRecord record;
    FENDRAL_TRY(record.index, convert_argument(bound[0], "index", to_u64));
    FENDRAL_TRY(record.path, convert_argument(bound[1], "path", to_string));
    FENDRAL_TRY(record.start, convert_argument(bound[2], "start", to_seconds));
    FENDRAL_TRY(record.duration, convert_argument(bound[3], "duration", to_seconds));
    FENDRAL_TRY(record.size, convert_argument(bound[4], "size", to_u64));
    if (bound[5] != nullptr) {
      FENDRAL_TRY(record.reencoded_frames, convert_argument(bound[5], "reencoded_frames", to_u64));
    }
    return make_instance<SegmentObject>(reinterpret_cast<PyObject*>(type), std::move(record));
  });
}

PyObject* segment_reduce(PyObject* self, PyObject*) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    OwnedRef fields = field_tuple(self);
    if (!fields) return captured_error();
    return OwnedRef::steal(
        expect_object(PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), fields.get())));
  });
}

PyMethodDef segment_methods[] = {
    {"__reduce__", segment_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\n" FENDRAL_DOC_fendral_video__Segment____reduce__},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef segment_getset[] = {
    {"index", segment_index, nullptr, FENDRAL_DOC_fendral_video__Segment__index, nullptr},
    {"path", segment_path, nullptr, FENDRAL_DOC_fendral_video__Segment__path, nullptr},
    {"start", segment_start, nullptr, FENDRAL_DOC_fendral_video__Segment__start, nullptr},
    {"duration", segment_duration, nullptr, FENDRAL_DOC_fendral_video__Segment__duration, nullptr},
    {"size", segment_size, nullptr, FENDRAL_DOC_fendral_video__Segment__size, nullptr},
    {"reencoded_frames", segment_reencoded_frames, nullptr,
     FENDRAL_DOC_fendral_video__Segment__reencoded_frames, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot segment_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Segment(index, path, start, duration, size, "
                       "reencoded_frames=0)\n--\n\n" FENDRAL_DOC_fendral_video__Segment)},
    {Py_tp_new, reinterpret_cast<void*>(segment_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<SegmentObject>)},
    {Py_tp_methods, segment_methods},
    {Py_tp_getset, segment_getset},
    {Py_tp_repr, reinterpret_cast<void*>(segment_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(segment_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(segment_hash)},
    {0, nullptr},
};

PyType_Spec segment_spec = {
    "fendral_video.Segment", static_cast<int>(sizeof(SegmentObject)), 0, Py_TPFLAGS_DEFAULT,
    segment_slots,
};

// ---------------------------------------------------------------------------------------------
// The observer: ffmpeg's messages to the logger, its progress to the caller's callback. Both
// run on the calling thread, which takes the interpreter lock back for them.

constexpr std::string_view kLoggerName = "fendral_video.ffmpeg";

// logging's levels for ffmpeg's.
int logging_level(std::string_view level) {
  if (level == "panic" || level == "fatal") return 50;
  if (level == "error") return 40;
  if (level == "warning") return 30;
  if (level == "info") return 20;
  return 10;
}

class PythonObserver final : public video::SplitObserver {
 public:
  PythonObserver(OwnedRef logger, PyObject* progress)
      : logger_(std::move(logger)), progress_(OwnedRef::borrow(progress)) {}

  bool message(std::string_view level, std::string_view text) override {
    LockHeld held;
    OwnedRef line = OwnedRef::steal(PyUnicode_DecodeUTF8(
        text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
    if (!line) return keep_raised();
    OwnedRef outcome = OwnedRef::steal(
        PyObject_CallMethod(logger_.get(), "log", "iO", logging_level(level), line.get()));
    return outcome ? true : keep_raised();
  }

  bool progress(std::uint64_t done, std::uint64_t total) override {
    if (!progress_) return true;
    LockHeld held;
    OwnedRef outcome = OwnedRef::steal(PyObject_CallFunction(
        progress_.get(), "dd", static_cast<double>(done) / 1e6, static_cast<double>(total) / 1e6));
    return outcome ? true : keep_raised();
  }

  // What a callback raised, which then ends the call.
  std::optional<ErrorValue>& raised() { return raised_; }

 private:
  bool keep_raised() {
    if (!raised_) {
      raised_ = ErrorValue::capture();
    } else {
      PyErr_Clear();
    }
    return false;
  }

  OwnedRef logger_;
  OwnedRef progress_;
  std::optional<ErrorValue> raised_;
};

// The logger of ffmpeg's messages. The module's own logger gets a handler that drops them, once,
// as a library's should: without it, Python would print warnings to standard error for a
// program that configured no logging.
HostResult<OwnedRef> ffmpeg_logger() {
  static bool null_handler_added = false;
  OwnedRef logging = OwnedRef::steal(PyImport_ImportModule("logging"));
  if (!logging) return captured_error();
  if (!null_handler_added) {
    OwnedRef module_logger =
        OwnedRef::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "fendral_video"));
    if (!module_logger) return captured_error();
    OwnedRef handler = OwnedRef::steal(PyObject_CallMethod(logging.get(), "NullHandler", nullptr));
    if (!handler) return captured_error();
    OwnedRef added =
        OwnedRef::steal(PyObject_CallMethod(module_logger.get(), "addHandler", "O", handler.get()));
    if (!added) return captured_error();
    null_handler_added = true;
  }
  OwnedRef logger = OwnedRef::steal(
      PyObject_CallMethod(logging.get(), "getLogger", "s", std::string(kLoggerName).c_str()));
  if (!logger) return captured_error();
  return logger;
}

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

HostResult<OwnedRef> segment_object(const video::FittedSegment& segment) {
  return make_instance<SegmentObject>(
      segment_class, SegmentRecord{segment.index, segment.path,
                                   static_cast<double>(segment.start_microseconds) / 1e6,
                                   static_cast<double>(segment.duration_microseconds) / 1e6,
                                   segment.size, segment.reencoded_frames});
}

HostResult<OwnedRef> segments_to_list(const std::vector<video::FittedSegment>& segments) {
  OwnedRef list = OwnedRef::steal(PyList_New(0));
  if (!list) return captured_error();
  for (const video::FittedSegment& segment : segments) {
    FENDRAL_TRY(OwnedRef item, segment_object(segment));
    if (PyList_Append(list.get(), item.get()) != 0) return captured_error();
  }
  return list;
}

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

// The call's keywords with the defaults of those left out, after refusing more than the two
// positional paths. The bound arguments are borrowed from it, which lives to the end of the call.
HostResult<OwnedRef> keywords_with_defaults(
    std::string_view function, PyObject* args, PyObject* kwargs,
    std::initializer_list<std::pair<const char*, PyObject*>> defaults) {
  if (PyTuple_Size(args) > 2) {
    return pending_error(PyExc_TypeError, std::string(function) +
                                              " takes 2 positional arguments but " +
                                              std::to_string(PyTuple_Size(args)) + " were given");
  }
  OwnedRef keywords = OwnedRef::steal(PyDict_New());
  if (!keywords) return captured_error();
  if (kwargs != nullptr && PyDict_Update(keywords.get(), kwargs) != 0) return captured_error();
  for (const auto& [optional, default_value] : defaults) {
    if (PyDict_GetItemString(keywords.get(), optional) == nullptr &&
        PyDict_SetItemString(keywords.get(), optional, default_value) != 0) {
      return captured_error();
    }
  }
  return keywords;
}

}  // namespace

PyObject* trim_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 5> kParameters{"input_file", "output_file",
                                                                 "start", "end", "progress"};
    FENDRAL_TRY(
        const OwnedRef keywords,
        keywords_with_defaults("trim()", args, kwargs, {{"end", Py_None}, {"progress", Py_None}}));
    FENDRAL_TRY(const auto bound, bind_arguments("trim()", kParameters, args, keywords.get()));
    FENDRAL_TRY(const auto input_file, convert_argument(bound[0], "input_file", to_path));
    FENDRAL_TRY(const auto output_file, convert_argument(bound[1], "output_file", to_path));
    video::TrimRange range;
    FENDRAL_TRY(range.start_microseconds, to_cut_microseconds(bound[2], "start"));
    if (bound[3] != Py_None) {
      FENDRAL_TRY(range.end_microseconds, to_cut_microseconds(bound[3], "end"));
    }
    PyObject* const progress = bound[4] == Py_None ? nullptr : bound[4];
    if (progress != nullptr && PyCallable_Check(progress) == 0) {
      return pending_error(PyExc_TypeError, "progress must be callable or None");
    }

    FENDRAL_TRY(OwnedRef logger, ffmpeg_logger());
    PythonObserver observer(std::move(logger), progress);
    const auto environment = posix::Environment::capture();
    auto segment = run_unlocked(
        [&] { return video::trim(input_file, output_file, range, observer, environment); });
    if (observer.raised()) return unexpected(std::move(*observer.raised()));
    if (!segment) return unexpected(std::move(segment).error());
    return segment_object(*segment);
  });
}

PyObject* split_to_fit_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 6> kParameters{
        "input_file", "output_dir", "max_seconds", "max_bytes", "progress", "reencode"};
    // The caps and the callback may be left out, as None, and reencode, as False; the two paths
    // may not.
    FENDRAL_TRY(const OwnedRef keywords, keywords_with_defaults("split_to_fit()", args, kwargs,
                                                                {{"max_seconds", Py_None},
                                                                 {"max_bytes", Py_None},
                                                                 {"progress", Py_None},
                                                                 {"reencode", Py_False}}));
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

HostResult<void> register_segment_class(PyObject* module) {
  FENDRAL_TRY(PyObject* const created, get_or_create_class(segment_class, segment_spec, "Segment"));
  OwnedRef name = OwnedRef::steal(expect_object(PyUnicode_FromStringAndSize("Segment", 7)));
  return add_to_module(module, name.get(), created);
}

}  // namespace fendral::python
