// libFuzzer target for the MP4 segment reader (and the Matroska stream list). Beyond surviving any
// input, it checks that a duration, when one is read, is on a running clock, and that the verdict
// does not change when the bytes come in a larger buffer that ends at the same place.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mp4/matroska.hpp"
#include "mp4/movie.hpp"

namespace {

class MemorySource final : public fendral::mp4::ByteSource {
 public:
  MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint64_t size() const override { return size_; }
  bool read_at(std::uint64_t offset, void* buffer, std::size_t length) override {
    if (offset > size_ || length > size_ - offset) {
      std::fprintf(stderr, "property violated: read past the end of the file\n");
      std::abort();
    }
    // An empty box's payload may have no storage at all; memcpy may not be given a null pointer.
    if (length != 0) std::memcpy(buffer, data_ + offset, length);
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemorySource source(data, size);
  const auto movie = fendral::mp4::read_movie(source);
  if (movie) {
    for (const auto& length : {movie->duration, movie->longest_sample, movie->hidden_lead}) {
      if (length && length->timescale == 0) {
        std::fprintf(stderr, "property violated: a length of time on a stopped clock\n");
        std::abort();
      }
    }
    if (!movie->tracks_known && (movie->has_video || movie->has_audio || movie->duration)) {
      std::fprintf(stderr, "property violated: tracks told of a movie box not read\n");
      std::abort();
    }
  }
  if (!movie && movie.error() == fendral::mp4::MovieFault::read_failed) {
    std::fprintf(stderr, "property violated: a read failed on bytes in memory\n");
    std::abort();
  }
  // The Matroska reader reads through the same source: never past the end either.
  fendral::mp4::read_matroska_streams(source);
  return 0;
}
