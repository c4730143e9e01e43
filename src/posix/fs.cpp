#include "posix/fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <memory>

#include "posix/file.hpp"
#include "posix/interruption.hpp"

namespace fendral::posix {

namespace {

enum class Links { Follow, Keep };

// stat() or lstat() of `path`: 0, or the errno value of the failure.
int look_up(const std::string& path, struct stat& info, Links links) {
  if (check_path(path)) return EINVAL;
  for (;;) {
    const int result =
        links == Links::Follow ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
    if (result == 0) return 0;
    if (errno != EINTR || !resume_after_signal()) return errno;
  }
}

bool is_directory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// 0 when `path` is a directory afterwards (made now or already there), else the errno value.
int make_directory(const std::string& path) {
  for (;;) {
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    int code = errno;
    if (code == EINTR && resume_after_signal()) continue;
    // A missing parent must surface as ENOENT so the caller walks up; anything else is fine
    // as long as a directory stands there now (EEXIST, but also EROFS or EACCES on some
    // file systems for a directory that exists).
    if (code != ENOENT && is_directory(path)) return 0;
    return code;
  }
}

// Length of the parent of path[0, length): trailing separators and the last component dropped.
// 0 means the working directory.
std::size_t parent_length(std::string_view path, std::size_t length) {
  while (length > 0 && path[length - 1] == '/') --length;
  while (length > 0 && path[length - 1] != '/') --length;
  while (length > 1 && path[length - 1] == '/') --length;
  return length;
}

struct DirectoryCloser {
  void operator()(DIR* stream) const { ::closedir(stream); }
};
using DirectoryStream = std::unique_ptr<DIR, DirectoryCloser>;

struct Utf8Step {
  std::size_t length;  // bytes consumed
  bool valid;          // false: those bytes are one maximal ill-formed subpart
};

// Decodes one sequence at `position` (which must be inside `bytes`).
Utf8Step decode_utf8_step(std::string_view bytes, std::size_t position) {
  const auto lead = static_cast<unsigned char>(bytes[position]);
  if (lead < 0x80) return {1, true};
  std::size_t continuation_count = 0;
  // Bounds of the first continuation byte; they rule out overlongs, surrogates and code
  // points above U+10FFFF. Later continuation bytes are always 0x80..0xBF.
  unsigned char first_low = 0x80;
  unsigned char first_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuation_count = 1;
  } else if (lead == 0xE0) {
    continuation_count = 2;
    first_low = 0xA0;
  } else if (lead == 0xED) {
    continuation_count = 2;
    first_high = 0x9F;
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    continuation_count = 2;
  } else if (lead == 0xF0) {
    continuation_count = 3;
    first_low = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    continuation_count = 3;
  } else if (lead == 0xF4) {
    continuation_count = 3;
    first_high = 0x8F;
  } else {
    return {1, false};
  }
  std::size_t length = 1;
  for (std::size_t index = 0; index < continuation_count; ++index) {
    if (position + length >= bytes.size()) return {length, false};
    const auto next = static_cast<unsigned char>(bytes[position + length]);
    const unsigned char low = index == 0 ? first_low : 0x80;
    const unsigned char high = index == 0 ? first_high : 0xBF;
    if (next < low || next > high) return {length, false};
    ++length;
  }
  return {length, true};
}

}  // namespace

IoResult<void> create_dir_all(const std::string& path) {
  if (path.empty()) return {};
  if (auto error = check_path(path)) return unexpected(*error);

  // Walk up until a level exists or can be made, then make the missing levels top-down. A loop
  // rather than recursion, since the depth comes from the caller's path.
  std::vector<std::size_t> missing_lengths;  // deepest first
  std::size_t length = path.size();
  for (;;) {
    int code = make_directory(path.substr(0, length));
    if (code == 0) break;
    if (code != ENOENT) return errno_error(code);
    missing_lengths.push_back(length);
    length = parent_length(path, length);
    if (length == 0) break;  // relative path: the working directory is the existing level
  }
  for (auto level = missing_lengths.rbegin(); level != missing_lengths.rend(); ++level) {
    if (int code = make_directory(path.substr(0, *level)); code != 0) return errno_error(code);
  }
  return {};
}

IoResult<std::vector<std::string>> list_directory(const std::string& path) {
  auto fd = open_file(path, O_RDONLY | O_DIRECTORY);
  if (!fd) return unexpected(fd.error());
  DirectoryStream stream(::fdopendir(fd->get()));
  if (!stream) return errno_error(errno);
  fd->release();  // the stream closes it now

  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (errno == EINTR) {
        if (resume_after_signal()) continue;
        return errno_error(EINTR);
      }
      // End of the listing, or an entry the system cannot deliver. The stream does not move
      // past a failed read, so asking again would fail forever: the rest is skipped.
      break;
    }
    std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

std::string join_path(std::string_view directory, std::string_view name) {
  std::string joined;
  joined.reserve(directory.size() + 1 + name.size());
  joined.append(directory);
  if (!directory.empty() && directory.back() != '/') joined.push_back('/');
  joined.append(name);
  return joined;
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t position = 0;
  while (position < bytes.size()) {
    Utf8Step step = decode_utf8_step(bytes, position);
    if (!step.valid) return false;
    position += step.length;
  }
  return true;
}

std::string lossy_utf8(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  std::size_t position = 0;
  while (position < bytes.size()) {
    Utf8Step step = decode_utf8_step(bytes, position);
    if (step.valid) {
      text.append(bytes.substr(position, step.length));
    } else {
      text.append(kReplacement);
    }
    position += step.length;
  }
  return text;
}

bool path_exists(const std::string& path) {
  struct stat info;
  return look_up(path, info, Links::Follow) == 0;
}

std::optional<FileIdentity> file_identity(const std::string& path) {
  struct stat info;
  if (look_up(path, info, Links::Follow) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

bool entry_exists(const std::string& path) {
  struct stat info;
  return look_up(path, info, Links::Keep) == 0;
}

}  // namespace fendral::posix
