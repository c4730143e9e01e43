#include "posix/child_output.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <vector>

#include "posix/interruption.hpp"

namespace fendral::posix {

IoResult<Pipe> create_pipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return errno_error(errno);
  return Pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
}

IoResult<ExitStatus> watch_child(ChildProcess& child, std::span<const int> read_ends,
                                 OutputWatcher& watcher, int tick_milliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto tick = std::chrono::milliseconds(tick_milliseconds);
  std::vector<pollfd> watched;
  for (const int fd : read_ends) watched.push_back({fd, POLLIN, 0});
  std::size_t open_ends = watched.size();
  auto next_tick = Clock::now() + tick;
  std::array<char, 16384> buffer;
  const auto stop_with = [&](int code) -> IoResult<ExitStatus> {
    child.stop();
    return errno_error(code);
  };
  while (open_ends > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - Clock::now());
    const int ready = ::poll(watched.data(), watched.size(),
                             static_cast<int>(std::max<std::int64_t>(0, left.count())));
    if (ready < 0) {
      if (errno != EINTR) return stop_with(errno);
      if (!resume_after_signal()) return stop_with(EINTR);
      continue;
    }
    for (std::size_t stream = 0; stream < watched.size(); ++stream) {
      pollfd& entry = watched[stream];
      if (entry.fd < 0 || entry.revents == 0) continue;
      auto got = read_some(entry.fd, buffer.data(), buffer.size());
      if (!got) return stop_with(got.error().os_code().value_or(EIO));
      if (*got == 0) {
        entry.fd = -1;  // poll skips negative descriptors
        --open_ends;
        continue;
      }
      if (!watcher.output(stream, std::string_view(buffer.data(), *got))) {
        return stop_with(ECANCELED);
      }
    }
    if (Clock::now() >= next_tick) {
      if (!watcher.tick()) return stop_with(ECANCELED);
      next_tick = Clock::now() + tick;
    }
  }
  auto status = child.wait();
  if (status && !watcher.tick()) return errno_error(ECANCELED);
  return status;
}

}  // namespace fendral::posix
