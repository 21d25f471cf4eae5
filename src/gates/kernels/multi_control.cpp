// Multi-controlled amplitude kernels: portable bodies, Highway bodies per target, and the kernel
// entry points that cut the walk over the pool.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gates/kernels/multi_control.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "gates/kernels/matrix_ops.hpp"
#include "gates/kernels/multi_control.hpp"
#include "gates/kernels/runner.hpp"

// ---- portable bodies (compiled once, at baseline) ----
#ifndef TAVRO_GATES_KERNELS_MULTI_CONTROL_PORTABLE_
#define TAVRO_GATES_KERNELS_MULTI_CONTROL_PORTABLE_
namespace tavro::kernels::detail::multi_control {

struct SwapOne {
  void operator()(Amp& x, Amp& y) const { std::swap(x, y); }
};

// f(x, y) on every pair (k, k + tbit) of the runs, k from i to i + run - 1 for each run i.
template <class F>
inline void pair_runs(Amp* a, size_t base, size_t runs, const ControlledWalk& w, size_t tbit,
                      const F& f) {
  for_each_controlled_run(base, runs, w, [&](size_t i) {
    for (size_t k = i, end = i + w.run; k < end; ++k) f(a[k], a[k + tbit]);
  });
}

// f(a0, a1, a2, a3) on every quartet (k, k + lbit, k + hbit, k + lbit + hbit) of the runs.
template <class F>
inline void quartet_runs(Amp* a, size_t base, size_t runs, const ControlledWalk& w, size_t lbit,
                         size_t hbit, const F& f) {
  for_each_controlled_run(base, runs, w, [&](size_t i) {
    for (size_t k = i, end = i + w.run; k < end; ++k) {
      f(a[k], a[k + lbit], a[k + hbit], a[k + lbit + hbit]);
    }
  });
}

}  // namespace tavro::kernels::detail::multi_control
#endif  // TAVRO_GATES_KERNELS_MULTI_CONTROL_PORTABLE_

#include "gates/kernels/matrix_ops-inl.h"

// ---- vector bodies, one copy per target ----
HWY_BEFORE_NAMESPACE();
namespace tavro::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
namespace mc = detail::multi_control;

#if HWY_TARGET == HWY_SCALAR

// One lane cannot hold an amplitude: the portable bodies serve.
void McxRuns(Amp* a, size_t base, size_t runs, const ControlledWalk& w, size_t tbit) {
  mc::pair_runs(a, base, runs, w, tbit, mc::SwapOne{});
}
void Mctrl2x2Runs(Amp* a, size_t base, size_t runs, const ControlledWalk& w, size_t tbit,
                  const Amp* m) {
  mc::pair_runs(a, base, runs, w, tbit, Ctrl2x2PlainOne{{m[0], m[1], m[2], m[3]}});
}
void Mctrl4x4Runs(Amp* a, size_t base, size_t runs, const ControlledWalk& w, size_t lbit,
                  size_t hbit, const Amp* m) {
  Dense4x4PlainOne one{};
  std::copy(m, m + 16, one.m.begin());
  mc::quartet_runs(a, base, runs, w, lbit, hbit, one);
}

#else  // HWY_TARGET != HWY_SCALAR

// Runs of two or more amplitudes only: the widest vector whose amplitude count divides the run
// moves it, so a vector never straddles two runs and no scalar tail is left.

// op(d, x, y) on the vectors of every run, x at k and y at k + tbit.
template <class Op>
HWY_INLINE void ForPairRuns(const Op& op, Amp* a, size_t base, size_t runs, const ControlledWalk& w,
                            size_t tbit) {
  double* HWY_RESTRICT p = Doubles(a);
  const size_t run = w.run;
  WithRunTag(run, [&](auto d) {
    const size_t per = PerVector(d);
    for_each_controlled_run(base, runs, w, [&](size_t i) {
      for (size_t k = i, end = i + run; k < end; k += per) {
        auto x = hn::LoadU(d, p + 2 * k);
        auto y = hn::LoadU(d, p + 2 * (k + tbit));
        op(d, x, y);
        hn::StoreU(x, d, p + 2 * k);
        hn::StoreU(y, d, p + 2 * (k + tbit));
      }
    });
  });
}

