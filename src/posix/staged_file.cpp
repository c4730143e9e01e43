#include "posix/staged_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string_view>

#include "base/propagate.hpp"

namespace fendral::posix {
namespace {

constexpr mode_t kWhileWritten = 0600;

// The process's umask, read without changing it: setting and restoring it would race with
// files other threads create meanwhile. Linux before 4.7 does not tell it there; the race is
// then the lesser evil.
mode_t current_umask() {
  auto fd = open_file("/proc/self/status", O_RDONLY);
  if (fd) {
    char status[4096];
    auto got = read_full(fd->get(), status, sizeof status);
    if (got) {
      const std::string_view text(status, *got);
      constexpr std::string_view kField = "\nUmask:\t";
      if (const std::size_t at = text.find(kField); at != std::string_view::npos) {
        unsigned value = 0;
        const char* digits = text.data() + at + kField.size();
        if (std::from_chars(digits, text.data() + text.size(), value, 8).ec == std::errc{}) {
          return static_cast<mode_t>(value & 0777);
        }
      }
    }
  }
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

// What the committed file's mode is: the replaced file's, or what a new file gets.
mode_t mode_for(const std::string& path) {
  struct stat replaced;
  if (::lstat(path.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode)) {
    return replaced.st_mode & 07777;
  }
  return 0666 & ~current_umask();
}

// Kernels before 3.11 ignore the flag and open the directory itself (EISDIR); file systems
// without unnamed files refuse it.
bool refuses_unnamed_files(const IoError& error) {
  const auto code = error.os_code();
  return code == EOPNOTSUPP || code == EISDIR || code == EINVAL;
}

}  // namespace

IoResult<StagedFile> StagedFile::create(const std::string& path) {
  FENDRAL_CHECK(check_path(path));
  const std::size_t name_start = path.rfind('/') + 1;  // 0 when there is no '/'
  struct stat existing;
  if (name_start == path.size() ||
      (::lstat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode))) {
    return errno_error(EISDIR);
  }
  const std::string directory = name_start == 0 ? "." : path.substr(0, name_start);
  auto unnamed = open_file(directory, O_TMPFILE | O_RDWR, kWhileWritten);
  if (unnamed) return StagedFile(path, std::move(*unnamed), std::nullopt);
  if (!refuses_unnamed_files(unnamed.error())) return unexpected(unnamed.error());
  FENDRAL_TRY(auto named,
              ReplacementFile::create(path, ReplacementFile::unpredictable_suffix, kWhileWritten));
  return StagedFile(path, UniqueFd(), std::move(named));
}

// Gives the unnamed file a hidden name beside `path`, which no one else can have chosen first.
IoResult<std::string> StagedFile::link_beside() {
  const std::size_t name_start = path_.rfind('/') + 1;
  const std::string prefix = path_.substr(0, name_start) + "." + path_.substr(name_start) + ".";
  const std::string by_descriptor = "/proc/self/fd/" + std::to_string(unnamed_.get());
  for (int attempt = 0;; ++attempt) {
    std::string name = prefix + ReplacementFile::unpredictable_suffix();
    if (::linkat(unnamed_.get(), "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return name;
    int code = errno;
    // Linking a descriptor itself takes a privilege; its /proc entry does not.
    if (code == ENOENT || code == EPERM) {
      if (::linkat(AT_FDCWD, by_descriptor.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) ==
          0) {
        return name;
      }
      code = errno;
    }
    if (code != EEXIST || attempt == 100) return errno_error(code);
  }
}

IoResult<void> StagedFile::commit() {
  if (::fchmod(fd(), mode_for(path_)) != 0) return errno_error(errno);
  if (named_) return named_->commit();
  FENDRAL_TRY(const auto name, link_beside());
  if (::rename(name.c_str(), path_.c_str()) != 0) {
    const int code = errno;
    ::unlink(name.c_str());
    return errno_error(code);
  }
  unnamed_.reset();
  return {};
}

}  // namespace fendral::posix
