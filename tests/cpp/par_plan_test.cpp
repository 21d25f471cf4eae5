// The cut of every traversal as a pure function of sizes and worker count, so every worker
// count's plan is checked in one process whatever RAYON_NUM_THREADS the binary runs under.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "error.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"

namespace tavro::par {
namespace {

using enum Regime;
constexpr size_t P2(unsigned k) { return size_t{1} << k; }
constexpr size_t MAX = std::numeric_limits<size_t>::max();

TEST(MinAmpsFor, NextPowerOfTwoOrFloor) {
  const std::pair<size_t, size_t> rows[] = {{0, 16384},          {1, 16384},       {2, 32768},
                                            {3, 65536},          {5, 131072},      {9, 262144},
                                            {16, 262144},        {100000, P2(31)}, {P2(49), P2(63)},
                                            {P2(49) + 1, 16384}, {MAX, 16384}};
  for (const auto& [workers, min_amps] : rows)
    EXPECT_EQ(min_amps_for(workers), min_amps) << workers;
}

// RAYON_NUM_THREADS (a positive decimal; 0 means the default), else RAYON_RS_NUM_CPUS by the
// same rule, else the processor count (6 here). Null means unset.
TEST(WorkerCountFromEnv, FollowsTheRule) {
  const std::tuple<const char*, const char*, size_t> rows[] = {
      {nullptr, nullptr, 6}, {"3", "5", 3},      {"+3", nullptr, 3}, {"007", nullptr, 7},
      {"0", "5", 6},         {"+0", "5", 6},     {"3 ", "5", 5},     {" 3", "5", 5},
      {"-1", nullptr, 6},    {"-0", "5", 5},     {"0x10", "5", 5},   {"", "5", 5},
      {"++3", "5", 5},       {nullptr, "+2", 2}, {nullptr, "0", 6},  {"x", "y", 6}};
  for (const auto& [threads, cpus, expected] : rows)
    EXPECT_EQ(worker_count_from_env(threads, cpus, 6), expected)
        << (threads ? threads : "unset") << " / " << (cpus ? cpus : "unset");
  EXPECT_EQ(worker_count_from_env("18446744073709551615", nullptr, 6), MAX);
  EXPECT_EQ(worker_count_from_env("18446744073709551616", "4", 6), 4u);  // overflow is malformed
}

// kind: 'p' pairs (a = s), 'q' quartets (a = s_lo, b = s_hi),
// 'r' runner (a = block), 'g' group runner (a = block, b = runs), 'R' reduction, 'i' indexed
// walk. `last`: length of a job's last piece.
struct PlanRow {
  char kind;
  size_t n, a, b, workers, min_amps;
  Plan want;
  size_t last;
  std::string fault = "";  // the fault message of a size no kernel passes
};

// The row's plan, or an empty one and the message of the fault it raises.
std::pair<Plan, std::string> run(const PlanRow& r) {
  try {
    return {r.kind == 'p'   ? plan_pairs(r.n, r.a, r.workers, r.min_amps)
            : r.kind == 'q' ? plan_quartets(r.n, r.a, r.b, r.workers, r.min_amps)
            : r.kind == 'r' ? plan_runner(r.n, r.a, r.workers, r.min_amps)
            : r.kind == 'g' ? plan_group_runs(r.n, r.a, r.b, r.workers, r.min_amps)
            : r.kind == 'R' ? plan_reduce(r.n, r.workers)
                            : plan_indexed(r.n, r.workers, r.min_amps),
            ""};
  } catch (const Fault& f) {
    return {Plan{}, f.message()};
  }
}

class PlanTable : public testing::TestWithParam<PlanRow> {};

// The last piece of a job is shorter when the chunk does not divide what the job cuts: the
// buffer, a block half, a high block's half or a low slice.
TEST_P(PlanTable, MatchesTheCut) {
  const PlanRow& r = GetParam();
  const auto [p, fault] = run(r);
  EXPECT_EQ(fault, r.fault);
  EXPECT_EQ(p, r.want);
  if (p.regime == Sequential || p.pieces == 0) return;
  const size_t cut = p.regime == WholeBlocks || p.regime == Chunks    ? r.n
                     : p.regime == LowBlocks || p.regime == GroupRuns ? r.b
                                                                      : r.a;
  EXPECT_EQ(piece_range(cut, p.chunk, p.pieces - 1).len, r.last);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlanTable,
    testing::ValuesIn(std::vector<PlanRow>{
        // Pair walker.
        {'p', P2(17), P2(14), 0, 8, 131072, {SplitBlocks, 1024, 16, 4}, 1024},
        {'p', P2(17), P2(16), 0, 3, 65536, {SplitBlocks, 5464, 12, 1}, 5432},
        {'p', 32768, P2(13), 0, 2, 32768, {WholeBlocks, 16384, 2, 1}, 16384},
        {'p', 65536, 1, 0, 3, 65536, {WholeBlocks, 5460, 13, 1}, 16},
        {'p', P2(20), P2(19), 0, 12, 262144, {SplitBlocks, 10928, 48, 1}, 10672},
        {'p', P2(16), P2(3), 0, 8, 131072, {Sequential, P2(16), 1, 1}, 0},
        // A saturated 4T: pieces shrink to their floor; halves of 8 stay whole on the caller.
        {'p', P2(20), 8, 0, MAX, 16384, {SplitBlocks, 1024, 1, P2(16)}, 8},
        // Quartet walker.
        {'q', P2(20), 1, 2, 8, 131072, {WholeBlocks, 32768, 32, 1}, 32768},
        {'q', P2(20), P2(18), P2(19), 12, 262144, {FourSlice, 10928, 24, 1}, 10800},
        {'q', P2(17), P2(13), P2(14), 8, 131072, {FourSlice, 1024, 8, 4}, 1024},
        {'q', P2(18), P2(10), P2(14), 16, 262144, {FourSlice, 1024, 1, 64}, 1024},
        {'q', P2(16), 1, P2(15), 3, 65536, {LowBlocks, 2730, 13, 1}, 8},
        {'q', P2(20), P2(18), P2(19), 1, 16384, {Sequential, P2(20), 1, 1}, 0},
        // Chunked runner: whole blocks per run; one block is one piece, so it stays.
        {'r', P2(20), 8, 0, 12, 262144, {Chunks, 21840, 49, 1}, 256},
        {'r', P2(20), P2(20), 0, 8, 131072, {Sequential, P2(20), 1, 1}, 0},
        {'r', P2(20), 2, 0, MAX, 16384, {Chunks, 2, P2(19), 1}, 2},
        // Group runner: the runner's cut when it feeds every worker; runs divided among the
        // workers where it leaves one block (top slot) or fewer blocks than workers.
        {'g', P2(20), 8, P2(17), 8, 131072, {Chunks, 32768, 32, 1}, 32768},
        {'g', P2(20), P2(20), P2(17), 8, 131072, {GroupRuns, 4096, 32, 1}, 4096},
        {'g', P2(20), P2(19), 32768, 8, 131072, {GroupRuns, 1024, 32, 1}, 1024},
        {'g', P2(20), P2(20), 100, 3, 65536, {GroupRuns, 8, 13, 1}, 4},
        {'g', P2(20), P2(20), P2(17), 1, 16384, {Sequential, P2(20), 1, 1}, 0},
        {'g', P2(16), P2(16), P2(13), 8, 131072, {Sequential, P2(16), 1, 1}, 0},
        // Reduction: no rounding to 8; its callers have already chosen to go parallel.
        {'R', 65536, 0, 0, 3, 0, {Chunks, 5461, 13, 1}, 4},
        {'R', 5, 0, 0, 8, 0, {Chunks, 1, 5, 1}, 1},
        {'R', 10, 0, 0, 0, 0, {Chunks, 2, 5, 1}, 2},
        {'R', 0, 0, 0, 8, 0, {Chunks, 1, 0, 1}, 0},
        // Indexed walk: multiples of 8, at least 9 amplitudes.
        {'i', 65536, 0, 0, 3, 65536, {Chunks, 5456, 13, 1}, 64},
        {'i', 8, 0, 0, 2, 0, {Sequential, 8, 1, 1}, 0},
        {'i', 9, 0, 0, 2, 0, {Chunks, 8, 2, 1}, 1},
        // Sizes no kernel passes stop with a fault instead of looping or running past the
        // buffer, in every regime including the sequential one.
        {'p', 16, P2(63), 0, 1, 16384, {}, 0, "attempt to divide by zero"},
        {'p', 16, 0, 0, 8, 0, {}, 0, "attempt to divide by zero"},
        {'p', 24, 8, 0, 1, 16384, {}, 0, "range end index 32 out of range for slice of length 24"},
        {'q', 64, 4, 4, 8, 0, {}, 0, "mid > len"},
        {'q', 64, 8, 4, 8, 0, {}, 0, "mid > len"},
        {'r', P2(20), 0, 0, 8, 16384, {}, 0, "attempt to divide by zero"}}));

}  // namespace
}  // namespace tavro::par
