#include "base/gf65536.hpp"

#include <array>
#include <cstring>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace fendral::gf65536 {
namespace {

// x^16 + x^12 + x^3 + x + 1: primitive, so x generates every nonzero element.
constexpr std::uint32_t kPolynomial = 0x1100B;
constexpr std::uint32_t kOrder = 65535;  // of the multiplicative group

struct LogTables {
  std::vector<std::uint16_t> log = std::vector<std::uint16_t>(65536);
  // Twice the group's order long, so exp[log a + log b] needs no reduction.
  std::vector<std::uint16_t> exp = std::vector<std::uint16_t>(2 * kOrder);

  LogTables() {
    std::uint32_t value = 1;
    for (std::uint32_t power = 0; power < kOrder; ++power) {
      exp[power] = exp[power + kOrder] = static_cast<std::uint16_t>(value);
      log[value] = static_cast<std::uint16_t>(power);
      value <<= 1;
      if ((value & 0x10000) != 0) value ^= kPolynomial;
    }
  }
};

const LogTables& tables() {
  static const LogTables made;
  return made;
}

constexpr std::size_t kBlock = 64;  // bytes: 32 symbols, low bytes then high bytes
constexpr std::size_t kHalf = kBlock / 2;

std::uint16_t product_of(const Multiplier& m, std::uint8_t low, std::uint8_t high) {
  const unsigned nibbles[4] = {low & 15u, unsigned{low} >> 4u, high & 15u, unsigned{high} >> 4u};
  unsigned result_low = 0, result_high = 0;
  for (int k = 0; k < 4; ++k) {
    result_low ^= m.low[k][nibbles[k]];
    result_high ^= m.high[k][nibbles[k]];
  }
  return static_cast<std::uint16_t>(result_low | result_high << 8);
}

// The symbols after the last whole block, one each two bytes, low byte first.
void multiply_add_tail(std::uint8_t* dst, const std::uint8_t* const* sources,
                       const Multiplier* multipliers, std::size_t count, std::size_t begin,
                       std::size_t end) {
  for (std::size_t at = begin; at < end; at += 2) {
    std::uint16_t sum = 0;
    for (std::size_t k = 0; k < count; ++k) {
      sum ^= product_of(multipliers[k], sources[k][at], sources[k][at + 1]);
    }
    dst[at] ^= static_cast<std::uint8_t>(sum);
    dst[at + 1] ^= static_cast<std::uint8_t>(sum >> 8);
  }
}

// A source's product by whole bytes: two look-ups a symbol where the nibbles take eight. Worth
// filling from this many symbols on.
struct ByteProducts {
  std::uint16_t of_low[256];
  std::uint16_t of_high[256];
};
constexpr std::size_t kByteProductsFrom = 1024;

ByteProducts byte_products_of(const Multiplier& m) {
  ByteProducts products;
  for (unsigned value = 0; value < 256; ++value) {
    products.of_low[value] = product_of(m, static_cast<std::uint8_t>(value), 0);
    products.of_high[value] = product_of(m, 0, static_cast<std::uint8_t>(value));
  }
  return products;
}

void multiply_add_with_tables(std::uint8_t* dst, const std::uint8_t* const* sources,
                              const Multiplier* multipliers, std::size_t count, std::size_t bytes) {
  const std::size_t whole = bytes - bytes % kBlock;
  multiply_add_tail(dst, sources, multipliers, count, whole, bytes);
  if (whole / 2 < kByteProductsFrom) {
    for (std::size_t block = 0; block < whole; block += kBlock) {
      for (std::size_t symbol = 0; symbol < kHalf; ++symbol) {
        const std::size_t low = block + symbol, high = low + kHalf;
        std::uint16_t sum = 0;
        for (std::size_t k = 0; k < count; ++k) {
          sum ^= product_of(multipliers[k], sources[k][low], sources[k][high]);
        }
        dst[low] ^= static_cast<std::uint8_t>(sum);
        dst[high] ^= static_cast<std::uint8_t>(sum >> 8);
      }
    }
    return;
  }
  // Source by source, so that one source's tables stay in the cache over the whole region.
  for (std::size_t k = 0; k < count; ++k) {
    const ByteProducts products = byte_products_of(multipliers[k]);
    const std::uint8_t* source = sources[k];
    for (std::size_t block = 0; block < whole; block += kBlock) {
      for (std::size_t symbol = 0; symbol < kHalf; ++symbol) {
        const std::size_t low = block + symbol, high = low + kHalf;
        const std::uint16_t product = products.of_low[source[low]] ^ products.of_high[source[high]];
        dst[low] ^= static_cast<std::uint8_t>(product);
        dst[high] ^= static_cast<std::uint8_t>(product >> 8);
      }
    }
  }
}

void add_bytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t bytes) {
  for (std::size_t at = 0; at < bytes; ++at) dst[at] ^= src[at];
}

