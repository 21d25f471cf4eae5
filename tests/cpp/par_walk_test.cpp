// The walkers on real buffers: every pair and quartet reaches exactly one body call in its right
// role, in the pieces and job order of its plan. The planned executors take any worker count's
// plan (rows with workers > 0); rows with workers = 0 go through the public walkers with the
// process's own count (the binary runs under RAYON_NUM_THREADS = 1, 3 and 8).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "amp.hpp"
#include "error.hpp"
#include "gates/kernels/runner.hpp"
#include "par/pairs.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"
#include "par/quartets.hpp"

namespace tavro::par {
namespace {

using enum Regime;
using Span = std::span<Amp>;
constexpr size_t P2(unsigned k) { return size_t{1} << k; }
constexpr Regime ANY = Chunks;  // rows of the process's own count: its regime is not fixed

// Amplitude k is (k, 0): the real part names the index, the imaginary part counts visits.
std::vector<Amp> tagged(size_t n) {
  std::vector<Amp> a(n);
  for (size_t k = 0; k < n; ++k) a[k] = Amp(static_cast<double>(k), 0.0);
  return a;
}
size_t idx(const Amp& a) { return static_cast<size_t>(a.real()); }
void mark(Amp& a) { a.imag(a.imag() + 1.0); }
size_t misvisited(const std::vector<Amp>& a) {
  size_t bad = 0;
  for (size_t k = 0; k < a.size(); ++k) bad += (idx(a[k]) != k || a[k].imag() != 1.0);
  return bad;
}

enum Kind { PAIR, QUARTET, SEGMENT };
struct Call {
  size_t first, len;
  Kind kind;
};

// Body calls in the order they started, and role violations seen by the bodies.
struct Log {
  std::mutex m;
  std::vector<Call> calls;
  std::atomic<size_t> bad{0};
  void add(size_t first, size_t len, Kind kind) {
    std::lock_guard<std::mutex> lock(m);
    calls.push_back({first, len, kind});
  }
  std::multiset<size_t> lengths(Kind kind) const {
    std::multiset<size_t> out;
    for (const Call& c : calls)
      if (c.kind == kind) out.insert(c.len);
    return out;
  }
  // Calls never start in a lower block of `block` amplitudes than an earlier one.
  size_t out_of_order(size_t block) const {
    size_t bad_order = 0;
    for (size_t k = 1; k < calls.size(); ++k)
      bad_order += calls[k - 1].first / block > calls[k].first / block;
    return bad_order;
  }
};

// One whole call per block of 2 half amplitudes, as a cut.
Plan per_block(size_t n, size_t half) { return {Sequential, half, 1, n / (2 * half)}; }

// The piece lengths every job of `p` must give when each job cuts `len` amplitudes.
std::multiset<size_t> job_lengths(size_t len, const Plan& p) {
  std::multiset<size_t> m;
  for (size_t j = 0; j < p.jobs; ++j)
    for (size_t i = 0; i < p.pieces; ++i) m.insert(piece_range(len, p.chunk, i).len);
  return m;
}

// A walk of 2^q amplitudes planned for `workers`; the pair walker takes slot hi alone.
struct Row {
  size_t workers;
  unsigned q, lo, hi;
  Regime want;
};

std::string row_name(const testing::TestParamInfo<Row>& info) {
  const Row& r = info.param;
  char name[64];
  std::snprintf(name, sizeof name, "w%zu_n2e%u_slots%u_%u", r.workers, r.q, r.lo, r.hi);
  return name;
}

class PairWalk : public testing::TestWithParam<Row> {};

TEST_P(PairWalk, EveryPairOnceInItsRole) {
  const auto [workers, q, lo, hi, want] = GetParam();
  const size_t n = P2(q), s = P2(hi);
  const Plan p = workers ? plan_pairs(n, s, workers, min_amps_for(workers))
                         : plan_pairs(n, s, NUM_THREADS(), MIN_AMPS());
  EXPECT_EQ(workers ? p.regime : ANY, want);
  std::vector<Amp> a = tagged(n);
  Log log;
  auto body = [&](Span x, Span y) {
    if (x.empty() || x.size() != y.size()) return void(++log.bad);
    log.add(idx(x[0]), x.size(), PAIR);
    for (size_t k = 0; k < x.size(); ++k) {
      log.bad += (idx(x[k]) & s) != 0 || idx(y[k]) != (idx(x[k]) | s);
      mark(x[k]);
      mark(y[k]);
    }
  };
  if (workers)
    detail::walk_pairs_planned(Span(a), s, p, body);
  else
    par_walk_pairs(Span(a), s, body);
  EXPECT_EQ(log.bad, 0u);
  EXPECT_EQ(misvisited(a), 0u);
  // One call per block, or one job per block cut into pieces of its halves; whole blocks in
  // parallel pieces are the only calls that may start out of address order.
  EXPECT_EQ(log.lengths(PAIR), job_lengths(s, p.regime == SplitBlocks ? p : per_block(n, s)));
  if (p.regime != WholeBlocks) {
    EXPECT_EQ(log.out_of_order(2 * s), 0u);
  }
}

const Row PAIR_ROWS[] = {{1, 17, 0, 5, Sequential},    {8, 16, 0, 3, Sequential},
                         {8, 17, 0, 0, WholeBlocks},   {16, 18, 0, 13, WholeBlocks},
                         {8, 17, 0, 14, SplitBlocks},  {3, 16, 0, 15, SplitBlocks},
                         {16, 18, 0, 14, SplitBlocks}, {0, 17, 0, 0, ANY},
                         {0, 17, 0, 16, ANY},          {0, 10, 0, 4, ANY}};
INSTANTIATE_TEST_SUITE_P(Rows, PairWalk, testing::ValuesIn(PAIR_ROWS), row_name);

// A pair body that, with Seg, also takes runs of whole high blocks in one call.
template <bool Seg>
struct Walker {
  std::function<void(Span, Span, size_t)> pair;
  std::function<void(Span, size_t, size_t)> seg;
  void operator()(Span A, Span B, size_t s_lo) const { pair(A, B, s_lo); }
  void segment(Span x, size_t s_lo, size_t s_hi) const requires Seg { seg(x, s_lo, s_hi); }
};
static_assert(detail::SegmentBody<Walker<true>> && !detail::SegmentBody<Walker<false>>);

class QuartetWalk : public testing::TestWithParam<Row> {};

// With and without a segment entry: the sequential walk and whole high blocks hand each piece
// to one segment call (the buffer when sequential); the other regimes never call it.
TEST_P(QuartetWalk, EveryQuartetOnceInItsRole) {
  const auto [workers, q, lo, hi, want] = GetParam();
  const size_t n = P2(q), s_lo = P2(lo), s_hi = P2(hi);
  const Plan p = workers ? plan_quartets(n, s_lo, s_hi, workers, min_amps_for(workers))
                         : plan_quartets(n, s_lo, s_hi, NUM_THREADS(), MIN_AMPS());
  EXPECT_EQ(workers ? p.regime : ANY, want);
  for (const bool segmenting : {false, true}) {
    SCOPED_TRACE(segmenting ? "segmenting" : "pairs only");
    std::vector<Amp> a = tagged(n);
    Log log;
    auto visit = [&](Amp& a0, Amp& a1, Amp& a2, Amp& a3) {
      const size_t i = idx(a0);
      log.bad += (i & (s_lo | s_hi)) != 0 || idx(a1) != (i | s_lo) || idx(a2) != (i | s_hi) ||
                 idx(a3) != (i | s_lo | s_hi);
      for (Amp* x : {&a0, &a1, &a2, &a3}) mark(*x);
    };
    auto halves = [&](Span A, Span B) {
      for (size_t j = 0; j < A.size(); j += 2 * s_lo)
        for (size_t k = 0; k < s_lo; ++k)
          visit(A[j + k], A[j + s_lo + k], B[j + k], B[j + s_lo + k]);
    };
    auto pair = [&](Span A, Span B, size_t slo) {
      if (A.empty() || B.size() != A.size() || slo != s_lo || A.size() % (2 * s_lo) != 0)
        return void(++log.bad);
      log.add(idx(A[0]), A.size(), PAIR);
      halves(A, B);
    };
    auto seg = [&](Span x, size_t slo, size_t shi) {
      if (x.empty() || slo != s_lo || shi != s_hi || x.size() % (2 * s_hi) != 0 ||
          idx(x[0]) % (2 * s_hi) != 0)
        return void(++log.bad);
      log.add(idx(x[0]), x.size(), SEGMENT);
      for (size_t b = 0; b < x.size(); b += 2 * s_hi)
        halves(x.subspan(b, s_hi), x.subspan(b + s_hi, s_hi));
    };
    auto quartet = [&](Span A, Span B, Span C, Span D) {
      const size_t m = A.size();
      if (m == 0 || m > s_lo || B.size() != m || C.size() != m || D.size() != m)
        return void(++log.bad);
      log.add(idx(A[0]), m, QUARTET);
      for (size_t k = 0; k < m; ++k) visit(A[k], B[k], C[k], D[k]);
    };
    auto run = [&](const auto& body) {
      if (workers)
        detail::walk_quartets_planned(Span(a), s_lo, s_hi, p, body, quartet);
      else
        par_walk_quartets(Span(a), s_lo, s_hi, body, quartet);
    };
    segmenting ? run(Walker<true>{pair, seg}) : run(Walker<false>{pair, seg});
    EXPECT_EQ(log.bad, 0u);
    EXPECT_EQ(misvisited(a), 0u);
    // Each call takes a piece of whole high blocks (segment), one high block's halves, matching
    // runs of low blocks of them (one job per high block), or pieces of a low block's four
    // slices (one job per low block).
    const bool whole = p.regime == Sequential || p.regime == WholeBlocks;
    const bool four = p.regime == FourSlice;
    const std::multiset<size_t> want_lengths = whole && segmenting ? job_lengths(n, p)
                                               : whole ? job_lengths(s_hi, per_block(n, s_hi))
                                                       : job_lengths(four ? s_lo : s_hi, p);
    EXPECT_EQ(log.lengths(whole && segmenting ? SEGMENT : four ? QUARTET : PAIR), want_lengths);
    EXPECT_EQ(log.calls.size(), want_lengths.size());
    if (p.regime != WholeBlocks) {
      EXPECT_EQ(log.out_of_order(four ? 2 * s_lo : 2 * s_hi), 0u);
    }
  }
}

const Row QUARTET_ROWS[] = {
    {1, 17, 0, 16, Sequential},   {8, 16, 2, 3, Sequential},  {8, 17, 1, 2, WholeBlocks},
    {16, 18, 3, 13, WholeBlocks}, {8, 17, 3, 16, LowBlocks},  {3, 16, 0, 15, LowBlocks},
    {8, 18, 5, 16, LowBlocks},    {8, 17, 13, 14, FourSlice}, {3, 17, 15, 16, FourSlice},
    {16, 18, 10, 14, FourSlice},  {0, 17, 1, 2, ANY},         {0, 17, 3, 16, ANY},
    {0, 17, 15, 16, ANY},         {0, 10, 2, 5, ANY},         {0, 2, 0, 1, ANY}};
INSTANTIATE_TEST_SUITE_P(Rows, QuartetWalk, testing::ValuesIn(QUARTET_ROWS), row_name);

// The group runner hands out every base (all mask bits clear) exactly once, whatever the cut:
// many blocks, a few, or one (the top slot in the mask).
TEST(GroupRunner, EveryBaseOnce) {
  const size_t n = P2(20);
  for (const uint64_t mask : {uint64_t{0b111}, (P2(0) | P2(3) | P2(5)), (P2(2) | P2(3) | P2(19)),
                              (P2(4) | P2(18)), (P2(1) | P2(19)), (P2(17) | P2(18) | P2(19))}) {
    std::vector<Amp> a = tagged(n);
    const size_t run = P2(std::countr_zero(mask));
    std::atomic<size_t> bad{0};
    kernels::run_groups_par_or_seq(Span(a), mask, [&](Span chunk, size_t base, size_t runs) {
      for (; runs > 0; --runs, base = ((base | mask) + run) & ~mask)
        for (size_t j = 0; j < run; ++j) {
          if (((base + j) & mask) != 0 || base + j >= chunk.size())
            ++bad;
          else
            mark(chunk[base + j]);
        }
    });
    EXPECT_EQ(bad.load(), 0u) << mask;
    size_t wrong = 0;
    for (size_t k = 0; k < n; ++k)
      wrong += a[k].imag() != ((k & mask) == 0 ? 1.0 : 0.0) || idx(a[k]) != k;
    EXPECT_EQ(wrong, 0u) << mask;

    // The same bases through the walk mask that splits long runs: with the top slots involved
    // the walk still yields many runs, so it can use every worker.
    const kernels::GroupWalk g = kernels::group_walk(mask);
    std::vector<Amp> b = tagged(n);
    std::atomic<size_t> calls{0};
    kernels::run_groups_par_or_seq(Span(b), g.walk, [&](Span chunk, size_t base, size_t runs) {
      ++calls;
      for (; runs > 0; --runs, base = ((base | g.walk) + 1) & ~g.walk)
        for (size_t j = 0; j < g.run; ++j) mark(chunk[base + j]);
    });
    wrong = 0;
    for (size_t k = 0; k < n; ++k) wrong += b[k].imag() != ((k & mask) == 0 ? 1.0 : 0.0);
    EXPECT_EQ(wrong, 0u) << mask;
    if (NUM_THREADS() >= 2) {
      EXPECT_GE(calls.load(), NUM_THREADS()) << mask;
    }
  }
  EXPECT_EQ(kernels::group_walk(P2(9) | P2(10) | P2(12)).run, 256u);
  EXPECT_EQ(kernels::detail::deposit_zeros(0b1111, 0b10010), 0b101101u);
}

TEST(Walkers, EmptyBufferCallsNothing) {
  size_t calls = 0;
  auto count = [&](auto&&...) { ++calls; };
  par_walk_pairs(Span(), 1, count);
  par_walk_quartets(Span(), 1, 2, Walker<true>{count, count}, count);
  EXPECT_EQ(calls, 0u);
}

// A fault raised by a body on a worker reaches the caller with its message.
TEST(Walkers, FaultInBodyReachesTheCaller) {
  std::vector<Amp> a = tagged(P2(17));
  auto throw_at = [](Span s, size_t target) {
    for (const Amp& x : s)
      if (idx(x) == target) throw Fault("fault at " + std::to_string(target));
  };
  try {
    detail::walk_pairs_planned(Span(a), P2(14), plan_pairs(P2(17), P2(14), 8, min_amps_for(8)),
                               [&](Span lo, Span) { throw_at(lo, 3079); });
    ADD_FAILURE() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "fault at 3079");
  }
  try {
    detail::walk_quartets_planned(
        Span(a), P2(15), P2(16), plan_quartets(P2(17), P2(15), P2(16), 8, min_amps_for(8)),
        [](Span, Span, size_t) {}, [&](Span A, Span, Span, Span) { throw_at(A, 5000); });
    ADD_FAILURE() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "fault at 5000");
  }
}

}  // namespace
}  // namespace tavro::par
