// Kraus channels on one and two qubits: weigh every operator on the state, pick one by weight,
// apply it and renormalise.
#include <array>
#include <cmath>
#include <memory>
#include <new>
#include <span>
#include <string>

#include "channels/select.hpp"
#include "channels/weights.hpp"
#include "gates/kernels/one_qubit.hpp"
#include "gates/kernels/two_qubit.hpp"
#include "par/reduce.hpp"
#include "state/sv.hpp"

namespace tavro {
namespace {

// The operator list holds a whole number of `entries`-entry operators, at least one.
Status check_ops(std::span<const Amp> ops, size_t entries) {
  if (ops.empty() || ops.size() % entries != 0) {
    return std::unexpected(InvalidGateMatrix{"kraus_ops length must be a non-zero multiple of " +
                                             std::to_string(entries) + " (got " +
                                             std::to_string(ops.size()) + ")"});
  }
  return {};
}

// Room for one weight per operator: on the stack for the usual few, from the heap (refusal as a
// value) beyond.
class Weights {
 public:
  static Result<Weights> reserve(size_t count) {
    Weights w;
    w.count_ = count;
    if (count > LOCAL) {
      w.heap_.reset(new (std::nothrow) double[count]);
      // Refusals are counted in amplitudes of 16 bytes, rounded up.
      if (!w.heap_) return std::unexpected(AllocationFailed{count / 2 + count % 2});
    }
    return w;
  }
  std::span<double> span() { return {heap_ ? heap_.get() : local_.data(), count_}; }

 private:
  static constexpr size_t LOCAL = kernels::WEIGH_BATCH;
  std::array<double, LOCAL> local_{};
  std::unique_ptr<double[]> heap_;
  size_t count_ = 0;
};

// Multiplies every real and imaginary part by 1.0 / sqrt(p) when p > 0: the same bits on any
// worker, so it runs on the pool above the cut-over.
void renormalise(std::span<Amp> amps, double p) {
  if (!(p > 0.0)) return;
  const double factor = 1.0 / std::sqrt(p);
  par::par_walk_indexed(amps, [factor](size_t, std::span<Amp> piece) {
    double* d = reinterpret_cast<double*>(piece.data());
    for (size_t k = 0; k < 2 * piece.size(); ++k) d[k] = d[k] * factor;
  });
}

}  // namespace

Result<size_t> TavroSV::apply_kraus_1q(std::span<const Amp> ops, size_t q,
                                       Xoshiro256PlusPlus& rng) {
  // The qubit is resolved (and allocated) before the list is looked at.
  auto slot = resolve(q);
  if (!slot) return std::unexpected(std::move(slot).error());
  TAVRO_TRY(check_ops(ops, 4));
  auto weights = Weights::reserve(ops.size() / 4);
  if (!weights) return std::unexpected(std::move(weights).error());
  const std::span<double> w = weights->span();
  // Batches of operators, each weighed in one read-only sweep with its own accumulators.
  for (size_t first = 0; first < w.size(); first += kernels::WEIGH_BATCH) {
    const size_t count = std::min(kernels::WEIGH_BATCH, w.size() - first);
    kernels::probabilities_after_1q(simd_, amps_.span(), *slot, ops.subspan(4 * first, 4 * count),
                                    w.data() + first);
  }
  const size_t k = channels::select_index(w, rng);
  kernels::apply_1q(simd_, amps_.span(), *slot, channels::operator_at<4>(ops, k));
  renormalise(amps_.span(), w[k]);
  return k;
}

Result<size_t> TavroSV::apply_kraus_2q(std::span<const Amp> ops, size_t q1, size_t q2,
                                       Xoshiro256PlusPlus& rng) {
  auto slots = phys2(q1, q2);
  if (!slots) return std::unexpected(std::move(slots).error());
  const auto [s1, s2] = *slots;
  TAVRO_TRY(check_ops(ops, 16));
  auto weights = Weights::reserve(ops.size() / 16);
  if (!weights) return std::unexpected(std::move(weights).error());
  const std::span<double> w = weights->span();
  // One scratch copy at a time: each operator is applied to a fresh copy of the amplitudes and
  // weighed by the copy's squared norm. The kernel is deterministic, so applying the chosen
  // operator to the state afterwards gives the very bits its copy had.
  AmpBuffer buffer = AmpBuffer::reserve(len());
  if (!buffer.ok()) return std::unexpected(AllocationFailed{len()});
  buffer.set_size(len());
  TavroSV scratch(std::move(buffer), nullptr, live_qubits_, live_qubits_);
  for (size_t k = 0; k < w.size(); ++k) {
    detail::copy_amps(scratch.amps(), amps_.data());
    kernels::apply_2q(simd_, scratch.amps(), s1, s2, channels::operator_at<16>(ops, k));
    w[k] = scratch.norm_squared();
  }
  const size_t k = channels::select_index(w, rng);
  kernels::apply_2q(simd_, amps_.span(), s1, s2, channels::operator_at<16>(ops, k));
  renormalise(amps_.span(), w[k]);
  return k;
}

}  // namespace tavro
