#pragma once

#include <cstddef>
#include <span>

#include "amp.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"

namespace tavro::kernels {

namespace detail {

// The runner for a given plan of par::plan_runner(a.size(), block, ...).
template <class Body>
void run_planned(std::span<Amp> a, const par::Plan& p, const Body& body) {
  if (p.regime != par::Regime::Chunks) {
    body(a);
    return;
  }
  par::run_pieces(p.pieces, [&](size_t i) {
    const par::PieceRange r = par::piece_range(a.size(), p.chunk, i);
    body(a.subspan(r.start, r.len));
  });
}

}  // namespace detail

// Calls body(std::span<Amp> run) on consecutive runs of whole blocks (`block` a power of two)
// covering `a`: about 4T runs on the pool, or one call with all of `a` on the caller's thread
// below MIN_AMPS, with one worker, or when `a` is at most one block or one run long.
template <class Body>
void run_par_or_seq(std::span<Amp> a, size_t block, const Body& body) {
  const size_t min_amps = par::MIN_AMPS();
  const size_t workers = par::NUM_THREADS();
  detail::run_planned(a, par::plan_runner(a.size(), block, workers, min_amps), body);
}

}  // namespace tavro::kernels
