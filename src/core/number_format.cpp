#include "core/number_format.h"

#include <array>
#include <charconv>
#include <cmath>

namespace parvane {

std::string format_int(std::int64_t value) { return std::to_string(value); }

std::string format_float(float value) {
  if (std::isinf(value))
    return value > 0 ? "+INF" : "-INF";
  if (std::isnan(value))
    return std::signbit(value) ? "-NAN" : "+NAN";
  // std::to_chars with a precision formats exactly like printf in the "C"
  // locale, whatever locale the process runs in. 32 bytes hold any "%.6g".
  std::array<char, 32> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                    static_cast<double>(value),
                                    std::chars_format::general, 6);
  return std::string(buffer.data(), result.ptr);
}

} // namespace parvane
