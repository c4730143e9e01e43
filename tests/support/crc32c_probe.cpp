// Reads the file argv[1] and prints, for each span OFFSET:LENGTH of it in argv[2...], one line:
// the CRC32C by the processor's instructions ("-" where there are none), by the tables, and
// combined from the CRCs of the span's first third and of the rest.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/crc32c.hpp"
#include "posix/file.hpp"

namespace crc32c = fendral::crc32c;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  auto content = fendral::posix::read_regular_file(argv[1]);
  if (!content) {
    std::fprintf(stderr, "%s\n", content.error().text().c_str());
    return 1;
  }
  const auto* data = reinterpret_cast<const unsigned char*>(content->data());
  for (int argument = 2; argument < argc; ++argument) {
    char* rest = nullptr;
    const std::size_t offset = std::strtoull(argv[argument], &rest, 10);
    const std::size_t length = std::strtoull(rest + 1, nullptr, 10);
    if (offset + length > content->size()) return 2;
    const unsigned char* span = data + offset;
    std::string by_instructions = "-";
    if (auto instructions = crc32c::instruction_extend()) {
      char digits[9];
      std::snprintf(digits, sizeof digits, "%08x", instructions(0, span, length));
      by_instructions = digits;
    }
    const std::size_t third = length / 3;
    const std::uint32_t combined = crc32c::combine(
        crc32c::of(span, third), crc32c::of(span + third, length - third), length - third);
    std::printf("%s %08x %08x\n", by_instructions.c_str(),
                crc32c::extend_with_tables(0, span, length), combined);
  }
  return 0;
}
