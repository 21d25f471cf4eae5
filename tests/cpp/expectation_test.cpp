// Expectation values: a dense long double reference on random static and dynamic states (every
// untouched-qubit shortcut), the Pauli sum's bits against a model of the range cut of this
// process's worker count, values derived by hand (phases, signed zeros, the +0 start), vector
// bodies against portable ones on every target, the order of the checks and the letter parser.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "gates/kernels/complex.hpp"
#include "observables/expectation_kernels.hpp"
#include "par/pool.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

using LD = std::complex<long double>;
using Terms = std::vector<PauliTerm>;
constexpr Pauli PI{Pauli::I}, PX{Pauli::X}, PY{Pauli::Y}, PZ{Pauli::Z};

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
// The same bits, or NaN on both sides (a computed NaN may carry any payload).
bool same(Amp x, Amp y) {
  const auto eq = [](double a, double b) { return bits(a) == bits(b) || (a != a && b != b); };
  return eq(x.real(), y.real()) && eq(x.imag(), y.imag());
}
std::string show(const Result<Amp>& r) {
  return r ? std::to_string(r->real()) + "," + std::to_string(r->imag()) : r.error().display();
}

// Uniform in (-1, 1)^2; with `special`, one value in five is a signed zero or a subnormal (no
// infinity: the sums would all be NaN and hide every difference).
Amp random_amp(std::mt19937_64& g, bool special = false) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const auto part = [&] {
    const double v = u(g);
    if (!special || g() % 5 != 0) return v;
    const double pick[] = {0.0, -0.0, 3e-310, -5e-324};
    return pick[g() % 4];
  };
  const double re = part();
  return {re, part()};
}
template <size_t K>
std::array<Amp, K> random_op(std::mt19937_64& g) {
  std::array<Amp, K> m;
  for (Amp& z : m) z = random_amp(g);
  return m;
}

// <psi| O |psi> over the logical vector, O dense on qs (qs[0] the most significant local bit).
LD dense(const TavroSV& sv, std::span<const Amp> op, const std::vector<size_t>& qs) {
  const size_t n = size_t{1} << sv.num_qubits(), k = qs.size(), d = size_t{1} << k;
  const auto psi = [&](size_t i) {
    return LD(sv.get_logical(i)->real(), sv.get_logical(i)->imag());
  };
  LD sum = 0;
  for (size_t i = 0; i < n; ++i) {
    size_t r = 0;
    for (const size_t q : qs) r = 2 * r + (i >> q & 1);
    for (size_t c = 0; c < d; ++c) {
      size_t j = i;
      for (size_t t = 0; t < k; ++t)
        j = (j & ~(size_t{1} << qs[t])) | (c >> (k - 1 - t) & 1) << qs[t];
      sum += std::conj(psi(i)) * LD(op[r + d * c].real(), op[r + d * c].imag()) * psi(j);
    }
  }
  return sum;
}

// <psi| P |psi> from the letters: P |j> = f |j'>, X and Y flip the bit, Y gives i or -i, Z -1 on 1.
LD pauli(const TavroSV& sv, const Terms& terms) {
  LD sum = 0;
  for (size_t j = 0; j < (size_t{1} << sv.num_qubits()); ++j) {
    LD f = 1;
    size_t jj = j;
    for (const PauliTerm& t : terms) {
      const bool b = j >> t.qubit & 1;
      if (t.pauli == PX || t.pauli == PY) jj ^= size_t{1} << t.qubit;
      if (t.pauli == PY) f *= b ? LD(0, -1) : LD(0, 1);
      if (t.pauli == PZ && b) f = -f;
    }
    const Amp x = *sv.get_logical(jj), y = *sv.get_logical(j);
    sum += std::conj(LD(x.real(), x.imag())) * f * LD(y.real(), y.imag());
  }
  return sum;
}

// Static states from random amplitudes times `scale`; dynamic ones touched by a random
// (non-unitary) gate on each listed qubit in turn, so slots follow the list, then entangled.
struct StateCase {
  const char* name;
  uint32_t n;
  bool dynamic;
  std::vector<size_t> touched;
  double scale;
};
const StateCase STATES[] = {
    {"static4", 4, false, {}, 0.5},         {"static7_unnormalised", 7, false, {}, 0.3},
    {"dynamic6", 6, true, {3, 0, 5, 1}, 1}, {"dynamic5_one_live", 5, true, {2}, 1},
    {"dynamic3_none_live", 3, true, {}, 1},
};

