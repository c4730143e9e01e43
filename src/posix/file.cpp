#include "posix/file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "base/propagate.hpp"
#include "posix/buffer.hpp"
#include "posix/interruption.hpp"

namespace fendral::posix {

void UniqueFd::reset() {
  if (fd_ >= 0) {
    // Not retried on EINTR: Linux releases the descriptor even then, and a retry could close a
    // descriptor another thread has just been given.
    ::close(fd_);
    fd_ = -1;
  }
}

IoResult<void> check_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return unexpected(IoError::with_message(ErrorKind::InvalidInput, kNulInPath));
  }
  return {};
}

IoResult<UniqueFd> open_file(const std::string& path, int flags, mode_t mode) {
  return open_file_at(AT_FDCWD, path, flags, mode);
}

IoResult<UniqueFd> open_file_at(int directory, const std::string& name, int flags, mode_t mode) {
  FENDRAL_CHECK(check_path(name));
  const int fd =
      retry_on_eintr([&] { return ::openat(directory, name.c_str(), flags | O_CLOEXEC, mode); });
  if (fd < 0) return errno_error(errno);
  return UniqueFd(fd);
}

IoResult<UniqueFd> open_for_reading(const std::string& path) {
  return open_file(path, O_RDONLY);
}

IoResult<UniqueFd> create_for_writing(const std::string& path) {
  return open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
}

std::optional<std::size_t> regular_file_size(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return std::nullopt;
  return static_cast<std::size_t>(info.st_size);
}

IoResult<std::size_t> read_some(int fd, void* buffer, std::size_t length) {
  // Linux caps one request near 2 GiB anyway; asking for more than SSIZE_MAX is undefined.
  length = std::min<std::size_t>(length, SSIZE_MAX);
  const ssize_t got = retry_on_eintr([&] { return ::read(fd, buffer, length); });
  if (got < 0) return errno_error(errno);
  return static_cast<std::size_t>(got);
}

IoResult<std::size_t> read_some_at(int fd, void* buffer, std::size_t length, std::uint64_t offset) {
  length = std::min<std::size_t>(length, SSIZE_MAX);
  for (;;) {
    ssize_t got = ::pread(fd, buffer, length, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR || !resume_after_signal()) return errno_error(errno);
  }
}

IoResult<std::size_t> read_full(int fd, void* buffer, std::size_t length) {
  auto* cursor = static_cast<char*>(buffer);
  std::size_t total = 0;
  while (total < length) {
    FENDRAL_TRY(auto got, read_some(fd, cursor + total, length - total));
    if (got == 0) break;
    total += got;
  }
  return total;
}

IoResult<std::size_t> read_full_at(int fd, void* buffer, std::size_t length, std::uint64_t offset) {
  auto* cursor = static_cast<char*>(buffer);
  std::size_t total = 0;
  while (total < length) {
    const std::size_t request = std::min<std::size_t>(length - total, SSIZE_MAX);
    const ssize_t got = retry_on_eintr(
        [&] { return ::pread(fd, cursor + total, request, static_cast<off_t>(offset + total)); });
    if (got < 0) return errno_error(errno);
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
  }
  return total;
}

IoResult<void> write_all_at(int fd, const void* data, std::size_t length, std::uint64_t offset) {
  const auto* cursor = static_cast<const char*>(data);
  std::size_t total = 0;
  while (total < length) {
    const std::size_t request = std::min<std::size_t>(length - total, SSIZE_MAX);
    const ssize_t written = retry_on_eintr(
        [&] { return ::pwrite(fd, cursor + total, request, static_cast<off_t>(offset + total)); });
    if (written < 0) return errno_error(errno);
    if (written == 0) return unexpected(IoError::with_message(ErrorKind::WriteZero, kWriteZero));
    total += static_cast<std::size_t>(written);
    // As in write_all_vectored: a write cut short by a signal gives the handlers their turn.
    if (total < length && !resume_after_signal()) return errno_error(EINTR);
  }
  return {};
}

namespace {

// Drops `transferred` bytes from the front of window[start..end), advancing `start` past every
// piece that is done and trimming the first one that is not.
void consume(iovec* window, std::size_t& start, std::size_t transferred) {
  while (transferred > 0) {
    iovec& front = window[start];
    if (transferred >= front.iov_len) {
      transferred -= front.iov_len;
      ++start;
    } else {
      front.iov_base = static_cast<char*>(front.iov_base) + transferred;
      front.iov_len -= transferred;
      transferred = 0;
    }
  }
}

}  // namespace

