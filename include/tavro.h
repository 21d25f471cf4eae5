/* tavro: a state-vector quantum circuit simulator, C interface.
 *
 * Conventions shared by every function:
 * - Functions returning int32_t report a status (see ErrorCode): 0 on success, -1 when an
 *   argument is rejected at the boundary (null handle or pointer, wrong length) or an internal
 *   fault was trapped, -2 to -10 for an error of the simulator core.
 * - Only a core error stores a message. Each thread has its own last error, read with
 *   tavro_last_error_code and tavro_last_error_message. A rejected argument or a trapped fault
 *   never stores anything, so the last error keeps what it held.
 * - A trapped internal fault also writes one line "{function} panicked across C ABI: {message}"
 *   to standard error.
 * - Out-parameters are written only on success.
 * - The caller owns every handle it receives and releases it exactly once with the matching
 *   free function; a handle passed to any other function is only borrowed for that call.
 *   A handle must be used by one thread at a time; different handles may be used at the same
 *   time on different threads.
 * - Qubit 0 is the least significant bit of a basis index.
 */
#ifndef TAVRO_H
#define TAVRO_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__) || defined(__clang__)
#define TAVRO_API __attribute__((visibility("default")))
#else
#define TAVRO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A state vector: owns its amplitude buffer and, in dynamic mode, its slot table. */
typedef struct TavroSVHandle TavroSVHandle;

/* A Xoshiro256++ generator, for the stochastic functions. */
typedef struct TavroRng TavroRng;

/* A complex amplitude: two IEEE-754 doubles, real part first (16 bytes). An array of complex
 * numbers is consecutive such pairs, the layout of C99 `double complex` and C++
 * `std::complex<double>`. */
typedef struct TavroComplex {
  double re;
  double im;
} TavroComplex;

/* Status codes. A core error's code is -2 minus its position among the errors below. */
typedef enum ErrorCode {
  /* success */
  TAVRO_OK = 0,
  /* an argument rejected at the boundary, or a trapped internal fault; no message stored */
  TAVRO_REJECTED = -1,
  /* a qubit count above 59, or a bit list longer than 2^32 - 1 entries */
  TAVRO_INVALID_NUM_QUBITS = -2,
  /* a qubit index not below the declared qubit count */
  TAVRO_QUBIT_INDEX_OUT_OF_BOUNDS = -3,
  /* the same qubit named twice in one operation */
  TAVRO_DUPLICATE_QUBITS = -4,
  /* a gate matrix, diagonal, operator list or Pauli string that the simulator cannot use */
  TAVRO_INVALID_GATE_MATRIX = -5,
  /* a basis index out of range, or a bit value other than 0 or 1 */
  TAVRO_INVALID_BASIS_INDEX = -6,
  /* an amplitude vector whose length is not 2^num_qubits */
  TAVRO_INVALID_STATE_LENGTH = -7,
  /* the amplitude buffer could not be reserved */
  TAVRO_ALLOCATION_FAILED = -8,
  /* sampling from a state that holds no probability */
  TAVRO_DEGENERATE_STATE = -9,
  /* a non-unitary gate (reserved: no function reports it today) */
  TAVRO_NON_UNITARY = -10
} ErrorCode;

/* ---- Version ---- */

/* The library version, "0.3.0". A static text owned by the library (do not free or modify
 * it); every call returns the same pointer. Never fails, never touches the last error. */
TAVRO_API const char* tavro_version(void);

/* The library name and version, "tavro 0.3.0". Static and owned by the library, as above. */
TAVRO_API const char* tavro_library_info(void);

/* ---- Last error of the calling thread ---- */

/* Empties the calling thread's last error. Never fails. */
TAVRO_API void tavro_clear_last_error(void);

/* The code of the calling thread's last stored error (-2 to -10), or 0 when none is stored. */
TAVRO_API int32_t tavro_last_error_code(void);

/* The message of the calling thread's last stored error, NUL-terminated, or NULL when none is
 * stored. The library owns the text: do not free or modify it. It stays valid until this
 * thread next stores or clears its last error (a call that reports a core error, a successful
 * call of a function that clears, tavro_clear_last_error) or ends. */
