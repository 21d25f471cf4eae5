// Multi-controlled gates: the order of the checks and of slot allocation, the shortcuts against
// the gates they stand for, a dense long-double reference on logical qubits, the walk of the
// general kernels in every regime (the binary runs under RAYON_NUM_THREADS = 1, 3 and 8), and
// their plain arithmetic to the bit on every compiled Highway target.
#include <gtest/gtest.h>
#include <hwy/targets.h>

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
#include <utility>
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
using Span = std::span<Amp>;
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
// Not unitary: matrices are applied as given.
const std::array<Amp, 4> U2{Amp(0.3, -1.7), Amp(2.5, 0.4), Amp(-0.9, 1.1), Amp(0.6, -0.2)};
const std::array<Amp, 16> U4 = [] {
  std::array<Amp, 16> m;
  const std::vector<Amp> r = random_amps(16, 99);
  std::copy(r.begin(), r.end(), m.begin());
  return m;
}();
// CX with q1 the control: entries 0, 5, 11 and 14 are 1.
const std::array<Amp, 16> CX4{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0};

enum Kind { MCX, C1Q, C2Q };
const char* const KIND_NAMES[] = {"mcx", "c1q", "c2q"};
// One operation: kind, controls, targets (one, or q1 and q2).
Status apply(TavroSV& sv, Kind k, const V& c, const V& t) {
  if (k == MCX) return sv.apply_mcx(c, t[0]);
  if (k == C1Q) return sv.apply_controlled_gate_1q(U2, c, t[0]);
  return sv.apply_controlled_gate_2q(U4, c, t[0], t[1]);
}

// ---- checks: controls first, each fully in list order, then the targets ----

struct CheckRow {
  Kind kind;
  uint32_t n;
  V controls, targets;
  const char* want;  // debug form of the error
};
const CheckRow CHECKS[] = {
    {MCX, 3, {}, {9}, "QubitIndexOutOfBounds { qubit: 9, num_qubits: 3 }"},  // apply_x's own
    {C1Q, 3, {}, {3}, "QubitIndexOutOfBounds { qubit: 3, num_qubits: 3 }"},
    {C2Q, 3, {}, {1, 1}, "DuplicateQubits(1)"},  // phys2's own
    {C2Q, 3, {}, {4, 5}, "QubitIndexOutOfBounds { qubit: 4, num_qubits: 3 }"},
    {MCX, 6, {5}, {5}, "DuplicateQubits(5)"},
    {MCX, 6, {1, 1}, {0}, "DuplicateQubits(1)"},
    {MCX, 3, {9}, {9}, "QubitIndexOutOfBounds { qubit: 9, num_qubits: 3 }"},  // range first
    {MCX, 3, {0}, {9}, "QubitIndexOutOfBounds { qubit: 9, num_qubits: 3 }"},
    {MCX, 3, {7}, {9}, "QubitIndexOutOfBounds { qubit: 7, num_qubits: 3 }"},
    {C1Q, 4, {1, 5, 1}, {0}, "QubitIndexOutOfBounds { qubit: 5, num_qubits: 4 }"},
    {C1Q, 4, {1, 1, 5}, {0}, "DuplicateQubits(1)"},
    {C1Q, 4, {2, 0, 9}, {0}, "DuplicateQubits(0)"},
    {C1Q, 20, {17, 3, 17}, {25}, "DuplicateQubits(17)"},
    {C2Q, 4, {2}, {2, 3}, "DuplicateQubits(2)"},
    {C2Q, 4, {3}, {2, 3}, "DuplicateQubits(3)"},
    {C2Q, 4, {0, 2, 0}, {1, 1}, "DuplicateQubits(0)"},  // before phys2's DuplicateQubits(1)
    {C2Q, 3, {5}, {7, 7}, "QubitIndexOutOfBounds { qubit: 5, num_qubits: 3 }"},
    {C2Q, 3, {0}, {7, 8}, "QubitIndexOutOfBounds { qubit: 7, num_qubits: 3 }"},
    {C2Q, 3, {0}, {1, 8}, "QubitIndexOutOfBounds { qubit: 8, num_qubits: 3 }"},
    {C2Q, 3, {0}, {2, 2}, "DuplicateQubits(2)"},
};

class MultiControlCheck : public testing::TestWithParam<CheckRow> {};

