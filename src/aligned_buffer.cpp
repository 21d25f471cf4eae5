#include "aligned_buffer.hpp"

#include <sys/mman.h>
#include <sys/sysinfo.h>

#include <cstdint>
#include <limits>
#include <new>
#include <utility>

namespace tavro {
namespace {

constexpr size_t ALIGN = 64;
constexpr size_t HUGE_PAGE = size_t{2} << 20;
// From here on the memory comes straight from the kernel: zeroed, and on huge pages.
constexpr size_t MMAP_FROM = size_t{4} << 20;

// A request larger than memory plus swap could never be backed; refusing it up front keeps
// an overcommitting kernel from handing out address space that the first write would kill.
bool exceeds_memory(size_t bytes) {
  struct sysinfo si {};
  if (sysinfo(&si) != 0) return false;
  const unsigned __int128 total =
      (static_cast<unsigned __int128>(si.totalram) + si.totalswap) * si.mem_unit;
  return bytes > total;
}

}  // namespace

AmpBuffer::AmpBuffer(AmpBuffer&& o) noexcept { *this = std::move(o); }

AmpBuffer& AmpBuffer::operator=(AmpBuffer&& o) noexcept {
  if (this != &o) {
    release();
    data_ = std::exchange(o.data_, nullptr);
    capacity_ = std::exchange(o.capacity_, 0);
    len_ = std::exchange(o.len_, 0);
    map_base_ = std::exchange(o.map_base_, nullptr);
    map_bytes_ = std::exchange(o.map_bytes_, 0);
    zeroed_ = std::exchange(o.zeroed_, false);
  }
  return *this;
}

AmpBuffer::~AmpBuffer() { release(); }

void AmpBuffer::release() {
  if (map_base_ != nullptr) {
    munmap(map_base_, map_bytes_);
  } else if (data_ != nullptr) {
    ::operator delete (static_cast<void*>(data_), std::align_val_t{ALIGN});
  }
  data_ = nullptr;
  map_base_ = nullptr;
  capacity_ = len_ = map_bytes_ = 0;
}

AmpBuffer AmpBuffer::reserve(size_t capacity) {
  AmpBuffer b;
  if (capacity > std::numeric_limits<size_t>::max() / sizeof(Amp)) return b;
  const size_t bytes = capacity * sizeof(Amp);
  if (bytes < MMAP_FROM) {
    void* p = ::operator new (bytes == 0 ? ALIGN : bytes, std::align_val_t{ALIGN}, std::nothrow);
    if (p == nullptr) return b;
    b.data_ = static_cast<Amp*>(p);
    b.capacity_ = capacity;
    return b;
  }
  if (bytes > std::numeric_limits<size_t>::max() - HUGE_PAGE || exceeds_memory(bytes)) return b;
  // One extra huge page lets the buffer start on a huge-page boundary.
  const size_t map_bytes = bytes + HUGE_PAGE;
  void* base = mmap(nullptr, map_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return b;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(base) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);
  b.data_ = reinterpret_cast<Amp*>(start);
  b.capacity_ = capacity;
  b.map_base_ = base;
  b.map_bytes_ = map_bytes;
  b.zeroed_ = true;
  return b;
}

}  // namespace tavro
