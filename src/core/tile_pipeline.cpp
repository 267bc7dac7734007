#include "core/tile_pipeline.h"

#include <algorithm>
#include <array>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace parvane::tiles {
namespace {

// A read call costs about what copying this many bytes from the page cache
// does.
constexpr double READ_CALL_BYTES = 16 << 10;

std::int64_t ceil_div(std::int64_t a, std::int64_t b) { return (a + b - 1) / b; }

// ---------------------------------------------------------------------------
// Transposing

// Eight samples of one row of a block, as the compiler's vector type.
using BlockRow = std::uint16_t __attribute__((vector_size(16)));

// One 8 x 8 block into its transpose: `from` has rows of `from_stride`
// samples, `to` rows of `to_stride` samples. Three rounds of interleaving (of
// single samples, pairs and quadruples) turn the eight rows into the eight
// columns, about half the time of moving sample by sample.
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
  for (int i = 0; i < 8; ++i)
    std::memcpy(to + i * to_stride, &columns[i], sizeof(BlockRow));
}

// The `rows` x `columns` samples at `from` (rows `from_stride` apart) into
// their transpose at `to` (rows `to_stride` apart).
void transpose(const std::uint16_t *from, std::int64_t rows,
               std::int64_t columns, std::int64_t from_stride,
               std::uint16_t *to, std::int64_t to_stride) {
  if (columns == 1 && from_stride == 1) {
    std::memcpy(to, from, static_cast<std::size_t>(rows) * sizeof *to);
    return;
  }
  const std::int64_t full_rows = rows - rows % 8;
  const std::int64_t full_columns = columns - columns % 8;
  for (std::int64_t c0 = 0; c0 < full_columns; c0 += 8)
    for (std::int64_t r0 = 0; r0 < full_rows; r0 += 8)
      transpose_block(from + r0 * from_stride + c0, from_stride,
                      to + c0 * to_stride + r0, to_stride);
  // The edges that do not fill a block.
  for (std::int64_t c = 0; c < columns; ++c)
    for (std::int64_t r = c < full_columns ? full_rows : 0; r < rows; ++r)
      to[c * to_stride + r] = from[r * from_stride + c];
}

// ---------------------------------------------------------------------------
// The plan

// The tiles of a box in the order they are written: groups of lines (from
// the last when the sink wants its lines bottom-up), then groups of pixels
// across each line, then bands of levels. A tile's bands follow each other,
// so its lines are read again while the page cache, and often the processor's
// cache, still holds them. (So a run that stops after the first band of a
// group of lines leaves that band's levels with one group more than the
// others: what was written is whole tiles, not whole groups.)
class Plan {
public:
  Plan(const Box &box, const Shape &shape, bool reversed)
      : box_(box), shape_(shape), reversed_(reversed),
        line_groups_(ceil_div(box.lines, shape.lines)),
        pixel_groups_(ceil_div(box.pixels, shape.pixels)),
        bands_(ceil_div(box.levels, shape.levels)) {}

  std::int64_t count() const { return line_groups_ * pixel_groups_ * bands_; }

  Box tile(std::int64_t index) const {
    const std::int64_t band = index % bands_;
    const std::int64_t pixel_group = index / bands_ % pixel_groups_;
    const std::int64_t line_group = index / bands_ / pixel_groups_;
    Box t;
    t.first_level = band * shape_.levels;
    t.levels = std::min(shape_.levels, box_.levels - t.first_level);
    t.first_pixel = pixel_group * shape_.pixels;
    t.pixels = std::min(shape_.pixels, box_.pixels - t.first_pixel);
    if (reversed_) {
      const std::int64_t end = box_.lines - line_group * shape_.lines;
      t.lines = std::min(shape_.lines, end);
      t.first_line = end - t.lines;
    } else {
      t.first_line = line_group * shape_.lines;
      t.lines = std::min(shape_.lines, box_.lines - t.first_line);
    }
    t.first_level += box_.first_level;
    t.first_line += box_.first_line;
    t.first_pixel += box_.first_pixel;
    return t;
  }

private:
  Box box_;
  Shape shape_;
  bool reversed_;
  std::int64_t line_groups_, pixel_groups_, bands_;
};

