#pragma once

#include <array>
#include <cstddef>

#include "amp.hpp"
#include "gates/kernels/complex.hpp"

// The plain-form matrix updates shared by the two-qubit and the multi-controlled kernels, one
// group of amplitudes at a time; every output comes from the old values. Their vector
// counterparts, lane for lane, are in matrix_ops-inl.h.

namespace tavro::kernels {

// m = [U00, U10, U01, U11]: x' = U00 x + U01 y, y' = U10 x + U11 y, terms added left to right.
struct Ctrl2x2PlainOne {
  std::array<Amp, 4> m;
  void operator()(Amp& x, Amp& y) const {
    const Amp nx = add_plain(mul_plain(m[0], x), mul_plain(m[2], y));
    const Amp ny = add_plain(mul_plain(m[1], x), mul_plain(m[3], y));
    x = nx;
    y = ny;
  }
};

// a_r' = ((m[r] a0 + m[r+4] a1) + m[r+8] a2) + m[r+12] a3, plain products and sums.
struct Dense4x4PlainOne {
  std::array<Amp, 16> m;
  Amp row(size_t r, Amp a0, Amp a1, Amp a2, Amp a3) const {
    Amp t = mul_plain(m[r], a0);
    t = add_plain(t, mul_plain(m[r + 4], a1));
    t = add_plain(t, mul_plain(m[r + 8], a2));
    return add_plain(t, mul_plain(m[r + 12], a3));
  }
  void operator()(Amp& a0, Amp& a1, Amp& a2, Amp& a3) const {
    const Amp n0 = row(0, a0, a1, a2, a3), n1 = row(1, a0, a1, a2, a3);
    const Amp n2 = row(2, a0, a1, a2, a3), n3 = row(3, a0, a1, a2, a3);
    a0 = n0;
    a1 = n1;
    a2 = n2;
    a3 = n3;
  }
};

}  // namespace tavro::kernels
