#include "base/crc32c.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#elif defined(__aarch64__)
#include <sys/auxv.h>
#endif

namespace fendral::crc32c {
namespace {

// The Castagnoli polynomial with its bits reversed: bit 31 stands for x^0, bit 0 for x^31, the
// order in which the bytes' bits are fed in.
constexpr std::uint32_t kPolynomial = 0x82F63B78;

// a x b modulo the polynomial, both in the reversed bit order.
constexpr std::uint32_t multiply(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
    if ((a & bit) != 0) product ^= b;
    b = (b & 1) != 0 ? (b >> 1) ^ kPolynomial : b >> 1;  // b x x
  }
  return product;
}

// x^(2^k) modulo the polynomial, for every k that a 64-bit count of bytes (8 bits each) needs.
constexpr std::array<std::uint32_t, 67> kPowersOfTwo = [] {
  std::array<std::uint32_t, 67> powers{};
  powers[0] = 1u << 30;  // x^1
  for (std::size_t k = 1; k < powers.size(); ++k)
    powers[k] = multiply(powers[k - 1], powers[k - 1]);
  return powers;
}();

// x^(8 x bytes) modulo the polynomial: what a CRC register is multiplied by when `bytes` zero
// bytes go through it.
constexpr std::uint32_t shift_operator(std::uint64_t bytes) {
  std::uint32_t result = 1u << 31;  // x^0
  for (std::size_t k = 3; bytes != 0; bytes >>= 1, ++k) {
    if ((bytes & 1) != 0) result = multiply(kPowersOfTwo[k], result);
  }
  return result;
}

// Eight tables of 256 entries: table k moves a byte's contribution past k further bytes, so
// eight bytes are taken in one step.
constexpr std::array<std::array<std::uint32_t, 256>, 8> kByteTables = [] {
  std::array<std::array<std::uint32_t, 256>, 8> tables{};
  for (std::uint32_t value = 0; value < 256; ++value) {
    std::uint32_t register_value = value;
    for (int bit = 0; bit < 8; ++bit) {
      register_value =
          (register_value & 1) != 0 ? (register_value >> 1) ^ kPolynomial : register_value >> 1;
    }
    tables[0][value] = register_value;
  }
  for (std::size_t k = 1; k < tables.size(); ++k) {
    for (std::size_t value = 0; value < 256; ++value) {
      const std::uint32_t previous = tables[k - 1][value];
      tables[k][value] = (previous >> 8) ^ tables[0][previous & 0xff];
    }
  }
  return tables;
}();

std::uint64_t load_word(const unsigned char* data) {
  std::uint64_t word;
  std::memcpy(&word, data, sizeof word);
  return word;
}

}  // namespace

std::uint32_t extend_with_tables(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  std::uint32_t state = ~crc;
  if constexpr (std::endian::native == std::endian::little) {
    for (; size >= 8; data += 8, size -= 8) {
      const std::uint64_t word = load_word(data) ^ state;
      state = kByteTables[7][word & 0xff] ^ kByteTables[6][(word >> 8) & 0xff] ^
              kByteTables[5][(word >> 16) & 0xff] ^ kByteTables[4][(word >> 24) & 0xff] ^
              kByteTables[3][(word >> 32) & 0xff] ^ kByteTables[2][(word >> 40) & 0xff] ^
              kByteTables[1][(word >> 48) & 0xff] ^ kByteTables[0][word >> 56];
    }
  }
  for (; size > 0; ++data, --size) state = (state >> 8) ^ kByteTables[0][(state ^ *data) & 0xff];
  return ~state;
}

std::uint32_t combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t size_b) {
  return multiply(shift_operator(size_b), crc_a) ^ crc_b;
}

FixedLengthCombine::FixedLengthCombine(std::uint64_t size_b) {
  const std::uint32_t shift = shift_operator(size_b);
  for (std::size_t byte = 0; byte < 4; ++byte) {
    for (std::uint32_t value = 0; value < 256; ++value) {
      tables_[byte][value] = multiply(shift, value << (8 * byte));
    }
  }
}

