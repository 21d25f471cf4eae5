// The C functions that take expectation values. Each refuses a NULL pointer or a wrong
// operator length first (-1, nothing stored), then reads the state through one core operation
// inside the trap; the value reaches *out only on success.
#include <cstdint>
#include <string>
#include <vector>

#include "ffi/handles.hpp"
#include "ffi/trap.hpp"
#include "observables/pauli.hpp"
#include "tavro.h"

using tavro::Amp;
using tavro::Error;
using tavro::InvalidGateMatrix;
using tavro::Pauli;
using tavro::PauliTerm;
using tavro::Result;
using tavro::ffi::checked_call;
using tavro::ffi::copy_matrix;
using tavro::ffi::present;
using tavro::ffi::write_amp;

namespace {

// "...; got non-ASCII byte 0xc3 at position 1": two lower-case hex digits, decimal position.
Error non_ascii(uint8_t b, size_t i) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string text = "Pauli string must be ASCII (I/X/Y/Z); got non-ASCII byte 0x";
  text += HEX[b >> 4];
  text += HEX[b & 0xF];
  text += " at position " + std::to_string(i);
  return InvalidGateMatrix{std::move(text)};
}

// The n bytes at `paulis` (no terminator looked for) paired with the n qubits, in order. The
// first bad byte ends the parse: a byte of 0x80 and above is refused here, any other byte
// goes to the letter parser, which folds a to z to upper case. A zero byte is refused there
// with a message that holds it.
Result<std::vector<PauliTerm>> parse_pauli(const char* paulis, const size_t* qubits, size_t n) {
  std::vector<PauliTerm> terms;
  terms.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const auto b = static_cast<uint8_t>(paulis[i]);
    if (b >= 0x80) return std::unexpected(non_ascii(b, i));
    const Result<Pauli> letter = Pauli::from_char(char32_t{b});
    if (!letter) return std::unexpected(letter.error());
    terms.push_back(PauliTerm{qubits[i], *letter});
  }
  return terms;
}

}  // namespace

extern "C" int32_t tavro_sv_expectation_1q(const TavroSVHandle* sv, const TavroComplex* op,
                                           size_t op_len, size_t target, TavroComplex* out) {
  return checked_call(
      "tavro_sv_expectation_1q", op_len == 4 && sv != nullptr && op != nullptr && out != nullptr,
      [&] { return sv->sv.expectation_1q(copy_matrix<4>(op), target); },
      [&](const Amp& v) { write_amp(out, v); });
}

extern "C" int32_t tavro_sv_expectation_2q(const TavroSVHandle* sv, const TavroComplex* op,
                                           size_t op_len, size_t q1, size_t q2, TavroComplex* out) {
  return checked_call(
      "tavro_sv_expectation_2q", op_len == 16 && sv != nullptr && op != nullptr && out != nullptr,
      [&] { return sv->sv.expectation_2q(copy_matrix<16>(op), q1, q2); },
      [&](const Amp& v) { write_amp(out, v); });
}

extern "C" int32_t tavro_sv_expectation_pauli(const TavroSVHandle* sv, const char* paulis,
                                              const size_t* qubits, size_t n, TavroComplex* out) {
  return checked_call(
      "tavro_sv_expectation_pauli",
      sv != nullptr && out != nullptr && present(paulis, n) && present(qubits, n),
      [&]() -> Result<Amp> {
        const Result<std::vector<PauliTerm>> terms = parse_pauli(paulis, qubits, n);
        if (!terms) return std::unexpected(terms.error());
        return sv->sv.expectation_pauli(*terms);
      },
      [&](const Amp& v) { write_amp(out, v); });
}
