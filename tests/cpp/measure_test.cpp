// Measurement, reset and release: the per-outcome sums (sequential and per-piece order, under
// RAYON_NUM_THREADS = 1, 3 and 8), the collapse, fixed outcomes from chosen draws, the 1e-300
// bound, the draw counts, the slot table after a release, and outcomes predicted from the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "draws.hpp"
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

using draws::advanced_by;
using draws::drawing;

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

// The sums, prob_zero, and both outcomes with the collapse of every amplitude by its global
// index, for the sizes and slots of both traversals: slot 2 and slots from 5 read one outcome's
// runs alone (eight side by side where the piece holds them), the others both sums at once.
TEST(MeasureSums, WorkerRuleAndCollapse) {
  for (const auto& [log_n, slot] : std::vector<std::pair<uint32_t, size_t>>{{10, 0},
                                                                            {10, 9},
                                                                            {18, 0},
                                                                            {18, 1},
                                                                            {18, 2},
                                                                            {18, 3},
                                                                            {18, 5},
                                                                            {18, 7},
                                                                            {18, 13},
                                                                            {18, 17},
                                                                            {5, 2},
                                                                            {7, 4},
                                                                            {18, 6},
                                                                            {9, 5}}) {
    std::vector<Amp> a(size_t{1} << log_n);  // about unit norm: both outcomes likely
    for (size_t k = 0; k < a.size(); ++k)
      a[k] = Amp(std::sin(k * 0.7 + slot), std::cos(k * 1.3)) / std::sqrt(double(a.size()));
    // Pieces of max(n / 4T, 1) under this process's worker count, added in order (one piece's
    // sums are never -0.0, so adding them to +0.0 keeps their bits).
    const size_t n = a.size(), t = par::NUM_THREADS();
    const size_t chunk = n < par::MIN_AMPS() || t < 2 ? n : std::max<size_t>(n / (4 * t), 1);
    Sums want{0.0, 0.0};
    for (size_t b = 0; b < n; b += chunk) {
      const Sums p = ref_piece(a, slot, b, std::min(n, b + chunk));
      want = {want.first + p.first, want.second + p.second};
    }
    const Sums got = abs2_sums(a, slot);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << log_n << " " << slot;
    EXPECT_EQ(bits(abs2_sum(a, slot, 1)), bits(want.second)) << log_n << " " << slot;
    const TavroSV source = TavroSV::from_amplitudes(log_n, a).value();
    EXPECT_EQ(bits(source.prob_zero(slot).value()), bits(want.first));
    for (const uint8_t outcome : {0, 1}) {
      TavroSV sv = source.clone();
      X rng = drawing(outcome == 0 ? 0.0 : 1.0 - 0x1p-53);
      ASSERT_EQ(sv.measure_qubit(slot, rng).value(), outcome);
      const double scale = 1.0 / std::sqrt(outcome ? want.second : want.first);
      std::vector<Amp> b = a;
      for (size_t i = 0; i < b.size(); ++i)
        b[i] = ((i >> slot) & 1) == outcome ? b[i] * scale : Amp(0.0, 0.0);
      EXPECT_TRUE(same_bits(sv.amplitudes(), b)) << log_n << " " << slot << " " << int(outcome);
    }
  }
}

const Amp Z(0.0, 0.0), ONE(1.0, 0.0), Q(0.25, 0.0), H(0.5, 0.0), SX0(0.5, 0.5), SX1(0.5, -0.5);
const Amp REC(0.44721359549995787, 0.8944271909999157);
const double R = 0.7071067811865475, T = std::nextafter(1e-150, 1.0);
using Op = Result<uint8_t> (TavroSV::*)(size_t, X&);
const Op M = &TavroSV::measure_qubit, RESET = &TavroSV::reset_qubit, FREE = &TavroSV::free_qubit;
const std::string REFUSED =  // every refused projection here is of outcome 1 on slot 0
    "invalid basis-state index: projection on qubit 0 outcome 1 has zero probability";

