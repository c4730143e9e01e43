// The grammar of metadata.json: the record in object or array form, its six fields and their
// types, read strictly in one forward pass over the bytes (the lexing is json_cursor's).
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "video/json_cursor.hpp"
#include "video/json_messages.hpp"
#include "video/metadata.hpp"

namespace fendral::video {
namespace {

using namespace json;  // the cursor's reasons and character classes

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

class Reader : private Cursor {
 public:
  using Cursor::Cursor;

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
      const Step step = next_element('}', first);
      if (step == Step::refused) return false;
      if (step == Step::closed) break;
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
      const Step step = next_element(']', count == 0);
      if (step == Step::refused) return false;
      if (step == Step::closed) {
        if (count == kFieldCount) return true;
        return fail(
            "invalid length " + std::to_string(count) + ", expected " + std::string(kArrayFormName),
            pos_);
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
    JsonNumber number;
    if (!read_number(number)) return false;
    switch (number.kind) {
      case JsonNumber::Kind::Unsigned:
        out = number.magnitude;
        return true;
      case JsonNumber::Kind::Negative:
        return fail(
            "invalid value: " + describe_number(number) + ", expected " + std::string(kCountName),
            pos_);
      case JsonNumber::Kind::Float:
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
      const Step step = next_element(']', first);
      if (step == Step::refused) return false;
      if (step == Step::closed) return true;
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
        JsonNumber number;
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
        const Step step = next_element(is_object ? '}' : ']', true);
        if (step == Step::refused) return false;
        if (step == Step::element) {
          open_is_object.push_back(is_object);
          if (is_object && !skip_key_and_colon()) return false;
          continue;
        }
      } else if (!skip_scalar()) {
        return false;
      }
      // A value has ended: close the containers it completes, then move to the next member.
      for (;;) {
        if (open_is_object.empty()) return true;
        const bool in_object = open_is_object.back();
        const Step step = next_element(in_object ? '}' : ']', false);
        if (step == Step::refused) return false;
        if (step == Step::closed) {
          open_is_object.pop_back();
          continue;
        }
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
    JsonNumber number;
    return read_number(number);
  }
};

}  // namespace

expected<Mp4ChunkMetadata, std::string> read_metadata(std::string_view text) {
  return Reader(text).read();
}

}  // namespace fendral::video