void PrintTo(const StateCase& c, std::ostream* os) { *os << c.name; }

TavroSV make_state(const StateCase& c, std::mt19937_64& g) {
  if (!c.dynamic) {
    std::vector<Amp> a(size_t{1} << c.n);
    for (Amp& z : a) z = random_amp(g) * c.scale;
    return TavroSV::from_amplitudes(c.n, a).value();
  }
  TavroSV sv = TavroSV::zero_dynamic(c.n).value();
  for (const size_t q : c.touched) EXPECT_TRUE(sv.apply_gate_1q(random_op<4>(g), q));
  if (c.touched.size() >= 2) {
    EXPECT_TRUE(sv.apply_gate_2q(random_op<16>(g), c.touched[1], c.touched[0]));
  }
  return sv;
}

class AgainstDense : public testing::TestWithParam<StateCase> {};

// Every qubit, every ordered pair and random Pauli strings (I included, any order), within 1e-13
// of the reference scaled by the sizes involved; the state, its slots included, stays as it was.
TEST_P(AgainstDense, OneTwoAndPauli) {
  std::mt19937_64 g(GetParam().n * 31 + GetParam().touched.size());
  const TavroSV sv = make_state(GetParam(), g);
  const TavroSV before = sv.clone();
  const long double scale = 1 + static_cast<long double>(sv.norm_squared()) * 64;
  const auto near = [&](const Result<Amp>& got, LD want) {
    return got && std::abs(LD(got->real(), got->imag()) - want) <= 1e-13L * scale;
  };
  const uint32_t n = sv.num_qubits();
  for (size_t q = 0; q < n; ++q) {
    const auto op = random_op<4>(g);
    EXPECT_TRUE(near(sv.expectation_1q(op, q), dense(sv, op, {q}))) << q;
    for (size_t q2 = 0; q2 < n; ++q2) {
      if (q2 == q) continue;
      const auto op2 = random_op<16>(g);
      EXPECT_TRUE(near(sv.expectation_2q(op2, q, q2), dense(sv, op2, {q, q2}))) << q << "," << q2;
    }
  }
  for (int rep = 0; rep < 24; ++rep) {
    std::vector<size_t> qs(n);
    for (size_t q = 0; q < n; ++q) qs[q] = q;
    std::shuffle(qs.begin(), qs.end(), g);
    Terms terms(g() % (n + 1));
    for (size_t k = 0; k < terms.size(); ++k) terms[k] = {qs[k], Pauli{Pauli::Code(g() % 4)}};
    EXPECT_TRUE(near(sv.expectation_pauli(terms), pauli(sv, terms))) << rep;
  }
  EXPECT_EQ(sv.live_qubits(), before.live_qubits());
  EXPECT_TRUE(!sv.is_dynamic() || *sv.slots() == *before.slots());
  EXPECT_TRUE(std::equal(sv.amplitudes().begin(), sv.amplitudes().end(),
                         before.amplitudes().begin(), before.amplitudes().end(), same));
}

INSTANTIATE_TEST_SUITE_P(States, AgainstDense, testing::ValuesIn(STATES),
                         [](const auto& info) { return std::string(info.param.name); });

