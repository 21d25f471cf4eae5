// Born-rule sampling: the block index against a sequential rebuild, the search against a
// linear one, rows against rows located one by one from the same stream, the degenerate
// texts and the draw counts. The binary runs under RAYON_NUM_THREADS = 1, 3 and 8, so the
// parallel block sums and parallel rows meet the same expectations for every count.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "rng.hpp"
#include "sample/born.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr size_t BLOCK = 2048;

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

template <class T>
T must(Result<T> r) {
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().display());
  return std::move(*r);
}

// A generator whose next draw is exactly u (a multiple of 2^-53 in [0, 1)): with s0 = 0 the
// output is rotl(s3, 23).
Xoshiro256PlusPlus drawing(double u) {
  const uint64_t out = static_cast<uint64_t>(std::ldexp(u, 53)) << 11;
  // s1 and s2 do not reach the first output; they keep the stream alive after it.
  return Xoshiro256PlusPlus{{0, 0x9E3779B97F4A7C15, 0x6A09E667F3BCC909, std::rotr(out, 23)}};
}

bool same_stream(const Xoshiro256PlusPlus& a, const Xoshiro256PlusPlus& b) {
  return std::memcmp(a.s, b.s, sizeof a.s) == 0;
}

Xoshiro256PlusPlus advanced(Xoshiro256PlusPlus g, size_t steps) {
  for (size_t k = 0; k < steps; ++k) g.next_u64();
  return g;
}

double abs2_ref(const Amp& a) { return a.real() * a.real() + a.imag() * a.imag(); }

// Random amplitudes with exact zeros at every index 3 mod 8, so that zero terms meet the
// search and the scan.
std::vector<Amp> random_amps(size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = i % 8 == 3 ? Amp(0.0, 0.0) : Amp(u(gen), u(gen));
  return v;
}

// Entries rebuilt on this thread: block sums from -0.0, then the running sum from +0.0.
std::vector<double> ref_entries(const std::vector<Amp>& a) {
  std::vector<double> e;
  for (size_t b = 0; b < a.size(); b += BLOCK) {
    double acc = -0.0;
    for (size_t i = b; i < std::min(a.size(), b + BLOCK); ++i) acc += abs2_ref(a[i]);
    e.push_back(acc);
  }
  double run = 0.0;
  for (double& x : e) x = run = run + x;
  return e;
}

// The block by a linear count of entries below r, then the scan.
size_t ref_locate(const std::vector<Amp>& a, const std::vector<double>& e, double r) {
  size_t b = 0;
  for (double x : e) b += x < r;
  b = std::min(b, e.size() - 1);
  double acc = b == 0 ? 0.0 : e[b - 1];
  const size_t end = std::min(a.size(), (b + 1) * BLOCK);
  for (size_t i = b * BLOCK; i < end; ++i) {
    acc += abs2_ref(a[i]);
    if (acc >= r) return i;
  }
  return end - 1;
}

// The plain cumulative search over the whole buffer.
size_t plain_search(const std::vector<Amp>& a, double r) {
  double acc = 0.0;
  for (size_t i = 0; i < a.size(); ++i) {
    acc += abs2_ref(a[i]);
    if (acc >= r) return i;
  }
  return a.size() - 1;
}

// ---- the index ----

class IndexTest : public testing::TestWithParam<size_t> {};

// The same bits whether the blocks were summed on the pool or here.
TEST_P(IndexTest, EntriesMatchSequentialRebuild) {
  const size_t n = GetParam();
  const auto a = random_amps(n, n);
  const BornIndex index = must(BornIndex::build(a));
  const auto want = ref_entries(a);
  ASSERT_EQ(index.entries().size(), want.size());
  EXPECT_EQ(std::memcmp(index.entries().data(), want.data(), want.size() * sizeof(double)), 0);
  EXPECT_EQ(bits(index.total()), bits(want.back()));
}

