// Directories and path text.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "posix/io_error.hpp"

namespace fendral::posix {

// Creates `path` and every missing parent. An existing directory is accepted; an empty path
// creates nothing.
IoResult<void> create_dir_all(const std::string& path);

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

// True when a directory entry is found at `path`, a dangling link included; false when looking
// it up fails for any reason (missing, a name too long, no permission).
bool entry_exists(const std::string& path);

}  // namespace fendral::posix
