#include "core/set_layout.h"

#include <initializer_list>
#include <limits>
#include <optional>

#include "core/file_io.h"

namespace parvane {
namespace {

// The product of the factors, or nullopt when it does not fit in int64.
std::optional<std::int64_t>
product(std::initializer_list<std::int64_t> factors) {
  std::int64_t result = 1;
  for (std::int64_t factor : factors)
    if (__builtin_mul_overflow(result, factor, &result))
      return std::nullopt;
  return result;
}

SourceExtent extent_of(std::optional<std::int64_t> bytes) {
  if (!bytes)
    return {0, true};
  return {*bytes, false};
}

// The larger end; an end beyond range is the larger.
SourceExtent farther(const SourceExtent &a, const SourceExtent &b) {
  if (a.beyond_range || b.beyond_range)
    return {0, true};
  return a.bytes >= b.bytes ? a : b;
}

// The end of `planes` planes of X * Y samples from the start of the file;
// nothing when a size or the plane count is 0 or less.
SourceExtent planes_end(std::int32_t size_x, std::int32_t size_y,
                        std::int64_t planes) {
  if (size_x <= 0 || size_y <= 0 || planes <= 0)
    return {};
  return extent_of(product({SAMPLE_BYTES, planes, size_x, size_y}));
}

} // namespace

SourceExtents source_extents(const SourceParameters &parameters,
                             bool has_spectroscopy, bool dual_mode) {
  const std::int32_t x = parameters.image_size_x;
  const std::int32_t y = parameters.image_size_y;
  SourceExtents extents;
  extents.record = {RECORD_EXTENT, false};
  extents.topography = planes_end(x, y, dual_mode ? 2 : 1);
  if (has_spectroscopy) {
    // The forward block is P planes' worth of samples from the start; the
    // backward block, Pb planes' worth, starts Pb planes in, so it ends
    // 2 * Pb planes from the start.
    extents.spectroscopy = planes_end(x, y, parameters.spec_points_forward);
    if (dual_mode && parameters.spec_points_backward > 0)
      extents.spectroscopy = farther(
          extents.spectroscopy,
          planes_end(x, y, 2 * std::int64_t{parameters.spec_points_backward}));
  }
  return extents;
}

bool has_short_source(const SourceSizes &sizes, const SourceExtents &extents) {
  return !extents.record.held_by(sizes.record) ||
         !extents.topography.held_by(sizes.topography) ||
         !extents.spectroscopy.held_by(sizes.spectroscopy);
}

namespace {

std::string needed_text(const SourceExtent &extent) {
  return extent.beyond_range
             ? "more than " +
                   std::to_string(std::numeric_limits<std::int64_t>::max())
             : std::to_string(extent.bytes);
}

void report_if_short(const std::string &name, std::int64_t size,
                     const SourceExtent &extent, const char *consequence,
                     const Diagnostics &diagnostics) {
  if (extent.held_by(size))
    return;
  diagnostics.report(
      name, "holds " + std::to_string(size) + (size == 1 ? " byte" : " bytes") +
                ", the set needs " + needed_text(extent) + "; " + consequence);
}

} // namespace

void report_short_sources(const SetNames &names, const SourceSizes &sizes,
                          const SourceExtents &extents,
                          const Diagnostics &diagnostics) {
  report_if_short(
      names.old_parameters, sizes.record, extents.record,
      "the numbers it lacks were read as 0 and its texts stop where it ends",
      diagnostics);
  constexpr const char *SAMPLES =
      "the missing samples were written as the lowest value";
  report_if_short(names.old_topography, sizes.topography, extents.topography,
                  SAMPLES, diagnostics);
  report_if_short(names.old_spectroscopy, sizes.spectroscopy,
                  extents.spectroscopy, SAMPLES, diagnostics);
}

std::string spectroscopy_absence(const std::string &spectroscopy_path) {
  std::error_code ignored;
  return path_kind(spectroscopy_path, ignored) == PathKind::Missing
             ? "not found"
             : "is not a file";
}

void report_missing_spectroscopy(const std::string &spectroscopy_path,
                                 const std::string &absence,
                                 std::int32_t points_forward,
                                 const std::string &outcome,
                                 const std::vector<std::string> &earlier_outputs,
                                 const Diagnostics &diagnostics) {
  if (points_forward <= 0)
    return;
  std::string line = absence + "; the record announces " +
                     std::to_string(points_forward) + " points per pixel; " +
                     outcome;
  if (!earlier_outputs.empty()) {
    std::string names;
    for (const std::string &name : earlier_outputs)
      names += (names.empty() ? "" : " and ") + printable(name);
    line += "; " + names + " from an earlier conversion " +
            (earlier_outputs.size() == 1 ? "is left as it was"
                                         : "are left as they were");
  }
  diagnostics.report(spectroscopy_path, line);
}

void report_empty_spectroscopy_channels(const std::string &record_name,
                                        const SourceParameters &parameters,
                                        bool dual_mode,
                                        const Diagnostics &diagnostics) {
  auto report_if_empty = [&](std::int32_t points, const char *direction) {
    if (points > 0)
      return;
    diagnostics.report(record_name,
                       "the record gives " + std::to_string(points) +
                           " spectroscopy points per pixel (" + direction +
                           "); the parameter file describes an empty "
                           "spectroscopy channel, which some readers refuse");
  };
  report_if_empty(parameters.spec_points_forward, "forward");
  if (dual_mode)
    report_if_empty(parameters.spec_points_backward, "backward");
}

std::uint16_t sample_value(std::uint8_t high, std::uint8_t low) {
  return static_cast<std::uint16_t>(high << 8 | low);
}

std::array<std::uint8_t, 2> convert_sample(std::uint16_t u) {
  return {static_cast<std::uint8_t>((u >> 8) ^ 0x80),
          static_cast<std::uint8_t>(u & 0xFF)};
}

std::optional<SpectroscopyBlock> spectroscopy_block(std::int32_t size_x,
                                                    std::int32_t size_y,
                                                    std::int32_t point_count,
                                                    std::int32_t first_line) {
  // X * Y and Q * X are below 2^62; only products with a third factor can
  // overflow.
  const std::int64_t pixels = std::int64_t{size_x} * size_y;
  std::int64_t samples = 0;
  std::int64_t first_sample = 0;
  if (!product_fits(pixels, point_count, samples) ||
      !product_fits(std::int64_t{point_count} * size_x, first_line,
                    first_sample) ||
      !run_fits(first_sample, samples))
    return std::nullopt;
  return SpectroscopyBlock{pixels, point_count, first_sample};
}

} // namespace parvane
