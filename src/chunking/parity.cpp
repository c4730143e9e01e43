#include "chunking/parity.hpp"

#include <sched.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "base/crc32c.hpp"
#include "base/propagate.hpp"
#include "posix/file.hpp"
#include "posix/memory.hpp"

namespace fendral::chunking {
namespace {

constexpr std::uint16_t kLastElement = 0xFFFF;
// Data chunks batched before the parity takes them: each pass over a parity chunk serves this
// many bytes of data.
constexpr std::size_t kBatchBytes = 8 << 20;
constexpr std::size_t kMostBatched = 64;
// A batch of transforms this large has left the cache by the time it is transformed: it is
// copied in past the cache.
constexpr std::size_t kStreamedBatch = 16 << 20;
// The strips of all the sources of one pass together, to stay within the second-level cache.
constexpr std::size_t kStripBytes = 256 * 1024;
// Below this much work (bytes of sources times destinations) a second thread costs more than
// it saves.
constexpr std::size_t kWorthASecondThread = 16 << 20;
constexpr std::size_t kBlock = 64;
// Regions shorter than this are multiplied symbol by symbol.
constexpr std::size_t kSmallRegion = 256;
// At most this many parity chunks are made coefficient by coefficient (see parity_order).
constexpr std::uint64_t kMostByCoefficients = 3;

// More than one processor this thread may run on: a process pinned to one gains nothing from
// a second thread.
bool has_a_second_processor() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return std::thread::hardware_concurrency() > 1;
  return CPU_COUNT(&set) > 1;
}

std::uint16_t data_element(std::uint64_t index) {
  return static_cast<std::uint16_t>(index);
}

std::uint16_t parity_element(std::uint64_t index) {
  return static_cast<std::uint16_t>(kLastElement - index);
}

std::size_t batch_capacity_for(std::size_t chunk_size) {
  return std::clamp<std::size_t>(kBatchBytes / std::max<std::size_t>(chunk_size, 1), 1,
                                 kMostBatched);
}

// The part of accumulate() over destinations [first, last) and bytes [begin, end).
void accumulate_part(const std::vector<unsigned char*>& destinations,
                     const std::vector<const unsigned char*>& sources,
                     const std::vector<gf65536::Multiplier>& multipliers, std::size_t first,
                     std::size_t last, std::size_t begin, std::size_t end) {
  const std::size_t count = sources.size();
  std::size_t strip = kStripBytes / std::max<std::size_t>(count, 1);
  strip = std::max(kBlock, strip - strip % kBlock);
  std::vector<const std::uint8_t*> at(count);
  for (std::size_t offset = begin; offset < end; offset += strip) {
    const std::size_t length = std::min(strip, end - offset);
    for (std::size_t k = 0; k < count; ++k) at[k] = sources[k] + offset;
    for (std::size_t j = first; j < last; ++j) {
      gf65536::multiply_add(destinations[j] + offset, at.data(), &multipliers[j * count], count,
                            length);
    }
  }
}

}  // namespace

std::uint16_t parity_coefficient(std::uint64_t data_index, std::uint64_t parity_index) {
  return gf65536::inverse(data_element(data_index) ^ parity_element(parity_index));
}

Result<void> check_symbol_size(std::uint64_t chunk_size) {
  if (chunk_size % 2 == 0) return {};
  return fail(Failure::value_error("parity needs an even chunk_size (two bytes a symbol), got " +
                                   std::to_string(chunk_size)));
}

Result<void> check_parity(std::uint64_t chunk_size, std::uint64_t parity) {
  if (parity == 0) return {};
  FENDRAL_CHECK(check_symbol_size(chunk_size));
  if (parity >= kMostCodedChunks) {
    return fail(Failure::value_error("parity " + std::to_string(parity) + " is more than " +
                                     std::to_string(kMostCodedChunks - 1) +
                                     ", the most parity chunks a chunk set can have"));
  }
  std::uint64_t held = 0;
  if (__builtin_mul_overflow(chunk_size, parity, &held) || !posix::fits_in_memory(held)) {
    return fail(Failure::value_error("the " + std::to_string(parity) + " parity chunks of " +
                                     std::to_string(chunk_size) +
                                     " bytes each are more than this process can hold in memory"));
  }
  return {};
}

