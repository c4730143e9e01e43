// Arithmetic in GF(2^16), the field of the parity chunks, and the one operation on whole
// regions they need: dst ^= c1 x src1 ^ c2 x src2 ^ ..., each product taken symbol by symbol.
//
// The field is GF(2)[x] modulo x^16 + x^12 + x^3 + x + 1; an element is the 16-bit number of
// its coefficients, x^0 in bit 0. A region of bytes holds 16-bit symbols in this order: each
// whole block of 64 bytes holds 32 symbols, their low bytes in its first 32 bytes and their
// high bytes in its last 32, symbol k at bytes k and 32 + k; the bytes after the last whole
// block (an even number, fewer than 64) hold one symbol each two, low byte first. A region's
// length is always even.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace fendral::gf65536 {

std::uint16_t multiply(std::uint16_t a, std::uint16_t b);
// The inverse of a nonzero element.
std::uint16_t inverse(std::uint16_t a);
// a / b for a nonzero b.
std::uint16_t divide(std::uint16_t a, std::uint16_t b);

// A constant c made ready for multiplying regions: c x (n << 4k) for every nibble n and nibble
// position k, each product split into its low and its high byte (16 entries a table, the form
// a byte shuffle looks them up in).
// The same product as four 8 x 8 bit matrices for the processor's affine byte transform: low
// from low, low from high, high from low, high from high.
struct Multiplier {
  alignas(16) std::uint8_t low[4][16];
  alignas(16) std::uint8_t high[4][16];
  std::uint64_t affine[4];
};
Multiplier multiplier_of(std::uint16_t c);

// dst ^= sum over k of multipliers[k] x sources[k], over `bytes` bytes (even) of every region.
using MultiplyAddFunction = void (*)(std::uint8_t* dst, const std::uint8_t* const* sources,
                                     const Multiplier* multipliers, std::size_t count,
                                     std::size_t bytes);
void multiply_add(std::uint8_t* dst, const std::uint8_t* const* sources,
                  const Multiplier* multipliers, std::size_t count, std::size_t bytes);

// The butterfly of the additive transforms over `bytes` bytes (even) of the regions a and b, in
// one pass: forward a ^= m x b, then b ^= a; backward (its inverse) b ^= a, then a ^= m x b.
using ButterflyFunction = void (*)(std::uint8_t* a, std::uint8_t* b, const Multiplier& m,
                                   std::size_t bytes, bool forward);
void butterfly(std::uint8_t* a, std::uint8_t* b, const Multiplier& m, std::size_t bytes,
               bool forward);

// Symbol `index` of a region read and written in the layout above.
std::uint16_t symbol_at(const std::uint8_t* region, std::size_t bytes, std::size_t index);
void set_symbol(std::uint8_t* region, std::size_t bytes, std::size_t index, std::uint16_t value);

// The ways multiply_add and butterfly can take on this processor, fastest first, which is the one
// it takes: "gfni" (the affine transform on 256-bit registers), "avx2", "ssse3" (x86_64) and
// "tables", which works everywhere. For tests and benchmarks.
struct Way {
  const char* name;
  MultiplyAddFunction multiply_add;
  ButterflyFunction butterfly;
};
std::span<const Way> available_ways();

}  // namespace fendral::gf65536
