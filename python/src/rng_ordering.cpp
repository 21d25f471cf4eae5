// class Rng, the seeded generator of every stochastic method, and the function
// optimize_ordering.
#include <string>
#include <string_view>
#include <vector>

#include "face.hpp"
#include "format.hpp"
#include "ordering/ordering.hpp"

namespace tavro::python {
namespace {

constexpr char RNG_DOC[] =
    "Rng(seed)\n--\n\n"
    "Seeded Xoshiro256++ RNG.\n\n"
    "The seed (an integer in 0..2**64-1) is expanded with SplitMix64, as the C interface does, "
    "so identical seeds reproduce the same stream across runs and language bindings. The "
    "generator is used by all stochastic methods of TavroSV: measure_qubit, reset_qubit, "
    "sample and sample_bitstring.";

PyObject* rng_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<PyObject*>(nullptr, [&] {
    static const char* const KEYWORDS[] = {"seed", nullptr};
    PyObject* seed_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Rng", const_cast<char**>(KEYWORDS),
                                     &seed_arg)) {
      raise();
    }
    const uint64_t seed = to_u64(seed_arg, "seed");
    auto* o = reinterpret_cast<RngObject*>(type->tp_alloc(type, 0));
    if (o == nullptr) raise();
    o->use = 0;
    o->rng = Xoshiro256PlusPlus::seed_from_u64(seed);
    return reinterpret_cast<PyObject*>(o);
  });
}

void rng_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- optimize_ordering

constexpr Params<5> OPTIMIZE_ORDERING{
    "optimize_ordering",
    {"num_qubits", "one_qubit_weights", "two_qubit_pairs", "method", "seed"},
    3};
constexpr char OPTIMIZE_ORDERING_DOC[] =
    "optimize_ordering(num_qubits, one_qubit_weights, two_qubit_pairs, method=\"greedy\", "
    "seed=0)\n--\n\n"
    "Finds a qubit permutation that minimises a circuit's estimated run time. Two-qubit kernels "
    "vectorise only when the lower of their two slots is at least 2, and single-qubit kernels "
    "on slots 0, 1 and 2 are slower than on higher slots, so the busiest qubits are best moved "
    "up. Relabelling is exact and free on an all-to-all backend: apply the circuit with qubit q "
    "renamed perm[q].\n\n"
    "num_qubits: the number of qubits.\n"
    "one_qubit_weights: num_qubits floats, the one-qubit work on each qubit.\n"
    "two_qubit_pairs: tuples (qubit_i, qubit_j, weight), the two-qubit work on each pair.\n"
    "method: \"greedy\" (greedy placement with local search) or \"sa\" / "
    "\"simulated_annealing\" (simulated annealing).\n"
    "seed: the seed of the search's generator.\n\n"
    "Returns (perm, cost): perm[qubit] is the slot that qubit moves to, and cost the estimated "
    "relative run time, never above that of the identity labelling.";

// Each item a tuple of exactly three: two indices and a float.
std::vector<WeightedPair> to_pairs(PyObject* o, const char* name) {
  std::vector<WeightedPair> pairs;
  detail::for_each_item(o, name, [&](PyObject* item) {
    if (!PyTuple_Check(item)) {
      detail::type_error(name, "'%s' object cannot be converted to 'PyTuple'", item);
    }
    if (PyTuple_GET_SIZE(item) != 3) {
      PyErr_Format(PyExc_TypeError, "expected tuple of length 3, but got tuple of length %zd",
                   PyTuple_GET_SIZE(item));
      detail::argument_error(name);
    }
    const size_t i = to_index(PyTuple_GET_ITEM(item, 0), name);
    const size_t j = to_index(PyTuple_GET_ITEM(item, 1), name);
    pairs.push_back({i, j, to_f64(PyTuple_GET_ITEM(item, 2), name)});
  });
  return pairs;
}

// A str's UTF-8 text; a str that has none (a lone surrogate) raises its UnicodeEncodeError.
std::string_view to_text(PyObject* o, const char* name) {
  if (!PyUnicode_Check(o))
    detail::type_error(name, "'%s' object cannot be converted to 'PyString'", o);
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(o, &size);
  if (text == nullptr) detail::argument_error(name);
  return {text, static_cast<size_t>(size)};
}

PyObject* optimize_ordering_fn(PyObject*, Args<5> a) {
  const size_t n = to_index(a[0], "num_qubits");
  const WeightList weights = to_weights(a[1], "one_qubit_weights");
  const std::vector<WeightedPair> pairs = to_pairs(a[2], "two_qubit_pairs");
  const std::string_view method = a[3] != nullptr ? to_text(a[3], "method") : "greedy";
  const uint64_t seed = a[4] != nullptr ? to_u64(a[4], "seed") : 0;
  if (weights.size() != n) {
    PyErr_Format(PyExc_ValueError, "one_qubit_weights has length %zu, expected num_qubits=%zu",
                 weights.size(), n);
    raise();
  }
  const bool anneal = method == "sa" || method == "simulated_annealing";
  if (!anneal && method != "greedy") {
    const std::string message =
        "unknown ordering method " + format_quoted(method) + "; use 'greedy' or 'sa'";
    raise(PyExc_ValueError, message.c_str());
  }
  // A generator of its own, whatever the method: equal arguments give equal results.
  Xoshiro256PlusPlus rng = Xoshiro256PlusPlus::seed_from_u64(seed);
  const OrderingResult result = optimize_ordering(n, weights.span(), pairs, anneal, rng);
  PyObject* perm = PyList_New(static_cast<Py_ssize_t>(result.perm.size()));
  if (perm == nullptr) raise();
  const py::object hold = py::reinterpret_steal<py::object>(perm);
  for (size_t q = 0; q < result.perm.size(); ++q) {
    PyObject* slot = PyLong_FromSize_t(result.perm[q]);
    if (slot == nullptr) raise();
    PyList_SET_ITEM(perm, static_cast<Py_ssize_t>(q), slot);
  }
  return Py_BuildValue("(Od)", perm, result.cost);
}

PyMethodDef OPTIMIZE_ORDERING_DEF = {
    "optimize_ordering", as_cfunction(fastcall<OPTIMIZE_ORDERING, optimize_ordering_fn>), FASTCALL,
    OPTIMIZE_ORDERING_DOC};

}  // namespace

PyTypeObject* rng_type() {
  static PyTypeObject* const type = [] {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(RNG_DOC)},
        {Py_tp_new, reinterpret_cast<void*>(rng_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(rng_dealloc)},
        {0, nullptr},
    };
    PyType_Spec description = {"_core.Rng", sizeof(RngObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return new_type(&description);
  }();
  return type;
}

PyObject* optimize_ordering_function(PyObject* module) {
  PyObject* name = PyModule_GetNameObject(module);
  if (name == nullptr) raise();
  PyObject* f = PyCFunction_NewEx(&OPTIMIZE_ORDERING_DEF, nullptr, name);
  Py_DECREF(name);
  if (f == nullptr) raise();
  return f;
}

}  // namespace tavro::python
