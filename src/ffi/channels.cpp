// The C functions that apply noise channels. Each refuses a NULL state, operator list,
// weight list or generator first (-1, nothing stored, nothing drawn); the lengths of the lists
// are the core's to check. The index of the operator applied reaches *chosen only on success
// and only when chosen is not NULL.
#include <cstdint>

#include "ffi/handles.hpp"
#include "ffi/trap.hpp"
#include "tavro.h"

using tavro::TavroSV;
using tavro::Xoshiro256PlusPlus;
using tavro::ffi::amp_view;
using tavro::ffi::report;
using tavro::ffi::trap;

namespace {

// `lists` is false when an operator or weight list is NULL, whatever its length.
template <class Op>
int32_t channel_call(const char* name, TavroSVHandle* sv, bool lists, TavroRng* rng, size_t* chosen,
                     Op&& op) {
  return trap(name, int32_t{-1}, [&]() -> int32_t {
    if (sv == nullptr || !lists || rng == nullptr) return -1;
    return report(op(sv->sv, rng->rng), [&](size_t k) {
      if (chosen != nullptr) *chosen = k;
    });
  });
}

}  // namespace

extern "C" int32_t tavro_sv_apply_kraus_1q(TavroSVHandle* sv, const TavroComplex* ops,
                                           size_t ops_len, size_t target, TavroRng* rng,
                                           size_t* chosen) {
  return channel_call("tavro_sv_apply_kraus_1q", sv, ops != nullptr, rng, chosen,
                      [&](TavroSV& s, Xoshiro256PlusPlus& r) {
                        return s.apply_kraus_1q(amp_view(ops, ops_len), target, r);
                      });
}

extern "C" int32_t tavro_sv_apply_kraus_2q(TavroSVHandle* sv, const TavroComplex* ops,
                                           size_t ops_len, size_t q1, size_t q2, TavroRng* rng,
                                           size_t* chosen) {
  return channel_call("tavro_sv_apply_kraus_2q", sv, ops != nullptr, rng, chosen,
                      [&](TavroSV& s, Xoshiro256PlusPlus& r) {
                        return s.apply_kraus_2q(amp_view(ops, ops_len), q1, q2, r);
                      });
}

extern "C" int32_t tavro_sv_apply_mixed_unitary_1q(TavroSVHandle* sv, const TavroComplex* unitaries,
                                                   size_t ulen, const double* probs, size_t nprobs,
                                                   size_t target, TavroRng* rng, size_t* chosen) {
  return channel_call(
      "tavro_sv_apply_mixed_unitary_1q", sv, unitaries != nullptr && probs != nullptr, rng, chosen,
      [&](TavroSV& s, Xoshiro256PlusPlus& r) {
        return s.apply_mixed_unitary_1q(amp_view(unitaries, ulen), {probs, nprobs}, target, r);
      });
}

extern "C" int32_t tavro_sv_apply_mixed_unitary_2q(TavroSVHandle* sv, const TavroComplex* unitaries,
                                                   size_t ulen, const double* probs, size_t nprobs,
                                                   size_t q1, size_t q2, TavroRng* rng,
                                                   size_t* chosen) {
  return channel_call(
      "tavro_sv_apply_mixed_unitary_2q", sv, unitaries != nullptr && probs != nullptr, rng, chosen,
      [&](TavroSV& s, Xoshiro256PlusPlus& r) {
        return s.apply_mixed_unitary_2q(amp_view(unitaries, ulen), {probs, nprobs}, q1, q2, r);
      });
}
