#include "convert/sample_planes.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "convert/sample_planes_detail.h"
#include "core/set_layout.h"

namespace parvane {

namespace planes {
namespace {

// Side of the square blocks in which a chunk is transposed (`transpose_block`
// is written for it): eight rows of the plane tile are written at a time, few
// enough to stay in the first-level cache even when the rows lie a power of
// two apart.
constexpr std::int64_t TRANSPOSE_BLOCK = 8;

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

// Eight samples of one row of a block, as the compiler's vector type.
using BlockRow = std::uint16_t __attribute__((vector_size(16)));

// Converts one full block into its transpose: `from` has rows of
// `from_stride` samples, `to` rows of `to_stride` samples. Three rounds of
// interleaving (of single samples, pairs and quadruples) turn the eight rows
// into the eight columns, about half the time of moving sample by sample.
void transpose_block(const std::uint16_t *from, std::int64_t from_stride,
                     std::uint16_t *to, std::int64_t to_stride) {
  BlockRow rows[8], pairs[8], quads[8], columns[8];
  for (int i = 0; i < 8; ++i)
    std::memcpy(&rows[i], from + i * from_stride, sizeof(BlockRow));
  for (int i = 0; i < 8; i += 2) {
    pairs[i] =
        __builtin_shufflevector(rows[i], rows[i + 1], 0, 8, 1, 9, 2, 10, 3, 11);
    pairs[i + 1] = __builtin_shufflevector(rows[i], rows[i + 1], 4, 12, 5, 13,
                                           6, 14, 7, 15);
  }
  for (int h = 0; h < 8; h += 4) {
    for (int i = 0; i < 2; ++i) {
      const BlockRow &upper = pairs[h + i];
      const BlockRow &lower = pairs[h + i + 2];
      quads[h + 2 * i] =
          __builtin_shufflevector(upper, lower, 0, 1, 8, 9, 2, 3, 10, 11);
      quads[h + 2 * i + 1] =
          __builtin_shufflevector(upper, lower, 4, 5, 12, 13, 6, 7, 14, 15);
    }
  }
  for (int i = 0; i < 4; ++i) {
    columns[2 * i] = __builtin_shufflevector(quads[i], quads[i + 4], 0, 1, 2, 3,
                                             8, 9, 10, 11);
    columns[2 * i + 1] = __builtin_shufflevector(quads[i], quads[i + 4], 4, 5,
                                                 6, 7, 12, 13, 14, 15);
  }
  for (int i = 0; i < 8; ++i) {
    const BlockRow converted = columns[i] ^ CONVERT_MASK;
    std::memcpy(to + i * to_stride, &converted, sizeof(BlockRow));
  }
}

// Converts the `rows` x `columns` samples at `from` (rows of `columns`
// samples) into their transpose at `to`, whose rows are `to_stride` samples
// apart.
void transpose_converted(const std::uint16_t *from, std::int64_t rows,
                         std::int64_t columns, std::uint16_t *to,
                         std::int64_t to_stride) {
  const std::int64_t full_rows = rows - rows % TRANSPOSE_BLOCK;
  const std::int64_t full_columns = columns - columns % TRANSPOSE_BLOCK;
  for (std::int64_t c0 = 0; c0 < full_columns; c0 += TRANSPOSE_BLOCK)
    for (std::int64_t r0 = 0; r0 < full_rows; r0 += TRANSPOSE_BLOCK)
      transpose_block(from + r0 * columns + c0, columns,
                      to + c0 * to_stride + r0, to_stride);
  // The edges that do not fill a block.
  for (std::int64_t c = 0; c < columns; ++c)
    for (std::int64_t r = c < full_columns ? full_rows : 0; r < rows; ++r)
      to[c * to_stride + r] = from[r * columns + c] ^ CONVERT_MASK;
}

std::int64_t integer_sqrt(std::int64_t value) {
  auto root = static_cast<std::int64_t>(std::sqrt(static_cast<double>(value)));
  while (root > 0 && root > value / root)
    --root;
  while ((root + 1) <= value / (root + 1))
    ++root;
  return root;
}

// Where one tile of the plane set lies in the block.
struct TilePlace {
  std::int64_t first_pixel = 0;
  std::int64_t first_point = 0;
  Tile size;
};

// Reads the chunk of `chunk` pixels and points at offset (`pixel`, `point`)
// of the tile, pixel-major, into `into`. False when a read failed.
bool read_chunk(const File &source, const SpectroscopyBlock &block,
                std::int64_t pixel, std::int64_t point, const Tile &chunk,
                std::uint16_t *into) {
  if (chunk.points == block.points)
    return read_samples(source, source_sample(block, pixel, 0), into,
                        chunk.pixels * chunk.points);
  for (std::int64_t k = 0; k < chunk.pixels; ++k)
    if (!read_samples(source, source_sample(block, pixel + k, point),
                      into + k * chunk.points, chunk.points))
      return false;
  return true;
}

// A run of consecutive pixels or points of a tile.
struct Piece {
  std::int64_t first = 0;
  std::int64_t count = 0;
};

// Fills the part `pixels` x `points` of the plane tile (point-major, with
// rows of `place.size.pixels` samples), chunk by chunk. False when a read
// failed.
bool fill_part(const File &source, const SpectroscopyBlock &block,
               const TilePlace &place, const Piece &pixels,
               const Piece &points, const Tile &chunk_shape,
               std::uint16_t *chunk, std::uint16_t *tile) {
  const std::int64_t pixel_end = pixels.first + pixels.count;
  const std::int64_t point_end = points.first + points.count;
  for (std::int64_t k0 = pixels.first; k0 < pixel_end;
       k0 += chunk_shape.pixels) {
    for (std::int64_t j0 = points.first; j0 < point_end;
         j0 += chunk_shape.points) {
      const Tile part{std::min(chunk_shape.pixels, pixel_end - k0),
                      std::min(chunk_shape.points, point_end - j0)};
      if (!read_chunk(source, block, place.first_pixel + k0,
                      place.first_point + j0, part, chunk))
        return false;
      transpose_converted(chunk, part.pixels, part.points,
                          tile + j0 * place.size.pixels + k0,
                          place.size.pixels);
    }
  }
  return true;
}

// Writes the plane tile to its places in the plane set: one run per point,
// or one run in all when the tile spans whole planes.
bool write_tile(File &output, const SpectroscopyBlock &block,
                const TilePlace &place, const std::uint16_t *tile) {
  const Tile &size = place.size;
  if (size.pixels == block.pixels)
    return write_samples(output, output_sample(block, 0, place.first_point),
                         tile, size.pixels * size.points);
  for (std::int64_t j = 0; j < size.points; ++j)
    if (!write_samples(
            output,
            output_sample(block, place.first_pixel, place.first_point + j),
            tile + j * size.pixels, size.pixels))
      return false;
  return true;
}

// The tiles of a block in their sequential order: pixel by pixel across the
// block, and within each stretch of pixels point by point.
struct TileGrid {
  TileGrid(const SpectroscopyBlock &block, const Tile &tile)
      : block(block), tile(tile),
        per_stretch((block.points + tile.points - 1) / tile.points) {}

