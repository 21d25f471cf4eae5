#include "ffi/trap.hpp"

#include <cstdio>
#include <string>

namespace tavro::ffi {
namespace {

struct LastError {
  bool present = false;
  int32_t code = 0;
  std::string message;
};

// One slot per thread, released with the thread.
thread_local LastError LAST_ERROR;

}  // namespace

int32_t error_code(const Error& e) { return -2 - static_cast<int32_t>(e.index()); }

int32_t set_last_error(const Error& e) {
  const int32_t code = error_code(e);
  std::string message = e.display();
  // A C caller reads the message up to its first zero byte; a cut text would mislead.
  if (message.find('\0') != std::string::npos) message = "<error message contained NUL>";
  LAST_ERROR.present = true;
  LAST_ERROR.code = code;
  LAST_ERROR.message = std::move(message);  // frees the previous text
  return code;
}

void clear_last_error() { LAST_ERROR = LastError{}; }

int32_t last_error_code() { return LAST_ERROR.present ? LAST_ERROR.code : 0; }

const char* last_error_message() {
  return LAST_ERROR.present ? LAST_ERROR.message.c_str() : nullptr;
}

void report_panic(const char* name, std::string_view message) noexcept {
  static constexpr std::string_view MIDDLE = " panicked across C ABI: ";
  // One locked sequence of writes: the line stays whole when threads fault together, and
  // nothing is allocated (the fault may be memory exhaustion).
  flockfile(stderr);
  fputs_unlocked(name, stderr);
  fwrite_unlocked(MIDDLE.data(), 1, MIDDLE.size(), stderr);
  fwrite_unlocked(message.data(), 1, message.size(), stderr);
  fputc_unlocked('\n', stderr);
  funlockfile(stderr);
  fflush(stderr);
}

}  // namespace tavro::ffi
