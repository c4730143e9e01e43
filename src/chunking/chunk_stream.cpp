#include "chunking/chunk_stream.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "base/propagate.hpp"
#include "chunking/file_chunking.hpp"

namespace fendral::chunking {
namespace {

using posix::ByteBuffer;
using posix::IoResult;

// Chunks smaller than this are cut out of a read-ahead buffer of this size, one read for many
// chunks; larger ones are read straight into their payload.
constexpr std::size_t kReadAheadSize = 256 * 1024;
// A payload is faulted in and read this many bytes at a time, so each window is still in the
// processor's cache when the read fills it.
constexpr std::size_t kWindowSize = 1024 * 1024;
// What a payload of a regular file read past the size it had when opened first holds; it
// doubles as the bytes keep coming.
constexpr std::size_t kFirstGuess = 64 * 1024;
// What a payload first holds when the source tells nothing of its length (a pipe, a device).
// Its pages are faulted in only as reads fill them, so room costs address space, not memory;
// growing it instead would copy the bytes read so far at every step.
constexpr std::size_t kUnsizedFirst = 64 * 1024 * 1024;

// A regular file's size, or nothing for any other kind of file.
std::optional<std::size_t> regular_file_size(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return std::nullopt;
  return static_cast<std::size_t>(info.st_size);
}

}  // namespace

ChunkReader::ChunkReader(posix::UniqueFd fd, std::size_t chunk_size,
                         std::optional<std::size_t> size_hint)
    : fd_(std::move(fd)), chunk_size_(chunk_size), size_hint_(size_hint) {}

Result<ChunkReader> ChunkReader::open(const std::string& path, std::uint64_t chunk_size) {
  FENDRAL_TRY(auto file, open_for_chunks(path, chunk_size));
  const auto size_hint = regular_file_size(file.get());
  ChunkReader reader(std::move(file), static_cast<std::size_t>(chunk_size), size_hint);
  if (chunk_size == 0) reader.close();
  return reader;
}

bool ChunkReader::next_is_buffered() const {
  if (ended_) return true;
  return chunk_size_ - filled_ <= ahead_end_ - ahead_begin_;
}

void ChunkReader::close() {
  ended_ = true;
  fd_.reset();
  filling_ = ByteBuffer();
  filled_ = 0;
  read_ahead_ = ByteBuffer();
  ahead_begin_ = ahead_end_ = 0;
}

Result<std::optional<ChunkRecord>> ChunkReader::next() {
  FENDRAL_CHECK(chunk_size_ < kReadAheadSize ? fill_from_read_ahead() : fill_directly());
  return take_filled();
}

std::optional<ChunkRecord> ChunkReader::take_filled() {
  if (filled_ == 0) {
    // The end came before a byte of another chunk.
    close();
    return std::nullopt;
  }
  filling_.resize(filled_);  // shrinks in place: only the last chunk can be short
  filled_ = 0;
  return ChunkRecord{next_index_++, std::move(filling_)};
}

IoResult<void> ChunkReader::fill_from_read_ahead() {
  if (!fd_ && ahead_begin_ == ahead_end_) return {};
  if (filling_.size() != chunk_size_) filling_ = ByteBuffer(chunk_size_);
  while (filled_ < chunk_size_) {
    if (ahead_begin_ == ahead_end_) {
      if (ended_) break;
      if (read_ahead_.empty()) read_ahead_ = ByteBuffer(kReadAheadSize);
      FENDRAL_TRY(auto got, posix::read_some(fd_.get(), read_ahead_.data(), read_ahead_.size()));
      if (got == 0) {
        fd_.reset();
        ended_ = true;
        break;
      }
      ahead_begin_ = 0;
      ahead_end_ = got;
    }
    const std::size_t taken = std::min(chunk_size_ - filled_, ahead_end_ - ahead_begin_);
    std::memcpy(filling_.data() + filled_, read_ahead_.data() + ahead_begin_, taken);
    filled_ += taken;
    ahead_begin_ += taken;
  }
  return {};
}

IoResult<void> ChunkReader::fill_directly() {
  if (ended_) return {};
  if (filled_ == 0) {
    // Sized from what a regular file is expected to still hold, so memory follows the data.
    std::uint64_t room = kUnsizedFirst;
    if (size_hint_) room = *size_hint_ > position_ ? *size_hint_ - position_ : kFirstGuess;
    filling_ = ByteBuffer(static_cast<std::size_t>(std::min<std::uint64_t>(chunk_size_, room)));
  }
  while (filled_ < chunk_size_) {
    if (filled_ == filling_.size()) {
      filling_.resize(std::min(chunk_size_, std::max(filled_ * 2, filled_ + kFirstGuess)));
    }
    const std::size_t window = std::min(kWindowSize, filling_.size() - filled_);
    // A regular file fills the whole window at once, so faulting it in first pays. A pipe hands
    // out a few pages per read: the window faulted in ahead has left the cache by the time the
    // later reads reach it, and measured slower than letting each read fault its own pages.
    if (size_hint_) posix::prefault_for_writing(filling_.data() + filled_, window);
    FENDRAL_TRY(auto got, posix::read_some(fd_.get(), filling_.data() + filled_, window));
    if (got == 0) {
      fd_.reset();
      ended_ = true;
      break;
    }
    filled_ += got;
    position_ += got;
  }
  return {};
}

// ----------------------------------------------------------------------------------------------

Result<ChunkWriter> ChunkWriter::create(const std::string& output_path, std::uint64_t chunk_size) {
  FENDRAL_TRY(auto file, posix::ReplacementFile::create(output_path));
  return ChunkWriter(std::move(file), chunk_size);
}

ChunkWriter::ChunkWriter(ChunkWriter&& other) noexcept
    : file_(std::move(other.file_)),
      chunk_size_(other.chunk_size_),
      present_(std::move(other.present_)),
      highest_(other.highest_),
      highest_size_(other.highest_size_) {
  other.file_.reset();
  other.closed_.store(true);
}

namespace {

std::string size_text(std::uint64_t index, std::size_t size) {
  return "Chunk at index " + std::to_string(index) + " holds " + std::to_string(size) + " bytes";
}

}  // namespace

Result<void> ChunkWriter::check_sizes(const ChunkPiece& piece) const {
  const std::string chunk_size = std::to_string(chunk_size_);
  if (piece.size > chunk_size_) {
    return fail(Failure::value_error(size_text(piece.index, piece.size) +
                                     ", more than the chunk size " + chunk_size));
  }
  if (!highest_) return {};
  if (piece.size < chunk_size_ && piece.index < *highest_) {
    return fail(Failure::value_error(
        size_text(piece.index, piece.size) + ", fewer than the chunk size " + chunk_size +
        ", but is not the last: index " + std::to_string(*highest_) + " follows it"));
  }
  if (piece.index > *highest_ && highest_size_ < chunk_size_) {
    return fail(Failure::value_error(
        size_text(*highest_, highest_size_) + ", fewer than the chunk size " + chunk_size +
        ", so no index can follow it: index " + std::to_string(piece.index) + " was given"));
  }
  return {};
}

Result<void> ChunkWriter::write(const ChunkPiece& piece) {
  std::lock_guard lock(mutex_);
  if (!file_) return fail(Failure::value_error("write to a closed ChunkWriter"));
  FENDRAL_CHECK(check_sizes(piece));
  // The chunk's last byte must lie within the largest offset a file can have.
  constexpr auto kLargestOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  std::uint64_t offset = 0;
  std::uint64_t end = 0;
  if (__builtin_mul_overflow(piece.index, chunk_size_, &offset) ||
      __builtin_add_overflow(offset, piece.size, &end) || end > kLargestOffset) {
    return posix::errno_error(EFBIG);
  }
  FENDRAL_CHECK(posix::write_all_at(file_->fd(), piece.data, piece.size, offset));
  mark_present(piece.index);
  if (!highest_ || piece.index >= *highest_) {
    highest_ = piece.index;
    highest_size_ = piece.size;
  }
  return {};
}

void ChunkWriter::mark_present(std::uint64_t index) {
  // The run that starts at or before `index`.
  auto run = present_.upper_bound(index);
  const bool after_a_run = run != present_.begin();
  if (after_a_run) {
    auto before = std::prev(run);
    if (before->second >= index) return;  // already there
    if (before->second + 1 == index) {
      before->second = index;
      if (run != present_.end() && run->first == index + 1) {
        before->second = run->second;
        present_.erase(run);
      }
      return;
    }
  }
  if (run != present_.end() && run->first == index + 1) {
    const std::uint64_t last = run->second;
    present_.erase(run);
    present_.emplace(index, last);
    return;
  }
  present_.emplace(index, index);
}

std::optional<std::uint64_t> ChunkWriter::first_missing() const {
  if (!highest_) return std::nullopt;  // no chunk at all: an empty file
  if (present_.empty() || present_.begin()->first != 0) return 0;
  const std::uint64_t last = present_.begin()->second;
  if (last >= *highest_) return std::nullopt;
  return last + 1;
}

Result<void> ChunkWriter::commit() {
  std::lock_guard lock(mutex_);
  if (!file_) return {};
  // Closed whatever happens below; the temporary goes unless it was renamed.
  std::optional<posix::ReplacementFile> file = std::exchange(file_, std::nullopt);
  closed_.store(true, std::memory_order_release);
  if (auto missing = first_missing()) {
    return fail(Failure::value_error("Missing chunk at index " + std::to_string(*missing)));
  }
  // A chunk at the highest index may have been replaced by a shorter one.
  const std::uint64_t length = highest_ ? *highest_ * chunk_size_ + highest_size_ : 0;
  if (::ftruncate(file->fd(), static_cast<off_t>(length)) != 0) {
    return posix::errno_error(errno);
  }
  FENDRAL_CHECK(file->commit());
  return {};
}

void ChunkWriter::discard() {
  std::lock_guard lock(mutex_);
  file_.reset();
  closed_.store(true, std::memory_order_release);
}

}  // namespace fendral::chunking
