#include "chunking/file_chunking.hpp"

#include <sys/stat.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <span>
#include <stdexcept>
#include <unordered_map>

#include "base/propagate.hpp"
#include "posix/file.hpp"
#include "posix/memory.hpp"

namespace fendral::chunking {
namespace {

using posix::ByteBuffer;
using posix::IoResult;

// Linux never returns more than this from one read.
constexpr std::size_t kLargestRead = 0x7ffff000;
// Below this size, chunks are cut out of shared slabs rather than read one by one.
constexpr std::size_t kDirectReadThreshold = 64 * 1024;
// Memory is faulted in and filled this many bytes at a time (a window), few enough to stay in the
// processor's cache between being zeroed and being filled (docs/performance.md).
constexpr std::size_t kBlockSize = 1024 * 1024;
// Small chunks share slabs of this size, on normal pages (docs/performance.md).
constexpr std::size_t kSlabSize = 2 * 1024 * 1024;
// What a slab holds when the file has no more bytes to expect.
constexpr std::size_t kProbeSize = 64 * 1024;

// Regular files and block devices hand out full reads until their end; for them the size, when
// known, sizes the payloads. Anything else is read as a stream.
struct Shape {
  bool file_like = false;
  std::size_t size_hint = 0;
};

Shape shape_of(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return {};
  const bool file_like = S_ISREG(info.st_mode) || S_ISBLK(info.st_mode);
  const bool sized = S_ISREG(info.st_mode) && info.st_size > 0;
  return {file_like, sized ? static_cast<std::size_t>(info.st_size) : 0};
}

// Reads up to `length` bytes into fresh memory at `data`, faulting each window's pages in just
// before the read fills them; stops early only at the end of the file.
IoResult<std::size_t> read_prefaulted(int fd, unsigned char* data, std::size_t length) {
  std::size_t filled = 0;
  while (filled < length) {
    const std::size_t window = std::min(kBlockSize, length - filled);
    posix::prefault_for_writing(data + filled, window);
    FENDRAL_TRY(auto got, posix::read_full(fd, data + filled, window));
    filled += got;
    if (got < window) break;
  }
  return filled;
}

// Small chunks of a regular file: read into a slab of mapped memory and cut the chunks out of it,
// each keeping the slab mapped. A slab holds whole chunks only, so a chunk never keeps more than
// its one slab; when every chunk of it is gone, its memory goes back to the system.
// Every read lands on a page boundary of the slab, so the kernel's copy is aligned whatever the
// chunk size; the slices start on payload boundaries when the chunk size is a multiple of 64.
// Padding other sizes would add up to 63 bytes to every chunk and split each aligned read into a
// scatter list of unaligned lengths.
IoResult<std::vector<ChunkRecord>> read_chunks_into_slabs(int fd, std::size_t chunk_size,
                                                          std::size_t size_hint) {
  std::vector<ChunkRecord> chunks;
  chunks.reserve(size_hint / chunk_size + 1);
  const std::size_t largest_count = std::max<std::size_t>(kSlabSize / chunk_size, 1);
  std::size_t position = 0;
  for (;;) {
    // Room for what the file is expected to still hold; past its reported size (it grew, or
    // reports none) a probe of kProbeSize, since only a read that returns nothing ends it.
    const std::size_t expected = size_hint > position ? size_hint - position : kProbeSize;
    const std::size_t count =
        std::clamp<std::size_t>((expected + chunk_size - 1) / chunk_size, 1, largest_count);
    const std::size_t capacity = count * chunk_size;
    auto slab = posix::Slab::map(capacity);
    FENDRAL_TRY(auto got, read_prefaulted(fd, slab->data(), capacity));
    position += got;
    slab->trim(got);
    for (std::size_t offset = 0; offset < got; offset += chunk_size) {
      chunks.push_back(
          {chunks.size(), ByteBuffer(slab, offset, std::min(chunk_size, got - offset))});
    }
    if (got < capacity) return chunks;
  }
}

// Large chunks of a regular file: read straight into each payload, sized from the file's
// length so memory follows the data rather than `chunk_size`.
IoResult<std::vector<ChunkRecord>> read_large_chunks(int fd, std::size_t chunk_size,
                                                     std::size_t size_hint) {
  std::vector<ChunkRecord> chunks;
  chunks.reserve(size_hint / chunk_size + 1);
  std::size_t position = 0;
  alignas(posix::kPayloadAlignment) unsigned char probe[64 * 1024];
  for (;;) {
    const std::size_t expected = size_hint > position ? size_hint - position : 0;
    std::size_t capacity = std::min(chunk_size, expected != 0 ? expected : sizeof probe);
    ByteBuffer payload(capacity);
    FENDRAL_TRY(auto got, read_prefaulted(fd, payload.data(), capacity));
    std::size_t filled = got;
    bool at_end = filled < capacity;
    // The file may be longer than it looked (it grew, or its size is not known): keep
    // filling this chunk until it is full or the file ends.
    while (!at_end && filled < chunk_size) {
      FENDRAL_TRY(auto more,
                  posix::read_some(fd, probe, std::min(sizeof probe, chunk_size - filled)));
      if (more == 0) {
        at_end = true;
        break;
      }
      const std::size_t room = std::min(chunk_size, std::max(filled * 2, filled + more));
      payload.resize(room);
      std::memcpy(payload.data() + filled, probe, more);
      filled += more;
      FENDRAL_TRY(auto rest, posix::read_full(fd, payload.data() + filled, room - filled));
      filled += rest;
      at_end = filled < room;
    }
    if (filled == 0) return chunks;
    payload.resize(filled);
    position += filled;
    chunks.push_back({chunks.size(), std::move(payload)});
    if (at_end) return chunks;
  }
}

// Pipes and devices: one chunk per non-empty read, whatever length each read returns.
IoResult<std::vector<ChunkRecord>> read_stream_chunks(int fd, std::size_t chunk_size) {
  std::vector<ChunkRecord> chunks;
  // Untouched pages cost nothing, so a large buffer is cheap when reads return little.
  ByteBuffer buffer(std::min(chunk_size, kLargestRead));
  for (;;) {
    FENDRAL_TRY(auto got, posix::read_some(fd, buffer.data(), buffer.size()));
    if (got == 0) return chunks;
    chunks.push_back({chunks.size(), ByteBuffer(buffer.data(), got)});
  }
}

}  // namespace

Result<posix::UniqueFd> open_for_chunks(const std::string& path, std::uint64_t chunk_size) {
  FENDRAL_TRY(auto file, posix::open_for_reading(path));
  if (chunk_size >= std::uint64_t{1} << 63) {
    file.reset();
    throw InternalFault("capacity overflow");
  }
  return file;
}

Result<std::vector<ChunkRecord>> deconstruct_file(const std::string& path,
                                                  std::uint64_t chunk_size) {
  FENDRAL_TRY(const auto file, open_for_chunks(path, chunk_size));
  if (chunk_size == 0) return {};

  const int fd = file.get();
  const auto size = static_cast<std::size_t>(chunk_size);
  IoResult<std::vector<ChunkRecord>> chunks;
  const Shape shape = shape_of(fd);
  // A size no memory can hold (a huge sparse file, or one past a container's limit) is refused
  // before anything is read.
  if (auto refusal = posix::beyond_memory(path, shape.size_hint)) {
    return fail(Failure::memory_error(std::move(*refusal)));
  }
  try {
    if (!shape.file_like) {
      chunks = read_stream_chunks(fd, size);
    } else if (size < kDirectReadThreshold) {
      chunks = read_chunks_into_slabs(fd, size, shape.size_hint);
    } else {
      chunks = read_large_chunks(fd, size, shape.size_hint);
    }
  } catch (const std::bad_alloc&) {
    return fail(Failure::memory_error(posix::out_of_memory_reading(path)));
  } catch (const std::length_error&) {
    return fail(Failure::memory_error(posix::out_of_memory_reading(path)));
  }
  if (!chunks) return fail(chunks.error());
  return std::move(*chunks);
}

Result<void> reconstruct_file(std::span<const ChunkPiece> pieces, const std::string& output_path) {
  // Later pieces replace earlier ones with the same index. Dense indices (the usual case) are
  // looked up in a vector; sparse ones in a hash map, so memory never follows the indices.
  std::uint64_t largest_index = 0;
  for (const ChunkPiece& piece : pieces) largest_index = std::max(largest_index, piece.index);
  const bool dense = largest_index < pieces.size() * std::uint64_t{2} + 16;
  std::vector<const ChunkPiece*> by_position;
  std::unordered_map<std::uint64_t, const ChunkPiece*> by_index;
  if (dense) {
    by_position.assign(static_cast<std::size_t>(largest_index) + 1, nullptr);
    for (const ChunkPiece& piece : pieces) by_position[piece.index] = &piece;
  } else {
    by_index.reserve(pieces.size());
    for (const ChunkPiece& piece : pieces) by_index[piece.index] = &piece;
  }
  auto find = [&](std::uint64_t index) -> const ChunkPiece* {
    if (dense) return by_position[index];
    auto found = by_index.find(index);
    return found == by_index.end() ? nullptr : found->second;
  };

  FENDRAL_TRY(const auto file, posix::create_for_writing(output_path));

  // Payloads go out in batches of vectored writes, straight from the chunks.
  constexpr std::size_t kBatch = 512;
  std::vector<iovec> batch;
  batch.reserve(std::min<std::size_t>(kBatch, pieces.size()));
  auto flush = [&]() -> Result<void> {
    FENDRAL_CHECK(posix::write_all_vectored(file.get(), batch));
    batch.clear();
    return {};
  };
  for (std::uint64_t index = 0;; ++index) {
    const ChunkPiece* piece = find(index);
    if (piece == nullptr) {
      FENDRAL_CHECK(flush());
      return fail(Failure::value_error("Missing chunk at index " + std::to_string(index)));
    }
    if (piece->size != 0) {
      batch.push_back({const_cast<unsigned char*>(piece->data), piece->size});
      if (batch.size() == kBatch) {
        FENDRAL_CHECK(flush());
      }
    }
    if (index == largest_index) break;
  }
  return flush();
}

}  // namespace fendral::chunking
