// class TavroSV: measurement and sampling methods, in the order of the method table.
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
    "finite or below 1e-300 (rng untouched).";
PyObject* sv_sample(PyObject* self, Args<2> a) {
  const SharedSV sv(self);
  const ExclusiveRng rng(detail::rng_arg(a[0], "rng"));
  const size_t nsamples = to_index(a[1], "nsamples");
  std::vector<uint8_t> rows = value_or_raise(sv->sample(nsamples, *rng));
  return detail::adopt_u8_rows(std::move(rows), nsamples, sv->num_qubits());
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
};

}  // namespace

std::span<const PyMethodDef> measure_methods() { return MEASURE_METHODS; }

}  // namespace tavro::python
