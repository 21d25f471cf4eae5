// The C functions against the core operations they wrap, in one program: for the same
// arguments and seed both give the same status, values, chosen index, state bits and
// generator position. Arbitrary matrices and footprints, so a reordered or truncated argument
// shows.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "ffi/handles.hpp"
#include "ffi/trap.hpp"
#include "observables/pauli.hpp"
#include "ordering/ordering.hpp"
#include "rng.hpp"
#include "tavro.h"

namespace {

using tavro::Amp;
using tavro::Result;
using tavro::TavroSV;
using tavro::Xoshiro256PlusPlus;

constexpr uint64_t SEED = 0xA11CE;

// Values in [-1, 1) from a fixed stream.
std::vector<double> values(size_t n, uint64_t seed) {
  tavro::SplitMix64 g{seed};
  std::vector<double> v(n);
  for (double& x : v) x = double(g.next_u64() >> 11) * 0x1.0p-52 - 1.0;
  return v;
}

std::vector<TavroComplex> complexes(size_t n, uint64_t seed) {
  const std::vector<double> v = values(2 * n, seed);
  std::vector<TavroComplex> c(n);
  for (size_t k = 0; k < n; ++k) c[k] = {v[2 * k], v[2 * k + 1]};
  return c;
}

template <size_t N>
std::array<Amp, N> core_matrix(const std::vector<TavroComplex>& m) {
  return tavro::ffi::copy_matrix<N>(m.data());
}

std::span<const Amp> core_view(const std::vector<TavroComplex>& m) {
  return tavro::ffi::amp_view(m.data(), m.size());
}

// What a call gave back: its status, the complex value or index it wrote.
struct Outcome {
  int32_t status = 0;
  TavroComplex value = {0, 0};
  size_t index = 0;
};

template <class T>
Outcome of(const Result<T>& r) {
  Outcome o;
  if (!r) {
    o.status = tavro::ffi::error_code(r.error());
  } else if constexpr (std::is_same_v<T, Amp>) {
    o.value = {r->real(), r->imag()};
  } else if constexpr (std::is_same_v<T, size_t>) {
    o.index = *r;
  }
  return o;
}

const std::vector<TavroComplex> G64 = complexes(64, 1), D16 = complexes(16, 2),
                                M16 = complexes(16, 3), OPS48 = complexes(48, 4);
const double PROBS[3] = {0.2, 0.5, 0.3};
const size_t T423[3] = {4, 2, 3}, T2041[4] = {2, 0, 4, 1}, C1[1] = {1}, PQ[4] = {0, 2, 4, 3};
const tavro::PauliTerm TERMS[4] = {
    {0, {tavro::Pauli::X}}, {2, {tavro::Pauli::Y}}, {4, {tavro::Pauli::Z}}, {3, {tavro::Pauli::I}}};

struct Agree {
  const char* name;
  // The C call on a handle and the core call on its twin, each with a generator from SEED;
  // `o` receives what the C call wrote.
  int32_t (*c)(TavroSVHandle* h, TavroRng* r, Outcome& o);
  Outcome (*core)(TavroSV& s, Xoshiro256PlusPlus& g);
};

#define C_SIDE(expr) \
  [](TavroSVHandle* h, TavroRng* r, Outcome& o) { return (void)r, (void)o, (expr); }
#define CORE(expr) [](TavroSV& s, Xoshiro256PlusPlus& g) { return (void)g, of(expr); }

// clang-format off
const Agree AGREE[] = {
    {"gate_kq", C_SIDE(tavro_sv_apply_gate_kq(h, G64.data(), 64, T423, 3)),
     CORE(s.apply_gate_kq(core_view(G64), T423))},
    {"diag_kq", C_SIDE(tavro_sv_apply_diag_kq(h, D16.data(), 16, T2041, 4)),
     CORE(s.apply_diag_kq(core_view(D16), T2041))},
    {"controlled_gate_2q", C_SIDE(tavro_sv_apply_controlled_gate_2q(h, M16.data(), 16, C1, 1, 4, 0)),
     CORE(s.apply_controlled_gate_2q(core_matrix<16>(M16), C1, 4, 0))},
    {"expectation_pauli", C_SIDE(tavro_sv_expectation_pauli(h, "XyZi", PQ, 4, &o.value)),
     CORE(s.expectation_pauli(TERMS))},
    {"kraus_2q", C_SIDE(tavro_sv_apply_kraus_2q(h, OPS48.data(), 48, 1, 3, r, &o.index)),
     CORE(s.apply_kraus_2q(core_view(OPS48), 1, 3, g))},
    {"mixed_unitary_2q",
     C_SIDE(tavro_sv_apply_mixed_unitary_2q(h, OPS48.data(), 48, PROBS, 3, 4, 2, r, &o.index)),
     CORE(s.apply_mixed_unitary_2q(core_view(OPS48), PROBS, 4, 2, g))},
};
// clang-format on

class CAndCore : public testing::TestWithParam<Agree> {};

TEST_P(CAndCore, SameStatusValuesStateAndDraws) {
  const Agree& row = GetParam();
  const std::vector<TavroComplex> amps = complexes(32, 7);
  auto state = TavroSV::from_amplitudes(5, core_view(amps));
  ASSERT_TRUE(state);
  TavroSVHandle* h = tavro_sv_from_amplitudes(5, amps.data(), amps.size());
  TavroRng* r = tavro_rng_new(SEED);
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::seed_from_u64(SEED);
  Outcome c;
  c.status = row.c(h, r, c);
  const Outcome core = row.core(*state, g);
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.status, core.status);
  EXPECT_EQ(std::memcmp(&c.value, &core.value, sizeof c.value), 0);
  EXPECT_EQ(c.index, core.index);
  const auto a = h->sv.amplitudes(), b = state->amplitudes();
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size_bytes()), 0);
  EXPECT_EQ(r->rng.next_u64(), g.next_u64()) << "a different number of draws";
  tavro_sv_free(h);
  tavro_rng_free(r);
}

