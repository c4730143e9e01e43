#include "video/segment_file.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <string_view>

#include "mp4/container.hpp"
#include "posix/interruption.hpp"
#include "video/ffmpeg_paths.hpp"

namespace fendral::video {

namespace {

constexpr std::string_view kNotCompleteMp4 = "not a complete MP4 file";

}  // namespace

bool SegmentFile::read_at(std::uint64_t offset, void* buffer, std::size_t length) {
  // Reads of a regular file are never interrupted, and a segment may hold millions of boxes:
  // a Ctrl-C is looked for here.
  if (posix::interrupt_requested(posix::Check::Throttled)) {
    if (!error_) error_ = posix::IoError::from_errno(EINTR);
    return false;
  }
  auto got = posix::read_full_at(fd_.get(), buffer, length, offset);
  if (!got) {
    if (!error_) error_ = got.error();
    return false;
  }
  return *got == length;  // short only when the file shrank meanwhile
}

expected<mp4::Movie, std::string> read_segment(posix::OpenRegularFile segment) {
  SegmentFile file(std::move(segment));
  auto movie = mp4::read_movie(file);
  if (movie) return *movie;
  if (movie.error() == mp4::MovieFault::read_failed && file.error()) {
    return unexpected(file.error()->text());
  }
  return unexpected(std::string(kNotCompleteMp4));
}

namespace {

// A regular file read through a descriptor the caller keeps, without taking it over.
class BorrowedFile final : public mp4::ByteSource {
 public:
  BorrowedFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  std::uint64_t size() const override { return size_; }
  bool read_at(std::uint64_t offset, void* buffer, std::size_t length) override {
    const auto got = posix::read_full_at(fd_, buffer, length, offset);
    return got && *got == length;
  }

 private:
  int fd_;
  std::uint64_t size_;
};

std::optional<BorrowedFile> borrowed_regular_file(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return BorrowedFile(fd, static_cast<std::uint64_t>(info.st_size));
}

}  // namespace

std::optional<std::vector<mp4::MatroskaStream>> matroska_streams_of(int fd) {
  auto file = borrowed_regular_file(fd);
  if (!file) return std::nullopt;
  return mp4::read_matroska_streams(*file);
}

std::optional<mp4::Movie> movie_of(int fd) {
  auto file = borrowed_regular_file(fd);
  if (!file) return std::nullopt;
  auto movie = mp4::read_movie(*file);
  if (!movie) return std::nullopt;
  return std::move(*movie);
}

std::vector<mp4::CoverPicture> cover_pictures_of(int fd) {
  auto file = borrowed_regular_file(fd);
  if (!file) return {};
  return mp4::cover_pictures(*file);
}

std::vector<mp4::ByteEdit> chapter_clock_edits_of(int fd, std::uint32_t timescale) {
  auto file = borrowed_regular_file(fd);
  if (!file) return {};
  return mp4::chapter_clock_edits(*file, timescale);
}

}  // namespace fendral::video
