#include "chunking/chunk_stream.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "base/crc32c.hpp"
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
    : fd_(std::move(fd)), chunk_size_(chunk_size), size_hint_(size_hint), manifest_(chunk_size) {}

void ChunkReader::add_to_filling(const unsigned char* data, std::size_t size) {
  filling_crc_ = crc32c::extend(filling_crc_, data, size);
  filled_ += size;
}

Result<ChunkReader> ChunkReader::open(const std::string& path, std::uint64_t chunk_size,
                                      std::uint64_t parity) {
  FENDRAL_TRY(auto file, open_for_chunks(path, chunk_size));
  const auto size_hint = regular_file_size(file.get());
  ChunkReader reader(std::move(file), static_cast<std::size_t>(chunk_size), size_hint);
  if (parity > 0 && chunk_size > 0) reader.encoder_.emplace(chunk_size, parity);
  if (chunk_size == 0) reader.release();  // no chunk: the end, at once
  return reader;
}

bool ChunkReader::next_is_buffered() const {
  if (encoder_) return false;  // a batch of parity may be due
  if (ended_) return true;
  return chunk_size_ - filled_ <= ahead_end_ - ahead_begin_;
}

void ChunkReader::close() {
  closed_ = true;
  release();
}

std::optional<ChunkRecord> ChunkReader::next_parity_chunk() {
  posix::ByteBuffer chunk = std::move(parity_[parity_given_++]);
  manifest_.add_parity_crc(crc32c::of(chunk.data(), chunk.size()));
  return ChunkRecord{next_index_++, std::move(chunk)};
}

void ChunkReader::release() {
  ended_ = true;
  fd_.reset();
  filling_ = ByteBuffer();
  filling_slab_ = posix::Slab::Ref();
  spare_slabs_[0] = spare_slabs_[1] = posix::Slab::Ref();
  filled_ = 0;
  filling_crc_ = 0;
  ahead_slab_ = ahead_spare_ = posix::Slab::Ref();
  ahead_begin_ = ahead_end_ = 0;
  probe_ = ByteBuffer();
  if (closed_) {
    encoder_.reset();
    parity_.clear();
  }
}

Result<std::optional<ChunkRecord>> ChunkReader::next() {
  FENDRAL_CHECK(chunk_size_ < kReadAheadSize ? fill_from_read_ahead() : fill_directly());
  return take_filled();
}

Result<std::optional<ChunkRecord>> ChunkReader::take_filled() {
  if (filled_ == 0) {
    // The end came before a byte of another chunk.
    if (encoder_ && !closed_) {
      release();
      parity_ = encoder_->finish();
      encoder_.reset();
    }
    if (!closed_ && parity_given_ < parity_.size()) return next_parity_chunk();
    if (!closed_) finished_ = true;
    release();
    return std::nullopt;
  }
  if (encoder_) FENDRAL_CHECK(encoder_->add(filling_.data(), filled_));
  // Only the last chunk can be short.
  if (filling_slab_) {
    // A refilled mapping may be larger than the chunk in it: only what holds data stays.
    filling_slab_->trim(filled_);
    if (filled_ < filling_.size()) filling_ = ByteBuffer(filling_slab_, 0, filled_);
    spare_slabs_[0] = std::move(spare_slabs_[1]);
    spare_slabs_[1] = std::move(filling_slab_);
  } else {
    filling_.resize(filled_);  // shrinks in place
  }
  manifest_.add_crc(filling_crc_, filled_);
  filled_ = 0;
  filling_crc_ = 0;
  return ChunkRecord{next_index_++, std::move(filling_)};
}

// A regular file is read at the reader's own position, not the descriptor's offset, which a
// forked child reading on would move.
IoResult<std::size_t> ChunkReader::read_next(unsigned char* buffer, std::size_t length) {
  FENDRAL_TRY(auto got, size_hint_ ? posix::read_some_at(fd_.get(), buffer, length, position_)
                                   : posix::read_some(fd_.get(), buffer, length));
  position_ += got;
  return got;
}