// The Pauli sum as defined, bit for bit: masks from the letters (static: slot = qubit), ranges
// of max(n / 4T, 1) under this process's worker count (one range below MIN_AMPS or with one
// worker), each summed from zero in index order, the partials added in order from zero, then
// multiplied by i^ny.
Amp pauli_model(std::span<const Amp> a, const Terms& terms) {
  uint64_t x = 0, z = 0;
  size_t ny = 0;
  for (const PauliTerm& t : terms) {
    const uint64_t b = uint64_t{1} << t.qubit;
    x |= t.pauli == PX || t.pauli == PY ? b : 0;
    z |= t.pauli == PY || t.pauli == PZ ? b : 0;
    ny += t.pauli == PY;
  }
  const size_t n = a.size(), workers = par::NUM_THREADS();
  const size_t chunk =
      n < par::MIN_AMPS() || workers < 2 ? n : std::max<size_t>(n / (4 * workers), 1);
  double sum_re = 0.0, sum_im = 0.0;
  for (size_t start = 0; start < n; start += chunk) {
    double re = 0.0, im = 0.0;
    for (size_t i = start; i < std::min(n, start + chunk); ++i) {
      const size_t j = i ^ x;
      const double s = std::popcount(j & z) % 2 ? -1.0 : 1.0;
      if (x == 0) {
        const double t = a[i].real() * a[i].real() + a[i].imag() * a[i].imag();
        re = re + (s < 0 ? -t : t);
        continue;
      }
      const double br = s * a[j].real() - 0.0 * a[j].imag(),
                   bi = s * a[j].imag() + 0.0 * a[j].real();
      re = re + (a[i].real() * br + a[i].imag() * bi);
      im = im + (a[i].real() * bi - a[i].imag() * br);
    }
    sum_re = sum_re + re;
    sum_im = sum_im + im;
  }
  const double pr[] = {1, 0, -1, 0}, pi[] = {0, 1, 0, -1};
  return {pr[ny % 4] * sum_re - pi[ny % 4] * sum_im, pr[ny % 4] * sum_im + pi[ny % 4] * sum_re};
}

// 2^17 amplitudes: the cut-over of up to eight workers, so 3 and 8 cut it in 12 and 32 ranges;
// with 8 the ranges are 2^12 long and X on slot 12 and above pairs each range with its partner.
// Rows: Z only, X below a vector (lane moves), Y's phases 1 to 3, X on the top slot, two X bits
// above the range length, and 2^10 amplitudes (one range whatever the worker count).
TEST(PauliSum, RangeCutOfThisWorkerCount) {
  const struct {
    uint32_t n;
    Terms terms;
  } rows[] = {
      {17, {{3, PZ}, {0, PZ}, {16, PZ}}}, {17, {{0, PX}, {5, PZ}}},
      {17, {{2, PY}, {1, PX}}},           {17, {{9, PY}, {4, PY}, {0, PZ}}},
      {17, {{16, PX}, {3, PZ}}},          {17, {{16, PY}, {13, PY}, {2, PY}}},
      {17, {{12, PX}, {15, PY}}},         {10, {{9, PX}, {1, PY}}},
  };
  std::mt19937_64 g(5);
  for (const auto& [n, terms] : rows) {
    std::vector<Amp> a(size_t{1} << n);
    for (Amp& z : a) z = random_amp(g);
    const TavroSV sv = TavroSV::from_amplitudes(n, a).value();
    EXPECT_TRUE(same(sv.expectation_pauli(terms).value(), pauli_model(a, terms))) << terms.size();
  }
  // Every term's real part is -0.0: the sums start at +0.0, not -0.0, in every range.
  std::vector<Amp> zeros(size_t{1} << 17);
  for (size_t i = 1; i < zeros.size(); i += 2) zeros[i] = Amp(-1.0, -0.0);
  const TavroSV sv = TavroSV::from_amplitudes(17, zeros).value();
  EXPECT_EQ(bits(sv.expectation_pauli(Terms{{0, PX}})->real()), bits(0.0));
}

// Values worked out by hand from the definitions, compared bit for bit (re, im).
TEST(PauliSum, HandDerivedBits) {
  const Amp Z(0.0, 0.0), ONE(1.0, 0.0);
  const struct {
    std::vector<Amp> amps;
    Terms terms;
    double re, im;
  } rows[] = {
      {{ONE, Z, Z, ONE}, {{0, PY}, {1, PY}}, -2.0, 0.0},  // sum 2, times i^2
      {{ONE, Z}, {{0, PY}}, 0.0, 0.0},                    // Y on |0>
      {{Z, ONE}, {{0, PZ}}, -1.0, 0.0},                   // Z on |1>
      {{ONE, ONE}, {}, 2.0, 0.0},                         // the squared norm, not 1
      {{ONE, ONE}, {{0, PI}}, 2.0, 0.0},
      // terms (-0, +0) twice: +0 + -0 + -0 = +0, and 1 * +0 - 0 * +0 = +0
      {{Z, Amp(-1.0, -0.0)}, {{0, PX}}, 0.0, 0.0},
  };
  for (const auto& r : rows) {
    const TavroSV sv = TavroSV::from_amplitudes(std::countr_zero(r.amps.size()), r.amps).value();
    EXPECT_TRUE(same(sv.expectation_pauli(r.terms).value(), Amp(r.re, r.im)))
        << show(sv.expectation_pauli(r.terms));
  }
}

