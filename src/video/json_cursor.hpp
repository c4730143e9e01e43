// The lexical half of the metadata reader: a cursor over JSON text that steps over whitespace,
// literals, numbers, strings and the commas between elements, and refuses at the first fault
// with a reason and the position of that fault. Only a byte offset is tracked while reading;
// the line and column are worked out once, when refusing. The record's grammar is built on it
// in metadata_reader.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "base/utf8.hpp"
#include "video/json_messages.hpp"

namespace fendral::video::json {

inline constexpr std::string_view kEofList = "EOF while parsing a list";
inline constexpr std::string_view kEofObject = "EOF while parsing an object";
inline constexpr std::string_view kEofString = "EOF while parsing a string";
inline constexpr std::string_view kEofValue = "EOF while parsing a value";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
inline constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kNumberOutOfRange = "number out of range";
inline constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kKeyMustBeString = "key must be a string";
inline constexpr std::string_view kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";
inline constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";

inline bool is_whitespace(unsigned char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

inline bool is_digit(unsigned char byte) {
  return byte >= '0' && byte <= '9';
}

inline int hex_value(unsigned char byte) {
  if (byte >= '0' && byte <= '9') return byte - '0';
  if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
  if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
  return -1;
}

inline bool is_leading_surrogate(std::uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
inline bool is_trailing_surrogate(std::uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Where the unescaped text of a string goes while it is scanned.
struct TextSink {
  std::string& out;
  void append(std::string_view bytes) { out.append(bytes); }
};

// Checks a string and forgets its text.
struct DiscardSink {
  void append(std::string_view) {}
};

class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  // The reason of the refusal followed by " at line L column C" (columns count bytes). The
  // line is one plus the line feeds before the fault; the column counts the bytes between the
  // last of them and the fault.
  std::string refusal_message() const;

 protected:
  enum class Step { element, closed, refused };

  // Between the elements of a list or an object that `closing` ends: past its end, or up to the
  // next element, past the comma unless it is the `first`.
  Step next_element(char closing, bool first);

  // At the first letter of `word`, which has already been told apart from other values.
  bool read_literal(std::string_view word);

  // At "-" or a digit.
  bool read_number(JsonNumber& number);

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
  bool read_hex_unit(std::uint32_t& unit);

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

  std::string_view text_;
  std::size_t pos_ = 0;

 private:
  Step refuse_at_end(std::string_view reason);

  // Bound on the digit counts and exponent tracked for range decisions; far past any double.
  static constexpr std::int64_t kExponentCap = std::int64_t{1} << 40;

  std::string reason_;
  std::size_t fault_offset_ = 0;
};

}  // namespace fendral::video::json
