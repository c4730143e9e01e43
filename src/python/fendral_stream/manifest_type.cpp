// fendral_stream.Manifest: made from a file, from read_chunks, from its JSON text or from the
// CRCs of chunks checksummed elsewhere, and never changed after. It pickles as the last.
#include "python/fendral_stream/manifest_type.hpp"

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.hpp"
#include "chunking/chunk_stream.hpp"
#include "chunking/parity.hpp"
#include "python/common/binding.hpp"
#include "python/common/convert.hpp"
#include "python/common/module_support.hpp"
#include "python/common/unlocked.hpp"
#include "python/docstrings.hpp"

namespace fendral::python {
namespace {

struct ManifestObject {
  PyObject ob_base;
  chunking::Manifest record;
};

PyObject* manifest_class = nullptr;

const chunking::Manifest& manifest_of(PyObject* self) {
  return reinterpret_cast<ManifestObject*>(self)->record;
}

bool is_manifest(PyObject* object) {
  return Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(manifest_class);
}

OwnedRef number(std::uint64_t value) {
  return OwnedRef::steal(expect_object(PyLong_FromUnsignedLongLong(value)));
}

// The CRCs of an iterable argument.
HostResult<std::vector<std::uint32_t>> crc_argument(PyObject* argument, std::string_view name) {
  std::vector<std::uint32_t> crcs;
  FENDRAL_TRY(const auto hint, convert_argument(argument, name, check_sequence));
  crcs.reserve(hint);
  FENDRAL_CHECK(for_each_item(argument, [&](PyObject* item) -> HostResult<void> {
    FENDRAL_TRY(const auto crc, to_u32(item));
    crcs.push_back(crc);
    return {};
  }));
  return crcs;
}

PyObject* manifest_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 4> kParameters{"chunk_size", "size", "crc32c",
                                                                 "parity_crc32c"};
    FENDRAL_TRY(const auto bound, bind_arguments("Manifest()", kParameters, args, kwargs, 3));
    FENDRAL_TRY(const auto chunk_size, convert_argument(bound[0], "chunk_size", to_u64));
    FENDRAL_TRY(const auto size, convert_argument(bound[1], "size", to_u64));
    FENDRAL_TRY(auto crcs, crc_argument(bound[2], "crc32c"));
    std::vector<std::uint32_t> parity_crcs;
    if (bound[3] != nullptr) {
      FENDRAL_TRY(parity_crcs, crc_argument(bound[3], "parity_crc32c"));
    }
    auto manifest =
        chunking::manifest_of_parts(chunk_size, size, std::move(crcs), std::move(parity_crcs));
    if (!manifest) return unexpected(ErrorValue::from_failure(manifest.error()));
    return manifest_object(std::move(*manifest));
  });
}

// (Manifest, (chunk_size, size, crc32c)), with parity_crc32c after when there are parity
// chunks: what pickle calls to make it again.
PyObject* manifest_reduce(PyObject* self, PyObject*) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    const chunking::Manifest& manifest = manifest_of(self);
    OwnedRef crcs = OwnedRef::steal(expect_object(PyObject_GetAttrString(self, "crc32c")));
    const bool with_parity = manifest.parity() > 0;
    OwnedRef arguments = OwnedRef::steal(expect_object(PyTuple_New(with_parity ? 4 : 3)));
    PyTuple_SetItem(arguments.get(), 0, number(manifest.chunk_size).release());
    PyTuple_SetItem(arguments.get(), 1, number(manifest.size).release());
    PyTuple_SetItem(arguments.get(), 2, crcs.release());
    if (with_parity) {
      PyTuple_SetItem(
          arguments.get(), 3,
          OwnedRef::steal(expect_object(PyObject_GetAttrString(self, "parity_crc32c"))).release());
    }
    OwnedRef reduced = OwnedRef::steal(expect_object(PyTuple_New(2)));
    PyTuple_SetItem(reduced.get(), 0, OwnedRef::borrow(manifest_class).release());
    PyTuple_SetItem(reduced.get(), 1, arguments.release());
    return reduced;
  });
}

PyObject* manifest_of_file_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 3> kParameters{"path", "chunk_size", "parity"};
    FENDRAL_TRY(const auto bound, bind_arguments("of_file()", kParameters, args, kwargs, 2, 2));
    FENDRAL_TRY(const auto path, convert_argument(bound[0], "path", to_text_path));
    FENDRAL_TRY(const auto chunk_size, convert_argument(bound[1], "chunk_size", to_u64));
    FENDRAL_TRY(const auto parity, parity_argument(bound[2], chunk_size));
    FENDRAL_TRY(auto manifest, run_unlocked([&] {
                  return parity == 0 ? chunking::manifest_of_file(path, chunk_size)
                                     : chunking::manifest_with_parity(path, chunk_size, parity);
                }));
    return manifest_object(std::move(manifest));
  });
}