// ---------------------------------------------------------------------------
// Reading

class Reader {
public:
  Reader(const File &source, const Grid &grid, const Box &box,
         std::int64_t chunk_samples, bool by_pixel, ShortReads short_reads)
      : source_(source), grid_(grid), chunk_samples_(chunk_samples),
        by_pixel_(by_pixel), short_reads_(short_reads),
        first_band_(box.first_level),
        // Read pixel by pixel, the box's bands of one group of pixels come
        // in pieces far apart: unless most of each pixel is wanted, the
        // system's cache is better left to fetch only those pieces.
        prefetch_(by_pixel && 2 * box.levels >= grid.block.points) {}

  // The tile's samples into `stage`, level-major, through `chunk`.
  Outcome read(const Box &t, std::uint16_t *chunk, std::uint16_t *stage) const {
    // Whole lines lie side by side: one run of pixels for the tile.
    const bool whole_lines = t.pixels == grid_.x;
    const std::int64_t runs = whole_lines ? 1 : t.lines;
    const std::int64_t run_pixels = whole_lines ? t.plane() : t.pixels;
    // The first band of a group of pixels asks for all of them at once: the
    // disk then reads them in long runs rather than each band's piece of
    // each pixel on its own.
    if (prefetch_ && t.first_level == first_band_)
      for (std::int64_t r = 0; r < runs; ++r)
        prefetch(source_sample(grid_.block,
                               (t.first_line + r) * grid_.x + t.first_pixel, 0) *
                     SAMPLE_BYTES,
                 run_pixels * grid_.block.points * SAMPLE_BYTES);
    for (std::int64_t r = 0; r < runs; ++r) {
      const std::int64_t pixel = (t.first_line + r) * grid_.x + t.first_pixel;
      if (const Outcome o = read_run(t, pixel, run_pixels, chunk, stage + r * t.pixels,
                                     t.plane());
          o != Outcome::Done)
        return o;
    }
    return Outcome::Done;
  }

private:
  // The system reads ahead at most its read-ahead window per hint (often
  // 128 KiB), so the hint goes in pieces of that size; and a group larger
  // than the page cache would spare gets none, lest it push out its own
  // first pages before they are read.
  void prefetch(std::int64_t offset, std::int64_t length) const {
    constexpr std::int64_t PIECE = std::int64_t{128} << 10;
    constexpr std::int64_t MOST = std::int64_t{256} << 20;
    if (length > MOST)
      return;
    for (std::int64_t done = 0; done < length; done += PIECE)
      source_.prefetch(offset + done, std::min(PIECE, length - done));
  }

  // `count` pixels from `pixel` on, the tile's levels of each, into the
  // stage's columns at `to` (levels `plane` apart).
  Outcome read_run(const Box &t, std::int64_t pixel, std::int64_t count,
                   std::uint16_t *chunk, std::uint16_t *to,
                   std::int64_t plane) const {
    const std::int64_t points = grid_.block.points;
    if (!by_pixel_) {
      // Whole pixels, a chunk at a time; the tile's levels of each kept.
      const std::int64_t per_chunk = chunk_samples_ / points;
      for (std::int64_t j = 0; j < count; j += per_chunk) {
        const std::int64_t n = std::min(per_chunk, count - j);
        if (const Outcome o = read_samples(
                source_sample(grid_.block, pixel + j, 0), n * points,
                (n - 1) * points + t.first_level + t.levels, chunk);
            o != Outcome::Done)
          return o;
        transpose(chunk + t.first_level, n, t.levels, points, to + j, plane);
      }
      return Outcome::Done;
    }
    // Pixel by pixel, a group of pixels to a chunk: each pixel's levels in
    // pieces no longer than the chunk, the group transposed together.
    const std::int64_t piece = std::min(t.levels, chunk_samples_);
    const std::int64_t group = std::max<std::int64_t>(chunk_samples_ / piece, 1);
    for (std::int64_t j = 0; j < count; j += group) {
      const std::int64_t n = std::min(group, count - j);
      for (std::int64_t l0 = 0; l0 < t.levels; l0 += piece) {
        const std::int64_t length = std::min(piece, t.levels - l0);
        for (std::int64_t k = 0; k < n; ++k)
          if (const Outcome o = read_samples(
                  source_sample(grid_.block, pixel + j + k, t.first_level + l0),
                  length, length, chunk + k * length);
              o != Outcome::Done)
            return o;
        transpose(chunk, n, length, length, to + l0 * plane + j, plane);
      }
    }
    return Outcome::Done;
  }

