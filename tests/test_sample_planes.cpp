#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "convert/sample_planes.h"
#include "convert/sample_planes_detail.h"
#include "core/set_layout.h"
#include "core/tile_pipeline.h"
#include "test_helpers.h"

namespace parvane {
namespace {

using testing::Bytes;
using testing::counting_samples;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

constexpr planes::Budget DEFAULT_BUDGET = planes::SAMPLE_BUFFER_BUDGET;

// Converts with the plane operations between real files and returns the
// output bytes, or nullopt when the operation reported a failed write.
class PlaneRun {
public:
  explicit PlaneRun(const Bytes &source) { use_source(source); }

  // Files are replaced rather than cut to zero length: the file system
  // flushes a file cut and rewritten when it is closed, which would make
  // every conversion here wait for the disk.
  void use_source(const Bytes &source) {
    std::filesystem::remove(dir_ / "source");
    write_file(dir_ / "source", source);
  }

  std::optional<Bytes>
  topography(std::int64_t first_sample, std::int32_t x, std::int32_t y,
             const planes::Budget &budget = DEFAULT_BUDGET) {
    return run([&](const File &in, File &out) {
      return planes::copy_topography_plane(in, first_sample, out, x, y, budget);
    });
  }

  std::optional<Bytes>
  spectroscopy(std::int32_t x, std::int32_t y, std::int32_t points,
               std::int32_t first_line,
               const planes::Budget &budget = DEFAULT_BUDGET, int workers = 1) {
    return run([&](const File &in, File &out) {
      return planes::copy_spectroscopy_planes(in, out, x, y, points, first_line,
                                              budget, workers);
    });
  }

private:
  template <typename Copy> std::optional<Bytes> run(Copy copy) {
    std::filesystem::remove(dir_ / "output");
    std::optional<File> in = File::open_source((dir_ / "source").string());
    std::optional<File> out = testing::create_output((dir_ / "output").string());
    if (!in || !out)
      throw std::runtime_error("cannot open the test files");
    bool written = copy(*in, *out) == IoOutcome::Done;
    out->close();
    if (!written)
      return std::nullopt;
    return read_file(dir_ / "output");
  }

