// The entry points of video, and the class Mp4ChunkMetadata.
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/docstrings.hpp"
#include "python/entry_points.hpp"
#include "python/module_support.hpp"
#include "python/unlocked.hpp"
#include "video/metadata.hpp"
#include "video/video.hpp"

namespace fendral::python {

PyObject* split_video_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<void> {
    static constexpr std::array<std::string_view, 3> kParameters{"input_file", "output_dir",
                                                                 "time_limit_sec"};
    FENDRAL_TRY(const auto bound, bind_arguments("split_video()", kParameters, args, kwargs));
    FENDRAL_TRY(const auto input_file, convert_argument(bound[0], "input_file", to_string));
    FENDRAL_TRY(const auto output_dir, convert_argument(bound[1], "output_dir", to_string));
    FENDRAL_TRY(const auto time_limit,
                convert_argument(bound[2], "time_limit_sec",
                                 [](PyObject* value) { return optional_of(value, to_u32); }));

    // Taken while the lock keeps Python threads from changing the environment under the spawn.
    const auto environment = posix::Environment::capture();
    return run_unlocked(
        [&] { return video::split_video(input_file, output_dir, time_limit, environment); });
  });
}

namespace {

// What the join leaves out, told as a UserWarning, which a warnings filter can make an error
// that stops the join before ffmpeg starts.
class WarningObserver final : public video::JoinObserver {
 public:
  bool left_out(std::string_view what) override {
    LockHeld held;
    const std::string text(what);
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) == 0) return true;
    if (!raised_) raised_ = ErrorValue::capture();
    return false;
  }
  std::optional<ErrorValue>& raised() { return raised_; }

 private:
  std::optional<ErrorValue> raised_;
};

}  // namespace

PyObject* reconstruct_video_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<void> {
    static constexpr std::array<std::string_view, 2> kParameters{"output_dir", "output_file"};
    FENDRAL_TRY(const auto bound, bind_arguments("reconstruct_video()", kParameters, args, kwargs));
    FENDRAL_TRY(const auto output_dir, convert_argument(bound[0], "output_dir", to_string));
    FENDRAL_TRY(const auto output_file, convert_argument(bound[1], "output_file", to_string));

    const auto environment = posix::Environment::capture();
    WarningObserver observer;
    auto joined = run_unlocked(
        [&] { return video::reconstruct_video(output_dir, output_file, environment, &observer); });
    if (observer.raised()) return unexpected(std::move(*observer.raised()));
    return joined;
  });
}

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
