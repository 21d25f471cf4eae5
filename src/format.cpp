#include "format.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

namespace tavro {

namespace {

// NaN never shows a sign; infinities keep theirs. Returns false for finite values.
bool format_non_finite(double v, std::string& out) {
  if (std::isnan(v)) {
    out = "NaN";
    return true;
  }
  if (std::isinf(v)) {
    out = v < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

// Splits "d.ddde-XX" (as to_chars writes it for a non-negative value) into its significant
// digits and the decimal exponent of the first one.
void split_scientific(std::string_view sci, std::string& digits, int& exponent) {
  const size_t e = sci.find('e');
  digits.clear();
  for (char c : sci.substr(0, e))
    if (c != '.') digits.push_back(c);
  std::string_view exp_text = sci.substr(e + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  exponent = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
}

}  // namespace

std::string format_shortest_positional(double v) {
  std::string out;
  if (format_non_finite(v, out)) return out;
  if (std::signbit(v)) out.push_back('-');
  // The shortest round-trip digits always come out of the scientific form; they are then laid
  // out positionally. 4.470348358154297e-08 -> digits "4470348358154297", exponent -8.
  char buf[64];
  const auto res =
      std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
  std::string digits;
  int exponent = 0;
  split_scientific(std::string_view(buf, static_cast<size_t>(res.ptr - buf)), digits, exponent);
  const int count = static_cast<int>(digits.size());
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-exponent - 1), '0');
    out += digits;
  } else if (exponent + 1 >= count) {
    out += digits;
    out.append(static_cast<size_t>(exponent + 1 - count), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(exponent + 1));
    out.push_back('.');
    out.append(digits, static_cast<size_t>(exponent + 1));
  }
  return out;
}

std::string format_scientific(double v, int digits) {
  std::string out;
  if (format_non_finite(v, out)) return out;
  if (std::signbit(v)) out.push_back('-');
  // to_chars with a precision is exact and breaks ties to even on the binary value, as printf
  // does: 1234.5 at three digits gives 1.234e+03. Only the exponent is rewritten.
  const int precision = digits < 0 ? 0 : digits;
  // "d." + the fraction digits + "e-324" at most.
  std::string buf(static_cast<size_t>(precision) + 16, '\0');
  const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), std::fabs(v),
                                 std::chars_format::scientific, precision);
  const std::string_view sci(buf.data(), static_cast<size_t>(res.ptr - buf.data()));
  const size_t e = sci.find('e');
  out.append(sci.substr(0, e));
  out.push_back('e');
  std::string_view exp_text = sci.substr(e + 1);
  if (exp_text.front() == '+') {
    exp_text.remove_prefix(1);
  } else if (exp_text.front() == '-') {
    out.push_back('-');
    exp_text.remove_prefix(1);
  }
  while (exp_text.size() > 1 && exp_text.front() == '0') exp_text.remove_prefix(1);
  out.append(exp_text);
  return out;
}

std::string format_quoted(std::string_view s) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('"');
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          // Shortest lower-case hex, no padding: 0x1b -> \u{1b}, 0x07 -> \u{7}.
          out += "\\u{";
          if (c >= 0x10) out.push_back(HEX[c >> 4]);
          out.push_back(HEX[c & 0xf]);
          out.push_back('}');
        } else {
          out.push_back(ch);  // printable ASCII and every byte of a multibyte sequence
        }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace tavro
