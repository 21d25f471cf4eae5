// The Python face, module tavro._core: convert, borrow, call one core operation, convert back.
//
// The classes are plain CPython types whose methods are METH_FASTCALL table entries: a call
// reaches the core without a tuple, a dict or a heap allocation (pybind11's own dispatcher
// builds both and measured five times slower per call). pybind11 provides the module entry
// point and the NumPy arrays, which it reaches at run time through NumPy's capsule.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "amp.hpp"
#include "error.hpp"
#include "rng.hpp"
#include "state/sv.hpp"

namespace py = pybind11;

namespace tavro::python {
namespace {

// ---------------------------------------------------------------------------------------------
// Exception classes, created once per process on first need.

// Stands for "a Python exception is set": the method boundary returns NULL with it.
struct Raised {};

[[noreturn]] void raise() { throw Raised{}; }

[[noreturn]] void raise(PyObject* cls, const char* message) {
  PyErr_SetString(cls, message);
  throw Raised{};
}

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
PyObject* value_error_class() { return PyExc_ValueError; }
PyObject* memory_error_class() { return PyExc_MemoryError; }

// A broken invariant of the core. Not a module attribute; a BaseException so that
// `except Exception` cannot swallow it.
PyObject* fault_class() {
  static PyObject* const cls = new_exception_class(
      "_core.Fault", PyExc_BaseException,
      "A broken internal invariant of the tavro core; the operation was stopped.");
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

template <class T>
T value_or_raise(Result<T>&& r) {
  if (!r) raise_error(r.error());
  return std::move(*r);
}

void check(const Status& s) {
  if (!s) raise_error(s.error());
}

// Runs one member body; whatever stops it becomes a set Python exception and `on_error`.
template <class R, class F>
R guarded(R on_error, F&& body) noexcept {
  try {
    return body();
  } catch (const Raised&) {
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const Fault& f) {
    raise_fault(f.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_fault(e.what());
  } catch (...) {
    raise_fault("<non-string panic payload>");
  }
  return on_error;
}

// ---------------------------------------------------------------------------------------------
// Argument matching: positional or keyword, by the documented names, with Python's own texts.

template <size_t N>
struct Params {
  const char* method;                // as named in call errors
  std::array<const char*, N> names;  // in parameter order
  size_t required;                   // the first `required` have no default
};

template <size_t N>
using Args = std::array<PyObject*, N>;  // borrowed; nullptr for an absent optional argument

// Keyword names are short ASCII strings in practice: compare their bytes directly.
bool key_is(PyObject* key, const char* name) {
  if (PyUnicode_IS_COMPACT_ASCII(key)) {
    const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(key));
    return std::strlen(name) == n && std::memcmp(PyUnicode_DATA(key), name, n) == 0;
  }
  return PyUnicode_CompareWithASCIIString(key, name) == 0;
}

void bind_into(const char* method, const char* const* names, size_t n, size_t required,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  const auto max = static_cast<Py_ssize_t>(n);
  if (nargs + nkw > max) {
    PyErr_Format(PyExc_TypeError, "%s() takes %s %zd argument%s (%zd given)", method,
                 required < n ? "at most" : "exactly", max, max == 1 ? "" : "s", nargs + nkw);
    raise();
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    size_t j = 0;
    while (j < n && !key_is(key, names[j])) ++j;
    if (j == n) {
      PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", key, method);
      raise();
    }
    if (out[j] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                   method, names[j], j + 1);
      raise();
    }
    out[j] = args[nargs + k];
  }
  for (size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", method,
                   names[i], i + 1);
      raise();
    }
  }
}

template <size_t N>
Args<N> bind(const Params<N>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<N> out{};
  if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) {
    for (size_t i = 0; i < N; ++i) out[i] = args[i];
    return out;
  }
  bind_into(p.method, p.names.data(), N, p.required, args, nargs, kwnames, out.data());
  return out;
}

// Table entries. A body is PyObject*(PyObject* self, Args<N>) or PyObject*(PyObject* self).
template <const auto& P, auto Body>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return Body(self, bind(P, args, nargs, kwnames)); });
}

template <auto Body>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return Body(self); });
}

template <auto Body>
PyObject* getter(PyObject* self, void*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return Body(self); });
}

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

// ---------------------------------------------------------------------------------------------
// The objects and their use flag: any number of shared uses, or one exclusive use.

struct SVObject {
  PyObject ob_base;  // PyObject_HEAD
  int32_t use;       // > 0: shared uses; -1: exclusive
  union {
    TavroSV sv;  // constructed by wrap(), destroyed by sv_dealloc()
  };
  TavroSV& value() { return sv; }
};

struct RngObject {
  PyObject ob_base;  // PyObject_HEAD
  int32_t use;
  Xoshiro256PlusPlus rng;
  Xoshiro256PlusPlus& value() { return rng; }
};

