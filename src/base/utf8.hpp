// UTF-8 well-formedness, and decoding that replaces what is ill-formed.
#pragma once

#include <string>
#include <string_view>

namespace fendral {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Path bytes as UTF-8 text: every maximal ill-formed subsequence becomes one U+FFFD.
std::string lossy_utf8(std::string_view bytes);

}  // namespace fendral
