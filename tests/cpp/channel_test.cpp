// Noise channels: the selection rule to the bit, the draw counts, the failure texts and the
// order of checks and allocations, the Kraus weights against a plain loop on every vector
// target, whole channels against their definition (weigh, pick with a twin generator, apply,
// scale), choices predicted from the published generator stream, trajectory statistics against
// the density matrix, and the two-qubit channel's peak memory. The binary runs under
// RAYON_NUM_THREADS = 1, 3 and 8; the large cases cross the parallel cut-over.
#include <gtest/gtest.h>
#include <hwy/targets.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cmath>
#include <complex>
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
#include "rng.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

using X = Xoshiro256PlusPlus;
using Ops = std::vector<Amp>;

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

using draws::advanced_by;
using draws::drawing;

bool same_bits(std::span<const Amp> a, std::span<const Amp> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}

// Amplitudes whose magnitudes span 2^-40 to 2^40, so any change in the order of a sum changes
// its bits; every 7th is an exact zero and every 5th has a -0.0 part.
std::vector<Amp> wide_amps(size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> e(-40, 40);
  std::vector<Amp> v(n);
  for (size_t i = 0; i < n; ++i) {
    if (i % 7 == 3) continue;
    v[i] = Amp(std::ldexp(u(gen), e(gen)), i % 5 == 1 ? -0.0 : std::ldexp(u(gen), e(gen)));
  }
  return v;
}

// `count` random dense operators of `entries` entries each.
Ops random_ops(size_t count, size_t entries, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Ops ops(count * entries);
  for (Amp& m : ops) m = Amp(u(gen), u(gen));
  return ops;
}

// The plain complex product: each real product rounded on its own.
Amp mul(Amp m, Amp a) {
  return {m.real() * a.real() - m.imag() * a.imag(), m.real() * a.imag() + m.imag() * a.real()};
}
double abs2(Amp b) { return b.real() * b.real() + b.imag() * b.imag(); }

// ||m psi||^2 on slot t, written straight from the definition: blocks in address order, the
// low half of each in order, one accumulator from +0.0.
double weight(std::span<const Amp> a, size_t t, const Amp* m) {
  double p = 0.0;
  const size_t h = size_t{1} << t;
  for (size_t blk = 0; blk < a.size(); blk += 2 * h) {
    for (size_t i = blk; i < blk + h; ++i) {
      const Amp b0 = mul(m[0], a[i]) + mul(m[2], a[i + h]);
      const Amp b1 = mul(m[1], a[i]) + mul(m[3], a[i + h]);
      p = p + (abs2(b0) + abs2(b1));
    }
  }
  return p;
}

// The index the rule picks for draw u, from the same additions written out here.
size_t pick(const std::vector<double>& w, double u) {
  double total = -0.0;
  for (double x : w) total += x;
  double run = 0.0;
  for (size_t k = 0; k < w.size(); ++k)
    if ((run += w[k]) > total * u) return k;
  return w.size() - 1;
}

// Every part of a times factor, one product each.
void scale(std::span<Amp> a, double factor) {
  for (Amp& x : a) x = Amp(x.real() * factor, x.imag() * factor);
}

// ---- the selection rule ----

struct Selection {
  const char* name;
  std::vector<double> weights;
  double u;  // the draw the generator would give
  size_t k;
  bool draws;
};

constexpr double NAN_ = std::numeric_limits<double>::quiet_NaN();
constexpr double TINY = std::numeric_limits<double>::denorm_min();

const Selection SELECTIONS[] = {
    {"all_minus_zero", {-0.0, -0.0}, 0.5, 0, false},
    {"all_zero", {0.0, 0.0, 0.0}, 0.5, 0, false},
    {"negative_total", {-1.0, 0.5}, 0.5, 0, false},
    {"one_positive", {2.0}, 0.999, 0, true},
    // u = 0: target 0, and a zero weight's running sum 0 is not above it.
    {"zero_weight_skipped_by_u0", {0.0, 0.0, 1.0, 0.0}, 0.0, 2, true},
    // [0.25, 0.25]: target 0.5 u; the running sum must exceed it strictly.
    {"unnormalised_equal_strict", {0.25, 0.25}, 0.5, 1, true},
    {"unnormalised_equal_below", {0.25, 0.25}, 0.5 - 0x1.0p-53, 0, true},
    // A negative entry lowers the running sum and is passed over.
    {"negative_passed_low", {0.6, -0.2, 0.6}, 0.55, 0, true},
    {"negative_passed_high", {0.6, -0.2, 0.6}, 0.65, 2, true},
    {"nan_draws_and_takes_last", {0.5, NAN_, 0.2}, 0.1, 2, true},
    // total * u rounds up to the total itself: no running sum exceeds it, the last is taken.
    {"rounding_falls_back_to_last", {TINY, 0.0}, 1.0 - 0x1.0p-53, 1, true},
    {"first_exceeding", {0.1, 0.2, 0.3, 0.4}, 0.35, 2, true},
};

