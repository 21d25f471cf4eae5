// The walkers on real buffers: every pair, quartet and run reaches exactly one body call in
// its right role, on every regime. The planned executors take any worker count's plan, so
// every regime runs in this process; the public walkers run with the process's own count
// (the binary runs under RAYON_NUM_THREADS = 1, 3 and 8).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
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
#include "par/reduce.hpp"

namespace tavro::par {
namespace {

constexpr size_t P2(unsigned k) { return size_t{1} << k; }

const size_t WORKER_COUNTS[] = {2, 3, 8, 12, 16};

std::string workers_name(const testing::TestParamInfo<size_t>& info) {
  std::string name = std::to_string(info.param);
  return name.insert(0, 1, 'w');
}

// A buffer whose amplitude k is (k, 0): the real part names the index, the imaginary part
// counts visits. Bodies run concurrently on disjoint slices, so plain increments are enough.
std::vector<Amp> tagged(size_t n) {
  std::vector<Amp> a(n);
  for (size_t k = 0; k < n; ++k) a[k] = Amp(static_cast<double>(k), 0.0);
  return a;
}

size_t idx(const Amp& a) { return static_cast<size_t>(a.real()); }
void mark(Amp& a) { a.imag(a.imag() + 1.0); }

// Indices not visited exactly once, or whose tag was disturbed.
size_t misvisited(const std::vector<Amp>& a) {
  size_t bad = 0;
  for (size_t k = 0; k < a.size(); ++k) bad += (idx(a[k]) != k || a[k].imag() != 1.0);
  return bad;
}

// Body calls in the order they started: which slice (its first index) and how long.
struct Call {
  size_t seq;
  size_t first;
  size_t len;
  int body;  // 0: pair or run body, 1: quartet body
};

class Log {
 public:
  void add(size_t first, size_t len, int body = 0) {
    const size_t seq = next_.fetch_add(1);
    std::lock_guard<std::mutex> lock(m_);
    calls_.push_back({seq, first, len, body});
  }
  void fail() { bad_.fetch_add(1); }
  size_t failures() const { return bad_.load(); }
  std::vector<Call> in_order() const {
    std::vector<Call> c = calls_;
    std::sort(c.begin(), c.end(), [](const Call& x, const Call& y) { return x.seq < y.seq; });
    return c;
  }

