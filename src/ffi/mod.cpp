// The C functions over states and generators. Each checks its pointers and lengths first
// (failing with -1, NULL, 0 or -1.0 and storing nothing), then calls one core operation inside
// the trap and turns its result into a status, a value or a handle.
#include <cstdint>
#include <cstring>

#include "ffi/handles.hpp"
#include "ffi/trap.hpp"
#include "tavro.h"

using tavro::Amp;
using tavro::TavroSV;
using tavro::ffi::amp_view;
using tavro::ffi::make_handle;
using tavro::ffi::report;
using tavro::ffi::trap;
using tavro::ffi::write_amp;

// ---- last error ----

extern "C" void tavro_clear_last_error(void) { tavro::ffi::clear_last_error(); }

extern "C" int32_t tavro_last_error_code(void) { return tavro::ffi::last_error_code(); }

extern "C" const char* tavro_last_error_message(void) { return tavro::ffi::last_error_message(); }

// ---- constructors and release ----

extern "C" TavroSVHandle* tavro_sv_zero(uint32_t num_qubits) {
  return trap("tavro_sv_zero", static_cast<TavroSVHandle*>(nullptr),
              [&] { return make_handle(TavroSV::zero(num_qubits)); });
}

extern "C" TavroSVHandle* tavro_sv_zero_dynamic(uint32_t num_qubits) {
  return trap("tavro_sv_zero_dynamic", static_cast<TavroSVHandle*>(nullptr),
              [&] { return make_handle(TavroSV::zero_dynamic(num_qubits)); });
}

extern "C" TavroSVHandle* tavro_sv_from_amplitudes(uint32_t num_qubits, const TavroComplex* amps,
                                                   size_t len) {
  return trap("tavro_sv_from_amplitudes", static_cast<TavroSVHandle*>(nullptr),
              [&]() -> TavroSVHandle* {
                if (amps == nullptr) return nullptr;
                // 2^64 and above fit no length; 2^60 to 2^63 pass here and meet the qubit limit.
                if (num_qubits >= 64 || len != size_t{1} << num_qubits) return nullptr;
                // The core copies the caller's buffer straight into the state's own.
                return make_handle(TavroSV::from_amplitudes(num_qubits, amp_view(amps, len)));
              });
}

extern "C" TavroSVHandle* tavro_sv_from_bitstring(const uint8_t* bits, size_t nbits) {
  return trap("tavro_sv_from_bitstring", static_cast<TavroSVHandle*>(nullptr),
              [&]() -> TavroSVHandle* {
                if (bits == nullptr) return nullptr;
                return make_handle(TavroSV::from_bitstring({bits, nbits}));
              });
}

extern "C" TavroSVHandle* tavro_sv_clone(const TavroSVHandle* sv) {
  return trap("tavro_sv_clone", static_cast<TavroSVHandle*>(nullptr), [&]() -> TavroSVHandle* {
    if (sv == nullptr) return nullptr;
    return new TavroSVHandle{sv->sv.clone()};
  });
}

extern "C" void tavro_sv_free(TavroSVHandle* sv) { delete sv; }

extern "C" TavroRng* tavro_rng_new(uint64_t seed) {
  return trap("tavro_rng_new", static_cast<TavroRng*>(nullptr),
              [&] { return new TavroRng{tavro::Xoshiro256PlusPlus::seed_from_u64(seed)}; });
}

extern "C" void tavro_rng_free(TavroRng* rng) { delete rng; }

// ---- accessors ----

extern "C" size_t tavro_sv_len(const TavroSVHandle* sv) { return sv ? sv->sv.len() : 0; }

extern "C" uint32_t tavro_sv_num_qubits(const TavroSVHandle* sv) {
  return sv ? sv->sv.num_qubits() : 0;
}

extern "C" uint32_t tavro_sv_live_qubits(const TavroSVHandle* sv) {
  return sv ? sv->sv.live_qubits() : 0;
}

extern "C" int32_t tavro_sv_is_dynamic(const TavroSVHandle* sv) {
  return sv ? (sv->sv.is_dynamic() ? 1 : 0) : -1;
}

extern "C" int32_t tavro_sv_is_allocated(const TavroSVHandle* sv, size_t target) {
  return trap("tavro_sv_is_allocated", int32_t{-1}, [&]() -> int32_t {
    if (sv == nullptr) return -1;
    return sv->sv.is_allocated(target) ? 1 : 0;
  });
}

extern "C" int32_t tavro_sv_copy_amplitudes(const TavroSVHandle* sv, TavroComplex* out,
                                            size_t len) {
  if (sv == nullptr || out == nullptr || len != sv->sv.len()) return -1;
  const auto amps = sv->sv.amplitudes();
  std::memcpy(static_cast<void*>(out), amps.data(), amps.size_bytes());
  return 0;
}

// ---- reads by basis index ----

extern "C" int32_t tavro_sv_get(const TavroSVHandle* sv, size_t index, TavroComplex* out) {
  return trap("tavro_sv_get", int32_t{-1}, [&]() -> int32_t {
    if (sv == nullptr || out == nullptr) return -1;
    return report(sv->sv.get(index), [&](const Amp& a) { write_amp(out, a); });
  });
}

extern "C" int32_t tavro_sv_probability(const TavroSVHandle* sv, size_t index, double* out) {
  return trap("tavro_sv_probability", int32_t{-1}, [&]() -> int32_t {
    if (sv == nullptr || out == nullptr) return -1;
    return report(sv->sv.probability(index), [&](double p) { *out = p; });
  });
}

extern "C" int32_t tavro_sv_get_logical(const TavroSVHandle* sv, size_t index, TavroComplex* out) {
  return trap("tavro_sv_get_logical", int32_t{-1}, [&]() -> int32_t {
    if (sv == nullptr || out == nullptr) return -1;
    return report(sv->sv.get_logical(index), [&](const Amp& a) { write_amp(out, a); });
  });
}

extern "C" int32_t tavro_sv_probability_logical(const TavroSVHandle* sv, size_t index,
                                                double* out) {
  return trap("tavro_sv_probability_logical", int32_t{-1}, [&]() -> int32_t {
    if (sv == nullptr || out == nullptr) return -1;
    return report(sv->sv.probability_logical(index), [&](double p) { *out = p; });
  });
}

// ---- whole-state operations ----

extern "C" double tavro_sv_norm_squared(const TavroSVHandle* sv) {
  return trap("tavro_sv_norm_squared", -1.0,
              [&] { return sv != nullptr ? sv->sv.norm_squared() : -1.0; });
}

extern "C" double tavro_sv_normalize(TavroSVHandle* sv) {
  return trap("tavro_sv_normalize", -1.0,
              [&] { return sv != nullptr ? sv->sv.normalize() : -1.0; });
}

extern "C" int32_t tavro_sv_reset_to_zero(TavroSVHandle* sv) {
  return trap("tavro_sv_reset_to_zero", int32_t{-1}, [&]() -> int32_t {
    if (sv == nullptr) return -1;
    sv->sv.reset_to_zero();
    return 0;
  });
}