TAVRO_API const char* tavro_last_error_message(void);

/* ---- Constructors and release ----
 * The four constructors below return a new handle that the caller owns (release it with
 * tavro_sv_free) and clear the last error, or return NULL. NULL with a stored error
 * (-2 invalid qubit count, -6 bad bit value, -7 wrong length, -8 allocation refused) tells
 * why; NULL with nothing stored means a rejected argument or a trapped fault. */

/* The static state |0...0> of num_qubits qubits (at most 59). Errors: -2, -8. */
TAVRO_API TavroSVHandle* tavro_sv_zero(uint32_t num_qubits);

/* The state |0...0> in dynamic mode: the buffer holds only the qubits touched so far (none at
 * first, length 1); the full 2^num_qubits capacity is reserved now. Errors: -2, -8. */
TAVRO_API TavroSVHandle* tavro_sv_zero_dynamic(uint32_t num_qubits);

/* A static state holding a copy of the len amplitudes at amps, not normalised. NULL without a
 * stored error when amps is NULL or len is not 2^num_qubits (no len matches when num_qubits is
 * 64 or more). The caller keeps ownership of amps. Errors: -2, -8. */
TAVRO_API TavroSVHandle* tavro_sv_from_amplitudes(uint32_t num_qubits, const TavroComplex* amps,
                                                  size_t len);

/* The basis state whose qubit i is bits[i] (each 0 or 1), nbits qubits. bits must be non-null,
 * also when nbits is 0 (the 0-qubit state); otherwise NULL without a stored error. The caller
 * keeps ownership of bits. Errors: -2 (nbits above 59), -6 (an entry other than 0 or 1). */
TAVRO_API TavroSVHandle* tavro_sv_from_bitstring(const uint8_t* bits, size_t nbits);

/* A deep, independent copy of sv, owned by the caller (release it with tavro_sv_free). NULL
 * when sv is NULL or when the copy's buffer cannot be reserved (a trapped fault). Never
 * touches the last error. */
TAVRO_API TavroSVHandle* tavro_sv_clone(const TavroSVHandle* sv);

/* Releases the state and its buffer. NULL is ignored. sv must not be used afterwards. */
TAVRO_API void tavro_sv_free(TavroSVHandle* sv);

/* A new generator seeded from seed by the SplitMix64 expansion, owned by the caller (release
 * it with tavro_rng_free). NULL only after a trapped fault. Never touches the last error. */
TAVRO_API TavroRng* tavro_rng_new(uint64_t seed);

/* Releases the generator. NULL is ignored. rng must not be used afterwards. */
TAVRO_API void tavro_rng_free(TavroRng* rng);

/* ---- Accessors (never touch the last error) ---- */

/* The number of amplitudes in the buffer: 2^live_qubits (2^num_qubits for a static state);
 * 0 for NULL. */
TAVRO_API size_t tavro_sv_len(const TavroSVHandle* sv);

/* The declared qubit count; 0 for NULL. */
TAVRO_API uint32_t tavro_sv_num_qubits(const TavroSVHandle* sv);

/* The number of qubits physically present (num_qubits for a static state); 0 for NULL. */
TAVRO_API uint32_t tavro_sv_live_qubits(const TavroSVHandle* sv);

/* 1 for a dynamic state, 0 for a static one, -1 for NULL. */
TAVRO_API int32_t tavro_sv_is_dynamic(const TavroSVHandle* sv);

/* 1 when qubit target occupies a slot of the buffer (always, below num_qubits, for a static
 * state), 0 when it does not or is not below num_qubits (never an error), -1 for NULL or a
 * trapped fault. */
TAVRO_API int32_t tavro_sv_is_allocated(const TavroSVHandle* sv, size_t target);

/* Copies the buffer, in physical order, into out, which holds len amplitudes. len must equal
 * tavro_sv_len(sv). Returns 0, or -1 when sv or out is NULL or len differs (nothing written).
 */