// A butterfly as a product pass and an XOR pass, by any way's multiply_add.
template <MultiplyAddFunction kMultiplyAdd>
void butterfly_in_two_passes(std::uint8_t* a, std::uint8_t* b, const Multiplier& m,
                             std::size_t bytes, bool forward) {
  const std::uint8_t* source = b;
  if (!forward) add_bytes(b, a, bytes);
  kMultiplyAdd(a, &source, &m, 1, bytes);
  if (forward) add_bytes(b, a, bytes);
}

#if defined(__x86_64__)

// The symbols after the last whole block, for the butterflies done in registers.
void butterfly_tail(std::uint8_t* a, std::uint8_t* b, const Multiplier& m, std::size_t whole,
                    std::size_t bytes, bool forward) {
  const std::uint8_t* source = b;
  if (!forward) add_bytes(b + whole, a + whole, bytes - whole);
  multiply_add_tail(a, &source, &m, 1, whole, bytes);
  if (forward) add_bytes(b + whole, a + whole, bytes - whole);
}

__attribute__((target("avx2"))) inline __m256i wide_table(const std::uint8_t* entries) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(entries)));
}

__attribute__((target("ssse3"))) inline __m128i narrow_table(const std::uint8_t* entries) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(entries));
}

// Each source's eight tables are looked up by a byte shuffle, one nibble of 16 or 32 symbols
// at a time; the sums stay in registers until the block is done.
__attribute__((target("avx2"))) void multiply_add_avx2(std::uint8_t* dst,
                                                       const std::uint8_t* const* sources,
                                                       const Multiplier* multipliers,
                                                       std::size_t count, std::size_t bytes) {
  const std::size_t whole = bytes - bytes % kBlock;
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  for (std::size_t block = 0; block < whole; block += kBlock) {
    auto* out = reinterpret_cast<__m256i*>(dst + block);
    __m256i sum_low = _mm256_loadu_si256(out);
    __m256i sum_high = _mm256_loadu_si256(out + 1);
    for (std::size_t k = 0; k < count; ++k) {
      const auto* in = reinterpret_cast<const __m256i*>(sources[k] + block);
      const __m256i low = _mm256_loadu_si256(in);
      const __m256i high = _mm256_loadu_si256(in + 1);
      const __m256i nibbles[4] = {
          _mm256_and_si256(low, nibble), _mm256_and_si256(_mm256_srli_epi16(low, 4), nibble),
          _mm256_and_si256(high, nibble), _mm256_and_si256(_mm256_srli_epi16(high, 4), nibble)};
      const Multiplier& m = multipliers[k];
      for (int n = 0; n < 4; ++n) {
        sum_low = _mm256_xor_si256(sum_low, _mm256_shuffle_epi8(wide_table(m.low[n]), nibbles[n]));
        sum_high =
            _mm256_xor_si256(sum_high, _mm256_shuffle_epi8(wide_table(m.high[n]), nibbles[n]));
      }
    }
    _mm256_storeu_si256(out, sum_low);
    _mm256_storeu_si256(out + 1, sum_high);
  }
  multiply_add_tail(dst, sources, multipliers, count, whole, bytes);
}

