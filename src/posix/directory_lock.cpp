#include "posix/directory_lock.hpp"

#include <sys/file.h>

#include <cerrno>

#include "posix/fs.hpp"
#include "posix/interruption.hpp"

namespace fendral::posix {

std::optional<DirectoryLock> DirectoryLock::try_lock(const std::string& path, Mode mode) {
  auto directory = open_directory(path);
  if (!directory) return DirectoryLock(UniqueFd(), false);
  const int operation = (mode == Mode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
  if (retry_on_eintr([&] { return ::flock(directory->get(), operation); }) == 0) {
    return DirectoryLock(std::move(*directory), true);
  }
  if (errno == EWOULDBLOCK) return std::nullopt;
  return DirectoryLock(std::move(*directory), false);
}

DirectoryLock::~DirectoryLock() {
  // Released outright rather than by closing: a child that another thread is starting may hold
  // a copy of the descriptor until its exec closes it, and would keep the lock meanwhile.
  if (held_) ::flock(directory_.get(), LOCK_UN);
}

}  // namespace fendral::posix
