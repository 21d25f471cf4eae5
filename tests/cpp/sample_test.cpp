// Born-rule sampling: the block index against a sequential rebuild, the search against a linear
// one, rows against a plain cumulative search over the same stream, the degenerate texts and the
// draw counts (rows by slot on dynamic states are checked against a model in Python). The binary
// runs under RAYON_NUM_THREADS = 1, 3 and 8, so the parallel block sums and parallel rows meet the
// same expectations for every count.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "draws.hpp"
#include "rng.hpp"
#include "sample/born.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

using X = Xoshiro256PlusPlus;
constexpr size_t BLOCK = 2048;
double abs2(const Amp& a) { return a.real() * a.real() + a.imag() * a.imag(); }

using draws::advanced_by;
using draws::drawing;

// Random amplitudes with exact zeros at every index 3 mod 8, and every 64th one nonzero when
// sparse (long flat stretches of the running sum).
std::vector<Amp> random_amps(size_t n, uint64_t seed, bool sparse = false) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = i % 8 == 3 || (sparse && i % 64 != 17) ? Amp(0.0, 0.0) : Amp(u(gen), u(gen));
  return v;
}

// The rows of nshots draws from `start`: the first index whose running sum reaches u * total (the
// last index if none does), one byte per qubit.
std::vector<uint8_t> expected_rows(const std::vector<Amp>& a, uint32_t nq, size_t nshots, X start) {
  double total = 0.0;
  for (const Amp& x : a) total += abs2(x);
  std::vector<uint8_t> out;
  for (size_t s = 0; s < nshots; ++s) {
    const double r = start.next_f64() * total;
    size_t idx = 0;
    for (double acc = abs2(a[0]); acc < r && idx + 1 < a.size();) acc += abs2(a[++idx]);
    for (size_t q = 0; q < nq; ++q) out.push_back((idx >> q) & 1);
  }
  return out;
}

// The same entry bits whether the blocks were summed on the pool or here: block sums from -0.0,
// then the running sum from +0.0; and the branch-free search agrees with a linear count of the
// entries below r at and around every entry.
TEST(BornIndexTest, EntriesAndSearch) {
  for (const size_t n : {size_t{1}, 3 * BLOCK + 17, size_t{1} << 18}) {
    const auto a = random_amps(n, n);
    const BornIndex index = BornIndex::build(a).value();
    std::vector<double> e;
    for (size_t b = 0; b < n; b += BLOCK) {
      double acc = -0.0;
      for (size_t i = b; i < std::min(n, b + BLOCK); ++i) acc += abs2(a[i]);
      e.push_back((e.empty() ? 0.0 : e.back()) + acc);
    }
    ASSERT_EQ(index.entries().size(), e.size());
    EXPECT_EQ(std::memcmp(index.entries().data(), e.data(), e.size() * sizeof(double)), 0) << n;
    for (const double x : e)
      for (const double r : {x, std::nextafter(x, 0.0), std::nextafter(x, 1e300)}) {
        const size_t b = std::min<size_t>(
            std::count_if(e.begin(), e.end(), [&](double y) { return y < r; }), e.size() - 1);
        EXPECT_EQ(index.block_of(r), b) << "n=" << n << " r=" << r;
      }
  }
}

// Fixed texts, and no draw before them.
TEST(SampleTest, DegenerateStates) {
  const std::string small = "degenerate state: squared norm ",
                    tail = " is too small to sample from";
  for (const auto& [amps, text] : std::vector<std::pair<std::vector<Amp>, std::string>>{
           {std::vector<Amp>(1 << 17), small + "0.000e0" + tail},
           {{Amp(1.0, 0.0), Amp(0.0, NAN)}, "degenerate state: non-finite squared norm (NaN)"},
           {{Amp(1e200, 0.0), Amp(0.0, 1.0)}, "degenerate state: non-finite squared norm (inf)"},
           {{Amp(0x1.0p-520, 0.0), Amp(0.0, 0.0)}, small + "8.488e-314" + tail},  // subnormal
           {{Amp(std::nextafter(1e-150, 0.0), 0.0), Amp(0.0, 0.0)}, small + "1.000e-300" + tail},
           {{Amp(1e-150, 0.0), Amp(0.0, 0.0)}, ""}}) {  // exactly 1e-300 passes
    const TavroSV sv = TavroSV::from_amplitudes(std::countr_zero(amps.size()), amps).value();
    X rng = X::seed_from_u64(17);
    const auto r = sv.sample(3, rng);
    EXPECT_EQ(r ? "" : r.error().display(), text);
    EXPECT_TRUE(advanced_by(rng, X::seed_from_u64(17), text.empty() ? 3 : 0)) << text;
    EXPECT_EQ(text.empty() ? "" : sv.sample_bitstring(rng).error().display(), text);
  }
}

