#include "error.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <variant>

#include "format.hpp"

namespace tavro {

namespace {

using std::to_string;

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// `count` items of `size` bytes in GiB. The byte count saturates at 2^64 - 1 (2^60 or more
// amplitudes of 16 bytes), is rounded to the nearest double, then divided by 2^30 exactly.
std::string gib_figure(uint64_t count, uint64_t size) {
  constexpr uint64_t MAX = std::numeric_limits<uint64_t>::max();
  const uint64_t bytes = size != 0 && count > MAX / size ? MAX : count * size;
  return format_shortest_positional(static_cast<double>(bytes) / 1073741824.0);
}

}  // namespace

std::string Error::display() const {
  return std::visit(
      Overloaded{
          [](const InvalidNumQubits& e) { return "invalid number of qubits: " + e.text; },
          [](const QubitIndexOutOfBounds& e) {
            return "qubit index " + to_string(e.qubit) + " out of bounds for state vector with " +
                   to_string(e.num_qubits) + " qubits";
          },
          [](const DuplicateQubits& e) {
            const std::string q = to_string(e.qubit);
            return "two-qubit gate operands must be distinct, got (" + q + ", " + q + ")";
          },
          [](const InvalidGateMatrix& e) { return "invalid gate matrix: " + e.text; },
          [](const InvalidBasisIndex& e) { return "invalid basis-state index: " + e.text; },
          [](const InvalidStateLength& e) {
            return "invalid state-vector buffer length: expected " + to_string(e.expected) +
                   ", got " + to_string(e.actual);
          },
          [](const AllocationFailed& e) {
            if (e.shots != 0) {
              return "allocation failed for a sample buffer of " + to_string(e.shots) + " shots, " +
                     to_string(e.bytes_per_shot) + " bytes each (" +
                     gib_figure(e.shots, e.bytes_per_shot) + " GiB)";
            }
            return "allocation failed for " + to_string(e.amplitudes) + " complex amplitudes (" +
                   gib_figure(e.amplitudes, 16) + " GiB)";
          },
          [](const DegenerateState& e) { return "degenerate state: " + e.text; },
          [](const NonUnitary& e) { return "non-unitary gate: " + e.text; },
      },
      v_);
}

std::string Error::debug() const {
  return std::visit(
      Overloaded{
          [](const InvalidNumQubits& e) {
            return "InvalidNumQubits(" + format_quoted(e.text) + ")";
          },
          [](const QubitIndexOutOfBounds& e) {
            return "QubitIndexOutOfBounds { qubit: " + to_string(e.qubit) +
                   ", num_qubits: " + to_string(e.num_qubits) + " }";
          },
          [](const DuplicateQubits& e) { return "DuplicateQubits(" + to_string(e.qubit) + ")"; },
          [](const InvalidGateMatrix& e) {
            return "InvalidGateMatrix(" + format_quoted(e.text) + ")";
          },
          [](const InvalidBasisIndex& e) {
            return "InvalidBasisIndex(" + format_quoted(e.text) + ")";
          },
          [](const InvalidStateLength& e) {
            return "InvalidStateLength { expected: " + to_string(e.expected) +
                   ", actual: " + to_string(e.actual) + " }";
          },
          [](const AllocationFailed& e) {
            const std::string shots = e.shots == 0
                                          ? ""
                                          : ", shots: " + to_string(e.shots) +
                                                ", bytes_per_shot: " + to_string(e.bytes_per_shot);
            return "AllocationFailed { amplitudes: " + to_string(e.amplitudes) + shots + " }";
          },
          [](const DegenerateState& e) { return "DegenerateState(" + format_quoted(e.text) + ")"; },
          [](const NonUnitary& e) { return "NonUnitary(" + format_quoted(e.text) + ")"; },
      },
      v_);
}

}  // namespace tavro
