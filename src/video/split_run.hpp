// The steps every split takes in the same order, whichever way its cuts are chosen: the
// directory claimed, ffmpeg's start made safe, the records stored with metadata.json last.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/failure.hpp"
#include "posix/spawn.hpp"
#include "video/metadata.hpp"
#include "video/source_probe.hpp"
#include "video/split_directory.hpp"

namespace fendral::video {

class SplitRun {
 public:
  // Creates `output_dir` and claims it for a split of `input_file`: one split per directory at a
  // time (two would write each other's segments and record). Lists what the previous split left
  // there to clear, refusing when the input is among it.
  static Result<SplitRun> claim(const std::string& input_file, const std::string& output_dir);

  const SplitDirectory& directory() const { return directory_; }
  SplitDirectory& directory() { return directory_; }

  // Every refusal comes before anything in the directory changes: ffmpeg is looked up for
  // `arguments` and a pending Ctrl-C is honoured; only then is the previous split cleared.
  Result<void> start(const std::vector<std::string>& arguments,
                     const posix::Environment& environment) const;

  // The side run first, so that a split it fails leaves no record; then the segment list (as
  // ffmpeg wrote it: bare names, so a moved directory still matches it) and the source's
  // metadata, all before metadata.json, which then names a split whose records are complete.
  Result<void> record(const SourceProbe& source, std::string_view segment_times,
                      std::string_view source_metadata, const Mp4ChunkMetadata& metadata,
                      const posix::Environment& environment) const;

 private:
  SplitRun(SplitDirectory directory, std::vector<std::string> cleared)
      : directory_(std::move(directory)), cleared_(std::move(cleared)) {}

  SplitDirectory directory_;
  std::vector<std::string> cleared_;
};

}  // namespace fendral::video
