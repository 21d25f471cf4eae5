// class TavroSV: measurement, sampling, channel and expectation methods, in the order of the
// method table.
#include <string>
#include <utility>
#include <vector>

#include "face.hpp"

namespace tavro::python {
namespace {

// A generator argument is converted in its place among the plain arguments and held for
// exclusive use until the method returns; a method that fails before the core call leaves it
// where it was.

constexpr Params<1> PROB_ZERO{"prob_zero", {"target"}, 1};
constexpr char PROB_ZERO_DOC[] =
    "prob_zero($self, target)\n--\n\n"
    "The probability that qubit target reads 0: the sum of |a|**2 over the amplitudes whose "
    "bit for target is 0, not divided by the squared norm. A dynamic qubit never touched reads "
    "1.0. The state is not changed. Raises QubitIndexError when target >= num_qubits.";
PyObject* sv_prob_zero(PyObject* self, Args<1> a) {
  const SharedSV sv(self);
  const size_t target = to_index(a[0], "target");
  return new_float(value_or_raise(sv->prob_zero(target)));
}

// measure_qubit, reset_qubit and free_qubit: (target, rng) to the measured outcome.
template <const Params<2>& P, Result<uint8_t> (TavroSV::*Op)(size_t, Xoshiro256PlusPlus&)>
PyObject* sv_measure_like(PyObject* self, Args<2> a) {
  const ExclusiveSV sv(self);
  const size_t target = to_index(a[0], P.names[0]);
  const ExclusiveRng rng(detail::rng_arg(a[1], P.names[1]));
  return PyLong_FromLong(value_or_raise(((*sv).*Op)(target, *rng)));
}

constexpr Params<2> MEASURE_QUBIT{"measure_qubit", {"target", "rng"}, 2};
constexpr char MEASURE_QUBIT_DOC[] =
    "measure_qubit($self, target, rng)\n--\n\n"
    "Measures qubit target in the computational basis and collapses the state onto the "
    "outcome; returns it, 0 or 1. One uniform draw u from rng (an Rng) picks 0 when u < "
    "prob_zero(target), else 1; the state is not normalised first. A dynamic qubit never "
    "touched reads 0 after one generator step and stays unallocated. Raises QubitIndexError "
    "when target >= num_qubits (rng untouched) and ValueError when the chosen outcome has zero "
    "probability (after the draw; the state is unchanged).";

constexpr Params<2> RESET_QUBIT{"reset_qubit", {"target", "rng"}, 2};
constexpr char RESET_QUBIT_DOC[] =
    "reset_qubit($self, target, rng)\n--\n\n"
    "Measures qubit target as measure_qubit does, then flips it to |0> when the outcome was 1; "
    "returns the outcome measured before the reset, 0 or 1. The qubit stays allocated. Raises "
    "QubitIndexError and ValueError as measure_qubit does.";

constexpr Params<2> FREE_QUBIT{"free_qubit", {"target", "rng"}, 2};
constexpr char FREE_QUBIT_DOC[] =
    "free_qubit($self, target, rng)\n--\n\n"
    "Resets qubit target and, on a dynamic state, releases its slot: the buffer halves and "
    "is_allocated(target) becomes False; the next gate on target allocates it again. On a "
    "static state this is reset_qubit. Returns the outcome measured before the release, 0 or "
    "1; a qubit never touched returns 0 after one generator step. Raises QubitIndexError and "
    "ValueError as measure_qubit does.";

constexpr Params<1> SAMPLE_BITSTRING{"sample_bitstring", {"rng"}, 1};
constexpr char SAMPLE_BITSTRING_DOC[] =
    "sample_bitstring($self, rng)\n--\n\n"
    "One outcome drawn from the Born distribution of the normalised state, without collapse: "
    "a new uint8 array of num_qubits entries, entry q the value of qubit q. Uses one draw "
    "of rng. For many shots prefer sample, which builds the prefix sums once. Raises "
    "DegenerateStateError when the squared norm is not finite or below 1e-300 (rng "
    "untouched).";
PyObject* sv_sample_bitstring(PyObject* self, Args<1> a) {
  const SharedSV sv(self);
  const ExclusiveRng rng(detail::rng_arg(a[0], "rng"));
  const std::vector<uint8_t> bits = value_or_raise(sv->sample_bitstring(*rng));
  return detail::new_u8_array(bits);
}

constexpr Params<2> SAMPLE{"sample", {"rng", "nsamples"}, 2};
constexpr char SAMPLE_DOC[] =
    "sample($self, rng, nsamples)\n--\n\n"
    "nsamples outcomes drawn from the Born distribution of the normalised state, without "
    "collapse: a new uint8 array of shape (nsamples, num_qubits) whose element [s, q] is the "
    "value of qubit q in shot s (num_qubits is the declared width, also on a dynamic state). "
    "The prefix sums are built once per call, so one call is the cheap way to take many shots; "
    "uses nsamples draws of rng. Raises DegenerateStateError when the squared norm is not "
    "finite or below 1e-300, and MemoryError when the draws (8 bytes a shot) or the rows "
    "cannot be held; rng untouched in both cases.";
PyObject* sv_sample(PyObject* self, Args<2> a) {
  const SharedSV sv(self);
  const ExclusiveRng rng(detail::rng_arg(a[0], "rng"));
  const size_t nsamples = to_index(a[1], "nsamples");
  std::vector<uint8_t> rows = value_or_raise(sv->sample(nsamples, *rng));
  return detail::adopt_u8_rows(std::move(rows), nsamples, sv->num_qubits());
}

// ---- noise channels
// The operator stack is converted after every plain argument, the generator included; a method
// that fails before its core call has drawn nothing.

// The mixed-unitary count check: `values` complex entries must be D*D per weight.
void check_unitary_count(size_t values, size_t probs, size_t d) {
  if (values == d * d * probs) return;
  const std::string message = "len(unitaries) must be " + std::to_string(d * d) +
                              " \u00d7 len(probs); got " + std::to_string(values / (d * d)) +
                              " unitaries vs " + std::to_string(probs) + " probs";
  raise(gate_shape_error_class(), message.c_str());
}

constexpr Params<3> APPLY_KRAUS_1Q{"apply_kraus_1q", {"kraus_ops", "target", "rng"}, 3};
constexpr char APPLY_KRAUS_1Q_DOC[] =
    "apply_kraus_1q($self, kraus_ops, target, rng)\n--\n\n"
    "Applies a one-qubit Kraus channel to qubit target by sampling one trajectory: operator K "
    "is chosen with weight ||K psi||**2 using one draw of rng, applied, and the state "
    "renormalised. Returns the chosen operator's index, so that the caller can map it to a "
    "tag. kraus_ops is a complex128 array of shape (n, 2, 2) or an iterable of 2x2 gates in "
    "the forms apply_gate_1q takes.";
PyObject* sv_apply_kraus_1q(PyObject* self, Args<3> a) {
  const ExclusiveSV sv(self);
  const size_t target = to_index(a[1], "target");
  const ExclusiveRng rng(detail::rng_arg(a[2], "rng"));
  const std::vector<Amp> ops = extract_matrix_list_2x2(a[0]);
  return PyLong_FromSize_t(value_or_raise(sv->apply_kraus_1q(ops, target, *rng)));
}

constexpr Params<4> APPLY_KRAUS_2Q{"apply_kraus_2q", {"kraus_ops", "q1", "q2", "rng"}, 4};
constexpr char APPLY_KRAUS_2Q_DOC[] =
    "apply_kraus_2q($self, kraus_ops, q1, q2, rng)\n--\n\n"
    "Applies a two-qubit Kraus channel to qubits q1 and q2 (q1 the most significant bit of "
    "the local basis) by sampling one trajectory: operator K is chosen with weight "
    "||K psi||**2 using one draw of rng, applied, and the state renormalised. Returns the "
    "chosen operator's index, so that the caller can map it to a tag. kraus_ops is a "
    "complex128 array of shape (n, 4, 4) or an iterable of 4x4 gates in the forms "
    "apply_gate_2q takes.";
PyObject* sv_apply_kraus_2q(PyObject* self, Args<4> a) {
  const ExclusiveSV sv(self);
  const size_t q1 = to_index(a[1], "q1");
  const size_t q2 = to_index(a[2], "q2");
  const ExclusiveRng rng(detail::rng_arg(a[3], "rng"));
  const std::vector<Amp> ops = extract_matrix_list_4x4(a[0]);
  return PyLong_FromSize_t(value_or_raise(sv->apply_kraus_2q(ops, q1, q2, *rng)));
}

constexpr Params<4> APPLY_MIXED_UNITARY_1Q{
    "apply_mixed_unitary_1q", {"unitaries", "probs", "target", "rng"}, 4};
constexpr char APPLY_MIXED_UNITARY_1Q_DOC[] =
    "apply_mixed_unitary_1q($self, unitaries, probs, target, rng)\n--\n\n"
    "Applies a one-qubit mixed-unitary channel to qubit target by sampling one trajectory: "
    "unitary i is chosen with weight probs[i] using one draw of rng and applied as a gate. "
    "Returns the chosen index, so that the caller can map it to a tag. unitaries is a "
    "complex128 array of shape (n, 2, 2) or an iterable of 2x2 gates, one per weight.";
PyObject* sv_apply_mixed_unitary_1q(PyObject* self, Args<4> a) {
  const ExclusiveSV sv(self);
  const WeightList probs = to_weights(a[1], "probs");
  const size_t target = to_index(a[2], "target");
  const ExclusiveRng rng(detail::rng_arg(a[3], "rng"));
  const std::vector<Amp> unitaries = extract_matrix_list_2x2(a[0]);
  check_unitary_count(unitaries.size(), probs.size(), 2);
  return PyLong_FromSize_t(
      value_or_raise(sv->apply_mixed_unitary_1q(unitaries, probs.span(), target, *rng)));
}

constexpr Params<5> APPLY_MIXED_UNITARY_2Q{
    "apply_mixed_unitary_2q", {"unitaries", "probs", "q1", "q2", "rng"}, 5};
constexpr char APPLY_MIXED_UNITARY_2Q_DOC[] =
    "apply_mixed_unitary_2q($self, unitaries, probs, q1, q2, rng)\n--\n\n"
    "Applies a two-qubit mixed-unitary channel to qubits q1 and q2 (q1 the most significant "
    "bit of the local basis) by sampling one trajectory: unitary i is chosen with weight "
    "probs[i] using one draw of rng and applied as a gate. Returns the chosen index, so that "
    "the caller can map it to a tag. unitaries is a complex128 array of shape (n, 4, 4) or an "
    "iterable of 4x4 gates, one per weight.";
PyObject* sv_apply_mixed_unitary_2q(PyObject* self, Args<5> a) {
  const ExclusiveSV sv(self);
  const WeightList probs = to_weights(a[1], "probs");
  const size_t q1 = to_index(a[2], "q1");
  const size_t q2 = to_index(a[3], "q2");
  const ExclusiveRng rng(detail::rng_arg(a[4], "rng"));
  const std::vector<Amp> unitaries = extract_matrix_list_4x4(a[0]);
  check_unitary_count(unitaries.size(), probs.size(), 4);
  return PyLong_FromSize_t(
      value_or_raise(sv->apply_mixed_unitary_2q(unitaries, probs.span(), q1, q2, *rng)));
}

// ---- expectation values: raw sums <psi|O|psi>, not divided by the squared norm

constexpr Params<2> EXPECTATION_1Q{"expectation_1q", {"op", "target"}, 2};
constexpr char EXPECTATION_1Q_DOC[] =
    "expectation_1q($self, op, target)\n--\n\n"
    "<psi|op|psi> for the one-qubit operator op on qubit target, as a complex, not divided by "
    "the squared norm. op is a 2x2 complex128 NumPy array in row-major indexing or a flat list "
    "of 4 complex numbers in column-major order. The state is not changed.";
PyObject* sv_expectation_1q(PyObject* self, Args<2> a) {
  const SharedSV sv(self);
  const size_t target = to_index(a[1], "target");
  const std::array<Amp, 4> op = extract_2x2(a[0]);
  return new_complex(value_or_raise(sv->expectation_1q(op, target)));
}

constexpr Params<3> EXPECTATION_2Q{"expectation_2q", {"op", "q1", "q2"}, 3};
constexpr char EXPECTATION_2Q_DOC[] =
    "expectation_2q($self, op, q1, q2)\n--\n\n"
    "<psi|op|psi> for the two-qubit operator op on qubits q1 and q2, as a complex, not divided "
    "by the squared norm. op is a 4x4 complex128 NumPy array in row-major indexing or a flat "
    "list of 16 complex numbers in column-major order; q1 is the most significant bit of the "
    "local basis, the 2-bit subindex being (bit_q1 << 1) | bit_q2. The state is not changed.";
PyObject* sv_expectation_2q(PyObject* self, Args<3> a) {
  const SharedSV sv(self);
  const size_t q1 = to_index(a[1], "q1");
  const size_t q2 = to_index(a[2], "q2");
  const std::array<Amp, 16> op = extract_4x4(a[0]);
  return new_complex(value_or_raise(sv->expectation_2q(op, q1, q2)));
}

constexpr Params<2> EXPECTATION_PAULI{"expectation_pauli", {"paulis", "qubits"}, 2};
constexpr char EXPECTATION_PAULI_DOC[] =
    "expectation_pauli($self, paulis, qubits)\n--\n\n"
    "<psi|P|psi> for the Pauli string P whose character k (I, X, Y or Z, in either case) acts "
    "on qubits[k], as a complex, not divided by the squared norm; for a Hermitian string the "
    "imaginary part is floating-point noise. The cost is one pass over the 2**num_qubits "
    "amplitudes whatever the string's length. Raises ValueError when len(paulis) != "
    "len(qubits) and GateShapeError for any other letter.";
PyObject* sv_expectation_pauli(PyObject* self, Args<2> a) {
  const SharedSV sv(self);
  PyObject* paulis = a[0];
  if (!PyUnicode_Check(paulis)) {
    detail::type_error("paulis", "'%s' object cannot be converted to 'PyString'", paulis);
  }
  const QubitList qubits = to_qubits(a[1], "qubits");
  // Counted in code points: an accented capital is one letter, however many bytes.
  const auto letters = static_cast<size_t>(PyUnicode_GET_LENGTH(paulis));
  if (letters != qubits.size()) {
    PyErr_Format(PyExc_ValueError, "Pauli string length %zu does not match qubit count %zu",
                 letters, qubits.size());
    raise();
  }
  const int kind = PyUnicode_KIND(paulis);
  const void* data = PyUnicode_DATA(paulis);
  detail::SmallList<PauliTerm, 64> terms;
  for (size_t k = 0; k < letters; ++k) {
    const auto c = static_cast<char32_t>(PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(k)));
    terms.push_back({qubits.span()[k], value_or_raise(Pauli::from_char(c))});
  }
  return new_complex(value_or_raise(sv->expectation_pauli(terms.span())));
}

PyMethodDef MEASURE_METHODS[] = {
    {"prob_zero", as_cfunction(fastcall<PROB_ZERO, sv_prob_zero>), FASTCALL, PROB_ZERO_DOC},
    {"measure_qubit",
     as_cfunction(fastcall<MEASURE_QUBIT, sv_measure_like<MEASURE_QUBIT, &TavroSV::measure_qubit>>),
     FASTCALL, MEASURE_QUBIT_DOC},
    {"reset_qubit",
     as_cfunction(fastcall<RESET_QUBIT, sv_measure_like<RESET_QUBIT, &TavroSV::reset_qubit>>),
     FASTCALL, RESET_QUBIT_DOC},
    {"free_qubit",
     as_cfunction(fastcall<FREE_QUBIT, sv_measure_like<FREE_QUBIT, &TavroSV::free_qubit>>),
     FASTCALL, FREE_QUBIT_DOC},
    {"sample_bitstring", as_cfunction(fastcall<SAMPLE_BITSTRING, sv_sample_bitstring>), FASTCALL,
     SAMPLE_BITSTRING_DOC},
    {"sample", as_cfunction(fastcall<SAMPLE, sv_sample>), FASTCALL, SAMPLE_DOC},
    {"apply_kraus_1q", as_cfunction(fastcall<APPLY_KRAUS_1Q, sv_apply_kraus_1q>), FASTCALL,
     APPLY_KRAUS_1Q_DOC},
    {"apply_kraus_2q", as_cfunction(fastcall<APPLY_KRAUS_2Q, sv_apply_kraus_2q>), FASTCALL,
     APPLY_KRAUS_2Q_DOC},
    {"apply_mixed_unitary_1q",
     as_cfunction(fastcall<APPLY_MIXED_UNITARY_1Q, sv_apply_mixed_unitary_1q>), FASTCALL,
     APPLY_MIXED_UNITARY_1Q_DOC},
    {"apply_mixed_unitary_2q",
     as_cfunction(fastcall<APPLY_MIXED_UNITARY_2Q, sv_apply_mixed_unitary_2q>), FASTCALL,
     APPLY_MIXED_UNITARY_2Q_DOC},
    {"expectation_1q", as_cfunction(fastcall<EXPECTATION_1Q, sv_expectation_1q>), FASTCALL,
     EXPECTATION_1Q_DOC},
    {"expectation_2q", as_cfunction(fastcall<EXPECTATION_2Q, sv_expectation_2q>), FASTCALL,
     EXPECTATION_2Q_DOC},
    {"expectation_pauli", as_cfunction(fastcall<EXPECTATION_PAULI, sv_expectation_pauli>), FASTCALL,
     EXPECTATION_PAULI_DOC},
};

}  // namespace

std::span<const PyMethodDef> measure_methods() { return MEASURE_METHODS; }

}  // namespace tavro::python