template <class Obj>
class Shared {
 public:
  explicit Shared(PyObject* self) : o_(reinterpret_cast<Obj*>(self)) {
    if (o_->use < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    ++o_->use;
  }
  ~Shared() { --o_->use; }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  const auto* operator->() const { return &o_->value(); }

 private:
  Obj* o_;
};

template <class Obj>
class Exclusive {
 public:
  explicit Exclusive(PyObject* self) : o_(reinterpret_cast<Obj*>(self)) {
    if (o_->use != 0) raise(PyExc_RuntimeError, "Already borrowed");
    o_->use = -1;
  }
  ~Exclusive() { o_->use = 0; }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;
  auto* operator->() const { return &o_->value(); }
  auto& operator*() const { return o_->value(); }

 private:
  Obj* o_;
};

using SharedSV = Shared<SVObject>;
using ExclusiveSV = Exclusive<SVObject>;
// A generator argument is always taken for exclusive use: every use draws from it.
using ExclusiveRng = Exclusive<RngObject>;

PyTypeObject* rng_type();

// ---------------------------------------------------------------------------------------------
// Converters for plain arguments, shared by every method.

namespace detail {

// The conversion of argument `name` failed with the Python error now set. A TypeError becomes
// "argument '{name}': {reason}", chained to the original; anything else (OverflowError, an
// exception raised by the caller's own __index__) passes unchanged.
[[noreturn]] void argument_error(const char* name) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, tb);
    raise();
  }
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(tb);
  Py_DECREF(type);
  PyObject* reason = PyObject_Str(value);
  PyObject* message =
      reason != nullptr ? PyUnicode_FromFormat("argument '%s': %U", name, reason) : nullptr;
  Py_XDECREF(reason);
  PyObject* exc = message != nullptr ? PyObject_CallOneArg(PyExc_TypeError, message) : nullptr;
  Py_XDECREF(message);
  if (exc == nullptr) {
    Py_DECREF(value);
    raise();
  }
  PyException_SetCause(exc, value);  // takes the reference
  PyErr_SetObject(PyExc_TypeError, exc);
  Py_DECREF(exc);
  raise();
}

[[noreturn]] void type_error(const char* name, const char* reason, PyObject* obj) {
  PyErr_Format(PyExc_TypeError, reason, Py_TYPE(obj)->tp_name);
  argument_error(name);
}

// An int, or any object with __index__, in 0..max. Negative or above max: OverflowError.
uint64_t to_unsigned(PyObject* o, uint64_t max, const char* name) {
  unsigned long long v;
  if (PyLong_CheckExact(o)) {
    v = PyLong_AsUnsignedLongLong(o);
  } else {
    PyObject* i = PyNumber_Index(o);
    if (i == nullptr) argument_error(name);
    v = PyLong_AsUnsignedLongLong(i);
    Py_DECREF(i);
  }
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) argument_error(name);
  if (v > max) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return v;
}

// Indices and counts: target, idx, control, q1, q2, nsamples.
size_t to_index(PyObject* o, const char* name) { return to_unsigned(o, SIZE_MAX, name); }

// Qubit counts: num_qubits.
uint32_t to_u32(PyObject* o, const char* name) {
  return static_cast<uint32_t>(to_unsigned(o, UINT32_MAX, name));
}

// Seeds.
uint64_t to_u64(PyObject* o, const char* name) { return to_unsigned(o, UINT64_MAX, name); }

// Flags: a Python bool or a NumPy bool scalar; an int is refused.
bool to_bool(PyObject* o, const char* name) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  const char* type = Py_TYPE(o)->tp_name;
  if (std::strcmp(type, "numpy.bool_") == 0 || std::strcmp(type, "numpy.bool") == 0) {
    const int v = PyObject_IsTrue(o);
    if (v < 0) argument_error(name);
    return v != 0;
  }
  type_error(name, "'%s' object cannot be converted to 'bool'", o);
}

// Angles and weights: anything Python converts to float.
double to_f64(PyObject* o, const char* name) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) argument_error(name);
  return v;
}

// Calls f(item) for each item of a sequence, in order; a str is not a sequence here. Items are
// fetched one at a time, so an item's own conversion code may change the sequence safely.
template <class F>
void for_each_item(PyObject* o, const char* name, F&& f) {
  if (PyUnicode_Check(o)) type_error(name, "'%s' object is not accepted as a sequence", o);
  if (!PySequence_Check(o)) type_error(name, "'%s' object cannot be converted to 'Sequence'", o);
  PyObject* seq = PySequence_Fast(o, "");  // a list or tuple as it is, anything else listed
  if (seq == nullptr) argument_error(name);
  const py::object hold = py::reinterpret_steal<py::object>(seq);
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
    const py::object item = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(seq, i));
    f(item.ptr());
  }
}

