// 128-bit integers, which GCC and clang provide as an extension: sums and products of 64-bit
// durations and timescales stay exact in them.
#pragma once

namespace fendral {

__extension__ typedef unsigned __int128 uint128;
__extension__ typedef __int128 int128;

}  // namespace fendral
