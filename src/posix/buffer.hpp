// Owned byte arrays: a buffer that can be resized in place, so a reader can fill a payload
// directly and trim it to what arrived without copying, or that is a slice of a slab of mapped
// memory which many small payloads share.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "posix/memory.hpp"

namespace fendral::posix {

// The size of a memory page: the unit in which payloads are faulted in and slabs trimmed.
inline constexpr std::size_t kPageSize = 4096;

// Where every payload starts: a multiple of 64 bytes from a page boundary. On some processors
// the kernel's copy into user memory (what a read does) runs markedly slower when the
// destination lies a few bytes past such a boundary, and that is where malloc puts its blocks,
// large mapped ones included (docs/performance.md has the figures).
inline constexpr std::size_t kPayloadAlignment = 64;

inline bool is_payload_aligned(const void* data) {
  return reinterpret_cast<std::uintptr_t>(data) % kPayloadAlignment == 0;
}

// `size` bytes (at least one) on a payload boundary, released with std::free. Throws
// std::bad_alloc when the memory cannot be had.
inline unsigned char* allocate_aligned(std::size_t size) {
  void* data = nullptr;
  if (::posix_memalign(&data, kPayloadAlignment, size) != 0) throw std::bad_alloc();
  return static_cast<unsigned char*>(data);
}

// Faults in the whole pages of [begin, begin + length) for writing, one system call per span of
// up to 1 MiB rather than one fault per page while a read fills them; the contents stay as they
// were. Spans whose pages are all present already are skipped (docs/performance.md). A kernel
// without the request (before Linux 5.14) just refuses it.
inline void prefault_for_writing(void* begin, std::size_t length) {
#ifdef MADV_POPULATE_WRITE
  constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
  constexpr int kPopulateWrite = 23;
#endif
  constexpr std::uintptr_t kPage = kPageSize;
  constexpr std::size_t kSpanPages = 256;
  const auto first = (reinterpret_cast<std::uintptr_t>(begin) + kPage - 1) & ~(kPage - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(begin) + length) & ~(kPage - 1);
  for (std::uintptr_t span = first; span < last; span += kSpanPages * kPage) {
    const std::size_t bytes = std::min<std::uintptr_t>(kSpanPages * kPage, last - span);
    unsigned char present[kSpanPages];
    auto* start = reinterpret_cast<void*>(span);
    if (::mincore(start, bytes, present) == 0 &&
        std::all_of(present, present + bytes / kPage,
                    [](unsigned char page) { return page & 1; })) {
      continue;
    }
    ::madvise(start, bytes, kPopulateWrite);
  }
}

// `bytes`, when that much could ever be held: more than the process can ever hold (memory_bound)
// can never be filled, so asking for it is refused at once (std::bad_alloc) instead of reading
// until the memory runs out.
inline std::size_t within_memory(std::size_t bytes) {
  if (!fits_in_memory(bytes)) throw std::bad_alloc();
  return bytes;
}

// Anonymous memory mapped for many small payloads at once: one mapping, one fault-in and one read
// instead of one allocation each. Every slice cut from it holds a reference; the last one to let
// go unmaps it, so the memory returns to the system whatever state the allocator is in.
class Slab {
 public:
  // A counted reference; an empty one refers to no slab.
  class Ref {
   public:
    Ref() = default;
    Ref(const Ref& other) noexcept : slab_(other.slab_) {
      if (slab_ != nullptr) slab_->references_.fetch_add(1, std::memory_order_relaxed);
    }
    Ref(Ref&& other) noexcept : slab_(std::exchange(other.slab_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
      std::swap(slab_, other.slab_);
      return *this;
    }
    ~Ref() {
      if (slab_ != nullptr && slab_->references_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete slab_;
      }
    }
    Slab* operator->() const { return slab_; }
    explicit operator bool() const { return slab_ != nullptr; }

   private:
    friend class Slab;
    explicit Ref(Slab* slab) : slab_(slab) {}
    Slab* slab_ = nullptr;
  };

  // Throws std::bad_alloc when the memory cannot be had.
  static Ref map(std::size_t size) {
    const std::size_t mapped = round_to_pages(size);
    void* data =
        ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
    try {
      return Ref(new Slab(static_cast<unsigned char*>(data), mapped));
    } catch (...) {
      ::munmap(data, mapped);
      throw;
    }
  }
  Slab(const Slab&) = delete;
  Slab& operator=(const Slab&) = delete;

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
  static std::size_t round_to_pages(std::size_t size) {
    return (size + kPageSize - 1) & ~(kPageSize - 1);
  }
  Slab(unsigned char* data, std::size_t mapped) : data_(data), mapped_(mapped) {}
  ~Slab() {
    if (mapped_ != 0) ::munmap(data_, mapped_);
  }

  unsigned char* data_;
  std::size_t mapped_;
  std::atomic<std::size_t> references_{1};
};

class ByteBuffer {
 public:
  ByteBuffer() = default;
  // Throws std::bad_alloc when the memory cannot be had.
  explicit ByteBuffer(std::size_t size) { resize(size); }
  ByteBuffer(const void* data, std::size_t size) : ByteBuffer(size) {
    if (size != 0) std::memcpy(data_, data, size);
  }
  // The `size` bytes at `offset` in `slab`, which the buffer keeps mapped.
  ByteBuffer(Slab::Ref slab, std::size_t offset, std::size_t size)
      : data_(slab->data() + offset), size_(size), slab_(std::move(slab)) {}
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        slab_(std::move(other.slab_)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      slab_ = std::move(other.slab_);
    }
    return *this;
  }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { release(); }

  unsigned char* data() { return data_; }
  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Keeps the first min(size, new_size) bytes; new bytes are uninitialised.
  void resize(std::size_t new_size) {
    if (new_size == size_) return;
    if (slab_) {
      // A slice cannot grow in place: move the bytes into a buffer of its own.
      ByteBuffer own(new_size);
      if (new_size != 0) std::memcpy(own.data_, data_, std::min(size_, new_size));
      *this = std::move(own);
      return;
    }
    if (new_size == 0) {
      std::free(std::exchange(data_, nullptr));
      size_ = 0;
      return;
    }
    if (data_ == nullptr) {
      data_ = allocate_aligned(new_size);
      size_ = new_size;
      return;
    }
    // glibc shrinks a block in place, so trimming a payload copies nothing; a block that grew
    // and moved to where malloc places blocks is copied once more, to an aligned one.
    auto* moved = static_cast<unsigned char*>(std::realloc(data_, new_size));
    if (moved == nullptr) throw std::bad_alloc();
    const std::size_t kept = std::min(size_, new_size);
    data_ = moved;
    size_ = new_size;
    if (!is_payload_aligned(moved)) {
      unsigned char* aligned = allocate_aligned(new_size);
      std::memcpy(aligned, moved, kept);
      std::free(std::exchange(data_, aligned));
    }
  }

 private:
  void release() {
    if (slab_) {
      slab_ = Slab::Ref();
    } else {
      std::free(data_);
    }
  }

  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  Slab::Ref slab_;  // set when the bytes are a slice of it
};

}  // namespace fendral::posix