// A whole chunk in the read-ahead buffer is handed out as a slice of it, neither allocated nor
// copied; a buffer is filled again only once no slice of it is left (of the last two, one
// usually is free), else a new one is mapped.
// A regular file is read in whole chunks, so none straddles two buffers.
IoResult<void> ChunkReader::fill_from_read_ahead() {
  if (!fd_ && ahead_begin_ == ahead_end_) return {};
  if (filled_ == 0 && ahead_end_ - ahead_begin_ >= chunk_size_) {
    filling_ = ByteBuffer(ahead_slab_, ahead_begin_, chunk_size_);
    ahead_begin_ += chunk_size_;
    add_to_filling(filling_.data(), chunk_size_);
    return {};
  }
  if (filling_.size() != chunk_size_) filling_ = ByteBuffer(chunk_size_);
  while (filled_ < chunk_size_) {
    if (ahead_begin_ == ahead_end_) {
      if (ended_) break;
      if (!ahead_slab_.sole()) {
        // The loop still holds a chunk of the last buffer: the one before may be free.
        std::swap(ahead_slab_, ahead_spare_);
        if (!ahead_slab_.sole()) ahead_slab_ = posix::Slab::map(kReadAheadSize);
      }
      const std::size_t wanted =
          size_hint_ ? kReadAheadSize - kReadAheadSize % chunk_size_ : kReadAheadSize;
      FENDRAL_TRY(auto got, read_next(ahead_slab_->data(), wanted));
      if (got == 0) {
        fd_.reset();
        ended_ = true;
        break;
      }
      ahead_begin_ = 0;
      ahead_end_ = got;
    }
    const std::size_t taken = std::min(chunk_size_ - filled_, ahead_end_ - ahead_begin_);
    std::memcpy(filling_.data() + filled_, ahead_slab_->data() + ahead_begin_, taken);
    add_to_filling(filling_.data() + filled_, taken);
    ahead_begin_ += taken;
  }
  return {};
}

// A large payload has a mapping of its own, which goes back to the system the moment the chunk
// is freed: the allocator would keep freed blocks of a few MiB in its heap for later, and a loop
// over the chunks then held many of them. Growing it copies the `filled_` bytes read so far.
void ChunkReader::map_filling(std::size_t size) {
  // The mapping of the chunk before the last is taken again once its chunk is gone: its pages
  // are in memory already, where a new mapping faults in and zeroes every one. The last chunk's
  // is still held while the loop over the chunks asks for the next one.
  // A short last chunk takes it too: a mapping of its own would be a third chunk in memory.
  // A mapping with room for `size` grows in place, without a copy.
  posix::Slab::Ref slab;
  if (filled_ != 0 && filling_slab_ && filling_slab_->mapped_size() >= size) {
    slab = std::move(filling_slab_);
  } else if (filled_ == 0 && spare_slabs_[0].sole() && spare_slabs_[0]->mapped_size() >= size) {
    slab = std::move(spare_slabs_[0]);
  } else {
    slab = posix::Slab::map(size);
    if (filled_ != 0) std::memcpy(slab->data(), filling_.data(), filled_);
  }
  filling_ = ByteBuffer(slab, 0, size);
  filling_slab_ = std::move(slab);
}

IoResult<void> ChunkReader::fill_directly() {
  if (ended_) return {};
  if (filled_ == 0) {
    // Sized from what a regular file is expected to still hold, so memory follows the data.
    std::uint64_t room = kUnsizedFirst;
    if (size_hint_) room = *size_hint_ > position_ ? *size_hint_ - position_ : kFirstGuess;
    map_filling(static_cast<std::size_t>(std::min<std::uint64_t>(chunk_size_, room)));
  }
  while (filled_ < chunk_size_) {
    if (filled_ == filling_.size()) {
      // A regular file read to the size it had is most likely at its end: a read into a small
      // buffer tells, where growing first would copy the chunk into a larger one.
      const bool at_expected_end = size_hint_ && position_ >= *size_hint_ &&
                                   filling_slab_->mapped_size() < filled_ + kFirstGuess;
      std::size_t probed = 0;
      if (at_expected_end) {
        if (probe_.empty()) probe_ = ByteBuffer(kFirstGuess);
        const std::size_t wanted = std::min(kFirstGuess, chunk_size_ - filled_);
        FENDRAL_TRY(probed, read_next(probe_.data(), wanted));
        if (probed == 0) {
          fd_.reset();
          ended_ = true;
          break;
        }
      }
      map_filling(std::min(chunk_size_, std::max(filled_ * 2, filled_ + kFirstGuess)));
      if (probed != 0) {
        std::memcpy(filling_.data() + filled_, probe_.data(), probed);
        add_to_filling(filling_.data() + filled_, probed);
        continue;
      }
    }
    const std::size_t window = std::min(kWindowSize, filling_.size() - filled_);
    // A regular file fills the whole window at once, so faulting it in first pays. A pipe hands
    // out a few pages per read: the window faulted in ahead has left the cache by the time the
    // later reads reach it, and measured slower than letting each read fault its own pages.
    if (size_hint_) posix::prefault_for_writing(filling_.data() + filled_, window);
    FENDRAL_TRY(auto got, read_next(filling_.data() + filled_, window));
    if (got == 0) {
      fd_.reset();
      ended_ = true;
      break;
    }
    add_to_filling(filling_.data() + filled_, got);
  }
  return {};
}

