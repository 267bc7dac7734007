#include "convert/sample_planes.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>

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

// Side of the square blocks in which a tile is transposed, so that both the
// rows read and the rows written stay in cache while a block is moved.
constexpr std::int64_t TRANSPOSE_BLOCK = 32;

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

// A buffer of `samples` samples whose pages are touched only when used, so a
// small plane never costs the whole budget in resident memory.
struct SampleBuffer {
  explicit SampleBuffer(std::int64_t samples)
      : bytes(std::make_unique_for_overwrite<std::uint8_t[]>(
            static_cast<std::size_t>(samples * SAMPLE_BYTES))) {}
  std::uint8_t *at(std::int64_t sample) const {
    return bytes.get() + sample * SAMPLE_BYTES;
  }
  std::unique_ptr<std::uint8_t[]> bytes;
};

std::span<std::uint8_t> samples_at(std::uint8_t *start, std::int64_t count) {
  return {start, static_cast<std::size_t>(count * SAMPLE_BYTES)};
}

// Reads `count` samples from sample index `first` on. Samples the file does
// not have, before its start or past its end, read as zero bytes.
void read_samples(const File &source, std::int64_t first, std::uint8_t *into,
                  std::int64_t count) {
  if (first < 0) {
    const std::int64_t missing = std::min(count, -first);
    std::memset(into, 0, static_cast<std::size_t>(missing * SAMPLE_BYTES));
    into += missing * SAMPLE_BYTES;
    count -= missing;
    first = 0;
  }
  if (count > 0)
    source.read_at(first * SAMPLE_BYTES, samples_at(into, count));
}

bool write_samples(File &output, std::int64_t first, const std::uint8_t *from,
                   std::int64_t count) {
  return output.write_at(
      first * SAMPLE_BYTES,
      std::span<const std::uint8_t>(
          from, static_cast<std::size_t>(count * SAMPLE_BYTES)));
}

// Converts samples in place: the top bit of each high byte flips (the same
// as `convert_sample`), eight bytes at a time.
void convert_samples(std::uint8_t *bytes, std::int64_t count) {
  constexpr std::uint64_t HIGH_BITS = std::bit_cast<std::uint64_t>(
      std::array<std::uint8_t, 8>{0x80, 0, 0x80, 0, 0x80, 0, 0x80, 0});
  const std::int64_t length = count * SAMPLE_BYTES;
  std::int64_t done = 0;
  for (; done + 8 <= length; done += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes + done, 8);
    word ^= HIGH_BITS;
    std::memcpy(bytes + done, &word, 8);
  }
  for (; done < length; done += SAMPLE_BYTES)
    bytes[done] ^= 0x80;
}

// `from` holds `rows` rows of `columns` samples; `to` receives the transpose,
// `columns` rows of `rows` samples.
void transpose(const std::uint8_t *from, std::uint8_t *to, std::int64_t rows,
               std::int64_t columns) {
  for (std::int64_t r0 = 0; r0 < rows; r0 += TRANSPOSE_BLOCK) {
    const std::int64_t r1 = std::min(rows, r0 + TRANSPOSE_BLOCK);
    for (std::int64_t c0 = 0; c0 < columns; c0 += TRANSPOSE_BLOCK) {
      const std::int64_t c1 = std::min(columns, c0 + TRANSPOSE_BLOCK);
      for (std::int64_t c = c0; c < c1; ++c)
        for (std::int64_t r = r0; r < r1; ++r)
          std::memcpy(to + (c * rows + r) * SAMPLE_BYTES,
                      from + (r * columns + c) * SAMPLE_BYTES, SAMPLE_BYTES);
    }
  }
}

std::int64_t integer_sqrt(std::int64_t value) {
  auto root = static_cast<std::int64_t>(std::sqrt(static_cast<double>(value)));
  while (root > 0 && root > value / root)
    --root;
  while ((root + 1) <= value / (root + 1))
    ++root;
  return root;
}

// The source tile for `pixels` pixels from `first_pixel` on and `points`
// points from `first_point` on, pixel-major, into `tile`.
void read_tile(const File &source, const SpectroscopyBlock &block,
               std::int64_t first_pixel, std::int64_t first_point,
               const Tile &size, std::uint8_t *tile) {
  if (size.points == block.points) {
    read_samples(source, source_sample(block, first_pixel, 0), tile,
                 size.pixels * size.points);
    return;
  }
  for (std::int64_t k = 0; k < size.pixels; ++k)
    read_samples(source, source_sample(block, first_pixel + k, first_point),
                 tile + k * size.points * SAMPLE_BYTES, size.points);
}

