// Conversion of the measured samples into SCALA sample files.
//
// Source samples are 16-bit unsigned, most significant byte first, with 32768
// as the middle of the range; SCALA samples are 16-bit signed two's complement,
// also most significant byte first. Topography is copied plane by plane;
// spectroscopy, stored pixel by pixel with all points of a pixel side by side,
// is rearranged into one image plane per spectroscopy point.
#pragma once

#include <array>
#include <cstdint>

#include "core/file_io.h"
#include "core/progress.h"

namespace parvane {

// Converts the X * Y samples of the topography file that start at sample
// index `first_sample` into `output`, line by line. Nothing is read or
// written when X or Y is 0 or less. Returns ReadFailed when the system failed
// a read of the source (a short source is no failure: its missing bytes read
// as zeros), WriteFailed when a write failed, when a byte position would not
// fit in 64 bits, when the output's file system has less free space than the
// whole plane (nothing is written then: a damaged record must not fill the
// disk), or when the conversion's few MiB of buffers could not be had. Either
// failure stops the plane at once. The bytes done go to `progress`, if any.
IoOutcome copy_topography_plane(const File &topography,
                                std::int64_t first_sample, File &output,
                                std::int32_t size_x, std::int32_t size_y,
                                Progress *progress = nullptr);

// Rearranges `point_count` spectroscopy planes into `output`: plane m holds
// point m of every pixel of lines `first_line` to `first_line` + Y - 1. The
// pixel (h, i) of the block has its points from sample index
// point_count * (X * (h + first_line) + i) on. Nothing is read or written when
// X, Y or the point count is 0 or less. Returns as `copy_topography_plane`
// does.
IoOutcome copy_spectroscopy_planes(const File &spectroscopy, File &output,
                                   std::int32_t size_x, std::int32_t size_y,
                                   std::int32_t point_count,
                                   std::int32_t first_line,
                                   Progress *progress = nullptr);

} // namespace parvane
