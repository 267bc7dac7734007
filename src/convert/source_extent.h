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

#include <cstdint>
#include <string>
#include <vector>

#include "convert/console.h"
#include "convert/set_names.h"
#include "convert/source_record.h"

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

// One diagnostic line for a walk over file numbers that found no record at
// all: which "tp" names it probed (start + 1 up to limit + 1, never past the
// largest int) and in which directory, since running the converter from the
// wrong directory is the usual cause. A start already past the limit probes
// nothing, and the line says so instead.
void report_no_set_found(std::int32_t start, std::int32_t limit,
                         const Diagnostics &diagnostics);

} // namespace parvane