__attribute__((target("ssse3"))) void multiply_add_ssse3(std::uint8_t* dst,
                                                         const std::uint8_t* const* sources,
                                                         const Multiplier* multipliers,
                                                         std::size_t count, std::size_t bytes) {
  const std::size_t whole = bytes - bytes % kBlock;
  const __m128i nibble = _mm_set1_epi8(0x0f);
  // A block as two halves of 16 symbols: low bytes at 0 and 16, their high bytes 32 further.
  for (std::size_t half = 0; half < whole; half += kHalf) {
    const std::size_t at = half - half % kBlock + (half / kHalf % 2) * 16;
    auto* out_low = reinterpret_cast<__m128i*>(dst + at);
    auto* out_high = reinterpret_cast<__m128i*>(dst + at + kHalf);
    __m128i sum_low = _mm_loadu_si128(out_low);
    __m128i sum_high = _mm_loadu_si128(out_high);
    for (std::size_t k = 0; k < count; ++k) {
      const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sources[k] + at));
      const __m128i high =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(sources[k] + at + kHalf));
      const __m128i nibbles[4] = {
          _mm_and_si128(low, nibble), _mm_and_si128(_mm_srli_epi16(low, 4), nibble),
          _mm_and_si128(high, nibble), _mm_and_si128(_mm_srli_epi16(high, 4), nibble)};
      const Multiplier& m = multipliers[k];
      for (int n = 0; n < 4; ++n) {
        sum_low = _mm_xor_si128(sum_low, _mm_shuffle_epi8(narrow_table(m.low[n]), nibbles[n]));
        sum_high = _mm_xor_si128(sum_high, _mm_shuffle_epi8(narrow_table(m.high[n]), nibbles[n]));
      }
    }
    _mm_storeu_si128(out_low, sum_low);
    _mm_storeu_si128(out_high, sum_high);
  }
  multiply_add_tail(dst, sources, multipliers, count, whole, bytes);
}

__attribute__((target("avx2,gfni"))) inline __m256i transform(__m256i bytes_in,
                                                              std::uint64_t matrix) {
  return _mm256_gf2p8affine_epi64_epi8(bytes_in, _mm256_set1_epi64x(static_cast<long long>(matrix)),
                                       0);
}

// Each product as four affine transforms of bytes, 32 symbols at a time.
__attribute__((target("avx2,gfni"))) void multiply_add_gfni(std::uint8_t* dst,
                                                            const std::uint8_t* const* sources,
                                                            const Multiplier* multipliers,
                                                            std::size_t count, std::size_t bytes) {
  const std::size_t whole = bytes - bytes % kBlock;
  for (std::size_t block = 0; block < whole; block += kBlock) {
    auto* out = reinterpret_cast<__m256i*>(dst + block);
    __m256i sum_low = _mm256_loadu_si256(out);
    __m256i sum_high = _mm256_loadu_si256(out + 1);
    for (std::size_t k = 0; k < count; ++k) {
      const auto* in = reinterpret_cast<const __m256i*>(sources[k] + block);
      const __m256i low = _mm256_loadu_si256(in);
      const __m256i high = _mm256_loadu_si256(in + 1);
      const std::uint64_t* affine = multipliers[k].affine;
      sum_low = _mm256_xor_si256(
          sum_low, _mm256_xor_si256(transform(low, affine[0]), transform(high, affine[1])));
      sum_high = _mm256_xor_si256(
          sum_high, _mm256_xor_si256(transform(low, affine[2]), transform(high, affine[3])));
    }
    _mm256_storeu_si256(out, sum_low);
    _mm256_storeu_si256(out + 1, sum_high);
  }
  multiply_add_tail(dst, sources, multipliers, count, whole, bytes);
}

