// A file on disk as the MP4 reading sees it: the one byte source backed by a descriptor, used to
// check segments before a join, to read the joined file back, and to probe the split's input.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/expected.hpp"
#include "mp4/byte_source.hpp"
#include "mp4/matroska.hpp"
#include "mp4/movie.hpp"
#include "posix/file.hpp"

namespace fendral::video {

// A regular file read through its descriptor; keeps the first read error.
class SegmentFile final : public mp4::ByteSource {
 public:
  explicit SegmentFile(posix::OpenRegularFile file) : fd_(std::move(file.fd)), size_(file.size) {}

  std::uint64_t size() const override { return size_; }
  bool read_at(std::uint64_t offset, void* buffer, std::size_t length) override;
  const std::optional<posix::IoError>& error() const { return error_; }

 private:
  posix::UniqueFd fd_;
  std::uint64_t size_;
  std::optional<posix::IoError> error_;
};

// Reads an opened segment as an MP4 file: how long it presents, or the text of why it is
// unusable.
expected<mp4::Movie, std::string> read_segment(posix::OpenRegularFile segment);

// ffmpeg's streams of an open regular Matroska file, read through `fd`, which stays open, when
// mp4::read_matroska_streams can number them.
std::optional<std::vector<mp4::MatroskaStream>> matroska_streams_of(int fd);

// The movie of an open regular MP4 file, read through `fd`, which stays open; nothing when it
// does not read as one.
std::optional<mp4::Movie> movie_of(int fd);

// The cover pictures of the movie file behind `fd` (see mp4::cover_pictures).
std::vector<mp4::CoverPicture> cover_pictures_of(int fd);

// The edits that put the chapter tracks of the movie file behind `fd` on `timescale` (see
// mp4::chapter_clock_edits); none when it is not a regular file.
std::vector<mp4::ByteEdit> chapter_clock_edits_of(int fd, std::uint32_t timescale);

}  // namespace fendral::video