// The branch-free search agrees with a linear count at and around every entry.
TEST_P(IndexTest, LocateMatchesLinearSearch) {
  const size_t n = GetParam();
  const auto a = random_amps(n, n + 1);
  const BornIndex index = must(BornIndex::build(a));
  const auto e = ref_entries(a);
  std::vector<double> targets{0.0, e.back(), std::nextafter(e.back(), 1e300), 2 * e.back()};
  for (double x : e) {
    targets.push_back(x);
    targets.push_back(std::nextafter(x, 0.0));
    targets.push_back(std::nextafter(x, 1e300));
  }
  std::mt19937_64 gen(n);
  for (int k = 0; k < 200; ++k) {
    targets.push_back(std::uniform_real_distribution<double>(0.0, e.back())(gen));
  }
  for (double r : targets) EXPECT_EQ(index.locate(a, r), ref_locate(a, e, r)) << "r = " << r;
}

INSTANTIATE_TEST_SUITE_P(Lengths, IndexTest,
                         testing::Values(1, 2, 5, 2047, 2048, 2049, 3 * 2048 + 17, 16 * 2048,
                                         size_t{1} << 17, size_t{1} << 18));

// No block at all counts as a total of 0.
TEST(IndexTest, EmptyBufferIsTooSmall) {
  const auto r = BornIndex::build(std::span<const Amp>());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(),
            "degenerate state: squared norm 0.000e0 is too small to sample from");
}

// Dyadic magnitudes, so every sum is exact and the located index is known in advance.
struct LocateCase {
  const char* name;
  std::vector<Amp> amps;
  double r;
  size_t index;
};
void PrintTo(const LocateCase& c, std::ostream* os) { *os << c.name; }

std::vector<Amp> with_at(size_t n, std::vector<std::pair<size_t, double>> set) {
  std::vector<Amp> v(n, Amp(0.0, 0.0));
  for (auto [i, x] : set) v[i] = Amp(x, 0.0);
  return v;
}

const LocateCase LOCATE_CASES[] = {
    // r = 0 accepts at once, even on a zero amplitude.
    {"zero_target_zero_amp", with_at(8, {{3, 1.0}}), 0.0, 0},
    {"zero_target_multi_block", with_at(3 * BLOCK, {{5000, 1.0}}), 0.0, 0},
    // The first i whose running sum reaches r (>=), skipping zero amplitudes.
    {"reaches_exactly", with_at(8, {{1, 0.5}, {4, 0.5}, {6, 0.5}}), 0.5, 4},
    {"at_first", with_at(8, {{1, 0.5}, {4, 0.5}, {6, 0.5}}), 0.25, 1},
    {"just_past", with_at(8, {{1, 0.5}, {4, 0.5}, {6, 0.5}}), 0.25 + 0x1.0p-50, 4},
    {"whole_total", with_at(8, {{1, 0.5}, {4, 0.5}, {6, 0.5}}), 0.75, 6},
    // Beyond the total: the last index of the last block.
    {"above_total", with_at(8, {{1, 0.5}, {4, 0.5}}), 1.0, 7},
    {"above_total_blocks", with_at(2 * BLOCK + 5, {{1, 0.5}}), 1.0, 2 * BLOCK + 4},
    // An entry equal to r is not below it: the search stays in that block.
    {"entry_equal_r", with_at(2 * BLOCK, {{7, 0.5}, {BLOCK + 3, 0.5}}), 0.25, 7},
    {"entry_below_r", with_at(2 * BLOCK, {{7, 0.5}, {BLOCK + 3, 0.5}}), 0.25 + 0x1.0p-40,
     BLOCK + 3},
};

class LocateTest : public testing::TestWithParam<LocateCase> {};

TEST_P(LocateTest, FixedIndex) {
  const LocateCase& c = GetParam();
  const BornIndex index = must(BornIndex::build(c.amps));
  EXPECT_EQ(index.locate(c.amps, c.r), c.index);
}