// op(d, a0, a1, a2, a3) on the vectors of every run, a0 at k, a1 at k + lbit, a2 at k + hbit.
template <class Op>
HWY_INLINE void ForQuartetRuns(const Op& op, Amp* a, size_t base, size_t runs,
                               const ControlledWalk& w, size_t lbit, size_t hbit) {
  double* HWY_RESTRICT p = Doubles(a);
  const size_t o1 = 2 * lbit, o2 = 2 * hbit, o3 = 2 * (lbit + hbit);
  const size_t run = w.run;
  WithRunTag(run, [&](auto d) {
    const size_t per = PerVector(d);
    for_each_controlled_run(base, runs, w, [&](size_t i) {
      for (size_t k = i, end = i + run; k < end; k += per) {
        double* q = p + 2 * k;
        auto a0 = hn::LoadU(d, q);
        auto a1 = hn::LoadU(d, q + o1);
        auto a2 = hn::LoadU(d, q + o2);
        auto a3 = hn::LoadU(d, q + o3);
        op(d, a0, a1, a2, a3);
        hn::StoreU(a0, d, q);
        hn::StoreU(a1, d, q + o1);
        hn::StoreU(a2, d, q + o2);
        hn::StoreU(a3, d, q + o3);
      }
    });
  });
}

struct SwapOp {
  template <class D, class V>
  HWY_INLINE void operator()(D /*d*/, V& x, V& y) const {
    const V t = x;
    x = y;
    y = t;
  }
};

void McxRuns(Amp* a, size_t base, size_t runs, const ControlledWalk& w, size_t tbit) {
  ForPairRuns(SwapOp{}, a, base, runs, w, tbit);
}

void Mctrl2x2Runs(Amp* a, size_t base, size_t runs, const ControlledWalk& w, size_t tbit,
                  const Amp* m) {
  ForPairRuns(Ctrl2x2PlainOp{{m[0], m[1], m[2], m[3]}}, a, base, runs, w, tbit);
}

void Mctrl4x4Runs(Amp* a, size_t base, size_t runs, const ControlledWalk& w, size_t lbit,
                  size_t hbit, const Amp* m) {
  Dense4x4PlainOp op;
  std::copy(m, m + 16, op.m.begin());
  ForQuartetRuns(op, a, base, runs, w, lbit, hbit);
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace tavro::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tavro::kernels {

HWY_EXPORT(McxRuns);
HWY_EXPORT(Mctrl2x2Runs);
HWY_EXPORT(Mctrl4x4Runs);

namespace {

namespace mc = detail::multi_control;

// body(a, base, runs, vector) for every piece of the walk over the whole buffer, on the pool or
// on the caller's thread; `vector` says whether the vector bodies take it (simd set and runs of
// two or more amplitudes: single amplitudes gain nothing from a vector of one).
template <class Body>
void walk(bool simd, std::span<Amp> amps, const ControlledWalk& w, const Body& body) {
  const bool vector = simd && w.run >= 2;
  run_groups_par_or_seq(amps, w.walk, [&](std::span<Amp> chunk, size_t base, size_t runs) {
    body(chunk.data(), base, runs, vector);
  });
}

}  // namespace

void apply_mcx_general_kernel(bool simd, std::span<Amp> amps, uint64_t ctrl, size_t target) {
  const size_t tbit = size_t{1} << target;
  const ControlledWalk w = controlled_walk(ctrl, tbit);
  walk(simd, amps, w, [&](Amp* a, size_t base, size_t runs, bool vector) {
    if (vector) return HWY_DYNAMIC_DISPATCH(McxRuns)(a, base, runs, w, tbit);
    mc::pair_runs(a, base, runs, w, tbit, mc::SwapOne{});
  });
}

void apply_mctrl_2x2_general_kernel(bool simd, std::span<Amp> amps, uint64_t ctrl, size_t target,
                                    const std::array<Amp, 4>& m) {
  const Ctrl2x2PlainOne one{m};  // the caller's matrix is read once, on entry
  const size_t tbit = size_t{1} << target;
  const ControlledWalk w = controlled_walk(ctrl, tbit);
  walk(simd, amps, w, [&](Amp* a, size_t base, size_t runs, bool vector) {
    if (vector) return HWY_DYNAMIC_DISPATCH(Mctrl2x2Runs)(a, base, runs, w, tbit, one.m.data());
    mc::pair_runs(a, base, runs, w, tbit, one);
  });
}

void apply_mctrl_4x4_general_kernel(bool simd, std::span<Amp> amps, uint64_t ctrl, size_t lo,
                                    size_t hi, const std::array<Amp, 16>& m) {
  const Dense4x4PlainOne one{m};
  const size_t lbit = size_t{1} << lo, hbit = size_t{1} << hi;
  const ControlledWalk w = controlled_walk(ctrl, lbit | hbit);
  walk(simd, amps, w, [&](Amp* a, size_t base, size_t runs, bool vector) {
    if (vector) {
      return HWY_DYNAMIC_DISPATCH(Mctrl4x4Runs)(a, base, runs, w, lbit, hbit, one.m.data());
    }
    mc::quartet_runs(a, base, runs, w, lbit, hbit, one);
  });
}

}  // namespace tavro::kernels
#endif  // HWY_ONCE
