// The manifest's text form, one JSON object (here of the ten bytes "0123456789"):
//
//   {"version": 1, "chunk_size": 4, "size": 10, "count": 3, "file_crc32c": "280c069e",
//    "crc32c": ["063962b9", "6ad50193", "646a3494"]}
//
// A CRC is a string of eight hexadecimal digits, most significant first (int(text, 16) reads it
// back), as tools print checksums. The reader takes any field order and spacing, and refuses
// anything else with the field's name.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <optional>

#include "base/crc32c.hpp"
#include "base/propagate.hpp"
#include "chunking/manifest.hpp"

namespace fendral::chunking {
namespace {

constexpr std::uint64_t kFormatVersion = 1;
constexpr std::string_view kFields[] = {"version", "chunk_size",  "size",
                                        "count",   "file_crc32c", "crc32c"};

std::string hex_digits(std::uint32_t crc) {
  return crc_text(crc).substr(2);
}

// A value as it stood in the text. Lists hold strings or scalars, never lists or objects.
struct RawValue {
  enum class Kind { Number, String, List, Literal } kind = Kind::Literal;
  std::string_view text;  // a number's digits, a string's content between its quotes
  std::vector<RawValue> items;
};

// Reads the one object of a manifest's text into its members; knows JSON, not the fields.
class ObjectReader {
 public:
  explicit ObjectReader(std::string_view text) : text_(text) {}

  Result<std::map<std::string_view, RawValue>> read() {
    std::map<std::string_view, RawValue> members;
    skip_space();
    FENDRAL_CHECK(expect('{'));
    skip_space();
    if (peek() == '}') {
      ++position_;
    } else {
      for (;;) {
        skip_space();
        if (peek() != '"') return malformed("expected a field name in double quotes");
        FENDRAL_TRY(const std::string_view name, read_string());
        skip_space();
        FENDRAL_CHECK(expect(':'));
        skip_space();
        FENDRAL_TRY(RawValue value, read_value(true));
        if (!members.emplace(name, std::move(value)).second) {
          return fail(
              Failure::value_error("Manifest field \"" + std::string(name) + "\" appears twice"));
        }
        skip_space();
        if (peek() == ',') {
          ++position_;
          continue;
        }
        FENDRAL_CHECK(expect('}'));
        break;
      }
    }
    skip_space();
    if (position_ != text_.size()) return malformed("expected nothing after the object");
    return members;
  }

 private:
  char peek() const { return position_ < text_.size() ? text_[position_] : '\0'; }

  void skip_space() {
    while (position_ < text_.size() && (text_[position_] == ' ' || text_[position_] == '\t' ||
                                        text_[position_] == '\n' || text_[position_] == '\r')) {
      ++position_;
    }
  }

  unexpected<Failure> malformed(std::string_view what) const {
    return fail(Failure::value_error("Manifest JSON is malformed at offset " +
                                     std::to_string(position_) + ": " + std::string(what)));
  }

  Result<void> expect(char wanted) {
    if (peek() != wanted) return malformed(std::string("expected '") + wanted + "'");
    ++position_;
    return {};
  }

  // A value; a list only where `list_allowed` (the top level of a member), so nothing nests.
  Result<RawValue> read_value(bool list_allowed) {
    const char first = peek();
    if (first == '"') {
      FENDRAL_TRY(const std::string_view content, read_string());
      return RawValue{RawValue::Kind::String, content, {}};
    }
    if (first == '-' || (first >= '0' && first <= '9')) return read_number();
    for (std::string_view literal : {"true", "false", "null"}) {
      if (text_.substr(position_, literal.size()) == literal) {
        position_ += literal.size();
        return RawValue{RawValue::Kind::Literal, literal, {}};
      }
    }
    if (first == '[' && list_allowed) return read_list();
    if (first == '[' || first == '{') return malformed("a manifest holds no nested list or object");
    return malformed("expected a value");
  }

