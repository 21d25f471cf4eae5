// Measurement, reset and release: the per-outcome sums (sequential and per-piece order), the
// collapse, the draw counts and the slot table after a release. The binary runs under
// RAYON_NUM_THREADS = 1, 3 and 8, so the worker-count rule is checked for each count.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "par/pool.hpp"
#include "rng.hpp"
#include "sample/measure.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

using Sums = std::pair<double, double>;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

template <class T>
T must(Result<T> r) {
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().display());
  return std::move(*r);
}

// A generator whose next draw is exactly u (a multiple of 2^-53 in [0, 1)): with s0 = 0 the
// output is rotl(s3, 23), so s3 = rotr(output, 23).
Xoshiro256PlusPlus drawing(double u) {
  const uint64_t out = static_cast<uint64_t>(std::ldexp(u, 53)) << 11;
  // s1 and s2 do not reach the first output; they keep the stream alive after it.
  return Xoshiro256PlusPlus{{0, 0x9E3779B97F4A7C15, 0x6A09E667F3BCC909, std::rotr(out, 23)}};
}

Xoshiro256PlusPlus advanced(Xoshiro256PlusPlus g, size_t steps) {
  for (size_t k = 0; k < steps; ++k) g.next_u64();
  return g;
}

bool same_stream(const Xoshiro256PlusPlus& a, const Xoshiro256PlusPlus& b) {
  return std::memcmp(a.s, b.s, sizeof a.s) == 0;
}

bool same_bits(std::span<const Amp> a, std::span<const Amp> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}

std::vector<Amp> random_amps(size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (auto& a : v) a = Amp(u(gen), u(gen));
  return v;
}

double abs2_ref(const Amp& a) { return a.real() * a.real() + a.imag() * a.imag(); }

// Roughly unit norm, so both outcomes of a measurement are likely.
std::vector<Amp> normalised(std::vector<Amp> v) {
  double ns = 0.0;
  for (const Amp& a : v) ns += abs2_ref(a);
  const double f = 1.0 / std::sqrt(ns);
  for (Amp& a : v) a = Amp(a.real() * f, a.imag() * f);
  return v;
}

// ---- independent references for the sums ----

// Slot above 0, index by index: a run opens at the range start or at a multiple of s and
// closes at the range end or before the next multiple of s.
Sums ref_runs(const std::vector<Amp>& a, size_t slot, size_t b, size_t e) {
  const size_t s = size_t{1} << slot;
  double p0 = 0.0, p1 = 0.0, run = -0.0;
  for (size_t i = b; i < e; ++i) {
    if (i == b || i % s == 0) run = -0.0;
    run += abs2_ref(a[i]);
    if (i + 1 == e || (i + 1) % s == 0) ((i / s) % 2 == 1 ? p1 : p0) += run;
  }
  return {p0, p1};
}

double fold(const std::vector<Amp>& a, const std::vector<size_t>& order) {
  double acc = 0.0;
  for (size_t i : order) acc += abs2_ref(a[i]);
  return acc;
}

// Slot 0 in one piece, as two lists of indices in the order their terms are added.
Sums ref_slot0_piece(const std::vector<Amp>& a, size_t b, size_t e) {
  std::vector<size_t> t0, t1;
  if (b % 2 == 1) t1.push_back(b++);
  if ((e - b) % 2 == 1) t0.push_back(--e);
  for (size_t i = b; i < e; ++i) (i % 2 == 0 ? t0 : t1).push_back(i);
  return {fold(a, t0), fold(a, t1)};
}

Sums ref_slot0_sequential(const std::vector<Amp>& a) {
  std::vector<size_t> t0, t1;
  for (size_t i = 0; i < a.size(); ++i) (i % 2 == 0 ? t0 : t1).push_back(i);
  return {fold(a, t0), fold(a, t1)};
}

Sums ref_piece(const std::vector<Amp>& a, size_t slot, size_t b, size_t e) {
  return slot == 0 ? ref_slot0_piece(a, b, e) : ref_runs(a, slot, b, e);
}

