// Test helper: replaces the file argv[1] with "new content" through a ReplacementFile whose first
// temporary name ends in argv[2] (later ones in random digits), so that a test can plant
// something at that name beforehand. Exits with 0 when the replacement was committed.
#include <cstdio>
#include <string>
#include <string_view>

#include "posix/file.hpp"

namespace {

const char* first_suffix = "";
bool first_given = false;

std::string planted_then_random() {
  if (first_given) return fendral::posix::ReplacementFile::unpredictable_suffix();
  first_given = true;
  return first_suffix;
}

}  // namespace

int fail(const fendral::posix::IoError& error) {
  std::fprintf(stderr, "%s\n", error.text().c_str());
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  first_suffix = argv[2];
  auto file = fendral::posix::ReplacementFile::create(argv[1], planted_then_random);
  if (!file) return fail(file.error());
  constexpr std::string_view kContent = "new content";
  if (auto written = fendral::posix::write_all(file->fd(), kContent.data(), kContent.size());
      !written) {
    return fail(written.error());
  }
  if (auto committed = file->commit(); !committed) return fail(committed.error());
  return 0;
}