TEST_P(MultiControlCheck, ErrorInOrderAndNothingChanged) {
  const CheckRow& r = GetParam();
  for (const bool dynamic : {false, true}) {
    TavroSV sv = (dynamic ? TavroSV::zero_dynamic(r.n) : TavroSV::zero(r.n)).value();
    ASSERT_TRUE(sv.apply_h(r.n - 1));  // a live qubit and amplitudes that are not all zero
    const std::vector<Amp> before(sv.amplitudes().begin(), sv.amplitudes().end());
    const SlotTable table = dynamic ? *sv.slots() : SlotTable{};
    const Status s = apply(sv, r.kind, r.controls, r.targets);
    ASSERT_FALSE(s.has_value()) << "dynamic " << dynamic;
    EXPECT_EQ(s.error().debug(), r.want) << "dynamic " << dynamic;
    EXPECT_TRUE(same_bits(sv.amplitudes(), before));
    EXPECT_EQ(sv.live_qubits(), dynamic ? 1u : r.n);
    if (dynamic) {
      EXPECT_EQ(*sv.slots(), table);
    }
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, MultiControlCheck, testing::ValuesIn(CHECKS), [](const auto& info) {
  return std::string(KIND_NAMES[info.param.kind]) + "_" + std::to_string(info.index);
});

TEST(MultiControl, MapControlsFaultsOnAControlOutOfRange) {
  TavroSV sv = TavroSV::zero(3).value();
  const size_t controls[] = {1, 7};
  size_t out[64] = {};
  try {
    (void)sv.map_controls(controls, out);
    ADD_FAILURE() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(),
              "controls were validated by check_controls: QubitIndexOutOfBounds { qubit: 7, "
              "num_qubits: 3 }");
  }
}

// ---- slot allocation on a dynamic state: targets first, then the controls in list order ----

struct SlotRow {
  Kind kind;
  V touched, controls, targets;
  V qubit_of_slot;  // slot s holds qubit_of_slot[s] afterwards
};
const SlotRow SLOT_ROWS[] = {
    {MCX, {}, {4, 1}, {6}, {6, 4, 1}},
    {C1Q, {}, {4, 1}, {6}, {6, 4, 1}},
    {MCX, {}, {2}, {0}, {0, 2}},  // one control: the same order through the shortcut
    {C1Q, {1}, {4, 1, 3}, {6}, {1, 6, 4, 3}},
    {C2Q, {}, {4, 1}, {6, 3}, {6, 3, 4, 1}},
    {C2Q, {3}, {0}, {6, 3}, {3, 6, 0}},
    {C2Q, {}, {}, {5, 2}, {5, 2}},
};

TEST(MultiControl, TargetsAllocatedBeforeControls) {
  for (const SlotRow& r : SLOT_ROWS) {
    TavroSV sv = TavroSV::zero_dynamic(7).value();
    for (const size_t q : r.touched) ASSERT_TRUE(sv.apply_x(q));
    ASSERT_TRUE(apply(sv, r.kind, r.controls, r.targets));
    ASSERT_EQ(sv.live_qubits(), r.qubit_of_slot.size());
    for (size_t s = 0; s < r.qubit_of_slot.size(); ++s) {
      EXPECT_EQ((*sv.slots())[64 + s], r.qubit_of_slot[s]) << "slot " << s;
      EXPECT_EQ((*sv.slots())[r.qubit_of_slot[s]], s) << "qubit " << r.qubit_of_slot[s];
    }
  }
}

// ---- shortcuts: empty and single control lists are exactly the gates they stand for ----

