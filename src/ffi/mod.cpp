// The C functions over states and generators. Each checks its pointers and lengths first
// (failing with -1, NULL, 0 or -1.0 and storing nothing), then calls one core operation inside
// the trap and turns its result into a status, a value or a handle.
#include <array>
#include <cstdint>
#include <cstring>

#include "ffi/handles.hpp"
#include "ffi/trap.hpp"
#include "tavro.h"

using tavro::Amp;
using tavro::TavroSV;
using tavro::ffi::amp_view;
using tavro::ffi::copy_matrix;
using tavro::ffi::list_view;
using tavro::ffi::make_handle;
using tavro::ffi::present;
using tavro::ffi::report;
using tavro::ffi::trap;
using tavro::ffi::write_amp;

namespace {

// A gate function once its own pointers and lengths have passed: a NULL handle is the one
// rejection left.
template <class Op>
int32_t gate_call(const char* name, TavroSVHandle* sv, Op&& op) {
  return tavro::ffi::checked_call(name, sv != nullptr, [&] { return op(sv->sv); });
}

}  // namespace

// ---- version texts: static, so every call returns the same pointer ----

extern "C" const char* tavro_version(void) { return "0.3.0"; }

extern "C" const char* tavro_library_info(void) { return "tavro 0.3.0"; }

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

// ---- one-qubit gates ----

extern "C" int32_t tavro_sv_apply_x(TavroSVHandle* sv, size_t target) {
  return gate_call("tavro_sv_apply_x", sv, [&](TavroSV& s) { return s.apply_x(target); });
}

extern "C" int32_t tavro_sv_apply_y(TavroSVHandle* sv, size_t target) {
  return gate_call("tavro_sv_apply_y", sv, [&](TavroSV& s) { return s.apply_y(target); });
}

extern "C" int32_t tavro_sv_apply_z(TavroSVHandle* sv, size_t target) {
  return gate_call("tavro_sv_apply_z", sv, [&](TavroSV& s) { return s.apply_z(target); });
}

extern "C" int32_t tavro_sv_apply_h(TavroSVHandle* sv, size_t target) {
  return gate_call("tavro_sv_apply_h", sv, [&](TavroSV& s) { return s.apply_h(target); });
}

extern "C" int32_t tavro_sv_apply_s(TavroSVHandle* sv, size_t target) {
  return gate_call("tavro_sv_apply_s", sv, [&](TavroSV& s) { return s.apply_s(target); });
}

extern "C" int32_t tavro_sv_apply_sdg(TavroSVHandle* sv, size_t target) {
  return gate_call("tavro_sv_apply_sdg", sv, [&](TavroSV& s) { return s.apply_sdg(target); });
}

extern "C" int32_t tavro_sv_apply_t(TavroSVHandle* sv, size_t target) {
  return gate_call("tavro_sv_apply_t", sv, [&](TavroSV& s) { return s.apply_t(target); });
}

extern "C" int32_t tavro_sv_apply_tdg(TavroSVHandle* sv, size_t target) {
  return gate_call("tavro_sv_apply_tdg", sv, [&](TavroSV& s) { return s.apply_tdg(target); });
}

extern "C" int32_t tavro_sv_apply_sx(TavroSVHandle* sv, size_t target) {
  return gate_call("tavro_sv_apply_sx", sv, [&](TavroSV& s) { return s.apply_sx(target); });
}

extern "C" int32_t tavro_sv_apply_p(TavroSVHandle* sv, double lambda, size_t target) {
  return gate_call("tavro_sv_apply_p", sv, [&](TavroSV& s) { return s.apply_p(lambda, target); });
}

extern "C" int32_t tavro_sv_apply_rx(TavroSVHandle* sv, double theta, size_t target) {
  return gate_call("tavro_sv_apply_rx", sv, [&](TavroSV& s) { return s.apply_rx(theta, target); });
}

extern "C" int32_t tavro_sv_apply_ry(TavroSVHandle* sv, double theta, size_t target) {
  return gate_call("tavro_sv_apply_ry", sv, [&](TavroSV& s) { return s.apply_ry(theta, target); });
}

