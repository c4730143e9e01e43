// Reading decimal text into a double, correctly rounded and whatever the process's locale:
// std::from_chars where the library has it for a double, and strtod_l in the "C" locale where it
// does not (libc++ before 20).
#pragma once

#include <locale.h>
#include <stdlib.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <concepts>
#include <string>
#include <system_error>

namespace fendral {

namespace detail {

template <class Number>
concept library_reads_decimal = requires(const char* text, Number& value) {
  { std::from_chars(text, text, value) } -> std::same_as<std::from_chars_result>;
};

// std::from_chars's results, from strtod_l: a value too large is out of range, and so is one
// too small that rounds to zero; a subnormal is a value.
inline std::from_chars_result decimal_in_c_locale(const char* first, const char* last,
                                                  double& value) {
  // strtod also takes spaces, '+', hexadecimal, "inf" and "nan"; from_chars none of them.
  const char* digits = first != last && *first == '-' ? first + 1 : first;
  if (digits == last || !((*digits >= '0' && *digits <= '9') || *digits == '.')) {
    return {first, std::errc::invalid_argument};
  }
  // Made once and kept for the life of the process.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  const std::string text(first, last);  // strtod_l needs the terminating NUL
  char* end = nullptr;
  errno = 0;
  const double parsed = strtod_l(text.c_str(), &end, c_locale);
  const bool range_error = errno == ERANGE;
  const char* const stop = first + (end - text.c_str());
  if (stop == first) return {first, std::errc::invalid_argument};
  if (std::isinf(parsed) || (range_error && parsed == 0)) {
    return {stop, std::errc::result_out_of_range};
  }
  value = parsed;
  return {stop, std::errc{}};
}

}  // namespace detail

template <std::floating_point Number>
std::from_chars_result read_decimal(const char* first, const char* last, Number& value) {
  if constexpr (detail::library_reads_decimal<Number>) {
    return std::from_chars(first, last, value);
  } else {
    static_assert(std::same_as<Number, double>, "only a double has a fallback");
    return detail::decimal_in_c_locale(first, last, value);
  }
}

}  // namespace fendral
