// Multi-controlled gates: the order of the checks and of slot allocation, the shortcuts against
// the gates they stand for, a dense long-double reference on logical qubits, and the general
// kernels against their plain arithmetic written out, bit for bit, in every regime of the walk
// (the binary runs under RAYON_NUM_THREADS = 1, 3 and 8) and on every compiled Highway target.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "amp.hpp"
#include "error.hpp"
#include "gates/kernels/multi_control.hpp"
#include "gates/kernels/simd.hpp"
#include "gates/kernels/two_qubit.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

using V = std::vector<size_t>;
constexpr size_t P2(size_t k) { return size_t{1} << k; }
bool same_bits(std::span<const Amp> a, std::span<const Amp> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}
std::vector<Amp> random_amps(size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Amp> v(n);
  for (Amp& a : v) a = Amp(u(gen), u(gen));
  return v;
}
// Column-major; not unitary, as matrices are applied as given. X4 is CX with q1 the control.
const std::array<Amp, 4> U2{Amp(0.3, -1.7), Amp(2.5, 0.4), Amp(-0.9, 1.1), Amp(0.6, -0.2)};
const std::array<Amp, 16> U4 = [] {
  std::array<Amp, 16> m;
  const std::vector<Amp> r = random_amps(16, 99);
  std::copy(r.begin(), r.end(), m.begin());
  return m;
}();
const std::array<Amp, 16> X4{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0};

enum Kind { MCX, C1Q, C2Q };
Status apply(TavroSV& sv, Kind k, const V& c, const V& t) {
  if (k == MCX) return sv.apply_mcx(c, t[0]);
  if (k == C1Q) return sv.apply_controlled_gate_1q(U2, c, t[0]);
  return sv.apply_controlled_gate_2q(U4, c, t[0], t[1]);
}
std::string oob(size_t q, size_t n) { return Error(QubitIndexOutOfBounds{q, n}).debug(); }
std::string dup(size_t q) { return Error(DuplicateQubits{q}).debug(); }

// ---- checks: the controls first, each fully in list order, then the targets ----

const std::tuple<Kind, uint32_t, V, V, std::string> CHECKS[] = {
    {MCX, 3, {}, {9}, oob(9, 3)},  // the uncontrolled gates' own checks
    {C2Q, 3, {}, {1, 1}, dup(1)},        {MCX, 6, {5}, {5}, dup(5)},
    {MCX, 6, {1, 1}, {0}, dup(1)},       {MCX, 3, {9}, {9}, oob(9, 3)},  // range before equality
    {MCX, 3, {0}, {9}, oob(9, 3)},       {MCX, 3, {7}, {9}, oob(7, 3)},
    {C1Q, 4, {1, 5, 1}, {0}, oob(5, 4)}, {C1Q, 4, {1, 1, 5}, {0}, dup(1)},
    {C1Q, 4, {2, 0, 9}, {0}, dup(0)},    {C1Q, 20, {17, 3, 17}, {25}, dup(17)},
    {C2Q, 4, {2}, {2, 3}, dup(2)},       {C2Q, 4, {3}, {2, 3}, dup(3)},
    {C2Q, 4, {0, 2, 0}, {1, 1}, dup(0)},  // before phys2's DuplicateQubits(1)
    {C2Q, 3, {5}, {7, 7}, oob(5, 3)},    {C2Q, 3, {0}, {7, 8}, oob(7, 3)},
    {C2Q, 3, {0}, {1, 8}, oob(8, 3)},    {C2Q, 3, {0}, {2, 2}, dup(2)}};