void accumulate(const std::vector<unsigned char*>& destinations,
                const std::vector<const unsigned char*>& sources,
                const std::vector<std::uint16_t>& coefficients, std::size_t bytes) {
  if (destinations.empty() || sources.empty() || bytes == 0) return;
  if (bytes < kSmallRegion) {
    // Symbol by symbol: making a constant's tables would cost more than the products.
    for (std::size_t j = 0; j < destinations.size(); ++j) {
      for (std::size_t k = 0; k < sources.size(); ++k) {
        const std::uint16_t c = coefficients[j * sources.size() + k];
        for (std::size_t s = 0; s < bytes / 2; ++s) {
          const std::uint16_t product =
              gf65536::multiply(c, gf65536::symbol_at(sources[k], bytes, s));
          gf65536::set_symbol(destinations[j], bytes, s,
                              gf65536::symbol_at(destinations[j], bytes, s) ^ product);
        }
      }
    }
    return;
  }
  std::vector<gf65536::Multiplier> multipliers;
  multipliers.reserve(coefficients.size());
  for (const std::uint16_t c : coefficients) multipliers.push_back(gf65536::multiplier_of(c));
  const std::size_t wanted = destinations.size();
  const bool worth_two =
      sources.size() * bytes * wanted >= kWorthASecondThread && has_a_second_processor();
  // Half the destinations each, or for one destination half its bytes each.
  std::size_t split_at = wanted / 2;
  std::size_t bytes_split = bytes;
  if (wanted == 1) {
    split_at = 1;
    bytes_split = bytes / 2 - bytes / 2 % kBlock;
  }
  if (worth_two && split_at > 0 && bytes_split > 0) {
    try {
      std::thread helper([&] {
        if (wanted == 1) {
          accumulate_part(destinations, sources, multipliers, 0, 1, bytes_split, bytes);
        } else {
          accumulate_part(destinations, sources, multipliers, split_at, wanted, 0, bytes);
        }
      });
      accumulate_part(destinations, sources, multipliers, 0, split_at, 0, bytes_split);
      helper.join();
      return;
    } catch (const std::system_error&) {
      // No thread to be had: all of it here.
    }
  }
  accumulate_part(destinations, sources, multipliers, 0, wanted, 0, bytes);
}

std::vector<std::uint16_t> cauchy_inverse(const std::vector<std::uint16_t>& x,
                                          const std::vector<std::uint16_t>& y) {
  using gf65536::multiply;
  const std::size_t n = x.size();
  std::vector<std::uint16_t> across_x(n, 1), across_y(n, 1), among_x(n, 1), among_y(n, 1);
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t k = 0; k < n; ++k) {
      across_x[a] = multiply(across_x[a], x[a] ^ y[k]);
      across_y[a] = multiply(across_y[a], x[k] ^ y[a]);
      if (k != a) {
        among_x[a] = multiply(among_x[a], x[a] ^ x[k]);
        among_y[a] = multiply(among_y[a], y[a] ^ y[k]);
      }
    }
  }
  // Row i, column j: across_x[j] across_y[i] / ((x_j + y_i) among_x[j] among_y[i]).
  std::vector<std::uint16_t> inverse(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const std::uint16_t above = multiply(across_x[j], across_y[i]);
      const std::uint16_t below = multiply(multiply(x[j] ^ y[i], among_x[j]), among_y[i]);
      inverse[i * n + j] = gf65536::divide(above, below);
    }
  }
  return inverse;
}

namespace {

// Scratch of one thread's part of a pass: the regions of a group, one source per group, and
// room for a strip of every chunk of a batch (so the batch is only read: none of its memory
// is written back).
struct Scratch {
  std::vector<unsigned char*> group;
  std::vector<const unsigned char*> sources;
  posix::ByteBuffer strips;
};

// Runs part(begin, end, scratch) over [0, bytes), split at a whole block between this thread
// and another when `work` (bytes times products) is worth a second thread.
template <typename Part>
void over_two_threads(std::size_t bytes, std::size_t work, Scratch (&scratch)[2],
                      const Part& part) {
  const std::size_t split = bytes / 2 - bytes / 2 % kBlock;
  if (work >= kWorthASecondThread && split > 0 && has_a_second_processor()) {
    try {
      std::thread helper([&] { part(split, bytes, scratch[1]); });
      part(0, split, scratch[0]);
      helper.join();
      return;
    } catch (const std::system_error&) {
      // No thread to be had: all of it here.
    }
  }
  part(0, bytes, scratch[0]);
}

std::size_t strip_for(std::size_t regions) {
  const std::size_t strip = kStripBytes / std::max<std::size_t>(regions, 1);
  return std::max(kBlock, strip - strip % kBlock);
}

}  // namespace