// Bits: bytes and bytearray as they are, any other sequence item by item as bytes 0..255.
class ByteSeq {
 public:
  ByteSeq(PyObject* o, const char* name) {
    if (PyBytes_Check(o)) {
      view_ = {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o)),
               static_cast<size_t>(PyBytes_GET_SIZE(o))};
      return;
    }
    if (PyByteArray_Check(o)) {
      view_ = {reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(o)),
               static_cast<size_t>(PyByteArray_GET_SIZE(o))};
      return;
    }
    for_each_item(o, name, [&](PyObject* item) {
      own_.push_back(static_cast<uint8_t>(to_unsigned(item, UINT8_MAX, name)));
    });
    view_ = own_;
  }
  std::span<const uint8_t> span() const { return view_; }

 private:
  std::span<const uint8_t> view_;
  std::vector<uint8_t> own_;
};

// A NumPy array of exactly dtype complex128 (native order) and exactly `ndim` dimensions;
// anything else raises the prefixed TypeError. Never cast.
py::array complex_array(PyObject* o, int ndim, const char* name) {
  if (!py::isinstance<py::array>(o)) {
    type_error(name, "'%s' object cannot be converted to a complex128 NumPy array", o);
  }
  auto a = py::reinterpret_borrow<py::array>(o);
  if (a.ndim() != ndim) {
    PyErr_Format(PyExc_TypeError, "array has %zd dimensions, expected %d",
                 static_cast<Py_ssize_t>(a.ndim()), ndim);
    argument_error(name);
  }
  if (!py::array_t<Amp>::check_(a)) {
    const std::string dtype = py::str(a.dtype());
    PyErr_Format(PyExc_TypeError, "array dtype is %s, expected complex128", dtype.c_str());
    argument_error(name);
  }
  return a;
}

// A 1-D complex128 array read through its stride (negative too). A contiguous aligned array
// is passed on as it is, since the core copies; any other is copied here first.
class AmpSeq {
 public:
  AmpSeq(PyObject* o, const char* name) : array_(complex_array(o, 1, name)) {
    const auto n = static_cast<size_t>(array_.shape(0));
    const auto* base = static_cast<const char*>(array_.data());
    const py::ssize_t stride = array_.strides(0);
    if (n == 0) return;
    if (stride == static_cast<py::ssize_t>(sizeof(Amp)) &&
        reinterpret_cast<uintptr_t>(base) % alignof(Amp) == 0) {
      view_ = {reinterpret_cast<const Amp*>(base), n};
      return;
    }
    own_.resize(n);
    for (size_t i = 0; i < n; ++i) {
      std::memcpy(static_cast<void*>(&own_[i]), base + static_cast<py::ssize_t>(i) * stride,
                  sizeof(Amp));
    }
    view_ = own_;
  }
  std::span<const Amp> span() const { return view_; }

 private:
  py::array array_;  // keeps the data alive while the view is used
  std::span<const Amp> view_;
  std::vector<Amp> own_;
};

// ---- gate matrices

// The general refusal of a d x d gate: every form that is neither a complex128 array of two
// dimensions nor a sequence of d*d numbers.
template <size_t D>
[[noreturn]] void matrix_form_error() {
  static_assert(D == 2 || D == 4);
  raise(gate_shape_error_class(),
        D == 2 ? "gate must be a 2x2 complex128 numpy array or a flat 4-element complex list "
                 "(column-major)"
               : "gate must be a 4x4 complex128 numpy array or a flat 16-element complex list "
                 "(column-major)");
}

// A complex128 array of exactly two dimensions: its shape must be (D, D), and element [r, c]
// goes to r + D*c, read through whatever strides the array has. False for any other object,
// which is then tried as a sequence.
template <size_t D>
bool read_matrix_array(PyObject* o, std::array<Amp, D * D>& m) {
  if (!py::isinstance<py::array>(o)) return false;
  const auto a = py::reinterpret_borrow<py::array>(o);
  if (a.ndim() != 2 || !py::array_t<Amp>::check_(a)) return false;
  const py::ssize_t rows = a.shape(0), cols = a.shape(1);
  if (rows != static_cast<py::ssize_t>(D) || cols != static_cast<py::ssize_t>(D)) {
    PyErr_Format(gate_shape_error_class(), "gate must be %dx%d complex128, got shape [%zd, %zd]",
                 static_cast<int>(D), static_cast<int>(D), rows, cols);
    raise();
  }
  const auto* base = static_cast<const char*>(a.data());
  const py::ssize_t rs = a.strides(0), cs = a.strides(1);
  for (size_t c = 0; c < D; ++c) {
    for (size_t r = 0; r < D; ++r) {
      const char* at = base + static_cast<py::ssize_t>(r) * rs + static_cast<py::ssize_t>(c) * cs;
      std::memcpy(static_cast<void*>(&m[r + D * c]), at, sizeof(Amp));  // any alignment
    }
  }
  return true;
}

