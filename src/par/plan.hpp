#pragma once

#include <cstddef>
#include <cstdint>

namespace tavro::par {

// How a traversal runs: on the caller's thread, or cut into pieces for the pool.
enum class Regime : uint8_t {
  Sequential,   // everything on the caller's thread
  Chunks,       // runner, reduction, indexed walk: consecutive runs of `chunk` amplitudes
  WholeBlocks,  // consecutive runs of `chunk` amplitudes made of whole (high) blocks
  SplitBlocks,  // pair walker, fewer blocks than workers: each block's halves cut in pieces
  LowBlocks,    // quartet walker: each high block's halves cut into runs of whole low blocks
  FourSlice,    // quartet walker: each low block's four slices cut in pieces
  GroupRuns,    // group runner: consecutive runs of groups, `chunk` runs per piece
};

// The cut of one traversal, a function of the sizes and the worker count alone.
//   chunk:  piece length in amplitudes; per slice in SplitBlocks, LowBlocks and FourSlice
//           (n in Sequential);
//   pieces: pieces of one pool job; 1 means the job's slices go whole to one body call on
//           the caller's thread (SplitBlocks and FourSlice only);
//   jobs:   pool jobs run one after another, each finished before the next starts: one per
//           block (SplitBlocks), per high block (LowBlocks), per low block (FourSlice); else 1.
struct Plan {
  Regime regime;
  size_t chunk;
  size_t pieces;
  size_t jobs;

  bool operator==(const Plan&) const = default;
};

// Start and length of one piece of a cut.
struct PieceRange {
  size_t start;
  size_t len;
};

// x rounded up to the next multiple of 8 (x itself when it is one): 10922 -> 10928.
constexpr size_t roundup8(size_t x) { return (x + 7) & ~size_t{7}; }

// ceil(n / chunk) without the overflow of n + chunk - 1; chunk > 0.
constexpr size_t ceil_div(size_t n, size_t chunk) { return n / chunk + (n % chunk != 0); }

// Piece i of a cut of n amplitudes into runs of `chunk`: the last one is shorter when chunk
// does not divide n.
constexpr PieceRange piece_range(size_t n, size_t chunk, size_t i) {
  const size_t start = i * chunk;
  return {start, n - start < chunk ? n - start : chunk};
}

// Pair walker over slot t, s = 2^t: Sequential, WholeBlocks (chunk = whole blocks of 2s) or
// SplitBlocks (chunk = pairs per piece of a block's halves). Faults on s = 0 or 2^63
// ("attempt to divide by zero") and on n not a multiple of 2s.
Plan plan_pairs(size_t n, size_t s, size_t workers, size_t min_amps);

// The in-block split of two halves of s amplitudes each: chunk = inner, pieces = ceil(s/inner)
// (1: the block runs whole on the caller's thread). Regime SplitBlocks, jobs 1.
Plan plan_within_block(size_t s, size_t workers);

// Quartet walker over slots lo < hi, s_lo = 2^lo, s_hi = 2^hi: Sequential, WholeBlocks (chunk =
// whole high blocks), LowBlocks (chunk = whole low blocks per half) or FourSlice (chunk = inner
// per slice). Faults on a zero high block, on s_lo >= s_hi ("mid > len") and on n not a
// multiple of 2 s_hi.
Plan plan_quartets(size_t n, size_t s_lo, size_t s_hi, size_t workers, size_t min_amps);

// The chunked runner over runs of whole blocks: Sequential or Chunks.
Plan plan_runner(size_t n, size_t block, size_t workers, size_t min_amps);

// The group runner over `runs` runs of groups in a buffer of n amplitudes made of blocks of
// `block`: plan_runner's cut when it gives at least one piece per worker; otherwise, where the
// pool may be used, GroupRuns with about 4T pieces of consecutive runs (chunk = runs per piece),
// so that a buffer of one or a few blocks still spreads over every worker.
Plan plan_group_runs(size_t n, size_t block, size_t runs, size_t workers, size_t min_amps);

// A reduction's ranges: always Chunks (its callers have already chosen to go parallel);
// chunk = max(n / 4T, 1), pieces = ceil(n / chunk), 0 for an empty range.
Plan plan_reduce(size_t n, size_t workers);

// The indexed walk: Sequential or Chunks of a multiple of 8 amplitudes.
Plan plan_indexed(size_t n, size_t workers, size_t min_amps);

}  // namespace tavro::par
