// Reading what a child writes to pipes while it runs, and telling the caller between reads.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "posix/child_process.hpp"
#include "posix/file.hpp"
#include "posix/io_error.hpp"

namespace fendral::posix {

// Both ends close on exec; the write end is handed to a child, which gets its own copy.
struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};
IoResult<Pipe> create_pipe();

class OutputWatcher {
 public:
  // What the child wrote into `stream` (an index into the read ends watched) since the last
  // call. False stops the child.
  virtual bool output(std::size_t stream, std::string_view bytes) = 0;
  // Called at least every tick while the child runs, and once its pipes have ended. False stops
  // the child.
  virtual bool tick() = 0;

 protected:
  ~OutputWatcher() = default;
};

// Reads `read_ends` until each has reached its end, then waits for `child`. The parent's copies
// of the write ends must be closed first, or no end is ever seen. When the watcher asks to
// stop, the child is stopped and reaped and the call fails with ECANCELED; an interruption that
// the thread's policy gives up does the same with EINTR.
IoResult<ExitStatus> watch_child(ChildProcess& child, std::span<const int> read_ends,
                                 OutputWatcher& watcher, int tick_milliseconds);

}  // namespace fendral::posix