class SelectionTest : public testing::TestWithParam<Selection> {};

TEST_P(SelectionTest, PickAndDraws) {
  const Selection& c = GetParam();
  X rng = drawing(c.u);
  const X start = rng;
  EXPECT_EQ(channels::select_index(c.weights, rng), c.k);
  EXPECT_TRUE(advanced_by(rng, start, c.draws ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(Channels, SelectionTest, testing::ValuesIn(SELECTIONS),
                         [](const auto& i) { return std::string(i.param.name); });

// ---- the weights kernel ----

// Every batch size on every vector target and the portable loop gives the bits of the plain
// loop, on slots whose pairs sit in one vector, across vectors and across blocks, on buffers
// shorter than a vector and longer; an empty buffer weighs +0.0.
TEST(KrausWeights, EveryTargetMatchesThePlainLoop) {
  const Ops ops = random_ops(kernels::WEIGH_BATCH, 4, 11);
  (void)kernels::simd_available();  // fixed before any target is mocked
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);  // no mock: the state left behind
  for (const int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    for (const size_t t : {0, 1, 2, 3, 6}) {
      for (const size_t n : {size_t{2} << t, size_t{1} << 11}) {
        const std::vector<Amp> a = wide_amps(n, 31 * t + n);
        for (const size_t count : {1, 2, 3, 5, 8}) {
          for (const bool simd : {false, true}) {
            double out[kernels::WEIGH_BATCH];
            kernels::probabilities_after_1q(simd, a, t, std::span(ops).first(4 * count), out);
            for (size_t k = 0; k < count; ++k) {
              ASSERT_EQ(bits(out[k]), bits(weight(a, t, &ops[4 * k])))
                  << hwy::TargetName(target) << " t=" << t << " n=" << n << " count=" << count
                  << " simd=" << simd << " k=" << k;
            }
          }
        }
        EXPECT_EQ(bits(kernels::probability_after_1q(a, t, {ops[0], ops[1], ops[2], ops[3]})),
                  bits(weight(a, t, ops.data())));
      }
    }
  }
  hwy::SetSupportedTargetsForTest(0);
  EXPECT_EQ(bits(kernels::probability_after_1q({}, 0, {ops[0], ops[1], ops[2], ops[3]})),
            bits(0.0));
}

// ---- whole channels against their definition ----

struct Whole {
  const char* name;
  bool dynamic;
  uint32_t n;     // qubits
  size_t count;   // operators
  size_t q1, q2;  // q2 unused by the one-qubit channel
  bool two;       // the two-qubit channel
};

// 2^18 amplitudes are above the cut-over for every worker count; 10 and 12 operators cross the
// batch of 8 and take the heap for their weights.
const Whole WHOLES[] = {
    {"1q_slot0_small", false, 5, 2, 0, 0, false},
    {"1q_slot3_three_ops", false, 6, 3, 3, 0, false},
    {"1q_top_large", false, 18, 4, 17, 0, false},
    {"1q_slot1_ten_ops_large", false, 18, 10, 1, 0, false},
    {"1q_dynamic_untouched", true, 7, 2, 5, 0, false},
    {"2q_slots_0_1", false, 5, 2, 0, 1, true},
    {"2q_reversed_high", false, 7, 3, 6, 2, true},
    {"2q_large", false, 18, 4, 3, 16, true},
    {"2q_twelve_ops", false, 6, 12, 4, 1, true},
    {"2q_dynamic_untouched", true, 7, 2, 6, 0, true},
};

class WholeChannelTest : public testing::TestWithParam<Whole> {};

// Weights as the definition states them (the plain loop for one qubit; a clone, the gate and
// the clone's squared norm for two), the index by the rule from a twin of the generator, then
// the gate on the state and the scaling by 1.0 / sqrt(p): the channel must give those bits and
// advance the generator once.
TEST_P(WholeChannelTest, MatchesDefinition) {
  const Whole& c = GetParam();
  TavroSV sv = c.dynamic ? TavroSV::zero_dynamic(c.n).value() : TavroSV::zero(c.n).value();
  if (c.dynamic) {
    // Qubits 1 and 3 live in slots 0 and 1; the channel's qubits are untouched.
    ASSERT_TRUE(sv.apply_h(1) && sv.apply_ry(0.7, 3) && sv.apply_cx(1, 3));
  } else {
    const std::vector<Amp> a = wide_amps(size_t{1} << c.n, c.n);
    sv = TavroSV::from_amplitudes(c.n, a).value();
  }
  const size_t entries = c.two ? 16 : 4;
  const Ops ops = random_ops(c.count, entries, c.count * 7 + c.n);
  TavroSV expected = sv.clone();
  // Untouched qubits are allocated first, in argument order, exactly as the channel does.
  const auto slots = c.two ? expected.phys2(c.q1, c.q2).value()
                           : std::pair{expected.resolve(c.q1).value(), size_t{0}};
  std::vector<double> w;
  for (size_t k = 0; k < c.count; ++k) {
    if (c.two) {
      TavroSV copy = expected.clone();
      std::array<Amp, 16> m;
      std::copy_n(&ops[16 * k], 16, m.begin());
      ASSERT_TRUE(copy.apply_gate_2q(m, c.q1, c.q2));
      w.push_back(copy.norm_squared());
    } else {
      w.push_back(weight(expected.amplitudes(), slots.first, &ops[4 * k]));
    }
  }
  X rng = X::seed_from_u64(c.n + c.count);
  X twin = rng;
  const size_t k = pick(w, twin.next_f64());
  if (c.two) {
    std::array<Amp, 16> m;
    std::copy_n(&ops[16 * k], 16, m.begin());
    ASSERT_TRUE(expected.apply_gate_2q(m, c.q1, c.q2));
  } else {
    ASSERT_TRUE(
        expected.apply_gate_1q({ops[4 * k], ops[4 * k + 1], ops[4 * k + 2], ops[4 * k + 3]}, c.q1));
  }
  scale(expected.amps(), 1.0 / std::sqrt(w[k]));

  const auto got =
      c.two ? sv.apply_kraus_2q(ops, c.q1, c.q2, rng) : sv.apply_kraus_1q(ops, c.q1, rng);
  ASSERT_TRUE(got) << got.error().display();
  EXPECT_EQ(*got, k);
  EXPECT_TRUE(same_bits(sv.amplitudes(), expected.amplitudes()));
  EXPECT_TRUE(advanced_by(rng, X::seed_from_u64(c.n + c.count), 1));
  EXPECT_EQ(sv.live_qubits(), expected.live_qubits());
  if (c.dynamic) {
    EXPECT_EQ(std::memcmp(sv.slots(), expected.slots(), sizeof(SlotTable)), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Channels, WholeChannelTest, testing::ValuesIn(WHOLES),
                         [](const auto& i) { return std::string(i.param.name); });

// ---- exact cases ----

Amp re(double x) { return {x, 0.0}; }

// The bit flip [sqrt(0.9) I, sqrt(0.1) X] on |0>: p0 = sqrt(0.9)^2, p1 = sqrt(0.1)^2; a draw
// below p0 / (p0 + p1) keeps |0>, any other leaves sqrt(0.1) * (1 / sqrt(p1)) on |1>.
TEST(KrausExact, BitFlipOnZero) {
  const double a = std::sqrt(0.9), b = std::sqrt(0.1);
  const Ops ops{re(a), {}, {}, re(a), {}, re(b), re(b), {}};
  const double p0 = a * a, p1 = b * b;
  const double split = p0 / (p0 + p1);
  for (const double u : {0.0, 0.5, std::floor(split * 0x1.0p53) * 0x1.0p-53, 0.95, 0.999}) {
    TavroSV sv = TavroSV::zero(1).value();
    X rng = drawing(u);
    const size_t k = sv.apply_kraus_1q(ops, 0, rng).value();
    EXPECT_EQ(k, (p0 + p1) * u < p0 ? 0u : 1u) << u;
    const Amp want =
        k == 0 ? Amp(a * (1.0 / std::sqrt(p0)), 0.0) : Amp(b * (1.0 / std::sqrt(p1)), 0.0);
    EXPECT_EQ(bits(sv.amplitudes()[k].real()), bits(want.real())) << u;
    EXPECT_EQ(bits(sv.amplitudes()[k].imag()), bits(0.0)) << u;
    EXPECT_EQ(sv.amplitudes()[1 - k], Amp(0.0, 0.0)) << u;
  }
}

// One identity operator on (3, 4i): p = 25, and the parts are multiplied by 1.0 / 5.0 = 0.2,
// so 3 becomes 0.6000000000000001, where a division would give 0.6.
TEST(KrausExact, RenormalisesByTheReciprocal) {
  const std::vector<Amp> amps{{3.0, 0.0}, {0.0, 4.0}};
  for (const bool two : {false, true}) {
    TavroSV sv = TavroSV::from_amplitudes(two ? 2 : 1,
                                          two ? std::vector<Amp>{amps[0], amps[1], {}, {}} : amps)
                     .value();
    Ops id(two ? 16 : 4);
    for (size_t i = 0; i < (two ? 4u : 2u); ++i) id[i * (two ? 5 : 3)] = re(1.0);
    X rng = X::seed_from_u64(1);
    const auto k = two ? sv.apply_kraus_2q(id, 0, 1, rng) : sv.apply_kraus_1q(id, 0, rng);
    ASSERT_EQ(k.value(), 0u);
    EXPECT_EQ(bits(sv.amplitudes()[0].real()), bits(0.6000000000000001)) << two;
    EXPECT_EQ(bits(sv.amplitudes()[1].imag()), bits(0.8)) << two;
    EXPECT_TRUE(advanced_by(rng, X::seed_from_u64(1), 1)) << two;
  }
}

// All-zero operators: total +0.0, no draw, operator 0 is applied and the zeros are not scaled
// (1 / sqrt(0) would turn them into NaN).
TEST(KrausExact, ZeroOperatorsNoDrawNoScaling) {
  for (const bool two : {false, true}) {
    TavroSV sv =
        TavroSV::from_amplitudes(2, std::vector<Amp>{{0.5, 0.5}, {0.5, 0}, {0, 0.5}, {0.5, 0}})
            .value();
    X rng = X::seed_from_u64(9);
    const Ops zeros(two ? 32 : 8);
    const auto k = two ? sv.apply_kraus_2q(zeros, 1, 0, rng) : sv.apply_kraus_1q(zeros, 1, rng);
    ASSERT_EQ(k.value(), 0u);
    for (const Amp& x : sv.amplitudes())
      EXPECT_EQ(bits(std::abs(x.real()) + std::abs(x.imag())), 0u);
    EXPECT_TRUE(advanced_by(rng, X::seed_from_u64(9), 0)) << two;
  }
}

// A mixed-unitary channel never renormalises and uses `probs` as given; a zero total draws
// nothing and applies unitary 0.
TEST(MixedUnitaryExact, AppliesTheGateAsGiven) {
  const Ops us{re(2.0), {}, {}, re(2.0), {}, re(1.0), re(1.0), {}};  // 2 I, then X
  const std::pair<std::vector<double>, size_t> cases[] = {
      {{0.0, 0.0}, 0}, {{-1.0, 1.0}, 0}, {{0.0, 0.3}, 1}};
  for (const auto& [probs, k] : cases) {
    TavroSV sv = TavroSV::zero(1).value();
    X rng = drawing(0.0);
    EXPECT_EQ(sv.apply_mixed_unitary_1q(us, probs, 0, rng).value(), k);
    EXPECT_EQ(sv.amplitudes()[0], k == 0 ? Amp(2.0, 0.0) : Amp(0.0, 0.0));
    EXPECT_EQ(sv.amplitudes()[1], k == 0 ? Amp(0.0, 0.0) : Amp(1.0, 0.0));
    EXPECT_TRUE(advanced_by(rng, drawing(0.0), probs[0] + probs[1] > 0.0 ? 1 : 0));
  }
}

// ---- choices predicted from the published stream ----

// The generator {1, 2, 3, 4} gives the published outputs 41943041, 58720359, 3588806011781223,
// 3591011842654386, 9228616714210784205, 9973669472204895162, 14011001112246962877,
// 12406186145184390807, so the draws are about 2.27e-12, 3.18e-12, 1.9455e-4, 1.9467e-4,
// 0.50028, 0.54067, 0.75954, 0.67254. Each call below sits a weight just on the other side of
// its draw; the ninth output follows.
TEST(ChannelStream, PublishedDraws) {
  const Ops ix{re(1.0), {}, {}, re(1.0), {}, re(1.0), re(1.0), {}};
  Ops xx(32);  // 1e-2 I (x) I, then X on the first qubit (the high local bit)
  for (size_t i = 0; i < 4; ++i) xx[5 * i] = re(0.01);
  for (const size_t e : {2, 7, 8, 13}) xx[16 + e] = re(1.0);
  Ops iz{re(std::sqrt(0.54)), {}, {}, re(std::sqrt(0.54)),
         re(std::sqrt(0.46)), {}, {}, re(-std::sqrt(0.46))};
  Ops two(32);
  for (size_t i = 0; i < 4; ++i) two[5 * i] = two[16 + 5 * i] = re(1.0);
  Ops three(12);
  for (size_t k = 0; k < 3; ++k) three[4 * k] = three[4 * k + 3] = re(1.0);

  TavroSV sv = TavroSV::zero(2).value();
  X rng{{1, 2, 3, 4}};
  // u1: target (1 + 1e-12) u1 is above 1e-12, so X, not I.
  EXPECT_EQ(sv.apply_mixed_unitary_1q(ix, std::vector<double>{1e-12, 1.0}, 0, rng).value(), 1u);
  // u2: target below 4e-12.
  EXPECT_EQ(sv.apply_mixed_unitary_1q(ix, std::vector<double>{4e-12, 1.0}, 1, rng).value(), 0u);
  // u3: the projectors |0><0| and |1><1| on qubit 0, which is 1: weights 0 and 1, and the
  // zero weight is passed over.
  EXPECT_EQ(sv.apply_kraus_1q(Ops{re(1.0), {}, {}, {}, {}, {}, {}, re(1.0)}, 0, rng).value(), 1u);
  // u4: weights 1e-4 and 1: target 1.9469e-4 passes the first.
  EXPECT_EQ(sv.apply_kraus_2q(xx, 1, 0, rng).value(), 1u);
  // u5: target 0.50014 is not below 0.5.
  EXPECT_EQ(sv.apply_mixed_unitary_2q(two, std::vector<double>{0.5, 0.5}, 0, 1, rng).value(), 1u);
  // u6: 0.54 is not above the target 0.54067.
  EXPECT_EQ(sv.apply_kraus_1q(iz, 0, rng).value(), 1u);
  // u7: 0.75 is not above 0.75954.
  EXPECT_EQ(sv.apply_mixed_unitary_1q(three, std::vector<double>{0.25, 0.5, 0.25}, 1, rng).value(),
            2u);
  // u8: total 3 as given, target 2.0176.
  EXPECT_EQ(sv.apply_mixed_unitary_1q(ix, std::vector<double>{2.0, 1.0}, 1, rng).value(), 1u);
  EXPECT_EQ(rng.next_u64(), 15849039046786891736ull);
  // X on both qubits, Z on qubit 0 scaled back to unit length, then X on qubit 1 again.
  EXPECT_EQ(sv.amplitudes()[1],
            Amp(-std::sqrt(0.46) * (1.0 / std::sqrt(std::sqrt(0.46) * std::sqrt(0.46))), 0.0));
}

// ---- failures: texts, order of checks, draws and allocations ----

using Call = std::function<Result<size_t>(TavroSV&, X&)>;

struct Failure {
  const char* name;
  bool dynamic;  // zero_dynamic(3) with qubit 2 live; otherwise a static 3-qubit state
  Call call;
  std::string display;
  uint32_t live_after;  // the Kraus channels keep the qubits they allocated
};

Ops zeros(size_t n) { return Ops(n); }
std::vector<double> probs(size_t n) { return std::vector<double>(n, 0.5); }

const std::string RANGE = "qubit index 3 out of bounds for state vector with 3 qubits";
const std::string KRAUS = "invalid gate matrix: kraus_ops length must be a non-zero multiple of ";
const std::string MIXED1 =
    "invalid gate matrix: mixed_unitary_1q: unitaries length must be 4 × len(probs) (";
const std::string MIXED2 =
    "invalid gate matrix: mixed_unitary_2q: unitaries length must be 16 × len(probs) (";

const Failure FAILURES[] = {
    {"kraus1_range_before_list", false,
     [](TavroSV& sv, X& r) { return sv.apply_kraus_1q(zeros(6), 3, r); }, RANGE, 3},
    {"kraus1_length", false, [](TavroSV& sv, X& r) { return sv.apply_kraus_1q(zeros(6), 0, r); },
     KRAUS + "4 (got 6)", 3},
    {"kraus1_empty", false, [](TavroSV& sv, X& r) { return sv.apply_kraus_1q(zeros(0), 1, r); },
     KRAUS + "4 (got 0)", 3},
    {"kraus1_dynamic_allocates_first", true,
     [](TavroSV& sv, X& r) { return sv.apply_kraus_1q(zeros(6), 0, r); }, KRAUS + "4 (got 6)", 2},
    {"kraus2_first_range", false,
     [](TavroSV& sv, X& r) { return sv.apply_kraus_2q(zeros(15), 3, 9, r); }, RANGE, 3},
    {"kraus2_second_range", false,
     [](TavroSV& sv, X& r) { return sv.apply_kraus_2q(zeros(15), 0, 3, r); }, RANGE, 3},
    {"kraus2_duplicate_before_list", false,
     [](TavroSV& sv, X& r) { return sv.apply_kraus_2q(zeros(15), 1, 1, r); },
     "two-qubit gate operands must be distinct, got (1, 1)", 3},
    {"kraus2_length", false,
     [](TavroSV& sv, X& r) { return sv.apply_kraus_2q(zeros(20), 0, 1, r); }, KRAUS + "16 (got 20)",
     3},
    {"kraus2_dynamic_allocates_both", true,
     [](TavroSV& sv, X& r) { return sv.apply_kraus_2q(zeros(0), 1, 0, r); }, KRAUS + "16 (got 0)",
     3},
    {"kraus2_dynamic_duplicate_allocates_nothing", true,
     [](TavroSV& sv, X& r) { return sv.apply_kraus_2q(zeros(16), 0, 0, r); },
     "two-qubit gate operands must be distinct, got (0, 0)", 1},
    {"mixed1_range_before_lengths", false,
     [](TavroSV& sv, X& r) { return sv.apply_mixed_unitary_1q(zeros(3), probs(0), 3, r); }, RANGE,
     3},
    {"mixed1_no_probs", false,
     [](TavroSV& sv, X& r) { return sv.apply_mixed_unitary_1q(zeros(0), probs(0), 0, r); },
     MIXED1 + "0 × 4 = 0, got 0)", 3},
    {"mixed1_mismatch", false,
     [](TavroSV& sv, X& r) { return sv.apply_mixed_unitary_1q(zeros(7), probs(2), 0, r); },
     MIXED1 + "2 × 4 = 8, got 7)", 3},
    {"mixed1_dynamic_allocates_nothing", true,
     [](TavroSV& sv, X& r) { return sv.apply_mixed_unitary_1q(zeros(12), probs(2), 0, r); },
     MIXED1 + "2 × 4 = 8, got 12)", 1},
    {"mixed2_first_range", false,
     [](TavroSV& sv, X& r) { return sv.apply_mixed_unitary_2q(zeros(1), probs(0), 3, 3, r); },
     RANGE, 3},
    {"mixed2_second_range", false,
     [](TavroSV& sv, X& r) { return sv.apply_mixed_unitary_2q(zeros(1), probs(0), 2, 3, r); },
     RANGE, 3},
    {"mixed2_duplicate_before_lengths", false,
     [](TavroSV& sv, X& r) { return sv.apply_mixed_unitary_2q(zeros(1), probs(0), 2, 2, r); },
     "two-qubit gate operands must be distinct, got (2, 2)", 3},
    {"mixed2_mismatch", false,
     [](TavroSV& sv, X& r) { return sv.apply_mixed_unitary_2q(zeros(16), probs(2), 0, 1, r); },
     MIXED2 + "2 × 16 = 32, got 16)", 3},
    {"mixed2_dynamic_allocates_nothing", true,
     [](TavroSV& sv, X& r) { return sv.apply_mixed_unitary_2q(zeros(4), probs(1), 0, 1, r); },
     MIXED2 + "1 × 16 = 16, got 4)", 1},
};

class FailureTest : public testing::TestWithParam<Failure> {};

// The error and its text; no draw; the amplitudes as they were, apart from the zero upper
// halves of the qubits a Kraus channel allocated before it looked at the list.
TEST_P(FailureTest, TextNoDrawStateKept) {
  const Failure& c = GetParam();
  TavroSV sv = c.dynamic ? TavroSV::zero_dynamic(3).value() : TavroSV::zero(3).value();
  ASSERT_TRUE(sv.apply_ry(0.4, 2) && sv.apply_rx(0.9, 2));
  if (!c.dynamic) {
    ASSERT_TRUE(sv.apply_h(0) && sv.apply_ry(0.3, 1));
  }
  const std::vector<Amp> before(sv.amplitudes().begin(), sv.amplitudes().end());
  X rng = X::seed_from_u64(77);
  const auto r = c.call(sv, rng);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), c.display);
  EXPECT_TRUE(advanced_by(rng, X::seed_from_u64(77), 0));
  EXPECT_EQ(sv.live_qubits(), c.live_after);
  ASSERT_EQ(sv.len(), size_t{1} << c.live_after);
  EXPECT_TRUE(same_bits(sv.amplitudes().first(before.size()), before));
  for (size_t i = before.size(); i < sv.len(); ++i) EXPECT_EQ(sv.amplitudes()[i], Amp(0.0, 0.0));
}

INSTANTIATE_TEST_SUITE_P(Channels, FailureTest, testing::ValuesIn(FAILURES),
                         [](const auto& i) { return std::string(i.param.name); });

// On a fresh dynamic state the Kraus channels give q1 the lower slot; a mixed-unitary channel
// allocates only once it has drawn, and then likewise.
TEST(ChannelSlots, AllocationOrder) {
  Ops id2(32);
  for (size_t i = 0; i < 4; ++i) id2[5 * i] = id2[16 + 5 * i] = re(1.0);
  const Ops id1{re(1.0), {}, {}, re(1.0)};
  const std::vector<double> p{1.0, 1.0};
  const std::function<Result<size_t>(TavroSV&, X&)> calls[] = {
      [&](TavroSV& sv, X& r) { return sv.apply_kraus_2q(id2, 3, 1, r); },
      [&](TavroSV& sv, X& r) { return sv.apply_mixed_unitary_2q(id2, p, 3, 1, r); },
  };
  for (const auto& call : calls) {
    TavroSV sv = TavroSV::zero_dynamic(4).value();
    X rng = X::seed_from_u64(3);
    ASSERT_TRUE(call(sv, rng));
    EXPECT_EQ((*sv.slots())[3], 0);
    EXPECT_EQ((*sv.slots())[1], 1);
    EXPECT_TRUE(advanced_by(rng, X::seed_from_u64(3), 1));
  }
  TavroSV sv = TavroSV::zero_dynamic(4).value();
  X rng = X::seed_from_u64(3);
  ASSERT_TRUE(
      sv.apply_mixed_unitary_1q(Ops{id1[0], {}, {}, id1[3], id1[0], {}, {}, id1[3]}, p, 2, rng));
  EXPECT_EQ(sv.live_qubits(), 1u);
  EXPECT_EQ((*sv.slots())[2], 0);
}

// ---- statistics against the density matrix ----

// Trajectories of one channel on a fixed two-qubit state, each measured by the raw probability
// that qubit 0 reads 1 (a value in [0, 1]); their mean must agree with Tr(|1><1|_0 rho') of the
// density-matrix map rho' = sum K rho K^dagger, within 5 standard errors of the mean.
struct Statistic {
  const char* name;
  std::function<Result<size_t>(TavroSV&, X&)> channel;
  double exact;  // from the density matrix, worked out below each row
};

// |psi> = RY(theta) on qubit 0 of |00>, then CX(0, 1): weight sin^2(theta/2) on |11>.
constexpr double THETA = 1.1;
const double S2 = std::sin(THETA / 2) * std::sin(THETA / 2);
constexpr double GAMMA = 0.3;
constexpr double PDEP = 0.4;

Ops amplitude_damping() {
  return {re(1.0), {}, {}, re(std::sqrt(1 - GAMMA)), {}, {}, re(std::sqrt(GAMMA)), {}};
}

// Two-qubit depolarising: sqrt(1 - 15p/16) I, then sqrt(p/16) P_a (x) P_b for the 15 other
// Pauli pairs (16 operators: the weights take the heap).
Ops depolarising_2q() {
  const Amp pauli[4][4] = {{re(1), {}, {}, re(1)},
                           {{}, re(1), re(1), {}},
                           {{}, Amp(0, 1), Amp(0, -1), {}},
                           {re(1), {}, {}, re(-1)}};
  Ops ops;
  for (size_t a = 0; a < 4; ++a) {
    for (size_t b = 0; b < 4; ++b) {
      const double f = std::sqrt(a + b == 0 ? 1 - 15 * PDEP / 16 : PDEP / 16);
      // (P_a (x) P_b)[r + 4c], r = 2 ra + rb, c = 2 ca + cb.
      for (size_t c = 0; c < 4; ++c)
        for (size_t r = 0; r < 4; ++r)
          ops.push_back(pauli[a][(r >> 1) + 2 * (c >> 1)] * pauli[b][(r & 1) + 2 * (c & 1)] * f);
    }
  }
  return ops;
}

const Statistic STATISTICS[] = {
    // Damping leaves a fraction 1 - gamma of the excited population: (1 - gamma) s2.
    {"amplitude_damping_kraus_1q",
     [](TavroSV& sv, X& r) { return sv.apply_kraus_1q(amplitude_damping(), 0, r); },
     (1 - GAMMA) * S2},
    // Depolarising (1 - p) rho + p I/4 on both: (1 - p) s2 + p / 2, with the Kraus form's
    // 16 operators (q1 = 0 is the high local bit).
    {"depolarising_kraus_2q",
     [](TavroSV& sv, X& r) { return sv.apply_kraus_2q(depolarising_2q(), 0, 1, r); },
     (1 - PDEP) * S2 + PDEP / 2},
    // Mixed-unitary bit flip on qubit 0 with probs [0.7, 0.3]: 0.7 s2 + 0.3 (1 - s2).
    {"bit_flip_mixed_1q",
     [](TavroSV& sv, X& r) {
       return sv.apply_mixed_unitary_1q(Ops{re(1), {}, {}, re(1), {}, re(1), re(1), {}},
                                        std::vector<double>{0.7, 0.3}, 0, r);
     },
     0.7 * S2 + 0.3 * (1 - S2)},
    // Mixed-unitary SWAP with probability 0.25 as unnormalised probs [3, 1]: |11> stays |11>,
    // so the population of qubit 0 is s2 whatever is drawn, and the mean must be exact too.
    {"swap_mixed_2q",
     [](TavroSV& sv, X& r) {
       Ops us(32);
       for (size_t i = 0; i < 4; ++i) us[5 * i] = re(1);
       for (const size_t e : {0, 6, 9, 15}) us[16 + e] = re(1);
       return sv.apply_mixed_unitary_2q(us, std::vector<double>{3.0, 1.0}, 1, 0, r);
     },
     S2},
};

class StatisticTest : public testing::TestWithParam<Statistic> {};

TEST_P(StatisticTest, MatchesDensityMatrix) {
  const Statistic& c = GetParam();
  constexpr size_t RUNS = 4000;
  X rng = X::seed_from_u64(2024);
  double sum = 0.0, sum2 = 0.0;
  for (size_t i = 0; i < RUNS; ++i) {
    TavroSV sv = TavroSV::zero(2).value();
    ASSERT_TRUE(sv.apply_ry(THETA, 0) && sv.apply_cx(0, 1));
    ASSERT_TRUE(c.channel(sv, rng));
    const double p1 = 1.0 - sv.prob_zero(0).value();
    sum += p1;
    sum2 += p1 * p1;
  }
  const double mean = sum / RUNS;
  const double se = std::sqrt(std::max(sum2 / RUNS - mean * mean, 0.0) / RUNS);
  EXPECT_NEAR(mean, c.exact, 5 * se + 1e-12) << "se " << se;
}

INSTANTIATE_TEST_SUITE_P(Channels, StatisticTest, testing::ValuesIn(STATISTICS),
                         [](const auto& i) { return std::string(i.param.name); });

// ---- the two-qubit Kraus channel's peak memory ----

// In a forked child whose address space has room for one more copy of the state but not for
// one per operator, four operators succeed with the bits the parent computed; with no room
// for even one copy the channel reports AllocationFailed and leaves the amplitudes and the
// generator as they were.
TEST(KrausMemory, OneScratchCopyAtATime) {
  constexpr uint32_t N = 22;  // 64 MiB per copy
  const size_t bytes = (size_t{16} << N);
  TavroSV sv = TavroSV::from_amplitudes(N, wide_amps(size_t{1} << N, 5)).value();
  const Ops ops = random_ops(4, 16, 6);
  // The parent's result, through the channel itself under no limit (checked against the
  // definition above).
  TavroSV want = sv.clone();
  X want_rng = X::seed_from_u64(12);
  const size_t want_k = want.apply_kraus_2q(ops, 5, 17, want_rng).value();
  for (const bool room : {true, false}) {
    const pid_t pid = fork();
    if (pid == 0) {
      (void)sv.norm_squared();  // the pool's threads exist before the limit
      size_t pages = 0;
      std::ifstream("/proc/self/statm") >> pages;
      // Room: one copy and a margin (two more would be needed for three buffers); no room:
      // the margin only.
      const size_t margin = size_t{24} << 20;
      const rlimit lim{pages * size_t(sysconf(_SC_PAGESIZE)) + (room ? bytes : 0) + margin,
                       RLIM_INFINITY};
      if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(10);
      X rng = X::seed_from_u64(12);
      const X start = rng;
      const auto r = sv.apply_kraus_2q(ops, 5, 17, rng);
      if (room) {
        if (!r) _exit(11);
        if (*r != want_k || !same_bits(sv.amplitudes(), want.amplitudes())) _exit(12);
        _exit(advanced_by(rng, start, 1) ? 0 : 13);
      }
      if (r ||
          r.error().display() != "allocation failed for 4194304 complex amplitudes (0.0625 GiB)")
        _exit(21);
      if (!advanced_by(rng, start, 0)) _exit(22);
      _exit(0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "room=" << room << " status " << status;
  }
}

}  // namespace
}  // namespace tavro