ParityEncoder::ParityEncoder(std::uint64_t chunk_size, std::uint64_t parity)
    : ParityEncoder(chunk_size, parity, parity_order(chunk_size, parity)) {}

ParityEncoder::ParityEncoder(std::uint64_t chunk_size, std::uint64_t parity, unsigned order)
    : chunk_size_(static_cast<std::size_t>(chunk_size)),
      parity_(parity),
      transform_(parity, order),
      by_coefficients_(order == 0) {
  const std::size_t group = transform_.group_size();
  batch_capacity_ = order == 0
                        ? batch_capacity_for(chunk_size_)
                        : group * std::clamp<std::size_t>(
                                      kBatchBytes / std::max<std::size_t>(group * chunk_size_, 1),
                                      1, std::max<std::size_t>(kMostBatched / group, 1));
  sums_.reserve(transform_.sums());
  for (std::size_t k = 0; k < transform_.sums(); ++k) {
    sums_.emplace_back(chunk_size_);
    if (chunk_size_ != 0) std::memset(sums_.back().data(), 0, chunk_size_);
  }
}

Result<void> ParityEncoder::add(const unsigned char* data, std::size_t size) {
  if (added_ + parity_ >= kMostCodedChunks) {
    return fail(Failure::value_error("parity " + std::to_string(parity_) + " allows at most " +
                                     std::to_string(kMostCodedChunks - parity_) +
                                     " data chunks, and the file has more in chunks of " +
                                     std::to_string(chunk_size_)));
  }
  if (!by_coefficients_ && added_ == transform_.first_untransformed()) {
    // This chunk and the rest share a coset with the parity: the sums become the parity now.
    flush();
    sums_to_values();
  }
  if (batch_.empty()) batch_ = posix::ByteBuffer(batch_capacity_ * chunk_size_);
  unsigned char* slot = batch_.data() + batched_ * chunk_size_;
  if (by_coefficients_ || batch_capacity_ * chunk_size_ < kStreamedBatch) {
    if (size != 0) std::memcpy(slot, data, size);
  } else {
    copy_past_the_cache(slot, data, size);
  }
  if (size < chunk_size_) std::memset(slot + size, 0, chunk_size_ - size);
  ++batched_;
  ++added_;
  if (batched_ == batch_capacity_) flush();
  return {};
}

void ParityEncoder::flush() {
  if (batched_ == 0) return;
  if (by_coefficients_) {
    flush_by_coefficients();
  } else {
    flush_by_transforms();
  }
  batched_ = 0;
}

void ParityEncoder::flush_by_coefficients() {
  const std::uint64_t first = added_ - batched_;
  std::vector<unsigned char*> destinations;
  std::vector<const unsigned char*> sources;
  std::vector<std::uint16_t> coefficients;
  for (std::uint64_t j = 0; j < parity_; ++j) {
    destinations.push_back(sums_[transform_.sum_of_parity(j)].data());
  }
  for (std::size_t k = 0; k < batched_; ++k) sources.push_back(batch_.data() + k * chunk_size_);
  for (std::uint64_t j = 0; j < parity_; ++j) {
    for (std::size_t k = 0; k < batched_; ++k) {
      coefficients.push_back(parity_coefficient(first + k, j));
    }
  }
  accumulate(destinations, sources, coefficients, chunk_size_);
}

