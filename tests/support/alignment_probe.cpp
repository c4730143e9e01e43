// Reads the file argv[1] as chunks of each size argv[2...] and prints, per size, how many
// payloads do not start on a payload boundary (64 bytes), or the error.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "chunking/file_chunking.hpp"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  for (int argument = 2; argument < argc; ++argument) {
    const auto chunk_size = std::strtoull(argv[argument], nullptr, 10);
    auto chunks = fendral::chunking::deconstruct_file(argv[1], chunk_size);
    if (!chunks) {
      std::fprintf(stderr, "%s\n", chunks.error().message.c_str());
      return 1;
    }
    int misaligned = 0;
    for (const auto& chunk : *chunks) {
      misaligned += fendral::posix::is_payload_aligned(chunk.payload.data()) ? 0 : 1;
    }
    std::printf("%d\n", misaligned);
  }
  return 0;
}