  // `count` samples from sample index `first` on, of which the first
  // `needed` are used; a short read is a failure only when it lacks those.
  Outcome read_samples(std::int64_t first, std::int64_t count,
                       std::int64_t needed, std::uint16_t *into) const {
    const std::optional<std::size_t> got = source_.read_at(
        first * SAMPLE_BYTES, {reinterpret_cast<std::uint8_t *>(into),
                               static_cast<std::size_t>(count * SAMPLE_BYTES)});
    if (!got)
      return Outcome::ReadFailed;
    if (short_reads_ == ShortReads::Fail &&
        static_cast<std::int64_t>(*got) < needed * SAMPLE_BYTES)
      return Outcome::ShortRead;
    return Outcome::Done;
  }

  const File &source_;
  const Grid &grid_;
  std::int64_t chunk_samples_;
  bool by_pixel_;
  ShortReads short_reads_;
  std::int64_t first_band_;
  bool prefetch_;
};

// ---------------------------------------------------------------------------
// The schedule

// Which tile is where. Tile t is filled into slot t % slots; it is handed
// out once that slot is free, that is once the tile `slots` before it has
// been written. Only the calling thread writes, tile after tile, so with two
// slots the helpers fill the next tile while it writes the last.
class Schedule {
public:
  Schedule(std::int64_t tiles, std::int64_t slots)
      : tiles_(tiles), slots_(static_cast<std::size_t>(slots)) {}

  std::size_t slot(std::int64_t tile) const {
    return static_cast<std::size_t>(tile) % slots_.size();
  }

  // For a helper: the next tile to fill, waiting while its slot is taken;
  // nullopt once none is left or the run stops.
  std::optional<std::int64_t> next() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
      return stopped_ || next_ == tiles_ ||
             next_ - written_ < static_cast<std::int64_t>(slots_.size());
    });
    if (stopped_ || next_ == tiles_)
      return std::nullopt;
    return next_++;
  }

  // For the calling thread, about to write `tile`: true when nobody has
  // taken it yet, and now the caller has.
  bool take(std::int64_t tile) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (next_ != tile)
      return false;
    ++next_;
    return true;
  }

  void filled(std::int64_t tile, Outcome outcome) {
    const std::lock_guard<std::mutex> lock(mutex_);
    slots_[slot(tile)] = {true, outcome};
    changed_.notify_all();
  }

  Outcome wait_filled(std::int64_t tile) {
    std::unique_lock<std::mutex> lock(mutex_);
    const Slot &s = slots_[slot(tile)];
    changed_.wait(lock, [&] { return s.filled; });
    return s.outcome;
  }

  void written(std::int64_t tile) {
    const std::lock_guard<std::mutex> lock(mutex_);
    slots_[slot(tile)] = {};
    ++written_;
    changed_.notify_all();
  }

  // No more tiles are handed out: each helper finishes the one it has.
  void stop() {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

private:
  struct Slot {
    bool filled = false;
    Outcome outcome = Outcome::Done;
  };

  const std::int64_t tiles_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::int64_t next_ = 0, written_ = 0;
  bool stopped_ = false;
  std::vector<Slot> slots_;
};

