#include "base/crc32c.hpp"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <nmmintrin.h>
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

#undef FENDRAL_CRC_TARGET
#else
constexpr const char* kInstructionName = "tables";
bool processor_has_crc() {
  return false;
}
constexpr ExtendFunction extend_with_instructions = nullptr;
#endif

}  // namespace

ExtendFunction instruction_extend() {
  static const bool available = processor_has_crc();
  return available ? extend_with_instructions : nullptr;
}

const char* implementation_name() {
  return instruction_extend() ? kInstructionName : "tables";
}

std::uint32_t extend(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  static const ExtendFunction chosen = [] {
    const ExtendFunction instructions = instruction_extend();
    return instructions != nullptr ? instructions : extend_with_tables;
  }();
  return chosen(crc, data, size);
}

}  // namespace fendral::crc32c
