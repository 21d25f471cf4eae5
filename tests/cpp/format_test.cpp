#include "format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace tavro {
namespace {

// (value, shortest positional, scientific with three fraction digits). Exact binary ties
// (1234.5, 1235.5) go to the even digit; 9.9995 is stored just below its tie; 1e23 is stored
// as 9.999...e22.
TEST(Format, Examples) {
  const std::tuple<double, std::string, std::string> rows[] = {
      {0.0, "0", "0.000e0"},
      {-0.0, "-0", "-0.000e0"},
      {0.5, "0.5", "5.000e-1"},
      {1.0 / 3.0, "0.3333333333333333", "3.333e-1"},
      {16384.0, "16384", "1.638e4"},
      {9007199254740994.0, "9007199254740994", "9.007e15"},
      {1e23, std::string("1").append(23, '0'), "1.000e23"},
      {1e-7, "0.0000001", "1.000e-7"},
      {48.0 / 1073741824.0, "0.00000004470348358154297", "4.470e-8"},
      {2.5e-310, std::string("0.").append(309, '0') + "25", "2.500e-310"},
      {5e-324, std::string("0.").append(323, '0') + "5", "4.941e-324"},
      {1234.5, "1234.5", "1.234e3"},
      {1235.5, "1235.5", "1.236e3"},
      {9.9995, "9.9995", "9.999e0"},
      {9.9996, "9.9996", "1.000e1"},
      {DBL_MAX, std::string("17976931348623157").append(292, '0'), "1.798e308"},
      {-std::nan(""), "NaN", "NaN"},
      {HUGE_VAL, "inf", "inf"},
      {-HUGE_VAL, "-inf", "-inf"},
  };
  for (const auto& [value, positional, scientific] : rows) {
    EXPECT_EQ(format_shortest_positional(value), positional);
    EXPECT_EQ(format_scientific(value, 3), scientific) << positional;
  }
}

// printf is an independent exact formatter: it fixes the fewest significant digits that read
// back, and the scientific text up to the exponent's spelling ("e+05" against "e5").
TEST(FormatProperty, AgreesWithPrintf) {
  std::mt19937_64 gen(0x5eed);
  char buf[128];
  for (int i = 0; i < 30000; ++i) {
    const uint64_t pick = gen() % 3;
    const double v = pick == 0   ? std::bit_cast<double>(gen())
                     : pick == 1 ? static_cast<double>(static_cast<int64_t>(gen()) >> (gen() % 64))
                                 : static_cast<double>(gen() % 100000) / std::pow(10.0, gen() % 25);
    if (!std::isfinite(v)) continue;
    const std::string text = format_shortest_positional(v);
    SCOPED_TRACE(text);
    ASSERT_EQ(text.find_first_not_of("-0123456789."), std::string::npos);
    ASSERT_EQ(std::bit_cast<uint64_t>(std::strtod(text.c_str(), nullptr)),
              std::bit_cast<uint64_t>(v));
    ASSERT_EQ(text.find('.') != std::string::npos, v != std::trunc(v));
    size_t fewest = 0;
    do std::snprintf(buf, sizeof buf, "%.*e", static_cast<int>(fewest++), v);
    while (std::strtod(buf, nullptr) != v);
    std::string sig = text;
    std::erase_if(sig, [](char ch) { return ch == '-' || ch == '.'; });
    // For zero both finds give npos and the count wraps to 1, the digits of "0".
    ASSERT_EQ(sig.find_last_not_of('0') + 1 - sig.find_first_not_of('0'), fewest);
    const int digits = i % 21;
    std::snprintf(buf, sizeof buf, "%.*e", digits, v);
    char* e = std::strchr(buf, 'e');
    ASSERT_EQ(format_scientific(v, digits),
              std::string(buf, e) + "e" + std::to_string(std::strtol(e + 1, nullptr, 10)));
  }
}

TEST(FormatQuoted, Escapes) {
  using namespace std::string_literals;
  const std::pair<std::string, std::string> cases[] = {
      {"", "\"\""},
      {"it's ~", "\"it's ~\""},
      {"\"\\\n\r\t\0"s, "\"\\\"\\\\\\n\\r\\t\\0\""},
      {"\x01\x1b[\x1f\x7f", "\"\\u{1}\\u{1b}[\\u{1f}\\u{7f}\""},
      {"\xc3\xa9\xe2\x82\xac", "\"\xc3\xa9\xe2\x82\xac\""}};
  for (const auto& [input, text] : cases) EXPECT_EQ(format_quoted(input), text);
}

}  // namespace
}  // namespace tavro
