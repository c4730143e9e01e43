// The observer of ffmpeg's runs, and the logger it writes to.
#include "python/fendral_video/ffmpeg_observer.hpp"

#include <string>

#include "python/common/unlocked.hpp"

namespace fendral::python {
namespace {

constexpr std::string_view kLoggerName = "fendral_video.ffmpeg";

// logging's levels for ffmpeg's.
int logging_level(std::string_view level) {
  if (level == "panic" || level == "fatal") return 50;
  if (level == "error") return 40;
  if (level == "warning") return 30;
  if (level == "info") return 20;
  return 10;
}

}  // namespace

bool PythonObserver::message(std::string_view level, std::string_view text) {
  LockHeld held;
  OwnedRef line = OwnedRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
  if (!line) return keep_raised();
  OwnedRef outcome = OwnedRef::steal(
      PyObject_CallMethod(logger_.get(), "log", "iO", logging_level(level), line.get()));
  return outcome ? true : keep_raised();
}

bool PythonObserver::progress(std::uint64_t done, std::uint64_t total) {
  if (!progress_) return true;
  LockHeld held;
  OwnedRef outcome = OwnedRef::steal(PyObject_CallFunction(
      progress_.get(), "dd", static_cast<double>(done) / 1e6, static_cast<double>(total) / 1e6));
  return outcome ? true : keep_raised();
}

bool PythonObserver::keep_raised() {
  if (!raised_) {
    raised_ = ErrorValue::capture();
  } else {
    PyErr_Clear();
  }
  return false;
}

HostResult<OwnedRef> ffmpeg_logger() {
  static bool null_handler_added = false;
  OwnedRef logging = OwnedRef::steal(PyImport_ImportModule("logging"));
  if (!logging) return captured_error();
  if (!null_handler_added) {
    OwnedRef module_logger =
        OwnedRef::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "fendral_video"));
    if (!module_logger) return captured_error();
    OwnedRef handler = OwnedRef::steal(PyObject_CallMethod(logging.get(), "NullHandler", nullptr));
    if (!handler) return captured_error();
    OwnedRef added =
        OwnedRef::steal(PyObject_CallMethod(module_logger.get(), "addHandler", "O", handler.get()));
    if (!added) return captured_error();
    null_handler_added = true;
  }
  OwnedRef logger = OwnedRef::steal(
      PyObject_CallMethod(logging.get(), "getLogger", "s", std::string(kLoggerName).c_str()));
  if (!logger) return captured_error();
  return logger;
}

}  // namespace fendral::python
