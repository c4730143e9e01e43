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

#include "base/propagate.hpp"
#include "posix/file.hpp"
#include "posix/interruption.hpp"

namespace fendral::posix {

namespace {

enum class Links { Follow, Keep };

// What the entry `path` in `directory` is: the file it names with links followed, or the entry
// itself.
IoResult<struct stat> look_up(int directory, const std::string& path, Links links) {
  FENDRAL_CHECK(check_path(path));
  struct stat info;
  const int flags = links == Links::Follow ? 0 : AT_SYMLINK_NOFOLLOW;
  if (retry_on_eintr([&] { return ::fstatat(directory, path.c_str(), &info, flags); }) != 0) {
    return errno_error(errno);
  }
  return info;
}

bool is_directory(const std::string& path) {
  const auto info = look_up(AT_FDCWD, path, Links::Follow);
  return info && S_ISDIR(info->st_mode);
}

// Succeeds when `path` is a directory afterwards, made now or already there.
IoResult<void> make_directory(const std::string& path) {
  if (retry_on_eintr([&] { return ::mkdir(path.c_str(), 0777); }) == 0) return {};
  const int code = errno;
  // A missing parent must surface as ENOENT so the caller walks up; anything else is fine as
  // long as a directory stands there now (EEXIST, but also EROFS or EACCES on some file systems
  // for a directory that exists).
  if (code != ENOENT && is_directory(path)) return {};
  return errno_error(code);
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
  FENDRAL_CHECK(check_path(path));

  // Walk up until a level exists or can be made, then make the missing levels top-down. A loop
  // rather than recursion, since the depth comes from the caller's path.
  std::vector<std::size_t> missing_lengths;  // deepest first
  std::size_t length = path.size();
  for (;;) {
    auto made = make_directory(path.substr(0, length));
    if (made) break;
    if (made.error().os_code() != ENOENT) return made;
    missing_lengths.push_back(length);
    length = parent_length(path, length);
    if (length == 0) break;  // relative path: the working directory is the existing level
  }
  for (auto level = missing_lengths.rbegin(); level != missing_lengths.rend(); ++level) {
    FENDRAL_CHECK(make_directory(path.substr(0, *level)));
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
  return look_up(AT_FDCWD, path, Links::Follow).has_value();
}

std::optional<FileIdentity> file_identity(const std::string& path) {
  return file_identity_at(AT_FDCWD, path);
}

std::optional<FileIdentity> file_identity_at(int directory, const std::string& name) {
  const auto info = look_up(directory, name, Links::Follow);
  if (!info) return std::nullopt;
  return FileIdentity{info->st_dev, info->st_ino};
}

bool entry_exists(const std::string& path) {
  return entry_exists_at(AT_FDCWD, path);
}

bool entry_exists_at(int directory, const std::string& name) {
  return look_up(directory, name, Links::Keep).has_value();
}

std::optional<FileIdentity> descriptor_identity(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

bool is_symbolic_link(const std::string& path) {
  return is_symbolic_link_at(AT_FDCWD, path);
}

bool is_symbolic_link_at(int directory, const std::string& name) {
  const auto info = look_up(directory, name, Links::Keep);
  return info && S_ISLNK(info->st_mode);
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
    const long got =
        retry_on_eintr([&] { return ::syscall(SYS_getdents64, directory, buffer, sizeof buffer); });
    if (got < 0) return errno_error(errno);
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
  return remove_entry_at(AT_FDCWD, path);
}

IoResult<void> remove_entry_at(int directory, const std::string& name) {
  FENDRAL_CHECK(check_path(name));
  if (retry_on_eintr([&] { return ::unlinkat(directory, name.c_str(), 0); }) == 0) return {};
  if (errno == ENOENT) return {};
  return errno_error(errno);
}

EntryKind entry_kind(const std::string& path) {
  return entry_kind_at(AT_FDCWD, path);
}

EntryKind entry_kind_at(int directory, const std::string& name) {
  const auto info = look_up(directory, name, Links::Keep);
  if (!info) return {.error = info.error().os_code().value_or(EINVAL)};
  return {.type = static_cast<mode_t>(info->st_mode & S_IFMT)};
}

IoResult<std::string> create_private_directory(const std::string& prefix) {
  FENDRAL_CHECK(check_path(prefix));
  std::string path = prefix + "XXXXXX";
  // mkdtemp makes the directory 0700 whatever the umask.
  if (::mkdtemp(path.data()) == nullptr) return errno_error(errno);
  return path;
}

IoResult<void> move_without_replacing(const std::string& from, const std::string& to) {
  FENDRAL_CHECK(check_path(from));
  FENDRAL_CHECK(check_path(to));
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
