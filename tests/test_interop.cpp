// Opens converted sets with Gwyddion, the SCALA reader of Debian's gwyddion
// package: every parameter file must be recognised by its Omicron importer,
// load without a single complaint and render each topography channel as an
// image of the set's size. Exported GWY files must load as cleanly and hold
// the values Gwyddion reads from the SCALA set of the same sources. Where
// Gwyddion is not installed the tests report themselves skipped with the
// reason.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "test_helpers.h"

namespace parvane::testing {
namespace {

bool installed(const std::string &program) {
  const char *path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos)
      end = dirs.size();
    const fs::path candidate = fs::path(dirs.substr(start, end - start)) / program;
    if (::access(candidate.c_str(), X_OK) == 0)
      return true;
    start = end + 1;
  }
  return false;
}

// Runs `words` (found on PATH) in `dir`. `home` is the tool's home
// directory: Gwyddion keeps its settings there, and an unwritable home would
// make it warn on standard error.
RunResult run_tool(const fs::path &dir, const fs::path &home,
                   const std::vector<std::string> &words) {
  return run_program(dir, words.front(), words, home);
}

// A set with square pixels of 1 angstrom and a non-square image, so that a
// swap of lines and columns shows in the rendered image's size.
void write_built_set(const fs::path &dir, const std::string &number,
                     bool dual_mode, bool has_spectroscopy,
                     const std::string &comment = "") {
  const std::int32_t x = 24, y = 16, points = 8;
  const Bytes record = RecordBuilder()
                           .shape(x, y, dual_mode, points, dual_mode ? points : 0)
                           .float_at(12, 24.0f)
                           .float_at(16, 16.0f)
                           .float_at(20, 1.0f)
                           .float_at(24, 1.0f)
                           .float_at(48, 0.01f)
                           .int_at(248, 1)
                           .float_at(116, 0.5f)
                           .float_at(136, 1.0f)
                           .float_at(152, -1.0f)
                           .float_at(156, 1.0f)
                           .float_at(160, 2.0f / 7)
                           .text_at(312, "01.02.2006")
                           .text_at(332, comment)
                           .bytes();
  const std::size_t planes = dual_mode ? 2 : 1;
  const Bytes spectroscopy = counting_samples(planes * x * y * points, 30000);
  write_set(dir, number, record, counting_samples(planes * x * y, 32000),
            has_spectroscopy ? &spectroscopy : nullptr);
}

void copy_example_set(const fs::path &dir, const std::string &number) {
  for (const char *prefix : {"tp", "tz", "ts"}) {
    const fs::path source = fs::path(PARVANE_EXAMPLES_DIR) / (prefix + number);
    if (fs::exists(source))
      fs::copy_file(source, dir / (prefix + number));
  }
}

struct InteropCase {
  std::string name;
  bool from_examples;
  std::string number;
  bool dual_mode;
  bool has_spectroscopy;
  std::string comment = {};
};

void PrintTo(const InteropCase &c, std::ostream *os) { *os << c.name; }

std::vector<std::string> expected_outputs(const InteropCase &c) {
  const std::string stem = "m" + c.number + "_ori.";
  std::vector<std::string> names{stem + "par"};
  if (c.has_spectroscopy && c.dual_mode)
    names.push_back(stem + "sb0");
  if (c.has_spectroscopy)
    names.push_back(stem + "sf0");
  if (c.dual_mode)
    names.push_back(stem + "tb0");
  names.push_back(stem + "tf0");
  return names;
}

class Interop : public ::testing::TestWithParam<InteropCase> {
protected:
  void SetUp() override {
    for (const char *tool : {"gwyddion", "gwyddion-thumbnailer"})
      if (!installed(tool))
        GTEST_SKIP() << tool << " is not installed, so converted sets cannot "
                                "be opened in a SCALA reader here";
  }
  ScratchDir sets, capture;
};

