// A file read chunk by chunk as it is asked for, and chunks written back in any order straight
// to their place in the file: memory holds a chunk or two, whatever the file's size.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "chunking/chunk_record.hpp"
#include "chunking/manifest.hpp"
#include "chunking/parity.hpp"
#include "posix/buffer.hpp"
#include "posix/file.hpp"
#include "posix/staged_file.hpp"

namespace fendral::chunking {

// Hands out the chunks of one file in order, each exactly `chunk_size` bytes but the last, from
// regular files, pipes and devices alike, and the manifest of those it handed out. Holds the
// chunk being filled and, for small chunks, a read-ahead buffer of fixed size. Each piece read
// is checksummed right after its read, while it is still in the processor's cache.
class ChunkReader {
 public:
  // Opens `path`. A chunk size of 2**63 or more is an internal fault ("capacity overflow"),
  // reported once the file is open, as deconstruct_file reports it. With `parity` (after
  // check_parity), the data chunks are followed by that many parity chunks, made as the data
  // goes by (parity.hpp), each chunk_size bytes.
  static Result<ChunkReader> open(const std::string& path, std::uint64_t chunk_size,
                                  std::uint64_t parity = 0);

  // The next chunk, or nothing once the file has ended (the file is then closed). A failed or
  // interrupted read keeps the bytes that arrived before it: asking again carries on from there.
  Result<std::optional<ChunkRecord>> next();

  // True when next() can answer without a system call, so it need not release the interpreter.
  bool next_is_buffered() const;

  // Closes the file; next() then gives nothing.
  void close();

  // True once next() gave nothing because the file had ended: every chunk was handed out.
  bool finished() const { return finished_; }

  // The manifest of the chunks handed out; refused for a chunk size of 0.
  [[nodiscard]] Result<Manifest> manifest() const { return manifest_.build(); }

 private:
  ChunkReader(posix::UniqueFd fd, std::size_t chunk_size, std::optional<std::size_t> size_hint);
  void add_to_filling(const unsigned char* data, std::size_t size);
  void release();  // closes the file and lets go of every buffer
  posix::IoResult<std::size_t> read_next(unsigned char* buffer, std::size_t length);
  posix::IoResult<void> fill_from_read_ahead();
  posix::IoResult<void> fill_directly();
  void map_filling(std::size_t size);
  Result<std::optional<ChunkRecord>> take_filled();
  std::optional<ChunkRecord> next_parity_chunk();

  posix::UniqueFd fd_;
  std::size_t chunk_size_;
  std::optional<std::size_t> size_hint_;  // a regular file's size when opened
  std::uint64_t position_ = 0;
  std::uint64_t next_index_ = 0;
  bool ended_ = false;
  posix::ByteBuffer filling_;        // the next chunk, its first filled_ bytes read
  posix::Slab::Ref filling_slab_;    // the mapping of a large chunk's filling_
  posix::Slab::Ref spare_slabs_[2];  // the mappings of the last two chunks handed out, oldest first
  std::size_t filled_ = 0;
  posix::Slab::Ref ahead_slab_;   // small chunks only: bytes read but not yet handed out
  posix::Slab::Ref ahead_spare_;  // the buffer before, kept for when its chunks are gone
  std::size_t ahead_begin_ = 0;
  std::size_t ahead_end_ = 0;
  posix::ByteBuffer probe_;        // what is read past a regular file's expected end
  std::uint32_t filling_crc_ = 0;  // of the first filled_ bytes
  ManifestBuilder manifest_;
  std::optional<ParityEncoder> encoder_;   // until the data ends
  std::vector<posix::ByteBuffer> parity_;  // then the parity chunks not yet handed out
  std::size_t parity_given_ = 0;
  bool finished_ = false;
  bool closed_ = false;  // by close(), before the end
};

// Chunk `index` of the file at `path` in chunks of `chunk_size`, read at its offset without
// the chunks before it (so workers can share one file), or nothing when the file ends before it.
// A source that cannot be read at an offset (a pipe) fails with ESPIPE. Errors before the
// read are those of ChunkReader::open.
// The manifest of the file at `path` with `parity` parity chunks, made as read_chunks makes them
// and let go once checksummed.
[[nodiscard]] Result<Manifest> manifest_with_parity(const std::string& path,
                                                    std::uint64_t chunk_size, std::uint64_t parity);

[[nodiscard]] Result<std::optional<ChunkRecord>> read_chunk_at(const std::string& path,
                                                               std::uint64_t chunk_size,
                                                               std::uint64_t index);

// Puts chunk k at offset k x `chunk_size` of a new file that takes the place of `output_path`
// once every index from 0 to the highest is there (posix::StagedFile: out of sight until then,
// where the file system allows). Only the highest index may hold fewer than `chunk_size` bytes; a
// repeated index overwrites. Small chunks that follow one another are gathered and written
// together. Safe to use from several threads at once: writes are serialised, each one whole.
// With a manifest, a chunk that differs from it is refused and every chunk it lists must be
// there.
class ChunkWriter {
 public:
  // Refuses an `output_path` that is a directory, or a manifest whose chunk size is not
  // `chunk_size`, before anything is written.
  static Result<ChunkWriter> create(const std::string& output_path, std::uint64_t chunk_size,
                                    std::optional<Manifest> manifest = std::nullopt);
  ChunkWriter(ChunkWriter&& other) noexcept;
  ChunkWriter& operator=(ChunkWriter&&) = delete;