// One item as Python converts to complex: a complex as it is, anything with __complex__,
// __float__ or __index__ through its hook, a real value with imaginary part 0. False, with
// the Python error cleared, when the item is refused.
bool item_to_amp(PyObject* item, Amp& out) {
  if (PyFloat_CheckExact(item)) {
    out = Amp(PyFloat_AS_DOUBLE(item), 0.0);
    return true;
  }
  const Py_complex c = PyComplex_AsCComplex(item);
  if (c.real == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = Amp(c.real, c.imag);
  return true;
}

// Calls f(item) for every item of a sequence, in order, while f returns true. A list or tuple
// is walked in place (its length read again at every step, as its iterator does); anything
// else through its iterator. False when f refused an item or the iteration failed (cleared).
template <class F>
bool for_each_number(PyObject* o, F&& f) {
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    const bool list = PyList_CheckExact(o);
    for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o)); ++i) {
      // Held across f: the item's own hooks may change the list.
      const py::object item =
          py::reinterpret_borrow<py::object>(list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i));
      if (!f(item.ptr())) return false;
    }
    return true;
  }
  PyObject* it = PyObject_GetIter(o);
  if (it == nullptr) {
    PyErr_Clear();
    return false;
  }
  const py::object hold = py::reinterpret_steal<py::object>(it);
  while (PyObject* next = PyIter_Next(it)) {
    const py::object item = py::reinterpret_steal<py::object>(next);
    if (!f(item.ptr())) return false;
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// A D x D gate (D = 2 or 4) in column-major order, entry r + D*c = row r, column c: a complex128
// array of two dimensions indexed [row, column], or else a sequence (not a str) of exactly D*D
// numbers already in column-major order. Refusals raise GateShapeError, never prefixed. Every
// item of a sequence is converted, also past D*D, so that the refusal of a long list comes
// after the same conversions as that of any other. The result lives on the caller's stack.
template <size_t D>
std::array<Amp, D * D> extract_matrix(PyObject* o) {
  constexpr size_t N = D * D;
  std::array<Amp, N> m{};
  if (read_matrix_array<D>(o, m)) return m;
  if (PyUnicode_Check(o) || !PySequence_Check(o)) matrix_form_error<D>();
  size_t count = 0;
  const bool all = for_each_number(o, [&](PyObject* item) {
    Amp a;
    if (!item_to_amp(item, a)) return false;
    if (count < N) m[count] = a;
    ++count;
    return true;
  });
  if (!all || count != N) matrix_form_error<D>();
  return m;
}

std::array<Amp, 4> extract_2x2(PyObject* o) { return extract_matrix<2>(o); }
std::array<Amp, 16> extract_4x4(PyObject* o) { return extract_matrix<4>(o); }

// ---- the generator

// An Rng object, as it is; anything else raises the prefixed TypeError. The caller then takes
// it for exclusive use for the rest of the call (ExclusiveRng).
PyObject* rng_arg(PyObject* o, const char* name) {
  if (Py_TYPE(o) != rng_type()) type_error(name, "'%s' object cannot be converted to 'Rng'", o);
  return o;
}

// ---- results

PyObject* new_complex(Amp a) { return PyComplex_FromDoubles(a.real(), a.imag()); }
PyObject* new_float(double v) { return PyFloat_FromDouble(v); }
PyObject* new_bool(bool v) { return PyBool_FromLong(v ? 1 : 0); }
PyObject* none() { Py_RETURN_NONE; }

// A fresh 1-D complex128 array owning a copy of `amps`.
PyObject* new_amp_array(std::span<const Amp> amps) {
  py::array_t<Amp> out(static_cast<py::ssize_t>(amps.size()));
  if (!amps.empty()) std::memcpy(out.mutable_data(), amps.data(), amps.size_bytes());
  return out.release().ptr();
}

// A fresh 1-D uint8 array owning a copy of `bytes`.
PyObject* new_u8_array(std::span<const uint8_t> bytes) {
  py::array_t<uint8_t> out(static_cast<py::ssize_t>(bytes.size()));
  if (!bytes.empty()) std::memcpy(out.mutable_data(), bytes.data(), bytes.size());
  return out.release().ptr();
}

// `rows` x `cols` bytes, row-major, as a 2-D uint8 array that takes the vector over instead
// of copying it: a capsule owns the vector and is the flat array's base, and the result is
// NumPy's reshape of that flat array, so a length that does not match raises NumPy's own
// ValueError.
PyObject* adopt_u8_rows(std::vector<uint8_t>&& bytes, size_t rows, size_t cols) {
  auto owned = std::make_unique<std::vector<uint8_t>>(std::move(bytes));
  const py::capsule base(owned.get(),
                         [](void* p) { delete static_cast<std::vector<uint8_t>*>(p); });
  const std::vector<uint8_t>* v = owned.release();  // the capsule frees it from here on
  // An empty vector may have no data pointer: NumPy then allocates its own, of zero bytes.
  py::array_t<uint8_t> flat(static_cast<py::ssize_t>(v->size()), v->data(), base);
  return flat.reshape({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)})
      .release()
      .ptr();
}

}  // namespace detail

