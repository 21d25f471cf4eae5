// Projective measurement, reset and the raw per-outcome sums behind them.
#include "sample/measure.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "gates/kernels/one_qubit.hpp"
#include "par/pool.hpp"
#include "par/reduce.hpp"
#include "state/sv.hpp"
#include "stream_store.hpp"

namespace tavro {
namespace {

using Sums = std::pair<double, double>;

// Two products rounded on their own, then their sum: never a fused multiply-add.
inline double abs2(const Amp& a) {
  const double re2 = a.real() * a.real();
  const double im2 = a.imag() * a.imag();
  return re2 + im2;
}

inline double run_sum(const Amp* a, size_t begin, size_t end) {
  double acc = -0.0;
  for (size_t k = begin; k < end; ++k) acc = acc + abs2(a[k]);
  return acc;
}

// Reads one double of every 64-byte line of a[0, m) in address order and folds their bits into
// `seen`. Summing four short runs side by side interleaves four streams a few hundred bytes
// apart, which was measured up to 3.5 times slower than one forward stream; read in order first,
// the runs are summed from the cache.
inline uint64_t touch(const Amp* a, size_t m, uint64_t seen) {
  const double* d = reinterpret_cast<const double*>(a);
  for (size_t i = 0; i < 2 * m; i += 8) seen |= std::bit_cast<uint64_t>(d[i]);
  return seen;
}

// Groups of four runs up to this many amplitudes (16 KiB) are touched first.
constexpr size_t TOUCH_GROUP = 1024;

// Runs of this many amplitudes or more (256 MiB) lie a multiple of 2^28 bytes apart, so the
// same offset in two of them has the same address bits 0-27: read side by side, such lines
// evict each other from the level-1 cache of some processors (its way predictor keys on a hash
// of bits 12-27), measured 2x slower than one run after the other. Side by side they are read
// with a lag instead, each chain LAG amplitudes behind the one before it.
constexpr size_t ALIASED_RUN = size_t{1} << 24;
constexpr size_t LAG = 512;  // 8 KiB

// The sums of W whole runs of s amplitudes at x, x + stride, ..., each from -0.0 in index order,
// as W independent chains; chain j runs `lag` amplitudes behind chain j - 1 (lag = 0: in step).
// Needs s >= (W - 1) * lag.
template <size_t W>
void side_by_side(const Amp* x, size_t s, size_t stride, size_t lag, double* r) {
  for (size_t j = 0; j < W; ++j) r[j] = -0.0;
  // k is chain 0's position; chain j is at k - j * lag while that lies in [0, s).
  size_t k = 0;
  for (size_t p = 1; p < W; ++p) {  // chains 0 .. p - 1 only
    for (; k < p * lag; ++k) {
      for (size_t j = 0; j < p; ++j) r[j] = r[j] + abs2(x[j * stride + k - j * lag]);
    }
  }
  for (; k < s; ++k) {
    for (size_t j = 0; j < W; ++j) r[j] = r[j] + abs2(x[j * stride + k - j * lag]);
  }
  for (size_t p = 1; p < W; ++p) {  // chains p .. W - 1 only
    for (; k < s + p * lag; ++k) {
      for (size_t j = p; j < W; ++j) r[j] = r[j] + abs2(x[j * stride + k - j * lag]);
    }
  }
}

// The run rule over [begin, end) for a slot above 0: each run of indices sharing bit `slot`
// is summed from -0.0 in index order, then added to p0 or p1 in run order. Four (or two) whole
// runs are summed side by side: independent chains doing exactly a lone run's additions, so the
// loop is not held to the latency of one chain.
void add_runs(const Amp* a, size_t slot, size_t begin, size_t end, double& out0, double& out1) {
  // The sums live in locals: through the references, which might alias the amplitudes, each
  // addition went to memory and back, and that round trip held the chains (slot 1 on one worker
  // ran at 1.4 streaming passes, slot 0 at 0.9).
  double p0 = out0, p1 = out1;
  const size_t s = size_t{1} << slot;
  const auto add = [&](size_t first, double run) {
    if ((first >> slot) & 1) {
      p1 = p1 + run;
    } else {
      p0 = p0 + run;
    }
  };
  size_t i = begin;
  if (i < end && (i & (s - 1)) != 0) {  // a piece may start inside a run
    const size_t stop = i + std::min(end - i, s - (i & (s - 1)));
    add(i, run_sum(a, i, stop));
    i = stop;
  }
  uint64_t seen = 0;
  if (s == 2) {
    // Runs of two: -0.0 + x is x bit for bit (x = |a|^2 is never -0.0), so a run sum is one
    // addition. Four runs from a multiple of 8 go to p0, p1, p0, p1.
    for (; (i & 7) != 0 && end - i >= 2; i += 2) add(i, run_sum(a, i, i + 2));
    for (; end - i >= 8; i += 8) {
      const Amp* x = a + i;
      const double r0 = abs2(x[0]) + abs2(x[1]);
      const double r1 = abs2(x[2]) + abs2(x[3]);
      const double r2 = abs2(x[4]) + abs2(x[5]);
      const double r3 = abs2(x[6]) + abs2(x[7]);
      p0 = p0 + r0;
      p1 = p1 + r1;
      p0 = p0 + r2;
      p1 = p1 + r3;
    }
  }
  const size_t lag = s >= ALIASED_RUN ? LAG : 0;
  for (; end - i >= 4 * s; i += 4 * s) {
    const Amp* x = a + i;
    double r[4];
    if (4 * s <= TOUCH_GROUP) seen = touch(x, 4 * s, seen);
    if (lag != 0) {
      side_by_side<4>(x, s, s, lag, r);
    } else {
      r[0] = -0.0, r[1] = -0.0, r[2] = -0.0, r[3] = -0.0;
      for (size_t k = 0; k < s; ++k) {
        r[0] = r[0] + abs2(x[k]);
        r[1] = r[1] + abs2(x[s + k]);
        r[2] = r[2] + abs2(x[2 * s + k]);
        r[3] = r[3] + abs2(x[3 * s + k]);
      }
    }
    add(i, r[0]);
    add(i + s, r[1]);
    add(i + 2 * s, r[2]);
    add(i + 3 * s, r[3]);
  }
  if (end - i >= 2 * s) {  // the two halves of the top slot, when sequential
    double r[2];
    side_by_side<2>(a + i, s, s, lag, r);
    add(i, r[0]);
    add(i + s, r[1]);
    i += 2 * s;
  }
  while (i < end) {
    const size_t stop = i + std::min(end - i, s);
    add(i, run_sum(a, i, stop));
    i = stop;
  }
  out0 = p0;
  out1 = p1;
  // Keeps the touch loads: a volatile store of their folded bits, once per call.
  volatile uint64_t sink = seen;
  (void)sink;
}

// One outcome's runs are read alone from slot 2 (one line per run), except on slots 3 and 4:
// there the wanted lines come in pairs and fours between as many skipped ones, and reading them
// alone was measured slower than reading every line (0.7 to 1.0 of a streaming pass against 0.65).
constexpr bool reads_one_outcome(size_t slot) { return slot == 2 || slot >= 5; }

// The sum of one outcome alone over [begin, end) on a slot where reads_one_outcome, with exactly
// the additions add_runs makes to that outcome's sum; the other outcome's lines are never read.
// Eight wanted runs are summed side by side, so the loop is not held to one chain's latency.
double add_runs_of(const Amp* a, size_t slot, size_t outcome, size_t begin, size_t end) {
  constexpr size_t W = 8;
  const size_t s = size_t{1} << slot;
  const auto wanted = [&](size_t i) { return ((i >> slot) & 1) == outcome; };
  double p = 0.0;
  size_t i = begin;
  if (i < end && (i & (s - 1)) != 0) {  // a piece may start inside a run
    const size_t stop = i + std::min(end - i, s - (i & (s - 1)));
    if (wanted(i)) p = p + run_sum(a, i, stop);
    i = stop;
  }
  if (i < end && !wanted(i)) i += std::min(end - i, s);
  // From here i is at the start of a wanted run (or at the end), the next one 2s further on.
  const size_t lag = s >= ALIASED_RUN ? LAG : 0;
  for (; end - i >= (2 * W - 1) * s; i += std::min(end - i, 2 * W * s)) {
    double r[W];
    side_by_side<W>(a + i, s, 2 * s, lag, r);
    for (size_t j = 0; j < W; ++j) p = p + r[j];
  }
  for (; i < end; i += std::min(end - i, 2 * s)) {
    p = p + run_sum(a, i, i + std::min(end - i, s));
  }
  return p;
}

// Every part of a[0, m) times scale, one product each.
void scale_run(Amp* a, size_t m, double scale) {
  double* d = reinterpret_cast<double*>(a);
  for (size_t k = 0; k < 2 * m; ++k) d[k] = d[k] * scale;
}

// Zeroes or scales the amplitudes of piece [offset, offset + n) (global indices) by whether
// their bit `slot` equals the kept outcome.
void collapse_piece(Amp* piece, size_t offset, size_t n, size_t slot, size_t outcome,
                    double scale) {
  if (slot == 0) {
    // Alternate amplitudes: a whole pair at a time once the index is even.
    size_t k = 0;
    const auto one = [&](size_t j) {
      if (((offset + j) & 1) == outcome) {
        scale_run(piece + j, 1, scale);
      } else {
        piece[j] = Amp(0.0, 0.0);
      }
    };
    if (k < n && ((offset + k) & 1) != 0) one(k++);
    double* d = reinterpret_cast<double*>(piece);
    const size_t keep = 2 * outcome;  // the double index of the kept amplitude in a pair
    for (; k + 2 <= n; k += 2) {
      double* p = d + 2 * k;
      p[keep] = p[keep] * scale;
      p[keep + 1] = p[keep + 1] * scale;
      p[2 - keep] = 0.0;
      p[3 - keep] = 0.0;
    }
    if (k < n) one(k);
    return;
  }
  const size_t s = size_t{1} << slot;
  size_t k = 0;
  if (slot == 1) {
    // Runs of two alternate: a group of four amplitudes at a time once the index is a
    // multiple of 4 (the general loop below takes the ends).
    const size_t lead = std::min(n, (4 - (offset & 3)) & 3);
    for (size_t j = 0; j < lead; ++j) {
      Amp* x = piece + j;
      if (((offset + j) >> 1 & 1) == outcome) {
        scale_run(x, 1, scale);
      } else {
        *x = Amp(0.0, 0.0);
      }
    }
    k = lead;
    double* d = reinterpret_cast<double*>(piece);
    const size_t keep = 4 * outcome;  // the double index of the kept run in a group
    for (; k + 4 <= n; k += 4) {
      double* p = d + 2 * k;
      for (size_t j = 0; j < 4; ++j) p[keep + j] = p[keep + j] * scale;
      for (size_t j = 0; j < 4; ++j) p[4 - keep + j] = 0.0;
    }
  }
  for (; k < n;) {
    const size_t i = offset + k;
    const size_t len = std::min(n - k, s - (i & (s - 1)));
    if (((i >> slot) & 1) == outcome) {
      scale_run(piece + k, len, scale);
    } else {
      stream_zero(piece + k, len);
    }
    k += len;
  }
  stream_fence();
}

}  // namespace

namespace detail {

std::pair<double, double> abs2_sums_sequential(std::span<const Amp> amps, size_t slot) {
  const Amp* a = amps.data();
  const size_t n = amps.size();
  double p0 = 0.0, p1 = 0.0;
  if (slot == 0) {
    // Runs of one amplitude: a run sum is -0.0 + |a|^2, which is |a|^2 bit for bit.
    size_t k = 0;
    for (; k + 1 < n; k += 2) {
      p0 = p0 + abs2(a[k]);
      p1 = p1 + abs2(a[k + 1]);
    }
    if (k < n) p0 = p0 + abs2(a[k]);
    return {p0, p1};
  }
  add_runs(a, slot, 0, n, p0, p1);
  return {p0, p1};
}

std::pair<double, double> abs2_sums_piece(std::span<const Amp> amps, size_t slot, size_t begin,
                                          size_t end) {
  const Amp* a = amps.data();
  double p0 = 0.0, p1 = 0.0;
  if (slot != 0) {
    add_runs(a, slot, begin, end, p0, p1);
    return {p0, p1};
  }
  // [7, 13): p1 = |a7|^2 and p0 = |a12|^2 come first, then the pairs (8, 9), (10, 11):
  // p0 = (|a12|^2 + |a8|^2) + |a10|^2, p1 = (|a7|^2 + |a9|^2) + |a11|^2.
  if (begin < end && (begin & 1) != 0) {
    p1 = abs2(a[begin]);
    ++begin;
  }
  if (((end - begin) & 1) != 0) {
    p0 = abs2(a[end - 1]);
    --end;
  }
  for (size_t k = begin; k < end; k += 2) {
    p0 = p0 + abs2(a[k]);
    p1 = p1 + abs2(a[k + 1]);
  }
  return {p0, p1};
}

}  // namespace detail

std::pair<double, double> abs2_sums(std::span<const Amp> amps, size_t slot) {
  const size_t n = amps.size();
  if (!par::runs_parallel(n)) return detail::abs2_sums_sequential(amps, slot);
  return par::par_reduce(
      n, Sums{0.0, 0.0},
      [amps, slot](size_t begin, size_t end) {
        return detail::abs2_sums_piece(amps, slot, begin, end);
      },
      [](Sums x, const Sums& y) {
        return Sums{x.first + y.first, x.second + y.second};
      });
}

double abs2_sum(std::span<const Amp> amps, size_t slot, uint8_t outcome) {
  if (!reads_one_outcome(slot)) {
    const auto [p0, p1] = abs2_sums(amps, slot);
    return outcome == 0 ? p0 : p1;
  }
  const Amp* a = amps.data();
  const size_t n = amps.size();
  if (!par::runs_parallel(n)) return add_runs_of(a, slot, outcome, 0, n);
  return par::par_reduce(
      n, 0.0,
      [a, slot, outcome](size_t begin, size_t end) {
        return add_runs_of(a, slot, outcome, begin, end);
      },
      [](double x, double y) { return x + y; });
}

Status project_slot(std::span<Amp> amps, size_t slot, uint8_t outcome, double prob) {
  // A NaN probability passes and scales by NaN: only a certain-zero outcome is refused.
  if (prob <= 1e-300) {
    return std::unexpected(InvalidBasisIndex{"projection on qubit " + std::to_string(slot) +
                                             " outcome " + std::to_string(outcome) +
                                             " has zero probability"});
  }
  // A multiplication by the reciprocal, not a division per component.
  const double scale = 1.0 / std::sqrt(prob);
  par::par_walk_indexed(amps, [=](size_t offset, std::span<Amp> piece) {
    collapse_piece(piece.data(), offset, piece.size(), slot, outcome, scale);
  });
  return {};
}

Result<uint8_t> measure_slot(std::span<Amp> amps, size_t slot, Xoshiro256PlusPlus& rng) {
  // p1 is read only when it is drawn, which saves half a read on average.
  const bool both = !reads_one_outcome(slot);
  const auto [p0, p1] = both ? abs2_sums(amps, slot) : Sums{abs2_sum(amps, slot, 0), 0.0};
  const double u = rng.next_f64();
  // Strict: u = p0 picks 1, and so does a NaN p0.
  const uint8_t outcome = u < p0 ? 0 : 1;
  const double prob = outcome == 0 ? p0 : (both ? p1 : abs2_sum(amps, slot, 1));
  TAVRO_TRY(project_slot(amps, slot, outcome, prob));
  return outcome;
}

Result<double> TavroSV::prob_zero(size_t q) const {
  if (q >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q, num_qubits_});
  size_t slot = q;
  if (slots_) {
    if ((*slots_)[q] == NO_SLOT) return 1.0;  // untouched: |0>, whatever the norm
    slot = (*slots_)[q];
  }
  return abs2_sum(amps_.span(), slot, 0);
}

Result<uint8_t> TavroSV::measure_qubit(size_t q, Xoshiro256PlusPlus& rng) {
  if (q >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q, num_qubits_});
  if (slots_ && (*slots_)[q] == NO_SLOT) {
    rng.next_u64();  // the step keeps the stream aligned with a live measurement
    return uint8_t{0};
  }
  const size_t slot = slots_ ? (*slots_)[q] : q;
  return measure_slot(amps_.span(), slot, rng);
}

Result<uint8_t> TavroSV::reset_qubit(size_t q, Xoshiro256PlusPlus& rng) {
  if (q >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q, num_qubits_});
  if (slots_ && (*slots_)[q] == NO_SLOT) {
    rng.next_u64();
    return uint8_t{0};
  }
  const size_t slot = slots_ ? (*slots_)[q] : q;
  auto outcome = measure_slot(amps_.span(), slot, rng);
  if (outcome && *outcome == 1) kernels::apply_x_kernel(amps_.span(), slot);
  return outcome;
}

}  // namespace tavro
