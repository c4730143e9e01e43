#include "chunking/manifest.hpp"

#include <algorithm>
#include <cstdio>

#include "base/crc32c.hpp"
#include "base/propagate.hpp"
#include "chunking/parity.hpp"
#include "posix/buffer.hpp"
#include "posix/file.hpp"

namespace fendral::chunking {
namespace {

// Equal chunks' CRCs are combined by tables from this many chunks on: filling the tables costs
// about as much as this many combines.
constexpr std::size_t kTablesFrom = 256;

// A file is read this many bytes at a time, so the CRC runs over bytes still in the cache.
constexpr std::size_t kReadSize = 256 * 1024;

std::string chunk_text(std::uint64_t index) {
  return "Chunk at index " + std::to_string(index);
}

std::string bytes_text(std::uint64_t bytes) {
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

std::string count_text(std::uint64_t count) {
  if (count == 0) return "no chunk";
  return std::to_string(count) + (count == 1 ? " chunk" : " chunks");
}

// Calls visit(index, bytes, crc) for each chunk of the file at `path`, in order, reading it once
// through one buffer. A regular file is read at a position of its own, as read_chunks reads it:
// the file offset is shared with any child forked meanwhile.
template <class Visit>
Result<void> for_each_chunk(const std::string& path, std::uint64_t chunk_size, Visit&& visit) {
  FENDRAL_TRY(const posix::UniqueFd file, posix::open_for_reading(path));
  const bool positioned = posix::regular_file_size(file.get()).has_value();
  std::uint64_t position = 0;
  posix::ByteBuffer buffer(
      static_cast<std::size_t>(std::min<std::uint64_t>(chunk_size, kReadSize)));
  std::uint64_t index = 0;
  std::uint64_t in_chunk = 0;
  std::uint32_t crc = 0;
  for (;;) {
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), chunk_size - in_chunk));
    FENDRAL_TRY(const std::size_t got,
                positioned ? posix::read_some_at(file.get(), buffer.data(), wanted, position)
                           : posix::read_some(file.get(), buffer.data(), wanted));
    if (got == 0) break;
    position += got;
    crc = crc32c::extend(crc, buffer.data(), got);
    in_chunk += got;
    if (in_chunk == chunk_size) {
      visit(index++, in_chunk, crc);
      in_chunk = 0;
      crc = 0;
    }
  }
  if (in_chunk > 0) visit(index, in_chunk, crc);
  return {};
}

Result<void> check_chunk_size(std::uint64_t chunk_size) {
  if (chunk_size == 0)
    return fail(Failure::value_error("a manifest needs a chunk_size of at least 1"));
  return {};
}

}  // namespace

std::uint64_t Manifest::chunk_bytes(std::uint64_t index) const {
  if (index + 1 < count()) return chunk_size;
  return size - (count() - 1) * chunk_size;
}

void ManifestBuilder::add(const unsigned char* data, std::size_t size) {
  add_crc(crc32c::of(data, size), size);
}

void ManifestBuilder::add_crc(std::uint32_t crc, std::uint64_t size) {
  crc32c_.push_back(crc);
  if (size == chunk_size_ && !combine_full_ && crc32c_.size() >= kTablesFrom) {
    combine_full_ = std::make_unique<const crc32c::FixedLengthCombine>(chunk_size_);
  }
  file_crc32c_ = size == chunk_size_ && combine_full_ ? (*combine_full_)(file_crc32c_, crc)
                                                      : crc32c::combine(file_crc32c_, crc, size);
  size_ += size;
}

Result<Manifest> ManifestBuilder::build() const {
  FENDRAL_CHECK(check_chunk_size(chunk_size_));
  return Manifest{chunk_size_, size_, crc32c_, file_crc32c_, parity_crc32c_};
}

std::uint64_t chunks_in(std::uint64_t size, std::uint64_t chunk_size) {
  return size / chunk_size + (size % chunk_size != 0 ? 1 : 0);
}

std::uint32_t combined_crc(const Manifest& manifest) {
  if (manifest.count() == 0) return 0;
  std::uint32_t combined = 0;
  if (manifest.count() < kTablesFrom) {
    for (std::uint64_t index = 0; index + 1 < manifest.count(); ++index) {
      combined = crc32c::combine(combined, manifest.crc32c[index], manifest.chunk_size);
    }
  } else {
    // Every chunk but the last holds chunk_size bytes.
    const crc32c::FixedLengthCombine combine_full(manifest.chunk_size);
    for (std::uint64_t index = 0; index + 1 < manifest.count(); ++index) {
      combined = combine_full(combined, manifest.crc32c[index]);
    }
  }
  return crc32c::combine(combined, manifest.crc32c.back(),
                         manifest.chunk_bytes(manifest.count() - 1));
}

