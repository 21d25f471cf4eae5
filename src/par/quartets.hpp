#pragma once

#include <cstddef>
#include <span>

#include "amp.hpp"
#include "par/pairs.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"

namespace tavro::par {

namespace detail {

// A pair body that can also take a whole run of consecutive high blocks in one call:
// segment(seg, s_lo, s_hi) must do exactly what pair(lower half, upper half, s_lo) does on each
// high block of seg, in any order. Small high blocks then cost one call per run instead of one
// per block (slots {2, 3}: a call per 16 amplitudes).
template <class PairBody>
concept SegmentBody = requires(const PairBody& body, std::span<Amp> seg, size_t s) {
  body.segment(seg, s, s);
};

// The sequential walk of one segment of whole high blocks, in ascending address order:
// pair(lower half, upper half, s_lo) once per block, or one segment call for all of them.
template <class PairBody>
void walk_pairs_in_seg(std::span<Amp> seg, size_t s_lo, size_t s_hi, const PairBody& pair) {
  const size_t n = seg.size();
  if constexpr (SegmentBody<PairBody>) {
    if (n != 0) pair.segment(seg, s_lo, s_hi);
  } else {
    for (size_t b = 0; b < n; b += 2 * s_hi)
      pair(seg.subspan(b, s_hi), seg.subspan(b + s_hi, s_hi), s_lo);
  }
}

// The four slices of one low block, (bit hi, bit lo) = 00, 01, 10, 11, cut into matching
// pieces of `p.chunk` quartets on the pool, or handed whole to one call on this thread.
template <class QuartetBody>
void bot_axis_dispatch(std::span<Amp> a0, std::span<Amp> a1, std::span<Amp> a2, std::span<Amp> a3,
                       const Plan& p, const QuartetBody& quartet) {
  if (p.pieces <= 1) {
    quartet(a0, a1, a2, a3);
    return;
  }
  run_pieces(p.pieces, [&](size_t i) {
    quartet(piece_of(a0, p.chunk, i), piece_of(a1, p.chunk, i), piece_of(a2, p.chunk, i),
            piece_of(a3, p.chunk, i));
  });
}

// The quartet walk for a given plan of plan_quartets(a.size(), s_lo, s_hi, ...).
template <class PairBody, class QuartetBody>
void walk_quartets_planned(std::span<Amp> a, size_t s_lo, size_t s_hi, const Plan& p,
                           const PairBody& pair, const QuartetBody& quartet) {
  const size_t n = a.size();
  switch (p.regime) {
    case Regime::WholeBlocks:
      run_pieces(p.pieces,
                 [&](size_t i) { walk_pairs_in_seg(piece_of(a, p.chunk, i), s_lo, s_hi, pair); });
      return;
    case Regime::LowBlocks:
      // One job per high block: matching runs of whole low blocks of its two halves.
      for (size_t b = 0; b < n; b += 2 * s_hi) {
        const std::span<Amp> lower = a.subspan(b, s_hi);
        const std::span<Amp> upper = a.subspan(b + s_hi, s_hi);
        run_pieces(p.pieces, [&](size_t i) {
          pair(piece_of(lower, p.chunk, i), piece_of(upper, p.chunk, i), s_lo);
        });
      }
      return;
    case Regime::FourSlice:
      // One job per low block, high blocks in ascending order, low blocks within each.
      for (size_t b = 0; b < n; b += 2 * s_hi) {
        for (size_t j = 0; j < s_hi; j += 2 * s_lo) {
          const size_t lower = b + j;
          const size_t upper = b + s_hi + j;
          bot_axis_dispatch(a.subspan(lower, s_lo), a.subspan(lower + s_lo, s_lo),
                            a.subspan(upper, s_lo), a.subspan(upper + s_lo, s_lo), p, quartet);
        }
      }
      return;
    default:
      walk_pairs_in_seg(a, s_lo, s_hi, pair);
      return;
  }
}

}  // namespace detail

// Visits every quartet of amplitudes whose indices differ only in the bits of s_lo = 2^lo and
// s_hi = 2^hi (lo < hi) exactly once, through one of two bodies:
//   pair(std::span<Amp> A, std::span<Amp> B, size_t s_lo): matching runs of whole low blocks of
//     a high block's lower (A) and upper (B) half; for each low-block start j and k < s_lo the
//     quartet is A[j+k], A[j+s_lo+k], B[j+k], B[j+s_lo+k];
//   pair.segment(std::span<Amp> seg, size_t s_lo, size_t s_hi), if the pair body has it: a run of
//     whole high blocks, instead of one pair call per block of it (sequential walk and whole
//     high blocks; the cut is the same);
//   quartet(std::span<Amp> a0, a1, a2, a3): four equally long slices, (a0[k], a1[k], a2[k],
//     a3[k]) one quartet in the order (bit hi, bit lo) = 00, 01, 10, 11; used only when there
//     are fewer high blocks and fewer low blocks than workers.
// Runs on the caller's thread below MIN_AMPS or with one worker.
template <class PairBody, class QuartetBody>
void par_walk_quartets(std::span<Amp> a, size_t s_lo, size_t s_hi, const PairBody& pair,
                       const QuartetBody& quartet) {
  const size_t min_amps = MIN_AMPS();
  const size_t workers = NUM_THREADS();
  detail::walk_quartets_planned(
      a, s_lo, s_hi, plan_quartets(a.size(), s_lo, s_hi, workers, min_amps), pair, quartet);
}

}  // namespace tavro::par