// Strip by strip, so that a strip of every chunk of the batch and of every sum stays in the
// cache: each group's values to coefficients in place, then each sum takes every group's
// coefficients, scaled.
void ParityEncoder::flush_by_transforms() {
  const std::size_t group = transform_.group_size();
  const std::size_t groups = (batched_ + group - 1) / group;
  const std::size_t cosets = transform_.cosets();
  unsigned char* const batch = batch_.data();
  // The chunks after the last of the file count as zeros.
  if (groups * group > batched_) {
    std::memset(batch + batched_ * chunk_size_, 0, (groups * group - batched_) * chunk_size_);
  }
  const std::uint64_t first_group = (added_ - batched_) >> transform_.order();
  std::vector<ParityTransform::Butterflies> butterflies;
  for (std::size_t g = 0; g < groups; ++g) {
    butterflies.push_back(transform_.butterflies(
        static_cast<std::uint16_t>((first_group + g) << transform_.order())));
  }
  std::vector<gf65536::Multiplier> scales;  // coset by coset, group by group
  for (std::size_t h = 0; h < cosets; ++h) {
    for (std::size_t g = 0; g < groups; ++g) {
      scales.push_back(gf65536::multiplier_of(transform_.scale(first_group + g, h)));
    }
  }
  const std::size_t strip = strip_for((groups + cosets) * group);
  Scratch scratch[2];
  for (Scratch& s : scratch) {
    s.group.resize(group);
    s.sources.resize(groups);
    s.strips = posix::ByteBuffer(groups * group * strip);
  }
  const auto part = [&](std::size_t begin, std::size_t end, Scratch& s) {
    for (std::size_t offset = begin; offset < end; offset += strip) {
      const std::size_t length = std::min(strip, end - offset);
      for (std::size_t g = 0; g < groups; ++g) {
        for (std::size_t u = 0; u < group; ++u) {
          s.group[u] = s.strips.data() + (g * group + u) * strip;
          std::memcpy(s.group[u], batch + (g * group + u) * chunk_size_ + offset, length);
        }
        transform_.to_coefficients(s.group.data(), butterflies[g], length);
      }
      for (std::size_t h = 0; h < cosets; ++h) {
        for (std::size_t u = 0; u < group; ++u) {
          for (std::size_t g = 0; g < groups; ++g) {
            s.sources[g] = s.strips.data() + (g * group + u) * strip;
          }
          gf65536::multiply_add(sums_[h * group + u].data() + offset, s.sources.data(),
                                &scales[h * groups], groups, length);
        }
      }
    }
  };
  over_two_threads(chunk_size_, groups * group * chunk_size_ * (transform_.order() / 2 + cosets),
                   scratch, part);
}

void ParityEncoder::sums_to_values() {
  const std::size_t group = transform_.group_size();
  const std::size_t strip = strip_for(group);
  Scratch scratch[2];
  for (Scratch& s : scratch) s.group.resize(group);
  for (std::size_t h = 0; h < transform_.cosets(); ++h) {
    const auto butterflies = transform_.butterflies(
        static_cast<std::uint16_t>((transform_.first_coset() + h) << transform_.order()));
    const auto part = [&](std::size_t begin, std::size_t end, Scratch& s) {
      for (std::size_t offset = begin; offset < end; offset += strip) {
        for (std::size_t u = 0; u < group; ++u) s.group[u] = sums_[h * group + u].data() + offset;
        transform_.to_values(s.group.data(), butterflies, std::min(strip, end - offset));
      }
    };
    over_two_threads(chunk_size_, group * chunk_size_ * transform_.order(), scratch, part);
  }
  by_coefficients_ = true;
}

std::vector<posix::ByteBuffer> ParityEncoder::finish() {
  flush();
  if (!by_coefficients_) sums_to_values();
  batch_ = posix::ByteBuffer();
  std::vector<posix::ByteBuffer> parity;
  parity.reserve(static_cast<std::size_t>(parity_));
  for (std::uint64_t j = 0; j < parity_; ++j) {
    parity.push_back(std::move(sums_[transform_.sum_of_parity(j)]));
  }
  sums_.clear();
  return parity;
}

unsigned parity_order(std::uint64_t chunk_size, std::uint64_t parity) {
  // Groups of the power of two at or above the parity: the parity then lies in one coset, and
  // each data byte costs order / 2 butterflies and one product. A group of half as many (with
  // the sums over two cosets) held a quarter less but, on 1 MiB chunks, took 15 to 25 % longer:
  // the sums, larger than the cache, pass through memory once a group.
  // Up to three parity chunks the transforms' butterflies cost more than the products they
  // save: coefficient by coefficient was 12 to 22 % faster over 1 MiB chunks (and as fast at
  // four), with less held.
  if (parity <= kMostByCoefficients) return 0;
  unsigned order = 0;
  while (order < 15 && (std::uint64_t{1} << order) < parity) ++order;
  for (; order > 0; --order) {
    const ParityTransform transform(parity, order);
    std::uint64_t held = 0;
    if (!__builtin_mul_overflow(transform.sums() + transform.group_size(), chunk_size, &held) &&
        posix::fits_in_memory(held)) {
      break;
    }
  }
  return order;
}

