// Expectation values: a dense long double reference on random static and dynamic states (every
// untouched-qubit shortcut), bit models of the sums (the Pauli ranges of this process's worker
// count), values derived by hand (phases, signed zeros, the +0 start), vector bodies against
// portable ones on every target, the order of the checks and the letter parser's messages.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "gates/kernels/complex.hpp"
#include "observables/expectation_kernels.hpp"
#include "par/pool.hpp"
#include "par/reduce.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

using LD = std::complex<long double>;
using Terms = std::vector<PauliTerm>;
using kernels::add_plain, kernels::mul_plain, kernels::conj_mul_plain;
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

// Uniform in (-1, 1)^2; with `special` one part in five is a signed zero or a subnormal (no
// infinity: every sum would be NaN and hide all differences).
Amp random_amp(std::mt19937_64& g, bool special = false) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const auto part = [&] {
    const double pick[] = {0.0, -0.0, 3e-310, -5e-324};
    return special && g() % 5 == 0 ? pick[g() % 4] : u(g);
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

// <psi| O |psi> over the logical vector (untouched qubits read 0), O column-major on qs, qs[0]
// the most significant local bit.
LD dense(const TavroSV& sv, const std::vector<Amp>& op, const std::vector<size_t>& qs) {
  const size_t k = qs.size(), d = size_t{1} << k;
  const auto psi = [&](size_t i) {
    return LD(sv.get_logical(i)->real(), sv.get_logical(i)->imag());
  };
  LD sum = 0;
  for (size_t i = 0; i < (size_t{1} << sv.num_qubits()); ++i) {
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

// The Kronecker product of the letters' matrices, the first term most significant.
std::vector<Amp> pauli_matrix(const Terms& terms) {
  const std::array<std::array<Amp, 4>, 4> letter{
      {{1, 0, 0, 1}, {0, 1, 1, 0}, {0, Amp(0, 1), Amp(0, -1), 0}, {1, 0, 0, -1}}};
  std::vector<Amp> m{1};
  for (size_t t = 0, d = 1; t < terms.size(); ++t, d *= 2) {
    std::vector<Amp> next(4 * d * d);
    for (size_t r = 0; r < 2 * d; ++r)
      for (size_t c = 0; c < 2 * d; ++c)
        next[r + 2 * d * c] =
            m[r / 2 + d * (c / 2)] * letter[terms[t].pauli.code][r % 2 + 2 * (c % 2)];
    m = next;
  }
  return m;
}

// Static states of random amplitudes times `scale`; dynamic ones with a random non-unitary gate on
// each listed qubit in turn (slots follow the list), the first two then entangled.
struct StateCase {
  const char* name;
  uint32_t n;
  std::vector<size_t> touched;
  double scale;  // 0: dynamic
};
const StateCase STATES[] = {
    {"static4", 4, {}, 0.5},          {"static7_unnormalised", 7, {}, 0.3},
    {"dynamic6", 6, {3, 0, 5, 1}, 0}, {"dynamic5_one_live", 5, {2}, 0},
    {"dynamic3_none_live", 3, {}, 0},
};
void PrintTo(const StateCase& c, std::ostream* os) { *os << c.name; }

TavroSV make_state(const StateCase& c, std::mt19937_64& g) {
  if (c.scale != 0) {
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

// Every qubit, every ordered pair and random Pauli strings (I included, any order) within 1e-13
// of the reference, scaled by the norm; no qubit gets a slot.
TEST_P(AgainstDense, OneTwoAndPauli) {
  std::mt19937_64 g(GetParam().n * 31 + GetParam().touched.size());
  const TavroSV sv = make_state(GetParam(), g), before = sv.clone();
  const long double tol = 1e-13L * (1 + 64 * static_cast<long double>(sv.norm_squared()));
  const auto near = [&](const Result<Amp>& got, LD want) {
    return got && std::abs(LD(got->real(), got->imag()) - want) <= tol;
  };
  const size_t n = sv.num_qubits();
  for (size_t q = 0; q < n; ++q) {
    const auto op = random_op<4>(g);
    EXPECT_TRUE(near(sv.expectation_1q(op, q), dense(sv, {op.begin(), op.end()}, {q}))) << q;
    for (size_t q2 = 0; q2 < n; ++q2) {
      const auto op2 = random_op<16>(g);
      if (q2 != q) {
        EXPECT_TRUE(
            near(sv.expectation_2q(op2, q, q2), dense(sv, {op2.begin(), op2.end()}, {q, q2})));
      }
    }
  }
  for (int rep = 0; rep < 24; ++rep) {
    std::vector<size_t> qs(n);
    std::iota(qs.begin(), qs.end(), 0);
    std::shuffle(qs.begin(), qs.end(), g);
    Terms terms(g() % (n + 1));
    for (size_t k = 0; k < terms.size(); ++k) terms[k] = {qs[k], Pauli{Pauli::Code(g() % 4)}};
    qs.resize(terms.size());
    EXPECT_TRUE(near(sv.expectation_pauli(terms), dense(sv, pauli_matrix(terms), qs))) << rep;
  }
  EXPECT_EQ(sv.live_qubits(), before.live_qubits());
  EXPECT_TRUE(!sv.is_dynamic() || *sv.slots() == *before.slots());
}

INSTANTIATE_TEST_SUITE_P(States, AgainstDense, testing::ValuesIn(STATES),
                         [](const auto& info) { return std::string(info.param.name); });

// The sums as defined, bit for bit. expectation_1q (one slot) and expectation_2q: groups in
// increasing base order, roles by the slots' bits (the higher slot the more significant), each
// role's operator entry at its local index (the first argument the most significant), y_k and the
// term summed left to right, from 0+0i.
Amp dense_model(std::span<const Amp> a, std::span<const Amp> op, std::vector<size_t> slots) {
  const size_t k = slots.size(), d = size_t{1} << k;
  const size_t lo = size_t{1} << std::ranges::min(slots), hi = size_t{1} << std::ranges::max(slots);
  Amp acc(0.0, 0.0);
  for (size_t i = 0; i < a.size(); ++i) {
    if ((i & (lo | hi)) != 0) continue;
    Amp x[4], term;
    size_t r[4];
    for (size_t role = 0; role < d; ++role) {
      const size_t idx = i + (role & 1) * lo + (role >> 1) * hi;
      x[role] = a[idx];
      r[role] = k == 1 ? role : 2 * (idx >> slots[0] & 1) + (idx >> slots[1] & 1);
    }
    for (size_t role = 0; role < d; ++role) {
      Amp y = mul_plain(op[r[role] + d * r[0]], x[0]);
      for (size_t l = 1; l < d; ++l) y = add_plain(y, mul_plain(op[r[role] + d * r[l]], x[l]));
      term = role == 0 ? conj_mul_plain(x[0], y) : add_plain(term, conj_mul_plain(x[role], y));
    }
    acc = add_plain(acc, term);
  }
  return acc;
}

// One range [b, e) of the Pauli sum from 0+0i in index order: +-|a_i|^2 when x = 0, else
// conj(a_i) ((s + 0i) a_j), j = i ^ x, s by the parity of j & z.
Amp pauli_range(std::span<const Amp> a, uint64_t x, uint64_t z, size_t b, size_t e) {
  Amp part(0.0, 0.0);
  for (size_t i = b; i < e; ++i) {
    const size_t j = i ^ x;
    const double s = std::popcount(j & z) % 2 ? -1.0 : 1.0;
    const double t = a[i].real() * a[i].real() + a[i].imag() * a[i].imag();
    part = x == 0 ? Amp(part.real() + (s < 0 ? -t : t), 0.0)
                  : add_plain(part, conj_mul_plain(a[i], mul_plain(Amp(s, 0.0), a[j])));
  }
  return part;
}

// The Pauli sum: masks from the letters, ranges of max(n / 4T, 1) under this process's worker
// count (one range below MIN_AMPS or with one worker) added in order from zero, times i^ny.
Amp pauli_model(std::span<const Amp> a, const Terms& terms) {
  uint64_t x = 0, z = 0;
  size_t ny = 0;
  for (const PauliTerm& t : terms) {
    x |= t.pauli == PX || t.pauli == PY ? uint64_t{1} << t.qubit : 0;
    z |= t.pauli == PY || t.pauli == PZ ? uint64_t{1} << t.qubit : 0;
    ny += t.pauli == PY;
  }
  const size_t n = a.size(), workers = par::NUM_THREADS();
  const size_t chunk =
      n < par::MIN_AMPS() || workers < 2 ? n : std::max<size_t>(n / (4 * workers), 1);
  Amp sum(0.0, 0.0);
  for (size_t b = 0; b < n; b += chunk)
    sum = add_plain(sum, pauli_range(a, x, z, b, std::min(n, b + chunk)));
  const double re[] = {1, 0, -1, 0}, im[] = {0, 1, 0, -1};
  return mul_plain(Amp(re[ny % 4], im[ny % 4]), sum);
}

// The kernels, vector and portable bodies alike, on every target this machine runs: every slot
// and slot pair of 2^9 amplitudes (whole vectors, lanes split by one or two slots) and of tiny
// buffers; Pauli ranges with unaligned ends and X below and above a vector's width; partner
// ranges aligned to vectors or not.
TEST(ExpectationKernels, MatchTheModelsOnEveryTarget) {
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
    size_t bad = 0;
    for (const bool v : {true, false}) {
      for (const size_t log_n : {1, 2, 3, 9})
        for (size_t t = 0; t < log_n; ++t) {
          const auto part = all.first(size_t{1} << log_n);
          bad +=
              !same(kernels::expectation_1q_kernel(v, part, t, op1), dense_model(part, op1, {t}));
          for (size_t u = 0; u < log_n; ++u)
            bad += u != t && !same(kernels::expectation_2q_kernel(v, part, t, u, op2),
                                   dense_model(part, op2, {t, u}));
        }
      for (const uint64_t x : {0, 1, 2, 5, 8, 0x41, 0x100})
        for (int rep = 0; rep < 6; ++rep) {
          const uint64_t z = g() & 0x1FF;
          const size_t b = g() % 512, e = b + g() % (512 - b + 1);
          bad += !same(x == 0 ? Amp(kernels::pauli_z_sum(v, all, z, b, e), 0.0)
                              : kernels::pauli_xz_sum(v, all, x, z, b, e),
                       pauli_range(all, x, z, b, e));
        }
      for (const auto& [x, b, len] : {std::tuple{0x100, 16, 64}, {0x180, 32, 96}, {0x100, 3, 40}}) {
        const auto [first, second] = kernels::pauli_xz_sum_pair(v, all, x, 0x193, b, b ^ x, len);
        bad += !same(first, pauli_range(all, x, 0x193, b, b + len)) +
               !same(second, pauli_range(all, x, 0x193, b ^ x, (b ^ x) + len));
      }
    }
    EXPECT_EQ(bad, 0u) << (target ? hwy::TargetName(target) : "default");
  }
}

// 2^17 amplitudes reach the cut-over of up to eight workers: 3 and 8 cut them in 12 and 32 ranges,
// and with 8 (ranges of 2^12) X on slot 12 and above pairs each range with its partner. Rows: Z
// only, X below a vector's width (lane moves), Y's phases 1 to 3, X on the top slot, X bits above
// the range length, and 2^10 amplitudes (one range whatever the worker count).
TEST(PauliSum, RangeCutOfThisWorkerCount) {
  const std::pair<uint32_t, Terms> rows[] = {
      {17, {{3, PZ}, {0, PZ}, {16, PZ}}}, {17, {{0, PX}, {5, PZ}}},
      {17, {{2, PY}, {1, PX}}},           {17, {{9, PY}, {4, PY}, {0, PZ}}},
      {17, {{16, PX}, {3, PZ}}},          {17, {{16, PY}, {13, PY}, {2, PY}}},
      {17, {{12, PX}, {15, PY}}},         {10, {{9, PX}, {1, PY}}}};
  std::mt19937_64 g(5);
  for (const auto& [n, terms] : rows) {
    std::vector<Amp> a(size_t{1} << n);
    for (Amp& z : a) z = random_amp(g);
    const TavroSV sv = TavroSV::from_amplitudes(n, a).value();
    EXPECT_TRUE(same(*sv.expectation_pauli(terms), pauli_model(a, terms))) << terms.size();
  }
  // Every term's real part is -0.0 (see the last row below): the ranges start from +0.0.
  std::vector<Amp> zeros(size_t{1} << 17);
  for (size_t i = 1; i < zeros.size(); i += 2) zeros[i] = Amp(-1.0, -0.0);
  const TavroSV sv = TavroSV::from_amplitudes(17, zeros).value();
  EXPECT_EQ(bits(sv.expectation_pauli(Terms{{0, PX}})->real()), bits(0.0));
}

// The reduction pairs range k with range k ^ flip when the ranges are one power-of-two length and
// the X mask has no bit below it: with 8 workers 2^17 amplitudes make 32 ranges of 2^12.
TEST(PauliSum, RangePartners) {
  const size_t n = size_t{1} << 17;
  const std::tuple<size_t, uint64_t, size_t> rows[] = {
      {8, 1 << 16, 16}, {8, 1 << 12, 1},       {8, (1 << 12) | (1 << 15), 9},
      {8, 1 << 11, 0},  {8, (1 << 16) | 1, 0}, {8, 0, 0},
      {8, n, 0},        {3, 1 << 16, 0},       {2, 1 << 16, 4}};
  for (const auto& [workers, mask, flip] : rows)
    EXPECT_EQ(par::detail::xor_partner_flip(n, par::plan_reduce(n, workers), mask), flip) << mask;
}

// Values worked out by hand, bit for bit (re, im).
TEST(PauliSum, HandDerivedBits) {
  const Amp O(0.0, 0.0), ONE(1.0, 0.0);
  const struct {
    std::vector<Amp> amps;
    Terms terms;
    Amp want;
  } rows[] = {
      {{ONE, O, O, ONE}, {{0, PY}, {1, PY}}, {-2.0, 0.0}},  // terms 1, 0, 0, 1 times i^2
      {{ONE, O}, {{0, PY}}, {0.0, 0.0}},                    // Y on |0>
      {{O, ONE}, {{0, PZ}}, {-1.0, 0.0}},                   // Z on |1>
      {{ONE, ONE}, {}, {2.0, 0.0}},                         // the squared norm, not 1
      {{ONE, ONE}, {{0, PI}}, {2.0, 0.0}},
      // terms (-0, +0) twice: +0 + -0 + -0 = +0 (from -0.0 it would stay -0), 1 * +0 - 0 * +0 = +0
      {{O, Amp(-1.0, -0.0)}, {{0, PX}}, {0.0, 0.0}},
  };
  for (const auto& r : rows) {
    const TavroSV sv = TavroSV::from_amplitudes(std::countr_zero(r.amps.size()), r.amps).value();
    EXPECT_TRUE(same(*sv.expectation_pauli(r.terms), r.want))
        << show(sv.expectation_pauli(r.terms));
  }
}

// An operator on untouched qubits (1 and 3 here) is op[0] times the squared norm, each part by
// one product: an infinite imaginary part stays (a complex product would give NaN). The argument
// order of expectation_2q only exchanges local indices 1 and 2, to the bit.
TEST(Expectation, UntouchedQubitsAndArgumentOrder) {
  std::mt19937_64 g(9);
  TavroSV sv = TavroSV::zero_dynamic(4).value();
  ASSERT_TRUE(sv.apply_gate_1q(random_op<4>(g), 2) && sv.apply_gate_1q(random_op<4>(g), 0));
  const auto op = random_op<16>(g);
  std::array<Amp, 16> swapped, inf = op;
  const auto p = [](size_t k) { return (k & 1) << 1 | k >> 1; };  // 1 <-> 2
  for (size_t e = 0; e < 16; ++e) swapped[e] = op[p(e % 4) + 4 * p(e / 4)];
  inf[0] = Amp(0.75, HUGE_VAL);
  const Amp scaled(0.75 * sv.norm_squared(), HUGE_VAL * sv.norm_squared());
  EXPECT_TRUE(same(*sv.expectation_1q({inf[0], inf[1], inf[2], inf[3]}, 3), scaled));
  EXPECT_TRUE(same(*sv.expectation_2q(inf, 1, 3), scaled));
  EXPECT_TRUE(same(*sv.expectation_2q(op, 0, 2), *sv.expectation_2q(swapped, 2, 0)));
}

// Each check in argument (or term) order, range before repetition, I terms included, all before
// the shortcut of X on an untouched qubit (1 here).
TEST(Expectation, CheckOrder) {
  TavroSV sv = TavroSV::zero_dynamic(3).value();
  ASSERT_TRUE(sv.apply_x(0));
  const auto oob = [](size_t q) {
    return "qubit index " + std::to_string(q) + " out of bounds for state vector with 3 qubits";
  };
  const auto dup = [](size_t q) {
    const std::string s = std::to_string(q);
    return "two-qubit gate operands must be distinct, got (" + s + ", " + s + ")";
  };
  const auto e2 = [&](size_t a, size_t b) { return sv.expectation_2q({}, a, b); };
  const auto ep = [&](Terms t) { return sv.expectation_pauli(t); };
  const size_t huge = std::numeric_limits<size_t>::max();
  const std::pair<Result<Amp>, std::string> rows[] = {
      {sv.expectation_1q({}, 3), oob(3)},
      {e2(5, 9), oob(5)},
      {e2(1, 9), oob(9)},
      {e2(2, 2), dup(2)},
      {e2(4, 4), oob(4)},
      {ep({{0, PX}, {5, PZ}}), oob(5)},
      {ep({{1, PX}, {2, PZ}, {2, PX}, {7, PX}}), dup(2)},
      {ep({{7, PX}, {1, PX}, {1, PZ}}), oob(7)},
      {ep({{2, PI}, {2, PI}}), dup(2)},
      {ep({{0, PI}, {huge, PI}}), oob(huge)},
  };
  for (const auto& [got, want] : rows) EXPECT_EQ(show(got), want);
  EXPECT_EQ(sv.live_qubits(), 1u);
}

// a to z are upper-cased first; the message shows the character after that, as UTF-8 (a NUL as a
// NUL byte, a value that is no character as U+FFFD).
TEST(PauliLetter, CodesAndMessages) {
  const std::pair<char32_t, Pauli::Code> ok[] = {
      {U'I', Pauli::I}, {U'x', Pauli::X}, {U'Y', Pauli::Y}, {U'z', Pauli::Z}, {U'i', Pauli::I}};
  for (const auto& [c, code] : ok) EXPECT_EQ(Pauli::from_char(c), Pauli{code});
  using namespace std::string_literals;  // "\0"s: a NUL byte of its own
  const std::pair<char32_t, std::string> bad[] = {{U'q', "Q"},
                                                  {U'1', "1"},
                                                  {U'A', "A"},
                                                  {U'{', "{"},
                                                  {U'`', "`"},
                                                  {U'\u00e9', "\xC3\xA9"},
                                                  {U'\u20ac', "\xE2\x82\xAC"},
                                                  {U'\U0001F600', "\xF0\x9F\x98\x80"},
                                                  {U'\0', "\0"s},
                                                  {U'\xD800', "\xEF\xBF\xBD"},
                                                  {U'\x110000', "\xEF\xBF\xBD"}};
  for (const auto& [c, shown] : bad) {
    const Result<Pauli> r = Pauli::from_char(c);
    EXPECT_EQ(r ? "accepted" : r.error().display(),
              "invalid gate matrix: expected one of I/X/Y/Z, got '" + shown + "'");
  }
}

}  // namespace
}  // namespace tavro
