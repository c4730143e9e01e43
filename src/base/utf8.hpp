// UTF-8 well-formedness, decoding that replaces what is ill-formed, and encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fendral {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Path bytes as UTF-8 text: every maximal ill-formed subsequence becomes one U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// Writes `code_point` (at most U+10FFFF, not a surrogate) as UTF-8 to `out`, which has room for
// four bytes; returns the number of bytes written.
std::size_t encode_utf8(std::uint32_t code_point, char* out);

}  // namespace fendral