extern "C" int32_t tavro_sv_apply_rz(TavroSVHandle* sv, double lmbda, size_t target) {
  return gate_call("tavro_sv_apply_rz", sv, [&](TavroSV& s) { return s.apply_rz(lmbda, target); });
}

extern "C" int32_t tavro_sv_apply_u(TavroSVHandle* sv, double theta, double phi, double lmbda,
                                    size_t target) {
  return gate_call("tavro_sv_apply_u", sv,
                   [&](TavroSV& s) { return s.apply_u(theta, phi, lmbda, target); });
}

extern "C" int32_t tavro_sv_apply_gate_1q(TavroSVHandle* sv, const TavroComplex* gate,
                                          size_t gate_len, size_t target) {
  if (sv == nullptr || gate == nullptr || gate_len != 4) return -1;
  const std::array<Amp, 4> m = copy_matrix<4>(gate);
  return gate_call("tavro_sv_apply_gate_1q", sv,
                   [&](TavroSV& s) { return s.apply_gate_1q(m, target); });
}

// ---- two-qubit gates ----

extern "C" int32_t tavro_sv_apply_cx(TavroSVHandle* sv, size_t control, size_t target) {
  return gate_call("tavro_sv_apply_cx", sv,
                   [&](TavroSV& s) { return s.apply_cx(control, target); });
}

extern "C" int32_t tavro_sv_apply_cy(TavroSVHandle* sv, size_t control, size_t target) {
  return gate_call("tavro_sv_apply_cy", sv,
                   [&](TavroSV& s) { return s.apply_cy(control, target); });
}

extern "C" int32_t tavro_sv_apply_cz(TavroSVHandle* sv, size_t q1, size_t q2) {
  return gate_call("tavro_sv_apply_cz", sv, [&](TavroSV& s) { return s.apply_cz(q1, q2); });
}

extern "C" int32_t tavro_sv_apply_cp(TavroSVHandle* sv, double lmbda, size_t q1, size_t q2) {
  return gate_call("tavro_sv_apply_cp", sv, [&](TavroSV& s) { return s.apply_cp(lmbda, q1, q2); });
}

extern "C" int32_t tavro_sv_apply_crx(TavroSVHandle* sv, double theta, size_t control,
                                      size_t target) {
  return gate_call("tavro_sv_apply_crx", sv,
                   [&](TavroSV& s) { return s.apply_crx(theta, control, target); });
}

extern "C" int32_t tavro_sv_apply_cry(TavroSVHandle* sv, double theta, size_t control,
                                      size_t target) {
  return gate_call("tavro_sv_apply_cry", sv,
                   [&](TavroSV& s) { return s.apply_cry(theta, control, target); });
}

extern "C" int32_t tavro_sv_apply_crz(TavroSVHandle* sv, double lmbda, size_t control,
                                      size_t target) {
  return gate_call("tavro_sv_apply_crz", sv,
                   [&](TavroSV& s) { return s.apply_crz(lmbda, control, target); });
}

extern "C" int32_t tavro_sv_apply_swap(TavroSVHandle* sv, size_t q1, size_t q2) {
  return gate_call("tavro_sv_apply_swap", sv, [&](TavroSV& s) { return s.apply_swap(q1, q2); });
}

extern "C" int32_t tavro_sv_apply_iswap(TavroSVHandle* sv, size_t q1, size_t q2) {
  return gate_call("tavro_sv_apply_iswap", sv, [&](TavroSV& s) { return s.apply_iswap(q1, q2); });
}

extern "C" int32_t tavro_sv_apply_rxx(TavroSVHandle* sv, double theta, size_t q1, size_t q2) {
  return gate_call("tavro_sv_apply_rxx", sv,
                   [&](TavroSV& s) { return s.apply_rxx(theta, q1, q2); });
}

extern "C" int32_t tavro_sv_apply_ryy(TavroSVHandle* sv, double theta, size_t q1, size_t q2) {
  return gate_call("tavro_sv_apply_ryy", sv,
                   [&](TavroSV& s) { return s.apply_ryy(theta, q1, q2); });
}

