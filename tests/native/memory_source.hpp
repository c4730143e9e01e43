// A file's bytes held in memory, for the readers of the MP4 and Matroska layouts.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "mp4/byte_source.hpp"

namespace fendral::testing_support {

class MemorySource final : public mp4::ByteSource {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t size() const override { return bytes_.size(); }
  bool read_at(std::uint64_t offset, void* buffer, std::size_t length) override {
    if (offset > bytes_.size() || length > bytes_.size() - offset) return false;
    std::memcpy(buffer, bytes_.data() + offset, length);
    return true;
  }

 private:
  std::string bytes_;
};

}  // namespace fendral::testing_support
