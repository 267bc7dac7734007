// A set's layout: its channels, where each one's samples lie in its source
// and in its output, how many bytes each source must hold, and what the user
// is told when a source holds fewer or when there is no set at all.
//
// A set copied while the acquisition was still writing it, or cut short by a
// full disk, converts all the same: missing record fields read as 0 (texts
// end where the record ends) and missing samples read as zero bytes, so they
// become the lowest value. Whoever converts or exports a set decides from
// its layout's extents whether a source is short, so that every program of
// the project judges the same set alike.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/console.h"
#include "core/file_io.h"
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

// The extents of one set's three sources: from its start up to the end of
// the last byte the set's channels read, the record's up to the end of the
// user text, the last field read.
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

enum class ChannelKind { Topography, Spectroscopy };
enum class Direction { Forward, Backward };

// The samples of one plane set and where they live. Every sample index of the
// source run [first_sample, first_sample + pixels * points) and of the output
// [0, pixels * points), and twice each of them, fits in int64.
struct SpectroscopyBlock {
  std::int64_t pixels = 0;       // N = X * Y
  std::int64_t points = 0;       // Q, the point count
  std::int64_t first_sample = 0; // Q * X * first_line
  // The bytes the block takes in its source.
  std::int64_t source_bytes() const;
};

// One channel of a set: `points` planes of X * Y samples, from the source's
// lines `first_line` to `first_line` + Y - 1, each pixel's points side by
// side. Topography has 1 point per pixel, its backward plane following the
// forward one. Spectroscopy has P points forward, from the start of "ts", and
// Pb backward, taken to start at line Y, that is at sample Pb * X * Y: when P
// differs from Pb that is not where the forward block ends.
struct SetChannel {
  ChannelKind kind = ChannelKind::Topography;
  Direction direction = Direction::Forward;
  std::int32_t points = 1;
  std::int32_t first_line = 0;
  bool empty = false; // X, Y or `points` is 0 or less: nothing is read
  // Its first sample in the source, points * X * first_line (0 when it is
  // empty or that does not fit in int64).
  std::int64_t first_sample = 0;
  // Its samples, from `first_sample` in the source and from 0 in its output
  // (each channel has an output file, or a GWY object, of its own);
  // nullopt when it is empty or a byte position does not fit in int64.
  std::optional<SpectroscopyBlock> block;

  // The end of the bytes the channel reads from its source.
  SourceExtent extent() const;
};

// A set as its record lays it out, for every program of the project alike;
// each judges it in its own way. The conversion writes every channel, also
// one of 0 points or less, and accepts an image size of 0 or less (its planes
// are then empty); the export refuses an image size of 0 or less and leaves
// out a spectroscopy channel without points.
struct SetLayout {
  std::int32_t x = 0, y = 0; // `image_size_x`, `image_size_y`
  bool dual = false;         // `forward_only` is 0: backward channels too
  bool spectroscopy = false; // "ts" opened as a regular file
  // Topography forward and (dual) backward, then (with spectroscopy)
  // spectroscopy forward and (dual) backward: the order in which the
  // conversion writes them and the export stores them.
  std::vector<SetChannel> channels;

  bool has_image() const { return x > 0 && y > 0; }
  // The bytes the set reads from each source: its channels' farthest end.
  SourceExtents extents() const;
};

SetLayout set_layout(const SourceParameters &parameters,
                     bool has_spectroscopy);

// ---------------------------------------------------------------------------
// The set's sources

// Whether `path` is a file a set counts as present: a regular file (or a link
// to one), also one that cannot be opened, whose set then fails with the
// reason. A name with no entry, a directory, a pipe or a device is none. So
// the walk and the export tell a set's record, and the conversion the outputs
// of an earlier conversion.
bool is_set_file(const std::string &path);

// One source of a set as opened; `file` is nullopt when it was not opened
// (`error` then says why, unless an earlier source stopped the opening), and
// `identity` when the system cannot tell which file it is.
struct OpenedSource {
  std::optional<File> file;
  std::optional<FileIdentity> identity;
  std::error_code error;
};

// The sources of one set, opened read-only in the order record, topography,
// spectroscopy; the first that cannot be opened stops the opening. Only a
// spectroscopy file that is not there at all (see `is_set_file`) means a set
// without spectroscopy, told by `spectroscopy_absence` ("not found", "is not
// a file"): one that exists but cannot be opened fails the set rather than
// having it go without its curves.
struct SetSources {
  OpenedSource record, topography, spectroscopy;
  std::string spectroscopy_absence;

  // The source whose opening failed the set, with its name among `names`;
  // none when the set's sources are open.
  struct Failure {
    const OpenedSource *source;
    const std::string *name;
  };
  std::optional<Failure> failed(const SetNames &names) const {
    for (const Failure f : {Failure{&record, &names.old_parameters},
                            Failure{&topography, &names.old_topography},
                            Failure{&spectroscopy, &names.old_spectroscopy}})
      if (!f.source->file &&
          (f.source != &spectroscopy || spectroscopy_absence.empty()))
        return f;
    return std::nullopt;
  }
};

// The sources of the set `names` names, in `directory` (a prefix of file
// names: empty for the working directory).
SetSources open_set_sources(const std::string &directory,
                            const SetNames &names);

// `directory` as a prefix of file names in it. The working directory's "."
// adds nothing, so that the names printed are the ones a user would type.
std::string directory_prefix(const std::string &directory);

// Which file `path` opens; nullopt when it opens none.
std::optional<FileIdentity> identity_at(const std::string &path);

// Which file of a set the base name `base` of `path` is: "tp", "tz" or
// "ts", the kind in lower case, followed by the file number; nothing when
// it is none. A name in other letter case (TP12, as FAT keeps names) counts
// where it opens the same file as the name in lower case, as on a system
// that ignores case in names.
std::optional<std::string> set_file_kind(const std::string &path,
                                         std::string_view base);

// The file numbers of every set of `directory` whose record tp<n> (n decimal
// digits) is a file, also one listed in other letter case, in numeric order:
// by value, then the shorter first (7 before 07 before 007). The sets a
// whole-directory run takes, for every program that offers one; the error
// of a directory that cannot be listed.
std::error_code find_set_numbers(const std::string &directory,
                                 std::vector<std::string> &numbers);

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

// One diagnostic line per spectroscopy channel of `layout` of 0 points or
// less, which the parameter file describes as empty. The files are as the
// set's record makes them, but some readers refuse a channel of no points.
void report_empty_spectroscopy_channels(const std::string &record_name,
                                        const SetLayout &layout,
                                        const Diagnostics &diagnostics);

// The bytes of one sample in every source and output file.
inline constexpr std::int64_t SAMPLE_BYTES = 2;

inline std::int64_t SpectroscopyBlock::source_bytes() const {
  return pixels * points * SAMPLE_BYTES;
}

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
