// Test helper: answers metadata read and write requests, one line each, so that the tests can
// drive the reader and the writer with arbitrary bytes from Python.
//
//   R <hex text>              ->  OK <record>  |  ERR <hex message>
//   W <record>                ->  JSON <hex bytes>
//
// A record is "x<hex original_file> x<hex output_prefix> <chunk_count> x<hex split_type>
// x<hex split_value>" followed by one "x<hex path>" per chunk path. Every answer is flushed at
// once, so one process serves a whole test session.
#include <charconv>
#include <cstdint>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "video/metadata.hpp"

namespace {

using fendral::video::Mp4ChunkMetadata;

std::string to_hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0xF]);
  }
  return out;
}

std::optional<std::string> from_hex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out(hex.size() / 2, '\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, value, 16);
    if (ec != std::errc() || end != hex.data() + 2 * i + 2) return std::nullopt;
    out[i] = static_cast<char>(value);
  }
  return out;
}

std::string encode_record(const Mp4ChunkMetadata& record) {
  std::string out = "x" + to_hex(record.original_file) + " x" + to_hex(record.output_prefix) + " " +
                    std::to_string(record.chunk_count) + " x" + to_hex(record.split_type) + " x" +
                    to_hex(record.split_value);
  for (const std::string& path : record.chunk_paths) out += " x" + to_hex(path);
  return out;
}

std::optional<std::string> decode_text_token(std::string_view token) {
  if (token.empty() || token.front() != 'x') return std::nullopt;
  return from_hex(token.substr(1));
}

std::optional<Mp4ChunkMetadata> decode_record(std::string_view fields) {
  std::vector<std::string> tokens;
  std::istringstream stream{std::string(fields)};
  for (std::string token; stream >> token;) tokens.push_back(token);
  if (tokens.size() < 5) return std::nullopt;
  Mp4ChunkMetadata record;
  auto original_file = decode_text_token(tokens[0]);
  auto output_prefix = decode_text_token(tokens[1]);
  auto split_type = decode_text_token(tokens[3]);
  auto split_value = decode_text_token(tokens[4]);
  const auto [end, ec] =
      std::from_chars(tokens[2].data(), tokens[2].data() + tokens[2].size(), record.chunk_count);
  if (!original_file || !output_prefix || !split_type || !split_value || ec != std::errc() ||
      end != tokens[2].data() + tokens[2].size()) {
    return std::nullopt;
  }
  record.original_file = std::move(*original_file);
  record.output_prefix = std::move(*output_prefix);
  record.split_type = std::move(*split_type);
  record.split_value = std::move(*split_value);
  for (std::size_t i = 5; i < tokens.size(); ++i) {
    auto path = decode_text_token(tokens[i]);
    if (!path) return std::nullopt;
    record.chunk_paths.push_back(std::move(*path));
  }
  return record;
}

std::string answer(std::string_view request) {
  if (request.starts_with("R ")) {
    const auto text = from_hex(request.substr(2));
    if (!text) return "BAD hex";
    const auto record = fendral::video::read_metadata(*text);
    if (!record) return "ERR " + to_hex(record.error());
    return "OK " + encode_record(*record);
  }
  if (request.starts_with("W ")) {
    const auto record = decode_record(request.substr(2));
    if (!record) return "BAD record";
    return "JSON " + to_hex(fendral::video::metadata_to_json(*record));
  }
  return "BAD request";
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  for (std::string line; std::getline(std::cin, line);) {
    std::cout << answer(line) << '\n' << std::flush;
  }
  return 0;
}