namespace {

// Multiplies a CRC register by x^(8 x kBytes) with four table look-ups, one per byte of the
// register: the step that joins the registers of streams run side by side.
template <std::size_t kBytes>
struct RegisterShift {
  std::array<std::array<std::uint32_t, 256>, 4> tables{};

  constexpr RegisterShift() {
    constexpr std::uint32_t shift = shift_operator(kBytes);
    for (std::size_t byte = 0; byte < 4; ++byte) {
      for (std::uint32_t value = 0; value < 256; ++value) {
        tables[byte][value] = multiply(shift, value << (8 * byte));
      }
    }
  }

  std::uint32_t operator()(std::uint32_t value) const {
    return tables[0][value & 0xff] ^ tables[1][(value >> 8) & 0xff] ^
           tables[2][(value >> 16) & 0xff] ^ tables[3][value >> 24];
  }
};

#if defined(__x86_64__)
#define FENDRAL_CRC_TARGET __attribute__((target("sse4.2,crc32")))
constexpr const char* kInstructionName = "sse4.2";

FENDRAL_CRC_TARGET inline std::uint32_t crc_word(std::uint32_t state, std::uint64_t word) {
  return static_cast<std::uint32_t>(_mm_crc32_u64(state, word));
}
FENDRAL_CRC_TARGET inline std::uint32_t crc_byte(std::uint32_t state, unsigned char byte) {
  return _mm_crc32_u8(state, byte);
}
bool processor_has_crc() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_SSE4_2) != 0;
}

#elif defined(__aarch64__)
#if defined(__clang__)
#define FENDRAL_CRC_TARGET __attribute__((target("crc")))
#else
#define FENDRAL_CRC_TARGET __attribute__((target("+crc")))
#endif
constexpr const char* kInstructionName = "armv8-crc";

FENDRAL_CRC_TARGET inline std::uint32_t crc_word(std::uint32_t state, std::uint64_t word) {
#if defined(__clang__)
  return __builtin_arm_crc32cd(state, word);
#else
  return __builtin_aarch64_crc32cx(state, word);
#endif
}
FENDRAL_CRC_TARGET inline std::uint32_t crc_byte(std::uint32_t state, unsigned char byte) {
#if defined(__clang__)
  return __builtin_arm_crc32cb(state, byte);
#else
  return __builtin_aarch64_crc32cb(state, byte);
#endif
}
bool processor_has_crc() {
  constexpr unsigned long kHardwareCrc32 = 1ul << 7;  // HWCAP_CRC32, not in every libc's headers
  return (::getauxval(AT_HWCAP) & kHardwareCrc32) != 0;
}
#endif

#if defined(FENDRAL_CRC_TARGET)

// The instruction takes 3 cycles to give its result but can start every cycle, so three
// independent streams keep it busy; their registers are then joined by a shift each. Blocks of
// three long streams cover most of the input, short ones the rest, single words the tail.
constexpr std::size_t kLongStream = 8192;
constexpr std::size_t kShortStream = 256;
constexpr RegisterShift<kLongStream> kPastLongStream;
constexpr RegisterShift<kShortStream> kPastShortStream;

template <std::size_t kStream>
FENDRAL_CRC_TARGET inline std::uint32_t three_streams(std::uint32_t state,
                                                      const unsigned char*& data, std::size_t& size,
                                                      const RegisterShift<kStream>& past_stream) {
  for (; size >= 3 * kStream; data += 3 * kStream, size -= 3 * kStream) {
    std::uint32_t first = state, second = 0, third = 0;
    for (std::size_t offset = 0; offset < kStream; offset += 8) {
      first = crc_word(first, load_word(data + offset));
      second = crc_word(second, load_word(data + kStream + offset));
      third = crc_word(third, load_word(data + 2 * kStream + offset));
    }
    state = past_stream(past_stream(first) ^ second) ^ third;
  }
  return state;
}

FENDRAL_CRC_TARGET std::uint32_t extend_with_instructions(std::uint32_t crc,
                                                          const unsigned char* data,
                                                          std::size_t size) {
  std::uint32_t state = ~crc;
  for (; size > 0 && reinterpret_cast<std::uintptr_t>(data) % 8 != 0; ++data, --size) {
    state = crc_byte(state, *data);
  }
  state = three_streams(state, data, size, kPastLongStream);
  state = three_streams(state, data, size, kPastShortStream);
  for (; size >= 8; data += 8, size -= 8) state = crc_word(state, load_word(data));
  for (; size > 0; ++data, --size) state = crc_byte(state, *data);
  return ~state;
}

