// How much memory this process can ever hold, so that a read that could never fit is refused
// before it starts rather than ended by the kernel part-way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fendral::posix {

// The least of: the machine's memory and swap, the memory limit of the process's cgroup (v2
// memory.max, v1 memory.limit_in_bytes, of its own cgroup and those above it) and its
// address-space and data-segment limits (RLIMIT_AS, RLIMIT_DATA).
std::uint64_t memory_bound();

// False when `size` bytes are more than memory_bound().
bool fits_in_memory(std::uint64_t size);

// Why `what`, `size` bytes long, cannot be held in memory; nothing when it may fit.
std::optional<std::string> beyond_memory(std::string_view what, std::uint64_t size);

// The text for memory running out part-way through reading `what`.
std::string out_of_memory_reading(std::string_view what);

}  // namespace fendral::posix
