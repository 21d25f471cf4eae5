// Reuse of released large buffers: which mapping a reservation gets, what a state made in a
// reused buffer reads, and how the memory goes back (lazily, or at once on a shortage).
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "aligned_buffer.hpp"
#include "state/sv.hpp"
#include "stream_store.hpp"

namespace tavro {
namespace {

constexpr size_t SMALL = size_t{1} << 19, LARGE = size_t{1} << 20;  // 8 and 16 MiB
// A quiet NaN with a payload: a stale amplitude cannot pass for one the code wrote.
const double GARBAGE = std::bit_cast<double>(uint64_t{0x7FF8DEADBEEF0001});

bool mapped(const void* p) {
  const uintptr_t page = reinterpret_cast<uintptr_t>(p) & ~uintptr_t(sysconf(_SC_PAGESIZE) - 1);
  unsigned char v = 0;
  return mincore(reinterpret_cast<void*>(page), 1, &v) == 0 || errno != ENOMEM;
}

// Reserves `capacity` amplitudes, writes garbage to all of them and releases them; returns the
// data pointer the next reservation of that size gets back.
const Amp* release_garbage(size_t capacity) {
  AmpBuffer b = AmpBuffer::reserve(capacity);
  b.set_size(capacity);
  std::fill(b.data(), b.data() + capacity, Amp(GARBAGE, -GARBAGE));
  return b.data();
}

// How many amplitudes differ in bits from |index>: (+1, +0) there, (+0, +0) elsewhere.
size_t basis_misses(std::span<const Amp> a, size_t index) {
  const Amp one(1.0, 0.0), zero(0.0, 0.0);
  size_t misses = 0;
  for (size_t k = 0; k < a.size(); ++k)
    misses += std::memcmp(&a[k], k == index ? &one : &zero, sizeof(Amp)) != 0;
  return misses;
}

class BufferCache : public testing::Test {
 protected:
  void SetUp() override { AmpBuffer::trim_cache(); }
  void TearDown() override { AmpBuffer::trim_cache(); }
};

// Same size: the newest kept mapping comes back, not zeroed, still on a huge-page boundary.
// A third release unmaps the oldest; a small buffer is never kept; trim reports the rest.
TEST_F(BufferCache, NewestOfTheSameSizeFirstAndAtMostTwoKept) {
  AmpBuffer p = AmpBuffer::reserve(LARGE), q = AmpBuffer::reserve(LARGE);
  AmpBuffer r = AmpBuffer::reserve(SMALL);
  EXPECT_TRUE(p.zeroed() && q.zeroed() && r.zeroed());
  const Amp *pp = p.data(), *qp = q.data(), *rp = r.data();
  p = AmpBuffer();
  q = AmpBuffer();
  p = AmpBuffer::reserve(LARGE);
  q = AmpBuffer::reserve(LARGE);
  EXPECT_EQ(p.data(), qp);
  EXPECT_EQ(q.data(), pp);
  EXPECT_FALSE(p.zeroed() || q.zeroed());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p.data()) % (size_t{2} << 20), 0u);
  q = AmpBuffer();  // kept: pp
  p = AmpBuffer();  // kept: pp, qp
  r = AmpBuffer();  // kept: qp, rp
  { const AmpBuffer tiny = AmpBuffer::reserve(1024); }
  EXPECT_FALSE(mapped(pp));
  EXPECT_TRUE(mapped(qp) && mapped(rp));
  EXPECT_EQ(AmpBuffer::reserve(SMALL).data(), rp);
  EXPECT_EQ(AmpBuffer::trim_cache(), 2u);  // qp, and rp again
  EXPECT_FALSE(mapped(qp) || mapped(rp));
}

// Every way a state is made or reset in a reused buffer that held NaNs gives exact bits; 22
// qubits (64 MiB) take the streaming fill and copy where the last-level cache is smaller.
enum class Make { Zero, Bits, Clone, Reset };
struct MakeCase {
  const char* name;
  Make how;
  uint32_t n;
};
const MakeCase MAKE_CASES[] = {{"zero_19", Make::Zero, 19},   {"zero_22", Make::Zero, 22},
                               {"bits_20", Make::Bits, 20},   {"clone_20", Make::Clone, 20},
                               {"clone_22", Make::Clone, 22}, {"reset_20", Make::Reset, 20}};

class ReusedBuffer : public BufferCache, public testing::WithParamInterface<MakeCase> {};

