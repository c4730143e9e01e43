// The class ChunkIterator, which read_chunks returns. The file is opened by the first request for
// a chunk, and closed at the end, by close() or when the iterator is collected.
#include <array>
#include <optional>
#include <string>
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

}  // namespace fendral::python
