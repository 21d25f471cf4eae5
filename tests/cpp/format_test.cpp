#include "format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tavro {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double QNAN = std::numeric_limits<double>::quiet_NaN();

struct PositionalCase {
  std::string name;
  double value;
  std::string text;
};

std::vector<PositionalCase> positional_cases() {
  return {
      {"Zero", 0.0, "0"},
      {"NegativeZero", -0.0, "-0"},
      {"One", 1.0, "1"},
      {"Half", 0.5, "0.5"},
      {"NegativeOneAndHalf", -1.5, "-1.5"},
      {"Tenth", 0.1, "0.1"},
      {"Third", 1.0 / 3.0, "0.3333333333333333"},
      {"FourPointThreeFive", 4.35, "4.35"},
      {"MixedDigits", 14.901161298155785, "14.901161298155785"},
      {"Integral", 123456789.0, "123456789"},
      {"IntegralWithZeros", 16384.0, "16384"},
      {"TwoPow33", 8589934592.0, "8589934592"},
      {"TwoPow53PlusTwo", 9007199254740994.0, "9007199254740994"},
      {"TenPow21", 1e21, "1000000000000000000000"},
      {"TenPow23", 1e23, "1" + std::string(23, '0')},
      {"TenPowMinus7", 1e-7, "0.0000001"},
      {"GibOfKilo", 0.0000152587890625, "0.0000152587890625"},
      {"GibOfThree", 48.0 / 1073741824.0, "0.00000004470348358154297"},
      {"SmallestSubnormal", 5e-324, "0." + std::string(323, '0') + "5"},
      {"NegativeSmallestNormal", -DBL_MIN, "-0." + std::string(307, '0') + "22250738585072014"},
      {"Largest", DBL_MAX, "17976931348623157" + std::string(292, '0')},
      {"NaN", QNAN, "NaN"},
      {"NegativeNaN", -QNAN, "NaN"},
      {"Inf", INF, "inf"},
      {"NegativeInf", -INF, "-inf"},
  };
}

class PositionalTest : public testing::TestWithParam<PositionalCase> {};

