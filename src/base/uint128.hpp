// An unsigned 128-bit integer, which GCC and clang provide as an extension: sums and products of
// 64-bit durations and timescales stay exact in it.
#pragma once

namespace fendral {

__extension__ typedef unsigned __int128 uint128;

}  // namespace fendral