TEST(MultiControl, ShortcutsAreTheirGatesBitForBit) {
  const std::vector<Amp> in = random_amps(P2(6), 5);
  // (control, target) slot pairs: fixed groups, lo < 2 (plain) and lo >= 2 (fused 2x2 form).
  const std::pair<size_t, size_t> pairs[] = {{0, 1}, {2, 1}, {0, 5}, {4, 2}, {3, 5}, {5, 3}};
  for (const auto& [c, t] : pairs) {
    TavroSV a = TavroSV::from_amplitudes(6, in).value(), b = a.clone();
    const V one{c};
    ASSERT_TRUE(a.apply_mcx(one, t));
    ASSERT_TRUE(b.apply_cx(c, t));
    EXPECT_TRUE(same_bits(a.amplitudes(), b.amplitudes())) << "mcx " << c << "," << t;
    ASSERT_TRUE(a.apply_controlled_gate_1q(U2, one, t));
    std::vector<Amp> want(b.amplitudes().begin(), b.amplitudes().end());
    kernels::apply_ctrl_2x2_kernel(b.simd(), want, c, t, U2);
    EXPECT_TRUE(same_bits(a.amplitudes(), want)) << "1q " << c << "," << t;
  }
  // Empty lists, on a dynamic state too: same bits, same slots, same errors.
  for (const bool dynamic : {false, true}) {
    for (const V& t : {V{2, 0}, V{0, 2}, V{3, 3}, V{1, 4}}) {
      TavroSV a = (dynamic ? TavroSV::zero_dynamic(4) : TavroSV::zero(4)).value();
      ASSERT_TRUE(a.apply_h(1));
      TavroSV b = a.clone();
      const Status ra = a.apply_controlled_gate_2q(U4, {}, t[0], t[1]);
      const Status rb = b.apply_gate_2q(U4, t[0], t[1]);
      const Status sa = a.apply_controlled_gate_1q(U2, {}, t[1]);
      const Status sb = b.apply_gate_1q(U2, t[1]);
      const Status xa = a.apply_mcx({}, t[0]);
      const Status xb = b.apply_x(t[0]);
      const std::pair<const Status*, const Status*> results[] = {
          {&ra, &rb}, {&sa, &sb}, {&xa, &xb}};
      for (const auto& [x, y] : results) {
        ASSERT_EQ(x->has_value(), y->has_value());
        if (!x->has_value()) {
          EXPECT_EQ(x->error().debug(), y->error().debug());
        }
      }
      EXPECT_TRUE(same_bits(a.amplitudes(), b.amplitudes())) << t[0] << "," << t[1];
      if (dynamic) {
        EXPECT_EQ(*a.slots(), *b.slots());
      }
    }
  }
}

// A 4x4 CX with one control is a Toffoli in either slot order of q1 and q2: every other term of
// a row is a signed zero, which leaves a nonzero value's bits alone.
TEST(MultiControl, ControlledCxMatrixIsToffoliInBothSlotOrders) {
  const std::vector<Amp> in = random_amps(P2(5), 11);
  // (control, q1, q2, dynamic touch order)
  const std::tuple<size_t, size_t, size_t, V> rows[] = {
      {0, 1, 2, {}}, {4, 3, 1, {}}, {2, 0, 4, {}}, {0, 1, 2, {2, 0, 1}}, {1, 3, 4, {4, 3, 1}}};
  for (const auto& [c, q1, q2, order] : rows) {
    TavroSV a = TavroSV::from_amplitudes(5, in).value();
    if (!order.empty()) {  // the same values on a dynamic state with permuted slots
      a = TavroSV::zero_dynamic(5).value();
      for (const size_t q : order) ASSERT_TRUE(a.apply_gate_1q(U2, q));
    }
    TavroSV b = a.clone();
    ASSERT_TRUE(a.apply_controlled_gate_2q(CX4, V{c}, q1, q2));
    ASSERT_TRUE(b.apply_mcx(V{c, q1}, q2));
    EXPECT_TRUE(same_bits(a.amplitudes(), b.amplitudes())) << c << " " << q1 << " " << q2;
  }
}

// ---- dense reference in long double, on logical qubits ----

using CL = std::complex<long double>;