TEST_P(PositionalTest, Text) {
  EXPECT_EQ(format_shortest_positional(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Values, PositionalTest, testing::ValuesIn(positional_cases()),
                         [](const testing::TestParamInfo<PositionalCase>& info) {
                           return info.param.name;
                         });

// Significant digits of a positional text: sign, point and leading/trailing zeros removed.
std::string significant_digits(std::string_view text) {
  std::string d;
  for (char c : text)
    if (c >= '0' && c <= '9') d.push_back(c);
  const size_t first = d.find_first_not_of('0');
  if (first == std::string::npos) return "0";
  d.erase(0, first);
  d.erase(d.find_last_not_of('0') + 1);
  return d;
}

// The fewest significant digits printf needs for `v` to read back to the same bits.
int fewest_digits_printf(double v) {
  char buf[64];
  for (int p = 1; p <= 17; ++p) {
    std::snprintf(buf, sizeof buf, "%.*e", p - 1, v);
    if (std::bit_cast<uint64_t>(std::strtod(buf, nullptr)) == std::bit_cast<uint64_t>(v)) return p;
  }
  return 17;
}

// Finite doubles from every corner: raw bit patterns (all exponents, subnormals), integers,
// and short decimals.
std::vector<double> sample_doubles(size_t count) {
  std::mt19937_64 gen(0x5eed);
  std::vector<double> out;
  while (out.size() < count) {
    const uint64_t bits = gen();
    double v = 0;
    switch (bits % 3) {
      case 0:
        v = std::bit_cast<double>(gen());
        break;
      case 1:
        v = static_cast<double>(static_cast<int64_t>(gen()) >> (gen() % 64));
        break;
      default:
        v = static_cast<double>(gen() % 100000) / std::pow(10.0, gen() % 25);
        break;
    }
    if (std::isfinite(v)) out.push_back(v);
  }
  return out;
}

TEST(PositionalProperty, RoundTripsShortestWithoutExponent) {
  for (const double v : sample_doubles(30000)) {
    const std::string text = format_shortest_positional(v);
    SCOPED_TRACE(text);
    ASSERT_EQ(text.find_first_not_of("-0123456789."), std::string::npos);
    ASSERT_EQ(std::bit_cast<uint64_t>(std::strtod(text.c_str(), nullptr)),
              std::bit_cast<uint64_t>(v));
    ASSERT_EQ(text.front() == '-', std::signbit(v));
    // An integral value never gets a point; a fractional one never ends in a zero.
    const bool has_point = text.find('.') != std::string::npos;
    ASSERT_EQ(has_point, v != std::trunc(v));
    if (has_point) {
      ASSERT_NE(text.back(), '0');
    }
    // The leading zero only for |v| < 1.
    ASSERT_EQ(text[text.front() == '-' ? 1 : 0] == '0', std::fabs(v) < 1.0);
    if (v != 0) {
      ASSERT_EQ(static_cast<int>(significant_digits(text).size()), fewest_digits_printf(v));
    }
  }
}

struct ScientificCase {
  std::string name;
  double value;
  int digits;
  std::string text;
};

std::vector<ScientificCase> scientific_cases() {
  return {
      {"Zero", 0.0, 3, "0.000e0"},
      {"NegativeZero", -0.0, 3, "-0.000e0"},
      {"Subnormal", 2.5e-310, 3, "2.500e-310"},
      {"SmallestSubnormal", 5e-324, 3, "4.941e-324"},
      {"SmallestNormal", DBL_MIN, 3, "2.225e-308"},
      {"BelowThreshold", 1e-300 * 0.999, 3, "9.990e-301"},
      {"Threshold", 1e-300, 3, "1.000e-300"},
      {"One", 1.0, 3, "1.000e0"},
      {"Tenth", 0.1, 3, "1.000e-1"},
      {"NegativeSmall", -0.00012345, 3, "-1.234e-4"},
      // Exact binary ties go to the even digit.
      {"TieDown", 1234.5, 3, "1.234e3"},
      {"TieUp", 1235.5, 3, "1.236e3"},
      {"TieZeroDigitsDown", 2.5, 0, "2e0"},
      {"TieZeroDigitsUp", 3.5, 0, "4e0"},
      {"TieOneDigitDown", 0.125, 1, "1.2e-1"},
      {"TieOneDigitUp", 0.375, 1, "3.8e-1"},
      // 9.9995 is stored just below the tie; 9.9996 carries into the exponent.
      {"BelowTie", 9.9995, 3, "9.999e0"},
      {"Carry", 9.9996, 3, "1.000e1"},
      {"RoundHalfUpNotTie", 123456.0, 3, "1.235e5"},
      {"Large", 1e300, 3, "1.000e300"},
      {"Largest", DBL_MAX, 3, "1.798e308"},
      {"ExactTail", 0.1, 20, "1.00000000000000005551e-1"},
      {"NaN", QNAN, 3, "NaN"},
      {"NegativeNaN", -QNAN, 3, "NaN"},
      {"Inf", INF, 3, "inf"},
      {"NegativeInf", -INF, 3, "-inf"},
  };
}

class ScientificTest : public testing::TestWithParam<ScientificCase> {};

TEST_P(ScientificTest, Text) {
  EXPECT_EQ(format_scientific(GetParam().value, GetParam().digits), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Values, ScientificTest, testing::ValuesIn(scientific_cases()),
                         [](const testing::TestParamInfo<ScientificCase>& info) {
                           return info.param.name;
                         });

// printf is an independent exact formatter: same mantissa, same exponent value, only the
// exponent's spelling differs ("e+05" against "e5").
TEST(ScientificProperty, AgreesWithPrintf) {
  const std::vector<double> values = sample_doubles(20000);
  for (size_t i = 0; i < values.size(); ++i) {
    const double v = values[i];
    const int digits = static_cast<int>(i % 21);
    char buf[128];
    std::snprintf(buf, sizeof buf, "%.*e", digits, v);
    const std::string_view ref(buf);
    const size_t e = ref.find('e');
    const std::string expected =
        std::string(ref.substr(0, e)) + "e" + std::to_string(std::strtol(buf + e + 1, nullptr, 10));
    ASSERT_EQ(format_scientific(v, digits), expected) << buf;
  }
}

struct QuotedCase {
  std::string name;
  std::string input;
  std::string text;
};

std::vector<QuotedCase> quoted_cases() {
  using namespace std::string_literals;
  return {
      {"Empty", "", "\"\""},
      {"Plain", "greedy", "\"greedy\""},
      {"CaseKept", "SA", "\"SA\""},
      {"SingleQuoteKept", "it's", "\"it's\""},
      {"DoubleQuote", "a\"b", "\"a\\\"b\""},
      {"Backslash", "a\\b", "\"a\\\\b\""},
      {"Newline", "a\nb", "\"a\\nb\""},
      {"CarriageReturn", "\r", "\"\\r\""},
      {"Tab", "\t", "\"\\t\""},
      {"Nul", "a\0b"s, "\"a\\0b\""},
      {"OneDigitHex", "\x01", "\"\\u{1}\""},
      {"Bell", "\a", "\"\\u{7}\""},
      {"Escape", "\x1b[0m", "\"\\u{1b}[0m\""},
      {"UnitSeparator", "\x1f", "\"\\u{1f}\""},
      {"Delete", "\x7f", "\"\\u{7f}\""},
      {"PrintableEdges", " ~", "\" ~\""},
      {"Utf8Kept", "\xc3\xa9\xe2\x82\xac", "\"\xc3\xa9\xe2\x82\xac\""},
      {"Mixed", "\"\\\n\0\x02"s, "\"\\\"\\\\\\n\\0\\u{2}\""},
  };
}

class QuotedTest : public testing::TestWithParam<QuotedCase> {};

TEST_P(QuotedTest, Text) { EXPECT_EQ(format_quoted(GetParam().input), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Strings, QuotedTest, testing::ValuesIn(quoted_cases()),
                         [](const testing::TestParamInfo<QuotedCase>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace tavro
