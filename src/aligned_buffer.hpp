#pragma once

#include <cstddef>
#include <span>

#include "amp.hpp"

namespace tavro {

// A 64-byte aligned amplitude buffer whose capacity is fixed when it is reserved and whose
// length changes within it. Large buffers are mappings backed by huge pages where the system
// allows. A released mapping is kept for the next reservation of its size (at most two are
// kept, their pages lazily freed), so a fresh mapping arrives zeroed from the kernel and a
// reused one holds whatever it held.
class AmpBuffer {
 public:
  AmpBuffer() = default;
  AmpBuffer(AmpBuffer&& o) noexcept;
  AmpBuffer& operator=(AmpBuffer&& o) noexcept;
  AmpBuffer(const AmpBuffer&) = delete;
  AmpBuffer& operator=(const AmpBuffer&) = delete;
  ~AmpBuffer();

  // Reserves `capacity` amplitudes with length 0; an empty buffer when the request cannot be
  // represented or is refused. `zeroed()` tells whether the whole capacity already reads 0.
  static AmpBuffer reserve(size_t capacity);
  // Unmaps every kept mapping at once and returns how many there were. A reservation whose
  // fresh mapping is refused calls it before its one retry.
  static size_t trim_cache();

  bool ok() const { return data_ != nullptr; }
  bool zeroed() const { return zeroed_; }
  size_t capacity() const { return capacity_; }
  size_t size() const { return len_; }
  // Changes the length only; never moves the amplitudes. Requires len <= capacity.
  void set_size(size_t len) { len_ = len; }

  Amp* data() { return data_; }
  const Amp* data() const { return data_; }
  std::span<Amp> span() { return {data_, len_}; }
  std::span<const Amp> span() const { return {data_, len_}; }

 private:
  void release();

  Amp* data_ = nullptr;
  size_t capacity_ = 0;
  size_t len_ = 0;
  void* map_base_ = nullptr;  // non-null when the memory came from mmap
  size_t map_bytes_ = 0;
  bool zeroed_ = false;
};

}  // namespace tavro
