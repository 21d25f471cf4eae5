#pragma once
// What the C-face tests share: reading the last error as one string, counting the draws a call
// took from a generator, and comparing a state's buffer bit for bit.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tavro.h"

namespace ffi_test {

// "{code} {message}", "<null>" standing for a NULL message.
inline std::string last_error() {
  const char* m = tavro_last_error_message();
  return std::to_string(tavro_last_error_code()) + " " + (m != nullptr ? m : "<null>");
}

// Whether `used`, made from `seed`, has taken exactly `draws` steps: its next eight one-draw
// shots of a uniform 6-qubit state (6 bits of each draw) are those of a fresh twin after
// `draws` such shots. Advances `used`.
inline bool took_draws(TavroRng* used, uint64_t seed, size_t draws) {
  static const std::vector<TavroComplex> flat(64, TavroComplex{0.125, 0.0});
  TavroSVHandle* uniform = tavro_sv_from_amplitudes(6, flat.data(), flat.size());
  TavroRng* twin = tavro_rng_new(seed);
  std::vector<uint8_t> skip(6 * draws), want(48), got(48);
  tavro_sv_sample(uniform, twin, draws, skip.data(), skip.size());
  tavro_sv_sample(uniform, twin, 8, want.data(), want.size());
  tavro_sv_sample(uniform, used, 8, got.data(), got.size());
  tavro_rng_free(twin);
  tavro_sv_free(uniform);
  return got == want;
}

// The state's buffer, in physical order.
inline std::vector<TavroComplex> buffer(const TavroSVHandle* sv) {
  std::vector<TavroComplex> out(tavro_sv_len(sv));
  tavro_sv_copy_amplitudes(sv, out.data(), out.size());
  return out;
}

// Equal lengths and equal bits, so that -0.0 against +0.0 and NaN payloads count.
inline bool same_bits(const std::vector<TavroComplex>& a, const std::vector<TavroComplex>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(TavroComplex)) == 0);
}

}  // namespace ffi_test