INSTANTIATE_TEST_SUITE_P(Fixed, LocateTest, testing::ValuesIn(LOCATE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- degenerate states: fixed texts, no draw ----

struct DegenerateCase {
  const char* name;
  std::vector<Amp> amps;
  const char* text;  // "" when sampling succeeds
};
void PrintTo(const DegenerateCase& c, std::ostream* os) { *os << c.name; }

const DegenerateCase DEGENERATE_CASES[] = {
    {"all_zero", std::vector<Amp>(4),
     "degenerate state: squared norm 0.000e0 is too small to sample from"},
    {"all_zero_blocks", std::vector<Amp>(1 << 17),
     "degenerate state: squared norm 0.000e0 is too small to sample from"},
    {"nan", {{1.0, 0.0}, {0.0, NaN}}, "degenerate state: non-finite squared norm (NaN)"},
    {"overflow", {{1e200, 0.0}, {0.0, 1.0}}, "degenerate state: non-finite squared norm (inf)"},
    {"inf_and_nan",
     {{std::numeric_limits<double>::infinity(), 0.0}, {NaN, 0.0}},
     "degenerate state: non-finite squared norm (NaN)"},
    // 2^-520 squared is 2^-1040, a subnormal.
    {"subnormal",
     {{0x1.0p-520, 0.0}, {0.0, 0.0}},
     "degenerate state: squared norm 8.488e-314 is too small to sample from"},
    // 1e-150 squared is exactly 1e-300, which passes; one ulp less does not.
    {"exactly_1e300", {{1e-150, 0.0}, {0.0, 0.0}}, ""},
    {"just_below_1e300",
     {{std::nextafter(1e-150, 0.0), 0.0}, {0.0, 0.0}},
     "degenerate state: squared norm 1.000e-300 is too small to sample from"},
};

class DegenerateTest : public testing::TestWithParam<DegenerateCase> {};

TEST_P(DegenerateTest, TextAndNoDraw) {
  const DegenerateCase& c = GetParam();
  const uint32_t nq = static_cast<uint32_t>(std::countr_zero(c.amps.size()));
  const TavroSV sv = must(TavroSV::from_amplitudes(nq, c.amps));
  auto rng = Xoshiro256PlusPlus::seed_from_u64(17);
  const Xoshiro256PlusPlus start = rng;
  const auto r = sv.sample(3, rng);
  if (*c.text == '\0') {
    EXPECT_TRUE(r.has_value());
    EXPECT_TRUE(same_stream(rng, advanced(start, 3)));
    return;
  }
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().index(), 7u);
  EXPECT_EQ(r.error().display(), c.text);
  EXPECT_TRUE(same_stream(rng, start));
  const auto one = sv.sample_bitstring(rng);
  ASSERT_FALSE(one.has_value());
  EXPECT_EQ(one.error().display(), c.text);
  EXPECT_TRUE(same_stream(rng, start));
}

INSTANTIATE_TEST_SUITE_P(Texts, DegenerateTest, testing::ValuesIn(DEGENERATE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- rows predicted from the stream ----

// Row s of the expected output: the bits of logical qubits of the physical index located for
// r_s = u_s * total, with `slot_of` mapping each logical qubit to its slot or 255.
std::vector<uint8_t> expected_rows(size_t nshots, uint32_t nq, Xoshiro256PlusPlus twin,
                                   double total, const std::function<size_t(double)>& find,
                                   const std::function<uint8_t(size_t)>& slot_of) {
  std::vector<double> r(nshots);
  for (double& x : r) x = twin.next_f64() * total;
  std::vector<uint8_t> out(nshots * nq, 0);
  for (size_t s = 0; s < nshots; ++s) {
    const size_t idx = find(r[s]);
    for (size_t q = 0; q < nq; ++q) {
      const uint8_t slot = slot_of(q);
      if (slot != NO_SLOT) out[s * nq + q] = (idx >> slot) & 1;
    }
  }
  return out;
}

uint8_t identity_slot(size_t q) { return static_cast<uint8_t>(q); }

struct RowsCase {
  const char* name;
  uint32_t num_qubits;
  size_t nshots;
  uint64_t seed;
  bool sparse;  // only every 64th amplitude nonzero: long flat stretches of the running sum
};

std::vector<Amp> case_amps(const RowsCase& c) {
  auto a = random_amps(size_t{1} << c.num_qubits, c.seed);
  if (c.sparse) {
    for (size_t i = 0; i < a.size(); ++i)
      if (i % 64 != 17) a[i] = Amp(0.0, 0.0);
  }
  return a;
}
void PrintTo(const RowsCase& c, std::ostream* os) { *os << c.name; }

// Shots at least twice the blocks go through the grouping by block, fewer through one scan
// per shot; both must give the rows of locate.
const RowsCase ROWS_CASES[] = {
    {"q3_grouped", 3, 20, 1, false},           {"q10_grouped", 10, 1000, 2, false},
    {"q13_per_shot", 13, 7, 3, false},         {"q13_grouped_at_threshold", 13, 8, 3, false},
    {"q13_grouped", 13, 500, 3, false},        {"q13_sparse_grouped", 13, 500, 8, true},
    {"q17_grouped", 17, 3000, 4, false},       {"q17_one_shot", 17, 1, 6, false},
    {"q18_grouped", 18, 2500, 5, false},       {"q18_per_shot", 18, 200, 7, false},
    {"q18_sparse_per_shot", 18, 200, 9, true},
};

class RowsTest : public testing::TestWithParam<RowsCase> {};

// Against the index located shot by shot on this thread: the rows do not depend on whether
// they ran on the pool.
TEST_P(RowsTest, MatchSequentialLocate) {
  const RowsCase& c = GetParam();
  const auto a = case_amps(c);
  const TavroSV sv = must(TavroSV::from_amplitudes(c.num_qubits, a));
  auto rng = Xoshiro256PlusPlus::seed_from_u64(c.seed);
  const Xoshiro256PlusPlus start = rng;
  const auto rows = must(sv.sample(c.nshots, rng));
  EXPECT_TRUE(same_stream(rng, advanced(start, c.nshots)));
  const BornIndex index = must(BornIndex::build(a));
  const auto want = expected_rows(
      c.nshots, c.num_qubits, start, index.total(), [&](double r) { return index.locate(a, r); },
      identity_slot);
  EXPECT_EQ(rows, want);
}

// Against the plain cumulative search over all amplitudes: exact for one block, and for
// several blocks unless a target falls within rounding of a boundary (not so for these seeds).
TEST_P(RowsTest, MatchPlainCumulativeSearch) {
  const RowsCase& c = GetParam();
  const auto a = case_amps(c);
  const TavroSV sv = must(TavroSV::from_amplitudes(c.num_qubits, a));
  auto rng = Xoshiro256PlusPlus::seed_from_u64(c.seed + 100);
  const Xoshiro256PlusPlus start = rng;
  const auto rows = must(sv.sample(c.nshots, rng));
  double total = 0.0;
  for (const Amp& x : a) total += abs2_ref(x);
  const auto want = expected_rows(
      c.nshots, c.num_qubits, start, total, [&](double r) { return plain_search(a, r); },
      identity_slot);
  EXPECT_EQ(rows, want);
}

// Twice every amplitude: every sum and every r scale by exactly 4, so the rows are the same.
TEST_P(RowsTest, UnnormalisedCopySamplesTheSame) {
  const RowsCase& c = GetParam();
  auto a = case_amps(c);
  const TavroSV sv = must(TavroSV::from_amplitudes(c.num_qubits, a));
  for (Amp& x : a) x = Amp(2 * x.real(), 2 * x.imag());
  const TavroSV doubled = must(TavroSV::from_amplitudes(c.num_qubits, a));
  auto rng1 = Xoshiro256PlusPlus::seed_from_u64(c.seed + 7);
  auto rng2 = rng1;
  EXPECT_EQ(must(sv.sample(c.nshots, rng1)), must(doubled.sample(c.nshots, rng2)));
}

INSTANTIATE_TEST_SUITE_P(States, RowsTest, testing::ValuesIn(ROWS_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// Targets on exact sums. Two blocks of a 12-qubit state: |a|^2 = 0.25 at 7, 0.25 at 2051 and
// 0.5 at 2057, so the entries are [0.25, 1.0], the total is 1 and r = u exactly. The first
// shot's draw is chosen; one shot goes through the scan, eight through the grouping.
struct TargetCase {
  const char* name;
  double u;
  size_t index;
};
void PrintTo(const TargetCase& c, std::ostream* os) { *os << c.name; }

const TargetCase TARGET_CASES[] = {
    // r = 0 is reached at once, although amplitude 0 is zero.
    {"zero", 0.0, 0},
    {"first_entry", 0.25, 7},
    {"above_first_entry", 0.25 + 0x1.0p-53, 2051},
    {"running_sum_equal", 0.5, 2051},
    {"above_running_sum", 0.5 + 0x1.0p-53, 2057},
    {"top", 1.0 - 0x1.0p-53, 2057},
};

class TargetTest : public testing::TestWithParam<TargetCase> {};

TEST_P(TargetTest, FirstRowIsTheIndex) {
  const TargetCase& c = GetParam();
  std::vector<Amp> a(1 << 12, Amp(0.0, 0.0));
  a[7] = Amp(0.5, 0.0);
  a[2051] = Amp(0.0, 0.5);
  a[2057] = Amp(0.5, 0.5);
  const TavroSV sv = must(TavroSV::from_amplitudes(12, a));
  for (size_t nshots : {1, 8}) {
    Xoshiro256PlusPlus rng = drawing(c.u);
    const auto rows = must(sv.sample(nshots, rng));
    for (size_t s = 0; s < nshots; ++s) {
      size_t k = 0;
      for (size_t q = 0; q < 12; ++q) k |= size_t{rows[s * 12 + q]} << q;
      if (s == 0) {
        EXPECT_EQ(k, c.index) << nshots << " shots";
      } else {
        EXPECT_TRUE(k == 7 || k == 2051 || k == 2057) << k;  // never a zero amplitude
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Exact, TargetTest, testing::ValuesIn(TARGET_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// A basis state gives its own bitstring in every row, byte q for qubit q.
TEST(RowsTest, BasisStateRowsAreTheBitstring) {
  const std::vector<uint8_t> bits_in{1, 0, 1, 1, 0};
  const TavroSV sv = must(TavroSV::from_bitstring(bits_in));
  auto rng = Xoshiro256PlusPlus::seed_from_u64(9);
  const auto rows = must(sv.sample(4, rng));
  ASSERT_EQ(rows.size(), 20u);
  for (size_t s = 0; s < 4; ++s) {
    EXPECT_TRUE(std::equal(bits_in.begin(), bits_in.end(), rows.begin() + s * 5)) << s;
  }
  auto again = Xoshiro256PlusPlus::seed_from_u64(9);
  EXPECT_EQ(must(sv.sample_bitstring(again)), bits_in);
}

// ---- dynamic states ----

// Only qubit 2 of 3 is live (slot 0): every row is [0, 0, bit of slot 0].
TEST(DynamicSampleTest, UntouchedQubitsReadZero) {
  TavroSV sv = must(TavroSV::zero_dynamic(3));
  ASSERT_TRUE(sv.apply_h(2).has_value());
  const std::vector<Amp> a(sv.amplitudes().begin(), sv.amplitudes().end());
  auto rng = Xoshiro256PlusPlus::seed_from_u64(21);
  const Xoshiro256PlusPlus start = rng;
  const size_t nshots = 200;
  const auto rows = must(sv.sample(nshots, rng));
  ASSERT_EQ(rows.size(), 3 * nshots);
  size_t ones = 0;
  for (size_t s = 0; s < nshots; ++s) {
    EXPECT_EQ(rows[3 * s], 0);
    EXPECT_EQ(rows[3 * s + 1], 0);
    ones += rows[3 * s + 2];
  }
  EXPECT_GT(ones, 0u);
  EXPECT_LT(ones, nshots);
  const double total = abs2_ref(a[0]) + abs2_ref(a[1]);
  const auto want = expected_rows(
      nshots, 3, start, total, [&](double r) { return plain_search(a, r); },
      [](size_t q) { return q == 2 ? uint8_t{0} : NO_SLOT; });
  EXPECT_EQ(rows, want);
  EXPECT_FALSE(sv.is_allocated(0));
  EXPECT_EQ(sv.len(), 2u);
}

// Qubits touched in a scrambled order: each row byte follows its qubit's slot.
TEST(DynamicSampleTest, RowsFollowTheSlotTable) {
  TavroSV sv = must(TavroSV::zero_dynamic(6));
  for (size_t q : {4, 1, 5, 0}) ASSERT_TRUE(sv.apply_ry(0.3 + 0.4 * q, q).has_value());
  ASSERT_TRUE(sv.apply_cx(4, 0).has_value());
  const std::vector<Amp> a(sv.amplitudes().begin(), sv.amplitudes().end());
  const SlotTable table = *sv.slots();
  auto rng = Xoshiro256PlusPlus::seed_from_u64(33);
  const Xoshiro256PlusPlus start = rng;
  const auto rows = must(sv.sample(300, rng));
  double total = 0.0;
  for (const Amp& x : a) total += abs2_ref(x);
  const auto want = expected_rows(
      300, 6, start, total, [&](double r) { return plain_search(a, r); },
      [&](size_t q) { return table[q]; });
  EXPECT_EQ(rows, want);
}

// ---- draw counts and sizes ----

struct CountCase {
  const char* name;
  std::function<TavroSV()> make;
  size_t nshots;
  size_t steps;
  size_t out_len;
};
void PrintTo(const CountCase& c, std::ostream* os) { *os << c.name; }

TavroSV plus3() {
  TavroSV sv = must(TavroSV::zero(3));
  for (size_t q = 0; q < 3; ++q) EXPECT_TRUE(sv.apply_h(q).has_value());
  return sv;
}

const CountCase COUNT_CASES[] = {
    {"zero_shots", plus3, 0, 0, 0},
    {"one_shot", plus3, 1, 1, 3},
    {"seven_shots", plus3, 7, 7, 21},
    // No qubits: the draws still happen, the rows are empty.
    {"no_qubits", [] { return must(TavroSV::zero(0)); }, 5, 5, 0},
    // A dynamic state's rows have the declared width, whatever is live.
    {"dynamic_width", [] { return must(TavroSV::zero_dynamic(5)); }, 3, 3, 15},
};

class CountTest : public testing::TestWithParam<CountCase> {};

TEST_P(CountTest, DrawsAndLength) {
  const CountCase& c = GetParam();
  const TavroSV sv = c.make();
  auto rng = Xoshiro256PlusPlus::seed_from_u64(4);
  const Xoshiro256PlusPlus start = rng;
  const auto rows = must(sv.sample(c.nshots, rng));
  EXPECT_EQ(rows.size(), c.out_len);
  EXPECT_TRUE(same_stream(rng, advanced(start, c.steps)));
}

INSTANTIATE_TEST_SUITE_P(Counts, CountTest, testing::ValuesIn(COUNT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// sample_bitstring is one shot of sample: same bytes, one draw.
TEST(CountTest, BitstringIsOneShot) {
  const TavroSV sv = plus3();
  auto rng1 = Xoshiro256PlusPlus::seed_from_u64(12);
  auto rng2 = rng1;
  const Xoshiro256PlusPlus start = rng1;
  EXPECT_EQ(must(sv.sample_bitstring(rng1)), must(sv.sample(1, rng2)));
  EXPECT_TRUE(same_stream(rng1, advanced(start, 1)));
}

// A request whose uniforms cannot be reserved is refused before any draw.
struct HugeCase {
  const char* name;
  size_t nshots;
  const char* text;
};
void PrintTo(const HugeCase& c, std::ostream* os) { *os << c.name; }

const HugeCase HUGE_CASES[] = {
    // 2^59 uniforms of 8 bytes: 2^62 bytes, reported as 2^58 amplitudes of 16 bytes.
    {"beyond_address_space", size_t{1} << 59,
     "allocation failed for 288230376151711744 complex amplitudes (4294967296 GiB)"},
    // The byte count overflows: reported saturated.
    {"overflowing", std::numeric_limits<size_t>::max(),
     "allocation failed for 1152921504606846976 complex amplitudes (17179869184 GiB)"},
};

class HugeTest : public testing::TestWithParam<HugeCase> {};

TEST_P(HugeTest, RefusedWithoutDrawing) {
  const HugeCase& c = GetParam();
  const TavroSV sv = plus3();
  auto rng = Xoshiro256PlusPlus::seed_from_u64(2);
  const Xoshiro256PlusPlus start = rng;
  const auto r = sv.sample(c.nshots, rng);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().index(), 6u);
  EXPECT_EQ(r.error().display(), c.text);
  EXPECT_TRUE(same_stream(rng, start));
}

INSTANTIATE_TEST_SUITE_P(Requests, HugeTest, testing::ValuesIn(HUGE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavro
