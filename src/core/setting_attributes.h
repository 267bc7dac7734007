// The settings as named attributes, for outputs that give each setting a
// name and a value of its own (the Python module's Dataset): per key of the
// settings table (core/scala_settings.h) a snake_case identifier, what kind
// of quantity its value is, and whether it carries a measured meaning. The
// value in SI units, and the unit, follow from the row's own unit.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/scala_settings.h"

namespace parvane {

enum class Quantity {
  Text,   // a word or the record's text, kept as text
  Count,  // a whole number without unit
  Number, // a number in its SI unit (a plain ratio has the unit "1")
};

struct SettingAttribute {
  std::string_view key;        // the settings table's key
  std::string_view identifier; // its attribute name
  Quantity quantity = Quantity::Text;
  // False for rows that hold no measured value: the acquisition and delay
  // time per point hold half the bits of the forward start voltage read as
  // an integer.
  bool meaningful = true;
};

inline constexpr auto SETTING_ATTRIBUTES = [] {
  using enum Quantity;
  return std::to_array<SettingAttribute>({
    {"Format", "format", Count},
    {"Version", "version", Text},
    {"System", "system", Text},
    {"Date", "date", Text},
    {"User", "user", Text},
    {"Comment", "comment", Text},
    {"Name", "scanner_name", Text},
    {"VGAP Contact", "vgap_contact", Text},
    {"Field X Size in nm", "field_x_size", Number},
    {"Field Y Size in nm", "field_y_size", Number},
    {"Image Size in X", "image_size_x", Count},
    {"Image Size in Y", "image_size_y", Count},
    {"Increment X", "increment_x", Number},
    {"Increment Y", "increment_y", Number},
    {"Scan Angle", "scan_angle", Number},
    {"X Offset", "x_offset", Number},
    {"Y Offset", "y_offset", Number},
    {"Topographic Channel (Forward) Minimum raw value", "topography_forward_minimum_raw_value", Count},
    {"Topographic Channel (Forward) Maximum raw value", "topography_forward_maximum_raw_value", Count},
    {"Topographic Channel (Forward) Minimum value", "topography_forward_minimum_value", Number},
    {"Topographic Channel (Forward) Maximum value", "topography_forward_maximum_value", Number},
    {"Topographic Channel (Forward) Resolution", "topography_forward_resolution", Number},
    {"Topographic Channel (Backward) Minimum raw value", "topography_backward_minimum_raw_value", Count},
    {"Topographic Channel (Backward) Maximum raw value", "topography_backward_maximum_raw_value", Count},
    {"Topographic Channel (Backward) Minimum value", "topography_backward_minimum_value", Number},
    {"Topographic Channel (Backward) Maximum value", "topography_backward_maximum_value", Number},
    {"Topographic Channel (Backward) Resolution", "topography_backward_resolution", Number},
    {"Spectroscopy Channel (Forward) Parameter", "spectroscopy_forward_parameter", Text},
    {"Spectroscopy Channel (Forward) Minimum raw value", "spectroscopy_forward_minimum_raw_value", Count},
    {"Spectroscopy Channel (Forward) Maximum raw value", "spectroscopy_forward_maximum_raw_value", Count},
    {"Spectroscopy Channel (Forward) Minimum value", "spectroscopy_forward_minimum_value", Number},
    {"Spectroscopy Channel (Forward) Maximum value", "spectroscopy_forward_maximum_value", Number},
    {"Spectroscopy Channel (Forward) Resolution", "spectroscopy_forward_resolution", Number},
    {"Spectroscopy Channel (Forward) Number of points", "spectroscopy_forward_points", Count},
    {"Spectroscopy Channel (Forward) Start point", "spectroscopy_forward_start", Number},
    {"Spectroscopy Channel (Forward) End point", "spectroscopy_forward_end", Number},
    {"Spectroscopy Channel (Forward) Increment", "spectroscopy_forward_increment", Number},
    {"Spectroscopy Channel (Forward) Acquisition time per point", "spectroscopy_forward_acquisition_time", Number, false},
    {"Spectroscopy Channel (Forward) Delay time per point", "spectroscopy_forward_delay_time", Number, false},
    {"Spectroscopy Channel (Forward) Feedback", "spectroscopy_forward_feedback", Text},
    {"Spectroscopy Channel (Backward) Parameter", "spectroscopy_backward_parameter", Text},
    {"Spectroscopy Channel (Backward) Minimum raw value", "spectroscopy_backward_minimum_raw_value", Count},
    {"Spectroscopy Channel (Backward) Maximum raw value", "spectroscopy_backward_maximum_raw_value", Count},
    {"Spectroscopy Channel (Backward) Minimum value", "spectroscopy_backward_minimum_value", Number},
    {"Spectroscopy Channel (Backward) Maximum value", "spectroscopy_backward_maximum_value", Number},
    {"Spectroscopy Channel (Backward) Resolution", "spectroscopy_backward_resolution", Number},
    {"Spectroscopy Channel (Backward) Number of points", "spectroscopy_backward_points", Count},
    {"Spectroscopy Channel (Backward) Start point", "spectroscopy_backward_start", Number},
    {"Spectroscopy Channel (Backward) End point", "spectroscopy_backward_end", Number},
    {"Spectroscopy Channel (Backward) Increment", "spectroscopy_backward_increment", Number},
    {"Spectroscopy Channel (Backward) Acquisition time per point", "spectroscopy_backward_acquisition_time", Number, false},
    {"Spectroscopy Channel (Backward) Delay time per point", "spectroscopy_backward_delay_time", Number, false},
    {"Spectroscopy Channel (Backward) Feedback", "spectroscopy_backward_feedback", Text},
    {"SPM Method", "spm_method", Text},
    {"Dual mode", "dual_mode", Text},
    {"Delay (Forward)", "delay_forward", Number},
    {"Delay (Backward)", "delay_backward", Number},
    {"Gap Voltage", "gap_voltage", Number},
    {"Gap Voltage (Forward)", "gap_voltage_forward", Number},
    {"Gap Voltage (Backward)", "gap_voltage_backward", Number},
    {"Feedback Set", "feedback_set", Number},
    {"Feedback Set (Forward)", "feedback_set_forward", Number},
    {"Feedback Set (Backward)", "feedback_set_backward", Number},
    {"Loop Gain", "loop_gain", Number},
    {"Loop Gain (Forward)", "loop_gain_forward", Number},
    {"Loop Gain (Backward)", "loop_gain_backward", Number},
    {"X Resolution", "x_resolution", Count},
    {"Y Resolution", "y_resolution", Count},
    {"Measured Gap Voltage", "measured_gap_voltage", Number},
    {"Measured Current Setpoint", "measured_current_setpoint", Number},
    {"Measured Current", "measured_current", Number},
    {"Scan Speed", "scan_speed", Number},
    {"X Drift", "x_drift", Number},
    {"Y Drift", "y_drift", Number},
    {"Scan Mode", "scan_mode", Text},
    {"Scan Direction", "scan_direction", Text},
    {"Spectroscopy Grid Value in X", "spectroscopy_grid_value_x", Count},
    {"Spectroscopy Grid Value in Y", "spectroscopy_grid_value_y", Count},
    {"Spectroscopy Points in X", "spectroscopy_points_x", Count},
    {"Spectroscopy Lines in Y", "spectroscopy_lines_y", Count},
    {"Z Speed", "z_speed", Number},
    {"Z Output Gain", "z_output_gain", Number},
    {"Automatic Z zero", "automatic_z_zero", Text},
    {"Z Input Gain", "z_input_gain", Number},
    {"AFM exists", "afm_exists", Count},
    {"Amplitude", "amplitude", Number},
    {"Delta f sign", "delta_f_sign", Count},
    {"Oscillator available", "oscillator_available", Text},
    {"Oscillator frequency", "oscillator_frequency", Number},
    {"Calibration FN", "calibration_fn", Number},
    {"Calibration FL", "calibration_fl", Number},
    {"I Total", "i_total", Number},
  });
}();

// The attribute of the settings table's key `key`; null for a key without
// one.
const SettingAttribute *setting_attribute(std::string_view key);

// A row's unit in SI: the unit's name ("m", "A", "s", "m/s", "N/V", "degree",
// "1" for a percentage or a plain number; empty for a count or a text) and
// the factor from the row's unit to it.
struct SiUnit {
  std::string_view name;
  double factor = 1;
};
SiUnit si_unit(const Setting &row, Quantity quantity);

// A setting's value as its attribute: text, a count, or a number in SI
// units. `text` is the value as `setting_value` gives it; a number the
// parameter file prints as "+INF" or "+NAN" stays that.
using AttributeValue = std::variant<std::string, std::int64_t, double>;
AttributeValue attribute_value(const std::string &text, Quantity quantity,
                               const SiUnit &unit);

} // namespace parvane
