#include "convert/sample_planes.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "convert/sample_planes_detail.h"

namespace parvane {

std::uint16_t sample_value(std::uint8_t high, std::uint8_t low) {
  return static_cast<std::uint16_t>(high << 8 | low);
}

std::array<std::uint8_t, 2> convert_sample(std::uint16_t u) {
  return {static_cast<std::uint8_t>((u >> 8) ^ 0x80),
          static_cast<std::uint8_t>(u & 0xFF)};
}

namespace planes {
namespace {

constexpr std::int64_t SAMPLE_BYTES = 2;

// Side of the square blocks in which a chunk is transposed (`transpose_block`
// is written for it): eight rows of the plane tile are written at a time, few
// enough to stay in the first-level cache even when the rows lie a power of
// two apart.
constexpr std::int64_t TRANSPOSE_BLOCK = 8;

// XOR with this, on a sample held in memory in file byte order, flips the top
// bit of its high byte: the conversion of `convert_sample`.
constexpr std::uint16_t CONVERT_MASK =
    std::bit_cast<std::uint16_t>(std::array<std::uint8_t, 2>{0x80, 0x00});

bool product_fits(std::int64_t a, std::int64_t b, std::int64_t &product) {
  return !__builtin_mul_overflow(a, b, &product);
}

bool sum_fits(std::int64_t a, std::int64_t b, std::int64_t &sum) {
  return !__builtin_add_overflow(a, b, &sum);
}

// A sample index whose byte position (twice the index) is representable.
bool byte_position_fits(std::int64_t sample_index) {
  std::int64_t ignored = 0;
  return product_fits(sample_index, SAMPLE_BYTES, ignored);
}

// Whether every byte position of a run of `count` samples from index `first`
// on, including the position just past its end, fits in int64.
bool run_fits(std::int64_t first, std::int64_t count) {
  std::int64_t end = 0;
  return sum_fits(first, count, end) && byte_position_fits(first) &&
         byte_position_fits(end) && byte_position_fits(count);
}

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

// Writes the rows `points` of the plane tile to their places in the plane
// set: one run per row, or one run for them all when the tile spans whole
// planes.
bool write_points(File &output, const SpectroscopyBlock &block,
                  const TilePlace &place, const Piece &points,
                  const std::uint16_t *tile) {
  const Tile &size = place.size;
  const std::uint16_t *rows = tile + points.first * size.pixels;
  if (size.pixels == block.pixels)
    return write_samples(
        output, output_sample(block, 0, place.first_point + points.first),
        rows, size.pixels * points.count);
  for (std::int64_t j = 0; j < points.count; ++j)
    if (!write_samples(output,
                       output_sample(block, place.first_pixel,
                                     place.first_point + points.first + j),
                       rows + j * size.pixels, size.pixels))
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

// What the workers of one plane conversion share: the phase they are in (the
// filling or the writing of one tile), the pieces of it not yet taken, and
// whether a piece failed. Every worker finishes each phase before any starts
// the next, and after a failed phase all of them stop; so the plane stops at
// the tile where converting tile after tile would have stopped, and reports
// the same failure, whatever the timing of the workers.
class Crew {
public:
  explicit Crew(int workers) : members_(workers) {}

  // The next piece of the current phase's `pieces`; nullopt when none is
  // left or a piece of this phase has failed.
  std::optional<std::int64_t> take(std::int64_t pieces) {
    if (failed_.load(std::memory_order_relaxed))
      return std::nullopt;
    const std::int64_t piece = next_.fetch_add(1, std::memory_order_relaxed);
    if (piece >= pieces)
      return std::nullopt;
    return piece;
  }

  // A piece failed: a read while filling, a write while writing.
  void fail(IoOutcome outcome) {
    const std::lock_guard<std::mutex> lock(mutex_);
    outcome_ = outcome;
    failed_phase_ = phase_;
    failed_.store(true, std::memory_order_relaxed);
  }

  // Waits until every worker has finished the phase. False when a piece of
  // it failed: the worker stops.
  bool finish_phase() {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t phase = phase_;
    if (++finished_ == members_)
      next_phase();
    else
      phase_begun_.wait(lock, [&] { return phase_ != phase; });
    // Asked of this phase, not of the outcome: a worker that was quick to
    // the next phase may already have failed there.
    return failed_phase_ != phase;
  }

  // A worker that could not be started: the others no longer wait for it.
  void leave() {
    const std::lock_guard<std::mutex> lock(mutex_);
    --members_;
    if (finished_ > 0 && finished_ == members_)
      next_phase();
  }

  // The plane's outcome, once every worker has stopped.
  IoOutcome outcome() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return outcome_;
  }

private:
  // With the mutex held, by the last worker to finish the phase.
  void next_phase() {
    finished_ = 0;
    next_.store(0, std::memory_order_relaxed);
    ++phase_;
    phase_begun_.notify_all();
  }

  std::atomic<std::int64_t> next_{0};
  std::atomic<bool> failed_{false};
  std::mutex mutex_;
  std::condition_variable phase_begun_;
  int members_;
  int finished_ = 0;
  std::uint64_t phase_ = 0;
  std::optional<std::uint64_t> failed_phase_;
  IoOutcome outcome_ = IoOutcome::Done;
};

// Samples in one cache line of the plane tile.
constexpr std::int64_t CACHE_LINE_SAMPLES = 64 / SAMPLE_BYTES;

// How the workers divide a tile: filled in parts of a band of pixels by a
// chunk's points, written in groups of rows. The bands are whole cache lines
// wide, so that two workers filling neighbouring parts do not take turns
// at the same lines.
struct Division {
  Division(const Tile &tile, const Tile &chunk_shape)
      : band_pixels(std::min(tile.pixels,
                             (chunk_shape.pixels + CACHE_LINE_SAMPLES - 1) /
                                 CACHE_LINE_SAMPLES * CACHE_LINE_SAMPLES)),
        band_points(chunk_shape.points),
        // About as many samples written per group as a chunk holds.
        rows(std::max<std::int64_t>(
            chunk_shape.pixels * chunk_shape.points / tile.pixels, 1)) {}

