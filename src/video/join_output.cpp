#include "video/join_output.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <utility>

#include "posix/fs.hpp"
#include "video/ffmpeg_paths.hpp"

namespace fendral::video {

namespace {

// What a join into an existing output, or into a directory that is missing or closed to us, has
// always failed with: ffmpeg's own refusal to create the file, which callers may match. The
// system's reason is the exception's cause.
constexpr std::string_view kOutputRefused =
    "ffmpeg concat failed with status ExitStatus(ExitStatus(1))";

unexpected<Failure> output_refused(std::string_view refused, int code, const std::string& path) {
  return fail(Failure::runtime_error(std::string(refused)).caused_by(code, path));
}

// The reasons a directory refuses a new directory for which it refuses ffmpeg's new file too.
bool refuses_new_files(int code) {
  return code == ENOENT || code == ENOTDIR || code == EACCES || code == EPERM || code == EROFS;
}
constexpr std::string_view kPrivateDirectoryStart = ".fendral-join-";

struct SplitPath {
  std::string directory;  // "" for the working directory
  std::string name;
};

// Outputs that ffmpeg writes as a playlist or manifest beside media files of its own naming
// (HLS, DASH): no single file can be placed, so ffmpeg writes them in place.
constexpr std::array<std::string_view, 2> kSeveralFileExtensions = {".m3u8", ".mpd"};

bool written_as_several_files(std::string_view name) {
  const std::string lower = lowercase(name);
  return std::any_of(kSeveralFileExtensions.begin(), kSeveralFileExtensions.end(),
                     [&](std::string_view extension) { return lower.ends_with(extension); });
}

SplitPath split_last_component(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

}  // namespace

Result<JoinOutput> JoinOutput::prepare(const std::string& output_file) {
  return prepare(output_file, kOutputRefused);
}

Result<JoinOutput> JoinOutput::prepare(const std::string& output_file, std::string_view refusal) {
  JoinOutput as_given(output_file, std::nullopt, output_file, refusal);
  const auto local_path = local_file_opened(output_file);
  if (!local_path) return as_given;
  const posix::EntryKind entry = posix::entry_kind(*local_path);
  if (entry.error == 0) {
    const bool refused = entry.type == S_IFREG || entry.type == S_IFDIR || entry.type == S_IFLNK;
    // EEXIST, as an exclusive create gives for each of them.
    if (refused) return output_refused(refusal, EEXIST, *local_path);
    return as_given;  // a device or FIFO: ffmpeg judges it as always
  }
  if (entry.error != ENOENT) {
    // A path through a file, or a directory we may not search.
    if (refuses_new_files(entry.error)) return output_refused(refusal, entry.error, *local_path);
    return as_given;
  }
  const SplitPath parts = split_last_component(*local_path);
  if (parts.name.empty() || written_as_several_files(parts.name)) return as_given;
  // Fails where the directory is missing or closed to us, as ffmpeg's own create would.
  auto directory =
      posix::create_private_directory(parts.directory + std::string(kPrivateDirectoryStart));
  if (!directory) {
    const std::optional<int> code = directory.error().os_code();
    if (code && refuses_new_files(*code)) return output_refused(refusal, *code, *local_path);
    return as_given;
  }
  // ffmpeg must read the directory as a path, not a URL or an option.
  std::string written = posix::join_path(directory_for_ffmpeg(*directory), parts.name);
  return JoinOutput(std::move(written), std::move(*directory), *local_path, refusal);
}

JoinOutput::JoinOutput(JoinOutput&& other) noexcept
    : written_(std::move(other.written_)),
      private_directory_(std::exchange(other.private_directory_, std::nullopt)),
      placed_as_(std::move(other.placed_as_)),
      refusal_(std::move(other.refusal_)) {}

JoinOutput::~JoinOutput() {
  if (!private_directory_) return;
  // Everything in it is ffmpeg's: a failing ffmpeg may have written more than the output.
  ::unlink(written_.c_str());
  if (auto directory = posix::open_directory(*private_directory_)) {
    if (const auto names = posix::list_directory(directory->get())) {
      for (const std::string& name : *names) (void)posix::remove_entry_at(directory->get(), name);
    }
  }
  ::rmdir(private_directory_->c_str());
}

Result<void> JoinOutput::place() {
  if (!private_directory_) return {};
  // A program that succeeded without writing anything (a stand-in for ffmpeg) leaves nothing to
  // place, as it always left nothing at the output.
  if (posix::entry_kind(written_).error == ENOENT &&
      posix::entry_kind(*private_directory_).error == 0) {
    return {};
  }
  if (auto moved = posix::move_without_replacing(written_, placed_as_); !moved) {
    if (moved.error().os_code() == EEXIST) return output_refused(refusal_, EEXIST, placed_as_);
    return runtime_failure("Failed to place the joined file: " + moved.error().text());
  }
  ::rmdir(private_directory_->c_str());
  private_directory_.reset();
  return {};
}

}  // namespace fendral::video