// A manifest's text as UTF-8 bytes where they lie: the UTF-8 of a str, or the bytes given.
HostResult<OwnedRef> utf8_of_text(PyObject* text) {
  if (PyBytes_Check(text)) return OwnedRef::borrow(text);
  if (!PyUnicode_Check(text)) return unexpected(type_mismatch(text, "PyString"));
  OwnedRef utf8 = OwnedRef::steal(PyUnicode_AsUTF8String(text));
  if (!utf8) return captured_error();
  return utf8;
}

PyObject* manifest_from_json_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 1> kParameters{"text"};
    FENDRAL_TRY(const auto bound, bind_arguments("from_json()", kParameters, args, kwargs));
    FENDRAL_TRY(auto utf8, convert_argument(bound[0], "text", utf8_of_text));
    const std::string_view text(PyBytes_AsString(utf8.get()),
                                static_cast<std::size_t>(PyBytes_Size(utf8.get())));
    if (PyBytes_Check(bound[0]) && !is_valid_utf8(text)) {
      return pending_error(PyExc_ValueError, "Manifest JSON is not UTF-8 text");
    }
    auto manifest = chunking::manifest_from_json(text);
    if (!manifest) return unexpected(ErrorValue::from_failure(manifest.error()));
    return manifest_object(std::move(*manifest));
  });
}

PyObject* manifest_to_json_entry(PyObject* self, PyObject*) {
  return guarded_entry([&] {
    const std::string text = chunking::manifest_to_json(manifest_of(self));
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* manifest_verify_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 1> kParameters{"path"};
    FENDRAL_TRY(const auto bound, bind_arguments("verify_file()", kParameters, args, kwargs));
    FENDRAL_TRY(const auto path, convert_argument(bound[0], "path", to_text_path));
    // The object holds the manifest, and it never changes, so it is read without the lock.
    FENDRAL_TRY(const auto differing,
                run_unlocked([&] { return chunking::chunks_differing(manifest_of(self), path); }));
    OwnedRef list =
        OwnedRef::steal(expect_object(PyList_New(static_cast<Py_ssize_t>(differing.size()))));
    for (std::size_t i = 0; i < differing.size(); ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), number(differing[i]).release());
    }
    return list;
  });
}

PyObject* manifest_get_chunk_size(PyObject* self, void*) {
  return guarded_entry([&] { return number(manifest_of(self).chunk_size).release(); });
}
PyObject* manifest_get_size(PyObject* self, void*) {
  return guarded_entry([&] { return number(manifest_of(self).size).release(); });
}
PyObject* manifest_get_count(PyObject* self, void*) {
  return guarded_entry([&] { return number(manifest_of(self).count()).release(); });
}
PyObject* manifest_get_file_crc32c(PyObject* self, void*) {
  return guarded_entry([&] { return number(manifest_of(self).file_crc32c).release(); });
}
PyObject* crc_tuple(const std::vector<std::uint32_t>& crcs) {
  OwnedRef tuple =
      OwnedRef::steal(expect_object(PyTuple_New(static_cast<Py_ssize_t>(crcs.size()))));
  for (std::size_t i = 0; i < crcs.size(); ++i) {
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), number(crcs[i]).release());
  }
  return tuple.release();
}
PyObject* manifest_get_crc32c(PyObject* self, void*) {
  return guarded_entry([&] { return crc_tuple(manifest_of(self).crc32c); });
}
PyObject* manifest_get_parity(PyObject* self, void*) {
  return guarded_entry([&] { return number(manifest_of(self).parity()).release(); });
}
PyObject* manifest_get_parity_crc32c(PyObject* self, void*) {
  return guarded_entry([&] { return crc_tuple(manifest_of(self).parity_crc32c); });
}