TAVRO_API int32_t tavro_sv_copy_amplitudes(const TavroSVHandle* sv, TavroComplex* out, size_t len);

/* ---- Reads by basis index ----
 * Each returns 0 and writes *out, clearing the last error; -1 when sv or out is NULL; or -6
 * (stored, out untouched) for an index out of range, with the message
 * "invalid basis-state index: index {index} >= 2^{num_qubits}". */

/* The amplitude at physical buffer index `index`, which must be below tavro_sv_len(sv). */
TAVRO_API int32_t tavro_sv_get(const TavroSVHandle* sv, size_t index, TavroComplex* out);

/* re*re + im*im of the amplitude at physical index `index` (below tavro_sv_len(sv)). */
TAVRO_API int32_t tavro_sv_probability(const TavroSVHandle* sv, size_t index, double* out);

/* The amplitude of logical basis index `index` (below 2^num_qubits): bit q of index is the
 * value of qubit q; 0 when index sets a qubit that a dynamic state has not touched. */
TAVRO_API int32_t tavro_sv_get_logical(const TavroSVHandle* sv, size_t index, TavroComplex* out);

/* re*re + im*im of the amplitude of logical basis index `index` (below 2^num_qubits). */
TAVRO_API int32_t tavro_sv_probability_logical(const TavroSVHandle* sv, size_t index, double* out);

/* ---- Whole-state operations (never touch the last error) ---- */

/* The sum of re*re + im*im over the buffer; -1.0 for NULL or a trapped fault. */
TAVRO_API double tavro_sv_norm_squared(const TavroSVHandle* sv);

/* Scales the state to unit norm when its squared norm is positive (otherwise leaves it as it
 * is) and returns the norm measured before scaling; -1.0 for NULL or a trapped fault. */
TAVRO_API double tavro_sv_normalize(TavroSVHandle* sv);

/* Sets the buffer to |0...0>: amplitude 0 to 1, the others to 0. A dynamic state keeps its
 * length and its touched qubits. Returns 0, or -1 for NULL or a trapped fault. */
TAVRO_API int32_t tavro_sv_reset_to_zero(TavroSVHandle* sv);

/* ---- One-qubit gates ----
 * Each applies one gate to the logical qubit target, in place, and returns:
 *    0  success; the last error is cleared;
 *   -1  sv is NULL (or a gate pointer or length is rejected, below), or a trapped fault;
 *       nothing is stored and the state is untouched;
 *   -3  target is not below the declared qubit count; stored with the message
 *       "qubit index {target} out of bounds for state vector with {num_qubits} qubits", and the
 *       state is untouched.
 * On a dynamic state a gate on an untouched qubit first allocates it (the buffer doubles), also
 * for the diagonal gates. Angles are in radians and used as given, non-finite ones included. */

/* Pauli X. */
TAVRO_API int32_t tavro_sv_apply_x(TavroSVHandle* sv, size_t target);
/* Pauli Y. */
TAVRO_API int32_t tavro_sv_apply_y(TavroSVHandle* sv, size_t target);
/* Pauli Z. */
TAVRO_API int32_t tavro_sv_apply_z(TavroSVHandle* sv, size_t target);
/* Hadamard. */
TAVRO_API int32_t tavro_sv_apply_h(TavroSVHandle* sv, size_t target);
/* S = diag(1, i). */
TAVRO_API int32_t tavro_sv_apply_s(TavroSVHandle* sv, size_t target);
/* S-dagger = diag(1, -i). */
TAVRO_API int32_t tavro_sv_apply_sdg(TavroSVHandle* sv, size_t target);
/* T = diag(1, e^(i pi/4)). */
TAVRO_API int32_t tavro_sv_apply_t(TavroSVHandle* sv, size_t target);
/* T-dagger = diag(1, e^(-i pi/4)). */
TAVRO_API int32_t tavro_sv_apply_tdg(TavroSVHandle* sv, size_t target);
/* SX = 1/2 [[1 + i, 1 - i], [1 - i, 1 + i]], the square root of X. */
TAVRO_API int32_t tavro_sv_apply_sx(TavroSVHandle* sv, size_t target);
/* P(lambda) = diag(1, e^(i lambda)). */
TAVRO_API int32_t tavro_sv_apply_p(TavroSVHandle* sv, double lambda, size_t target);
/* RX(theta) = [[c, -i s], [-i s, c]], c = cos(theta/2), s = sin(theta/2). */
TAVRO_API int32_t tavro_sv_apply_rx(TavroSVHandle* sv, double theta, size_t target);
/* RY(theta) = [[c, -s], [s, c]]. */
TAVRO_API int32_t tavro_sv_apply_ry(TavroSVHandle* sv, double theta, size_t target);
/* RZ(lmbda) = diag(e^(-i lmbda/2), e^(i lmbda/2)). */
TAVRO_API int32_t tavro_sv_apply_rz(TavroSVHandle* sv, double lmbda, size_t target);
/* U(theta, phi, lmbda) = [[c, -e^(i lmbda) s], [e^(i phi) s, e^(i(phi + lmbda)) c]],
 * c and s of theta/2, no global phase. */