// The transposed tile, point-major, to its places in the plane set.
bool write_tile(File &output, const SpectroscopyBlock &block,
                std::int64_t first_pixel, std::int64_t first_point,
                const Tile &size, const std::uint8_t *tile) {
  if (size.pixels == block.pixels)
    return write_samples(output, output_sample(block, 0, first_point), tile,
                         size.pixels * size.points);
  for (std::int64_t j = 0; j < size.points; ++j)
    if (!write_samples(output, output_sample(block, first_pixel, first_point + j),
                       tile + j * size.pixels * SAMPLE_BYTES, size.pixels))
      return false;
  return true;
}

} // namespace

std::optional<SpectroscopyBlock>
spectroscopy_block(std::int32_t size_x, std::int32_t size_y,
                   std::int32_t point_count, std::int32_t first_line) {
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
  return {side, side};
}

bool copy_topography_plane(const File &topography, std::int64_t first_sample,
                           File &output, std::int32_t size_x,
                           std::int32_t size_y, std::int64_t budget) {
  if (size_x <= 0 || size_y <= 0)
    return true;
  const std::int64_t samples = std::int64_t{size_x} * size_y;
  if (!run_fits(first_sample, samples))
    return false;
  const std::int64_t chunk = std::min(std::max<std::int64_t>(budget, 1), samples);
  SampleBuffer buffer(chunk);
  for (std::int64_t done = 0; done < samples; done += chunk) {
    const std::int64_t count = std::min(chunk, samples - done);
    read_samples(topography, first_sample + done, buffer.at(0), count);
    convert_samples(buffer.at(0), count);
    if (!write_samples(output, done, buffer.at(0), count))
      return false;
  }
  return true;
}

bool copy_spectroscopy_planes(const File &spectroscopy, File &output,
                              std::int32_t size_x, std::int32_t size_y,
                              std::int32_t point_count,
                              std::int32_t first_line, std::int64_t budget) {
  if (size_x <= 0 || size_y <= 0 || point_count <= 0)
    return true;
  const std::optional<SpectroscopyBlock> block =
      spectroscopy_block(size_x, size_y, point_count, first_line);
  if (!block)
    return false;
  const Tile tile = choose_tile(block->pixels, block->points, budget);
  SampleBuffer source_tile(tile.pixels * tile.points);
  SampleBuffer plane_tile(tile.pixels * tile.points);
  for (std::int64_t p0 = 0; p0 < block->pixels; p0 += tile.pixels) {
    for (std::int64_t m0 = 0; m0 < block->points; m0 += tile.points) {
      const Tile size{std::min(tile.pixels, block->pixels - p0),
                      std::min(tile.points, block->points - m0)};
      read_tile(spectroscopy, *block, p0, m0, size, source_tile.at(0));
      convert_samples(source_tile.at(0), size.pixels * size.points);
      // With one pixel or one point the tile reads the same either way.
      const bool same_layout = size.pixels == 1 || size.points == 1;
      if (!same_layout)
        transpose(source_tile.at(0), plane_tile.at(0), size.pixels,
                  size.points);
      const std::uint8_t *planes =
          same_layout ? source_tile.at(0) : plane_tile.at(0);
      if (!write_tile(output, *block, p0, m0, size, planes))
        return false;
    }
  }
  return true;
}

} // namespace planes

bool copy_topography_plane(const File &topography, std::int64_t first_sample,
                           File &output, std::int32_t size_x,
                           std::int32_t size_y) {
  return planes::copy_topography_plane(topography, first_sample, output, size_x,
                                       size_y, planes::SAMPLE_BUFFER_BUDGET);
}

bool copy_spectroscopy_planes(const File &spectroscopy, File &output,
                              std::int32_t size_x, std::int32_t size_y,
                              std::int32_t point_count,
                              std::int32_t first_line) {
  return planes::copy_spectroscopy_planes(spectroscopy, output, size_x, size_y,
                                          point_count, first_line,
                                          planes::SAMPLE_BUFFER_BUDGET);
}

} // namespace parvane