  // Refuses a chunk that breaks the size rules (ValueError naming the index and the sizes)
  // before anything is written. A chunk that cannot be written poisons the writer: the
  // temporary goes, and this and every later write() and commit() fail as this one did, so
  // nothing damaged can reach `output_path`.
  Result<void> write(const ChunkPiece& piece);

  // write(), when it can be done at once without a system call or waiting for another thread;
  // nothing when it cannot, and then nothing happened.
  std::optional<Result<void>> write_at_once(const ChunkPiece& piece);

  // Checks that no index is missing, gives the file its length and puts it in place of
  // `output_path`. With a manifest that lists N parity chunks, up to N missing chunks of all
  // count + N are allowed: the missing data chunks are rebuilt into the file first; with more
  // missing, "Missing chunks at indices ...: M are missing and the parity rebuilds at most N". Only
  // the process that created the writer commits: in a forked child this fails, closing the child's
  // copy and leaving the file to the parent. A missing index fails with "Missing chunk at index N"
  // and, like any failure here, removes the temporary: nothing reaches `output_path`. Closes the
  // writer either way; a poisoned writer fails with its failure, every time.
  Result<void> commit();

  // Removes the temporary and closes the writer; nothing reaches `output_path`. A poisoned
  // writer fails with its failure.
  Result<void> discard();

  // Read without the mutex: a thread holding it may be waiting for the interpreter lock (to run
  // signal handlers) that the caller of closed() holds.
  bool closed() const { return closed_.load(std::memory_order_acquire); }

 private:
  ChunkWriter(posix::StagedFile file, std::uint64_t chunk_size, std::optional<Manifest> manifest)
      : file_(std::move(file)),
        chunk_size_(chunk_size),
        manifest_(std::move(manifest)),
        creator_(::getpid()) {}
  bool is_parity(std::uint64_t index) const {
    return manifest_ && manifest_->parity() > 0 && index >= manifest_->count();
  }
  Result<void> store_parity(const ChunkPiece& piece);
  Result<void> rebuild_or_refuse();
  Result<void> write_locked(const ChunkPiece& piece);
  Result<void> check_sizes(const ChunkPiece& piece) const;
  Result<std::uint64_t> offset_of(const ChunkPiece& piece) const;
  bool gathers(std::uint64_t offset, std::size_t size) const;
  posix::IoResult<void> store(const ChunkPiece& piece, std::uint64_t offset);
  posix::IoResult<void> flush_gathered();
  unexpected<Failure> poison(const Failure& failure);
  void close_file();
  void mark_present(std::uint64_t index);
  std::optional<std::uint64_t> first_missing() const;

  mutable std::mutex mutex_;
  std::optional<posix::StagedFile> file_;  // empty once committed or discarded
  std::optional<Failure> poisoned_;        // the failure every later call repeats
  std::atomic<bool> closed_{false};
  std::uint64_t chunk_size_;
  std::optional<Manifest> manifest_;
  // Small chunks written one after the other, not yet in the file: `gathered_size_` bytes that
  // belong at `gathered_offset_`.
  posix::ByteBuffer gathered_;
  std::uint64_t gathered_offset_ = 0;
  std::size_t gathered_size_ = 0;
  // Indices present, as runs first..last keyed by first; adjacent runs are merged, so this holds
  // one run once every chunk is in, whatever their order and however many there are.
  std::map<std::uint64_t, std::uint64_t> present_;
  // With a manifest that lists parity chunks: where they wait, out of sight and removed with
  // the writer (never committed), and which are there.
  std::optional<posix::StagedFile> parity_file_;
  std::vector<bool> parity_present_;
  std::optional<std::uint64_t> highest_;
  std::uint64_t highest_size_ = 0;  // bytes in the chunk at the highest index
  pid_t creator_;
};

}  // namespace fendral::chunking
