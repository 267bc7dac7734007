// The one way spectroscopy samples reach any output: a transpose in tiles.
//
// A direction's spectroscopy block holds its samples pixel after pixel, all
// points of a pixel side by side; every output wants them level after level
// (a level: one point of every pixel). The pipeline cuts a box of the grid
// into tiles (some lines, some pixels of each, some levels), and for each
// tile a filler reads its source samples, transposes them into level-major
// order and hands them to a sink, which converts them into its own values;
// the calling thread alone then has the sink write the tile. The rules hold
// for every sink:
//
// - helpers fill, only the calling thread writes, and tiles are written in
//   the plan's order;
// - the first failure (a read, a short read, a write, no memory) stops the
//   run: no tile after the failed one is written, whichever filler filled it;
// - a stop asked for is honoured between tiles: nothing is written after the
//   last whole tile, and the run reports that it was stopped;
// - without threads (one worker, or none the system would start) the same
//   code runs inline on the calling thread.
//
// The tile shape. A tile is `lines` consecutive lines of `pixels`
// consecutive pixels each, with `levels` consecutive levels of each pixel.
// The pixels of one line lie side by side in the source, and whole lines
// join into one run, so a tile is read as whole pixels, a chunk of some
// hundred KiB at a time, keeping the tile's levels of each (a tile of only
// some levels re-reads the same lines once per band of levels, from the
// page cache); when one pixel alone is more than a chunk, each pixel's
// levels are read in chunk-long pieces. Each level of a tile is one run of
// the output (`lines` x `pixels` values; a tile of whole levels makes all its
// levels one run). The shape is the cheapest one that fits the budget, by a
// count of what each costs: a system call to read (about what copying
// 16 KiB from the page cache costs), each byte read again for another band,
// and a write call, which on ext4 costs what writing 48 KiB does (runs of
// 12 KiB take twice the system time of runs of 48 KiB; longer runs save
// little more). Each sink states its own run structure and budget.
//
// What the budget allows. Long reads want a tile of many levels of each
// pixel, long writes a tile of many pixels of each level; a tile of M
// samples cannot have both once a grid's lines or its pixels' points are
// long. A grid of few lines of many points (64 x 64 pixels of 16384 points:
// a whole level is 8 KiB) needs every line in a tile for writes of 48 KiB,
// which leaves a band of M / 4096 levels, 512 bytes of each pixel: its
// reads are either that short or re-read whole pixels from the page cache
// once per band. Whichever the model picks, the calls or the bytes copied
// again grow as the block's samples over the square root of M, so within
// the converter's memory such grids stay above the cost of a plain copy.
#pragma once

#include <bit>
#include <cstdint>
#include <functional>

#include "core/file_io.h"
#include "core/physical_model.h"
#include "core/set_layout.h"

