// Strict reader of metadata.json: one forward pass over the bytes, refusing at the first fault
// with a reason and the position of that fault. Only a byte offset is tracked while reading; the
// line and column are worked out once, when refusing.
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/decimal.hpp"
#include "video/metadata.hpp"

namespace fendral::video {
namespace {

constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kExpectedColon = "expected `:`";
constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
constexpr std::string_view kExpectedIdent = "expected ident";
constexpr std::string_view kExpectedValue = "expected value";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kNumberOutOfRange = "number out of range";
constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view kKeyMustBeString = "key must be a string";
constexpr std::string_view kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
constexpr std::string_view kTrailingComma = "trailing comma";
constexpr std::string_view kTrailingCharacters = "trailing characters";
constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";

constexpr std::string_view kRecordName = "struct Mp4ChunkMetadata";
constexpr std::string_view kArrayFormName = "struct Mp4ChunkMetadata with 6 elements";
constexpr std::string_view kStringName = "a string";
constexpr std::string_view kCountName = "usize";
constexpr std::string_view kSequenceName = "a sequence";

// The fields in declaration order, which is also the order of the array form.
enum Field : int {
  kOriginalFile,
  kOutputPrefix,
  kChunkCount,
  kChunkPaths,
  kSplitType,
  kSplitValue,
  kFieldCount,
};

constexpr std::array<std::string_view, kFieldCount> kFieldNames = {
    "original_file", "output_prefix", "chunk_count", "chunk_paths", "split_type", "split_value",
};

bool is_whitespace(unsigned char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

bool is_digit(unsigned char byte) {
  return byte >= '0' && byte <= '9';
}

int hex_value(unsigned char byte) {
  if (byte >= '0' && byte <= '9') return byte - '0';
  if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
  if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
  return -1;
}

bool is_leading_surrogate(std::uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_trailing_surrogate(std::uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
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

// A JSON number as the reader classifies it: an integer that fits the unsigned or the signed
// 64-bit range, or else a double.
struct Number {
  enum class Kind { Unsigned, Negative, Float };
  Kind kind = Kind::Unsigned;
  std::uint64_t magnitude = 0;  // Unsigned and Negative
  double value = 0;             // Float
};

// "integer `N`" or "floating point `X`". A float is written with the fewest significant digits
// that read back as the same double, in plain positional notation, and always with a decimal
// point so that it cannot be mistaken for an integer.
std::string describe_number(const Number& number) {
  std::string out;
  char digits[32];
  if (number.kind != Number::Kind::Float) {
    out = "integer `";
    if (number.kind == Number::Kind::Negative) out.push_back('-');
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

void append_hex_escape(std::string& out, std::uint32_t code_point) {
  char digits[8];
  const auto end = std::to_chars(digits, digits + sizeof digits, code_point, 16).ptr;
  out.append("\\u{");
  out.append(digits, end);
  out.push_back('}');
}

// "string " and the text in double quotes, with quotes, backslashes and control characters
// (C0, DEL and C1) escaped so that the message stays on one line and readable.
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

// Where the unescaped text of a string goes while it is scanned.
struct TextSink {
  std::string& out;
  void append(std::string_view bytes) { out.append(bytes); }
};

// Keeps just enough of a key to compare it with the field names; a longer key matches none.
struct KeySink {
  static constexpr std::size_t kCapacity = 16;
  std::array<char, kCapacity> bytes{};
  std::size_t size = 0;
  bool too_long = false;

  void append(std::string_view more) {
    if (too_long || more.size() > kCapacity - size) {
      too_long = true;
      return;
    }
    std::memcpy(bytes.data() + size, more.data(), more.size());
    size += more.size();
  }
  std::optional<Field> field() const {
    if (too_long) return std::nullopt;
    const std::string_view key(bytes.data(), size);
    for (int i = 0; i < kFieldCount; ++i) {
      if (kFieldNames[i] == key) return static_cast<Field>(i);
    }
    return std::nullopt;
  }
};

// Checks a string and forgets its text.
struct DiscardSink {
  void append(std::string_view) {}
};

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  expected<Mp4ChunkMetadata, std::string> read() {
    Mp4ChunkMetadata record;
    if (!read_record(record)) return unexpected(refusal_message());
    return record;
  }

 private:
  bool read_record(Mp4ChunkMetadata& record) {
    skip_whitespace();
    if (at_end()) return fail_at_end(kEofValue);
    bool accepted = false;
    if (peek() == '{') {
      accepted = read_object_form(record);
    } else if (peek() == '[') {
      accepted = read_array_form(record);
    } else {
      accepted = refuse_mismatch(kRecordName);
    }
    if (!accepted) return false;
    skip_whitespace();
    if (!at_end()) return fail_after_current(kTrailingCharacters);
    return true;
  }

  // At "{". Members in any order; unknown keys have their values checked and skipped.
  bool read_object_form(Mp4ChunkMetadata& record) {
    ++pos_;
    std::array<bool, kFieldCount> seen{};
    for (bool first = true;; first = false) {
      skip_whitespace();
      if (at_end()) return fail_at_end(kEofObject);
      if (peek() == '}') {
        ++pos_;
        break;
      }
      if (!first) {
        if (peek() != ',') return fail_after_current(kExpectedObjectCommaOrEnd);
        ++pos_;
        skip_whitespace();
        if (at_end()) return fail_at_end(kEofValue);
        if (peek() == '}') return fail_after_current(kTrailingComma);
      }
      if (peek() != '"') return fail_after_current(kKeyMustBeString);
      ++pos_;
      KeySink key;
      if (!scan_string(key)) return false;
      const std::optional<Field> field = key.field();
      if (field && seen[*field]) {
        return fail("duplicate field `" + std::string(kFieldNames[*field]) + "`", pos_);
      }
      skip_whitespace();
      if (at_end()) return fail_at_end(kEofObject);
      if (peek() != ':') return fail_after_current(kExpectedColon);
      ++pos_;
      if (!field) {
        if (!skip_value()) return false;
        continue;
      }
      if (!read_field(*field, record)) return false;
      seen[*field] = true;
    }
    for (int i = 0; i < kFieldCount; ++i) {
      if (!seen[i]) return fail("missing field `" + std::string(kFieldNames[i]) + "`", pos_);
    }
    return true;
  }

  // At "[". Exactly the six values, in field order.
  bool read_array_form(Mp4ChunkMetadata& record) {
    ++pos_;
    for (int count = 0;; ++count) {
      skip_whitespace();
      if (at_end()) return fail_at_end(kEofList);
      if (peek() == ']') {
        ++pos_;
        if (count == kFieldCount) return true;
        return fail(
            "invalid length " + std::to_string(count) + ", expected " + std::string(kArrayFormName),
            pos_);
      }
      if (count > 0) {
        if (peek() != ',') return fail_after_current(kExpectedListCommaOrEnd);
        ++pos_;
        skip_whitespace();
        if (at_end()) return fail_at_end(kEofValue);
        if (peek() == ']') return fail_after_current(kTrailingComma);
      }
      if (count == kFieldCount) return fail_after_current(kTrailingCharacters);
      if (!read_field(static_cast<Field>(count), record)) return false;
    }
  }

  bool read_field(Field field, Mp4ChunkMetadata& record) {
    switch (field) {
      case kOriginalFile:
        return read_string_value(record.original_file);
      case kOutputPrefix:
        return read_string_value(record.output_prefix);
      case kChunkCount:
        return read_count(record.chunk_count);
      case kChunkPaths:
        return read_paths(record.chunk_paths);
      case kSplitType:
        return read_string_value(record.split_type);
      case kSplitValue:
        return read_string_value(record.split_value);
      case kFieldCount:
        break;
    }
    return false;
  }

  bool read_string_value(std::string& out) {
    skip_whitespace();
    if (at_end()) return fail_at_end(kEofValue);
    if (peek() != '"') return refuse_mismatch(kStringName);
    ++pos_;
    out.clear();
    TextSink sink{out};
    return scan_string(sink);
  }

  bool read_count(std::uint64_t& out) {
    skip_whitespace();
    if (at_end()) return fail_at_end(kEofValue);
    if (peek() != '-' && !is_digit(peek())) return refuse_mismatch(kCountName);
    Number number;
    if (!read_number(number)) return false;
    switch (number.kind) {
      case Number::Kind::Unsigned:
        out = number.magnitude;
        return true;
      case Number::Kind::Negative:
        return fail(
            "invalid value: " + describe_number(number) + ", expected " + std::string(kCountName),
            pos_);
      case Number::Kind::Float:
        break;
    }
    return fail(
        "invalid type: " + describe_number(number) + ", expected " + std::string(kCountName), pos_);
  }

  bool read_paths(std::vector<std::string>& out) {
    skip_whitespace();
    if (at_end()) return fail_at_end(kEofValue);
    if (peek() != '[') return refuse_mismatch(kSequenceName);
    ++pos_;
    out.clear();
    for (bool first = true;; first = false) {
      skip_whitespace();
      if (at_end()) return fail_at_end(kEofList);
      if (peek() == ']') {
        ++pos_;
        return true;
      }
      if (!first) {
        if (peek() != ',') return fail_after_current(kExpectedListCommaOrEnd);
        ++pos_;
        skip_whitespace();
        if (at_end()) return fail_at_end(kEofValue);
        if (peek() == ']') return fail_after_current(kTrailingComma);
      }
      out.emplace_back();
      if (!read_string_value(out.back())) return false;
    }
  }

  // The value at the cursor has the wrong type: read just enough of it to describe it, then
  // refuse. Arrays and objects are described by their opening byte alone.
  bool refuse_mismatch(std::string_view expected) {
    std::string found;
    switch (peek()) {
      case '[':
        found = "sequence";
        break;
      case '{':
        found = "map";
        break;
      case 'n':
        if (!read_literal("null")) return false;
        found = "null";
        break;
      case 't':
        if (!read_literal("true")) return false;
        found = "boolean `true`";
        break;
      case 'f':
        if (!read_literal("false")) return false;
        found = "boolean `false`";
        break;
      case '"': {
        ++pos_;
        std::string text;
        TextSink sink{text};
        if (!scan_string(sink)) return false;
        found = describe_string(text);
        break;
      }
      default: {
        if (peek() != '-' && !is_digit(peek())) return fail_after_current(kExpectedValue);
        Number number;
        if (!read_number(number)) return false;
        found = describe_number(number);
        break;
      }
    }
    return fail("invalid type: " + found + ", expected " + std::string(expected), pos_);
  }

  // Skips one value of any type and depth. The open containers are kept one bit per level on
  // the heap (bounded by the text's length), never on the native stack.
  bool skip_value() {
    std::vector<bool> open_is_object;
    for (;;) {
      skip_whitespace();
      if (at_end()) return fail_at_end(kEofValue);
      const unsigned char first = peek();
      if (first == '[' || first == '{') {
        const bool is_object = first == '{';
        ++pos_;
        skip_whitespace();
        if (at_end()) return fail_at_end(is_object ? kEofObject : kEofList);
        if (peek() != (is_object ? '}' : ']')) {
          open_is_object.push_back(is_object);
          if (is_object && !skip_key_and_colon()) return false;
          continue;
        }
        ++pos_;
      } else if (!skip_scalar()) {
        return false;
      }
      // A value has ended: close the containers it completes, then move to the next member.
      for (;;) {
        if (open_is_object.empty()) return true;
        const bool in_object = open_is_object.back();
        const char closing = in_object ? '}' : ']';
        skip_whitespace();
        if (at_end()) return fail_at_end(in_object ? kEofObject : kEofList);
        if (peek() == closing) {
          ++pos_;
          open_is_object.pop_back();
          continue;
        }
        if (peek() != ',') {
          return fail_after_current(in_object ? kExpectedObjectCommaOrEnd
                                              : kExpectedListCommaOrEnd);
        }
        ++pos_;
        skip_whitespace();
        if (at_end()) return fail_at_end(kEofValue);
        if (peek() == closing) return fail_after_current(kTrailingComma);
        if (in_object && !skip_key_and_colon()) return false;
        break;
      }
    }
  }

  // At the first byte of a member of a skipped object.
  bool skip_key_and_colon() {
    if (peek() != '"') return fail_after_current(kKeyMustBeString);
    ++pos_;
    DiscardSink sink;
    if (!scan_string(sink)) return false;
    skip_whitespace();
    if (at_end()) return fail_at_end(kEofObject);
    if (peek() != ':') return fail_after_current(kExpectedColon);
    ++pos_;
    return true;
  }

  bool skip_scalar() {
    switch (peek()) {
      case '"': {
        ++pos_;
        DiscardSink sink;
        return scan_string(sink);
      }
      case 'n':
        return read_literal("null");
      case 't':
        return read_literal("true");
      case 'f':
        return read_literal("false");
      default:
        break;
    }
    if (peek() != '-' && !is_digit(peek())) return fail_after_current(kExpectedValue);
    Number number;
    return read_number(number);
  }

  // At the first letter of `word`, which has already been told apart from other values.
  bool read_literal(std::string_view word) {
    ++pos_;
    for (const char expected : word.substr(1)) {
      if (at_end()) return fail_at_end(kEofValue);
      if (text_[pos_++] != expected) return fail(kExpectedIdent, pos_);
    }
    return true;
  }

  // At "-" or a digit.
  bool read_number(Number& number) {
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
        number = {Number::Kind::Unsigned, magnitude, 0};
        return true;
      }
      // -0 is the double negative zero, and magnitudes past 2^63 do not fit a signed integer.
      if (magnitude != 0 && magnitude <= (std::uint64_t{1} << 63)) {
        number = {Number::Kind::Negative, magnitude, 0};
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
    number = {Number::Kind::Float, 0, value};
    return true;
  }

  // After the opening quote; leaves the cursor after the closing quote.
  template <class Sink>
  bool scan_string(Sink& sink) {
    for (;;) {
      const std::size_t run_start = pos_;
      while (pos_ < text_.size()) {
        const auto byte = static_cast<unsigned char>(text_[pos_]);
        if (byte < 0x20 || byte == '"' || byte == '\\') break;
        ++pos_;
      }
      if (pos_ > run_start) sink.append(text_.substr(run_start, pos_ - run_start));
      if (at_end()) return fail_at_end(kEofString);
      const char byte = text_[pos_++];
      if (byte == '"') return true;
      if (byte != '\\') return fail(kControlCharacter, pos_);
      if (!scan_escape(sink)) return false;
    }
  }

  // After a backslash inside a string.
  template <class Sink>
  bool scan_escape(Sink& sink) {
    if (at_end()) return fail_at_end(kEofString);
    switch (text_[pos_++]) {
      case '"':
        sink.append("\"");
        return true;
      case '\\':
        sink.append("\\");
        return true;
      case '/':
        sink.append("/");
        return true;
      case 'b':
        sink.append("\b");
        return true;
      case 'f':
        sink.append("\f");
        return true;
      case 'n':
        sink.append("\n");
        return true;
      case 'r':
        sink.append("\r");
        return true;
      case 't':
        sink.append("\t");
        return true;
      case 'u':
        return scan_unicode_escape(sink);
      default:
        return fail(kInvalidEscape, pos_);
    }
  }

  // After "\u". A leading surrogate must be followed at once by "\u" and a trailing one.
  template <class Sink>
  bool scan_unicode_escape(Sink& sink) {
    std::uint32_t unit = 0;
    if (!read_hex_unit(unit)) return false;
    if (is_trailing_surrogate(unit)) return fail(kLoneLeadingSurrogate, pos_);
    std::uint32_t code_point = unit;
    if (is_leading_surrogate(unit)) {
      if (at_end()) return fail_at_end(kEofString);
      if (text_[pos_++] != '\\') return fail(kUnexpectedEndOfHexEscape, pos_);
      if (at_end()) return fail_at_end(kEofString);
      if (text_[pos_++] != 'u') return fail(kUnexpectedEndOfHexEscape, pos_);
      std::uint32_t trailing = 0;
      if (!read_hex_unit(trailing)) return false;
      if (!is_trailing_surrogate(trailing)) return fail(kLoneLeadingSurrogate, pos_);
      code_point = 0x10000 + ((unit - 0xD800) << 10) + (trailing - 0xDC00);
    }
    char utf8[4];
    sink.append(std::string_view(utf8, encode_utf8(code_point, utf8)));
    return true;
  }

  // Four hexadecimal digits; all four are consumed before any is judged.
  bool read_hex_unit(std::uint32_t& unit) {
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

  bool at_end() const { return pos_ == text_.size(); }
  unsigned char peek() const { return static_cast<unsigned char>(text_[pos_]); }

  void skip_whitespace() {
    while (pos_ < text_.size() && is_whitespace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }

  bool fail(std::string_view reason, std::size_t offset) {
    reason_.assign(reason);
    fault_offset_ = offset;
    return false;
  }
  bool fail(std::string&& reason, std::size_t offset) {
    reason_ = std::move(reason);
    fault_offset_ = offset;
    return false;
  }
  // The byte under the cursor cannot be accepted.
  bool fail_after_current(std::string_view reason) { return fail(reason, pos_ + 1); }
  bool fail_at_end(std::string_view reason) { return fail(reason, text_.size()); }

  // The line is one plus the line feeds before the fault; the column counts the bytes between
  // the last of them and the fault.
  std::string refusal_message() const {
    const std::string_view before = text_.substr(0, fault_offset_);
    const std::size_t last_line_feed = before.rfind('\n');
    const std::size_t line_start =
        last_line_feed == std::string_view::npos ? 0 : last_line_feed + 1;
    std::size_t line = 1;
    for (std::size_t i = 0; i < line_start; ++i) {
      if (before[i] == '\n') ++line;
    }
    return reason_ + " at line " + std::to_string(line) + " column " +
           std::to_string(fault_offset_ - line_start);
  }

  // Bound on the digit counts and exponent tracked for range decisions; far past any double.
  static constexpr std::int64_t kExponentCap = std::int64_t{1} << 40;

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string reason_;
  std::size_t fault_offset_ = 0;
};

}  // namespace

expected<Mp4ChunkMetadata, std::string> read_metadata(std::string_view text) {
  return Reader(text).read();
}

}  // namespace fendral::video