TAVRO_API int32_t tavro_sv_apply_u(TavroSVHandle* sv, double theta, double phi, double lmbda,
                                   size_t target);
/* The 2x2 matrix at gate, gate_len = 4 complex numbers in column-major order
 * [U00, U10, U01, U11], applied as given (unitarity is not checked). -1 without a stored error
 * when gate is NULL or gate_len is not 4. The entries are copied before the gate runs; the
 * caller keeps ownership of gate. */
TAVRO_API int32_t tavro_sv_apply_gate_1q(TavroSVHandle* sv, const TavroComplex* gate,
                                         size_t gate_len, size_t target);

/* ---- Two-qubit gates ----
 * Each applies one gate to two logical qubits, in place, and returns:
 *    0  success; the last error is cleared;
 *   -1  sv is NULL (or the gate pointer or length is rejected), or a trapped fault; nothing is
 *       stored and the state is untouched;
 *   -3  a qubit not below the declared qubit count, the first argument checked first; stored
 *       with the message "qubit index {qubit} out of bounds for state vector with {num_qubits}
 *       qubits";
 *   -4  the two qubits are equal; stored with the message
 *       "two-qubit gate operands must be distinct, got ({q}, {q})".
 * A failed call leaves the state untouched. In the 4x4 matrices the first qubit argument
 * (control or q1) is the most significant bit of the local basis, (bit_q1 << 1) | bit_q2.
 * On a dynamic state untouched qubits are allocated, the first argument first. */

/* X on target where control is 1. */
TAVRO_API int32_t tavro_sv_apply_cx(TavroSVHandle* sv, size_t control, size_t target);
/* Y on target where control is 1. */
TAVRO_API int32_t tavro_sv_apply_cy(TavroSVHandle* sv, size_t control, size_t target);
/* CZ = diag(1, 1, 1, -1), symmetric in q1 and q2. */
TAVRO_API int32_t tavro_sv_apply_cz(TavroSVHandle* sv, size_t q1, size_t q2);
/* CP(lmbda) = diag(1, 1, 1, e^(i lmbda)), symmetric in q1 and q2. */
TAVRO_API int32_t tavro_sv_apply_cp(TavroSVHandle* sv, double lmbda, size_t q1, size_t q2);
/* RX(theta) on target where control is 1. */
TAVRO_API int32_t tavro_sv_apply_crx(TavroSVHandle* sv, double theta, size_t control,
                                     size_t target);
/* RY(theta) on target where control is 1. */
TAVRO_API int32_t tavro_sv_apply_cry(TavroSVHandle* sv, double theta, size_t control,
                                     size_t target);
/* RZ(lmbda) on target where control is 1. */
TAVRO_API int32_t tavro_sv_apply_crz(TavroSVHandle* sv, double lmbda, size_t control,
                                     size_t target);
