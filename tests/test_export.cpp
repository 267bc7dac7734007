// The export through the library, without Gwyddion: the sets it refuses
// before writing a byte, a write that fails partway, and where every value
// of a volume lands. Built on every system, so the Windows build runs these
// through its own file layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

#include "test_helpers.h"

namespace parvane::testing {
namespace {

// A source file of `bytes` bytes: counting samples where it matters, and
// beyond them (for the sets too large to export) a hole, so that a source of
// a GiB costs no disk.
void write_source(const fs::path &path, std::int64_t bytes) {
  const auto held = static_cast<std::size_t>(std::min<std::int64_t>(bytes, 16 << 20));
  write_file(path, counting_samples(held / 2).append(held % 2, '\0'));
  fs::resize_file(path, static_cast<std::uintmax_t>(bytes));
}

// A 6 x 4 dual set with 3 points each way: its topography needs 96 bytes,
// its spectroscopy 288 (the backward block starts after 72 samples).
RecordBuilder small_record() {
  return RecordBuilder()
      .shape(6, 4, true, 3, 3)
      .float_at(12, 60.0f).float_at(16, 40.0f).float_at(48, 0.01f)
      .float_at(152, -1.0f).float_at(156, 1.0f)
      .float_at(168, 1.0f).float_at(172, -1.0f);
}

struct RefusalCase {
  std::string name;
  Bytes record;
  std::int64_t topography_bytes, spectroscopy_bytes; // -1: no spectroscopy
  ExportStatus status;
  std::string file; // the source named, or "" for the output
};

void PrintTo(const RefusalCase &c, std::ostream *os) { *os << c.name; }

class ExportRefusal : public ::testing::TestWithParam<RefusalCase> {
protected:
  ScratchDir sets;
};

// Planning refuses the set and names the source to blame, and leaves no
// plan to write from.
TEST_P(ExportRefusal, PlanRefusesBeforeWriting) {
  const RefusalCase &c = GetParam();
  write_file(sets / "tp5", c.record);
  write_source(sets / "tz5", c.topography_bytes);
  if (c.spectroscopy_bytes >= 0)
    write_source(sets / "ts5", c.spectroscopy_bytes);
  std::optional<File> record = File::open_source((sets / "tp5").string());
  std::optional<File> topography = File::open_source((sets / "tz5").string());
  std::optional<File> spectroscopy = File::open_source((sets / "ts5").string());
  std::optional<File> out = create_output((sets / "m5.gwy").string());
  ASSERT_TRUE(record && topography && out);
  const ExportSources sources{"5", &*record, &*topography,
                              spectroscopy ? &*spectroscopy : nullptr,
                              "tp5", "tz5", "ts5"};
  GwyExportPlan plan;
  const ExportResult r = plan_gwy_export(sources, plan);
  EXPECT_EQ(r.status, c.status) << r.reason;
  EXPECT_EQ(r.file, c.file);
  EXPECT_FALSE(r.reason.empty());
  EXPECT_TRUE(out->close());
  EXPECT_EQ(fs::file_size(sets / "m5.gwy"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sets, ExportRefusal,
    ::testing::Values(
        RefusalCase{"ShortTopography", small_record().bytes(), 95, 288,
                    ExportStatus::ShortSource, "tz5"},
        RefusalCase{"ShortBackwardSpectroscopy", small_record().bytes(), 96, 287,
                    ExportStatus::ShortSource, "ts5"},
        RefusalCase{"EmptyRecord", "", 96, -1, ExportStatus::NoImage, "tp5"},
        RefusalCase{"RecordWithoutItsTexts", small_record().bytes().substr(0, 380),
                    96, 288, ExportStatus::ShortSource, "tp5"},
        RefusalCase{"NoColumns", small_record().int_at(28, 0).bytes(), 96, 288,
                    ExportStatus::NoImage, "tp5"},
        RefusalCase{"NegativeLines", small_record().int_at(32, -4).bytes(), 96,
                    288, ExportStatus::NoImage, "tp5"},
        RefusalCase{"InfiniteZResolution",
                    small_record().float_at(48, INFINITY).bytes(), 96, 288,
                    ExportStatus::NotFinite, "tp5"},
        RefusalCase{"NanFieldSize", small_record().float_at(12, NAN).bytes(), 96,
                    288, ExportStatus::NotFinite, "tp5"},
        RefusalCase{"ZeroFieldSize", small_record().float_at(16, 0.0f).bytes(),
                    96, 288, ExportStatus::NotFinite, "tp5"},
        RefusalCase{"NanForwardBias", small_record().float_at(152, NAN).bytes(),
                    96, 288, ExportStatus::NotFinite, "tp5"},
        RefusalCase{"InfiniteBackwardBias",
                    small_record().float_at(172, -INFINITY).bytes(), 96, 288,
                    ExportStatus::NotFinite, "tp5"},
        // Sources that are all there, for arrays beyond the 4 GiB an object
        // of the format can count.
        RefusalCase{"ImageBeyondFormat",
                    small_record()
                        .shape(32768, 16385, false).bytes(),
                    std::int64_t{2} * 32768 * 16385, -1, ExportStatus::TooLarge,
                    "tp5"},
        RefusalCase{"GridBeyondFormat",
                    small_record()
                        .shape(64, 64, false, 131073).bytes(),
                    2 * 64 * 64, std::int64_t{2} * 64 * 64 * 131073,
                    ExportStatus::TooLarge, "tp5"}),
    [](const auto &info) { return info.param.name; });

// A set the export takes: counting samples in sources of exactly the size
// the set needs.
void write_exportable_set(const fs::path &dir, std::int32_t x, std::int32_t y,
                          bool dual, std::int32_t points) {
  const std::int64_t directions = dual ? 2 : 1, pixels = std::int64_t{x} * y;
  write_file(dir / "tp5", small_record()
                              .shape(x, y, dual, points, dual ? points : 0)
                              .bytes());
  write_source(dir / "tz5", 2 * directions * pixels);
  write_source(dir / "ts5", 2 * directions * pixels * points);
}

// The write faults below need a file size limit and the full device, which
// only POSIX systems have.
#ifndef _WIN32

// In a child process: exports set 5 with files limited to 1 MiB (a write
// past it fails, and the signal it would raise is ignored); 0 when the
// export reported the failed write.
int export_within_one_mebibyte(const fs::path &dir) {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{1 << 20, 1 << 20};
  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
    return 2;
  const ExportResult r = export_set(dir, "5", dir / "m5.gwy");
  return r.status == ExportStatus::WriteFailed && r.file.empty() ? 0 : 1;
}

// A write that fails once the output holds 1 MiB, in the images or halfway
// through a volume (where a helper thread fills while the calling thread
// writes), ends the export with WriteFailed rather than success or a hang.
TEST(PosixExportWrite, FailsWhereTheOutputStopsGrowing) {
  ScratchDir sets;
  for (const auto &[x, y, points] : {std::array{1024, 1024, 1}, std::array{64, 64, 64}}) {
    SCOPED_TRACE(std::to_string(x) + "x" + std::to_string(y) + "x" + std::to_string(points));
    write_exportable_set(sets.path(), x, y, true, points);
    EXPECT_EXIT(std::exit(export_within_one_mebibyte(sets.path())),
                ::testing::ExitedWithCode(0), "");
  }
  // The full device: the first write fails.
  write_exportable_set(sets.path(), 6, 4, true, 3);
  EXPECT_EQ(export_set(sets.path(), "5", "/dev/full").status, ExportStatus::WriteFailed);
}
#endif

struct LayoutCase {
  std::string name;
  std::int32_t x, y, points;
};

void PrintTo(const LayoutCase &c, std::ostream *os) { *os << c.name; }

class ExportLayout : public ::testing::TestWithParam<LayoutCase> {};

// Grids of more samples than one tile of the pipeline holds: bands of
// levels read as whole pixels, bands read pixel by pixel, lines in groups
// of uneven size (tiles from the last lines up, a last group shorter), and a
// level of more values than one batch of doubles: every value of the volume
// is the source sample of its pixel and point, rows bottom-up as Gwyddion
// shows the SCALA set. The counting samples make each misplaced value differ.
TEST_P(ExportLayout, EveryValueAtItsPixelAndLevel) {
  const LayoutCase &c = GetParam();
  ScratchDir sets;
  write_exportable_set(sets.path(), c.x, c.y, false, c.points);
  // Shown at once, into a stand-in for the terminal.
  std::string terminal;
  Progress progress("parvane-export",
                    [&](std::string_view text) { terminal += text; },
                    Progress::Clock::duration::zero());
  const ExportResult exported =
      export_set(sets.path(), "5", sets / "m5.gwy", {}, &progress);
  ASSERT_TRUE(exported.ok()) << exported.reason;
  // Every source byte counted once, the line shown and erased at the end.
  EXPECT_EQ(progress.done(), progress.planned());
  EXPECT_EQ(progress.planned(),
            std::int64_t{2} * c.x * c.y * (1 + std::int64_t{c.points}));
  EXPECT_TRUE(terminal.starts_with("\rparvane-export: m5.gwy: ")) << terminal;
  EXPECT_TRUE(terminal.ends_with(" \r")) << terminal;
  const GwyNode root = read_gwy(sets / "m5.gwy");
  const std::vector<double> &brick = root.object("/brick/0").at("data").doubles;
  const std::int64_t x = c.x, y = c.y, q = c.points;
  ASSERT_EQ(static_cast<std::int64_t>(brick.size()), x * y * q);
  std::int64_t wrong = 0;
  for (std::int64_t k = 0; k < q; ++k)
    for (std::int64_t r = 0; r < y; ++r)
      for (std::int64_t i = 0; i < x; ++i) {
        // The source counts over its first 16 MiB and holds zeros after.
        const std::int64_t n = ((y - 1 - r) * x + i) * q + k;
        const auto u = static_cast<std::uint16_t>(n < (8 << 20) ? n : 0);
        // The current's one formula, to the last bit.
        const double expected = 5e-8 / 32768 * (u - 32768);
        wrong += brick[std::size_t(k * x * y + r * x + i)] != expected;
      }
  EXPECT_EQ(wrong, 0);
}

// The current's calibration the user sets scales every current and is
// stated, marked as the user's, in the rows it changes; the default is the
// converter's 50 nA.
TEST(ExportCurrent, FullScaleScalesTheCurrentAndIsMarkedAsTheUsers) {
  ScratchDir sets;
  write_exportable_set(sets.path(), 3, 2, false, 4);
  struct Case {
    CurrentCalibration current;
    const char *maximum, *resolution;
  };
  for (const Case &c :
       {Case{{}, "50.000 nA (fixed by the converter)",
             "0.0015259 nA (fixed by the converter)"},
        Case{{1e-8, true}, "10.000 nA (set by the user)",
             "0.00030518 nA (set by the user)"}}) {
    ASSERT_TRUE(export_set(sets.path(), "5", sets / "m5.gwy", c.current).ok());
    const GwyNode root = read_gwy(sets / "m5.gwy");
    const GwyNode &meta = root.object("/brick/0/meta");
    EXPECT_EQ(meta.at("Spectroscopy Channel (Forward) Maximum value").text, c.maximum);
    EXPECT_EQ(meta.at("Spectroscopy Channel (Forward) Resolution").text, c.resolution);
    const std::vector<double> &brick = root.object("/brick/0").at("data").doubles;
    ASSERT_EQ(brick.size(), 24u);
    // Level 1 of the last line's first pixel: source sample 13.
    EXPECT_EQ(brick[6], c.current.full_scale / 32768 * (13 - 32768));
    fs::remove(sets / "m5.gwy");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Grids, ExportLayout,
    ::testing::Values(LayoutCase{"WholePixelTiles", 250, 70, 256},
                      LayoutCase{"WholeLevelBands", 32, 32, 5000},
                      LayoutCase{"PointBandsOfLines", 1024, 9, 1001},
                      LayoutCase{"UnevenLineGroups", 1000, 300, 10},
                      LayoutCase{"LevelOfManyBatches", 1024, 600, 1}),
    [](const auto &info) { return info.param.name; });

} // namespace
} // namespace parvane::testing