INSTANTIATE_TEST_SUITE_P(Ffi, CAndCore, testing::ValuesIn(AGREE),
                         [](const testing::TestParamInfo<Agree>& i) { return i.param.name; });

struct Footprint {
  size_t n;
  size_t pairs;
  uint32_t method;
  uint64_t seed;
};

// Below and above the 20-qubit scale, with more pairs than qubits and repeated pairs.
const Footprint FOOTPRINTS[] = {{2, 1, 1, 5},   {5, 0, 1, 6},   {9, 14, 0, 7},  {9, 14, 1, 7},
                                {13, 30, 1, 8}, {24, 40, 0, 9}, {24, 40, 1, 9}, {30, 90, 1, 10}};

class OrderingAgrees : public testing::TestWithParam<Footprint> {};

TEST_P(OrderingAgrees, SamePlacementAndCostBits) {
  const Footprint f = GetParam();
  std::vector<double> w1 = values(f.n, f.seed), pw = values(f.pairs, f.seed + 100);
  for (size_t q = 0; q < f.n; q += 3) w1[q] = 0.0;  // skipped terms of the cost
  tavro::SplitMix64 pick{f.seed + 200};
  std::vector<size_t> pi(f.pairs), pj(f.pairs);
  std::vector<tavro::WeightedPair> pairs;
  for (size_t k = 0; k < f.pairs; ++k) {
    pi[k] = pick.next_u64() % f.n, pj[k] = pick.next_u64() % f.n, pw[k] += 1.0;
    pairs.push_back({pi[k], pj[k], pw[k]});
  }
  std::vector<size_t> perm(f.n);
  double cost = 0;
  ASSERT_EQ(tavro_optimize_ordering(f.n, w1.data(), pi.data(), pj.data(), pw.data(), f.pairs,
                                    f.method, f.seed, perm.data(), &cost),
            0);
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::seed_from_u64(f.seed);
  const tavro::OrderingResult want = tavro::optimize_ordering(f.n, w1, pairs, f.method == 1, g);
  EXPECT_EQ(perm, want.perm);
  EXPECT_EQ(std::bit_cast<uint64_t>(cost), std::bit_cast<uint64_t>(want.cost));
}

INSTANTIATE_TEST_SUITE_P(Ffi, OrderingAgrees, testing::ValuesIn(FOOTPRINTS));

}  // namespace