// The dense operators as defined, bit for bit: pairs (quartets) in increasing base order, the
// roles of a quartet by (bit hi, bit lo) with the operator entry of their local indices (q1 the
// most significant), y and the term summed left to right, the sum from 0+0i.
Amp model_2q(std::span<const Amp> a, std::span<const Amp> op, size_t t1, size_t t2) {
  using kernels::add_plain, kernels::mul_plain, kernels::conj_mul_plain;
  const size_t lo = size_t{1} << std::min(t1, t2), hi = size_t{1} << std::max(t1, t2);
  Amp acc(0.0, 0.0);
  for (size_t i = 0; i < a.size(); ++i) {
    if ((i & (lo | hi)) != 0) continue;
    Amp x[4];
    size_t r[4];
    for (size_t k = 0; k < 4; ++k) {
      const size_t idx = i + (k & 1) * lo + (k >> 1) * hi;
      x[k] = a[idx];
      r[k] = 2 * (idx >> t1 & 1) + (idx >> t2 & 1);
    }
    Amp term;
    for (size_t k = 0; k < 4; ++k) {
      Amp y = mul_plain(op[r[k] + 4 * r[0]], x[0]);
      for (size_t l = 1; l < 4; ++l) y = add_plain(y, mul_plain(op[r[k] + 4 * r[l]], x[l]));
      term = k == 0 ? conj_mul_plain(x[0], y) : add_plain(term, conj_mul_plain(x[k], y));
    }
    acc = add_plain(acc, term);
  }
  return acc;
}
Amp model_1q(std::span<const Amp> a, const std::array<Amp, 4>& op, size_t t) {
  using kernels::add_plain, kernels::mul_plain, kernels::conj_mul_plain;
  const size_t s = size_t{1} << t;
  Amp acc(0.0, 0.0);
  for (size_t i = 0; i < a.size(); ++i) {
    if ((i & s) != 0) continue;
    const Amp a0 = a[i], a1 = a[i + s];
    const Amp b0 = add_plain(mul_plain(op[0], a0), mul_plain(op[2], a1));
    const Amp b1 = add_plain(mul_plain(op[1], a0), mul_plain(op[3], a1));
    acc = add_plain(acc, add_plain(conj_mul_plain(a0, b0), conj_mul_plain(a1, b1)));
  }
  return acc;
}

TEST(DenseOperators, SumOrderBits) {
  std::mt19937_64 g(17);
  std::vector<Amp> a(size_t{1} << 9);
  for (Amp& z : a) z = random_amp(g, true);
  const TavroSV sv = TavroSV::from_amplitudes(9, a).value();
  const auto op1 = random_op<4>(g);
  const auto op2 = random_op<16>(g);
  for (size_t t = 0; t < 9; ++t) {
    EXPECT_TRUE(same(*sv.expectation_1q(op1, t), model_1q(a, op1, t))) << t;
    for (size_t u = 0; u < 9; ++u)
      if (u != t)
        EXPECT_TRUE(same(*sv.expectation_2q(op2, t, u), model_2q(a, op2, t, u))) << t << u;
  }
}