  std::int64_t count() const {
    return (block.pixels + tile.pixels - 1) / tile.pixels * per_stretch;
  }

  TilePlace place(std::int64_t index) const {
    const std::int64_t first_pixel = index / per_stretch * tile.pixels;
    const std::int64_t first_point = index % per_stretch * tile.points;
    return {first_pixel,
            first_point,
            {std::min(tile.pixels, block.pixels - first_pixel),
             std::min(tile.points, block.points - first_point)}};
  }

  SpectroscopyBlock block;
  Tile tile;
  std::int64_t per_stretch;
};

// Samples in one cache line of the plane tile.
constexpr std::int64_t CACHE_LINE_SAMPLES = 64 / SAMPLE_BYTES;

// The parts in which a tile is filled: a band of pixels by a chunk's points.
// The bands are whole cache lines wide, so that two workers filling
// neighbouring parts do not take turns at the same lines.
struct FillParts {
  FillParts(const Tile &tile, const Tile &chunk_shape)
      : band_pixels(std::min(tile.pixels,
                             (chunk_shape.pixels + CACHE_LINE_SAMPLES - 1) /
                                 CACHE_LINE_SAMPLES * CACHE_LINE_SAMPLES)),
        band_points(chunk_shape.points) {}

  std::int64_t count(const Tile &size) const {
    return bands(size.pixels, band_pixels) * bands(size.points, band_points);
  }
  Piece pixels(const Tile &size, std::int64_t part) const {
    return band(part / bands(size.points, band_points), size.pixels,
                band_pixels);
  }
  Piece points(const Tile &size, std::int64_t part) const {
    return band(part % bands(size.points, band_points), size.points,
                band_points);
  }

private:
  static std::int64_t bands(std::int64_t total, std::int64_t each) {
    return (total + each - 1) / each;
  }
  static Piece band(std::int64_t index, std::int64_t total,
                    std::int64_t each) {
    const std::int64_t first = index * each;
    return {first, std::min(each, total - first)};
  }

