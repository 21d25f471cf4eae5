#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "amp.hpp"

// The weights of one-qubit Kraus operators: the raw squared norm the state would have after
// each operator, computed without changing the buffer. Kernel-level: nothing is validated, the
// buffer is read only, and everything runs on the caller's thread, so a weight has the same
// bits for every worker count.

namespace tavro::kernels {

// How many operators one sweep over the buffer weighs at most.
inline constexpr size_t WEIGH_BATCH = 8;

// p = ||m psi||^2 for the column-major 2x2 m = [U00, U10, U01, U11] on slot t: from +0.0, for
// every block of 2^(t+1) amplitudes in address order and every i of its lower half in order,
// p = p + (|b0|^2 + |b1|^2) with b0 = m0 a0 + m2 a1, b1 = m1 a0 + m3 a1 (plain products, as
// apply_1q forms them) and |b|^2 = re*re + im*im. An empty buffer gives +0.0. The buffer is a
// power of two at least 2^(t+1) long (or empty).
double probability_after_1q(std::span<const Amp> amps, size_t t, const std::array<Amp, 4>& m);

// The weights of ops.size() / 4 operators (1 to WEIGH_BATCH, 4 entries each) in one sweep:
// out[k] has exactly the bits of probability_after_1q for operator k, each weight keeping its
// own accumulator in the same order. `simd` picks the vector body (the same bits); operators
// whose entries are all real or all imaginary skip the products that are exact zeros, with the
// same bits (the full products run again when such a weight is not finite).
void probabilities_after_1q(bool simd, std::span<const Amp> amps, size_t t,
                            std::span<const Amp> ops, double* out);

}  // namespace tavro::kernels
