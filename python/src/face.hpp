// What the files of the Python face share: the exception machinery, argument matching, the
// objects with their use flag, and the converters.
//
// The classes are plain CPython types whose methods are METH_FASTCALL table entries: a call
// reaches the core without a tuple, a dict or a heap allocation (pybind11's own dispatcher
// builds both and measured five times slower per call). pybind11 provides the module entry
// point and the NumPy arrays, which it reaches at run time through NumPy's capsule.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "amp.hpp"
#include "error.hpp"
#include "rng.hpp"
#include "state/sv.hpp"

namespace tavro::python {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// Exceptions (lib.cpp)

// Stands for "a Python exception is set": the method boundary returns NULL with it.
struct Raised {};

[[noreturn]] inline void raise() { throw Raised{}; }

[[noreturn]] inline void raise(PyObject* cls, const char* message) {
  PyErr_SetString(cls, message);
  throw Raised{};
}

// The module's exception classes, each made once per process on first need.
PyObject* tavro_error_class();
PyObject* gate_shape_error_class();
PyObject* qubit_index_error_class();
PyObject* degenerate_state_error_class();
PyObject* non_unitary_error_class();

// Sets the fault exception (a BaseException) with `message`; returns NULL.
PyObject* raise_fault(const char* message) noexcept;

// The one mapping from a core Error to a Python exception: class by variant, message the
// display text, unchanged.
[[noreturn]] void raise_error(const Error& e);

template <class T>
T value_or_raise(Result<T>&& r) {
  if (!r) raise_error(r.error());
  return std::move(*r);
}

inline void check(const Status& s) {
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

// The general case of bind: keywords, missing or surplus arguments (convert.cpp).
void bind_into(const char* method, const char* const* names, size_t n, size_t required,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

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

inline constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

// ---------------------------------------------------------------------------------------------
// The objects and their use flag: any number of shared uses, or one exclusive use.

struct SVObject {
  PyObject ob_base;  // PyObject_HEAD
  int32_t use;       // > 0: shared uses; -1: exclusive
  union {
    TavroSV sv;  // constructed by wrap(), destroyed by the type's dealloc
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

// A class made from its description; the name must outlive it, the slot table need not.
inline PyTypeObject* new_type(PyType_Spec* description) {
  PyObject* type = PyType_FromSpec(description);
  if (type == nullptr) raise();
  return reinterpret_cast<PyTypeObject*>(type);
}

// The two classes, each made once per process (state.cpp, rng_ordering.cpp).
PyTypeObject* sv_type();
PyTypeObject* rng_type();

// The module function optimize_ordering, a new reference (rng_ordering.cpp).
PyObject* optimize_ordering_function(PyObject* module);

// A new TavroSV object owning `sv` (state.cpp).
PyObject* wrap(TavroSV&& sv);

// The rows of TavroSV's method table, by file, in table order: construction and reads
// (state.cpp), gates (gates.cpp), measurement, sampling, channels and expectation values
// (measure.cpp).
std::span<const PyMethodDef> state_methods();
std::span<const PyMethodDef> gate_methods();
std::span<const PyMethodDef> measure_methods();

// ---------------------------------------------------------------------------------------------
// Converters for plain arguments, shared by every method (convert.cpp).

namespace detail {

// The conversion of argument `name` failed with the Python error now set. A TypeError becomes
// "argument '{name}': {reason}", chained to the original; anything else (OverflowError, an
// exception raised by the caller's own __index__) passes unchanged.
[[noreturn]] void argument_error(const char* name);

// Raises the prefixed TypeError whose reason is `reason` formatted with obj's type name.
[[noreturn]] void type_error(const char* name, const char* reason, PyObject* obj);

// An int, or any object with __index__, in 0..max. Negative or above max: OverflowError.
uint64_t to_unsigned(PyObject* o, uint64_t max, const char* name);

// Indices and counts: target, idx, control, q1, q2, nsamples.
inline size_t to_index(PyObject* o, const char* name) { return to_unsigned(o, SIZE_MAX, name); }

// Qubit counts: num_qubits.
inline uint32_t to_u32(PyObject* o, const char* name) {
  return static_cast<uint32_t>(to_unsigned(o, UINT32_MAX, name));
}

// Seeds.
inline uint64_t to_u64(PyObject* o, const char* name) { return to_unsigned(o, UINT64_MAX, name); }

// Flags: a Python bool or a NumPy bool scalar; an int is refused.
bool to_bool(PyObject* o, const char* name);

// Angles and weights: anything Python converts to float.
inline double to_f64(PyObject* o, const char* name) {
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
  ByteSeq(PyObject* o, const char* name);
  std::span<const uint8_t> span() const { return view_; }

 private:
  std::span<const uint8_t> view_;
  std::vector<uint8_t> own_;
};

// A 1-D complex128 array read through its stride (negative too). A contiguous aligned array
// is passed on as it is, since the core copies; any other is copied here first.
class AmpSeq {
 public:
  AmpSeq(PyObject* o, const char* name);
  std::span<const Amp> span() const { return view_; }

 private:
  py::array array_;  // keeps the data alive while the view is used
  std::span<const Amp> view_;
  std::vector<Amp> own_;
};

// A list converted item by item: up to N items stay in the object, a longer list moves to the
// heap, so that the lists a valid call passes cost no allocation.
template <class T, size_t N>
class SmallList {
 public:
  void push_back(const T& v) {
    if (size_ < N) {
      inline_[size_++] = v;
      return;
    }
    if (size_ == N) heap_.assign(inline_.begin(), inline_.end());
    heap_.push_back(v);
    ++size_;
  }
  size_t size() const { return size_; }
  std::span<const T> span() const {
    return size_ <= N ? std::span<const T>(inline_.data(), size_) : std::span<const T>(heap_);
  }

 private:
  std::array<T, N> inline_;
  std::vector<T> heap_;
  size_t size_ = 0;
};

// Qubit lists (controls, targets, qubits): any sequence but a str whose items convert as
// indices, in the given order.
using QubitList = SmallList<size_t, 64>;
QubitList to_qubits(PyObject* o, const char* name);

// Weight lists (probs): any sequence but a str whose items convert as floats.
using WeightList = SmallList<double, 64>;
WeightList to_weights(PyObject* o, const char* name);

// A 2x2 or 4x4 gate in column-major order, entry r + D*c = row r, column c: a complex128
// array of two dimensions indexed [row, column], or else a sequence (not a str) of exactly
// D*D numbers already in column-major order. Refusals raise GateShapeError, never prefixed.
std::array<Amp, 4> extract_2x2(PyObject* o);
std::array<Amp, 16> extract_4x4(PyObject* o);

// Room for the largest dense k-qubit gate (4^MAX_GATE_KQ entries) or diagonal (2^MAX_DIAG_KQ),
// left unset so that a small gate does not clear 16 KiB first: a converter writes every entry
// it hands on.
class GateRoom {
 public:
  static constexpr size_t SIZE = size_t{1} << (2 * MAX_GATE_KQ);
  static_assert(SIZE == size_t{1} << MAX_DIAG_KQ);
  Amp* data() { return reinterpret_cast<Amp*>(bytes_); }

 private:
  alignas(Amp) unsigned char bytes_[SIZE * sizeof(Amp)];
};

// The gate of apply_gate_kq for k targets, in `room`: after k is checked (1..MAX_GATE_KQ), a
// 2^k x 2^k complex128 array read as extract_2x2 reads one, or a sequence of exactly 4^k
// numbers taken in order. Refusals raise GateShapeError.
std::span<const Amp> extract_gate_kq(PyObject* o, size_t k, GateRoom& room);

// The diagonal of apply_diag_kq for k targets, in `room`: after k is checked
// (1..MAX_DIAG_KQ), a complex128 array of one dimension and 2^k entries, or a sequence of 2^k
// numbers. Refusals raise GateShapeError.
std::span<const Amp> extract_diag_kq(PyObject* o, size_t k, GateRoom& room);

// Operator stacks: a complex128 array of shape (n, D, D), or any iterable (a generator too)
// whose items extract_2x2 (extract_4x4) accepts; n may be 0. A flat list of numbers is refused
// by its first item. The operators one after another, each column-major.
std::vector<Amp> extract_matrix_list_2x2(PyObject* o);
std::vector<Amp> extract_matrix_list_4x4(PyObject* o);

// An Rng object, as it is; anything else raises the prefixed TypeError. The caller then takes
// it for exclusive use for the rest of the call (ExclusiveRng).
PyObject* rng_arg(PyObject* o, const char* name);

// ---- results

inline PyObject* new_complex(Amp a) { return PyComplex_FromDoubles(a.real(), a.imag()); }
inline PyObject* new_float(double v) { return PyFloat_FromDouble(v); }
inline PyObject* new_bool(bool v) { return PyBool_FromLong(v ? 1 : 0); }
inline PyObject* none() { Py_RETURN_NONE; }

// A fresh 1-D complex128 array owning a copy of `amps`.
PyObject* new_amp_array(std::span<const Amp> amps);

// A fresh 1-D uint8 array owning a copy of `bytes`.
PyObject* new_u8_array(std::span<const uint8_t> bytes);

// `rows` x `cols` bytes, row-major, as a 2-D uint8 array that takes the vector over instead
// of copying it; a length that does not match raises NumPy's own ValueError.
PyObject* adopt_u8_rows(std::vector<uint8_t>&& bytes, size_t rows, size_t cols);

}  // namespace detail

using detail::AmpSeq;
using detail::ByteSeq;
using detail::extract_2x2;
using detail::extract_4x4;
using detail::extract_diag_kq;
using detail::extract_gate_kq;
using detail::extract_matrix_list_2x2;
using detail::extract_matrix_list_4x4;
using detail::GateRoom;
using detail::new_bool;
using detail::new_complex;
using detail::new_float;
using detail::QubitList;
using detail::to_bool;
using detail::to_f64;
using detail::to_index;
using detail::to_qubits;
using detail::to_u32;
using detail::to_u64;
using detail::to_weights;
using detail::WeightList;

}  // namespace tavro::python
