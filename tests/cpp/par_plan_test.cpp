// The cut of every traversal as a pure function of sizes and worker count, so every worker
// count's plan is checked in one process whatever RAYON_NUM_THREADS the binary runs under.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "error.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"

namespace tavro::par {
namespace {

constexpr size_t P2(unsigned k) { return size_t{1} << k; }
constexpr size_t SIZE_MAX_ = std::numeric_limits<size_t>::max();

template <class Row>
std::string row_name(const testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

// Sum of the piece lengths of a cut of `len` by `p.chunk`, checking that every piece but the
// last is exactly one chunk long and that the last is `last` long.
void expect_cut(size_t len, const Plan& p, size_t last) {
  size_t sum = 0;
  for (size_t i = 0; i < p.pieces; ++i) {
    const PieceRange r = piece_range(len, p.chunk, i);
    EXPECT_EQ(r.start, sum) << "piece " << i;
    if (i + 1 < p.pieces) {
      EXPECT_EQ(r.len, p.chunk) << "piece " << i;
    }
    sum += r.len;
  }
  EXPECT_EQ(sum, len);
  if (p.pieces > 0) {
    EXPECT_EQ(piece_range(len, p.chunk, p.pieces - 1).len, last);
  }
}

// ---------------------------------------------------------------------------------------------
// Worker count and cut-over.

struct MinAmpsRow {
  const char* name;
  size_t workers;
  size_t min_amps;
};

const MinAmpsRow MIN_AMPS_ROWS[] = {
    {"zero_counts_as_one", 0, 16384},
    {"w1", 1, 16384},
    {"w2", 2, 32768},
    {"w3", 3, 65536},
    {"w4", 4, 65536},
    {"w5", 5, 131072},
    {"w8", 8, 131072},
    {"w9", 9, 262144},
    {"w12", 12, 262144},
    {"w16", 16, 262144},
    {"w17", 17, 524288},
    {"w64", 64, 1048576},
    {"w100000", 100000, P2(31)},
    {"product_2_63_exact", P2(49), P2(63)},
    {"power_would_be_2_64", P2(49) + 1, 16384},
    {"just_below_2_50", P2(50) - 1, 16384},
    {"at_2_50", P2(50), 16384},
    {"max", SIZE_MAX_, 16384},
};

class MinAmpsFor : public testing::TestWithParam<MinAmpsRow> {};

TEST_P(MinAmpsFor, NextPowerOfTwoOrFloor) {
  EXPECT_EQ(min_amps_for(GetParam().workers), GetParam().min_amps);
}

INSTANTIATE_TEST_SUITE_P(Table, MinAmpsFor, testing::ValuesIn(MIN_AMPS_ROWS), row_name<MinAmpsRow>);

struct EnvRow {
  const char* name;
  const char* num_threads;  // RAYON_NUM_THREADS, null when unset
  const char* num_cpus;     // RAYON_RS_NUM_CPUS, null when unset
  size_t expected;
};

constexpr size_t FALLBACK = 6;  // the processor count in these rows

const EnvRow ENV_ROWS[] = {
    {"both_unset", nullptr, nullptr, FALLBACK},
    {"three", "3", nullptr, 3},
    {"three_beats_cpus", "3", "5", 3},
    {"one", "1", "5", 1},
    {"plus_sign", "+3", nullptr, 3},
    {"leading_zeros", "007", nullptr, 7},
    {"zero_is_default_not_cpus", "0", "5", FALLBACK},
    {"zero_zero", "0", "0", FALLBACK},
    {"plus_zero_is_default", "+0", "5", FALLBACK},
    {"trailing_space_falls_to_cpus", "3 ", "5", 5},
    {"trailing_space_no_cpus", "3 ", nullptr, FALLBACK},
    {"leading_space", " 3", "5", 5},
    {"newline", "3\n", "5", 5},
    {"negative", "-1", nullptr, FALLBACK},
    {"negative_falls_to_cpus", "-1", "5", 5},
    {"minus_zero", "-0", "5", 5},
    {"letters", "abc", "5", 5},
    {"hex", "0x10", "5", 5},
    {"empty", "", "5", 5},
    {"lone_plus", "+", "5", 5},
    {"double_plus", "++3", "5", 5},
    {"overflow", "99999999999999999999", nullptr, FALLBACK},
    {"overflow_falls_to_cpus", "99999999999999999999", "5", 5},
    {"max_u64", "18446744073709551615", nullptr, SIZE_MAX_},
    {"max_u64_plus_one", "18446744073709551616", "4", 4},
    {"cpus_only", nullptr, "5", 5},
    {"cpus_plus", nullptr, "+2", 2},
    {"cpus_zero", nullptr, "0", FALLBACK},
    {"cpus_malformed", nullptr, "x", FALLBACK},
    {"both_malformed", "x", "y", FALLBACK},
};

class WorkerCountFromEnv : public testing::TestWithParam<EnvRow> {};

TEST_P(WorkerCountFromEnv, FollowsTheRule) {
  const EnvRow& r = GetParam();
  EXPECT_EQ(worker_count_from_env(r.num_threads, r.num_cpus, FALLBACK), r.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, WorkerCountFromEnv, testing::ValuesIn(ENV_ROWS), row_name<EnvRow>);

TEST(Roundup8, RoundsToTheNextMultipleOfEight) {
  const std::pair<size_t, size_t> rows[] = {{0, 0},       {1, 8},         {7, 8},
                                            {8, 8},       {9, 16},        {1024, 1024},
                                            {5461, 5464}, {10922, 10928}, {10928, 10928}};
  for (const auto& [x, up] : rows) EXPECT_EQ(roundup8(x), up) << x;
}

// ---------------------------------------------------------------------------------------------
// Pair walker.

struct PairRow {
  const char* name;
  size_t n, s, workers, min_amps;
  Plan plan;
  size_t last;  // length of the last piece of one job
};

constexpr Plan SEQ(size_t n) { return {Regime::Sequential, n, 1, 1}; }

const PairRow PAIR_ROWS[] = {
    // 8 workers, n = 2^17 at the cut-over.
    {"w8_t3_whole_blocks", P2(17), P2(3), 8, 131072, {Regime::WholeBlocks, 4096, 32, 1}, 4096},
    {"w8_t14_four_blocks_split",
     P2(17),
     P2(14),
     8,
     131072,
     {Regime::SplitBlocks, 1024, 16, 4},
     1024},
    {"w8_t16_one_block_split", P2(17), P2(16), 8, 131072, {Regime::SplitBlocks, 2048, 32, 1}, 2048},
    // 3 workers, one block of halves 65536: inner rounded up from 5461.
    {"w3_s65536_split", P2(17), P2(16), 3, 65536, {Regime::SplitBlocks, 5464, 12, 1}, 5432},
    // 2 workers at n = 32768, two blocks: one block per piece.
    {"w2_t13_one_block_per_piece",
     32768,
     P2(13),
     2,
     32768,
     {Regime::WholeBlocks, 16384, 2, 1},
     16384},
    // 16 qubits go parallel with 3 workers, slot 0: chunk 2730 pairs, short last piece.
    {"w3_16q_t0", 65536, 1, 3, 65536, {Regime::WholeBlocks, 5460, 13, 1}, 16},
    {"w12_top_slot_of_20", P2(20), P2(19), 12, 262144, {Regime::SplitBlocks, 10928, 48, 1}, 10672},
    {"w8_below_cut_over", P2(16), P2(3), 8, 131072, SEQ(P2(16)), P2(16)},
    {"w3_15q_stays", 32768, 1, 3, 65536, SEQ(32768), 32768},
    {"one_worker", P2(20), 1, 1, 16384, SEQ(P2(20)), P2(20)},
    {"zero_workers", P2(20), 1, 0, 16384, SEQ(P2(20)), P2(20)},
    {"empty", 0, 1, 8, 131072, SEQ(0), 0},
    // A saturated 4T: pieces shrink to their floor; halves of 8 stay whole on the caller.
    {"absurd_workers", P2(20), 8, SIZE_MAX_, 16384, {Regime::SplitBlocks, 1024, 1, P2(16)}, 8},
    {"w100000_whole_blocks",
     P2(31),
     1,
     100000,
     P2(31),
     {Regime::WholeBlocks, 5368, 400053, 1},
     4512},
};

class PlanPairs : public testing::TestWithParam<PairRow> {};

TEST_P(PlanPairs, MatchesTheCut) {
  const PairRow& r = GetParam();
  const Plan p = plan_pairs(r.n, r.s, r.workers, r.min_amps);
  EXPECT_EQ(p.regime, r.plan.regime);
  EXPECT_EQ(p.chunk, r.plan.chunk);
  EXPECT_EQ(p.pieces, r.plan.pieces);
  EXPECT_EQ(p.jobs, r.plan.jobs);
  switch (p.regime) {
    case Regime::WholeBlocks:
      EXPECT_EQ(p.chunk % (2 * r.s), 0u) << "pieces must hold whole blocks";
      EXPECT_GE(p.pieces, 2u);
      expect_cut(r.n, p, r.last);
      break;
    case Regime::SplitBlocks:
      EXPECT_EQ(p.chunk % 8, 0u);
      EXPECT_GE(p.chunk, 1024u);
      EXPECT_EQ(p.jobs * r.s, r.n / 2) << "jobs must cover every pair";
      expect_cut(r.s, p, r.last);
      break;
    default:
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, PlanPairs, testing::ValuesIn(PAIR_ROWS), row_name<PairRow>);

TEST(PlanWithinBlock, UsesTheProcessFreeFormula) {
  // Same inner size as the pair plan's split regime, whatever the block count.
  const Plan a = plan_within_block(P2(16), 3);
  EXPECT_EQ(a, (Plan{Regime::SplitBlocks, 5464, 12, 1}));
  const Plan b = plan_within_block(1024, 16);  // floor 1024: the block stays whole
  EXPECT_EQ(b, (Plan{Regime::SplitBlocks, 1024, 1, 1}));
  const Plan c = plan_within_block(P2(19), 12);
  EXPECT_EQ(c, (Plan{Regime::SplitBlocks, 10928, 48, 1}));
}

// ---------------------------------------------------------------------------------------------
// Quartet walker.

struct QuartetRow {
  const char* name;
  size_t n, lo, hi, workers;
  Plan plan;
  size_t last;
};

const QuartetRow QUARTET_ROWS[] = {
    {"w8_lo0_hi1_whole", P2(20), 0, 1, 8, {Regime::WholeBlocks, 32768, 32, 1}, 32768},
    {"w8_lo3_hi19_low_blocks", P2(20), 3, 19, 8, {Regime::LowBlocks, 16384, 32, 1}, 16384},
    {"w8_lo18_hi19_four_slice", P2(20), 18, 19, 8, {Regime::FourSlice, 16384, 16, 1}, 16384},
    {"w12_lo18_hi19_four_slice", P2(20), 18, 19, 12, {Regime::FourSlice, 10928, 24, 1}, 10800},
    {"w8_n17_lo13_hi14_four_jobs", P2(17), 13, 14, 8, {Regime::FourSlice, 1024, 8, 4}, 1024},
    {"w16_lo10_hi14_whole_on_caller", P2(18), 10, 14, 16, {Regime::FourSlice, 1024, 1, 64}, 1024},
    {"w12_lo10_hi14_whole_on_caller", P2(18), 10, 14, 12, {Regime::FourSlice, 1024, 1, 64}, 1024},
    {"w3_top_slot_low_blocks_short_last", P2(16), 0, 15, 3, {Regime::LowBlocks, 2730, 13, 1}, 8},
    {"w3_below_cut_over", P2(15), 0, 1, 3, SEQ(P2(15)), P2(15)},
    {"one_worker", P2(20), 18, 19, 1, SEQ(P2(20)), P2(20)},
};

class PlanQuartets : public testing::TestWithParam<QuartetRow> {};

TEST_P(PlanQuartets, MatchesTheCut) {
  const QuartetRow& r = GetParam();
  const size_t s_lo = P2(r.lo), s_hi = P2(r.hi);
  const Plan p = plan_quartets(r.n, s_lo, s_hi, r.workers, min_amps_for(r.workers));
  EXPECT_EQ(p.regime, r.plan.regime);
  EXPECT_EQ(p.chunk, r.plan.chunk);
  EXPECT_EQ(p.pieces, r.plan.pieces);
  EXPECT_EQ(p.jobs, r.plan.jobs);
  switch (p.regime) {
    case Regime::WholeBlocks:
      EXPECT_EQ(p.chunk % (2 * s_hi), 0u);
      expect_cut(r.n, p, r.last);
      break;
    case Regime::LowBlocks:
      EXPECT_EQ(p.chunk % (2 * s_lo), 0u) << "pieces must hold whole low blocks";
      EXPECT_EQ(r.last % (2 * s_lo), 0u);
      EXPECT_EQ(p.jobs * s_hi, r.n / 2);
      expect_cut(s_hi, p, r.last);
      break;
    case Regime::FourSlice:
      EXPECT_EQ(p.chunk % 8, 0u);
      EXPECT_EQ(p.jobs * s_lo, r.n / 4) << "jobs must cover every quartet";
      expect_cut(s_lo, p, r.last);
      break;
    default:
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, PlanQuartets, testing::ValuesIn(QUARTET_ROWS),
                         row_name<QuartetRow>);

// ---------------------------------------------------------------------------------------------
// Runner, reduction, indexed walk.

struct ChunkRow {
  const char* name;
  size_t n, block, workers, min_amps;
  Plan plan;
  size_t last;
};

const ChunkRow RUNNER_ROWS[] = {
    {"w8_block2", P2(20), 2, 8, 131072, {Regime::Chunks, 32768, 32, 1}, 32768},
    {"w12_block2", P2(20), 2, 12, 262144, {Regime::Chunks, 21844, 49, 1}, 64},
    {"w12_block8", P2(20), 8, 12, 262144, {Regime::Chunks, 21840, 49, 1}, 256},
    {"w3_two_blocks", P2(17), P2(16), 3, 65536, {Regime::Chunks, P2(16), 2, 1}, P2(16)},
    {"n_equals_block", P2(20), P2(20), 8, 131072, SEQ(P2(20)), P2(20)},
    {"below_cut_over", P2(16), 2, 8, 131072, SEQ(P2(16)), P2(16)},
    {"one_worker", P2(20), 2, 1, 16384, SEQ(P2(20)), P2(20)},
    {"absurd_workers", P2(20), 2, SIZE_MAX_, 16384, {Regime::Chunks, 2, P2(19), 1}, 2},
};

class PlanRunner : public testing::TestWithParam<ChunkRow> {};

TEST_P(PlanRunner, MatchesTheCut) {
  const ChunkRow& r = GetParam();
  const Plan p = plan_runner(r.n, r.block, r.workers, r.min_amps);
  EXPECT_EQ(p, r.plan);
  if (p.regime == Regime::Chunks) {
    EXPECT_EQ(p.chunk % r.block, 0u) << "runs must hold whole blocks";
    expect_cut(r.n, p, r.last);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, PlanRunner, testing::ValuesIn(RUNNER_ROWS), row_name<ChunkRow>);

const ChunkRow REDUCE_ROWS[] = {
    // block and min_amps unused: a reduction is only cut once its caller went parallel.
    {"w4_n65536", 65536, 0, 4, 0, {Regime::Chunks, 4096, 16, 1}, 4096},
    {"w3_n65536_no_rounding", 65536, 0, 3, 0, {Regime::Chunks, 5461, 13, 1}, 4},
    {"w8_n5", 5, 0, 8, 0, {Regime::Chunks, 1, 5, 1}, 1},
    {"w1_n10", 10, 0, 1, 0, {Regime::Chunks, 2, 5, 1}, 2},
    {"w0_n10", 10, 0, 0, 0, {Regime::Chunks, 2, 5, 1}, 2},
    {"empty", 0, 0, 8, 0, {Regime::Chunks, 1, 0, 1}, 0},
};

class PlanReduce : public testing::TestWithParam<ChunkRow> {};

TEST_P(PlanReduce, MatchesTheCut) {
  const ChunkRow& r = GetParam();
  const Plan p = plan_reduce(r.n, r.workers);
  EXPECT_EQ(p, r.plan);
  expect_cut(r.n, p, r.last);
}

INSTANTIATE_TEST_SUITE_P(Table, PlanReduce, testing::ValuesIn(REDUCE_ROWS), row_name<ChunkRow>);

const ChunkRow INDEXED_ROWS[] = {
    {"w3_n65536", 65536, 0, 3, 65536, {Regime::Chunks, 5456, 13, 1}, 64},
    {"w4_n65536", 65536, 0, 4, 65536, {Regime::Chunks, 4096, 16, 1}, 4096},
    {"w3_below_cut_over", 32768, 0, 3, 65536, SEQ(32768), 32768},
    {"n8_too_short", 8, 0, 2, 0, SEQ(8), 8},
    {"n9_two_pieces", 9, 0, 2, 0, {Regime::Chunks, 8, 2, 1}, 1},
    {"n16_two_pieces", 16, 0, 8, 0, {Regime::Chunks, 8, 2, 1}, 8},
    {"one_worker", P2(20), 0, 1, 16384, SEQ(P2(20)), P2(20)},
};

class PlanIndexed : public testing::TestWithParam<ChunkRow> {};

TEST_P(PlanIndexed, MatchesTheCut) {
  const ChunkRow& r = GetParam();
  const Plan p = plan_indexed(r.n, r.workers, r.min_amps);
  EXPECT_EQ(p, r.plan);
  if (p.regime == Regime::Chunks) {
    EXPECT_EQ(p.chunk % 8, 0u);
    expect_cut(r.n, p, r.last);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, PlanIndexed, testing::ValuesIn(INDEXED_ROWS), row_name<ChunkRow>);

// ---------------------------------------------------------------------------------------------
// Broken invariants: sizes no kernel passes stop with a fault instead of looping or
// running past the buffer, on every regime including the sequential one.

struct FaultRow {
  const char* name;
  std::function<void()> call;
  const char* message;
};

const FaultRow FAULT_ROWS[] = {
    {"pairs_slot63", [] { plan_pairs(16, P2(63), 1, 16384); }, "attempt to divide by zero"},
    {"pairs_zero_half", [] { plan_pairs(16, 0, 8, 0); }, "attempt to divide by zero"},
    {"pairs_block_past_end", [] { plan_pairs(24, 8, 1, 16384); },
     "range end index 32 out of range for slice of length 24"},
    {"pairs_block_longer_than_buffer", [] { plan_pairs(8, 8, 8, 0); },
     "range end index 16 out of range for slice of length 8"},
    {"quartets_hi63", [] { plan_quartets(16, 1, P2(63), 1, 16384); }, "attempt to divide by zero"},
    {"quartets_equal_slots", [] { plan_quartets(64, 4, 4, 8, 0); }, "mid > len"},
    {"quartets_swapped_slots", [] { plan_quartets(64, 8, 4, 8, 0); }, "mid > len"},
    {"quartets_high_block_past_end", [] { plan_quartets(8, 1, 8, 1, 16384); },
     "range end index 16 out of range for slice of length 8"},
    {"runner_zero_block", [] { plan_runner(P2(20), 0, 8, 16384); }, "attempt to divide by zero"},
};

class PlanFaults : public testing::TestWithParam<FaultRow> {};

TEST_P(PlanFaults, ThrowsItsMessage) {
  try {
    GetParam().call();
    ADD_FAILURE() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, PlanFaults, testing::ValuesIn(FAULT_ROWS), row_name<FaultRow>);

}  // namespace
}  // namespace tavro::par
