#include "video/ffmpeg_paths.hpp"

#include <algorithm>
#include <cctype>

#include "posix/fs.hpp"

namespace fendral::video {

std::string lowercase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char byte) { return static_cast<char>(std::tolower(byte)); });
  return lower;
}

namespace {

// ffmpeg reads a leading '-' as an option and "name:rest" as a URL of protocol "name" when the
// name is made of URL scheme characters. True when the first path component holds a ':'.
bool first_component_has_colon(std::string_view path) {
  return path.substr(0, path.find('/')).find(':') != std::string_view::npos;
}

bool is_relative(std::string_view path) {
  return !path.empty() && path.front() != '/';
}

std::string with_dot_slash(std::string_view path) {
  return "./" + std::string(path);
}

}  // namespace

std::string escape_percent(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char byte : text) {
    escaped.push_back(byte);
    if (byte == '%') escaped.push_back('%');
  }
  return escaped;
}

std::string unescape_percent(std::string_view text) {
  std::string path;
  path.reserve(text.size());
  for (std::size_t position = 0; position < text.size(); ++position) {
    path.push_back(text[position]);
    if (text[position] == '%' && position + 1 < text.size() && text[position + 1] == '%') {
      ++position;
    }
  }
  return path;
}

std::string option_safe(const std::string& path) {
  if (path.starts_with('-') && path != "-") return with_dot_slash(path);
  return path;
}

std::string directory_for_ffmpeg(const std::string& output_dir) {
  if (is_relative(output_dir) &&
      (output_dir.starts_with('-') || first_component_has_colon(output_dir))) {
    return with_dot_slash(output_dir);
  }
  return output_dir;
}

std::string input_for_ffmpeg(const std::string& input_file) {
  if (is_relative(input_file) && first_component_has_colon(input_file) &&
      posix::path_exists(input_file)) {
    return with_dot_slash(input_file);
  }
  return option_safe(input_file);
}

std::optional<std::string> local_file_opened(std::string_view ffmpeg_name) {
  constexpr std::string_view kFileScheme = "file:";
  if (ffmpeg_name.starts_with(kFileScheme)) {
    return std::string(ffmpeg_name.substr(kFileScheme.size()));
  }
  if (ffmpeg_name.empty() || ffmpeg_name == "-" || first_component_has_colon(ffmpeg_name)) {
    return std::nullopt;
  }
  return std::string(ffmpeg_name);
}

bool reads_standard_input(std::string_view input_file) {
  return input_file == "-" || input_file == "pipe:" || input_file == "pipe:0" ||
         input_file == "/dev/stdin";
}

}  // namespace fendral::video
