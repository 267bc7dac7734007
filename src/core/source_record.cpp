#include "core/source_record.h"

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
  SourceParameters p = assemble_source_parameters(int_at, float_at, text_at);
  if (read_failed)
    return std::nullopt;
  return p;
}

} // namespace parvane
