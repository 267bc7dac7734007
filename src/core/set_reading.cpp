#include "core/set_reading.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <iterator>
#include <optional>
#include <utility>

#include "core/number_format.h"
#include "core/parameter_arithmetic.h"

namespace parvane {
namespace {

// Every field of the record, read directly from it (numbers big-endian): the
// same values as the conversion reads through its staging copy, without
// leaving a staging file beside the sources. A field the record does not hold
// in full reads as 0, a text field as the bytes it has; `bytes_read` says how
// many there were, for the set to judge, and `cut` whether the read ended
// before the end the record had when it began.
struct RecordRead {
  SourceParameters parameters;
  std::int64_t bytes_read = 0;
  bool cut = false;
};

std::optional<RecordRead> read_record_fields(const File &record) {
  const std::int64_t size = record.size();
  std::array<std::uint8_t, RECORD_EXTENT> bytes{};
  const std::optional<std::size_t> got = record.read_at(0, bytes);
  if (!got)
    return std::nullopt;
  const auto length = static_cast<std::int64_t>(*got);
  auto bits = [&](std::int64_t offset) -> std::uint32_t {
    if (offset > length - 4)
      return 0;
    const auto *b = &bytes[static_cast<std::size_t>(offset)];
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 |
           std::uint32_t{b[2]} << 8 | b[3];
  };
  auto int_at = [&](std::int64_t o) { return std::bit_cast<std::int32_t>(bits(o)); };
  auto float_at = [&](std::int64_t o) { return std::bit_cast<float>(bits(o)); };
  auto text_at = [&](std::int64_t offset, std::int64_t width) {
    const std::int64_t end = std::min(offset + width, length);
    return offset >= end ? std::string()
                         : std::string(bytes.begin() + offset, bytes.begin() + end);
  };
  return RecordRead{assemble_source_parameters(int_at, float_at, text_at),
                    length, length < std::min(size, RECORD_EXTENT)};
}

SetResult failure(SetStatus status, std::string file, std::string reason) {
  return {status, std::move(file), std::move(reason)};
}

// Physical values are never invented: a source shorter than the conversion
// reads, as the conversion judges it, fails the set unless the caller asked
// for a short set (and then fills what is missing itself).
SetResult short_source(const File &source, const std::string &name,
                       const SourceExtent &extent, ShortSources short_sources) {
  if (short_sources == ShortSources::Allow || extent.held_by(source.size()))
    return {};
  return failure(SetStatus::ShortSource, name,
                 "holds " + format_int(source.size()) + " bytes, the set needs " +
                     (extent.beyond_range ? std::string("more than that")
                                          : format_int(extent.bytes)));
}

} // namespace

SetResult read_physical_set(const SetFiles &files,
                            const CurrentCalibration &current,
                            ShortSources short_sources, PhysicalSet &set) {
  const std::optional<RecordRead> read = read_record_fields(*files.record);
  if (!read) {
    const std::error_code error = files.record->failure();
    return failure(SetStatus::ReadFailed, files.record_name,
                   error ? describe(error) : std::string("the system gave no reason"));
  }
  // Fields of a record cut while it was read are no values of the source.
  if (read->cut)
    return failure(SetStatus::EndedWhileRead, files.record_name,
                   "ended at " + format_int(files.record->size()) +
                       " bytes while being read; the set needs " +
                       format_int(RECORD_EXTENT));
  const SourceParameters &p = set.p = read->parameters;
  const SetLayout &layout = set.layout =
      set_layout(p, files.spectroscopy != nullptr);
  set.x = layout.x;
  set.y = layout.y;
  set.dual = layout.dual;
  set.current = current;
  if (!layout.has_image())
    return failure(SetStatus::NoImage, files.record_name,
                   "the record gives an image size of " + format_int(set.x) +
                       " x " + format_int(set.y) + " pixels: no image to export");

  // The image limits and field sizes as the parameter file prints them.
  const float limits[] = {forward_minimum(p.z_resolution),
                          forward_maximum(p.z_resolution),
                          backward_minimum(p.z_resolution),
                          backward_maximum(p.z_resolution)};
  if (!std::all_of(std::begin(limits), std::end(limits),
                   [](float v) { return std::isfinite(v); }))
    return failure(SetStatus::NotFinite, files.record_name,
                   "the z resolution gives a topography scale that is not a "
                   "finite number");
  const float field_x = tenth(p.field_x_size), field_y = tenth(p.field_y_size);
  set.xreal = std::isfinite(field_x) ? std::fabs(printed(field_x)) * NANO : 0;
  set.yreal = std::isfinite(field_y) ? std::fabs(printed(field_y)) * NANO : 0;
  if (!(set.xreal > 0 && std::isfinite(set.xreal) && set.yreal > 0 &&
        std::isfinite(set.yreal)))
    return failure(SetStatus::NotFinite, files.record_name,
                   "the field size (" + format_float(field_x) + " x " +
                       format_float(field_y) +
                       " nm) is not a finite size above zero");

  const SourceExtents &extents = set.extents = layout.extents();
  if (SetResult r = short_source(*files.record, files.record_name,
                                 extents.record, short_sources);
      !r.ok())
    return r;
  if (short_sources == ShortSources::Refuse &&
      read->bytes_read < extents.record.bytes)
    return failure(SetStatus::EndedWhileRead, files.record_name,
                   "ended at " + format_int(files.record->size()) +
                       " bytes while being read; the set needs " +
                       format_int(extents.record.bytes));

  for (const SetChannel &channel : layout.channels) {
    if (channel.kind != ChannelKind::Topography)
      continue;
    const int d = static_cast<int>(channel.direction);
    if (!channel.block)
      return failure(SetStatus::TooLarge, files.record_name,
                     "the image size is too large for a GWY file");
    set.images.push_back(
        {files.topography, *channel.block,
         tiles::topography_physical(limits[2 * d], limits[2 * d + 1])});
  }
  if (SetResult r = short_source(*files.topography, files.topography_name,
                                 extents.topography, short_sources);
      !r.ok())
    return r;

  // The volumes; a direction without points has none.
  if (files.spectroscopy == nullptr)
    return {};
  for (const SetChannel &channel : layout.channels) {
    if (channel.kind != ChannelKind::Spectroscopy || channel.points <= 0)
      continue;
    const bool forward = channel.direction == Direction::Forward;
    SetVolume v;
    v.direction = channel.direction;
    v.points = channel.points;
    v.start = forward ? p.spec_start_forward : p.spec_start_backward;
    v.end = forward ? p.spec_end_forward : p.spec_end_backward;
    if (!std::isfinite(v.start) || !std::isfinite(v.end))
      return failure(SetStatus::NotFinite, files.record_name,
                     "the " + std::string(forward ? "forward" : "backward") +
                         " bias sweep (" + format_float(v.start) + " to " +
                         format_float(v.end) + " V) is not finite");
    if (!channel.block)
      return failure(SetStatus::TooLarge, files.record_name,
                     "the spectroscopy grid is too large for a GWY file");
    v.plane = {files.spectroscopy, *channel.block,
               tiles::current_physical(current.full_scale)};
    set.volumes.push_back(v);
  }
  return short_source(*files.spectroscopy, files.spectroscopy_name,
                      extents.spectroscopy, short_sources);
}

} // namespace parvane
