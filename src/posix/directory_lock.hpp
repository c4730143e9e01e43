// Advisory locks on a directory, so that work which rewrites a directory's files and work which
// reads them never overlap across threads or processes.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "posix/file.hpp"

namespace fendral::posix {

// A lock taken with flock on the directory itself (no lock file is left behind), held until the
// object goes. Many shared holders may hold it at once; an exclusive holder holds it alone.
class DirectoryLock {
 public:
  enum class Mode { Shared, Exclusive };

  // Takes the lock without waiting. Nothing when another holder keeps it from being taken. Where
  // the directory cannot be opened or its file system refuses such locks, the returned object
  // holds no lock, and the caller goes on as it would without one.
  static std::optional<DirectoryLock> try_lock(const std::string& path, Mode mode);

  DirectoryLock(DirectoryLock&& other) noexcept
      : directory_(std::move(other.directory_)), held_(std::exchange(other.held_, false)) {}
  DirectoryLock& operator=(DirectoryLock&&) = delete;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  ~DirectoryLock();

  bool held() const { return held_; }
  // The directory, open for reading; -1 when it could not be opened.
  int directory() const { return directory_.get(); }

 private:
  DirectoryLock(UniqueFd directory, bool held) : directory_(std::move(directory)), held_(held) {}

  UniqueFd directory_;
  bool held_;
};

}  // namespace fendral::posix
