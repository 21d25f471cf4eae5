#pragma once

#include <array>
#include <cstddef>

#include "amp.hpp"
#include "gates/kernels/complex.hpp"

// The matrix updates shared by the two-qubit and the multi-controlled kernels, in either
// arithmetic form, one group of amplitudes at a time; every output comes from the old values. Their
// vector counterparts, lane for lane, are in matrix_ops-inl.h.

namespace tavro::kernels {

// m = [U00, U10, U01, U11]: x' = U00 x + U01 y, y' = U10 x + U11 y, terms in column order.
template <class Form>
struct Ctrl2x2One {
  std::array<Amp, 4> m;
  void operator()(Amp& x, Amp& y) const {
    const Amp nx = Form::next(m[2], y, Form::first(m[0], x));
    const Amp ny = Form::next(m[3], y, Form::first(m[1], x));
    x = nx;
    y = ny;
  }
};

// a_r' = ((m[r] a0 + m[r+4] a1) + m[r+8] a2) + m[r+12] a3 in the row form of Form.
template <class Form>
struct Dense4x4One {
  std::array<Amp, 16> m;
  Amp row(size_t r, Amp a0, Amp a1, Amp a2, Amp a3) const {
    Amp t = Form::first(m[r], a0);
    t = Form::next(m[r + 4], a1, t);
    t = Form::next(m[r + 8], a2, t);
    return Form::next(m[r + 12], a3, t);
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

using Ctrl2x2PlainOne = Ctrl2x2One<PlainForm>;
using Ctrl2x2FusedOne = Ctrl2x2One<FusedForm>;
using Dense4x4PlainOne = Dense4x4One<PlainForm>;
using Dense4x4FusedOne = Dense4x4One<FusedForm>;

}  // namespace tavro::kernels
