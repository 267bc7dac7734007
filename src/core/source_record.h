// The acquisition system's binary parameter record ("tp" + file number) and
// the byte-reversed staging copy ("tmp.par") through which its numbers are read.
//
// Numbers in the record are big-endian. Reversing the whole record turns each
// 4-byte field into a little-endian value found at distance offset + 4 from
// the end of the staging copy, whatever the record's length.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/file_io.h"

namespace parvane {

// Byte offsets of the fields in the old parameter record.
inline constexpr std::int64_t OFFSET_FIELD_X_SIZE = 12;
inline constexpr std::int64_t OFFSET_FIELD_Y_SIZE = 16;
inline constexpr std::int64_t OFFSET_INCREMENT_X = 20;
inline constexpr std::int64_t OFFSET_INCREMENT_Y = 24;
inline constexpr std::int64_t OFFSET_IMAGE_SIZE_X = 28;
inline constexpr std::int64_t OFFSET_IMAGE_SIZE_Y = 32;
inline constexpr std::int64_t OFFSET_SCAN_ANGLE = 36;
inline constexpr std::int64_t OFFSET_Z_RESOLUTION = 48;
inline constexpr std::int64_t OFFSET_Z_SPEED = 108;
inline constexpr std::int64_t OFFSET_MEASURED_GAP_VOLTAGE = 112;
inline constexpr std::int64_t OFFSET_GAP_VOLTAGE_FORWARD = 116;
inline constexpr std::int64_t OFFSET_GAP_VOLTAGE_BACKWARD = 120;
inline constexpr std::int64_t OFFSET_MEASURED_CURRENT_SETPOINT = 132;
inline constexpr std::int64_t OFFSET_FEEDBACK_SET_FORWARD = 136;
inline constexpr std::int64_t OFFSET_FEEDBACK_SET_BACKWARD = 140;
inline constexpr std::int64_t OFFSET_SPEC_START_FORWARD = 152;
inline constexpr std::int64_t OFFSET_SPEC_END_FORWARD = 156;
inline constexpr std::int64_t OFFSET_SPEC_INCREMENT_FORWARD = 160;
inline constexpr std::int64_t OFFSET_SPEC_POINTS_FORWARD = 164;
inline constexpr std::int64_t OFFSET_SPEC_START_BACKWARD = 168;
inline constexpr std::int64_t OFFSET_SPEC_END_BACKWARD = 172;
inline constexpr std::int64_t OFFSET_SPEC_INCREMENT_BACKWARD = 176;
inline constexpr std::int64_t OFFSET_SPEC_POINTS_BACKWARD = 180;
inline constexpr std::int64_t OFFSET_LINE_TIMING = 248;
inline constexpr std::int64_t OFFSET_FORWARD_ONLY = 308;
inline constexpr std::int64_t OFFSET_DATE_TEXT = 312;
inline constexpr std::int64_t OFFSET_COMMENT_TEXT = 332;
inline constexpr std::int64_t OFFSET_USER_TEXT = 382;

inline constexpr std::int64_t WIDTH_DATE_TEXT = 20;
inline constexpr std::int64_t WIDTH_COMMENT_TEXT = 50;
inline constexpr std::int64_t WIDTH_USER_TEXT = 20;

// Every value of the old parameter record that a conversion uses. Text fields
// hold the bytes the record has for the field (up to its width); the value
// ends at the first NUL among them (`text_value`).
struct SourceParameters {
  float field_x_size = 0;
  float field_y_size = 0;
  float increment_x = 0;
  float increment_y = 0;
  std::int32_t image_size_x = 0;
  std::int32_t image_size_y = 0;
  float scan_angle = 0;
  float z_resolution = 0;
  std::int32_t z_speed = 0;
  float measured_gap_voltage = 0;
  float gap_voltage_forward = 0;
  float gap_voltage_backward = 0;
  float measured_current_setpoint = 0;
  float feedback_set_forward = 0;
  float feedback_set_backward = 0;
  float spec_start_forward = 0;
  float spec_end_forward = 0;
  float spec_increment_forward = 0;
  std::int32_t spec_points_forward = 0;
  float spec_start_backward = 0;
  float spec_end_backward = 0;
  float spec_increment_backward = 0;
  std::int32_t spec_points_backward = 0;
  std::int32_t line_timing = 0;
  std::int32_t forward_only = 0;
  // The same four bytes as `spec_start_forward`, read as a signed integer:
  // earlier converted files print half of it as the spectroscopy point time.
  std::int32_t point_time_raw = 0;
  std::string date_text;
  std::string comment_text;
  std::string user_text;
};

// How the staging copy went, and how long the record is.
struct StagingCopy {
  IoOutcome outcome = IoOutcome::Done;
  std::int64_t record_length = 0;
};

// Writes the old parameter record byte-reversed into the staging file, which
// must be freshly emptied. The copy is exactly as long as the record. The
// outcome tells a failed read of the record from a failed write of the copy.
StagingCopy make_staging_copy(const File &old_parameters, File &staging);

// The int32 or float32 field at `offset` of the old record, read from the
// staging copy of a record `record_length` bytes long. A field that does not
// lie wholly inside the record reads as 0.
std::int32_t read_int_field(const File &staging, std::int64_t record_length,
                            std::int64_t offset);
float read_float_field(const File &staging, std::int64_t record_length,
                       std::int64_t offset);

// The bytes of a text field, read directly from the old record: `width`
// bytes, or fewer when the record ends inside the field.
std::string read_text_field(const File &old_parameters, std::int64_t offset,
                            std::int64_t width);

// A text field's value: its bytes up to the first NUL, or all of them.
std::string text_value(const std::string &field_bytes);

// The record's values from three readers of its fields (int32 and float32
// by offset, text by offset and width), so that whoever reads the record,
// through the staging copy or straight from the file, fills the same fields
// from the same offsets.
template <typename IntAt, typename FloatAt, typename TextAt>
SourceParameters assemble_source_parameters(IntAt int_at, FloatAt float_at,
                                            TextAt text_at) {
  SourceParameters p;
  p.field_x_size = float_at(OFFSET_FIELD_X_SIZE);
  p.field_y_size = float_at(OFFSET_FIELD_Y_SIZE);
  p.increment_x = float_at(OFFSET_INCREMENT_X);
  p.increment_y = float_at(OFFSET_INCREMENT_Y);
  p.image_size_x = int_at(OFFSET_IMAGE_SIZE_X);
  p.image_size_y = int_at(OFFSET_IMAGE_SIZE_Y);
  p.scan_angle = float_at(OFFSET_SCAN_ANGLE);
  p.z_resolution = float_at(OFFSET_Z_RESOLUTION);
  p.z_speed = int_at(OFFSET_Z_SPEED);
  p.measured_gap_voltage = float_at(OFFSET_MEASURED_GAP_VOLTAGE);
  p.gap_voltage_forward = float_at(OFFSET_GAP_VOLTAGE_FORWARD);
  p.gap_voltage_backward = float_at(OFFSET_GAP_VOLTAGE_BACKWARD);
  p.measured_current_setpoint = float_at(OFFSET_MEASURED_CURRENT_SETPOINT);
  p.feedback_set_forward = float_at(OFFSET_FEEDBACK_SET_FORWARD);
  p.feedback_set_backward = float_at(OFFSET_FEEDBACK_SET_BACKWARD);
  p.spec_start_forward = float_at(OFFSET_SPEC_START_FORWARD);
  p.spec_end_forward = float_at(OFFSET_SPEC_END_FORWARD);
  p.spec_increment_forward = float_at(OFFSET_SPEC_INCREMENT_FORWARD);
  p.spec_points_forward = int_at(OFFSET_SPEC_POINTS_FORWARD);
  p.spec_start_backward = float_at(OFFSET_SPEC_START_BACKWARD);
  p.spec_end_backward = float_at(OFFSET_SPEC_END_BACKWARD);
  p.spec_increment_backward = float_at(OFFSET_SPEC_INCREMENT_BACKWARD);
  p.spec_points_backward = int_at(OFFSET_SPEC_POINTS_BACKWARD);
  p.line_timing = int_at(OFFSET_LINE_TIMING);
  p.forward_only = int_at(OFFSET_FORWARD_ONLY);
  p.point_time_raw = int_at(OFFSET_SPEC_START_FORWARD);
  p.date_text = text_at(OFFSET_DATE_TEXT, WIDTH_DATE_TEXT);
  p.comment_text = text_at(OFFSET_COMMENT_TEXT, WIDTH_COMMENT_TEXT);
  p.user_text = text_at(OFFSET_USER_TEXT, WIDTH_USER_TEXT);
  return p;
}

// Reads every field of `SourceParameters` once, right after the staging copy.
// nullopt when the system failed a read of the staging copy or of the record.
std::optional<SourceParameters> read_source_parameters(const File &staging,
                                        std::int64_t record_length,
                                        const File &old_parameters);

} // namespace parvane