// The sums as this process's worker count fixes them.
Sums ref_sums(const std::vector<Amp>& a, size_t slot) {
  const size_t n = a.size();
  const size_t t = par::NUM_THREADS();
  if (n < par::MIN_AMPS() || t < 2) {
    return slot == 0 ? ref_slot0_sequential(a) : ref_runs(a, slot, 0, n);
  }
  const size_t chunk = std::max<size_t>(n / (4 * t), 1);
  Sums acc{0.0, 0.0};
  for (size_t b = 0; b < n; b += chunk) {
    const Sums p = ref_piece(a, slot, b, std::min(n, b + chunk));
    acc = {acc.first + p.first, acc.second + p.second};
  }
  return acc;
}

// ---- the per-piece rule, on any piece, in every process ----

struct PieceCase {
  const char* name;
  size_t slot;
  size_t begin;
  size_t end;
};
void PrintTo(const PieceCase& c, std::ostream* os) { *os << c.name; }

const PieceCase PIECE_CASES[] = {
    {"s0_even_even", 0, 0, 4096},
    {"s0_odd_start", 0, 1, 4097},
    {"s0_odd_len", 0, 0, 4095},
    {"s0_odd_both", 0, 7, 4097},
    {"s0_odd_start_even_end", 0, 21845, 43690},
    {"s0_one", 0, 5, 6},
    {"s0_two_odd", 0, 5, 7},
    {"s1_inside_runs", 1, 3, 4097},
    {"s1_whole", 1, 0, 4096},
    {"s5_inside_runs", 5, 17, 3001},
    {"s5_short", 5, 40, 50},
    {"s12_crosses_run", 12, 1000, 9000},
    {"s12_whole_runs", 12, 0, 16384},
    {"s15_partial_top", 15, 21845, 43690},
};

class PieceRuleTest : public testing::TestWithParam<PieceCase> {};

TEST_P(PieceRuleTest, MatchesIndependentOrder) {
  const PieceCase& c = GetParam();
  const auto a = random_amps(65536, 11);
  const Sums got = detail::abs2_sums_piece(a, c.slot, c.begin, c.end);
  const Sums want = ref_piece(a, c.slot, c.begin, c.end);
  EXPECT_EQ(bits(got.first), bits(want.first));
  EXPECT_EQ(bits(got.second), bits(want.second));
}

