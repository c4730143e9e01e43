// The members of fendral_stream: read_chunks with the iterator it returns, read_chunk, crc32c
// and ChunkWriter.
#include "python/stream_entry.hpp"

#include <array>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "base/crc32c.hpp"
#include "chunking/chunk_stream.hpp"
#include "python/binding.hpp"
#include "python/chunk_type.hpp"
#include "python/convert.hpp"
#include "python/docstrings.hpp"
#include "python/manifest_type.hpp"
#include "python/module_support.hpp"
#include "python/unlocked.hpp"

namespace fendral::python {
namespace {

// ---------------------------------------------------------------------------------------------
// The iterator of read_chunks. The file is opened by the first request for a chunk, and closed
// at the end, by close() or when the iterator is collected.

struct ChunkIteration {
  std::string path;
  std::uint64_t chunk_size = 0;
  std::uint64_t parity = 0;
  bool started = false;
  // Set while a request for a chunk runs without the interpreter lock, when another thread
  // could otherwise enter the same reader.
  bool executing = false;
  std::optional<chunking::ChunkReader> reader;  // kept once finished, for its manifest

  ChunkIteration(std::string file_path, std::uint64_t size, std::uint64_t parity_chunks)
      : path(std::move(file_path)), chunk_size(size), parity(parity_chunks) {}
};

struct IteratorObject {
  PyObject ob_base;
  ChunkIteration record;
};

ChunkIteration& iteration_of(PyObject* self) {
  return reinterpret_cast<IteratorObject*>(self)->record;
}

unexpected<ErrorValue> already_executing() {
  return pending_error(PyExc_ValueError, "read_chunks iterator already executing");
}

PyObject* iterator_self(PyObject* self) {
  return OwnedRef::borrow(self).release();
}

PyObject* iterator_next(PyObject* self) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    ChunkIteration& iteration = iteration_of(self);
    if (iteration.executing) return already_executing();
    iteration.executing = true;
    struct Done {
      bool& executing;
      ~Done() { executing = false; }
    } done{iteration.executing};

    if (!iteration.started) {
      // Opened once: an open that fails ends the iteration.
      iteration.started = true;
      FENDRAL_TRY(auto reader, run_unlocked([&] {
                    return chunking::ChunkReader::open(iteration.path, iteration.chunk_size,
                                                       iteration.parity);
                  }));
      iteration.reader.emplace(std::move(reader));
    }
    if (!iteration.reader) return OwnedRef();  // the open failed or closed: StopIteration
    chunking::ChunkReader& reader = *iteration.reader;
    std::optional<chunking::ChunkRecord> record;
    if (reader.next_is_buffered()) {
      auto outcome = reader.next();
      if (!outcome) return unexpected(ErrorValue::from_failure(outcome.error()));
      record = std::move(*outcome);
    } else {
      FENDRAL_TRY(record, run_unlocked([&] { return reader.next(); }));
    }
    if (!record) return OwnedRef();  // the end: the reader has closed the file
    return chunk_from_record(std::move(*record));
  });
}

PyObject* iterator_close(PyObject* self, PyObject*) {
  return guarded_entry([&]() -> HostResult<void> {
    ChunkIteration& iteration = iteration_of(self);
    if (iteration.executing) return already_executing();
    iteration.started = true;
    if (iteration.reader && !iteration.reader->finished()) iteration.reader.reset();
    return {};
  });
}

PyObject* iterator_manifest(PyObject* self, PyObject*) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    ChunkIteration& iteration = iteration_of(self);
    if (iteration.executing) return already_executing();
    if (!iteration.reader || !iteration.reader->finished()) {
      return pending_error(PyExc_RuntimeError,
                           "the manifest is made once the iterator has given every chunk, and "
                           "chunks remain");
    }
    auto manifest = iteration.reader->manifest();
    if (!manifest) return unexpected(ErrorValue::from_failure(manifest.error()));
    return manifest_object(std::move(*manifest));
  });
}

