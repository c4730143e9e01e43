// The module's functions on one chunk's worth of data: read_chunk and crc32c.
#include <array>
#include <string>
#include <string_view>

#include "base/crc32c.hpp"
#include "chunking/chunk_stream.hpp"
#include "python/common/binding.hpp"
#include "python/common/convert.hpp"
#include "python/common/module_support.hpp"
#include "python/common/unlocked.hpp"
#include "python/fendral/chunk_type.hpp"
#include "python/fendral_stream/members.hpp"

namespace fendral::python {

PyObject* read_chunk_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 3> kParameters{"path", "chunk_size", "index"};
    FENDRAL_TRY(const auto bound, bind_arguments("read_chunk()", kParameters, args, kwargs));
    FENDRAL_TRY(const auto path, convert_argument(bound[0], "path", to_text_path));
    FENDRAL_TRY(const auto chunk_size, convert_argument(bound[1], "chunk_size", to_u64));
    FENDRAL_TRY(const auto index, convert_argument(bound[2], "index", to_u64));
    FENDRAL_TRY(auto record,
                run_unlocked([&] { return chunking::read_chunk_at(path, chunk_size, index); }));
    if (!record) {
      return pending_error(PyExc_IndexError, "Chunk at index " + std::to_string(index) +
                                                 " is past the end of the file");
    }
    return chunk_from_record(std::move(*record));
  });
}

PyObject* crc32c_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> HostResult<OwnedRef> {
    static constexpr std::array<std::string_view, 2> kParameters{"data", "value"};
    FENDRAL_TRY(const auto bound, bind_arguments("crc32c()", kParameters, args, kwargs, 1));
    std::uint32_t value = 0;
    if (bound[1] != nullptr) {
      FENDRAL_TRY(value, convert_argument(bound[1], "value", to_u32));
    }
    // bytes and bytearray are read where they lie; any other buffer (a memoryview, an array)
    // is copied out once, the only way into it that every supported Python offers.
    OwnedRef held = OwnedRef::borrow(bound[0]);
    if (!PyBytes_Check(held.get()) && !PyByteArray_Check(held.get())) {
      OwnedRef view = OwnedRef::steal(PyMemoryView_FromObject(held.get()));
      if (!view) return captured_error();
      held = OwnedRef::steal(PyBytes_FromObject(view.get()));
      if (!held) return captured_error();
    }
    const bool immutable = PyBytes_Check(held.get());
    const auto* data = reinterpret_cast<const unsigned char*>(
        immutable ? PyBytes_AsString(held.get()) : PyByteArray_AsString(held.get()));
    const auto size = static_cast<std::size_t>(immutable ? PyBytes_Size(held.get())
                                                         : PyByteArray_Size(held.get()));
    // A bytes object cannot change while the lock is away; a bytearray could be resized.
    constexpr std::size_t kWorthUnlocking = 1 << 20;
    std::uint32_t crc = 0;
    if (immutable && size >= kWorthUnlocking) {
      FENDRAL_TRY(crc, run_unlocked([&]() -> Result<std::uint32_t> {
                    return crc32c::extend(value, data, size);
                  }));
    } else {
      crc = crc32c::extend(value, data, size);
    }
    return OwnedRef::steal(expect_object(PyLong_FromUnsignedLong(crc)));
  });
}

}  // namespace fendral::python
