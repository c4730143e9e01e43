#include "video/json_messages.hpp"

#include <charconv>

namespace fendral::video {

namespace {

void append_hex_escape(std::string& out, std::uint32_t code_point) {
  char digits[8];
  const auto end = std::to_chars(digits, digits + sizeof digits, code_point, 16).ptr;
  out.append("\\u{");
  out.append(digits, end);
  out.push_back('}');
}

}  // namespace

std::string describe_number(const JsonNumber& number) {
  std::string out;
  char digits[32];
  if (number.kind != JsonNumber::Kind::Float) {
    out = "integer `";
    if (number.kind == JsonNumber::Kind::Negative) out.push_back('-');
    const auto end = std::to_chars(digits, digits + sizeof digits, number.magnitude).ptr;
    out.append(digits, end);
    out.push_back('`');
    return out;
  }
  // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)XX.
  const auto end =
      std::to_chars(digits, digits + sizeof digits, number.value, std::chars_format::scientific)
          .ptr;
  const std::string_view scientific(digits, end - digits);
  const std::size_t exponent_mark = scientific.find('e');
  std::string_view mantissa = scientific.substr(0, exponent_mark);
  int exponent = 0;
  std::string_view exponent_text = scientific.substr(exponent_mark + 1);
  if (!exponent_text.empty() && exponent_text.front() == '+') exponent_text.remove_prefix(1);
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

  out = "floating point `";
  if (!mantissa.empty() && mantissa.front() == '-') {
    out.push_back('-');
    mantissa.remove_prefix(1);
  }
  std::string significant;
  for (const char c : mantissa) {
    if (c != '.') significant.push_back(c);
  }
  if (exponent >= 0) {
    const std::size_t integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (significant.size() <= integer_digits) {
      out.append(significant);
      out.append(integer_digits - significant.size(), '0');
      out.append(".0");
    } else {
      out.append(significant, 0, integer_digits);
      out.push_back('.');
      out.append(significant, integer_digits);
    }
  } else {
    out.append("0.");
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(significant);
  }
  out.push_back('`');
  return out;
}

std::string describe_string(std::string_view text) {
  std::string out = "string \"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    switch (byte) {
      case '"':
        out.append("\\\"");
        continue;
      case '\\':
        out.append("\\\\");
        continue;
      case '\t':
        out.append("\\t");
        continue;
      case '\n':
        out.append("\\n");
        continue;
      case '\r':
        out.append("\\r");
        continue;
      case '\0':
        out.append("\\0");
        continue;
      default:
        break;
    }
    if (byte < 0x20 || byte == 0x7F) {
      append_hex_escape(out, byte);
    } else if (byte == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      append_hex_escape(out, static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else {
      out.push_back(static_cast<char>(byte));
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace fendral::video
