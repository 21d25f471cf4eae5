// Projective measurement, reset and the raw per-outcome sums behind them.
#include "sample/measure.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "gates/kernels/one_qubit.hpp"
#include "par/pool.hpp"
#include "par/reduce.hpp"
#include "state/sv.hpp"

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

// The run rule over [begin, end) for a slot above 0: each run of indices sharing bit `slot`
// is summed from -0.0 in index order, then added to p0 or p1 in run order. Four whole runs
// are summed side by side: four independent chains doing exactly a lone run's additions, so
// the loop is not held to the latency of one chain.
void add_runs(const Amp* a, size_t slot, size_t begin, size_t end, double& p0, double& p1) {
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
  for (; end - i >= 4 * s; i += 4 * s) {
    const Amp* x = a + i;
    double r0 = -0.0, r1 = -0.0, r2 = -0.0, r3 = -0.0;
    for (size_t k = 0; k < s; ++k) {
      r0 = r0 + abs2(x[k]);
      r1 = r1 + abs2(x[s + k]);
      r2 = r2 + abs2(x[2 * s + k]);
      r3 = r3 + abs2(x[3 * s + k]);
    }
    add(i, r0);
    add(i + s, r1);
    add(i + 2 * s, r2);
    add(i + 3 * s, r3);
  }
  while (i < end) {
    const size_t stop = i + std::min(end - i, s);
    add(i, run_sum(a, i, stop));
    i = stop;
  }
}

// Zeroes or scales the amplitudes of piece [offset, offset + n) (global indices) by whether
// their bit `slot` equals the kept outcome.
void collapse_piece(Amp* piece, size_t offset, size_t n, size_t slot, size_t outcome,
                    double scale) {
  const auto keep = [scale](Amp* x, size_t m) {
    double* d = reinterpret_cast<double*>(x);
    for (size_t k = 0; k < 2 * m; ++k) d[k] = d[k] * scale;
  };
  const auto drop = [](Amp* x, size_t m) { std::fill(x, x + m, Amp(0.0, 0.0)); };
  if (slot == 0) {
    for (size_t k = 0; k < n; ++k) {
      if (((offset + k) & 1) == outcome) {
        keep(piece + k, 1);
      } else {
        drop(piece + k, 1);
      }
    }
    return;
  }
  const size_t s = size_t{1} << slot;
  for (size_t k = 0; k < n;) {
    const size_t i = offset + k;
    const size_t len = std::min(n - k, s - (i & (s - 1)));
    if (((i >> slot) & 1) == outcome) {
      keep(piece + k, len);
    } else {
      drop(piece + k, len);
    }
    k += len;
  }
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

Status project_slot(std::span<Amp> amps, size_t slot, uint8_t outcome, double prob) {
  // A NaN probability passes and scales by NaN: only a certain-zero outcome is refused.
  if (prob <= 1e-300) {
    return std::unexpected(InvalidBasisIndex{"projection on qubit " + std::to_string(slot) +
                                             " outcome " + std::to_string(outcome) +
                                             " has zero probability"});
  }
  // A multiplication by the reciprocal, not a division per component.
  const double scale = 1.0 / std::sqrt(prob);
  par::par_walk_indexed(amps, [slot, outcome, scale](size_t offset, std::span<Amp> piece) {
    collapse_piece(piece.data(), offset, piece.size(), slot, outcome, scale);
  });
  return {};
}

Result<uint8_t> measure_slot(std::span<Amp> amps, size_t slot, Xoshiro256PlusPlus& rng) {
  const auto [p0, p1] = abs2_sums(amps, slot);
  const double u = rng.next_f64();
  // Strict: u = p0 picks 1, and so does a NaN p0.
  const uint8_t outcome = u < p0 ? 0 : 1;
  TAVRO_TRY(project_slot(amps, slot, outcome, outcome == 0 ? p0 : p1));
  return outcome;
}

Result<double> TavroSV::prob_zero(size_t q) const {
  if (q >= num_qubits_) return std::unexpected(QubitIndexOutOfBounds{q, num_qubits_});
  size_t slot = q;
  if (slots_) {
    if ((*slots_)[q] == NO_SLOT) return 1.0;  // untouched: |0>, whatever the norm
    slot = (*slots_)[q];
  }
  return abs2_sums(amps_.span(), slot).first;
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
