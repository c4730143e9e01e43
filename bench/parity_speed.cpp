// The parity encoder itself, without files: COUNT data chunks of CHUNK bytes (drawn from a few
// random ones) made into PARITY parity chunks by each ORDER given (0 is the coefficients' way,
// "auto" the encoder's own choice), ROUNDS times each, alternating. Prints one line per order: the
// order, the median processor seconds of one encoding and the bytes of data it took.
//
// Usage: parity_speed CHUNK COUNT PARITY ROUNDS ORDER...   (built by bench_stream.py with the
// module's own sources)
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "chunking/parity.hpp"

namespace {

double now() {
  timespec time;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) return 2;
  const std::size_t chunk_size = std::strtoul(argv[1], nullptr, 10);
  const std::size_t count = std::strtoul(argv[2], nullptr, 10);
  const std::size_t parity = std::strtoul(argv[3], nullptr, 10);
  const int rounds = std::atoi(argv[4]);
  if (rounds < 1) return 2;  // the first round only warms up; the median needs one more
  std::vector<unsigned> orders;
  for (int k = 5; k < argc; ++k) {
    orders.push_back(std::string_view(argv[k]) == "auto"
                         ? fendral::chunking::parity_order(chunk_size, parity)
                         : static_cast<unsigned>(std::atoi(argv[k])));
  }
  std::vector<std::vector<unsigned char>> chunks(16, std::vector<unsigned char>(chunk_size));
  unsigned seed = 1;
  for (auto& chunk : chunks) {
    for (auto& byte : chunk)
      byte = static_cast<unsigned char>((seed = seed * 1103515245 + 12345) >> 16);
  }
  std::vector<std::vector<double>> times(orders.size());
  for (int round = 0; round <= rounds; ++round) {
    for (std::size_t o = 0; o < orders.size(); ++o) {
      const std::size_t which = round % 2 ? orders.size() - 1 - o : o;
      const double start = now();
      fendral::chunking::ParityEncoder encoder(chunk_size, parity, orders[which]);
      for (std::size_t i = 0; i < count; ++i) {
        if (!encoder.add(chunks[i % chunks.size()].data(), chunk_size)) return 1;
      }
      const auto made = encoder.finish();
      if (round > 0) times[which].push_back(now() - start);
    }
  }
  for (std::size_t o = 0; o < orders.size(); ++o) {
    std::sort(times[o].begin(), times[o].end());
    std::printf("%u %.6f %zu\n", orders[o], times[o][times[o].size() / 2], count * chunk_size);
  }
}
