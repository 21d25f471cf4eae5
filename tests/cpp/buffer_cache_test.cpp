// Reuse of released large buffers: which mapping a reservation gets, what a reused buffer reads
// once a state is made in it, and how the memory goes back (lazily, or at once when the address
// space is short).
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "aligned_buffer.hpp"
#include "state/sv.hpp"
#include "stream_store.hpp"

namespace tavro {
namespace {

constexpr size_t MIB = size_t{1} << 20;
// 8 and 16 MiB: both mapped, of different sizes.
constexpr size_t SMALL = size_t{1} << 19;
constexpr size_t LARGE = size_t{1} << 20;
// A quiet NaN with a payload, so a stale amplitude cannot pass for one the code wrote.
const double GARBAGE = std::bit_cast<double>(uint64_t{0x7FF8DEADBEEF0001});

size_t page_size() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// Whether the page holding p is mapped in this process.
bool mapped(const void* p) {
  const uintptr_t page = reinterpret_cast<uintptr_t>(p) & ~(page_size() - 1);
  unsigned char resident = 0;
  return mincore(reinterpret_cast<void*>(page), 1, &resident) == 0 || errno != ENOMEM;
}

void fill_garbage(std::span<Amp> a) { std::fill(a.begin(), a.end(), Amp(GARBAGE, -GARBAGE)); }

// How many amplitudes differ in bits from |index>: exactly (+1.0, +0.0) there and +0.0 elsewhere.
size_t basis_misses(std::span<const Amp> a, size_t index) {
  const Amp one(1.0, 0.0), zero(0.0, 0.0);
  size_t misses = 0;
  for (size_t k = 0; k < a.size(); ++k)
    misses += std::memcmp(&a[k], k == index ? &one : &zero, sizeof(Amp)) != 0;
  return misses;
}

// A reserved buffer at full length, every amplitude garbage, then released: the next
// reservation of its size gets its mapping back. Returns the released data pointer.
const Amp* release_garbage(size_t capacity) {
  AmpBuffer b = AmpBuffer::reserve(capacity);
  b.set_size(capacity);
  fill_garbage(b.span());
  return b.data();
}

class BufferCache : public testing::Test {
 protected:
  void SetUp() override { AmpBuffer::trim_cache(); }
  void TearDown() override { AmpBuffer::trim_cache(); }
};

// A fresh mapping reads zero; the same size again gets the released mapping back, not zeroed;
// a different size does not take it; a small buffer never enters the cache.
TEST_F(BufferCache, ReuseTakesTheReleasedMappingOfTheSameSize) {
  AmpBuffer a = AmpBuffer::reserve(LARGE);
  ASSERT_TRUE(a.ok());
  EXPECT_TRUE(a.zeroed());
  const Amp* first = a.data();
  a = AmpBuffer();
  EXPECT_TRUE(mapped(first));  // kept, not unmapped

  const AmpBuffer other = AmpBuffer::reserve(SMALL);
  EXPECT_NE(other.data(), first);
  EXPECT_TRUE(other.zeroed());

  const AmpBuffer again = AmpBuffer::reserve(LARGE);
  EXPECT_EQ(again.data(), first);
  EXPECT_FALSE(again.zeroed());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(again.data()) % (2 * MIB), 0u);  // still on a huge page

