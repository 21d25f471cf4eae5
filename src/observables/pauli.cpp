// The Pauli letter parser of both faces.
#include "observables/pauli.hpp"

#include <string>

namespace tavro {
namespace {

// c as UTF-8. A surrogate or a value above U+10FFFF has no encoding; it is shown as U+FFFD, so
// that the message stays valid UTF-8 for a face that decodes it.
std::string utf8(char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);  // also the zero byte: the message then holds a NUL
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

}  // namespace

Result<Pauli> Pauli::from_char(char32_t c) {
  if (c >= U'a' && c <= U'z') c &= ~char32_t{0x20};  // 'x' = 0x78 -> 'X' = 0x58
  switch (c) {
    case U'I':
      return Pauli{I};
    case U'X':
      return Pauli{X};
    case U'Y':
      return Pauli{Y};
    case U'Z':
      return Pauli{Z};
    default:
      return std::unexpected(InvalidGateMatrix{"expected one of I/X/Y/Z, got '" + utf8(c) + "'"});
  }
}

}  // namespace tavro
