// Renders the record as metadata.json, byte for byte stable so that files written by different
// runs compare equal.
#include <charconv>
#include <string>
#include <string_view>

#include "video/metadata.hpp"

namespace fendral::video {
namespace {

// The escape for `byte`, or an empty view when it is copied unchanged. Only the quote, the
// backslash and control bytes are escaped: "/", DEL and non-ASCII bytes stay raw.
std::string_view escape_for(unsigned char byte) {
  static constexpr std::string_view kControlEscapes[0x20] = {
      "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
      "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
      "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
      "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
  };
  if (byte < 0x20) return kControlEscapes[byte];
  if (byte == '"') return "\\\"";
  if (byte == '\\') return "\\\\";
  return {};
}

void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string_view escape = escape_for(static_cast<unsigned char>(text[i]));
    if (escape.empty()) continue;
    out.append(text.substr(run_start, i - run_start));
    out.append(escape);
    run_start = i + 1;
  }
  out.append(text.substr(run_start));
  out.push_back('"');
}

void append_key(std::string& out, std::string_view name, bool first) {
  out.append(first ? "\n  \"" : ",\n  \"");
  out.append(name);
  out.append("\": ");
}

}  // namespace

std::string metadata_to_json(const Mp4ChunkMetadata& metadata) {
  std::string out;
  out.reserve(128);
  out.push_back('{');

  append_key(out, "original_file", true);
  append_json_string(out, metadata.original_file);
  append_key(out, "output_prefix", false);
  append_json_string(out, metadata.output_prefix);

  append_key(out, "chunk_count", false);
  char digits[24];
  const auto converted = std::to_chars(digits, digits + sizeof digits, metadata.chunk_count);
  out.append(digits, converted.ptr);

  append_key(out, "chunk_paths", false);
  out.push_back('[');
  for (std::size_t i = 0; i < metadata.chunk_paths.size(); ++i) {
    out.append(i == 0 ? "\n    " : ",\n    ");
    append_json_string(out, metadata.chunk_paths[i]);
  }
  if (!metadata.chunk_paths.empty()) out.append("\n  ");
  out.push_back(']');

  append_key(out, "split_type", false);
  append_json_string(out, metadata.split_type);
  append_key(out, "split_value", false);
  append_json_string(out, metadata.split_value);

  out.append("\n}");
  return out;
}

}  // namespace fendral::video