  { const AmpBuffer small = AmpBuffer::reserve(1024); }
  EXPECT_EQ(AmpBuffer::trim_cache(), 0u);
}

// The newest kept mapping of a size comes back first; a third release unmaps the oldest; trim
// unmaps the rest and reports how many.
TEST_F(BufferCache, NewestFirstAndAtMostTwoKept) {
  AmpBuffer p = AmpBuffer::reserve(LARGE), q = AmpBuffer::reserve(LARGE);
  AmpBuffer r = AmpBuffer::reserve(SMALL);
  const Amp *pp = p.data(), *qp = q.data(), *rp = r.data();
  p = AmpBuffer();
  q = AmpBuffer();
  p = AmpBuffer::reserve(LARGE);
  q = AmpBuffer::reserve(LARGE);
  EXPECT_EQ(p.data(), qp);
  EXPECT_EQ(q.data(), pp);

  q = AmpBuffer();  // keeps pp
  p = AmpBuffer();  // keeps qp
  r = AmpBuffer();  // keeps rp, unmaps pp
  EXPECT_FALSE(mapped(pp));
  EXPECT_TRUE(mapped(qp));
  EXPECT_TRUE(mapped(rp));
  const AmpBuffer back = AmpBuffer::reserve(LARGE);
  EXPECT_EQ(back.data(), qp);
  EXPECT_FALSE(back.zeroed());
  const AmpBuffer fresh = AmpBuffer::reserve(LARGE);
  EXPECT_TRUE(fresh.zeroed());
  EXPECT_EQ(AmpBuffer::trim_cache(), 1u);
  EXPECT_FALSE(mapped(rp));
}

// Every constructor that promises a basis state gives exactly it in a buffer that held NaNs;
// 22 qubits (64 MiB) also take the streaming fill wherever the last-level cache is smaller.
struct ZeroCase {
  const char* name;
  uint32_t n;
  bool from_bits;
};
const ZeroCase ZERO_CASES[] = {
    {"zero_19", 19, false}, {"zero_20", 20, false}, {"bits_20", 20, true}, {"zero_22", 22, false}};

class ReusedState : public BufferCache, public testing::WithParamInterface<ZeroCase> {};

TEST_P(ReusedState, BasisStateIsExactAfterGarbage) {
  const auto [name, n, from_bits] = GetParam();
  const Amp* released = release_garbage(size_t{1} << n);
  std::vector<uint8_t> bits(n, 0);
  size_t index = 0;
  if (from_bits) {
    bits[0] = bits[5] = bits[n - 1] = 1;
    index = 1 + (size_t{1} << 5) + (size_t{1} << (n - 1));
  }
  const TavroSV sv = (from_bits ? TavroSV::from_bitstring(bits) : TavroSV::zero(n)).value();
  ASSERT_EQ(sv.amplitudes().data(), released);  // the garbage really was under it
  EXPECT_EQ(basis_misses(sv.amplitudes(), index), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReusedState, testing::ValuesIn(ZERO_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// A clone into a reused buffer has the source's bits, signed zeros and NaN payloads included;
// so does reset_to_zero over garbage written after the reuse.
TEST_F(BufferCache, CloneAndResetAfterReuse) {
  for (const uint32_t n : {20u, 22u}) {
    const size_t len = size_t{1} << n;
    std::vector<Amp> src(len);
    for (size_t k = 0; k < len; ++k)
      src[k] = Amp(k % 7 == 0 ? -0.0 : std::ldexp(static_cast<double>(k), -30),
                   k % 5 == 0 ? GARBAGE : -static_cast<double>(k % 977));
    const TavroSV source = TavroSV::from_amplitudes(n, src).value();
    const Amp* released = release_garbage(len);
    TavroSV copy = source.clone();
    ASSERT_EQ(copy.amplitudes().data(), released) << n;
    EXPECT_EQ(std::memcmp(copy.amplitudes().data(), src.data(), len * sizeof(Amp)), 0) << n;
    fill_garbage(copy.amps());
    copy.reset_to_zero();
    EXPECT_EQ(basis_misses(copy.amplitudes(), 0), 0u) << n;
  }
}

// A forked child inherits the kept mapping: both processes reuse it, each sees only its own
// writes.
TEST_F(BufferCache, ForkedChildReusesItsCopyOfTheCache) {
  constexpr uint32_t N = 20;
  const Amp* released = release_garbage(size_t{1} << N);
  const pid_t pid = fork();
  if (pid == 0) {
    const Amp* again = nullptr;
    {
      auto sv = TavroSV::zero(N);
      if (!sv || sv->amplitudes().data() != released) _exit(1);
      if (basis_misses(sv->amplitudes(), 0) != 0) _exit(2);
      fill_garbage(sv->amps());
      again = sv->amplitudes().data();
    }
    const auto sv = TavroSV::zero(N);
    if (!sv || sv->amplitudes().data() != again) _exit(3);
    _exit(basis_misses(sv->amplitudes(), 0) == 0 ? 0 : 4);
  }
  int status = -1;
  for (int i = 0; i < 3000 && waitpid(pid, &status, WNOHANG) != pid; ++i) usleep(10000);
  if (status == -1) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const TavroSV sv = TavroSV::zero(N).value();
  EXPECT_EQ(sv.amplitudes().data(), released);
  EXPECT_EQ(basis_misses(sv.amplitudes(), 0), 0u);
}

// Threads that reserve, mark and release buffers of one size at once never share a mapping:
// each finds its own marks on every page before it lets the buffer go.
TEST_F(BufferCache, ConcurrentReleasesNeverHandOutAMappingTwice) {
  constexpr size_t CAP = size_t{1} << 18;  // 4 MiB, the smallest mapped size
  const size_t stride = page_size() / sizeof(Amp);
  std::atomic<size_t> clashes{0}, refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        AmpBuffer b = AmpBuffer::reserve(CAP);
        if (!b.ok()) {
          ++refused;
          continue;
        }
        const Amp mark(t, i);
        for (size_t k = 0; k < CAP; k += stride) b.data()[k] = mark;
        std::this_thread::yield();
        for (size_t k = 0; k < CAP; k += stride) clashes += b.data()[k] != mark;
      }
    });
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(clashes.load(), 0u);
  EXPECT_EQ(refused.load(), 0u);
}

// The kernel may take a released buffer's pages back at any time: smaps counts all of them
// as lazily freed, until trim_cache unmaps the mapping.
TEST_F(BufferCache, ReleasedPagesAreLazilyFree) {
  const auto lazy_free_kb = [](const void* p) -> long {
    std::ifstream smaps("/proc/self/smaps");
    const auto at = reinterpret_cast<uintptr_t>(p);
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
      uintptr_t lo = 0, hi = 0;
      char dash = 0;
      if (std::istringstream head(line); head >> std::hex >> lo >> dash >> hi && dash == '-') {
        inside = lo <= at && at < hi;
      } else if (inside && line.starts_with("LazyFree:")) {
        return std::stol(line.substr(9));
      }
    }
    return -1;  // no such mapping, or no LazyFree line
  };
  {
    std::ifstream smaps("/proc/self/smaps");
    const std::string all((std::istreambuf_iterator<char>(smaps)), {});
    if (all.find("\nLazyFree:") == std::string::npos)
      GTEST_SKIP() << "this kernel's smaps has no LazyFree line";
  }
  const Amp* released = release_garbage(LARGE);  // every page written
  const long want_kb = static_cast<long>(LARGE * sizeof(Amp) / 1024);
  EXPECT_GE(lazy_free_kb(released), want_kb);
  EXPECT_EQ(AmpBuffer::trim_cache(), 1u);
  EXPECT_EQ(lazy_free_kb(released), -1);
}

