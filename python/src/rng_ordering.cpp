// class Rng: the seeded generator of every stochastic method.
#include "face.hpp"

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

}  // namespace

PyTypeObject* rng_type() {
  static PyTypeObject* const type = [] {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(RNG_DOC)},
        {Py_tp_new, reinterpret_cast<void*>(rng_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(rng_dealloc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"_core.Rng", sizeof(RngObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return new_type(&spec);
  }();
  return type;
}

}  // namespace tavro::python
