// Noise channels: the selection rule to the bit with its draw counts, the Kraus weights against
// a plain loop on every vector target, whole channels against their definition, choices from
// the published generator stream, failure texts and orders, trajectory statistics against the
// density matrix, and the two-qubit channel's peak memory. Runs under 1, 3 and 8 workers.
#include <gtest/gtest.h>
#include <hwy/targets.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "channels/select.hpp"
#include "channels/weights.hpp"
#include "draws.hpp"
#include "gates/kernels/simd.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

using draws::advanced_by;
using draws::drawing;
using X = Xoshiro256PlusPlus;
using Ops = std::vector<Amp>;
using Probs = std::vector<double>;
using Call = std::function<Result<size_t>(TavroSV&, X&)>;

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
bool same_bits(std::span<const Amp> a, std::span<const Amp> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}
Amp re(double x) { return {x, 0.0}; }

// Amplitudes (or operator entries) with magnitudes from 2^-40 to 2^40, so any change in the
// order of a sum changes its bits; exact zeros and -0.0 parts among them.
std::vector<Amp> wide_amps(size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> e(-40, 40);
  std::vector<Amp> v(n);
  for (size_t i = 0; i < n; ++i)
    if (i % 7 != 3)
      v[i] = Amp(std::ldexp(u(gen), e(gen)), i % 5 ? std::ldexp(u(gen), e(gen)) : -0.0);
  return v;
}

// ||m psi||^2 on slot t from the definition: blocks in address order, each low half in order,
// one accumulator from +0.0, every product rounded on its own.
double weight(std::span<const Amp> a, size_t t, const Amp* m) {
  const auto mul = [](Amp x, Amp y) {
    return Amp(x.real() * y.real() - x.imag() * y.imag(),
               x.real() * y.imag() + x.imag() * y.real());
  };
  const auto abs2 = [](Amp b) { return b.real() * b.real() + b.imag() * b.imag(); };
  double p = 0.0;
  const size_t h = size_t{1} << t;
  for (size_t blk = 0; blk < a.size(); blk += 2 * h)
    for (size_t i = blk; i < blk + h; ++i)
      p +=
          abs2(mul(m[0], a[i]) + mul(m[2], a[i + h])) + abs2(mul(m[1], a[i]) + mul(m[3], a[i + h]));
  return p;
}

// ---- the selection rule ----

struct Selection {
  const char* name;
  Probs w;
  double u;  // the next draw
  size_t k;
  bool draws;
};

const Selection SELECTIONS[] = {
    {"all_minus_zero", {-0.0, -0.0}, 0.5, 0, false},
    {"negative_total", {-1.0, 0.5}, 0.5, 0, false},
    {"zero_weights_skipped_by_u0", {0.0, 0.0, 1.0, 0.0}, 0.0, 2, true},
    {"strictly_greater", {0.25, 0.25}, 0.5, 1, true},  // target 0.25: 0.25 is not above it
    {"just_below", {0.25, 0.25}, 0.5 - 0x1.0p-53, 0, true},
    {"negative_passed_over", {0.6, -0.2, 0.6}, 0.65, 2, true},
    {"nan_takes_last", {0.5, std::nan(""), 0.2}, 0.1, 2, true},
    // total * u rounds up to the total: no running sum exceeds it, the last index is taken.
    {"rounding_falls_back",
     {std::numeric_limits<double>::denorm_min(), 0.0},
     1.0 - 0x1.0p-53,
     1,
     true},
};

class SelectionTest : public testing::TestWithParam<Selection> {};

TEST_P(SelectionTest, PickAndDraws) {
  const Selection& c = GetParam();
  X rng = drawing(c.u);
  EXPECT_EQ(channels::select_index(c.w, rng), c.k);
  EXPECT_TRUE(advanced_by(rng, drawing(c.u), c.draws));
}

INSTANTIATE_TEST_SUITE_P(Channels, SelectionTest, testing::ValuesIn(SELECTIONS),
                         [](const auto& i) { return std::string(i.param.name); });

