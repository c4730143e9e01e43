#include "chunking/parity_transform.hpp"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace fendral::chunking {
namespace {

constexpr std::uint64_t kElements = 65536;

// The sum of the values at the set bits of x, for a GF(2)-linear map given at each bit.
std::uint16_t linear_at(const std::uint16_t (&of_bit)[16], std::uint16_t x) {
  std::uint16_t sum = 0;
  for (unsigned k = 0; k < 16; ++k) {
    if ((x >> k & 1u) != 0) sum ^= of_bit[k];
  }
  return sum;
}

void add_region_bytes(unsigned char* dst, const unsigned char* src, std::size_t bytes) {
  std::size_t at = 0;
  for (; at + 8 <= bytes; at += 8) {
    std::uint64_t a = 0, b = 0;
    std::memcpy(&a, dst + at, 8);
    std::memcpy(&b, src + at, 8);
    a ^= b;
    std::memcpy(dst + at, &a, 8);
  }
  for (; at < bytes; ++at) dst[at] ^= src[at];
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void add_region_avx2(unsigned char* dst, const unsigned char* src,
                                                     std::size_t bytes) {
  std::size_t at = 0;
  for (; at + 64 <= bytes; at += 64) {
    auto* out = reinterpret_cast<__m256i*>(dst + at);
    const auto* in = reinterpret_cast<const __m256i*>(src + at);
    _mm256_storeu_si256(out, _mm256_xor_si256(_mm256_loadu_si256(out), _mm256_loadu_si256(in)));
    _mm256_storeu_si256(out + 1,
                        _mm256_xor_si256(_mm256_loadu_si256(out + 1), _mm256_loadu_si256(in + 1)));
  }
  add_region_bytes(dst + at, src + at, bytes - at);
}

__attribute__((target("avx2"))) void copy_streaming(unsigned char* dst, const unsigned char* src,
                                                    std::size_t bytes) {
  std::size_t at = (32 - reinterpret_cast<std::uintptr_t>(dst) % 32) % 32;
  if (at > bytes) at = bytes;
  std::memcpy(dst, src, at);
  for (; at + 32 <= bytes; at += 32) {
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + at),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + at)));
  }
  std::memcpy(dst + at, src + at, bytes - at);
  _mm_sfence();
}
#endif

}  // namespace

void copy_past_the_cache(unsigned char* dst, const unsigned char* src, std::size_t bytes) {
  if (bytes == 0) return;
#if defined(__x86_64__)
  static const bool wide = __builtin_cpu_supports("avx2");
  if (wide) {
    copy_streaming(dst, src, bytes);
    return;
  }
#endif
  std::memcpy(dst, src, bytes);
}

void add_region(unsigned char* dst, const unsigned char* src, std::size_t bytes) {
#if defined(__x86_64__)
  static const bool wide = __builtin_cpu_supports("avx2");
  if (wide) {
    add_region_avx2(dst, src, bytes);
    return;
  }
#endif
  add_region_bytes(dst, src, bytes);
}

ParityTransform::ParityTransform(std::uint64_t parity, unsigned order)
    : order_(order),
      first_coset_((kElements - parity) >> order),
      cosets_(static_cast<std::size_t>(((kElements - 1) >> order) - first_coset_ + 1)) {
  // The subspace polynomial of the elements below 2^level at every bit, from W_0(x) = x and
  // W_(level+1)(x) = W_level(x) (W_level(x) + W_level(2^level)).
  std::uint16_t at_bit[16];
  for (unsigned k = 0; k < 16; ++k) at_bit[k] = static_cast<std::uint16_t>(1u << k);
  for (unsigned level = 0; level < 16; ++level) {
    if (level == order_) std::memcpy(subspace_of_bit_, at_bit, sizeof at_bit);
    for (unsigned k = 0; k < 16; ++k) {
      normalised_of_bit_[level][k] = gf65536::divide(at_bit[k], at_bit[level]);
    }
    const std::uint16_t at_level = at_bit[level];
    for (unsigned k = 0; level + 1 < 16 && k < 16; ++k) {
      at_bit[k] = gf65536::multiply(at_bit[k], at_bit[k] ^ at_level);
    }
  }
  for (std::uint32_t v = 1; v < (1u << order_); ++v) {
    product_of_nonzero_ = gf65536::multiply(product_of_nonzero_, static_cast<std::uint16_t>(v));
  }
}

std::size_t ParityTransform::sum_of_parity(std::uint64_t parity_index) const {
  const std::uint64_t element = kElements - 1 - parity_index;
  return static_cast<std::size_t>(((element >> order_) - first_coset_) << order_ |
                                  (element & (group_size() - 1)));
}

std::uint16_t ParityTransform::scale(std::uint64_t group, std::size_t coset) const {
  const auto apart = static_cast<std::uint16_t>((group ^ (first_coset_ + coset)) << order_);
  return gf65536::divide(product_of_nonzero_, linear_at(subspace_of_bit_, apart));
}

std::uint16_t ParityTransform::normalised(unsigned level, std::uint16_t x) const {
  return linear_at(normalised_of_bit_[level], x);
}

ParityTransform::Butterflies ParityTransform::butterflies(std::uint16_t shift) const {
  Butterflies made;
  for (unsigned level = 0; level < order_; ++level) {
    for (std::size_t block = 0; block < group_size(); block += std::size_t{2} << level) {
      const std::uint16_t constant = normalised(level, static_cast<std::uint16_t>(shift ^ block));
      made.constants.push_back(constant);
      made.multipliers.push_back(gf65536::multiplier_of(constant));
    }
  }
  return made;
}

// A butterfly pairs the regions `half` apart within each block of 2 x half: the block's values
// at the two cosets of the elements below `half` and the coefficients of its two halves.
void ParityTransform::to_coefficients(unsigned char* const* regions, const Butterflies& at,
                                      std::size_t bytes) const {
  std::size_t next = 0;
  for (unsigned level = 0; level < order_; ++level) {
    const std::size_t half = std::size_t{1} << level;
    for (std::size_t block = 0; block < group_size(); block += 2 * half, ++next) {
      for (std::size_t t = block; t < block + half; ++t) {
        if (at.constants[next] == 0) {
          add_region(regions[t + half], regions[t], bytes);
        } else {
          gf65536::butterfly(regions[t], regions[t + half], at.multipliers[next], bytes, false);
        }
      }
    }
  }
}

void ParityTransform::to_values(unsigned char* const* regions, const Butterflies& at,
                                std::size_t bytes) const {
  for (unsigned level = order_; level-- > 0;) {
    const std::size_t half = std::size_t{1} << level;
    // The butterflies of the levels below come first.
    std::size_t next = group_size() - (group_size() >> level);
    for (std::size_t block = 0; block < group_size(); block += 2 * half, ++next) {
      for (std::size_t t = block; t < block + half; ++t) {
        if (at.constants[next] == 0) {
          add_region(regions[t + half], regions[t], bytes);
        } else {
          gf65536::butterfly(regions[t], regions[t + half], at.multipliers[next], bytes, true);
        }
      }
    }
  }
}

}  // namespace fendral::chunking
