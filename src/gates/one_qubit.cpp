// The one-qubit gate operations of TavroSV: check, resolve, compute parameters, one kernel call.
#include <math.h>  // ::sincos, one call for both values of an angle

#include <array>
#include <bit>
#include <cstdint>

#include "gates/kernels/one_qubit.hpp"
#include "state/sv.hpp"

namespace tavro {

namespace {

struct SinCos {
  double s;
  double c;
};

SinCos sin_cos(double x) {
  SinCos r{};
  ::sincos(x, &r.s, &r.c);
  return r;
}

// The cosine and sine of pi/4 in binary64: the real part is the correctly rounded sqrt(1/2),
// the imaginary part one ulp lower. Fixed bits, nothing computed at run time.
constexpr double COS_PI_4 = std::bit_cast<double>(uint64_t{0x3FE6A09E667F3BCD});
constexpr double SIN_PI_4 = std::bit_cast<double>(uint64_t{0x3FE6A09E667F3BCC});

constexpr Amp ONE{1.0, 0.0};

// Every operation has the same shape: resolve (range check against the declared count, then
// allocation on first touch), and only then compute the parameters and call the kernel with
// the state's simd flag, the whole buffer at its new length and the slot. An error returns
// before anything changed.
template <class Apply>
Status on_target(TavroSV& sv, size_t target, const Apply& apply) {
  auto slot = sv.resolve(target);
  if (!slot) return std::unexpected(std::move(slot).error());
  apply(sv.simd(), sv.amps(), *slot);
  return {};
}

}  // namespace

Status TavroSV::apply_h(size_t target) {
  return on_target(*this, target, [](bool simd, std::span<Amp> a, size_t t) {
    kernels::apply_h_kernel(simd, a, t);
  });
}

Status TavroSV::apply_x(size_t target) {
  return on_target(*this, target,
                   [](bool, std::span<Amp> a, size_t t) { kernels::apply_x_kernel(a, t); });
}

Status TavroSV::apply_y(size_t target) {
  return on_target(*this, target, [](bool simd, std::span<Amp> a, size_t t) {
    kernels::apply_y_kernel(simd, a, t);
  });
}

Status TavroSV::apply_z(size_t target) {
  return on_target(*this, target, [](bool simd, std::span<Amp> a, size_t t) {
    kernels::apply_z_kernel(simd, a, t);
  });
}

Status TavroSV::apply_s(size_t target) {
  return on_target(*this, target, [](bool simd, std::span<Amp> a, size_t t) {
    kernels::apply_diag_1q(simd, a, t, ONE, Amp(0.0, 1.0));
  });
}

Status TavroSV::apply_sdg(size_t target) {
  return on_target(*this, target, [](bool simd, std::span<Amp> a, size_t t) {
    kernels::apply_diag_1q(simd, a, t, ONE, Amp(0.0, -1.0));
  });
}

Status TavroSV::apply_t(size_t target) {
  return on_target(*this, target, [](bool simd, std::span<Amp> a, size_t t) {
    kernels::apply_diag_1q(simd, a, t, ONE, Amp(COS_PI_4, SIN_PI_4));
  });
}

Status TavroSV::apply_tdg(size_t target) {
  return on_target(*this, target, [](bool simd, std::span<Amp> a, size_t t) {
    kernels::apply_diag_1q(simd, a, t, ONE, Amp(COS_PI_4, -SIN_PI_4));
  });
}

Status TavroSV::apply_sx(size_t target) {
  return on_target(*this, target, [](bool simd, std::span<Amp> a, size_t t) {
    const std::array<Amp, 4> m{Amp(0.5, 0.5), Amp(0.5, -0.5), Amp(0.5, -0.5), Amp(0.5, 0.5)};
    kernels::apply_1q(simd, a, t, m);
  });
}

Status TavroSV::apply_p(double lambda, size_t target) {
  return on_target(*this, target, [lambda](bool simd, std::span<Amp> a, size_t t) {
    const SinCos l = sin_cos(lambda);  // the full angle
    kernels::apply_diag_1q(simd, a, t, ONE, Amp(l.c, l.s));
  });
}

Status TavroSV::apply_rx(double theta, size_t target) {
  return on_target(*this, target, [theta](bool simd, std::span<Amp> a, size_t t) {
    const SinCos h = sin_cos(theta * 0.5);
    kernels::apply_rx_kernel(simd, a, t, h.c, h.s);
  });
}

Status TavroSV::apply_ry(double theta, size_t target) {
  return on_target(*this, target, [theta](bool simd, std::span<Amp> a, size_t t) {
    const SinCos h = sin_cos(theta * 0.5);
    kernels::apply_ry_kernel(simd, a, t, h.c, h.s);
  });
}

Status TavroSV::apply_rz(double lmbda, size_t target) {
  return on_target(*this, target, [lmbda](bool simd, std::span<Amp> a, size_t t) {
    const SinCos h = sin_cos(lmbda * 0.5);
    kernels::apply_rz_kernel(simd, a, t, h.c, h.s);
  });
}

Status TavroSV::apply_u(double theta, double phi, double lmbda, size_t target) {
  return on_target(*this, target, [=](bool simd, std::span<Amp> a, size_t t) {
    const SinCos h = sin_cos(theta * 0.5);
    const SinCos l = sin_cos(lmbda);
    const SinCos p = sin_cos(phi);
    const double s = h.s, c = h.c;
    // e^(i(phi + lmbda)) by angle addition, not a fourth call.
    const double cs = p.c * l.c - p.s * l.s;
    const double sn = p.s * l.c + p.c * l.s;
    // The products with +-0.0 stay: they turn an infinite or NaN factor into NaN and fix the
    // sign of zero parts.
    const std::array<Amp, 4> m{
        Amp(c, 0.0),                                       // U00
        Amp(p.c * s + p.s * (-0.0), p.s * s + p.c * 0.0),  // U10 = e^(i phi) s
        Amp(l.s * 0.0 - l.c * s, l.c * (-0.0) - l.s * s),  // U01 = -e^(i lmbda) s
        Amp(c * cs + sn * (-0.0), c * sn + cs * 0.0),      // U11 = e^(i(phi + lmbda)) c
    };
    kernels::apply_1q(simd, a, t, m);
  });
}

Status TavroSV::apply_gate_1q(const std::array<Amp, 4>& gate, size_t target) {
  return on_target(*this, target, [&gate](bool simd, std::span<Amp> a, size_t t) {
    kernels::apply_1q(simd, a, t, gate);
  });
}

}  // namespace tavro
