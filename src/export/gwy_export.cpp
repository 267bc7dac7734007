#include "export/gwy_export.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/version.h"
#include "core/number_format.h"
#include "core/parameter_arithmetic.h"
#include "core/physical_model.h"
#include "core/scala_settings.h"
#include "core/set_layout.h"
#include "core/source_record.h"
#include "export/gwy_writer.h"

namespace parvane {
namespace {

// ---------------------------------------------------------------------------
// The record

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

// ---------------------------------------------------------------------------
// The set

// One sample array of the file (an image, or the levels of a volume) and
// where its samples lie in the source: `block` as the conversion lays out its
// planes, so the same samples reach the same place.
struct Plane {
  const File *source = nullptr;
  SpectroscopyBlock block;
  double scale = 0; // per raw SCALA unit, in the parameter file's nm or nA
};

struct Volume {
  std::int32_t points = 0;
  float start = 0, end = 0;
  std::string direction;
  Plane plane;
};

// What the file will hold, from the record and the sources' sizes. `x`, `y`
// and `dual` are the layout's.
struct SetPlan {
  SourceParameters p;
  SetLayout layout;
  SourceExtents extents;
  std::int32_t x = 0, y = 0;
  bool dual = false;
  double xreal = 0, yreal = 0;
  std::vector<Plane> images;    // forward, then backward
  std::vector<Volume> volumes;  // forward, then backward
};

ExportResult failure(ExportStatus status, std::string file, std::string reason) {
  return {status, std::move(file), std::move(reason)};
}

// The export promises physical values and never invents samples: a source
// shorter than the conversion reads, as the conversion judges it, fails the
// set. So does one that is cut while the export reads it (by a program that
// syncs or deletes the copy): every read that comes back short ends the set
// here, with the size the source has now.
ExportResult short_source(const File &source, const std::string &name,
                          const SourceExtent &extent) {
  if (extent.held_by(source.size()))
    return {};
  return failure(ExportStatus::ShortSource, name,
                 "holds " + format_int(source.size()) + " bytes, the set needs " +
                     (extent.beyond_range ? std::string("more than that")
                                          : format_int(extent.bytes)));
}

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
  const std::optional<RecordRead> read = read_record_fields(*sources.record);
  if (!read)
    return read_failed(*sources.record, sources.record_name);
  // Fields of a record cut while it was read are no values of the source.
  if (read->cut)
    return ended_while_read(*sources.record, sources.record_name, RECORD_EXTENT);
  const SourceParameters &p = plan.p = read->parameters;
  const SetLayout &layout = plan.layout =
      set_layout(p, sources.spectroscopy != nullptr);
  plan.x = layout.x;
  plan.y = layout.y;
  plan.dual = layout.dual;
  if (!layout.has_image())
    return failure(ExportStatus::NoImage, sources.record_name,
                   "the record gives an image size of " + format_int(plan.x) +
                       " x " + format_int(plan.y) + " pixels: no image to export");

  // The image limits and field sizes as the parameter file prints them.
  const float limits[] = {forward_minimum(p.z_resolution),
                          forward_maximum(p.z_resolution),
                          backward_minimum(p.z_resolution),
                          backward_maximum(p.z_resolution)};
  if (!std::all_of(std::begin(limits), std::end(limits),
                   [](float v) { return std::isfinite(v); }))
    return failure(ExportStatus::NotFinite, sources.record_name,
                   "the z resolution gives a topography scale that is not a "
                   "finite number");
  const float field_x = tenth(p.field_x_size), field_y = tenth(p.field_y_size);
  plan.xreal = std::isfinite(field_x) ? std::fabs(printed(field_x)) * NANO : 0;
  plan.yreal = std::isfinite(field_y) ? std::fabs(printed(field_y)) * NANO : 0;
  if (!(plan.xreal > 0 && std::isfinite(plan.xreal) && plan.yreal > 0 &&
        std::isfinite(plan.yreal)))
    return failure(ExportStatus::NotFinite, sources.record_name,
                   "the field size (" + format_float(field_x) + " x " +
                       format_float(field_y) +
                       " nm) is not a finite size above zero");

