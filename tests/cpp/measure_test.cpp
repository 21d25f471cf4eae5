// Measurement, reset and release: the per-outcome sums (sequential and per-piece order, under
// RAYON_NUM_THREADS = 1, 3 and 8), the collapse, fixed outcomes from chosen draws, the 1e-300
// bound, the draw counts, the slot table after a release, and outcomes predicted from the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "par/pool.hpp"
#include "rng.hpp"
#include "sample/measure.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

using Sums = std::pair<double, double>;
using X = Xoshiro256PlusPlus;
uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
double abs2(const Amp& a) { return a.real() * a.real() + a.imag() * a.imag(); }
bool same_bits(std::span<const Amp> a, std::span<const Amp> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}

// A generator whose next draw is exactly u (a multiple of 2^-53): with s0 = 0 the output is
// rotl(s3, 23); s1 and s2 keep the stream alive after it.
X drawing(double u) {
  const uint64_t out = static_cast<uint64_t>(std::ldexp(u, 53)) << 11;
  return X{{0, 0x9E3779B97F4A7C15, 0x6A09E667F3BCC909, std::rotr(out, 23)}};
}
// Whether `now` is `start` advanced by exactly k steps.
bool advanced_by(const X& now, X start, size_t k) {
  for (size_t i = 0; i < k; ++i) start.next_u64();
  return std::memcmp(now.s, start.s, sizeof now.s) == 0;
}

std::vector<Amp> random_amps(size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (auto& a : v) a = Amp(u(gen), u(gen));
  return v;
}

// The sums of one piece [b, e), written independently: a run opens at b or at a multiple of s
// from -0.0 and closes at e or before the next multiple. On slot 0 an odd start goes to p1 first
// and an odd remaining length puts the last term in p0 first.
Sums ref_piece(const std::vector<Amp>& a, size_t slot, size_t b, size_t e) {
  double p[2] = {0.0, 0.0}, run = -0.0;
  const size_t s = size_t{1} << slot;
  if (slot == 0 && b % 2) p[1] += abs2(a[b++]);
  if (slot == 0 && (e - b) % 2) p[0] += abs2(a[--e]);
  for (size_t i = b; i < e; ++i) {
    run = (i == b || i % s == 0) ? -0.0 + abs2(a[i]) : run + abs2(a[i]);
    if (i + 1 == e || (i + 1) % s == 0) p[(i / s) % 2] += run;
  }
  return {p[0], p[1]};
}

// The sums as this process's worker count fixes them: pieces of max(n / 4T, 1), added in order.
Sums ref_sums(const std::vector<Amp>& a, size_t slot) {
  const size_t n = a.size(), t = par::NUM_THREADS();
  if (n < par::MIN_AMPS() || t < 2) return ref_piece(a, slot, 0, n);
  const size_t chunk = std::max<size_t>(n / (4 * t), 1);
  Sums acc{0.0, 0.0};
  for (size_t b = 0; b < n; b += chunk) {
    const Sums p = ref_piece(a, slot, b, std::min(n, b + chunk));
    acc = {acc.first + p.first, acc.second + p.second};
  }
  return acc;
}

// The sums, prob_zero, and the drawn outcome with the collapse of every amplitude by its global
// index, for the sizes and slots of both traversals.
TEST(MeasureSums, WorkerRuleAndCollapse) {
  for (const auto& [log_n, slot] :
       {std::pair<uint32_t, size_t>{10, 0}, {10, 9}, {18, 0}, {18, 1}, {18, 13}, {18, 17}}) {
    std::vector<Amp> a = random_amps(size_t{1} << log_n, 100 + log_n + slot);
    for (Amp& x : a) x /= std::sqrt(a.size() * 2.0 / 3.0);  // about unit norm: both outcomes likely
    const Sums want = ref_sums(a, slot), got = abs2_sums(a, slot);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << log_n << " " << slot;
    TavroSV sv = TavroSV::from_amplitudes(log_n, a).value();
    EXPECT_EQ(bits(sv.prob_zero(slot).value()), bits(want.first));
    X rng = X::seed_from_u64(log_n * 64 + slot), twin = rng;
    const uint8_t outcome = twin.next_f64() < want.first ? 0 : 1;
    const double scale = 1.0 / std::sqrt(outcome ? want.second : want.first);
    ASSERT_EQ(sv.measure_qubit(slot, rng).value(), outcome);
    EXPECT_TRUE(advanced_by(rng, twin, 0));
    for (size_t i = 0; i < a.size(); ++i)
      a[i] = ((i >> slot) & 1) == outcome ? a[i] * scale : Amp(0.0, 0.0);
    EXPECT_TRUE(same_bits(sv.amplitudes(), a)) << log_n << " " << slot;
  }
}

