#include "posix/program_search.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix/fs.hpp"
#include "posix/interruption.hpp"

namespace fendral::posix {

namespace {

bool is_executable_file(const std::string& path) {
  struct stat info;
  if (retry_on_eintr([&] { return ::stat(path.c_str(), &info); }) != 0) return false;
  if (!S_ISREG(info.st_mode)) return false;
  // Effective ids, as exec itself judges them.
  return ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

std::string default_search_path() {
  std::size_t size = ::confstr(_CS_PATH, nullptr, 0);
  if (size == 0) return {};
  std::string value(size, '\0');
  ::confstr(_CS_PATH, value.data(), size);
  value.resize(size - 1);  // drop the terminator confstr counts
  return value;
}

bool holds_nul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

}  // namespace

Environment Environment::capture() {
  Environment environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    environment.entries_.emplace_back(*entry);
  }
  environment.pointers_.reserve(environment.entries_.size() + 1);
  for (std::string& entry : environment.entries_) environment.pointers_.push_back(entry.data());
  environment.pointers_.push_back(nullptr);
  return environment;
}

const char* Environment::find(std::string_view name) const {
  for (const std::string& entry : entries_) {
    if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=') {
      return entry.c_str() + name.size() + 1;
    }
  }
  return nullptr;
}

IoResult<std::string> find_program(std::string_view name, const Environment& environment) {
  const auto not_found = unexpected(IoError::with_message(ErrorKind::NotFound, kProgramNotFound));
  if (name.empty()) return not_found;
  if (name.find('/') != std::string_view::npos) return std::string(name);

  const char* path_value = environment.find("PATH");
  const std::string search_path = path_value != nullptr ? path_value : default_search_path();
  std::string_view remaining = search_path;
  for (;;) {
    const std::size_t colon = remaining.find(':');
    std::string_view directory = remaining.substr(0, colon);
    if (directory.empty()) directory = ".";
    std::string candidate = join_path(directory, name);
    if (is_executable_file(candidate)) return candidate;
    if (colon == std::string_view::npos) break;
    remaining.remove_prefix(colon + 1);
  }
  return not_found;
}

IoResult<std::string> resolve_command(std::string_view program, std::span<const std::string> args,
                                      const Environment& environment) {
  bool nul_found = holds_nul(program);
  for (const std::string& argument : args) nul_found = nul_found || holds_nul(argument);
  if (nul_found) {
    return unexpected(IoError::with_message(ErrorKind::InvalidInput, kNulInArgument));
  }
  return find_program(program, environment);
}

}  // namespace fendral::posix
