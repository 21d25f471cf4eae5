#pragma once
// What every C function shares: the per-thread last error, the mapping from a core result to a
// status code, and the trap that keeps an exception from crossing into the C caller.

#include <cstdint>
#include <exception>
#include <string_view>
#include <utility>

#include "error.hpp"

namespace tavro::ffi {

// The C status of a core error: -2 minus its variant index (-2 to -10).
int32_t error_code(const Error& e);

// Stores the error's code and display text in the calling thread's slot (the text
// "<error message contained NUL>" when the display holds a zero byte) and returns the code.
int32_t set_last_error(const Error& e);
// Empties the calling thread's slot.
void clear_last_error();
// The stored code, or 0 when the slot is empty.
int32_t last_error_code();
// The stored NUL-terminated message, or nullptr when the slot is empty.
const char* last_error_message();

// Writes "{name} panicked across C ABI: {message}\n" to standard error without allocating.
void report_panic(const char* name, std::string_view message) noexcept;

// The status of a core operation with no value: 0 after clearing the last error, or the
// stored error's code.
inline int32_t report(const Status& s) {
  if (!s) return set_last_error(s.error());
  clear_last_error();
  return 0;
}

// The status of a core operation with a value: on success `write` receives the value (the
// out-parameters are written), then the last error is cleared and 0 returned; on an error
// nothing is written and the stored error's code returned.
template <class T, class Write>
int32_t report(const Result<T>& r, Write&& write) {
  if (!r) return set_last_error(r.error());
  std::forward<Write>(write)(*r);
  clear_last_error();
  return 0;
}

// Runs `body` and returns its result; an exception escaping it is reported on standard error
// under the function's exported `name` and turned into `failure`, the last error left as it
// was. A Fault carries its fixed message, a std::exception (std::bad_alloc from a record or
// a temporary at the boundary) its what(), anything else none.
template <class R, class Body>
R trap(const char* name, R failure, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const Fault& f) {
    report_panic(name, f.message());
  } catch (const std::exception& e) {
    report_panic(name, e.what());
  } catch (...) {
    report_panic(name, "<non-string panic payload>");
  }
  return failure;
}

// The shape of every reporting function once its arguments are in hand: `accepted` false is a
// boundary rejection (-1, nothing stored, `op` not run); otherwise `op` runs inside the trap
// and its result becomes the status, its value going to `write` (if given) on success.
template <class Op, class... Write>
int32_t checked_call(const char* name, bool accepted, Op&& op, Write&&... write) {
  if (!accepted) return -1;
  return trap(name, int32_t{-1}, [&]() -> int32_t { return report(op(), write...); });
}

}  // namespace tavro::ffi
