#include "core/setting_attributes.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace parvane {

const SettingAttribute *setting_attribute(std::string_view key) {
  for (const SettingAttribute &attribute : SETTING_ATTRIBUTES)
    if (attribute.key == key)
      return &attribute;
  return nullptr;
}

SiUnit si_unit(const Setting &row, Quantity quantity) {
  if (quantity != Quantity::Number)
    return {"", 1};
  const std::string_view unit = row.unit;
  if (unit == "nm") return {"m", 1e-9};
  if (unit == "nA") return {"A", 1e-9};
  if (unit == "nm/s") return {"m/s", 1e-9};
  if (unit == "nN/V") return {"N/V", 1e-9};
  if (unit == "us") return {"s", 1e-6};
  if (unit == "%") return {"1", 1e-2};
  if (unit == "Degree") return {"degree", 1};
  if (unit.empty()) return {"1", 1};
  return {unit, 1}; // V, Hz
}

AttributeValue attribute_value(const std::string &text, Quantity quantity,
                               const SiUnit &unit) {
  if (quantity == Quantity::Text)
    return text;
  const char *first = text.data(), *last = text.data() + text.size();
  if (quantity == Quantity::Count) {
    std::int64_t count = 0;
    if (std::from_chars(first, last, count).ptr == last)
      return count;
    return text;
  }
  double number = 0;
  if (text == "+INF" || text == "-INF")
    number = text[0] == '-' ? -std::numeric_limits<double>::infinity()
                            : std::numeric_limits<double>::infinity();
  else if (text == "+NAN" || text == "-NAN")
    number = std::copysign(std::numeric_limits<double>::quiet_NaN(),
                           text[0] == '-' ? -1.0 : 1.0);
  else if (std::from_chars(first, last, number).ptr != last)
    return text;
  return number * unit.factor;
}

} // namespace parvane
