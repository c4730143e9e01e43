#include "python/video_entry.hpp"

#include <array>
#include <string_view>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/module_support.hpp"
#include "python/unlocked.hpp"
#include "video/metadata.hpp"
#include "video/video.hpp"

namespace fendral::python {
namespace {

PyObject* split_video_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> PyObject* {
    static constexpr std::array<std::string_view, 3> kParameters{"input_file", "output_dir",
                                                                 "time_limit_sec"};
    auto bound = bind_arguments("split_video()", kParameters, args, kwargs);
    if (!bound) return raise_and_return_null(std::move(bound.error()));
    auto input_file = convert_argument((*bound)[0], "input_file", to_string);
    if (!input_file) return raise_and_return_null(std::move(input_file.error()));
    auto output_dir = convert_argument((*bound)[1], "output_dir", to_string);
    if (!output_dir) return raise_and_return_null(std::move(output_dir.error()));
    auto time_limit = convert_argument((*bound)[2], "time_limit_sec",
                                       [](PyObject* value) { return optional_of(value, to_u32); });
    if (!time_limit) return raise_and_return_null(std::move(time_limit.error()));

    // Taken while the lock keeps Python threads from changing the environment under the spawn.
    const auto environment = posix::Environment::capture();
    auto done = run_unlocked(
        [&] { return video::split_video(*input_file, *output_dir, *time_limit, environment); });
    if (!done) return raise_and_return_null(std::move(done.error()));
    Py_RETURN_NONE;
  });
}

PyObject* reconstruct_video_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> PyObject* {
    static constexpr std::array<std::string_view, 2> kParameters{"output_dir", "output_file"};
    auto bound = bind_arguments("reconstruct_video()", kParameters, args, kwargs);
    if (!bound) return raise_and_return_null(std::move(bound.error()));
    auto output_dir = convert_argument((*bound)[0], "output_dir", to_string);
    if (!output_dir) return raise_and_return_null(std::move(output_dir.error()));
    auto output_file = convert_argument((*bound)[1], "output_file", to_string);
    if (!output_file) return raise_and_return_null(std::move(output_file.error()));

    const auto environment = posix::Environment::capture();
    auto done = run_unlocked(
        [&] { return video::reconstruct_video(*output_dir, *output_file, environment); });
    if (!done) return raise_and_return_null(std::move(done.error()));
    Py_RETURN_NONE;
  });
}

PyMethodDef split_video_definition = {
    "split_video", as_method(split_video_entry), METH_VARARGS | METH_KEYWORDS,
    "split_video(input_file, output_dir, time_limit_sec)\n--\n\n"};
PyMethodDef reconstruct_video_definition = {"reconstruct_video", as_method(reconstruct_video_entry),
                                            METH_VARARGS | METH_KEYWORDS,
                                            "reconstruct_video(output_dir, output_file)\n--\n\n"};

// The class exists so Python code can name the record's type; it is never instantiated.
struct MetadataObject {
  PyObject ob_base;  // the object header (what PyObject_HEAD declares)
  video::Mp4ChunkMetadata record;
};

PyType_Slot metadata_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<MetadataObject>)},
    {0, nullptr},
};

PyType_Spec metadata_spec = {
    "builtins.Mp4ChunkMetadata",
    static_cast<int>(sizeof(MetadataObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    metadata_slots,
};

PyObject* metadata_class = nullptr;

}  // namespace

HostResult<void> register_video(PyObject* module) {
  auto created = get_or_create_class(metadata_class, metadata_spec, "Mp4ChunkMetadata");
  if (!created) return unexpected(std::move(created.error()));
  OwnedRef name =
      OwnedRef::steal(expect_object(PyUnicode_FromStringAndSize("Mp4ChunkMetadata", 16)));
  if (auto added = add_to_module(module, name.get(), *created); !added) return added;
  if (auto added = add_function(module, split_video_definition); !added) return added;
  return add_function(module, reconstruct_video_definition);
}

}  // namespace fendral::python