Result<Manifest> manifest_with_parity(const std::string& path, std::uint64_t chunk_size,
                                      std::uint64_t parity) {
  FENDRAL_CHECK(check_parity(chunk_size, parity));
  FENDRAL_TRY(auto reader, ChunkReader::open(path, chunk_size, parity));
  for (;;) {
    FENDRAL_TRY(const auto chunk, reader.next());
    if (!chunk) return reader.manifest();
  }
}

Result<std::optional<ChunkRecord>> read_chunk_at(const std::string& path, std::uint64_t chunk_size,
                                                 std::uint64_t index) {
  FENDRAL_TRY(const auto file, open_for_chunks(path, chunk_size));
  std::uint64_t offset = 0;
  if (chunk_size == 0 || __builtin_mul_overflow(index, chunk_size, &offset) ||
      offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::nullopt;
  }
  // A regular file's size tells how much of the chunk there is; a device tells nothing.
  std::uint64_t room = chunk_size;
  if (const auto size = regular_file_size(file.get())) {
    if (offset >= *size) return std::nullopt;
    room = std::min<std::uint64_t>(room, *size - offset);
  }
  ByteBuffer payload(posix::within_memory(static_cast<std::size_t>(room)));
  std::size_t filled = 0;
  while (filled < payload.size()) {
    FENDRAL_TRY(const std::size_t got,
                posix::read_some_at(file.get(), payload.data() + filled, payload.size() - filled,
                                    offset + filled));
    if (got == 0) break;
    filled += got;
  }
  if (filled == 0) return std::nullopt;
  payload.resize(filled);
  return ChunkRecord{index, std::move(payload)};
}

// ----------------------------------------------------------------------------------------------

Result<ChunkWriter> ChunkWriter::create(const std::string& output_path, std::uint64_t chunk_size,
                                        std::optional<Manifest> manifest) {
  if (manifest && manifest->chunk_size != chunk_size) {
    return fail(Failure::value_error("chunk_size " + std::to_string(chunk_size) +
                                     " differs from the manifest's chunk size " +
                                     std::to_string(manifest->chunk_size)));
  }
  if (manifest) FENDRAL_CHECK(check_parity(manifest->chunk_size, manifest->parity()));
  auto file = posix::StagedFile::create(output_path);
  if (!file) return fail(Failure(file.error()));
  const std::uint64_t parity = manifest ? manifest->parity() : 0;
  ChunkWriter writer(std::move(*file), chunk_size, std::move(manifest));
  if (parity > 0) {
    // Another unnamed file beside the output (or a hidden one, removed with the writer).
    auto made = posix::StagedFile::create(output_path);
    if (!made) return fail(Failure(made.error()));
    writer.parity_file_.emplace(std::move(*made));
    writer.parity_present_.assign(static_cast<std::size_t>(parity), false);
  }
  return writer;
}

ChunkWriter::ChunkWriter(ChunkWriter&& other) noexcept
    : file_(std::move(other.file_)),
      poisoned_(std::move(other.poisoned_)),
      chunk_size_(other.chunk_size_),
      manifest_(std::move(other.manifest_)),
      gathered_(std::move(other.gathered_)),
      gathered_offset_(other.gathered_offset_),
      gathered_size_(std::exchange(other.gathered_size_, 0)),
      present_(std::move(other.present_)),
      parity_file_(std::move(other.parity_file_)),
      parity_present_(std::move(other.parity_present_)),
      highest_(other.highest_),
      highest_size_(other.highest_size_),
      creator_(other.creator_) {
  closed_.store(other.closed_.load());
  other.file_.reset();
  other.parity_file_.reset();
  other.closed_.store(true);
}

namespace {

// Chunks up to this size are gathered in a buffer of kGatheredSize bytes while they follow one
// another, so that a run of tiny chunks costs one system call per buffer, not one each.
constexpr std::size_t kLargestGathered = 16 * 1024;
constexpr std::size_t kGatheredSize = 256 * 1024;

std::string size_text(std::uint64_t index, std::size_t size) {
  return "Chunk at index " + std::to_string(index) + " holds " + std::to_string(size) + " bytes";
}

}  // namespace

