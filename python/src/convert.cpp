// Argument matching and the converters of the Python face: plain arguments, bits, amplitude
// arrays, gate matrices, the generator, and the results handed back.
#include <memory>
#include <utility>

#include "face.hpp"

namespace tavro::python {

namespace {

// Keyword names are short ASCII strings in practice: compare their bytes directly.
bool key_is(PyObject* key, const char* name) {
  if (PyUnicode_IS_COMPACT_ASCII(key)) {
    const auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(key));
    return std::strlen(name) == n && std::memcmp(PyUnicode_DATA(key), name, n) == 0;
  }
  return PyUnicode_CompareWithASCIIString(key, name) == 0;
}

}  // namespace

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

namespace detail {

namespace {

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

}  // namespace

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

ByteSeq::ByteSeq(PyObject* o, const char* name) {
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

AmpSeq::AmpSeq(PyObject* o, const char* name) : array_(complex_array(o, 1, name)) {
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

std::array<Amp, 4> extract_2x2(PyObject* o) { return extract_matrix<2>(o); }
std::array<Amp, 16> extract_4x4(PyObject* o) { return extract_matrix<4>(o); }

// An Rng object, as it is; anything else raises the prefixed TypeError. The caller then takes
// it for exclusive use for the rest of the call (ExclusiveRng).
PyObject* rng_arg(PyObject* o, const char* name) {
  if (Py_TYPE(o) != rng_type()) type_error(name, "'%s' object cannot be converted to 'Rng'", o);
  return o;
}

// ---- results

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
}  // namespace tavro::python
