// How numbers appear in the SCALA parameter file.
#pragma once

#include <cstdint>
#include <string>

namespace parvane {

// Plain decimal: a "-" before a negative value, no sign otherwise, no padding
// and no grouping ("0", "256", "-1").
std::string format_int(std::int64_t value);

// The value widened to double and written as printf's "%.6g" writes it in the
// classic locale: six significant digits, trailing zeros dropped ("100",
// "0.1", "1.23457e+06", "1e-05", "-0"). Infinities are "+INF" and "-INF";
// a not-a-number is "+NAN" or "-NAN" after its sign bit.
std::string format_float(float value);

} // namespace parvane