  static std::int64_t count(std::int64_t total, std::int64_t each) {
    return (total + each - 1) / each;
  }
  static Piece part(std::int64_t index, std::int64_t total,
                    std::int64_t each) {
    const std::int64_t first = index * each;
    return {first, std::min(each, total - first)};
  }

  std::int64_t band_pixels;
  std::int64_t band_points;
  std::int64_t rows;
};

// One worker of a plane conversion, with its own chunk buffer: goes through
// the tiles with the crew, filling and then writing the shared tile a piece
// at a time.
class TileWorker {
public:
  TileWorker(const File &source, File &output, const TileGrid &grid,
             const Tile &chunk_shape, std::uint16_t *tile)
      : source_(source), output_(output), grid_(grid),
        chunk_shape_(chunk_shape), division_(grid.tile, chunk_shape),
        tile_(tile), chunk_(chunk_shape.pixels * chunk_shape.points) {}

  bool usable() const { return chunk_.usable(); }

  void run(Crew &crew) {
    const Division &d = division_;
    for (std::int64_t index = 0; index < grid_.count(); ++index) {
      const TilePlace place = grid_.place(index);
      const Tile &size = place.size;
      const std::int64_t point_bands = d.count(size.points, d.band_points);
      while (const std::optional<std::int64_t> piece = crew.take(
                 d.count(size.pixels, d.band_pixels) * point_bands))
        if (!fill_part(
                source_, grid_.block, place,
                d.part(*piece / point_bands, size.pixels, d.band_pixels),
                d.part(*piece % point_bands, size.points, d.band_points),
                chunk_shape_, chunk_.at(0), tile_))
          crew.fail(IoOutcome::ReadFailed);
      if (!crew.finish_phase())
        return;
      while (const std::optional<std::int64_t> piece =
                 crew.take(d.count(size.points, d.rows)))
        if (!write_points(output_, grid_.block, place,
                          d.part(*piece, size.points, d.rows), tile_))
          crew.fail(IoOutcome::WriteFailed);
      if (!crew.finish_phase())
        return;
    }
  }

private:
  const File &source_;
  File &output_;
  const TileGrid &grid_;
  Tile chunk_shape_;
  Division division_;
  std::uint16_t *tile_;
  SampleBuffer chunk_;
};

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

// Chunks' worth of samples a worker must have to convert before starting it
// pays: less than a millisecond's work with the whole budget, against some
// tens of microseconds to start and join a thread.
constexpr std::int64_t WORKER_CHUNKS = 16;

// How many workers convert a block: up to `workers`, but no more than have
// WORKER_CHUNKS chunks each, so that the sets of a few KiB are converted by
// the calling thread alone.
int worker_share(const SpectroscopyBlock &block, const Budget &budget,
                 int workers) {
  const std::int64_t paid_for =
      block.pixels * block.points /
      (WORKER_CHUNKS * std::max<std::int64_t>(budget.chunk_samples, 1));
  return static_cast<int>(
      std::clamp<std::int64_t>(paid_for, 1, std::max(workers, 1)));
}

} // namespace

int worker_count() {
  const unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp<unsigned>(cores, 1, MAX_WORKERS));
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

Tile choose_tile(std::int64_t pixels, std::int64_t points,
                 std::int64_t budget) {
  budget = std::max<std::int64_t>(budget, 1);
  if (points <= budget / pixels)
    return {pixels, points};
  const std::int64_t side = integer_sqrt(budget);
  if (points <= side)
    return {budget / points, points};
  if (pixels <= side)
    return {pixels, budget / pixels};
  // Twice as wide as tall: a run written costs more than a run read.
  const std::int64_t width = std::min(pixels, integer_sqrt(2 * budget));
  return {width, budget / width};
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
  // The workers share the plane tile, so that every run read and written is
  // as long as with one worker; the chunk budget is split between them.
  const TileGrid grid(*block, choose_tile(block->pixels, block->points,
                                          budget.plane_samples));
  const Tile chunk_shape = choose_chunk(
      grid.tile, std::max<std::int64_t>(budget.chunk_samples / workers, 1));
  SampleBuffer tile_buffer(grid.tile.pixels * grid.tile.points);
  if (!tile_buffer.usable())
    return IoOutcome::WriteFailed;
  std::vector<std::unique_ptr<TileWorker>> crew_members;
  for (int w = 0; w < workers; ++w) {
    crew_members.push_back(std::make_unique<TileWorker>(
        spectroscopy, output, grid, chunk_shape, tile_buffer.at(0)));
    if (!crew_members.back()->usable())
      return IoOutcome::WriteFailed;
  }
  // Planes are written a tile-wide run at a time, all over the file; space
  // allocated up front spares the file system from tracking the many growing
  // pieces, which is a tenth of the conversion's time on a large grid. Only
  // for a block the source really holds: a damaged record asking for a huge
  // grid must not have invisible space set aside for it.
  const std::int64_t block_samples = block->pixels * block->points;
  if (spectroscopy.size() / SAMPLE_BYTES >= block->first_sample + block_samples)
    output.reserve(block_samples * SAMPLE_BYTES);

  Crew crew(workers);
  {
    // The calling thread is the first worker; the others run beside it and
    // are joined before the plane reports, so the plane is finished (or has
    // stopped) before the caller goes on to its next file. A helper the
    // system will not start leaves its share to the ones that run.
    Helpers helpers;
    for (std::size_t w = 1; w < crew_members.size(); ++w)
      if (!helpers.start([&crew, &member = *crew_members[w]] {
            member.run(crew);
          }))
        crew.leave();
    crew_members.front()->run(crew);
  }
  return crew.outcome();
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