  ScratchDir dir_;
};

// The source sample indexes an output took, for sources made of
// `counting_samples` (sample k holds the value k).
std::vector<int> taken_indexes(const Bytes &output) {
  std::vector<int> indexes;
  for (std::size_t at = 0; at + 1 < output.size(); at += 2) {
    auto value = sample_value(static_cast<std::uint8_t>(output[at]),
                              static_cast<std::uint8_t>(output[at + 1]));
    indexes.push_back(value ^ 0x8000);
  }
  return indexes;
}

// The per-sample algorithm, straight from its definition: sample n at bytes
// 2n and 2n + 1, bytes the source lacks read as 0.
std::uint8_t byte_or_zero(const Bytes &source, std::int64_t position) {
  if (position < 0 || position >= static_cast<std::int64_t>(source.size()))
    return 0;
  return static_cast<std::uint8_t>(source[static_cast<std::size_t>(position)]);
}

void append_converted(Bytes &output, const Bytes &source, std::int64_t n) {
  auto bytes = convert_sample(sample_value(byte_or_zero(source, 2 * n),
                                           byte_or_zero(source, 2 * n + 1)));
  output.push_back(static_cast<char>(bytes[0]));
  output.push_back(static_cast<char>(bytes[1]));
}

Bytes reference_topography(const Bytes &source, std::int64_t first_sample,
                           int x, int y) {
  Bytes output;
  for (int h = 0; h < y; ++h)
    for (int i = 0; i < x; ++i)
      append_converted(output, source, first_sample + std::int64_t{x} * h + i);
  return output;
}

Bytes reference_spectroscopy(const Bytes &source, int x, int y, int q, int f) {
  Bytes output;
  for (int m = 0; m < q; ++m)
    for (int h = 0; h < y; ++h)
      for (int i = 0; i < x; ++i)
        append_converted(output, source,
                         std::int64_t{q} * (std::int64_t{x} * (h + f) + i) + m);
  return output;
}

// --- Sample conversion -----------------------------------------------------

struct SampleCase {
  std::uint8_t high, low, converted_high, converted_low;
};

void PrintTo(const SampleCase &c, std::ostream *out) {
  *out << std::hex << "x" << (c.high << 8 | c.low) << " to x"
       << (c.converted_high << 8 | c.converted_low);
}

class SamplePlanesConvert : public ::testing::TestWithParam<SampleCase> {};

TEST_P(SamplePlanesConvert, FlipsTheTopBitAndKeepsTheLowByte) {
  const SampleCase c = GetParam();
  auto converted = convert_sample(sample_value(c.high, c.low));
  EXPECT_EQ(converted[0], c.converted_high);
  EXPECT_EQ(converted[1], c.converted_low);
}

INSTANTIATE_TEST_SUITE_P(ByteExamples, SamplePlanesConvert,
                         ::testing::Values(SampleCase{0x80, 0x00, 0x00, 0x00},
                                           SampleCase{0x00, 0x00, 0x80, 0x00},
                                           SampleCase{0xFF, 0xFF, 0x7F, 0xFF},
                                           SampleCase{0x12, 0x34, 0x92, 0x34}),
                         testing::CaseName());

TEST(SamplePlanes, SampleValueTakesBothBytesUnsigned) {
  EXPECT_EQ(sample_value(0xFF, 0xFE), 0xFFFE);
  EXPECT_EQ(sample_value(0x01, 0x80), 0x0180);
}

// --- Plane order -------------------------------------------------------------

TEST(SamplePlanes, TopographyForwardAndBackwardTakeConsecutivePlanes) {
  PlaneRun run(counting_samples(20));
  EXPECT_EQ(taken_indexes(*run.topography(0, 3, 2)),
            (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(taken_indexes(*run.topography(6, 3, 2)),
            (std::vector<int>{6, 7, 8, 9, 10, 11}));
}

struct OrderCase {
  int x, y, points, first_line;
  std::vector<int> indexes;
};

void PrintTo(const OrderCase &c, std::ostream *out) {
  *out << c.x << "x" << c.y << " " << c.points << " points from line "
       << c.first_line;
}

class SamplePlanesOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(SamplePlanesOrder, TakesEachPlanesPointFromEveryPixel) {
  const OrderCase &c = GetParam();
  PlaneRun run(counting_samples(40));
  EXPECT_EQ(taken_indexes(*run.spectroscopy(c.x, c.y, c.points, c.first_line)),
            c.indexes);
}

INSTANTIATE_TEST_SUITE_P(
    Spectroscopy, SamplePlanesOrder,
    ::testing::Values(
        OrderCase{2, 2, 3, 0, {0, 3, 6, 9, 1, 4, 7, 10, 2, 5, 8, 11}},
        OrderCase{2, 2, 3, 2, {12, 15, 18, 21, 13, 16, 19, 22, 14, 17, 20, 23}},
        // A backward block with fewer points still starts at Pb * X * Y.
        OrderCase{2, 2, 2, 2, {8, 10, 12, 14, 9, 11, 13, 15}},
        OrderCase{3, 2, 2, 0, {0, 2, 4, 6, 8, 10, 1, 3, 5, 7, 9, 11}}),
    testing::CaseName());

// --- Empty plane sets
// ----------------------------------------------------------

struct Shape {
  int x, y, points;
};

void PrintTo(const Shape &s, std::ostream *out) {
  *out << s.x << " by " << s.y << " by " << s.points;
}

class SamplePlanesEmpty : public ::testing::TestWithParam<Shape> {};

TEST_P(SamplePlanesEmpty, WriteNothing) {
  const Shape s = GetParam();
  PlaneRun run(counting_samples(40));
  EXPECT_EQ(run.spectroscopy(s.x, s.y, s.points, 0), Bytes());
  if (s.x <= 0 || s.y <= 0) {
    EXPECT_EQ(run.topography(0, s.x, s.y), Bytes());
  }
}

INSTANTIATE_TEST_SUITE_P(
    ZeroOrNegative, SamplePlanesEmpty,
    ::testing::Values(Shape{0, 2, 3}, Shape{2, 0, 3}, Shape{2, 2, 0},
                      Shape{-1, 2, 3}, Shape{2, -5, 3}, Shape{2, 2, -1},
                      Shape{std::numeric_limits<int>::min(), 2, 3}),
    testing::CaseName());

// --- Short sources
// -------------------------------------------------------------

// A set's layout: its channels, and the bytes it needs from "tz" and "ts";
// -1 for more than int64 counts.
struct LayoutCase {
  std::int32_t x, y, points, points_backward;
  bool spectroscopy, dual;
  std::int64_t topography, spectroscopy_bytes;
};

void PrintTo(const LayoutCase &c, std::ostream *out) {
  *out << c.x << "x" << c.y << " " << c.points << " and " << c.points_backward
       << " points" << (c.spectroscopy ? "" : " without spectroscopy")
       << (c.dual ? " dual" : " single");
}

class LayoutTable : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTable, ChannelsAndTheEndOfTheLastByteTheyRead) {
  const LayoutCase c = GetParam();
  SourceParameters p;
  p.image_size_x = c.x;
  p.image_size_y = c.y;
  p.spec_points_forward = c.points;
  p.spec_points_backward = c.points_backward;
  p.forward_only = c.dual ? 0 : 1;
  const SetLayout layout = set_layout(p, c.spectroscopy);

  // Topography, then spectroscopy; forward before backward; each backward
  // block from line Y, at its own point count.
  std::vector<std::pair<ChannelKind, Direction>> expected{
      {ChannelKind::Topography, Direction::Forward}};
  if (c.dual)
    expected.push_back({ChannelKind::Topography, Direction::Backward});
  if (c.spectroscopy) {
    expected.push_back({ChannelKind::Spectroscopy, Direction::Forward});
    if (c.dual)
      expected.push_back({ChannelKind::Spectroscopy, Direction::Backward});
  }
  ASSERT_EQ(layout.channels.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const SetChannel &channel = layout.channels[i];
    EXPECT_EQ(channel.kind, expected[i].first);
    EXPECT_EQ(channel.direction, expected[i].second);
    const bool forward = channel.direction == Direction::Forward;
    const std::int32_t points = channel.kind == ChannelKind::Topography ? 1
                                : forward ? c.points
                                          : c.points_backward;
    EXPECT_EQ(channel.points, points);
    EXPECT_EQ(channel.first_line, forward ? 0 : c.y);
    EXPECT_EQ(channel.empty, c.x <= 0 || c.y <= 0 || points <= 0);
    if (channel.block) {
      EXPECT_EQ(channel.block->first_sample,
                forward ? 0 : std::int64_t{points} * c.x * c.y);
      EXPECT_EQ(channel.block->first_sample, channel.first_sample);
    }
  }

  const SourceExtents e = layout.extents();
  const auto as_table = [](const SourceExtent &extent) {
    return extent.beyond_range ? -1 : extent.bytes;
  };
  EXPECT_EQ(as_table(e.record), 402);
  EXPECT_EQ(as_table(e.topography), c.topography);
  EXPECT_EQ(as_table(e.spectroscopy), c.spectroscopy_bytes);
  // Files of exactly that size are whole; one byte less is short.
  const SourceSizes exact{402, c.topography, c.spectroscopy_bytes};
  EXPECT_EQ(has_short_source(exact, e),
            c.topography < 0 || c.spectroscopy_bytes < 0);
  EXPECT_TRUE(has_short_source({401, exact.topography, exact.spectroscopy}, e));
  if (c.topography > 0) {
    EXPECT_TRUE(
        has_short_source({402, c.topography - 1, exact.spectroscopy}, e));
  }
}

constexpr std::int32_t MAX32 = std::numeric_limits<std::int32_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Shapes, LayoutTable,
    ::testing::Values(
        LayoutCase{32, 32, 41, 41, true, true, 4096, 167936}, // example set 1
        LayoutCase{32, 32, 32, 0, true, false, 2048, 65536},  // example set 2
        // The backward block ends 2 * Pb planes in, before the forward's end.
        LayoutCase{3, 2, 5, 1, true, true, 24, 60},
        // Empty planes: an image size or a point count of 0 or less.
        LayoutCase{0, 4, 3, 3, true, true, 0, 0},
        LayoutCase{4, -1, 3, 3, true, false, 0, 0},
        LayoutCase{2, 2, -3, 2, true, true, 16, 32},
        // Small shapes are checked against converted random sets; here the
        // ones whose byte counts reach the end of int64.
        LayoutCase{MAX32, MAX32, 0, 0, false, false, 9223372028264841218, 0},
        LayoutCase{MAX32, MAX32, 0, 0, false, true, -1, 0},
        LayoutCase{MAX32, MAX32, MAX32, 1, true, false, 9223372028264841218, -1},
        LayoutCase{MAX32, MAX32, 0, MAX32, true, true, -1, -1}),
    testing::CaseName());

TEST(SamplePlanes, ShortTopographyPadsMissingSamplesAndHalfSamples) {
  // Five and a half samples for a plane of six.
  PlaneRun run(counting_samples(5, 0x1000) + "\x12");
  EXPECT_EQ(*run.topography(0, 3, 2),
            Bytes("\x90\x00\x90\x01\x90\x02\x90\x03\x90\x04\x92\x00", 12));
  // The backward plane lies wholly past the end: middle values throughout.
  Bytes middle;
  for (int k = 0; k < 6; ++k)
    middle += Bytes("\x80\x00", 2);
  EXPECT_EQ(*run.topography(6, 3, 2), middle);
}

TEST(SamplePlanes, ShortSpectroscopyTakesEverySampleTheFileHas) {
  // Samples 0 to 9, then half of sample 10, then nothing: the first plane
  // loses nothing, the second gets half a sample, the third a whole one, and
  // the samples after each gap still come from the file.
  PlaneRun run(counting_samples(10, 0x1000) + "\x12");
  EXPECT_EQ(*run.spectroscopy(2, 2, 3, 0),
            Bytes("\x90\x00\x90\x03\x90\x06\x90\x09"
                  "\x90\x01\x90\x04\x90\x07\x92\x00"
                  "\x90\x02\x90\x05\x90\x08\x80\x00",
                  24));
  // The backward block, past the end of the file, is all middle values.
  const Bytes backward = *run.spectroscopy(2, 2, 3, 2);
  ASSERT_EQ(backward.size(), 24u);
  EXPECT_EQ(taken_indexes(backward), std::vector<int>(12, 0));
}

// --- Fast path against the per-sample algorithm -----------------------------

TEST(SamplePlanes, RandomShapesMatchThePerSampleAlgorithm) {
  std::mt19937 random(20240611);
  auto between = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  // Tile and chunk budgets that split the small shapes every which way, and
  // one to three workers sharing them (the small chunk budgets give the
  // small shapes enough work for several; 13 budgets and 3 worker counts
  // meet in every combination).
  const planes::Budget budgets[] = {
      {1, 1},       {2, 1},      {3, 2},        {5, 3},    {7, 7},
      {16, 5},      {17, 4},     {63, 10},      {1000, 9}, {1000, 100},
      {1000, 1000}, {4096, 200}, DEFAULT_BUDGET};
  PlaneRun run{Bytes()};
  for (int round = 0; round < 300; ++round) {
    // Some rounds have many points on very few pixels, some are large enough
    // for whole 8 x 8 blocks in several tiles and chunks.
    const bool long_spectra = round % 5 == 0;
    const bool wide = round % 5 == 1;
    const int x = long_spectra ? between(1, 2)
                  : wide       ? between(8, 20)
                               : between(1, 7);
    const int y = long_spectra ? between(1, 2)
                  : wide       ? between(8, 20)
                               : between(1, 5);
    const int forward = long_spectra ? between(100, 700)
                        : wide       ? between(8, 40)
                                     : between(1, 12);
    const int backward = round % 7 == 0 ? 1 : between(1, 12);
    const planes::Budget budget =
        budgets[round % (sizeof budgets / sizeof budgets[0])];
    const int workers = 1 + round % 3;
    const std::int64_t full = std::int64_t{x} * y * (forward + backward);
    // Mostly complete files, some cut short, some ending mid-sample.
    std::int64_t bytes = 2 * full;
    if (round % 3 == 1)
      bytes = between(0, static_cast<int>(2 * full));
    Bytes source;
    for (std::int64_t k = 0; k < bytes; ++k)
      source.push_back(static_cast<char>(between(0, 255)));

    SCOPED_TRACE(::testing::Message()
                 << "x=" << x << " y=" << y << " P=" << forward
                 << " Pb=" << backward << " budget=" << budget.plane_samples
                 << "/" << budget.chunk_samples << " workers=" << workers
                 << " bytes=" << bytes);
    run.use_source(source);
    EXPECT_EQ(*run.spectroscopy(x, y, forward, 0, budget, workers),
              reference_spectroscopy(source, x, y, forward, 0));
    EXPECT_EQ(*run.spectroscopy(x, y, backward, y, budget, workers),
              reference_spectroscopy(source, x, y, backward, y));
    EXPECT_EQ(*run.topography(0, x, y, budget),
              reference_topography(source, 0, x, y));
    EXPECT_EQ(*run.topography(std::int64_t{x} * y, x, y, budget),
              reference_topography(source, std::int64_t{x} * y, x, y));
  }
}

// --- The memory sink ------------------------------------------------------

// Reads `box` of the backward block of a dual grid (X x Y pixels, P points
// each way) from `source` into fresh arrays of int16 SCALA samples and of
// physical values, with the outcome.
struct MemoryRead {
  tiles::Outcome outcome;
  std::vector<std::int16_t> samples;
  std::vector<double> values;
};

MemoryRead read_memory(const Bytes &source, const tiles::Grid &grid,
                       const tiles::Box &box, std::optional<double> fill,
                       int workers, const tiles::Budget &budget) {
  ScratchDir dir;
  write_file(dir / "source", source);
  std::optional<File> in = File::open_source((dir / "source").string());
  if (!in)
    throw std::runtime_error("cannot open the test source");
  MemoryRead read{tiles::Outcome::Done,
                  std::vector<std::int16_t>(static_cast<std::size_t>(box.samples())),
                  std::vector<double>(static_cast<std::size_t>(box.samples()))};
  tiles::MemoryTarget target;
  target.fill_missing = fill.has_value();
  target.fill = fill.value_or(0);
  target.samples = read.samples.data();
  read.outcome = tiles::read_box(*in, grid, box, target, workers, budget);
  if (read.outcome != tiles::Outcome::Done)
    return read;
  target.samples = nullptr;
  target.values = read.values.data();
  target.physical = tiles::current_physical(DEFAULT_CURRENT_FULL_SCALE);
  read.outcome = tiles::read_box(*in, grid, box, target, workers, budget);
  return read;
}

TEST(SamplePlanes, MemorySinkFillsABoxInSourceLineOrder) {
  // A dual grid of 9 x 7 pixels, 13 points each way; the backward block.
  constexpr std::int64_t X = 9, Y = 7, P = 13;
  const tiles::Grid grid{*spectroscopy_block(X, Y, P, Y), X};
  std::mt19937 random(7);
  Bytes source;
  for (std::int64_t k = 0; k < 2 * 2 * X * Y * P; ++k)
    source.push_back(static_cast<char>(random()));
  struct Case {
    const char *what;
    tiles::Box box;
  };
  const Case cases[] = {
      {"whole grid", tiles::whole_grid(grid)},
      {"one level", {5, 1, 0, Y, 0, X}},
      {"one spectrum", {0, P, 4, 1, 6, 1}},
      {"a chunk", {3, 7, 2, 4, 1, 5}},
  };
  // Budgets of one tile, and of tiles of a few samples shared by workers.
  const tiles::Budget budgets[] = {tiles::MEMORY_BUDGET, {5, 4, 0}, {30, 13, 0}};
  for (const Case &c : cases) {
    for (const tiles::Budget &budget : budgets) {
      for (const int workers : {1, 2, 3}) {
        SCOPED_TRACE(::testing::Message() << c.what << " budget="
                                          << budget.tile_samples << " workers="
                                          << workers);
        const MemoryRead read =
            read_memory(source, grid, c.box, std::nullopt, workers, budget);
        ASSERT_EQ(read.outcome, tiles::Outcome::Done);
        std::size_t at = 0;
        for (std::int64_t k = 0; k < c.box.levels; ++k)
          for (std::int64_t h = 0; h < c.box.lines; ++h)
            for (std::int64_t i = 0; i < c.box.pixels; ++i, ++at) {
              const std::int64_t n = source_sample(
                  grid.block, (c.box.first_line + h) * X + c.box.first_pixel + i,
                  c.box.first_level + k);
              const auto u = sample_value(
                  static_cast<std::uint8_t>(source[2 * n]),
                  static_cast<std::uint8_t>(source[2 * n + 1]));
              const auto scala = static_cast<std::int16_t>(u ^ 0x8000);
              ASSERT_EQ(read.samples[at], scala) << "at " << at;
              // The current's one formula: full scale / 32768 amperes per step.
              ASSERT_EQ(read.values[at], 5e-8 / 32768 * scala) << "at " << at;
            }
      }
    }
  }
}

TEST(SamplePlanes, MemorySinkMissingBytesFailOrFill) {
  constexpr std::int64_t X = 4, Y = 3, P = 5;
  const tiles::Grid grid{*spectroscopy_block(X, Y, P, 0), X};
  // The source ends in the middle of pixel 7's sample 2 (index 37).
  const Bytes source = counting_samples(37) + "\x90";
  const tiles::Box whole = tiles::whole_grid(grid);
  EXPECT_EQ(read_memory(source, grid, whole, std::nullopt, 1, tiles::MEMORY_BUDGET)
                .outcome,
            tiles::Outcome::ShortRead);
  // A box whose bytes the source holds reads; one past them fails.
  EXPECT_EQ(read_memory(source, grid, {0, 2, 0, 1, 0, X}, std::nullopt, 2, {3, 2, 0})
                .outcome,
            tiles::Outcome::Done);
  EXPECT_EQ(read_memory(source, grid, {2, 1, 1, 1, 3, 1}, std::nullopt, 1,
                        tiles::MEMORY_BUDGET)
                .outcome,
            tiles::Outcome::ShortRead);
  // Filled: every sample from index 37 on (the half sample too) takes the
  // fill value, every other one its own.
  for (const tiles::Budget &budget : {tiles::MEMORY_BUDGET, tiles::Budget{3, 2, 0}}) {
    const MemoryRead read = read_memory(source, grid, whole, -7.0, 2, budget);
    ASSERT_EQ(read.outcome, tiles::Outcome::Done);
    for (std::int64_t k = 0; k < P; ++k)
      for (std::int64_t n = 0; n < X * Y; ++n) {
        const std::int64_t sample = source_sample(grid.block, n, k);
        const auto at = static_cast<std::size_t>(k * X * Y + n);
        if (sample >= 37) {
          EXPECT_EQ(read.samples[at], -7) << sample;
          EXPECT_EQ(read.values[at], -7.0) << sample;
        } else {
          EXPECT_EQ(read.samples[at], static_cast<std::int16_t>(sample ^ 0x8000))
              << sample;
        }
      }
  }
  // A box outside the grid, of a negative or overflowing extent, or on a
  // grid of no points, is refused before anything is read.
  ScratchDir dir;
  write_file(dir / "source", source);
  const std::optional<File> in = File::open_source((dir / "source").string());
  ASSERT_TRUE(in);
  const tiles::Grid no_points{{X * Y, 0, 0}, X};
  constexpr std::int64_t TOO_LARGE = INT64_MAX - 1;
  for (const auto &[g, box] : {std::pair{grid, tiles::Box{0, 1, 0, 1, 3, 2}},
                               {grid, {0, -1, 0, -1, 0, 1}},
                               {grid, {1, TOO_LARGE, 0, 1, 0, 1}},
                               {no_points, {0, -1, 0, -1, 0, 1}}}) {
    std::int16_t untouched = 7;
    tiles::MemoryTarget target;
    target.samples = &untouched;
    EXPECT_EQ(tiles::read_box(*in, g, box, target, 1), tiles::Outcome::NoMemory)
        << box.first_level << " " << box.levels << " " << box.lines;
    EXPECT_EQ(untouched, 7);
  }
}

// A sink that keeps which tiles were written, in order.
class TileLog final : public tiles::Sink {
public:
  std::int64_t value_bytes() const override { return 0; }
  void convert(const tiles::Box &, std::uint16_t *, std::uint8_t *) const override {}
  bool write(const tiles::Box &tile, const std::uint16_t *, const std::uint8_t *) override {
    places.push_back(tile.first_level * 1000 + tile.first_line);
    return true;
  }
  std::vector<std::int64_t> places;
};

TEST(SamplePlanes, PipelineStopsBetweenTilesAndReportsProgress) {
  ScratchDir dir;
  write_file(dir / "source", counting_samples(4 * 3 * 10));
  std::optional<File> in = File::open_source((dir / "source").string());
  ASSERT_TRUE(in);
  const tiles::Grid grid{*spectroscopy_block(4, 3, 10, 0), 4};
  for (const int workers : {1, 2, 3}) {
    SCOPED_TRACE(::testing::Message() << "workers=" << workers);
    // Tiles of 12 samples: several tiles.
    tiles::Settings settings;
    settings.budget = {12, 10, 0};
    settings.workers = workers;
    std::vector<std::int64_t> done;
    settings.progress = [&](std::int64_t bytes, std::int64_t planned) {
      EXPECT_EQ(planned, 2 * 4 * 3 * 10);
      done.push_back(bytes);
    };
    TileLog whole;
    EXPECT_EQ(tiles::run(*in, grid, tiles::whole_grid(grid), whole, settings),
              tiles::Outcome::Done);
    EXPECT_GE(whole.places.size(), 4u);
    ASSERT_FALSE(done.empty());
    EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
    EXPECT_EQ(done.back(), 2 * 4 * 3 * 10);
    // Asked to stop after the third tile: three tiles, in order, and no more.
    settings.stop = [&] { return done.size() >= 3; };
    done.clear();
    TileLog stopped;
    EXPECT_EQ(tiles::run(*in, grid, tiles::whole_grid(grid), stopped, settings),
              tiles::Outcome::Stopped);
    EXPECT_EQ(stopped.places, std::vector<std::int64_t>(whole.places.begin(),
                                                         whole.places.begin() + 3));
  }
}

// --- Tiles and 64-bit positions
// --------------------------------------------------

TEST(SamplePlanes, TilesFollowTheBlockShape) {
  // Converter, export and memory budgets; each case is one where the shape
  // is clear-cut, and every shape must fit its budget.
  constexpr tiles::Budget CONVERT{1 << 20, 1 << 17, tiles::LONG_RUN_BYTES};
  constexpr tiles::Budget MEMORY{1 << 19, 1 << 17, 0};
  struct Case {
    std::int64_t x, lines, points;
    tiles::Budget budget;
    tiles::Shape shape;
  };
  const Case cases[] = {
      // Few points: whole pixels of as many whole lines as fit.
      {2048, 2048, 8, CONVERT, {64, 2048, 8}},
      // A small grid: one tile.
      {6, 7, 5, CONVERT, {7, 6, 5}},
      // Budgets of a sample or two: one sample at a time.
      {6, 7, 5, {1, 1, tiles::LONG_RUN_BYTES}, {1, 1, 1, true}},
      {6, 7, 5, {2, 1, tiles::LONG_RUN_BYTES}, {1, 2, 1, true}},
      // A line wider than a tile: part of one line, one level.
      {100, 3, 4, {50, 8, 0}, {1, 50, 1}},
      // Without write calls to save, the fewest bands of levels, as even as
      // they come.
      {256, 256, 2560, MEMORY, {1, 256, 1280}},
      {64, 64, 16384, MEMORY, {1, 64, 8192, true}},
  };
  for (const Case &c : cases) {
    const tiles::Grid grid{{c.x * c.lines, c.points, 0}, c.x};
    const tiles::Shape shape =
        tiles::tile_shape(tiles::whole_grid(grid), c.x, c.points, c.budget);
    SCOPED_TRACE(::testing::Message() << c.x << "x" << c.lines << "x" << c.points);
    EXPECT_EQ(shape, c.shape) << shape.lines << " " << shape.pixels << " "
                              << shape.levels;
  }
  // Larger grids with many points: within the budget, whole lines, and runs
  // written no shorter than today's 4 KiB.
  for (const auto &[x, lines, points] :
       {std::array<std::int64_t, 3>{256, 256, 2560}, {64, 64, 16384},
        {256, 256, 256}}) {
    const tiles::Grid grid{{x * lines, points, 0}, x};
    const tiles::Shape shape =
        tiles::tile_shape(tiles::whole_grid(grid), x, points, CONVERT);
    SCOPED_TRACE(::testing::Message() << x << "x" << lines << "x" << points);
    EXPECT_LE(shape.lines * shape.pixels * shape.levels, CONVERT.tile_samples);
    EXPECT_EQ(shape.pixels, x);
    EXPECT_GE(shape.lines * shape.pixels * SAMPLE_BYTES, 4096);
  }
}

TEST(SamplePlanes, IndexesPastTwoGibibytes) {
  // 65536 x 65536 pixels, 256 points, the backward block.
  auto block = spectroscopy_block(65536, 65536, 256, 65536);
  ASSERT_TRUE(block);
  EXPECT_EQ(block->pixels, std::int64_t{1} << 32);
  EXPECT_EQ(block->first_sample, std::int64_t{1} << 40);
  const std::int64_t last_pixel = (std::int64_t{1} << 32) - 1;
  EXPECT_EQ(source_sample(*block, last_pixel, 255),
            (std::int64_t{1} << 41) - 1);
  EXPECT_EQ(output_sample(*block, last_pixel, 255),
            (std::int64_t{1} << 40) - 1);

  // A dual set whose backward block starts at byte 2^31.
  block = spectroscopy_block(256, 256, 16384, 256);
  ASSERT_TRUE(block);
  EXPECT_EQ(2 * block->first_sample, std::int64_t{1} << 31);
  EXPECT_EQ(source_sample(*block, 256 * 1 + 3, 5),
            (std::int64_t{1} << 30) + 259 * 16384 + 5);
}

TEST(SamplePlanes, RefusesBytePositionsBeyondInt64) {
  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  EXPECT_FALSE(spectroscopy_block(max, max, max, 0));
  EXPECT_FALSE(spectroscopy_block(max, max, 2, max));
  // 2^62 samples in the output: positions up to 2^63 do not fit.
  EXPECT_FALSE(spectroscopy_block(1 << 30, 1 << 30, 4, 0));
  EXPECT_TRUE(spectroscopy_block(1 << 30, 1 << 30, 1, 0));
}

TEST(SamplePlanes, OversizedPlanesFailBeforeWriting) {
  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  PlaneRun run(counting_samples(4));
  EXPECT_FALSE(run.spectroscopy(max, max, max, max));
  EXPECT_FALSE(
      run.topography(std::numeric_limits<std::int64_t>::max() / 2, 2, 2));
}

// --- Write failures ----------------------------------------------------------

TEST(SamplePlanes, PlanesLargerThanTheFreeSpaceFailWithoutFillingTheDisk) {
  // A damaged record can ask for planes of many TiB; no file system here has
  // room for 2^61 bytes, so nothing may be written at all.
  ScratchDir dir;
  write_file(dir / "source", counting_samples(4));
  std::optional<File> in = File::open_source((dir / "source").string());
  std::optional<File> out = testing::create_output((dir / "output").string());
  ASSERT_TRUE(in && out);
  EXPECT_EQ(copy_topography_plane(*in, 0, *out, 1 << 30, 1 << 30),
            IoOutcome::WriteFailed);
  EXPECT_EQ(copy_spectroscopy_planes(*in, *out, 1 << 20, 1 << 20, 1 << 20, 0),
            IoOutcome::WriteFailed);
  EXPECT_EQ(std::filesystem::file_size(dir / "output"), 0u);
}

TEST(SamplePlanes, FullDiskIsReported) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no device that refuses every write, as "
                  "/dev/full does";
#endif
  ScratchDir dir;
  write_file(dir / "source", counting_samples(400));
  std::filesystem::create_symlink("/dev/full", dir / "output");
  std::optional<File> in = File::open_source((dir / "source").string());
  std::optional<File> out = testing::create_output((dir / "output").string());
  ASSERT_TRUE(in && out);
  EXPECT_EQ(copy_topography_plane(*in, 0, *out, 10, 10), IoOutcome::WriteFailed);
  EXPECT_EQ(copy_spectroscopy_planes(*in, *out, 10, 10, 2, 0),
            IoOutcome::WriteFailed);
  EXPECT_EQ(planes::copy_spectroscopy_planes(*in, *out, 10, 10, 2, 1, {7, 3}),
            IoOutcome::WriteFailed);
  EXPECT_EQ(planes::copy_spectroscopy_planes(*in, *out, 10, 10, 2, 1, {7, 3}, 3),
            IoOutcome::WriteFailed);
}

// Windows has no limit on the size of the files a process writes.
#ifndef _WIN32
// Converts a spectroscopy block in a child process whose files may not grow
// past `limit` bytes (a write beyond fails as on a full disk), and returns
// the outcome and what the output holds afterwards.
std::pair<IoOutcome, Bytes> spectroscopy_up_to(const Bytes &source,
                                               std::int32_t x, std::int32_t y,
                                               std::int32_t points,
                                               const planes::Budget &budget,
                                               int workers, rlim_t limit) {
  ScratchDir dir;
  write_file(dir / "source", source);
  const pid_t child = ::fork();
  if (child == 0) {
    const struct rlimit size_limit{limit, limit};
    std::signal(SIGXFSZ, SIG_IGN);
    std::optional<File> in = File::open_source((dir / "source").string());
    std::optional<File> out = testing::create_output((dir / "output").string());
    if (::setrlimit(RLIMIT_FSIZE, &size_limit) != 0 || !in || !out)
      ::_exit(100);
    ::_exit(static_cast<int>(planes::copy_spectroscopy_planes(
        *in, *out, x, y, points, 0, budget, workers)));
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child ||
      !WIFEXITED(status) || WEXITSTATUS(status) > 2)
    throw std::runtime_error("the limited conversion did not run");
  return {static_cast<IoOutcome>(WEXITSTATUS(status)),
          read_file(dir / "output")};
}

TEST(SamplePlanes, FailingWriteStopsThePlane) {
  // 24 x 20 pixels of 30 points, in tiles of some tens of pixels (budget
  // 1000, shared or not): each limit stops a tile before the last, whose
  // pixels then must not be written at all, not even in plane 0 far below
  // the limit. What was written must be the converted samples.
  const Bytes source = counting_samples(24 * 20 * 30);
  const Bytes reference = reference_spectroscopy(source, 24, 20, 30, 0);
  const Bytes unwritten(2, '\0'); // never a converted sample of `source`
  for (const rlim_t limit : {rlim_t{4000}, rlim_t{20000}, rlim_t{28001}}) {
    for (const int workers : {1, 2, 3}) {
      SCOPED_TRACE(::testing::Message()
                   << "limit=" << limit << " workers=" << workers);
      const auto [outcome, output] =
          spectroscopy_up_to(source, 24, 20, 30, {1000, 20}, workers, limit);
      EXPECT_EQ(outcome, IoOutcome::WriteFailed);
      ASSERT_GE(output.size(), 2u * 24 * 20);
      ASSERT_LE(output.size(), limit);
      EXPECT_EQ(output.substr(0, 2), reference.substr(0, 2));
      EXPECT_EQ(output.substr(2 * (24 * 20 - 1), 2), unwritten);
      for (std::size_t at = 0; at + 1 < output.size(); at += 2) {
        const Bytes sample = output.substr(at, 2);
        if (sample != unwritten && sample != reference.substr(at, 2))
          ADD_FAILURE() << "wrong sample at byte " << at;
      }
    }
  }
}

// Reads of a process's own memory as a file are a Linux facility.
#ifdef __linux__
// A source whose reads fail part way through: this process's own memory, read
// through /proc/self/mem, where it maps `samples` at a fixed address but for
// page `hole`, whose reads fail with EIO. Not usable when the system would
// not have it so.
class HoledSource {
public:
  static constexpr std::size_t PAGE = 4096;