// The helper threads, stopped and joined when they go out of scope, so that
// a run is finished before it reports.
class Helpers {
public:
  explicit Helpers(Schedule &schedule) : schedule_(schedule) {}
  Helpers(const Helpers &) = delete;
  Helpers &operator=(const Helpers &) = delete;
  ~Helpers() {
    schedule_.stop();
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
  Schedule &schedule_;
  std::vector<std::thread> threads_;
};

// Samples in pages of their own.
class Samples {
public:
  explicit Samples(std::int64_t bytes)
      : pages_(static_cast<std::size_t>(std::max<std::int64_t>(bytes, 1))) {}
  bool usable() const { return pages_.usable(); }
  template <typename T> T *as() const { return static_cast<T *>(pages_.data()); }

private:
  PageBuffer pages_;
};

// ---------------------------------------------------------------------------
// The memory sink

class MemorySink final : public Sink {
public:
  MemorySink(const Grid &grid, const Box &box, const MemoryTarget &target,
             std::int64_t present_samples)
      : grid_(grid), box_(box), target_(target), present_(present_samples) {}

  std::int64_t value_bytes() const override { return 0; }

  void convert(const Box &t, std::uint16_t *samples, std::uint8_t *) const override {
    const std::int64_t plane = t.plane();
    for (std::int64_t l = 0; l < t.levels; ++l) {
      for (std::int64_t r = 0; r < t.lines; ++r) {
        const std::int64_t level = t.first_level + l, line = t.first_line + r;
        const std::int64_t at =
            ((level - box_.first_level) * box_.lines + line - box_.first_line) *
                box_.pixels + t.first_pixel - box_.first_pixel;
        const std::uint16_t *from = samples + l * plane + r * t.pixels;
        // Samples from this one on are missing from the source.
        std::int64_t present = t.pixels;
        if (target_.fill_missing) {
          present = 0;
          while (present < t.pixels &&
                 source_sample(grid_.block, line * grid_.x + t.first_pixel + present,
                               level) < present_)
            ++present;
        }
        place(from, present, t.pixels, at);
      }
    }
  }

  bool write(const Box &, const std::uint16_t *, const std::uint8_t *) override {
    return true;
  }

private:
  void place(const std::uint16_t *from, std::int64_t present, std::int64_t count,
             std::int64_t at) const {
    if (target_.samples != nullptr) {
      std::int16_t *to = target_.samples + at;
      for (std::int64_t i = 0; i < present; ++i)
        to[i] = target_.physical.sample(stored_value(from[i]));
      std::fill(to + present, to + count, sample_fill());
    } else {
      double *to = target_.values + at;
      for (std::int64_t i = 0; i < present; ++i)
        to[i] = target_.physical.of(stored_value(from[i]));
      std::fill(to + present, to + count, target_.fill);
    }
  }

  // The fill as a sample: within int16's range, NaN as 0.
  std::int16_t sample_fill() const {
    const double fill = target_.fill;
    if (!(fill == fill))
      return 0;
    return static_cast<std::int16_t>(std::clamp(fill, -32768.0, 32767.0));
  }

  const Grid &grid_;
  const Box &box_;
  const MemoryTarget &target_;
  std::int64_t present_;
};

} // namespace

Box whole_grid(const Grid &grid) {
  return {0, grid.block.points, 0, grid.lines(), 0, grid.x};
}