// Rows on the pool or not, grouped by block (shots at least twice the blocks) or one scan per
// shot, against the plain search over the same stream, one draw per shot (none for no shot, five
// for five shots of no qubit); sample_bitstring is one shot of sample.
TEST(SampleTest, RowsMatchPlainSearch) {
  const std::tuple<uint32_t, size_t, bool> cases[] = {
      {3, 20, false}, {3, 0, false},   {0, 5, false},     {13, 7, false},
      {13, 8, false}, {13, 500, true}, {18, 2500, false}, {18, 200, true}};
  for (const auto& [nq, nshots, sparse] : cases) {
    const auto a = random_amps(size_t{1} << nq, nq + nshots, sparse);
    const TavroSV sv = TavroSV::from_amplitudes(nq, a).value();
    const X start = X::seed_from_u64(nshots);
    X rng = start, one = start;
    EXPECT_EQ(sv.sample(nshots, rng).value(), expected_rows(a, nq, nshots, start)) << nq;
    EXPECT_TRUE(advanced_by(rng, start, nshots));
    EXPECT_EQ(sv.sample_bitstring(one).value(), expected_rows(a, nq, 1, start));
    EXPECT_TRUE(advanced_by(one, start, 1));
  }
}

// Two blocks with |a|^2 = 0.25 at 7, 0.25 at 2051 and 0.5 at 2057: the entries are [0.25, 1.0]
// and r = u exactly. The first shot's draw is chosen; one shot scans, eight are grouped. u = 0
// reaches index 0 at once, although amplitude 0 is zero.
TEST(SampleTest, TargetsOnExactSums) {
  std::vector<Amp> a(1 << 12, Amp(0.0, 0.0));
  a[7] = Amp(0.5, 0.0), a[2051] = Amp(0.0, 0.5), a[2057] = Amp(0.5, 0.5);
  const TavroSV sv = TavroSV::from_amplitudes(12, a).value();
  const double e = 0x1.0p-53;
  const std::pair<double, size_t> cases[] = {{0.0, 0},    {0.25, 7},       {0.25 + e, 2051},
                                             {0.5, 2051}, {0.5 + e, 2057}, {1.0 - e, 2057}};
  for (const auto& [u, want] : cases)
    for (const size_t nshots : {1, 8}) {
      X rng = drawing(u);
      const auto rows = sv.sample(nshots, rng).value();
      size_t k = 0;
      for (size_t q = 0; q < 12; ++q) k |= size_t{rows[q]} << q;
      EXPECT_EQ(k, want) << "u=" << u << " shots " << nshots;
    }
}

// A shot count whose uniforms (8 bytes a shot) cannot be held is refused before any draw, with
// no qubit as with any width: 2^62 shots overflow the byte count, 2^50 reach the allocator and
// ask for 8 PiB, more than any address space holds.
TEST(SampleTest, UnholdableShotCountsRefusedBeforeAnyDraw) {
  const std::string prefix = "allocation failed for a sample buffer of ";
  const std::pair<size_t, std::string> counts[] = {
      {size_t{1} << 62, "4611686018427387904 shots, 8 bytes each (17179869184 GiB)"},
      {size_t{1} << 50, "1125899906842624 shots, 8 bytes each (8388608 GiB)"}};
  std::vector<TavroSV> states;
  for (const uint32_t nq : {0u, 1u, 9u}) {
    states.push_back(TavroSV::zero(nq).value());
    states.push_back(TavroSV::zero_dynamic(nq).value());
  }
  for (const TavroSV& sv : states)
    for (const auto& [nshots, text] : counts) {
      X rng = X::seed_from_u64(nshots);
      const auto r = sv.sample(nshots, rng);
      EXPECT_EQ(r ? "" : r.error().display(), prefix + text) << sv.num_qubits();
      EXPECT_TRUE(advanced_by(rng, X::seed_from_u64(nshots), 0)) << sv.num_qubits();
    }
}

// The uniforms fit but the rows do not: in a forked child with room for 2^24 uniforms (128 MiB)
// and not for their rows of 20 bytes (320 MiB), the refusal names the rows' width and draws
// nothing.
TEST(SampleTest, UnholdableRowsRefusedBeforeAnyDraw) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "under an address-space limit ASan's allocator aborts instead of throwing";
#endif
  const TavroSV sv = TavroSV::zero(20).value();
  const pid_t pid = fork();
  if (pid == 0) {
    (void)sv.norm_squared();  // the pool's threads exist before the limit
    size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlimit lim{pages * size_t(sysconf(_SC_PAGESIZE)) + (size_t{200} << 20), RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(3);
    X rng = X::seed_from_u64(4);
    const auto r = sv.sample(size_t{1} << 24, rng);
    const std::string refused =
        "allocation failed for a sample buffer of 16777216 shots, 20 bytes each (0.3125 GiB)";
    _exit(!r && r.error().display() == refused && advanced_by(rng, X::seed_from_u64(4), 0) ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace tavro
