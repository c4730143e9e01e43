// Cutting a video into segment files and joining them back, both done by the ffmpeg program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/failure.hpp"
#include "posix/program_search.hpp"

namespace fendral::video {

// Has ffmpeg copy `input_file` into segments of about `time_limit_sec` seconds named
// chunk_NNN.mp4 in `output_dir` (created with its parents), then records them in
// `output_dir`/metadata.json. A missing or zero limit is refused after the directory exists.
// ffmpeg is looked up in, and runs with, `environment`.
Result<void> split_video(const std::string& input_file, const std::string& output_dir,
                         std::optional<std::uint32_t> time_limit_sec,
                         const posix::Environment& environment);

// Reads `output_dir`/metadata.json, writes `output_dir`/concat_list.txt naming every segment by
// absolute path, and has ffmpeg join the segments into `output_file`. Segments recorded inside
// the split's directory are also looked for under `output_dir`, wherever that directory is now.
// Told, before ffmpeg starts, of the split's streams that the output cannot hold (a side file of
// the other family, or an output that takes none); false stops the join.
class JoinObserver {
 public:
  virtual bool left_out(std::string_view what) = 0;

 protected:
  ~JoinObserver() = default;
};

Result<void> reconstruct_video(const std::string& output_dir, const std::string& output_file,
                               const posix::Environment& environment,
                               JoinObserver* observer = nullptr);

}  // namespace fendral::video
