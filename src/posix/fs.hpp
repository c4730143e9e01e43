// Directories and path text.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "posix/file.hpp"
#include "posix/io_error.hpp"

namespace fendral::posix {

// Creates `path` and every missing parent. An existing directory is accepted; an empty path
// creates nothing.
[[nodiscard]] IoResult<void> create_dir_all(const std::string& path);

// `directory` + "/" + `name`; no separator after an empty directory or one that ends in '/'.
std::string join_path(std::string_view directory, std::string_view name);

// True when `path` names something that exists, symbolic links followed.
bool path_exists(const std::string& path);

// Device and inode number of the file `path` names, symbolic links followed: two paths name the
// same file exactly when these are equal.
struct FileIdentity {
  dev_t device;
  ino_t inode;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file at `path`, or nothing when it cannot be looked up.
std::optional<FileIdentity> file_identity(const std::string& path);
// The same for `name` in the open directory `directory`.
std::optional<FileIdentity> file_identity_at(int directory, const std::string& name);

// True when a directory entry is found at `path`, a dangling link included; false when looking
// it up fails for any reason (missing, a name too long, no permission).
bool entry_exists(const std::string& path);
bool entry_exists_at(int directory, const std::string& name);

// The identity of the file open as `fd`, or nothing when it cannot be looked up.
std::optional<FileIdentity> descriptor_identity(int fd);

// True when the entry at `path` is a symbolic link (the link itself is looked at).
bool is_symbolic_link(const std::string& path);
bool is_symbolic_link_at(int directory, const std::string& name);

// The directory `path` opened for reading (an empty path is the working directory).
[[nodiscard]] IoResult<UniqueFd> open_directory(const std::string& path);

// The names of the entries of the open directory `directory` ("." and ".." left out), in the
// order the system lists them. Takes no descriptor of its own.
[[nodiscard]] IoResult<std::vector<std::string>> list_directory(int directory);

// Removes the entry at `path` (a link itself, never what it points to). An entry that is not
// there is no failure.
[[nodiscard]] IoResult<void> remove_entry(const std::string& path);
// The same for `name` in the open directory `directory`.
[[nodiscard]] IoResult<void> remove_entry_at(int directory, const std::string& name);

// What kind of entry is at `path`, the link itself looked at: S_IFREG, S_IFLNK and so on, or the
// errno value of the lookup (ENOENT for none).
struct EntryKind {
  mode_t type = 0;
  int error = 0;
};
EntryKind entry_kind(const std::string& path);
// The same for `name` in the open directory `directory`.
EntryKind entry_kind_at(int directory, const std::string& name);

// A new directory, mode 0700, at `prefix` + six characters that make its name unused. Gives its
// path.
IoResult<std::string> create_private_directory(const std::string& prefix);

// Gives the file at `from` the name `to` in the same file system without replacing anything:
// fails with EEXIST when an entry (a dangling link too) is at `to`. Renamed where the file
// system can rename without replacing, else linked under `to` and then unlinked at `from`.
IoResult<void> move_without_replacing(const std::string& from, const std::string& to);

}  // namespace fendral::posix
