#pragma once

#include <cstddef>
#include <cstdint>

#include "error.hpp"

namespace tavro {

// One letter of a Pauli string: I = 0, X = 1, Y = 2, Z = 3.
struct Pauli {
  enum Code : uint8_t { I = 0, X = 1, Y = 2, Z = 3 };
  Code code;

  // The one letter parser of both faces: a to z are upper-cased first, then I, X, Y, Z map to
  // their codes. InvalidGateMatrix "expected one of I/X/Y/Z, got '{c}'" otherwise, c after
  // upper-casing (written as UTF-8).
  static Result<Pauli> from_char(char32_t c);

  bool operator==(const Pauli&) const = default;
};

// One factor of a Pauli string: a logical qubit and its letter.
struct PauliTerm {
  size_t qubit;
  Pauli pauli;
};

}  // namespace tavro
