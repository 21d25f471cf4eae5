#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "amp.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"

namespace tavro::par {

namespace detail {

// The reduction for a given plan of plan_reduce(n, ...): one partial per range, written to
// its own slot, then combined left to right from `zero` on this thread, so the result
// depends on the ranges alone and never on which worker finished first.
template <class T, class Map, class Combine>
T reduce_planned(size_t n, const Plan& p, T zero, const Map& map, const Combine& combine) {
  std::vector<T> partials(p.pieces, zero);
  run_pieces(p.pieces, [&](size_t i) {
    const PieceRange r = piece_range(n, p.chunk, i);
    partials[i] = map(r.start, r.start + r.len);
  });
  T result = std::move(zero);
  for (size_t i = 0; i < p.pieces; ++i) result = combine(std::move(result), partials[i]);
  return result;
}

// The indexed walk for a given plan of plan_indexed(a.size(), ...).
template <class Body>
void walk_indexed_planned(std::span<Amp> a, const Plan& p, const Body& body) {
  if (p.regime != Regime::Chunks) {
    body(size_t{0}, a);
    return;
  }
  run_pieces(p.pieces, [&](size_t i) {
    const PieceRange r = piece_range(a.size(), p.chunk, i);
    body(r.start, a.subspan(r.start, r.len));
  });
}

}  // namespace detail

// The sum over [0, n) of map(start, end) for about 4T consecutive ranges, combined in range
// order starting from `zero`: reproducible for a given n and worker count. Callers use it
// only when runs_parallel(n) and keep their own sequential loop otherwise.
template <class T, class Map, class Combine>
T par_reduce(size_t n, T zero, const Map& map, const Combine& combine) {
  return detail::reduce_planned(n, plan_reduce(n, NUM_THREADS()), std::move(zero), map, combine);
}

// Hands body(size_t offset, std::span<Amp> piece) consecutive pieces of `a` whose first
// amplitude has global index `offset`; a single call body(0, a) on the caller's thread below
// MIN_AMPS, with one worker, or when the cut gives one piece.
template <class Body>
void par_walk_indexed(std::span<Amp> a, const Body& body) {
  const size_t min_amps = MIN_AMPS();
  const size_t workers = NUM_THREADS();
  detail::walk_indexed_planned(a, plan_indexed(a.size(), workers, min_amps), body);
}

}  // namespace tavro::par
