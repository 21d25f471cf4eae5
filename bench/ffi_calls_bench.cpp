// The cost of one call through the C interface on a small state: what a circuit front end
// pays per operation when the state is too small for the work itself to matter.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "tavro.h"

namespace {

TavroSVHandle* four_qubit_state() {
  TavroSVHandle* sv = tavro_sv_zero(4);
  if (sv == nullptr) std::abort();
  return sv;
}

// A trapped read that reports through the last error: boundary checks, the core read, one
// out-parameter and the clear of the slot.
void BM_ffi_get(benchmark::State& state) {
  TavroSVHandle* sv = four_qubit_state();
  TavroComplex out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(tavro_sv_get(sv, 0, &out));
    benchmark::DoNotOptimize(out);
  }
  tavro_sv_free(sv);
}
BENCHMARK(BM_ffi_get);

// A trapped whole-state reduction that never touches the last error; 16 amplitudes stay on
// the caller's thread.
void BM_ffi_norm_squared(benchmark::State& state) {
  TavroSVHandle* sv = four_qubit_state();
  for (auto _ : state) benchmark::DoNotOptimize(tavro_sv_norm_squared(sv));
  tavro_sv_free(sv);
}
BENCHMARK(BM_ffi_norm_squared);

// The failing path: building and storing the error message.
void BM_ffi_get_out_of_range(benchmark::State& state) {
  TavroSVHandle* sv = four_qubit_state();
  TavroComplex out;
  for (auto _ : state) benchmark::DoNotOptimize(tavro_sv_get(sv, 16, &out));
  tavro_clear_last_error();
  tavro_sv_free(sv);
}
BENCHMARK(BM_ffi_get_out_of_range);

// A one-qubit gate: the handle check, the trap, the core's range check and slot, the kernel on
// 16 amplitudes (one block: the caller's thread) and the clear of the last error.
void BM_ffi_apply_h(benchmark::State& state) {
  TavroSVHandle* sv = four_qubit_state();
  for (auto _ : state) benchmark::DoNotOptimize(tavro_sv_apply_h(sv, 0));
  tavro_sv_free(sv);
}
BENCHMARK(BM_ffi_apply_h);

}  // namespace