// Untouched qubits of a dynamic state (qubits 0 and 2 live, 1 and 3 not): an operator on
// untouched qubits is op[0] times the squared norm (each part by one product: an infinite
// imaginary part stays, a complex product would give NaN); one untouched qubit of two keeps
// the block of its 0; X or Y on one makes the Pauli sum 0 whatever the rest, Z on one is
// ignored; the argument order of expectation_2q only exchanges local indices 1 and 2.
TEST(Expectation, UntouchedQubitsAndArgumentOrder) {
  std::mt19937_64 g(9);
  TavroSV sv = TavroSV::zero_dynamic(4).value();
  ASSERT_TRUE(sv.apply_gate_1q(random_op<4>(g), 2));
  ASSERT_TRUE(sv.apply_gate_1q(random_op<4>(g), 0));
  const double ns = sv.norm_squared();
  auto op = random_op<16>(g);
  op[0] = Amp(0.75, HUGE_VAL);
  std::array<Amp, 16> swapped;  // local indices 1 and 2 exchanged in rows and columns
  for (size_t r = 0; r < 4; ++r)
    for (size_t c = 0; c < 4; ++c)
      swapped[r + 4 * c] = op[(r == 1 ? 2 : r == 2 ? 1 : r) + 4 * (c == 1 ? 2 : c == 2 ? 1 : c)];
  const std::array<Amp, 4> op1{op[0], op[1], op[2], op[3]};
  const Amp scaled(0.75 * ns, HUGE_VAL * ns);
  EXPECT_TRUE(same(*sv.expectation_1q(op1, 3), scaled));
  EXPECT_TRUE(same(*sv.expectation_2q(op, 1, 3), scaled));
  EXPECT_TRUE(
      same(*sv.expectation_2q(op, 1, 2), *sv.expectation_1q({op[0], op[1], op[4], op[5]}, 2)));
  EXPECT_TRUE(
      same(*sv.expectation_2q(op, 2, 1), *sv.expectation_1q({op[0], op[2], op[8], op[10]}, 2)));
  EXPECT_TRUE(same(*sv.expectation_2q(op, 0, 2), *sv.expectation_2q(swapped, 2, 0)));
  EXPECT_TRUE(same(*sv.expectation_pauli(Terms{{0, PZ}, {3, PX}, {2, PX}}), Amp(0.0, 0.0)));
  EXPECT_TRUE(same(*sv.expectation_pauli(Terms{{1, PY}}), Amp(0.0, 0.0)));
  EXPECT_TRUE(
      same(*sv.expectation_pauli(Terms{{1, PZ}, {2, PX}}), *sv.expectation_pauli(Terms{{2, PX}})));
  EXPECT_TRUE(same(*sv.expectation_pauli(Terms{{3, PZ}, {1, PI}}), Amp(ns, 0.0)));
  EXPECT_EQ(sv.live_qubits(), 2u);
}

// Each check in argument (or term) order: range, then repetition, I terms included; the
// validation ends before any untouched-qubit shortcut.
TEST(Expectation, CheckOrder) {
  TavroSV sv = TavroSV::zero_dynamic(3).value();
  ASSERT_TRUE(sv.apply_x(0));
  const std::array<Amp, 4> op1{};
  const std::array<Amp, 16> op2{};
  const auto oob = [](size_t q) {
    return "qubit index " + std::to_string(q) + " out of bounds for state vector with 3 qubits";
  };
  const auto dup = [](size_t q) {
    return "two-qubit gate operands must be distinct, got (" + std::to_string(q) + ", " +
           std::to_string(q) + ")";
  };
  const size_t huge = std::numeric_limits<size_t>::max();
  const std::pair<std::function<Result<Amp>()>, std::string> rows[] = {
      {[&] { return sv.expectation_1q(op1, 3); }, oob(3)},
      {[&] { return sv.expectation_2q(op2, 5, 9); }, oob(5)},
      {[&] { return sv.expectation_2q(op2, 1, 9); }, oob(9)},
      {[&] { return sv.expectation_2q(op2, 2, 2); }, dup(2)},
      {[&] { return sv.expectation_2q(op2, 4, 4); }, oob(4)},
      {[&] {
         return sv.expectation_pauli(Terms{{0, PX}, {5, PZ}});
       },
       oob(5)},
      {[&] {
         return sv.expectation_pauli(Terms{{1, PX}, {1, PZ}, {7, PX}});
       },
       dup(1)},
      {[&] {
         return sv.expectation_pauli(Terms{{7, PX}, {1, PX}, {1, PZ}});
       },
       oob(7)},
      {[&] {
         return sv.expectation_pauli(Terms{{2, PI}, {2, PZ}});
       },
       dup(2)},
      {[&] {
         return sv.expectation_pauli(Terms{{0, PI}, {huge, PI}});
       },
       oob(huge)},
      {[&] {
         return sv.expectation_pauli(Terms{{0, PZ}, {0, PZ}});
       },
       dup(0)},
  };
  for (const auto& [call, want] : rows) EXPECT_EQ(show(call()), want);
  EXPECT_EQ(sv.live_qubits(), 1u);
}