/* Exchanges the two qubits. */
TAVRO_API int32_t tavro_sv_apply_swap(TavroSVHandle* sv, size_t q1, size_t q2);
/* iSWAP: |01> -> i|10>, |10> -> i|01>. */
TAVRO_API int32_t tavro_sv_apply_iswap(TavroSVHandle* sv, size_t q1, size_t q2);
/* RXX(theta) = cos(theta/2) I - i sin(theta/2) X(q1) X(q2). */
TAVRO_API int32_t tavro_sv_apply_rxx(TavroSVHandle* sv, double theta, size_t q1, size_t q2);
/* RYY(theta) = cos(theta/2) I - i sin(theta/2) Y(q1) Y(q2). */
TAVRO_API int32_t tavro_sv_apply_ryy(TavroSVHandle* sv, double theta, size_t q1, size_t q2);
/* RZZ(theta) = cos(theta/2) I - i sin(theta/2) Z(q1) Z(q2). */
TAVRO_API int32_t tavro_sv_apply_rzz(TavroSVHandle* sv, double theta, size_t q1, size_t q2);
/* The 4x4 matrix at gate, gate_len = 16 complex numbers in column-major order (entry r + 4c is
 * row r, column c), q1 the most significant bit of its local basis; applied as given. -1
 * without a stored error when gate is NULL or gate_len is not 16. The entries are copied before
 * the gate runs; the caller keeps ownership of gate. */
TAVRO_API int32_t tavro_sv_apply_gate_2q(TavroSVHandle* sv, const TavroComplex* gate,
                                         size_t gate_len, size_t q1, size_t q2);

/* ---- Dense k-qubit, diagonal and multi-controlled gates ----
 * Each returns 0 (the last error cleared), -1 (a pointer, count or length rejected below, or
 * a trapped fault; nothing stored, the state untouched), or a stored core error:
 *   -3  a qubit not below the declared qubit count: "qubit index {qubit} out of bounds for
 *       state vector with {num_qubits} qubits";
 *   -4  a qubit named twice: "two-qubit gate operands must be distinct, got ({q}, {q})".
 * A failed call leaves the state untouched. Qubit lists are read in place during the call
 * (the caller keeps ownership); untouched qubits of a dynamic state are allocated only by a
 * successful call. */

/* The dense 2^k x 2^k matrix at gate (column-major: entry r + 2^k c is row r, column c) on the
 * k qubits at targets, targets[0] the most significant bit of the local basis; applied as
 * given. -1 unless k is 1 to 5, targets and gate are non-null and gate_len is 4^k (64 for
 * k = 3). Targets are checked in order, range before repetition: -3, -4. */
TAVRO_API int32_t tavro_sv_apply_gate_kq(TavroSVHandle* sv, const TavroComplex* gate,
                                         size_t gate_len, const size_t* targets, size_t k);

/* The diagonal gate whose entry i multiplies the amplitudes of local index i (targets[0] the
 * most significant bit) on the k qubits at targets. -1 unless targets and diag are non-null,
 * k is 1 to 10 and diag_len is 2^k. Targets are checked in order, range before repetition:
 * -3, -4. */
TAVRO_API int32_t tavro_sv_apply_diag_kq(TavroSVHandle* sv, const TavroComplex* diag,
                                         size_t diag_len, const size_t* targets, size_t k);

/* X on target where every one of the ncontrols qubits at controls is 1. controls may be NULL
 * only when ncontrols is 0, which is tavro_sv_apply_x. Each control in order is checked for
 * range (-3), equality with the target (-4 naming the target) and repetition (-4), then the
 * target for range (-3). */
TAVRO_API int32_t tavro_sv_apply_mcx(TavroSVHandle* sv, const size_t* controls, size_t ncontrols,
                                     size_t target);

/* The 2x2 matrix at gate (gate_len = 4, column-major [U00, U10, U01, U11], copied before the
 * gate runs) on target where every control is 1. -1 when gate is NULL, gate_len is not 4, or
 * controls is NULL with ncontrols above 0. Checks and codes as tavro_sv_apply_mcx; with no
 * controls this is tavro_sv_apply_gate_1q. */
TAVRO_API int32_t tavro_sv_apply_controlled_gate_1q(TavroSVHandle* sv, const TavroComplex* gate,
                                                    size_t gate_len, const size_t* controls,
                                                    size_t ncontrols, size_t target);