  std::int64_t band_pixels;
  std::int64_t band_points;
};

// One part of one tile: what a worker fills at a time.
struct Part {
  std::int64_t tile = 0;
  std::int64_t index = 0;
};

// The parts of a plane conversion's tiles, handed out in tile order to the
// workers that fill them. Tile t is filled into the tile buffer `slot(t)`,
// one of `slots`; its parts are handed out once that buffer is free, that is
// once the tile `slots` before it has been written. Only the calling thread
// writes, tile after tile, so with two buffers the helpers fill the next tile
// while it writes the last.
class FillQueue {
public:
  FillQueue(const TileGrid &grid, const FillParts &parts, std::int64_t slots)
      : grid_(grid), parts_(parts), slots_(static_cast<std::size_t>(slots)) {}

  std::size_t slot(std::int64_t tile) const {
    return static_cast<std::size_t>(tile) % slots_.size();
  }

  // For a helper: the next part of whichever tile is next, waiting while its
  // buffer is taken; nullopt when no part is left to hand out.
  std::optional<Part> next() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
      return next_.tile == grid_.count() ||
             next_.tile - written_ < static_cast<std::int64_t>(slots_.size());
    });
    return take();
  }

  // For the calling thread, about to write `tile`: its next part, nullopt
  // once all of its parts have been handed out.
  std::optional<Part> next_of(std::int64_t tile) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (next_.tile != tile)
      return std::nullopt;
    return take();
  }

  void filled(const Part &part, bool ok) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Slot &slot = slots_[this->slot(part.tile)];
    ++slot.parts_filled;
    slot.read_failed |= !ok;
    changed_.notify_all();
  }

  // Waits until every part of `tile` has been filled. False when a read of
  // one of them failed.
  bool wait_filled(std::int64_t tile) {
    std::unique_lock<std::mutex> lock(mutex_);
    const Slot &slot = slots_[this->slot(tile)];
    changed_.wait(lock, [&] { return slot.parts_filled == part_count(tile); });
    return !slot.read_failed;
  }

  // `tile` is written: its buffer takes the tile `slots` after it.
  void written(std::int64_t tile) {
    const std::lock_guard<std::mutex> lock(mutex_);
    slots_[slot(tile)] = Slot{};
    ++written_;
    changed_.notify_all();
  }

  // Hands out no more parts: each helper finishes the part it has and stops.
  void stop() {
    const std::lock_guard<std::mutex> lock(mutex_);
    next_ = {grid_.count(), 0};
    changed_.notify_all();
  }

private:
  // What became of the parts of the tile in one buffer.
  struct Slot {
    std::int64_t parts_filled = 0; // whether the reads succeeded or not
    bool read_failed = false;
  };

  std::int64_t part_count(std::int64_t tile) const {
    return parts_.count(grid_.place(tile).size);
  }

  // With the mutex held: hands out the next part, if any is left.
  std::optional<Part> take() {
    if (next_.tile == grid_.count())
      return std::nullopt;
    const Part part = next_;
    if (++next_.index == part_count(next_.tile))
      next_ = {next_.tile + 1, 0};
    return part;
  }

  const TileGrid &grid_;
  const FillParts &parts_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Part next_;                // the next part to hand out
  std::int64_t written_ = 0; // tiles written, in order
  std::vector<Slot> slots_;
};

