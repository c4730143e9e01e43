#include "video/source_metadata.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string_view>
#include <vector>

#include "base/propagate.hpp"
#include "posix/fs.hpp"
#include "video/split_directory.hpp"

namespace fendral::video {

namespace {

// True when the text holds a tag of QuickTime's keyed form ("com.apple.quicktime." starting a
// line). Read in blocks up to the size seen at the open: the file may be large or growing.
posix::IoResult<bool> holds_quicktime_keys(int fd, std::uint64_t size) {
  constexpr std::string_view kKeyStart = "\ncom.apple.quicktime.";
  constexpr std::size_t kBlockSize = 64 * 1024;
  std::string window = "\n";  // as if a line ended just before the file
  std::vector<char> block(kBlockSize);
  for (std::uint64_t offset = 0; offset < size;) {
    FENDRAL_TRY(const std::size_t got, posix::read_full_at(fd, block.data(), block.size(), offset));
    if (got == 0) break;
    offset += got;
    window.append(block.data(), got);
    if (window.find(kKeyStart) != std::string::npos) return true;
    // Keep only the tail that may still begin a match.
    if (window.size() >= kKeyStart.size()) window.erase(0, window.size() - kKeyStart.size() + 1);
  }
  return false;
}

}  // namespace

Result<std::optional<SourceMetadata>> open_source_metadata(const std::string& output_dir) {
  auto opened = posix::open_file(posix::join_path(output_dir, kSourceMetadataFileName),
                                 O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  const auto unreadable = [](const posix::IoError& error) {
    return runtime_failure("Failed to read source_metadata.txt: " + error.text());
  };
  if (!opened) {
    // Absent, a link, or a socket: no record to map.
    const int code = opened.error().os_code().value_or(0);
    if (code == ENOENT || code == ELOOP || code == ENXIO) return std::nullopt;
    return unreadable(opened.error());
  }
  struct stat info;
  if (::fstat(opened->get(), &info) != 0) return unreadable(posix::IoError::from_errno(errno));
  if (!S_ISREG(info.st_mode) || info.st_size < 0) return std::nullopt;
  auto keyed = holds_quicktime_keys(opened->get(), static_cast<std::uint64_t>(info.st_size));
  if (!keyed) return unreadable(keyed.error());
  return SourceMetadata{std::move(*opened), *keyed};
}

}  // namespace fendral::video