TEST_P(ReusedBuffer, StateBitsAreExact) {
  const auto [name, how, n] = GetParam();
  const size_t len = size_t{1} << n, top = size_t{1} << (n - 1);
  std::vector<Amp> src(len);
  for (size_t k = 0; k < len; ++k)
    src[k] = Amp(k % 7 ? double(k) / 3 : -0.0, k % 5 ? -1.5 : GARBAGE);
  const TavroSV source = TavroSV::from_amplitudes(n, src).value();
  const Amp* released = release_garbage(len);
  std::vector<uint8_t> bits(n, 0);
  bits[0] = bits[n - 1] = 1;
  TavroSV sv = how == Make::Zero   ? TavroSV::zero(n).value()
               : how == Make::Bits ? TavroSV::from_bitstring(bits).value()
                                   : source.clone();
  ASSERT_EQ(sv.amplitudes().data(), released);  // the garbage really is underneath
  if (how == Make::Reset) {
    std::fill(sv.amps().begin(), sv.amps().end(), Amp(GARBAGE, GARBAGE));
    sv.reset_to_zero();
  }
  if (how == Make::Clone)
    EXPECT_EQ(std::memcmp(sv.amplitudes().data(), src.data(), len * sizeof(Amp)), 0);
  else
    EXPECT_EQ(basis_misses(sv.amplitudes(), how == Make::Bits ? top + 1 : 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Ways, ReusedBuffer, testing::ValuesIn(MAKE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// A forked child reuses its copy of a kept mapping; the parent's stays kept for the parent.
TEST_F(BufferCache, ForkedChildReusesItsCopy) {
  const Amp* released = release_garbage(LARGE);
  const pid_t pid = fork();
  if (pid == 0) {
    const auto sv = TavroSV::zero(20);
    _exit(sv && sv->amplitudes().data() == released && basis_misses(sv->amplitudes(), 0) == 0 ? 0
                                                                                              : 1);
  }
  int status = -1;
  for (int i = 0; i < 3000 && waitpid(pid, &status, WNOHANG) != pid; ++i) usleep(10000);
  if (status == -1) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const TavroSV sv = TavroSV::zero(20).value();
  EXPECT_EQ(sv.amplitudes().data(), released);
  EXPECT_EQ(basis_misses(sv.amplitudes(), 0), 0u);
}

// smaps counts every written page of a released buffer as lazily free (the kernel may take it
// at any time) until trim unmaps it.
TEST_F(BufferCache, ReleasedPagesAreLazilyFree) {
  const auto lazy_free_kb = [](const void* p) -> long {
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false, any = false;
    for (std::string line; std::getline(smaps, line);) {
      uintptr_t lo = 0, hi = 0;
      char dash = 0;
      if (std::istringstream head(line); head >> std::hex >> lo >> dash >> hi && dash == '-')
        inside = lo <= uintptr_t(p) && uintptr_t(p) < hi;
      else if (line.starts_with("LazyFree:") && (any = true, inside))
        return std::stol(line.substr(9));
    }
    return any ? -1 : -2;  // -1: no mapping holds p; -2: no LazyFree line at all
  };
  const Amp* released = release_garbage(LARGE);
  if (lazy_free_kb(released) == -2) GTEST_SKIP() << "this kernel's smaps has no LazyFree line";
  EXPECT_GE(lazy_free_kb(released), long(LARGE * sizeof(Amp) / 1024));
  EXPECT_EQ(AmpBuffer::trim_cache(), 1u);
  EXPECT_EQ(lazy_free_kb(released), -1);
}

// Room for one mapping but not two: a kept buffer gives way to a reservation of another size;
// with that one held, a second is refused, so the limit really is that tight.
TEST_F(BufferCache, AddressSpaceShortageUnmapsKeptBuffers) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "under an address-space limit ASan's allocator aborts instead of throwing";
#endif
  const pid_t pid = fork();
  if (pid == 0) {
    size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const size_t room = pages * size_t(sysconf(_SC_PAGESIZE)) + (size_t{30} << 20);
    const rlimit lim{room, RLIM_INFINITY};  // 18 MiB and 22 MiB mappings, not both
    if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(3);
    release_garbage(LARGE);
    const AmpBuffer b = AmpBuffer::reserve(LARGE + LARGE / 4);
    if (!b.ok() || !b.zeroed()) _exit(4);
    if (AmpBuffer::trim_cache() != 0) _exit(5);  // the retry gave the kept one back
    _exit(AmpBuffer::reserve(LARGE).ok() ? 6 : 0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Streaming zeros and copies write exactly the run, below and above the streaming length,
// 16-byte aligned or 8 bytes off: (offset in doubles, amplitudes).
const std::pair<size_t, size_t> RUNS[] = {{0, 0},   {0, 1},    {0, 255}, {0, 256}, {0, 257},
                                          {0, 259}, {0, 1000}, {1, 3},   {1, 256}, {1, 1001}};

class StreamStore : public testing::TestWithParam<std::pair<size_t, size_t>> {};

TEST_P(StreamStore, WritesExactlyTheRun) {
  const auto [off, m] = GetParam();
  std::vector<double> zeroed(2 * m + 8, GARBAGE), copied(2 * m + 8, GARBAGE), src(2 * m);
  for (size_t k = 0; k < 2 * m; ++k) src[k] = k % 3 ? double(k) + 0.5 : -0.0;
  stream_zero(reinterpret_cast<Amp*>(&zeroed[2 + off]), m);
  stream_copy(reinterpret_cast<Amp*>(&copied[2 + off]), reinterpret_cast<const Amp*>(src.data()),
              m);
  stream_fence();
  const double zero = 0.0;
  for (size_t i = 0; i < zeroed.size(); ++i) {
    const bool in = i >= 2 + off && i < 2 + off + 2 * m;
    EXPECT_EQ(std::memcmp(&zeroed[i], in ? &zero : &GARBAGE, 8), 0) << i;
    EXPECT_EQ(std::memcmp(&copied[i], in ? &src[i - 2 - off] : &GARBAGE, 8), 0) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, StreamStore, testing::ValuesIn(RUNS));

}  // namespace
}  // namespace tavro
