#include "core/set_layout.h"

#include <limits>
#include <vector>
#include <string_view>
#include <filesystem>
#include <algorithm>
#include <optional>

#include "core/file_io.h"

namespace parvane {

SourceExtent SetChannel::extent() const {
  if (empty)
    return {};
  if (!block)
    return {0, true};
  // The block's positions, twice each, fit: so does the byte of its end.
  return {(block->first_sample + block->pixels * block->points) * SAMPLE_BYTES,
          false};
}

SetLayout set_layout(const SourceParameters &parameters,
                     bool has_spectroscopy) {
  SetLayout layout;
  layout.x = parameters.image_size_x;
  layout.y = parameters.image_size_y;
  layout.dual = parameters.forward_only == 0;
  layout.spectroscopy = has_spectroscopy;
  auto add = [&](ChannelKind kind, Direction direction, std::int32_t points) {
    const std::int32_t first_line =
        direction == Direction::Forward ? 0 : layout.y;
    SetChannel channel{kind, direction, points, first_line,
                       !layout.has_image() || points <= 0, 0, std::nullopt};
    if (!channel.empty) {
      if (!product_fits(std::int64_t{points} * layout.x, first_line,
                        channel.first_sample))
        channel.first_sample = 0;
      channel.block =
          spectroscopy_block(layout.x, layout.y, points, first_line);
    }
    layout.channels.push_back(channel);
  };
  add(ChannelKind::Topography, Direction::Forward, 1);
  if (layout.dual)
    add(ChannelKind::Topography, Direction::Backward, 1);
  if (has_spectroscopy) {
    add(ChannelKind::Spectroscopy, Direction::Forward,
        parameters.spec_points_forward);
    if (layout.dual)
      add(ChannelKind::Spectroscopy, Direction::Backward,
          parameters.spec_points_backward);
  }
  return layout;
}

SourceExtents SetLayout::extents() const {
  SourceExtents extents;
  extents.record = {RECORD_EXTENT, false};
  for (const SetChannel &channel : channels) {
    SourceExtent &end = channel.kind == ChannelKind::Topography
                            ? extents.topography
                            : extents.spectroscopy;
    const SourceExtent next = channel.extent();
    // An end beyond range is the larger.
    if (end.beyond_range || next.beyond_range)
      end = {0, true};
    else if (next.bytes > end.bytes)
      end = next;
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

bool is_set_file(const std::string &path) {
  std::error_code error;
  return File::open_source(path, error).has_value() ||
         !names_no_source(path, error);
}

namespace {

// Opens one source and tells which file it is; false when it did not open.
bool open_into(OpenedSource &source, const std::string &path) {
  source.file = File::open_source(path, source.error);
  if (source.file)
    source.identity = source.file->identity();
  return source.file.has_value();
}

} // namespace

SetSources open_set_sources(const std::string &directory,
                            const SetNames &names) {
  SetSources sources;
  if (!open_into(sources.record, directory + names.old_parameters) ||
      !open_into(sources.topography, directory + names.old_topography))
    return sources;
  const std::string spectroscopy = directory + names.old_spectroscopy;
  if (!open_into(sources.spectroscopy, spectroscopy) &&
      names_no_source(spectroscopy, sources.spectroscopy.error)) {
    std::error_code ignored;
    sources.spectroscopy_absence =
        path_kind(spectroscopy, ignored) == PathKind::Missing
            ? "not found"
            : "is not a file";
  }
  return sources;
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
                                        const SetLayout &layout,
                                        const Diagnostics &diagnostics) {
  for (const SetChannel &channel : layout.channels)
    if (channel.kind == ChannelKind::Spectroscopy && channel.points <= 0)
      diagnostics.report(
          record_name,
          "the record gives " + std::to_string(channel.points) +
              " spectroscopy points per pixel (" +
              (channel.direction == Direction::Forward ? "forward"
                                                       : "backward") +
              "); the parameter file describes an empty spectroscopy "
              "channel, which some readers refuse");
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

// ---------------------------------------------------------------------------
// The sets of a directory

namespace {

bool same_file(const std::string &a, const std::string &b) {
  const std::optional<FileIdentity> identity = identity_at(a);
  return identity && identity == identity_at(b);
}

// Numeric order of file numbers of any length: by value, then the shorter
// first (7 before 07 before 007).
bool numerically_before(const std::string &a, const std::string &b) {
  const std::string_view value_a =
      std::string_view(a).substr(std::min(a.find_first_not_of('0'), a.size()));
  const std::string_view value_b =
      std::string_view(b).substr(std::min(b.find_first_not_of('0'), b.size()));
  if (value_a.size() != value_b.size())
    return value_a.size() < value_b.size();
  if (value_a != value_b)
    return value_a < value_b;
  return a.size() < b.size();
}

} // namespace

std::string directory_prefix(const std::string &directory) {
  if (directory.empty() || directory == ".")
    return {};
  if (is_directory_separator(directory.back()))
    return directory;
  return directory + static_cast<char>(std::filesystem::path::preferred_separator);
}

std::optional<FileIdentity> identity_at(const std::string &path) {
  std::error_code ignored;
  const std::optional<File> file = File::open_source(path, ignored);
  return file ? file->identity() : std::nullopt;
}

std::optional<std::string> set_file_kind(const std::string &path,
                                         std::string_view base) {
  if (base.size() <= 2)
    return std::nullopt;
  std::string kind(base.substr(0, 2));
  for (char &c : kind)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  if (std::find(std::begin(SOURCE_PREFIXES), std::end(SOURCE_PREFIXES),
                kind) == std::end(SOURCE_PREFIXES))
    return std::nullopt;
  if (base.starts_with(kind) ||
      same_file(path, path.substr(0, path.size() - base.size()) + kind +
                          std::string(base.substr(2))))
    return kind;
  return std::nullopt;
}

std::error_code find_set_numbers(const std::string &directory,
                                 std::vector<std::string> &numbers) {
  std::vector<std::string> names;
  if (std::error_code error = list_directory(directory, names))
    return error;
  const std::string prefix = directory_prefix(directory);
  for (const std::string &name : names) {
    const std::string number = name.substr(std::min<std::size_t>(2, name.size()));
    if (!is_decimal(number))
      continue;
    // The kind is told by opening the file only for names in other case.
    const std::string_view record_prefix = SOURCE_PREFIXES[0];
    if (name.starts_with(record_prefix)
            ? is_set_file(prefix + name)
            : set_file_kind(prefix + name, name) == record_prefix)
      numbers.push_back(number);
  }
  std::sort(numbers.begin(), numbers.end(), numerically_before);
  return {};
}

} // namespace parvane
