// The derived numbers of the SCALA parameter file.
//
// Files converted earlier were computed on a machine whose arithmetic rounds
// every operation to a 64-bit significand (x87 extended precision) and stores
// printed values as single precision. To print the same digits, every
// function here performs the same operations in `long double` (that very
// format on this platform) and rounds to float exactly where the earlier
// computation stored a float. Arithmetic faults give IEEE results: an
// overflow gives an infinity, 0/0 or 0 * infinity a not-a-number; nothing
// traps and nothing stops the conversion.
#pragma once

#include <cstdint>
#include <limits>

namespace parvane {

static_assert(std::numeric_limits<long double>::digits == 64,
              "the parameter file arithmetic needs x87 extended precision");
static_assert(std::numeric_limits<float>::is_iec559,
              "the parameter file arithmetic needs IEEE single precision");

// The extended number nearest to one tenth (a little above 0.1).
inline constexpr long double TENTH = 0.1L;

// float(value * TENTH): the "× 0.1" of sizes and increments.
float tenth(float value);

// The topographic channels. The forward limits scale z_resolution in one
// extended-precision chain; the backward limits scale the already rounded
// resolution, so they can differ from their forward twins in the last digit.
float forward_minimum(float z_resolution);  // float((-32767 * z) * TENTH)
float forward_maximum(float z_resolution);  // float((32766 * z) * TENTH)
float topography_resolution(float z_resolution); // r = tenth(z)
float backward_minimum(float z_resolution); // float(-32767 * r)
float backward_maximum(float z_resolution); // float(32766 * r)

// field_x_size / 10 / (line_timing * image_size_x), rounded to float after
// each step: p = float(exact product), q = float(1 / p),
// h = float(field_x_size * q), speed = tenth(h).
float scan_speed(std::int32_t line_timing, std::int32_t image_size_x,
                 float field_x_size);

// tenth(float(z_speed)).
float z_speed_tenth(std::int32_t z_speed);

// Half of the integer, rounded to float.
float spectroscopy_point_time(std::int32_t raw);

} // namespace parvane
