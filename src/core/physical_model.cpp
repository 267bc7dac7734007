#include "core/physical_model.h"

#include <array>
#include <charconv>
#include <string>

#include "core/number_format.h"
#include "core/set_layout.h"

namespace parvane {

double printed(float value) {
  const std::string text = format_float(value);
  double parsed = 0;
  std::from_chars(text.data(), text.data() + text.size(), parsed);
  return parsed;
}

double topography_scale(float minimum, float maximum) {
  return (printed(maximum) - printed(minimum)) /
         (TOPOGRAPHY_RAW_MAXIMUM - TOPOGRAPHY_RAW_MINIMUM);
}

std::uint16_t flipped_bits() {
  const std::array<std::uint8_t, 2> zero = convert_sample(0);
  return sample_value(zero[0], zero[1]);
}

double bias_level(std::int32_t points, float start, float end, std::int64_t k) {
  const double first = start, last = end;
  return points == 1 ? first
                     : first + static_cast<double>(k) * (last - first) / (points - 1);
}

} // namespace parvane
