// How many bytes a conversion reads from each source file of a set, and what
// the user is told when a source holds fewer or when there is no set at all.
//
// A set copied while the acquisition was still writing it, or cut short by a
// full disk, converts all the same: missing record fields read as 0 (texts
// end where the record ends) and missing samples read as zero bytes, so they
// become the lowest value. Whoever converts or exports a set decides from
// `source_extents` whether a source is short, so that every program of the
// project judges the same set alike.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/console.h"
#include "core/set_names.h"
#include "core/source_record.h"

namespace parvane {

// The bytes a conversion reads from one source: from its start up to the end
// of the last byte read. A damaged record can ask for more than any file
// holds, more than int64 can count: `beyond_range` then, and `bytes` is 0.
struct SourceExtent {
  std::int64_t bytes = 0;
  bool beyond_range = false;

  // True when a file of `size` bytes holds every byte the conversion reads.
  bool held_by(std::int64_t size) const {
    return !beyond_range && size >= bytes;
  }
  bool operator==(const SourceExtent &) const = default;
};

// The extents of one set's three sources, from X = `image_size_x`,
// Y = `image_size_y`, P = `spec_points_forward` and Pb = `spec_points_backward`
// as the conversion read them. A size or count of 0 or less makes its planes
// empty: nothing of them is read.
//
// - record ("tp"): 402 bytes whatever the set, up to the end of the user text,
//   the last field read.
// - topography ("tz"): the forward plane, X * Y samples from the start,
//   2 * X * Y bytes; with `dual_mode` the backward plane follows it, 4 * X * Y
//   bytes in all.
// - spectroscopy ("ts"): nothing without `has_spectroscopy`. The forward block
//   is P * X * Y samples from the start, 2 * P * X * Y bytes. With `dual_mode`
//   the backward block is taken to start at sample Pb * X * Y and holds
//   Pb * X * Y samples, so it ends at byte 4 * Pb * X * Y; when P differs from
//   Pb that is not where the forward block ends. The extent is the larger of
//   the two ends.
struct SourceExtents {
  SourceExtent record;
  SourceExtent topography;
  SourceExtent spectroscopy;
  bool operator==(const SourceExtents &) const = default;
};

// The size of a record that holds every field the conversion reads: the user
// text is the field that ends last.
inline constexpr std::int64_t RECORD_EXTENT =
    OFFSET_USER_TEXT + WIDTH_USER_TEXT;

// `has_spectroscopy` and `dual_mode` as the conversion decides them: "ts"
// opened as a regular file, and `forward_only` is 0.
SourceExtents source_extents(const SourceParameters &parameters,
                             bool has_spectroscopy, bool dual_mode);

// The sizes of the set's open sources, as `File::size` reports them before
// any sample is read; `spectroscopy` does not matter for a set without "ts".
struct SourceSizes {
  std::int64_t record = 0;
  std::int64_t topography = 0;
  std::int64_t spectroscopy = 0;
};

// True when a source holds fewer bytes than the set needs: exactly the sets
// whose conversion names a short file on standard error.
bool has_short_source(const SourceSizes &sizes, const SourceExtents &extents);

// One diagnostic line per source that holds fewer bytes than `extents` asks,
// saying how many it holds, how many the set needs, and what the conversion
// put in place of what is missing. Told once the set is converted, so that
// it never adds to the report of a set that failed; the sizes are those
// measured before converting.
void report_short_sources(const SetNames &names, const SourceSizes &sizes,
                          const SourceExtents &extents,
                          const Diagnostics &diagnostics);

// Why a set goes without spectroscopy, in the words of its warning: "not
// found" when there is no entry of that name at all, "is not a file" for a
// directory, a pipe or a device in its place.
std::string spectroscopy_absence(const std::string &spectroscopy_path);

// One diagnostic line for a set that went without spectroscopy although its
// record announces P > 0 points per pixel, nothing otherwise:
// "<ts>: <absence>; the record announces P points per pixel; <outcome>"
// ("converted without spectroscopy", "exported without spectroscopy"), and
// when spectroscopy files of an earlier conversion of the set remain beside
// the new ones, "; <names> from an earlier conversion is left as it was"
// (or "are left as they were"): they no longer belong to the set.
void report_missing_spectroscopy(const std::string &spectroscopy_path,
                                 const std::string &absence,
                                 std::int32_t points_forward,
                                 const std::string &outcome,
                                 const std::vector<std::string> &earlier_outputs,
                                 const Diagnostics &diagnostics);

// One diagnostic line per spectroscopy channel that the parameter file of a
// set with spectroscopy describes as empty: P <= 0, or Pb <= 0 in
// `dual_mode`. The files are as the set's record makes them, but some
// readers refuse a channel of no points.
void report_empty_spectroscopy_channels(const std::string &record_name,
                                        const SourceParameters &parameters,
                                        bool dual_mode,
                                        const Diagnostics &diagnostics);

// The bytes of one sample in every source and output file.
inline constexpr std::int64_t SAMPLE_BYTES = 2;

// The sample rule. Source samples are 16-bit unsigned, most significant
// byte first, with 32768 as the middle of the range; SCALA samples are 16-bit
// signed two's complement, also most significant byte first.

// The unsigned 16-bit value 256 * high + low.
std::uint16_t sample_value(std::uint8_t high, std::uint8_t low);

// The two bytes (high, then low) of the SCALA sample for source value u.
std::array<std::uint8_t, 2> convert_sample(std::uint16_t u);

// Overflow-checked arithmetic of sample positions: a damaged record may ask
// for positions no file can have.
inline bool product_fits(std::int64_t a, std::int64_t b, std::int64_t &product) {
  return !__builtin_mul_overflow(a, b, &product);
}
inline bool sum_fits(std::int64_t a, std::int64_t b, std::int64_t &sum) {
  return !__builtin_add_overflow(a, b, &sum);
}
// A sample index whose byte position (twice the index) is representable.
inline bool byte_position_fits(std::int64_t sample_index) {
  std::int64_t ignored = 0;
  return product_fits(sample_index, SAMPLE_BYTES, ignored);
}
// Whether every byte position of a run of `count` samples from index `first`
// on, including the position just past its end, fits in int64.
inline bool run_fits(std::int64_t first, std::int64_t count) {
  std::int64_t end = 0;
  return sum_fits(first, count, end) && byte_position_fits(first) &&
         byte_position_fits(end) && byte_position_fits(count);
}

// The samples of one plane set and where they live. Every sample index of the
// source run [first_sample, first_sample + pixels * points) and of the output
// [0, pixels * points), and twice each of them, fits in int64.
struct SpectroscopyBlock {
  std::int64_t pixels = 0;       // N = X * Y
  std::int64_t points = 0;       // Q, the point count
  std::int64_t first_sample = 0; // Q * X * first_line
};

// The block for X, Y, point count Q and first line F; nullopt when one of the
// byte positions it needs does not fit in int64. Sizes must be positive.
std::optional<SpectroscopyBlock> spectroscopy_block(std::int32_t size_x,
                                                    std::int32_t size_y,
                                                    std::int32_t point_count,
                                                    std::int32_t first_line);

// Sample index in the source file of point `point` of pixel `pixel`
// (pixel = X * h + i).
inline std::int64_t source_sample(const SpectroscopyBlock &block,
                                  std::int64_t pixel, std::int64_t point) {
  return block.first_sample + pixel * block.points + point;
}

// Sample index in the plane set of the same sample: plane `point`, position
// `pixel` within the plane.
inline std::int64_t output_sample(const SpectroscopyBlock &block,
                                  std::int64_t pixel, std::int64_t point) {
  return point * block.pixels + pixel;
}

} // namespace parvane
