// One-qubit kernels on raw buffers: vector bodies against portable ones on every compiled
// Highway target (bit for bit), the kernels' parallel cut against a sequential run of the same
// bodies, values that may only move, and where the fused form starts.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "amp.hpp"
#include "gates/kernels/one_qubit.hpp"
#include "gates/kernels/simd.hpp"
#include "par/pool.hpp"

namespace tavro::kernels {
namespace {

constexpr uint64_t SIGN = uint64_t{1} << 63;
constexpr size_t P2(unsigned k) { return size_t{1} << k; }

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
double from_bits(uint64_t b) { return std::bit_cast<double>(b); }

// Index of the first amplitude whose bits differ, or SIZE_MAX.
size_t first_difference(const std::vector<Amp>& a, const std::vector<Amp>& b) {
  if (a.size() != b.size()) return 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (bits(a[i].real()) != bits(b[i].real()) || bits(a[i].imag()) != bits(b[i].imag())) return i;
  }
  return SIZE_MAX;
}

std::string show(const std::vector<Amp>& a, size_t i) {
  if (i >= a.size()) return "-";
  char buf[96];
  std::snprintf(buf, sizeof buf, "[%zu] = (%a, %a)", i, a[i].real(), a[i].imag());
  return buf;
}

// ---- inputs ----

enum class Input { Random, Lattice };

// Random: uniform parts in [-1, 1). Lattice: small dyadic values and signed zeros, so that sums
// cancel exactly and the sign of a zero result is decided by the order of operations.
std::vector<Amp> make_input(Input kind, size_t n, uint32_t seed) {
  std::mt19937_64 gen(seed);
  std::vector<Amp> v(n);
  if (kind == Input::Random) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (auto& a : v) a = Amp(u(gen), u(gen));
  } else {
    const double values[] = {-1.0, -0.5, -0.0, 0.0, 0.5, 1.0, 0.25, -2.0};
    std::uniform_int_distribution<int> pick(0, 7);
    for (auto& a : v) a = Amp(values[pick(gen)], values[pick(gen)]);
  }
  return v;
}

// Every value class whose bits a move must keep: NaN payloads of both signs, a signalling
// NaN, infinities, signed zeros, subnormals.
std::vector<Amp> make_special(size_t n, uint32_t seed) {
  const double values[] = {0.0,
                           -0.0,
                           1.0,
                           -1.5,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           from_bits(0x7FF8000000001234),
                           from_bits(0xFFF800000000ABCD),
                           from_bits(0x7FF0000000000001),
                           5e-324,
                           -5e-324,
                           -std::numeric_limits<double>::max()};
  std::mt19937_64 gen(seed);
  std::uniform_int_distribution<int> pick(0, 11);
  std::vector<Amp> v(n);
  for (auto& a : v) a = Amp(values[pick(gen)], values[pick(gen)]);
  return v;
}

// ---- the kernels under test ----

struct Params {
  double c, s;
  Amp d0, d1;
  std::array<Amp, 4> m;
};

Params params_for(Input kind) {
  if (kind == Input::Lattice) {
    return {0.5,
            0.5,
            Amp(1.0, 0.0),
            Amp(0.5, -0.5),
            {Amp(0.5, 0.0), Amp(0.0, -0.5), Amp(-0.5, 0.5), Amp(1.0, 0.25)}};
  }
  return {std::cos(0.3717),
          std::sin(0.3717),
          Amp(1.0, 0.0),
          Amp(std::cos(1.1), std::sin(1.1)),
          {Amp(0.3, -0.7), Amp(0.11, 0.6), Amp(-0.5, 0.2), Amp(0.9, -0.05)}};
}

using Span = std::span<Amp>;

struct KernelCase {
  const char* name;
  // The kernel entry point.
  void (*run)(bool simd, Span a, size_t t, const Params& p);
  // The slot body on one run of whole groups (t <= 2); null where the pair walker serves all.
  void (*groups)(bool simd, size_t t, Span run, const Params& p);
  // The pair body on matching runs lo, hi.
  void (*pair)(bool simd, Span lo, Span hi, const Params& p);
  // Whether the pair body uses the fused form (only exact on targets with native FMA).
  bool fused;
};