TEST(MultiControl, ChecksInOrderAndNothingChanges) {
  for (const auto& [kind, n, c, t, want] : CHECKS) {
    for (const bool dynamic : {false, true}) {
      TavroSV sv = (dynamic ? TavroSV::zero_dynamic(n) : TavroSV::zero(n)).value();
      ASSERT_TRUE(sv.apply_h(n - 1));  // one live qubit, amplitudes not all zero
      const TavroSV before = sv.clone();
      const Status s = apply(sv, kind, c, t);
      ASSERT_FALSE(s.has_value());
      EXPECT_EQ(s.error().debug(), want) << "dynamic " << dynamic;
      EXPECT_TRUE(same_bits(sv.amplitudes(), before.amplitudes()));
      EXPECT_EQ(sv.live_qubits(), before.live_qubits());
      EXPECT_TRUE(!dynamic || *sv.slots() == *before.slots());
    }
  }
  TavroSV sv = TavroSV::zero(3).value();
  size_t out[64] = {};
  try {
    (void)sv.map_controls(V{1, 7}, out);
    ADD_FAILURE() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "controls were validated by check_controls: " + oob(7, 3));
  }
}

// On a dynamic state: (kind, qubits touched before, controls, targets, the qubit of each slot).
TEST(MultiControl, TargetsGetSlotsBeforeControls) {
  const std::tuple<Kind, V, V, V, V> rows[] = {{MCX, {}, {4, 1}, {6}, {6, 4, 1}},
                                               {C1Q, {}, {4, 1}, {6}, {6, 4, 1}},
                                               {MCX, {}, {2}, {0}, {0, 2}},
                                               {C1Q, {1}, {4, 1, 3}, {6}, {1, 6, 4, 3}},
                                               {C2Q, {}, {4, 1}, {6, 3}, {6, 3, 4, 1}},
                                               {C2Q, {3}, {0}, {6, 3}, {3, 6, 0}},
                                               {C2Q, {}, {}, {5, 2}, {5, 2}}};
  for (const auto& [kind, touched, c, t, owners] : rows) {
    TavroSV sv = TavroSV::zero_dynamic(7).value();
    for (const size_t q : touched) ASSERT_TRUE(sv.apply_x(q));
    ASSERT_TRUE(apply(sv, kind, c, t));
    ASSERT_EQ(sv.live_qubits(), owners.size());
    for (size_t s = 0; s < owners.size(); ++s) {
      EXPECT_EQ((*sv.slots())[64 + s], owners[s]) << "slot " << s;
      EXPECT_EQ((*sv.slots())[owners[s]], s) << "qubit " << owners[s];
    }
  }
}

// ---- the shortcuts are exactly the gates they stand for ----

TEST(MultiControl, ShortcutsAreTheirGatesBitForBit) {
  // One control on (control, target) slots: fixed groups, lo < 2 (plain) and lo >= 2 (the
  // controlled-2x2 kernel's fused form, which the general kernel never uses).
  for (const auto& [c, t] : {std::pair{0, 1}, {2, 1}, {0, 5}, {4, 2}, {3, 5}, {5, 3}}) {
    TavroSV a = TavroSV::from_amplitudes(6, random_amps(64, 5)).value(), b = a.clone();
    ASSERT_TRUE(a.apply_mcx(V{size_t(c)}, t));
    ASSERT_TRUE(b.apply_cx(c, t));
    EXPECT_TRUE(same_bits(a.amplitudes(), b.amplitudes())) << "mcx " << c << "," << t;
    ASSERT_TRUE(a.apply_controlled_gate_1q(U2, V{size_t(c)}, t));
    kernels::apply_ctrl_2x2_kernel(b.simd(), b.amps(), c, t, U2);
    EXPECT_TRUE(same_bits(a.amplitudes(), b.amplitudes())) << "1q " << c << "," << t;
  }
  // Empty lists: the same bits, slots and errors as the uncontrolled gates.
  auto same = [](const Status& x, const Status& y) {
    return x.has_value() ? y.has_value() : !y.has_value() && x.error().debug() == y.error().debug();
  };
  for (const bool dynamic : {false, true}) {
    for (const V& t : {V{2, 0}, V{0, 2}, V{3, 3}, V{1, 4}}) {
      TavroSV a = (dynamic ? TavroSV::zero_dynamic(4) : TavroSV::zero(4)).value();
      ASSERT_TRUE(a.apply_h(1));
      TavroSV b = a.clone();
      EXPECT_TRUE(
          same(a.apply_controlled_gate_2q(U4, {}, t[0], t[1]), b.apply_gate_2q(U4, t[0], t[1])));
      EXPECT_TRUE(same(a.apply_controlled_gate_1q(U2, {}, t[1]), b.apply_gate_1q(U2, t[1])));
      EXPECT_TRUE(same(a.apply_mcx({}, t[0]), b.apply_x(t[0])));
      EXPECT_TRUE(same_bits(a.amplitudes(), b.amplitudes())) << t[0] << "," << t[1];
      EXPECT_TRUE(!dynamic || *a.slots() == *b.slots());
    }
  }
}