using detail::AmpSeq;
using detail::ByteSeq;
using detail::extract_2x2;
using detail::extract_4x4;
using detail::new_bool;
using detail::new_complex;
using detail::new_float;
using detail::to_bool;
using detail::to_f64;
using detail::to_index;
using detail::to_u32;
using detail::to_u64;

PyTypeObject* sv_type();

// A new TavroSV object owning `sv`.
PyObject* wrap(TavroSV&& sv) {
  PyTypeObject* type = sv_type();
  auto* o = reinterpret_cast<SVObject*>(type->tp_alloc(type, 0));
  if (o == nullptr) raise();
  o->use = 0;
  new (&o->sv) TavroSV(std::move(sv));
  return reinterpret_cast<PyObject*>(o);
}

// ---------------------------------------------------------------------------------------------
// class TavroSV, in the order of its method table.

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

// ---- gates
// Every gate method takes the state for exclusive use, converts its plain arguments in
// parameter order, a matrix last, and calls one core operation; the gate methods from apply_x
// to apply_rzz share four bodies by the shape of their parameters.

template <const Params<1>& P, Status (TavroSV::*Op)(size_t)>
PyObject* sv_gate_q(PyObject* self, Args<1> a) {
  const ExclusiveSV sv(self);
  const size_t q = to_index(a[0], P.names[0]);
  check(((*sv).*Op)(q));
  return detail::none();
}

template <const Params<2>& P, Status (TavroSV::*Op)(double, size_t)>
PyObject* sv_gate_aq(PyObject* self, Args<2> a) {
  const ExclusiveSV sv(self);
  const double angle = to_f64(a[0], P.names[0]);
  const size_t q = to_index(a[1], P.names[1]);
  check(((*sv).*Op)(angle, q));
  return detail::none();
}

template <const Params<2>& P, Status (TavroSV::*Op)(size_t, size_t)>
PyObject* sv_gate_qq(PyObject* self, Args<2> a) {
  const ExclusiveSV sv(self);
  const size_t q1 = to_index(a[0], P.names[0]);
  const size_t q2 = to_index(a[1], P.names[1]);
  check(((*sv).*Op)(q1, q2));
  return detail::none();
}

template <const Params<3>& P, Status (TavroSV::*Op)(double, size_t, size_t)>
PyObject* sv_gate_aqq(PyObject* self, Args<3> a) {
  const ExclusiveSV sv(self);
  const double angle = to_f64(a[0], P.names[0]);
  const size_t q1 = to_index(a[1], P.names[1]);
  const size_t q2 = to_index(a[2], P.names[2]);
  check(((*sv).*Op)(angle, q1, q2));
  return detail::none();
}

constexpr Params<1> APPLY_X{"apply_x", {"target"}, 1};
constexpr char APPLY_X_DOC[] = "apply_x($self, target)\n--\n\n";

constexpr Params<1> APPLY_Y{"apply_y", {"target"}, 1};
constexpr char APPLY_Y_DOC[] = "apply_y($self, target)\n--\n\n";

constexpr Params<1> APPLY_Z{"apply_z", {"target"}, 1};
constexpr char APPLY_Z_DOC[] = "apply_z($self, target)\n--\n\n";

constexpr Params<1> APPLY_H{"apply_h", {"target"}, 1};
constexpr char APPLY_H_DOC[] = "apply_h($self, target)\n--\n\n";

constexpr Params<1> APPLY_S{"apply_s", {"target"}, 1};
constexpr char APPLY_S_DOC[] = "apply_s($self, target)\n--\n\n";

constexpr Params<1> APPLY_SDG{"apply_sdg", {"target"}, 1};
constexpr char APPLY_SDG_DOC[] = "apply_sdg($self, target)\n--\n\n";

constexpr Params<1> APPLY_T{"apply_t", {"target"}, 1};
constexpr char APPLY_T_DOC[] = "apply_t($self, target)\n--\n\n";

constexpr Params<1> APPLY_TDG{"apply_tdg", {"target"}, 1};
constexpr char APPLY_TDG_DOC[] = "apply_tdg($self, target)\n--\n\n";