template <class F0, class F1, class F2>
void by_t(size_t t, F0 f0, F1 f1, F2 f2) {
  t == 0 ? f0() : t == 1 ? f1() : f2();
}

const KernelCase KERNELS[] = {
    {"x", [](bool, Span a, size_t t, const Params&) { apply_x_kernel(a, t); },
     [](bool, size_t t, Span r, const Params&) {
       by_t(
           t, [&] { apply_x_t0_inner(r); }, [&] { apply_x_t1_inner(r); },
           [&] { apply_x_t2_inner(r); });
     },
     // The half-swap body covers a whole block; written here as an independent exchange.
     [](bool, Span lo, Span hi, const Params&) {
       for (size_t j = 0; j < lo.size(); ++j) std::swap(lo[j], hi[j]);
     },
     false},
    {"y", [](bool v, Span a, size_t t, const Params&) { apply_y_kernel(v, a, t); },
     [](bool v, size_t t, Span r, const Params&) {
       by_t(
           t, [&] { apply_y_t0_inner(v, r); }, [&] { apply_y_t1_inner(v, r); },
           [&] { apply_y_t2_inner(v, r); });
     },
     [](bool v, Span lo, Span hi, const Params&) { apply_y_pair(v, lo, hi); }, false},
    {"z", [](bool v, Span a, size_t t, const Params&) { apply_z_kernel(v, a, t); },
     [](bool v, size_t t, Span r, const Params&) {
       by_t(
           t, [&] { apply_z_t0_inner(v, r); }, [&] { apply_z_t1_inner(v, r); },
           [&] { apply_z_t2_inner(v, r); });
     },
     [](bool v, Span lo, Span hi, const Params&) { apply_z_pair(v, lo, hi); }, false},
    {"h", [](bool v, Span a, size_t t, const Params&) { apply_h_kernel(v, a, t); },
     [](bool v, size_t t, Span r, const Params&) {
       by_t(
           t, [&] { apply_h_t0_inner(v, r); }, [&] { apply_h_t1_inner(v, r); },
           [&] { apply_h_t2_inner(v, r); });
     },
     [](bool v, Span lo, Span hi, const Params&) { apply_h_pair(v, lo, hi); }, true},
    {"rx", [](bool v, Span a, size_t t, const Params& p) { apply_rx_kernel(v, a, t, p.c, p.s); },
     [](bool v, size_t t, Span r, const Params& p) {
       by_t(
           t, [&] { apply_rx_t0_inner(v, r, p.c, p.s); },
           [&] { apply_rx_t1_inner(v, r, p.c, p.s); }, [&] { apply_rx_t2_inner(v, r, p.c, p.s); });
     },
     [](bool v, Span lo, Span hi, const Params& p) { apply_rx_pair(v, lo, hi, p.c, p.s); }, true},
    {"ry", [](bool v, Span a, size_t t, const Params& p) { apply_ry_kernel(v, a, t, p.c, p.s); },
     [](bool v, size_t t, Span r, const Params& p) {
       by_t(
           t, [&] { apply_ry_t0_inner(v, r, p.c, p.s); },
           [&] { apply_ry_t1_inner(v, r, p.c, p.s); }, [&] { apply_ry_t2_inner(v, r, p.c, p.s); });
     },
     [](bool v, Span lo, Span hi, const Params& p) { apply_ry_pair(v, lo, hi, p.c, p.s); }, true},
    {"rz", [](bool v, Span a, size_t t, const Params& p) { apply_rz_kernel(v, a, t, p.c, p.s); },
     [](bool v, size_t t, Span r, const Params& p) {
       by_t(
           t, [&] { apply_rz_t0_inner(v, r, p.c, p.s); },
           [&] { apply_rz_t1_inner(v, r, p.c, p.s); }, [&] { apply_rz_t2_inner(v, r, p.c, p.s); });
     },
     [](bool v, Span lo, Span hi, const Params& p) { apply_rz_pair(v, lo, hi, p.c, p.s); }, true},
    {"diag_skip_low",
     [](bool v, Span a, size_t t, const Params& p) { apply_diag_1q(v, a, t, p.d0, p.d1); }, nullptr,
     [](bool v, Span lo, Span hi, const Params& p) { apply_diag_pair(v, lo, hi, p.d0, p.d1); },
     false},
    {"diag_both",
     [](bool v, Span a, size_t t, const Params& p) { apply_diag_1q(v, a, t, p.m[0], p.d1); },
     nullptr,
     [](bool v, Span lo, Span hi, const Params& p) { apply_diag_pair(v, lo, hi, p.m[0], p.d1); },
     false},
    {"dense", [](bool v, Span a, size_t t, const Params& p) { apply_1q(v, a, t, p.m); },
     [](bool v, size_t t, Span r, const Params& p) {
       by_t(
           t, [&] { apply_1q_t0_inner(v, r, p.m); }, [&] { apply_1q_t1_inner(v, r, p.m); },
           [&] { apply_1q_t2_inner(v, r, p.m); });
     },
     [](bool v, Span lo, Span hi, const Params& p) { apply_1q_pair(v, lo, hi, p.m); }, false},
};

