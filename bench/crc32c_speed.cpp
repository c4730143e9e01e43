// The CRC32C itself, without reading: the file at PATH is read into memory once, then its CRC
// is taken ROUNDS times by each way the module has on this processor, over the whole buffer and
// over it in pieces of PIECE bytes. Prints one line per way and shape: the name, the piece size,
// the median seconds on the processor (which other jobs disturb less than the clock), the bytes
// and the CRC.
//
// Usage: crc32c_speed PATH [PIECE [ROUNDS]]     (built by bench_manifest.py with the module's
// own crc32c.cpp)
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/crc32c.hpp"

namespace {

double now() {
  timespec time;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

std::vector<unsigned char> read_whole(const char* path) {
  std::vector<unsigned char> data;
  const int fd = open(path, O_RDONLY);
  if (fd < 0) {
    std::perror(path);
    std::exit(1);
  }
  unsigned char block[1 << 16];
  for (ssize_t got; (got = read(fd, block, sizeof block)) > 0;) {
    data.insert(data.end(), block, block + got);
  }
  close(fd);
  return data;
}

void measure(const char* name, fendral::crc32c::ExtendFunction extend,
             const std::vector<unsigned char>& data, std::size_t piece, int rounds) {
  std::vector<double> times;
  std::uint32_t crc = 0;
  for (int round = 0; round < rounds; ++round) {
    const double start = now();
    crc = 0;
    for (std::size_t offset = 0; offset < data.size(); offset += piece) {
      crc = extend(crc, data.data() + offset, std::min(piece, data.size() - offset));
    }
    times.push_back(now() - start);
  }
  std::sort(times.begin(), times.end());
  std::printf("%s %zu %.9f %zu %08x\n", name, piece, times[times.size() / 2], data.size(), crc);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH [PIECE [ROUNDS]]\n", argv[0]);
    return 2;
  }
  const std::size_t piece = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1 << 20;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  const std::vector<unsigned char> data = read_whole(argv[1]);
  for (const auto& way : fendral::crc32c::available_ways()) {
    if (way.extend == fendral::crc32c::extend_with_tables) {
      // The tables are slow enough that a round over a tenth of the data tells as much.
      std::vector<unsigned char> tenth(data.begin(), data.begin() + data.size() / 10);
      measure(way.name, way.extend, tenth, piece, std::max(1, rounds / 2));
    } else {
      measure(way.name, way.extend, data, data.size(), rounds);
      measure(way.name, way.extend, data, piece, rounds);
    }
  }
  return 0;
}