Result<void> ChunkWriter::check_sizes(const ChunkPiece& piece) const {
  if (piece.size > chunk_size_) {
    return fail(Failure::value_error(size_text(piece.index, piece.size) +
                                     ", more than the chunk size " + std::to_string(chunk_size_)));
  }
  if (!highest_) return {};
  if (piece.size < chunk_size_ && piece.index < *highest_) {
    return fail(Failure::value_error(size_text(piece.index, piece.size) +
                                     ", fewer than the chunk size " + std::to_string(chunk_size_) +
                                     ", but is not the last: index " + std::to_string(*highest_) +
                                     " follows it"));
  }
  if (piece.index > *highest_ && highest_size_ < chunk_size_) {
    return fail(Failure::value_error(size_text(*highest_, highest_size_) +
                                     ", fewer than the chunk size " + std::to_string(chunk_size_) +
                                     ", so no index can follow it: index " +
                                     std::to_string(piece.index) + " was given"));
  }
  return {};
}

Result<std::uint64_t> ChunkWriter::offset_of(const ChunkPiece& piece) const {
  // The chunk's last byte must lie within the largest offset a file can have.
  constexpr auto kLargestOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  std::uint64_t offset = 0;
  std::uint64_t end = 0;
  if (__builtin_mul_overflow(piece.index, chunk_size_, &offset) ||
      __builtin_add_overflow(offset, piece.size, &end) || end > kLargestOffset) {
    return posix::errno_error(EFBIG);
  }
  return offset;
}

bool ChunkWriter::gathers(std::uint64_t offset, std::size_t size) const {
  return size <= kLargestGathered && gathered_size_ + size <= kGatheredSize &&
         (gathered_size_ == 0 || offset == gathered_offset_ + gathered_size_);
}

posix::IoResult<void> ChunkWriter::flush_gathered() {
  if (gathered_size_ == 0) return {};
  FENDRAL_CHECK(
      posix::write_all_at(file_->fd(), gathered_.data(), gathered_size_, gathered_offset_));
  gathered_size_ = 0;
  return {};
}

// Whatever lands in the file later is newer than what is gathered, so the gathered bytes go
// first whenever the next chunk does not simply follow them.
posix::IoResult<void> ChunkWriter::store(const ChunkPiece& piece, std::uint64_t offset) {
  if (!gathers(offset, piece.size)) FENDRAL_CHECK(flush_gathered());
  if (piece.size > kLargestGathered) {
    return posix::write_all_at(file_->fd(), piece.data, piece.size, offset);
  }
  if (gathered_.empty()) gathered_ = posix::ByteBuffer(kGatheredSize);
  if (gathered_size_ == 0) gathered_offset_ = offset;
  if (piece.size != 0) std::memcpy(gathered_.data() + gathered_size_, piece.data, piece.size);
  gathered_size_ += piece.size;
  return {};
}

void ChunkWriter::close_file() {
  file_.reset();
  parity_file_.reset();
  gathered_ = posix::ByteBuffer();
  gathered_size_ = 0;
  closed_.store(true, std::memory_order_release);
}

unexpected<Failure> ChunkWriter::poison(const Failure& failure) {
  poisoned_ = failure;
  close_file();
  return fail(failure);
}

Result<void> ChunkWriter::write(const ChunkPiece& piece) {
  // Outside the lock, so threads writing at once check their chunks at once. A refused chunk
  // leaves the writer as it was.
  if (manifest_ && !closed()) FENDRAL_CHECK(check_against(*manifest_, piece));
  std::lock_guard lock(mutex_);
  return write_locked(piece);
}

std::optional<Result<void>> ChunkWriter::write_at_once(const ChunkPiece& piece) {
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return std::nullopt;
  if (is_parity(piece.index)) return std::nullopt;
  if (file_ && !poisoned_) {
    std::uint64_t offset = 0;
    if (__builtin_mul_overflow(piece.index, chunk_size_, &offset) || !gathers(offset, piece.size)) {
      return std::nullopt;
    }
    // A small chunk: its CRC costs less than letting the lock go.
    if (manifest_) {
      if (auto checked = check_against(*manifest_, piece); !checked) return checked;
    }
  }
  return write_locked(piece);
}

Result<void> ChunkWriter::write_locked(const ChunkPiece& piece) {
  if (poisoned_) return fail(*poisoned_);
  if (!file_) return fail(Failure::value_error("write to a closed ChunkWriter"));
  if (is_parity(piece.index)) return store_parity(piece);
  FENDRAL_CHECK(check_sizes(piece));
  auto offset = offset_of(piece);
  if (!offset) return poison(offset.error());
  if (auto stored = store(piece, *offset); !stored) return poison(Failure(stored.error()));
  mark_present(piece.index);
  if (!highest_ || piece.index >= *highest_) {
    highest_ = piece.index;
    highest_size_ = piece.size;
  }
  return {};
}

