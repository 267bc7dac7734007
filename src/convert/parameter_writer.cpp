#include "convert/parameter_writer.h"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "convert/number_format.h"
#include "convert/parameter_arithmetic.h"

namespace parvane {

namespace {

// Which sets a line belongs to.
enum class When {
  always,
  dual,              // a backward scan exists
  single,            // forward scan only
  spectroscopy,      // the set has spectroscopy
  spectroscopy_dual, // spectroscopy and a backward scan
};

// The value a line carries between its literal text and its tail.
enum class Value {
  none,
  date,
  user,
  comment,
  field_x_size_tenth,
  field_y_size_tenth,
  image_size_x,
  image_size_y,
  increment_x_tenth,
  increment_y_tenth,
  scan_angle,
  forward_minimum,
  forward_maximum,
  resolution,
  backward_minimum,
  backward_maximum,
  file_number,
  spec_points_forward,
  spec_start_forward,
  spec_end_forward,
  spec_increment_forward,
  spec_points_backward,
  spec_start_backward,
  spec_end_backward,
  spec_increment_backward,
  point_time,
  gap_voltage_forward,
  gap_voltage_backward,
  feedback_set_forward,
  feedback_set_backward,
  measured_gap_voltage,
  measured_current_setpoint,
  scan_speed,
  z_speed_tenth,
};

// One line of the file: `indent` spaces, the text, the value, the tail.
struct Line {
  When when;
  int indent;
  std::string_view text;
  Value value = Value::none;
  std::string_view tail = {};
};

constexpr std::string_view EMPTY = "";

// Every line the file can have, in file order. A set writes the lines whose
// `when` holds for it.
constexpr auto LINES = [] {
  using enum When;
  using enum Value;
  return std::to_array<Line>({
    {always, 0, ";"},
    {always, 0, ";            Omicron SPM Control."},
    {always, 0, ";          Parameter file for SPM data."},
    {always, 0, ";"},
    {always, 0, EMPTY},
    {always, 0, "Format                           : 1"},
    {always, 0, EMPTY},
    {always, 0, "Version                          : 4.0"},
    {always, 0, "System                           : SCALA"},
    {always, 0, EMPTY},

    {always, 0, ";"},
    {always, 0, "; User Information."},
    {always, 0, ";"},
    {always, 0, EMPTY},
    {always, 0, "Date                             : ", date},
    {always, 0, "User                             : ", user},
    {always, 0, "Comment                          : ", comment},

    {always, 0, ";"},
    {always, 0, "; Scanner Description."},
    {always, 0, ";"},
    {always, 0, EMPTY},
    {always, 0, "Name                             : AFM_N.SCA"},
    {always, 0, "VGAP Contact                     : SAMPLE"},
    {always, 0, EMPTY},

    {always, 0, ";"},
    {always, 0, "; Scanner Area Description."},
    {always, 0, ";"},
    {always, 0, EMPTY},
    {always, 0, "Field X Size in nm               : ", field_x_size_tenth, "    ;[nm]"},
    {always, 0, "Field Y Size in nm               : ", field_y_size_tenth, "    ;[nm]"},
    {always, 0, "Image Size in X                  : ", image_size_x},
    {always, 0, "Image Size in Y                  : ", image_size_y},
    {always, 0, "Increment X                      : ", increment_x_tenth, "    ;[nm]"},
    {always, 0, "Increment Y                      : ", increment_y_tenth, "    ;[nm]"},
    {always, 0, "Scan Angle                       : ", scan_angle, "    ;[Degree]"},
    {always, 0, "X Offset                         : 0    ;[nm] (made up)"},
    {always, 0, "Y Offset                         : 0    ;[nm] (made up)"},
    {always, 0, EMPTY},

    {always, 0, ";"},
    {always, 0, "; Topographic Channels."},
    {always, 0, ";"},
    {always, 0, EMPTY},

    {always, 0, "Topographic Channel              : Z    ;Channel"},
    {always, 35, "Forward"},
    {always, 35, "-32767    ;Minimum raw value"},
    {always, 35, "32766    ;Maximum raw value"},
    {always, 35, "", forward_minimum, "    ;Minimum value in physical unit"},
    {always, 35, "", forward_maximum, "    ;Maximum value in physical unit"},
    {always, 35, "", resolution, "    ;Resolution"},
    {always, 35, "nm    ;Physical unit"},
    {always, 35, "m", file_number, "_ori.tf0    ;Filename"},
    {always, 35, "Z    ;Display name"},
    {always, 0, EMPTY},

    {dual, 0, "Topographic Channel              : Z    ;Channel"},
    {dual, 35, "Backward"},
    {dual, 35, "-32767    ;Minimum raw value"},
    {dual, 35, "32766    ;Maximum raw value"},
    {dual, 35, "", backward_minimum, "    ;Minimum value in physical unit"},
    {dual, 35, "", backward_maximum, "    ;Maximum value in physical unit"},
    {dual, 35, "", resolution, "    ;Resolution"},
    {dual, 35, "nm    ;Physical unit"},
    {dual, 35, "m", file_number, "_ori.tb0    ;Filename"},
    {dual, 35, "Z    ;Display name"},
    {dual, 0, EMPTY},

    {spectroscopy, 0, ";"},
    {spectroscopy, 0, "; Spectroscopy Channels."},
    {spectroscopy, 0, ";"},
    {spectroscopy, 0, EMPTY},

    {spectroscopy, 0, "Spectroscopy Channel             : I    ;Channel"},
    {spectroscopy, 35, "V    ;Parameter"},
    {spectroscopy, 35, "Forward"},
    {spectroscopy, 35, "0    ;Minimum raw value"},
    {spectroscopy, 35, "32768    ;Maximum raw value"},
    {spectroscopy, 35, "0.00000    ;Minimum value in physical units"},
    {spectroscopy, 35, "50.000    ;Maximum value in physical units"},
    {spectroscopy, 35, "0.0015259    ;resolution"},
    {spectroscopy, 35, "nA    ;Physical unit"},
    {spectroscopy, 35, "", spec_points_forward, "    ;Number of spectroscopy points"},
    {spectroscopy, 35, "", spec_start_forward, "    ;Start point spectroscopy"},
    {spectroscopy, 35, "", spec_end_forward, "    ;End point spectroscopy"},
    {spectroscopy, 35, "", spec_increment_forward, "    ;Increment point spectroscopy"},
    {spectroscopy, 35, "", point_time, "    ;Acquisition time per spectroscopy point"},
    {spectroscopy, 35, "", point_time, "    ;delay time per spectroscopy point"},
    {spectroscopy, 36, "Off   ;Feeedback on/off"},
    {spectroscopy, 36, "m", file_number, "_ori.sf0    ;Filename"},
    {spectroscopy, 36, "I    ;Display name"},
    {spectroscopy, 0, EMPTY},

    {spectroscopy_dual, 0, "Spectroscopy Channel             : I    ;Channel"},
    {spectroscopy_dual, 35, "V    ;Parameter"},
    {spectroscopy_dual, 35, "Backward"},
    {spectroscopy_dual, 35, "0    ;Minimum raw value"},
    {spectroscopy_dual, 35, "32768    ;Maximum raw value"},
    {spectroscopy_dual, 35, "0.00000    ;Minimum value in physical units"},
    {spectroscopy_dual, 35, "50.000    ;Maximum value in physical units"},
    {spectroscopy_dual, 35, "0.0015259    ;resolution"},
    {spectroscopy_dual, 35, "nA    ;Physical unit"},
    {spectroscopy_dual, 35, "", spec_points_backward, "    ;Number of spectroscopy points"},
    {spectroscopy_dual, 35, "", spec_start_backward, "    ;Start point spectroscopy"},
    {spectroscopy_dual, 35, "", spec_end_backward, "    ;End point spectroscopy"},
    {spectroscopy_dual, 35, "", spec_increment_backward, "    ;Increment point spectroscopy"},
    {spectroscopy_dual, 35, "", point_time, "    ;Acquisition time per spectroscopy point"},
    {spectroscopy_dual, 35, "", point_time, "    ;delay time per spectroscopy point"},
    {spectroscopy_dual, 36, "Off   ;Feeedback on/off"},
    {spectroscopy_dual, 36, "m", file_number, "_ori.sb0    ;Filename"},
    {spectroscopy_dual, 36, "I    ;Display name"},
    {spectroscopy_dual, 0, EMPTY},

    {always, 0, ";"},
    {always, 0, "; Measurement parameters."},
    {always, 0, ";"},
    {always, 0, EMPTY},
    {always, 0, "SPM Method                           : STM"},
    {dual, 0, "Dual mode                            : On"},
    {dual, 0, "Delay                                : 0    ;[us]  (Forward)"},
    {dual, 37, ": 0    ;[us]  (Backward)"},
    {single, 0, "Dual mode                            : Off"},
    {single, 0, "Gap Voltage                          : ", gap_voltage_forward, "    ;[V]"},
    {dual, 0, "Gap Voltage                          : ", gap_voltage_forward, "    ;[V]  (Forward)"},
    {dual, 39, "", gap_voltage_backward, "    ;[V]  (Backward)"},
    {single, 0, "Feedback Set                         : ", feedback_set_forward, "    ;[nA]"},
    {dual, 0, "Feedback Set                         : ", feedback_set_forward, "    ;[nA]  (Forward)"},
    {dual, 39, "", feedback_set_backward, "    ;[nA]  (Backward)"},
    {single, 0, "Loop Gain                            : 1.2    ;[%] (made up)"},
    {dual, 0, "Loop Gain                            : 1.2    ;[%] (made up)  (Forward)"},
    {dual, 39, "1.2    ;[%] (made up)  (Backward)"},
    {always, 0, "X Resolution                         : 0    ;Currently not used."},
    {always, 0, "Y Resolution                         : 0    ;Currently not used."},
    {always, 0, "Measured Gap Voltage                 : ", measured_gap_voltage, "    ;[V] (made up)"},
    {always, 0, "Measured Current Setpoint            : ", measured_current_setpoint, "   ;[nA] (made up)"},
    {always, 0, "Measured Current                     : ", measured_current_setpoint, "   ;[nA] (made up)"},
    {always, 0, "Scan Speed                           : ", scan_speed, "    ;[nm/s]"},
    {always, 0, "X Drift                              : 0    ;[nm/s] (made up)"},
    {always, 0, "Y Drift                              : 0    ;[nm/s] (made up)"},
    {always, 0, "Scan Mode                            : Frame"},
    {always, 0, "Scan Direction                       : UP"},
    {always, 0, "Spectroscopy Grid Value in X         : 1"},
    {always, 0, "Spectroscopy Grid Value in Y         : 1"},
    {always, 0, "Spectroscopy Points in X             : ", image_size_x},
    {always, 0, "Spectroscopy Lines in Y              : ", image_size_y},
    {always, 0, EMPTY},

    {always, 0, ";"},
    {always, 0, "; Z Control Parameters."},
    {always, 0, ";"},
    {always, 0, EMPTY},
    {always, 0, "Z Speed                              : ", z_speed_tenth, "    ;[nm/s]"},
    {always, 0, "Z Output Gain                        : 0.1    ;(made up)"},
    {always, 0, "Automatic Z zero                     : On    ;(made up)"},
    {always, 0, "Z Input Gain                         : 10    ;(made up)"},
    {always, 0, EMPTY},

    {always, 0, ";"},
    {always, 0, "; AFM Description."},
    {always, 0, ";"},
    {always, 0, EMPTY},
    {always, 0, "AFM exists                           : 1"},
    {always, 0, "Amplitude                            : 0.1    ;[V]"},
    {always, 0, "Delta f sign                         : -1"},
    {always, 0, "Oscillator available                 : Yes"},
    {always, 0, "Oscillator frequency                 : 455300    ;[Hz]"},
    {always, 0, "Calibration FN                       : 10    ;[nN/V]"},
    {always, 0, "Calibration FL                       : 10    ;[nN/V]"},
    {always, 0, "I Total                              : 0.01    ;[V]"},
  });
}();

constexpr bool applies(When when, bool dual_mode, bool has_spectroscopy) {
  switch (when) {
  case When::always:
    return true;
  case When::dual:
    return dual_mode;
  case When::single:
    return !dual_mode;
  case When::spectroscopy:
    return has_spectroscopy;
  case When::spectroscopy_dual:
    return has_spectroscopy && dual_mode;
  }
  return false;
}

constexpr std::size_t line_count(bool dual_mode, bool has_spectroscopy) {
  std::size_t count = 0;
  for (const Line &line : LINES)
    count += applies(line.when, dual_mode, has_spectroscopy) ? 1 : 0;
  return count;
}

static_assert(LINES.size() == 160);
static_assert(line_count(true, true) == 156);
static_assert(line_count(true, false) == 114);
static_assert(line_count(false, true) == 121);
static_assert(line_count(false, false) == 98);

// Text as it reaches the file: bytes unchanged except that a line feed
// becomes CR LF like every line end, so the file never holds a bare LF.
std::string with_crlf_line_ends(std::string_view bytes) {
  std::string text;
  for (char byte : bytes) {
    if (byte == '\n')
      text += '\r';
    text += byte;
  }
  return text;
}

// A text field's value as it reaches the file: up to the first NUL.
std::string text_field(const std::string &field_bytes) {
  return with_crlf_line_ends(text_value(field_bytes));
}

std::string render(Value value, const SourceParameters &p,
                   const ParameterFileContext &context) {
  switch (value) {
  case Value::none:
    return {};
  case Value::date:
    return text_field(p.date_text);
  case Value::user:
    return text_field(p.user_text);
  case Value::comment:
    return text_field(p.comment_text);
  case Value::field_x_size_tenth:
    return format_float(tenth(p.field_x_size));
  case Value::field_y_size_tenth:
    return format_float(tenth(p.field_y_size));
  case Value::image_size_x:
    return format_int(context.image_size_x);
  case Value::image_size_y:
    return format_int(context.image_size_y);
  case Value::increment_x_tenth:
    return format_float(tenth(p.increment_x));
  case Value::increment_y_tenth:
    return format_float(tenth(p.increment_y));
  case Value::scan_angle:
    return format_float(p.scan_angle);
  case Value::forward_minimum:
    return format_float(forward_minimum(p.z_resolution));
  case Value::forward_maximum:
    return format_float(forward_maximum(p.z_resolution));
  case Value::resolution:
    return format_float(topography_resolution(p.z_resolution));
  case Value::backward_minimum:
    return format_float(backward_minimum(p.z_resolution));
  case Value::backward_maximum:
    return format_float(backward_maximum(p.z_resolution));
  case Value::file_number:
    // A list argument is taken as typed and may hold a line feed.
    return with_crlf_line_ends(context.file_number);
  case Value::spec_points_forward:
    return format_int(p.spec_points_forward);
  case Value::spec_start_forward:
    return format_float(p.spec_start_forward);
  case Value::spec_end_forward:
    return format_float(p.spec_end_forward);
  case Value::spec_increment_forward:
    return format_float(p.spec_increment_forward);
  case Value::spec_points_backward:
    return format_int(p.spec_points_backward);
  case Value::spec_start_backward:
    return format_float(p.spec_start_backward);
  case Value::spec_end_backward:
    return format_float(p.spec_end_backward);
  case Value::spec_increment_backward:
    return format_float(p.spec_increment_backward);
  case Value::point_time:
    // These bytes are also the forward start value; files converted before
    // printed half of them read as an integer, and files converted now match.
    return format_float(spectroscopy_point_time(p.point_time_raw));
  case Value::gap_voltage_forward:
    return format_float(p.gap_voltage_forward);
  case Value::gap_voltage_backward:
    return format_float(p.gap_voltage_backward);
  case Value::feedback_set_forward:
    return format_float(p.feedback_set_forward);
  case Value::feedback_set_backward:
    return format_float(p.feedback_set_backward);
  case Value::measured_gap_voltage:
    return format_float(p.measured_gap_voltage);
  case Value::measured_current_setpoint:
    return format_float(p.measured_current_setpoint);
  case Value::scan_speed:
    return format_float(
        scan_speed(p.line_timing, context.image_size_x, p.field_x_size));
  case Value::z_speed_tenth:
    return format_float(z_speed_tenth(p.z_speed));
  }
  return {};
}

} // namespace

std::string compose_parameter_file(const SourceParameters &parameters,
                                   const ParameterFileContext &context) {
  std::string text;
  text.reserve(8192);
  for (const Line &line : LINES) {
    if (!applies(line.when, context.dual_mode, context.has_spectroscopy))
      continue;
    text.append(static_cast<std::size_t>(line.indent), ' ');
    text += line.text;
    text += render(line.value, parameters, context);
    text += line.tail;
    text += "\r\n";
  }
  return text;
}

bool write_parameter_file(File &parameter_file,
                          const SourceParameters &parameters,
                          const ParameterFileContext &context) {
  const std::string text = compose_parameter_file(parameters, context);
  return parameter_file.append(std::span(
      reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
}

} // namespace parvane
