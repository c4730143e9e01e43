// The parity code's sums made by additive transforms rather than coefficient by coefficient.
//
// Take the order s and the subspace V of the elements below 2^s; its cosets are the runs of 2^s
// elements that start at multiples of 2^s. The subspace polynomial W(x), the product of (x + v)
// over V, is GF(2)-linear and vanishes exactly on V. For data d_t at the elements a + t of one
// coset (a group of 2^s data chunks) and P the polynomial of degree below 2^s that takes the
// value d_t at a + t, Lagrange's form gives
//     sum over t of d_t / (x + a + t) = P(x) D / W(x + a),   D the product of V's nonzero elements,
// and W(x + a) = W(x) + W(a) is constant while x stays in one coset. So a group's share of
// every parity element of one coset b + V is the constant D / W(a + b) times P on b + V.
// In the basis of Lin, Chung and Han (products of the normalised subspace polynomials of the
// elements below 2^i, i < s), P's coefficients from its values on a coset and its values on a
// coset from its coefficients are each s levels of 2^(s-1) butterflies, one region product by
// a constant and one XOR each: so a data chunk costs about s/2 products and, for each coset of
// parity elements, one product of the scaling into that coset's sum, against one product per
// parity chunk coefficient by coefficient. Order 0 is exactly the coefficients' way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/gf65536.hpp"

namespace fendral::chunking {

class ParityTransform {
 public:
  // For `parity` parity chunks (the elements 65535 down to 65536 - parity) and groups of
  // 2^order data chunks, order at most 15.
  ParityTransform(std::uint64_t parity, unsigned order);

  unsigned order() const { return order_; }
  std::size_t group_size() const { return std::size_t{1} << order_; }
  // The cosets that hold parity elements, the first of them and how many: the sums are kept
  // for sums() = cosets() x group_size() elements, the parity's among them.
  std::uint64_t first_coset() const { return first_coset_; }
  std::size_t cosets() const { return cosets_; }
  std::size_t sums() const { return cosets_ << order_; }
  // Data chunks from this index on share a coset with parity elements: no transform takes them.
  std::uint64_t first_untransformed() const { return first_coset_ << order_; }
  // Which of the sums() holds parity chunk `parity_index` once transform() is done.
  std::size_t sum_of_parity(std::uint64_t parity_index) const;

  // The constant that scales the coefficients of group `group` (data chunks group x 2^order
  // on) into the sums of parity coset first_coset() + `coset`.
  std::uint16_t scale(std::uint64_t group, std::size_t coset) const;

  // The butterfly constants of the transforms at the elements shift + u, u < group_size():
  // level by level from the lowest, block by block; `shift` is a multiple of group_size().
  struct Butterflies {
    std::vector<std::uint16_t> constants;
    std::vector<gf65536::Multiplier> multipliers;
  };
  Butterflies butterflies(std::uint16_t shift) const;

  // In place over `bytes` bytes of each of the group_size() regions: from the values at the
  // elements shift + u (region u) to the coefficients, and back, with the butterflies of that
  // shift. The regions are a strip of their chunks that starts on a whole block.
  void to_coefficients(unsigned char* const* regions, const Butterflies& at,
                       std::size_t bytes) const;
  void to_values(unsigned char* const* regions, const Butterflies& at, std::size_t bytes) const;

 private:
  // The normalised subspace polynomial of the elements below 2^level at x, for level < order.
  std::uint16_t normalised(unsigned level, std::uint16_t x) const;

  unsigned order_;
  std::uint64_t first_coset_;
  std::size_t cosets_;
  std::uint16_t product_of_nonzero_ = 1;     // D
  std::uint16_t subspace_of_bit_[16];        // W(2^k)
  std::uint16_t normalised_of_bit_[16][16];  // [level][k]: the normalised polynomial at 2^k
};

// dst = src over `bytes` bytes, written past the caches where the processor can: for a copy
// that is read again only after much else has passed through them, so the destination's lines
// need not be read in first.
void copy_past_the_cache(unsigned char* dst, const unsigned char* src, std::size_t bytes);

// dst ^= src over `bytes` bytes.
void add_region(unsigned char* dst, const unsigned char* src, std::size_t bytes);

}  // namespace fendral::chunking