  Result<RawValue> read_list() {
    ++position_;
    RawValue list{RawValue::Kind::List, {}, {}};
    skip_space();
    if (peek() == ']') {
      ++position_;
      return list;
    }
    for (;;) {
      skip_space();
      FENDRAL_TRY(RawValue item, read_value(false));
      list.items.push_back(std::move(item));
      skip_space();
      if (peek() == ',') {
        ++position_;
        continue;
      }
      FENDRAL_CHECK(expect(']'));
      return list;
    }
  }

  // The content of a string, escapes left as written; the position is on its opening quote.
  Result<std::string_view> read_string() {
    const std::size_t begin = ++position_;
    for (;;) {
      if (position_ >= text_.size()) return malformed("the string is not closed");
      const auto character = static_cast<unsigned char>(text_[position_]);
      if (character == '"') break;
      if (character < 0x20) return malformed("a control character in a string");
      if (character == '\\') {
        ++position_;
        const char escaped = peek();
        if (escaped == 'u') {
          for (int digit = 1; digit <= 4; ++digit) {
            if (!std::isxdigit(static_cast<unsigned char>(peek_at(position_ + digit)))) {
              return malformed("a \\u escape needs four hexadecimal digits");
            }
          }
          position_ += 4;
        } else if (std::string_view("\"\\/bfnrt").find(escaped) == std::string_view::npos ||
                   escaped == '\0') {
          return malformed("an unknown escape in a string");
        }
      }
      ++position_;
    }
    const std::string_view content = text_.substr(begin, position_ - begin);
    ++position_;
    return content;
  }

  char peek_at(std::size_t at) const { return at < text_.size() ? text_[at] : '\0'; }

  Result<RawValue> read_number() {
    const std::size_t begin = position_;
    auto digits = [&] {
      const std::size_t start = position_;
      while (peek() >= '0' && peek() <= '9') ++position_;
      return position_ - start;
    };
    if (peek() == '-') ++position_;
    if (peek() == '0') {
      ++position_;
    } else if (digits() == 0) {
      return malformed("expected a digit");
    }
    if (peek() == '.') {
      ++position_;
      if (digits() == 0) return malformed("expected a digit");
    }
    if (peek() == 'e' || peek() == 'E') {
      ++position_;
      if (peek() == '+' || peek() == '-') ++position_;
      if (digits() == 0) return malformed("expected a digit");
    }
    return RawValue{RawValue::Kind::Number, text_.substr(begin, position_ - begin), {}};
  }