// Chosen draws on static states: one draw each that passes the range check, also before a refused
// projection (empty `after`), none before a range error; an error leaves the amplitudes alone.
TEST(MeasureFixed, OutcomesBitsAndErrors) {
  using Row = std::tuple<std::vector<Amp>, Op, size_t, double, std::string, std::vector<Amp>>;
  for (const auto& [amps, op, q, u, result, after] : std::vector<Row>{
           {{SX0, SX1}, M, 0, 0.5, "1", {Z, Amp(R, -R)}},  // p0 = 0.5: u < p0 is strict
           // 1 / sqrt(0.05000000000000001) multiplies; a division would give other last bits.
           {{Amp(0.1, 0.2), Amp(0.9, 0.0)}, M, 0, 0.0, "0", {REC, Z}},
           {{Amp(NAN, 0.0), ONE}, M, 0, 0.0, "1", {Z, ONE}},  // a NaN p0 picks 1
           {{Q, Q, Q, Q, Q, Q, Q, Q}, RESET, 2, 0.25, "1", {H, H, H, H, Z, Z, Z, Z}},
           {{Z, ONE}, FREE, 0, 0.5, "1", {ONE, Z}},  // a static release is a reset
           {{H, ONE}, M, 1, 0.5, "qubit index 1 out of bounds for state vector with 1 qubits", {}},
           {{H, Amp(1e-150, 0.0)}, M, 0, 0.5, REFUSED, {}},  // p1 = 1e-300 exactly: refused
           {{H, Amp(T, 0.0)}, M, 0, 0.5, "1", {Z, Amp(T * (1.0 / std::sqrt(T * T)), 0.0)}}}) {
    SCOPED_TRACE(testing::Message() << amps.size() << " amplitudes, u=" << u);
    TavroSV sv = TavroSV::from_amplitudes(std::countr_zero(amps.size()), amps).value();
    X rng = drawing(u);
    const Result<uint8_t> r = (sv.*op)(q, rng);
    EXPECT_TRUE(advanced_by(rng, drawing(u), q < sv.num_qubits()));
    EXPECT_EQ(r ? std::to_string(*r) : r.error().display(), result);
    EXPECT_TRUE(same_bits(sv.amplitudes(), r ? after : amps));
  }
}

// Qubit 1 of 3 live with amplitude 0.5 on |0> (p0 = 0.25), the others untouched. One step per
// call that passes the range check, live qubit or not. An untouched qubit reads as |0> without
// allocating, also on an unnormalised state; the draw 0.5 picks outcome 1 for qubit 1, whose
// projection is refused after the draw naming slot 0, not qubit 1. Nothing changes.
TEST(MeasureDraws, DynamicQubits) {
  const std::string want[] = {"0", REFUSED, "0",
                              "qubit index 3 out of bounds for state vector with 3 qubits"};
  for (const Op op : {M, RESET, FREE})
    for (const size_t q : {0, 1, 2, 3}) {
      SCOPED_TRACE(testing::Message() << q << (op == M) << (op == RESET));
      TavroSV sv = TavroSV::zero_dynamic(3).value();
      ASSERT_TRUE(sv.apply_gate_1q({H, Z, Z, H}, 1));
      const TavroSV before = sv.clone();
      EXPECT_TRUE(q == 1 || q == 3 || bits(sv.prob_zero(q).value()) == bits(1.0));
      X rng = drawing(0.5);
      const Result<uint8_t> r = (sv.*op)(q, rng);
      EXPECT_TRUE(advanced_by(rng, drawing(0.5), q < 3));
      EXPECT_EQ(r ? std::to_string(*r) : r.error().display(), want[q]);
      EXPECT_TRUE(same_bits(sv.amplitudes(), before.amplitudes()));
      EXPECT_EQ(*sv.slots(), *before.slots());
    }
}

// Release of a dynamic qubit after gates X or H on the listed qubits: the outcome, X on a 1, the
// exchange with the top slot, the halved buffer (the reservation stays) and the slot table (its
// entries other than 255, two per live qubit); the next gate allocates the qubit at the top.
TEST(MeasureRelease, ShrinksAndMovesTheTopSlot) {
  using Table = std::vector<std::pair<size_t, uint8_t>>;
  for (const auto& [n, setup, q, u, outcome, after, entries] : std::vector<
           std::tuple<uint32_t, std::string, size_t, double, uint8_t, std::vector<Amp>, Table>>{
           // Qubits 3, 0, 2 in slots 0, 1, 2: qubit 0 is kept at 0 and scaled to exactly 1,
           // qubit 2 moves from slot 2 to slot 1.
           {4, "x3h0x2", 0, 0.25, 0, {Z, Z, Z, ONE}, {{3, 0}, {2, 1}, {64, 3}, {65, 2}}},
           {3, "x1", 1, 0.5, 1, {ONE}, {}}}) {  // the last live qubit, in the top slot
    SCOPED_TRACE(setup);
    TavroSV sv = TavroSV::zero_dynamic(n).value();
    for (size_t i = 0; i < setup.size(); i += 2)
      ASSERT_TRUE(
          (sv.*(setup[i] == 'h' ? &TavroSV::apply_h : &TavroSV::apply_x))(setup[i + 1] - '0'));
    X rng = drawing(u);
    EXPECT_EQ(sv.free_qubit(q, rng).value(), outcome);
    EXPECT_TRUE(advanced_by(rng, drawing(u), 1));
    EXPECT_EQ(std::make_pair(sv.len(), sv.capacity()),
              std::make_pair(size_t{1} << entries.size() / 2, size_t{1} << n));
    EXPECT_TRUE(same_bits(sv.amplitudes(), after));
    for (const auto& [k, v] : entries) EXPECT_EQ((*sv.slots())[k], v) << k;
    EXPECT_EQ(std::ranges::count(*sv.slots(), NO_SLOT), 128 - std::ssize(entries));
    ASSERT_TRUE(sv.apply_z(q));
    EXPECT_EQ((*sv.slots())[q], sv.live_qubits() - 1);
  }
}

}  // namespace
}  // namespace tavro