PyObject* manifest_repr(PyObject* self) {
  return guarded_entry([&] {
    const chunking::Manifest& manifest = manifest_of(self);
    std::string text = "Manifest(chunk_size=" + std::to_string(manifest.chunk_size) +
                       ", size=" + std::to_string(manifest.size) +
                       ", count=" + std::to_string(manifest.count()) +
                       ", file_crc32c=" + chunking::crc_text(manifest.file_crc32c);
    if (manifest.parity() > 0) text += ", parity=" + std::to_string(manifest.parity());
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* manifest_compare(PyObject* self, PyObject* other, int operation) {
  return guarded_entry([&] {
    if (!is_manifest(other) || (operation != Py_EQ && operation != Py_NE)) {
      return OwnedRef::borrow(Py_NotImplemented).release();
    }
    const bool equal = manifest_of(self) == manifest_of(other);
    return PyBool_FromLong((operation == Py_EQ) == equal ? 1 : 0);
  });
}

Py_hash_t manifest_hash(PyObject* self) {
  // Equal manifests have equal CRCs of the whole file, sizes and chunk sizes.
  const chunking::Manifest& manifest = manifest_of(self);
  std::uint64_t mixed = manifest.file_crc32c;
  for (std::uint64_t field : {manifest.size, manifest.chunk_size}) {
    mixed = (mixed ^ field) * 0x100000001b3ull;
  }
  const auto hash = static_cast<Py_hash_t>(mixed >> 1);
  return hash == -1 ? -2 : hash;
}

PyMethodDef manifest_methods[] = {
    {"of_file", as_method(manifest_of_file_entry), kKeywordCall | METH_CLASS,
     "of_file($type, path, chunk_size, *, "
     "parity=0)\n--\n\n" FENDRAL_DOC_fendral_stream__Manifest__of_file},
    {"from_json", as_method(manifest_from_json_entry), kKeywordCall | METH_CLASS,
     "from_json($type, text)\n--\n\n" FENDRAL_DOC_fendral_stream__Manifest__from_json},
    {"to_json", manifest_to_json_entry, METH_NOARGS,
     "to_json($self, /)\n--\n\n" FENDRAL_DOC_fendral_stream__Manifest__to_json},
    {"__reduce__", manifest_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\n" FENDRAL_DOC_fendral_stream__Manifest____reduce__},
    {"verify_file", as_method(manifest_verify_file), kKeywordCall,
     "verify_file($self, path)\n--\n\n" FENDRAL_DOC_fendral_stream__Manifest__verify_file},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef manifest_attributes[] = {
    {"chunk_size", manifest_get_chunk_size, nullptr,
     FENDRAL_DOC_fendral_stream__Manifest__chunk_size, nullptr},
    {"size", manifest_get_size, nullptr, FENDRAL_DOC_fendral_stream__Manifest__size, nullptr},
    {"count", manifest_get_count, nullptr, FENDRAL_DOC_fendral_stream__Manifest__count, nullptr},
    {"crc32c", manifest_get_crc32c, nullptr, FENDRAL_DOC_fendral_stream__Manifest__crc32c, nullptr},
    {"file_crc32c", manifest_get_file_crc32c, nullptr,
     FENDRAL_DOC_fendral_stream__Manifest__file_crc32c, nullptr},
    {"parity", manifest_get_parity, nullptr, FENDRAL_DOC_fendral_stream__Manifest__parity, nullptr},
    {"parity_crc32c", manifest_get_parity_crc32c, nullptr,
     FENDRAL_DOC_fendral_stream__Manifest__parity_crc32c, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot manifest_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Manifest(chunk_size, size, crc32c, "
                       "parity_crc32c=())\n--\n\n" FENDRAL_DOC_fendral_stream__Manifest)},
    {Py_tp_new, reinterpret_cast<void*>(manifest_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ManifestObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(manifest_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(manifest_compare)},
    {Py_tp_hash, reinterpret_cast<void*>(manifest_hash)},
    {Py_tp_methods, manifest_methods},
    {Py_tp_getset, manifest_attributes},
    {0, nullptr},
};

PyType_Spec manifest_spec = {
    "fendral_stream.Manifest",
    static_cast<int>(sizeof(ManifestObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    manifest_slots,
};

}  // namespace

HostResult<void> register_manifest_class(PyObject* module) {
  FENDRAL_TRY(PyObject* const created,
              get_or_create_class(manifest_class, manifest_spec, "Manifest"));
  OwnedRef name = OwnedRef::steal(expect_object(PyUnicode_FromStringAndSize("Manifest", 8)));
  return add_to_module(module, name.get(), created);
}

HostResult<OwnedRef> manifest_object(chunking::Manifest&& manifest) {
  FENDRAL_TRY(PyObject* const type, get_or_create_class(manifest_class, manifest_spec, "Manifest"));
  return make_instance<ManifestObject>(type, std::move(manifest));
}

HostResult<std::uint64_t> parity_argument(PyObject* argument, std::uint64_t chunk_size) {
  if (argument == nullptr) return 0;
  FENDRAL_TRY(const auto parity, convert_argument(argument, "parity", to_u64));
  if (auto checked = chunking::check_parity(chunk_size, parity); !checked) {
    return unexpected(ErrorValue::from_failure(checked.error()));
  }
  return parity;
}

HostResult<chunking::Manifest> to_manifest(PyObject* object) {
  if (manifest_class == nullptr || !is_manifest(object)) {
    return unexpected(type_mismatch(object, "Manifest"));
  }
  return manifest_of(object);
}

}  // namespace fendral::python
