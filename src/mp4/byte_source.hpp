// Random access to the bytes of one file, whatever holds them: the MP4 reading asks for the
// bytes it needs and knows nothing of where they come from.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fendral::mp4 {

class ByteSource {
 public:
  virtual std::uint64_t size() const = 0;
  // Fills `length` bytes from `offset`; false when they cannot be read (the source keeps why).
  virtual bool read_at(std::uint64_t offset, void* buffer, std::size_t length) = 0;

 protected:
  ~ByteSource() = default;
};

}  // namespace fendral::mp4
