// tavro.h compiled as strict C99 and used as a C program would. Exits non-zero when any check
// fails.
#include <stdio.h>
#include <string.h>

#include "tavro.h"

static int failures = 0;

static void check(int ok, int line, const char* what) {
  if (!ok) fprintf(stderr, "header_test.c:%d: failed: %s\n", line, what), failures++;
}
#define CHECK(cond) check((cond) != 0, __LINE__, #cond)

int main(void) {
  static const uint8_t bits[3] = {1, 0, 1};
  TavroComplex amps[8];
  double p = -1.0;
  size_t k;
  TavroSVHandle* sv;
  TavroRng* rng = tavro_rng_new(1);
  uint8_t shots[16], outcome = 9;

  CHECK(sizeof(TavroComplex) == 2 * sizeof(double));
  CHECK(TAVRO_OK == 0 && TAVRO_REJECTED == -1 && TAVRO_NON_UNITARY == -10);
  CHECK(tavro_last_error_code() == 0 && tavro_last_error_message() == NULL);

  sv = tavro_sv_from_bitstring(bits, 3);
  CHECK(tavro_sv_len(sv) == 8 && tavro_sv_num_qubits(sv) == 3 && tavro_sv_is_dynamic(sv) == 0);
  CHECK(tavro_sv_copy_amplitudes(sv, amps, 8) == TAVRO_OK);
  for (k = 0; k < 8; ++k) CHECK(amps[k].re == (k == 5 ? 1.0 : 0.0) && amps[k].im == 0.0);
  CHECK((ErrorCode)tavro_sv_get(sv, 8, amps) == TAVRO_INVALID_BASIS_INDEX);
  CHECK(tavro_sv_get(NULL, 0, amps) == TAVRO_REJECTED);
  CHECK(tavro_last_error_code() == TAVRO_INVALID_BASIS_INDEX &&
        strcmp(tavro_last_error_message(), "invalid basis-state index: index 8 >= 2^3") == 0);
  tavro_sv_free(sv);

  /* A Bell pair: both qubits of every shot agree; a short buffer or gate is refused. */
  sv = tavro_sv_zero(2);
  CHECK(tavro_sv_apply_h(sv, 0) == TAVRO_OK && tavro_sv_apply_cx(sv, 0, 1) == TAVRO_OK);
  CHECK(tavro_last_error_message() == NULL);
  CHECK(tavro_sv_apply_gate_1q(sv, amps, 3, 0) == TAVRO_REJECTED);
  CHECK(tavro_sv_sample(sv, rng, 8, shots, sizeof shots) == TAVRO_OK);
  for (k = 0; k < 8; ++k) CHECK(shots[2 * k] == shots[2 * k + 1] && shots[2 * k] <= 1);
  CHECK(tavro_sv_sample(sv, rng, 8, shots, sizeof shots - 1) == TAVRO_REJECTED);
  CHECK(tavro_sv_measure_qubit(sv, 0, rng, &outcome) == TAVRO_OK && outcome <= 1);
  CHECK(tavro_sv_prob_zero(sv, 1, &p) == TAVRO_OK && p == (outcome == 0 ? 1.0 : 0.0));
  CHECK(tavro_sv_free_qubit(sv, 2, rng, &outcome) == TAVRO_QUBIT_INDEX_OUT_OF_BOUNDS);
  tavro_sv_free(sv);

  /* The later functions as C sees them: const texts, size_t lists, an optional out. */
  CHECK(strcmp(tavro_version(), "0.3.0") == 0 && tavro_version() == tavro_version());
  CHECK(strcmp(tavro_library_info(), "tavro 0.3.0") == 0);
  sv = tavro_sv_zero(3);
  {
    static const size_t controls[2] = {0, 1};
    static const char paulis[3] = {'Z', 'z', 'I'};
    TavroComplex value = {0.0, 0.0};
    CHECK(tavro_sv_apply_x(sv, 0) == TAVRO_OK && tavro_sv_apply_x(sv, 1) == TAVRO_OK);
    CHECK(tavro_sv_apply_mcx(sv, controls, 2, 2) == TAVRO_OK);
    CHECK(tavro_sv_expectation_pauli(sv, paulis, controls, 2, &value) == TAVRO_OK);
    CHECK(value.re == 1.0 && value.im == 0.0);
    CHECK(tavro_sv_expectation_pauli(sv, "W", controls, 1, &value) == TAVRO_INVALID_GATE_MATRIX);
    CHECK(tavro_sv_apply_mixed_unitary_1q(sv, amps, 4, NULL, 0, 0, rng, NULL) == TAVRO_REJECTED);
    CHECK(tavro_optimize_ordering(0, NULL, NULL, NULL, NULL, 0, 0, 1, NULL, &p) == TAVRO_OK);
    CHECK(p == 0.0 && tavro_last_error_code() == TAVRO_OK);
  }
  tavro_sv_free(sv);
  tavro_rng_free(rng);
  tavro_sv_free(NULL);

  return failures == 0 ? 0 : 1;
}
