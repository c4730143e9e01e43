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
#include <string_view>
#include <system_error>

namespace fendral {

namespace detail {

template <class Number>
concept library_reads_decimal = requires(const char* text, Number& value) {
  { std::from_chars(text, text, value) } -> std::same_as<std::from_chars_result>;
};

// std::from_chars's results, from strtod_l: a value too large is out of range, and so is one
// too small that rounds to zero; a subnormal is a value, and so are "inf" and "nan".
inline std::from_chars_result decimal_in_c_locale(const char* first, const char* last,
                                                  double& value) {
  // strtod also takes leading white space, '+' and hexadecimal; from_chars none of them. After
  // its sign, from_chars's text begins with a digit, a point, "inf" or "nan".
  const char* digits = first != last && *first == '-' ? first + 1 : first;
  if (digits == last ||
      std::string_view("0123456789.iInN").find(*digits) == std::string_view::npos) {
    return {first, std::errc::invalid_argument};
  }
  const bool hexadecimal_prefix =
      last - digits >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
  // Made once and kept for the life of the process.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  // strtod_l needs the terminating NUL; of "0x..." from_chars reads the zero alone.
  const std::string text(first, hexadecimal_prefix ? digits + 1 : last);
  char* end = nullptr;
  errno = 0;
  const double parsed = strtod_l(text.c_str(), &end, c_locale);
  const bool range_error = errno == ERANGE;
  const char* const stop = first + (end - text.c_str());
  if (stop == first) return {first, std::errc::invalid_argument};
  if (range_error && (std::isinf(parsed) || parsed == 0)) {
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