Result<void> check_parity_of(const Manifest& manifest) {
  if (manifest.parity() == 0) return {};
  FENDRAL_CHECK(check_symbol_size(manifest.chunk_size));
  if (manifest.count() + manifest.parity() > kMostCodedChunks) {
    return fail(Failure::value_error(
        std::to_string(manifest.count()) + " chunks and " + std::to_string(manifest.parity()) +
        " parity chunks are more than " + std::to_string(kMostCodedChunks) +
        ", the most a chunk set with parity can have"));
  }
  return {};
}

Result<Manifest> manifest_of_parts(std::uint64_t chunk_size, std::uint64_t size,
                                   std::vector<std::uint32_t> crcs,
                                   std::vector<std::uint32_t> parity_crcs) {
  FENDRAL_CHECK(check_chunk_size(chunk_size));
  const std::uint64_t needed = chunks_in(size, chunk_size);
  if (crcs.size() != needed) {
    return fail(Failure::value_error("expected " + std::to_string(needed) +
                                     " CRCs, one a chunk, for a size of " + std::to_string(size) +
                                     " in chunks of " + std::to_string(chunk_size) + ", got " +
                                     std::to_string(crcs.size())));
  }
  Manifest manifest{chunk_size, size, std::move(crcs), 0, std::move(parity_crcs)};
  FENDRAL_CHECK(check_parity_of(manifest));
  manifest.file_crc32c = combined_crc(manifest);
  return manifest;
}

Result<Manifest> manifest_of_file(const std::string& path, std::uint64_t chunk_size) {
  FENDRAL_CHECK(check_chunk_size(chunk_size));
  ManifestBuilder builder(chunk_size);
  FENDRAL_CHECK(for_each_chunk(
      path, chunk_size,
      [&](std::uint64_t, std::uint64_t bytes, std::uint32_t crc) { builder.add_crc(crc, bytes); }));
  return builder.build();
}

Result<std::vector<std::uint64_t>> chunks_differing(const Manifest& manifest,
                                                    const std::string& path) {
  std::vector<std::uint64_t> differing;
  std::uint64_t seen = 0;
  FENDRAL_CHECK(for_each_chunk(
      path, manifest.chunk_size, [&](std::uint64_t index, std::uint64_t bytes, std::uint32_t crc) {
        seen = index + 1;
        if (index >= manifest.count() || bytes != manifest.chunk_bytes(index) ||
            crc != manifest.crc32c[index]) {
          differing.push_back(index);
        }
      }));
  for (std::uint64_t index = seen; index < manifest.count(); ++index) differing.push_back(index);
  return differing;
}

Result<void> check_against(const Manifest& manifest, const ChunkPiece& piece) {
  const std::uint64_t count = manifest.count();
  if (piece.index >= count + manifest.parity()) {
    std::string listed = count_text(count);
    if (manifest.parity() > 0) {
      listed += " and " + std::to_string(manifest.parity()) + " parity " +
                (manifest.parity() == 1 ? "chunk" : "chunks");
    }
    return fail(Failure::value_error(chunk_text(piece.index) +
                                     " is not in the manifest, which lists " + listed));
  }
  const bool is_parity = piece.index >= count;
  const std::uint64_t listed = is_parity ? manifest.chunk_size : manifest.chunk_bytes(piece.index);
  if (piece.size != listed) {
    return fail(Failure::value_error(chunk_text(piece.index) + " holds " + bytes_text(piece.size) +
                                     ", but the manifest lists " + bytes_text(listed) + " for it"));
  }
  const std::uint32_t crc = crc32c::of(piece.data, piece.size);
  const std::uint32_t expected =
      is_parity ? manifest.parity_crc32c[piece.index - count] : manifest.crc32c[piece.index];
  if (crc != expected) {
    return fail(Failure::value_error(chunk_text(piece.index) + " has CRC32C " + crc_text(crc) +
                                     ", but the manifest lists " + crc_text(expected) + " for it"));
  }
  return {};
}

std::string crc_text(std::uint32_t crc) {
  char digits[11];
  std::snprintf(digits, sizeof digits, "0x%08x", crc);
  return digits;
}

}  // namespace fendral::chunking