constexpr Params<1> APPLY_SX{"apply_sx", {"target"}, 1};
constexpr char APPLY_SX_DOC[] = "apply_sx($self, target)\n--\n\n";

constexpr Params<2> APPLY_P{"apply_p", {"lambda", "target"}, 2};
constexpr char APPLY_P_DOC[] = "apply_p($self, lambda, target)\n--\n\n";

constexpr Params<2> APPLY_RX{"apply_rx", {"theta", "target"}, 2};
constexpr char APPLY_RX_DOC[] = "apply_rx($self, theta, target)\n--\n\n";

constexpr Params<2> APPLY_RY{"apply_ry", {"theta", "target"}, 2};
constexpr char APPLY_RY_DOC[] = "apply_ry($self, theta, target)\n--\n\n";

constexpr Params<2> APPLY_RZ{"apply_rz", {"lmbda", "target"}, 2};
constexpr char APPLY_RZ_DOC[] = "apply_rz($self, lmbda, target)\n--\n\n";

constexpr Params<4> APPLY_U{"apply_u", {"theta", "phi", "lmbda", "target"}, 4};
constexpr char APPLY_U_DOC[] = "apply_u($self, theta, phi, lmbda, target)\n--\n\n";
PyObject* sv_apply_u(PyObject* self, Args<4> a) {
  const ExclusiveSV sv(self);
  const double theta = to_f64(a[0], "theta");
  const double phi = to_f64(a[1], "phi");
  const double lmbda = to_f64(a[2], "lmbda");
  const size_t target = to_index(a[3], "target");
  check(sv->apply_u(theta, phi, lmbda, target));
  return detail::none();
}

constexpr Params<2> APPLY_CX{"apply_cx", {"control", "target"}, 2};
constexpr char APPLY_CX_DOC[] = "apply_cx($self, control, target)\n--\n\n";

constexpr Params<2> APPLY_CY{"apply_cy", {"control", "target"}, 2};
constexpr char APPLY_CY_DOC[] = "apply_cy($self, control, target)\n--\n\n";

constexpr Params<2> APPLY_CZ{"apply_cz", {"q1", "q2"}, 2};
constexpr char APPLY_CZ_DOC[] = "apply_cz($self, q1, q2)\n--\n\n";

constexpr Params<2> APPLY_SWAP{"apply_swap", {"q1", "q2"}, 2};
constexpr char APPLY_SWAP_DOC[] = "apply_swap($self, q1, q2)\n--\n\n";

constexpr Params<2> APPLY_ISWAP{"apply_iswap", {"q1", "q2"}, 2};
constexpr char APPLY_ISWAP_DOC[] = "apply_iswap($self, q1, q2)\n--\n\n";

constexpr Params<3> APPLY_CP{"apply_cp", {"lmbda", "q1", "q2"}, 3};
constexpr char APPLY_CP_DOC[] = "apply_cp($self, lmbda, q1, q2)\n--\n\n";

constexpr Params<3> APPLY_CRX{"apply_crx", {"theta", "control", "target"}, 3};
constexpr char APPLY_CRX_DOC[] = "apply_crx($self, theta, control, target)\n--\n\n";

constexpr Params<3> APPLY_CRY{"apply_cry", {"theta", "control", "target"}, 3};
constexpr char APPLY_CRY_DOC[] = "apply_cry($self, theta, control, target)\n--\n\n";

constexpr Params<3> APPLY_CRZ{"apply_crz", {"lmbda", "control", "target"}, 3};
constexpr char APPLY_CRZ_DOC[] = "apply_crz($self, lmbda, control, target)\n--\n\n";

constexpr Params<3> APPLY_RXX{"apply_rxx", {"theta", "q1", "q2"}, 3};
constexpr char APPLY_RXX_DOC[] = "apply_rxx($self, theta, q1, q2)\n--\n\n";

constexpr Params<3> APPLY_RYY{"apply_ryy", {"theta", "q1", "q2"}, 3};
constexpr char APPLY_RYY_DOC[] = "apply_ryy($self, theta, q1, q2)\n--\n\n";

constexpr Params<3> APPLY_RZZ{"apply_rzz", {"theta", "q1", "q2"}, 3};
constexpr char APPLY_RZZ_DOC[] = "apply_rzz($self, theta, q1, q2)\n--\n\n";

constexpr Params<2> APPLY_GATE_1Q{"apply_gate_1q", {"gate", "target"}, 2};
constexpr char APPLY_GATE_1Q_DOC[] =
    "apply_gate_1q($self, gate, target)\n--\n\n"
    "Applies the one-qubit gate `gate` to qubit target. gate is a 2x2 complex128 NumPy array in "
    "row-major indexing (gate[row, column]) or a flat list of 4 complex numbers in column-major "
    "order [U00, U10, U01, U11]. The matrix is applied as given; unitarity is not checked.";