extern "C" int32_t tavro_sv_apply_rzz(TavroSVHandle* sv, double theta, size_t q1, size_t q2) {
  return gate_call("tavro_sv_apply_rzz", sv,
                   [&](TavroSV& s) { return s.apply_rzz(theta, q1, q2); });
}

extern "C" int32_t tavro_sv_apply_gate_2q(TavroSVHandle* sv, const TavroComplex* gate,
                                          size_t gate_len, size_t q1, size_t q2) {
  if (sv == nullptr || gate == nullptr || gate_len != 16) return -1;
  const std::array<Amp, 16> m = copy_matrix<16>(gate);
  return gate_call("tavro_sv_apply_gate_2q", sv,
                   [&](TavroSV& s) { return s.apply_gate_2q(m, q1, q2); });
}

// ---- dense k-qubit, diagonal and multi-controlled gates ----
// The matrices and qubit lists of variable length are read in place for the duration of the
// call; the core checks them again, but a count outside the range the core accepts never
// reaches it.

extern "C" int32_t tavro_sv_apply_gate_kq(TavroSVHandle* sv, const TavroComplex* gate,
                                          size_t gate_len, const size_t* targets, size_t k) {
  if (sv == nullptr || k == 0 || k > tavro::MAX_GATE_KQ) return -1;
  // 4^k entries: 2k bits, at most 2^10.
  if (targets == nullptr || gate == nullptr || gate_len != size_t{1} << (2 * k)) return -1;
  return gate_call("tavro_sv_apply_gate_kq", sv, [&](TavroSV& s) {
    return s.apply_gate_kq(amp_view(gate, gate_len), {targets, k});
  });
}

extern "C" int32_t tavro_sv_apply_diag_kq(TavroSVHandle* sv, const TavroComplex* diag,
                                          size_t diag_len, const size_t* targets, size_t k) {
  if (sv == nullptr || targets == nullptr || diag == nullptr) return -1;
  if (k == 0 || k > tavro::MAX_DIAG_KQ || diag_len != size_t{1} << k) return -1;
  return gate_call("tavro_sv_apply_diag_kq", sv, [&](TavroSV& s) {
    return s.apply_diag_kq(amp_view(diag, diag_len), {targets, k});
  });
}

extern "C" int32_t tavro_sv_apply_mcx(TavroSVHandle* sv, const size_t* controls, size_t ncontrols,
                                      size_t target) {
  if (!present(controls, ncontrols)) return -1;
  return gate_call("tavro_sv_apply_mcx", sv,
                   [&](TavroSV& s) { return s.apply_mcx(list_view(controls, ncontrols), target); });
}

extern "C" int32_t tavro_sv_apply_controlled_gate_1q(TavroSVHandle* sv, const TavroComplex* gate,
                                                     size_t gate_len, const size_t* controls,
                                                     size_t ncontrols, size_t target) {
  if (sv == nullptr || gate == nullptr || gate_len != 4 || !present(controls, ncontrols)) {
    return -1;
  }
  const std::array<Amp, 4> m = copy_matrix<4>(gate);
  return gate_call("tavro_sv_apply_controlled_gate_1q", sv, [&](TavroSV& s) {
    return s.apply_controlled_gate_1q(m, list_view(controls, ncontrols), target);
  });
}

extern "C" int32_t tavro_sv_apply_controlled_gate_2q(TavroSVHandle* sv, const TavroComplex* gate,
                                                     size_t gate_len, const size_t* controls,
                                                     size_t ncontrols, size_t q1, size_t q2) {
  if (sv == nullptr || gate == nullptr || gate_len != 16 || !present(controls, ncontrols)) {
    return -1;
  }
  const std::array<Amp, 16> m = copy_matrix<16>(gate);
  return gate_call("tavro_sv_apply_controlled_gate_2q", sv, [&](TavroSV& s) {
    return s.apply_controlled_gate_2q(m, list_view(controls, ncontrols), q1, q2);
  });
}
