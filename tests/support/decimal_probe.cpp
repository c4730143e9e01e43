// Reads one token a line and answers "same" when the C-locale fallback reads it exactly as
// std::from_chars does (result code, characters consumed, value bits), or else both readings.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "base/decimal.hpp"

namespace {

void describe(const char* who, const std::string& token, std::from_chars_result result,
              double value) {
  std::printf(" %s: code %d, used %td, value %a", who, static_cast<int>(result.ec),
              result.ptr - token.data(), value);
}

}  // namespace

int main() {
  std::string token;
  while (std::getline(std::cin, token)) {
    const char* const first = token.data();
    const char* const last = first + token.size();
    double library = 0;
    double fallback = 0;
    const auto expected = std::from_chars(first, last, library);
    const auto got = fendral::detail::decimal_in_c_locale(first, last, fallback);
    // A NaN's payload is not compared: the libraries differ there, and JSON has no NaN.
    const bool same_value = std::memcmp(&library, &fallback, sizeof library) == 0 ||
                            (std::isnan(library) && std::isnan(fallback) &&
                             std::signbit(library) == std::signbit(fallback));
    const bool same = expected.ec == got.ec && expected.ptr == got.ptr &&
                      (expected.ec != std::errc{} || same_value);
    if (same) {
      std::puts("same");
    } else {
      std::printf("differs");
      describe("from_chars", token, expected, library);
      describe("fallback", token, got, fallback);
      std::puts("");
    }
    std::fflush(stdout);
  }
}
