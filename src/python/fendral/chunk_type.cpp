#include "python/fendral/chunk_type.hpp"

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "python/common/binding.hpp"
#include "python/common/convert.hpp"
#include "python/common/module_support.hpp"
#include "python/docstrings.hpp"

namespace fendral::python {
namespace {

// The state behind a Chunk. The payload is owned outright (a buffer of its own, or a slice of a
// slab it shares with the chunks read along with it), or, when the constructor was given
// an exact `bytes`, it is that object's buffer: a `bytes` never changes, so keeping a reference
// to it reads the same as keeping a copy and saves copying the payload.
struct StoredChunk {
  std::uint64_t index = 0;
  posix::ByteBuffer owned;
  OwnedRef shared;

  explicit StoredChunk(chunking::ChunkRecord&& record) noexcept
      : index(record.index), owned(std::move(record.payload)) {}
  StoredChunk(std::uint64_t chunk_index, PyObject* exact_bytes) noexcept
      : index(chunk_index), shared(OwnedRef::borrow(exact_bytes)) {}

  // Asked of the `bytes` rather than kept beside it: a chunk stays one allocation size class
  // smaller, which counts when a call makes hundreds of thousands of them.
  const unsigned char* data() const {
    return shared ? reinterpret_cast<const unsigned char*>(PyBytes_AsString(shared.get()))
                  : owned.data();
  }
  std::size_t size() const {
    return shared ? static_cast<std::size_t>(PyBytes_Size(shared.get())) : owned.size();
  }
};

struct ChunkObject {
  PyObject ob_base;  // the object header (what PyObject_HEAD declares)
  StoredChunk record;
};

PyObject* chunk_class = nullptr;
// Looked up once: asking the class for its slots on every instance shows up when a call
// makes hundreds of thousands of chunks.
allocfunc chunk_alloc = nullptr;
freefunc chunk_free = nullptr;

StoredChunk& record_of(PyObject* self) {
  return reinterpret_cast<ChunkObject*>(self)->record;
}

template <class... Arguments>
HostResult<OwnedRef> make_chunk(Arguments&&... arguments) {
  OwnedRef instance = OwnedRef::steal(chunk_alloc(reinterpret_cast<PyTypeObject*>(chunk_class), 0));
  if (!instance) return captured_error();
  new (&record_of(instance.get())) StoredChunk(std::forward<Arguments>(arguments)...);
  return instance;
}

void chunk_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&record_of(self));
  chunk_free(self);
  // Instances of a heap class hold a reference to it.
  OwnedRef class_reference = OwnedRef::steal(reinterpret_cast<PyObject*>(type));
}

PyObject* chunk_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 2> kParameters{"index", "data"};
    FENDRAL_TRY(const auto bound, bind_arguments("Chunk.__new__()", kParameters, args, kwargs));
    FENDRAL_TRY(const auto index, convert_argument(bound[0], "index", to_u64));
    PyObject* data_argument = bound[1];
    if (PyBytes_CheckExact(data_argument)) return make_chunk(index, data_argument);
    FENDRAL_TRY(auto data, convert_argument(data_argument, "data", to_byte_buffer));
    return make_chunk(chunking::ChunkRecord{index, std::move(data)});
  });
}

PyObject* chunk_get_index(PyObject* self, void*) {
  return guarded_entry([&] { return PyLong_FromUnsignedLongLong(record_of(self).index); });
}

PyObject* chunk_get_data(PyObject* self, void*) {
  return guarded_entry([&] {
    const StoredChunk& record = record_of(self);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(record.data()),
                                     static_cast<Py_ssize_t>(record.size()));
  });
}

// "0, " ... "255, " spelled out once, so the text form is a run of table copies.
struct ByteTexts {
  std::array<std::array<char, 3>, 256> digits{};
  std::array<unsigned char, 256> lengths{};
  constexpr ByteTexts() {
    for (int value = 0; value < 256; ++value) {
      int length = value >= 100 ? 3 : value >= 10 ? 2 : 1;
      int rest = value;
      for (int position = length - 1; position >= 0; --position) {
        digits[value][position] = static_cast<char>('0' + rest % 10);
        rest /= 10;
      }
      lengths[value] = static_cast<unsigned char>(length);
    }
  }
};
constexpr ByteTexts kByteTexts;

