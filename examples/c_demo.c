/* A first C program against tavro: build states, run a small circuit, measure and sample it,
 * and read the status codes and messages the library reports.
 *
 *   cc c_demo.c $(pkg-config --cflags --libs tavro) -o c_demo && ./c_demo
 */
#include <stdio.h>

#include "tavro.h"

#define QUBITS 3
#define SHOTS 1000

/* Prints every amplitude of the state's buffer with its basis index in binary, qubit 0 last. */
static int print_state(const char* title, const TavroSVHandle* sv) {
  TavroComplex amps[16];
  const size_t n = tavro_sv_len(sv);
  const uint32_t nq = tavro_sv_num_qubits(sv);
  size_t k;
  uint32_t q;
  if (n > 16 || tavro_sv_copy_amplitudes(sv, amps, n) != TAVRO_OK) return -1;
  printf("%s (%u qubits)\n", title, (unsigned)nq);
  for (k = 0; k < n; ++k) {
    printf("  |");
    for (q = nq; q-- > 0;) putchar((k >> q) & 1 ? '1' : '0');
    printf(">  %+.6f %+.6fi\n", amps[k].re, amps[k].im);
  }
  return 0;
}

/* Prints the calling thread's last error, as a caller does after a failed call. */
static void print_last_error(const char* what) {
  const char* message = tavro_last_error_message();
  printf("%s -> code %d: %s\n", what, (int)tavro_last_error_code(),
         message != NULL ? message : "(no message)");
}

/* Prints one call's status; returns nonzero when it is not the expected one. */
static int step(const char* what, int32_t status, int32_t expected) {
  printf("  %-46s -> %d\n", what, (int)status);
  if (status == expected) return 0;
  print_last_error("  unexpected status");
  return 1;
}

/* One row of QUBITS bytes (entry q is qubit q) as a basis index. */
static unsigned row_index(const uint8_t* row) {
  unsigned idx = 0, q;
  for (q = 0; q < QUBITS; ++q) idx |= (unsigned)row[q] << q;
  return idx;
}

/* GHZ on three qubits, 1000 shots, one more shot, then a measurement that collapses it. */
static int run_ghz(TavroRng* rng) {
  static uint8_t rows[SHOTS * QUBITS];
  uint8_t one[QUBITS];
  unsigned counts[1u << QUBITS] = {0};
  unsigned k, q;
  uint8_t outcome = 0;
  double p0 = -1.0;
  int bad = 0;
  TavroSVHandle* ghz = tavro_sv_zero(QUBITS);
  if (ghz == NULL) {
    print_last_error("tavro_sv_zero");
    return 1;
  }
  printf("GHZ circuit on %d qubits\n", QUBITS);
  bad |= step("tavro_sv_apply_h(ghz, 0)", tavro_sv_apply_h(ghz, 0), TAVRO_OK);
  bad |= step("tavro_sv_apply_cx(ghz, 0, 1)", tavro_sv_apply_cx(ghz, 0, 1), TAVRO_OK);
  bad |= step("tavro_sv_apply_cx(ghz, 1, 2)", tavro_sv_apply_cx(ghz, 1, 2), TAVRO_OK);
  if (bad || print_state("GHZ state", ghz) != 0) return 1;

  /* Sampling leaves the state as it is; out holds SHOTS rows of QUBITS bytes. */
  bad |= step("tavro_sv_sample(ghz, rng, 1000, ...)",
              tavro_sv_sample(ghz, rng, SHOTS, rows, sizeof rows), TAVRO_OK);
  for (k = 0; k < SHOTS; ++k) counts[row_index(rows + k * QUBITS)]++;
  for (k = 0; k < (1u << QUBITS); ++k) {
    if (counts[k] == 0) continue;
    printf("  |");
    for (q = QUBITS; q-- > 0;) putchar((k >> q) & 1 ? '1' : '0');
    printf(">  %u of %d shots\n", counts[k], SHOTS);
  }
  bad |= step("tavro_sv_sample_bitstring(ghz, rng, ...)",
              tavro_sv_sample_bitstring(ghz, rng, one, QUBITS), TAVRO_OK);
  printf("  one more shot: qubits 0..2 = %u %u %u\n", one[0], one[1], one[2]);

  /* Measuring one qubit of a GHZ state fixes all three. */
  bad |= step("tavro_sv_prob_zero(ghz, 2, &p0)", tavro_sv_prob_zero(ghz, 2, &p0), TAVRO_OK);
  printf("  P(qubit 2 = 0) = %.6f\n", p0);
  bad |= step("tavro_sv_measure_qubit(ghz, 0, rng, &outcome)",
              tavro_sv_measure_qubit(ghz, 0, rng, &outcome), TAVRO_OK);
  bad |= step("tavro_sv_prob_zero(ghz, 2, &p0)", tavro_sv_prob_zero(ghz, 2, &p0), TAVRO_OK);
  printf("  qubit 0 measured %u; now P(qubit 2 = 0) = %.6f\n", outcome, p0);
  if (bad || print_state("after the measurement", ghz) != 0) return 1;
  bad |= step("tavro_sv_reset_qubit(ghz, 2, rng, &outcome)",
              tavro_sv_reset_qubit(ghz, 2, rng, &outcome), TAVRO_OK);
  printf("  qubit 2 was %u before the reset\n", outcome);

  /* Refusals: a wrong out length is rejected at the boundary (-1, nothing stored, no draw);
   * a qubit out of range is a core error with a message. */
  bad |= step("tavro_sv_sample(ghz, rng, 2, out, 5)", tavro_sv_sample(ghz, rng, 2, rows, 5),
              TAVRO_REJECTED);
  bad |= step("tavro_sv_measure_qubit(ghz, 3, rng, &outcome)",
              tavro_sv_measure_qubit(ghz, 3, rng, &outcome), TAVRO_QUBIT_INDEX_OUT_OF_BOUNDS);
  print_last_error("tavro_sv_measure_qubit(3)");
  tavro_sv_free(ghz);
  return bad;
}

