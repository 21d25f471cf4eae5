// The Python face, module tavro._core: convert, borrow, call one core operation, convert back.
// This file: the module's entry point, its exception classes and the error mapping. The class
// TavroSV is in state.cpp (construction and reads), gates.cpp and measure.cpp; Rng and
// optimize_ordering in rng_ordering.cpp; the converters in convert.cpp.
#include <iterator>
#include <string>
#include <variant>

#include "face.hpp"

namespace tavro::python {
namespace {

// The pending Python error as "Type: message", cleared.
std::string take_error_text() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  std::string text = "<unknown error>";
  if (value != nullptr) {
    PyObject* s = PyObject_Str(value);
    const char* c = s != nullptr ? PyUnicode_AsUTF8(s) : nullptr;
    if (c != nullptr) text = std::string(reinterpret_cast<PyTypeObject*>(type)->tp_name) + ": " + c;
    Py_XDECREF(s);
  }
  PyErr_Clear();
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  return text;
}

// `qualified` is "_core.Name", so that __module__ reads "_core".
PyObject* new_exception_class(const char* qualified, PyObject* base, const char* doc) {
  PyObject* cls = PyErr_NewExceptionWithDoc(qualified, doc, base, nullptr);
  if (cls == nullptr) throw Fault("Failed to initialize new exception type.: " + take_error_text());
  return cls;
}

// A broken invariant of the core. Not a module attribute; a BaseException so that
// `except Exception` cannot swallow it.
PyObject* fault_class() {
  static PyObject* const cls = new_exception_class(
      "_core.Fault", PyExc_BaseException,
      "A broken internal invariant of the tavro core; the operation was stopped.");
  return cls;
}

PyObject* value_error_class() { return PyExc_ValueError; }
PyObject* memory_error_class() { return PyExc_MemoryError; }

}  // namespace

PyObject* tavro_error_class() {
  static PyObject* const cls = new_exception_class("_core.TavroError", PyExc_RuntimeError,
                                                   "Base class for tavro-specific runtime errors.");
  return cls;
}
PyObject* gate_shape_error_class() {
  static PyObject* const cls = new_exception_class("_core.GateShapeError", tavro_error_class(),
                                                   "Gate matrix has the wrong shape or dtype.");
  return cls;
}
PyObject* qubit_index_error_class() {
  static PyObject* const cls = new_exception_class("_core.QubitIndexError", tavro_error_class(),
                                                   "Qubit index out of bounds.");
  return cls;
}
PyObject* degenerate_state_error_class() {
  static PyObject* const cls = new_exception_class(
      "_core.DegenerateStateError", tavro_error_class(),
      "State has zero or non-finite norm \u2014 cannot be sampled or projected.");
  return cls;
}
PyObject* non_unitary_error_class() {
  static PyObject* const cls = new_exception_class("_core.NonUnitaryError", tavro_error_class(),
                                                   "Gate matrix is not unitary within tolerance.");
  return cls;
}

PyObject* raise_fault(const char* message) noexcept {
  PyObject* cls = PyExc_SystemError;  // only if the fault class itself cannot be made
  try {
    cls = fault_class();
  } catch (...) {
    PyErr_Clear();
  }
  PyErr_SetString(cls, message);
  return nullptr;
}

// The one mapping from a core Error to a Python exception: class by variant, message the
// display text, unchanged.
[[noreturn]] void raise_error(const Error& e) {
  using ClassOf = PyObject* (*)();
  static constexpr ClassOf CLASS_OF[] = {
      value_error_class,             // InvalidNumQubits
      qubit_index_error_class,       // QubitIndexOutOfBounds
      qubit_index_error_class,       // DuplicateQubits
      gate_shape_error_class,        // InvalidGateMatrix
      value_error_class,             // InvalidBasisIndex
      value_error_class,             // InvalidStateLength
      memory_error_class,            // AllocationFailed
      degenerate_state_error_class,  // DegenerateState
      non_unitary_error_class,       // NonUnitary
  };
  static_assert(std::size(CLASS_OF) == std::variant_size_v<Error::Variant>);
  const std::string text = e.display();
  PyObject* message =
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (message == nullptr) raise();
  PyErr_SetObject(CLASS_OF[e.index()](), message);
  Py_DECREF(message);
  raise();
}

namespace {

void add(PyObject* module, const char* name, void* object) {
  if (PyModule_AddObjectRef(module, name, static_cast<PyObject*>(object)) < 0) raise();
}

PyObject* init_module(PyObject* m) {
  if (PyObject_SetAttrString(m, "__doc__", py::str("").ptr()) < 0) raise();
  add(m, "TavroSV", sv_type());
  add(m, "Rng", rng_type());
  const py::object ordering = py::reinterpret_steal<py::object>(optimize_ordering_function(m));
  add(m, "optimize_ordering", ordering.ptr());
  add(m, "TavroError", tavro_error_class());
  add(m, "GateShapeError", gate_shape_error_class());
  add(m, "QubitIndexError", qubit_index_error_class());
  add(m, "DegenerateStateError", degenerate_state_error_class());
  add(m, "NonUnitaryError", non_unitary_error_class());
  return m;
}

}  // namespace
}  // namespace tavro::python

PYBIND11_MODULE(_core, m) {
  // pybind11's own guard knows only its error type and std::exception; ours also turns a
  // fault into the fault exception, so the import fails with it.
  if (tavro::python::guarded<PyObject*>(
          nullptr, [&] { return tavro::python::init_module(m.ptr()); }) == nullptr) {
    throw pybind11::error_already_set();
  }
}
