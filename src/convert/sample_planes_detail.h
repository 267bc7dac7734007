// The arithmetic behind the sample planes, exposed for testing.
//
// A spectroscopy block is an N x Q matrix of samples (N pixels, Q points per
// pixel, pixel-major) that starts at some sample index of the source file; its
// plane set is the Q x N transpose, plane-major, made by the tile pipeline
// (core/tile_pipeline.h) with a sink of SCALA planes. The topography plane is
// a straight copy a buffer at a time: it needs no transpose, and the pipeline
// would gain it nothing.
#pragma once

#include <cstdint>
#include <optional>

#include "core/file_io.h"
#include "core/progress.h"
#include "core/set_layout.h"

namespace parvane::planes {

// The buffers of one plane conversion, in samples: the plane tile that
// collects one tile of output planes, and the chunk into which source
// samples are read before they are transposed into it.
struct Budget {
  std::int64_t plane_samples = 0;
  std::int64_t chunk_samples = 0;
};

// 4 MiB for the plane tiles (two tiles of 2 MiB) and 256 KiB for each
// worker's chunk, whatever the file sizes: with four workers about 5 MiB,
// within the converter's 8 MiB.
inline constexpr Budget SAMPLE_BUFFER_BUDGET{std::int64_t{1} << 21,
                                             std::int64_t{1} << 17};

// The two plane operations with an explicit buffer budget, so that small
// shapes can exercise the multi-tile and multi-chunk paths, and for
// spectroscopy the workers of the tile pipeline. A block of one tile is
// converted by the calling thread alone.
IoOutcome copy_topography_plane(const File &topography,
                                std::int64_t first_sample, File &output,
                                std::int32_t size_x, std::int32_t size_y,
                                const Budget &budget,
                                Progress *progress = nullptr);
IoOutcome copy_spectroscopy_planes(const File &spectroscopy, File &output,
                                   std::int32_t size_x, std::int32_t size_y,
                                   std::int32_t point_count,
                                   std::int32_t first_line,
                                   const Budget &budget, int workers = 1,
                                   Progress *progress = nullptr);

} // namespace parvane::planes
