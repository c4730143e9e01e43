// Where a join's output is written: a file of the join's own, placed under the caller's name
// only once it is checked, so the output appears whole or not at all and a failed join removes
// nothing it did not write.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/failure.hpp"

namespace fendral::video {

class JoinOutput {
 public:
  // For `output_file` as the caller names it. A local path (a "file:" URL too) whose directory
  // exists and where nothing is yet gets a directory of the join's own beside it (mode 0700,
  // named ".fendral-join-" and six characters), in which ffmpeg writes a file of the output's
  // own name, so it picks the output's format and gives the file the mode a new file gets. An
  // entry already there (a regular file, a directory, a link even if dangling) is refused as
  // ffmpeg refuses it, before ffmpeg runs, as is a directory that is missing or closed to us;
  // the failure's cause is the system's reason, naming the path. Anything else (a URL, "-", a
  // device or FIFO, an output ffmpeg writes as several files: an HLS playlist .m3u8, a DASH
  // manifest .mpd) is handed to ffmpeg as it is.
  static Result<JoinOutput> prepare(const std::string& output_file);
  // The same, refusing with `refusal` where the join refuses with ffmpeg's words.
  static Result<JoinOutput> prepare(const std::string& output_file, std::string_view refusal);

  JoinOutput(JoinOutput&& other) noexcept;
  JoinOutput& operator=(JoinOutput&&) = delete;
  JoinOutput(const JoinOutput&) = delete;
  JoinOutput& operator=(const JoinOutput&) = delete;
  // Unless placed, removes the join's own directory with everything ffmpeg wrote in it, and
  // nothing else.
  ~JoinOutput();

  // The name ffmpeg is told to write (before option_safe), and reads back once it is done.
  const std::string& written() const { return written_; }
  // Whether ffmpeg writes in the join's own directory, where the file may be amended before it
  // is placed.
  bool in_own_directory() const { return private_directory_.has_value(); }
  // That directory, where a step may keep files of its own beside the output.
  const std::optional<std::string>& own_directory() const { return private_directory_; }
  // Gives the written file the caller's name, refusing as at the start when an entry appeared
  // there meanwhile. Nothing to do where ffmpeg wrote under that name itself.
  Result<void> place();

 private:
  JoinOutput(std::string written, std::optional<std::string> private_directory,
             std::string placed_as, std::string_view refusal)
      : written_(std::move(written)),
        private_directory_(std::move(private_directory)),
        placed_as_(std::move(placed_as)),
        refusal_(refusal) {}

  std::string written_;
  std::optional<std::string> private_directory_;  // nothing when ffmpeg writes the output itself
  std::string placed_as_;
  std::string refusal_;
};

}  // namespace fendral::video
