#pragma once

// The two reference passes every benchmark is measured against: the streaming pass (every
// amplitude multiplied in place by one complex constant, the least any gate can do on a
// large state) and the read-only pass (a sum of squares, the least any reduction can do).
// Both run on a buffer reserved exactly as a state's buffer is, vectorised through Highway
// dynamic dispatch, on all workers of the pool.

#include <cstddef>
#include <span>
#include <vector>

#include "aligned_buffer.hpp"
#include "amp.hpp"

namespace tavro::bench {

// The constant of the streaming pass. Its modulus is 1, so thousands of passes over the same
// buffer neither overflow nor sink into subnormals (which would slow the arithmetic down).
Amp stream_factor();

// One worker's share of the streaming pass: p[k] *= c for k < m, one dispatch per call.
void scale_run(Amp* p, size_t m, Amp c);

// The same on a run of any length: short runs inline, long runs through the vector body, so a
// walker body built on it costs no call for the single amplitudes of the low slots.
inline void scale_any(Amp* p, size_t m, Amp c) {
  // Below this many amplitudes a dispatched call costs more than the arithmetic.
  constexpr size_t INLINE_BELOW = 16;
  if (m >= INLINE_BELOW) return scale_run(p, m, c);
  const double cr = c.real();
  const double ci = c.imag();
  for (size_t k = 0; k < m; ++k) {
    const double re = p[k].real();
    const double im = p[k].imag();
    p[k] = Amp(re * cr + im * -ci, im * cr + re * ci);
  }
}

// One worker's share of the read-only pass: the sum of re*re + im*im over p[0, m).
double sum_squares_run(const Amp* p, size_t m);

// The streaming pass: every amplitude of `a` times c, cut into about `pieces` runs of a
// multiple of 8 amplitudes for the pool (1: one call on the caller's thread).
void stream_pass(std::span<Amp> a, Amp c, size_t pieces);

// The read-only pass: the sum of squared magnitudes of `a`, cut as stream_pass.
double read_pass(std::span<const Amp> a, size_t pieces);

// The piece counts the baselines try, the fastest of which is kept for each qubit count:
// 1, 2, 4, 8 and 16 per worker, or 1 with a single worker.
std::vector<size_t> piece_candidates();

// A buffer reserved as a state's (AmpBuffer::reserve) at full length, every amplitude written
// by fill_uniform, so no page fault is left for a timed pass.
AmpBuffer touched_buffer(size_t amplitudes);

// Writes 1/sqrt(len) to the real part of every amplitude and 0 to the imaginary part, on all
// workers: a unit vector, and every page of a fresh buffer faulted in.
void fill_uniform(std::span<Amp> a);

// The variants tried for the streaming pass, kept so that the choice can be checked again on
// another machine (baseline_bench.cpp runs them beside the baseline).
enum class StreamKernel {
  Unroll1,     // one vector per loop step
  Unroll2,     // two vectors per loop step
  Unroll4,     // four vectors per loop step
  OddEven4,    // four per step, re and im combined by computing both sum and difference
  TwoStreams,  // both halves of a run in one loop: two address streams per worker
  Portable,    // the plain C++ loop as the compiler vectorises it for baseline x86-64
};

// The streaming pass with another kernel, cut as stream_pass.
void stream_pass_variant(std::span<Amp> a, Amp c, StreamKernel kernel, size_t pieces);

// The name of the Highway target the dispatched passes run on, e.g. "AVX3".
const char* vector_target_name();

}  // namespace tavro::bench
