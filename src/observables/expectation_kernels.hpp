#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "amp.hpp"

// The sums behind the expectation values, on a raw interleaved buffer. They validate nothing:
// the slots are distinct live slots of `amps`, and ranges lie inside it. Every sum keeps one
// accumulator and adds its terms in index order, so a result is fixed to the bit; `simd` (the
// state's flag) picks the vector bodies, which compute each term with the same plain products
// and give the same bits as the portable ones.

namespace tavro::kernels {

// The sum from 0+0i over the pairs (a0, a1) = (amps[i], amps[i + 2^slot]), i with bit `slot`
// clear, in increasing i, of conj(a0) b0 + conj(a1) b1 where b0 = op[0] a0 + op[2] a1 and
// b1 = op[1] a0 + op[3] a1 (op column-major).
Amp expectation_1q_kernel(bool simd, std::span<const Amp> amps, size_t slot,
                          const std::array<Amp, 4>& op);

// The sum from 0+0i over the quartets of slots s1 != s2 (s1 the most significant bit of the
// operator's local index), in increasing base index, of sum_k conj(x_k) y_k with
// y_k = sum_l M[k, l] x_l, both sums left to right in the order (bit hi, bit lo) of the slots.
Amp expectation_2q_kernel(bool simd, std::span<const Amp> amps, size_t s1, size_t s2,
                          const std::array<Amp, 16>& op);

// The sum from +0.0 over i in [begin, end), in order, of |amps[i]|^2 (re*re + im*im), negated
// where popcount(i & zmask) is odd.
double pauli_z_sum(bool simd, std::span<const Amp> amps, uint64_t zmask, size_t begin, size_t end);

// The sum from 0+0i over i in [begin, end), in order, of conj(amps[i]) * ((s + 0i) * amps[j]),
// j = i ^ xmask, s = -1 where popcount(j & zmask) is odd and +1 otherwise (full products).
Amp pauli_xz_sum(bool simd, std::span<const Amp> amps, uint64_t xmask, uint64_t zmask, size_t begin,
                 size_t end);

// {pauli_xz_sum over [a, a + len), the same over [b, b + len)} where b + k = (a + k) ^ xmask for
// every k < len: the partner ranges of each other, both sums computed from one read of each.
std::pair<Amp, Amp> pauli_xz_sum_pair(bool simd, std::span<const Amp> amps, uint64_t xmask,
                                      uint64_t zmask, size_t a, size_t b, size_t len);

}  // namespace tavro::kernels