/* A dynamic state holds only the qubits in use; releasing one halves the buffer. */
static int run_dynamic(TavroRng* rng) {
  uint8_t outcome = 0;
  int bad = 0;
  TavroSVHandle* dyn = tavro_sv_zero_dynamic(20);
  if (dyn == NULL) return 1;
  printf("dynamic state of 20 declared qubits\n");
  bad |= step("tavro_sv_apply_x(dyn, 12)", tavro_sv_apply_x(dyn, 12), TAVRO_OK);
  bad |= step("tavro_sv_apply_h(dyn, 3)", tavro_sv_apply_h(dyn, 3), TAVRO_OK);
  printf("  buffer: %zu amplitudes\n", tavro_sv_len(dyn));
  bad |= step("tavro_sv_free_qubit(dyn, 12, rng, &outcome)",
              tavro_sv_free_qubit(dyn, 12, rng, &outcome), TAVRO_OK);
  printf("  qubit 12 measured %u and released: %zu amplitudes, allocated %d\n", outcome,
         tavro_sv_len(dyn), (int)tavro_sv_is_allocated(dyn, 12));
  tavro_sv_free(dyn);
  return bad;
}

int main(void) {
  /* |q2 q1 q0> = |101>: entry i of the list is qubit i. */
  static const uint8_t bits[3] = {1, 0, 1};
  /* (|00> + |11>) with an unnormalised weight of 1 each. */
  static const TavroComplex bell[4] = {{1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {1.0, 0.0}};
  static const TavroComplex nothing[4] = {{0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}};
  uint8_t row[2];
  TavroSVHandle* basis;
  TavroSVHandle* pair;
  TavroSVHandle* empty;
  TavroRng* rng;
  TavroComplex amp;
  double p = 0.0;
  double norm;
  int bad;

  printf("%s\n", tavro_library_info());
  basis = tavro_sv_from_bitstring(bits, 3);
  if (basis == NULL) {
    print_last_error("tavro_sv_from_bitstring");
    return 1;
  }
  if (print_state("basis state from bits {1, 0, 1}", basis) != 0) return 1;

  pair = tavro_sv_from_amplitudes(2, bell, 4);
  if (pair == NULL) {
    print_last_error("tavro_sv_from_amplitudes");
    return 1;
  }
  norm = tavro_sv_normalize(pair);
  printf("norm before normalising: %.17g\n", norm);
  if (print_state("normalised Bell pair", pair) != 0) return 1;
  if (tavro_sv_get(pair, 3, &amp) != TAVRO_OK || tavro_sv_probability(pair, 3, &p) != TAVRO_OK)
    return 1;
  printf("amplitude 3 = %.17g %+.17gi, probability %.17g\n", amp.re, amp.im, p);

  /* Errors: a code is returned and a message kept for this thread. */
  if (tavro_sv_get(pair, 4, &amp) == TAVRO_INVALID_BASIS_INDEX) print_last_error("tavro_sv_get(4)");
  if (tavro_sv_zero(60) == NULL) print_last_error("tavro_sv_zero(60)");
  /* A rejected argument returns -1 and keeps the earlier message. */
  printf("tavro_sv_get(NULL) -> %d\n", (int)tavro_sv_get(NULL, 0, &amp));
  print_last_error("still");
  tavro_clear_last_error();

  /* Every stochastic call draws from a generator the caller owns: the same seed gives the
   * same run. */
  rng = tavro_rng_new(2024);
  if (rng == NULL) return 1;
  bad = run_ghz(rng);
  bad |= run_dynamic(rng);

  /* A state without probability cannot be sampled. */
  empty = tavro_sv_from_amplitudes(2, nothing, 4);
  if (empty == NULL) return 1;
  bad |= step("tavro_sv_sample_bitstring(empty, rng, ...)",
              tavro_sv_sample_bitstring(empty, rng, row, 2), TAVRO_DEGENERATE_STATE);
  print_last_error("tavro_sv_sample_bitstring(empty)");

  tavro_sv_free(empty);
  tavro_rng_free(rng);
  tavro_sv_free(pair);
  tavro_sv_free(basis);
  return bad ? 1 : 0;
}
