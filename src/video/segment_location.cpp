#include "video/segment_location.hpp"

#include <optional>

#include "posix/fs.hpp"
#include "video/ffmpeg_paths.hpp"

namespace fendral::video {

namespace {

bool has_parent_component(std::string_view path) {
  while (!path.empty()) {
    const std::size_t end = path.find('/');
    if (path.substr(0, end) == "..") return true;
    path.remove_prefix(end == std::string_view::npos ? path.size() : end + 1);
  }
  return false;
}

// The part of `entry` after `directory` when the entry lies inside it, compared as text. The
// split's entries lack the "./" that an option-looking or colon-bearing directory got in the
// pattern. A remainder that is absolute or climbs out with ".." lies inside no directory.
std::optional<std::string_view> place_in_directory(std::string_view entry,
                                                   std::string_view directory) {
  std::optional<std::string_view> rest;
  if (entry.starts_with(directory)) {
    rest = entry.substr(directory.size());
  } else if (directory.starts_with("./") && entry.starts_with(directory.substr(2))) {
    rest = entry.substr(directory.size() - 2);
  }
  if (!rest || rest->empty() || rest->front() == '/' || has_parent_component(*rest)) {
    return std::nullopt;
  }
  return rest;
}

}  // namespace

SegmentHome segment_home(std::string_view output_prefix, std::string_view output_dir) {
  const std::size_t last_slash = output_prefix.rfind('/');
  const std::string_view directory = last_slash == std::string_view::npos
                                         ? std::string_view()
                                         : output_prefix.substr(0, last_slash + 1);
  return {unescape_percent(directory), output_dir};
}

std::string segment_path(const std::string& entry, const SegmentHome& home) {
  const auto rest = place_in_directory(entry, home.recorded);
  if (!rest) return entry;
  std::string relocated = posix::join_path(home.given, *rest);
  if (relocated == entry || !posix::entry_exists(relocated)) return entry;
  const auto identity = posix::file_identity(entry);
  if (identity && identity == posix::file_identity(relocated)) return entry;
  return relocated;
}

}  // namespace fendral::video