Result<void> ChunkWriter::store_parity(const ChunkPiece& piece) {
  const std::uint64_t slot = piece.index - manifest_->count();
  auto stored = posix::write_all_at(parity_file_->fd(), piece.data, piece.size, slot * chunk_size_);
  if (!stored) return poison(Failure(stored.error()));
  parity_present_[static_cast<std::size_t>(slot)] = true;
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
  // Up to the highest index written, or to the manifest's last one.
  std::optional<std::uint64_t> last_wanted = highest_;
  if (manifest_) {
    last_wanted = std::nullopt;
    if (manifest_->count() > 0) last_wanted = manifest_->count() - 1;
  }
  if (!last_wanted) return std::nullopt;  // no chunk at all: an empty file
  if (present_.empty() || present_.begin()->first != 0) return 0;
  const std::uint64_t last = present_.begin()->second;
  if (last >= *last_wanted) return std::nullopt;
  return last + 1;
}

Result<void> ChunkWriter::commit() {
  std::lock_guard lock(mutex_);
  if (poisoned_) return fail(*poisoned_);
  if (!file_) return {};
  if (::getpid() != creator_) {
    // The file is shared with the parent, which may still be writing it or put it in place
    // itself: the child neither renames nor removes it.
    close_file();
    return fail(Failure::value_error(
        "a forked child cannot close the ChunkWriter of its parent: only the process that made "
        "it puts the file in place"));
  }
  if (auto flushed = flush_gathered(); !flushed) return poison(Failure(flushed.error()));
  if (manifest_ && manifest_->parity() > 0) {
    if (auto rebuilt = rebuild_or_refuse(); !rebuilt) {
      close_file();
      return rebuilt;
    }
  } else if (auto missing = first_missing()) {
    close_file();
    return fail(Failure::value_error("Missing chunk at index " + std::to_string(*missing)));
  }
  // A chunk at the highest index may have been replaced by a shorter one; a rebuilt last chunk
  // was never written.
  std::uint64_t length = highest_ ? *highest_ * chunk_size_ + highest_size_ : 0;
  if (manifest_) length = manifest_->size;
  if (::ftruncate(file_->fd(), static_cast<off_t>(length)) != 0) {
    return poison(Failure(posix::IoError::from_errno(errno)));
  }
  if (auto placed = file_->commit(); !placed) return poison(Failure(placed.error()));
  close_file();
  return {};
}

namespace {

// Indices named in a refusal; the rest are counted.
constexpr std::size_t kIndicesNamed = 32;

}  // namespace

Result<void> ChunkWriter::rebuild_or_refuse() {
  const std::uint64_t count = manifest_->count();
  const std::uint64_t parity = manifest_->parity();
  std::vector<std::uint64_t> missing_data;
  std::uint64_t missing = 0;
  std::string named;
  auto note = [&](std::uint64_t index) {
    if (missing < kIndicesNamed) named += (missing == 0 ? "" : ", ") + std::to_string(index);
    ++missing;
  };
  // The gaps between the runs of present data chunks; only parity + 1 of them are kept.
  std::uint64_t next = 0;
  auto note_gap = [&](std::uint64_t end) {
    for (; next < end; ++next) {
      if (missing_data.size() <= parity) missing_data.push_back(next);
      note(next);
    }
  };
  for (const auto& [first, last] : present_) {
    if (first >= count) break;
    note_gap(first);
    next = std::max(next, last + 1);
  }
  note_gap(count);
  std::vector<std::uint64_t> present_parity;
  for (std::uint64_t j = 0; j < parity; ++j) {
    if (parity_present_[static_cast<std::size_t>(j)]) {
      present_parity.push_back(j);
    } else {
      note(count + j);
    }
  }
  if (missing > parity) {
    if (missing > kIndicesNamed)
      named += " and " + std::to_string(missing - kIndicesNamed) + " more";
    return fail(Failure::value_error(
        "Missing chunks at indices " + named + ": " + std::to_string(missing) +
        " are missing and the parity rebuilds at most " + std::to_string(parity)));
  }
  return rebuild_missing({file_->fd(), parity_file_->fd()}, *manifest_, missing_data,
                         present_parity);
}

Result<void> ChunkWriter::discard() {
  std::lock_guard lock(mutex_);
  if (poisoned_) return fail(*poisoned_);
  close_file();
  return {};
}

}  // namespace fendral::chunking
