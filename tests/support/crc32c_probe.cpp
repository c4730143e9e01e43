// Reads the file argv[1] and prints, for each span OFFSET:LENGTH of it in argv[2...], one line:
// the CRC32C by each way this processor has (fastest first, the tables last), then the CRC
// combined from those of the span's first third and of the rest. The first line names the ways.
#include <cstdio>
#include <cstdlib>

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
  for (const auto& way : crc32c::available_ways()) std::printf("%s ", way.name);
  std::printf("combined\n");
  const auto* data = reinterpret_cast<const unsigned char*>(content->data());
  for (int argument = 2; argument < argc; ++argument) {
    char* rest = nullptr;
    const std::size_t offset = std::strtoull(argv[argument], &rest, 10);
    const std::size_t length = std::strtoull(rest + 1, nullptr, 10);
    if (offset + length > content->size()) return 2;
    const unsigned char* span = data + offset;
    for (const auto& way : crc32c::available_ways()) {
      std::printf("%08x ", way.extend(0, span, length));
    }
    const std::size_t third = length / 3;
    std::printf("%08x\n",
                crc32c::combine(crc32c::of(span, third), crc32c::of(span + third, length - third),
                                length - third));
  }
  return 0;
}