const Amp Z(0.0, 0.0), ONE(1.0, 0.0), Q(0.25, 0.0), H(0.5, 0.0), SX0(0.5, 0.5), SX1(0.5, -0.5);
const double R = 0.7071067811865475, S = 0.7071067811865476, T = std::nextafter(1e-150, 1.0);
const Amp REC(0.44721359549995787, 0.8944271909999157);

Result<uint8_t> call(TavroSV& sv, char op, size_t q, X& rng) {
  return op == 'm'   ? sv.measure_qubit(q, rng)
         : op == 'r' ? sv.reset_qubit(q, rng)
                     : sv.free_qubit(q, rng);
}

// Chosen draws on static states: one draw each, also before a refused projection (empty `after`),
// which names the slot and the outcome and leaves the amplitudes alone.
TEST(MeasureFixed, OutcomesBitsAndErrors) {
  using Row = std::tuple<std::vector<Amp>, char, size_t, double, uint8_t, std::vector<Amp>>;
  for (const auto& [amps, op, q, u, outcome, after] : std::vector<Row>{
           {{SX0, SX1}, 'm', 0, 0.5, 1, {Z, Amp(R, -R)}},  // p0 = p1 = 0.5: u < p0 is strict
           {{SX0, SX1}, 'm', 0, 0.5 - 0x1.0p-53, 0, {Amp(R, R), Z}},
           {{Amp(S, 0.0), Amp(S, 0.0)}, 'm', 0, 0.5, 0, {ONE, Z}},  // sums 0.5000000000000001
           {{Z, ONE}, 'm', 0, 1.0 - 0x1.0p-53, 1, {Z, ONE}},        // p1 = 1: the bits stay
           // 1 / sqrt(0.05000000000000001) multiplies; a division would give other last bits.
           {{Amp(0.1, 0.2), Amp(0.9, 0.0)},
            'm',
            0,
            0.0,
            0,
            {Amp(0.44721359549995787, 0.8944271909999157), Z}},
           {{Amp(NAN, 0.0), ONE}, 'm', 0, 0.0, 1, {Z, ONE}},  // a NaN p0 picks 1
           {{Q, Q, Q, Q, Q, Q, Q, Q}, 'r', 2, 0.25, 1, {H, H, H, H, Z, Z, Z, Z}},
           {{Z, ONE}, 'f', 0, 0.5, 1, {ONE, Z}},  // a static release is a reset
           {{SX0, Z}, 'm', 0, 0.5, 1, {}},        // squared norm 0.5, all on outcome 0
           {{H, Z, Z, Z, Z, Z, Z, Z}, 'r', 2, 0.5, 1, {}},
           {{Amp(1e-150, 0.0), H}, 'm', 0, 0.0, 0, {}},  // p0 = 1e-300 exactly: refused
           {{Amp(T, 0.0), H}, 'm', 0, 0.0, 0, {Amp(T * (1.0 / std::sqrt(T * T)), 0.0), Z}}}) {
    SCOPED_TRACE(testing::Message() << op << q << " u=" << u);
    TavroSV sv = TavroSV::from_amplitudes(std::countr_zero(amps.size()), amps).value();
    X rng = drawing(u);
    const X start = rng;
    const Result<uint8_t> r = call(sv, op, q, rng);
    EXPECT_TRUE(advanced_by(rng, start, 1));
    EXPECT_EQ(r ? "outcome " + std::to_string(*r) : r.error().display(),
              after.empty()
                  ? "invalid basis-state index: projection on qubit " + std::to_string(q) +
                        " outcome " + std::to_string(outcome) + " has zero probability"
                  : "outcome " + std::to_string(outcome));
    EXPECT_TRUE(same_bits(sv.amplitudes(), r ? after : amps));
  }
}

// One step per call that passes the range check, live qubit or not; none before a range error.
// Errors leave the state alone. An untouched dynamic qubit reads as |0> without allocating, also on
// an unnormalised state. On the dynamic state p0 of qubit 1 (slot 0) is 0.25, so the draw 0.5
// picks outcome 1, whose projection is refused (after the draw) naming slot 0, not qubit 1.
TEST(MeasureDraws, AdvancesExactly) {
  for (const bool dynamic : {false, true}) {
    for (const char op : {'m', 'r', 'f'}) {
      for (const size_t q : {0, 1, 2, 3, 9}) {
        SCOPED_TRACE(testing::Message() << op << q << (dynamic ? " dynamic" : " static"));
        // Qubit 1 of 3 live with amplitude 0.5 on |0>, or H on qubit 0 of 2.
        TavroSV sv = (dynamic ? TavroSV::zero_dynamic(3) : TavroSV::zero(2)).value();
        ASSERT_TRUE(dynamic ? sv.apply_gate_1q({H, Z, Z, H}, 1) : sv.apply_h(0));
        const std::vector<Amp> before(sv.amplitudes().begin(), sv.amplitudes().end());
        const SlotTable table = dynamic ? *sv.slots() : SlotTable{};
        const bool in_range = q < sv.num_qubits(), untouched = dynamic && in_range && q != 1;
        EXPECT_TRUE(!untouched || bits(sv.prob_zero(q).value()) == bits(1.0));
        X rng = drawing(0.5);
        const X start = rng;
        const Result<uint8_t> r = call(sv, op, q, rng);
        EXPECT_TRUE(advanced_by(rng, start, in_range));
        ASSERT_EQ(r.has_value(), in_range && !(dynamic && q == 1));
        EXPECT_TRUE(r || r.error().index() == (in_range ? 4 : 1));
        EXPECT_TRUE(
            r || !in_range ||
            r.error().display() ==
                "invalid basis-state index: projection on qubit 0 outcome 1 has zero probability");
        EXPECT_TRUE((r && !untouched) || same_bits(sv.amplitudes(), before));
        EXPECT_TRUE(!untouched || *r == 0);
        EXPECT_EQ(sv.live_qubits(), dynamic ? 1u : 2u);
        EXPECT_TRUE(!dynamic || *sv.slots() == table);
      }
    }
  }
}

