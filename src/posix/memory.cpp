#include "posix/memory.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

#include "posix/file.hpp"
#include "posix/fs.hpp"

namespace fendral::posix {
namespace {

constexpr std::uint64_t kUnbounded = std::numeric_limits<std::uint64_t>::max();
// No process that runs an interpreter lives on less; smaller files skip the look-ups.
constexpr std::uint64_t kSurelyHeld = 1 << 20;

std::uint64_t machine_memory() {
  struct sysinfo info;
  if (::sysinfo(&info) != 0) return kUnbounded;
  std::uint64_t total = 0;
  if (__builtin_add_overflow(std::uint64_t{info.totalram}, std::uint64_t{info.totalswap}, &total) ||
      __builtin_mul_overflow(total, std::uint64_t{info.mem_unit}, &total)) {
    return kUnbounded;
  }
  return total;
}

std::uint64_t resource_limit(int resource) {
  struct rlimit limit;
  if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnbounded;
  return limit.rlim_cur;
}

// A small text file of the kernel's (a /proc or cgroup file), or nothing.
std::optional<std::string> small_kernel_file(const std::string& path) {
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return std::nullopt;
  std::array<char, 16384> buffer;
  auto got = read_full(fd->get(), buffer.data(), buffer.size());
  if (!got) return std::nullopt;
  return std::string(buffer.data(), *got);
}

// A limit file's number; "max" and anything unreadable mean no limit.
std::uint64_t limit_in(const std::string& path) {
  auto text = small_kernel_file(path);
  if (!text) return kUnbounded;
  std::uint64_t limit = 0;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), limit);
  const bool whole_line = end == text->data() + text->size() || *end == '\n';
  return error == std::errc{} && whole_line ? limit : kUnbounded;
}

// The least limit in `file` of the cgroup `path` (as /proc/self/cgroup names it) under `mount`
// and of the cgroups above it: a parent's limit bounds its children too.
std::uint64_t least_limit_up_from(const std::string& mount, std::string_view path,
                                  std::string_view file) {
  // A path outside this cgroup namespace ("/..") is out of sight: only the mount's root counts.
  if (path.find("/..") != std::string_view::npos) path = "/";
  std::uint64_t least = kUnbounded;
  for (;;) {
    least = std::min(least, limit_in(join_path(mount + std::string(path), file)));
    if (path.empty() || path == "/") return least;
    path = path.substr(0, path.rfind('/'));
  }
}

bool lists_controller(std::string_view controllers, std::string_view wanted) {
  while (!controllers.empty()) {
    const std::size_t comma = controllers.find(',');
    if (controllers.substr(0, comma) == wanted) return true;
    if (comma == std::string_view::npos) break;
    controllers.remove_prefix(comma + 1);
  }
  return false;
}

// Each line of /proc/self/cgroup is "hierarchy:controllers:path"; the unified (v2) hierarchy is
// "0::path". Both kinds are looked at where they are mounted by convention.
std::uint64_t cgroup_limit() {
  auto table = small_kernel_file("/proc/self/cgroup");
  if (!table) return kUnbounded;
  std::uint64_t least = kUnbounded;
  std::string_view lines = *table;
  while (!lines.empty()) {
    const std::size_t end = lines.find('\n');
    const std::string_view line = lines.substr(0, end);
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (line.substr(0, first) == "0" && controllers.empty()) {
      least = std::min(least, least_limit_up_from("/sys/fs/cgroup", path, "memory.max"));
    } else if (lists_controller(controllers, "memory")) {
      least = std::min(least,
                       least_limit_up_from("/sys/fs/cgroup/memory", path, "memory.limit_in_bytes"));
    }
  }
  return least;
}

}  // namespace

std::uint64_t memory_bound() {
  return std::min(
      {machine_memory(), cgroup_limit(), resource_limit(RLIMIT_AS), resource_limit(RLIMIT_DATA)});
}

bool fits_in_memory(std::uint64_t size) {
  return size <= kSurelyHeld || size <= memory_bound();
}

std::optional<std::string> beyond_memory(std::string_view what, std::uint64_t size) {
  if (size <= kSurelyHeld) return std::nullopt;
  const std::uint64_t bound = memory_bound();
  if (size <= bound) return std::nullopt;
  return std::string(what) + " holds " + std::to_string(size) + " bytes, more than the " +
         std::to_string(bound) + " bytes of memory this process can have";
}

std::string out_of_memory_reading(std::string_view what) {
  return "Out of memory while reading " + std::string(what);
}

}  // namespace fendral::posix
