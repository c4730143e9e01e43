// Directories, path text and file identity.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "posix/io_error.hpp"

namespace fendral::posix {

// Creates `path` and every missing parent. An existing directory is accepted; an empty path
// creates nothing.
IoResult<void> create_dir_all(const std::string& path);

// Names of the entries of the directory `path`, in the order the system yields them, without
// "." and "..". An entry the system fails to deliver is skipped.
IoResult<std::vector<std::string>> list_directory(const std::string& path);

// `directory` + "/" + `name`; no separator after an empty directory or one that ends in '/'.
std::string join_path(std::string_view directory, std::string_view name);

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Path bytes as UTF-8 text: every maximal ill-formed subsequence becomes one U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// Total order on names in which runs of ASCII digits compare by numeric value, so chunk_999.mp4
// sorts before chunk_1000.mp4. Names equal under that rule (same numbers, different leading
// zeros) fall back to plain byte order, so only identical names compare equal.
// Returns <0, 0 or >0.
int compare_natural(std::string_view left, std::string_view right);

inline bool natural_less(std::string_view left, std::string_view right) {
  return compare_natural(left, right) < 0;
}

// What makes two paths the same file: the device and inode they resolve to.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file `path` designates, symbolic links followed.
IoResult<FileIdentity> file_identity(const std::string& path);

// Succeeds when `path` opens for reading and is not a directory. The open does not block on a
// FIFO, and nothing is read.
IoResult<void> check_readable_non_directory(const std::string& path);

}  // namespace fendral::posix
