#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <string>
#include <utility>
#include <variant>

namespace tavro {

// The one error type of every core operation. The order of the alternatives is the
// variant index that both faces expose (Python class table, C status -2 - index).
struct InvalidNumQubits {
  std::string text;
};
struct QubitIndexOutOfBounds {
  size_t qubit;
  size_t num_qubits;
};
struct DuplicateQubits {
  size_t qubit;
};
struct InvalidGateMatrix {
  std::string text;
};
struct InvalidBasisIndex {
  std::string text;
};
struct InvalidStateLength {
  size_t expected;
  size_t actual;
};
// A refused reservation: `amplitudes` of a state or scratch buffer, or, when `shots` is not 0,
// a sampling buffer of `bytes_per_shot` bytes for each of `shots` shots (amplitudes then 0).
struct AllocationFailed {
  size_t amplitudes;
  size_t shots = 0;
  size_t bytes_per_shot = 0;
};
struct DegenerateState {
  std::string text;
};
struct NonUnitary {
  std::string text;
};

class Error {
 public:
  using Variant = std::variant<InvalidNumQubits, QubitIndexOutOfBounds, DuplicateQubits,
                               InvalidGateMatrix, InvalidBasisIndex, InvalidStateLength,
                               AllocationFailed, DegenerateState, NonUnitary>;

  template <class V>
  Error(V v) : v_(std::move(v)) {}  // NOLINT: every alternative converts implicitly

  size_t index() const { return v_.index(); }
  const Variant& variant() const { return v_; }
  template <class V>
  const V* get_if() const {
    return std::get_if<V>(&v_);
  }

  // The message both faces pass on unchanged.
  std::string display() const;
  // Variant name and payload, as shown inside fault messages.
  std::string debug() const;

 private:
  Variant v_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = Result<void>;

// A broken internal invariant. Carries its fixed message; nothing else is thrown by the core.
class Fault : public std::exception {
 public:
  explicit Fault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

// Returns the error of `expr` from the enclosing function when there is one.
#define TAVRO_TRY(expr)                                        \
  do {                                                         \
    if (auto tavro_try_r_ = (expr); !tavro_try_r_)             \
      return std::unexpected(std::move(tavro_try_r_).error()); \
  } while (0)

}  // namespace tavro
