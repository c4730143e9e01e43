// An owned, uninitialised byte array that can be resized in place, so a reader can fill a
// payload directly and trim it to what arrived without copying.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace fendral::posix {

// Faults in the whole pages of [begin, begin + length) for writing in one system call, which
// is much cheaper than taking one fault per page while a read fills them. The contents stay
// as they were. A kernel without the request (before Linux 5.14) just refuses it.
inline void prefault_for_writing(void* begin, std::size_t length) {
#ifdef MADV_POPULATE_WRITE
  constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
  constexpr int kPopulateWrite = 23;
#endif
  constexpr std::uintptr_t kPage = 4096;
  const auto first = (reinterpret_cast<std::uintptr_t>(begin) + kPage - 1) & ~(kPage - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(begin) + length) & ~(kPage - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, kPopulateWrite);
}

class ByteBuffer {
 public:
  ByteBuffer() = default;
  // Throws std::bad_alloc when the memory cannot be had.
  explicit ByteBuffer(std::size_t size) { resize(size); }
  ByteBuffer(const void* data, std::size_t size) : ByteBuffer(size) {
    if (size != 0) std::memcpy(data_, data, size);
  }
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { std::free(data_); }

  unsigned char* data() { return data_; }
  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Keeps the first min(size, new_size) bytes; new bytes are uninitialised.
  void resize(std::size_t new_size) {
    if (new_size == size_) return;
    if (new_size == 0) {
      std::free(std::exchange(data_, nullptr));
      size_ = 0;
      return;
    }
    void* moved = std::realloc(data_, new_size);
    if (moved == nullptr) throw std::bad_alloc();
    data_ = static_cast<unsigned char*>(moved);
    size_ = new_size;
  }

 private:
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace fendral::posix
