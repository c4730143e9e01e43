// The module's video functions: split_video and reconstruct_video.
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "python/common/binding.hpp"
#include "python/common/convert.hpp"
#include "python/common/module_support.hpp"
#include "python/common/unlocked.hpp"
#include "python/fendral/members.hpp"
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

}  // namespace fendral::python