// A 4x4 CX with one control is a Toffoli whichever of q1 and q2 has the lower slot: every other
// term of a row is a signed zero, which leaves a nonzero value's bits alone.
TEST(MultiControl, ControlledCxMatrixIsToffoliInBothSlotOrders) {
  // (control, q1, q2, the order a dynamic state's qubits are first touched in)
  const std::tuple<size_t, size_t, size_t, V> rows[] = {
      {0, 1, 2, {}}, {4, 3, 1, {}}, {2, 0, 4, {}}, {0, 1, 2, {2, 0, 1}}, {1, 3, 4, {4, 3, 1}}};
  for (const auto& [c, q1, q2, order] : rows) {
    TavroSV a = TavroSV::from_amplitudes(5, random_amps(32, 11)).value();
    if (!order.empty()) a = TavroSV::zero_dynamic(5).value();
    for (const size_t q : order) ASSERT_TRUE(a.apply_gate_1q(U2, q));
    TavroSV b = a.clone();
    ASSERT_TRUE(a.apply_controlled_gate_2q(X4, V{c}, q1, q2));
    ASSERT_TRUE(b.apply_mcx(V{c, q1}, q2));
    EXPECT_TRUE(same_bits(a.amplitudes(), b.amplitudes())) << c << " " << q1 << " " << q2;
  }
}

// ---- a dense reference in long double, on logical qubits ----

using CL = std::complex<long double>;

// The gate's column-major matrix on `targets` (targets[0] the most significant local bit) where
// every control of index i is 1.
std::vector<CL> reference(Kind k, const std::vector<CL>& in, const V& controls, const V& targets) {
  const size_t dim = P2(targets.size());
  auto u = [&](size_t r, size_t c) -> CL {
    const Amp g = k == MCX ? Amp(r != c) : k == C1Q ? U2[r + 2 * c] : U4[r + 4 * c];
    return {g.real(), g.imag()};
  };
  std::vector<CL> out = in;
  for (size_t i = 0; i < in.size(); ++i) {
    if (!std::ranges::all_of(controls, [&](size_t c) { return (i >> c) & 1; })) continue;
    size_t r = 0, base = i;
    for (const size_t t : targets) r = (r << 1) | ((i >> t) & 1), base &= ~P2(t);
    out[i] = 0;
    for (size_t c = 0; c < dim; ++c) {
      size_t j = base;
      for (size_t b = 0; b < targets.size(); ++b)
        j |= ((c >> (targets.size() - 1 - b)) & 1) << targets[b];
      out[i] += u(r, c) * in[j];
    }
  }
  return out;
}

std::vector<CL> logical(const TavroSV& sv) {
  std::vector<CL> v(P2(sv.num_qubits()));
  for (size_t i = 0; i < v.size(); ++i) {
    const Amp a = sv.get_logical(i).value();
    v[i] = CL(a.real(), a.imag());
  }
  return v;
}

