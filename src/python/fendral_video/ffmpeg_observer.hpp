// What the module's calls tell Python while ffmpeg runs: its messages to the logger
// "fendral_video.ffmpeg", its progress to the caller's callback. Both run on the calling thread,
// which takes the interpreter lock back for them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "python/common/error.hpp"
#include "python/common/ref.hpp"
#include "video/split_to_fit.hpp"

namespace fendral::python {

class PythonObserver final : public video::SplitObserver {
 public:
  PythonObserver(OwnedRef logger, PyObject* progress)
      : logger_(std::move(logger)), progress_(OwnedRef::borrow(progress)) {}

  bool message(std::string_view level, std::string_view text) override;
  bool progress(std::uint64_t done, std::uint64_t total) override;

  // What a callback raised, which then ends the call.
  std::optional<ErrorValue>& raised() { return raised_; }

 private:
  bool keep_raised();

  OwnedRef logger_;
  OwnedRef progress_;
  std::optional<ErrorValue> raised_;
};

// The logger of ffmpeg's messages. The module's own logger gets a handler that drops them, once,
// as a library's should: without it, Python would print warnings to standard error for a
// program that configured no logging.
[[nodiscard]] HostResult<OwnedRef> ffmpeg_logger();

}  // namespace fendral::python