// The kernel's work done on the caller's thread without any walker: the slot body over the
// whole buffer, or the pair body block after block.
void sequential(const KernelCase& k, bool simd, Span a, size_t t, const Params& p) {
  if (t <= 2 && k.groups != nullptr) return k.groups(simd, t, a, p);
  const size_t s = P2(static_cast<unsigned>(t));
  for (size_t b = 0; b < a.size(); b += 2 * s)
    k.pair(simd, a.subspan(b, s), a.subspan(b + s, s), p);
}

// Points Highway's dispatch at one target for the lifetime of the guard.
class TargetGuard {
 public:
  explicit TargetGuard(int64_t target) { hwy::SetSupportedTargetsForTest(target); }
  ~TargetGuard() { hwy::SetSupportedTargetsForTest(0); }
  TargetGuard(const TargetGuard&) = delete;
  TargetGuard& operator=(const TargetGuard&) = delete;
};

// ---- vector against portable ----

struct SlotCase {
  const KernelCase* kernel;
  unsigned t;
};

std::vector<SlotCase> slot_cases(bool with_x) {
  std::vector<SlotCase> out;
  for (const KernelCase& k : KERNELS) {
    // X has no vector variant.
    if (!with_x && std::string(k.name) == "x") continue;
    for (unsigned t : {0u, 1u, 2u, 3u, 4u, 5u, 9u, 17u}) out.push_back({&k, t});
  }
  return out;
}

// Readable parameters in failure messages.
void PrintTo(const KernelCase& k, std::ostream* os) { *os << k.name; }
void PrintTo(const SlotCase& c, std::ostream* os) { *os << c.kernel->name << " t=" << c.t; }

std::string slot_name(const testing::TestParamInfo<SlotCase>& info) {
  return std::string(info.param.kernel->name) + "_t" + std::to_string(info.param.t);
}

class VectorVsPortable : public testing::TestWithParam<SlotCase> {
 protected:
  // The state's flag is fixed on first use; take it before any target is mocked.
  void SetUp() override { (void)simd_available(); }
};

