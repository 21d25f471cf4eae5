#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
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

// x with a zero bit inserted at every set bit of `mask`, lowest first: the x-th index (in
// increasing order) whose mask bits are all clear. mask = 0b10010, x = 0b1111 -> 0b101101.
constexpr size_t deposit_zeros(size_t x, uint64_t mask) {
  for (uint64_t m = mask; m != 0; m &= m - 1) {
    const int b = std::countr_zero(m);
    const size_t low = x & ((size_t{1} << b) - 1);
    x = ((x >> b) << (b + 1)) | low;
  }
  return x;
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

// The walk of a group kernel whose lowest involved slot is high would come in long runs (with
// the top slots, one run of the whole buffer), which the runner below cannot divide. A kernel
// therefore walks with the slots below min(lowest, GROUP_RUN_BITS) added to its mask: each run
// is then one base of the walk mask, covering `run` consecutive bases of the gate's own mask,
// and the next one is ((base | walk) + 1) & ~walk.
inline constexpr int GROUP_RUN_BITS = 8;

struct GroupWalk {
  uint64_t walk;  // the gate's mask and the low bits a run covers
  size_t run;     // consecutive bases per run: 2^min(lowest mask bit, GROUP_RUN_BITS)
};

// mask = slots {9, 10, 12}: walk = mask | 0xFF, run = 256; slots {1, 3}: walk = 0b1011, run = 2.
constexpr GroupWalk group_walk(uint64_t mask) {
  const int bits =
      std::countr_zero(mask) < GROUP_RUN_BITS ? std::countr_zero(mask) : GROUP_RUN_BITS;
  const uint64_t low = (uint64_t{1} << bits) - 1;
  return {mask | low, size_t{1} << bits};
}

// For kernels that update groups of amplitudes: a group's base index has every bit of `mask`
// clear (mask != 0), the `run` = 2^countr_zero(mask) consecutive bases below the lowest mask
// bit share one set of roles, and a group lies inside one block of 2^(top mask bit + 1).
// Calls body(std::span<Amp> chunk, size_t base, size_t runs), which walks `runs` runs of bases
// from `base` (relative to `chunk`, as in base = ((base | mask) + run) & ~mask). Chunks of
// whole blocks as in run_par_or_seq; where those leave workers idle (a buffer of one or a few
// blocks) the runs are divided among the workers instead. Each group is computed from its own
// amplitudes alone, so the cut never changes a result.
template <class Body>
void run_groups_par_or_seq(std::span<Amp> a, uint64_t mask, const Body& body) {
  const size_t min_amps = par::MIN_AMPS();
  const size_t workers = par::NUM_THREADS();
  const int shift = std::popcount(mask) + std::countr_zero(mask);
  const size_t block = size_t{2} << (63 - std::countl_zero(mask));
  const par::Plan p = par::plan_group_runs(a.size(), block, a.size() >> shift, workers, min_amps);
  if (p.regime == par::Regime::GroupRuns) {
    const size_t runs = a.size() >> shift;
    const int low = std::countr_zero(mask);
    par::run_pieces(p.pieces, [&](size_t i) {
      const par::PieceRange r = par::piece_range(runs, p.chunk, i);
      body(a, detail::deposit_zeros(r.start << low, mask), r.len);
    });
    return;
  }
  detail::run_planned(a, p,
                      [&](std::span<Amp> chunk) { body(chunk, size_t{0}, chunk.size() >> shift); });
}

}  // namespace tavro::kernels