Shape tile_shape(const Box &box, std::int64_t x, std::int64_t points,
                 const Budget &budget) {
  const std::int64_t tile = std::max<std::int64_t>(budget.tile_samples, 1);
  const std::int64_t chunk = std::max<std::int64_t>(budget.chunk_samples, 1);
  points = std::max<std::int64_t>(points, 1);
  const std::int64_t lines = std::max<std::int64_t>(box.lines, 1);
  const std::int64_t pixels = std::max<std::int64_t>(box.pixels, 1);
  const std::int64_t levels = std::max<std::int64_t>(box.levels, 1);
  // A line wider than a tile: part of one line, one level.
  if (pixels >= tile)
    return {1, tile, 1, points > chunk};
  const bool whole_lines = pixels == x;
  const auto cost = [&](const Shape &s) {
    const double tiles = double(ceil_div(lines, s.lines)) *
                         double(ceil_div(levels, s.levels));
    const std::int64_t runs = whole_lines ? 1 : s.lines;
    const std::int64_t run_pixels = whole_lines ? s.lines * pixels : pixels;
    double reads = 0, bytes_read = 0;
    if (!s.by_pixel) {
      reads = double(runs) * double(ceil_div(run_pixels, chunk / points));
      bytes_read = double(s.lines * pixels) * double(points) * SAMPLE_BYTES;
    } else {
      reads = double(s.lines * pixels) * double(ceil_div(s.levels, chunk));
      bytes_read = double(s.lines * pixels) * double(s.levels) * SAMPLE_BYTES;
    }
    // Every level of a tile is a run of the output, all levels one run when
    // the tile is whole levels.
    const double writes = s.lines == box.lines && whole_lines
                              ? 1
                              : double(s.levels) * double(runs);
    return tiles * (reads * READ_CALL_BYTES + bytes_read +
                    writes * double(budget.write_call_bytes));
  };
  // For each number of bands, the most lines that fit, read either way.
  Shape best{1, pixels, 1, points > chunk};
  double best_cost = cost(best);
  for (std::int64_t band = levels; band >= 1;) {
    for (const bool by_pixel : {false, true}) {
      const Shape s{std::min(lines, tile / (pixels * band)), pixels, band,
                    by_pixel};
      if (s.lines < 1 || (!by_pixel && points > chunk))
        continue;
      if (const double c = cost(s); c < best_cost) {
        best = s;
        best_cost = c;
      }
    }
    if (band == 1)
      break;
    // The next smaller band that changes the number of bands.
    const std::int64_t bands = ceil_div(levels, band);
    band = std::min(band - 1, ceil_div(levels, bands + 1));
  }
  return best;
}

int worker_count() {
  const unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(
      std::clamp<unsigned>(cores, 1, static_cast<unsigned>(MAX_WORKERS)));
}

