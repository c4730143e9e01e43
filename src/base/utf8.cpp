#include "base/utf8.hpp"

#include <cstddef>

namespace fendral {

namespace {

struct Utf8Step {
  std::size_t length;  // bytes consumed
  bool valid;          // false: those bytes are one maximal ill-formed subpart
};

// Decodes one sequence at `position` (which must be inside `bytes`).
Utf8Step decode_utf8_step(std::string_view bytes, std::size_t position) {
  const auto lead = static_cast<unsigned char>(bytes[position]);
  if (lead < 0x80) return {1, true};
  std::size_t continuation_count = 0;
  // Bounds of the first continuation byte; they rule out overlongs, surrogates and code
  // points above U+10FFFF. Later continuation bytes are always 0x80..0xBF.
  unsigned char first_low = 0x80;
  unsigned char first_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuation_count = 1;
  } else if (lead == 0xE0) {
    continuation_count = 2;
    first_low = 0xA0;
  } else if (lead == 0xED) {
    continuation_count = 2;
    first_high = 0x9F;
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    continuation_count = 2;
  } else if (lead == 0xF0) {
    continuation_count = 3;
    first_low = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    continuation_count = 3;
  } else if (lead == 0xF4) {
    continuation_count = 3;
    first_high = 0x8F;
  } else {
    return {1, false};
  }
  std::size_t length = 1;
  for (std::size_t index = 0; index < continuation_count; ++index) {
    if (position + length >= bytes.size()) return {length, false};
    const auto next = static_cast<unsigned char>(bytes[position + length]);
    const unsigned char low = index == 0 ? first_low : 0x80;
    const unsigned char high = index == 0 ? first_high : 0xBF;
    if (next < low || next > high) return {length, false};
    ++length;
  }
  return {length, true};
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t position = 0;
  while (position < bytes.size()) {
    Utf8Step step = decode_utf8_step(bytes, position);
    if (!step.valid) return false;
    position += step.length;
  }
  return true;
}

std::string lossy_utf8(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  std::size_t position = 0;
  while (position < bytes.size()) {
    Utf8Step step = decode_utf8_step(bytes, position);
    if (step.valid) {
      text.append(bytes.substr(position, step.length));
    } else {
      text.append(kReplacement);
    }
    position += step.length;
  }
  return text;
}

std::size_t encode_utf8(std::uint32_t code_point, char* out) {
  if (code_point < 0x80) {
    out[0] = static_cast<char>(code_point);
    return 1;
  }
  if (code_point < 0x800) {
    out[0] = static_cast<char>(0xC0 | (code_point >> 6));
    out[1] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 2;
  }
  if (code_point < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (code_point >> 12));
    out[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (code_point >> 18));
  out[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (code_point & 0x3F));
  return 4;
}

}  // namespace fendral
