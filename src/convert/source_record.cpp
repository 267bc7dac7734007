#include "convert/source_record.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

namespace parvane {
namespace {

// The record is reversed in blocks of this size, from its end towards its
// start, so a record of any length is copied in constant memory.
constexpr std::size_t STAGING_BLOCK_BYTES = 64 * 1024;

constexpr std::int64_t FIELD_WIDTH = 4;

std::uint32_t little_endian_u32(const std::array<std::uint8_t, 4> &bytes) {
  return static_cast<std::uint32_t>(bytes[0]) |
         static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 |
         static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The raw 32 bits of the field at `offset`, or 0 when the record does not hold
// all four of its bytes; nullopt when the system failed the read.
std::optional<std::uint32_t> read_field_bits(const File &staging,
                                             std::int64_t record_length,
                                             std::int64_t offset) {
  // Compared without adding to `offset`, which may be anywhere in its range.
  if (offset < 0 || offset > record_length - FIELD_WIDTH)
    return 0;
  std::array<std::uint8_t, 4> bytes{};
  if (!staging.read_at(record_length - FIELD_WIDTH - offset, bytes))
    return std::nullopt;
  return little_endian_u32(bytes);
}

// The bytes of a text field, or nullopt when the system failed the read.
std::optional<std::string> read_text_bytes(const File &old_parameters,
                                           std::int64_t offset,
                                           std::int64_t width) {
  std::string bytes(static_cast<std::size_t>(std::max<std::int64_t>(width, 0)),
                    '\0');
  std::optional<std::size_t> got = old_parameters.read_at(
      offset, std::span(reinterpret_cast<std::uint8_t *>(bytes.data()),
                        bytes.size()));
  if (!got)
    return std::nullopt;
  bytes.resize(*got);
  return bytes;
}

} // namespace

StagingCopy make_staging_copy(const File &old_parameters, File &staging) {
  const std::int64_t length = old_parameters.size();
  std::vector<std::uint8_t> block(STAGING_BLOCK_BYTES);
  // Staging byte j is record byte length - 1 - j: walk the record backwards
  // block by block and append each block reversed.
  for (std::int64_t end = length; end > 0;) {
    std::int64_t start =
        std::max<std::int64_t>(0, end - static_cast<std::int64_t>(block.size()));
    std::span<std::uint8_t> chunk(block.data(),
                                  static_cast<std::size_t>(end - start));
    if (!old_parameters.read_at(start, chunk))
      return {IoOutcome::ReadFailed, length};
    std::reverse(chunk.begin(), chunk.end());
    if (!staging.append(chunk))
      return {IoOutcome::WriteFailed, length};
    end = start;
  }
  return {IoOutcome::Done, length};
}

std::int32_t read_int_field(const File &staging, std::int64_t record_length,
                            std::int64_t offset) {
  return std::bit_cast<std::int32_t>(
      read_field_bits(staging, record_length, offset).value_or(0));
}

float read_float_field(const File &staging, std::int64_t record_length,
                       std::int64_t offset) {
  return std::bit_cast<float>(
      read_field_bits(staging, record_length, offset).value_or(0));
}

std::string read_text_field(const File &old_parameters, std::int64_t offset,
                            std::int64_t width) {
  return read_text_bytes(old_parameters, offset, width).value_or("");
}

std::string text_value(const std::string &field_bytes) {
  return field_bytes.substr(0, field_bytes.find('\0'));
}

std::optional<SourceParameters>
read_source_parameters(const File &staging, std::int64_t record_length,
                       const File &old_parameters) {
  bool read_failed = false;
  auto bits_at = [&](std::int64_t offset) {
    std::optional<std::uint32_t> bits =
        read_field_bits(staging, record_length, offset);
    read_failed |= !bits;
    return bits.value_or(0);
  };
  auto int_at = [&](std::int64_t offset) {
    return std::bit_cast<std::int32_t>(bits_at(offset));
  };
  auto float_at = [&](std::int64_t offset) {
    return std::bit_cast<float>(bits_at(offset));
  };
  auto text_at = [&](std::int64_t offset, std::int64_t width) {
    std::optional<std::string> bytes =
        read_text_bytes(old_parameters, offset, width);
    read_failed |= !bytes;
    return bytes.value_or("");
  };
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
  if (read_failed)
    return std::nullopt;
  return p;
}

} // namespace parvane
