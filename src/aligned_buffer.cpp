#include "aligned_buffer.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

namespace tavro {
namespace {

constexpr size_t ALIGN = 64;
constexpr size_t HUGE_PAGE = size_t{2} << 20;
// From here on a buffer is a mapping of its own: on huge pages, and kept for reuse when released.
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

// Released mappings kept for the next reservation of the same size, oldest first. Their pages
// are lazily freed: the kernel takes them back when it needs memory, and until then a reuse
// writes into pages that are already there instead of faulting each one in and having the
// kernel zero it.
class MappingCache {
 public:
  // The most recently kept mapping of exactly `bytes`, taken out of the cache; null if none.
  void* take(size_t bytes) {
    const std::lock_guard<std::mutex> hold(lock());
    for (size_t i = count_; i-- > 0;) {
      if (kept_[i].bytes != bytes) continue;
      void* base = kept_[i].base;
      std::copy(kept_.begin() + i + 1, kept_.begin() + count_, kept_.begin() + i);
      --count_;
      return base;
    }
    return nullptr;
  }

  // Keeps a mapping whose contents are no longer needed; the oldest kept one is unmapped when
  // there is no room. Without lazy freeing (a kernel before 4.5 refuses it) the mapping is
  // unmapped at once.
  void keep(void* base, size_t bytes) {
#ifdef MADV_FREE
    if (madvise(base, bytes, MADV_FREE) == 0) {
      Kept evicted{};
      {
        const std::lock_guard<std::mutex> hold(lock());
        if (count_ == KEEP) {
          evicted = kept_[0];
          std::copy(kept_.begin() + 1, kept_.end(), kept_.begin());
          --count_;
        }
        kept_[count_++] = Kept{base, bytes};
      }
      if (evicted.base != nullptr) munmap(evicted.base, evicted.bytes);
      return;
    }
#endif
    munmap(base, bytes);
  }

  // Unmaps every kept mapping; returns how many there were.
  size_t trim() {
    std::array<Kept, KEEP> out{};
    size_t n = 0;
    {
      const std::lock_guard<std::mutex> hold(lock());
      out = kept_;
      n = std::exchange(count_, 0);
    }
    for (size_t i = 0; i < n; ++i) munmap(out[i].base, out[i].bytes);
    return n;
  }

 private:
  struct Kept {
    void* base = nullptr;
    size_t bytes = 0;
  };
  static constexpr size_t KEEP = 2;

  // The mutex, made safe to fork on first use: a fork waits for it, so a child never inherits
  // it held by a thread that the child does not have.
  std::mutex& lock();

  std::mutex mutex_;
  std::array<Kept, KEEP> kept_{};
  size_t count_ = 0;
};

// Constant-initialised and trivially destroyed: buffers released by static destructors at exit
// still find it.
constinit MappingCache CACHE;
static_assert(std::is_trivially_destructible_v<MappingCache>);

std::mutex& MappingCache::lock() {
  static const bool fork_safe = [] {
    pthread_atfork([] { CACHE.mutex_.lock(); }, [] { CACHE.mutex_.unlock(); },
                   [] { CACHE.mutex_.unlock(); });
    return true;
  }();
  (void)fork_safe;
  return mutex_;
}

// A fresh private mapping; when the address space is short (RLIMIT_AS, or an overcommit
// refusal) the kept mappings go back and the mapping is tried once more.
void* map_fresh(size_t bytes) {
  for (bool retried = false;; retried = true) {
    void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base != MAP_FAILED) return base;
    if (retried || errno != ENOMEM || CACHE.trim() == 0) return nullptr;
  }
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
    CACHE.keep(map_base_, map_bytes_);
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
  void* base = CACHE.take(map_bytes);
  const bool fresh = base == nullptr;
  if (fresh && (base = map_fresh(map_bytes)) == nullptr) return b;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(base) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  // A kept mapping still carries this advice.
  if (fresh) madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);
  b.data_ = reinterpret_cast<Amp*>(start);
  b.capacity_ = capacity;
  b.map_base_ = base;
  b.map_bytes_ = map_bytes;
  // A kept mapping's pages read either what they last held or zeros.
  b.zeroed_ = fresh;
  return b;
}

size_t AmpBuffer::trim_cache() { return CACHE.trim(); }

}  // namespace tavro