#if defined(__x86_64__)
// Processors with carry-less multiplication on 256-bit registers go twice as fast again by
// folding: the input is taken as one long polynomial, and each 16-byte lane, multiplied by the
// power of x that moves it a block further on, is added to the lane there, so that only the last
// 16 bytes remain to go through the CRC instruction. Lanes keep the input's reversed bit order,
// in which a 64 x 64-bit product comes out one bit short: the constants are the powers of x one
// below, shifted into the upper half.
#define FENDRAL_FOLD_TARGET __attribute__((target("sse4.2,crc32,pclmul,avx2,vpclmulqdq")))

// x^n modulo the polynomial.
constexpr std::uint32_t power_of_x(std::uint64_t n) {
  std::uint32_t result = 1u << 31;  // x^0
  for (std::size_t k = 0; n != 0; n >>= 1, ++k) {
    if ((n & 1) != 0) result = multiply(kPowersOfTwo[k], result);
  }
  return result;
}

// Multiplies a lane's first 8 bytes by x^(bits + 64) and its last 8 by x^bits.
struct LaneShift {
  std::uint64_t first;
  std::uint64_t last;
};
constexpr LaneShift lane_shift(std::uint64_t bits) {
  return {std::uint64_t{power_of_x(bits + 63)} << 32, std::uint64_t{power_of_x(bits - 1)} << 32};
}

// The shifts that move lane k of `kLanes` onto the last one.
template <std::size_t kLanes>
constexpr std::array<LaneShift, kLanes - 1> onto_last_lane() {
  std::array<LaneShift, kLanes - 1> shifts{};
  for (std::size_t lane = 0; lane < shifts.size(); ++lane) {
    shifts[lane] = lane_shift(128 * (kLanes - 1 - lane));
  }
  return shifts;
}

// Moves the lanes of the stored block onto the last and hands back the CRC register that the
// input folded into them gives.
template <std::size_t kLanes>
__attribute__((target("sse4.2,crc32,pclmul"))) inline std::uint32_t register_of_stored_lanes(
    const unsigned char* block) {
  static constexpr std::array<LaneShift, kLanes - 1> kOntoLastLane = onto_last_lane<kLanes>();
  __m128i remainder = _mm_load_si128(reinterpret_cast<const __m128i*>(block + 16 * (kLanes - 1)));
  for (std::size_t lane = 0; lane < kOntoLastLane.size(); ++lane) {
    const __m128i value = _mm_load_si128(reinterpret_cast<const __m128i*>(block + 16 * lane));
    const __m128i shift = _mm_set_epi64x(static_cast<long long>(kOntoLastLane[lane].last),
                                         static_cast<long long>(kOntoLastLane[lane].first));
    remainder = _mm_xor_si128(remainder, _mm_clmulepi64_si128(value, shift, 0x00));
    remainder = _mm_xor_si128(remainder, _mm_clmulepi64_si128(value, shift, 0x11));
  }
  // What is left is congruent to all the input folded: its CRC from 0 is the register.
  return crc_word(crc_word(0, static_cast<std::uint64_t>(_mm_cvtsi128_si64(remainder))),
                  static_cast<std::uint64_t>(_mm_extract_epi64(remainder, 1)));
}

constexpr std::size_t kFoldBlock = 128;  // four registers of two lanes each
constexpr LaneShift kPastFoldBlock = lane_shift(8 * kFoldBlock);

FENDRAL_FOLD_TARGET inline __m256i fold_onto(__m256i lanes, __m256i shift, __m256i onto) {
  return _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(lanes, shift, 0x00),
                                           _mm256_clmulepi64_epi128(lanes, shift, 0x11)),
                          onto);
}

FENDRAL_FOLD_TARGET inline std::uint32_t register_of_lanes(const __m256i (&lanes)[4]) {
  alignas(32) unsigned char block[kFoldBlock];
  for (int i = 0; i < 4; ++i) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(block + 32 * i), lanes[i]);
  }
  return register_of_stored_lanes<kFoldBlock / 16>(block);
}