  std::string_view text_;
  std::size_t position_ = 0;
};

unexpected<Failure> field_error(std::string_view name, const std::string& what) {
  return fail(Failure::value_error("Manifest field \"" + std::string(name) + "\": " + what));
}

// A whole number from 0 to 2**64 - 1, written without sign, fraction or exponent.
std::optional<std::uint64_t> whole_number(const RawValue& value) {
  if (value.kind != RawValue::Kind::Number) return std::nullopt;
  std::uint64_t number = 0;
  const char* end = value.text.data() + value.text.size();
  const auto [stop, error] = std::from_chars(value.text.data(), end, number);
  if (error != std::errc() || stop != end) return std::nullopt;
  return number;
}

std::optional<std::uint32_t> crc_value(const RawValue& value) {
  if (value.kind != RawValue::Kind::String || value.text.size() != 8) return std::nullopt;
  std::uint32_t crc = 0;
  const char* end = value.text.data() + value.text.size();
  const auto [stop, error] = std::from_chars(value.text.data(), end, crc, 16);
  if (error != std::errc() || stop != end) return std::nullopt;
  return crc;
}

constexpr const char* kCrcForm = "expected 8 hexadecimal digits in a string";

}  // namespace

std::string manifest_to_json(const Manifest& manifest) {
  std::string text = "{\"version\": " + std::to_string(kFormatVersion) +
                     ", \"chunk_size\": " + std::to_string(manifest.chunk_size) +
                     ", \"size\": " + std::to_string(manifest.size) +
                     ", \"count\": " + std::to_string(manifest.count()) + ", \"file_crc32c\": \"" +
                     hex_digits(manifest.file_crc32c) + "\", \"crc32c\": [";
  text.reserve(text.size() + manifest.crc32c.size() * 12 + 2);
  for (std::size_t index = 0; index < manifest.crc32c.size(); ++index) {
    if (index > 0) text += ", ";
    text += '"';
    text += hex_digits(manifest.crc32c[index]);
    text += '"';
  }
  text += "]}";
  return text;
}

Result<Manifest> manifest_from_json(std::string_view text) {
  FENDRAL_TRY(const auto members, ObjectReader(text).read());
  // The version first: a later format may have other fields.
  const auto version = members.find("version");
  if (version == members.end())
    return fail(Failure::value_error("Manifest field \"version\" is missing"));
  if (whole_number(version->second) != kFormatVersion) {
    return field_error("version", "expected 1, the only version this module reads");
  }
  for (const auto& [name, value] : members) {
    if (std::find(std::begin(kFields), std::end(kFields), name) == std::end(kFields)) {
      return fail(
          Failure::value_error("Manifest field \"" + std::string(name) + "\" is not known"));
    }
  }
  for (std::string_view name : kFields) {
    if (!members.contains(name)) {
      return fail(Failure::value_error("Manifest field \"" + std::string(name) + "\" is missing"));
    }
  }
  constexpr const char* kWhole = "expected a whole number from 0 to 18446744073709551615";
  Manifest manifest;
  const auto chunk_size = whole_number(members.at("chunk_size"));
  if (!chunk_size || *chunk_size == 0) {
    return field_error("chunk_size", "expected a whole number from 1 to 18446744073709551615");
  }
  manifest.chunk_size = *chunk_size;
  const auto size = whole_number(members.at("size"));
  if (!size) return field_error("size", kWhole);
  manifest.size = *size;
  const auto count = whole_number(members.at("count"));
  if (!count) return field_error("count", kWhole);
  const std::uint64_t chunks_needed =
      manifest.size / manifest.chunk_size + (manifest.size % manifest.chunk_size != 0 ? 1 : 0);
  if (*count != chunks_needed) {
    return field_error("count", "expected " + std::to_string(chunks_needed) + " for a size of " +
                                    std::to_string(manifest.size) + " in chunks of " +
                                    std::to_string(manifest.chunk_size) + ", got " +
                                    std::to_string(*count));
  }
  const RawValue& list = members.at("crc32c");
  if (list.kind != RawValue::Kind::List) return field_error("crc32c", "expected a list");
  if (list.items.size() != *count) {
    return field_error("crc32c", "expected " + std::to_string(*count) + " CRCs (the count), got " +
                                     std::to_string(list.items.size()));
  }
  manifest.crc32c.reserve(list.items.size());
  for (const RawValue& item : list.items) {
    const auto crc = crc_value(item);
    if (!crc) {
      return field_error("crc32c",
                         "item " + std::to_string(manifest.crc32c.size()) + ": " + kCrcForm);
    }
    manifest.crc32c.push_back(*crc);
  }
  std::uint32_t combined = 0;
  for (std::uint64_t index = 0; index < manifest.count(); ++index) {
    combined = crc32c::combine(combined, manifest.crc32c[index], manifest.chunk_bytes(index));
  }
  const auto file_crc = crc_value(members.at("file_crc32c"));
  if (!file_crc) return field_error("file_crc32c", kCrcForm);
  if (*file_crc != combined) {
    return field_error("file_crc32c", "expected \"" + hex_digits(combined) +
                                          "\", the combination of the chunks' CRCs, got \"" +
                                          hex_digits(*file_crc) + "\"");
  }
  manifest.file_crc32c = *file_crc;
  return manifest;
}

}  // namespace fendral::chunking
