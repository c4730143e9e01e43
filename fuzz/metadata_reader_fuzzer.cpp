// libFuzzer target for the metadata reader. Beyond surviving any input, it checks that a
// refusal always ends with a position inside the text, and that an accepted record survives a
// write and a second read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "video/metadata.hpp"

namespace {

void require(bool condition, const char* what, std::string_view detail) {
  if (condition) return;
  std::fprintf(stderr, "property violated: %s: %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

// Parses the decimal digits at the front of `text` into `value`; false when there are none or
// they overflow.
bool take_number(std::string_view& text, std::size_t& value) {
  std::size_t digits = 0;
  value = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    const std::size_t digit = static_cast<std::size_t>(text[digits] - '0');
    if (value > (SIZE_MAX - digit) / 10) return false;
    value = value * 10 + digit;
    ++digits;
  }
  text.remove_prefix(digits);
  return digits > 0;
}

void check_refusal(std::string_view text, std::string_view message) {
  constexpr std::string_view kLine = " at line ";
  constexpr std::string_view kColumn = " column ";
  const std::size_t at = message.rfind(kLine);
  require(at != std::string_view::npos && at > 0, "refusal without a reason and position", message);
  std::string_view position = message.substr(at + kLine.size());
  std::size_t line = 0;
  std::size_t column = 0;
  require(take_number(position, line) && position.starts_with(kColumn), "malformed line", message);
  position.remove_prefix(kColumn.size());
  require(take_number(position, column) && position.empty(), "malformed column", message);

  std::size_t lines = 1;
  for (const char c : text) lines += c == '\n';
  require(line >= 1 && line <= lines, "line beyond the text", message);
  require(column <= text.size(), "column beyond the text", message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto record = fendral::video::read_metadata(text);
  if (!record) {
    check_refusal(text, record.error());
    return 0;
  }
  const std::string written = fendral::video::metadata_to_json(*record);
  const auto reread = fendral::video::read_metadata(written);
  require(reread.has_value(), "written record refused", reread ? written : reread.error());
  require(*reread == *record, "written record reads back different", written);
  return 0;
}
