#include "core/scala_settings.h"

#include <array>
#include <charconv>

#include "core/number_format.h"
#include "core/parameter_arithmetic.h"

namespace parvane {

std::string_view origin_mark(Origin origin) {
  switch (origin) {
  case Origin::Record: return "(read from the record)";
  case Origin::Computed: return "(computed from the record)";
  case Origin::Fixed: return "(fixed by the converter)";
  case Origin::User: return "(set by the user)";
  }
  return {};
}

namespace {

std::string masked_text(const std::string &field_bytes, TextMask mask) {
  std::string text = text_value(field_bytes);
  for (char &byte : text)
    byte = mask(byte);
  return text;
}

// `value` in the classic locale's fixed notation with `decimals` digits
// after the point, or with `digits` significant digits.
std::string fixed_text(double value, int decimals) {
  std::array<char, 64> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                    value, std::chars_format::fixed, decimals);
  return std::string(buffer.data(), result.ptr);
}
std::string general_text(double value, int digits) {
  std::array<char, 64> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                    value, std::chars_format::general, digits);
  return std::string(buffer.data(), result.ptr);
}

} // namespace

std::string setting_value(const Setting &row, const SetFacts &set, TextMask mask) {
  const SourceParameters &p = set.record;
  switch (row.value.kind) {
  case Value::Literal: return std::string(row.value.literal);
  case Value::Date: return masked_text(p.date_text, mask);
  case Value::User: return masked_text(p.user_text, mask);
  case Value::Comment: return masked_text(p.comment_text, mask);
  case Value::FileNumber: return std::string(set.file_number);
  case Value::DualMode: return set.dual_mode ? "On" : "Off";
  case Value::FieldXSizeTenth: return format_float(tenth(p.field_x_size));
  case Value::FieldYSizeTenth: return format_float(tenth(p.field_y_size));
  case Value::ImageSizeX: return format_int(set.image_size_x);
  case Value::ImageSizeY: return format_int(set.image_size_y);
  case Value::IncrementXTenth: return format_float(tenth(p.increment_x));
  case Value::IncrementYTenth: return format_float(tenth(p.increment_y));
  case Value::ScanAngle: return format_float(p.scan_angle);
  case Value::ForwardMinimum: return format_float(forward_minimum(p.z_resolution));
  case Value::ForwardMaximum: return format_float(forward_maximum(p.z_resolution));
  case Value::Resolution: return format_float(topography_resolution(p.z_resolution));
  case Value::BackwardMinimum: return format_float(backward_minimum(p.z_resolution));
  case Value::BackwardMaximum: return format_float(backward_maximum(p.z_resolution));
  case Value::SpecPointsForward: return format_int(p.spec_points_forward);
  case Value::SpecStartForward: return format_float(p.spec_start_forward);
  case Value::SpecEndForward: return format_float(p.spec_end_forward);
  case Value::SpecIncrementForward: return format_float(p.spec_increment_forward);
  case Value::SpecPointsBackward: return format_int(p.spec_points_backward);
  case Value::SpecStartBackward: return format_float(p.spec_start_backward);
  case Value::SpecEndBackward: return format_float(p.spec_end_backward);
  case Value::SpecIncrementBackward: return format_float(p.spec_increment_backward);
  case Value::PointTime:
    // These bytes are also the forward start value; files converted before
    // printed half of them read as an integer, and files converted now match.
    return format_float(spectroscopy_point_time(p.point_time_raw));
  case Value::GapVoltageForward: return format_float(p.gap_voltage_forward);
  case Value::GapVoltageBackward: return format_float(p.gap_voltage_backward);
  case Value::FeedbackSetForward: return format_float(p.feedback_set_forward);
  case Value::FeedbackSetBackward: return format_float(p.feedback_set_backward);
  case Value::MeasuredGapVoltage: return format_float(p.measured_gap_voltage);
  case Value::MeasuredCurrentSetpoint: return format_float(p.measured_current_setpoint);
  case Value::ScanSpeed:
    return format_float(scan_speed(p.line_timing, set.image_size_x, p.field_x_size));
  case Value::ZSpeedTenth: return format_float(z_speed_tenth(p.z_speed));
  // In nA, as the parameter file states them: "50.000" and "0.0015259" for
  // the converter's 50 nA.
  case Value::CurrentMaximum: return fixed_text(set.current.full_scale / NANO, 3);
  case Value::CurrentResolution:
    return general_text(current_scale(set.current.full_scale) / NANO, 5);
  }
  return {};
}

} // namespace parvane