// The kernels' vector bodies against the portable ones, bit for bit, on every target this
// machine runs: every slot and slot pair of 2^8 amplitudes (direct runs, short loads, the
// gather), tiny buffers, and Pauli ranges with unaligned ends, xmask bits below and above a
// vector, paired ranges aligned or not; inputs include signed zeros and subnormals.
TEST(ExpectationKernels, VectorMatchesPortable) {
  std::mt19937_64 g(3);
  std::vector<Amp> a(512);
  for (Amp& z : a) z = random_amp(g, true);
  const std::span<const Amp> all(a);
  const auto op1 = random_op<4>(g);
  const auto op2 = random_op<16>(g);
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);  // 0: no mock, the state left behind
  for (const int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    SCOPED_TRACE(target ? hwy::TargetName(target) : "default");
    size_t bad = 0;
    const auto check = [&](const auto& f) { bad += !same(f(true), f(false)); };
    for (const size_t log_n : {1, 2, 3, 8})
      for (size_t t = 0; t < log_n; ++t) {
        check([&](bool v) {
          return kernels::expectation_1q_kernel(v, all.first(1 << log_n), t, op1);
        });
        for (size_t u = 0; u < log_n; ++u)
          if (u != t)
            check([&](bool v) {
              return kernels::expectation_2q_kernel(v, all.first(1 << log_n), t, u, op2);
            });
      }
    for (const uint64_t x : {0, 1, 2, 5, 8, 0x41, 0x100}) {
      const uint64_t z = g() & 0x1FF;
      for (int rep = 0; rep < 6; ++rep) {
        const size_t b = g() % 512, e = b + g() % (512 - b + 1);
        if (x == 0)
          bad += bits(kernels::pauli_z_sum(true, all, z, b, e)) !=
                 bits(kernels::pauli_z_sum(false, all, z, b, e));
        if (x != 0) check([&](bool v) { return kernels::pauli_xz_sum(v, all, x, z, b, e); });
      }
    }
    for (const auto& [x, start, len] :
         {std::tuple{0x100u, 16u, 64u}, {0x180u, 32u, 96u}, {0x100u, 3u, 40u}}) {
      const auto pair = [&](bool v) {
        return kernels::pauli_xz_sum_pair(v, all, x, 0x193, start, start ^ x, len);
      };
      bad += !same(pair(true).first, pair(false).first) ||
             !same(pair(true).second, pair(false).second);
      bad +=
          !same(pair(true).first, kernels::pauli_xz_sum(false, all, x, 0x193, start, start + len));
    }
    EXPECT_EQ(bad, 0u);
  }
}

// The letter parser: a to z upper-cased first; the message shows the character after that, as
// UTF-8 (a NUL as a NUL byte, a value that is no character as U+FFFD).
TEST(PauliLetter, CodesAndMessages) {
  const std::string prefix = "invalid gate matrix: expected one of I/X/Y/Z, got '";
  const std::pair<char32_t, std::string> rows[] = {
      {U'I', "0"},
      {U'x', "1"},
      {U'Y', "2"},
      {U'z', "3"},
      {U'i', "0"},
      {U'q', prefix + "Q'"},
      {U'1', prefix + "1'"},
      {U'A', prefix + "A'"},
      {U'{', prefix + "{'"},
      {U'`', prefix + "`'"},
      {U'\u00e9', prefix + "\xC3\xA9'"},
      {U'\u20ac', prefix + "\xE2\x82\xAC'"},
      {U'\U0001F600', prefix + "\xF0\x9F\x98\x80'"},
      {0, prefix + std::string(1, '\0') + "'"},
      {0xD800, prefix + "\xEF\xBF\xBD'"},
      {0x110000, prefix + "\xEF\xBF\xBD'"},
  };
  for (const auto& [c, want] : rows) {
    const Result<Pauli> p = Pauli::from_char(c);
    EXPECT_EQ(p ? std::to_string(p->code) : p.error().display(), want) << uint32_t(c);
  }
}

}  // namespace
}  // namespace tavro