INSTANTIATE_TEST_SUITE_P(Pieces, PieceRuleTest, testing::ValuesIn(PIECE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// The data tells the orders apart: summing an odd slot-0 piece in plain index order, or a
// run-crossing piece amplitude by amplitude, gives other bits, so the cases above can fail.
TEST(PieceRuleTest, DataSeparatesTheOrders) {
  const auto a = random_amps(65536, 11);
  double plain0 = 0.0;
  for (size_t i = 8; i < 4097; i += 2) plain0 += abs2_ref(a[i]);
  EXPECT_NE(bits(detail::abs2_sums_piece(a, 0, 7, 4097).first), bits(plain0));
  double flat0 = 0.0;
  for (size_t i = 17; i < 3001; ++i)
    if ((i >> 5) % 2 == 0) flat0 += abs2_ref(a[i]);
  EXPECT_NE(bits(detail::abs2_sums_piece(a, 5, 17, 3001).first), bits(flat0));
}

// ---- the sums, prob_zero and the collapse with this process's worker count ----

struct SumsCase {
  unsigned log_n;
  size_t slot;
};

std::vector<SumsCase> sums_cases() {
  std::vector<SumsCase> v;
  for (unsigned log_n : {10u, 17u, 18u}) {
    const std::set<size_t> slots{0, 1, 5, log_n - 5, log_n - 1};
    for (size_t slot : slots) v.push_back({log_n, slot});
  }
  return v;
}

class WorkerSumsTest : public testing::TestWithParam<SumsCase> {};

TEST_P(WorkerSumsTest, SumsMatchWorkerRule) {
  const auto [log_n, slot] = GetParam();
  const auto a = random_amps(size_t{1} << log_n, 100 + log_n);
  const Sums got = abs2_sums(a, slot);
  const Sums want = ref_sums(a, slot);
  EXPECT_EQ(bits(got.first), bits(want.first));
  EXPECT_EQ(bits(got.second), bits(want.second));
  // Sequential rule, whatever the worker count.
  const Sums seq = detail::abs2_sums_sequential(a, slot);
  const Sums seq_want = slot == 0 ? ref_slot0_sequential(a) : ref_runs(a, slot, 0, a.size());
  EXPECT_EQ(bits(seq.first), bits(seq_want.first));
  EXPECT_EQ(bits(seq.second), bits(seq_want.second));
}

TEST_P(WorkerSumsTest, ProbZeroIsP0OfTheSlot) {
  const auto [log_n, slot] = GetParam();
  const auto a = random_amps(size_t{1} << log_n, 200 + log_n);
  const TavroSV sv = must(TavroSV::from_amplitudes(log_n, a));
  EXPECT_EQ(bits(must(sv.prob_zero(slot))), bits(ref_sums(a, slot).first));
}

// The drawn outcome and the collapse of every amplitude by its global index.
TEST_P(WorkerSumsTest, MeasureCollapsesByGlobalIndex) {
  const auto [log_n, slot] = GetParam();
  const auto a = normalised(random_amps(size_t{1} << log_n, 300 + log_n));
  TavroSV sv = must(TavroSV::from_amplitudes(log_n, a));
  const Sums p = ref_sums(a, slot);
  auto rng = Xoshiro256PlusPlus::seed_from_u64(log_n * 64 + slot);
  Xoshiro256PlusPlus twin = rng;
  const double u = twin.next_f64();
  const uint8_t outcome = u < p.first ? 0 : 1;
  const double scale = 1.0 / std::sqrt(outcome == 0 ? p.first : p.second);
  ASSERT_EQ(must(sv.measure_qubit(slot, rng)), outcome);
  EXPECT_TRUE(same_stream(rng, twin));
  std::vector<Amp> want(a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    want[i] = ((i >> slot) & 1) == outcome ? Amp(a[i].real() * scale, a[i].imag() * scale)
                                           : Amp(0.0, 0.0);
  }
  EXPECT_TRUE(same_bits(sv.amplitudes(), want));
}

INSTANTIATE_TEST_SUITE_P(Sizes, WorkerSumsTest, testing::ValuesIn(sums_cases()),
                         [](const auto& info) {
                           return "n" + std::to_string(info.param.log_n) + "_slot" +
                                  std::to_string(info.param.slot);
                         });

// ---- fixed outcomes and bits from chosen draws ----

enum class Op { Measure, Reset, Free };

struct CollapseCase {
  const char* name;
  uint32_t num_qubits;
  std::vector<Amp> amps;
  Op op;
  size_t qubit;
  double u;
  int outcome;  // -1: the zero-probability error below
  std::vector<Amp> after;
  const char* error;
};
void PrintTo(const CollapseCase& c, std::ostream* os) { *os << c.name; }

const double R = 0.7071067811865475;  // 0.5 * (1 / sqrt(0.5)), the latter 1.414213562373095
const Amp Z(0.0, 0.0);
const Amp Q(0.25, 0.0);
const Amp H(0.5, 0.0);

const CollapseCase COLLAPSE_CASES[] = {
    // p0 = p1 = 0.5 exactly: the test is strict, so u = 0.5 picks 1.
    {"sx_half_picks_one", 1, {{0.5, 0.5}, {0.5, -0.5}}, Op::Measure, 0, 0.5, 1, {Z, {R, -R}}, ""},
    {"sx_below_half_picks_zero",
     1,
     {{0.5, 0.5}, {0.5, -0.5}},
     Op::Measure,
     0,
     0.5 - 0x1.0p-53,
     0,
     {{R, R}, Z},
     ""},
    // Both sums are 0.5000000000000001, so u = 0.5 picks 0; 1 / sqrt of it times the
    // amplitude is exactly 1.
    {"root_half_picks_zero",
     1,
     {{0.7071067811865476, 0.0}, {0.7071067811865476, 0.0}},
     Op::Measure,
     0,
     0.5,
     0,
     {{1.0, 0.0}, Z},
     ""},
    // |1>: p1 = 1 exactly, so the scale is 1 and the amplitudes keep their bits.
    {"one_at_u0", 1, {Z, {1.0, 0.0}}, Op::Measure, 0, 0.0, 1, {Z, {1.0, 0.0}}, ""},
    {"one_at_top_u", 1, {Z, {1.0, 0.0}}, Op::Measure, 0, 1.0 - 0x1.0p-53, 1, {Z, {1.0, 0.0}}, ""},
    // Multiplied by 1 / sqrt(0.05000000000000001) = 4.472135954999579: division would give
    // 0.4472135954999579 and 0.8944271909999159.
    {"reciprocal_not_division",
     1,
     {{0.1, 0.2}, {0.9, 0.0}},
     Op::Measure,
     0,
     0.0,
     0,
     {{0.44721359549995787, 0.8944271909999157}, Z},
     ""},
    // A NaN p0 gives outcome 1; the NaN amplitude is dropped.
    {"nan_p0_picks_one", 1, {{NaN, 0.0}, {1.0, 0.0}}, Op::Measure, 0, 0.0, 1, {Z, {1.0, 0.0}}, ""},
    // Runs of two and of four: the kept amplitudes are scaled by 1 / sqrt(0.25) = 2.
    {"slot1_keeps_zero",
     3,
     {Q, Q, Q, Q, Q, Q, Q, Q},
     Op::Measure,
     1,
     0.125,
     0,
     {H, H, Z, Z, H, H, Z, Z},
     ""},
    {"slot2_keeps_one",
     3,
     {Q, Q, Q, Q, Q, Q, Q, Q},
     Op::Measure,
     2,
     0.25,
     1,
     {Z, Z, Z, Z, H, H, H, H},
     ""},
    {"reset_one", 1, {Z, {1.0, 0.0}}, Op::Reset, 0, 0.75, 1, {{1.0, 0.0}, Z}, ""},
    {"reset_sx", 1, {{0.5, 0.5}, {0.5, -0.5}}, Op::Reset, 0, 0.5, 1, {{R, -R}, Z}, ""},
    {"reset_zero_keeps_zero", 1, {{0.5, 0.5}, {0.5, -0.5}}, Op::Reset, 0, 0.25, 0, {{R, R}, Z}, ""},
    {"reset_slot2",
     3,
     {Q, Q, Q, Q, Q, Q, Q, Q},
     Op::Reset,
     2,
     0.25,
     1,
     {H, H, H, H, Z, Z, Z, Z},
     ""},
    // A static free is a reset.
    {"free_static_is_reset", 1, {Z, {1.0, 0.0}}, Op::Free, 0, 0.5, 1, {{1.0, 0.0}, Z}, ""},
    // Squared norm 0.5, all on outcome 0: u = 0.5 is not below p0 = 0.5.
    {"half_norm_fails",
     1,
     {{0.5, 0.5}, Z},
     Op::Measure,
     0,
     0.5,
     -1,
     {},
     "invalid basis-state index: projection on qubit 0 outcome 1 has zero probability"},
    {"reset_fails_names_slot",
     3,
     {H, Z, Z, Z, Z, Z, Z, Z},
     Op::Reset,
     2,
     0.5,
     -1,
     {},
     "invalid basis-state index: projection on qubit 2 outcome 1 has zero probability"},
    // p0 = 1e-320 (subnormal) is positive, so u = 0 picks 0, which is refused.
    {"tiny_p0_fails",
     1,
     {{1e-160, 0.0}, {0.5, 0.0}},
     Op::Measure,
     0,
     0.0,
     -1,
     {},
     "invalid basis-state index: projection on qubit 0 outcome 0 has zero probability"},
};

class CollapseTest : public testing::TestWithParam<CollapseCase> {};

TEST_P(CollapseTest, OutcomeBitsAndOneDraw) {
  const CollapseCase& c = GetParam();
  TavroSV sv = must(TavroSV::from_amplitudes(c.num_qubits, c.amps));
  Xoshiro256PlusPlus rng = drawing(c.u);
  Xoshiro256PlusPlus probe = rng;
  ASSERT_EQ(bits(probe.next_f64()), bits(c.u));  // the crafted generator draws u
  Result<uint8_t> r = c.op == Op::Measure ? sv.measure_qubit(c.qubit, rng)
                      : c.op == Op::Reset ? sv.reset_qubit(c.qubit, rng)
                                          : sv.free_qubit(c.qubit, rng);
  EXPECT_TRUE(same_stream(rng, probe));  // one draw, also before the error
  if (c.outcome < 0) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().index(), 4u);
    EXPECT_EQ(r.error().display(), c.error);
    EXPECT_TRUE(same_bits(sv.amplitudes(), c.amps));
    return;
  }
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(*r, c.outcome);
  EXPECT_TRUE(same_bits(sv.amplitudes(), c.after));
}