IoResult<void> write_all(int fd, const void* data, std::size_t length) {
  iovec piece{const_cast<void*>(data), length};
  return write_all_vectored(fd, std::span<const iovec>(&piece, 1));
}

IoResult<void> write_all_vectored(int fd, std::span<const iovec> pieces) {
  // Work on a small window copy so partial writes can advance the first piece.
  constexpr std::size_t kWindow = 64;  // well below IOV_MAX
  iovec window[kWindow];
  std::size_t next = 0;
  std::size_t count = 0;
  std::size_t start = 0;
  for (;;) {
    // Refill the window, dropping empty pieces.
    if (start == count) {
      start = count = 0;
      while (count < kWindow && next < pieces.size()) {
        if (pieces[next].iov_len != 0) window[count++] = pieces[next];
        ++next;
      }
      if (count == 0) return {};
    }
    std::size_t requested = 0;
    for (std::size_t piece = start; piece < count; ++piece) requested += window[piece].iov_len;
    const ssize_t written = retry_on_eintr(
        [&] { return ::writev(fd, window + start, static_cast<int>(count - start)); });
    if (written < 0) return errno_error(errno);
    if (written == 0) return unexpected(IoError::with_message(ErrorKind::WriteZero, kWriteZero));
    consume(window, start, static_cast<std::size_t>(written));
    // A signal that arrives once some bytes are out cuts the write short instead of failing it
    // with EINTR; the handlers get their turn before the next write blocks, perhaps for long.
    if (static_cast<std::size_t>(written) < requested && !resume_after_signal()) {
      return errno_error(EINTR);
    }
  }
}

namespace {

// Reads from the current offset to the end. The size only presizes the buffer; the content
// grows with what actually arrives.
IoResult<std::string> read_to_end(int fd) {
  std::string content;
  if (auto size = regular_file_size(fd)) content.reserve(within_memory(*size) + 1);
  char block[65536];
  for (;;) {
    FENDRAL_TRY(auto got, read_some(fd, block, sizeof block));
    if (got == 0) return content;
    content.append(block, got);
  }
}

// Opens `path` read-only and tells what it is. O_NONBLOCK: a FIFO without a writer must not
// stall the open before it can be refused.
IoResult<UniqueFd> open_without_waiting(int directory, const std::string& path, struct stat& info) {
  FENDRAL_TRY(auto fd, open_file_at(directory, path, O_RDONLY | O_NONBLOCK));
  if (::fstat(fd.get(), &info) != 0) return errno_error(errno);
  return fd;
}

unexpected<IoError> not_a_regular_file() {
  return unexpected(IoError::with_message(ErrorKind::InvalidInput, kNotARegularFile));
}

}  // namespace

IoResult<std::string> read_regular_file(const std::string& path) {
  FENDRAL_TRY(auto opened, open_regular_file(path));
  return read_to_end(opened.fd.get());
}

IoResult<OpenRegularFile> open_regular_file(const std::string& path) {
  return open_regular_file_at(AT_FDCWD, path);
}

IoResult<OpenRegularFile> open_regular_file_at(int directory, const std::string& name) {
  struct stat info;
  FENDRAL_TRY(auto fd, open_without_waiting(directory, name, info));
  if (!S_ISREG(info.st_mode) || info.st_size < 0) return not_a_regular_file();
  return OpenRegularFile{std::move(fd), static_cast<std::size_t>(info.st_size)};
}

IoResult<OpenRegularFile> open_nonempty_regular_file(const std::string& path) {
  struct stat info;
  FENDRAL_TRY(auto fd, open_without_waiting(AT_FDCWD, path, info));
  if (S_ISDIR(info.st_mode)) return errno_error(EISDIR);
  if (!S_ISREG(info.st_mode) || info.st_size < 0) return not_a_regular_file();
  if (info.st_size == 0) {
    return unexpected(IoError::with_message(ErrorKind::InvalidData, kEmptyFile));
  }
  return OpenRegularFile{std::move(fd), static_cast<std::size_t>(info.st_size)};
}

