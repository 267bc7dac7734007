#include "convert/sample_planes.h"

namespace parvane {

std::uint16_t sample_value(std::uint8_t high, std::uint8_t low) {
  return static_cast<std::uint16_t>(high << 8 | low);
}

std::array<std::uint8_t, 2> convert_sample(std::uint16_t u) {
  return {static_cast<std::uint8_t>((u >> 8) ^ 0x80),
          static_cast<std::uint8_t>(u & 0xFF)};
}

// Placeholder until the planes are converted: writes nothing.
bool copy_topography_plane(const File &, std::int64_t, File &, std::int32_t,
                           std::int32_t) {
  return true;
}

bool copy_spectroscopy_planes(const File &, File &, std::int32_t, std::int32_t,
                              std::int32_t, std::int32_t) {
  return true;
}

} // namespace parvane
