// The record describing one split of a video, its metadata.json text, and the strict reader
// of that text. Pure C++: nothing here knows of Python or of files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.hpp"

namespace fendral::video {

struct Mp4ChunkMetadata {
  std::string original_file;
  std::string output_prefix;
  std::uint64_t chunk_count = 0;
  std::vector<std::string> chunk_paths;
  std::string split_type;
  std::string split_value;

  bool operator==(const Mp4ChunkMetadata&) const = default;
};

// The exact bytes of metadata.json for `metadata`: two-space indented JSON, keys in field order,
// no final line feed. Cannot fail.
std::string metadata_to_json(const Mp4ChunkMetadata& metadata);

// Reads a record from JSON text, in object form (keys in any order, unknown keys skipped) or as
// an array of the six values in field order. Refuses with a reason followed by
// " at line L column C" (columns count bytes). One forward pass; the native stack stays flat
// however deeply a skipped value nests.
expected<Mp4ChunkMetadata, std::string> read_metadata(std::string_view text);

}  // namespace fendral::video