/* The 4x4 matrix at gate (gate_len = 16, column-major, q1 the most significant bit of the local
 * basis, copied before the gate runs) on (q1, q2) where every control is 1. -1 when gate is
 * NULL, gate_len is not 16, or controls is NULL with ncontrols above 0. Each control in order
 * is checked for range (-3), equality with q1 then q2 (-4 naming it) and repetition (-4); then
 * q1 and q2 for range (-3) and q1 == q2 (-4). With no controls this is tavro_sv_apply_gate_2q.
 */
TAVRO_API int32_t tavro_sv_apply_controlled_gate_2q(TavroSVHandle* sv, const TavroComplex* gate,
                                                    size_t gate_len, const size_t* controls,
                                                    size_t ncontrols, size_t q1, size_t q2);

/* ---- Measurement and release ----
 * Each takes a logical qubit target and returns:
 *    0  success; *out is written and the last error is cleared;
 *   -1  sv, rng or out is NULL (nothing is stored, written or drawn), or a trapped fault
 *       (nothing stored or written);
 *   -3  target is not below the declared qubit count; stored with the message
 *       "qubit index {target} out of bounds for state vector with {num_qubits} qubits"; the
 *       state and the generator are untouched;
 *   -6  the drawn outcome has zero probability (its sum of |a|^2 is at most 1e-300, possible
 *       only on a state whose squared norm is not 1); stored with the message
 *       "invalid basis-state index: projection on qubit {slot} outcome {outcome} has zero
 *       probability", {slot} the qubit's physical slot (target itself on a static state); the
 *       generator has advanced by one draw, the state is untouched.
 * A call that passes the range check advances rng by exactly one draw. One uniform u in [0, 1)
 * picks outcome 0 when u < the sum of |a|^2 over the amplitudes whose target bit is 0 (the
 * state is not normalised first), else 1; the amplitudes of the other outcome become 0 and the
 * rest are scaled by 1/sqrt(its probability). On a dynamic state a qubit never touched is |0>:
 * the outcome is 0 after one generator step, and no slot is allocated. The generator is only
 * borrowed for the call. */

/* Measures qubit target and collapses the state; *out = the outcome, 0 or 1. */
TAVRO_API int32_t tavro_sv_measure_qubit(TavroSVHandle* sv, size_t target, TavroRng* rng,
                                         uint8_t* out);

/* *out = the sum of re*re + im*im over the amplitudes whose bit for target is 0, not divided by
 * the squared norm; 1.0 for a dynamic qubit never touched. Reads only: no generator, and only
 * -1 and -3 can occur. */
TAVRO_API int32_t tavro_sv_prob_zero(const TavroSVHandle* sv, size_t target, double* out);

/* Measures qubit target, then flips it back to |0> when the outcome was 1; *out = the outcome
 * measured before the reset. The qubit stays allocated. */
TAVRO_API int32_t tavro_sv_reset_qubit(TavroSVHandle* sv, size_t target, TavroRng* rng,
                                       uint8_t* out);

/* Resets qubit target and, on a dynamic state, releases its slot: the buffer halves and
 * tavro_sv_is_allocated(sv, target) becomes 0; the next gate on target allocates it again. On a
 * static state this is tavro_sv_reset_qubit. *out = the outcome measured before the release. */
TAVRO_API int32_t tavro_sv_free_qubit(TavroSVHandle* sv, size_t target, TavroRng* rng,
                                      uint8_t* out);

