// What a SCALA set's samples mean in physical units, as a SCALA reader
// (Gwyddion) computes them from the parameter file and the sample files: the
// numbers as the file prints them, the scale of each channel, the value of a
// sample and the bias of a spectroscopy level. Every output that gives
// physical values takes them from here, so that each shows what the SCALA
// route shows.
#pragma once

#include <cstdint>

namespace parvane {

inline constexpr double NANO = 1e-9; // nm to m, nA to A

// A number as the parameter file prints it, read back as Gwyddion reads it.
// Only for finite values (the file prints the others as "+INF" and the like).
double printed(float value);

// The raw and physical ranges that the parameter file states for its
// channels, from which Gwyddion scales the SCALA samples: physical = raw *
// (maximum - minimum) / (maximum raw - minimum raw), in the channel's unit.
// The topographic limits are computed from the record; the spectroscopy ones
// are 0 to the current's full scale over 0 to 32768.
inline constexpr double TOPOGRAPHY_RAW_MINIMUM = -32767;
inline constexpr double TOPOGRAPHY_RAW_MAXIMUM = 32766;
inline constexpr double SPECTROSCOPY_RAW_MAXIMUM = 32768;

// Physical value per raw unit of a topography channel whose limits the
// parameter file prints as these numbers, in nanometres.
double topography_scale(float minimum, float maximum);

// The current's calibration, the one physical input the record lacks: the
// current at the top of the converted samples' range. The converter fixes
// 50 nA (its parameter file always states that); a user who knows the
// amplifier's range sets another for the physical values.
inline constexpr double DEFAULT_CURRENT_FULL_SCALE = 5e-8; // amperes
struct CurrentCalibration {
  double full_scale = DEFAULT_CURRENT_FULL_SCALE;
  bool set_by_user = false;
};

// The one formula for the current: amperes per step of the SCALA sample,
// the full scale over 32768; a sample's current is that times the sample
// read as signed.
inline double current_scale(double full_scale) {
  return full_scale / SPECTROSCOPY_RAW_MAXIMUM;
}

// The conversion makes the SCALA sample of a source value by flipping its
// top bit (the middle of the range, 32768, becomes 0); these are the bits it
// flips: the SCALA sample of 0.
std::uint16_t flipped_bits();

// The physical value of source sample value `u`: the SCALA sample the
// conversion writes for it, read as signed, times the channel's scale, then
// times `unit`. The topography is computed as Gwyddion computes it from the
// SCALA set (raw times the scale in the file's nm, then NANO); the current
// has its scale in amperes and a unit of 1, which leaves the product as it
// is. Computed, not looked up: a table of 64 Ki doubles is read at random
// and costs more than the multiplications.
inline double physical_value(std::uint16_t u, std::uint16_t flip, double scale,
                             double unit) {
  return (scale * static_cast<std::int16_t>(u ^ flip)) * unit;
}

// The bias in volts of level k of a sweep of `points` levels from `start` to
// `end` (the record's values): start + k * (end - start) / (points - 1), the
// start alone for one point.
double bias_level(std::int32_t points, float start, float end, std::int64_t k);

} // namespace parvane
