// The class Segment: its fields, equality, hashing, repr and pickling.
#include "python/fendral_video/segment_type.hpp"

#include <array>
#include <string>
#include <string_view>

#include "python/common/binding.hpp"
#include "python/common/convert.hpp"
#include "python/common/module_support.hpp"
#include "python/docstrings.hpp"

namespace fendral::python {
namespace {

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

}  // namespace

HostResult<OwnedRef> segment_object(SegmentRecord record) {
  return make_instance<SegmentObject>(segment_class, std::move(record));
}

HostResult<void> register_segment_class(PyObject* module) {
  FENDRAL_TRY(PyObject* const created, get_or_create_class(segment_class, segment_spec, "Segment"));
  OwnedRef name = OwnedRef::steal(expect_object(PyUnicode_FromStringAndSize("Segment", 7)));
  return add_to_module(module, name.get(), created);
}

}  // namespace fendral::python
