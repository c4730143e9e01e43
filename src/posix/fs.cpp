#include "posix/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

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

std::string join_path(std::string_view directory, std::string_view name) {
  std::string joined;
  joined.reserve(directory.size() + 1 + name.size());
  joined.append(directory);
  if (!directory.empty() && directory.back() != '/') joined.push_back('/');
  joined.append(name);
  return joined;
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

std::optional<FileIdentity> descriptor_identity(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

bool is_symbolic_link(const std::string& path) {
  struct stat info;
  return look_up(path, info, Links::Keep) == 0 && S_ISLNK(info.st_mode);
}

IoResult<UniqueFd> open_directory(const std::string& path) {
  return open_file(path.empty() ? "." : path, O_RDONLY | O_DIRECTORY);
}

IoResult<std::vector<std::string>> list_directory(int directory) {
  // The kernel's record of one entry as getdents64 fills it in; the name runs to a NUL.
  struct Entry {
    std::uint64_t inode;
    std::int64_t next_offset;
    unsigned short length;
    unsigned char type;
    char name[1];
  };
  if (::lseek(directory, 0, SEEK_SET) < 0) return errno_error(errno);
  alignas(Entry) char buffer[32768];
  std::vector<std::string> names;
  for (;;) {
    const long got = ::syscall(SYS_getdents64, directory, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR && resume_after_signal()) continue;
      return errno_error(errno);
    }
    if (got == 0) return names;
    for (long offset = 0; offset < got;) {
      unsigned short length;
      std::memcpy(&length, buffer + offset + offsetof(Entry, length), sizeof length);
      const std::string_view name(buffer + offset + offsetof(Entry, name));
      if (name != "." && name != "..") names.emplace_back(name);
      offset += length;
    }
  }
}

IoResult<void> remove_entry(const std::string& path) {
  if (auto error = check_path(path)) return unexpected(*error);
  for (;;) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return {};
    if (errno != EINTR || !resume_after_signal()) return errno_error(errno);
  }
}

EntryKind entry_kind(const std::string& path) {
  struct stat info;
  if (const int code = look_up(path, info, Links::Keep)) return {.error = code};
  return {.type = static_cast<mode_t>(info.st_mode & S_IFMT)};
}

IoResult<std::string> create_private_directory(const std::string& prefix) {
  if (auto invalid = check_path(prefix)) return unexpected(*invalid);
  std::string path = prefix + "XXXXXX";
  // mkdtemp makes the directory 0700 whatever the umask.
  if (::mkdtemp(path.data()) == nullptr) return errno_error(errno);
  return path;
}

IoResult<void> move_without_replacing(const std::string& from, const std::string& to) {
  if (auto invalid = check_path(from)) return unexpected(*invalid);
  if (auto invalid = check_path(to)) return unexpected(*invalid);
  // Through the system call: the C library's wrapper is newer than the oldest one we run on.
  constexpr unsigned kNoReplace = 1;  // RENAME_NOREPLACE
  if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), kNoReplace) == 0) {
    return {};
  }
  // EINVAL: a file system that cannot rename without replacing; ENOSYS: a kernel before 3.15.
  if (errno != EINVAL && errno != ENOSYS) return errno_error(errno);
  if (::link(from.c_str(), to.c_str()) != 0) return errno_error(errno);
  ::unlink(from.c_str());
  return {};
}

}  // namespace fendral::posix