TEST_P(Interop, GwyddionOpensEveryChannel) {
  const InteropCase &c = GetParam();
  if (c.from_examples)
    copy_example_set(sets.path(), c.number);
  else
    write_built_set(sets.path(), c.number, c.dual_mode, c.has_spectroscopy,
                    c.comment);

  const RunResult converted = run_converter(sets.path(), {c.number});
  ASSERT_EQ(converted.status, 0) << converted.output;
  std::vector<std::string> outputs;
  for (const std::string &name : list_dir(sets.path()))
    if (name.starts_with("m"))
      outputs.push_back(name);
  ASSERT_EQ(outputs, expected_outputs(c));

  const std::string par = "m" + c.number + "_ori.par";
  const RunResult identify = run_tool(sets.path(), capture.path(),
                                    {"gwyddion", "--identify", par});
  EXPECT_EQ(identify.status, 0) << identify.errors;
  EXPECT_TRUE(identify.output.starts_with(par + ": Omicron"));
  EXPECT_NE(identify.output.find("[omicron, "), std::string::npos) << identify.output;

  const RunResult check =
      run_tool(sets.path(), capture.path(), {"gwyddion", "--check", par});
  // Gwyddion complains on standard error, and still exits with 0, about
  // much that it reads.
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.errors, "");

  const Bytes record = read_file(sets / ("tp" + c.number));
  const std::int32_t size_x = big_endian_int(record, 28);
  const std::int32_t size_y = big_endian_int(record, 32);
  const int channels = c.dual_mode ? 2 : 1;
  for (int channel = 0; channel < channels; ++channel) {
    SCOPED_TRACE("topography channel " + std::to_string(channel));
    const RunResult thumbnail = run_tool(
        sets.path(), capture.path(),
        {"gwyddion-thumbnailer", "-c", std::to_string(channel), "kde4", "128", par});
    EXPECT_EQ(thumbnail.status, 0) << thumbnail.errors;
    ASSERT_GE(thumbnail.output.size(), 24u);
    EXPECT_EQ(thumbnail.output.substr(0, 8), "\x89PNG\r\n\x1a\n");
    // The header chunk holds width and height; sets up to 128 pixels wide
    // are rendered at their own size.
    EXPECT_EQ(big_endian_int(thumbnail.output, 16), size_x);
    EXPECT_EQ(big_endian_int(thumbnail.output, 20), size_y);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sets, Interop,
    ::testing::Values(
        InteropCase{"Example1DualWithSpectroscopy", true, "1", true, true},
        InteropCase{"Example2ForwardWithSpectroscopy", true, "2", false, true},
        InteropCase{"Example3DualWithoutSpectroscopy", true, "3", true, false},
        InteropCase{"ForwardOnly", false, "7", false, false},
        InteropCase{"ForwardWithSpectroscopy", false, "7", false, true},
        InteropCase{"DualMode", false, "7", true, false},
        InteropCase{"DualWithSpectroscopy", false, "7", true, true},
        // Line breaks typed into the record's comment stay on its line.
        InteropCase{"LineBreaksInTheComment", false, "7", true, true,
                    "first line\r\nsecond\rthird\n"}),
    [](const auto &info) { return info.param.name; });

} // namespace
} // namespace parvane::testing