  const SourceExtents &extents = plan.extents = layout.extents();
  if (ExportResult r = short_source(*sources.record, sources.record_name,
                                    extents.record);
      !r.ok())
    return r;
  if (read->bytes_read < extents.record.bytes)
    return ended_while_read(*sources.record, sources.record_name,
                            extents.record.bytes);

  for (const SetChannel &channel : layout.channels) {
    if (channel.kind != ChannelKind::Topography)
      continue;
    const int d = static_cast<int>(channel.direction);
    if (!channel.block)
      return failure(ExportStatus::TooLarge, sources.record_name,
                     "the image size is too large for a GWY file");
    plan.images.push_back({sources.topography, *channel.block,
                           topography_scale(limits[2 * d], limits[2 * d + 1])});
  }
  if (ExportResult r = short_source(*sources.topography, sources.topography_name,
                                    extents.topography);
      !r.ok())
    return r;

  // The volumes; a direction without points has none.
  if (sources.spectroscopy == nullptr)
    return {};
  for (const SetChannel &channel : layout.channels) {
    if (channel.kind != ChannelKind::Spectroscopy || channel.points <= 0)
      continue;
    const bool forward = channel.direction == Direction::Forward;
    Volume v;
    v.direction = forward ? "Forward" : "Backward";
    v.points = channel.points;
    v.start = forward ? p.spec_start_forward : p.spec_start_backward;
    v.end = forward ? p.spec_end_forward : p.spec_end_backward;
    if (!std::isfinite(v.start) || !std::isfinite(v.end))
      return failure(ExportStatus::NotFinite, sources.record_name,
                     "the " + std::string(forward ? "forward" : "backward") +
                         " bias sweep (" + format_float(v.start) + " to " +
                         format_float(v.end) + " V) is not finite");
    if (!channel.block)
      return failure(ExportStatus::TooLarge, sources.record_name,
                     "the spectroscopy grid is too large for a GWY file");
    v.plane = {sources.spectroscopy, *channel.block, SPECTROSCOPY_SCALE};
    plan.volumes.push_back(v);
  }
  return short_source(*sources.spectroscopy, sources.spectroscopy_name,
                      extents.spectroscopy);
}

// ---------------------------------------------------------------------------
// Metadata: every setting the parameter file states, marked by its origin.

// The export's text mask: every byte that is not printable ASCII shows as
// '?': the record's bytes are in no known encoding, and a GWY text must hold
// no NUL.
char printable_ascii(char byte) { return byte < 0x20 || byte > 0x7E ? '?' : byte; }

std::string source_note(const std::string &name, const File *file) {
  return name + ", " + format_int(file->size()) + " bytes";
}

gwy::Object metadata(const ExportSources &sources, const SetPlan &plan) {
  gwy::Object meta{"GwyContainer", {}};
  const bool has_spectroscopy = sources.spectroscopy != nullptr;
  const SetFacts set{plan.p, sources.file_number, plan.x, plan.y, plan.dual,
                     has_spectroscopy};
  for (const Setting &row : SCALA_SETTINGS) {
    if (row.key.empty() || !set.has(row))
      continue;
    std::string value = setting_value(row, set, printable_ascii);
    if (!row.unit.empty()) {
      value += ' ';
      value += row.unit;
    }
    if (!value.empty())
      value += ' ';
    value += origin_mark(row.origin());
    meta.add(gwy::Component::string(std::string(row.key), std::move(value)));
  }
  meta.add(gwy::Component::string("Exported by",
                                  std::string(EXPORT_PROGRAM) + " " + PARVANE_VERSION));
  meta.add(gwy::Component::string("Source parameter record",
                                  source_note(sources.record_name, sources.record)));
  meta.add(gwy::Component::string(
      "Source topography", source_note(sources.topography_name, sources.topography)));
  if (has_spectroscopy)
    meta.add(gwy::Component::string(
        "Source spectroscopy",
        source_note(sources.spectroscopy_name, sources.spectroscopy)));
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
gwy::Object brick(const SetPlan &plan, const Volume &v, int stream,
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
    const Volume &v = plan.volumes[d];
    const std::string key = std::string("/brick/").append(std::to_string(d));
    root.add(gwy::Component::object(
        key, brick(plan, v, FIRST_VOLUME_STREAM + static_cast<int>(d),
                   FIRST_AXIS_STREAM + static_cast<int>(d))));
    root.add(gwy::Component::string(key + "/title",
                                    "Tunnelling current I(V) (" + v.direction + ')'));
    root.add(gwy::Component::object(key + "/meta", meta));
  }
  return root;
}

// The bias axis of `v`, `count` levels, as doubles at byte `position` of
// `out`, a block at a time.
bool write_bias_axis(const Volume &v, std::int64_t count, File &out,
                     std::int64_t position) {
  constexpr std::int64_t BLOCK = 4096;
  std::array<double, BLOCK> levels;
  for (std::int64_t k0 = 0; k0 < count; k0 += BLOCK) {
    const std::int64_t n = std::min(BLOCK, count - k0);
    for (std::int64_t k = 0; k < n; ++k)
      levels[static_cast<std::size_t>(k)] = bias_level(v.points, v.start, v.end, k0 + k);
    const std::span<const std::uint8_t> bytes =
        gwy::to_little_endian({levels.data(), static_cast<std::size_t>(n)});
    if (!out.write_at(position + 8 * k0, bytes))
      return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The samples

// The value of the source sample at `bytes`, most significant byte first.
inline std::uint16_t big_endian_sample(const std::uint8_t *bytes) {
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

// The array's layout in the file: level k, row r, column i at k * X * Y +
// r * X + i, where row r holds source line Y - 1 - r. Gwyddion shows the
// SCALA images with their lines bottom-up and places each SCALA spectrum at
// its own pixel; the export keeps both, so every value sits where the SCALA
// route shows it.
//
// The source holds the same samples pixel after pixel, every point of a
// pixel side by side: the array is their transpose. It is made tile by tile.
// A tile is read into memory (a few lines, or part of one, with some or all
// of their points) and handed to the writer in batches of whole runs of the
// file. Since the lines of a tile, reversed, are consecutive rows of every
// level, each level of a tile is one run, whatever the tile's size; a tile of
// every line makes its levels one run together.
//
// Buffer budgets: the tile of source samples (2 bytes each: 8 MiB) and the
// batches of values that wait for the writer (8 bytes each: 512 KiB each).
constexpr std::int64_t TILE_SAMPLES = std::int64_t{1} << 22;
constexpr std::int64_t BATCH_VALUES = std::int64_t{1} << 16;
constexpr std::int64_t BATCHES = 3;
// A tile holds each pixel's samples side by side, and a batch takes a few
// levels of many pixels: read straight from the tile, every cache line of it
// would be fetched once per batch. So a group of levels is first staged,
// level after level (2 bytes a sample: 1 MiB), with each line fetched once.
constexpr std::int64_t STAGE_SAMPLES = std::int64_t{1} << 19;
constexpr std::int64_t STAGE_LEVELS = 32;

struct Grid {
  std::int64_t x = 0, y = 0, points = 0;
  std::int64_t values() const { return x * y * points; }
};

// Source lines per tile (whole lines unless 1), pixels of a line per tile,
// points per pixel per tile. A tile `banded` holds a band of the points of
// whole lines and is read as whole pixels, a chunk at a time, keeping the
// band.
struct TileShape {
  std::int64_t lines = 1, columns = 1, points = 1;
  bool banded = false;
};

// The runs the writer is given should be at least this long (48 KiB): the
// file system places pages in the page cache at a cost per call and per
// folio, and it takes larger folios for longer writes. On ext4, writing the
// same bytes in runs of 12 KiB takes twice the system time of runs of
// 48 KiB, and longer runs save little more.
constexpr std::int64_t LONG_RUN_VALUES = 6144;
// Whole pixels read for a banded tile, at most (256 KiB), and how many
// times over a banded tile's points may be read at most.
constexpr std::int64_t CHUNK_SAMPLES = std::int64_t{1} << 17;
constexpr std::int64_t MAX_BANDS = 8;

std::int64_t ceil_div(std::int64_t a, std::int64_t b) { return (a + b - 1) / b; }

// The system calls a tile shape costs, roughly: a tile of whole pixels is
// one read, any other one read per pixel; a level of a tile is one write per
// batch, and a tile of whole levels writes full batches. A write counts
// twice: it places new pages in the file, where a read only copies cached
// ones (on ext4, a 64x64x16384 grid takes half the system time in whole
// levels, with 64 times the reads of the square-ish shape).
double call_count(const Grid &g, const TileShape &t) {
  const double tiles = double(ceil_div(g.y, t.lines)) *
                       double(ceil_div(g.x, t.columns)) *
                       double(ceil_div(g.points, t.points));
  const double pixels = double(t.lines) * double(t.columns);
  const double reads = t.points == g.points ? tiles : tiles * pixels;
  const bool whole_levels = t.lines == g.y && t.columns == g.x;
  const double run = whole_levels ? double(BATCH_VALUES)
                                  : std::min(pixels, double(BATCH_VALUES));
  return reads + 2 * double(g.values()) / run;
}

// With thousands of points per pixel, a tile of whole pixels holds few
// lines, and its runs are short. Read in bands of points, the same budget
// holds more lines: the fewest bands whose runs are long, each band reading
// the tile's lines once more from the page cache, which costs far less than
// the shorter writes it saves.
TileShape lengthen_runs(const Grid &g, const TileShape &whole_pixels) {
  const TileShape &w = whole_pixels;
  if (w.points != g.points || w.columns != g.x || w.lines == g.y ||
      w.lines * g.x >= LONG_RUN_VALUES || g.points > CHUNK_SAMPLES)
    return w;
  TileShape banded = w;
  for (std::int64_t bands = 2; bands <= MAX_BANDS; ++bands) {
    const std::int64_t points = ceil_div(g.points, bands);
    const std::int64_t lines = std::clamp(
        std::min(TILE_SAMPLES / (g.x * points), BATCH_VALUES / g.x),
        std::int64_t{1}, g.y);
    if (lines > banded.lines)
      banded = {lines, g.x, points, true};
    if (lines * g.x >= LONG_RUN_VALUES || lines == g.y)
      break;
  }
  return banded;
}

// The cheapest of three shapes within the budget: whole pixels (no read
// but one per tile; the few points of many pixels), whole levels (no write
// but full batches; the many points of few pixels), or as many pixels as
// points (neither extreme fits). A tile of whole pixels has no more pixels
// than a batch has values: a longer run would be written in batches all the
// same, while every level of the tile is read from memory once per batch,
// and a tile that stays in cache is read faster.
TileShape tile_shape(const Grid &g) {
  const std::int64_t budget = TILE_SAMPLES;
  TileShape candidates[3];
  int count = 0;
  if (g.x * g.points <= budget)
    candidates[count++] = {
        std::clamp(BATCH_VALUES / g.x, std::int64_t{1},
                   std::min(g.y, budget / (g.x * g.points))),
        g.x, g.points};
  else if (g.points <= budget)
    candidates[count++] = {1, budget / g.points, g.points};
  if (g.x * g.y <= budget)
    candidates[count++] = {g.y, g.x, std::min(g.points, budget / (g.x * g.y))};
  const auto side = static_cast<std::int64_t>(std::sqrt(double(budget)));
  if (g.x <= side) {
    const std::int64_t lines = std::min(g.y, side / g.x);
    candidates[count++] = {lines, g.x, std::min(g.points, budget / (lines * g.x))};
  } else {
    candidates[count++] = {1, side, std::min(g.points, budget / side)};
  }
  const TileShape best =
      *std::min_element(candidates, candidates + count,
                        [&](const TileShape &a, const TileShape &b) {
                          return call_count(g, a) < call_count(g, b);
                        });
  return lengthen_runs(g, best);
}

// Why filling an array stopped: a read the system failed, a read that came
// back short (the source was cut meanwhile), a write, or no memory for the
// buffers.
enum class FillFault { None, Read, Short, Write, NoMemory };

// What one batch holds: `runs` runs of `length` values, side by side in the
// batch, the first at value `first` of the array and each next one `stride`
// values further on.
struct Batch {
  std::int64_t first = 0, length = 0, runs = 0, stride = 0;
};

// The batches between the filler, which converts tiles, and the writer. The
// calling thread is the only writer; the filler converts the next batches
// meanwhile on a thread of its own, or, when none could be started, hands
// each batch to be written as soon as it is full.
class BatchRing {
public:
  BatchRing(File &out, std::int64_t position, double *buffers,
            std::int64_t capacity)
      : out_(out), position_(position), buffers_(buffers), capacity_(capacity) {}

  void write_as_filled() { threaded_ = false; }

  // Filler: the next free batch buffer; null once writing has failed.
  double *acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!threaded_)
      return write_failed_ ? nullptr : buffers_;
    changed_.wait(lock, [&] { return filled_ - written_ < BATCHES || write_failed_; });
    return write_failed_ ? nullptr : buffer(filled_);
  }

  // Filler: the buffer from acquire() holds `batch`.
  void publish(const Batch &batch) {
    if (!threaded_) {
      write_failed_ = write_failed_ || !write(batch, buffers_);
      return;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    batches_[slot(filled_)] = batch;
    ++filled_;
    changed_.notify_all();
  }

  // Filler: no batch follows; `fault` says why when it stopped early.
  void finish(FillFault fault) {
    const std::lock_guard<std::mutex> lock(mutex_);
    fault_ = fault;
    finished_ = true;
    changed_.notify_all();
  }

  // Writer: writes the batches as they come, until the filler finishes or a
  // write fails. Without a thread, reports what writing as filled found.
  FillFault drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (threaded_) {
      changed_.wait(lock, [&] { return filled_ > written_ || finished_; });
      if (filled_ == written_)
        break;
      const Batch batch = batches_[slot(written_)];
      double *values = buffer(written_);
      lock.unlock();
      const bool written = write(batch, values);
      lock.lock();
      if (!written) {
        write_failed_ = true;
        changed_.notify_all();
        return FillFault::Write;
      }
      ++written_;
      changed_.notify_all();
    }
    return write_failed_ ? FillFault::Write : fault_;
  }

private:
  std::size_t slot(std::int64_t n) const { return static_cast<std::size_t>(n % BATCHES); }
  double *buffer(std::int64_t n) const {
    return buffers_ + static_cast<std::ptrdiff_t>(slot(n)) * capacity_;
  }

  // Runs that lie end to end in the file go out as one write.
  bool write(const Batch &b, double *values) {
    const std::int64_t per_write = b.stride == b.length ? b.runs * b.length : b.length;
    for (std::int64_t done = 0; done < b.runs * b.length; done += per_write) {
      const std::int64_t at = b.first + (done / b.length) * b.stride;
      const std::span<const std::uint8_t> bytes = gwy::to_little_endian(
          {values + done, static_cast<std::size_t>(per_write)});
      if (!out_.write_at(position_ + 8 * at, bytes))
        return false;
    }
    return true;
  }

  File &out_;
  const std::int64_t position_;
  double *const buffers_;
  const std::int64_t capacity_;
  bool threaded_ = true;
  std::mutex mutex_;
  std::condition_variable changed_;
  Batch batches_[BATCHES];
  std::int64_t filled_ = 0, written_ = 0;
  bool finished_ = false, write_failed_ = false;
  FillFault fault_ = FillFault::None;
};

// One tile in memory: lines h0 to h0 + m - 1, columns c0 to c0 + w - 1,
// points k0 to k0 + b - 1, pixel after pixel with b samples each.
struct TilePlace {
  std::int64_t h0 = 0, m = 0, c0 = 0, w = 0, k0 = 0, b = 0;
  std::int64_t pixels() const { return m * w; }
};

class Transposer {
public:
  Transposer(const Plane &plane, std::int64_t x, std::int64_t y)
      : plane_(plane), grid_{x, y, plane.block.points},
        shape_(tile_shape(grid_)), flip_(flipped_bits()) {}

  FillFault run(File &out, std::int64_t position) {
    const std::int64_t tile_samples = shape_.lines * shape_.columns * shape_.points;
    const std::int64_t capacity = std::min(BATCH_VALUES, grid_.values());
    PageBuffer tile(static_cast<std::size_t>(2 * tile_samples));
    PageBuffer batches(static_cast<std::size_t>(8 * capacity * BATCHES));
    PageBuffer stage(static_cast<std::size_t>(2 * std::min(STAGE_SAMPLES, tile_samples)));
    PageBuffer chunk(static_cast<std::size_t>(2 * (shape_.banded ? CHUNK_SAMPLES : 1)));
    if (!tile.usable() || !batches.usable() || !stage.usable() || !chunk.usable())
      return FillFault::NoMemory;
    tile_ = static_cast<std::uint8_t *>(tile.data());
    chunk_ = static_cast<std::uint8_t *>(chunk.data());
    stage_ = static_cast<std::uint16_t *>(stage.data());
    BatchRing ring(out, position, static_cast<double *>(batches.data()), capacity);

    // A plane of one batch is done before a thread would have started.
    std::optional<std::thread> filler;
    if (grid_.values() > capacity) {
      try {
        filler.emplace([&] { ring.finish(fill(ring)); });
      } catch (const std::exception &) { // no thread: fill and write in turn
      }
    }
    if (!filler) {
      ring.write_as_filled();
      ring.finish(fill(ring));
    }
    const FillFault fault = ring.drain();
    if (filler)
      filler->join();
    return fault;
  }

private:
  // Every tile, each level of the file front to back: bands of points, then
  // lines from the last (the lowest rows) on, then columns.
  FillFault fill(BatchRing &ring) {
    const TileShape &s = shape_;
    for (std::int64_t k0 = 0; k0 < grid_.points; k0 += s.points) {
      const std::int64_t b = std::min(s.points, grid_.points - k0);
      for (std::int64_t end = grid_.y; end > 0; end -= s.lines) {
        const std::int64_t m = std::min(s.lines, end);
        for (std::int64_t c0 = 0; c0 < grid_.x; c0 += s.columns) {
          const TilePlace t{end - m, m, c0, std::min(s.columns, grid_.x - c0), k0, b};
          if (const FillFault read = read_tile(t); read != FillFault::None)
            return read;
          if (!hand_over(t, ring))
            return FillFault::None; // the writer knows why
        }
      }
    }
    return FillFault::None;
  }

  FillFault read_tile(const TilePlace &t) {
    const auto sample = [&](std::int64_t pixel) {
      return source_sample(plane_.block,
                                   grid_.x * (t.h0 + pixel / t.w) + t.c0 + pixel % t.w,
                                   t.k0);
    };
    if (shape_.banded)
      return read_band(t);
    // Whole pixels of whole lines, or of one line, lie side by side.
    if (t.b == grid_.points)
      return read({tile_, static_cast<std::size_t>(2 * t.pixels() * t.b)},
                  2 * sample(0));
    for (std::int64_t j = 0; j < t.pixels(); ++j)
      if (const FillFault fault =
              read({tile_ + 2 * j * t.b, static_cast<std::size_t>(2 * t.b)},
                   2 * sample(j));
          fault != FillFault::None)
        return fault;
    return FillFault::None;
  }

  // Every read of the source fills what it asked for, or says why not.
  FillFault read(std::span<std::uint8_t> bytes, std::int64_t position) const {
    const std::optional<std::size_t> got = plane_.source->read_at(position, bytes);
    if (!got)
      return FillFault::Read;
    return *got == bytes.size() ? FillFault::None : FillFault::Short;
  }

  // The tile's band of points from its whole pixels, which lie side by side
  // (whole lines), read a chunk of whole pixels at a time. The band goes
  // into the tile as the stage lays out levels (sample values, level after
  // level, each in the file's order): transposed from the chunk while it is
  // still in cache, rather than fetched back from the tile afterwards.
  // Sixteen pixels at a time, as in the stage.
  FillFault read_band(const TilePlace &t) {
    constexpr std::int64_t PIXELS_AT_ONCE = 16;
    const std::int64_t p = grid_.points, run = t.pixels();
    const std::int64_t first =
        source_sample(plane_.block, grid_.x * t.h0 + t.c0, 0);
    const std::int64_t per_chunk = CHUNK_SAMPLES / p;
    std::uint16_t *levels = band_levels();
    for (std::int64_t j = 0; j < run; j += per_chunk) {
      const std::int64_t pixels = std::min(per_chunk, run - j);
      const auto bytes = static_cast<std::size_t>(2 * pixels * p);
      if (const FillFault fault = read({chunk_, bytes}, 2 * (first + j * p));
          fault != FillFault::None)
        return fault;
      for (std::int64_t i0 = 0; i0 < pixels; i0 += PIXELS_AT_ONCE) {
        const std::int64_t span = std::min(PIXELS_AT_ONCE, pixels - i0);
        std::int64_t at[PIXELS_AT_ONCE]; // each pixel's place in a level
        for (std::int64_t i = 0; i < span; ++i) {
          const std::int64_t pixel = j + i0 + i;
          at[i] = (t.m - 1 - pixel / t.w) * t.w + pixel % t.w;
        }
        for (std::int64_t l = 0; l < t.b; ++l) {
          const std::uint8_t *from = chunk_ + 2 * (i0 * p + t.k0 + l);
          std::uint16_t *level = levels + l * run;
          for (std::int64_t i = 0; i < span; ++i, from += 2 * p)
            level[at[i]] = big_endian_sample(from);
        }
      }
    }
    return FillFault::None;
  }

  // A banded tile's levels, staged in the tile itself.
  std::uint16_t *band_levels() const {
    return reinterpret_cast<std::uint16_t *>(tile_);
  }

  // The tile's levels as batches: several whole levels of the tile in one
  // batch, or one level in several.
  bool hand_over(const TilePlace &t, BatchRing &ring) {
    const std::int64_t run = t.pixels();
    const std::int64_t capacity = std::min(BATCH_VALUES, grid_.values());
    const std::int64_t levels = std::max<std::int64_t>(1, capacity / run);
    const std::int64_t length = std::min(run, capacity);
    // Output row of the tile's last line: the tile's first row in the file.
    const std::int64_t first = (grid_.y - t.h0 - t.m) * grid_.x + t.c0;
    const std::int64_t level_values = grid_.x * grid_.y;
    // Groups of levels go through the stage when they fit: whole batches,
    // about a cache line of each pixel's samples.
    std::int64_t group =
        std::min(t.b, levels * std::max<std::int64_t>(1, STAGE_LEVELS / levels));
    // A banded tile was staged as a whole when it was read.
    const bool staged = shape_.banded || group * run <= STAGE_SAMPLES;
    if (!staged || shape_.banded)
      group = t.b;
    const std::uint16_t *staged_levels = shape_.banded ? band_levels() : stage_;
    for (std::int64_t g = 0; g < t.b; g += group) {
      const std::int64_t in_group = std::min(group, t.b - g);
      if (staged && !shape_.banded)
        stage(t, g, in_group);
      for (std::int64_t k = g; k < g + in_group; k += levels) {
        const std::int64_t runs = std::min(levels, g + in_group - k);
        for (std::int64_t j = 0; j < run; j += length) {
          const std::int64_t n = std::min(length, run - j);
          double *values = ring.acquire();
          if (values == nullptr)
            return false;
          if (staged)
            convert_staged(staged_levels, run, k - g, runs, j, n, values);
          else
            convert(t, k, runs, j, n, values);
          ring.publish({(t.k0 + k) * level_values + first + j, n, runs, level_values});
        }
      }
    }
    return true;
  }

  // Levels g to g + count - 1 of the tile into the stage as sample values,
  // level after level, each in the file's order (rows reversed). Sixteen
  // pixels at a time: their samples stay in cache while every level takes
  // its sixteen values.
  void stage(const TilePlace &t, std::int64_t g, std::int64_t count) {
    constexpr std::int64_t PIXELS_AT_ONCE = 16;
    const std::int64_t run = t.pixels();
    for (std::int64_t row = 0; row < t.m; ++row) {
      const std::uint8_t *line = tile_ + 2 * ((t.m - 1 - row) * t.w * t.b + g);
      std::uint16_t *to = stage_ + row * t.w;
      for (std::int64_t c0 = 0; c0 < t.w; c0 += PIXELS_AT_ONCE) {
        const std::int64_t span = std::min(PIXELS_AT_ONCE, t.w - c0);
        for (std::int64_t l = 0; l < count; ++l) {
          const std::uint8_t *from = line + 2 * (c0 * t.b + l);
          std::uint16_t *level = to + l * run + c0;
          for (std::int64_t i = 0; i < span; ++i, from += 2 * t.b)
            level[i] = big_endian_sample(from);
        }
      }
    }
  }

  // Staged levels l0 to l0 + runs - 1 at `staged` (levels of `run` values),
  // values j to j + n - 1 of each, into `out`.
  void convert_staged(const std::uint16_t *staged, std::int64_t run,
                      std::int64_t l0, std::int64_t runs, std::int64_t j,
                      std::int64_t n, double *out) const {
    const double scale = plane_.scale;
    const std::uint16_t flip = flip_;
    for (std::int64_t l = 0; l < runs; ++l) {
      const std::uint16_t *from = staged + (l0 + l) * run + j;
      double *to = out + l * n;
      for (std::int64_t i = 0; i < n; ++i)
        to[i] = physical_value(from[i], flip, scale);
    }
  }

  // Levels k to k + runs - 1 of the tile's values j to j + n - 1 (in the
  // file's order: rows reversed) into `out`, level after level. The levels
  // go eight at a time, so that each source line read serves eight values
  // while the eight runs written stay in cache.
  void convert(const TilePlace &t, std::int64_t k, std::int64_t runs,
               std::int64_t j, std::int64_t n, double *out) const {
    constexpr std::int64_t LEVELS_AT_ONCE = 8;
    const double scale = plane_.scale;
    const std::uint16_t flip = flip_;
    for (std::int64_t k1 = k; k1 < k + runs; k1 += LEVELS_AT_ONCE) {
      const std::int64_t levels = std::min(LEVELS_AT_ONCE, k + runs - k1);
      for (std::int64_t at = j; at < j + n;) {
        const std::int64_t row = at / t.w, column = at % t.w;
        const std::int64_t span = std::min(t.w - column, j + n - at);
        const std::uint8_t *from =
            tile_ + 2 * (((t.m - 1 - row) * t.w + column) * t.b + k1);
        double *to = out + (k1 - k) * n + (at - j);
        for (std::int64_t i = 0; i < span; ++i, from += 2 * t.b)
          for (std::int64_t l = 0; l < levels; ++l)
            to[l * n + i] = physical_value(big_endian_sample(from + 2 * l), flip, scale);
        at += span;
      }
    }
  }

  const Plane &plane_;
  const Grid grid_;
  const TileShape shape_;
  const std::uint16_t flip_;
  std::uint8_t *tile_ = nullptr;
  std::uint8_t *chunk_ = nullptr;
  std::uint16_t *stage_ = nullptr;
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
  plan = {*bytes, content->set.p.spec_points_forward, std::move(content)};
  return {};
}

ExportResult write_gwy_export(const GwyExportPlan &planned, File &out) {
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
    const Plane &plane = image ? plan.images[static_cast<std::size_t>(stream)]
                               : plan.volumes[static_cast<std::size_t>(
                                     stream - FIRST_VOLUME_STREAM)].plane;
    const std::string &name =
        image ? sources.topography_name : sources.spectroscopy_name;
    switch (Transposer(plane, plan.x, plan.y).run(out, position)) {
    case FillFault::None:
      return true;
    case FillFault::Read:
      fault = read_failed(*plane.source, name);
      return false;
    case FillFault::Short:
      fault = ended_while_read(*plane.source, name,
                               image ? plan.extents.topography.bytes
                                     : plan.extents.spectroscopy.bytes);
      return false;
    case FillFault::Write:
      fault = write_failed(out);
      return false;
    case FillFault::NoMemory:
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
