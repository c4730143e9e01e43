// The class Mp4ChunkMetadata: a name for the record's type, so Python code can name it.
#include "python/common/module_support.hpp"
#include "python/docstrings.hpp"
#include "python/fendral/members.hpp"
#include "video/metadata.hpp"

namespace fendral::python {
namespace {

// The class exists so Python code can name the record's type; it is never instantiated.
struct MetadataObject {
  PyObject ob_base;  // the object header (what PyObject_HEAD declares)
  video::Mp4ChunkMetadata record;
};

PyType_Slot metadata_slots[] = {
    {Py_tp_doc, const_cast<char*>(FENDRAL_DOC_fendral__Mp4ChunkMetadata)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<MetadataObject>)},
    {0, nullptr},
};

PyType_Spec metadata_spec = {
    .name = "builtins.Mp4ChunkMetadata",
    .basicsize = static_cast<int>(sizeof(MetadataObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = metadata_slots,
};

PyObject* metadata_class = nullptr;

}  // namespace

HostResult<void> register_metadata_class(PyObject* module) {
  FENDRAL_TRY(PyObject* const created,
              get_or_create_class(metadata_class, metadata_spec, "Mp4ChunkMetadata"));
  OwnedRef name =
      OwnedRef::steal(expect_object(PyUnicode_FromStringAndSize("Mp4ChunkMetadata", 16)));
  return add_to_module(module, name.get(), created);
}

}  // namespace fendral::python
