#include "export/gwy_export.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/version.h"
#include "core/interruption.h"
#include "core/number_format.h"
#include "core/parameter_arithmetic.h"
#include "core/physical_model.h"
#include "core/scala_settings.h"
#include "core/set_layout.h"
#include "core/set_reading.h"
#include "core/setting_attributes.h"
#include "core/source_record.h"
#include "core/tile_pipeline.h"
#include "export/gwy_writer.h"

namespace parvane {
namespace {

// ---------------------------------------------------------------------------
// The set, read by the core with every check before a sample is read
// (core/set_reading.h); the export refuses every short source.

using SetPlan = PhysicalSet;

ExportResult failure(ExportStatus status, std::string file, std::string reason) {
  return {status, std::move(file), std::move(reason)};
}

// A source cut while the export reads it (by a program that syncs or deletes
// the copy) ends the set here, with the size the source has now.
ExportResult ended_while_read(const File &source, const std::string &name,
                              std::int64_t needed) {
  return failure(ExportStatus::EndedWhileRead, name,
                 "ended at " + format_int(source.size()) +
                     " bytes while being read; the set needs " +
                     format_int(needed));
}

// Why an operation on `file` failed, in the system's words (or the file
// layer's own), as the conversion tells it.
std::string failure_reason(const File &file) {
  const std::error_code error = file.failure();
  return error ? describe(error) : std::string("the system gave no reason");
}

ExportResult read_failed(const File &source, const std::string &name) {
  return failure(ExportStatus::ReadFailed, name, failure_reason(source));
}

// The output's own failures name no source.
ExportResult write_failed(const File &out) {
  return failure(ExportStatus::WriteFailed, "", failure_reason(out));
}

ExportResult plan_set(const ExportSources &sources, SetPlan &plan) {
  return read_physical_set({sources.record, sources.topography,
                            sources.spectroscopy, sources.record_name,
                            sources.topography_name, sources.spectroscopy_name},
                           sources.current, ShortSources::Refuse, plan);
}

// ---------------------------------------------------------------------------
// Metadata: every setting the parameter file states, marked by its origin.

std::string source_note(const std::string &name, const File *file) {
  return name + ", " + format_int(file->size()) + " bytes";
}

// The metadata rows that name the sources and their sizes, as an export of
// them now writes them.
std::vector<std::pair<std::string, std::string>>
source_rows(const ExportSources &sources) {
  std::vector<std::pair<std::string, std::string>> rows;
  rows.emplace_back("Source parameter record",
                    source_note(sources.record_name, sources.record));
  rows.emplace_back("Source topography",
                    source_note(sources.topography_name, sources.topography));
  if (sources.spectroscopy != nullptr)
    rows.emplace_back(
        "Source spectroscopy",
        source_note(sources.spectroscopy_name, sources.spectroscopy));
  return rows;
}

gwy::Object metadata(const ExportSources &sources, const SetPlan &plan) {
  gwy::Object meta{"GwyContainer", {}};
  const bool has_spectroscopy = sources.spectroscopy != nullptr;
  const SetFacts set{plan.p,    sources.file_number, plan.x,
                     plan.y,    plan.dual,           has_spectroscopy,
                     plan.current};
  // What the record says comes first, what the converter fills in after
  // it; a setting that holds no measured value is left out, as its label
  // would claim one.
  for (const bool fixed : {false, true})
    for (const Setting &row : SCALA_SETTINGS) {
      if (row.key.empty() || !set.has(row) ||
          (set.origin(row) == Origin::Fixed) != fixed)
        continue;
      if (const SettingAttribute *attribute = setting_attribute(row.key);
          attribute != nullptr && !attribute->meaningful)
        continue;
      std::string value = setting_value(row, set, printable_ascii);
      if (!row.unit.empty()) {
        value += ' ';
        value += row.unit;
      }
      if (!value.empty())
        value += ' ';
      value += origin_mark(set.origin(row));
      meta.add(gwy::Component::string(std::string(row.key), std::move(value)));
    }
  meta.add(gwy::Component::string("Exported by",
                                  std::string(EXPORT_PROGRAM) + " " + PARVANE_VERSION));
  for (auto &[key, value] : source_rows(sources))
    meta.add(gwy::Component::string(std::move(key), std::move(value)));
  return meta;
}

// ---------------------------------------------------------------------------
// The objects

gwy::Object unit(std::string text) {
  return gwy::Object{"GwySIUnit", {}}.add(
      gwy::Component::string("unitstr", std::move(text)));
}

gwy::Object data_field(const SetPlan &plan, int stream) {
  gwy::Object field{"GwyDataField", {}};
  field.add(gwy::Component::int32("xres", plan.x))
      .add(gwy::Component::int32("yres", plan.y))
      .add(gwy::Component::float64("xreal", plan.xreal))
      .add(gwy::Component::float64("yreal", plan.yreal))
      .add(gwy::Component::object("si_unit_xy", unit("m")))
      .add(gwy::Component::object("si_unit_z", unit("m")))
      .add(gwy::Component::streamed(
          "data", std::int64_t{plan.x} * plan.y, stream));
  return field;
}

// Level k of a volume sits at the record's bias for point k. Gwyddion takes
// the levels' positions from this calibration line; the z extent it would
// use without one cannot describe a sweep from high to low bias. The line has
// a value per level, as many as the volume has points: it is streamed into
// the file like the samples, never held.
gwy::Object brick(const SetPlan &plan, const SetVolume &v, int stream,
                  int calibration_stream) {
  const double first = bias_level(v.points, v.start, v.end, 0),
               last = bias_level(v.points, v.start, v.end, v.points - 1);
  // The uncalibrated extent: levels one step apart from the lower end, for
  // readers that ignore the calibration.
  const double low = std::min(first, last);
  const double step = v.points > 1 ? std::fabs(last - first) / (v.points - 1) : 0;
  const double zreal = step > 0 ? step * v.points : 1.0;
  const double zoff = low - zreal / v.points / 2;

  gwy::Object calibration{"GwyDataLine", {}};
  calibration.add(gwy::Component::int32("res", v.points))
      .add(gwy::Component::float64("real", v.points))
      .add(gwy::Component::object("si_unit_y", unit("V")))
      .add(gwy::Component::streamed("data", v.points, calibration_stream));

  gwy::Object b{"GwyBrick", {}};
  b.add(gwy::Component::int32("xres", plan.x))
      .add(gwy::Component::int32("yres", plan.y))
      .add(gwy::Component::int32("zres", v.points))
      .add(gwy::Component::float64("xreal", plan.xreal))
      .add(gwy::Component::float64("yreal", plan.yreal))
      .add(gwy::Component::float64("zreal", zreal))
      .add(gwy::Component::float64("zoff", zoff))
      .add(gwy::Component::object("si_unit_x", unit("m")))
      .add(gwy::Component::object("si_unit_y", unit("m")))
      .add(gwy::Component::object("si_unit_z", unit("V")))
      .add(gwy::Component::object("si_unit_w", unit("A")))
      .add(gwy::Component::streamed(
          "data", std::int64_t{plan.x} * plan.y * v.points, stream));
  std::vector<gwy::Object> calibrations;
  calibrations.push_back(std::move(calibration));
  b.add(gwy::Component::object_array("calibration", std::move(calibrations)));
  return b;
}

// The whole file. Streams 0 and 1 are the images, 2 and 3 the volumes, 4 and
// 5 the volumes' bias axes.
constexpr int FIRST_VOLUME_STREAM = 2;
constexpr int FIRST_AXIS_STREAM = 4;

gwy::Object file_tree(const ExportSources &sources, const SetPlan &plan) {
  const gwy::Object meta = metadata(sources, plan);
  gwy::Object root{"GwyContainer", {}};
  for (std::size_t d = 0; d < plan.images.size(); ++d) {
    const std::string key = std::string("/").append(std::to_string(d)).append("/");
    root.add(gwy::Component::object(key + "data",
                                    data_field(plan, static_cast<int>(d))));
    root.add(gwy::Component::string(
        key + "data/title", d == 0 ? "Topography (Forward)" : "Topography (Backward)"));
    root.add(gwy::Component::object(key + "meta", meta));
  }
  for (std::size_t d = 0; d < plan.volumes.size(); ++d) {
    const SetVolume &v = plan.volumes[d];
    const std::string key = std::string("/brick/").append(std::to_string(d));
    root.add(gwy::Component::object(
        key, brick(plan, v, FIRST_VOLUME_STREAM + static_cast<int>(d),
                   FIRST_AXIS_STREAM + static_cast<int>(d))));
    root.add(gwy::Component::string(key + "/title",
                                    v.direction == Direction::Forward
                                        ? "Tunnelling current I(V) (Forward)"
                                        : "Tunnelling current I(V) (Backward)"));
    root.add(gwy::Component::object(key + "/meta", meta));
  }
  return root;
}

// The bias axis of `v`, `count` levels, as doubles at byte `position` of
// `out`, a block at a time.
bool write_bias_axis(const SetVolume &v, std::int64_t count, File &out,
                     std::int64_t position) {
  constexpr std::int64_t BLOCK = 4096;
  std::array<double, BLOCK> levels;
  for (std::int64_t k0 = 0; k0 < count; k0 += BLOCK) {
    const std::int64_t n = std::min(BLOCK, count - k0);
    for (std::int64_t k = 0; k < n; ++k)
      levels[static_cast<std::size_t>(k)] = v.bias(k0 + k);
    const std::span<const std::uint8_t> bytes =
        gwy::to_little_endian({levels.data(), static_cast<std::size_t>(n)});
    if (!out.write_at(position + 8 * k0, bytes))
      return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The samples

// The array's layout in the file: level k, row r, column i at k * X * Y +
// r * X + i, where row r holds source line Y - 1 - r. Gwyddion shows the
// SCALA images with their lines bottom-up and places each SCALA spectrum at
// its own pixel; the export keeps both, so every value sits where the SCALA
// route shows it.
//
// The source holds the same samples pixel after pixel, every point of a
// pixel side by side: the array is their transpose, made by the tile
// pipeline (core/tile_pipeline.h), with this sink writing each tile as
// little-endian doubles. Since the lines of a tile, reversed, are consecutive
// rows of every level, each level of a tile is one run of the file; a tile
// of every line makes its levels one run together. The tiles go from the
// last lines to the first, so the runs of each level come in file order.
//
// Memory: two tiles of 2 Mi samples (4 MiB each), a batch of 64 Ki doubles
// (512 KiB) into which the writer converts a run at a time, and a chunk of
// 256 KiB per worker: about 9.5 MiB, within the export's 16 MiB. The doubles
// are made on the writing thread, a batch at a time, rather than a tile at a
// time by the fillers: a tile of doubles is four times its samples, and the
// larger tiles the samples alone allow save more calls than the conversion
// costs.
constexpr tiles::Budget GWY_BUDGET{std::int64_t{1} << 21, std::int64_t{1} << 17,
                                   tiles::LONG_RUN_BYTES};
constexpr std::int64_t BATCH_VALUES = std::int64_t{1} << 16;

class GwyArray final : public tiles::Sink {
public:
  GwyArray(File &out, std::int64_t position, const tiles::Grid &grid,
           const tiles::Physical &physical)
      : out_(out), position_(position), grid_(grid), physical_(physical),
        batch_(static_cast<std::size_t>(8 * BATCH_VALUES)) {}

  bool usable() const { return batch_.usable(); }

  std::int64_t value_bytes() const override { return 0; }
  bool lines_reversed() const override { return true; }

  void convert(const tiles::Box &, std::uint16_t *, std::uint8_t *) const override {}

  bool write(const tiles::Box &t, const std::uint16_t *samples,
             const std::uint8_t *) override {
    const std::int64_t x = grid_.x, y = grid_.lines();
    const std::int64_t level_values = x * y;
    // The tile's first row in the file: that of its last line.
    const std::int64_t first = (y - t.first_line - t.lines) * x + t.first_pixel;
    const std::int64_t plane = t.plane();
    const bool whole_lines = t.pixels == x;
    // Whole levels lie end to end: as many of them to a batch as fit.
    const std::int64_t levels_at_once =
        plane == level_values ? std::max<std::int64_t>(BATCH_VALUES / plane, 1) : 1;
    for (std::int64_t l = 0; l < t.levels; l += levels_at_once) {
      const std::int64_t levels = std::min(levels_at_once, t.levels - l);
      if (whole_lines) {
        if (!write_lines(t, samples, l, levels, 0, t.lines,
                         (t.first_level + l) * level_values + first))
          return false;
        continue;
      }
      for (std::int64_t r = 0; r < t.lines; ++r)
        if (!write_lines(t, samples, l, 1, r, 1,
                         (t.first_level + l) * level_values + first +
                             (t.lines - 1 - r) * x))
          return false;
    }
    return true;
  }

private:
  // Levels l to l + levels - 1, lines r to r + lines - 1 of the tile, which
  // lie end to end in the file from value `at` on, a batch at a time.
  bool write_lines(const tiles::Box &t, const std::uint16_t *samples,
                   std::int64_t l, std::int64_t levels, std::int64_t r,
                   std::int64_t lines, std::int64_t at) {
    double *values = static_cast<double *>(batch_.data());
    const std::int64_t plane = t.plane();
    std::int64_t count = 0;
    const auto flush = [&] {
      const std::span<const std::uint8_t> bytes = gwy::to_little_endian(
          {values, static_cast<std::size_t>(count)});
      const bool ok = out_.write_at(position_ + 8 * at, bytes);
      at += count;
      count = 0;
      return ok;
    };
    for (std::int64_t k = l; k < l + levels; ++k)
      // The file's rows go from the tile's last line to its first.
      for (std::int64_t row = r + lines - 1; row >= r; --row) {
        const std::uint16_t *from = samples + k * plane + row * t.pixels;
        for (std::int64_t i = 0; i < t.pixels;) {
          const std::int64_t n = std::min(t.pixels - i, BATCH_VALUES - count);
          for (std::int64_t j = 0; j < n; ++j)
            values[count + j] = physical_.of(tiles::stored_value(from[i + j]));
          count += n;
          i += n;
          if (count == BATCH_VALUES && !flush())
            return false;
        }
      }
    return count == 0 || flush();
  }

  File &out_;
  const std::int64_t position_;
  const tiles::Grid &grid_;
  const tiles::Physical physical_;
  PageBuffer batch_;
};

} // namespace

struct GwyExportPlan::Content {
  ExportSources sources;
  SetPlan set;
  gwy::Object tree;
};

ExportResult plan_gwy_export(const ExportSources &sources, GwyExportPlan &plan) {
  auto content = std::make_shared<GwyExportPlan::Content>();
  content->sources = sources;
  if (ExportResult r = plan_set(sources, content->set); !r.ok())
    return r;
  content->tree = file_tree(sources, content->set);
  const std::optional<std::int64_t> bytes = gwy::file_bytes(content->tree);
  if (!bytes)
    return failure(ExportStatus::TooLarge, sources.record_name,
                   "the set would make a GWY file larger than the format's "
                   "limit of 4 GiB per object");
  std::int64_t source_bytes = 0;
  for (const SetPlane &image : content->set.images)
    source_bytes += image.block.source_bytes();
  for (const SetVolume &volume : content->set.volumes)
    source_bytes += volume.plane.block.source_bytes();
  plan = {*bytes, content->set.p.spec_points_forward, source_bytes,
          std::move(content)};
  return {};
}

bool export_is_current(const GwyExportPlan &planned, const File &output) {
  if (!planned.content)
    return false;
  const ExportSources &sources = planned.content->sources;
  const std::optional<std::int64_t> written = output.modified_at();
  if (!written)
    return false;
  for (const File *source :
       {sources.record, sources.topography, sources.spectroscopy}) {
    if (source == nullptr)
      continue;
    const std::optional<std::int64_t> changed = source->modified_at();
    if (!changed || *changed >= *written)
      return false;
  }
  const auto stated = gwy::read_first_metadata(output);
  if (!stated)
    return false;
  std::vector<std::pair<std::string, std::string>> now;
  for (const gwy::Component &row :
       metadata(sources, planned.content->set).components)
    now.emplace_back(row.name, row.text);
  return *stated == now;
}

ExportResult write_gwy_export(const GwyExportPlan &planned, File &out,
                              Progress *progress) {
  // Only a plan that `plan_gwy_export` made holds a file to write.
  if (!planned.content)
    return failure(ExportStatus::WriteFailed, "", "no plan to write");
  const ExportSources &sources = planned.content->sources;
  const SetPlan &plan = planned.content->set;
  const gwy::Object &root = planned.content->tree;
  const std::int64_t bytes = planned.file_bytes;
  // The output has only been appended to, so its end is where we begin.
  const std::int64_t start = out.size();
  if (!out.has_room_for(bytes))
    return write_failed(out);
  // Allocated in one piece up front: the volumes are written in runs of a
  // few KiB to some MiB spread over the file, and on ext4 the export then
  // takes a quarter less system time than when the file system places each
  // run as it comes.
  out.reserve(start + bytes);

  ExportResult fault;
  auto fill = [&](int stream, std::int64_t position, std::int64_t count) {
    if (stream >= FIRST_AXIS_STREAM) {
      if (write_bias_axis(plan.volumes[static_cast<std::size_t>(
                              stream - FIRST_AXIS_STREAM)],
                          count, out, position))
        return true;
      fault = write_failed(out);
      return false;
    }
    const bool image = stream < FIRST_VOLUME_STREAM;
    const SetPlane &plane = image ? plan.images[static_cast<std::size_t>(stream)]
                               : plan.volumes[static_cast<std::size_t>(
                                     stream - FIRST_VOLUME_STREAM)].plane;
    const std::string &name =
        image ? sources.topography_name : sources.spectroscopy_name;
    const tiles::Grid grid{plane.block, plan.x};
    GwyArray array(out, position, grid, plane.physical);
    if (!array.usable()) {
      fault = failure(ExportStatus::WriteFailed, "",
                      "no memory for the export's buffers");
      return false;
    }
    tiles::Settings settings;
    settings.budget = GWY_BUDGET;
    settings.short_reads = tiles::ShortReads::Fail;
    settings.workers = tiles::worker_count();
    // A run asked to stop ends after the tile it is writing; the program
    // then removes the set's temporary.
    settings.stop = interruption_requested;
    if (progress != nullptr)
      settings.progress = progress->part();
    switch (tiles::run(*plane.source, grid, tiles::whole_grid(grid), array,
                       settings)) {
    case tiles::Outcome::Done:
      return true;
    case tiles::Outcome::ReadFailed:
      fault = read_failed(*plane.source, name);
      return false;
    case tiles::Outcome::ShortRead:
      fault = ended_while_read(*plane.source, name,
                               image ? plan.extents.topography.bytes
                                     : plan.extents.spectroscopy.bytes);
      return false;
    case tiles::Outcome::WriteFailed:
    case tiles::Outcome::Stopped:
      fault = write_failed(out);
      return false;
    case tiles::Outcome::NoMemory:
      fault = failure(ExportStatus::WriteFailed, "",
                      "no memory for the export's buffers");
      return false;
    }
    return false;
  };
  switch (gwy::write_gwy_file(root, out, start, fill)) {
  case gwy::WriteOutcome::Done:
    return {};
  case gwy::WriteOutcome::FillFailed:
    return fault;
  case gwy::WriteOutcome::WriteFailed:
    break;
  }
  return write_failed(out);
}

} // namespace parvane