// out[i] = sum over local columns of U (column-major, targets[0] most significant) where every
// control bit of i is 1; i itself elsewhere.
std::vector<CL> reference(Kind k, const std::vector<CL>& in, const V& controls, const V& targets) {
  const size_t dim = k == C2Q ? 4 : 2;
  auto u = [&](size_t r, size_t c) -> CL {
    if (k == MCX) return r != c ? 1 : 0;
    const Amp g = k == C1Q ? U2[r + 2 * c] : U4[r + 4 * c];
    return {g.real(), g.imag()};
  };
  auto with_local = [&](size_t i, size_t l) {
    for (size_t j = 0; j < targets.size(); ++j) {
      const size_t bit = P2(targets[j]), on = (l >> (targets.size() - 1 - j)) & 1;
      i = on ? i | bit : i & ~bit;
    }
    return i;
  };
  std::vector<CL> out = in;
  for (size_t i = 0; i < in.size(); ++i) {
    bool active = true;
    for (const size_t c : controls) active &= ((i >> c) & 1) != 0;
    if (!active) continue;
    size_t r = 0;
    for (const size_t t : targets) r = (r << 1) | ((i >> t) & 1);
    CL acc = 0;
    for (size_t c = 0; c < dim; ++c) acc += u(r, c) * in[with_local(i, c)];
    out[i] = acc;
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
      if (dynamic) {  // qubits 1 and 3 untouched; the others in a permuted slot order, entangled
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

using M2 = std::array<Amp, 4>;
using M16 = std::array<Amp, 16>;
uint64_t mask_of(const V& slots) {
  uint64_t m = 0;
  for (const size_t s : slots) m |= uint64_t{1} << s;
  return m;
}

// The kernel of `kind` on slots: `m4` is in the kernel's local order, (bit hi << 1) | bit lo.
void run_kernel(Kind kind, bool simd, Span a, uint64_t ctrl, const V& t, const M2& m2,
                const M16& m4) {
  if (kind == MCX) return kernels::apply_mcx_general_kernel(simd, a, ctrl, t[0]);
  if (kind == C1Q) return kernels::apply_mctrl_2x2_general_kernel(simd, a, ctrl, t[0], m2);
  kernels::apply_mctrl_4x4_general_kernel(simd, a, ctrl, std::min(t[0], t[1]), std::max(t[0], t[1]),
                                          m4);
}

// (log2 length, control slots, target slots, the regime of the cut with two or more workers)
struct WalkRow {
  size_t q;
  V ctrl, targets;
  par::Regime want;
};
const WalkRow WALKS[] = {
    {20, {0, 1}, {2}, par::Regime::Chunks},  // runs of one amplitude at 3, 11, 19, ...
    {20, {3, 5}, {4}, par::Regime::Chunks},
    {20, {2, 19}, {7}, par::Regime::GroupRuns},  // the top slot: a single block
    {20, {14, 0, 9}, {19}, par::Regime::GroupRuns},
    {20, {12}, {2, 13}, par::Regime::Chunks},
    {20, {1}, {19, 3}, par::Regime::GroupRuns},
    {20, {4, 8}, {19, 0}, par::Regime::GroupRuns},
    {10, {0, 2}, {5}, par::Regime::Sequential},
    {10, {9}, {1, 6}, par::Regime::Sequential},
};

// Tagged amplitudes (k + 1, 1/4): X moves each active tag to its partner, a matrix of 2 on the
// diagonal doubles it exactly; a missed or repeated visit, or a visit of an index with a
// control bit 0, leaves another value.
TEST(MultiControlKernel, WalkVisitsEachActiveGroupOnceInEveryRegime) {
  const M2 twice2{2, 0, 0, 2};
  const M16 twice4{2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2};
  for (const WalkRow& r : WALKS) {
    const uint64_t ctrl = mask_of(r.ctrl), tm = mask_of(r.targets), all = ctrl | tm;
    const size_t n = P2(r.q), top = 63 - std::countl_zero(all);
    const par::Plan p =
        par::plan_group_runs(n, P2(top + 1), n >> (std::popcount(all) + std::countr_zero(all)),
                             par::NUM_THREADS(), par::MIN_AMPS());
    EXPECT_EQ(p.regime, par::NUM_THREADS() < 2 ? par::Regime::Sequential : r.want);
    auto tag = [](size_t k) { return Amp(static_cast<double>(k + 1), 0.25); };
    for (const Kind kind : r.targets.size() == 1 ? std::vector{MCX, C1Q} : std::vector{C2Q}) {
      for (const bool simd : {false, true}) {
        std::vector<Amp> a(n);
        for (size_t k = 0; k < n; ++k) a[k] = tag(k);
        run_kernel(kind, simd, a, ctrl, r.targets, twice2, twice4);
        size_t bad = 0;
        for (size_t k = 0; k < n; ++k) {
          const bool active = (k & ctrl) == ctrl;
          const Amp want = !active ? tag(k) : kind == MCX ? tag(k ^ tm) : 2.0 * tag(k);
          bad += std::memcmp(&a[k], &want, sizeof(Amp)) != 0;
        }
        EXPECT_EQ(bad, 0u) << "n 2^" << r.q << " all " << all << " kind " << kind << " simd "
                           << simd;
      }
    }
  }
  std::vector<size_t> first;
  kernels::for_each_controlled_run(0, 3, kernels::controlled_walk(0b011, 0b100),
                                   [&](size_t i) { first.push_back(i); });
  EXPECT_EQ(first, (std::vector<size_t>{3, 11, 19}));
}

// The kernels' plain form written out: every real product rounded on its own; `fused` gives the
// contracted products a compiler could slip in, which these inputs must tell apart.
Amp mul(Amp g, Amp z, bool fused) {
  if (fused) {
    return {std::fma(g.real(), z.real(), -(g.imag() * z.imag())),
            std::fma(g.real(), z.imag(), g.imag() * z.real())};
  }
  return {g.real() * z.real() - g.imag() * z.imag(), g.real() * z.imag() + g.imag() * z.real()};
}
Amp add(Amp a, Amp b) { return {a.real() + b.real(), a.imag() + b.imag()}; }

std::vector<Amp> model(Kind kind, std::vector<Amp> a, uint64_t ctrl, const V& t, bool fused) {
  const size_t lo = P2(std::min(t.front(), t.back())), hi = P2(std::max(t.front(), t.back()));
  for (size_t i = 0; i < a.size(); ++i) {
    if ((i & ctrl) != ctrl || (i & (lo | hi)) != 0) continue;
    if (kind == MCX) {
      std::swap(a[i], a[i | lo]);
    } else if (kind == C1Q) {
      const Amp x = a[i], y = a[i | lo];
      a[i] = add(mul(U2[0], x, fused), mul(U2[2], y, fused));
      a[i | lo] = add(mul(U2[1], x, fused), mul(U2[3], y, fused));
    } else {
      const Amp z[4] = {a[i], a[i | lo], a[i | hi], a[i | lo | hi]};
      const size_t at[4] = {i, i | lo, i | hi, i | lo | hi};
      for (size_t r = 0; r < 4; ++r) {
        Amp s = mul(U4[r], z[0], fused);
        for (size_t c = 1; c < 4; ++c) s = add(s, mul(U4[r + 4 * c], z[c], fused));
        a[at[r]] = s;
      }
    }
  }
  return a;
}

// Active amplitudes random with signed zeros among them; every inactive one a signalling NaN
// with its own payload, which any arithmetic would quiet.
std::vector<Amp> arithmetic_input(size_t n, uint64_t ctrl, uint64_t seed) {
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

TEST(MultiControlKernel, PlainArithmeticOnEveryTarget) {
  // Runs of 1, 2, 4 and 8 amplitudes; one or two targets in either order; small states for every
  // target, and two of 2^18 amplitudes for the pool's cuts on the best one.
  const std::tuple<size_t, V, V> rows[] = {
      {9, {0, 1}, {2}},   {9, {1, 4}, {6}},  {10, {2, 3}, {8}},       {10, {5, 9}, {3}},
      {9, {1}, {0, 4}},   {10, {3}, {8, 2}}, {10, {0, 2, 7}, {5, 9}}, {12, {6, 11}, {9, 3}},
      {18, {4, 17}, {2}}, {18, {3}, {5, 16}}};
  (void)kernels::simd_available();  // the flag is fixed on first use: before any target is mocked
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);  // no mock: the best target, and the state left behind
  for (const int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    for (const auto& [q, c, t] : rows) {
      if (q > 12 && target != 0) continue;
      const uint64_t ctrl = mask_of(c);
      const std::vector<Amp> in = arithmetic_input(P2(q), ctrl, q + c.size() + t[0]);
      for (const Kind kind : t.size() == 1 ? std::vector{MCX, C1Q} : std::vector{C2Q}) {
        const std::vector<Amp> want = model(kind, in, ctrl, t, false);
        if (kind != MCX) {
          EXPECT_FALSE(same_bits(want, model(kind, in, ctrl, t, true)));
        }
        for (const bool simd : {false, true}) {
          std::vector<Amp> got = in;
          run_kernel(kind, simd, got, ctrl, t, U2, U4);
          EXPECT_TRUE(same_bits(got, want)) << hwy::TargetName(target) << " simd " << simd
                                            << " n 2^" << q << " ctrl " << ctrl << " kind " << kind;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tavro