namespace {

// Reads `wanted` bytes at `offset` into `into` and fills the rest of its `room` with zeros; a
// file that ends before them is a fault of the caller's bookkeeping, reported as such.
Result<void> read_padded(int fd, unsigned char* into, std::size_t wanted, std::size_t room,
                         std::uint64_t offset) {
  FENDRAL_TRY(const std::size_t got, posix::read_full_at(fd, into, wanted, offset));
  if (got != wanted) {
    return fail(Failure::value_error("a chunk ended " + std::to_string(wanted - got) +
                                     " bytes short while the missing chunks were rebuilt"));
  }
  if (wanted < room) std::memset(into + wanted, 0, room - wanted);
  return {};
}

}  // namespace

Result<void> rebuild_missing(const RebuildFiles& files, const Manifest& manifest,
                             const std::vector<std::uint64_t>& missing,
                             const std::vector<std::uint64_t>& present_parity) {
  const std::size_t lost = missing.size();
  if (lost == 0) return {};
  const auto chunk_size = static_cast<std::size_t>(manifest.chunk_size);
  // What the chosen parity chunks hold beyond the lost chunks' share: each starts as the parity
  // chunk and takes in every data chunk there is.
  std::vector<posix::ByteBuffer> syndromes;
  std::vector<unsigned char*> syndrome_data;
  std::vector<std::uint16_t> x, y;
  for (std::size_t j = 0; j < lost; ++j) {
    syndromes.emplace_back(chunk_size);
    syndrome_data.push_back(syndromes.back().data());
    FENDRAL_CHECK(read_padded(files.parity_fd, syndromes.back().data(), chunk_size, chunk_size,
                              present_parity[j] * chunk_size));
    x.push_back(data_element(missing[j]));
    y.push_back(parity_element(present_parity[j]));
  }
  const std::size_t capacity = batch_capacity_for(chunk_size);
  posix::ByteBuffer batch(capacity * chunk_size);
  std::vector<const unsigned char*> sources;
  std::vector<std::uint64_t> batched;
  auto take_batch = [&] {
    std::vector<std::uint16_t> coefficients;
    for (std::size_t j = 0; j < lost; ++j) {
      for (const std::uint64_t index : batched) {
        coefficients.push_back(parity_coefficient(index, present_parity[j]));
      }
    }
    accumulate(syndrome_data, sources, coefficients, chunk_size);
    sources.clear();
    batched.clear();
  };
  std::size_t next_missing = 0;
  for (std::uint64_t index = 0; index < manifest.count(); ++index) {
    if (next_missing < lost && missing[next_missing] == index) {
      ++next_missing;
      continue;
    }
    unsigned char* slot = batch.data() + sources.size() * chunk_size;
    FENDRAL_CHECK(read_padded(files.data_fd, slot,
                              static_cast<std::size_t>(manifest.chunk_bytes(index)), chunk_size,
                              index * chunk_size));
    sources.push_back(slot);
    batched.push_back(index);
    if (sources.size() == capacity) take_batch();
  }
  if (!sources.empty()) take_batch();
  batch = posix::ByteBuffer();

  // The syndromes are the lost chunks times the Cauchy matrix of their elements and the chosen
  // parity's: its inverse gives them back.
  const std::vector<std::uint16_t> inverse = cauchy_inverse(x, y);
  std::vector<const unsigned char*> syndrome_sources(syndrome_data.begin(), syndrome_data.end());
  posix::ByteBuffer rebuilt(chunk_size);
  for (std::size_t m = 0; m < lost; ++m) {
    std::memset(rebuilt.data(), 0, chunk_size);
    std::vector<std::uint16_t> coefficients;
    for (std::size_t j = 0; j < lost; ++j) coefficients.push_back(inverse[j * lost + m]);
    accumulate({rebuilt.data()}, syndrome_sources, coefficients, chunk_size);
    const std::uint64_t index = missing[m];
    const auto bytes = static_cast<std::size_t>(manifest.chunk_bytes(index));
    const std::uint32_t crc = crc32c::of(rebuilt.data(), bytes);
    if (crc != manifest.crc32c[index]) {
      return fail(Failure::value_error(
          "Chunk at index " + std::to_string(index) + " was rebuilt with CRC32C " + crc_text(crc) +
          ", but the manifest lists " + crc_text(manifest.crc32c[index]) +
          ": a parity chunk does not belong to this manifest"));
    }
    FENDRAL_CHECK(posix::write_all_at(files.data_fd, rebuilt.data(), bytes, index * chunk_size));
  }
  return {};
}

}  // namespace fendral::chunking
