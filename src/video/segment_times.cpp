#include "video/segment_times.hpp"

#include <limits>

namespace fendral::video {

namespace {

// Takes one field from the front of `line`: up to the next comma, or between quotes where a
// doubled quote stands for one. Nothing when a quoted field is not closed.
std::optional<std::string> take_field(std::string_view& line) {
  std::string field;
  if (line.starts_with('"')) {
    std::size_t at = 1;
    while (true) {
      const std::size_t quote = line.find('"', at);
      if (quote == std::string_view::npos) return std::nullopt;
      field.append(line.substr(at, quote - at));
      if (quote + 1 < line.size() && line[quote + 1] == '"') {
        field.push_back('"');
        at = quote + 2;
        continue;
      }
      line.remove_prefix(quote + 1);
      break;
    }
  } else {
    const std::size_t comma = line.find(',');
    field = line.substr(0, comma);
    line.remove_prefix(comma == std::string_view::npos ? line.size() : comma);
  }
  if (line.starts_with(',')) line.remove_prefix(1);
  return field;
}

// "12.345678" or "-0.021333" as microseconds: digits, a point and at most six decimals.
std::optional<std::int64_t> microseconds_of(std::string_view text) {
  const bool negative = text.starts_with('-');
  if (negative) text.remove_prefix(1);
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  if (whole.empty() || whole.size() > 12 || fraction.size() > 6) return std::nullopt;
  std::int64_t value = 0;
  for (const char digit : whole) {
    if (digit < '0' || digit > '9') return std::nullopt;
    value = value * 10 + (digit - '0');
  }
  std::int64_t decimals = 0;
  for (std::size_t index = 0; index < 6; ++index) {
    const char digit = index < fraction.size() ? fraction[index] : '0';
    if (digit < '0' || digit > '9') return std::nullopt;
    decimals = decimals * 10 + (digit - '0');
  }
  const std::int64_t total = value * 1'000'000 + decimals;
  return negative ? -total : total;
}

// Calls `visit` with each non-empty line of the list.
template <class Visit>
bool for_each_line(std::string_view list, Visit visit) {
  while (!list.empty()) {
    const std::size_t end = list.find('\n');
    const std::string_view line = list.substr(0, end);
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
    if (!line.empty() && !visit(line)) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> segment_list_names(std::string_view list) {
  std::vector<std::string> names;
  for_each_line(list, [&](std::string_view line) {
    if (auto name = take_field(line); name && !name->empty()) names.push_back(std::move(*name));
    return true;
  });
  return names;
}

std::optional<std::vector<SegmentTime>> read_segment_times(std::string_view list) {
  std::vector<SegmentTime> times;
  const bool read = for_each_line(list, [&](std::string_view line) {
    auto name = take_field(line);
    if (!name || name->empty()) return false;
    const std::size_t comma = line.find(',');
    if (comma == std::string_view::npos) return false;
    const auto start = microseconds_of(line.substr(0, comma));
    const auto end = microseconds_of(line.substr(comma + 1));
    if (!start || !end) return false;
    times.push_back({std::move(*name), {*start, *end}});
    return true;
  });
  if (!read) return std::nullopt;
  return times;
}

}  // namespace fendral::video
