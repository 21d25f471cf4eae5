// The two-qubit gate operations of TavroSV: resolve both qubits, compute parameters, one kernel
// call.
#include <math.h>  // ::sincos, one call for both values of an angle

#include <array>
#include <span>

#include "gates/kernels/two_qubit.hpp"
#include "state/sv.hpp"

namespace tavro {

namespace {

struct SinCos {
  double s;
  double c;
};

// The sine and cosine of half the angle, from one evaluation of theta * 0.5.
SinCos half_angle(double theta) {
  SinCos r{};
  ::sincos(theta * 0.5, &r.s, &r.c);
  return r;
}

constexpr Amp ZERO{0.0, 0.0};

// Every operation has the same shape: phys2 with the qubits in argument order (both range
// checks and the duplicate check before any allocation), and only then the parameters and one
// kernel call with the state's simd flag, the whole buffer at its new length and the two slots
// in argument order. An error returns before anything changed.
template <class Apply>
Status on_pair(TavroSV& sv, size_t q1, size_t q2, const Apply& apply) {
  auto slots = sv.phys2(q1, q2);
  if (!slots) return std::unexpected(std::move(slots).error());
  apply(sv.simd(), sv.amps(), slots->first, slots->second);
  return {};
}

}  // namespace

Status TavroSV::apply_swap_slots(size_t a, size_t b) {
  kernels::apply_swap_kernel(simd_, amps(), a, b);
  return {};
}

Status TavroSV::apply_cx(size_t control, size_t target) {
  return on_pair(*this, control, target, [](bool simd, std::span<Amp> a, size_t c, size_t t) {
    kernels::apply_cx_kernel(simd, a, c, t);
  });
}

Status TavroSV::apply_cy(size_t control, size_t target) {
  return on_pair(*this, control, target, [](bool simd, std::span<Amp> a, size_t c, size_t t) {
    kernels::apply_cy_kernel(simd, a, c, t);
  });
}

Status TavroSV::apply_cz(size_t q1, size_t q2) {
  return on_pair(*this, q1, q2, [](bool simd, std::span<Amp> a, size_t s1, size_t s2) {
    kernels::apply_cz_kernel(simd, a, s1, s2);
  });
}

Status TavroSV::apply_cp(double lmbda, size_t q1, size_t q2) {
  return on_pair(*this, q1, q2, [lmbda](bool simd, std::span<Amp> a, size_t s1, size_t s2) {
    kernels::apply_cp_kernel(simd, a, s1, s2, lmbda);
  });
}

Status TavroSV::apply_crx(double theta, size_t control, size_t target) {
  return on_pair(*this, control, target, [theta](bool simd, std::span<Amp> a, size_t c, size_t t) {
    const SinCos h = half_angle(theta);
    // [U00, U10, U01, U11]
    const std::array<Amp, 4> m{Amp(h.c, 0.0), Amp(0.0, -h.s), Amp(0.0, -h.s), Amp(h.c, 0.0)};
    kernels::apply_ctrl_2x2_kernel(simd, a, c, t, m);
  });
}

Status TavroSV::apply_cry(double theta, size_t control, size_t target) {
  return on_pair(*this, control, target, [theta](bool simd, std::span<Amp> a, size_t c, size_t t) {
    const SinCos h = half_angle(theta);
    const std::array<Amp, 4> m{Amp(h.c, 0.0), Amp(h.s, 0.0), Amp(-h.s, 0.0), Amp(h.c, 0.0)};
    kernels::apply_ctrl_2x2_kernel(simd, a, c, t, m);
  });
}

Status TavroSV::apply_crz(double lmbda, size_t control, size_t target) {
  return on_pair(*this, control, target, [lmbda](bool simd, std::span<Amp> a, size_t c, size_t t) {
    kernels::apply_crz_kernel(simd, a, c, t, lmbda);  // halves the angle itself
  });
}

Status TavroSV::apply_swap(size_t q1, size_t q2) {
  return on_pair(*this, q1, q2, [this](bool, std::span<Amp>, size_t s1, size_t s2) {
    (void)apply_swap_slots(s1, s2);  // never fails
  });
}

Status TavroSV::apply_iswap(size_t q1, size_t q2) {
  return on_pair(*this, q1, q2, [](bool simd, std::span<Amp> a, size_t s1, size_t s2) {
    kernels::apply_iswap_kernel(simd, a, s1, s2);
  });
}

Status TavroSV::apply_rxx(double theta, size_t q1, size_t q2) {
  return on_pair(*this, q1, q2, [theta](bool simd, std::span<Amp> a, size_t s1, size_t s2) {
    const SinCos h = half_angle(theta);
    std::array<Amp, 16> m;
    m.fill(ZERO);
    m[0] = m[5] = m[10] = m[15] = Amp(h.c, 0.0);
    m[3] = m[6] = m[9] = m[12] = Amp(0.0, -h.s);
    kernels::apply_2q(simd, a, s1, s2, m);
  });
}

Status TavroSV::apply_ryy(double theta, size_t q1, size_t q2) {
  return on_pair(*this, q1, q2, [theta](bool simd, std::span<Amp> a, size_t s1, size_t s2) {
    const SinCos h = half_angle(theta);
    std::array<Amp, 16> m;
    m.fill(ZERO);
    m[0] = m[5] = m[10] = m[15] = Amp(h.c, 0.0);
    m[3] = m[12] = Amp(0.0, h.s);
    m[6] = m[9] = Amp(0.0, -h.s);
    kernels::apply_2q(simd, a, s1, s2, m);
  });
}

Status TavroSV::apply_rzz(double theta, size_t q1, size_t q2) {
  return on_pair(*this, q1, q2, [theta](bool simd, std::span<Amp> a, size_t s1, size_t s2) {
    kernels::apply_rzz_kernel(simd, a, s1, s2, theta);  // halves the angle itself
  });
}

Status TavroSV::apply_gate_2q(const std::array<Amp, 16>& gate, size_t q1, size_t q2) {
  return on_pair(*this, q1, q2, [&gate](bool simd, std::span<Amp> a, size_t s1, size_t s2) {
    kernels::apply_2q(simd, a, s1, s2, gate);
  });
}

}  // namespace tavro
