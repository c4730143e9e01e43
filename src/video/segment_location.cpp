#include "video/segment_location.hpp"

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

}  // namespace

std::string recorded_segment_directory(std::string_view output_prefix) {
  const std::size_t last_slash = output_prefix.rfind('/');
  return last_slash == std::string_view::npos
             ? std::string()
             : unescape_percent(output_prefix.substr(0, last_slash + 1));
}

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

}  // namespace fendral::video