Outcome run(const File &source, const Grid &grid, const Box &box, Sink &sink,
            const Settings &settings) {
  if (box.levels <= 0 || box.lines <= 0 || box.pixels <= 0)
    return Outcome::Done;
  const Budget &budget = settings.budget;
  const Shape shape = tile_shape(box, grid.x, grid.block.points, budget);
  const Plan plan(box, shape, sink.lines_reversed());
  const std::int64_t tile_samples = shape.lines * shape.pixels * shape.levels;
  // A box of one tile is done before a thread would have started.
  const int workers =
      plan.count() > 1 ? std::clamp(settings.workers, 1, MAX_WORKERS) : 1;
  const std::int64_t slots = workers > 1 ? 2 : 1;
  const std::int64_t chunk_samples =
      std::max<std::int64_t>(std::min(budget.chunk_samples, tile_samples *
                                      grid.block.points), 1);

  std::vector<std::unique_ptr<Samples>> buffers;
  const auto buffer = [&](std::int64_t bytes) -> Samples * {
    buffers.push_back(std::make_unique<Samples>(bytes));
    return buffers.back()->usable() ? buffers.back().get() : nullptr;
  };
  std::vector<std::uint16_t *> stages, chunks;
  std::vector<std::uint8_t *> outs;
  for (std::int64_t k = 0; k < slots; ++k) {
    Samples *stage = buffer(tile_samples * SAMPLE_BYTES);
    Samples *out = sink.value_bytes() > 0
                       ? buffer(tile_samples * sink.value_bytes())
                       : nullptr;
    if (stage == nullptr || (sink.value_bytes() > 0 && out == nullptr))
      return Outcome::NoMemory;
    stages.push_back(stage->as<std::uint16_t>());
    outs.push_back(out != nullptr ? out->as<std::uint8_t>() : nullptr);
  }
  for (int w = 0; w < workers; ++w) {
    Samples *chunk = buffer(chunk_samples * SAMPLE_BYTES);
    if (chunk == nullptr)
      return Outcome::NoMemory;
    chunks.push_back(chunk->as<std::uint16_t>());
  }

  const Reader reader(source, grid, box, chunk_samples, shape.by_pixel,
                      settings.short_reads);
  Schedule schedule(plan.count(), slots);
  const auto fill = [&](std::int64_t index, std::uint16_t *chunk) {
    const Box t = plan.tile(index);
    const std::size_t slot = schedule.slot(index);
    const Outcome o = reader.read(t, chunk, stages[slot]);
    if (o == Outcome::Done)
      sink.convert(t, stages[slot], outs[slot]);
    return o;
  };
  // Helpers run beside the calling thread and are stopped and joined before
  // the run reports. One the system will not start leaves its share to the
  // others.
  Helpers helpers(schedule);
  for (std::size_t w = 1; w < chunks.size(); ++w)
    if (!helpers.start([&schedule, &fill, chunk = chunks[w]] {
          while (const std::optional<std::int64_t> t = schedule.next())
            schedule.filled(*t, fill(*t, chunk));
        }))
      break;

  // The calling thread, the only writer: tile after tile, in order, it fills
  // the tile unless a helper has taken it, stops at the first failure, and
  // writes it. So the run reports, and leaves behind, what one worker alone
  // would have, however the helpers are timed.
  const std::int64_t planned = box.samples() * SAMPLE_BYTES;
  std::int64_t done = 0;
  for (std::int64_t index = 0; index < plan.count(); ++index) {
    if (settings.stop && settings.stop())
      return Outcome::Stopped;
    if (schedule.take(index))
      schedule.filled(index, fill(index, chunks.front()));
    if (const Outcome o = schedule.wait_filled(index); o != Outcome::Done)
      return o;
    const Box t = plan.tile(index);
    const std::size_t slot = schedule.slot(index);
    if (!sink.write(t, stages[slot], outs[slot]))
      return Outcome::WriteFailed;
    schedule.written(index);
    done += t.samples() * SAMPLE_BYTES;
    if (settings.progress)
      settings.progress(done, planned);
  }
  return Outcome::Done;
}

Outcome read_box(const File &source, const Grid &grid, const Box &box,
                 const MemoryTarget &target, int workers, const Budget &budget) {
  // Each range within the grid, checked before anything is computed from
  // it, so that no sum or product of a caller's numbers can overflow.
  const auto within = [](std::int64_t first, std::int64_t count,
                         std::int64_t limit) {
    return first >= 0 && count >= 0 && first <= limit && count <= limit - first;
  };
  if (!within(box.first_level, box.levels, grid.block.points) ||
      !within(box.first_line, box.lines, grid.lines()) ||
      !within(box.first_pixel, box.pixels, grid.x) ||
      (target.samples == nullptr && target.values == nullptr))
    return Outcome::NoMemory;
  if (box.levels == 0 || box.lines == 0 || box.pixels == 0)
    return Outcome::Done;
  const std::int64_t present = source.size() / SAMPLE_BYTES;
  // The last sample the box takes.
  const std::int64_t last = source_sample(
      grid.block,
      (box.first_line + box.lines - 1) * grid.x + box.first_pixel + box.pixels - 1,
      box.first_level + box.levels - 1);
  if (!target.fill_missing && last >= present)
    return Outcome::ShortRead;
  MemorySink sink(grid, box, target, present);
  Settings settings;
  settings.budget = budget;
  settings.short_reads =
      target.fill_missing ? ShortReads::Zeros : ShortReads::Fail;
  settings.workers = workers;
  return run(source, grid, box, sink, settings);
}

} // namespace parvane::tiles