TEST(MultiControl, MatchesDenseReference) {
  const std::tuple<Kind, V, V> rows[] = {
      {MCX, {0, 1}, {2}},    {MCX, {4, 0, 2}, {1}},    {MCX, {3, 1}, {0}}, {C1Q, {2}, {4}},
      {C1Q, {0, 3}, {1}},    {C1Q, {4, 1, 2}, {0}},    {C2Q, {0}, {3, 1}}, {C2Q, {0}, {1, 3}},
      {C2Q, {4, 2}, {0, 1}}, {C2Q, {1, 3, 0}, {4, 2}}, {C2Q, {2}, {4, 0}}, {C2Q, {3, 4}, {2, 0}}};
  for (const bool dynamic : {false, true}) {
    for (const auto& [k, c, t] : rows) {
      TavroSV sv = TavroSV::from_amplitudes(5, random_amps(32, c.size() + 7 * t[0])).value();
      if (dynamic) {  // qubits 1 and 3 untouched, the others in a permuted slot order, entangled
        sv = TavroSV::zero_dynamic(5).value();
        for (const size_t q : {2, 4, 0}) ASSERT_TRUE(sv.apply_gate_1q(U2, q));
        ASSERT_TRUE(sv.apply_cx(2, 4));
      }
      const std::vector<CL> want = reference(k, logical(sv), c, t);
      ASSERT_TRUE(apply(sv, k, c, t));
      const std::vector<CL> got = logical(sv);
      size_t bad = 0;
      for (size_t i = 0; i < got.size(); ++i)
        bad += !(std::abs(got[i] - want[i]) <= 1e-14L * (1 + std::abs(want[i])));
      EXPECT_EQ(bad, 0u) << "kind " << k << " dynamic " << dynamic << " target " << t[0];
    }
  }
}

// ---- the general kernels on raw buffers ----

// Their arithmetic written out: every real product rounded on its own, the terms of a row added
// in column order. `fused` gives the contracted products a compiler could slip in, which these
// inputs must tell apart. U4 is taken in the kernel's local order, (bit hi << 1) | bit lo.
Amp mul(Amp g, Amp z, bool fused) {
  if (fused) {
    return {std::fma(g.real(), z.real(), -(g.imag() * z.imag())),
            std::fma(g.real(), z.imag(), g.imag() * z.real())};
  }
  return {g.real() * z.real() - g.imag() * z.imag(), g.real() * z.imag() + g.imag() * z.real()};
}

std::vector<Amp> model(Kind kind, std::vector<Amp> a, uint64_t ctrl, const V& t, bool fused) {
  const size_t lo = P2(std::ranges::min(t)), hi = P2(std::ranges::max(t)), dim = P2(t.size());
  const Amp* g = kind == C1Q ? U2.data() : U4.data();
  for (size_t i = 0; i < a.size(); ++i) {
    if ((i & ctrl) != ctrl || (i & (lo | hi)) != 0) continue;
    if (kind == MCX) {
      std::swap(a[i], a[i | lo]);
      continue;
    }
    const size_t at[4] = {i, i | lo, i | hi, i | lo | hi};
    Amp out[4];
    for (size_t r = 0; r < dim; ++r) {
      out[r] = mul(g[r], a[at[0]], fused);
      for (size_t c = 1; c < dim; ++c) {
        const Amp p = mul(g[r + dim * c], a[at[c]], fused);
        out[r] = {out[r].real() + p.real(), out[r].imag() + p.imag()};
      }
    }
    for (size_t r = 0; r < dim; ++r) a[at[r]] = out[r];
  }
  return a;
}

// Active amplitudes random with signed zeros among them; every inactive one a signalling NaN with
// a payload of its own, which any arithmetic would quiet and any move would misplace.
std::vector<Amp> kernel_input(size_t n, uint64_t ctrl, uint64_t seed) {
  std::vector<Amp> a = random_amps(n, seed);
  for (size_t k = 0; k < n; ++k) {
    if ((k & ctrl) != ctrl) {
      a[k] = Amp(std::bit_cast<double>(0x7FF0000000000001 + k),
                 std::bit_cast<double>(0xFFF0000000000100 + k));
    } else if (k % 5 == 3) {
      a[k] = Amp(-0.0, k % 2 ? 0.0 : -0.0);
    }
  }
  return a;
}