// What the workers of one plane conversion share.
struct PlaneWork {
  const File &source;
  File &output;
  const TileGrid &grid;
  const FillParts &parts;
  Tile chunk_shape;
  const std::vector<std::uint16_t *> &tiles;
  FillQueue &queue;

  // Fills one part through `chunk`. False when a read failed.
  bool fill(const Part &part, std::uint16_t *chunk) const {
    const TilePlace place = grid.place(part.tile);
    return fill_part(source, grid.block, place,
                     parts.pixels(place.size, part.index),
                     parts.points(place.size, part.index), chunk_shape, chunk,
                     tiles[queue.slot(part.tile)]);
  }
};

// A helper: fills whatever part is next until none is left.
void help(const PlaneWork &work, std::uint16_t *chunk) {
  while (const std::optional<Part> part = work.queue.next())
    work.queue.filled(*part, work.fill(*part, chunk));
}

// The calling thread, the only writer: tile after tile, in order, it helps
// fill the tile until all of it is filled, stops if a read of it failed, and
// writes it. So the first tile whose read or write failed stops the plane,
// and the plane reports, and leaves on disk, what one worker alone would
// have, however the helpers are timed.
IoOutcome fill_and_write(const PlaneWork &work, std::uint16_t *chunk) {
  for (std::int64_t tile = 0; tile < work.grid.count(); ++tile) {
    while (const std::optional<Part> part = work.queue.next_of(tile))
      work.queue.filled(*part, work.fill(*part, chunk));
    if (!work.queue.wait_filled(tile))
      return IoOutcome::ReadFailed;
    if (!write_tile(work.output, work.grid.block, work.grid.place(tile),
                    work.tiles[work.queue.slot(tile)]))
      return IoOutcome::WriteFailed;
    work.queue.written(tile);
  }
  return IoOutcome::Done;
}

// The threads started beside the calling one, joined when they go out of
// scope.
class Helpers {
public:
  Helpers() = default;
  Helpers(const Helpers &) = delete;
  Helpers &operator=(const Helpers &) = delete;
  ~Helpers() {
    for (std::thread &thread : threads_)
      thread.join();
  }

  // False when the system would not start another thread.
  template <typename Work> bool start(Work work) {
    try {
      threads_.emplace_back(std::move(work));
      return true;
    } catch (const std::exception &) { // no thread, or no room to keep it
      return false;
    }
  }

private:
  std::vector<std::thread> threads_;
};

// How many workers convert a block: up to `workers` when the block needs
// more than one tile of the whole budget, else the calling thread alone.
// Measured on 2 cores, a block of one such tile (4 MiB) converts no faster
// with a second worker, since its single write cannot overlap the filling of
// a next tile, and from two tiles on the second worker gains; the sets of a
// few KiB start no thread at all.
int worker_share(const SpectroscopyBlock &block, const Budget &budget,
                 int workers) {
  if (block.pixels * block.points <= budget.plane_samples)
    return 1;
  return std::max(workers, 1);
}

} // namespace

int worker_count() {
  const unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp<unsigned>(cores, 1, MAX_WORKERS));
}

Tile choose_tile(std::int64_t pixels, std::int64_t points, std::int64_t budget,
                 std::int64_t slots) {
  budget = std::max<std::int64_t>(budget, 1);
  const std::int64_t share = std::max<std::int64_t>(budget / slots, 1);
  if (points <= share / pixels)
    return {pixels, points};
  const std::int64_t side = integer_sqrt(share);
  if (points <= side)
    return {share / points, points};
  if (pixels <= side)
    return {pixels, share / pixels};
  // About twice as wide as a tile of the whole budget is tall: a run written
  // costs more than a run read. Shared out, the tiles keep that width and
  // get fewer points: the writes, which wait for each other in the file
  // system, stay as few and as long, and the reads, which run side by side,
  // get shorter.
  const std::int64_t width =
      std::min({pixels, integer_sqrt(2 * budget), share});
  return {width, share / width};
}