// ---- the weights kernel ----

// Every batch size, vector target and slot shape (pairs within a vector, across vectors, across
// blocks; buffers shorter than a vector) gives the plain loop's bits, for dense operators and
// for the real and imaginary ones that take fewer products (with exact zeros, -0.0 parts and
// kinds mixed within a batch), also on a state holding an infinity, whose NaN weights must
// not be lost to the shortcut; empty weighs +0.0.
TEST(KrausWeights, EveryTargetMatchesThePlainLoop) {
  const Ops dense = wide_amps(4 * kernels::WEIGH_BATCH, 11);
  Ops real = dense, imag = dense, mixed = dense;
  for (size_t i = 0; i < dense.size(); ++i) {
    real[i] = re(i % 6 == 2 ? 0.0 : dense[i].real());
    imag[i] = Amp(-0.0, dense[i].imag());
    mixed[i] = i / 4 % 2 ? real[i] : imag[i];
  }
  (void)kernels::simd_available();  // fixed before any target is mocked
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);
  for (const int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    for (const size_t t : {0, 1, 2, 3, 6})
      for (const size_t n : {size_t{2} << t, size_t{1} << 11})
        for (const Ops& ops : {dense, real, imag, mixed})
          for (const bool infinite : {false, true})
            for (const size_t count : {1, 2, 3, 4, 5, 8})
              for (const bool simd : {false, true}) {
                std::vector<Amp> a = wide_amps(n, 31 * t + n);
                if (infinite) a[n - 1] = Amp(0.5, -INFINITY);
                double out[kernels::WEIGH_BATCH];
                kernels::probabilities_after_1q(simd, a, t, std::span(ops).first(4 * count), out);
                for (size_t k = 0; k < count; ++k) {
                  const double want = weight(a, t, &ops[4 * k]);
                  ASSERT_TRUE(bits(out[k]) == bits(want) ||
                              (std::isnan(want) && std::isnan(out[k])))
                      << hwy::TargetName(target) << " t=" << t << " n=" << n << " k=" << k;
                }
              }
  }
  hwy::SetSupportedTargetsForTest(0);
  const std::vector<Amp> a = wide_amps(64, 3);
  EXPECT_EQ(bits(kernels::probability_after_1q(a, 2, {dense[0], dense[1], dense[2], dense[3]})),
            bits(weight(a, 2, dense.data())));
  EXPECT_EQ(bits(kernels::probability_after_1q({}, 0, {})), bits(0.0));
}

// ---- whole channels against their definition ----

struct Whole {
  const char* name;
  bool dynamic;  // zero_dynamic with qubits 1 and 3 live; the channel's qubits untouched
  uint32_t n;
  size_t count, q1, q2;
  bool two;
};

// 2^18 amplitudes cross the cut-over for every worker count; 10 and 12 operators cross the
// batch of 8 and keep their weights on the heap.
const Whole WHOLES[] = {
    {"1q_slot0", false, 5, 2, 0, 0, false},       {"1q_slot3", false, 6, 3, 3, 0, false},
    {"1q_top_large", false, 18, 4, 17, 0, false}, {"1q_ten_ops_large", false, 18, 10, 1, 0, false},
    {"1q_dynamic", true, 7, 2, 5, 0, false},      {"2q_slots_0_1", false, 5, 2, 0, 1, true},
    {"2q_reversed", false, 7, 3, 6, 2, true},     {"2q_large", false, 18, 4, 3, 16, true},
    {"2q_twelve_ops", false, 6, 12, 4, 1, true},  {"2q_dynamic", true, 7, 2, 6, 0, true},
};

class WholeChannelTest : public testing::TestWithParam<Whole> {};

