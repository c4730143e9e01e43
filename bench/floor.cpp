// The floor for reading a file into chunks: every chunk gets a fresh buffer of its own and is
// filled by read() straight from the file, with nothing else done. Prints the seconds spent
// between open and close (process start-up and freeing are left out), the chunk count, the bytes
// read, and the processor seconds the process spent in all, which other jobs on a busy machine
// disturb less than the wall-clock figure.
//
// Usage: floor PATH CHUNK_SIZE [ALIGNMENT]
//
// Each buffer starts on an ALIGNMENT-byte boundary (default 64, as the module's payloads do):
// the kernel's copy into user memory is slower on some processors when the destination sits a
// few bytes past a 64-byte boundary, which is where plain malloc puts a buffer. An ALIGNMENT of
// 16 takes plain malloc's placement, to show that cost.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s PATH CHUNK_SIZE [ALIGNMENT]\n", argv[0]);
    return 2;
  }
  const std::size_t chunk_size = std::strtoull(argv[2], nullptr, 10);
  const std::size_t alignment = argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 64;
  if (chunk_size == 0 || alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return 2;
  auto allocate = [&]() -> unsigned char* {
    if (alignment <= 16) return static_cast<unsigned char*>(std::malloc(chunk_size));
    void* buffer = nullptr;
    if (::posix_memalign(&buffer, alignment, chunk_size) != 0) return nullptr;
    return static_cast<unsigned char*>(buffer);
  };

  const auto start = std::chrono::steady_clock::now();
  const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror("open");
    return 1;
  }
  struct Chunk {
    unsigned char* data;
    std::size_t size;
  };
  std::vector<Chunk> chunks;
  for (;;) {
    unsigned char* buffer = allocate();
    if (buffer == nullptr) return 1;
    std::size_t filled = 0;
    while (filled < chunk_size) {
      const ssize_t got = ::read(fd, buffer + filled, chunk_size - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        std::perror("read");
        return 1;
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
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::size_t total = 0;
  for (const Chunk& chunk : chunks) total += chunk.size;
  timespec processor{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &processor);
  std::printf(
      "%.6f %zu %zu %.6f\n", seconds, chunks.size(), total,
      static_cast<double>(processor.tv_sec) + static_cast<double>(processor.tv_nsec) * 1e-9);
  return 0;
}
