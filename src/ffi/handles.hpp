#pragma once
// The records behind the C handles, and the conversions between C and core values.

#include <array>
#include <cstddef>
#include <cstring>
#include <new>
#include <span>

#include "amp.hpp"
#include "error.hpp"
#include "ffi/trap.hpp"
#include "rng.hpp"
#include "state/sv.hpp"
#include "tavro.h"

// The C complex type and the core amplitude are the same 16 bytes, so buffers are viewed,
// never converted.
static_assert(sizeof(TavroComplex) == sizeof(tavro::Amp));
static_assert(alignof(TavroComplex) == alignof(tavro::Amp));
static_assert(offsetof(TavroComplex, re) == 0 && offsetof(TavroComplex, im) == sizeof(double));

// Owns one state by value; the handle's address never changes while the buffer grows.
struct TavroSVHandle {
  tavro::TavroSV sv;
};

// Owns one generator state; stochastic functions pass `rng->rng` to the core.
struct TavroRng {
  tavro::Xoshiro256PlusPlus rng;
};

namespace tavro::ffi {

// The caller's `n` complex numbers as core amplitudes, for the duration of one call.
inline std::span<const Amp> amp_view(const TavroComplex* p, size_t n) {
  return {reinterpret_cast<const Amp*>(p), n};
}

// A caller's array of `n` elements that may be NULL when `n` is 0: false when it is required
// but missing.
inline bool present(const void* p, size_t n) { return p != nullptr || n == 0; }

// Such an array as a sequence, empty when `n` is 0 whatever the pointer holds.
template <class T>
std::span<const T> list_view(const T* p, size_t n) {
  return n == 0 ? std::span<const T>{} : std::span<const T>{p, n};
}

// A fixed-size matrix copied out of the caller's buffer, so the core never reads the caller's
// memory during the call.
template <size_t N>
std::array<Amp, N> copy_matrix(const TavroComplex* m) {
  std::array<Amp, N> out;
  std::memcpy(static_cast<void*>(out.data()), m, sizeof out);
  return out;
}

inline void write_amp(TavroComplex* out, const Amp& a) {
  out->re = a.real();
  out->im = a.imag();
}

// A constructor's result as a handle: the new record after clearing the last error, or NULL
// with the error stored. The record is built before the slot is cleared, so a refused record
// (std::bad_alloc, reported by the trap) leaves the last error as it was.
inline TavroSVHandle* make_handle(Result<TavroSV>&& r) {
  if (!r) {
    set_last_error(r.error());
    return nullptr;
  }
  auto* h = new TavroSVHandle{std::move(*r)};
  clear_last_error();
  return h;
}

}  // namespace tavro::ffi
