// class TavroSV: the type, its construction, properties, whole-state reads and slots, and the
// assembly of its method table from the rows of every file.
#include <new>
#include <utility>
#include <vector>

#include "face.hpp"

namespace tavro::python {
namespace {

constexpr Params<2> ZERO{"zero", {"num_qubits", "dynamic_qubits"}, 1};
constexpr char ZERO_DOC[] =
    "zero(num_qubits, dynamic_qubits=False)\n--\n\n"
    "The all-zero state |0...0>. Reserves the full 2**num_qubits buffer; with "
    "dynamic_qubits=True, qubits are allocated on first use and released by free_qubit.";
PyObject* sv_zero(PyObject*, Args<2> a) {
  const uint32_t n = to_u32(a[0], "num_qubits");
  const bool dynamic = a[1] != nullptr && to_bool(a[1], "dynamic_qubits");
  return wrap(value_or_raise(dynamic ? TavroSV::zero_dynamic(n) : TavroSV::zero(n)));
}

constexpr Params<1> FROM_BITSTRING{"from_bitstring", {"bits"}, 1};
constexpr char FROM_BITSTRING_DOC[] =
    "from_bitstring(bits)\n--\n\n"
    "The basis state given by 0/1 bits, qubit 0 first (bytes, bytearray or a sequence of ints).";
PyObject* sv_from_bitstring(PyObject*, Args<1> a) {
  const ByteSeq bits(a[0], "bits");
  return wrap(value_or_raise(TavroSV::from_bitstring(bits.span())));
}

constexpr Params<2> FROM_AMPLITUDES{"from_amplitudes", {"num_qubits", "arr"}, 2};
constexpr char FROM_AMPLITUDES_DOC[] =
    "from_amplitudes(num_qubits, arr)\n--\n\n"
    "A state holding a copy of arr, a one-dimensional complex128 NumPy array of length "
    "2**num_qubits. The vector is not renormalised.";
PyObject* sv_from_amplitudes(PyObject*, Args<2> a) {
  const uint32_t n = to_u32(a[0], "num_qubits");
  const AmpSeq amps(a[1], "arr");
  return wrap(value_or_raise(TavroSV::from_amplitudes(n, amps.span())));
}

constexpr char NUM_QUBITS_DOC[] = "The logical width: the number of qubits declared.";
PyObject* sv_num_qubits(PyObject* self) {
  const SharedSV sv(self);
  return PyLong_FromUnsignedLong(sv->num_qubits());
}

constexpr char LIVE_QUBITS_DOC[] =
    "The number of qubits physically present, so that len(sv) == 2 ** sv.live_qubits.";
PyObject* sv_live_qubits(PyObject* self) {
  const SharedSV sv(self);
  return PyLong_FromUnsignedLong(sv->live_qubits());
}

constexpr char IS_DYNAMIC_DOC[] = "Whether the state was built with dynamic_qubits=True.";
PyObject* sv_is_dynamic(PyObject* self) {
  const SharedSV sv(self);
  return new_bool(sv->is_dynamic());
}

constexpr Params<1> IS_ALLOCATED{"is_allocated", {"target"}, 1};
constexpr char IS_ALLOCATED_DOC[] =
    "is_allocated($self, target)\n--\n\n"
    "Whether qubit target occupies a physical slot: always True for an in-range qubit of a "
    "static state, False for a qubit out of range.";
PyObject* sv_is_allocated(PyObject* self, Args<1> a) {
  const SharedSV sv(self);
  return new_bool(sv->is_allocated(to_index(a[0], "target")));
}

constexpr char LEN_DOC[] =
    "The number of amplitudes in the buffer, 2 ** live_qubits; the same as len(sv), kept for "
    "older callers.";
PyObject* sv_len_property(PyObject* self) {
  const SharedSV sv(self);
  return PyLong_FromSize_t(sv->len());
}

constexpr char NORM_SQUARED_DOC[] =
    "norm_squared($self)\n--\n\nThe squared norm: the sum of |a|**2 over the buffer.";
PyObject* sv_norm_squared(PyObject* self) {
  const SharedSV sv(self);
  return new_float(sv->norm_squared());
}

constexpr char NORMALIZE_DOC[] =
    "normalize($self)\n--\n\n"
    "Scales the state to unit norm when its norm is positive; returns the norm before scaling.";
PyObject* sv_normalize(PyObject* self) {
  const ExclusiveSV sv(self);
  return new_float(sv->normalize());
}

constexpr char RESET_TO_ZERO_DOC[] =
    "reset_to_zero($self)\n--\n\n"
    "Sets the state to |0...0> in place; a dynamic state keeps its allocated qubits.";
PyObject* sv_reset_to_zero(PyObject* self) {
  const ExclusiveSV sv(self);
  sv->reset_to_zero();
  return detail::none();
}

constexpr Params<1> GET{"get", {"idx"}, 1};
constexpr char GET_DOC[] =
    "get($self, idx)\n--\n\n"
    "The amplitude at physical buffer index idx, as a complex (get_logical takes a logical "
    "basis index).";
PyObject* sv_get(PyObject* self, Args<1> a) {
  const SharedSV sv(self);
  return new_complex(value_or_raise(sv->get(to_index(a[0], "idx"))));
}

constexpr Params<1> PROBABILITY{"probability", {"idx"}, 1};
constexpr char PROBABILITY_DOC[] =
    "probability($self, idx)\n--\n\n"
    "re*re + im*im of the amplitude at physical buffer index idx.";
PyObject* sv_probability(PyObject* self, Args<1> a) {
  const SharedSV sv(self);
  return new_float(value_or_raise(sv->probability(to_index(a[0], "idx"))));
}

constexpr Params<1> GET_LOGICAL{"get_logical", {"idx"}, 1};
constexpr char GET_LOGICAL_DOC[] =
    "get_logical($self, idx)\n--\n\n"
    "The amplitude of logical basis index idx (bit q for qubit q); 0 when idx sets a qubit "
    "not yet allocated. get indexes the physical buffer instead.";
PyObject* sv_get_logical(PyObject* self, Args<1> a) {
  const SharedSV sv(self);
  return new_complex(value_or_raise(sv->get_logical(to_index(a[0], "idx"))));
}

constexpr Params<1> PROBABILITY_LOGICAL{"probability_logical", {"idx"}, 1};
constexpr char PROBABILITY_LOGICAL_DOC[] =
    "probability_logical($self, idx)\n--\n\n"
    "re*re + im*im of the amplitude of logical basis index idx. probability indexes the "
    "physical buffer instead.";
PyObject* sv_probability_logical(PyObject* self, Args<1> a) {
  const SharedSV sv(self);
  return new_float(value_or_raise(sv->probability_logical(to_index(a[0], "idx"))));
}

constexpr char AMPLITUDES_DOC[] =
    "amplitudes($self)\n--\n\n"
    "A copy of the buffer as a new one-dimensional complex128 array of len(self) entries, in "
    "physical slot order.";
PyObject* sv_amplitudes(PyObject* self) {
  const SharedSV sv(self);
  return detail::new_amp_array(sv->amplitudes());
}

constexpr char CLONE_DOC[] = "clone($self)\n--\n\nAn independent deep copy of the state.";
PyObject* sv_clone(PyObject* self) {
  const SharedSV sv(self);
  return wrap(sv->clone());
}

Py_ssize_t sv_len(PyObject* self) noexcept {
  return guarded<Py_ssize_t>(-1, [&] {
    const SharedSV sv(self);
    return static_cast<Py_ssize_t>(sv->len());
  });
}

PyObject* sv_repr(PyObject* self) noexcept {
  return guarded<PyObject*>(nullptr, [&] {
    const SharedSV sv(self);
    if (sv->is_dynamic()) {
      return PyUnicode_FromFormat("TavroSV(num_qubits=%u, live_qubits=%u, dynamic)",
                                  sv->num_qubits(), sv->live_qubits());
    }
    return PyUnicode_FromFormat("TavroSV(num_qubits=%u)", sv->num_qubits());
  });
}

void sv_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<SVObject*>(self)->sv.~TavroSV();
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef STATE_METHODS[] = {
    {"zero", as_cfunction(fastcall<ZERO, sv_zero>), FASTCALL | METH_STATIC, ZERO_DOC},
    {"from_bitstring", as_cfunction(fastcall<FROM_BITSTRING, sv_from_bitstring>),
     FASTCALL | METH_STATIC, FROM_BITSTRING_DOC},
    {"from_amplitudes", as_cfunction(fastcall<FROM_AMPLITUDES, sv_from_amplitudes>),
     FASTCALL | METH_STATIC, FROM_AMPLITUDES_DOC},
    {"is_allocated", as_cfunction(fastcall<IS_ALLOCATED, sv_is_allocated>), FASTCALL,
     IS_ALLOCATED_DOC},
    {"norm_squared", as_cfunction(noargs<sv_norm_squared>), METH_NOARGS, NORM_SQUARED_DOC},
    {"normalize", as_cfunction(noargs<sv_normalize>), METH_NOARGS, NORMALIZE_DOC},
    {"reset_to_zero", as_cfunction(noargs<sv_reset_to_zero>), METH_NOARGS, RESET_TO_ZERO_DOC},
    {"get", as_cfunction(fastcall<GET, sv_get>), FASTCALL, GET_DOC},
    {"probability", as_cfunction(fastcall<PROBABILITY, sv_probability>), FASTCALL, PROBABILITY_DOC},
    {"get_logical", as_cfunction(fastcall<GET_LOGICAL, sv_get_logical>), FASTCALL, GET_LOGICAL_DOC},
    {"probability_logical", as_cfunction(fastcall<PROBABILITY_LOGICAL, sv_probability_logical>),
     FASTCALL, PROBABILITY_LOGICAL_DOC},
    {"amplitudes", as_cfunction(noargs<sv_amplitudes>), METH_NOARGS, AMPLITUDES_DOC},
    {"clone", as_cfunction(noargs<sv_clone>), METH_NOARGS, CLONE_DOC},
};

// The rows of every file, in table order, and the closing entry. Built once, when the type is
// made, and never freed: the type refers to it for the life of the process, also while the
// interpreter shuts down.
PyMethodDef* sv_methods() {
  static PyMethodDef* const table = [] {
    auto* t = new std::vector<PyMethodDef>;
    for (const auto rows : {state_methods(), gate_methods(), measure_methods()}) {
      t->insert(t->end(), rows.begin(), rows.end());
    }
    t->push_back({nullptr, nullptr, 0, nullptr});
    return t->data();
  }();
  return table;
}

PyGetSetDef SV_PROPERTIES[] = {
    {"num_qubits", getter<sv_num_qubits>, nullptr, NUM_QUBITS_DOC, nullptr},
    {"live_qubits", getter<sv_live_qubits>, nullptr, LIVE_QUBITS_DOC, nullptr},
    {"is_dynamic", getter<sv_is_dynamic>, nullptr, IS_DYNAMIC_DOC, nullptr},
    {"len", getter<sv_len_property>, nullptr, LEN_DOC, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

std::span<const PyMethodDef> state_methods() { return STATE_METHODS; }

// No __new__ or __init__: states come only from the static constructors and clone.
PyTypeObject* sv_type() {
  static PyTypeObject* const type = [] {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("")},
        {Py_tp_dealloc, reinterpret_cast<void*>(sv_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(sv_repr)},
        {Py_mp_length, reinterpret_cast<void*>(sv_len)},
        {Py_tp_methods, sv_methods()},
        {Py_tp_getset, SV_PROPERTIES},
        {0, nullptr},
    };
    PyType_Spec description = {
        "_core.TavroSV", sizeof(SVObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return new_type(&description);
  }();
  return type;
}

PyObject* wrap(TavroSV&& sv) {
  PyTypeObject* type = sv_type();
  auto* o = reinterpret_cast<SVObject*>(type->tp_alloc(type, 0));
  if (o == nullptr) raise();
  o->use = 0;
  new (&o->sv) TavroSV(std::move(sv));
  return reinterpret_cast<PyObject*>(o);
}

}  // namespace tavro::python
