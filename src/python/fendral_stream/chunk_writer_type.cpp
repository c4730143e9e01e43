// The class ChunkWriter. The native writer lives as long as the object: close() only ends its
// use, so a thread still inside write() never finds it gone.
#include <array>
#include <optional>
#include <string_view>

#include "chunking/chunk_stream.hpp"
#include "python/common/binding.hpp"
#include "python/common/convert.hpp"
#include "python/common/module_support.hpp"
#include "python/common/unlocked.hpp"
#include "python/docstrings.hpp"
#include "python/fendral/chunk_type.hpp"
#include "python/fendral_stream/manifest_type.hpp"
#include "python/fendral_stream/members.hpp"

namespace fendral::python {
namespace {

struct WriterObject {
  PyObject ob_base;
  chunking::ChunkWriter record;
};

chunking::ChunkWriter& writer_of(PyObject* self) {
  return reinterpret_cast<WriterObject*>(self)->record;
}

PyObject* writer_class = nullptr;

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 3> kParameters{"output_path", "chunk_size",
                                                                 "manifest"};
    FENDRAL_TRY(const auto bound,
                bind_arguments("ChunkWriter.__new__()", kParameters, args, kwargs, 2));
    FENDRAL_TRY(const auto output_path, convert_argument(bound[0], "output_path", to_text_path));
    FENDRAL_TRY(const auto chunk_size, convert_argument(bound[1], "chunk_size", to_u64));
    std::optional<chunking::Manifest> manifest;
    if (bound[2] != nullptr) {
      FENDRAL_TRY(manifest, convert_argument(bound[2], "manifest", [](PyObject* object) {
                    return optional_of(object, to_manifest);
                  }));
    }
    FENDRAL_TRY(auto writer, run_unlocked([&] {
                  return chunking::ChunkWriter::create(output_path, chunk_size,
                                                       std::move(manifest));
                }));
    return make_instance<WriterObject>(reinterpret_cast<PyObject*>(type), std::move(writer));
  });
}

PyObject* writer_write(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<void> {
    static constexpr std::array<std::string_view, 1> kParameters{"chunk"};
    // A loop over tiny chunks spends much of its time here: the usual call binds at a glance.
    PyObject* chunk = nullptr;
    if (kwargs == nullptr && PyTuple_Size(args) == 1) {
      chunk = PyTuple_GetItem(args, 0);
    } else {
      FENDRAL_TRY(const auto bound, bind_arguments("write()", kParameters, args, kwargs));
      chunk = bound[0];
    }
    // The call holds the chunk, so its payload stays valid while it is written without the lock.
    FENDRAL_TRY(const auto piece, convert_argument(chunk, "chunk", borrow_chunk));
    chunking::ChunkWriter& writer = writer_of(self);
    // A small chunk is only copied into the writer's buffer: releasing the lock would cost more.
    if (auto done = writer.write_at_once(piece)) {
      if (!*done) return unexpected(ErrorValue::from_failure(done->error()));
      return {};
    }
    return run_unlocked([&] { return writer.write(piece); });
  });
}

PyObject* writer_close(PyObject* self, PyObject*) {
  return guarded_entry(
      [&]() -> HostResult<void> { return run_unlocked([&] { return writer_of(self).commit(); }); });
}

PyObject* writer_enter(PyObject* self, PyObject*) {
  return OwnedRef::borrow(self).release();
}

PyObject* writer_exit(PyObject* self, PyObject* args) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 3> kParameters{"exc_type", "exc_value",
                                                                 "traceback"};
    FENDRAL_TRY(const auto bound, bind_arguments("__exit__()", kParameters, args, nullptr));
    if (bound[0] == Py_None) {
      FENDRAL_CHECK(run_unlocked([&] { return writer_of(self).commit(); }));
    } else {
      // Leaving the block by an exception: what was written must not replace the output.
      FENDRAL_CHECK(run_unlocked([&] { return writer_of(self).discard(); }));
    }
    return OwnedRef::borrow(Py_False);  // the exception, if any, goes on
  });
}

PyObject* writer_get_closed(PyObject* self, void*) {
  return guarded_entry([&] { return PyBool_FromLong(writer_of(self).closed() ? 1 : 0); });
}

PyMethodDef writer_methods[] = {
    {"write", as_method(writer_write), kKeywordCall,
     "write($self, chunk)\n--\n\n" FENDRAL_DOC_fendral_stream__ChunkWriter__write},
    {"close", writer_close, METH_NOARGS,
     "close($self, /)\n--\n\n" FENDRAL_DOC_fendral_stream__ChunkWriter__close},
    {"__enter__", writer_enter, METH_NOARGS,
     "__enter__($self, /)\n--\n\n" FENDRAL_DOC_fendral_stream__ChunkWriter____enter__},
    {"__exit__", writer_exit, METH_VARARGS,
     "__exit__($self, exc_type, exc_value, traceback, "
     "/)\n--\n\n" FENDRAL_DOC_fendral_stream__ChunkWriter____exit__},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef writer_attributes[] = {
    {"closed", writer_get_closed, nullptr, FENDRAL_DOC_fendral_stream__ChunkWriter__closed,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("ChunkWriter(output_path, chunk_size, "
                       "manifest=None)\n--\n\n" FENDRAL_DOC_fendral_stream__ChunkWriter)},
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<WriterObject>)},
    {Py_tp_methods, writer_methods},
    {Py_tp_getset, writer_attributes},
    {0, nullptr},
};

PyType_Spec writer_spec = {
    "fendral_stream.ChunkWriter",
    static_cast<int>(sizeof(WriterObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    writer_slots,
};

}  // namespace

HostResult<void> register_writer_class(PyObject* module) {
  FENDRAL_TRY(PyObject* const created,
              get_or_create_class(writer_class, writer_spec, "ChunkWriter"));
  OwnedRef name = OwnedRef::steal(expect_object(PyUnicode_FromStringAndSize("ChunkWriter", 11)));
  return add_to_module(module, name.get(), created);
}

}  // namespace fendral::python
