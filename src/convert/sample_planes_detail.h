// The arithmetic behind the sample planes, exposed for testing.
//
// A spectroscopy block is an N x Q matrix of samples (N pixels, Q points per
// pixel, pixel-major) that starts at some sample index of the source file; its
// plane set is the Q x N transpose, plane-major. The plane set is built in
// tiles of a pixels x b points that fit the plane buffer; each tile is read in
// chunks that fit the chunk buffer and transposed into place.
#pragma once

#include <cstdint>
#include <optional>

#include "core/file_io.h"
#include "core/set_layout.h"

namespace parvane::planes {

// The buffers of one plane conversion, in samples: the plane tile that
// collects one tile of output planes, and the chunk into which source
// samples are read before they are transposed into it.
struct Budget {
  std::int64_t plane_samples = 0;
  std::int64_t chunk_samples = 0;
};

// 4 MiB for the plane tile and 64 KiB for the chunk, whatever the file sizes.
// When several workers convert a block they share it: the plane budget then
// makes two tiles and each worker has an equal part of the chunk budget.
inline constexpr Budget SAMPLE_BUFFER_BUDGET{std::int64_t{1} << 21,
                                             std::int64_t{1} << 15};

// The most workers (threads, the calling one included) that convert one
// spectroscopy block. A small fixed number: the calling thread writes while
// the others fill, and the writes to one file go one at a time, so more
// fillers would soon only wait for the writer.
inline constexpr unsigned MAX_WORKERS = 4;

// The workers a spectroscopy block gets on this machine: one per core, up to
// MAX_WORKERS.
int worker_count();

// A tile or chunk: `pixels` consecutive pixels, `points` consecutive points
// of each.
struct Tile {
  std::int64_t pixels = 0;
  std::int64_t points = 0;
};

// The tile of output planes for a block when `budget` samples (budget >= 1)
// make `slots` tiles. Few points per pixel: whole pixels, so each tile reads
// one contiguous run. Few pixels: whole planes, so each tile is one
// contiguous write. Otherwise tiles as wide as a tile of the whole budget
// about twice as many pixels wide as it is points tall.
Tile choose_tile(std::int64_t pixels, std::int64_t points, std::int64_t budget,
                 std::int64_t slots = 1);

// The chunk in which a tile is read, within `budget` samples (budget >= 1):
// as many of the tile's pixels as fit with all the tile's points, or part of
// the points of one pixel. A tile of whole pixels is so read in one run per
// chunk, any other tile in one run per pixel.
Tile choose_chunk(const Tile &tile, std::int64_t budget);

// The two plane operations with an explicit buffer budget, so that small
// shapes can exercise the multi-tile and multi-chunk paths, and for
// spectroscopy the most workers that may share the budget. A block that
// fits in one tile of the whole budget is converted by the calling thread
// alone; for a larger one the plane budget makes two tiles, one filled by
// the helper threads while the calling thread, the only writer, writes the
// other and then helps fill, and the chunk budget is split between the
// workers.
IoOutcome copy_topography_plane(const File &topography,
                                std::int64_t first_sample, File &output,
                                std::int32_t size_x, std::int32_t size_y,
                                const Budget &budget);
IoOutcome copy_spectroscopy_planes(const File &spectroscopy, File &output,
                                   std::int32_t size_x, std::int32_t size_y,
                                   std::int32_t point_count,
                                   std::int32_t first_line,
                                   const Budget &budget, int workers = 1);

} // namespace parvane::planes