namespace parvane::testing {
namespace {

void expect_close(double ours, double gwyddion, double scale,
                  const std::string &what) {
  EXPECT_LE(std::fabs(ours - gwyddion), 1e-9 * scale)
      << what << ": " << ours << " against " << gwyddion;
}

double largest_magnitude(const std::vector<double> &values) {
  double m = 0;
  for (double v : values)
    m = std::max(m, std::fabs(v));
  return m > 0 ? m : 1;
}

// Every setting of the parameter file is in the metadata with the value the
// file prints, and every value says where it comes from.
void expect_parameter_file_in_metadata(const Bytes &par, const GwyNode &meta) {
  std::istringstream lines(par);
  std::size_t settings = 0;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t colon = line.find(':');
    if (line.empty() || line[0] == ';' || line[0] == ' ' || colon == std::string::npos)
      continue;
    std::string key = line.substr(0, colon);
    key.erase(key.find_last_not_of(' ') + 1);
    if (key.ends_with("Channel"))
      continue; // a block, whose lines are settings of their own
    std::string value = line.substr(colon + 1, line.find(';') - colon - 1);
    value.erase(0, value.find_first_not_of(' '));
    value.erase(value.find_last_not_of(" \r") + 1);
    const std::string found = meta.items.contains(key) ? key : key + " (Forward)";
    EXPECT_TRUE(meta.at(found).text.starts_with(value))
        << key << ": " << meta.at(found).text << " against " << value;
    ++settings;
  }
  EXPECT_GT(settings, 40u);
  for (const auto &[key, value] : meta.items) {
    if (key.starts_with("Source") || key == "Exported by")
      continue;
    EXPECT_TRUE(value.text.ends_with("from the record)") ||
                value.text.ends_with("(fixed by the converter)"))
        << key << ": " << value.text;
  }
}

struct ExportCase {
  std::string name;
  std::int32_t x, y;
  bool dual_mode;
  bool has_spectroscopy;
  std::int32_t points_forward, points_backward;
  float start, end; // the forward sweep; the backward one runs end to start
};

void PrintTo(const ExportCase &c, std::ostream *os) { *os << c.name; }

class ExportInterop : public ::testing::TestWithParam<ExportCase> {
protected:
  void SetUp() override {
    if (!installed("gwyddion"))
      GTEST_SKIP() << "gwyddion is not installed, so exported files cannot be "
                      "checked against its reading of the SCALA set here";
  }
  ScratchDir sets, capture;
};

TEST_P(ExportInterop, GwyddionReadsTheScalaValuesAndTheRecordsBiasAxis) {
  const ExportCase &c = GetParam();
  const std::string n = "5";
  const int directions = c.dual_mode ? 2 : 1;
  const Bytes record =
      RecordBuilder()
          .shape(c.x, c.y, c.dual_mode, c.points_forward, c.points_backward)
          .float_at(12, 10.0f * c.x * 0.3f) // 0.3 nm pixels: printed, not exact
          .float_at(16, 10.0f * c.y * 0.7f)
          .float_at(48, 0.0123f)
          .float_at(152, c.start).float_at(156, c.end)
          .float_at(168, c.end).float_at(172, c.start)
          .bytes();
  const std::size_t pixels = std::size_t(c.x) * c.y;
  const std::size_t points = std::size_t(c.points_forward) +
                             (c.dual_mode ? std::size_t(c.points_backward) : 0);
  const Bytes spectroscopy = counting_samples(
      std::max(points, std::size_t(std::max(c.points_forward, c.points_backward)) * 2) * pixels, 1234);
  write_set(sets.path(), n, record, counting_samples(directions * pixels, 60000),
            c.has_spectroscopy ? &spectroscopy : nullptr);

  ASSERT_EQ(run_converter(sets.path(), {n}).status, 0);
  const RunResult scala = run_tool(sets.path(), capture.path(),
      {"gwyddion", "--convert-to-gwy=scala.gwy", "m" + n + "_ori.par"});
  ASSERT_EQ(scala.status, 0) << scala.errors;
  const ExportResult exported = export_set(sets.path(), n, sets / "m5.gwy");
  ASSERT_TRUE(exported.ok()) << exported.file << ": " << exported.reason;
  const RunResult check =
      run_tool(sets.path(), capture.path(), {"gwyddion", "--check", "m5.gwy"});
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.errors, "");

  const GwyNode ours = read_gwy(sets / "m5.gwy");
  const GwyNode theirs = read_gwy(sets / "scala.gwy");
  expect_parameter_file_in_metadata(read_file(sets / ("m" + n + "_ori.par")),
                                    ours.object("/0/meta"));
  int images = 0, volumes = 0;
  for (const auto &[key, value] : ours.items) {
    images += key.ends_with("/data") && value.kind == 'o';
    volumes += key.starts_with("/brick/") && std::count(key.begin(), key.end(), '/') == 2;
  }
  EXPECT_EQ(images, directions);
  EXPECT_EQ(volumes, c.has_spectroscopy ? directions : 0);

