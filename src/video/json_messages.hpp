// How the metadata reader names, in its refusals, a value of the wrong type: "integer `5`",
// "floating point `1.5`", "string \"a\"".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace fendral::video {

// A JSON number as the reader classifies it: an integer that fits the unsigned or the signed
// 64-bit range, or else a double.
struct JsonNumber {
  enum class Kind { Unsigned, Negative, Float };
  Kind kind = Kind::Unsigned;
  std::uint64_t magnitude = 0;  // Unsigned and Negative
  double value = 0;             // Float
};

// "integer `N`" or "floating point `X`". A float is written with the fewest significant digits
// that read back as the same double, in plain positional notation, and always with a decimal
// point so that it cannot be mistaken for an integer.
std::string describe_number(const JsonNumber& number);

// "string " and the text in double quotes, with quotes, backslashes and control characters
// (C0, DEL and C1) escaped so that the message stays on one line and readable.
std::string describe_string(std::string_view text);

}  // namespace fendral::video
