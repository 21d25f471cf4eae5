/* A first C program against tavro: build states, read their amplitudes, see an error.
 *
 *   cc c_demo.c $(pkg-config --cflags --libs tavro) -o c_demo && ./c_demo
 */
#include <stdio.h>

#include "tavro.h"

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

int main(void) {
  /* |q2 q1 q0> = |101>: entry i of the list is qubit i. */
  static const uint8_t bits[3] = {1, 0, 1};
  /* (|00> + |11>) with an unnormalised weight of 1 each. */
  static const TavroComplex bell[4] = {{1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {1.0, 0.0}};
  TavroSVHandle* basis;
  TavroSVHandle* pair;
  TavroComplex amp;
  double p = 0.0;
  double norm;

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

  tavro_sv_free(pair);
  tavro_sv_free(basis);
  return 0;
}