PyObject* chunk_repr(PyObject* self) {
  return guarded_entry([&] {
    const StoredChunk& record = record_of(self);
    const std::string index = std::to_string(record.index);
    constexpr std::string_view kHead = "<Chunk index=";
    constexpr std::string_view kData = " data=[";
    const std::size_t size = record.size();
    std::string text;
    text.resize_and_overwrite(kHead.size() + index.size() + kData.size() + size * 5 + 2,
                              [&](char* out, std::size_t) {
                                char* cursor = out;
                                auto put = [&](std::string_view piece) {
                                  std::memcpy(cursor, piece.data(), piece.size());
                                  cursor += piece.size();
                                };
                                put(kHead);
                                put(index);
                                put(kData);
                                const unsigned char* bytes = record.data();
                                for (std::size_t i = 0; i < size; ++i) {
                                  if (i != 0) {
                                    cursor[0] = ',';
                                    cursor[1] = ' ';
                                    cursor += 2;
                                  }
                                  const unsigned char value = bytes[i];
                                  std::memcpy(cursor, kByteTexts.digits[value].data(), 3);
                                  cursor += kByteTexts.lengths[value];
                                }
                                put("]>");
                                return static_cast<std::size_t>(cursor - out);
                              });
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyGetSetDef chunk_attributes[] = {
    {.name = "index", .get = chunk_get_index, .doc = FENDRAL_DOC_fendral__Chunk__index},
    {.name = "data", .get = chunk_get_data, .doc = FENDRAL_DOC_fendral__Chunk__data},
    {},
};

PyType_Slot chunk_slots[] = {
    {Py_tp_doc, const_cast<char*>("Chunk(index, data)\n--\n\n" FENDRAL_DOC_fendral__Chunk)},
    {Py_tp_new, reinterpret_cast<void*>(chunk_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(chunk_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(chunk_repr)},
    {Py_tp_getset, chunk_attributes},
    {0, nullptr},
};

PyType_Spec chunk_spec = {
    .name = "builtins.Chunk",
    .basicsize = static_cast<int>(sizeof(ChunkObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = chunk_slots,
};

void look_up_chunk_slots(PyObject* created) {
  auto* type = reinterpret_cast<PyTypeObject*>(created);
  chunk_alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  chunk_free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (chunk_alloc == nullptr || chunk_free == nullptr) {
    throw InternalFault("the Chunk class lacks an allocation slot");
  }
}

// True when `type` is a class named Chunk in builtins whose instances are laid out as here.
HostResult<bool> is_chunk_class_of_this_build(PyObject* type) {
  if (!PyType_Check(type)) return false;
  for (auto [attribute, expected] : {std::pair{"__name__", "Chunk"}, {"__module__", "builtins"}}) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(type, attribute));
    if (!value) return captured_error();
    OwnedRef wanted = OwnedRef::steal(expect_object(PyUnicode_FromString(expected)));
    const int same = PyObject_RichCompareBool(value.get(), wanted.get(), Py_EQ);
    if (same < 0) return captured_error();
    if (same == 0) return false;
  }
  OwnedRef size = OwnedRef::steal(PyObject_GetAttrString(type, "__basicsize__"));
  if (!size) return captured_error();
  const long long basic_size = PyLong_AsLongLong(size.get());
  if (basic_size == -1 && PyErr_Occurred()) return captured_error();
  return basic_size == static_cast<long long>(sizeof(ChunkObject));
}

}  // namespace

HostResult<void> register_chunk_class(PyObject* module) {
  FENDRAL_TRY(auto created, get_or_create_class(chunk_class, chunk_spec, "Chunk"));
  look_up_chunk_slots(created);
  OwnedRef name = OwnedRef::steal(expect_object(PyUnicode_FromStringAndSize("Chunk", 5)));
  return add_to_module(module, name.get(), created);
}

HostResult<OwnedRef> chunks_to_list(std::vector<chunking::ChunkRecord>&& records) {
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return captured_error();
  for (std::size_t i = 0; i < records.size(); ++i) {
    FENDRAL_TRY(auto chunk, make_chunk(std::move(records[i])));
    // PyList_SetItem takes over the reference.
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), chunk.release());
  }
  return list;
}

HostResult<BorrowedChunks> to_chunk_pieces(PyObject* sequence) {
  FENDRAL_TRY(auto hint, check_sequence(sequence));
  BorrowedChunks chunks;
  chunks.keep_alive.reserve(hint);
  chunks.pieces.reserve(hint);
  auto walked = for_each_item(sequence, [&](PyObject* item) -> HostResult<void> {
    if (Py_TYPE(item) != reinterpret_cast<PyTypeObject*>(chunk_class)) {
      return unexpected(type_mismatch(item, "Chunk"));
    }
    const StoredChunk& record = record_of(item);
    chunks.keep_alive.push_back(OwnedRef::borrow(item));
    chunks.pieces.push_back({record.index, record.data(), record.size()});
    return {};
  });
  if (!walked) return unexpected(std::move(walked.error()));
  return chunks;
}

HostResult<void> adopt_chunk_class() {
  if (chunk_class != nullptr) return {};
  OwnedRef fendral = OwnedRef::steal(PyImport_ImportModule("fendral"));
  if (!fendral) return captured_error();
  OwnedRef found = OwnedRef::steal(PyObject_GetAttrString(fendral.get(), "Chunk"));
  if (!found) return captured_error();
  FENDRAL_TRY(const bool usable, is_chunk_class_of_this_build(found.get()));
  if (!usable) {
    return pending_error(PyExc_ImportError,
                         "fendral.Chunk is not the class this module was built with");
  }
  look_up_chunk_slots(found.get());
  // Kept for the life of the process, as fendral keeps it.
  chunk_class = found.release();
  return {};
}

HostResult<OwnedRef> chunk_from_record(chunking::ChunkRecord&& record) {
  return make_chunk(std::move(record));
}

HostResult<chunking::ChunkPiece> borrow_chunk(PyObject* object) {
  if (Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(chunk_class)) {
    return unexpected(type_mismatch(object, "Chunk"));
  }
  const StoredChunk& record = record_of(object);
  return chunking::ChunkPiece{record.index, record.data(), record.size()};
}

}  // namespace fendral::python
