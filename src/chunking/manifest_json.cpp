// The manifest's text form, one JSON object (here of the ten bytes "0123456789"):
//
//   {"version": 1, "chunk_size": 4, "size": 10, "count": 3, "file_crc32c": "280c069e",
//    "crc32c": ["063962b9", "6ad50193", "646a3494"]}
//
// With parity chunks, two more fields follow: "parity" (their number) and "parity_crc32c" (their
// CRCs, in index order); a manifest without them is written exactly as before.
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
#include "base/utf8.hpp"
#include "chunking/manifest.hpp"

namespace fendral::chunking {
namespace {

constexpr std::uint64_t kFormatVersion = 1;
constexpr std::string_view kFields[] = {"version", "chunk_size",  "size",
                                        "count",   "file_crc32c", "crc32c"};
constexpr std::string_view kParityFields[] = {"parity", "parity_crc32c"};

std::string hex_digits(std::uint32_t crc) {
  return crc_text(crc).substr(2);
}

std::optional<std::uint32_t> crc_of_digits(std::string_view digits) {
  if (digits.size() != 8) return std::nullopt;
  std::uint32_t crc = 0;
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, crc, 16);
  if (error != std::errc() || stop != end) return std::nullopt;
  return crc;
}

// A value as it stood in the text. Lists hold strings or scalars, never lists or objects; only
// a list of CRCs means anything, so a list keeps the CRCs alone (four bytes an item, for
// manifests of millions of chunks) and where the first item that is none stood.
struct RawValue {
  enum class Kind { Number, String, List, Literal } kind = Kind::Literal;
  std::string text;  // a number's digits, a string's content with its escapes decoded
  std::vector<std::uint32_t> crcs;
  std::size_t item_count = 0;
  std::optional<std::size_t> first_not_crc;
};

// A string's content as written between its quotes, checked by the reader, with its escapes
// decoded. A lone surrogate becomes U+FFFD, so the result is always UTF-8.
std::string decoded(std::string_view written) {
  std::string text;
  text.reserve(written.size());
  auto hex4 = [&](std::size_t at) {
    std::uint32_t value = 0;
    std::from_chars(written.data() + at, written.data() + at + 4, value, 16);
    return value;
  };
  for (std::size_t at = 0; at < written.size(); ++at) {
    if (written[at] != '\\') {
      text += written[at];
      continue;
    }
    const char escaped = written[++at];
    if (escaped != 'u') {
      constexpr std::string_view kFrom = "\"\\/bfnrt";
      constexpr std::string_view kTo = "\"\\/\b\f\n\r\t";
      text += kTo[kFrom.find(escaped)];
      continue;
    }
    std::uint32_t code_point = hex4(at + 1);
    at += 4;
    if (code_point >= 0xD800 && code_point < 0xDC00 && at + 6 < written.size() &&
        written.substr(at + 1, 2) == "\\u") {
      const std::uint32_t low = hex4(at + 3);
      if (low >= 0xDC00 && low < 0xE000) {
        code_point = 0x10000 + ((code_point - 0xD800) << 10) + (low - 0xDC00);
        at += 6;
      }
    }
    if (code_point >= 0xD800 && code_point < 0xE000) code_point = 0xFFFD;
    char encoded[4];
    text.append(encoded, encode_utf8(code_point, encoded));
  }
  return text;
}

// Reads the one object of a manifest's text into its members; knows JSON, not the fields.
class ObjectReader {
 public:
  explicit ObjectReader(std::string_view text) : text_(text) {}

