#include "lib/chunk_type.hpp"

#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "host/binding.hpp"
#include "host/convert.hpp"
#include "host/module_support.hpp"

namespace fendral::lib {
namespace {

using host::ErrorValue;
using host::HostResult;
using host::OwnedRef;

struct ChunkObject {
  PyObject_HEAD
  ChunkRecord record;
};

PyObject* chunk_class = nullptr;

ChunkRecord& record_of(PyObject* self) { return reinterpret_cast<ChunkObject*>(self)->record; }

HostResult<OwnedRef> make_chunk(ChunkRecord&& record) {
  return host::make_instance<ChunkObject>(reinterpret_cast<PyTypeObject*>(chunk_class),
                                          std::move(record));
}

PyObject* chunk_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return host::guarded_entry([&]() -> PyObject* {
    static constexpr std::array<std::string_view, 2> kParameters{"index", "data"};
    auto bound = host::bind_arguments("Chunk.__new__()", kParameters, args, kwargs);
    if (!bound) return host::raise_and_return_null(std::move(bound.error()));
    auto index = host::convert_argument((*bound)[0], "index", host::to_u64);
    if (!index) return host::raise_and_return_null(std::move(index.error()));
    auto data = host::convert_argument((*bound)[1], "data", host::to_byte_buffer);
    if (!data) return host::raise_and_return_null(std::move(data.error()));
    auto chunk = make_chunk(ChunkRecord{*index, std::move(*data)});
    if (!chunk) return host::raise_and_return_null(std::move(chunk.error()));
    return chunk->release();
  });
}

PyObject* chunk_get_index(PyObject* self, void*) {
  return host::guarded_entry(
      [&] { return PyLong_FromUnsignedLongLong(record_of(self).index); });
}

PyObject* chunk_get_data(PyObject* self, void*) {
  return host::guarded_entry([&] {
    const auto& payload = record_of(self).payload;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload.data()),
                                     static_cast<Py_ssize_t>(payload.size()));
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
  return host::guarded_entry([&] {
    const ChunkRecord& record = record_of(self);
    const std::string index = std::to_string(record.index);
    constexpr std::string_view kHead = "<Chunk index=";
    constexpr std::string_view kData = " data=[";
    const std::size_t size = record.payload.size();
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
                                const unsigned char* bytes = record.payload.data();
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
    {"index", chunk_get_index, nullptr, nullptr, nullptr},
    {"data", chunk_get_data, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot chunk_slots[] = {
    {Py_tp_doc, const_cast<char*>("Chunk(index, data)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(chunk_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(host::dealloc_instance<ChunkObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(chunk_repr)},
    {Py_tp_getset, chunk_attributes},
    {0, nullptr},
};

PyType_Spec chunk_spec = {
    "builtins.Chunk",
    static_cast<int>(sizeof(ChunkObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    chunk_slots,
};

}  // namespace

HostResult<void> register_chunk_class(PyObject* module) {
  auto created = host::get_or_create_class(chunk_class, chunk_spec, "Chunk");
  if (!created) return std::unexpected(std::move(created.error()));
  OwnedRef name = OwnedRef::steal(host::expect_object(PyUnicode_FromStringAndSize("Chunk", 5)));
  return host::add_to_module(module, name.get(), *created);
}

HostResult<OwnedRef> chunks_to_list(std::vector<ChunkRecord>&& records) {
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return host::captured_error();
  for (std::size_t i = 0; i < records.size(); ++i) {
    auto chunk = make_chunk(std::move(records[i]));
    if (!chunk) return std::unexpected(std::move(chunk.error()));
    // PyList_SetItem takes over the reference.
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), chunk->release());
  }
  return list;
}

HostResult<BorrowedChunks> to_chunk_pieces(PyObject* sequence) {
  auto hint = host::check_sequence(sequence);
  if (!hint) return std::unexpected(std::move(hint.error()));
  BorrowedChunks chunks;
  constexpr std::size_t kLargestTrustedHint = std::size_t{1} << 24;
  chunks.keep_alive.reserve(std::min(*hint, kLargestTrustedHint));
  chunks.pieces.reserve(std::min(*hint, kLargestTrustedHint));
  auto walked = host::for_each_item(sequence, [&](PyObject* item) -> HostResult<void> {
    if (Py_TYPE(item) != reinterpret_cast<PyTypeObject*>(chunk_class)) {
      return std::unexpected(host::type_mismatch(item, "Chunk"));
    }
    const ChunkRecord& record = record_of(item);
    chunks.keep_alive.push_back(OwnedRef::borrow(item));
    chunks.pieces.push_back({record.index, record.payload.data(), record.payload.size()});
    return {};
  });
  if (!walked) return std::unexpected(std::move(walked.error()));
  return chunks;
}

}  // namespace fendral::lib
