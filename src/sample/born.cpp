// Born-rule sampling: the cumulative block index and multi-shot sampling without collapse.
#include "sample/born.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "format.hpp"
#include "par/plan.hpp"
#include "par/pool.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

constexpr size_t BLOCK = BornIndex::BLOCK;
constexpr size_t MAX_SIZE = std::numeric_limits<size_t>::max();

// Two products rounded on their own, then their sum: never a fused multiply-add.
inline double abs2(const Amp& a) {
  const double re2 = a.real() * a.real();
  const double im2 = a.imag() * a.imag();
  return re2 + im2;
}

// Block sums of blocks [first, last) into out[first..last). Eight whole blocks run side by
// side as eight independent chains, each doing exactly a lone block's additions, so the
// loop is not held to the latency of one chain.
void block_sums(const Amp* a, size_t n, size_t first, size_t last, double* out) {
  constexpr size_t LANES = 8;
  size_t b = first;
  for (; last - b >= LANES && (b + LANES) * BLOCK <= n; b += LANES) {
    std::array<double, LANES> acc;
    acc.fill(-0.0);
    const Amp* x = a + b * BLOCK;
    for (size_t k = 0; k < BLOCK; ++k) {
      for (size_t j = 0; j < LANES; ++j) acc[j] = acc[j] + abs2(x[j * BLOCK + k]);
    }
    std::copy(acc.begin(), acc.end(), out + b);
  }
  for (; b < last; ++b) {
    double acc = -0.0;
    const size_t end = std::min(n, (b + 1) * BLOCK);
    for (size_t k = b * BLOCK; k < end; ++k) acc = acc + abs2(a[k]);
    out[b] = acc;
  }
}

size_t saturating_mul(size_t x, size_t y) { return y != 0 && x > MAX_SIZE / y ? MAX_SIZE : x * y; }

// A refused sampling buffer of `bytes_per_shot` bytes for each shot.
Error refused(size_t nshots, size_t bytes_per_shot) {
  return AllocationFailed{0, nshots, bytes_per_shot};
}

// Writes row s of the output from the physical index k.
struct RowWriter {
  std::array<uint8_t, 64> shift;  // the slot of each logical qubit, NO_SLOT for none
  size_t nq;
  uint8_t* rows;

  void operator()(size_t s, size_t k) const {
    uint8_t* row = rows + s * nq;
    for (size_t q = 0; q < nq; ++q) {
      if (shift[q] != NO_SLOT) row[q] = static_cast<uint8_t>((k >> shift[q]) & 1);
    }
  }
};

// f(first, last) over [0, n): on the pool in about 4T ranges, or at once on this thread.
template <class F>
void over_ranges(size_t n, bool parallel, const F& f) {
  if (!parallel) return f(size_t{0}, n);
  const par::Plan p = par::plan_reduce(n, par::NUM_THREADS());
  par::run_pieces(p.pieces, [&](size_t i) {
    const par::PieceRange pr = par::piece_range(n, p.chunk, i);
    f(pr.start, pr.start + pr.len);
  });
}

// One search and one scan per shot: each row depends on its r alone.
void rows_by_shot(const BornIndex& index, std::span<const Amp> amps, const double* r, size_t nshots,
                  bool parallel, const RowWriter& w) {
  over_ranges(nshots, parallel, [&](size_t first, size_t last) {
    for (size_t s = first; s < last; ++s) w(s, index.locate(amps, r[s]));
  });
}

// The same rows when shots outnumber blocks: shots are grouped by block (counting sort, shot
// order kept), each touched block's scan sums are formed once per range of the grouping, and
// every shot takes the first sum >= r by binary search. The sums never decrease (adding a
// non-negative term never rounds below the previous sum), so that is where the scan would
// have stopped, and none being >= r gives the block's last index as the scan does. Returns
// false, having written nothing, when the grouping cannot be reserved.
bool rows_by_block(const BornIndex& index, std::span<const Amp> amps, const double* r,
                   size_t nshots, bool parallel, const RowWriter& w) {
  const size_t nb = index.entries().size();
  const std::unique_ptr<size_t[]> block(new (std::nothrow) size_t[nshots]);
  const std::unique_ptr<size_t[]> order(new (std::nothrow) size_t[nshots]);
  const std::unique_ptr<size_t[]> end(new (std::nothrow) size_t[nb]);
  if (!block || !order || !end) return false;
  over_ranges(nshots, parallel, [&](size_t first, size_t last) {
    for (size_t s = first; s < last; ++s) block[s] = index.block_of(r[s]);
  });
  std::fill(end.get(), end.get() + nb, size_t{0});
  for (size_t s = 0; s < nshots; ++s) ++end[block[s]];
  for (size_t b = 1; b < nb; ++b) end[b] += end[b - 1];
  for (size_t s = nshots; s-- > 0;) order[--end[block[s]]] = s;
  over_ranges(nshots, parallel, [&](size_t first, size_t last) {
    double sums[BLOCK];
    for (size_t j = first; j < last;) {
      const size_t b = block[order[j]];
      const size_t len = index.scan_sums(amps, b, sums);
      for (; j < last && block[order[j]] == b; ++j) {
        const size_t s = order[j];
        const size_t k = static_cast<size_t>(std::lower_bound(sums, sums + len, r[s]) - sums);
        w(s, b * BLOCK + std::min(k, len - 1));
      }
    }
  });
  return true;
}

}  // namespace

