// The C functions that measure, release and sample. Each refuses a NULL pointer or a wrong
// out length first (-1, nothing stored, the generator not advanced), then calls one core
// operation inside the trap; outcomes reach the caller's memory only on success.
#include <cstdint>
#include <cstring>
#include <vector>

#include "ffi/handles.hpp"
#include "ffi/trap.hpp"
#include "tavro.h"

using tavro::Result;
using tavro::TavroSV;
using tavro::Xoshiro256PlusPlus;
using tavro::ffi::report;
using tavro::ffi::trap;

namespace {

using MeasureOp = Result<uint8_t> (TavroSV::*)(size_t, Xoshiro256PlusPlus&);

// measure, reset and free: (target, generator) to one outcome byte.
int32_t measure_call(const char* name, TavroSVHandle* sv, size_t target, TavroRng* rng,
                     uint8_t* out, MeasureOp op) {
  return trap(name, int32_t{-1}, [&]() -> int32_t {
    if (sv == nullptr || rng == nullptr || out == nullptr) return -1;
    return report((sv->sv.*op)(target, rng->rng), [&](uint8_t outcome) { *out = outcome; });
  });
}

// nshots rows of the declared width into the caller's out_len bytes. The length is checked
// before the core runs, so a refused call draws nothing; a product that overflows size_t
// matches no out_len.
int32_t sample_call(const char* name, const TavroSVHandle* sv, TavroRng* rng, size_t nshots,
                    uint8_t* out, size_t out_len) {
  return trap(name, int32_t{-1}, [&]() -> int32_t {
    if (sv == nullptr || rng == nullptr || out == nullptr) return -1;
    size_t want = 0;
    if (__builtin_mul_overflow(nshots, size_t{sv->sv.num_qubits()}, &want) || want != out_len) {
      return -1;
    }
    return report(sv->sv.sample(nshots, rng->rng), [&](const std::vector<uint8_t>& rows) {
      if (!rows.empty()) std::memcpy(out, rows.data(), rows.size());
    });
  });
}

}  // namespace

extern "C" int32_t tavro_sv_prob_zero(const TavroSVHandle* sv, size_t target, double* out) {
  return trap("tavro_sv_prob_zero", int32_t{-1}, [&]() -> int32_t {
    if (sv == nullptr || out == nullptr) return -1;
    return report(sv->sv.prob_zero(target), [&](double p) { *out = p; });
  });
}

extern "C" int32_t tavro_sv_measure_qubit(TavroSVHandle* sv, size_t target, TavroRng* rng,
                                          uint8_t* out) {
  return measure_call("tavro_sv_measure_qubit", sv, target, rng, out, &TavroSV::measure_qubit);
}

extern "C" int32_t tavro_sv_reset_qubit(TavroSVHandle* sv, size_t target, TavroRng* rng,
                                        uint8_t* out) {
  return measure_call("tavro_sv_reset_qubit", sv, target, rng, out, &TavroSV::reset_qubit);
}

extern "C" int32_t tavro_sv_free_qubit(TavroSVHandle* sv, size_t target, TavroRng* rng,
                                       uint8_t* out) {
  return measure_call("tavro_sv_free_qubit", sv, target, rng, out, &TavroSV::free_qubit);
}

extern "C" int32_t tavro_sv_sample(const TavroSVHandle* sv, TavroRng* rng, size_t nshots,
                                   uint8_t* out, size_t out_len) {
  return sample_call("tavro_sv_sample", sv, rng, nshots, out, out_len);
}

extern "C" int32_t tavro_sv_sample_bitstring(const TavroSVHandle* sv, TavroRng* rng, uint8_t* out,
                                             size_t out_len) {
  return sample_call("tavro_sv_sample_bitstring", sv, rng, 1, out, out_len);
}
