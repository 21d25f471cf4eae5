// Argument matching and the converters of the Python face: plain arguments, bits, amplitude
// arrays, gate matrices, the generator, and the results handed back.
#include <memory>
#include <optional>
#include <string>
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

// ---- gate matrices, diagonals and operator stacks

// `o` as a NumPy array of exactly dtype complex128 and `ndim` dimensions, or none when it is
// anything else (which is then tried as a sequence).
std::optional<py::array> complex128_array(PyObject* o, py::ssize_t ndim) {
  if (!py::isinstance<py::array>(o)) return std::nullopt;
  auto a = py::reinterpret_borrow<py::array>(o);
  if (a.ndim() != ndim || !py::array_t<Amp>::check_(a)) return std::nullopt;
  return a;
}

// An array's shape as the messages write it: "[2, 3]", "[3, 2, 3]".
std::string shape_text(const py::array& a) {
  std::string text = "[";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(a.shape(i));
  }
  return text + "]";
}

// Raises GateShapeError with a printf-style message.
template <class... T>
[[noreturn]] void shape_error(const char* format, T... values) {
  PyErr_Format(gate_shape_error_class(), format, values...);
  raise();
}

// `n` amplitudes `stride` bytes apart, at any alignment, into out[0..n).
void read_vector(const char* base, py::ssize_t stride, size_t n, Amp* out) {
  for (size_t i = 0; i < n; ++i) {
    std::memcpy(static_cast<void*>(out + i), base + static_cast<py::ssize_t>(i) * stride,
                sizeof(Amp));
  }
}