// The multiplier and the CRC instruction work in different units, so one loop keeps both busy:
// each step folds a block of the input's first part and takes a few words of each of three
// streams over the rest; the four registers are joined at the end.
constexpr std::size_t kStreamWordsPerStep = 6;
constexpr std::size_t kStreamBytesPerStep = 8 * kStreamWordsPerStep;
constexpr std::size_t kStep = kFoldBlock + 3 * kStreamBytesPerStep;
constexpr std::size_t kFewestSteps = 16;

FENDRAL_FOLD_TARGET std::uint32_t extend_by_folding(std::uint32_t crc, const unsigned char* data,
                                                    std::size_t size) {
  std::uint32_t state = ~crc;
  const std::size_t steps = size / kStep;
  if (steps >= kFewestSteps) {
    const unsigned char* folded = data;
    const std::size_t stream_bytes = steps * kStreamBytesPerStep;
    const unsigned char* streams = data + steps * kFoldBlock;
    __m256i lanes[4];
    for (int i = 0; i < 4; ++i) {
      lanes[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(folded + 32 * i));
    }
    // The register so far enters as the first four bytes' partner, as in the instruction.
    lanes[0] = _mm256_xor_si256(lanes[0], _mm256_set_epi64x(0, 0, 0, state));
    const auto first_half = static_cast<long long>(kPastFoldBlock.first);
    const auto last_half = static_cast<long long>(kPastFoldBlock.last);
    const __m256i past_block = _mm256_set_epi64x(last_half, first_half, last_half, first_half);
    std::uint32_t first = 0, second = 0, third = 0;
    auto take_stream_words = [&](std::size_t step) FENDRAL_FOLD_TARGET {
      const unsigned char* words = streams + step * kStreamBytesPerStep;
      for (std::size_t word = 0; word < kStreamBytesPerStep; word += 8) {
        first = crc_word(first, load_word(words + word));
        second = crc_word(second, load_word(words + stream_bytes + word));
        third = crc_word(third, load_word(words + 2 * stream_bytes + word));
      }
    };
    for (std::size_t step = 1; step < steps; ++step) {
      const unsigned char* block = folded + step * kFoldBlock;
      for (int i = 0; i < 4; ++i) {
        lanes[i] = fold_onto(lanes[i], past_block,
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * i)));
      }
      take_stream_words(step - 1);
    }
    take_stream_words(steps - 1);
    const std::uint32_t past_stream = shift_operator(stream_bytes);
    const std::uint32_t streams_state =
        multiply(past_stream, multiply(past_stream, first) ^ second) ^ third;
    state = multiply(shift_operator(3 * stream_bytes), register_of_lanes(lanes)) ^ streams_state;
    data += steps * kStep;
    size -= steps * kStep;
  }
  return extend_with_instructions(~state, data, size);
}

// Where the processor multiplies on 512-bit registers, folding alone, eight registers of four
// lanes each, outruns the CRC instruction several times over, so the streams beside it are left
// out. Eight registers rather than four keep enough products in flight to cover their latency.
#define FENDRAL_WIDE_FOLD_TARGET \
  __attribute__((target("sse4.2,crc32,pclmul,avx512f,avx512vl,avx512bw,vpclmulqdq")))

constexpr std::size_t kWideRegisters = 8;
constexpr std::size_t kWideBlock = 64 * kWideRegisters;
constexpr std::size_t kWideLanes = kWideBlock / 16;
constexpr LaneShift kPastWideBlock = lane_shift(8 * kWideBlock);
constexpr std::size_t kFewestWideBlocks = 2;

FENDRAL_WIDE_FOLD_TARGET inline __m512i wide_fold_onto(__m512i lanes, __m512i shift, __m512i onto) {
  // 0x96: the exclusive or of all three.
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(lanes, shift, 0x00),
                                   _mm512_clmulepi64_epi128(lanes, shift, 0x11), onto, 0x96);
}

