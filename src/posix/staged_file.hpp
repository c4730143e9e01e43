// A file's new content, written out of sight and put in its place whole, or not at all.
#pragma once

#include <optional>
#include <string>

#include "posix/file.hpp"

namespace fendral::posix {

// The new content of `path`, written into a file of its own that commit() puts in place of
// `path`: until then `path` keeps its earlier content, whatever becomes of this process. Where
// the file system allows, the file has no name before the commit, so a crash leaves nothing
// behind; elsewhere it is a hidden ReplacementFile beside `path`. Only its owner may read it
// while it is written; the commit gives it the mode of the file it replaces, or a new file's.
class StagedFile {
 public:
  // Refuses a `path` that names a directory (EISDIR) before anything is made.
  static IoResult<StagedFile> create(const std::string& path);

  int fd() const { return named_ ? named_->fd() : unnamed_.get(); }
  // Gives the file its mode, closes it and puts it in place of `path`.
  IoResult<void> commit();

 private:
  StagedFile(std::string path, UniqueFd unnamed, std::optional<ReplacementFile> named)
      : path_(std::move(path)), unnamed_(std::move(unnamed)), named_(std::move(named)) {}
  IoResult<std::string> link_beside();

  std::string path_;
  UniqueFd unnamed_;                      // the file, when it has no name
  std::optional<ReplacementFile> named_;  // or the file with its temporary name
};

}  // namespace fendral::posix
