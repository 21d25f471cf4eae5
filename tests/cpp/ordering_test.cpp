// The ordering optimizer: the factors and the cost to the bit, the exchange delta's groupings,
// adjacency order, the worked greedy and local-search placements, the range draw predicted from
// the published generator stream, the annealing walk against models of its loop, the choice of
// the result, and the faults. Every expectation is fixed, and the binary runs under
// RAYON_NUM_THREADS = 1, 3 and 8, so the results are checked to be the same under each.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "error.hpp"
#include "format.hpp"
#include "ordering/detail.hpp"
#include "ordering/ordering.hpp"
#include "rng.hpp"

namespace tavro {
namespace {

using namespace detail;
using X = Xoshiro256PlusPlus;
using Pairs = std::vector<WeightedPair>;
using Perm = std::vector<size_t>;
uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
constexpr double P53 = 0x1p53, P56 = 0x1p56, NAN_ = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr size_t NO_SLOT = std::numeric_limits<size_t>::max();

// Rows print as their names.
template <class Case>
requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

Perm identity(size_t n) {
  Perm p(n);
  std::iota(p.begin(), p.end(), size_t{0});
  return p;
}

// An independent Xoshiro256++ and the first outputs of the published state (1, 2, 3, 4).
struct Twin {
  uint64_t s[4];
  uint64_t next() {
    const uint64_t r = std::rotl(s[0] + s[3], 23) + s[0], t = s[1] << 17;
    s[2] ^= s[0], s[3] ^= s[1], s[1] ^= s[2], s[0] ^= s[3], s[2] ^= t, s[3] = std::rotl(s[3], 45);
    return r;
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1p-53; }
  bool same_state(const X& g) const { return std::memcmp(s, g.s, sizeof s) == 0; }
};
constexpr uint64_t O[8] = {41943041ull,
                           58720359ull,
                           3588806011781223ull,
                           3591011842654386ull,
                           9228616714210784205ull,
                           9973669472204895162ull,
                           14011001112246962877ull,
                           12406186145184390807ull};
uint64_t hi32(size_t k) { return O[k] >> 32; }
uint64_t lo32(size_t k) { return O[k] & 0xFFFFFFFFu; }

// ---- scale and factors, as shortest round-trip texts ("" = not checked)
struct FactorCase {
  size_t n;
  const char* scale;
  const char* f1[4];
  const char* f2[3];
};
constexpr FactorCase FACTORS[] = {
    {0, "1", {"1.15", "1.08", "1.03", "1"}, {"1.3", "1.22", "1"}},
    {20, "1", {"1.15", "1.08", "1.03", "1"}, {"1.3", "1.22", "1"}},
    {21, "1.12", {"", "", "", "1"}, {"", "", "1"}},
    {22, "1.24", {"1.186", "1.0992", "1.0372", "1"}, {"1.3719999999999999", "1.2728", "1"}},
    {23, "1.3599999999999999", {"", "", "", "1"}, {"", "", "1"}},
    // Fused, f2(1) would be 1.3256.
    {24, "1.48", {"1.222", "1.1184", "1.0444", "1"}, {"1.444", "1.3256000000000001", "1"}},
    {25, "1.6", {"1.24", "1.1280000000000001", "1.048", "1"}, {"1.48", "1.352", "1"}},
    {1000, "1.6", {"1.24", "1.1280000000000001", "1.048", "1"}, {"1.48", "1.352", "1"}},
};
class Factors : public testing::TestWithParam<FactorCase> {};
TEST_P(Factors, ShortestTexts) {
  const FactorCase& c = GetParam();
  EXPECT_EQ(format_shortest_positional(ordering_scale(c.n)), c.scale);
  const CostModel m = CostModel::for_qubits(c.n);
  for (size_t k = 0; k < 4; ++k) {
    if (!*c.f1[k]) continue;
    EXPECT_EQ(format_shortest_positional(m.f1(k)), c.f1[k]) << k;
  }
  for (size_t k = 0; k < 3; ++k) {
    if (!*c.f2[k]) continue;
    EXPECT_EQ(format_shortest_positional(m.f2(k)), c.f2[k]) << k;
  }
  EXPECT_EQ(bits(m.f1(57)), bits(1.0));
  EXPECT_EQ(bits(m.f2(57)), bits(1.0));
}
INSTANTIATE_TEST_SUITE_P(Ordering, Factors, testing::ValuesIn(FACTORS));

// ---- estimate_cost and swap_delta on hand-derived rows. Slots from 3 (f1) and lower slots from
// 2 (f2) have factor 1.0, so their terms are exact and only the order of additions shows.
struct CostCase {
  const char* name;
  size_t n;
  Perm perm;
  std::vector<double> w1;
  Pairs pairs;
  size_t a, b;  // swap_delta rows only
  double expected;
};
const CostCase COSTS[] = {
    // 2^53 + 1 rounds back to 2^53: left to right gives 0, any other order 1.
    {"WeightsLeftToRight", 6, {3, 4, 5, 0, 1, 2}, {P53, 1.0, -P53}, {}, 0, 0, 0.0},
    {"PairsAfterWeights", 6, {3, 4, 5, 0, 1, 2}, {P53}, {{1, 2, 1.0}, {0, 1, -P53}}, 0, 0, 0.0},
    {"ZeroWeightsSkippedPastPlacement", 2, {0, 1}, {0.5, -0.0, 0.0, -0.0}, {}, 0, 0, 0.5 * 1.15},
    {"StartsAtPlusZero", 2, {0, 1}, {}, {{0, 1, -0.0}}, 0, 0, 0.0},
    {"ScaledFactors", 25, identity(25), {1.0}, {{1, 2, 1.0}}, 0, 0, 1.24 + 1.352},
    {"SelfPairOnce", 3, {2, 0, 1}, {}, {{2, 2, 2.0}}, 0, 0, 2.0 * 1.22},
};
// clang-format off
const CostCase DELTAS[] = {
    // Weights times differences; either product distributed gives other bits.
    {"WeightGrouping", 4, identity(4), {5.41, 0, 0, 3.72}, {}, 0, 3,
     5.41 * (1.0 - 1.15) + 3.72 * (1.15 - 1.0)},
    // a's list in order, then b's; b first or a's list reordered gives other bits. The pair
    // (0, 3) itself is skipped from both sides.
    {"ListsInOrder", 4, identity(4), {0, 0, 0, 0},
     {{0, 1, 9.9}, {0, 2, 3.0}, {3, 1, 4.8}, {0, 3, 1e6}, {0, 1, 6.1}}, 0, 3,
     ((9.9 * (1.22 - 1.3) + 3.0 * (1.0 - 1.3)) + 6.1 * (1.22 - 1.3)) + 4.8 * (1.3 - 1.22)},
    // (3, 3) moves with qubit 3, from slot 3 to 0 and from 0 to 3: each of its two entries
    // brings half the change, so the delta is the cost difference in both directions.
    {"SelfPairHalfPerEntry", 4, identity(4), {0, 0, 0, 0}, {{3, 3, 1.0}}, 3, 0,
     (1.0 * 0.5) * (1.3 - 1.0) + (1.0 * 0.5) * (1.3 - 1.0)},
    {"SelfPairMovingUp", 4, identity(4), {0, 0, 0, 0}, {{0, 0, 1.0}}, 0, 3,
     (1.0 * 0.5) * (1.0 - 1.3) + (1.0 * 0.5) * (1.0 - 1.3)},
};
// clang-format on
class Cost : public testing::TestWithParam<CostCase> {};
TEST_P(Cost, Bits) {
  const CostCase& c = GetParam();
  EXPECT_EQ(bits(estimate_cost(c.perm, c.w1, c.pairs, c.n)), bits(c.expected));
}
INSTANTIATE_TEST_SUITE_P(Ordering, Cost, testing::ValuesIn(COSTS),
                         [](const auto& i) { return std::string(i.param.name); });
class Delta : public testing::TestWithParam<CostCase> {};
TEST_P(Delta, Bits) {
  const CostCase& c = GetParam();
  const Perm before = c.perm;
  EXPECT_EQ(bits(swap_delta(c.perm, c.w1, build_adjacency_lists(c.n, c.pairs), c.a, c.b, c.n)),
            bits(c.expected));
  EXPECT_EQ(c.perm, before);
}
INSTANTIATE_TEST_SUITE_P(Ordering, Delta, testing::ValuesIn(DELTAS),
                         [](const auto& i) { return std::string(i.param.name); });

// The delta is the cost after the exchange minus the cost before, up to rounding, for every
// pair of qubits, on both sides of the scale's threshold, self-pairs included.
TEST(SwapDelta, MatchesCostDifference) {
  for (const size_t n : {size_t{2}, size_t{7}, size_t{20}, size_t{23}, size_t{40}}) {
    std::mt19937_64 gen(n);
    std::uniform_real_distribution<double> u(-2.0, 3.0);
    std::vector<double> w1(n);
    for (double& w : w1) w = u(gen);
    Pairs pairs;
    for (size_t k = 0; k < 3 * n; ++k) {
      const size_t i = gen() % n, j = k % 5 == 4 ? i : (i + 1 + gen() % (n - 1)) % n;
      pairs.push_back({i, j, u(gen)});
    }
    Perm perm = identity(n);
    std::shuffle(perm.begin(), perm.end(), gen);
    const auto adj = build_adjacency_lists(n, pairs);
    for (size_t a = 0; a < n; ++a)
      for (size_t b = a + 1; b < n; ++b) {
        Perm after = perm;
        std::swap(after[a], after[b]);
        const double want = estimate_cost(after, w1, pairs, n) - estimate_cost(perm, w1, pairs, n);
        ASSERT_NEAR(swap_delta(perm, w1, adj, a, b, n), want, 1e-12 * (1 + n)) << n << a << b;
      }
  }
}

// Self-pairs with negative weights, where a delta read at the old slot made the local search
// exchange qubits 0 and 2 back and forth without end.
TEST(LocalSearch, EndsWithNegativeSelfPairs) {
  const std::vector<double> w1 = {2.80, -0.42, 2.79, 0.25, 0.69, 2.31, 0.64};
  const Pairs pairs = {{4, 3, -1.19}, {3, 5, -0.95}, {0, 0, 1.00}, {0, 2, -0.88}, {6, 0, -0.06},
                       {5, 3, 1.92},  {5, 6, 1.85},  {3, 0, 0.90}, {5, 2, 0.16},  {2, 2, -0.89}};
  for (const bool anneal : {false, true}) {
    Xoshiro256PlusPlus rng = Xoshiro256PlusPlus::seed_from_u64(3);
    const OrderingResult r = optimize_ordering(7, w1, pairs, anneal, rng);
    EXPECT_LE(r.cost, estimate_cost(identity(7), w1, pairs, 7));
    EXPECT_NEAR(r.cost, estimate_cost(r.perm, w1, pairs, 7), 1e-12);
  }
}

TEST(AdjacencyLists, InputOrderAndSelfPairTwice) {
  const auto adj =
      build_adjacency_lists(3, Pairs{{2, 0, 0.5}, {1, 1, 2.0}, {0, 2, 3.0}, {2, 1, -1}});
  const std::vector<std::vector<std::pair<size_t, double>>> want = {
      {{2, 0.5}, {2, 3.0}}, {{1, 2.0}, {1, 2.0}, {2, -1.0}}, {{0, 0.5}, {0, 3.0}, {1, -1.0}}};
  ASSERT_EQ(adj.size(), 3u);
  for (size_t q = 0; q < 3; ++q) {
    ASSERT_EQ(adj[q].size(), want[q].size()) << q;
    for (size_t k = 0; k < want[q].size(); ++k) {
      EXPECT_EQ(adj[q][k].neighbour, want[q][k].first) << q << k;
      EXPECT_EQ(bits(adj[q][k].weight), bits(want[q][k].second)) << q << k;
    }
  }
  EXPECT_EQ(build_adjacency_lists(0, {}).size(), 0u);
}

// ---- greedy placement and local search on worked rows
struct PlaceCase {
  const char* name;
  size_t n;
  std::vector<double> w1;
  Pairs pairs;
  Perm greedy;  // empty: not a greedy row
  Perm start, searched;
  double searched_cost, fresh_cost;  // returned by local_search; estimate_cost of `searched`
};
// Weights 3, 2, 1 by q % 3 on 24 qubits: equal scores keep ascending qubit order, and the
// qubits take slots 3..23, then 2, 1, 0.
Perm stable_ties_24() {
  Perm perm(24), order;
  for (const size_t r : {2, 1, 0})
    for (size_t q = r; q < 24; q += 3) order.push_back(q);
  for (size_t k = 0; k < 24; ++k) perm[order[k]] = k < 21 ? k + 3 : 23 - k;
  return perm;
}
std::vector<double> weights_by_q_mod_3() {
  std::vector<double> w(24);
  for (size_t q = 0; q < 24; ++q) w[q] = 1.0 + static_cast<double>(q % 3);
  return w;
}
constexpr double W40 = 1 + 0x1p-40;
// clang-format off
const PlaceCase PLACES[] = {
    // The first qubit takes slot 3, the lowest slot of factor 1.0; swaps change nothing.
    {"UnitWeights", 5, {1, 1, 1, 1, 1}, {}, {3, 4, 2, 1, 0}, {3, 4, 2, 1, 0}, {3, 4, 2, 1, 0},
     1.0 + 1.0 + 1.03 + 1.08 + 1.15, 1.0 + 1.0 + 1.03 + 1.08 + 1.15},
    // Exchanges (0, 2), then (1, 3).
    {"OnePair", 4, {0, 0, 0, 0}, {{0, 1, 1.0}}, {0, 1, 2, 3}, {0, 1, 2, 3}, {2, 3, 0, 1}, 1.0, 1.0},
    {"OnePairAccumulated", 4, {0, 0, 0, 0}, {{0, 1, 0.01}}, {0, 1, 2, 3}, {0, 1, 2, 3},
     {2, 3, 0, 1}, (0.01 * 1.3 + 0.01 * (1.22 - 1.3)) + 0.01 * (1.0 - 1.22), 0.01},
    // Qubit 1 scores highest and takes slot 0; one exchange (0, 1) brings back the identity.
    {"TwoPairs", 3, {0, 0, 0}, {{0, 1, 1.0}, {1, 2, 1.0}}, {1, 0, 2}, {1, 0, 2}, {0, 1, 2},
     2.6 + (1.22 - 1.3), 1.3 + 1.22},
    // Exchanges (1, 2), (0, 3), (0, 2), (2, 4), each followed by a fresh scan from (0, 1).
    // Scanning on after an exchange, in the same row or the next, ends elsewhere.
    {"RestartAfterExchange", 5, {0, 0, 0, 0, 0}, {{2, 3, 1.0}, {0, 3, 1.0}, {3, 0, 1.0}}, {},
     {3, 4, 0, 1, 2}, {4, 0, 2, 3, 1},
     (((((1.3 + 1.22) + 1.22) + (1.22 - 1.3)) + (1.0 - 1.22)) +
      (((1.0 - 1.22) + (1.0 - 1.22)) + (1.22 - 1.0))) + (1.0 - 1.22), 3.0},
    // From the identity qubit 0 moves to slot 1, then 2; moving on to slot 3 (and qubit 3 to
    // slot 2) would gain only 2^-40 * 0.03, short of 1e-12.
    {"GainBelowThreshold", 4, {W40, 0, 0, 1}, {}, {3, 0, 1, 2}, {0, 1, 2, 3}, {2, 0, 1, 3},
     ((W40 * 1.15 + 1.0) + W40 * (1.08 - 1.15)) + W40 * (1.03 - 1.08), W40 * 1.03 + 1.0},
    {"StableTies24", 24, weights_by_q_mod_3(), {}, stable_ties_24(), {}, {}, 0.0, 0.0},
};
// clang-format on
class Place : public testing::TestWithParam<PlaceCase> {};
TEST_P(Place, GreedyThenLocalSearch) {
  const PlaceCase& c = GetParam();
  const auto adj = build_adjacency_lists(c.n, c.pairs);
  if (!c.greedy.empty()) {
    EXPECT_EQ(greedy_ordering(c.n, c.w1, adj), c.greedy);
  }
  if (c.searched.empty()) return;
  Perm perm = c.start;
  EXPECT_EQ(bits(local_search(perm, c.w1, c.pairs, adj, c.n)), bits(c.searched_cost));
  EXPECT_EQ(perm, c.searched);
  EXPECT_EQ(bits(estimate_cost(perm, c.w1, c.pairs, c.n)), bits(c.fresh_cost));
}
INSTANTIATE_TEST_SUITE_P(Ordering, Place, testing::ValuesIn(PLACES),
                         [](const auto& i) { return std::string(i.param.name); });

// ---- random_range against the published stream (and two chosen outputs): values in closed
// form, outputs consumed
struct RangeCase {
  const char* name;
  size_t low, high;
  std::vector<size_t> values;
  size_t outputs;
  uint64_t first = 0;  // non-zero: a generator whose first output is this, not the published one
};
constexpr size_t P32 = size_t{1} << 32;
// clang-format off
const RangeCase RANGES[] = {
    // Range 2^64 - 1: x - 1, plus 1 when the second output exceeds the first; always two.
    {"Width64FullRange", 0, ~size_t{0}, {O[0], O[2], O[4], O[6] - 1}, 8},
    // The same on the top halves; a top half of 0 takes no second output.
    {"Width32FullRange", 0, P32 - 1,
     {0, 0, hi32(2) - 1 + (hi32(3) > hi32(2)), hi32(4) - 1 + (hi32(5) > hi32(4))}, 6},
    // An upper bound of 2^32 is past the 32-bit test: the top half, one output each.
    {"BoundAt2Pow32", 0, P32, {hi32(0), hi32(1), hi32(2), hi32(3)}, 4},
    // Range 2^32 - 1 in 64 bits: x_hi, less 1 unless x_lo > x_hi; never a second output, where
    // the 32-bit path would take one on most outputs.
    {"WidthFollowsBound", P32, 2 * P32 - 1,
     {P32 + hi32(0) - (lo32(0) <= hi32(0)), P32 + hi32(1) - (lo32(1) <= hi32(1)),
      P32 + hi32(2) - (lo32(2) <= hi32(2)), P32 + hi32(3) - (lo32(3) <= hi32(3))}, 4},
    {"RangeOne", 5, 6, {5, 5, 5}, 3},
    // x = 2^W - 1 leaves exactly 1 = 2^W - range in the low half: not past it, one output.
    {"Width32AtThreshold", 0, P32 - 1, {P32 - 2}, 1, 0xFFFFFFFF00012345},
    {"Width64AtThreshold", 0, ~size_t{0}, {~size_t{1}}, 1, ~uint64_t{0}},
};
// clang-format on
class Range : public testing::TestWithParam<RangeCase> {};
TEST_P(Range, PublishedStream) {
  const RangeCase& c = GetParam();
  Twin twin{{1, 2, 3, 4}};
  for (const uint64_t o : O) ASSERT_EQ(twin.next(), o);
  // With s0 = 0 the first output is rotl(s3, 23).
  twin = c.first ? Twin{{0, 0x9E3779B97F4A7C15, 0x6A09E667F3BCC909, std::rotr(c.first, 23)}}
                 : Twin{{1, 2, 3, 4}};
  X rng{{twin.s[0], twin.s[1], twin.s[2], twin.s[3]}};
  for (size_t k = 0; k < c.values.size(); ++k)
    EXPECT_EQ(random_range(rng, c.low, c.high), c.values[k]) << k;
  for (size_t k = 0; k < c.outputs; ++k) twin.next();
  EXPECT_TRUE(twin.same_state(rng));
}
INSTANTIATE_TEST_SUITE_P(Ordering, Range, testing::ValuesIn(RANGES),
                         [](const auto& i) { return std::string(i.param.name); });

// ---- annealing parameters
TEST(Anneal, Iterations) {
  // n^3 wraps to 0 at n = 2^22.
  const std::pair<size_t, uint64_t> rows[] = {{2, 2000},       {12, 2000},   {13, 2197},
                                              {58, 195112},    {59, 200000}, {1000, 200000},
                                              {1u << 22, 2000}};
  for (const auto& [n, iters] : rows) EXPECT_EQ(anneal_iterations(n), iters) << n;
}

TEST(Anneal, StartTemperature) {
  struct Row {
    size_t n;
    std::vector<double> w1;
    Pairs pairs;
    double t0;
  };
  const Row rows[] = {
      {2, {3, 3}, {}, 3.0},
      {4, {1, 1, 1, 0.5}, {}, 1.0},
      {2, {NAN_, 1}, {}, 1.0},
      {2, {1, 1}, {{0, 1, INF}, {0, 1, -INF}}, 1.0},
      // Two sums, then their sum: 2^56 + 16. One running sum would lose both 8s.
      {2, {P56, 0}, {{0, 1, 8.0}, {0, 1, 8.0}}, (P56 + 16.0) / 2},
      {2, {1e308, 1e308}, {}, INF},
  };
  for (const Row& r : rows)
    EXPECT_EQ(bits(anneal_start_temperature(r.n, r.w1, r.pairs)), bits(r.t0)) << r.t0;
}

// Two qubits, weights (1, 0), from qubit 0 on slot 1: each step draws i = 0 and j = 1 from one
// output each; the move to slot 0 is uphill by 1.15 - 1.08 and takes a uniform, the move back
// is downhill and takes none. T0 = max(1 / 2, 1) = 1 and 2000 steps.
TEST(Anneal, TwoQubitsDrawOrder) {
  const std::vector<double> w1{1.0, 0.0};
  X rng{{1, 2, 3, 4}};
  Twin twin{{1, 2, 3, 4}};
  const double up = 1.0 * (1.15 - 1.08) + 0.0 * (1.08 - 1.15);
  const double down = 1.0 * (1.08 - 1.15) + 0.0 * (1.15 - 1.08);
  const double log_ratio = std::log((1.0 * 0.001) / 1.0), inv = 1.0 / 2000.0;
  bool on_slot1 = true;
  double cur = 1.08, best = 1.08;
  Perm best_perm{1, 0};
  size_t uphill = 0, accepted_up = 0;
  for (int t = 1; t <= 2000; ++t) {
    const double e = std::exp(log_ratio * std::sqrt(inv * t));
    twin.next(), twin.next();
    if (on_slot1) {
      ++uphill;
      if (!(twin.uniform() < std::exp(-up / (1.0 * e)))) continue;
      ++accepted_up;
    }
    cur = cur + (on_slot1 ? up : down);
    on_slot1 = !on_slot1;
    if (cur < best) best = cur, best_perm = on_slot1 ? Perm{1, 0} : Perm{0, 1};
  }
  ASSERT_GT(accepted_up, 0u);
  ASSERT_LT(accepted_up, uphill);
  const OrderingResult r = anneal(2, w1, {}, build_adjacency_lists(2, {}), Perm{1, 0}, rng);
  EXPECT_EQ(r.perm, best_perm);
  EXPECT_EQ(bits(r.cost), bits(best));
  EXPECT_TRUE(twin.same_state(rng));
}

// The loop step by step for any n: schedule, draws, acceptance, best kept by strict decrease.
OrderingResult model_anneal(size_t n, const std::vector<double>& w1, const Pairs& pairs,
                            const Perm& start, X& rng) {
  const auto adj = build_adjacency_lists(n, pairs);
  const double t0 = anneal_start_temperature(n, w1, pairs);
  const uint64_t iters = anneal_iterations(n);
  Perm cur = start;
  double cost = estimate_cost(cur, w1, pairs, n);
  OrderingResult best{cur, cost};
  for (uint64_t t = 1; t <= iters; ++t) {
    const double temp =
        t0 * std::exp(std::log(t0 * 0.001 / t0) * std::sqrt(1.0 / static_cast<double>(iters) * t));
    const size_t i = random_range(rng, 0, n - 1), j = random_range(rng, i + 1, n);
    const double d = swap_delta(cur, w1, adj, i, j, n);
    if (d >= 0.0 || std::isnan(d))
      if (!(rng.next_f64() < std::exp(-d / temp))) continue;
    std::swap(cur[i], cur[j]);
    if ((cost = cost + d) < best.cost) best = {cur, cost};
  }
  return best;
}

struct AnnealCase {
  const char* name;
  size_t n;
  uint64_t seed;
  std::vector<double> w1;
  Pairs pairs;
  Perm poor = {};  // a placement the walk must improve on; empty: the reversed one
};
AnnealCase random_case(const char* name, size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 6.0);
  AnnealCase c{name, n, seed, std::vector<double>(n), {}};
  for (double& w : c.w1) w = u(gen);
  for (size_t k = 0; k < 4 * n; ++k) c.pairs.push_back({gen() % n, gen() % n, u(gen)});
  return c;
}
const AnnealCase ANNEALS[] = {
    {"TwoPairs", 3, 5, {0, 0, 0}, {{0, 1, 1.0}, {1, 2, 1.0}}, {1, 0, 2}},
    {"Negative", 5, 8, {-1, 2, 0, 0.5, 4}, {{0, 4, -3.0}, {2, 3, 7.0}, {1, 1, 2.0}}},
    // The walk ends, after its local search, at {3, 5, 2, 0, 4, 1} costing exactly as much as
    // the greedy {5, 3, 2, 1, 4, 0}: the tie keeps the greedy placement.
    {"TieKeepsGreedy", 6, 26, {2, 2, 1, 2, 2, 2}, {{2, 0, 1.0}, {4, 2, 2.0}}},
    random_case("Random13", 13, 11),
    random_case("Random40", 40, 12),
};
class Anneal : public testing::TestWithParam<AnnealCase> {};
// The walk against the model, and optimize_ordering as the choice among the identity, the
// greedy placement and the walk from it, each after its local search.
TEST_P(Anneal, AgainstModel) {
  const AnnealCase& c = GetParam();
  const auto adj = build_adjacency_lists(c.n, c.pairs);
  Perm g = greedy_ordering(c.n, c.w1, adj);
  const double g_cost = local_search(g, c.w1, c.pairs, adj, c.n);
  // From a poor placement the walk must improve, so the best is replaced along the way.
  Perm poor = c.poor;
  for (size_t q = 0; poor.size() < c.n; ++q) poor.push_back(c.n - 1 - q);
  OrderingResult want;
  X rng;
  for (const Perm* start : {&poor, &g}) {
    rng = X::seed_from_u64(c.seed);
    X model_rng = rng;
    const OrderingResult walked = anneal(c.n, c.w1, c.pairs, adj, *start, rng);
    want = model_anneal(c.n, c.w1, c.pairs, *start, model_rng);
    EXPECT_EQ(walked.perm, want.perm);
    EXPECT_EQ(bits(walked.cost), bits(want.cost));
    EXPECT_EQ(std::memcmp(rng.s, model_rng.s, sizeof rng.s), 0);
    if (start != &poor) continue;
    EXPECT_LT(want.cost, estimate_cost(poor, c.w1, c.pairs, c.n));
  }

  want.cost = local_search(want.perm, c.w1, c.pairs, adj, c.n);
  if (!(want.cost < g_cost)) want = {g, g_cost};
  const double id_cost = estimate_cost(identity(c.n), c.w1, c.pairs, c.n);
  if (id_cost <= want.cost) want = {identity(c.n), id_cost};
  for (int run = 0; run < 2; ++run) {
    X fresh = X::seed_from_u64(c.seed);
    const OrderingResult r = optimize_ordering(c.n, c.w1, c.pairs, true, fresh);
    EXPECT_EQ(r.perm, want.perm);
    EXPECT_EQ(bits(r.cost), bits(want.cost));
    EXPECT_EQ(std::memcmp(fresh.s, rng.s, sizeof rng.s), 0);
  }
}
INSTANTIATE_TEST_SUITE_P(Ordering, Anneal, testing::ValuesIn(ANNEALS),
                         [](const auto& i) { return std::string(i.param.name); });

// ---- the result of optimize_ordering; with annealing off the generator is never touched
struct ResultCase {
  const char* name;
  size_t n;
  std::vector<double> w1;
  Pairs pairs;
  Perm perm;
  double cost;  // NaN: any NaN
  bool anneal;
};
// clang-format off
const ResultCase RESULTS[] = {
    {"Empty", 0, {}, {}, {}, 0.0, true},
    {"OneQubit", 1, {2.0}, {}, {0}, 2.0 * 1.15, true},
    {"UnitWeightsTieToIdentity", 5, {1, 1, 1, 1, 1}, {}, {0, 1, 2, 3, 4},
     1.15 + 1.08 + 1.03 + 1.0 + 1.0, false},
    {"OnePair", 4, {0, 0, 0, 0}, {{0, 1, 1.0}}, {2, 3, 0, 1}, 1.0, false},
    // The returned cost is the local search's sum, not 0.01.
    {"OnePairAccumulated", 4, {0, 0, 0, 0}, {{0, 1, 0.01}}, {2, 3, 0, 1},
     (0.01 * 1.3 + 0.01 * (1.22 - 1.3)) + 0.01 * (1.0 - 1.22), false},
    {"TwoPairsIdentity", 3, {0, 0, 0}, {{0, 1, 1.0}, {1, 2, 1.0}}, {0, 1, 2}, 1.3 + 1.22, false},
    {"AllZero", 6, {0, 0, 0, 0, 0, 0}, {}, {0, 1, 2, 3, 4, 5}, 0.0, false},
    // Qubit 1's NaN self-pair makes every cost NaN: the greedy {2, 0, 1} is kept.
    {"NaNKeepsChosen", 3, {1, 0, 0}, {{1, 1, NAN_}}, {2, 0, 1}, NAN_, false},
};
// clang-format on
class Result : public testing::TestWithParam<ResultCase> {};
TEST_P(Result, PermAndCost) {
  const ResultCase& c = GetParam();
  X rng{{1, 2, 3, 4}};
  const OrderingResult r = optimize_ordering(c.n, c.w1, c.pairs, c.anneal, rng);
  EXPECT_EQ(r.perm, c.perm);
  if (std::isnan(c.cost)) {
    EXPECT_TRUE(std::isnan(r.cost));
  } else {
    EXPECT_EQ(bits(r.cost), bits(c.cost));
  }
  EXPECT_TRUE((Twin{{1, 2, 3, 4}}.same_state(rng)));
}
INSTANTIATE_TEST_SUITE_P(Ordering, Result, testing::ValuesIn(RESULTS),
                         [](const auto& i) { return std::string(i.param.name); });

// ---- faults and their messages
struct FaultCase {
  const char* name;
  size_t n;
  std::vector<double> w1;
  Pairs pairs;
  size_t len, index;  // of "index out of bounds: the len is {len} but the index is {index}"
};
// clang-format off
const FaultCase FAULTS[] = {
    {"PairPastOneQubit", 1, {0.0}, {{0, 1, 1.0}}, 1, 1},
    {"PairOnNoQubits", 0, {}, {{0, 0, 1.0}}, 0, 0},
    {"FirstBadPairIndex", 3, {0, 0, 0}, {{0, 1, 1}, {1, 5, 1}, {7, 0, 1}}, 3, 5},
    {"QubitIBeforeJ", 3, {0, 0, 0}, {{4, 9, 1.0}}, 3, 4},
    {"WeightPastPlacement", 2, {1, 1, 0, 3}, {}, 2, 3},
    {"WeightsShort", 3, {1, 1}, {}, 2, 2},
    // Every candidate NaN, or +infinity: the qubit gets no slot.
    {"NoSlotNaN", 3, {1, NAN_, 1}, {}, 3, NO_SLOT},
    {"NoSlotInfinity", 2, {1, 0}, {{0, 1, INF}}, 2, NO_SLOT},
};
// clang-format on
class Faults : public testing::TestWithParam<FaultCase> {};
TEST_P(Faults, Message) {
  const FaultCase& c = GetParam();
  X rng{{1, 2, 3, 4}};
  try {
    optimize_ordering(c.n, c.w1, c.pairs, true, rng);
    ADD_FAILURE() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "index out of bounds: the len is " + std::to_string(c.len) +
                               " but the index is " + std::to_string(c.index));
  }
}
INSTANTIATE_TEST_SUITE_P(Ordering, Faults, testing::ValuesIn(FAULTS),
                         [](const auto& i) { return std::string(i.param.name); });

// An empty or reversed range faults before any output is taken.
TEST(RangeFaults, EmptyRange) {
  for (const auto& [low, high] : {std::pair<size_t, size_t>{3, 3}, {5, 2}}) {
    X rng{{1, 2, 3, 4}};
    try {
      random_range(rng, low, high);
      ADD_FAILURE() << low << " " << high;
    } catch (const Fault& f) {
      EXPECT_STREQ(f.what(), "cannot sample empty range");
    }
    EXPECT_TRUE((Twin{{1, 2, 3, 4}}.same_state(rng)));
  }
}

}  // namespace
}  // namespace tavro