__attribute__((target("avx2"))) void butterfly_avx2(std::uint8_t* a, std::uint8_t* b,
                                                    const Multiplier& m, std::size_t bytes,
                                                    bool forward) {
  const std::size_t whole = bytes - bytes % kBlock;
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  __m256i low_tables[4], high_tables[4];
  for (int n = 0; n < 4; ++n) {
    low_tables[n] = wide_table(m.low[n]);
    high_tables[n] = wide_table(m.high[n]);
  }
  for (std::size_t block = 0; block < whole; block += kBlock) {
    auto* in_a = reinterpret_cast<__m256i*>(a + block);
    auto* in_b = reinterpret_cast<__m256i*>(b + block);
    __m256i a_low = _mm256_loadu_si256(in_a), a_high = _mm256_loadu_si256(in_a + 1);
    __m256i b_low = _mm256_loadu_si256(in_b), b_high = _mm256_loadu_si256(in_b + 1);
    if (!forward) {
      b_low = _mm256_xor_si256(b_low, a_low);
      b_high = _mm256_xor_si256(b_high, a_high);
    }
    const __m256i nibbles[4] = {
        _mm256_and_si256(b_low, nibble), _mm256_and_si256(_mm256_srli_epi16(b_low, 4), nibble),
        _mm256_and_si256(b_high, nibble), _mm256_and_si256(_mm256_srli_epi16(b_high, 4), nibble)};
    for (int n = 0; n < 4; ++n) {
      a_low = _mm256_xor_si256(a_low, _mm256_shuffle_epi8(low_tables[n], nibbles[n]));
      a_high = _mm256_xor_si256(a_high, _mm256_shuffle_epi8(high_tables[n], nibbles[n]));
    }
    if (forward) {
      b_low = _mm256_xor_si256(b_low, a_low);
      b_high = _mm256_xor_si256(b_high, a_high);
    }
    _mm256_storeu_si256(in_a, a_low);
    _mm256_storeu_si256(in_a + 1, a_high);
    _mm256_storeu_si256(in_b, b_low);
    _mm256_storeu_si256(in_b + 1, b_high);
  }
  butterfly_tail(a, b, m, whole, bytes, forward);
}

__attribute__((target("avx2,gfni"))) void butterfly_gfni(std::uint8_t* a, std::uint8_t* b,
                                                         const Multiplier& m, std::size_t bytes,
                                                         bool forward) {
  const std::size_t whole = bytes - bytes % kBlock;
  for (std::size_t block = 0; block < whole; block += kBlock) {
    auto* in_a = reinterpret_cast<__m256i*>(a + block);
    auto* in_b = reinterpret_cast<__m256i*>(b + block);
    __m256i a_low = _mm256_loadu_si256(in_a), a_high = _mm256_loadu_si256(in_a + 1);
    __m256i b_low = _mm256_loadu_si256(in_b), b_high = _mm256_loadu_si256(in_b + 1);
    if (!forward) {
      b_low = _mm256_xor_si256(b_low, a_low);
      b_high = _mm256_xor_si256(b_high, a_high);
    }
    a_low = _mm256_xor_si256(
        a_low, _mm256_xor_si256(transform(b_low, m.affine[0]), transform(b_high, m.affine[1])));
    a_high = _mm256_xor_si256(
        a_high, _mm256_xor_si256(transform(b_low, m.affine[2]), transform(b_high, m.affine[3])));
    if (forward) {
      b_low = _mm256_xor_si256(b_low, a_low);
      b_high = _mm256_xor_si256(b_high, a_high);
    }
    _mm256_storeu_si256(in_a, a_low);
    _mm256_storeu_si256(in_a + 1, a_high);
    _mm256_storeu_si256(in_b, b_low);
    _mm256_storeu_si256(in_b + 1, b_high);
  }
  butterfly_tail(a, b, m, whole, bytes, forward);
}

bool processor_has_gfni() {
  constexpr unsigned kGfni = 1u << 8;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ecx & kGfni) != 0;
}

bool processor_has_ssse3() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_SSSE3) != 0;
}

bool processor_has_avx2() {
  constexpr unsigned kOsSavesRegisters = 1u << 27, kAvx = 1u << 28, kAvx2 = 1u << 5;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  if ((ecx & (kOsSavesRegisters | kAvx)) != (kOsSavesRegisters | kAvx)) return false;
  unsigned saved_low = 0, saved_high = 0;
  __asm__("xgetbv" : "=a"(saved_low), "=d"(saved_high) : "c"(0));
  if ((saved_low & 6) != 6) return false;  // the system keeps the 128- and 256-bit registers
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (ebx & kAvx2) != 0;
}

#endif

}  // namespace

std::uint16_t multiply(std::uint16_t a, std::uint16_t b) {
  if (a == 0 || b == 0) return 0;
  const LogTables& t = tables();
  return t.exp[t.log[a] + t.log[b]];
}

std::uint16_t inverse(std::uint16_t a) {
  const LogTables& t = tables();
  return t.exp[(kOrder - t.log[a]) % kOrder];
}