// Weights by the definition (the plain loop; a clone, the gate and its squared norm), the index
// by the rule from a twin generator, the gate and a scaling by 1.0 / sqrt(p): the same bits, the
// same slots, one draw.
TEST_P(WholeChannelTest, MatchesDefinition) {
  const Whole& c = GetParam();
  TavroSV sv = c.dynamic ? TavroSV::zero_dynamic(c.n).value()
                         : TavroSV::from_amplitudes(c.n, wide_amps(size_t{1} << c.n, c.n)).value();
  if (c.dynamic) {
    ASSERT_TRUE(sv.apply_h(1) && sv.apply_ry(0.7, 3) && sv.apply_cx(1, 3));
  }
  const size_t e = c.two ? 16 : 4;
  const Ops ops = wide_amps(e * c.count, c.n + c.count);
  const auto gate = [&](TavroSV& s, size_t k) {
    std::array<Amp, 16> m{};
    std::copy_n(&ops[e * k], e, m.begin());
    return c.two ? s.apply_gate_2q(m, c.q1, c.q2) : s.apply_gate_1q({m[0], m[1], m[2], m[3]}, c.q1);
  };
  TavroSV want = sv.clone();
  const size_t slot = c.two ? want.phys2(c.q1, c.q2)->first : *want.resolve(c.q1);
  Probs w;
  for (size_t k = 0; k < c.count; ++k) {
    TavroSV copy = want.clone();
    ASSERT_TRUE(gate(copy, k));
    w.push_back(c.two ? copy.norm_squared() : weight(want.amplitudes(), slot, &ops[e * k]));
  }
  X rng = X::seed_from_u64(c.n + c.count), twin = rng;
  const size_t k = channels::select_index(w, twin);
  ASSERT_TRUE(gate(want, k));
  const double f = 1.0 / std::sqrt(w[k]);
  for (Amp& x : want.amps()) x = Amp(x.real() * f, x.imag() * f);

  const auto got =
      c.two ? sv.apply_kraus_2q(ops, c.q1, c.q2, rng) : sv.apply_kraus_1q(ops, c.q1, rng);
  EXPECT_EQ(got.value(), k);
  EXPECT_TRUE(same_bits(sv.amplitudes(), want.amplitudes()));
  EXPECT_TRUE(advanced_by(rng, X::seed_from_u64(c.n + c.count), 1));
  if (c.dynamic) {
    EXPECT_EQ(std::memcmp(sv.slots(), want.slots(), sizeof(SlotTable)), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Channels, WholeChannelTest, testing::ValuesIn(WHOLES),
                         [](const auto& i) { return std::string(i.param.name); });

// (3, 4i) under the identity: p = 25 and the parts are multiplied by 1.0 / 5.0 = 0.2, so 3
// becomes 0.6000000000000001 (a division would give 0.6). All-zero operators: total +0.0, no
// draw, operator 0 applied and nothing scaled into NaN.
TEST(KrausExact, ReciprocalScalingAndZeroOperators) {
  for (const bool two : {false, true}) {
    const size_t d = two ? 4 : 2;
    std::vector<Amp> amps(d);
    amps[0] = re(3.0), amps[1] = Amp(0.0, 4.0);
    Ops id(d * d), zero(2 * d * d);
    for (size_t i = 0; i < d; ++i) id[i * (d + 1)] = re(1.0);
    TavroSV sv = TavroSV::from_amplitudes(two ? 2 : 1, amps).value();
    X rng = X::seed_from_u64(1);
    EXPECT_EQ((two ? sv.apply_kraus_2q(id, 0, 1, rng) : sv.apply_kraus_1q(id, 0, rng)).value(), 0u);
    EXPECT_EQ(bits(sv.amplitudes()[0].real()), bits(0.6000000000000001));
    EXPECT_EQ(bits(sv.amplitudes()[1].imag()), bits(0.8));
    const X before = rng;
    EXPECT_EQ((two ? sv.apply_kraus_2q(zero, 1, 0, rng) : sv.apply_kraus_1q(zero, 0, rng)).value(),
              0u);
    EXPECT_TRUE(advanced_by(rng, before, 0));
    for (const Amp& x : sv.amplitudes()) EXPECT_EQ(x, Amp(0.0, 0.0));
  }
}

// ---- choices predicted from the published stream ----

// The generator {1, 2, 3, 4} gives the published outputs 41943041, 58720359, 3588806011781223,
// 3591011842654386, 9228616714210784205, 9973669472204895162, 14011001112246962877,
// 12406186145184390807: draws of about 2.27e-12, 3.18e-12, 1.9455e-4, 1.9467e-4, 0.50028,
// 0.54067, 0.75954, 0.67254. Each call puts a weight just on the other side of its draw.
TEST(ChannelStream, PublishedDraws) {
  const Ops ix{re(1), {}, {}, re(1), {}, re(1), re(1), {}};  // I, X
  const Ops proj{re(1), {}, {}, {}, {}, {}, {}, re(1)};      // |0><0|, |1><1|
  const double a = std::sqrt(0.54), b = std::sqrt(0.46);
  const Ops iz{re(a), {}, {}, re(a), re(b), {}, {}, re(-b)};
  Ops xx(32), ii(32), iii{re(1), {}, {}, re(1), re(1), {}, {}, re(1), re(1), {}, {}, re(1)};
  for (size_t i = 0; i < 4; ++i) xx[5 * i] = re(0.01), ii[5 * i] = ii[16 + 5 * i] = re(1);
  for (const size_t e : {2, 7, 8, 13}) xx[16 + e] = re(1);  // X on the first qubit
  TavroSV sv = TavroSV::zero(2).value();
  X rng{{1, 2, 3, 4}};
  EXPECT_EQ(sv.apply_mixed_unitary_1q(ix, Probs{1e-12, 1}, 0, rng).value(), 1u);  // X: |01>
  EXPECT_EQ(sv.apply_mixed_unitary_1q(ix, Probs{4e-12, 1}, 1, rng).value(), 0u);
  EXPECT_EQ(sv.apply_kraus_1q(proj, 0, rng).value(), 1u);   // weights 0 and 1
  EXPECT_EQ(sv.apply_kraus_2q(xx, 1, 0, rng).value(), 1u);  // 1e-4 and 1: |11>
  EXPECT_EQ(sv.apply_mixed_unitary_2q(ii, Probs{0.5, 0.5}, 0, 1, rng).value(), 1u);
  EXPECT_EQ(sv.apply_kraus_1q(iz, 0, rng).value(), 1u);  // 0.54 is below the target
  EXPECT_EQ(sv.apply_mixed_unitary_1q(iii, Probs{0.25, 0.5, 0.25}, 1, rng).value(), 2u);
  EXPECT_EQ(sv.apply_mixed_unitary_1q(ix, Probs{2, 1}, 1, rng).value(), 1u);  // X, unscaled
  EXPECT_EQ(rng.next_u64(), 15849039046786891736ull);
  EXPECT_EQ(sv.amplitudes()[1], Amp(-b * (1.0 / std::sqrt(b * b)), 0.0));
}

// ---- failures: texts, order of checks, draws and allocations ----

// One channel call from data: `op` 'k' Kraus, 'm' mixed-unitary, `two` for two qubits (q2
// used), `entries` operator entries, `probs` probabilities.
struct Failure {
  const char* name;
  bool dynamic;  // zero_dynamic(3) with qubit 2 live, else a static 3-qubit state
  char op;
  bool two;
  size_t entries, probs, q1, q2;
  std::string display;
  uint32_t live_after;  // the Kraus channels keep what they allocated
};

const std::string RANGE = "qubit index 3 out of bounds for state vector with 3 qubits";
const std::string DUP = "two-qubit gate operands must be distinct, got (";
const std::string KRAUS = "invalid gate matrix: kraus_ops length must be a non-zero multiple of ";
const std::string MIX = "invalid gate matrix: mixed_unitary_";

const Failure FAILURES[] = {
    {"k1_range_first", false, 'k', false, 6, 0, 3, 0, RANGE, 3},
    {"k1_length", false, 'k', false, 6, 0, 0, 0, KRAUS + "4 (got 6)", 3},
    {"k1_dynamic_allocates", true, 'k', false, 0, 0, 0, 0, KRAUS + "4 (got 0)", 2},
    {"k2_second_range", false, 'k', true, 5, 0, 0, 3, RANGE, 3},
    {"k2_dup_first", false, 'k', true, 5, 0, 1, 1, DUP + "1, 1)", 3},
    {"k2_dynamic_allocates_both", true, 'k', true, 20, 0, 1, 0, KRAUS + "16 (got 20)", 3},
    {"k2_dynamic_dup_allocates_none", true, 'k', true, 16, 0, 0, 0, DUP + "0, 0)", 1},
    {"m1_range_first", false, 'm', false, 3, 0, 3, 0, RANGE, 3},
    {"m1_no_probs", false, 'm', false, 0, 0, 0, 0,
     MIX + "1q: unitaries length must be 4 × len(probs) (0 × 4 = 0, got 0)", 3},
    {"m1_dynamic_allocates_none", true, 'm', false, 7, 2, 0, 0,
     MIX + "1q: unitaries length must be 4 × len(probs) (2 × 4 = 8, got 7)", 1},
    {"m2_first_range", false, 'm', true, 1, 0, 3, 3, RANGE, 3},
    {"m2_dup_first", false, 'm', true, 1, 0, 2, 2, DUP + "2, 2)", 3},
    {"m2_dynamic_allocates_none", true, 'm', true, 16, 2, 0, 1,
     MIX + "2q: unitaries length must be 16 × len(probs) (2 × 16 = 32, got 16)", 1},
};

class FailureTest : public testing::TestWithParam<Failure> {};

// The text, no draw, and the amplitudes as they were but for the zero upper halves of qubits a
// Kraus channel allocated before it looked at the list.
TEST_P(FailureTest, TextNoDrawStateKept) {
  const Failure& c = GetParam();
  TavroSV sv = c.dynamic ? TavroSV::zero_dynamic(3).value() : TavroSV::zero(3).value();
  ASSERT_TRUE(sv.apply_ry(0.4, 2) && sv.apply_rx(0.9, 2) && (c.dynamic || sv.apply_h(0)));
  const std::vector<Amp> before(sv.amplitudes().begin(), sv.amplitudes().end());
  X rng = X::seed_from_u64(77);
  const Ops ops(c.entries);
  const Probs probs(c.probs, 0.5);
  const auto r = c.op == 'k' ? (c.two ? sv.apply_kraus_2q(ops, c.q1, c.q2, rng)
                                      : sv.apply_kraus_1q(ops, c.q1, rng))
                             : (c.two ? sv.apply_mixed_unitary_2q(ops, probs, c.q1, c.q2, rng)
                                      : sv.apply_mixed_unitary_1q(ops, probs, c.q1, rng));
  EXPECT_EQ(r ? "ok" : r.error().display(), c.display);
  EXPECT_TRUE(advanced_by(rng, X::seed_from_u64(77), 0));
  ASSERT_EQ(sv.len(), size_t{1} << c.live_after);
  EXPECT_TRUE(same_bits(sv.amplitudes().first(before.size()), before));
  for (size_t i = before.size(); i < sv.len(); ++i) EXPECT_EQ(sv.amplitudes()[i], Amp(0.0, 0.0));
}

INSTANTIATE_TEST_SUITE_P(Channels, FailureTest, testing::ValuesIn(FAILURES),
                         [](const auto& i) { return std::string(i.param.name); });

// ---- statistics against the density matrix ----

// RY(1.1) on qubit 0, CX(0, 1): population s2 = sin^2(0.55) on |11>. Trajectories of one
// channel, each scored by the probability that qubit 0 reads 1, average to the density-matrix
// value within 5 standard errors.
const double S2 = std::sin(0.55) * std::sin(0.55);

const std::pair<Call, double> STATISTICS[] = {
    // Amplitude damping, gamma = 0.3: the excited population keeps a fraction 0.7.
    {[](TavroSV& s, X& r) {
       return s.apply_kraus_1q(
           Ops{re(1), {}, {}, re(std::sqrt(0.7)), {}, {}, re(std::sqrt(0.3)), {}}, 0, r);
     },
     0.7 * S2},
    // Depolarising p = 0.4 on qubit 0 through the two-qubit channel with an identity on qubit
    // 1: (1 - p) s2 + p/2.
    {[](TavroSV& s, X& r) {
       Ops ops(64);
       const double a = std::sqrt(0.7), b = std::sqrt(0.1);
       for (const size_t e : {0, 5, 10, 15}) ops[e] = re(a);
       for (const size_t e : {2, 7, 8, 13})
         ops[16 + e] = re(b), ops[32 + e] = Amp(0, e < 8 ? b : -b);
       for (const size_t e : {0, 5}) ops[48 + e] = re(b), ops[58 + e] = re(-b);
       return s.apply_kraus_2q(ops, 0, 1, r);
     },
     0.6 * S2 + 0.2},
};

class StatisticTest : public testing::TestWithParam<std::pair<Call, double>> {};

TEST_P(StatisticTest, MatchesDensityMatrix) {
  const auto& [channel, exact] = GetParam();
  constexpr size_t RUNS = 4000;
  X rng = X::seed_from_u64(2024);
  double sum = 0.0, sum2 = 0.0;
  for (size_t i = 0; i < RUNS; ++i) {
    TavroSV sv = TavroSV::zero(2).value();
    ASSERT_TRUE(sv.apply_ry(1.1, 0) && sv.apply_cx(0, 1) && channel(sv, rng));
    const double p1 = 1.0 - sv.prob_zero(0).value();
    sum += p1, sum2 += p1 * p1;
  }
  const double mean = sum / RUNS, se = std::sqrt((sum2 / RUNS - mean * mean) / RUNS);
  EXPECT_NEAR(mean, exact, 5 * se) << "standard error " << se;
}

INSTANTIATE_TEST_SUITE_P(Channels, StatisticTest, testing::ValuesIn(STATISTICS));

// ---- the two-qubit Kraus channel's peak memory ----

// In a forked child with address space for one more copy of the state (not one per operator),
// four operators give the parent's bits; with room for none, AllocationFailed leaves the
// amplitudes and the generator as they were.
TEST(KrausMemory, OneScratchCopyAtATime) {
  constexpr uint32_t N = 22;  // 64 MiB a copy
  const TavroSV start = TavroSV::from_amplitudes(N, wide_amps(size_t{1} << N, 5)).value();
  TavroSV sv = start.clone(), want = start.clone();
  const Ops ops = wide_amps(64, 6);
  X want_rng = X::seed_from_u64(12);
  const size_t want_k = want.apply_kraus_2q(ops, 5, 17, want_rng).value();
  for (const bool room : {true, false}) {
    const pid_t pid = fork();
    if (pid == 0) {
      (void)sv.norm_squared();  // the pool's threads exist before the limit
      AmpBuffer::trim_cache();  // a kept buffer would hold the scratch copy's room already
      size_t pages = 0;
      std::ifstream("/proc/self/statm") >> pages;
      const size_t spare = (room ? size_t{16} << N : 0) + (size_t{24} << 20);
      const rlimit lim{pages * size_t(sysconf(_SC_PAGESIZE)) + spare, RLIM_INFINITY};
      if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(3);
      X rng = X::seed_from_u64(12);
      const auto r = sv.apply_kraus_2q(ops, 5, 17, rng);
      if (room) _exit(r == want_k && same_bits(sv.amplitudes(), want.amplitudes()) ? 0 : 1);
      const std::string refused = "allocation failed for 4194304 complex amplitudes (0.0625 GiB)";
      _exit(!r && r.error().display() == refused && advanced_by(rng, X::seed_from_u64(12), 0) &&
                    same_bits(sv.amplitudes(), start.amplitudes())
                ? 0
                : 2);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "room=" << room << " " << status;
  }
}

}  // namespace
}  // namespace tavro
