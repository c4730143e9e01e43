// Bytes that look like a real file's to a checksum, the same on every run for one seed.
#pragma once

#include <cstddef>
#include <random>
#include <vector>

namespace fendral::testing_support {

inline std::vector<unsigned char> random_content(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::vector<unsigned char> content(size);
  for (auto& byte : content) byte = static_cast<unsigned char>(generator());
  return content;
}

}  // namespace fendral::testing_support
