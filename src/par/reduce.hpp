#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
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

// The partner flip of a reduction's cut p of n under `mask`: f when the indices of range k XOR
// mask are exactly range k ^ f in the same order (every range `chunk` long, chunk a power of two,
// mask below n with no bit under chunk), else 0. n = 64, chunk 8, mask 0b101000 -> f = 0b101.
inline size_t xor_partner_flip(size_t n, const Plan& p, uint64_t mask) {
  const size_t c = p.chunk;
  if (mask == 0 || mask >= n || !std::has_single_bit(c) || n % c != 0 || (mask & (c - 1)) != 0)
    return 0;
  return mask / c;
}

// par_reduce's partials for a cut whose ranges pair up by `flip`: one pool piece computes
// map2(start_k, start_{k ^ flip}, chunk) -> {partial_k, partial_{k ^ flip}} for each pair.
template <class T, class Map2, class Combine>
T reduce_pairs_planned(const Plan& p, size_t flip, T zero, const Map2& map2,
                       const Combine& combine) {
  std::vector<T> partials(p.pieces, zero);
  const size_t top = std::bit_floor(flip);
  run_pieces(p.pieces / 2, [&](size_t i) {
    const size_t k = ((i & ~(top - 1)) << 1) | (i & (top - 1));  // i with a 0 inserted at `top`
    auto [first, second] = map2(k * p.chunk, (k ^ flip) * p.chunk, p.chunk);
    partials[k] = std::move(first);
    partials[k ^ flip] = std::move(second);
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

// par_reduce for a map whose range [s, e) also reads the indices i ^ mask: where the cut pairs
// range k with the range of its partner indices, one piece computes both partials through
// map2(start_a, start_b, len) -> std::pair, reading each amplitude once; otherwise par_reduce
// with map. The partials and their combination are those of par_reduce, so is the result.
template <class T, class Map, class Map2, class Combine>
T par_reduce_xor_pairs(size_t n, uint64_t mask, T zero, const Map& map, const Map2& map2,
                       const Combine& combine) {
  const Plan p = plan_reduce(n, NUM_THREADS());
  const size_t flip = detail::xor_partner_flip(n, p, mask);
  if (flip == 0) return detail::reduce_planned(n, p, std::move(zero), map, combine);
  return detail::reduce_pairs_planned(p, flip, std::move(zero), map2, combine);
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
