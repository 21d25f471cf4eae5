// The C functions that apply noise channels. Each refuses a NULL state, operator list,
// weight list or generator first (-1, nothing stored, nothing drawn); the lengths of the lists
// are the core's to check. The index of the operator applied reaches *chosen only on success
// and only when chosen is not NULL.
#include <cstdint>

#include "ffi/handles.hpp"
#include "ffi/trap.hpp"
#include "tavro.h"

using tavro::ffi::amp_view;
using tavro::ffi::checked_call;

namespace {

// The index of the operator applied, for a caller that asked for it.
auto write_chosen(size_t* chosen) {
  return [chosen](size_t k) {
    if (chosen != nullptr) *chosen = k;
  };
}

}  // namespace

extern "C" int32_t tavro_sv_apply_kraus_1q(TavroSVHandle* sv, const TavroComplex* ops,
                                           size_t ops_len, size_t target, TavroRng* rng,
                                           size_t* chosen) {
  return checked_call(
      "tavro_sv_apply_kraus_1q", sv != nullptr && ops != nullptr && rng != nullptr,
      [&] { return sv->sv.apply_kraus_1q(amp_view(ops, ops_len), target, rng->rng); },
      write_chosen(chosen));
}

extern "C" int32_t tavro_sv_apply_kraus_2q(TavroSVHandle* sv, const TavroComplex* ops,
                                           size_t ops_len, size_t q1, size_t q2, TavroRng* rng,
                                           size_t* chosen) {
  return checked_call(
      "tavro_sv_apply_kraus_2q", sv != nullptr && ops != nullptr && rng != nullptr,
      [&] { return sv->sv.apply_kraus_2q(amp_view(ops, ops_len), q1, q2, rng->rng); },
      write_chosen(chosen));
}

extern "C" int32_t tavro_sv_apply_mixed_unitary_1q(TavroSVHandle* sv, const TavroComplex* unitaries,
                                                   size_t ulen, const double* probs, size_t nprobs,
                                                   size_t target, TavroRng* rng, size_t* chosen) {
  return checked_call(
      "tavro_sv_apply_mixed_unitary_1q",
      sv != nullptr && unitaries != nullptr && probs != nullptr && rng != nullptr,
      [&] {
        return sv->sv.apply_mixed_unitary_1q(amp_view(unitaries, ulen), {probs, nprobs}, target,
                                             rng->rng);
      },
      write_chosen(chosen));
}

extern "C" int32_t tavro_sv_apply_mixed_unitary_2q(TavroSVHandle* sv, const TavroComplex* unitaries,
                                                   size_t ulen, const double* probs, size_t nprobs,
                                                   size_t q1, size_t q2, TavroRng* rng,
                                                   size_t* chosen) {
  return checked_call(
      "tavro_sv_apply_mixed_unitary_2q",
      sv != nullptr && unitaries != nullptr && probs != nullptr && rng != nullptr,
      [&] {
        return sv->sv.apply_mixed_unitary_2q(amp_view(unitaries, ulen), {probs, nprobs}, q1, q2,
                                             rng->rng);
      },
      write_chosen(chosen));
}
