// The GF(2^16) region product itself, without files: SOURCES regions of STRIP bytes (a strip, as
// the parity code passes them) added into one destination, ROUNDS times by each way the module
// has on this processor, alternating. Prints one line per way: the name, the median seconds on
// the processor for one pass and the bytes of products a pass makes.
//
// Usage: gf65536_speed [SOURCES [STRIP [ROUNDS]]]   (built by bench_stream.py with the module's
// own gf65536.cpp)
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "base/gf65536.hpp"

namespace {

double now() {
  timespec time;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace fendral::gf65536;
  const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 8;
  const std::size_t strip = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 32768;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 9;
  std::vector<std::vector<std::uint8_t>> sources(count, std::vector<std::uint8_t>(strip));
  std::vector<const std::uint8_t*> pointers;
  std::vector<Multiplier> multipliers;
  unsigned seed = 1;
  for (auto& source : sources) {
    for (auto& byte : source) byte = static_cast<std::uint8_t>(seed = seed * 1103515245 + 12345);
    pointers.push_back(source.data());
    multipliers.push_back(multiplier_of(static_cast<std::uint16_t>(seed >> 8 | 1)));
  }
  std::vector<std::uint8_t> destination(strip);
  const auto ways = available_ways();
  const int passes = 200;
  std::vector<std::vector<double>> times(ways.size());
  for (int round = 0; round <= rounds; ++round) {
    for (std::size_t w = 0; w < ways.size(); ++w) {
      const std::size_t way = round % 2 ? ways.size() - 1 - w : w;
      const int repeat = ways[way].name == std::string_view("tables") ? passes / 20 : passes;
      const double start = now();
      for (int pass = 0; pass < repeat; ++pass) {
        ways[way].multiply_add(destination.data(), pointers.data(), multipliers.data(), count,
                               strip);
      }
      if (round > 0) times[way].push_back((now() - start) / repeat);
    }
  }
  for (std::size_t way = 0; way < ways.size(); ++way) {
    std::sort(times[way].begin(), times[way].end());
    std::printf("%s %.9f %zu\n", ways[way].name, times[way][times[way].size() / 2], count * strip);
  }
}
