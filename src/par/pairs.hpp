#pragma once

#include <cstddef>
#include <span>

#include "amp.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"

namespace tavro::par {

namespace detail {

// Piece i of a cut of `a` into runs of `chunk`.
inline std::span<Amp> piece_of(std::span<Amp> a, size_t chunk, size_t i) {
  const PieceRange r = piece_range(a.size(), chunk, i);
  return a.subspan(r.start, r.len);
}

// Every block of 2s amplitudes of `a`, in ascending address order: body(lower half, upper half).
template <class Body>
void walk_blocks(std::span<Amp> a, size_t s, const Body& body) {
  const size_t n = a.size();
  for (size_t b = 0; b < n; b += 2 * s) body(a.subspan(b, s), a.subspan(b + s, s));
}

// The two halves of one block cut as `split` says (plan_within_block): matching pieces of
// `split.chunk` pairs on the pool, or one call on the caller's thread.
template <class Body>
void split_block(std::span<Amp> lo, std::span<Amp> hi, const Plan& split, const Body& body) {
  if (split.pieces <= 1) {
    body(lo, hi);
    return;
  }
  run_pieces(split.pieces,
             [&](size_t i) { body(piece_of(lo, split.chunk, i), piece_of(hi, split.chunk, i)); });
}

// The pair walk for a given plan of plan_pairs(a.size(), s, ...).
template <class Body>
void walk_pairs_planned(std::span<Amp> a, size_t s, const Plan& p, const Body& body) {
  switch (p.regime) {
    case Regime::WholeBlocks:
      run_pieces(p.pieces, [&](size_t i) { walk_blocks(piece_of(a, p.chunk, i), s, body); });
      return;
    case Regime::SplitBlocks:
      // One job per block, each finished before the next block starts.
      for (size_t b = 0; b < a.size(); b += 2 * s)
        split_block(a.subspan(b, s), a.subspan(b + s, s), p, body);
      return;
    default:
      walk_blocks(a, s, body);
      return;
  }
}

}  // namespace detail

// Splits one block's halves (each s long) over the pool when they are long enough to give
// more than one piece of at least 1024 pairs; otherwise calls body(lo, hi) on this thread.
template <class Body>
void within_block_parallel(std::span<Amp> lo, std::span<Amp> hi, const Body& body) {
  detail::split_block(lo, hi, plan_within_block(lo.size(), NUM_THREADS()), body);
}

// Visits every pair of amplitudes whose indices differ only in the bit of s = 2^t exactly once:
// body(std::span<Amp> lo, std::span<Amp> hi) gets equally long matching runs with that bit
// clear and set. Runs on the caller's thread below MIN_AMPS or with one worker.
template <class Body>
void par_walk_pairs(std::span<Amp> a, size_t s, const Body& body) {
  const size_t min_amps = MIN_AMPS();
  const size_t workers = NUM_THREADS();
  detail::walk_pairs_planned(a, s, plan_pairs(a.size(), s, workers, min_amps), body);
}

}  // namespace tavro::par