// A d x d block read [row, column] through its strides into column-major order: element [r, c]
// to out[r + d*c], columns in the outer loop.
void read_square(const char* base, py::ssize_t row_stride, py::ssize_t col_stride, size_t d,
                 Amp* out) {
  for (size_t c = 0; c < d; ++c)
    read_vector(base + static_cast<py::ssize_t>(c) * col_stride, row_stride, d, out + d * c);
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

// A sequence (not a str) of numbers: every item is converted, the first `room` of them stored
// in out. Returns the item count, or none when `o` is not a sequence or an item is refused.
// Items past `room` are converted too, so that the refusal of a long list comes after the same
// conversions as that of any other.
std::optional<size_t> read_numbers(PyObject* o, Amp* out, size_t room) {
  if (PyUnicode_Check(o) || !PySequence_Check(o)) return std::nullopt;
  size_t count = 0;
  const bool all = for_each_number(o, [&](PyObject* item) {
    Amp a;
    if (!item_to_amp(item, a)) return false;
    if (count < room) std::memcpy(static_cast<void*>(out + count), &a, sizeof(Amp));
    ++count;
    return true;
  });
  return all ? std::optional(count) : std::nullopt;
}

// A dim x dim gate into out[0..dim*dim) column-major: a complex128 array of two dimensions,
// which must be dim x dim (else shape_refusal(the shape's text) raises), or a sequence of
// exactly dim*dim numbers taken in order (else form_error() raises).
template <class FormError, class ShapeRefusal>
void read_gate(PyObject* o, size_t dim, Amp* out, FormError&& form_error,
               ShapeRefusal&& shape_refusal) {
  if (const auto a = complex128_array(o, 2)) {
    const auto d = static_cast<py::ssize_t>(dim);
    if (a->shape(0) != d || a->shape(1) != d) shape_refusal(shape_text(*a));
    read_square(static_cast<const char*>(a->data()), a->strides(0), a->strides(1), dim, out);
    return;
  }
  if (read_numbers(o, out, dim * dim) != dim * dim) form_error();
}

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

// A D x D gate (D = 2 or 4) in column-major order, entry r + D*c = row r, column c. The result
// lives on the caller's stack.
template <size_t D>
std::array<Amp, D * D> extract_matrix(PyObject* o) {
  std::array<Amp, D * D> m;
  read_gate(o, D, m.data(), matrix_form_error<D>, [](const std::string& shape) {
    shape_error("gate must be %dx%d complex128, got shape %s", static_cast<int>(D),
                static_cast<int>(D), shape.c_str());
  });
  return m;
}

// A stack of D x D operators, one after another, each column-major: a complex128 array of
// shape (n, D, D), or any iterable whose items extract_matrix<D> accepts, all taken from the
// iterable before the first is converted.
template <size_t D>
std::vector<Amp> extract_matrix_list(PyObject* o) {
  constexpr size_t N = D * D;
  std::vector<Amp> out;
  if (const auto a = complex128_array(o, 3)) {
    const auto d = static_cast<py::ssize_t>(D);
    if (a->shape(1) != d || a->shape(2) != d) {
      shape_error("operator stack must have shape (n, %d, %d), got %s", static_cast<int>(D),
                  static_cast<int>(D), shape_text(*a).c_str());
    }
    out.resize(static_cast<size_t>(a->shape(0)) * N);
    const auto* base = static_cast<const char*>(a->data());
    for (size_t i = 0; i * N < out.size(); ++i) {
      read_square(base + static_cast<py::ssize_t>(i) * a->strides(0), a->strides(1), a->strides(2),
                  D, &out[i * N]);
    }
    return out;
  }
  // A non-iterable raises Python's own TypeError here, unprefixed.
  PyObject* items = PySequence_List(o);
  if (items == nullptr) raise();
  const py::object hold = py::reinterpret_steal<py::object>(items);
  const auto n = static_cast<size_t>(PyList_GET_SIZE(items));
  out.reserve(n * N);
  for (size_t i = 0; i < n; ++i) {
    // The list is ours alone: no item's hook can reach it, so its items stay put.
    const std::array<Amp, N> m = extract_matrix<D>(PyList_GET_ITEM(items, i));
    out.insert(out.end(), m.begin(), m.end());
  }
  return out;
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
  read_vector(base, stride, n, own_.data());
  view_ = own_;
}

std::array<Amp, 4> extract_2x2(PyObject* o) { return extract_matrix<2>(o); }
std::array<Amp, 16> extract_4x4(PyObject* o) { return extract_matrix<4>(o); }

std::span<const Amp> extract_gate_kq(PyObject* o, size_t k, GateRoom& room) {
  if (k == 0 || k > MAX_GATE_KQ) {
    shape_error("apply_gate_kq supports 1..=%zu target qubits, got %zu", MAX_GATE_KQ, k);
  }
  const size_t dim = size_t{1} << k;
  read_gate(
      o, dim, room.data(),
      [&] {
        shape_error(
            "gate for %zu qubits must be a %zux%zu complex128 numpy array or a flat "
            "%zu-element complex list (column-major)",
            k, dim, dim, dim * dim);
      },
      [&](const std::string& shape) {
        shape_error("gate for %zu qubits must be %zux%zu complex128, got shape %s", k, dim, dim,
                    shape.c_str());
      });
  return {room.data(), dim * dim};
}

std::span<const Amp> extract_diag_kq(PyObject* o, size_t k, GateRoom& room) {
  if (k == 0 || k > MAX_DIAG_KQ) {
    shape_error("apply_diag_kq supports 1..=%zu target qubits, got %zu", MAX_DIAG_KQ, k);
  }
  const size_t dim = size_t{1} << k;
  if (const auto a = complex128_array(o, 1)) {
    if (a->shape(0) != static_cast<py::ssize_t>(dim)) {
      shape_error("diagonal for %zu qubits must have %zu entries, got shape %s", k, dim,
                  shape_text(*a).c_str());
    }
    read_vector(static_cast<const char*>(a->data()), a->strides(0), dim, room.data());
    return {room.data(), dim};
  }
  const std::optional<size_t> count = read_numbers(o, room.data(), dim);
  if (!count) {
    shape_error("diagonal for %zu qubits must be a %zu-element complex128 array or sequence", k,
                dim);
  }
  if (*count != dim) {
    shape_error("diagonal for %zu qubits must have %zu entries, got %zu", k, dim, *count);
  }
  return {room.data(), dim};
}

std::vector<Amp> extract_matrix_list_2x2(PyObject* o) { return extract_matrix_list<2>(o); }
std::vector<Amp> extract_matrix_list_4x4(PyObject* o) { return extract_matrix_list<4>(o); }

QubitList to_qubits(PyObject* o, const char* name) {
  QubitList list;
  for_each_item(o, name, [&](PyObject* item) { list.push_back(to_index(item, name)); });
  return list;
}

WeightList to_weights(PyObject* o, const char* name) {
  WeightList list;
  for_each_item(o, name, [&](PyObject* item) { list.push_back(to_f64(item, name)); });
  return list;
}

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