FENDRAL_WIDE_FOLD_TARGET std::uint32_t extend_by_wide_folding(std::uint32_t crc,
                                                              const unsigned char* data,
                                                              std::size_t size) {
  std::uint32_t state = ~crc;
  const std::size_t blocks = size / kWideBlock;
  if (blocks >= kFewestWideBlocks) {
    __m512i lanes[kWideRegisters];
    for (std::size_t i = 0; i < kWideRegisters; ++i) lanes[i] = _mm512_loadu_si512(data + 64 * i);
    // The register so far enters as the first four bytes' partner, as in the instruction.
    lanes[0] = _mm512_xor_si512(lanes[0], _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, state));
    const auto first_half = static_cast<long long>(kPastWideBlock.first);
    const auto last_half = static_cast<long long>(kPastWideBlock.last);
    const __m512i past_block = _mm512_set_epi64(last_half, first_half, last_half, first_half,
                                                last_half, first_half, last_half, first_half);
    for (std::size_t block = 1; block < blocks; ++block) {
      const unsigned char* next = data + block * kWideBlock;
      for (std::size_t i = 0; i < kWideRegisters; ++i) {
        lanes[i] = wide_fold_onto(lanes[i], past_block, _mm512_loadu_si512(next + 64 * i));
      }
    }
    alignas(64) unsigned char last_block[kWideBlock];
    for (std::size_t i = 0; i < kWideRegisters; ++i) {
      _mm512_store_si512(last_block + 64 * i, lanes[i]);
    }
    state = register_of_stored_lanes<kWideLanes>(last_block);
    data += blocks * kWideBlock;
    size -= blocks * kWideBlock;
  }
  return extend_with_instructions(~state, data, size);
}

bool processor_folds_wide() {
  constexpr unsigned kAvx512Foundation = 1u << 16, kAvx512Bytes = 1u << 30;
  constexpr unsigned kAvx512Vectors = 1u << 31;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  const unsigned wanted = kAvx512Foundation | kAvx512Bytes | kAvx512Vectors;
  if ((ebx & wanted) != wanted) return false;
  unsigned saved_low = 0, saved_high = 0;
  __asm__("xgetbv" : "=a"(saved_low), "=d"(saved_high) : "c"(0));
  // The system keeps the mask registers and both halves of the 512-bit ones (bits 5 to 7).
  return (saved_low & 0xE0) == 0xE0;
}
#undef FENDRAL_WIDE_FOLD_TARGET

bool processor_folds() {
  constexpr unsigned kOsSavesRegisters = 1u << 27, kCarryLess = 1u << 1, kAvx = 1u << 28;
  constexpr unsigned kAvx2 = 1u << 5, kWideCarryLess = 1u << 10;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  const unsigned wanted = kOsSavesRegisters | kCarryLess | kAvx;
  if ((ecx & wanted) != wanted) return false;
  unsigned saved_low = 0, saved_high = 0;
  __asm__("xgetbv" : "=a"(saved_low), "=d"(saved_high) : "c"(0));
  if ((saved_low & 6) != 6) return false;  // the system keeps the 128- and 256-bit registers
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (ebx & kAvx2) != 0 && (ecx & kWideCarryLess) != 0;
}
#undef FENDRAL_FOLD_TARGET
#endif

#undef FENDRAL_CRC_TARGET
#else
constexpr const char* kInstructionName = "";
bool processor_has_crc() {
  return false;
}
constexpr ExtendFunction extend_with_instructions = nullptr;
#endif

}  // namespace

std::span<const Way> available_ways() {
  static const std::vector<Way> ways = [] {
    std::vector<Way> found;
#if defined(__x86_64__)
    if (processor_has_crc() && processor_folds() && processor_folds_wide())
      found.push_back({"vpclmulqdq-512", extend_by_wide_folding});
    if (processor_has_crc() && processor_folds())
      found.push_back({"vpclmulqdq", extend_by_folding});
#endif
    if (processor_has_crc()) found.push_back({kInstructionName, extend_with_instructions});
    found.push_back({"tables", extend_with_tables});
    return found;
  }();
  return ways;
}

std::uint32_t extend(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  static const ExtendFunction fastest = available_ways().front().extend;
  return fastest(crc, data, size);
}

}  // namespace fendral::crc32c
