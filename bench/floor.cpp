// The floor for reading a file into chunks: every chunk gets a fresh buffer of its own and is
// filled by read() straight from the file, with nothing else done. Prints the seconds spent
// between open and close (process start-up and freeing are left out), the chunk count, the bytes
// read, and the processor seconds spent, which other jobs on a busy machine disturb less than
// the wall-clock figure.
//
// Usage: floor PATH CHUNK_SIZE [ALIGNMENT [ROUNDS]]
//
// Each buffer starts on an ALIGNMENT-byte boundary (default 64, as the module's payloads do):
// the kernel's copy into user memory is slower on some processors when the destination sits a
// few bytes past a 64-byte boundary, which is where plain malloc puts a buffer. An ALIGNMENT of
// 16 takes plain malloc's placement, to show that cost.
//
// With ROUNDS above 1 the file is read that many times in the one process, every chunk freed
// between rounds, and the figures are the medians of the rounds after the first: the floor for
// a long-running program (the benchmark's steady mode) rather than for a new process.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Chunk {
  unsigned char* data;
  std::size_t size;
};

struct Figures {
  double seconds = 0;
  double processor_seconds = 0;
  std::size_t chunks = 0;
  std::size_t bytes = 0;
};

double clock_seconds(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

unsigned char* allocate(std::size_t size, std::size_t alignment) {
  if (alignment <= 16) return static_cast<unsigned char*>(std::malloc(size));
  void* buffer = nullptr;
  if (::posix_memalign(&buffer, alignment, size) != 0) return nullptr;
  return static_cast<unsigned char*>(buffer);
}

// Reads the file once into fresh buffers; false when a call failed.
bool read_once(const char* path, std::size_t chunk_size, std::size_t alignment, Figures& figures) {
  const double start = clock_seconds(CLOCK_MONOTONIC);
  const double processor_start = clock_seconds(CLOCK_PROCESS_CPUTIME_ID);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror("open");
    return false;
  }
  std::vector<Chunk> chunks;
  for (;;) {
    unsigned char* buffer = allocate(chunk_size, alignment);
    if (buffer == nullptr) return false;
    std::size_t filled = 0;
    while (filled < chunk_size) {
      const ssize_t got = ::read(fd, buffer + filled, chunk_size - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        std::perror("read");
        return false;
      }
      if (got == 0) break;
      filled += static_cast<std::size_t>(got);
    }
    if (filled == 0) {
      std::free(buffer);
      break;
    }
    chunks.push_back({buffer, filled});
    if (filled < chunk_size) break;
  }
  ::close(fd);
  figures.seconds = clock_seconds(CLOCK_MONOTONIC) - start;
  figures.processor_seconds = clock_seconds(CLOCK_PROCESS_CPUTIME_ID) - processor_start;
  figures.chunks = chunks.size();
  figures.bytes = 0;
  for (const Chunk& chunk : chunks) {
    figures.bytes += chunk.size;
    std::free(chunk.data);
  }
  return true;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: %s PATH CHUNK_SIZE [ALIGNMENT [ROUNDS]]\n", argv[0]);
    return 2;
  }
  const std::size_t chunk_size = std::strtoull(argv[2], nullptr, 10);
  const std::size_t alignment = argc >= 4 ? std::strtoull(argv[3], nullptr, 10) : 64;
  const std::size_t rounds = argc == 5 ? std::strtoull(argv[4], nullptr, 10) : 1;
  if (chunk_size == 0 || alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0 ||
      rounds == 0) {
    return 2;
  }

  Figures figures;
  std::vector<double> seconds, processor_seconds;
  for (std::size_t round = 0; round < rounds; ++round) {
    if (!read_once(argv[1], chunk_size, alignment, figures)) return 1;
    if (rounds == 1 || round > 0) {
      seconds.push_back(figures.seconds);
      processor_seconds.push_back(figures.processor_seconds);
    }
  }
  std::printf("%.6f %zu %zu %.6f\n", median(seconds), figures.chunks, figures.bytes,
              median(processor_seconds));
  return 0;
}
