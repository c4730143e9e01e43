// The split's record of the source's container metadata and chapters (source_metadata.txt),
// as the join hands it to ffmpeg.
#pragma once

#include <optional>
#include <string>

#include "base/failure.hpp"
#include "posix/file.hpp"

namespace fendral::video {

// The record opened when it is a regular file, with whether it holds QuickTime keyed tags. A
// link there is not followed, and a FIFO, device or directory neither stalls the open nor is
// handed on: the join then goes as it would without the record.
struct SourceMetadata {
  posix::UniqueFd fd;
  bool quicktime_keys = false;
};

Result<std::optional<SourceMetadata>> open_source_metadata(const std::string& output_dir);

}  // namespace fendral::video
