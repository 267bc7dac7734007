// What a SCALA set states about itself: one table of rows, from which the
// parameter file ("m" + file number + "_ori.par") takes its lines and every
// other output (the GWY export's metadata) its settings, so that both state
// the same settings for the same set.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/physical_model.h"
#include "core/source_record.h"

namespace parvane {

// Which sets have a row.
enum class When {
  Always,
  Dual,             // a backward scan exists
  Single,           // forward scan only
  Spectroscopy,     // the set has spectroscopy
  SpectroscopyDual, // spectroscopy and a backward scan
};

constexpr bool holds(When when, bool dual_mode, bool has_spectroscopy) {
  switch (when) {
  case When::Always: return true;
  case When::Dual: return dual_mode;
  case When::Single: return !dual_mode;
  case When::Spectroscopy: return has_spectroscopy;
  case When::SpectroscopyDual: return has_spectroscopy && dual_mode;
  }
  return false;
}

// Where a setting's value comes from, as outputs mark it.
enum class Origin { Record, Computed, Fixed, User };

// How an output marks a value's origin: "(read from the record)",
// "(computed from the record)", "(fixed by the converter)", "(set by the
// user)".
std::string_view origin_mark(Origin origin);

// The value a row carries: its own literal text, or one taken from the set,
// grouped by origin: the record's own fields and the set's facts, then the
// values computed from the record.
enum class Value {
  Literal,
  Date, User, Comment, FileNumber, DualMode, ImageSizeX, ImageSizeY, ScanAngle,
  SpecPointsForward, SpecStartForward, SpecEndForward, SpecIncrementForward,
  SpecPointsBackward, SpecStartBackward, SpecEndBackward, SpecIncrementBackward,
  GapVoltageForward, GapVoltageBackward, FeedbackSetForward, FeedbackSetBackward,
  MeasuredGapVoltage, MeasuredCurrentSetpoint,
  FieldXSizeTenth, FieldYSizeTenth, IncrementXTenth, IncrementYTenth,
  ForwardMinimum, ForwardMaximum, Resolution, BackwardMinimum, BackwardMaximum,
  PointTime, ScanSpeed, ZSpeedTenth,
  // The current channels' range, from the current's calibration: the
  // converter's fixed 50 nA, or what the user set.
  CurrentMaximum, CurrentResolution,
};

// Computed kinds are named, so that a record field added later is read from
// the record whatever its place in the list.
constexpr Origin origin_of(Value value) {
  switch (value) {
  case Value::Literal:
  case Value::CurrentMaximum: case Value::CurrentResolution:
    return Origin::Fixed;
  case Value::FieldXSizeTenth: case Value::FieldYSizeTenth:
  case Value::IncrementXTenth: case Value::IncrementYTenth:
  case Value::ForwardMinimum: case Value::ForwardMaximum: case Value::Resolution:
  case Value::BackwardMinimum: case Value::BackwardMaximum:
  case Value::PointTime: case Value::ScanSpeed: case Value::ZSpeedTenth:
    return Origin::Computed;
  default:
    return Origin::Record;
  }
}

// A row's value: a literal (a string in the table) or a kind of value.
struct RowValue {
  Value kind = Value::Literal;
  std::string_view literal = {};
  constexpr RowValue() = default;
  constexpr RowValue(Value value) : kind(value) {}
  constexpr RowValue(const char *text) : literal(text) {}
};

// One row: in the parameter file a line of `indent` spaces, the text, the
// value and the tail; for other outputs, when it has a `key`, the setting
// `key` with the value in `unit`. Rows without a key (comments, blank lines,
// a channel's heading, its file name) exist in the parameter file alone.
struct Setting {
  When when;
  int indent;
  std::string_view text;
  RowValue value = {};
  std::string_view tail = {};
  std::string_view key = {};
  std::string_view unit = {};
  constexpr Origin origin() const { return origin_of(value.kind); }
};

// The set the rows are stated for.
struct SetFacts {
  const SourceParameters &record;
  std::string_view file_number;
  std::int32_t image_size_x = 0;
  std::int32_t image_size_y = 0;
  bool dual_mode = false;
  bool has_spectroscopy = false;
  CurrentCalibration current = {};
  bool has(const Setting &row) const {
    return holds(row.when, dual_mode, has_spectroscopy);
  }
  // The row's origin for this set: the current's range is the user's when
  // the user set its calibration.
  Origin origin(const Setting &row) const {
    const bool calibration = row.value.kind == Value::CurrentMaximum ||
                             row.value.kind == Value::CurrentResolution;
    return calibration && current.set_by_user ? Origin::User : row.origin();
  }
};

// How an output shows each byte of the record's text fields (which are in
// no known encoding); each output states its own.
using TextMask = char (*)(char byte);

// The mask of the outputs that show text as printable ASCII (the GWY
// export's metadata, the Python module's settings): every byte that is not
// printable ASCII shows as '?', since the record's bytes are in no known
// encoding and such texts must hold no NUL.
inline char printable_ascii(char byte) {
  return byte < 0x20 || byte > 0x7E ? '?' : byte;
}

// The row's value for the set, numbers as the parameter file prints them,
// text fields up to their first NUL and through `mask`, the file number as
// it is.
std::string setting_value(const Setting &row, const SetFacts &set, TextMask mask);

constexpr std::string_view EMPTY_LINE = "";

// Every row, in the parameter file's order.
inline constexpr auto SCALA_SETTINGS = [] {
  using enum When;
  using enum Value;
  return std::to_array<Setting>({
    {Always, 0, ";"},
    {Always, 0, ";            Omicron SPM Control."},
    {Always, 0, ";          Parameter file for SPM data."},
    {Always, 0, ";"},
    {Always, 0, EMPTY_LINE},
    {Always, 0, "Format                           : ", "1", {}, "Format"},
    {Always, 0, EMPTY_LINE},
    {Always, 0, "Version                          : ", "4.0", {}, "Version"},
    {Always, 0, "System                           : ", "SCALA", {}, "System"},
    {Always, 0, EMPTY_LINE},

    {Always, 0, ";"},
    {Always, 0, "; User Information."},
    {Always, 0, ";"},
    {Always, 0, EMPTY_LINE},
    {Always, 0, "Date                             : ", Date, {}, "Date"},
    {Always, 0, "User                             : ", User, {}, "User"},
    {Always, 0, "Comment                          : ", Comment, {}, "Comment"},

    {Always, 0, ";"},
    {Always, 0, "; Scanner Description."},
    {Always, 0, ";"},
    {Always, 0, EMPTY_LINE},
    {Always, 0, "Name                             : ", "AFM_N.SCA", {}, "Name"},
    {Always, 0, "VGAP Contact                     : ", "SAMPLE", {}, "VGAP Contact"},
    {Always, 0, EMPTY_LINE},

    {Always, 0, ";"},
    {Always, 0, "; Scanner Area Description."},
    {Always, 0, ";"},
    {Always, 0, EMPTY_LINE},
    {Always, 0, "Field X Size in nm               : ", FieldXSizeTenth, "    ;[nm]", "Field X Size in nm", "nm"},
    {Always, 0, "Field Y Size in nm               : ", FieldYSizeTenth, "    ;[nm]", "Field Y Size in nm", "nm"},
    {Always, 0, "Image Size in X                  : ", ImageSizeX, {}, "Image Size in X"},
    {Always, 0, "Image Size in Y                  : ", ImageSizeY, {}, "Image Size in Y"},
    {Always, 0, "Increment X                      : ", IncrementXTenth, "    ;[nm]", "Increment X", "nm"},
    {Always, 0, "Increment Y                      : ", IncrementYTenth, "    ;[nm]", "Increment Y", "nm"},
    {Always, 0, "Scan Angle                       : ", ScanAngle, "    ;[Degree]", "Scan Angle", "Degree"},
    {Always, 0, "X Offset                         : ", "0", "    ;[nm] (made up)", "X Offset", "nm"},
    {Always, 0, "Y Offset                         : ", "0", "    ;[nm] (made up)", "Y Offset", "nm"},
    {Always, 0, EMPTY_LINE},

    {Always, 0, ";"},
    {Always, 0, "; Topographic Channels."},
    {Always, 0, ";"},
    {Always, 0, EMPTY_LINE},

    {Always, 0, "Topographic Channel              : Z    ;Channel"},
    {Always, 35, "Forward"},
    {Always, 35, "", "-32767", "    ;Minimum raw value", "Topographic Channel (Forward) Minimum raw value"},
    {Always, 35, "", "32766", "    ;Maximum raw value", "Topographic Channel (Forward) Maximum raw value"},
    {Always, 35, "", ForwardMinimum, "    ;Minimum value in physical unit", "Topographic Channel (Forward) Minimum value", "nm"},
    {Always, 35, "", ForwardMaximum, "    ;Maximum value in physical unit", "Topographic Channel (Forward) Maximum value", "nm"},
    {Always, 35, "", Resolution, "    ;Resolution", "Topographic Channel (Forward) Resolution", "nm"},
    {Always, 35, "nm    ;Physical unit"},
    {Always, 35, "m", FileNumber, "_ori.tf0    ;Filename"},
    {Always, 35, "Z    ;Display name"},
    {Always, 0, EMPTY_LINE},

    {Dual, 0, "Topographic Channel              : Z    ;Channel"},
    {Dual, 35, "Backward"},
    {Dual, 35, "", "-32767", "    ;Minimum raw value", "Topographic Channel (Backward) Minimum raw value"},
    {Dual, 35, "", "32766", "    ;Maximum raw value", "Topographic Channel (Backward) Maximum raw value"},
    {Dual, 35, "", BackwardMinimum, "    ;Minimum value in physical unit", "Topographic Channel (Backward) Minimum value", "nm"},
    {Dual, 35, "", BackwardMaximum, "    ;Maximum value in physical unit", "Topographic Channel (Backward) Maximum value", "nm"},
    {Dual, 35, "", Resolution, "    ;Resolution", "Topographic Channel (Backward) Resolution", "nm"},
    {Dual, 35, "nm    ;Physical unit"},
    {Dual, 35, "m", FileNumber, "_ori.tb0    ;Filename"},
    {Dual, 35, "Z    ;Display name"},
    {Dual, 0, EMPTY_LINE},

    {Spectroscopy, 0, ";"},
    {Spectroscopy, 0, "; Spectroscopy Channels."},
    {Spectroscopy, 0, ";"},
    {Spectroscopy, 0, EMPTY_LINE},

    {Spectroscopy, 0, "Spectroscopy Channel             : I    ;Channel"},
    {Spectroscopy, 35, "", "V", "    ;Parameter", "Spectroscopy Channel (Forward) Parameter"},
    {Spectroscopy, 35, "Forward"},
    {Spectroscopy, 35, "", "0", "    ;Minimum raw value", "Spectroscopy Channel (Forward) Minimum raw value"},
    {Spectroscopy, 35, "", "32768", "    ;Maximum raw value", "Spectroscopy Channel (Forward) Maximum raw value"},
    {Spectroscopy, 35, "", "0.00000", "    ;Minimum value in physical units", "Spectroscopy Channel (Forward) Minimum value", "nA"},
    {Spectroscopy, 35, "", CurrentMaximum, "    ;Maximum value in physical units", "Spectroscopy Channel (Forward) Maximum value", "nA"},
    {Spectroscopy, 35, "", CurrentResolution, "    ;resolution", "Spectroscopy Channel (Forward) Resolution", "nA"},
    {Spectroscopy, 35, "nA    ;Physical unit"},
    {Spectroscopy, 35, "", SpecPointsForward, "    ;Number of spectroscopy points", "Spectroscopy Channel (Forward) Number of points"},
    {Spectroscopy, 35, "", SpecStartForward, "    ;Start point spectroscopy", "Spectroscopy Channel (Forward) Start point", "V"},
    {Spectroscopy, 35, "", SpecEndForward, "    ;End point spectroscopy", "Spectroscopy Channel (Forward) End point", "V"},
    {Spectroscopy, 35, "", SpecIncrementForward, "    ;Increment point spectroscopy", "Spectroscopy Channel (Forward) Increment", "V"},
    {Spectroscopy, 35, "", PointTime, "    ;Acquisition time per spectroscopy point", "Spectroscopy Channel (Forward) Acquisition time per point"},
    {Spectroscopy, 35, "", PointTime, "    ;delay time per spectroscopy point", "Spectroscopy Channel (Forward) Delay time per point"},
    {Spectroscopy, 36, "", "Off", "   ;Feeedback on/off", "Spectroscopy Channel (Forward) Feedback"},
    {Spectroscopy, 36, "m", FileNumber, "_ori.sf0    ;Filename"},
    {Spectroscopy, 36, "I    ;Display name"},
    {Spectroscopy, 0, EMPTY_LINE},

    {SpectroscopyDual, 0, "Spectroscopy Channel             : I    ;Channel"},
    {SpectroscopyDual, 35, "", "V", "    ;Parameter", "Spectroscopy Channel (Backward) Parameter"},
    {SpectroscopyDual, 35, "Backward"},
    {SpectroscopyDual, 35, "", "0", "    ;Minimum raw value", "Spectroscopy Channel (Backward) Minimum raw value"},
    {SpectroscopyDual, 35, "", "32768", "    ;Maximum raw value", "Spectroscopy Channel (Backward) Maximum raw value"},
    {SpectroscopyDual, 35, "", "0.00000", "    ;Minimum value in physical units", "Spectroscopy Channel (Backward) Minimum value", "nA"},
    {SpectroscopyDual, 35, "", CurrentMaximum, "    ;Maximum value in physical units", "Spectroscopy Channel (Backward) Maximum value", "nA"},
    {SpectroscopyDual, 35, "", CurrentResolution, "    ;resolution", "Spectroscopy Channel (Backward) Resolution", "nA"},
    {SpectroscopyDual, 35, "nA    ;Physical unit"},
    {SpectroscopyDual, 35, "", SpecPointsBackward, "    ;Number of spectroscopy points", "Spectroscopy Channel (Backward) Number of points"},
    {SpectroscopyDual, 35, "", SpecStartBackward, "    ;Start point spectroscopy", "Spectroscopy Channel (Backward) Start point", "V"},
    {SpectroscopyDual, 35, "", SpecEndBackward, "    ;End point spectroscopy", "Spectroscopy Channel (Backward) End point", "V"},
    {SpectroscopyDual, 35, "", SpecIncrementBackward, "    ;Increment point spectroscopy", "Spectroscopy Channel (Backward) Increment", "V"},
    {SpectroscopyDual, 35, "", PointTime, "    ;Acquisition time per spectroscopy point", "Spectroscopy Channel (Backward) Acquisition time per point"},
    {SpectroscopyDual, 35, "", PointTime, "    ;delay time per spectroscopy point", "Spectroscopy Channel (Backward) Delay time per point"},
    {SpectroscopyDual, 36, "", "Off", "   ;Feeedback on/off", "Spectroscopy Channel (Backward) Feedback"},
    {SpectroscopyDual, 36, "m", FileNumber, "_ori.sb0    ;Filename"},
    {SpectroscopyDual, 36, "I    ;Display name"},
    {SpectroscopyDual, 0, EMPTY_LINE},

    {Always, 0, ";"},
    {Always, 0, "; Measurement parameters."},
    {Always, 0, ";"},
    {Always, 0, EMPTY_LINE},
    {Always, 0, "SPM Method                           : ", "STM", {}, "SPM Method"},
    {Dual, 0, "Dual mode                            : ", DualMode, {}, "Dual mode"},
    {Dual, 0, "Delay                                : ", "0", "    ;[us]  (Forward)", "Delay (Forward)", "us"},
    {Dual, 37, ": ", "0", "    ;[us]  (Backward)", "Delay (Backward)", "us"},
    {Single, 0, "Dual mode                            : ", DualMode, {}, "Dual mode"},
    {Single, 0, "Gap Voltage                          : ", GapVoltageForward, "    ;[V]", "Gap Voltage", "V"},
    {Dual, 0, "Gap Voltage                          : ", GapVoltageForward, "    ;[V]  (Forward)", "Gap Voltage (Forward)", "V"},
    {Dual, 39, "", GapVoltageBackward, "    ;[V]  (Backward)", "Gap Voltage (Backward)", "V"},
    {Single, 0, "Feedback Set                         : ", FeedbackSetForward, "    ;[nA]", "Feedback Set", "nA"},
    {Dual, 0, "Feedback Set                         : ", FeedbackSetForward, "    ;[nA]  (Forward)", "Feedback Set (Forward)", "nA"},
    {Dual, 39, "", FeedbackSetBackward, "    ;[nA]  (Backward)", "Feedback Set (Backward)", "nA"},
    {Single, 0, "Loop Gain                            : ", "1.2", "    ;[%] (made up)", "Loop Gain", "%"},
    {Dual, 0, "Loop Gain                            : ", "1.2", "    ;[%] (made up)  (Forward)", "Loop Gain (Forward)", "%"},
    {Dual, 39, "", "1.2", "    ;[%] (made up)  (Backward)", "Loop Gain (Backward)", "%"},
    {Always, 0, "X Resolution                         : ", "0", "    ;Currently not used.", "X Resolution"},
    {Always, 0, "Y Resolution                         : ", "0", "    ;Currently not used.", "Y Resolution"},
    {Always, 0, "Measured Gap Voltage                 : ", MeasuredGapVoltage, "    ;[V] (made up)", "Measured Gap Voltage", "V"},
    {Always, 0, "Measured Current Setpoint            : ", MeasuredCurrentSetpoint, "   ;[nA] (made up)", "Measured Current Setpoint", "nA"},
    // The record has no measured current: the setpoint stands in for it.
    {Always, 0, "Measured Current                     : ", MeasuredCurrentSetpoint, "   ;[nA] (made up)", "Measured Current", "nA"},
    {Always, 0, "Scan Speed                           : ", ScanSpeed, "    ;[nm/s]", "Scan Speed", "nm/s"},
    {Always, 0, "X Drift                              : ", "0", "    ;[nm/s] (made up)", "X Drift", "nm/s"},
    {Always, 0, "Y Drift                              : ", "0", "    ;[nm/s] (made up)", "Y Drift", "nm/s"},
    {Always, 0, "Scan Mode                            : ", "Frame", {}, "Scan Mode"},
    {Always, 0, "Scan Direction                       : ", "UP", {}, "Scan Direction"},
    {Always, 0, "Spectroscopy Grid Value in X         : ", "1", {}, "Spectroscopy Grid Value in X"},
    {Always, 0, "Spectroscopy Grid Value in Y         : ", "1", {}, "Spectroscopy Grid Value in Y"},
    {Always, 0, "Spectroscopy Points in X             : ", ImageSizeX, {}, "Spectroscopy Points in X"},
    {Always, 0, "Spectroscopy Lines in Y              : ", ImageSizeY, {}, "Spectroscopy Lines in Y"},
    {Always, 0, EMPTY_LINE},

    {Always, 0, ";"},
    {Always, 0, "; Z Control Parameters."},
    {Always, 0, ";"},
    {Always, 0, EMPTY_LINE},
    {Always, 0, "Z Speed                              : ", ZSpeedTenth, "    ;[nm/s]", "Z Speed", "nm/s"},
    {Always, 0, "Z Output Gain                        : ", "0.1", "    ;(made up)", "Z Output Gain"},
    {Always, 0, "Automatic Z zero                     : ", "On", "    ;(made up)", "Automatic Z zero"},
    {Always, 0, "Z Input Gain                         : ", "10", "    ;(made up)", "Z Input Gain"},
    {Always, 0, EMPTY_LINE},

    {Always, 0, ";"},
    {Always, 0, "; AFM Description."},
    {Always, 0, ";"},
    {Always, 0, EMPTY_LINE},
    {Always, 0, "AFM exists                           : ", "1", {}, "AFM exists"},
    {Always, 0, "Amplitude                            : ", "0.1", "    ;[V]", "Amplitude", "V"},
    {Always, 0, "Delta f sign                         : ", "-1", {}, "Delta f sign"},
    {Always, 0, "Oscillator available                 : ", "Yes", {}, "Oscillator available"},
    {Always, 0, "Oscillator frequency                 : ", "455300", "    ;[Hz]", "Oscillator frequency", "Hz"},
    {Always, 0, "Calibration FN                       : ", "10", "    ;[nN/V]", "Calibration FN", "nN/V"},
    {Always, 0, "Calibration FL                       : ", "10", "    ;[nN/V]", "Calibration FL", "nN/V"},
    {Always, 0, "I Total                              : ", "0.01", "    ;[V]", "I Total", "V"},
  });
}();

} // namespace parvane
