// Opens converted sets with Gwyddion, the SCALA reader of Debian's gwyddion
// package: every parameter file must be recognised by its Omicron importer,
// load without a single complaint and render each topography channel as an
// image of the set's size. Where Gwyddion is not installed the tests report
// themselves skipped with the reason.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ostream>
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
                     bool dual_mode, bool has_spectroscopy) {
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
    write_built_set(sets.path(), c.number, c.dual_mode, c.has_spectroscopy);

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
        InteropCase{"DualWithSpectroscopy", false, "7", true, true}),
    [](const auto &info) { return info.param.name; });

} // namespace
} // namespace parvane::testing