 private:
  std::mutex m_;
  std::vector<Call> calls_;
  std::atomic<size_t> next_{0};
  std::atomic<size_t> bad_{0};
};

// The lengths one job's pieces must have: `count` pieces of `chunk`, the last `len` - rest.
std::multiset<size_t> job_lengths(size_t len, const Plan& p, size_t jobs) {
  std::multiset<size_t> m;
  for (size_t j = 0; j < jobs; ++j)
    for (size_t i = 0; i < p.pieces; ++i) m.insert(piece_range(len, p.chunk, i).len);
  return m;
}

std::multiset<size_t> lengths(const std::vector<Call>& calls, int body) {
  std::multiset<size_t> m;
  for (const Call& c : calls)
    if (c.body == body) m.insert(c.len);
  return m;
}

// ---------------------------------------------------------------------------------------------
// Pair walker.

using PairExec = std::function<void(std::span<Amp>, size_t,
                                    const std::function<void(std::span<Amp>, std::span<Amp>)>&)>;

// Walks a tagged buffer with `exec` under plan `p` and checks roles, coverage, piece lengths
// and the order of jobs.
void check_pair_walk(size_t n, size_t s, const Plan& p, const PairExec& exec) {
  SCOPED_TRACE("n=" + std::to_string(n) + " s=" + std::to_string(s));
  std::vector<Amp> a = tagged(n);
  Log log;
  exec(a, s, [&](std::span<Amp> lo, std::span<Amp> hi) {
    if (lo.empty() || lo.size() != hi.size()) return log.fail();
    log.add(idx(lo[0]), lo.size());
    for (size_t k = 0; k < lo.size(); ++k) {
      const size_t i = idx(lo[k]);
      if ((i & s) != 0 || idx(hi[k]) != (i | s)) log.fail();
      mark(lo[k]);
      mark(hi[k]);
    }
  });
  EXPECT_EQ(log.failures(), 0u);
  EXPECT_EQ(misvisited(a), 0u);

  const std::vector<Call> calls = log.in_order();
  const size_t blocks = n / (2 * s);
  if (p.regime == Regime::SplitBlocks) {
    EXPECT_EQ(lengths(calls, 0), job_lengths(s, p, p.jobs));
    // One job per block, in ascending order: no call of a later block starts before every
    // call of the earlier one has started.
    for (size_t k = 1; k < calls.size(); ++k)
      EXPECT_LE(calls[k - 1].first / (2 * s), calls[k].first / (2 * s)) << "call " << k;
  } else {
    ASSERT_EQ(calls.size(), blocks);
    for (const Call& c : calls) EXPECT_EQ(c.len, s);
  }
  if (p.regime == Regime::Sequential) {
    for (size_t k = 0; k < calls.size(); ++k) EXPECT_EQ(calls[k].first, k * 2 * s);
  }
}

class PlannedPairWalk : public testing::TestWithParam<size_t> {};

TEST_P(PlannedPairWalk, EverySlotEveryRegime) {
  const size_t workers = GetParam();
  std::set<Regime> seen;
  for (const unsigned q : {12u, 16u, 17u, 18u}) {
    for (unsigned t = 0; t < q; ++t) {
      const Plan p = plan_pairs(P2(q), P2(t), workers, min_amps_for(workers));
      seen.insert(p.regime);
      check_pair_walk(P2(q), P2(t), p, [&](std::span<Amp> a, size_t s, const auto& body) {
        detail::walk_pairs_planned(a, s, p, body);
      });
    }
  }
  EXPECT_EQ(seen, (std::set<Regime>{Regime::Sequential, Regime::WholeBlocks, Regime::SplitBlocks}));
}

INSTANTIATE_TEST_SUITE_P(Workers, PlannedPairWalk, testing::ValuesIn(WORKER_COUNTS), workers_name);

TEST(PairWalk, ProcessWorkersEverySlot) {
  const size_t workers = NUM_THREADS();
  std::set<Regime> seen;
  for (const unsigned q : {1u, 10u, 16u, 17u, 18u}) {
    for (unsigned t = 0; t < q; ++t) {
      const Plan p = plan_pairs(P2(q), P2(t), workers, MIN_AMPS());
      seen.insert(p.regime);
      check_pair_walk(P2(q), P2(t), p, [](std::span<Amp> a, size_t s, const auto& body) {
        par_walk_pairs(a, s, body);
      });
    }
  }
  if (workers < 2) {
    EXPECT_EQ(seen, std::set<Regime>{Regime::Sequential});
  } else if (workers <= 8) {
    EXPECT_EQ(seen,
              (std::set<Regime>{Regime::Sequential, Regime::WholeBlocks, Regime::SplitBlocks}));
  }
}

TEST(WithinBlockParallel, SplitsOneBlockByTheProcessCount) {
  const size_t s = P2(17);
  std::vector<Amp> a = tagged(2 * s);
  Log log;
  within_block_parallel(std::span(a).first(s), std::span(a).subspan(s),
                        [&](std::span<Amp> lo, std::span<Amp> hi) {
                          log.add(idx(lo[0]), lo.size());
                          for (size_t k = 0; k < lo.size(); ++k) {
                            if (idx(hi[k]) != idx(lo[k]) + s) log.fail();
                            mark(lo[k]);
                            mark(hi[k]);
                          }
                        });
  EXPECT_EQ(log.failures(), 0u);
  EXPECT_EQ(misvisited(a), 0u);
  const Plan p = plan_within_block(s, NUM_THREADS());
  EXPECT_EQ(lengths(log.in_order(), 0), job_lengths(s, p, 1));
}

// ---------------------------------------------------------------------------------------------
// Quartet walker.

using PairBodyFn = std::function<void(std::span<Amp>, std::span<Amp>, size_t)>;
using QuartetBodyFn =
    std::function<void(std::span<Amp>, std::span<Amp>, std::span<Amp>, std::span<Amp>)>;
using QuartetExec =
    std::function<void(std::span<Amp>, size_t, size_t, const PairBodyFn&, const QuartetBodyFn&)>;

void check_quartet_walk(size_t n, size_t s_lo, size_t s_hi, const Plan& p,
                        const QuartetExec& exec) {
  SCOPED_TRACE("n=" + std::to_string(n) + " s_lo=" + std::to_string(s_lo) +
               " s_hi=" + std::to_string(s_hi));
  std::vector<Amp> a = tagged(n);
  Log log;
  // Quartet (a0, a1, a2, a3): a0 has both bits clear, a1 adds bit lo, a2 bit hi, a3 both.
  auto check_quartet = [&](Amp& a0, Amp& a1, Amp& a2, Amp& a3) {
    const size_t i = idx(a0);
    if ((i & (s_lo | s_hi)) != 0 || idx(a1) != (i | s_lo) || idx(a2) != (i | s_hi) ||
        idx(a3) != (i | s_lo | s_hi))
      log.fail();
    mark(a0);
    mark(a1);
    mark(a2);
    mark(a3);
  };
  const PairBodyFn pair = [&](std::span<Amp> A, std::span<Amp> B, size_t slo) {
    const size_t m = A.size();
    if (m == 0 || B.size() != m || slo != s_lo || m % (2 * s_lo) != 0) return log.fail();
    log.add(idx(A[0]), m, 0);
    for (size_t j = 0; j < m; j += 2 * s_lo)
      for (size_t k = 0; k < s_lo; ++k)
        check_quartet(A[j + k], A[j + s_lo + k], B[j + k], B[j + s_lo + k]);
  };
  const QuartetBodyFn quartet = [&](std::span<Amp> A, std::span<Amp> B, std::span<Amp> C,
                                    std::span<Amp> D) {
    const size_t m = A.size();
    if (m == 0 || m > s_lo || B.size() != m || C.size() != m || D.size() != m) return log.fail();
    log.add(idx(A[0]), m, 1);
    for (size_t k = 0; k < m; ++k) check_quartet(A[k], B[k], C[k], D[k]);
  };
  exec(a, s_lo, s_hi, pair, quartet);
  EXPECT_EQ(log.failures(), 0u);
  EXPECT_EQ(misvisited(a), 0u);

  const std::vector<Call> calls = log.in_order();
  const size_t high_blocks = n / (2 * s_hi);
  switch (p.regime) {
    case Regime::Sequential:
    case Regime::WholeBlocks:
      ASSERT_EQ(calls.size(), high_blocks);
      for (size_t k = 0; k < calls.size(); ++k) {
        EXPECT_EQ(calls[k].body, 0);
        EXPECT_EQ(calls[k].len, s_hi);
        if (p.regime == Regime::Sequential) {
          EXPECT_EQ(calls[k].first, k * 2 * s_hi);
        }
      }
      break;
    case Regime::LowBlocks:
      EXPECT_EQ(lengths(calls, 0), job_lengths(s_hi, p, p.jobs));
      EXPECT_TRUE(lengths(calls, 1).empty());
      for (size_t k = 1; k < calls.size(); ++k)
        EXPECT_LE(calls[k - 1].first / (2 * s_hi), calls[k].first / (2 * s_hi)) << k;
      break;
    case Regime::FourSlice:
      EXPECT_EQ(lengths(calls, 1), job_lengths(s_lo, p, p.jobs));
      EXPECT_TRUE(lengths(calls, 0).empty());
      // One job per low block, high blocks ascending and low blocks ascending inside each.
      for (size_t k = 1; k < calls.size(); ++k)
        EXPECT_LE(calls[k - 1].first / (2 * s_lo), calls[k].first / (2 * s_lo)) << k;
      break;
    default:
      ADD_FAILURE() << "unexpected regime";
  }
}

class PlannedQuartetWalk : public testing::TestWithParam<size_t> {};

TEST_P(PlannedQuartetWalk, EverySlotPairEveryRegime) {
  const size_t workers = GetParam();
  std::set<Regime> seen;
  size_t whole_on_caller = 0;
  for (const unsigned q : {12u, 16u, 18u}) {
    for (unsigned hi = 1; hi < q; ++hi) {
      for (unsigned lo = 0; lo < hi; ++lo) {
        const Plan p = plan_quartets(P2(q), P2(lo), P2(hi), workers, min_amps_for(workers));
        seen.insert(p.regime);
        whole_on_caller += (p.regime == Regime::FourSlice && p.pieces == 1);
        check_quartet_walk(
            P2(q), P2(lo), P2(hi), p,
            [&](std::span<Amp> a, size_t sl, size_t sh, const PairBodyFn& pb,
                const QuartetBodyFn& qb) { detail::walk_quartets_planned(a, sl, sh, p, pb, qb); });
      }
    }
  }
  EXPECT_EQ(seen, (std::set<Regime>{Regime::Sequential, Regime::WholeBlocks, Regime::LowBlocks,
                                    Regime::FourSlice}));
  // From 12 workers up the four slices of n = 2^18, lo = 10, hi = 14 stay whole.
  if (workers >= 12) {
    EXPECT_GT(whole_on_caller, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Workers, PlannedQuartetWalk, testing::ValuesIn(WORKER_COUNTS),
                         workers_name);

TEST(QuartetWalk, ProcessWorkersEverySlotPair) {
  const size_t workers = NUM_THREADS();
  std::set<Regime> seen;
  for (const unsigned q : {2u, 10u, 16u, 17u}) {
    for (unsigned hi = 1; hi < q; ++hi) {
      for (unsigned lo = 0; lo < hi; ++lo) {
        const Plan p = plan_quartets(P2(q), P2(lo), P2(hi), workers, MIN_AMPS());
        seen.insert(p.regime);
        check_quartet_walk(P2(q), P2(lo), P2(hi), p,
                           [](std::span<Amp> a, size_t sl, size_t sh, const PairBodyFn& pb,
                              const QuartetBodyFn& qb) { par_walk_quartets(a, sl, sh, pb, qb); });
      }
    }
  }
  if (workers < 2) {
    EXPECT_EQ(seen, std::set<Regime>{Regime::Sequential});
  } else if (workers <= 8) {
    EXPECT_EQ(seen, (std::set<Regime>{Regime::Sequential, Regime::WholeBlocks, Regime::LowBlocks,
                                      Regime::FourSlice}));
  }
}

TEST(QuartetWalk, EmptyBufferCallsNothing) {
  size_t calls = 0;
  par_walk_quartets(
      std::span<Amp>(), 1, 2, [&](auto, auto, size_t) { ++calls; },
      [&](auto, auto, auto, auto) { ++calls; });
  EXPECT_EQ(calls, 0u);
}

// ---------------------------------------------------------------------------------------------
// Quartet walker with a segment entry: the same quartets in the same pieces, one call per piece.

using SegmentFn = std::function<void(std::span<Amp>, size_t, size_t)>;

// A pair body that also takes runs of whole high blocks.
struct SegmentingBody {
  PairBodyFn pair;
  SegmentFn seg;
  void operator()(std::span<Amp> A, std::span<Amp> B, size_t s_lo) const { pair(A, B, s_lo); }
  void segment(std::span<Amp> x, size_t s_lo, size_t s_hi) const { seg(x, s_lo, s_hi); }
};

static_assert(detail::SegmentBody<SegmentingBody>);
static_assert(!detail::SegmentBody<PairBodyFn>);

constexpr int SEGMENT = 2;  // Call::body of a segment call

// Walks a tagged buffer under plan `p` with a segmenting pair body. A segment call must be one
// whole piece of the plan (the buffer when sequential) made of whole high blocks; it is checked
// by handing each of its high blocks to the same pair check a block-by-block walk runs.
void check_segment_walk(size_t n, size_t s_lo, size_t s_hi, const Plan& p) {
  SCOPED_TRACE("n=" + std::to_string(n) + " s_lo=" + std::to_string(s_lo) +
               " s_hi=" + std::to_string(s_hi));
  std::vector<Amp> a = tagged(n);
  Log log;
  auto check_quartet = [&](Amp& a0, Amp& a1, Amp& a2, Amp& a3) {
    const size_t i = idx(a0);
    if ((i & (s_lo | s_hi)) != 0 || idx(a1) != (i | s_lo) || idx(a2) != (i | s_hi) ||
        idx(a3) != (i | s_lo | s_hi))
      log.fail();
    mark(a0);
    mark(a1);
    mark(a2);
    mark(a3);
  };
  auto check_pair = [&](std::span<Amp> A, std::span<Amp> B) {
    for (size_t j = 0; j < A.size(); j += 2 * s_lo)
      for (size_t k = 0; k < s_lo; ++k)
        check_quartet(A[j + k], A[j + s_lo + k], B[j + k], B[j + s_lo + k]);
  };
  SegmentingBody body{[&](std::span<Amp> A, std::span<Amp> B, size_t slo) {
                        const size_t m = A.size();
                        if (m == 0 || B.size() != m || slo != s_lo || m % (2 * s_lo) != 0)
                          return log.fail();
                        log.add(idx(A[0]), m, 0);
                        check_pair(A, B);
                      },
                      [&](std::span<Amp> x, size_t slo, size_t shi) {
                        if (x.empty() || slo != s_lo || shi != s_hi || x.size() % (2 * s_hi) != 0 ||
                            idx(x[0]) % (2 * s_hi) != 0)
                          return log.fail();
                        log.add(idx(x[0]), x.size(), SEGMENT);
                        for (size_t b = 0; b < x.size(); b += 2 * s_hi)
                          check_pair(x.subspan(b, s_hi), x.subspan(b + s_hi, s_hi));
                      }};
  detail::walk_quartets_planned(
      std::span<Amp>(a), s_lo, s_hi, p, body,
      [&](std::span<Amp> A, std::span<Amp> B, std::span<Amp> C, std::span<Amp> D) {
        log.add(idx(A[0]), A.size(), 1);
        for (size_t k = 0; k < A.size(); ++k) check_quartet(A[k], B[k], C[k], D[k]);
      });
  EXPECT_EQ(log.failures(), 0u);
  EXPECT_EQ(misvisited(a), 0u);

  const std::vector<Call> calls = log.in_order();
  switch (p.regime) {
    case Regime::Sequential:
      // The whole buffer in one call.
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(calls[0].body, SEGMENT);
      EXPECT_EQ(calls[0].first, 0u);
      EXPECT_EQ(calls[0].len, n);
      break;
    case Regime::WholeBlocks:
      // One call per piece, exactly the pieces of the plan.
      EXPECT_EQ(lengths(calls, SEGMENT), job_lengths(n, p, 1));
      for (const Call& c : calls) {
        EXPECT_EQ(c.body, SEGMENT);
        EXPECT_EQ(c.first % p.chunk, 0u) << c.first;
      }
      break;
    case Regime::LowBlocks:
      // Runs of low blocks inside one high block: no segment, as without one.
      EXPECT_TRUE(lengths(calls, SEGMENT).empty());
      EXPECT_EQ(lengths(calls, 0), job_lengths(s_hi, p, p.jobs));
      break;
    case Regime::FourSlice:
      EXPECT_TRUE(lengths(calls, SEGMENT).empty());
      EXPECT_EQ(lengths(calls, 1), job_lengths(s_lo, p, p.jobs));
      break;
    default:
      ADD_FAILURE() << "unexpected regime";
  }
}

class SegmentQuartetWalk : public testing::TestWithParam<size_t> {};

TEST_P(SegmentQuartetWalk, SamePiecesOneCallEach) {
  const size_t workers = GetParam();
  std::set<Regime> seen;
  for (const unsigned q : {2u, 12u, 16u, 18u}) {
    for (unsigned hi = 1; hi < q; ++hi) {
      for (unsigned lo = 0; lo < hi; ++lo) {
        const Plan p = plan_quartets(P2(q), P2(lo), P2(hi), workers, min_amps_for(workers));
        seen.insert(p.regime);
        check_segment_walk(P2(q), P2(lo), P2(hi), p);
      }
    }
  }
  EXPECT_EQ(seen, (std::set<Regime>{Regime::Sequential, Regime::WholeBlocks, Regime::LowBlocks,
                                    Regime::FourSlice}));
}

INSTANTIATE_TEST_SUITE_P(Workers, SegmentQuartetWalk, testing::ValuesIn(WORKER_COUNTS),
                         workers_name);

// With the process's own worker count through the public walker, and on an empty buffer,
// which calls nothing at all.
TEST(SegmentQuartetWalk, ProcessWorkersAndEmptyBuffer) {
  for (const unsigned q : {2u, 10u, 17u}) {
    for (unsigned hi = 1; hi < q; ++hi) {
      for (unsigned lo = 0; lo < hi; ++lo) {
        std::vector<Amp> a = tagged(P2(q));
        size_t seg_amps = 0;
        std::mutex m;
        SegmentingBody body{[&](std::span<Amp> A, std::span<Amp> B, size_t) {
                              for (size_t k = 0; k < A.size(); ++k) {
                                mark(A[k]);
                                mark(B[k]);
                              }
                            },
                            [&](std::span<Amp> x, size_t, size_t) {
                              for (Amp& v : x) mark(v);
                              std::lock_guard<std::mutex> lock(m);
                              seg_amps += x.size();
                            }};
        par_walk_quartets(
            std::span<Amp>(a), P2(lo), P2(hi), body,
            [](std::span<Amp> A, std::span<Amp> B, std::span<Amp> C, std::span<Amp> D) {
              for (size_t k = 0; k < A.size(); ++k) {
                mark(A[k]);
                mark(B[k]);
                mark(C[k]);
                mark(D[k]);
              }
            });
        EXPECT_EQ(misvisited(a), 0u) << q << " " << lo << " " << hi;
        const Regime r = plan_quartets(P2(q), P2(lo), P2(hi), NUM_THREADS(), MIN_AMPS()).regime;
        const bool whole = r == Regime::Sequential || r == Regime::WholeBlocks;
        EXPECT_EQ(seg_amps, whole ? P2(q) : 0u) << q << " " << lo << " " << hi;
      }
    }
  }
  size_t calls = 0;
  SegmentingBody body{[&](std::span<Amp>, std::span<Amp>, size_t) { ++calls; },
                      [&](std::span<Amp>, size_t, size_t) { ++calls; }};
  par_walk_quartets(std::span<Amp>(), 1, 2, body, [&](auto, auto, auto, auto) { ++calls; });
  EXPECT_EQ(calls, 0u);
}

// ---------------------------------------------------------------------------------------------
// Runner.

using RunExec =
    std::function<void(std::span<Amp>, size_t, const std::function<void(std::span<Amp>)>&)>;

void check_runner(size_t n, size_t block, const Plan& p, const RunExec& exec) {
  SCOPED_TRACE("n=" + std::to_string(n) + " block=" + std::to_string(block));
  std::vector<Amp> a = tagged(n);
  Log log;
  exec(a, block, [&](std::span<Amp> run) {
    if (run.empty() || idx(run[0]) % block != 0 || run.size() % block != 0) return log.fail();
    log.add(idx(run[0]), run.size());
    for (Amp& x : run) mark(x);
  });
  EXPECT_EQ(log.failures(), 0u);
  EXPECT_EQ(misvisited(a), 0u);
  if (p.regime == Regime::Sequential)
    EXPECT_EQ(lengths(log.in_order(), 0), std::multiset<size_t>{n});
  else
    EXPECT_EQ(lengths(log.in_order(), 0), job_lengths(n, p, 1));
}

class PlannedRunner : public testing::TestWithParam<size_t> {};

TEST_P(PlannedRunner, WholeBlocksExactlyOnce) {
  const size_t workers = GetParam();
  std::set<Regime> seen;
  for (const unsigned q : {1u, 12u, 17u, 20u}) {
    for (const size_t block : {size_t{2}, size_t{8}, size_t{1024}, P2(q) / 2, P2(q)}) {
      if (block == 0 || block > P2(q)) continue;
      const Plan p = plan_runner(P2(q), block, workers, min_amps_for(workers));
      seen.insert(p.regime);
      check_runner(P2(q), block, p, [&](std::span<Amp> a, size_t, const auto& body) {
        kernels::detail::run_planned(a, p, body);
      });
    }
  }
  EXPECT_EQ(seen, (std::set<Regime>{Regime::Sequential, Regime::Chunks}));
}

INSTANTIATE_TEST_SUITE_P(Workers, PlannedRunner, testing::ValuesIn(WORKER_COUNTS), workers_name);

TEST(Runner, ProcessWorkers) {
  const size_t workers = NUM_THREADS();
  for (const unsigned q : {0u, 10u, 17u}) {
    for (const size_t block : {size_t{1}, size_t{2}, size_t{8}, P2(q) / 2, P2(q)}) {
      if (block == 0 || block > P2(q)) continue;
      const Plan p = plan_runner(P2(q), block, workers, MIN_AMPS());
      check_runner(P2(q), block, p, [](std::span<Amp> a, size_t b, const auto& body) {
        kernels::run_par_or_seq(a, b, body);
      });
    }
  }
  // The highest slot's block is the whole buffer: one call even above the cut-over.
  EXPECT_EQ(plan_runner(P2(17), P2(17), workers, MIN_AMPS()).regime, Regime::Sequential);
}

// ---------------------------------------------------------------------------------------------
// Indexed walk.

void check_indexed(
    size_t n, const Plan& p,
    const std::function<void(std::span<Amp>, const std::function<void(size_t, std::span<Amp>)>&)>&
        exec) {
  SCOPED_TRACE("n=" + std::to_string(n));
  std::vector<Amp> a = tagged(n);
  Log log;
  exec(a, [&](size_t offset, std::span<Amp> piece) {
    log.add(offset, piece.size());
    for (size_t k = 0; k < piece.size(); ++k) {
      if (idx(piece[k]) != offset + k) log.fail();
      mark(piece[k]);
    }
  });
  EXPECT_EQ(log.failures(), 0u);
  EXPECT_EQ(misvisited(a), 0u);
  const std::vector<Call> calls = log.in_order();
  if (p.regime == Regime::Sequential) {
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, 0u);
    EXPECT_EQ(calls[0].len, n);
  } else {
    EXPECT_EQ(lengths(calls, 0), job_lengths(n, p, 1));
    for (const Call& c : calls) EXPECT_EQ(c.first % p.chunk, 0u);
  }
}

class PlannedIndexed : public testing::TestWithParam<size_t> {};

TEST_P(PlannedIndexed, OffsetsAreGlobalIndices) {
  const size_t workers = GetParam();
  const size_t cut = min_amps_for(workers);
  const std::pair<size_t, size_t> rows[] = {
      {1, 0}, {8, 0}, {9, 0}, {100, 0}, {cut, cut}, {P2(18) + 3, cut}, {cut - 1, cut}};
  for (const auto& [n, min_amps] : rows) {
    const Plan p = plan_indexed(n, workers, min_amps);
    check_indexed(n, p, [&](std::span<Amp> a, const auto& body) {
      detail::walk_indexed_planned(a, p, body);
    });
  }
}

INSTANTIATE_TEST_SUITE_P(Workers, PlannedIndexed, testing::ValuesIn(WORKER_COUNTS), workers_name);

TEST(IndexedWalk, ProcessWorkers) {
  for (const size_t n : {size_t{1}, size_t{9}, P2(16), P2(17) + 5}) {
    const Plan p = plan_indexed(n, NUM_THREADS(), MIN_AMPS());
    check_indexed(n, p, [](std::span<Amp> a, const auto& body) { par_walk_indexed(a, body); });
  }
}

// ---------------------------------------------------------------------------------------------
// Reductions.

// A combine that records the order it saw the partials in: the result lists every range in
// the order combined, after the zero's own marker.
using Ranges = std::vector<size_t>;

Ranges append(Ranges acc, const Ranges& x) {
  acc.insert(acc.end(), x.begin(), x.end());
  return acc;
}

void expect_ranges_in_order(const Ranges& r, size_t n, const Plan& p) {
  ASSERT_EQ(r.size(), 1 + 2 * p.pieces);
  EXPECT_EQ(r[0], SIZE_MAX) << "combining must start from the zero";
  size_t expect_start = 0;
  for (size_t i = 0; i < p.pieces; ++i) {
    EXPECT_EQ(r[1 + 2 * i], expect_start) << "range " << i;
    const size_t end = r[2 + 2 * i];
    if (i + 1 < p.pieces) {
      EXPECT_EQ(end - expect_start, p.chunk) << "range " << i;
    }
    expect_start = end;
  }
  EXPECT_EQ(expect_start, n);
}

class PlannedReduce : public testing::TestWithParam<size_t> {};

TEST_P(PlannedReduce, CombinesInRangeOrder) {
  const size_t workers = GetParam();
  for (const size_t n : {size_t{0}, size_t{1}, size_t{5}, size_t{65536}, size_t{1000003}}) {
    SCOPED_TRACE(n);
    const Plan p = plan_reduce(n, workers);
    const Ranges r = detail::reduce_planned(
        n, p, Ranges{SIZE_MAX},
        [](size_t b, size_t e) {
          return Ranges{b, e};
        },
        append);
    expect_ranges_in_order(r, n, p);
  }
}

INSTANTIATE_TEST_SUITE_P(Workers, PlannedReduce, testing::ValuesIn(WORKER_COUNTS), workers_name);

TEST(ParReduce, ProcessWorkersCombineInRangeOrder) {
  const size_t n = P2(17) + 11;
  const Ranges r = par_reduce(
      n, Ranges{SIZE_MAX},
      [](size_t b, size_t e) {
        return Ranges{b, e};
      },
      append);
  expect_ranges_in_order(r, n, plan_reduce(n, NUM_THREADS()));
}

// One huge term first, then small ones: each partial added to the huge running sum loses its
// low bits, so adding the partials in any other order gives other bits.
std::vector<double> uneven_terms(size_t n) {
  std::vector<double> v(n);
  for (size_t k = 0; k < n; ++k) v[k] = 1.0 + static_cast<double>(k % 7) / 10.0;
  v[0] = 1e20;
  return v;
}

double range_sum(const std::vector<double>& v, size_t b, size_t e) {
  double acc = -0.0;
  for (size_t k = b; k < e; ++k) acc = acc + v[k];
  return acc;
}

TEST_P(PlannedReduce, FloatSumIsTheLeftToRightSumOfRangePartials) {
  const size_t workers = GetParam();
  const size_t n = P2(18) + 3;
  const std::vector<double> v = uneven_terms(n);
  const Plan p = plan_reduce(n, workers);
  std::vector<double> partials;
  for (size_t i = 0; i < p.pieces; ++i) {
    const PieceRange r = piece_range(n, p.chunk, i);
    partials.push_back(range_sum(v, r.start, r.start + r.len));
  }
  double forward = 0.0, backward = 0.0;
  for (const double x : partials) forward = forward + x;
  for (auto it = partials.rbegin(); it != partials.rend(); ++it) backward = backward + *it;
  ASSERT_NE(std::bit_cast<uint64_t>(forward), std::bit_cast<uint64_t>(backward))
      << "terms must make the order observable";

  auto map = [&](size_t b, size_t e) { return range_sum(v, b, e); };
  auto add = [](double x, double y) { return x + y; };
  for (int rep = 0; rep < 5; ++rep) {
    const double got = detail::reduce_planned(n, p, 0.0, map, add);
    EXPECT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(forward)) << "rep " << rep;
  }
}

TEST(ParReduce, ZeroPartialsGivePositiveZero) {
  // Partials of -0.0 added to the zero +0.0: the parallel sum of an all-zero state is +0.0.
  const double got = par_reduce(
      P2(17), 0.0, [](size_t, size_t) { return -0.0; }, [](double x, double y) { return x + y; });
  EXPECT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(0.0));
}

// ---------------------------------------------------------------------------------------------
// A fault raised by a body on a worker reaches the caller with its message.

struct FaultWalkRow {
  const char* name;
  std::function<void()> walk;
  const char* message;
};

void throw_at(std::span<Amp> s, size_t target, const char* message) {
  for (const Amp& x : s)
    if (idx(x) == target) throw Fault(message);
}

const FaultWalkRow FAULT_WALK_ROWS[] = {
    {"pairs_split",
     [] {
       std::vector<Amp> a = tagged(P2(17));
       detail::walk_pairs_planned(a, P2(14), plan_pairs(P2(17), P2(14), 8, min_amps_for(8)),
                                  [](std::span<Amp> lo, std::span<Amp>) {
                                    throw_at(lo, 3 * 1024 + 7, "pair body fault");
                                  });
     },
     "pair body fault"},
    {"quartets_four_slice",
     [] {
       std::vector<Amp> a = tagged(P2(17));
       detail::walk_quartets_planned(
           a, P2(15), P2(16), plan_quartets(P2(17), P2(15), P2(16), 8, min_amps_for(8)),
           [](auto, auto, size_t) {},
           [](std::span<Amp> A, auto, auto, auto) { throw_at(A, 5000, "quartet body fault"); });
     },
     "quartet body fault"},
    {"runner",
     [] {
       std::vector<Amp> a = tagged(P2(20));
       kernels::detail::run_planned(a, plan_runner(P2(20), 2, 12, min_amps_for(12)),
                                    [](std::span<Amp> run) { throw_at(run, 999999, "run fault"); });
     },
     "run fault"},
    {"reduce",
     [] {
       detail::reduce_planned(
           P2(16), plan_reduce(P2(16), 3), 0,
           [](size_t b, size_t e) -> int {
             if (b <= 40000 && 40000 < e) throw Fault("map fault");
             return 1;
           },
           [](int x, int y) { return x + y; });
     },
     "map fault"},
    {"indexed",
     [] {
       std::vector<Amp> a = tagged(P2(16));
       detail::walk_indexed_planned(a, plan_indexed(P2(16), 3, 0), [](size_t, std::span<Amp> s) {
         throw_at(s, 12, "indexed fault");
       });
     },
     "indexed fault"},
};

class FaultInBody : public testing::TestWithParam<FaultWalkRow> {};

TEST_P(FaultInBody, ReachesTheCaller) {
  try {
    GetParam().walk();
    ADD_FAILURE() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(Walkers, FaultInBody, testing::ValuesIn(FAULT_WALK_ROWS),
                         [](const testing::TestParamInfo<FaultWalkRow>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
}  // namespace tavro::par
