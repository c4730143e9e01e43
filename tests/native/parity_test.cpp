// The field against a bit-by-bit reference, every way of multiplying regions against the
// symbol-by-symbol product, the Cauchy inverse, and the code end to end in memory: parity made
// chunk by chunk, then lost chunks rebuilt from any choice of the rest.
#include "chunking/parity.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "base/gf65536.hpp"

namespace fendral {
namespace {

std::uint16_t carry_less_product(std::uint16_t a, std::uint16_t b) {
  std::uint32_t product = 0;
  for (int bit = 15; bit >= 0; --bit) {
    product <<= 1;
    if ((product & 0x10000) != 0) product ^= 0x1100B;
    if ((b >> bit & 1) != 0) product ^= a;
  }
  return static_cast<std::uint16_t>(product);
}

std::vector<std::uint8_t> random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::vector<std::uint8_t> bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

TEST(Gf65536, TheFieldIsTheReferenceAndXGeneratesIt) {
  std::mt19937 generator(1);
  for (int trial = 0; trial < 20000; ++trial) {
    const auto a = static_cast<std::uint16_t>(generator());
    const auto b = static_cast<std::uint16_t>(generator());
    ASSERT_EQ(gf65536::multiply(a, b), carry_less_product(a, b));
    if (a != 0) {
      ASSERT_EQ(gf65536::multiply(a, gf65536::inverse(a)), 1);
    }
  }
  std::set<std::uint16_t> powers;
  std::uint16_t power = 1;
  for (int k = 0; k < 65535; ++k, power = gf65536::multiply(power, 2)) powers.insert(power);
  EXPECT_EQ(powers.size(), 65535u);
}

TEST(Gf65536, EveryWayMultipliesEverySymbolOfTheLayout) {
  ASSERT_EQ(std::string_view(gf65536::available_ways().back().name), "tables");
  for (const std::size_t bytes : {2u, 62u, 64u, 66u, 128u, 4096u + 30u}) {
    const std::size_t count = 3;
    std::vector<std::vector<std::uint8_t>> sources;
    std::vector<const std::uint8_t*> pointers;
    std::vector<gf65536::Multiplier> multipliers;
    const std::uint16_t constants[count] = {1, 0x8001, 0xBEEF};
    for (std::size_t k = 0; k < count; ++k) {
      sources.push_back(random_bytes(bytes, static_cast<unsigned>(k + bytes)));
      pointers.push_back(sources.back().data());
      multipliers.push_back(gf65536::multiplier_of(constants[k]));
    }
    const auto start = random_bytes(bytes, 99);
    for (const gf65536::Way& way : gf65536::available_ways()) {
      SCOPED_TRACE(std::string(way.name) + " over " + std::to_string(bytes) + " bytes");
      auto dst = start;
      way.multiply_add(dst.data(), pointers.data(), multipliers.data(), count, bytes);
      for (std::size_t s = 0; s < bytes / 2; ++s) {
        std::uint16_t expected = gf65536::symbol_at(start.data(), bytes, s);
        for (std::size_t k = 0; k < count; ++k) {
          expected ^=
              carry_less_product(constants[k], gf65536::symbol_at(sources[k].data(), bytes, s));
        }
        ASSERT_EQ(gf65536::symbol_at(dst.data(), bytes, s), expected) << "symbol " << s;
      }
      // A butterfly each way: one way's product and XOR, and back to where it started.
      auto a = start, b = sources[2];
      way.butterfly(a.data(), b.data(), multipliers[1], bytes, true);
      for (std::size_t s = 0; s < bytes / 2; ++s) {
        const std::uint16_t want_a =
            gf65536::symbol_at(start.data(), bytes, s) ^
            carry_less_product(constants[1], gf65536::symbol_at(sources[2].data(), bytes, s));
        ASSERT_EQ(gf65536::symbol_at(a.data(), bytes, s), want_a) << "symbol " << s;
        ASSERT_EQ(gf65536::symbol_at(b.data(), bytes, s),
                  want_a ^ gf65536::symbol_at(sources[2].data(), bytes, s));
      }
      way.butterfly(a.data(), b.data(), multipliers[1], bytes, false);
      ASSERT_EQ(a, start);
      ASSERT_EQ(b, sources[2]);
    }
  }
}

TEST(Gf65536, TheLayoutPlacesLowThenHighBytes) {
  std::vector<std::uint8_t> region(68);
  gf65536::set_symbol(region.data(), region.size(), 1, 0xAABB);
  gf65536::set_symbol(region.data(), region.size(), 33, 0xCCDD);
  EXPECT_EQ(region[1], 0xBB);
  EXPECT_EQ(region[33], 0xAA);
  EXPECT_EQ(region[66], 0xDD);
  EXPECT_EQ(region[67], 0xCC);
}

TEST(Parity, TheCauchyInverseInverts) {
  for (const std::size_t n : {1u, 2u, 7u, 40u}) {
    std::vector<std::uint16_t> x, y;
    for (std::size_t k = 0; k < n; ++k) {
      x.push_back(static_cast<std::uint16_t>(3 * k + 5));
      y.push_back(static_cast<std::uint16_t>(65535 - 2 * k));
    }
    const auto inverse = chunking::cauchy_inverse(x, y);
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t c = 0; c < n; ++c) {
        std::uint16_t sum = 0;
        for (std::size_t k = 0; k < n; ++k) {
          sum ^= gf65536::multiply(gf65536::inverse(x[r] ^ y[k]), inverse[k * n + c]);
        }
        ASSERT_EQ(sum, r == c ? 1 : 0) << n << " at " << r << ", " << c;
      }
    }
  }
}

