// File descriptors and the file operations built on them.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "posix/io_error.hpp"

namespace fendral::posix {

// Owns one file descriptor and closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset();
  // Gives up ownership, for handing the descriptor to an object that closes it itself.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

// A path handed to the kernel must not hold a NUL byte.
[[nodiscard]] IoResult<void> check_path(std::string_view path);

inline constexpr std::string_view kNotARegularFile = "not a regular file";
inline constexpr std::string_view kEmptyFile = "empty file";
inline constexpr std::string_view kTemporaryReplaced =
    "the temporary file was replaced before it could be renamed";

// Opens `path` with `flags` (close-on-exec is always added). Every call below that a signal
// interrupts is resumed or given up as the thread's interruption policy says.
[[nodiscard]] IoResult<UniqueFd> open_file(const std::string& path, int flags, mode_t mode = 0);

// Opens `name` in the open directory `directory` (or `path` relative to it) with `flags`, as
// open_file does. With O_NOFOLLOW, a link in the last place fails with ELOOP.
[[nodiscard]] IoResult<UniqueFd> open_file_at(int directory, const std::string& name, int flags,
                                              mode_t mode = 0);

// Opens an existing file read-only.
[[nodiscard]] IoResult<UniqueFd> open_for_reading(const std::string& path);

// Opens a file for writing, creating it if absent and emptying it if present.
[[nodiscard]] IoResult<UniqueFd> create_for_writing(const std::string& path);

// Size of the file behind `fd` when it is a regular file; nothing for any other kind of file or
// when it cannot be told.
std::optional<std::size_t> regular_file_size(int fd);

// One read request; repeated only when interrupted by a signal.
[[nodiscard]] IoResult<std::size_t> read_some(int fd, void* buffer, std::size_t length);

// One read request at `offset`, leaving the file offset alone (which a forked child shares);
// repeated only when interrupted by a signal.
IoResult<std::size_t> read_some_at(int fd, void* buffer, std::size_t length, std::uint64_t offset);

// Reads until `length` bytes arrived or the end of the file; returns the bytes read.
[[nodiscard]] IoResult<std::size_t> read_full(int fd, void* buffer, std::size_t length);

// Reads `length` bytes from `offset` without moving the file offset; returns the bytes read,
// fewer only at the end of the file.
[[nodiscard]] IoResult<std::size_t> read_full_at(int fd, void* buffer, std::size_t length,
                                                 std::uint64_t offset);

// Writes every byte at `offset` without moving the file offset, continuing after partial and
// interrupted writes.
[[nodiscard]] IoResult<void> write_all_at(int fd, const void* data, std::size_t length,
                                          std::uint64_t offset);

// Writes every byte, continuing after partial and interrupted writes.
[[nodiscard]] IoResult<void> write_all(int fd, const void* data, std::size_t length);

// Writes every byte of every piece, batching them into as few system calls as possible.
[[nodiscard]] IoResult<void> write_all_vectored(int fd, std::span<const iovec> pieces);

// Reads a whole regular file (links followed) into memory. Anything else (a device, a FIFO, a
// directory) is refused with kNotARegularFile before a byte is read, and without waiting.
[[nodiscard]] IoResult<std::string> read_regular_file(const std::string& path);

// A regular file opened for reading, with its size when opened.
struct OpenRegularFile {
  UniqueFd fd;
  std::size_t size;
};

// Opens `path` for reading when it is a regular file (links followed), without waiting and
// without reading anything; anything else is refused with kNotARegularFile.
[[nodiscard]] IoResult<OpenRegularFile> open_regular_file(const std::string& path);

// The same for `name` in the open directory `directory`.
[[nodiscard]] IoResult<OpenRegularFile> open_regular_file_at(int directory,
                                                             const std::string& name);

// Opens `path` for reading when it is a regular file holding at least one byte. The open does
// not wait on a FIFO, and nothing is read. A directory fails with EISDIR, another kind of file
// with kNotARegularFile, an empty one with kEmptyFile.
[[nodiscard]] IoResult<OpenRegularFile> open_nonempty_regular_file(const std::string& path);

// A new file with no name in any directory, living in memory until its last descriptor closes.
// `label` only shows in /proc listings.
[[nodiscard]] IoResult<UniqueFd> create_anonymous_file(const char* label);

// A new file with no name on the file system of `directory`, one of ours (refused if it is a
// link), so what it holds takes disk rather than memory; created as create_anonymous_file does
// where that file system cannot hold one.
[[nodiscard]] IoResult<UniqueFd> create_unnamed_file_in(const std::string& directory,
                                                        const char* label);
// The same in the directory open as `directory` (a descriptor), however its path was reached.
[[nodiscard]] IoResult<UniqueFd> create_unnamed_file_at(int directory, const char* label);

// Everything in the regular file behind `fd`, read from its first byte.
[[nodiscard]] IoResult<std::string> read_from_start(int fd);

// A new file written under a temporary name beside `path` and then renamed over it, so `path`
// either keeps its earlier content or gets the whole new one. The temporary is created
// exclusively, with `mode` (less the umask): a link planted at either name is replaced, never
// followed. Until commit() succeeds, the destructor removes the temporary, in the process that
// created it only: a forked child that exits leaves it to its parent.
class ReplacementFile {
 public:
  // Gives the part of a temporary name that follows ".<name>."; by default twelve random hex
  // digits. Another source lets a test know the name in advance.
  using SuffixSource = std::string (*)();
  static std::string unpredictable_suffix();

  [[nodiscard]] static IoResult<ReplacementFile> create(
      const std::string& path, SuffixSource next_suffix = unpredictable_suffix, mode_t mode = 0666);
  // The same for `name` in the open directory `directory`, which must stay open until the
  // object goes: the temporary is made, checked, renamed and removed there.
  [[nodiscard]] static IoResult<ReplacementFile> create_at(
      int directory, const std::string& name, SuffixSource next_suffix = unpredictable_suffix,
      mode_t mode = 0666);

  ReplacementFile(ReplacementFile&& other) noexcept;
  ReplacementFile& operator=(ReplacementFile&&) = delete;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile();

  int fd() const { return fd_.get(); }
  // Closes the file and puts it in place of `path`.
  [[nodiscard]] IoResult<void> commit();

 private:
  ReplacementFile(int directory, std::string path, std::string temporary_path, UniqueFd fd)
      : directory_(directory),
        path_(std::move(path)),
        temporary_path_(std::move(temporary_path)),
        fd_(std::move(fd)),
        creator_(::getpid()) {}

  int directory_;  // what both paths are relative to: AT_FDCWD or the caller's open directory
  std::string path_;
  std::string temporary_path_;  // empty once renamed or handed to another object
  UniqueFd fd_;
  pid_t creator_;
};

// Writes `data` as the whole new content of `path` through a ReplacementFile.
[[nodiscard]] IoResult<void> replace_file(const std::string& path, std::string_view data);
// The same for `name` in the open directory `directory`.
[[nodiscard]] IoResult<void> replace_file_at(int directory, const std::string& name,
                                             std::string_view data);

}  // namespace fendral::posix