  Result<std::map<std::string, RawValue, std::less<>>> read() {
    std::map<std::string, RawValue, std::less<>> members;
    skip_space();
    FENDRAL_CHECK(expect('{'));
    skip_space();
    if (peek() == '}') {
      ++position_;
    } else {
      for (;;) {
        skip_space();
        if (peek() != '"') return malformed("expected a field name in double quotes");
        FENDRAL_TRY(const auto written, read_string());
        std::string name = written.escaped ? decoded(written.text) : std::string(written.text);
        skip_space();
        FENDRAL_CHECK(expect(':'));
        skip_space();
        FENDRAL_TRY(RawValue value, read_value(true));
        if (members.contains(name)) {
          return fail(Failure::value_error("Manifest field \"" + name + "\" appears twice"));
        }
        members.emplace(std::move(name), std::move(value));
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
      FENDRAL_TRY(const auto written, read_string());
      RawValue value;
      value.kind = RawValue::Kind::String;
      value.text = written.escaped ? decoded(written.text) : std::string(written.text);
      return value;
    }
    if (first == '-' || (first >= '0' && first <= '9')) return read_number();
    for (std::string_view literal : {"true", "false", "null"}) {
      if (text_.substr(position_, literal.size()) == literal) {
        position_ += literal.size();
        RawValue value;
        value.text = literal;
        return value;
      }
    }
    if (first == '[' && list_allowed) return read_list();
    if (first == '[' || first == '{') return malformed("a manifest holds no nested list or object");
    return malformed("expected a value");
  }

  Result<RawValue> read_list() {
    ++position_;
    RawValue list;
    list.kind = RawValue::Kind::List;
    skip_space();
    if (peek() == ']') {
      ++position_;
      return list;
    }
    for (;;) {
      skip_space();
      std::optional<std::uint32_t> crc;
      if (peek() == '"') {
        FENDRAL_TRY(const auto written, read_string());
        crc = written.escaped ? crc_of_digits(decoded(written.text)) : crc_of_digits(written.text);
      } else {
        FENDRAL_CHECK(read_value(false));
      }
      if (crc && !list.first_not_crc) {
        list.crcs.push_back(*crc);
      } else if (!list.first_not_crc) {
        list.first_not_crc = list.item_count;
        list.crcs = {};  // the manifest is refused: nothing more is kept
      }
      ++list.item_count;
      skip_space();
      if (peek() == ',') {
        ++position_;
        continue;
      }
      FENDRAL_CHECK(expect(']'));
      return list;
    }
  }

  struct WrittenString {
    std::string_view text;  // escapes as written
    bool escaped = false;
  };

  // The content of a string, escapes left as written; the position is on its opening quote.
  Result<WrittenString> read_string() {
    bool escaped_any = false;
    const std::size_t begin = ++position_;
    for (;;) {
      if (position_ >= text_.size()) return malformed("the string is not closed");
      const auto character = static_cast<unsigned char>(text_[position_]);
      if (character == '"') break;
      if (character < 0x20) return malformed("a control character in a string");
      if (character == '\\') {
        escaped_any = true;
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
    return WrittenString{content, escaped_any};
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
    RawValue number;
    number.kind = RawValue::Kind::Number;
    number.text = text_.substr(begin, position_ - begin);
    return number;
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
  if (value.kind != RawValue::Kind::String) return std::nullopt;
  return crc_of_digits(value.text);
}

constexpr const char* kCrcForm = "expected 8 hexadecimal digits in a string";

// The CRCs of the list field `name`, which must hold `wanted` of them (`what` says why).
Result<std::vector<std::uint32_t>> crc_list(RawValue& list, std::string_view name,
                                            std::uint64_t wanted, std::string_view what) {
  if (list.kind != RawValue::Kind::List) return field_error(name, "expected a list");
  if (list.item_count != wanted) {
    return field_error(name, "expected " + std::to_string(wanted) + " CRCs (" + std::string(what) +
                                 "), got " + std::to_string(list.item_count));
  }
  if (list.first_not_crc) {
    return field_error(name, "item " + std::to_string(*list.first_not_crc) + ": " + kCrcForm);
  }
  return std::move(list.crcs);
}

}  // namespace

std::string manifest_to_json(const Manifest& manifest) {
  std::string text = "{\"version\": " + std::to_string(kFormatVersion) +
                     ", \"chunk_size\": " + std::to_string(manifest.chunk_size) +
                     ", \"size\": " + std::to_string(manifest.size) +
                     ", \"count\": " + std::to_string(manifest.count()) + ", \"file_crc32c\": \"" +
                     hex_digits(manifest.file_crc32c) + "\", \"crc32c\": [";
  text.reserve(text.size() + (manifest.count() + manifest.parity()) * 12 + 40);
  auto add_crcs = [&](const std::vector<std::uint32_t>& crcs) {
    for (std::size_t index = 0; index < crcs.size(); ++index) {
      if (index > 0) text += ", ";
      text += '"';
      text += hex_digits(crcs[index]);
      text += '"';
    }
    text += ']';
  };
  add_crcs(manifest.crc32c);
  if (manifest.parity() > 0) {
    text += ", \"parity\": " + std::to_string(manifest.parity()) + ", \"parity_crc32c\": [";
    add_crcs(manifest.parity_crc32c);
  }
  text += '}';
  return text;
}

Result<Manifest> manifest_from_json(std::string_view text) {
  FENDRAL_TRY(auto members, ObjectReader(text).read());
  // The version first: a later format may have other fields.
  const auto version = members.find("version");
  if (version == members.end())
    return fail(Failure::value_error("Manifest field \"version\" is missing"));
  if (whole_number(version->second) != kFormatVersion) {
    return field_error("version", "expected 1, the only version this module reads");
  }
  for (const auto& [name, value] : members) {
    if (std::find(std::begin(kFields), std::end(kFields), name) == std::end(kFields) &&
        std::find(std::begin(kParityFields), std::end(kParityFields), name) ==
            std::end(kParityFields)) {
      return fail(
          Failure::value_error("Manifest field \"" + std::string(name) + "\" is not known"));
    }
  }
  for (std::string_view name : kFields) {
    if (!members.contains(name)) {
      return fail(Failure::value_error("Manifest field \"" + std::string(name) + "\" is missing"));
    }
  }
  // The parity fields come together or not at all.
  if (members.contains("parity") != members.contains("parity_crc32c")) {
    const std::string_view absent = members.contains("parity") ? "parity_crc32c" : "parity";
    return fail(Failure::value_error("Manifest field \"" + std::string(absent) + "\" is missing"));
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
  const std::uint64_t chunks_needed = chunks_in(manifest.size, manifest.chunk_size);
  if (*count != chunks_needed) {
    return field_error("count", "expected " + std::to_string(chunks_needed) + " for a size of " +
                                    std::to_string(manifest.size) + " in chunks of " +
                                    std::to_string(manifest.chunk_size) + ", got " +
                                    std::to_string(*count));
  }
  FENDRAL_TRY(manifest.crc32c,
              crc_list(members.find("crc32c")->second, "crc32c", *count, "the count"));
  if (members.contains("parity")) {
    const auto parity = whole_number(members.at("parity"));
    if (!parity) return field_error("parity", kWhole);
    FENDRAL_TRY(manifest.parity_crc32c, crc_list(members.find("parity_crc32c")->second,
                                                 "parity_crc32c", *parity, "the parity"));
    FENDRAL_CHECK(check_parity_of(manifest));
  }
  const std::uint32_t combined = combined_crc(manifest);
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
