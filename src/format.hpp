#pragma once

#include <string>
#include <string_view>

namespace tavro {

// Shortest decimal that reads back as the same double, positional (never an exponent);
// integral values have no decimal point: 16384, 0.0000152587890625.
std::string format_shortest_positional(double v);

// Scientific notation with `digits` fraction digits and a bare exponent: 2.500e-310, 0.000e0.
std::string format_scientific(double v, int digits);

// A string in double quotes with quotes, backslashes and control characters escaped.
std::string format_quoted(std::string_view s);

}  // namespace tavro