IoResult<UniqueFd> create_anonymous_file(const char* label) {
  int fd = ::memfd_create(label, MFD_CLOEXEC);
  if (fd < 0) return errno_error(errno);
  return UniqueFd(fd);
}

namespace {

// An unnamed file just opened (or not) by open or openat: one in memory where the file system
// cannot hold one.
IoResult<UniqueFd> unnamed_or_in_memory(int fd, const char* label) {
  if (fd >= 0) return UniqueFd(fd);
  if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
    return create_anonymous_file(label);
  }
  return errno_error(errno);
}

}  // namespace

IoResult<UniqueFd> create_unnamed_file_in(const std::string& directory, const char* label) {
  return unnamed_or_in_memory(
      ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600), label);
}

IoResult<UniqueFd> create_unnamed_file_at(int directory, const char* label) {
  return unnamed_or_in_memory(::openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600),
                              label);
}

IoResult<std::string> read_from_start(int fd) {
  if (::lseek(fd, 0, SEEK_SET) < 0) return errno_error(errno);
  return read_to_end(fd);
}

// Twelve hex digits that another process cannot guess, so it cannot plant the name first.
std::string ReplacementFile::unpredictable_suffix() {
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
    static std::atomic<std::uint64_t> counter{0};
    bits = static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15u ^
           static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
           (counter.fetch_add(1) << 40);
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string suffix(12, '0');
  for (char& digit : suffix) {
    digit = kDigits[bits & 0xF];
    bits >>= 4;
  }
  return suffix;
}

IoResult<ReplacementFile> ReplacementFile::create(const std::string& path, SuffixSource next_suffix,
                                                  mode_t mode) {
  return create_at(AT_FDCWD, path, next_suffix, mode);
}

IoResult<ReplacementFile> ReplacementFile::create_at(int directory, const std::string& path,
                                                     SuffixSource next_suffix, mode_t mode) {
  FENDRAL_CHECK(check_path(path));
  const std::size_t name_start = path.rfind('/') + 1;  // 0 when there is no '/'
  if (name_start == path.size()) return errno_error(EISDIR);
  // Hidden, and named after the file it will become.
  const std::string prefix = path.substr(0, name_start) + "." + path.substr(name_start) + ".";
  for (int attempt = 0;; ++attempt) {
    std::string temporary_path = prefix + next_suffix();
    auto fd = open_file_at(directory, temporary_path, O_RDWR | O_CREAT | O_EXCL, mode);
    if (fd) return ReplacementFile(directory, path, std::move(temporary_path), std::move(*fd));
    if (fd.error().os_code() != EEXIST || attempt == 100) return unexpected(fd.error());
  }
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : directory_(other.directory_),
      path_(std::move(other.path_)),
      temporary_path_(std::exchange(other.temporary_path_, {})),
      fd_(std::move(other.fd_)),
      creator_(other.creator_) {}

ReplacementFile::~ReplacementFile() {
  fd_.reset();
  if (!temporary_path_.empty() && ::getpid() == creator_) {
    ::unlinkat(directory_, temporary_path_.c_str(), 0);
  }
}

IoResult<void> ReplacementFile::commit() {
  // Something else put at the temporary's name since it was created (a link, another file)
  // must not be renamed in place of the file written here.
  struct stat written;
  struct stat named;
  if (::fstat(fd_.get(), &written) != 0) return errno_error(errno);
  if (::fstatat(directory_, temporary_path_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      named.st_dev != written.st_dev || named.st_ino != written.st_ino) {
    temporary_path_.clear();  // not ours to remove
    return unexpected(IoError::with_message(ErrorKind::Other, kTemporaryReplaced));
  }
  fd_.reset();
  if (::renameat(directory_, temporary_path_.c_str(), directory_, path_.c_str()) != 0) {
    return errno_error(errno);
  }
  temporary_path_.clear();
  return {};
}

IoResult<void> replace_file(const std::string& path, std::string_view data) {
  return replace_file_at(AT_FDCWD, path, data);
}

IoResult<void> replace_file_at(int directory, const std::string& name, std::string_view data) {
  FENDRAL_TRY(auto file, ReplacementFile::create_at(directory, name));
  FENDRAL_CHECK(write_all(file.fd(), data.data(), data.size()));
  return file.commit();
}

}  // namespace fendral::posix
