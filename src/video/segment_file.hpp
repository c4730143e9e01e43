// A file on disk as the MP4 reading sees it: the one byte source backed by a descriptor, used to
// check segments before a join, to read the joined file back, and to sniff the split's input.
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

// True when `ffmpeg_input` (as input_for_ffmpeg gives it) is a local regular file in QuickTime
// form; anything else is split as MP4.
bool is_quicktime_file(const std::string& ffmpeg_input);

// True when `ffmpeg_input` is a local regular file in Matroska (or WebM) form.
bool is_matroska_file(const std::string& ffmpeg_input);

// ffmpeg's streams of `ffmpeg_input` when it is a local regular Matroska file whose streams
// mp4::read_matroska_streams can number.
std::optional<std::vector<mp4::MatroskaStream>> matroska_streams_of(
    const std::string& ffmpeg_input);

// The same of an open regular file, read through `fd`, which stays open.
std::optional<std::vector<mp4::MatroskaStream>> matroska_streams_of(int fd);

// The clock of the first video track of `ffmpeg_input` when it is a local regular file in MP4 or
// QuickTime form that tells one.
std::optional<std::uint32_t> video_timescale_of(const std::string& ffmpeg_input);

}  // namespace fendral::video