  for (int d = 0; d < directions; ++d) {
    SCOPED_TRACE("direction " + std::to_string(d));
    const std::string key = "/" + std::to_string(d) + "/data";
    const GwyNode &field = ours.object(key), &scala_field = theirs.object(key);
    for (const char *size : {"xres", "yres"})
      EXPECT_EQ(field.number(size), scala_field.number(size)) << size;
    for (const char *real : {"xreal", "yreal"})
      expect_close(field.number(real), scala_field.number(real),
                   scala_field.number(real), real);
    const std::vector<double> &values = field.at("data").doubles;
    const std::vector<double> &expected = scala_field.at("data").doubles;
    ASSERT_EQ(values.size(), expected.size());
    const double scale = largest_magnitude(expected);
    for (std::size_t i = 0; i < values.size(); ++i)
      expect_close(values[i], expected[i], scale, "image value " + std::to_string(i));

    if (!c.has_spectroscopy)
      continue;
    // The SCALA curves of this direction: each at its place, with its values.
    const GwyNode &volume = ours.object("/brick/" + std::to_string(d));
    const GwyNode &spectra = theirs.object("/sps/" + std::to_string(d));
    const auto p = static_cast<std::size_t>(d == 0 ? c.points_forward : c.points_backward);
    ASSERT_EQ(volume.number("zres"), double(p));
    const std::vector<double> &brick = volume.at("data").doubles;
    const std::vector<double> &coords = spectra.at("coords").doubles;
    const std::vector<GwyNode> &curves = spectra.at("data").objects;
    ASSERT_EQ(curves.size(), pixels);
    const double dx = field.number("xreal") / c.x, dy = field.number("yreal") / c.y;
    for (std::size_t j = 0; j < pixels; ++j) {
      const auto column = static_cast<std::size_t>(std::lround(coords[2 * j] / dx));
      const auto row = static_cast<std::size_t>(std::lround(coords[2 * j + 1] / dy));
      const std::vector<double> &curve = curves[j].at("data").doubles;
      ASSERT_EQ(curve.size(), p);
      for (std::size_t k = 0; k < p; ++k)
        expect_close(brick[k * pixels + row * c.x + column], curve[k], 5e-8,
                     "spectrum " + std::to_string(j) + " point " + std::to_string(k));
    }
    // The bias axis: the record's voltage of every point, in either direction.
    const double start = d == 0 ? c.start : c.end, end = d == 0 ? c.end : c.start;
    const GwyNode &calibration = volume.at("calibration").objects.at(0);
    const std::vector<double> &axis = calibration.at("data").doubles;
    ASSERT_EQ(axis.size(), p);
    for (std::size_t k = 0; k < p; ++k)
      expect_close(axis[k], p == 1 ? start : start + k * (end - start) / double(p - 1),
                   std::max(std::fabs(start), std::fabs(end)), "bias " + std::to_string(k));
    EXPECT_EQ(calibration.object("si_unit_y").at("unitstr").text, "V");
    EXPECT_EQ(volume.object("si_unit_w").at("unitstr").text, "A");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ExportInterop,
    ::testing::Values(
        ExportCase{"ForwardOnlyImage", 5, 3, false, false, 0, 0, 0, 0},
        ExportCase{"DualImagesOddSize", 7, 5, true, false, 0, 0, 0, 0},
        ExportCase{"DualGridUnequalPoints", 7, 5, true, true, 4, 3, -1.0f, 1.0f},
        ExportCase{"ForwardGridFallingSweep", 6, 4, false, true, 5, 0, 0.7f, -0.3f},
        ExportCase{"OneLineDualGrid", 9, 1, true, true, 3, 3, -0.2f, 0.2f},
        ExportCase{"OnePointGrid", 4, 4, false, true, 1, 0, 0.25f, 0.25f},
        // More values than one batch of the export's writer holds, so a
        // helper thread fills batches while the calling thread writes.
        ExportCase{"ManyTiles", 600, 3, false, true, 1000, 0, -2.0f, 2.0f},
        ExportCase{"TallImage", 3, 3000, true, false, 0, 0, 0, 0}),
    [](const auto &info) { return info.param.name; });

} // namespace
} // namespace parvane::testing
