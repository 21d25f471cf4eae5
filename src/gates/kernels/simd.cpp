#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "gates/kernels/simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "gates/kernels/simd.hpp"

HWY_BEFORE_NAMESPACE();
namespace tavro::kernels::HWY_NAMESPACE {
bool NativeFma() { return HWY_NATIVE_FMA != 0; }
}  // namespace tavro::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tavro::kernels {
HWY_EXPORT(NativeFma);

bool simd_available() {
  static const bool available = HWY_DYNAMIC_DISPATCH(NativeFma)();
  return available;
}
}  // namespace tavro::kernels
#endif