// Release of a dynamic qubit after gates X or H on the listed qubits: the outcome, X on a 1, the
// exchange with the top slot, the halved buffer (the reservation stays) and the slot table (entries
// other than 255); the next gate allocates the qubit at the top.
TEST(MeasureRelease, ShrinksAndMovesTheTopSlot) {
  using Table = std::vector<std::pair<size_t, uint8_t>>;
  for (const auto& [n, setup, q, u, outcome, after, entries] : std::vector<
           std::tuple<uint32_t, std::string, size_t, double, uint8_t, std::vector<Amp>, Table>>{
           {2, "x0x0x1x1", 0, 0.5, 0, {ONE, Z}, {{1, 0}, {64, 1}}},  // slots exchanged
           {2, "x0x1", 1, 0.5, 1, {Z, ONE}, {{0, 0}, {64, 0}}},      // the top slot itself
           // Qubits 3, 0, 2 in slots 0, 1, 2: qubit 0 is kept at 0 and scaled to exactly 1,
           // qubit 2 moves from slot 2 to slot 1.
           {4, "x3h0x2", 0, 0.25, 0, {Z, Z, Z, ONE}, {{3, 0}, {2, 1}, {64, 3}, {65, 2}}},
           {3, "x1", 1, 0.5, 1, {ONE}, {}}}) {  // the last live qubit
    SCOPED_TRACE(setup);
    TavroSV sv = TavroSV::zero_dynamic(n).value();
    for (size_t i = 0; i < setup.size(); i += 2) {
      const size_t t = setup[i + 1] - '0';
      ASSERT_TRUE(setup[i] == 'h' ? sv.apply_h(t) : sv.apply_x(t));
    }
    const size_t len = sv.len();
    X rng = drawing(u);
    const X start = rng;
    EXPECT_EQ(sv.free_qubit(q, rng).value(), outcome);
    EXPECT_TRUE(advanced_by(rng, start, 1));
    EXPECT_EQ(sv.len(), len / 2);
    EXPECT_EQ(sv.capacity(), size_t{1} << n);
    EXPECT_TRUE(same_bits(sv.amplitudes(), after));
    SlotTable table;
    table.fill(NO_SLOT);
    for (const auto& [k, v] : entries) table[k] = v;
    EXPECT_EQ(*sv.slots(), table);
    ASSERT_TRUE(sv.apply_z(q));
    EXPECT_EQ((*sv.slots())[q], sv.live_qubits() - 1);
  }
}

// Every qubit of a scrambled circuit measured in random order: each outcome is u < p0 for the next
// draw of the stream, p0 summed over the logical basis beforehand.
TEST(MeasurePredict, OutcomesFollowTheStream) {
  for (const bool dynamic : {false, true}) {
    std::mt19937_64 gen(42);
    std::uniform_real_distribution<double> angle(0.0, 6.0);
    TavroSV sv = (dynamic ? TavroSV::zero_dynamic(7) : TavroSV::zero(7)).value();
    for (size_t q : {3, 0, 6, 1, 4, 2}) ASSERT_TRUE(sv.apply_ry(angle(gen), q));  // 5 untouched
    for (auto [c, t] : {std::pair{0, 1}, {2, 3}, {6, 4}}) ASSERT_TRUE(sv.apply_cx(c, t));
    std::vector<size_t> order(7);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), gen);
    X rng = X::seed_from_u64(7777), twin = rng;
    for (const size_t q : order) {
      double p0 = 0.0;
      for (size_t idx = 0; idx < 128; ++idx)
        p0 += ((idx >> q) & 1) ? 0.0 : sv.probability_logical(idx).value();
      ASSERT_EQ(sv.measure_qubit(q, rng).value(), twin.next_f64() < p0 ? 0 : 1) << "qubit " << q;
      EXPECT_TRUE(advanced_by(rng, twin, 0));
    }
  }
}

}  // namespace
}  // namespace tavro