  HoledSource(const Bytes &samples, std::size_t hole) : size_(samples.size()) {
    void *const want = reinterpret_cast<void *>(std::uintptr_t{1} << 28);
    void *const got =
        ::mmap(want, size_, PROT_READ | PROT_WRITE,
               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (got == MAP_FAILED)
      return;
    pages_ = static_cast<char *>(got);
    std::copy(samples.begin(), samples.end(), pages_);
    file_ = File::open_source("/proc/self/mem");
    std::uint8_t byte = 0;
    usable_ = got == want && ::munmap(pages_ + hole * PAGE, PAGE) == 0 &&
              file_ && file_->read_at(position(), {&byte, 1}) &&
              !file_->read_at(position() + hole * PAGE, {&byte, 1});
  }
  HoledSource(const HoledSource &) = delete;
  HoledSource &operator=(const HoledSource &) = delete;
  ~HoledSource() {
    if (pages_)
      ::munmap(pages_, size_);
  }

  bool usable() const { return usable_; }
  const File &file() const { return *file_; }
  // The byte position of `samples` in the file.
  std::int64_t position() const {
    return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(pages_));
  }

private:
  std::size_t size_;
  char *pages_ = nullptr;
  std::optional<File> file_;
  bool usable_ = false;
};

TEST(SamplePlanes, FailingReadStopsThePlane) {
  // 32 x 20 pixels of 32 points, 64 bytes each: the unreadable page holds
  // whole pixels, 320 to 383. Tiles of some tens of pixels (budget 1000,
  // shared or not): those before the first tile that needs the page are
  // written, whichever worker filled them; that tile and every one after it,
  // though helpers may have read them, are not.
  constexpr int X = 32, Y = 20, Q = 32;
  constexpr std::size_t HOLE = 5;
  constexpr int FIRST_LOST_PIXEL = HOLE * HoledSource::PAGE / (2 * Q);
  const Bytes samples = counting_samples(X * Y * Q);
  const Bytes reference = reference_spectroscopy(samples, X, Y, Q, 0);
  const HoledSource source(samples, HOLE);
  if (!source.usable())
    GTEST_SKIP() << "this process's memory cannot be read in part through "
                    "/proc/self/mem";
  const auto first_line =
      static_cast<std::int32_t>(source.position() / (2 * X * Q));
  ASSERT_EQ(std::int64_t{first_line} * 2 * X * Q, source.position());
  const Bytes unwritten(2, '\0'); // never a converted sample of `samples`
  for (const int workers : {1, 2, 3}) {
    SCOPED_TRACE(::testing::Message() << "workers=" << workers);
    ScratchDir dir;
    std::optional<File> out = testing::create_output((dir / "output").string());
    ASSERT_TRUE(out);
    EXPECT_EQ(planes::copy_spectroscopy_planes(source.file(), *out, X, Y, Q,
                                               first_line, {1000, 20}, workers),
              IoOutcome::ReadFailed);
    ASSERT_TRUE(out->close());
    Bytes output = read_file(dir / "output");
    output.resize(reference.size(), '\0');
    // Each plane holds its first pixels' samples and nothing after them.
    std::vector<int> written(Q, 0);
    for (int m = 0; m < Q; ++m) {
      for (int n = 0; n < X * Y; ++n) {
        const std::size_t at = 2 * (std::size_t{X} * Y * m + n);
        const Bytes sample = output.substr(at, 2);
        if (sample == unwritten)
          continue;
        if (sample != reference.substr(at, 2) || written[m] != n)
          ADD_FAILURE() << "plane " << m << ", pixel " << n << " is written "
                        << (written[m] == n ? "wrong" : "past the failure");
        ++written[m];
      }
    }
    EXPECT_GT(written[0], 0);
    EXPECT_LE(written[0], FIRST_LOST_PIXEL);
    EXPECT_EQ(written, std::vector<int>(Q, written[0]));
  }
}
#endif
#endif

} // namespace
} // namespace parvane