TEST(Parity, TheEncoderMakesEachSymbolFromTheCoefficients) {
  // Enough chunks for several batches and the two threads; the last chunk short.
  const std::size_t chunk_size = 1 << 20, count = 20, parity = 3;
  const std::size_t last = 1000;
  chunking::ParityEncoder encoder(chunk_size, parity);
  std::vector<std::vector<std::uint8_t>> data;
  for (std::size_t i = 0; i < count; ++i) {
    data.push_back(random_bytes(i + 1 < count ? chunk_size : last, static_cast<unsigned>(i)));
    ASSERT_TRUE(encoder.add(data.back().data(), data.back().size()));
  }
  data.back().resize(chunk_size, 0);
  const auto made = encoder.finish();
  ASSERT_EQ(made.size(), parity);
  for (const std::size_t s :
       {std::size_t{0}, std::size_t{31}, std::size_t{32}, std::size_t{500}, chunk_size / 2 - 1}) {
    for (std::size_t j = 0; j < parity; ++j) {
      std::uint16_t expected = 0;
      for (std::size_t i = 0; i < count; ++i) {
        expected ^= gf65536::multiply(chunking::parity_coefficient(i, j),
                                      gf65536::symbol_at(data[i].data(), chunk_size, s));
      }
      ASSERT_EQ(gf65536::symbol_at(made[j].data(), chunk_size, s), expected);
    }
  }
}

struct TransformCase {
  std::size_t count, parity, chunk_size;
  unsigned order;
};

// Every order gives the bytes of the coefficients' way (order 0): whole and short last groups,
// a parity that fills no coset, chunks of several strips with a tail, two threads, and data
// chunks that reach the parity's coset.
TEST(Parity, TheTransformsMakeTheBytesOfTheCoefficients) {
  const TransformCase cases[] = {
      {1, 1, 64, 1},      {3, 3, 130, 2},      {37, 11, 4158, 4},  {100, 52, 1000, 6},
      {100, 52, 1000, 3}, {200, 103, 256, 7},  {200, 103, 256, 5}, {9, 5, 66, 3},
      {1000, 2, 2, 1},    {40, 11, 262162, 4}, {65520, 11, 2, 4},  {65524, 11, 2, 4},
      {65531, 4, 2, 2},   {70, 40, 62, 6},
  };
  for (const TransformCase& row : cases) {
    SCOPED_TRACE(std::to_string(row.count) + " chunks, parity " + std::to_string(row.parity) +
                 ", " + std::to_string(row.chunk_size) + " bytes, order " +
                 std::to_string(row.order));
    chunking::ParityEncoder by_coefficients(row.chunk_size, row.parity, 0);
    chunking::ParityEncoder by_transforms(row.chunk_size, row.parity, row.order);
    const auto data = random_bytes(row.chunk_size * 3, static_cast<unsigned>(row.count));
    for (std::size_t i = 0; i < row.count; ++i) {
      // Chunks drawn from a few, the last one short.
      const std::size_t size = i + 1 < row.count ? row.chunk_size : row.chunk_size / 2;
      const unsigned char* chunk = data.data() + (i % 5) * row.chunk_size / 2;
      ASSERT_TRUE(by_coefficients.add(chunk, size));
      ASSERT_TRUE(by_transforms.add(chunk, size));
    }
    const auto expected = by_coefficients.finish();
    const auto made = by_transforms.finish();
    ASSERT_EQ(made.size(), row.parity);
    for (std::size_t j = 0; j < row.parity; ++j) {
      ASSERT_EQ(std::memcmp(made[j].data(), expected[j].data(), row.chunk_size), 0)
          << "parity chunk " << j;
    }
  }
}

TEST(Parity, TheCoefficientsKeepEveryElementApart) {
  EXPECT_EQ(chunking::parity_coefficient(0, 0), gf65536::inverse(0xFFFF));
  EXPECT_EQ(chunking::parity_coefficient(65534, 0), 1);  // 65534 + 65535 = 1
}

}  // namespace
}  // namespace fendral