PyObject* sv_apply_gate_1q(PyObject* self, Args<2> a) {
  const ExclusiveSV sv(self);
  const size_t target = to_index(a[1], "target");
  const std::array<Amp, 4> gate = extract_2x2(a[0]);
  check(sv->apply_gate_1q(gate, target));
  return detail::none();
}

constexpr Params<3> APPLY_GATE_2Q{"apply_gate_2q", {"gate", "q1", "q2"}, 3};
constexpr char APPLY_GATE_2Q_DOC[] =
    "apply_gate_2q($self, gate, q1, q2)\n--\n\n"
    "Applies the two-qubit gate `gate` to qubits q1 and q2. gate is a 4x4 complex128 NumPy array "
    "in row-major indexing (gate[row, column]) or a flat list of 16 complex numbers in "
    "column-major order. q1 is the most significant bit of the local basis: the 2-bit subindex "
    "into the matrix is (bit_q1 << 1) | bit_q2. Unitarity is not checked.";
PyObject* sv_apply_gate_2q(PyObject* self, Args<3> a) {
  const ExclusiveSV sv(self);
  const size_t q1 = to_index(a[1], "q1");
  const size_t q2 = to_index(a[2], "q2");
  const std::array<Amp, 16> gate = extract_4x4(a[0]);
  check(sv->apply_gate_2q(gate, q1, q2));
  return detail::none();
}

// ---- measurement and sampling
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

