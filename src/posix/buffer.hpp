// Owned byte arrays: a buffer that can be resized in place, so a reader can fill a payload
// directly and trim it to what arrived without copying; and a slab of mapped memory that many
// small payloads share.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
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

// Anonymous memory mapped for many small payloads at once: one mapping, one fault-in and one read
// instead of one allocation each. Each payload cut from it holds a reference; the last one to let
// go unmaps it, so the memory returns to the system whatever state the allocator is in.
class Slab {
 public:
  // Throws std::bad_alloc when the memory cannot be had.
  static std::shared_ptr<Slab> map(std::size_t size) {
    const std::size_t mapped = round_to_pages(size);
    void* data =
        ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
    // shared_ptr deletes the slab itself when it cannot allocate its count.
    return std::shared_ptr<Slab>(new Slab(static_cast<unsigned char*>(data), mapped));
  }
  Slab(const Slab&) = delete;
  Slab& operator=(const Slab&) = delete;
  ~Slab() {
    if (mapped_ != 0) ::munmap(data_, mapped_);
  }

  unsigned char* data() const { return data_; }

  // Gives back the whole pages past the first `used` bytes, so a slab that the file did not fill
  // keeps only what holds data.
  void trim(std::size_t used) {
    const std::size_t kept = round_to_pages(used);
    if (kept >= mapped_) return;
    ::munmap(data_ + kept, mapped_ - kept);
    mapped_ = kept;
  }

 private:
  static constexpr std::size_t kPage = 4096;
  static std::size_t round_to_pages(std::size_t size) { return (size + kPage - 1) & ~(kPage - 1); }
  Slab(unsigned char* data, std::size_t mapped) : data_(data), mapped_(mapped) {}

  unsigned char* data_;
  std::size_t mapped_;
};

// Bytes inside a slab, keeping the slab mapped.
struct SlabSlice {
  std::shared_ptr<Slab> slab;
  const unsigned char* data = nullptr;
  std::size_t size = 0;
};

}  // namespace fendral::posix