namespace parvane::tiles {

// Where a direction's samples lie: `block` in the source, in lines of `x`
// pixels (block.pixels / x lines).
struct Grid {
  SpectroscopyBlock block;
  std::int64_t x = 0;
  std::int64_t lines() const { return x > 0 ? block.pixels / x : 0; }
};

// A box of a grid, and a tile of a box: levels, lines, and pixels of each
// line, each a range.
struct Box {
  std::int64_t first_level = 0, levels = 0;
  std::int64_t first_line = 0, lines = 0;
  std::int64_t first_pixel = 0, pixels = 0;
  std::int64_t plane() const { return lines * pixels; } // values per level
  std::int64_t samples() const { return levels * plane(); }
};

// The whole grid.
Box whole_grid(const Grid &grid);

// How a sink's output weighs the tile shape: the samples one tile may hold
// (two tiles are kept, each as samples and as the sink's own values), the
// samples of one read (a chunk, one per worker), and how many bytes of
// writing one write call costs as much as (0: the sink makes no system
// calls).
struct Budget {
  std::int64_t tile_samples = 1;
  std::int64_t chunk_samples = 1;
  std::int64_t write_call_bytes = 0;
};

// What a write call costs on ext4, in bytes written: runs of at least this
// long are where a longer run saves little more.
inline constexpr std::int64_t LONG_RUN_BYTES = std::int64_t{48} << 10;

// `by_pixel`: each pixel's levels are read on their own (in chunk-long
// pieces), rather than whole pixels a chunk at a time: a pixel longer than a
// chunk, or a band so narrow that re-reading whole pixels for it would copy
// more than the extra calls cost.
struct Shape {
  std::int64_t lines = 1, pixels = 1, levels = 1;
  bool by_pixel = false;
  bool operator==(const Shape &) const = default;
};

// The cheapest tile shape for `box` of a grid of `points` points per pixel
// and `x` pixels per line, within `budget`.
Shape tile_shape(const Box &box, std::int64_t x, std::int64_t points,
                 const Budget &budget);

// What becomes of the samples. `convert` may run on any filler, for several
// tiles at once (each into its own `out`); `write` runs only on the calling
// thread, tile after tile in the plan's order.
class Sink {
public:
  virtual ~Sink() = default;
  // Bytes of the sink's own per sample of a tile (0: none, the sink converts
  // the samples in place or places them elsewhere).
  virtual std::int64_t value_bytes() const = 0;
  // True when the tiles should go from the last lines to the first: the
  // sink's output has the lines bottom-up, and so its runs come in file
  // order.
  virtual bool lines_reversed() const { return false; }
  // `samples`: the tile's samples as the source holds them (most
  // significant byte first), level after level, each level line after line
  // in source order. `out`: value_bytes() per sample, or null.
  virtual void convert(const Box &tile, std::uint16_t *samples,
                       std::uint8_t *out) const = 0;
  // Writes the tile as `convert` left it. False when a write failed.
  virtual bool write(const Box &tile, const std::uint16_t *samples,
                     const std::uint8_t *out) = 0;
};

// What a read of fewer bytes than asked means: the source ends there, and
// its missing bytes read as zeros; or a failure (the source is known to hold
// every byte, so it was cut meanwhile).
enum class ShortReads { Zeros, Fail };

enum class Outcome {
  Done,
  ReadFailed,  // the system failed a read of the source
  ShortRead,   // a read came back short (with ShortReads::Fail)
  WriteFailed, // the sink's write failed
  NoMemory,    // no memory for the tiles, or a position beyond 64 bits
  Stopped,     // the stop hook asked to stop
};

struct Settings {
  Budget budget;
  ShortReads short_reads = ShortReads::Zeros;
  int workers = 1; // the calling thread included
  // Asked between tiles; true stops the run. None: never stops.
  std::function<bool()> stop;
  // After each tile written: the source bytes done and planned.
  std::function<void(std::int64_t done, std::int64_t planned)> progress;
};

// Moves `box` of `grid` from `source` through `sink`.
Outcome run(const File &source, const Grid &grid, const Box &box, Sink &sink,
            const Settings &settings);

// The most workers one run takes: the calling thread writes while the
// others fill, and the writes to one file go one at a time, so more fillers
// would soon only wait for the writer.
inline constexpr int MAX_WORKERS = 4;

// One per core, up to MAX_WORKERS.
int worker_count();

// A sample as the file holds it, most significant byte first, loaded as it
// lies in memory: its value.
inline std::uint16_t stored_value(std::uint16_t stored) {
  if constexpr (std::endian::native == std::endian::little)
    return static_cast<std::uint16_t>(stored << 8 | stored >> 8);
  else
    return stored;
}

// A channel's samples as the SCALA set gives them (core/physical_model.h):
// the SCALA sample of a source value, read as signed, and its physical value,
// the channel's scale per raw unit times that sample, times `unit`: nm then
// NANO for the topography, amperes then 1 for the current. The flipped bits
// are looked up once, not for every sample.
struct Physical {
  double scale = 0;
  double unit = NANO;
  std::uint16_t flip = flipped_bits();
  std::int16_t sample(std::uint16_t value) const {
    return static_cast<std::int16_t>(value ^ flip);
  }
  double of(std::uint16_t value) const {
    return physical_value(value, flip, scale, unit);
  }
};

// The physical model of each kind of channel.
inline Physical topography_physical(float minimum, float maximum) {
  return {topography_scale(minimum, maximum), NANO};
}
inline Physical current_physical(double full_scale) {
  return {current_scale(full_scale), 1.0};
}

// The memory sink: fills a caller's array with a box of the grid, level
// after level, each line after line in source order, each line's pixels in
// order. Values are SCALA samples (int16) or physical values (double). A box
// whose source bytes are missing fails as ShortRead, unless `fill` is given:
// then each sample the source lacks takes that value.
struct MemoryTarget {
  std::int16_t *samples = nullptr; // box.samples() of them, or
  double *values = nullptr;        // box.samples() of them
  Physical physical; // the scale only for `values`
  bool fill_missing = false;
  // For a missing sample; for `samples` rounded toward zero into int16's
  // range, NaN as 0.
  double fill = 0;
};

// Two tiles of 1 MiB beside the caller's array, and a chunk per worker.
inline constexpr Budget MEMORY_BUDGET{std::int64_t{1} << 19,
                                      std::int64_t{1} << 17, 0};

// NoMemory also for a box that is not within the grid, or no array. The
// tiles are placed by whichever worker filled them, so after a failure the
// array holds some of the box, not a defined part of it.
Outcome read_box(const File &source, const Grid &grid, const Box &box,
                 const MemoryTarget &target, int workers = worker_count(),
                 const Budget &budget = MEMORY_BUDGET);

} // namespace parvane::tiles