PyMethodDef iterator_methods[] = {
    {"close", iterator_close, METH_NOARGS,
     "close($self, /)\n--\n\n" FENDRAL_DOC_fendral_stream__ChunkIterator__close},
    {"manifest", iterator_manifest, METH_NOARGS,
     "manifest($self, /)\n--\n\n" FENDRAL_DOC_fendral_stream__ChunkIterator__manifest},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>(FENDRAL_DOC_fendral_stream__ChunkIterator)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<IteratorObject>)},
    {Py_tp_iter, reinterpret_cast<void*>(iterator_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_methods, iterator_methods},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "fendral_stream.ChunkIterator",
    static_cast<int>(sizeof(IteratorObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    iterator_slots,
};

PyObject* iterator_class = nullptr;

// ---------------------------------------------------------------------------------------------
// ChunkWriter. The native writer lives as long as the object: close() only ends its use, so a
// thread still inside write() never finds it gone.

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

PyObject* read_chunks_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 3> kParameters{"path", "chunk_size", "parity"};
    FENDRAL_TRY(const auto bound, bind_arguments("read_chunks()", kParameters, args, kwargs, 2, 2));
    FENDRAL_TRY(auto path, convert_argument(bound[0], "path", to_text_path));
    FENDRAL_TRY(const auto chunk_size, convert_argument(bound[1], "chunk_size", to_u64));
    FENDRAL_TRY(const auto parity, parity_argument(bound[2], chunk_size));
    FENDRAL_TRY(PyObject* const type,
                get_or_create_class(iterator_class, iterator_spec, "ChunkIterator"));
    return make_instance<IteratorObject>(type, std::move(path), chunk_size, parity);
  });
}

PyObject* read_chunk_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 3> kParameters{"path", "chunk_size", "index"};
    FENDRAL_TRY(const auto bound, bind_arguments("read_chunk()", kParameters, args, kwargs));
    FENDRAL_TRY(const auto path, convert_argument(bound[0], "path", to_text_path));
    FENDRAL_TRY(const auto chunk_size, convert_argument(bound[1], "chunk_size", to_u64));
    FENDRAL_TRY(const auto index, convert_argument(bound[2], "index", to_u64));
    FENDRAL_TRY(auto record,
                run_unlocked([&] { return chunking::read_chunk_at(path, chunk_size, index); }));
    if (!record) {
      return pending_error(PyExc_IndexError, "Chunk at index " + std::to_string(index) +
                                                 " is past the end of the file");
    }
    return chunk_from_record(std::move(*record));
  });
}

PyObject* crc32c_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 2> kParameters{"data", "value"};
    FENDRAL_TRY(const auto bound, bind_arguments("crc32c()", kParameters, args, kwargs, 1));
    std::uint32_t value = 0;
    if (bound[1] != nullptr) {
      FENDRAL_TRY(value, convert_argument(bound[1], "value", to_u32));
    }
    // bytes and bytearray are read where they lie; any other buffer (a memoryview, an array)
    // is copied out once, the only way into it that every supported Python offers.
    OwnedRef held = OwnedRef::borrow(bound[0]);
    if (!PyBytes_Check(held.get()) && !PyByteArray_Check(held.get())) {
      OwnedRef view = OwnedRef::steal(PyMemoryView_FromObject(held.get()));
      if (!view) return captured_error();
      held = OwnedRef::steal(PyBytes_FromObject(view.get()));
      if (!held) return captured_error();
    }
    const bool immutable = PyBytes_Check(held.get());
    const auto* data = reinterpret_cast<const unsigned char*>(
        immutable ? PyBytes_AsString(held.get()) : PyByteArray_AsString(held.get()));
    const auto size = static_cast<std::size_t>(immutable ? PyBytes_Size(held.get())
                                                         : PyByteArray_Size(held.get()));
    // A bytes object cannot change while the lock is away; a bytearray could be resized.
    constexpr std::size_t kWorthUnlocking = 1 << 20;
    std::uint32_t crc = 0;
    if (immutable && size >= kWorthUnlocking) {
      FENDRAL_TRY(crc, run_unlocked([&]() -> Result<std::uint32_t> {
                    return crc32c::extend(value, data, size);
                  }));
    } else {
      crc = crc32c::extend(value, data, size);
    }
    return OwnedRef::steal(expect_object(PyLong_FromUnsignedLong(crc)));
  });
}

HostResult<void> register_writer_class(PyObject* module) {
  FENDRAL_TRY(PyObject* const created,
              get_or_create_class(writer_class, writer_spec, "ChunkWriter"));
  OwnedRef name = OwnedRef::steal(expect_object(PyUnicode_FromStringAndSize("ChunkWriter", 11)));
  return add_to_module(module, name.get(), created);
}

}  // namespace fendral::python