Tile choose_chunk(const Tile &tile, std::int64_t budget) {
  budget = std::max<std::int64_t>(budget, 1);
  const std::int64_t points = std::min(tile.points, budget);
  return {std::min(tile.pixels, budget / points), points};
}

IoOutcome copy_topography_plane(const File &topography,
                                std::int64_t first_sample, File &output,
                                std::int32_t size_x, std::int32_t size_y,
                                const Budget &budget) {
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
  }
  return IoOutcome::Done;
}

IoOutcome copy_spectroscopy_planes(const File &spectroscopy, File &output,
                                   std::int32_t size_x, std::int32_t size_y,
                                   std::int32_t point_count,
                                   std::int32_t first_line,
                                   const Budget &budget, int workers) {
  if (size_x <= 0 || size_y <= 0 || point_count <= 0)
    return IoOutcome::Done;
  const std::optional<SpectroscopyBlock> block =
      spectroscopy_block(size_x, size_y, point_count, first_line);
  if (!block ||
      !output.has_room_for(block->pixels * block->points * SAMPLE_BYTES))
    return IoOutcome::WriteFailed;
  workers = worker_share(*block, budget, workers);
  // Several workers fill one tile while another is written, so the plane
  // budget makes two tiles for them; the chunk budget is split between them.
  const std::int64_t slots = workers > 1 ? 2 : 1;
  const TileGrid grid(*block, choose_tile(block->pixels, block->points,
                                          budget.plane_samples, slots));
  const Tile chunk_shape = choose_chunk(
      grid.tile, std::max<std::int64_t>(budget.chunk_samples / workers, 1));
  const FillParts parts(grid.tile, chunk_shape);
  std::vector<std::unique_ptr<SampleBuffer>> buffers;
  std::vector<std::uint16_t *> tiles;
  std::vector<std::uint16_t *> chunks;
  for (std::int64_t k = 0; k < slots + workers; ++k) {
    const bool is_tile = k < slots;
    buffers.push_back(std::make_unique<SampleBuffer>(
        is_tile ? grid.tile.pixels * grid.tile.points
                : chunk_shape.pixels * chunk_shape.points));
    if (!buffers.back()->usable())
      return IoOutcome::WriteFailed;
    (is_tile ? tiles : chunks).push_back(buffers.back()->at(0));
  }
  // Planes are written a tile-wide run at a time, all over the file; space
  // allocated up front spares the file system from tracking the many growing
  // pieces, which is a tenth of the conversion's time on a large grid. Only
  // for a block the source really holds: a damaged record asking for a huge
  // grid must not have invisible space set aside for it.
  const std::int64_t block_samples = block->pixels * block->points;
  if (spectroscopy.size() / SAMPLE_BYTES >= block->first_sample + block_samples)
    output.reserve(block_samples * SAMPLE_BYTES);

  FillQueue queue(grid, parts, slots);
  const PlaneWork work{spectroscopy, output, grid, parts,
                       chunk_shape,  tiles,  queue};
  // The helpers run beside the calling thread and are joined before the
  // plane reports, so the plane is finished (or has stopped) before the
  // caller goes on to its next file. A helper the system will not start
  // leaves its share to the ones that run.
  Helpers helpers;
  for (std::size_t w = 1; w < chunks.size(); ++w)
    if (!helpers.start([&work, chunk = chunks[w]] { help(work, chunk); }))
      break;
  const IoOutcome outcome = fill_and_write(work, chunks.front());
  queue.stop();
  return outcome;
}

} // namespace planes

IoOutcome copy_topography_plane(const File &topography,
                                std::int64_t first_sample, File &output,
                                std::int32_t size_x, std::int32_t size_y) {
  return planes::copy_topography_plane(topography, first_sample, output, size_x,
                                       size_y, planes::SAMPLE_BUFFER_BUDGET);
}

IoOutcome copy_spectroscopy_planes(const File &spectroscopy, File &output,
                                   std::int32_t size_x, std::int32_t size_y,
                                   std::int32_t point_count,
                                   std::int32_t first_line) {
  return planes::copy_spectroscopy_planes(
      spectroscopy, output, size_x, size_y, point_count, first_line,
      planes::SAMPLE_BUFFER_BUDGET, planes::worker_count());
}

} // namespace parvane