// Room for one mapping but not two: a released buffer kept in the cache must not stand in the
// way of a reservation of another size, which unmaps it and succeeds; with that one held, a
// second reservation is refused, so the limit really is this tight.
TEST_F(BufferCache, AddressSpaceShortageUnmapsKeptBuffers) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "under an address-space limit ASan's allocator aborts instead of throwing";
#endif
  constexpr size_t OTHER = LARGE + LARGE / 4;  // 20 MiB, mapped with 22
  const pid_t pid = fork();
  if (pid == 0) {
    AmpBuffer::trim_cache();
    size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlimit lim{pages * page_size() + 30 * MIB, RLIM_INFINITY};  // 18 + 22 MiB do not fit
    if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(3);
    AmpBuffer a = AmpBuffer::reserve(LARGE);
    if (!a.ok()) _exit(4);
    const Amp* kept = a.data();
    a = AmpBuffer();
    if (!mapped(kept)) _exit(5);
    const AmpBuffer b = AmpBuffer::reserve(OTHER);
    if (!b.ok() || !b.zeroed()) _exit(6);
    if (AmpBuffer::trim_cache() != 0) _exit(7);  // the retry gave the kept one back
    if (AmpBuffer::reserve(LARGE).ok()) _exit(8);
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Streaming zeros and copies on runs below and above the streaming length, 16-byte aligned and
// not: exactly the run is written (bits compared), nothing before or after it.
struct StreamCase {
  size_t offset_doubles;  // 0: 16-byte aligned; 1: 8 bytes off
  size_t m;
};
const StreamCase STREAM_CASES[] = {{0, 0},   {0, 1},    {0, 255}, {0, 256}, {0, 257},
                                   {0, 259}, {0, 1000}, {1, 3},   {1, 256}, {1, 1001}};

class StreamStore : public testing::TestWithParam<StreamCase> {};

TEST_P(StreamStore, WritesExactlyTheRun) {
  const auto [off, m] = GetParam();
  std::vector<double> zero_buf(2 * m + 8, GARBAGE), copy_buf(2 * m + 8, GARBAGE);
  std::vector<Amp> src(m);
  for (size_t k = 0; k < m; ++k) src[k] = Amp(static_cast<double>(k) + 0.5, k % 3 ? -0.0 : -1.0);
  Amp* z = reinterpret_cast<Amp*>(zero_buf.data() + 2 + off);
  Amp* c = reinterpret_cast<Amp*>(copy_buf.data() + 2 + off);
  stream_zero(z, m);
  stream_copy(c, src.data(), m);
  stream_fence();
  const double zero = 0.0;
  for (size_t i = 0; i < zero_buf.size(); ++i) {
    const bool in_run = i >= 2 + off && i < 2 + off + 2 * m;
    EXPECT_EQ(std::memcmp(&zero_buf[i], in_run ? &zero : &GARBAGE, 8), 0) << "zero at " << i;
    const double* want =
        in_run ? reinterpret_cast<const double*>(src.data()) + (i - 2 - off) : &GARBAGE;
    EXPECT_EQ(std::memcmp(&copy_buf[i], want, 8), 0) << "copy at " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, StreamStore, testing::ValuesIn(STREAM_CASES), [](const auto& info) {
  return "off" + std::to_string(info.param.offset_doubles) + "_m" + std::to_string(info.param.m);
});

}  // namespace
}  // namespace tavro