/* ---- Sampling ----
 * Draws shots from the Born distribution of the normalised state without changing it, and
 * returns:
 *    0  success; out holds the shots and the last error is cleared;
 *   -1  sv, rng or out is NULL (also for an empty result) or out_len is not the length
 *       required below (nothing is stored, written or drawn), or a trapped fault (nothing
 *       stored or written);
 *   -8  the shots cannot be held in memory (8 bytes a shot for the draws, whatever the width);
 *       stored with the message "allocation failed for a sample buffer of {nshots} shots,
 *       {bytes} bytes each ({gib} GiB)"; nothing written or drawn;
 *   -9  the squared norm is not finite or is below 1e-300; stored with the message
 *       "degenerate state: non-finite squared norm ({inf or NaN})" or "degenerate state:
 *       squared norm {x.xxxe-N} is too small to sample from"; nothing written or drawn.
 * Each shot takes one draw of rng, all drawn before the first is written; shots depend only on
 * the state and the draws, never on the worker count. Bits are for the declared qubits, so on
 * a dynamic state out has num_qubits bytes per shot whatever the live count; a qubit never
 * touched reads 0. The caller owns out. */

/* nshots shots into out, out_len = nshots * tavro_sv_num_qubits(sv) bytes (a product too large
 * for size_t matches no out_len): byte s * num_qubits + q is qubit q in shot s, 0 or 1.
 * nshots = 0 draws nothing. */
TAVRO_API int32_t tavro_sv_sample(const TavroSVHandle* sv, TavroRng* rng, size_t nshots,
                                  uint8_t* out, size_t out_len);

/* One shot into out, out_len = tavro_sv_num_qubits(sv) bytes: out[q] is qubit q, 0 or 1. */
TAVRO_API int32_t tavro_sv_sample_bitstring(const TavroSVHandle* sv, TavroRng* rng, uint8_t* out,
                                            size_t out_len);

/* ---- Expectation values ----
 * Each writes <psi|O|psi> to *out without changing the state, never divided by the squared
 * norm (an unnormalised state gives the raw sum), and returns 0 (the last error cleared), -1
 * (a pointer or length rejected below, or a trapped fault; nothing stored or written), or a
 * stored core error (-3 out of range, -4 a qubit named twice, -5 a bad Pauli letter). Never
 * allocates a qubit of a dynamic state: an untouched qubit reads as |0>. */

/* The 2x2 operator at op (op_len = 4, column-major, copied before the call) on target. -1 when
 * sv, op or out is NULL or op_len is not 4. Errors: -3. */
TAVRO_API int32_t tavro_sv_expectation_1q(const TavroSVHandle* sv, const TavroComplex* op,
                                          size_t op_len, size_t target, TavroComplex* out);

/* The 4x4 operator at op (op_len = 16, column-major, q1 the most significant bit of the local
 * basis, copied before the call) on (q1, q2). -1 when sv, op or out is NULL or op_len is not
 * 16. Errors: -3 (q1 checked first), -4 (q1 == q2). */
TAVRO_API int32_t tavro_sv_expectation_2q(const TavroSVHandle* sv, const TavroComplex* op,
                                          size_t op_len, size_t q1, size_t q2, TavroComplex* out);

/* The Pauli string of the n bytes at paulis (no terminating NUL is looked for), byte i acting
 * on qubit qubits[i]. Letters are I, X, Y, Z in either case; n = 0 (paulis and qubits may
 * then be NULL) gives the squared norm. -1 when sv or out is NULL, or paulis or qubits is NULL
 * with n above 0. The bytes are parsed in order before the state is read, and the first bad
 * one stops the call with -5 and the message
 *   "invalid gate matrix: Pauli string must be ASCII (I/X/Y/Z); got non-ASCII byte 0x{hh} at
 *   position {i}" for a byte of 0x80 or above ({hh} lower-case hex), or
 *   "invalid gate matrix: expected one of I/X/Y/Z, got '{c}'" for another byte, {c} the byte
 *   upper-cased ('q' shows 'Q'); a zero byte stores "<error message contained NUL>".
 * Then the qubits are checked in order: -3, -4. */
TAVRO_API int32_t tavro_sv_expectation_pauli(const TavroSVHandle* sv, const char* paulis,
                                             const size_t* qubits, size_t n, TavroComplex* out);