Result<BornIndex> BornIndex::build(std::span<const Amp> amps) {
  const size_t n = amps.size();
  const size_t nb = n / BLOCK + (n % BLOCK != 0);
  std::vector<double> entries(nb);
  const Amp* a = amps.data();
  if (par::runs_parallel(n)) {
    // Each block sum is independent of the cut, so the index never depends on the workers.
    const par::Plan p = par::plan_reduce(nb, par::NUM_THREADS());
    par::run_pieces(p.pieces, [&](size_t i) {
      const par::PieceRange r = par::piece_range(nb, p.chunk, i);
      block_sums(a, n, r.start, r.start + r.len, entries.data());
    });
  } else {
    block_sums(a, n, 0, nb, entries.data());
  }
  double acc = 0.0;
  for (double& e : entries) {
    acc = acc + e;
    e = acc;
  }
  const double total = nb == 0 ? 0.0 : entries.back();
  if (!std::isfinite(total)) {
    // A sum of squares reaches only +inf or NaN.
    return std::unexpected(DegenerateState{std::string("non-finite squared norm (") +
                                           (std::isnan(total) ? "NaN" : "inf") + ")"});
  }
  if (total < 1e-300) {
    return std::unexpected(DegenerateState{"squared norm " + format_scientific(total, 3) +
                                           " is too small to sample from"});
  }
  return BornIndex(std::move(entries));
}

size_t BornIndex::block_of(double r) const {
  const double* e = entries_.data();
  const size_t nb = entries_.size();
  // Branch-free: the comparison picks the base, the size halves whatever it says.
  size_t base = 0;
  size_t size = nb;
  while (size > 1) {
    const size_t half = size / 2;
    base = e[base + half] < r ? base + half : base;
    size -= half;
  }
  return std::min(base + (e[base] < r ? 1 : 0), nb - 1);
}

size_t BornIndex::locate(std::span<const Amp> amps, double r) const {
  const size_t b = block_of(r);
  // The scan rebuilds the running sum amplitude by amplitude from the previous entry.
  double acc = b == 0 ? 0.0 : entries_[b - 1];
  const size_t end = std::min(amps.size(), (b + 1) * BLOCK);
  const Amp* a = amps.data();
  for (size_t i = b * BLOCK; i < end; ++i) {
    acc = acc + abs2(a[i]);
    if (acc >= r) return i;
  }
  return end - 1;  // rounding left the rebuilt sum below r
}

size_t BornIndex::scan_sums(std::span<const Amp> amps, size_t b, double* out) const {
  double acc = b == 0 ? 0.0 : entries_[b - 1];
  const size_t begin = b * BLOCK;
  const size_t len = std::min(amps.size(), begin + BLOCK) - begin;
  const Amp* a = amps.data() + begin;
  for (size_t k = 0; k < len; ++k) out[k] = acc = acc + abs2(a[k]);
  return len;
}

double BornIndex::total() const {
  if (entries_.empty()) throw Fault("state vector is never empty");
  return entries_.back();
}

Result<std::vector<uint8_t>> TavroSV::sample(size_t nshots, Xoshiro256PlusPlus& rng) const {
  const std::span<const Amp> amps = amps_.span();
  auto index = BornIndex::build(amps);
  if (!index) return std::unexpected(std::move(index).error());
  const double total = index->total();
  const size_t nq = num_qubits_;

  // Both reservations come before the first draw, so a refused one leaves the generator as
  // it was and nothing is written. The uniforms are reserved for rows of no qubit too: a shot
  // count that cannot be held is refused at once whatever the width, not drawn for ever.
  std::unique_ptr<double[]> rs;
  if (nshots <= MAX_SIZE / sizeof(double)) rs.reset(new (std::nothrow) double[nshots]);
  if (!rs && nshots != 0) return std::unexpected(refused(nshots, sizeof(double)));
  if (nq == 0) {
    // Rows of no bytes: the draws still happen, nothing needs keeping.
    for (size_t s = 0; s < nshots; ++s) rng.next_u64();
    return std::vector<uint8_t>{};
  }
  std::vector<uint8_t> out;
  try {
    if (saturating_mul(nshots, nq) == MAX_SIZE) throw std::bad_alloc();
    out.resize(nshots * nq);
  } catch (const std::bad_alloc&) {
    return std::unexpected(refused(nshots, nq));
  } catch (const std::length_error&) {
    return std::unexpected(refused(nshots, nq));
  }

  // Every uniform first, in shot order, on this thread.
  for (size_t s = 0; s < nshots; ++s) rs[s] = rng.next_f64() * total;

  // The bit shift of each logical qubit; NO_SLOT leaves its byte 0.
  RowWriter w{{}, nq, out.data()};
  for (size_t q = 0; q < nq; ++q) w.shift[q] = slots_ ? (*slots_)[q] : static_cast<uint8_t>(q);
  // A shot costs about one block scan, hence the 2048 amplitudes per shot in the threshold.
  const bool parallel = par::runs_parallel(saturating_mul(nshots, BLOCK));
  const size_t nb = index->entries().size();
  if (nshots / 2 >= nb && rows_by_block(*index, amps, rs.get(), nshots, parallel, w)) return out;
  rows_by_shot(*index, amps, rs.get(), nshots, parallel, w);
  return out;
}

Result<std::vector<uint8_t>> TavroSV::sample_bitstring(Xoshiro256PlusPlus& rng) const {
  return sample(1, rng);
}

}  // namespace tavro
