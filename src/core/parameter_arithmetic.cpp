#include "core/parameter_arithmetic.h"

// Reassociating or contracting these expressions changes printed digits.
// Contraction cannot happen on x87 operands (there is no fused operation) and
// ISO mode turns it off anyway; reassociation needs -ffast-math, refused here.
#if defined(__FAST_MATH__)
#error "the parameter file arithmetic must not be built with -ffast-math"
#endif

namespace parvane {

namespace {

float to_float(long double value) { return static_cast<float>(value); }

} // namespace

float tenth(float value) {
  return to_float(static_cast<long double>(value) * TENTH);
}

float forward_minimum(float z_resolution) {
  return to_float((-32767.0L * z_resolution) * TENTH);
}

float forward_maximum(float z_resolution) {
  return to_float((32766.0L * z_resolution) * TENTH);
}

float topography_resolution(float z_resolution) { return tenth(z_resolution); }

float backward_minimum(float z_resolution) {
  return to_float(-32767.0L * topography_resolution(z_resolution));
}

float backward_maximum(float z_resolution) {
  return to_float(32766.0L * topography_resolution(z_resolution));
}

float scan_speed(std::int32_t line_timing, std::int32_t image_size_x,
                 float field_x_size) {
  // The product of two int32 is exact in int64; converting it to float
  // rounds it once, to nearest.
  const float p = static_cast<float>(static_cast<std::int64_t>(line_timing) *
                                     image_size_x);
  const float q = to_float(1.0L / p);
  const float h = to_float(static_cast<long double>(field_x_size) * q);
  return tenth(h);
}

float z_speed_tenth(std::int32_t z_speed) {
  return tenth(static_cast<float>(z_speed));
}

float spectroscopy_point_time(std::int32_t raw) {
  return to_float(static_cast<long double>(raw) * 0.5L);
}

} // namespace parvane
