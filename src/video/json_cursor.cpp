#include "video/json_cursor.hpp"

#include <limits>
#include <system_error>

#include "base/decimal.hpp"

namespace fendral::video::json {

std::string Cursor::refusal_message() const {
  const std::string_view before = text_.substr(0, fault_offset_);
  const std::size_t last_line_feed = before.rfind('\n');
  const std::size_t line_start = last_line_feed == std::string_view::npos ? 0 : last_line_feed + 1;
  std::size_t line = 1;
  for (std::size_t i = 0; i < line_start; ++i) {
    if (before[i] == '\n') ++line;
  }
  return reason_ + " at line " + std::to_string(line) + " column " +
         std::to_string(fault_offset_ - line_start);
}

Cursor::Step Cursor::next_element(char closing, bool first) {
  const bool in_object = closing == '}';
  skip_whitespace();
  if (at_end()) return refuse_at_end(in_object ? kEofObject : kEofList);
  if (peek() == static_cast<unsigned char>(closing)) {
    ++pos_;
    return Step::closed;
  }
  if (first) return Step::element;
  if (peek() != ',') {
    fail_after_current(in_object ? kExpectedObjectCommaOrEnd : kExpectedListCommaOrEnd);
    return Step::refused;
  }
  ++pos_;
  skip_whitespace();
  if (at_end()) return refuse_at_end(kEofValue);
  if (peek() == static_cast<unsigned char>(closing)) {
    fail_after_current(kTrailingComma);
    return Step::refused;
  }
  return Step::element;
}

Cursor::Step Cursor::refuse_at_end(std::string_view reason) {
  fail_at_end(reason);
  return Step::refused;
}

bool Cursor::read_literal(std::string_view word) {
  ++pos_;
  for (const char expected : word.substr(1)) {
    if (at_end()) return fail_at_end(kEofValue);
    if (text_[pos_++] != expected) return fail(kExpectedIdent, pos_);
  }
  return true;
}

bool Cursor::read_number(JsonNumber& number) {
  const std::size_t start = pos_;
  const bool negative = peek() == '-';
  if (negative) ++pos_;
  if (at_end()) return fail_at_end(kEofValue);

  // Integer part, accumulated while it fits 64 bits. Its digit count and, for a zero integer
  // part, the zeros opening the fraction tell overflow from underflow should the double
  // conversion fall out of range.
  const unsigned char lead = text_[pos_++];
  std::uint64_t magnitude = 0;
  bool fits_u64 = true;
  std::int64_t integer_digits = 1;
  if (lead == '0') {
    if (!at_end() && is_digit(peek())) return fail_after_current(kInvalidNumber);
  } else if (is_digit(lead)) {
    magnitude = lead - '0';
    while (!at_end() && is_digit(peek())) {
      const unsigned digit = peek() - '0';
      if (fits_u64 && magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
        fits_u64 = false;
      }
      if (fits_u64) magnitude = magnitude * 10 + digit;
      if (integer_digits < kExponentCap) ++integer_digits;
      ++pos_;
    }
  } else {
    return fail(kInvalidNumber, pos_);
  }

  bool integral = true;
  std::int64_t fraction_leading_zeros = 0;
  if (!at_end() && peek() == '.') {
    integral = false;
    ++pos_;
    if (at_end()) return fail_at_end(kEofValue);
    if (!is_digit(peek())) return fail_after_current(kInvalidNumber);
    bool counting_zeros = lead == '0';
    while (!at_end() && is_digit(peek())) {
      if (counting_zeros && peek() == '0' && fraction_leading_zeros < kExponentCap) {
        ++fraction_leading_zeros;
      } else {
        counting_zeros = false;
      }
      ++pos_;
    }
  }

  std::int64_t exponent = 0;
  if (!at_end() && (peek() == 'e' || peek() == 'E')) {
    integral = false;
    ++pos_;
    bool negative_exponent = false;
    if (!at_end() && (peek() == '+' || peek() == '-')) negative_exponent = text_[pos_++] == '-';
    if (at_end()) return fail_at_end(kEofValue);
    if (!is_digit(text_[pos_++])) return fail(kInvalidNumber, pos_);
    exponent = text_[pos_ - 1] - '0';
    while (!at_end() && is_digit(peek())) {
      if (exponent < kExponentCap) exponent = exponent * 10 + (peek() - '0');
      ++pos_;
    }
    if (negative_exponent) exponent = -exponent;
  }

  if (integral && fits_u64) {
    if (!negative) {
      number = {JsonNumber::Kind::Unsigned, magnitude, 0};
      return true;
    }
    // -0 is the double negative zero, and magnitudes past 2^63 do not fit a signed integer.
    if (magnitude != 0 && magnitude <= (std::uint64_t{1} << 63)) {
      number = {JsonNumber::Kind::Negative, magnitude, 0};
      return true;
    }
  }

  double value = 0;
  const auto converted = read_decimal(text_.data() + start, text_.data() + pos_, value);
  if (converted.ec == std::errc::result_out_of_range) {
    // Out of range is either too large (refused) or too small (read as a zero). The decimal
    // exponent of the first significant digit is far from zero in both cases, so its sign
    // tells them apart.
    const std::int64_t scale =
        (lead == '0' ? -(fraction_leading_zeros + 1) : integer_digits - 1) + exponent;
    if (scale > 0) return fail(kNumberOutOfRange, pos_);
    value = negative ? -0.0 : 0.0;
  }
  number = {JsonNumber::Kind::Float, 0, value};
  return true;
}

bool Cursor::read_hex_unit(std::uint32_t& unit) {
  if (text_.size() - pos_ < 4) return fail_at_end(kEofString);
  bool valid = true;
  unit = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_value(static_cast<unsigned char>(text_[pos_ + i]));
    if (digit < 0) valid = false;
    unit = unit * 16 + static_cast<std::uint32_t>(digit < 0 ? 0 : digit);
  }
  pos_ += 4;
  if (!valid) return fail(kInvalidEscape, pos_);
  return true;
}

}  // namespace fendral::video::json