std::uint16_t divide(std::uint16_t a, std::uint16_t b) {
  return multiply(a, inverse(b));
}

Multiplier multiplier_of(std::uint16_t c) {
  // c x x^bit for the 16 bits, then every nibble's product as the sum of its bits' products.
  std::uint16_t shifted[16];
  std::uint32_t value = c;
  for (int bit = 0; bit < 16; ++bit) {
    shifted[bit] = static_cast<std::uint16_t>(value);
    value <<= 1;
    if ((value & 0x10000) != 0) value ^= kPolynomial;
  }
  Multiplier m{};
  for (int k = 0; k < 4; ++k) {
    for (unsigned n = 0; n < 16; ++n) {
      std::uint16_t product = 0;
      for (unsigned bit = 0; bit < 4; ++bit) {
        if ((n >> bit & 1u) != 0) product ^= shifted[4 * k + bit];
      }
      m.low[k][n] = static_cast<std::uint8_t>(product);
      m.high[k][n] = static_cast<std::uint8_t>(product >> 8);
    }
  }
  // Output bit r of a byte is the parity of the matrix's byte 7 - r and'ed with the input byte.
  for (int out_byte = 0; out_byte < 2; ++out_byte) {
    for (int in_byte = 0; in_byte < 2; ++in_byte) {
      std::uint64_t matrix = 0;
      for (int r = 0; r < 8; ++r) {
        std::uint64_t row = 0;
        for (int b = 0; b < 8; ++b) {
          row |= static_cast<std::uint64_t>(shifted[8 * in_byte + b] >> (8 * out_byte + r) & 1u)
                 << b;
        }
        matrix |= row << (8 * (7 - r));
      }
      m.affine[2 * out_byte + in_byte] = matrix;
    }
  }
  return m;
}

namespace {

// Where symbol `index` of a region of `bytes` bytes keeps its low byte; its high byte is
// kHalf further in a whole block, the next byte in the tail.
std::pair<std::size_t, std::size_t> symbol_bytes(std::size_t bytes, std::size_t index) {
  const std::size_t whole = bytes - bytes % kBlock;
  if (2 * index >= whole) {
    const std::size_t low = whole + 2 * (index - whole / 2);
    return {low, low + 1};
  }
  const std::size_t low = index / kHalf * kBlock + index % kHalf;
  return {low, low + kHalf};
}

}  // namespace

std::uint16_t symbol_at(const std::uint8_t* region, std::size_t bytes, std::size_t index) {
  const auto [low, high] = symbol_bytes(bytes, index);
  return static_cast<std::uint16_t>(region[low] | region[high] << 8);
}

void set_symbol(std::uint8_t* region, std::size_t bytes, std::size_t index, std::uint16_t value) {
  const auto [low, high] = symbol_bytes(bytes, index);
  region[low] = static_cast<std::uint8_t>(value);
  region[high] = static_cast<std::uint8_t>(value >> 8);
}

std::span<const Way> available_ways() {
  static const std::vector<Way> ways = [] {
    std::vector<Way> found;
#if defined(__x86_64__)
    if (processor_has_avx2() && processor_has_gfni()) {
      found.push_back({"gfni", multiply_add_gfni, butterfly_gfni});
    }
    if (processor_has_avx2()) found.push_back({"avx2", multiply_add_avx2, butterfly_avx2});
    if (processor_has_ssse3())
      found.push_back({"ssse3", multiply_add_ssse3, butterfly_in_two_passes<multiply_add_ssse3>});
#endif
    found.push_back(
        {"tables", multiply_add_with_tables, butterfly_in_two_passes<multiply_add_with_tables>});
    return found;
  }();
  return ways;
}

void multiply_add(std::uint8_t* dst, const std::uint8_t* const* sources,
                  const Multiplier* multipliers, std::size_t count, std::size_t bytes) {
  static const MultiplyAddFunction fastest = available_ways().front().multiply_add;
  fastest(dst, sources, multipliers, count, bytes);
}

void butterfly(std::uint8_t* a, std::uint8_t* b, const Multiplier& m, std::size_t bytes,
               bool forward) {
  static const ButterflyFunction fastest = available_ways().front().butterfly;
  fastest(a, b, m, bytes, forward);
}

}  // namespace fendral::gf65536