PyMethodDef SV_METHODS[] = {
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
    {"apply_x", as_cfunction(fastcall<APPLY_X, sv_gate_q<APPLY_X, &TavroSV::apply_x>>), FASTCALL,
     APPLY_X_DOC},
    {"apply_y", as_cfunction(fastcall<APPLY_Y, sv_gate_q<APPLY_Y, &TavroSV::apply_y>>), FASTCALL,
     APPLY_Y_DOC},
    {"apply_z", as_cfunction(fastcall<APPLY_Z, sv_gate_q<APPLY_Z, &TavroSV::apply_z>>), FASTCALL,
     APPLY_Z_DOC},
    {"apply_h", as_cfunction(fastcall<APPLY_H, sv_gate_q<APPLY_H, &TavroSV::apply_h>>), FASTCALL,
     APPLY_H_DOC},
    {"apply_s", as_cfunction(fastcall<APPLY_S, sv_gate_q<APPLY_S, &TavroSV::apply_s>>), FASTCALL,
     APPLY_S_DOC},
    {"apply_sdg", as_cfunction(fastcall<APPLY_SDG, sv_gate_q<APPLY_SDG, &TavroSV::apply_sdg>>),
     FASTCALL, APPLY_SDG_DOC},
    {"apply_t", as_cfunction(fastcall<APPLY_T, sv_gate_q<APPLY_T, &TavroSV::apply_t>>), FASTCALL,
     APPLY_T_DOC},
    {"apply_tdg", as_cfunction(fastcall<APPLY_TDG, sv_gate_q<APPLY_TDG, &TavroSV::apply_tdg>>),
     FASTCALL, APPLY_TDG_DOC},
    {"apply_sx", as_cfunction(fastcall<APPLY_SX, sv_gate_q<APPLY_SX, &TavroSV::apply_sx>>),
     FASTCALL, APPLY_SX_DOC},
    {"apply_p", as_cfunction(fastcall<APPLY_P, sv_gate_aq<APPLY_P, &TavroSV::apply_p>>), FASTCALL,
     APPLY_P_DOC},
    {"apply_rx", as_cfunction(fastcall<APPLY_RX, sv_gate_aq<APPLY_RX, &TavroSV::apply_rx>>),
     FASTCALL, APPLY_RX_DOC},
    {"apply_ry", as_cfunction(fastcall<APPLY_RY, sv_gate_aq<APPLY_RY, &TavroSV::apply_ry>>),
     FASTCALL, APPLY_RY_DOC},
    {"apply_rz", as_cfunction(fastcall<APPLY_RZ, sv_gate_aq<APPLY_RZ, &TavroSV::apply_rz>>),
     FASTCALL, APPLY_RZ_DOC},
    {"apply_u", as_cfunction(fastcall<APPLY_U, sv_apply_u>), FASTCALL, APPLY_U_DOC},
    {"apply_cx", as_cfunction(fastcall<APPLY_CX, sv_gate_qq<APPLY_CX, &TavroSV::apply_cx>>),
     FASTCALL, APPLY_CX_DOC},
    {"apply_cy", as_cfunction(fastcall<APPLY_CY, sv_gate_qq<APPLY_CY, &TavroSV::apply_cy>>),
     FASTCALL, APPLY_CY_DOC},
    {"apply_cz", as_cfunction(fastcall<APPLY_CZ, sv_gate_qq<APPLY_CZ, &TavroSV::apply_cz>>),
     FASTCALL, APPLY_CZ_DOC},
    {"apply_swap", as_cfunction(fastcall<APPLY_SWAP, sv_gate_qq<APPLY_SWAP, &TavroSV::apply_swap>>),
     FASTCALL, APPLY_SWAP_DOC},
    {"apply_iswap",
     as_cfunction(fastcall<APPLY_ISWAP, sv_gate_qq<APPLY_ISWAP, &TavroSV::apply_iswap>>), FASTCALL,
     APPLY_ISWAP_DOC},
    {"apply_cp", as_cfunction(fastcall<APPLY_CP, sv_gate_aqq<APPLY_CP, &TavroSV::apply_cp>>),
     FASTCALL, APPLY_CP_DOC},
    {"apply_crx", as_cfunction(fastcall<APPLY_CRX, sv_gate_aqq<APPLY_CRX, &TavroSV::apply_crx>>),
     FASTCALL, APPLY_CRX_DOC},
    {"apply_cry", as_cfunction(fastcall<APPLY_CRY, sv_gate_aqq<APPLY_CRY, &TavroSV::apply_cry>>),
     FASTCALL, APPLY_CRY_DOC},
    {"apply_crz", as_cfunction(fastcall<APPLY_CRZ, sv_gate_aqq<APPLY_CRZ, &TavroSV::apply_crz>>),
     FASTCALL, APPLY_CRZ_DOC},
    {"apply_rxx", as_cfunction(fastcall<APPLY_RXX, sv_gate_aqq<APPLY_RXX, &TavroSV::apply_rxx>>),
     FASTCALL, APPLY_RXX_DOC},
    {"apply_ryy", as_cfunction(fastcall<APPLY_RYY, sv_gate_aqq<APPLY_RYY, &TavroSV::apply_ryy>>),
     FASTCALL, APPLY_RYY_DOC},
    {"apply_rzz", as_cfunction(fastcall<APPLY_RZZ, sv_gate_aqq<APPLY_RZZ, &TavroSV::apply_rzz>>),
     FASTCALL, APPLY_RZZ_DOC},
    {"apply_gate_1q", as_cfunction(fastcall<APPLY_GATE_1Q, sv_apply_gate_1q>), FASTCALL,
     APPLY_GATE_1Q_DOC},
    {"apply_gate_2q", as_cfunction(fastcall<APPLY_GATE_2Q, sv_apply_gate_2q>), FASTCALL,
     APPLY_GATE_2Q_DOC},
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
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef SV_PROPERTIES[] = {
    {"num_qubits", getter<sv_num_qubits>, nullptr, NUM_QUBITS_DOC, nullptr},
    {"live_qubits", getter<sv_live_qubits>, nullptr, LIVE_QUBITS_DOC, nullptr},
    {"is_dynamic", getter<sv_is_dynamic>, nullptr, IS_DYNAMIC_DOC, nullptr},
    {"len", getter<sv_len_property>, nullptr, LEN_DOC, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// No __new__ or __init__: states come only from the static constructors and clone.
PyType_Slot SV_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(sv_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(sv_repr)},
    {Py_mp_length, reinterpret_cast<void*>(sv_len)},
    {Py_tp_methods, SV_METHODS},
    {Py_tp_getset, SV_PROPERTIES},
    {0, nullptr},
};

PyType_Spec SV_SPEC = {
    "_core.TavroSV", sizeof(SVObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, SV_SLOTS};

// ---------------------------------------------------------------------------------------------
// class Rng

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

PyType_Slot RNG_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(RNG_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(rng_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rng_dealloc)},
    {0, nullptr},
};

PyType_Spec RNG_SPEC = {"_core.Rng", sizeof(RngObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, RNG_SLOTS};

// ---------------------------------------------------------------------------------------------
// Module

PyTypeObject* new_type(PyType_Spec* type_spec) {
  PyObject* type = PyType_FromSpec(type_spec);
  if (type == nullptr) raise();
  return reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* sv_type() {
  static PyTypeObject* const type = new_type(&SV_SPEC);
  return type;
}

PyTypeObject* rng_type() {
  static PyTypeObject* const type = new_type(&RNG_SPEC);
  return type;
}

void add(PyObject* module, const char* name, void* object) {
  if (PyModule_AddObjectRef(module, name, static_cast<PyObject*>(object)) < 0) raise();
}

PyObject* init_module(PyObject* m) {
  if (PyObject_SetAttrString(m, "__doc__", py::str("").ptr()) < 0) raise();
  add(m, "TavroSV", sv_type());
  add(m, "Rng", rng_type());
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
    throw py::error_already_set();
  }
}
