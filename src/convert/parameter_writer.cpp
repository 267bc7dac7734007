#include "convert/parameter_writer.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "core/number_format.h"
#include "core/parameter_arithmetic.h"

namespace parvane {

namespace {

// Which sets a line belongs to.
enum class When {
  Always,
  Dual,              // a backward scan exists
  Single,            // forward scan only
  Spectroscopy,      // the set has spectroscopy
  SpectroscopyDual, // spectroscopy and a backward scan
};

// The value a line carries between its literal text and its tail.
enum class Value {
  None,
  Date,
  User,
  Comment,
  FieldXSizeTenth,
  FieldYSizeTenth,
  ImageSizeX,
  ImageSizeY,
  IncrementXTenth,
  IncrementYTenth,
  ScanAngle,
  ForwardMinimum,
  ForwardMaximum,
  Resolution,
  BackwardMinimum,
  BackwardMaximum,
  FileNumber,
  SpecPointsForward,
  SpecStartForward,
  SpecEndForward,
  SpecIncrementForward,
  SpecPointsBackward,
  SpecStartBackward,
  SpecEndBackward,
  SpecIncrementBackward,
  PointTime,
  GapVoltageForward,
  GapVoltageBackward,
  FeedbackSetForward,
  FeedbackSetBackward,
  MeasuredGapVoltage,
  MeasuredCurrentSetpoint,
  ScanSpeed,
  ZSpeedTenth,
};

// One line of the file: `indent` spaces, the text, the value, the tail.
struct Line {
  When when;
  int indent;
  std::string_view text;
  Value value = Value::None;
  std::string_view tail = {};
};

constexpr std::string_view EMPTY = "";

// Every line the file can have, in file order. A set writes the lines whose
// `when` holds for it.
constexpr auto LINES = [] {
  using enum When;
  using enum Value;
  return std::to_array<Line>({
    {Always, 0, ";"},
    {Always, 0, ";            Omicron SPM Control."},
    {Always, 0, ";          Parameter file for SPM data."},
    {Always, 0, ";"},
    {Always, 0, EMPTY},
    {Always, 0, "Format                           : 1"},
    {Always, 0, EMPTY},
    {Always, 0, "Version                          : 4.0"},
    {Always, 0, "System                           : SCALA"},
    {Always, 0, EMPTY},

    {Always, 0, ";"},
    {Always, 0, "; User Information."},
    {Always, 0, ";"},
    {Always, 0, EMPTY},
    {Always, 0, "Date                             : ", Date},
    {Always, 0, "User                             : ", User},
    {Always, 0, "Comment                          : ", Comment},

    {Always, 0, ";"},
    {Always, 0, "; Scanner Description."},
    {Always, 0, ";"},
    {Always, 0, EMPTY},
    {Always, 0, "Name                             : AFM_N.SCA"},
    {Always, 0, "VGAP Contact                     : SAMPLE"},
    {Always, 0, EMPTY},

    {Always, 0, ";"},
    {Always, 0, "; Scanner Area Description."},
    {Always, 0, ";"},
    {Always, 0, EMPTY},
    {Always, 0, "Field X Size in nm               : ", FieldXSizeTenth, "    ;[nm]"},
    {Always, 0, "Field Y Size in nm               : ", FieldYSizeTenth, "    ;[nm]"},
    {Always, 0, "Image Size in X                  : ", ImageSizeX},
    {Always, 0, "Image Size in Y                  : ", ImageSizeY},
    {Always, 0, "Increment X                      : ", IncrementXTenth, "    ;[nm]"},
    {Always, 0, "Increment Y                      : ", IncrementYTenth, "    ;[nm]"},
    {Always, 0, "Scan Angle                       : ", ScanAngle, "    ;[Degree]"},
    {Always, 0, "X Offset                         : 0    ;[nm] (made up)"},
    {Always, 0, "Y Offset                         : 0    ;[nm] (made up)"},
    {Always, 0, EMPTY},

    {Always, 0, ";"},
    {Always, 0, "; Topographic Channels."},
    {Always, 0, ";"},
    {Always, 0, EMPTY},

    {Always, 0, "Topographic Channel              : Z    ;Channel"},
    {Always, 35, "Forward"},
    {Always, 35, "-32767    ;Minimum raw value"},
    {Always, 35, "32766    ;Maximum raw value"},
    {Always, 35, "", ForwardMinimum, "    ;Minimum value in physical unit"},
    {Always, 35, "", ForwardMaximum, "    ;Maximum value in physical unit"},
    {Always, 35, "", Resolution, "    ;Resolution"},
    {Always, 35, "nm    ;Physical unit"},
    {Always, 35, "m", FileNumber, "_ori.tf0    ;Filename"},
    {Always, 35, "Z    ;Display name"},
    {Always, 0, EMPTY},

    {Dual, 0, "Topographic Channel              : Z    ;Channel"},
    {Dual, 35, "Backward"},
    {Dual, 35, "-32767    ;Minimum raw value"},
    {Dual, 35, "32766    ;Maximum raw value"},
    {Dual, 35, "", BackwardMinimum, "    ;Minimum value in physical unit"},
    {Dual, 35, "", BackwardMaximum, "    ;Maximum value in physical unit"},
    {Dual, 35, "", Resolution, "    ;Resolution"},
    {Dual, 35, "nm    ;Physical unit"},
    {Dual, 35, "m", FileNumber, "_ori.tb0    ;Filename"},
    {Dual, 35, "Z    ;Display name"},
    {Dual, 0, EMPTY},

    {Spectroscopy, 0, ";"},
    {Spectroscopy, 0, "; Spectroscopy Channels."},
    {Spectroscopy, 0, ";"},
    {Spectroscopy, 0, EMPTY},

    {Spectroscopy, 0, "Spectroscopy Channel             : I    ;Channel"},
    {Spectroscopy, 35, "V    ;Parameter"},
    {Spectroscopy, 35, "Forward"},
    {Spectroscopy, 35, "0    ;Minimum raw value"},
    {Spectroscopy, 35, "32768    ;Maximum raw value"},
    {Spectroscopy, 35, "0.00000    ;Minimum value in physical units"},
    {Spectroscopy, 35, "50.000    ;Maximum value in physical units"},
    {Spectroscopy, 35, "0.0015259    ;resolution"},
    {Spectroscopy, 35, "nA    ;Physical unit"},
    {Spectroscopy, 35, "", SpecPointsForward, "    ;Number of spectroscopy points"},
    {Spectroscopy, 35, "", SpecStartForward, "    ;Start point spectroscopy"},
    {Spectroscopy, 35, "", SpecEndForward, "    ;End point spectroscopy"},
    {Spectroscopy, 35, "", SpecIncrementForward, "    ;Increment point spectroscopy"},
    {Spectroscopy, 35, "", PointTime, "    ;Acquisition time per spectroscopy point"},
    {Spectroscopy, 35, "", PointTime, "    ;delay time per spectroscopy point"},
    {Spectroscopy, 36, "Off   ;Feeedback on/off"},
    {Spectroscopy, 36, "m", FileNumber, "_ori.sf0    ;Filename"},
    {Spectroscopy, 36, "I    ;Display name"},
    {Spectroscopy, 0, EMPTY},

    {SpectroscopyDual, 0, "Spectroscopy Channel             : I    ;Channel"},
    {SpectroscopyDual, 35, "V    ;Parameter"},
    {SpectroscopyDual, 35, "Backward"},
    {SpectroscopyDual, 35, "0    ;Minimum raw value"},
    {SpectroscopyDual, 35, "32768    ;Maximum raw value"},
    {SpectroscopyDual, 35, "0.00000    ;Minimum value in physical units"},
    {SpectroscopyDual, 35, "50.000    ;Maximum value in physical units"},
    {SpectroscopyDual, 35, "0.0015259    ;resolution"},
    {SpectroscopyDual, 35, "nA    ;Physical unit"},
    {SpectroscopyDual, 35, "", SpecPointsBackward, "    ;Number of spectroscopy points"},
    {SpectroscopyDual, 35, "", SpecStartBackward, "    ;Start point spectroscopy"},
    {SpectroscopyDual, 35, "", SpecEndBackward, "    ;End point spectroscopy"},
    {SpectroscopyDual, 35, "", SpecIncrementBackward, "    ;Increment point spectroscopy"},
    {SpectroscopyDual, 35, "", PointTime, "    ;Acquisition time per spectroscopy point"},
    {SpectroscopyDual, 35, "", PointTime, "    ;delay time per spectroscopy point"},
    {SpectroscopyDual, 36, "Off   ;Feeedback on/off"},
    {SpectroscopyDual, 36, "m", FileNumber, "_ori.sb0    ;Filename"},
    {SpectroscopyDual, 36, "I    ;Display name"},
    {SpectroscopyDual, 0, EMPTY},

    {Always, 0, ";"},
    {Always, 0, "; Measurement parameters."},
    {Always, 0, ";"},
    {Always, 0, EMPTY},
    {Always, 0, "SPM Method                           : STM"},
    {Dual, 0, "Dual mode                            : On"},
    {Dual, 0, "Delay                                : 0    ;[us]  (Forward)"},
    {Dual, 37, ": 0    ;[us]  (Backward)"},
    {Single, 0, "Dual mode                            : Off"},
    {Single, 0, "Gap Voltage                          : ", GapVoltageForward, "    ;[V]"},
    {Dual, 0, "Gap Voltage                          : ", GapVoltageForward, "    ;[V]  (Forward)"},
    {Dual, 39, "", GapVoltageBackward, "    ;[V]  (Backward)"},
    {Single, 0, "Feedback Set                         : ", FeedbackSetForward, "    ;[nA]"},
    {Dual, 0, "Feedback Set                         : ", FeedbackSetForward, "    ;[nA]  (Forward)"},
    {Dual, 39, "", FeedbackSetBackward, "    ;[nA]  (Backward)"},
    {Single, 0, "Loop Gain                            : 1.2    ;[%] (made up)"},
    {Dual, 0, "Loop Gain                            : 1.2    ;[%] (made up)  (Forward)"},
    {Dual, 39, "1.2    ;[%] (made up)  (Backward)"},
    {Always, 0, "X Resolution                         : 0    ;Currently not used."},
    {Always, 0, "Y Resolution                         : 0    ;Currently not used."},
    {Always, 0, "Measured Gap Voltage                 : ", MeasuredGapVoltage, "    ;[V] (made up)"},
    {Always, 0, "Measured Current Setpoint            : ", MeasuredCurrentSetpoint, "   ;[nA] (made up)"},
    {Always, 0, "Measured Current                     : ", MeasuredCurrentSetpoint, "   ;[nA] (made up)"},
    {Always, 0, "Scan Speed                           : ", ScanSpeed, "    ;[nm/s]"},
    {Always, 0, "X Drift                              : 0    ;[nm/s] (made up)"},
    {Always, 0, "Y Drift                              : 0    ;[nm/s] (made up)"},
    {Always, 0, "Scan Mode                            : Frame"},
    {Always, 0, "Scan Direction                       : UP"},
    {Always, 0, "Spectroscopy Grid Value in X         : 1"},
    {Always, 0, "Spectroscopy Grid Value in Y         : 1"},
    {Always, 0, "Spectroscopy Points in X             : ", ImageSizeX},
    {Always, 0, "Spectroscopy Lines in Y              : ", ImageSizeY},
    {Always, 0, EMPTY},

    {Always, 0, ";"},
    {Always, 0, "; Z Control Parameters."},
    {Always, 0, ";"},
    {Always, 0, EMPTY},
    {Always, 0, "Z Speed                              : ", ZSpeedTenth, "    ;[nm/s]"},
    {Always, 0, "Z Output Gain                        : 0.1    ;(made up)"},
    {Always, 0, "Automatic Z zero                     : On    ;(made up)"},
    {Always, 0, "Z Input Gain                         : 10    ;(made up)"},
    {Always, 0, EMPTY},

    {Always, 0, ";"},
    {Always, 0, "; AFM Description."},
    {Always, 0, ";"},
    {Always, 0, EMPTY},
    {Always, 0, "AFM exists                           : 1"},
    {Always, 0, "Amplitude                            : 0.1    ;[V]"},
    {Always, 0, "Delta f sign                         : -1"},
    {Always, 0, "Oscillator available                 : Yes"},
    {Always, 0, "Oscillator frequency                 : 455300    ;[Hz]"},
    {Always, 0, "Calibration FN                       : 10    ;[nN/V]"},
    {Always, 0, "Calibration FL                       : 10    ;[nN/V]"},
    {Always, 0, "I Total                              : 0.01    ;[V]"},
  });
}();

constexpr bool applies(When when, bool dual_mode, bool has_spectroscopy) {
  switch (when) {
  case When::Always:
    return true;
  case When::Dual:
    return dual_mode;
  case When::Single:
    return !dual_mode;
  case When::Spectroscopy:
    return has_spectroscopy;
  case When::SpectroscopyDual:
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

// A text field's value as it reaches the file: up to the first NUL, every
// other byte as it is, except that a carriage return or line feed becomes a
// space. Either would end the setting's line, and SCALA readers refuse a
// file with a line that is no setting.
std::string text_field(const std::string &field_bytes) {
  std::string text = text_value(field_bytes);
  std::replace_if(
      text.begin(), text.end(),
      [](char byte) { return byte == '\r' || byte == '\n'; }, ' ');
  return text;
}

std::string render(Value value, const SourceParameters &p,
                   const ParameterFileContext &context) {
  switch (value) {
  case Value::None:
    return {};
  case Value::Date:
    return text_field(p.date_text);
  case Value::User:
    return text_field(p.user_text);
  case Value::Comment:
    return text_field(p.comment_text);
  case Value::FieldXSizeTenth:
    return format_float(tenth(p.field_x_size));
  case Value::FieldYSizeTenth:
    return format_float(tenth(p.field_y_size));
  case Value::ImageSizeX:
    return format_int(context.image_size_x);
  case Value::ImageSizeY:
    return format_int(context.image_size_y);
  case Value::IncrementXTenth:
    return format_float(tenth(p.increment_x));
  case Value::IncrementYTenth:
    return format_float(tenth(p.increment_y));
  case Value::ScanAngle:
    return format_float(p.scan_angle);
  case Value::ForwardMinimum:
    return format_float(forward_minimum(p.z_resolution));
  case Value::ForwardMaximum:
    return format_float(forward_maximum(p.z_resolution));
  case Value::Resolution:
    return format_float(topography_resolution(p.z_resolution));
  case Value::BackwardMinimum:
    return format_float(backward_minimum(p.z_resolution));
  case Value::BackwardMaximum:
    return format_float(backward_maximum(p.z_resolution));
  case Value::FileNumber:
    // A list argument is taken as typed and may hold a line feed.
    return with_crlf_line_ends(context.file_number);
  case Value::SpecPointsForward:
    return format_int(p.spec_points_forward);
  case Value::SpecStartForward:
    return format_float(p.spec_start_forward);
  case Value::SpecEndForward:
    return format_float(p.spec_end_forward);
  case Value::SpecIncrementForward:
    return format_float(p.spec_increment_forward);
  case Value::SpecPointsBackward:
    return format_int(p.spec_points_backward);
  case Value::SpecStartBackward:
    return format_float(p.spec_start_backward);
  case Value::SpecEndBackward:
    return format_float(p.spec_end_backward);
  case Value::SpecIncrementBackward:
    return format_float(p.spec_increment_backward);
  case Value::PointTime:
    // These bytes are also the forward start value; files converted before
    // printed half of them read as an integer, and files converted now match.
    return format_float(spectroscopy_point_time(p.point_time_raw));
  case Value::GapVoltageForward:
    return format_float(p.gap_voltage_forward);
  case Value::GapVoltageBackward:
    return format_float(p.gap_voltage_backward);
  case Value::FeedbackSetForward:
    return format_float(p.feedback_set_forward);
  case Value::FeedbackSetBackward:
    return format_float(p.feedback_set_backward);
  case Value::MeasuredGapVoltage:
    return format_float(p.measured_gap_voltage);
  case Value::MeasuredCurrentSetpoint:
    return format_float(p.measured_current_setpoint);
  case Value::ScanSpeed:
    return format_float(
        scan_speed(p.line_timing, context.image_size_x, p.field_x_size));
  case Value::ZSpeedTenth:
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