/* ---- Noise channels ----
 * Each picks one operator of a list with at most one draw of rng, applies it, and returns 0
 * (the last error cleared; *chosen = the operator's index when chosen is not NULL), -1 (sv,
 * the operator or weight list or rng is NULL, even when its length is 0; or a trapped fault;
 * nothing stored, written or drawn), or a stored core error:
 *   -3  a qubit out of range (q1 checked first);
 *   -4  q1 == q2;
 *   -5  an operator list whose length is not a non-zero multiple of 4 (16 for two qubits), or
 *       a mixed-unitary list whose length is not 4 (16) times nprobs, or nprobs = 0.
 * A failed call draws nothing and writes nothing. Operators are consecutive column-major
 * matrices of 4 (2x2) or 16 (4x4, q1 the most significant bit) complex numbers, read in place
 * during the call. Index k is chosen as the first whose running sum of weights exceeds
 * total * u (u the one draw), else the last; a total of 0 or less picks 0 without a draw. */

/* Kraus operators on target, operator k weighted by its ||K psi||^2; the state is renormalised
 * after the chosen operator when its weight is positive. On a dynamic state an untouched
 * target is allocated before the list is checked and stays allocated after -5. */
TAVRO_API int32_t tavro_sv_apply_kraus_1q(TavroSVHandle* sv, const TavroComplex* ops,
                                          size_t ops_len, size_t target, TavroRng* rng,
                                          size_t* chosen);

/* Kraus operators of 16 entries on (q1, q2), as tavro_sv_apply_kraus_1q; untouched qubits are
 * allocated (q1 first) before the list is checked. Also -8 when the copies of the state
 * needed to weigh the operators cannot be reserved. */
TAVRO_API int32_t tavro_sv_apply_kraus_2q(TavroSVHandle* sv, const TavroComplex* ops,
                                          size_t ops_len, size_t q1, size_t q2, TavroRng* rng,
                                          size_t* chosen);

/* One of the ulen / 4 unitaries at unitaries, chosen by the nprobs weights at probs (used as
 * given, not normalised), applied to target as a gate; never renormalises. Everything is
 * checked before the draw. */
TAVRO_API int32_t tavro_sv_apply_mixed_unitary_1q(TavroSVHandle* sv, const TavroComplex* unitaries,
                                                  size_t ulen, const double* probs, size_t nprobs,
                                                  size_t target, TavroRng* rng, size_t* chosen);

/* One of the ulen / 16 unitaries chosen by the nprobs weights, applied to (q1, q2), as
 * tavro_sv_apply_mixed_unitary_1q. */
TAVRO_API int32_t tavro_sv_apply_mixed_unitary_2q(TavroSVHandle* sv, const TavroComplex* unitaries,
                                                  size_t ulen, const double* probs, size_t nprobs,
                                                  size_t q1, size_t q2, TavroRng* rng,
                                                  size_t* chosen);

/* ---- Qubit ordering ----
 * Proposes a physical slot for each of num_qubits qubits so that the gates of a circuit run
 * fast, never costing more than the identity placement (the identity is returned on a tie).
 * one_qubit_weights holds num_qubits weights (the one-qubit work on each qubit); pair k of the
 * npairs joins qubits pair_i[k] and pair_j[k] with weight pair_w[k] (two-qubit work), every
 * index below num_qubits. method 0 is greedy placement with local search, 1 adds simulated
 * annealing drawing from a generator seeded with seed; the same arguments and seed always
 * give the same result. On success perm_out[q] = the slot proposed for qubit q (num_qubits
 * entries), *cost_out = its estimated relative cost, the last error is cleared and 0 returned.
 * -1, with nothing written and nothing stored, when method is not 0 or 1, cost_out is NULL,
 * one_qubit_weights or perm_out is NULL with num_qubits above 0, or a pair array is NULL with
 * npairs above 0 (checked in that order); also for a pair index not below num_qubits (a
 * trapped fault, reported on standard error). No core error can occur. The caller owns every
 * array. */
TAVRO_API int32_t tavro_optimize_ordering(size_t num_qubits, const double* one_qubit_weights,
                                          const size_t* pair_i, const size_t* pair_j,
                                          const double* pair_w, size_t npairs, uint32_t method,
                                          uint64_t seed, size_t* perm_out, double* cost_out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TAVRO_H */