// Every compiled target the processor runs: with simd set, each kernel gives the portable bits.
// Targets without a native fused multiply-add only run the bodies that never fuse.
TEST_P(VectorVsPortable, SameBitsOnEveryTarget) {
  const KernelCase& k = *GetParam().kernel;
  const unsigned t = GetParam().t;
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  size_t checked = 0;
  for (const Input kind : {Input::Random, Input::Lattice}) {
    const Params p = params_for(kind);
    // One block, below the cut-over, above it (the top slot of 2^18 is one split block).
    for (const size_t n : {P2(t + 1), P2(10), P2(18)}) {
      if (n < P2(t + 1)) continue;
      const std::vector<Amp> input = make_input(kind, n, 17 + t);
      std::vector<Amp> port = input;
      k.run(false, port, t, p);
      for (const int64_t target : targets) {
        TargetGuard guard(target);
        if (k.fused && t >= 3 && !vector_bodies_exact()) continue;
        std::vector<Amp> vec = input;
        k.run(true, vec, t, p);
        const size_t at = first_difference(vec, port);
        EXPECT_EQ(at, SIZE_MAX) << hwy::TargetName(target) << " n=" << n << " vector "
                                << show(vec, at) << " portable " << show(port, at);
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 0u);
}

INSTANTIATE_TEST_SUITE_P(Kernels, VectorVsPortable, testing::ValuesIn(slot_cases(false)),
                         slot_name);

// Pair bodies on runs that are no multiple of any vector width: the tails go to the scalar
// helpers and must give the portable bits too.
class PairTails : public testing::TestWithParam<KernelCase> {
 protected:
  void SetUp() override { (void)simd_available(); }
};

TEST_P(PairTails, OddLengthsMatchPortable) {
  const KernelCase& k = GetParam();
  for (const int64_t target : hwy::SupportedAndGeneratedTargets()) {
    TargetGuard guard(target);
    if (k.fused && !vector_bodies_exact()) continue;
    for (const Input kind : {Input::Random, Input::Lattice}) {
      const Params p = params_for(kind);
      for (const size_t m : {size_t{1}, size_t{3}, size_t{7}, size_t{13}}) {
        const std::vector<Amp> input = make_input(kind, 2 * m, static_cast<uint32_t>(m));
        std::vector<Amp> vec = input, port = input;
        k.pair(true, Span(vec).first(m), Span(vec).subspan(m), p);
        k.pair(false, Span(port).first(m), Span(port).subspan(m), p);
        const size_t at = first_difference(vec, port);
        EXPECT_EQ(at, SIZE_MAX) << hwy::TargetName(target) << " m=" << m << " vector "
                                << show(vec, at) << " portable " << show(port, at);
      }
      // Unequal runs: only the first min(|lo|, |hi|) positions are pairs.
      std::vector<Amp> buf = make_input(kind, 12, 5);
      const std::vector<Amp> before = buf;
      k.pair(true, Span(buf).first(5), Span(buf).subspan(5, 7), p);
      for (size_t j : {10u, 11u}) {
        EXPECT_EQ(bits(buf[j].real()), bits(before[j].real())) << hwy::TargetName(target);
        EXPECT_EQ(bits(buf[j].imag()), bits(before[j].imag())) << hwy::TargetName(target);
      }
    }
  }
}

std::string kernel_name(const testing::TestParamInfo<KernelCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Kernels, PairTails, testing::ValuesIn(KERNELS), kernel_name);

// Group bodies on runs of 16 amplitudes and more plus a remainder of whole groups, vector
// against portable on every target (none of them fuses).
TEST(GroupBodies, RunsWithRemainderMatchPortable) {
  (void)simd_available();
  for (const int64_t target : hwy::SupportedAndGeneratedTargets()) {
    TargetGuard guard(target);
    for (const KernelCase& k : KERNELS) {
      if (k.groups == nullptr) continue;
      for (size_t t = 0; t <= 2; ++t) {
        const size_t n = 48 + P2(static_cast<unsigned>(t) + 1);
        const Params p = params_for(Input::Random);
        const std::vector<Amp> input = make_input(Input::Random, n, 99);
        std::vector<Amp> vec = input, port = input;
        k.groups(true, t, vec, p);
        k.groups(false, t, port, p);
        const size_t at = first_difference(vec, port);
        EXPECT_EQ(at, SIZE_MAX) << hwy::TargetName(target) << " " << k.name << " t=" << t
                                << " vector " << show(vec, at) << " portable " << show(port, at);
        EXPECT_NE(first_difference(vec, input), SIZE_MAX) << k.name << " t=" << t;
      }
    }
  }
}

// ---- parallel against sequential ----

class ParallelVsSequential : public testing::TestWithParam<SlotCase> {};

// Under RAYON_NUM_THREADS = 3 and 8 these sizes take every parallel regime of the runner and the
// pair walker (whole chunks, whole blocks, blocks split in pieces); under 1 they run in one call.
TEST_P(ParallelVsSequential, SameBitsAsOneSequentialPass) {
  const KernelCase& k = *GetParam().kernel;
  const unsigned t = GetParam().t;
  const Params p = params_for(Input::Random);
  for (const bool simd : {false, simd_available()}) {
    for (const size_t n : {P2(17), P2(18)}) {
      if (n < P2(t + 1)) continue;
      const std::vector<Amp> input = make_input(Input::Random, n, 3 * t + 1);
      std::vector<Amp> par = input, seq = input;
      k.run(simd, par, t, p);
      sequential(k, simd, seq, t, p);
      const size_t at = first_difference(par, seq);
      EXPECT_EQ(at, SIZE_MAX) << "workers=" << par::NUM_THREADS() << " simd=" << simd << " n=" << n
                              << " kernel " << show(par, at) << " sequential " << show(seq, at);
      EXPECT_NE(first_difference(par, input), SIZE_MAX);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, ParallelVsSequential, testing::ValuesIn(slot_cases(true)),
                         slot_name);

// ---- values that only move ----

// Expected bits of one pair after X, Y or Z: moves and sign flips of the input bits.
struct MoveCase {
  const char* name;
  void (*run)(bool simd, Span a, size_t t);
  // (x0, y0, x1, y1) -> new (x0, y0, x1, y1), on raw bits.
  std::array<uint64_t, 4> (*expect)(uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1);
};

const MoveCase MOVES[] = {
    {"x", [](bool, Span a, size_t t) { apply_x_kernel(a, t); },
     [](uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1) {
       return std::array<uint64_t, 4>{x1, y1, x0, y0};
     }},
    {"y", [](bool v, Span a, size_t t) { apply_y_kernel(v, a, t); },
     [](uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1) {
       return std::array<uint64_t, 4>{y1, x1 ^ SIGN, y0 ^ SIGN, x0};
     }},
    {"z", [](bool v, Span a, size_t t) { apply_z_kernel(v, a, t); },
     [](uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1) {
       return std::array<uint64_t, 4>{x0, y0, x1 ^ SIGN, y1 ^ SIGN};
     }},
};

void PrintTo(const MoveCase& c, std::ostream* os) { *os << c.name; }

class MovesOnly : public testing::TestWithParam<MoveCase> {};

TEST_P(MovesOnly, EveryBitKeptOrSignFlipped) {
  const MoveCase& mc = GetParam();
  for (const bool simd : {false, simd_available()}) {
    for (const size_t n : {P2(10), P2(18)}) {
      for (const unsigned t : {0u, 1u, 2u, 3u, 4u, 9u}) {
        const std::vector<Amp> input = make_special(n, t + 7);
        std::vector<Amp> a = input;
        mc.run(simd, a, t);
        const size_t s = P2(t);
        size_t wrong = 0;
        for (size_t i = 0; i < n; ++i) {
          if (i & s) continue;
          const auto e = mc.expect(bits(input[i].real()), bits(input[i].imag()),
                                   bits(input[i + s].real()), bits(input[i + s].imag()));
          wrong += bits(a[i].real()) != e[0] || bits(a[i].imag()) != e[1] ||
                   bits(a[i + s].real()) != e[2] || bits(a[i + s].imag()) != e[3];
        }
        EXPECT_EQ(wrong, 0u) << "simd=" << simd << " n=" << n << " t=" << t;
      }
    }
  }
}

std::string move_name(const testing::TestParamInfo<MoveCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Kernels, MovesOnly, testing::ValuesIn(MOVES), move_name);

// ---- the diagonal body and the low amplitudes ----

struct DiagLowCase {
  const char* name;
  Amp d0;
  bool untouched;
};

const DiagLowCase DIAG_LOW[] = {
    {"one", Amp(1.0, 0.0), true},
    // The comparison is by value: -0.0 equals 0.0.
    {"one_negative_zero", Amp(1.0, -0.0), true},
    // Any other d0 multiplies: 1 * (-0.0) - 0 * 0 gives +0.0 where the input had -0.0.
    {"minus_one", Amp(-1.0, 0.0), false},
    {"one_and_a_bit", Amp(1.0, 5e-324), false},
};

void PrintTo(const DiagLowCase& c, std::ostream* os) { *os << c.name; }

class DiagonalLow : public testing::TestWithParam<DiagLowCase> {};

TEST_P(DiagonalLow, LowHalfKeptOnlyForUnitD0) {
  const DiagLowCase& dc = GetParam();
  const Amp d1(0.6, -0.8);
  for (const bool simd : {false, simd_available()}) {
    for (const size_t n : {P2(10), P2(18)}) {
      for (const unsigned t : {0u, 1u, 2u, 3u, 5u, 9u}) {
        const std::vector<Amp> input = make_special(n, 31 * t + 1);
        std::vector<Amp> a = input;
        apply_diag_1q(simd, a, t, dc.d0, d1);
        size_t kept = 0, low = 0, high_ok = 0;
        for (size_t i = 0; i < n; ++i) {
          const bool same = bits(a[i].real()) == bits(input[i].real()) &&
                            bits(a[i].imag()) == bits(input[i].imag());
          if ((i >> t) & 1) {
            // The high amplitude is the plain product d1 * a, written out.
            const double x = input[i].real(), y = input[i].imag();
            const double re = d1.real() * x - d1.imag() * y;
            const double im = d1.real() * y + d1.imag() * x;
            high_ok +=
                (bits(a[i].real()) == bits(re) || (std::isnan(re) && std::isnan(a[i].real()))) &&
                (bits(a[i].imag()) == bits(im) || (std::isnan(im) && std::isnan(a[i].imag())));
          } else {
            ++low;
            kept += same;
          }
        }
        EXPECT_EQ(high_ok, n / 2) << "simd=" << simd << " n=" << n << " t=" << t;
        if (dc.untouched) {
          EXPECT_EQ(kept, low) << "simd=" << simd << " n=" << n << " t=" << t;
        } else {
          EXPECT_LT(kept, low) << "simd=" << simd << " n=" << n << " t=" << t;
        }
      }
    }
  }
}

std::string diag_name(const testing::TestParamInfo<DiagLowCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Kernels, DiagonalLow, testing::ValuesIn(DIAG_LOW), diag_name);

// ---- the dense kernel has no shortcut ----

class DenseIdentity : public testing::TestWithParam<unsigned> {};

TEST_P(DenseIdentity, RewritesEveryAmplitude) {
  const unsigned t = GetParam();
  const std::array<Amp, 4> identity{Amp(1.0, 0.0), Amp(0.0, 0.0), Amp(0.0, 0.0), Amp(1.0, 0.0)};
  const double inf = std::numeric_limits<double>::infinity();
  for (const bool simd : {false, simd_available()}) {
    // Two blocks: pairs (0, s) and (2s, 3s).
    const size_t s = P2(t);
    std::vector<Amp> a(4 * s, Amp(0.0, 0.0));
    // A -0.0 component whose partner amplitude is zero comes out +0.0.
    a[0] = Amp(-0.0, -0.0);
    // a1 = (+inf, 0) with a zero partner: inf * 0 is NaN.
    a[3 * s] = Amp(inf, 0.0);
    apply_1q(simd, a, t, identity);
    EXPECT_EQ(bits(a[0].real()), bits(0.0)) << "simd=" << simd;
    EXPECT_EQ(bits(a[0].imag()), bits(0.0)) << "simd=" << simd;
    EXPECT_TRUE(std::isnan(a[2 * s].real()) && std::isnan(a[2 * s].imag())) << "simd=" << simd;
    EXPECT_EQ(a[3 * s].real(), inf) << "simd=" << simd;
    EXPECT_TRUE(std::isnan(a[3 * s].imag())) << "simd=" << simd;
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, DenseIdentity, testing::Values(0u, 1u, 2u, 3u, 6u));

// ---- where the fused form starts ----

// The formulas written out: plain on slots 0-2, fused from slot 3 up.
struct FormCase {
  const char* name;
  void (*run)(bool simd, Span a, size_t t, double c, double s);
  // (x0, y0, x1, y1, c, s) -> new (x0, y0, x1, y1)
  std::array<double, 4> (*plain)(double, double, double, double, double, double);
  std::array<double, 4> (*fused)(double, double, double, double, double, double);
};

using std::fma;

const FormCase FORMS[] = {
    {"h", [](bool v, Span a, size_t t, double, double) { apply_h_kernel(v, a, t); },
     [](double x0, double y0, double x1, double y1, double, double) {
       const double k = from_bits(0x3FE6A09E667F3BCD);
       return std::array<double, 4>{(x0 + x1) * k, (y0 + y1) * k, (x0 - x1) * k, (y0 - y1) * k};
     },
     [](double x0, double y0, double x1, double y1, double, double) {
       const double k = from_bits(0x3FE6A09E667F3BCD);
       const double sr = x0 + x1, si = y0 + y1, dr = x0 - x1, di = y0 - y1;
       return std::array<double, 4>{fma(k, sr, si * -0.0), fma(k, si, sr * 0.0),
                                    fma(k, dr, di * -0.0), fma(k, di, dr * 0.0)};
     }},
    {"rx", [](bool v, Span a, size_t t, double c, double s) { apply_rx_kernel(v, a, t, c, s); },
     [](double x0, double y0, double x1, double y1, double c, double s) {
       return std::array<double, 4>{c * x0 + s * y1, c * y0 - s * x1, c * x1 + s * y0,
                                    c * y1 - s * x0};
     },
     [](double x0, double y0, double x1, double y1, double c, double s) {
       // m00 = (c, 0) times a0, then (0, -s) times a1 accumulated; likewise for a1.
       const double p0r = fma(c, x0, y0 * -0.0), p0i = fma(c, y0, x0 * 0.0);
       const double p1r = fma(c, x1, y1 * -0.0), p1i = fma(c, y1, x1 * 0.0);
       return std::array<double, 4>{
           fma(0.0, x1, -fma(-s, y1, -p0r)), fma(0.0, y1, fma(-s, x1, p0i)),
           fma(0.0, x0, -fma(-s, y0, -p1r)), fma(0.0, y0, fma(-s, x0, p1i))};
     }},
    {"ry", [](bool v, Span a, size_t t, double c, double s) { apply_ry_kernel(v, a, t, c, s); },
     [](double x0, double y0, double x1, double y1, double c, double s) {
       return std::array<double, 4>{c * x0 - s * x1, c * y0 - s * y1, s * x0 + c * x1,
                                    s * y0 + c * y1};
     },
     [](double x0, double y0, double x1, double y1, double c, double s) {
       // (-s, 0) times a1, then (c, 0) times a0 accumulated; (s, 0) times a0, then (c, 0) a1.
       const double q0r = fma(-s, x1, y1 * -0.0), q0i = fma(-s, y1, x1 * 0.0);
       const double q1r = fma(s, x0, y0 * -0.0), q1i = fma(s, y0, x0 * 0.0);
       return std::array<double, 4>{fma(c, x0, -fma(0.0, y0, -q0r)), fma(c, y0, fma(0.0, x0, q0i)),
                                    fma(c, x1, -fma(0.0, y1, -q1r)), fma(c, y1, fma(0.0, x1, q1i))};
     }},
    {"rz", [](bool v, Span a, size_t t, double c, double s) { apply_rz_kernel(v, a, t, c, s); },
     [](double x0, double y0, double x1, double y1, double c, double s) {
       return std::array<double, 4>{c * x0 + s * y0, c * y0 - s * x0, c * x1 - s * y1,
                                    c * y1 + s * x1};
     },
     [](double x0, double y0, double x1, double y1, double c, double s) {
       return std::array<double, 4>{fma(c, x0, y0 * s), fma(c, y0, x0 * -s), fma(c, x1, y1 * -s),
                                    fma(c, y1, x1 * s)};
     }},
};

bool same_bits(const std::array<double, 4>& a, const std::array<double, 4>& b) {
  for (size_t i = 0; i < 4; ++i) {
    if (bits(a[i]) != bits(b[i])) return false;
  }
  return true;
}

void PrintTo(const FormCase& c, std::ostream* os) { *os << c.name; }

class FusedFromSlotThree : public testing::TestWithParam<FormCase> {};

// Inputs where the two forms differ in the last bit: slot 2 must give the plain bits, slot 3
// the fused ones, with either flag.
TEST_P(FusedFromSlotThree, PlainBelowFusedAbove) {
  const FormCase& fc = GetParam();
  const double c = std::cos(0.61), s = std::sin(0.61);
  std::mt19937_64 gen(4242);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  // Mostly random parts (the forms differ in the last bit), some signed zeros and halves
  // (H's forms only differ in the sign of a zero).
  std::uniform_int_distribution<int> pick(0, 5);
  const auto part = [&] {
    const double few[] = {-0.0, 0.0, -0.5, 0.5, u(gen), u(gen)};
    return few[pick(gen)];
  };
  size_t found = 0;
  for (int tries = 0; tries < 100000 && found < 6; ++tries) {
    const double x0 = part(), y0 = part(), x1 = part(), y1 = part();
    const auto plain = fc.plain(x0, y0, x1, y1, c, s);
    const auto fused = fc.fused(x0, y0, x1, y1, c, s);
    if (same_bits(plain, fused)) continue;
    ++found;
    for (const bool simd : {false, simd_available()}) {
      for (const unsigned t : {2u, 3u, 4u}) {
        std::vector<Amp> a(P2(t + 1), Amp(0.0, 0.0));
        a[1] = Amp(x0, y0);
        a[1 + P2(t)] = Amp(x1, y1);
        fc.run(simd, a, t, c, s);
        const std::array<double, 4> got{a[1].real(), a[1].imag(), a[1 + P2(t)].real(),
                                        a[1 + P2(t)].imag()};
        EXPECT_TRUE(same_bits(got, t == 2 ? plain : fused))
            << "simd=" << simd << " t=" << t << " input (" << x0 << ", " << y0 << "), (" << x1
            << ", " << y1 << ")";
      }
    }
  }
  EXPECT_EQ(found, 6u);
}

std::string form_name(const testing::TestParamInfo<FormCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Kernels, FusedFromSlotThree, testing::ValuesIn(FORMS), form_name);

// An exactly cancelling inner sum: fma(-s, y1, -p) is +0.0 and its negation -0.0 must reach the
// outer fma, whose product 0 * x1 is -0.0, so re(a0') is -0.0. A compiler that folds the
// negation into the fused instruction computes -(s*y1) + p = +0.0 and returns +0.0.
TEST(FusedAccumulate, NegatedZeroSurvivesOnEveryPath) {
  (void)simd_available();
  const double c = 0.5, s = 0.5;
  // a0 = (-1, 0): p0r = fma(0.5, -1, 0 * -0.0) = -0.5; y1 = 1: -s*y1 = -0.5 cancels it.
  const Amp a0(-1.0, 0.0), a1(-1.0, 1.0);
  const double expect =
      fma(0.0, a1.real(), -fma(-s, a1.imag(), -fma(c, a0.real(), a0.imag() * -0.0)));
  ASSERT_EQ(bits(expect), bits(-0.0));
  for (const int64_t target : hwy::SupportedAndGeneratedTargets()) {
    TargetGuard guard(target);
    if (!vector_bodies_exact()) continue;
    for (const size_t m : {size_t{1}, size_t{4}, size_t{8}, size_t{9}}) {
      for (const bool simd : {false, true}) {
        std::vector<Amp> lo(m, a0), hi(m, a1);
        apply_rx_pair(simd, lo, hi, c, s);
        for (size_t j = 0; j < m; ++j) {
          EXPECT_EQ(bits(lo[j].real()), bits(-0.0))
              << hwy::TargetName(target) << " m=" << m << " simd=" << simd << " j=" << j;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tavro::kernels