// (log2 length, control slots, target slots, the cut with two or more workers): runs of 1, 2, 4
// and 8 amplitudes, one or two targets in either order, and the top slot among them (a single
// block, whose runs the workers share); the small states on every target.
using enum par::Regime;
const std::tuple<size_t, V, V, par::Regime> ROWS[] = {
    {9, {0, 1}, {2}, Sequential},        {9, {1, 4}, {6}, Sequential},
    {10, {2, 3}, {8}, Sequential},       {10, {5, 9}, {3}, Sequential},
    {9, {1}, {0, 4}, Sequential},        {10, {3}, {8, 2}, Sequential},
    {10, {0, 2, 7}, {5, 9}, Sequential}, {12, {6, 11}, {9, 3}, Sequential},
    {20, {0, 1}, {2}, Chunks},  // runs of one amplitude at 3, 11, 19, ...
    {20, {3, 5}, {4}, Chunks},           {20, {2, 19}, {7}, GroupRuns},
    {20, {14, 0, 9}, {19}, GroupRuns},   {20, {12}, {2, 13}, Chunks},
    {20, {1}, {19, 3}, GroupRuns},       {20, {4, 8}, {19, 0}, GroupRuns}};

// With and without the vector bodies: a missed or repeated group, or a touched inactive
// amplitude, shows as well as a wrong rounding.
TEST(MultiControlKernel, PlainArithmeticInEveryRegimeOnEveryTarget) {
  (void)kernels::simd_available();  // the flag is fixed on first use: before any target is mocked
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);  // no mock: the best target, and the state left behind
  for (const int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    for (const auto& [q, c, t, want] : ROWS) {
      if (q > 12 && target != 0) continue;
      uint64_t ctrl = 0, all = 0;
      for (const size_t s : c) ctrl |= P2(s);
      for (const size_t s : t) all |= P2(s);
      all |= ctrl;
      const size_t n = P2(q), runs = n >> (std::popcount(all) + std::countr_zero(all));
      const par::Plan p = par::plan_group_runs(n, std::bit_floor(all) * 2, runs, par::NUM_THREADS(),
                                               par::MIN_AMPS());
      EXPECT_EQ(p.regime, par::NUM_THREADS() < 2 ? Sequential : want) << "n 2^" << q;
      const std::vector<Amp> in = kernel_input(n, ctrl, q + c.size() + t[0]);
      for (const Kind kind : t.size() == 1 ? std::vector{MCX, C1Q} : std::vector{C2Q}) {
        const std::vector<Amp> bits = model(kind, in, ctrl, t, false);
        EXPECT_TRUE(kind == MCX || !same_bits(bits, model(kind, in, ctrl, t, true)));
        for (const bool simd : {false, true}) {
          std::vector<Amp> got = in;
          if (kind == MCX) kernels::apply_mcx_general_kernel(simd, got, ctrl, t[0]);
          if (kind == C1Q) kernels::apply_mctrl_2x2_general_kernel(simd, got, ctrl, t[0], U2);
          if (kind == C2Q) {
            kernels::apply_mctrl_4x4_general_kernel(simd, got, ctrl, std::ranges::min(t),
                                                    std::ranges::max(t), U4);
          }
          EXPECT_TRUE(same_bits(got, bits)) << hwy::TargetName(target) << " simd " << simd
                                            << " n 2^" << q << " all " << all << " kind " << kind;
        }
      }
    }
  }
  std::vector<size_t> first;
  kernels::for_each_controlled_run(0, 3, kernels::controlled_walk(0b011, 0b100),
                                   [&](size_t i) { first.push_back(i); });
  EXPECT_EQ(first, (V{3, 11, 19}));
}

}  // namespace
}  // namespace tavro