INSTANTIATE_TEST_SUITE_P(Fixed, CollapseTest, testing::ValuesIn(COLLAPSE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// |1> gives 1 on every draw and keeps its bits, measurement after measurement.
TEST(CollapseTest, OneMeasuredAgainAndAgain) {
  const std::vector<Amp> one{Z, {1.0, 0.0}};
  TavroSV sv = must(TavroSV::from_amplitudes(1, one));
  auto rng = Xoshiro256PlusPlus::seed_from_u64(5);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(must(sv.measure_qubit(0, rng)), 1);
    EXPECT_TRUE(same_bits(sv.amplitudes(), one));
  }
}

// ---- the 1e-300 bound of the projection ----

struct ThresholdCase {
  const char* name;
  double prob;
  bool passes;
};
void PrintTo(const ThresholdCase& c, std::ostream* os) { *os << c.name; }

const ThresholdCase THRESHOLD_CASES[] = {
    {"exactly_1e300", 1e-300, false},
    {"next_above", std::nextafter(1e-300, 1.0), true},
    {"next_below", std::nextafter(1e-300, 0.0), false},
    {"zero", 0.0, false},
    {"negative_zero", -0.0, false},
    {"negative", -1.0, false},
    {"nan_passes", NaN, true},
    {"one", 1.0, true},
};

class ThresholdTest : public testing::TestWithParam<ThresholdCase> {};

TEST_P(ThresholdTest, RefusesAtOrBelow1em300) {
  const ThresholdCase& c = GetParam();
  const std::vector<Amp> before{{1e-150, 2e-150}, {3.0, 4.0}, {5.0, 6.0}, {7.0, 8.0}};
  std::vector<Amp> a = before;
  const Status st = project_slot(a, 1, 0, c.prob);
  if (!c.passes) {
    ASSERT_FALSE(st.has_value());
    EXPECT_EQ(st.error().display(),
              "invalid basis-state index: projection on qubit 1 outcome 0 has zero probability");
    EXPECT_TRUE(same_bits(a, before));
    return;
  }
  ASSERT_TRUE(st.has_value());
  // Indices 2 and 3 (bit 1 set) become +0.0 in both parts; 0 and 1 are scaled.
  EXPECT_EQ(bits(a[2].real()) | bits(a[2].imag()) | bits(a[3].real()) | bits(a[3].imag()), 0u);
  const double scale = 1.0 / std::sqrt(c.prob);
  for (size_t i : {0, 1}) {
    if (std::isnan(c.prob)) {
      EXPECT_TRUE(std::isnan(a[i].real()) && std::isnan(a[i].imag()));
    } else {
      EXPECT_EQ(bits(a[i].real()), bits(before[i].real() * scale));
      EXPECT_EQ(bits(a[i].imag()), bits(before[i].imag() * scale));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Bounds, ThresholdTest, testing::ValuesIn(THRESHOLD_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- generator advances of the qubit-level operations ----

struct DrawCase {
  const char* name;
  std::function<TavroSV()> make;
  std::function<Result<uint8_t>(TavroSV&, Xoshiro256PlusPlus&)> op;
  size_t steps;
  int error_index;  // -1: success
};
void PrintTo(const DrawCase& c, std::ostream* os) { *os << c.name; }

TavroSV plus_static() {
  TavroSV sv = must(TavroSV::zero(2));
  EXPECT_TRUE(sv.apply_h(0).has_value());
  return sv;
}

// Qubit 1 live in slot 0, qubits 0 and 2 untouched.
TavroSV dynamic_one_live() {
  TavroSV sv = must(TavroSV::zero_dynamic(3));
  EXPECT_TRUE(sv.apply_h(1).has_value());
  return sv;
}

using SV = TavroSV;
using X = Xoshiro256PlusPlus;

const DrawCase DRAW_CASES[] = {
    {"measure_range", plus_static, [](SV& s, X& g) { return s.measure_qubit(2, g); }, 0, 1},
    {"measure_live", plus_static, [](SV& s, X& g) { return s.measure_qubit(0, g); }, 1, -1},
    {"measure_static_zero", plus_static, [](SV& s, X& g) { return s.measure_qubit(1, g); }, 1, -1},
    {"measure_dyn_range", dynamic_one_live, [](SV& s, X& g) { return s.measure_qubit(3, g); }, 0,
     1},
    {"measure_dyn_untouched", dynamic_one_live, [](SV& s, X& g) { return s.measure_qubit(2, g); },
     1, -1},
    {"measure_dyn_live", dynamic_one_live, [](SV& s, X& g) { return s.measure_qubit(1, g); }, 1,
     -1},
    {"reset_range", plus_static, [](SV& s, X& g) { return s.reset_qubit(9, g); }, 0, 1},
    {"reset_live", plus_static, [](SV& s, X& g) { return s.reset_qubit(0, g); }, 1, -1},
    {"reset_dyn_untouched", dynamic_one_live, [](SV& s, X& g) { return s.reset_qubit(0, g); }, 1,
     -1},
    {"reset_dyn_range", dynamic_one_live, [](SV& s, X& g) { return s.reset_qubit(3, g); }, 0, 1},
    {"free_static", plus_static, [](SV& s, X& g) { return s.free_qubit(0, g); }, 1, -1},
    {"free_static_range", plus_static, [](SV& s, X& g) { return s.free_qubit(2, g); }, 0, 1},
    {"free_dyn_untouched", dynamic_one_live, [](SV& s, X& g) { return s.free_qubit(2, g); }, 1, -1},
    {"free_dyn_live", dynamic_one_live, [](SV& s, X& g) { return s.free_qubit(1, g); }, 1, -1},
    {"free_dyn_range", dynamic_one_live, [](SV& s, X& g) { return s.free_qubit(7, g); }, 0, 1},
    {"measure_zero_prob",
     [] {
       const std::vector<Amp> a{{0.5, 0.0}, Z};
       return must(TavroSV::from_amplitudes(1, a));
     },
     // p0 = 0.25, p1 = 0: the draw 0.5 picks 1.
     [](SV& s, X& g) { return s.measure_qubit(0, g); }, 1, 4},
};

class DrawCountTest : public testing::TestWithParam<DrawCase> {};

TEST_P(DrawCountTest, AdvancesExactly) {
  const DrawCase& c = GetParam();
  TavroSV sv = c.make();
  const std::vector<Amp> before(sv.amplitudes().begin(), sv.amplitudes().end());
  const uint32_t live = sv.live_qubits();
  Xoshiro256PlusPlus rng = drawing(0.5);
  const Xoshiro256PlusPlus start = rng;
  const Result<uint8_t> r = c.op(sv, rng);
  EXPECT_TRUE(same_stream(rng, advanced(start, c.steps)));
  if (c.error_index >= 0) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().index(), static_cast<size_t>(c.error_index));
    // Every error leaves the state as it was.
    EXPECT_TRUE(same_bits(sv.amplitudes(), before));
    EXPECT_EQ(sv.live_qubits(), live);
  } else {
    EXPECT_TRUE(r.has_value()) << r.error().display();
  }
}

INSTANTIATE_TEST_SUITE_P(Ops, DrawCountTest, testing::ValuesIn(DRAW_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DrawCountTest, RangeErrorPayload) {
  TavroSV sv = plus_static();
  auto rng = Xoshiro256PlusPlus::seed_from_u64(1);
  EXPECT_EQ(sv.measure_qubit(5, rng).error().display(),
            "qubit index 5 out of bounds for state vector with 2 qubits");
  EXPECT_EQ(sv.prob_zero(2).error().display(),
            "qubit index 2 out of bounds for state vector with 2 qubits");
}

// ---- untouched dynamic qubits ----

// An untouched qubit reads as |0>: prob_zero 1.0 on an unnormalised state, measurement 0,
// and neither allocates.
TEST(UntouchedQubitTest, ReadsAsZeroWithoutAllocating) {
  TavroSV sv = must(TavroSV::zero_dynamic(3));
  ASSERT_TRUE(sv.apply_gate_1q({Amp(2.0, 0.0), Z, Z, Amp(2.0, 0.0)}, 0).has_value());
  EXPECT_EQ(bits(must(sv.prob_zero(2))), bits(1.0));
  EXPECT_EQ(bits(must(sv.prob_zero(0))), bits(4.0));  // raw, never divided by the norm
  auto rng = Xoshiro256PlusPlus::seed_from_u64(8);
  EXPECT_EQ(must(sv.measure_qubit(1, rng)), 0);
  EXPECT_EQ(must(sv.reset_qubit(2, rng)), 0);
  EXPECT_FALSE(sv.is_allocated(1));
  EXPECT_FALSE(sv.is_allocated(2));
  EXPECT_EQ(sv.len(), 2u);
  EXPECT_EQ(sv.live_qubits(), 1u);
}

// ---- release of dynamic qubits ----

struct FreeCase {
  const char* name;
  uint32_t num_qubits;
  void (*setup)(TavroSV&);
  size_t qubit;
  double u;
  uint8_t outcome;
  uint32_t live;
  std::vector<Amp> after;
  std::vector<std::pair<size_t, uint8_t>> table;  // entries other than 255
};
void PrintTo(const FreeCase& c, std::ostream* os) { *os << c.name; }

const Amp ONE(1.0, 0.0);

const FreeCase FREE_CASES[] = {
    // |00> with qubits 0, 1 in slots 0, 1: slots exchanged, qubit 1 now in slot 0.
    {"zeros_q0",
     2,
     [](TavroSV& s) { (void)s.apply_swap(0, 1); },
     0,
     0.5,
     0,
     1,
     {ONE, Z},
     {{1, 0}, {64, 1}}},
    // |11>: outcome 1, X on slot 0, exchange, so qubit 1's |1> moves to slot 0.
    {"ones_q0",
     2,
     [](TavroSV& s) {
       (void)s.apply_x(0);
       (void)s.apply_x(1);
     },
     0,
     0.5,
     1,
     1,
     {Z, ONE},
     {{1, 0}, {64, 1}}},
    // The top slot itself: no exchange.
    {"ones_top",
     2,
     [](TavroSV& s) {
       (void)s.apply_x(0);
       (void)s.apply_x(1);
     },
     1,
     0.5,
     1,
     1,
     {Z, ONE},
     {{0, 0}, {64, 0}}},
    // Qubits 3, 0, 2 in slots 0, 1, 2; qubit 0 is H|0>, kept at 0 and scaled to exactly 1;
    // qubit 2 moves from slot 2 to slot 1.
    {"middle_of_three",
     4,
     [](TavroSV& s) {
       (void)s.apply_x(3);
       (void)s.apply_h(0);
       (void)s.apply_x(2);
     },
     0,
     0.25,
     0,
     2,
     {Z, Z, Z, ONE},
     {{3, 0}, {2, 1}, {64, 3}, {65, 2}}},
    {"middle_of_three_one",
     4,
     [](TavroSV& s) {
       (void)s.apply_x(3);
       (void)s.apply_h(0);
       (void)s.apply_x(2);
     },
     0,
     0.75,
     1,
     2,
     {Z, Z, Z, ONE},
     {{3, 0}, {2, 1}, {64, 3}, {65, 2}}},
    // The last live qubit: the buffer goes back to one amplitude.
    {"last_live", 3, [](TavroSV& s) { (void)s.apply_x(1); }, 1, 0.5, 1, 0, {ONE}, {}},
};

SlotTable table_of(const std::vector<std::pair<size_t, uint8_t>>& entries) {
  SlotTable t;
  t.fill(NO_SLOT);
  for (const auto& [k, v] : entries) t[k] = v;
  return t;
}

class FreeTest : public testing::TestWithParam<FreeCase> {};

TEST_P(FreeTest, ShrinksAndMovesTheTopSlot) {
  const FreeCase& c = GetParam();
  TavroSV sv = must(TavroSV::zero_dynamic(c.num_qubits));
  c.setup(sv);
  const size_t len_before = sv.len();
  Xoshiro256PlusPlus rng = drawing(c.u);
  const Xoshiro256PlusPlus start = rng;
  EXPECT_EQ(must(sv.free_qubit(c.qubit, rng)), c.outcome);
  EXPECT_TRUE(same_stream(rng, advanced(start, 1)));
  EXPECT_EQ(sv.len(), len_before / 2);
  EXPECT_EQ(sv.live_qubits(), c.live);
  EXPECT_EQ(sv.capacity(), size_t{1} << c.num_qubits);  // the reservation stays
  EXPECT_TRUE(same_bits(sv.amplitudes(), c.after));
  EXPECT_EQ(*sv.slots(), table_of(c.table));
  EXPECT_FALSE(sv.is_allocated(c.qubit));
}

// The released qubit is allocated again at the new top slot by the next gate.
TEST_P(FreeTest, ReleasedQubitReturnsAtTop) {
  const FreeCase& c = GetParam();
  TavroSV sv = must(TavroSV::zero_dynamic(c.num_qubits));
  c.setup(sv);
  Xoshiro256PlusPlus rng = drawing(c.u);
  ASSERT_TRUE(sv.free_qubit(c.qubit, rng).has_value());
  ASSERT_TRUE(sv.apply_z(c.qubit).has_value());
  EXPECT_EQ((*sv.slots())[c.qubit], c.live);
  EXPECT_EQ((*sv.slots())[64 + c.live], c.qubit);
  EXPECT_EQ(sv.len(), size_t{2} << c.live);
}

INSTANTIATE_TEST_SUITE_P(Dynamic, FreeTest, testing::ValuesIn(FREE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// A refused projection on a dynamic qubit: one draw, and table, length and bits unchanged.
// The message names the physical slot (0), not the logical qubit (1).
TEST(FreeTest, ZeroProbabilityKeepsEverything) {
  TavroSV sv = must(TavroSV::zero_dynamic(2));
  ASSERT_TRUE(sv.apply_z(1).has_value());
  ASSERT_TRUE(sv.apply_gate_1q({Amp(0.5, 0.0), Z, Z, Amp(0.5, 0.0)}, 0).has_value());
  const std::vector<Amp> before(sv.amplitudes().begin(), sv.amplitudes().end());
  const SlotTable table = *sv.slots();
  Xoshiro256PlusPlus rng = drawing(0.5);  // p0 = 0.25, so outcome 1 with p1 = 0
  const Xoshiro256PlusPlus start = rng;
  const Result<uint8_t> r = sv.free_qubit(1, rng);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(),
            "invalid basis-state index: projection on qubit 0 outcome 1 has zero probability");
  EXPECT_TRUE(same_stream(rng, advanced(start, 1)));
  EXPECT_TRUE(same_bits(sv.amplitudes(), before));
  EXPECT_EQ(*sv.slots(), table);
  EXPECT_EQ(sv.live_qubits(), 2u);
}

// ---- outcomes predicted from the generator stream ----

// p0 of logical qubit q by a plain loop over the logical basis.
double logical_p0(const TavroSV& sv, size_t q) {
  double p0 = 0.0;
  for (size_t idx = 0; idx < (size_t{1} << sv.num_qubits()); ++idx) {
    if (((idx >> q) & 1) == 0) p0 += must(sv.probability_logical(idx));
  }
  return p0;
}

struct PredictCase {
  const char* name;
  bool dynamic;
  uint64_t seed;
};
void PrintTo(const PredictCase& c, std::ostream* os) { *os << c.name; }

const PredictCase PREDICT_CASES[] = {
    {"static_seed1", false, 1}, {"static_seed42", false, 42}, {"static_seed7777", false, 7777},
    {"dynamic_seed1", true, 1}, {"dynamic_seed42", true, 42}, {"dynamic_seed7777", true, 7777},
};

class PredictTest : public testing::TestWithParam<PredictCase> {};

TEST_P(PredictTest, OutcomesFollowTheStream) {
  const PredictCase& c = GetParam();
  constexpr uint32_t N = 7;
  std::mt19937_64 gen(c.seed);
  std::uniform_real_distribution<double> angle(0.0, 6.0);
  TavroSV sv = must(c.dynamic ? TavroSV::zero_dynamic(N) : TavroSV::zero(N));
  // Qubit 5 stays untouched; the others are touched in a scrambled order.
  for (size_t q : {3, 0, 6, 1, 4, 2}) ASSERT_TRUE(sv.apply_ry(angle(gen), q).has_value());
  for (auto [c, t] : {std::pair{0, 1}, {2, 3}, {6, 4}}) ASSERT_TRUE(sv.apply_cx(c, t).has_value());
  for (size_t q : {6, 1, 3}) ASSERT_TRUE(sv.apply_rx(angle(gen), q).has_value());
  std::vector<size_t> order(N);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), gen);
  auto rng = Xoshiro256PlusPlus::seed_from_u64(c.seed);
  Xoshiro256PlusPlus twin = rng;
  for (size_t q : order) {
    const double p0 = logical_p0(sv, q);  // before the draw: the sums never draw
    const double u = twin.next_f64();
    const uint8_t want = u < p0 ? 0 : 1;
    ASSERT_EQ(must(sv.measure_qubit(q, rng)), want) << "qubit " << q;
    EXPECT_TRUE(same_stream(rng, twin));
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, PredictTest, testing::ValuesIn(PREDICT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavro
