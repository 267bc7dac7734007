#include "convert/sample_planes.h"

#include <algorithm>
#include <bit>

#include "convert/sample_planes_detail.h"
#include "core/interruption.h"
#include "core/set_layout.h"
#include "core/tile_pipeline.h"

namespace parvane {

namespace planes {
namespace {

// XOR with this, on a sample held in memory in file byte order, flips the top
// bit of its high byte: the conversion of `convert_sample`.
constexpr std::uint16_t CONVERT_MASK =
    std::bit_cast<std::uint16_t>(std::array<std::uint8_t, 2>{0x80, 0x00});

// Samples in file byte order, in pages of their own.
class SampleBuffer {
public:
  explicit SampleBuffer(std::int64_t samples)
      : pages_(static_cast<std::size_t>(samples * SAMPLE_BYTES)) {}
  bool usable() const { return pages_.usable(); }
  std::uint16_t *at(std::int64_t sample) const {
    return static_cast<std::uint16_t *>(pages_.data()) + sample;
  }

private:
  PageBuffer pages_;
};

// Reads `count` samples from sample index `first` on. Samples the file does
// not have, before its start or past its end, read as zero bytes. False when
// the system failed the read.
bool read_samples(const File &source, std::int64_t first, std::uint16_t *into,
                  std::int64_t count) {
  if (first < 0) {
    const std::int64_t missing = std::min(count, -first);
    std::fill_n(into, missing, std::uint16_t{0});
    into += missing;
    count -= missing;
    first = 0;
  }
  return count <= 0 ||
         source
             .read_at(first * SAMPLE_BYTES,
                      {reinterpret_cast<std::uint8_t *>(into),
                       static_cast<std::size_t>(count * SAMPLE_BYTES)})
             .has_value();
}

bool write_samples(File &output, std::int64_t first, const std::uint16_t *from,
                   std::int64_t count) {
  return output.write_at(first * SAMPLE_BYTES,
                         {reinterpret_cast<const std::uint8_t *>(from),
                          static_cast<std::size_t>(count * SAMPLE_BYTES)});
}

void convert_samples(std::uint16_t *samples, std::int64_t count) {
  for (std::int64_t k = 0; k < count; ++k)
    samples[k] ^= CONVERT_MASK;
}

// The SCALA planes of a spectroscopy block: big-endian 16-bit samples with
// the top bit flipped, converted in place in the tile. Plane m holds point m
// of every pixel, lines in source order, so each level of a tile of whole
// lines is one run of the plane, and a tile of every line makes its levels
// one run together. Memory: two tiles of samples (4 MiB together), no values
// of its own, and a chunk of the source per worker.
class ScalaPlanes final : public tiles::Sink {
public:
  ScalaPlanes(File &output, const tiles::Grid &grid)
      : output_(output), grid_(grid) {}

  std::int64_t value_bytes() const override { return 0; }

  void convert(const tiles::Box &tile, std::uint16_t *samples,
               std::uint8_t *) const override {
    convert_samples(samples, tile.samples());
  }

  bool write(const tiles::Box &t, const std::uint16_t *samples,
             const std::uint8_t *) override {
    const SpectroscopyBlock &block = grid_.block;
    const std::int64_t first_pixel = t.first_line * grid_.x + t.first_pixel;
    if (t.plane() == block.pixels)
      return write_samples(output_, output_sample(block, 0, t.first_level),
                           samples, t.samples());
    // Whole lines make one run per level, parts of lines one per line.
    const bool whole_lines = t.pixels == grid_.x;
    const std::int64_t runs = whole_lines ? 1 : t.lines;
    const std::int64_t run = whole_lines ? t.plane() : t.pixels;
    for (std::int64_t l = 0; l < t.levels; ++l)
      for (std::int64_t r = 0; r < runs; ++r)
        if (!write_samples(
                output_,
                output_sample(block, first_pixel + r * grid_.x, t.first_level + l),
                samples + l * t.plane() + r * run, run))
          return false;
    return true;
  }

private:
  File &output_;
  const tiles::Grid &grid_;
};

IoOutcome plane_outcome(tiles::Outcome outcome) {
  switch (outcome) {
  case tiles::Outcome::Done:
    return IoOutcome::Done;
  case tiles::Outcome::ReadFailed:
  case tiles::Outcome::ShortRead:
    return IoOutcome::ReadFailed;
  case tiles::Outcome::WriteFailed:
  case tiles::Outcome::NoMemory:
  case tiles::Outcome::Stopped:
    break;
  }
  return IoOutcome::WriteFailed;
}

} // namespace

IoOutcome copy_topography_plane(const File &topography,
                                std::int64_t first_sample, File &output,
                                std::int32_t size_x, std::int32_t size_y,
                                const Budget &budget, Progress *progress) {
  if (size_x <= 0 || size_y <= 0)
    return IoOutcome::Done;
  const std::int64_t samples = std::int64_t{size_x} * size_y;
  if (!run_fits(first_sample, samples) ||
      !output.has_room_for(samples * SAMPLE_BYTES))
    return IoOutcome::WriteFailed;
  const std::int64_t chunk =
      std::min(std::max<std::int64_t>(budget.plane_samples, 1), samples);
  SampleBuffer buffer(chunk);
  if (!buffer.usable())
    return IoOutcome::WriteFailed;
  for (std::int64_t done = 0; done < samples; done += chunk) {
    const std::int64_t count = std::min(chunk, samples - done);
    if (!read_samples(topography, first_sample + done, buffer.at(0), count))
      return IoOutcome::ReadFailed;
    convert_samples(buffer.at(0), count);
    if (!write_samples(output, done, buffer.at(0), count))
      return IoOutcome::WriteFailed;
    if (progress != nullptr)
      progress->advance(count * SAMPLE_BYTES);
  }
  return IoOutcome::Done;
}

IoOutcome copy_spectroscopy_planes(const File &spectroscopy, File &output,
                                   std::int32_t size_x, std::int32_t size_y,
                                   std::int32_t point_count,
                                   std::int32_t first_line,
                                   const Budget &budget, int workers,
                                   Progress *progress) {
  if (size_x <= 0 || size_y <= 0 || point_count <= 0)
    return IoOutcome::Done;
  const std::optional<SpectroscopyBlock> block =
      spectroscopy_block(size_x, size_y, point_count, first_line);
  if (!block ||
      !output.has_room_for(block->pixels * block->points * SAMPLE_BYTES))
    return IoOutcome::WriteFailed;
  // Planes are written a tile-wide run at a time, all over the file; space
  // allocated up front spares the file system from tracking the many growing
  // pieces, which is a tenth of the conversion's time on a large grid. Only
  // for a block the source really holds: a damaged record asking for a huge
  // grid must not have invisible space set aside for it.
  const std::int64_t block_samples = block->pixels * block->points;
  if (spectroscopy.size() / SAMPLE_BYTES >= block->first_sample + block_samples)
    output.reserve(block_samples * SAMPLE_BYTES);

  const tiles::Grid grid{*block, size_x};
  ScalaPlanes planes(output, grid);
  tiles::Settings settings;
  // Two tiles share the plane budget.
  settings.budget = {std::max<std::int64_t>(budget.plane_samples / 2, 1),
                     std::max<std::int64_t>(budget.chunk_samples, 1),
                     tiles::LONG_RUN_BYTES};
  settings.short_reads = tiles::ShortReads::Zeros;
  settings.workers = workers;
  // A run asked to stop ends after the tile it is writing; the set's files
  // are then removed by the conversion.
  settings.stop = interruption_requested;
  if (progress != nullptr)
    settings.progress = progress->part();
  return plane_outcome(
      tiles::run(spectroscopy, grid, tiles::whole_grid(grid), planes, settings));
}

} // namespace planes

IoOutcome copy_topography_plane(const File &topography,
                                std::int64_t first_sample, File &output,
                                std::int32_t size_x, std::int32_t size_y,
                                Progress *progress) {
  return planes::copy_topography_plane(topography, first_sample, output, size_x,
                                       size_y, planes::SAMPLE_BUFFER_BUDGET,
                                       progress);
}

IoOutcome copy_spectroscopy_planes(const File &spectroscopy, File &output,
                                   std::int32_t size_x, std::int32_t size_y,
                                   std::int32_t point_count,
                                   std::int32_t first_line,
                                   Progress *progress) {
  return planes::copy_spectroscopy_planes(
      spectroscopy, output, size_x, size_y, point_count, first_line,
      planes::SAMPLE_BUFFER_BUDGET, tiles::worker_count(), progress);
}

} // namespace parvane
