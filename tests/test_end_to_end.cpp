// Runs the built converter in scratch directories and checks the console
// text, the exit status and what is left on disk.
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <thread>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "core/file_io.h"
#include "core/set_names.h"
#include "core/source_record.h"
#include "export/export_program.h"
#include "test_helpers.h"

namespace parvane::testing {
namespace {

const std::string BANNER =
    "\nParvane format conversion\nVersion 2.2 February 2006\n\n";
const std::string CLOSING = "\nAll files converted.\nExiting..\n\n";

std::string hint(const std::string &name = "parvane-convert") {
  return "Type " + name + " help to get basic help\n\n";
}
std::string done(const std::string &number) {
  return "File number " + number + " Done!\n";
}
std::string report(const std::string &number, const std::string &line) {
  return "Error converting file number " + number + "\n" + line +
         "\nExiting..\n\n";
}
std::string converted(const std::vector<std::string> &numbers) {
  std::string text = BANNER + hint();
  for (auto &number : numbers)
    text += done(number);
  return text + CLOSING;
}

// A small dual-mode set with spectroscopy: 3 x 2 pixels, 2 points forward
// and backward.
constexpr int SIZE_X = 3, SIZE_Y = 2, POINTS = 2;
const std::string TOPOGRAPHY_BYTES = counting_samples(2 * SIZE_X * SIZE_Y, 0x8000);
const std::string SPECTROSCOPY_BYTES =
    counting_samples(2 * POINTS * SIZE_X * SIZE_Y, 0x7000);

Bytes standard_record(bool dual_mode = true) {
  return RecordBuilder().shape(SIZE_X, SIZE_Y, dual_mode, POINTS, POINTS).bytes();
}

void write_standard_set(const fs::path &dir, const std::string &number,
                        bool with_spectroscopy = true) {
  write_set(dir, number, standard_record(), TOPOGRAPHY_BYTES,
            with_spectroscopy ? &SPECTROSCOPY_BYTES : nullptr);
}

std::int64_t size_on_disk(const fs::path &path) {
  std::error_code error;
  auto size = fs::file_size(path, error);
  return error ? -1 : static_cast<std::int64_t>(size);
}

// A failed run names the file in its way on standard error, in one line
// after the report; `reason` is checked where it is the converter's own
// text (a system's wording varies between systems).
void expect_error_line(const RunResult &result, const std::string &file,
                       const std::string &reason = "") {
  const std::string start = "parvane-convert: " + file + ": ";
  EXPECT_EQ(result.errors.substr(0, start.size()), start) << result.errors;
  EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1)
      << result.errors;
  if (!reason.empty()) {
    EXPECT_EQ(result.errors, start + reason + "\n");
  }
}

// The warning of a set converted without spectroscopy although its record
// announces `points` per pixel; `earlier` is what it says of earlier files.
std::string without_spectroscopy(const std::string &ts,
                                 const std::string &absence, int points,
                                 const std::string &earlier = "") {
  return "parvane-convert: " + ts + ": " + absence + "; the record announces " +
         std::to_string(points) +
         " points per pixel; converted without spectroscopy" +
         (earlier.empty() ? "" : "; " + earlier) + "\n";
}

// The warning of a spectroscopy channel described as empty.
std::string empty_channel(const std::string &tp, int points,
                          const std::string &direction) {
  return "parvane-convert: " + tp + ": the record gives " +
         std::to_string(points) + " spectroscopy points per pixel (" +
         direction +
         "); the parameter file describes an empty spectroscopy channel, "
         "which some readers refuse\n";
}

class EndToEnd : public ::testing::Test {
protected:
  ScratchDir dir;
  // Runs the converter; `error_file` names the file that the standard error
  // line must name, or is empty when nothing may go there.
  RunResult run(const std::vector<std::string> &args,
                const std::string &error_file = "",
                const std::string &reason = "") {
    RunResult result = run_converter(dir.path(), args, "./parvane-convert");
    if (error_file.empty()) {
      EXPECT_EQ(result.errors, "") << "nothing goes to standard error";
    } else {
      expect_error_line(result, error_file, reason);
    }
    return result;
  }
  // Leaves standard error to the caller.
  RunResult run_with_errors(const std::vector<std::string> &args) {
    return run_converter(dir.path(), args, "./parvane-convert");
  }
  // A walk that found no set says on standard error what it looked for
  // and, when it looked at all, in which directory: this scratch directory.
  void expect_nothing_found(const std::string &errors,
                            const std::string &looked_for) {
    const std::string line = "parvane-convert: no set found: " + looked_for;
    if (looked_for.ends_with("to look for")) {
      EXPECT_EQ(errors, line + "\n");
      return;
    }
    ASSERT_TRUE(errors.starts_with(line + " in ") && errors.ends_with("\n"))
        << errors;
    const fs::path where =
        errors.substr(line.size() + 4, errors.size() - line.size() - 5);
    std::error_code error;
    EXPECT_TRUE(fs::equivalent(where, dir.path(), error)) << errors;
  }
};

TEST_F(EndToEnd, HelpTextByteForByte) {
  const std::string name = "parvane-convert";
  const std::string help =
      BANNER + "\n" + name + "    \t            : Convert all available files 1 to 500\n" +
      name + " <filelist>        : Convert all files in <filelist>\n" + name +
      " <file> -          : Convert files from <file> onwards\n" + name +
      " - <file>          : Convert all available files from 1 to <file>\n" +
      name + " <file1> - <file2> : Convert all available files in the range "
             "<file1>\t\t    \t\t      to <file2>\n" +
      "\nExiting...\n\n";
  for (const char *word : {"help", "?"}) {
    RunResult result = run({word});
    EXPECT_EQ(result.output, help);
    EXPECT_EQ(result.status, 5);
  }
  EXPECT_TRUE(list_dir(dir.path()).empty());
}

TEST_F(EndToEnd, NoSetsEndsNormally) {
  RunResult result = run_with_errors({});
  EXPECT_EQ(result.output, BANNER + hint() + CLOSING);
  EXPECT_EQ(result.status, 0);
  expect_nothing_found(result.errors, "no tp1 to tp501");
}

struct WalkCase {
  std::vector<std::string> args;
  std::vector<std::string> present;   // sets on disk
  std::vector<std::string> converted; // in the order converted
  std::string looked_for = {};        // standard error when none was found
  std::string notes = {};             // standard error when some were
};

std::string joined(const std::vector<std::string> &words) {
  std::string text;
  for (auto &word : words) {
    text.push_back(' ');
    text.append(word, 0, 20);
  }
  return "[" + text + " ]";
}

void PrintTo(const WalkCase &c, std::ostream *out) {
  *out << "args " << joined(c.args) << " sets " << joined(c.present);
}

class BatchWalk : public EndToEnd,
                  public ::testing::WithParamInterface<WalkCase> {};

TEST_P(BatchWalk, ProbesExactlyItsRange) {
  for (auto &number : GetParam().present)
    write_standard_set(dir.path(), number);
  RunResult result = run_with_errors(GetParam().args);
  EXPECT_EQ(result.output, converted(GetParam().converted));
  EXPECT_EQ(result.status, 0);
  if (GetParam().converted.empty())
    expect_nothing_found(result.errors, GetParam().looked_for);
  else
    EXPECT_EQ(result.errors, GetParam().notes);
  for (auto &number : GetParam().present) {
    bool expected = std::count(GetParam().converted.begin(),
                               GetParam().converted.end(), number) > 0;
    EXPECT_EQ(fs::exists(dir / ("m" + number + "_ori.par")), expected) << number;
  }
  EXPECT_FALSE(fs::exists(dir / "tmp.par"));
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, BatchWalk,
    ::testing::Values(
        // Without arguments the walk stops after tp501, and says so when
        // sets lie beyond it, or have names no walk reaches.
        WalkCase{{}, {"1", "2", "5", "501", "502"}, {"1", "2", "5", "501"}, "",
                 "parvane-convert: note: 1 set lies above tp501 (tp502) and is "
                 "not converted without arguments; convert it with: "
                 "parvane-convert 501 - 502\n"},
        WalkCase{{}, {"1", "1000", "0001", "777", "007", "502"}, {"1"}, "",
                 "parvane-convert: note: 3 sets lie above tp501 (tp502 to "
                 "tp1000) and are not converted without arguments; convert "
                 "them with: parvane-convert 501 - 1000\n"
                 "parvane-convert: note: 2 sets with zero-padded names (tp0001 "
                 "to tp007) are converted only when named exactly, as in: "
                 "parvane-convert 0001\n"},
        WalkCase{{}, {"1", "501", "01"}, {"1", "501"}, "",
                 "parvane-convert: note: 1 set with zero-padded name (tp01) is "
                 "converted only when named exactly, as in: parvane-convert "
                 "01\n"},
        // Only the run without arguments has a limit it was not given.
        WalkCase{{"-", "20"}, {"1", "502"}, {"1"}},
        WalkCase{{"7", "-"}, {"7", "8", "501", "502"}, {"8", "501"}},
        WalkCase{{"word", "-"}, {"1", "501"}, {"1", "501"}},
        WalkCase{{"600", "-"}, {"601"}, {},
                 "no number after 600 up to 501 to look for"},
        WalkCase{{"-", "20"}, {"1", "21", "22"}, {"1", "21"}},
        WalkCase{{"-", "-"}, {"1", "2"}, {"1"}},
        WalkCase{{"-", "0"}, {"1", "2"}, {"1"}},
        WalkCase{{"-", "word"}, {"0", "1", "2"}, {"1"}},
        WalkCase{{"5", "-", "20"}, {"5", "6", "21", "22"}, {"6", "21"}},
        WalkCase{{"5", "-", "5"}, {"5", "6", "7"}, {"6"}},
        WalkCase{{"10", "-", "5"}, {"10", "11"}, {},
                 "no number after 10 up to 6 to look for"},
        WalkCase{{"4", "-", "5"}, {"4", "7"}, {}, "no tp5 to tp6"},
        WalkCase{{"-", "0"}, {"2"}, {}, "no tp1"},
        // Set 0 after a negative start is converted and the walk goes on.
        WalkCase{{"-3", "-", "2"}, {"-3", "-2", "0", "3", "4"}, {"-2", "0", "3"}},
        // The largest int is probed last; the counter never wraps around.
        WalkCase{{"2147483645", "-", "2147483647"},
                 {"2147483646", "2147483647", "-2147483648"},
                 {"2147483646", "2147483647"}},
        WalkCase{{"99999999999", "-", "99999999999"}, {"2147483647"}, {},
                 "no number after 2147483647 up to 2147483647 to look for"},
        WalkCase{{"-99999999999", "-", "-2147483647"},
                 {"-2147483648", "-2147483647", "-2147483646"},
                 {"-2147483647", "-2147483646"}}),
    CaseName());

class ListMode : public EndToEnd,
                 public ::testing::WithParamInterface<WalkCase> {};

TEST_P(ListMode, ConvertsEachArgumentAsTyped) {
  for (auto &number : GetParam().present)
    write_standard_set(dir.path(), number);
  RunResult result = run(GetParam().args);
  EXPECT_EQ(result.output, converted(GetParam().converted));
  EXPECT_EQ(result.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ListMode,
    ::testing::Values(WalkCase{{"3", "3"}, {"3"}, {"3", "3"}},
                      WalkCase{{"007"}, {"007"}, {"007"}},
                      WalkCase{{"2", "1", "x"}, {"1", "2", "x"}, {"2", "1", "x"}},
                      WalkCase{{"1", "2", "3"}, {"1", "2", "3"}, {"1", "2", "3"}},
                      WalkCase{{std::string(240, '9')},
                               {std::string(240, '9')},
                               {std::string(240, '9')}}),
    CaseName());

// The staging file cannot be made in a directory this user may not write:
// the line names the directory as such.
TEST_F(EndToEnd, ReadOnlyWorkingDirectoryNamed) {
  write_standard_set(dir.path(), "1");
  fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
  const bool writable = std::ofstream(dir / "probe").good();
  fs::remove(dir / "probe");
  if (writable) {
    fs::permissions(dir.path(), fs::perms::owner_all);
    GTEST_SKIP() << "this user may write to a read-only directory (root)";
  }
  const RunResult result =
      run({"1"}, "tmp.par",
          std::string(std::strerror(EACCES)) + "; the working directory " +
              fs::canonical(dir.path()).string() +
              " is read-only for this user");
  fs::permissions(dir.path(), fs::perms::owner_all);
  EXPECT_EQ(result.output, BANNER + hint() + report("1", error_line(3)));
  EXPECT_EQ(result.status, 1);
}

TEST_F(EndToEnd, LeadingZerosAreNotFoundByTheWalk) {
  write_standard_set(dir.path(), "007");
  const RunResult result = run_with_errors({"-", "10"});
  EXPECT_EQ(result.output, converted({}));
  expect_nothing_found(result.errors, "no tp1 to tp11");
}

struct FailureCase {
  std::vector<std::string> args;
  std::vector<std::string> present;
  std::vector<std::string> converted;
  std::string failed;
  int code; // of the report's second line
  std::vector<std::string> untouched; // sets after the failure
  std::string error_file;             // named on standard error
  std::string reason = {};            // checked when given
};

void PrintTo(const FailureCase &c, std::ostream *out) {
  *out << "args " << joined(c.args) << " failing " << c.failed.substr(0, 20);
}

const std::string SEPARATOR_REASON =
    "a file number with a directory separator names no set of this directory";

class FailedRun : public EndToEnd,
                  public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedRun, StopsAtTheFirstFailureWithStatus1) {
  const FailureCase &c = GetParam();
  for (auto &number : c.present)
    write_standard_set(dir.path(), number);
  if (std::count(c.present.begin(), c.present.end(), "2"))
    fs::remove(dir / "tz2"); // set 2 is the broken one where it exists
  RunResult result = run(c.args, c.error_file, c.reason);
  std::string expected = BANNER + hint();
  for (auto &number : c.converted)
    expected += done(number);
  EXPECT_EQ(result.output, expected + report(c.failed, error_line(c.code)));
  EXPECT_EQ(result.status, 1);
  for (auto &number : c.converted)
    EXPECT_TRUE(fs::exists(dir / ("m" + number + "_ori.tf0"))) << number;
  for (auto &number : c.untouched)
    EXPECT_FALSE(fs::exists(dir / ("m" + number + "_ori.par"))) << number;
}

const std::vector<FailureCase> FAILURES{
    FailureCase{{}, {"1", "2", "3"}, {"1"}, "2", 2, {"3"}, "tz2"},
    FailureCase{{"1", "2", "3"}, {"1", "2", "3"}, {"1"}, "2", 2, {"3"}, "tz2"},
    FailureCase{{"1", "4", "3"}, {"1", "3"}, {"1"}, "4", 1, {"3"}, "tp4"},
    FailureCase{{"1", "-", "3", "4"}, {"1", "3", "4"}, {"1"}, "-", 1,
                {"3", "4"}, "tp-"},
    FailureCase{{"HELP"}, {}, {}, "HELP", 1, {}, "tpHELP"},
    FailureCase{{std::string(300, '1')}, {}, {}, std::string(300, '1'), 1, {},
                "tp" + std::string(300, '1')},
    // A line feed in a number would forge console lines: it names no set,
    // and every echo of it shows its control characters as '?'.
    FailureCase{{"1", "7\nFile number 9 Done!", "3"}, {"1", "3"}, {"1"},
                "7?File number 9 Done!", 1, {"3"}, "7?File number 9 Done!",
                "a file number with a control character names no set"},
#ifdef _WIN32
    // On Windows "tp\..\tp1" leads to tp1, "tp::$DATA" to the data of a
    // file "tp" and "tp1." to tp1: a number holding a directory separator
    // or a stream marker, or ending in a dot, names no set of its own.
    FailureCase{{"1", "\\..\\tp1", "3"}, {"1", "3"}, {"1"}, "\\..\\tp1", 1,
                {"3"}, "\\..\\tp1", SEPARATOR_REASON},
    FailureCase{{"::$DATA"}, {""}, {}, "::$DATA", 1, {}, "::$DATA",
                SEPARATOR_REASON},
    FailureCase{{"1."}, {"1"}, {}, "1.", 1, {}, "tp1.",
                "ends in a dot or a space, which Windows drops from names"}
#else
    FailureCase{{"1", "\\..\\tp1", "3"}, {"1", "3"}, {"1"}, "\\..\\tp1", 1,
                {"3"}, "tp\\..\\tp1"},
    FailureCase{{"::$DATA"}, {""}, {}, "::$DATA", 1, {}, "tp::$DATA"},
    FailureCase{{"1."}, {"1"}, {}, "1.", 1, {}, "tp1."}
#endif
};

INSTANTIATE_TEST_SUITE_P(Failures, FailedRun, ::testing::ValuesIn(FAILURES),
                         CaseName());

// Each open failure, provoked by a directory where the file should be, and
// what the conversion leaves on disk: sizes of the set's files (-1 absent).
struct OpenFailureCase {
  int code;
  std::string blocked; // name that is a directory
  std::vector<std::pair<std::string, std::int64_t>> left;
};

void PrintTo(const OpenFailureCase &c, std::ostream *out) {
  *out << "code " << c.code << " (" << c.blocked << " is a directory)";
}

// The report of the case's open failure, and the set's other files as the
// case says the failure leaves them.
void expect_open_failure(const fs::path &dir, const OpenFailureCase &c,
                         const RunResult &result) {
  EXPECT_EQ(result.output,
            BANNER + hint() + report("1", error_line(c.code)));
  EXPECT_EQ(result.status, 1);
  for (auto &[name, size] : c.left) {
    if (name == c.blocked)
      continue;
    EXPECT_EQ(size_on_disk(dir / name), size) << name;
  }
}

class OpenFailure : public EndToEnd,
                    public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailure, ReportsItsCodeAndLeavesTheDocumentedFiles) {
  const OpenFailureCase &c = GetParam();
  write_standard_set(dir.path(), "1");
  fs::remove(dir / c.blocked);
  fs::create_directory(dir / c.blocked);
  expect_open_failure(dir.path(), c, run({"1"}, c.blocked, "a directory"));
}

const std::int64_t PLANE = 2 * SIZE_X * SIZE_Y;
const std::int64_t POINT_PLANES = POINTS * PLANE;
const std::int64_t RECORD = 402;

const std::vector<OpenFailureCase> OPEN_FAILURES{
        OpenFailureCase{1, "tp1", {{"tmp.par", -1}, {"m1_ori.par", -1}}},
        OpenFailureCase{2, "tz1", {{"tmp.par", -1}, {"m1_ori.par", -1}}},
        OpenFailureCase{3, "tmp.par", {{"m1_ori.par", -1}}},
        OpenFailureCase{4, "m1_ori.par",
                        {{"tmp.par", RECORD}, {"m1_ori.tf0", -1}}},
        OpenFailureCase{5, "m1_ori.tf0",
                        {{"tmp.par", RECORD}, {"m1_ori.par", 0}, {"m1_ori.sf0", -1}}},
        OpenFailureCase{6, "m1_ori.sf0",
                        {{"tmp.par", RECORD}, {"m1_ori.par", 0},
                         {"m1_ori.tf0", 0}, {"m1_ori.tb0", -1}}},
        OpenFailureCase{7, "m1_ori.tb0",
                        {{"tmp.par", RECORD}, {"m1_ori.par", 0},
                         {"m1_ori.tf0", PLANE}, {"m1_ori.sf0", 0},
                         {"m1_ori.sb0", -1}}},
        OpenFailureCase{8, "m1_ori.sb0",
                        {{"tmp.par", RECORD}, {"m1_ori.par", 0},
                         {"m1_ori.tf0", PLANE}, {"m1_ori.tb0", PLANE},
                         {"m1_ori.sf0", POINT_PLANES}}}};

INSTANTIATE_TEST_SUITE_P(Codes, OpenFailure, ::testing::ValuesIn(OPEN_FAILURES),
                         CaseName());

// A source that exists but that this user may not read is no missing file:
// the walk stops at such a record instead of passing it by, and such a
// spectroscopy file fails its set instead of leaving out the curves; in
// either case before any output is made. Root reads every file, so CI runs
// these rows once more as an ordinary user.
struct UnreadableCase {
  std::string name;
  std::vector<std::string> args;
  int code;
};

void PrintTo(const UnreadableCase &c, std::ostream *out) {
  *out << c.name << " unreadable, " << (c.args.empty() ? "walk" : "list");
}

class UnreadableSource : public EndToEnd,
                         public ::testing::WithParamInterface<UnreadableCase> {};

TEST_P(UnreadableSource, FailsItsSetBeforeAnyOutput) {
  const UnreadableCase &c = GetParam();
  write_standard_set(dir.path(), "1");
  fs::permissions(dir / c.name, fs::perms::none);
  if (std::ifstream(dir / c.name))
    GTEST_SKIP() << "this user may read files without read permission (root)";
  const RunResult result = run(c.args, c.name, std::strerror(EACCES));
  fs::permissions(dir / c.name, fs::perms::owner_all);
  EXPECT_EQ(result.output, BANNER + hint() + report("1", error_line(c.code)));
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(fs::exists(dir / "tmp.par"));
  EXPECT_FALSE(fs::exists(dir / "m1_ori.par"));
}

INSTANTIATE_TEST_SUITE_P(
    Permission, UnreadableSource,
    ::testing::Values(
        UnreadableCase{"tp1", {"1"}, 1},
        UnreadableCase{"tp1", {}, 1},
        UnreadableCase{"ts1", {"1"}, 17}),
    [](const auto &info) {
      return info.param.name + (info.param.args.empty() ? "Walk" : "List");
    });

TEST_F(EndToEnd, OutputsNotReachedKeepWhatTheyHeld) {
  write_standard_set(dir.path(), "1");
  write_file(dir / "m1_ori.sb0", "earlier");
  fs::create_directory(dir / "m1_ori.tf0");
  EXPECT_EQ(run({"1"}, "m1_ori.tf0").status, 1);
  EXPECT_EQ(read_file(dir / "m1_ori.sb0"), "earlier");
}

// An output that is one of several names of a file outside the set (a
// backup's hard link, another set's source) is replaced by a new file, so
// that every other name keeps its content; the set converts as usual.
TEST_F(EndToEnd, OutputsWithOtherNamesAreReplacedNotEmptied) {
  ScratchDir reference;
  for (const fs::path *where : {&reference.path(), &dir.path()})
    for (const char *number : {"1", "2"})
      write_standard_set(*where, number);
  ASSERT_EQ(run_converter(reference.path(), {}).status, 0);
  fs::create_directory(dir / "snapshot");
  write_file(dir / "snapshot" / "m1_ori.par", "yesterday's parameters");
  fs::create_hard_link(dir / "snapshot" / "m1_ori.par", dir / "m1_ori.par");
  fs::create_hard_link(dir / "tz2", dir / "m1_ori.tf0");
  fs::create_hard_link(dir / "ts2", dir / "m1_ori.sb0");
  // Outputs of an earlier conversion linked to each other.
  write_file(dir / "m1_ori.tf0x", "converted earlier");
  fs::create_hard_link(dir / "m1_ori.tf0x", dir / "m1_ori.tb0");
  fs::create_hard_link(dir / "m1_ori.tf0x", dir / "m1_ori.sf0");
  EXPECT_EQ(run({}).output, converted({"1", "2"}));
  EXPECT_EQ(read_file(dir / "snapshot" / "m1_ori.par"), "yesterday's parameters");
  EXPECT_EQ(read_file(dir / "tz2"), TOPOGRAPHY_BYTES);
  EXPECT_EQ(read_file(dir / "ts2"), SPECTROSCOPY_BYTES);
  EXPECT_EQ(read_file(dir / "m1_ori.tf0x"), "converted earlier");
  for (const char *name : {"m1_ori.par", "m1_ori.tf0", "m1_ori.sf0",
                           "m1_ori.tb0", "m1_ori.sb0", "m2_ori.tf0",
                           "m2_ori.sb0"}) {
    EXPECT_EQ(read_file(dir / name), read_file(reference / name)) << name;
    EXPECT_EQ(fs::hard_link_count(dir / name), 1u) << name;
  }
}

TEST_F(EndToEnd, ForwardOnlyLeavesEarlierBackwardFilesAlone) {
  write_set(dir.path(), "1", standard_record(false), TOPOGRAPHY_BYTES,
            &SPECTROSCOPY_BYTES);
  write_file(dir / "m1_ori.tb0", "earlier tb0");
  write_file(dir / "m1_ori.sb0", "earlier sb0");
  EXPECT_EQ(run({"1"}).status, 0);
  EXPECT_EQ(read_file(dir / "m1_ori.tb0"), "earlier tb0");
  EXPECT_EQ(read_file(dir / "m1_ori.sb0"), "earlier sb0");
  EXPECT_EQ(size_on_disk(dir / "m1_ori.tf0"), PLANE);
}

TEST_F(EndToEnd, DirectoriesDoNotCountAsSources) {
  fs::create_directory(dir / "tp7");
  write_standard_set(dir.path(), "8");
  EXPECT_EQ(run({"7", "-", "8"}).output, converted({"8"}));
  EXPECT_EQ(run({"7"}, "tp7", "a directory").output,
            BANNER + hint() +
                report("7", error_line(1)));

  write_standard_set(dir.path(), "9");
  fs::remove(dir / "ts9");
  fs::create_directory(dir / "ts9");
  const RunResult result = run_with_errors({"9"});
  EXPECT_EQ(result.output, converted({"9"}));
  EXPECT_EQ(result.errors, without_spectroscopy("ts9", "is not a file", 2));
  EXPECT_FALSE(fs::exists(dir / "m9_ori.sf0"));
}

TEST_F(EndToEnd, PipesInPlaceOfFilesNeverHang) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no named pipes that live in a directory";
#else
  // Nobody writes to or reads from these pipes: opening them must not wait.
  ASSERT_EQ(::mkfifo((dir / "tp3").c_str(), 0666), 0);
  write_standard_set(dir.path(), "4");
  EXPECT_EQ(run({"-", "3"}).output, converted({"4"}));
  write_standard_set(dir.path(), "5");
  fs::remove(dir / "tz5");
  ASSERT_EQ(::mkfifo((dir / "tz5").c_str(), 0666), 0);
  EXPECT_EQ(run({"5"}, "tz5", "not a regular file").output,
            BANNER + hint() +
                report("5", error_line(2)));
  fs::remove(dir / "m4_ori.tf0");
  ASSERT_EQ(::mkfifo((dir / "m4_ori.tf0").c_str(), 0666), 0);
  EXPECT_EQ(run({"4"}, "m4_ori.tf0", std::strerror(ENXIO)).output,
            BANNER + hint() +
                report("4", error_line(5)));
#endif
}

TEST_F(EndToEnd, WriteFailureIsReportedNotDone) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no device that refuses every write, as "
                  "/dev/full does";
#endif
  write_standard_set(dir.path(), "1");
  write_standard_set(dir.path(), "2");
  fs::create_symlink("/dev/full", dir / "m2_ori.tf0");
  RunResult result = run({}, "m2_ori.tf0", std::strerror(ENOSPC));
  EXPECT_EQ(result.output,
            BANNER + hint() + done("1") +
                report("2", error_line(11)));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(size_on_disk(dir / "tmp.par"), RECORD);
  EXPECT_EQ(size_on_disk(dir / "m2_ori.par"), 0);
}

TEST_F(EndToEnd, StaleStagingFileOfAnotherLengthIsReplaced) {
  for (std::size_t stale : {std::size_t{10}, std::size_t{5000}}) {
    write_file(dir / "tmp.par", Bytes(stale, '\x7f'));
    write_standard_set(dir.path(), "1");
    EXPECT_EQ(run({"1"}).output, converted({"1"}));
    EXPECT_FALSE(fs::exists(dir / "tmp.par"));
    EXPECT_EQ(size_on_disk(dir / "m1_ori.tf0"), PLANE);
    EXPECT_EQ(size_on_disk(dir / "m1_ori.sb0"), POINT_PLANES);
  }
}

TEST_F(EndToEnd, ShortSourcesConvertAndAreNamed) {
  // Cut inside the forward-only flag: image size survives, the flag reads 0.
  write_set(dir.path(), "1", standard_record(false).substr(0, 310),
            TOPOGRAPHY_BYTES, &SPECTROSCOPY_BYTES);
  write_set(dir.path(), "2", "", TOPOGRAPHY_BYTES, &SPECTROSCOPY_BYTES);
  // Samples cut short, one byte short of the backward spectroscopy block.
  const Bytes spectroscopy = SPECTROSCOPY_BYTES.substr(0, 47);
  write_set(dir.path(), "3", standard_record(), TOPOGRAPHY_BYTES.substr(0, 1),
            &spectroscopy);
  const RunResult result = run_with_errors({"1", "2", "3"});
  EXPECT_EQ(result.output, converted({"1", "2", "3"}));
  EXPECT_EQ(result.status, 0);
  const std::string record = "; the numbers it lacks were read as 0 and its "
                             "texts stop where it ends\n";
  const std::string samples =
      "; the missing samples were written as the lowest value\n";
  const std::string program = "parvane-convert: ";
  // An empty record gives no spectroscopy points (and reads as dual).
  EXPECT_EQ(result.errors,
            program + "tp1: holds 310 bytes, the set needs 402" + record +
                program + "tp2: holds 0 bytes, the set needs 402" + record +
                empty_channel("tp2", 0, "forward") +
                empty_channel("tp2", 0, "backward") +
                program + "tz3: holds 1 byte, the set needs 24" + samples +
                program + "ts3: holds 47 bytes, the set needs 48" + samples);
  EXPECT_EQ(size_on_disk(dir / "m1_ori.tb0"), PLANE);
  EXPECT_EQ(size_on_disk(dir / "m1_ori.sf0"), POINT_PLANES);
  for (const char *name : {"m2_ori.tf0", "m2_ori.tb0", "m2_ori.sf0", "m2_ori.sb0"})
    EXPECT_EQ(size_on_disk(dir / name), 0) << name;
  EXPECT_EQ(size_on_disk(dir / "m3_ori.tb0"), PLANE);
  EXPECT_EQ(size_on_disk(dir / "m3_ori.sb0"), POINT_PLANES);
}

// Sets whose spectroscopy is missing or empty convert as ever, with one
// line per problem on standard error after the set. Earlier outputs named in
// `earlier` hold "earlier" before the run and still do after it.
struct SpectroscopyWarningCase {
  std::string name;
  std::vector<std::string> args;
  std::string number;
  Bytes record;
  enum { NO_TS, TS_FILE, TS_DIRECTORY } ts;
  std::vector<std::string> earlier;
  std::string errors;
};

void PrintTo(const SpectroscopyWarningCase &c, std::ostream *out) {
  *out << c.name;
}

class SpectroscopyWarning
    : public EndToEnd,
      public ::testing::WithParamInterface<SpectroscopyWarningCase> {};

TEST_P(SpectroscopyWarning, ConvertsAndSaysWhatTheParameterFileLacks) {
  const SpectroscopyWarningCase &c = GetParam();
  write_set(dir.path(), c.number, c.record, TOPOGRAPHY_BYTES,
            c.ts == c.TS_FILE ? &SPECTROSCOPY_BYTES : nullptr);
  if (c.ts == c.TS_DIRECTORY)
    fs::create_directory(dir / ("ts" + c.number));
  for (const std::string &name : c.earlier)
    write_file(dir / name, "earlier");
  const RunResult result = run_with_errors(c.args);
  EXPECT_EQ(result.output, converted({c.number}));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, c.errors);
  for (const std::string &name : c.earlier)
    EXPECT_EQ(read_file(dir / name), "earlier") << name;
}

Bytes points_record(bool dual_mode, std::int32_t forward,
                    std::int32_t backward) {
  return RecordBuilder()
      .shape(SIZE_X, SIZE_Y, dual_mode, forward, backward)
      .bytes();
}

INSTANTIATE_TEST_SUITE_P(
    Sets, SpectroscopyWarning,
    ::testing::Values(
        SpectroscopyWarningCase{
            "MissingTs", {"4"}, "4", points_record(true, 61, 61),
            SpectroscopyWarningCase::NO_TS, {"m4_ori.sf0"},
            without_spectroscopy(
                "ts4", "not found", 61,
                "m4_ori.sf0 from an earlier conversion is left as it was")},
        SpectroscopyWarningCase{"TsIsADirectory", {"4"}, "4",
                                points_record(true, 2, 2),
                                SpectroscopyWarningCase::TS_DIRECTORY, {},
                                without_spectroscopy("ts4", "is not a file", 2)},
        // Named as typed; both earlier spectroscopy files stay.
        SpectroscopyWarningCase{
            "LeadingZerosInAList", {"007"}, "007", points_record(true, 2, 2),
            SpectroscopyWarningCase::NO_TS, {"m007_ori.sf0", "m007_ori.sb0"},
            without_spectroscopy("ts007", "not found", 2,
                                 "m007_ori.sf0 and m007_ori.sb0 from an "
                                 "earlier conversion are left as they were")},
        // The forward count announces the spectroscopy; a forward-only set
        // may have a backward file from an earlier conversion.
        SpectroscopyWarningCase{
            "WalkForwardOnlyWithEarlierBackwardFile", {}, "1",
            points_record(false, 2, 0), SpectroscopyWarningCase::NO_TS,
            {"m1_ori.sb0"},
            without_spectroscopy(
                "ts1", "not found", 2,
                "m1_ori.sb0 from an earlier conversion is left as it was")},
        SpectroscopyWarningCase{"NothingAnnouncedNothingMissing", {"4"}, "4",
                                points_record(true, 0, 5),
                                SpectroscopyWarningCase::NO_TS,
                                {"m4_ori.sf0"}, ""},
        SpectroscopyWarningCase{"ForwardOnlyIgnoresTheBackwardCount", {"7"},
                                "7", points_record(false, 2, -1),
                                SpectroscopyWarningCase::TS_FILE, {}, ""},
        SpectroscopyWarningCase{"NoForwardPoints", {"7"}, "7",
                                points_record(false, 0, 2),
                                SpectroscopyWarningCase::TS_FILE, {},
                                empty_channel("tp7", 0, "forward")},
        SpectroscopyWarningCase{"NegativeBackwardPoints", {"7"}, "7",
                                points_record(true, 2, -3),
                                SpectroscopyWarningCase::TS_FILE, {},
                                empty_channel("tp7", -3, "backward")}),
    [](const auto &info) { return info.param.name; });

TEST_F(EndToEnd, UndeletableStagingFileWarnsAndStillSucceeds) {
  // An append-only directory lets files be created but not removed.
  fs::path work = dir / "append-only";
  fs::create_directory(work);
  write_standard_set(work, "1");
  const std::string flag = "chattr +a '" + work.string() + "' 2>/dev/null";
  if (std::system(flag.c_str()) != 0)
    GTEST_SKIP() << "this file system cannot make a directory append-only";
  RunResult result = run_converter(work, {"1"}, "./parvane-convert");
  std::system(("chattr -a '" + work.string() + "'").c_str());
  EXPECT_EQ(result.output,
            BANNER + hint() +
                "Warning ! Could not delete temperary parameter file !\n"
                "Continuing..\n" +
                done("1") + CLOSING);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors,
            "parvane-convert: tmp.par: " + std::string(std::strerror(EPERM)) +
                "\n");
  EXPECT_TRUE(fs::exists(work / "tmp.par"));
}

TEST_F(EndToEnd, ProgramNameFromArgv0) {
  struct Case { std::optional<std::string> argv0; std::string name; };
  for (const Case &c : {Case{"/usr/local/bin/parvane-convert", "parvane-convert"},
                        Case{"C:\\tools\\parvane-convert.exe", "parvane-convert"},
                        Case{"conv.exe", "conv"}, Case{"", ""}}) {
    RunResult result = run_converter(dir.path(), {}, c.argv0);
    EXPECT_EQ(result.output, BANNER + hint(c.name) + CLOSING);
    EXPECT_EQ(result.status, 0);
  }
}

TEST_F(EndToEnd, NoArgumentVectorAtAllGivesAnEmptyProgramName) {
  if (!ARGC_ZERO_POSSIBLE)
    GTEST_SKIP() << "a Windows program always gets its own name as argv[0]";
  RunResult result = run_converter(dir.path(), {}, std::nullopt);
  EXPECT_EQ(result.output, BANNER + hint("") + CLOSING);
  EXPECT_EQ(result.status, 0);
}

// The outputs' open failures again with a file in the way rather than a
// directory: a read-only file, and a file that a viewer holds open sharing
// only reading (Windows enforces that). The file in the way keeps what it
// held.
enum class Blocker { ReadOnly, HeldByViewer };

void PrintTo(const std::tuple<OpenFailureCase, Blocker> &param,
             std::ostream *out) {
  const auto &[c, blocker] = param;
  *out << "code " << c.code << " (" << c.blocked
       << (blocker == Blocker::ReadOnly ? " is read-only)" : " held by a viewer)");
}

std::vector<OpenFailureCase> output_open_failures() {
  std::vector<OpenFailureCase> outputs;
  for (const OpenFailureCase &c : OPEN_FAILURES)
    if (c.code >= 3)
      outputs.push_back(c);
  return outputs;
}

class BlockedOutput
    : public EndToEnd,
      public ::testing::WithParamInterface<std::tuple<OpenFailureCase, Blocker>> {};

TEST_P(BlockedOutput, ReportsItsOpenCodeAndKeepsTheBlockingFile) {
  const auto &[c, blocker] = GetParam();
  write_standard_set(dir.path(), "1");
  const fs::path blocked = dir / c.blocked;
  write_file(blocked, "held earlier");
  std::optional<HeldOpen> viewer;
  if (blocker == Blocker::ReadOnly) {
    fs::permissions(blocked,
                    fs::perms::owner_write | fs::perms::group_write |
                        fs::perms::others_write,
                    fs::perm_options::remove);
    if (std::ofstream(blocked, std::ios::app))
      GTEST_SKIP() << "this user may write to read-only files (root)";
  } else {
    viewer.emplace(blocked, HeldOpen::Viewer);
  }
  const RunResult result = run({"1"}, c.blocked);
  viewer.reset();
  expect_open_failure(dir.path(), c, result);
  EXPECT_EQ(read_file(blocked), "held earlier");
}

std::string blocked_output_name(
    const ::testing::TestParamInfo<std::tuple<OpenFailureCase, Blocker>> &info) {
  const auto &[c, blocker] = info.param;
  return "Code" + std::to_string(c.code) +
         (blocker == Blocker::ReadOnly ? "ReadOnly" : "HeldByViewer");
}

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Codes, BlockedOutput,
                         ::testing::Combine(::testing::ValuesIn(output_open_failures()),
                                            ::testing::Values(Blocker::ReadOnly,
                                                              Blocker::HeldByViewer)),
                         blocked_output_name);
#else
// Elsewhere a file held open blocks nobody.
INSTANTIATE_TEST_SUITE_P(Codes, BlockedOutput,
                         ::testing::Combine(::testing::ValuesIn(output_open_failures()),
                                            ::testing::Values(Blocker::ReadOnly)),
                         blocked_output_name);
#endif

// The acquisition program may still hold a set's files open for writing
// while they are converted, sharing reading and writing but not deletion.
TEST_F(EndToEnd, SourcesHeldOpenByTheirWriterStillConvert) {
  write_standard_set(dir.path(), "1");
  HeldOpen record(dir / "tp1", HeldOpen::Writer);
  HeldOpen topography(dir / "tz1", HeldOpen::Writer);
  HeldOpen spectroscopy(dir / "ts1", HeldOpen::Writer);
  EXPECT_EQ(run({}).output, converted({"1"}));
  EXPECT_EQ(size_on_disk(dir / "m1_ori.tb0"), PLANE);
  EXPECT_EQ(size_on_disk(dir / "m1_ori.sb0"), POINT_PLANES);
}

// Every other test reads the console with CR LF taken back to LF; this one
// sees the bytes as written.
TEST_F(EndToEnd, ConsoleLinesEndInCrLfOnWindows) {
#ifndef _WIN32
  GTEST_SKIP() << "console lines end in CR LF on Windows only";
#endif
  write_standard_set(dir.path(), "1");
  const RunResult raw =
      run_program(dir.path(), PARVANE_BINARY, {"parvane-convert", "1", "2"});
  const std::string text =
      BANNER + hint() + done("1") +
      report("2", error_line(1));
  EXPECT_EQ(std::count(raw.output.begin(), raw.output.end(), '\n'),
            std::count(raw.output.begin(), raw.output.end(), '\r'));
  EXPECT_EQ(with_lf_line_ends(raw.output), text);
}

// A command line's wildcards reach the converter as typed: "?" asks for
// help even where a file name of one character would match it.
TEST_F(EndToEnd, WildcardsAreNotExpanded) {
  write_file(dir / "x", "");
  RunResult result = run({"?"});
  EXPECT_EQ(result.status, 5);
}

// Every path under `root` with the bytes of each regular file.
std::map<std::string, Bytes> tree(const fs::path &root) {
  std::map<std::string, Bytes> files;
  for (auto &entry : fs::recursive_directory_iterator(root))
    files[fs::relative(entry.path(), root).string()] =
        entry.is_regular_file() ? read_file(entry.path()) : Bytes("(directory)");
  return files;
}

// A file number with a directory separator names no set of this directory,
// even where its names lead to a complete set elsewhere: "a/1" would read
// tpa/1 and write ma/1_ori.par, "/../x/1" would read tp/../x/1 = x/1 and
// write x/1_ori.par. Code 1, nothing opened, nothing written.
TEST_F(EndToEnd, FileNumbersWithSeparatorsAreNotSets) {
  for (const char *sub : {"tpa", "tza", "tsa", "ma", "tp", "tz", "ts", "m", "x"})
    fs::create_directory(dir / sub);
  for (const char *source : {"tpa/1", "x/1"})
    write_file(dir / source, standard_record());
  for (const char *source : {"tza/1", "tsa/1"})
    write_file(dir / source, TOPOGRAPHY_BYTES);
  const auto before = tree(dir.path());
  for (const char *number : {"a/1", "/../x/1"}) {
    RunResult result = run({number}, number, SEPARATOR_REASON);
    EXPECT_EQ(result.output,
              BANNER + hint() +
                  report(number, error_line(1)));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(tree(dir.path()), before) << number;
  }
}

// ---------------------------------------------------------------------------
// parvane-export: which sets a command line names, what each run prints and
// its status, and that the directory then holds exactly the files written
// (no temporary left, nothing else touched).

const std::string SEPARATOR(1, static_cast<char>(fs::path::preferred_separator));
const std::string DIRECTORY = "(directory)";
// Followed by a name of the scratch directory: a hard link to that file.
const std::string HARD_LINK_TO = "(hard link to) ";

// The system's own words for a name that leads to nothing.
std::string missing_file_reason() {
  std::error_code error;
  File::open_source("parvane-test-no-such-file", error);
  return describe(error);
}
const std::string NO_SUCH_FILE = missing_file_reason();

// An argument that starts so names a file of the scratch directory by its
// full path.
const std::string IN_DIR = "{dir}/";

struct ExportCase {
  std::string name;
  std::vector<std::string> sets; // standard sets, "run3/3" in a subdirectory
  std::vector<std::pair<std::string, Bytes>> files; // or DIRECTORY, HARD_LINK_TO
  std::vector<std::string> args;
  int status;
  std::string output, errors;
  std::vector<std::string> written; // GWY files created or replaced
};

void PrintTo(const ExportCase &c, std::ostream *out) { *out << c.name; }

class ExportRun : public ::testing::TestWithParam<ExportCase> {};

TEST_P(ExportRun, PrintsWritesAndEndsAsTheCaseSays) {
  const ExportCase &c = GetParam();
  ScratchDir dir;
  for (const std::string &set : c.sets) {
    const fs::path where = dir / fs::path(set).parent_path().string();
    fs::create_directories(where);
    write_standard_set(where, fs::path(set).filename().string());
  }
  for (const auto &[name, bytes] : c.files) {
    if (bytes == DIRECTORY)
      fs::create_directories(dir / name);
    else if (bytes.starts_with(HARD_LINK_TO))
      fs::create_hard_link(dir / bytes.substr(HARD_LINK_TO.size()), dir / name);
    else
      write_file(dir / name, bytes);
  }
  const auto before = tree(dir.path());
  std::vector<std::string> args = c.args;
  for (std::string &arg : args)
    if (arg.starts_with(IN_DIR))
      arg = (dir / arg.substr(IN_DIR.size())).string();
  const RunResult result = run_exporter(dir.path(), args);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.output, c.output);
  EXPECT_EQ(result.errors, c.errors);

  auto expected = before;
  for (const std::string &name : c.written)
    expected[fs::path(name).make_preferred().string()] = "GWYP";
  auto after = tree(dir.path());
  for (const std::string &name : c.written) {
    const std::string key = fs::path(name).make_preferred().string();
    EXPECT_TRUE(after[key].starts_with("GWYP")) << name << " is no GWY file";
    after[key] = "GWYP";
  }
  EXPECT_EQ(after, expected);
}

// A temporary of m1.gwy (or m2.gwy) that an export ended outright left in
// out/.
const std::string LEFT_TEMPORARY = temporary_name_for("m1.gwy", 4242, 0);
const std::string OTHER_TEMPORARY = temporary_name_for("m2.gwy", 4242, 0);

const ExportCase EXPORT_CASES[] = {
    {"OneSet", {"1"}, {}, {"1"}, 0, "m1.gwy\n", "", {"m1.gwy"}},
    // Named by the next export of the same output, and never deleted: on a
    // share it may be that of an export still running on another machine.
    {"LeftTemporaryNamedNotDeleted", {"1"},
     {{"out", DIRECTORY},
      {"out/" + LEFT_TEMPORARY, "killed"},
      {"out/" + OTHER_TEMPORARY, "killed"}},
     {"-o", "out", "1"}, 0, "out" + SEPARATOR + "m1.gwy\n",
     "parvane-export: out" + SEPARATOR + LEFT_TEMPORARY +
         ": a temporary of out" + SEPARATOR +
         "m1.gwy from an export that has not finished (killed, or still "
         "running elsewhere); not deleted\n",
     {"out/m1.gwy"}},
    {"QuietPrintsNothing", {"1", "2"}, {}, {"-q", "1", "2"}, 0, "", "",
     {"m1.gwy", "m2.gwy"}},
    // Numeric order, the shorter of equal values first; leading zeros kept;
    // a directory and other names are no sets.
    {"AllInNumericOrder", {"10", "9", "07", "1", "007", "01", "7"},
     {{"tp15", DIRECTORY}, {"tp5x", "x"}},
     {"--all", "."}, 0,
     "m1.gwy\nm01.gwy\nm7.gwy\nm07.gwy\nm007.gwy\nm9.gwy\nm10.gwy\n", "",
     {"m1.gwy", "m01.gwy", "m7.gwy", "m07.gwy", "m007.gwy", "m9.gwy",
      "m10.gwy"}},
    // Names in other letter case, as FAT keeps them: sets where names
    // ignore case, as on Windows; none elsewhere.
    {"AllInOtherLetterCase", {},
     {{"TP1", standard_record()}, {"TZ1", TOPOGRAPHY_BYTES},
      {"TS1", SPECTROSCOPY_BYTES}, {"Tp600", standard_record()},
      {"tZ600", TOPOGRAPHY_BYTES}, {"tS600", SPECTROSCOPY_BYTES}},
     {"--all", "."},
#ifdef _WIN32
     0, "m1.gwy\nm600.gwy\n", "", {"m1.gwy", "m600.gwy"}},
#else
     1, "", "parvane-export: .: no set found (no file tp<n>)\n", {}},
#endif
    {"PathInOtherLetterCase", {},
     {{"TP1", standard_record()}, {"TZ1", TOPOGRAPHY_BYTES},
      {"TS1", SPECTROSCOPY_BYTES}},
     {"TZ1"},
#ifdef _WIN32
     0, "m1.gwy\n", "", {"m1.gwy"}},
#else
     1, "",
     "parvane-export: TZ1: is not a file of a set (tp<n>, tz<n> or ts<n>)\n",
     {}},
#endif
    {"AllInAnotherDirectory", {"run3/3"}, {}, {"--all", "run3"}, 0,
     "run3" + SEPARATOR + "m3.gwy\n", "", {"run3/m3.gwy"}},
    // A folder dropped onto the program, among other sets: every set in it.
    {"DirectoryNamesEverySetInIt", {"1", "run3/3", "run3/4"},
     {{"empty", DIRECTORY}}, {"run3", "1", "empty"}, 1,
     "run3" + SEPARATOR + "m3.gwy\nrun3" + SEPARATOR + "m4.gwy\nm1.gwy\n",
     "parvane-export: empty: no set found (no file tp<n>)\n",
     {"run3/m3.gwy", "run3/m4.gwy", "m1.gwy"}},
    {"PathOfAnyFileOfASet", {"run3/3"}, {}, {"run3/ts3"}, 0, "run3/m3.gwy\n",
     "", {"run3/m3.gwy"}},
    {"OutputDirectory", {"run3/3"}, {{"out", DIRECTORY}},
     {"-o", "out", "run3/tz3"}, 0, "out" + SEPARATOR + "m3.gwy\n", "",
     {"out/m3.gwy"}},
    // The longest file number the conversion takes: the temporary's name is
    // no longer than for any other.
    {"LongestFileNumber", {std::string(243, '7')}, {}, {std::string(243, '7')},
     0, "m" + std::string(243, '7') + ".gwy\n", "",
     {"m" + std::string(243, '7') + ".gwy"}},
    // The files of one set dropped together name it once, however spelled;
    // a set that cannot be read fails once.
    {"EachSetOnce", {"1", "run3/3"}, {},
     {"tp1", "tz1", "./ts1", IN_DIR + "tp1", "run3/../tz1", "1"}, 0,
     "m1.gwy\n", "", {"m1.gwy"}},
    // Another number is another set, even of the very same files.
    {"LinkedSetsEachExported", {"1"},
     {{"tp2", HARD_LINK_TO + "tp1"},
      {"tz2", HARD_LINK_TO + "tz1"},
      {"ts2", HARD_LINK_TO + "ts1"}},
     {"1", "2", "tp2"}, 0, "m1.gwy\nm2.gwy\n", "", {"m1.gwy", "m2.gwy"}},
    {"MissingSetFailsOnce", {"run3/3"}, {{"tz5", "x"}},
     {"5", "tz5", "./tp5", IN_DIR + "ts5", "run3/../tz5"}, 1, "",
     "parvane-export: tp5: " + NO_SUCH_FILE + "\n", {}},
    {"OthersStillExported", {"1", "3"}, {{"tz2", DIRECTORY}},
     {"2", "1", "4", "3"}, 1, "m1.gwy\nm3.gwy\n",
     "parvane-export: tp2: " + NO_SUCH_FILE + "\n" +
         "parvane-export: tp4: " + NO_SUCH_FILE + "\n",
     {"m1.gwy", "m3.gwy"}},
    // As in the conversion, a set without its ts<n> goes without
    // spectroscopy, said on standard error when its record announces some.
    {"MissingSpectroscopySaidOutLoud", {},
     {{"tp4", standard_record()}, {"tz4", TOPOGRAPHY_BYTES}}, {"4"}, 0,
     "m4.gwy\n",
     "parvane-export: ts4: not found; the record announces 2 points per "
     "pixel; exported without spectroscopy\n",
     {"m4.gwy"}},
    {"SpectroscopyNotAFile", {},
     {{"run3/ts3", DIRECTORY}, {"run3/tp3", standard_record()},
      {"run3/tz3", TOPOGRAPHY_BYTES}},
     {"-q", "run3/tp3"}, 0, "",
     "parvane-export: run3/ts3: is not a file; the record announces 2 points "
     "per pixel; exported without spectroscopy\n",
     {"run3/m3.gwy"}},
    {"SourceIsADirectory", {"run3/3"}, {{"tp2", "x"}, {"tz2", DIRECTORY}},
     {"tp2"}, 1, "", "parvane-export: tz2: a directory\n", {}},
    {"ExistingOutputKept", {"1"}, {{"m1.gwy", "earlier"}}, {"1"}, 1, "",
     "parvane-export: m1.gwy: exists; --force replaces it\n", {}},
    {"ExistingOutputForced", {"1"}, {{"m1.gwy", "earlier"}}, {"--force", "1"},
     0, "m1.gwy\n", "", {"m1.gwy"}},
    // One number in two directories: the second must not replace the first.
    {"SameOutputTwice", {"a/1", "b/1"}, {{"out", DIRECTORY}},
     {"-f", "-o", "out", "a/tp1", "b/tp1"}, 1, "out" + SEPARATOR + "m1.gwy\n",
     "parvane-export: out" + SEPARATOR +
         "m1.gwy: was exported from another set in this run\n",
     {"out/m1.gwy"}},
    {"OutputIsADirectory", {"1"}, {{"m1.gwy", DIRECTORY}}, {"-f", "1"}, 1, "",
     "parvane-export: m1.gwy: a directory\n", {}},
    {"NotAFileOfASet", {"1"}, {{"notes", "x"}}, {"notes", "run3/"}, 1, "",
     "parvane-export: notes: is not a file of a set (tp<n>, tz<n> or ts<n>)\n"
     "parvane-export: run3/: is not a file of a set (tp<n>, tz<n> or ts<n>)\n",
     {}},
    {"AllFindsNoSet", {}, {{"tp1", DIRECTORY}}, {"--all", "."}, 1, "",
     "parvane-export: .: no set found (no file tp<n>)\n", {}},
    {"UsageNoSet", {"1"}, {}, {}, 2, "",
     "parvane-export: no SET given and no --all DIR (see --help)\n", {}},
    {"UsageAllWithSets", {"1"}, {}, {"--all", ".", "1"}, 2, "",
     "parvane-export: --all DIR takes no SET (see --help)\n", {}},
    {"UsageUnknownOption", {"1"}, {}, {"-x", "1"}, 2, "",
     "parvane-export: The following argument was not expected: -x "
     "(see --help)\n",
     {}},
    // An argument echoed in a usage message cannot forge a second line.
    {"UsageArgumentMasked", {"1"}, {}, {"-x\nparvane-export: forged", "1"}, 2,
     "",
     "parvane-export: The following argument was not expected: "
     "-x?parvane-export: forged (see --help)\n",
     {}},
    // The current's full scale is a finite current above 0 or no export.
    {"UsageFullScaleZero", {"1"}, {}, {"--current-full-scale", "0", "1"}, 2, "",
     "parvane-export: --current-full-scale: the current must be a finite "
     "number of amperes above 0 (see --help)\n",
     {}},
    {"UsageFullScaleNegative", {"1"}, {}, {"--current-full-scale=-1e-8", "1"},
     2, "",
     "parvane-export: --current-full-scale: the current must be a finite "
     "number of amperes above 0 (see --help)\n",
     {}},
    {"UsageFullScaleInfinite", {"1"}, {}, {"--current-full-scale", "inf", "1"},
     2, "",
     "parvane-export: --current-full-scale: the current must be a finite "
     "number of amperes above 0 (see --help)\n",
     {}},
    {"FullScaleSet", {"1"}, {}, {"--current-full-scale", "1e-8", "1"}, 0,
     "m1.gwy\n", "", {"m1.gwy"}},
    {"UsageMissingOutputDirectory", {"1"}, {}, {"-o", "out", "1"}, 2, "",
     "parvane-export: out: " + NO_SUCH_FILE + "\n", {}},
    {"VersionExportsNothing", {"1"}, {}, {"-V", "1"}, 0,
     "parvane-export 2.2\n", "", {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, ExportRun, ::testing::ValuesIn(EXPORT_CASES),
                         [](const auto &info) { return info.param.name; });

TEST(ExportRun, HelpEndsWithStatus0) {
  ScratchDir dir;
  const RunResult help = run_exporter(dir.path(), {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("Usage: parvane-export [OPTIONS] [SET...]"),
            std::string::npos);
  // As Windows programs offer it.
  const RunResult windows_help = run_exporter(dir.path(), {"/?"});
  EXPECT_EQ(windows_help.status, 0);
  EXPECT_EQ(windows_help.output, help.output);
  EXPECT_TRUE(list_dir(dir.path()).empty());
}

// An output that another program holds open, sharing only reading (a
// viewer): Windows will not replace it while it is held, and the export
// says why; other systems replace it.
TEST(ExportRun, OutputHeldOpenByAViewer) {
  ScratchDir dir;
  write_standard_set(dir.path(), "1");
  write_file(dir / "m1.gwy", "earlier");
  {
    const HeldOpen viewer(dir / "m1.gwy", HeldOpen::Viewer);
    const RunResult run = run_exporter(dir.path(), {"-f", "1"});
#ifdef _WIN32
    EXPECT_EQ(run.errors,
              "parvane-export: m1.gwy: is in use by another program\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(read_file(dir / "m1.gwy"), "earlier");
#else
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(read_file(dir / "m1.gwy").starts_with("GWYP"));
#endif
  }
  EXPECT_EQ(list_dir(dir.path()).size(), 4u) << "a temporary left behind";
}

// The export's outputs appear by renaming: a free name only while it is
// free, a file only while the name still leads to the one checked.
struct RenameCase {
  std::string name;
  enum Before { Free, Earlier } before;      // m1.gwy when checked
  enum Then { Kept, Deleted, Swapped } then; // meanwhile, another program
  bool renamed;
};

void PrintTo(const RenameCase &c, std::ostream *out) { *out << c.name; }

class ExportRename : public ::testing::TestWithParam<RenameCase> {};

TEST_P(ExportRename, RenameTakesTheNameOnlyAsChecked) {
  const RenameCase &c = GetParam();
  ScratchDir dir;
  const std::string final_name = (dir / "m1.gwy").string();
  std::string temporary;
  std::error_code error;
  ASSERT_TRUE(File::create_temporary(final_name, temporary, error))
      << error.message();
  write_file(temporary, "new");
  std::optional<FileIdentity> checked;
  if (c.before == RenameCase::Earlier) {
    write_file(final_name, "earlier");
    checked = entry_identity(final_name, error);
    ASSERT_TRUE(checked) << error.message();
  }
  if (c.then == RenameCase::Deleted)
    fs::remove(final_name);
  // The earlier file lives on under another name, so that the new one
  // cannot be given its identity.
  if (c.then == RenameCase::Swapped) {
    if (c.before == RenameCase::Earlier)
      fs::rename(final_name, dir / "kept");
    write_file(final_name, "another program's");
  }

  error = rename_file(temporary, final_name, checked);
  EXPECT_EQ(!error, c.renamed) << describe(error);
  EXPECT_EQ(names_existing_file(error), !c.renamed) << describe(error);
  const Bytes expected = c.renamed ? "new"
                         : c.then == RenameCase::Swapped ? "another program's"
                                                          : "earlier";
  EXPECT_EQ(read_file(final_name), expected);
  EXPECT_EQ(fs::exists(temporary), !c.renamed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExportRename,
    ::testing::Values(
        RenameCase{"FreeName", RenameCase::Free, RenameCase::Kept, true},
        RenameCase{"CreatedMeanwhile", RenameCase::Free, RenameCase::Swapped,
                   false},
        RenameCase{"CheckedFileReplaced", RenameCase::Earlier,
                   RenameCase::Kept, true},
        RenameCase{"SwappedMeanwhile", RenameCase::Earlier,
                   RenameCase::Swapped, false},
        RenameCase{"DeletedMeanwhile", RenameCase::Earlier,
                   RenameCase::Deleted, true}),
    [](const auto &info) { return info.param.name; });

// --update, run every few minutes while sets arrive: an export that is
// newer than its sources and records their sizes stays; any other output is
// replaced; a set still short is left for a later run, without failing this
// one.
struct UpdateCase {
  std::string name;
  bool exported_before; // m1.gwy made by an export of the sources as first
                        // written, unless `change` makes another file of it
  std::function<void(const fs::path &)> change; // then, before the run
  std::vector<std::string> args;
  std::string output, errors;
  bool replaced; // m1.gwy written by this run
};

void PrintTo(const UpdateCase &c, std::ostream *out) { *out << c.name; }

class ExportUpdate : public ::testing::TestWithParam<UpdateCase> {};

// Sources written an hour ago, so that an export made now is newer.
void age(const fs::path &file) {
  fs::last_write_time(file, fs::file_time_type::clock::now() -
                                std::chrono::hours(1));
}

TEST_P(ExportUpdate, ExportsOnlyWhatChanged) {
  const UpdateCase &c = GetParam();
  ScratchDir dir;
  write_standard_set(dir.path(), "1");
  for (const char *source : {"tp1", "tz1", "ts1"})
    age(dir / source);
  if (c.exported_before) {
    ASSERT_EQ(run_exporter(dir.path(), {"1"}).status, 0);
  }
  if (c.change)
    c.change(dir.path());
  const bool existed = fs::exists(dir / "m1.gwy");
  const Bytes before = existed ? read_file(dir / "m1.gwy") : "";
  // A replaced output is another file: the export writes a new one and
  // renames it into place.
  const auto identity = [&] {
    std::error_code error;
    return entry_identity((dir / "m1.gwy").string(), error);
  };
  const std::optional<FileIdentity> earlier = identity();

  const RunResult run = run_exporter(dir.path(), c.args);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, c.output);
  EXPECT_EQ(run.errors, c.errors);
  if (c.replaced) {
    EXPECT_TRUE(read_file(dir / "m1.gwy").starts_with("GWYP"));
    EXPECT_TRUE(!existed || identity() != earlier);
  } else {
    EXPECT_EQ(fs::exists(dir / "m1.gwy"), existed);
    if (existed) {
      EXPECT_EQ(read_file(dir / "m1.gwy"), before);
      EXPECT_EQ(identity(), earlier);
    }
  }
  EXPECT_EQ(list_dir(dir.path()).size(), existed || c.replaced ? 4u : 3u)
      << "a temporary left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExportUpdate,
    ::testing::Values(
        UpdateCase{"NewerSkipped", true, {}, {"--update", "1"}, "", "", false},
        UpdateCase{"NewerSkippedVerbose", true, {}, {"-u", "-v", "1"}, "",
                   "parvane-export: m1.gwy: up to date; skipped\n", false},
        UpdateCase{"OlderReplaced", true,
                   [](const fs::path &dir) {
                     fs::last_write_time(dir / "tz1",
                                         fs::file_time_type::clock::now() +
                                             std::chrono::hours(1));
                   },
                   {"-u", "-v", "1"}, "m1.gwy\n", "", true},
        // Same times, other sizes: the spectroscopy grew after the export
        // (the clock of a share may lag behind).
        UpdateCase{"ResizedReplaced", true,
                   [](const fs::path &dir) {
                     std::ofstream(dir / "ts1", std::ios::binary | std::ios::app)
                         << "more";
                     age(dir / "ts1");
                   },
                   {"-u", "1"}, "m1.gwy\n", "", true},
        UpdateCase{"MissingOutputExported", false, {}, {"-u", "-v", "1"},
                   "m1.gwy\n", "", true},
        // A file of that name that no export wrote is never up to date.
        UpdateCase{"OtherFileReplaced", false,
                   [](const fs::path &dir) { write_file(dir / "m1.gwy", "GWYP"); },
                   {"-u", "1"}, "m1.gwy\n", "", true},
        UpdateCase{"BeingWrittenSkipped", true,
                   [](const fs::path &dir) {
                     fs::resize_file(dir / "tz1", 10);
                   },
                   {"-u", "-v", "1"}, "",
                   "parvane-export: tz1: holds 10 bytes, the set needs " +
                       std::to_string(TOPOGRAPHY_BYTES.size()) +
                       "; skipped until complete (still being acquired?)\n",
                   false},
        // A record not yet whole states no image: being written too.
        UpdateCase{"RecordBeingWrittenSkipped", true,
                   [](const fs::path &dir) { fs::resize_file(dir / "tp1", 0); },
                   {"-u", "1"}, "",
                   "parvane-export: tp1: holds 0 bytes, the record needs " +
                       std::to_string(RECORD_EXTENT) +
                       "; skipped until complete (still being acquired?)\n",
                   false},
        // Rewritten in place, with its size and an older time (a copy that
        // keeps times): what the record says now is not what the file says.
        UpdateCase{"RecordRewrittenReplaced", true,
                   [](const fs::path &dir) {
                     Bytes record = read_file(dir / "tp1");
                     record[OFFSET_GAP_VOLTAGE_FORWARD + 1] ^= 0x10;
                     write_file(dir / "tp1", record);
                     age(dir / "tp1");
                   },
                   {"-u", "1"}, "m1.gwy\n", "", true},
        UpdateCase{"OtherCalibrationReplaced", true, {},
                   {"-u", "--current-full-scale", "1e-9", "1"}, "m1.gwy\n", "",
                   true}),
    [](const auto &info) { return info.param.name; });

// Temporaries for one name never collide, and a later run knows them by
// their name.
TEST(ExportFiles, TemporariesAreNewAndKnownByTheirName) {
  ScratchDir dir;
  const std::string final_name = (dir / "m1.gwy").string();
  std::string first, second;
  std::error_code error;
  std::optional<File> one = File::create_temporary(final_name, first, error);
  std::optional<File> two = File::create_temporary(final_name, second, error);
  ASSERT_TRUE(one && two) << error.message();
  EXPECT_NE(first, second);
  for (const std::string &name : {first, second}) {
    EXPECT_EQ(fs::path(name).parent_path(), dir.path());
    EXPECT_TRUE(is_temporary_name_for(name, final_name)) << name;
    EXPECT_TRUE(is_temporary_name_for(fs::path(name).filename().string(),
                                      "m1.gwy"));
    EXPECT_FALSE(is_temporary_name_for(name, (dir / "m2.gwy").string()));
  }
}

// The temporary's name has one length whatever the final name's, and only
// names of its own pattern are taken for one. The hash is FNV-1a, whose
// published values pin it to every build.
TEST(ExportFiles, TemporaryNamesHaveOneLengthAndPattern) {
  EXPECT_EQ(stable_name_hash(""), 0xcbf29ce484222325u);
  EXPECT_EQ(stable_name_hash("a"), 0xaf63dc4c8601ec8cu);
  const std::string longest = "m" + std::string(243, '7') + ".gwy";
  const std::string name = temporary_name_for(longest, 4242, 3);
  EXPECT_EQ(name.size(), temporary_name_for("m1.gwy", 4242, 3).size());
  EXPECT_EQ(name, temporary_name_for("run3" + SEPARATOR + longest, 4242, 3)
                      .substr(5));
  EXPECT_TRUE(name.starts_with(".pvx-") && name.ends_with("-4242-3.tmp"))
      << name;
  EXPECT_EQ(name.size(), std::string(".pvx-0123456789abcdef-4242-3.tmp").size());
  for (const std::string &other :
       {name.substr(1), name + "x", name.substr(0, 22) + "x-3.tmp",
        name.substr(0, 22) + "4242.tmp", std::string("m1.gwy")})
    EXPECT_FALSE(is_temporary_name_for(other, longest)) << other;
}

// ---------------------------------------------------------------------------
// parvane-example-sets: what each command line writes, and that a set of a
// shape is laid out as the converter reads it.

RunResult run_example_sets(const fs::path &dir,
                           const std::vector<std::string> &args,
                           const RunOptions &options = {}) {
  std::vector<std::string> argv{"parvane-example-sets"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult result =
      run_program(dir, PARVANE_EXAMPLE_SETS_BINARY, argv, std::nullopt, options);
  result.output = with_lf_line_ends(result.output);
  result.errors = with_lf_line_ends(result.errors);
  return result;
}

// The record's X, Y, forward-only flag, P and Pb.
using RecordShape = std::array<std::int32_t, 5>;

struct ExampleSetsCase {
  std::string name;
  std::vector<std::string> args;
  int status;
  std::string output, errors; // texts the streams hold ("": empty)
  std::map<std::string, std::int64_t> sizes; // every file written, in "out"
  std::optional<RecordShape> record;         // of the set written
};

void PrintTo(const ExampleSetsCase &c, std::ostream *out) { *out << c.name; }

class ExampleSets : public ::testing::TestWithParam<ExampleSetsCase> {};

// Whether sample n of each plane of an output has the sign `sign` for
// every pixel n that `checked` accepts.
bool plane_of_sign(const Bytes &file, std::size_t plane, std::size_t pixels,
                   int sign, const std::function<bool(std::size_t)> &checked) {
  for (std::size_t n = 0; n < pixels; ++n) {
    const std::size_t at = 2 * (plane * pixels + n);
    const int value = static_cast<std::int16_t>(
        (static_cast<unsigned char>(file.at(at)) << 8) |
        static_cast<unsigned char>(file.at(at + 1)));
    if (checked(n) && value * sign <= 0)
      return false;
  }
  return true;
}

TEST_P(ExampleSets, WritesWhatTheCommandLineAsks) {
  const ExampleSetsCase &c = GetParam();
  ScratchDir dir;
  const RunResult result = run_example_sets(dir.path(), c.args);
  EXPECT_EQ(result.status, c.status);
  if (c.output.empty())
    EXPECT_EQ(result.output, "");
  else
    EXPECT_NE(result.output.find(c.output), std::string::npos) << result.output;
  if (c.errors.empty())
    EXPECT_EQ(result.errors, "");
  else
    EXPECT_NE(result.errors.find(c.errors), std::string::npos) << result.errors;
  std::map<std::string, std::int64_t> sizes;
  for (auto &entry : fs::recursive_directory_iterator(dir.path()))
    if (entry.is_regular_file())
      sizes[entry.path().filename().string()] = size_on_disk(entry.path());
  EXPECT_EQ(sizes, c.sizes);
  if (!c.record)
    return;

  // A set of a shape: the record tells its shape, and the converter finds
  // each sweep where the record says, forward from -1 V up to +1 V and
  // backward down again (currents of about -1 and +1 nA at the ends). A
  // forward block longer than the backward one runs into it, where the
  // layout has the backward block begin: its first pixel is still intact.
  const fs::path out = dir / "out";
  const std::string number =
      c.sizes.begin()->first.substr(2); // "tp<n>" sorts first
  const Bytes record = read_file(out / ("tp" + number));
  RecordShape shape{};
  const std::int64_t offsets[] = {OFFSET_IMAGE_SIZE_X, OFFSET_IMAGE_SIZE_Y,
                                  OFFSET_FORWARD_ONLY, OFFSET_SPEC_POINTS_FORWARD,
                                  OFFSET_SPEC_POINTS_BACKWARD};
  for (std::size_t k = 0; k < shape.size(); ++k)
    shape[k] = big_endian_int(record, static_cast<std::size_t>(offsets[k]));
  EXPECT_EQ(shape, *c.record);
  const auto [x, y, forward_only, points, backward_points] = *c.record;
  if (points == 0)
    return;
  ASSERT_EQ(run_converter(out, {number}).status, 0);
  const auto pixels = static_cast<std::size_t>(x * y);
  const Bytes forward = read_file(out / ("m" + number + "_ori.sf0"));
  ASSERT_EQ(forward.size(), 2 * pixels * static_cast<std::size_t>(points));
  // The pixels whose forward curve no backward sample overlays.
  const auto p = static_cast<std::size_t>(points);
  const auto pb = static_cast<std::size_t>(backward_points);
  const bool whole = forward_only != 0;
  const auto intact = [whole, p, pb, pixels](std::size_t n) {
    return whole || (n + 1) * p <= pb * pixels || n * p >= 2 * pb * pixels;
  };
  EXPECT_TRUE(plane_of_sign(forward, 0, pixels, -1, intact));
  EXPECT_TRUE(plane_of_sign(forward, p - 1, pixels, 1, intact));
  if (whole)
    return;
  const Bytes backward = read_file(out / ("m" + number + "_ori.sb0"));
  ASSERT_EQ(backward.size(), 2 * pixels * pb);
  const auto every = [](std::size_t) { return true; };
  EXPECT_TRUE(plane_of_sign(backward, 0, pixels, 1, every));
  EXPECT_TRUE(plane_of_sign(backward, pb - 1, pixels, -1, every));
}

const std::string EXAMPLE_SETS_USAGE = "(see --help)\n";

const ExampleSetsCase EXAMPLE_SETS_CASES[] = {
    // The bundled sets, into a directory it makes (examples_match_generator
    // checks their bytes).
    {"NoOptionsWritesTheExamples", {"out"}, 0, "", "",
     {{"tp1", 512}, {"tz1", 4096}, {"ts1", 167936}, {"tp2", 512},
      {"tz2", 2048}, {"ts2", 65536}, {"tp3", 512}, {"tz3", 65536}},
     std::nullopt},
    // The spectroscopy file of a dual set holds max(2·P·X·Y, 4·Pb·X·Y)
    // bytes: the backward block begins at sample Pb·X·Y.
    {"Dual", {"--shape", "4x3x5", "out"}, 0, "", "",
     {{"tp1", 512}, {"tz1", 48}, {"ts1", 240}}, RecordShape{4, 3, 0, 5, 5}},
    {"DualSaidSoWithNumber", {"-d", "-n", "7", "-s", "4x3x5", "out"}, 0, "", "",
     {{"tp7", 512}, {"tz7", 48}, {"ts7", 240}}, RecordShape{4, 3, 0, 5, 5}},
    {"ForwardOnly", {"out", "--forward-only", "--shape", "4x3x5"}, 0, "", "",
     {{"tp1", 512}, {"tz1", 24}, {"ts1", 120}}, RecordShape{4, 3, 1, 5, 0}},
    {"NoSpectroscopy", {"--shape", "4x3", "out"}, 0, "", "",
     {{"tp1", 512}, {"tz1", 48}}, RecordShape{4, 3, 0, 0, 0}},
    {"MoreBackwardPoints", {"--shape", "4x3x2x5", "out"}, 0, "", "",
     {{"tp1", 512}, {"tz1", 48}, {"ts1", 240}}, RecordShape{4, 3, 0, 2, 5}},
    {"FewerBackwardPoints", {"--shape", "4x3x5x3", "out"}, 0, "", "",
     {{"tp1", 512}, {"tz1", 48}, {"ts1", 144}}, RecordShape{4, 3, 0, 5, 3}},
    {"ForwardLongerThanBothBackward", {"--shape", "4x3x9x2", "out"}, 0, "", "",
     {{"tp1", 512}, {"tz1", 48}, {"ts1", 216}}, RecordShape{4, 3, 0, 9, 2}},
    // The help and the version write nothing (the help once wrote the
    // example sets into a directory named "--help").
    {"Help", {"--help"}, 0,
     "Usage: parvane-example-sets [OPTIONS] [DIRECTORY]", "", {}, std::nullopt},
    {"Version", {"-V", "out"}, 0, "parvane-example-sets 2.2\n", "", {},
     std::nullopt},
    {"ShapeOfZero", {"--shape", "0x3", "out"}, 2, "", EXAMPLE_SETS_USAGE, {},
     std::nullopt},
    {"ShapeCutShort", {"--shape", "4x", "out"}, 2, "", EXAMPLE_SETS_USAGE, {},
     std::nullopt},
    {"ShapeOfFiveNumbers", {"--shape", "4x3x5x2x1"}, 2, "", EXAMPLE_SETS_USAGE,
     {}, std::nullopt},
    {"ShapeBeyondInt32", {"--shape", "4x3000000000"}, 2, "", EXAMPLE_SETS_USAGE,
     {}, std::nullopt},
    {"ShapeBeyondAnyDisk", {"--shape", "2000000000x2000000000x2000000000"}, 2,
     "", "larger than any disk\n", {}, std::nullopt},
    {"ForwardOnlyWithBackwardPoints", {"-f", "--shape", "4x3x5x2"}, 2, "",
     EXAMPLE_SETS_USAGE, {}, std::nullopt},
    {"ForwardOnlyAndDual", {"-f", "-d", "--shape", "4x3"}, 2, "",
     EXAMPLE_SETS_USAGE, {}, std::nullopt},
    {"SetOptionWithoutShape", {"--seed", "3", "out"}, 2, "", EXAMPLE_SETS_USAGE,
     {}, std::nullopt},
    {"NegativeNumber", {"-n", "-1", "--shape", "4x3"}, 2, "", EXAMPLE_SETS_USAGE,
     {}, std::nullopt},
    {"TwoDirectories", {"a", "b"}, 2, "", EXAMPLE_SETS_USAGE, {}, std::nullopt},
    {"UnknownOption", {"--grid", "4x3"}, 2, "", EXAMPLE_SETS_USAGE, {},
     std::nullopt},
    // Refused before the first byte instead of filling the disk.
    {"LargerThanTheDisk", {"--shape", "100000x100000x100000", "out"}, 1, "",
     "free; nothing written\n", {}, std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Cases, ExampleSets,
                         ::testing::ValuesIn(EXAMPLE_SETS_CASES),
                         [](const auto &info) { return info.param.name; });

// The seed changes the noise and nothing else; the same options write the
// same bytes.
#ifndef _WIN32
// A write that fails ends the run with status 1 at that file, named.
TEST(ExampleSets, PosixWriteFailureIsReported) {
  ScratchDir dir;
  RunOptions options;
  options.file_size_limit = 100000;
  const RunResult result =
      run_example_sets(dir.path(), {"-s", "256x256x10", "out"}, options);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors, std::string("parvane-example-sets: out/tz1: ") +
                               std::strerror(EFBIG) + "\n");
  EXPECT_EQ(list_dir(dir / "out"), (std::vector<std::string>{"tp1", "tz1"}));
}
#endif

TEST(ExampleSets, SeedGivesOtherNoiseOfTheSameShape) {
  ScratchDir dir;
  for (const auto &[seed, where] :
       {std::pair{"0", "a"}, std::pair{"0", "b"}, std::pair{"9", "c"}})
    ASSERT_EQ(run_example_sets(dir.path(), {"--seed", seed, "-s", "8x8x4", where})
                  .status,
              0);
  for (const std::string name : {"tp1", "tz1", "ts1"}) {
    EXPECT_EQ(read_file(dir / "a" / name), read_file(dir / "b" / name)) << name;
    EXPECT_EQ(read_file(dir / "a" / name) == read_file(dir / "c" / name),
              name == "tp1")
        << name;
  }
}

#ifndef _WIN32
// ---------------------------------------------------------------------------
// POSIX only from here to the end of the file (standard output redirected or
// closed in a forked child, /dev/full, fcntl locks, a backslash as an
// ordinary character of a file name, more arguments than a Windows command
// line holds). Suites: EndToEnd.Posix*, PosixConsole, PosixStandardStreams,
// PosixConcurrentRuns, PosixExportManyArguments.

// On POSIX systems only '/' separates directories: a backslash is an
// ordinary character of a file number.
TEST_F(EndToEnd, PosixBackslashIsAnOrdinaryCharacter) {
  write_standard_set(dir.path(), "a\\1");
  EXPECT_EQ(run({"a\\1"}).output, converted({"a\\1"}));
  EXPECT_EQ(size_on_disk(dir / "ma\\1_ori.tf0"), PLANE);
}

// Where the console cannot be written, every set is still converted, but the
// run ends with status 1 and says so once on standard error.
class PosixConsole : public ::testing::TestWithParam<RunOptions::Output> {};

std::string console_name(RunOptions::Output output) {
  constexpr std::array NAMES{"Captured", "Full", "Closed", "BrokenPipe"};
  return NAMES[static_cast<std::size_t>(output)];
}

TEST_P(PosixConsole, LostLinesFailTheRunButNotTheConversion) {
  ScratchDir reference, dir;
  for (const fs::path *where : {&reference.path(), &dir.path()}) {
    write_standard_set(*where, "1");
    write_set(*where, "2", standard_record(false), TOPOGRAPHY_BYTES);
  }
  ASSERT_EQ(run_converter(reference.path(), {"1", "2"}).status, 0);
  RunOptions options;
  options.standard_output = GetParam();
  RunResult result =
      run_converter(dir.path(), {"1", "2"}, "./parvane-convert", options);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors, without_spectroscopy("ts2", "not found", 2) +
                               "parvane-convert: Couldn't write to standard "
                               "output; console lines were lost\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(tree(dir.path()), tree(reference.path()));
}

// The help and the version are all the export prints: when they are lost,
// it says so and ends with status 1.
TEST_P(PosixConsole, ExportHelpAndVersionLostFailTheRun) {
  ScratchDir dir;
  RunOptions options;
  options.standard_output = GetParam();
  for (const char *argument : {"--help", "--version"}) {
    const RunResult result = run_exporter(dir.path(), {argument}, options);
    EXPECT_EQ(result.errors, "parvane-export: Couldn't write to standard "
                             "output; console lines were lost\n")
        << argument;
    EXPECT_EQ(result.status, 1) << argument;
  }
}

INSTANTIATE_TEST_SUITE_P(
    FullOrClosed, PosixConsole,
    ::testing::Values(RunOptions::Output::FullDevice,
                      RunOptions::Output::Closed,
                      RunOptions::Output::BrokenPipe),
    [](const auto &info) { return console_name(info.param); });

// A record larger than the free space (a damaged or mistaken file, sparse on
// disk) fails with code 9 before the staging copy is written, leaving an
// empty tmp.par instead of a full disk.
TEST_F(EndToEnd, PosixRecordLargerThanTheFreeSpaceFillsNothing) {
  write_standard_set(dir.path(), "1");
  std::error_code error;
  const fs::space_info space = fs::space(dir.path(), error);
  if (error)
    GTEST_SKIP() << "the free space here is unknown";
  fs::resize_file(dir / "tp1", space.available + (std::uintmax_t{1} << 30),
                  error);
  if (error)
    GTEST_SKIP() << "no sparse file larger than the free space here";
  EXPECT_EQ(run({"1"}, "tmp.par",
                "larger than the free space on its disk; nothing written")
                .output,
            BANNER + hint() + report("1", error_line(9)));
  EXPECT_EQ(size_on_disk(dir / "tmp.par"), 0);
  EXPECT_FALSE(fs::exists(dir / "m1_ori.par"));
}

// The guard main() runs first: a closed standard output is taken by a
// placeholder that cannot be written, so no file opened later becomes the
// console and console writes still fail.
TEST(PosixStandardStreams, GuardKeepsFilesOffAClosedStream) {
  ScratchDir dir;
  const std::string file = (dir / "opened-later").string();
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(STDOUT_FILENO);
    guard_standard_streams();
    const int opened = ::open(file.c_str(), O_WRONLY | O_CREAT, 0666);
    ::_exit(opened != STDOUT_FILENO && ::write(STDOUT_FILENO, "x", 1) < 0 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read_file(file), "");
}

// A conversion waits while another holds tmp.par, never empties the file it
// waited for, and once that file is gone stages its record in a new one.
TEST(PosixConcurrentRuns, SecondRunWaitsForTheStagingFile) {
  ScratchDir dir;
  write_standard_set(dir.path(), "1");
  const fs::path staging = dir / "tmp.par";
  write_file(staging, "held by another conversion");
  const int held = ::open(staging.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  // The byte that every build locks, on every system.
  struct flock lock_byte {};
  lock_byte.l_type = F_WRLCK;
  lock_byte.l_whence = SEEK_SET;
  lock_byte.l_start = off_t{1} << 62;
  lock_byte.l_len = 1;
  ASSERT_EQ(::fcntl(held, F_SETLK, &lock_byte), 0);

  // A second name for the held file, to see that it is never emptied.
  fs::create_hard_link(staging, dir / "held");

  RunResult result;
  std::thread second([&] { result = run_converter(dir.path(), {"1"}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(fs::exists(dir / "m1_ori.par")) << "did not wait";
  // The holder finishes as a conversion does: deletes the name, then lets go.
  fs::remove(staging);
  ::close(held);
  second.join();
  EXPECT_EQ(result.output, converted({"1"}));
  EXPECT_EQ(result.errors, "parvane-convert: waiting for another conversion "
                           "in this directory (tmp.par is locked)\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(fs::exists(staging));
  EXPECT_EQ(read_file(dir / "held"), "held by another conversion");
  EXPECT_EQ(size_on_disk(dir / "m1_ori.sb0"), POINT_PLANES);
}

// Two runs at once in one directory, again and again: each set reported done
// holds exactly the bytes of a run on its own, and no run ever finds tmp.par
// taken from under it. The records are long, so that staging them takes a
// while and the runs overlap.
TEST(PosixConcurrentRuns, TwoRunsInOneDirectoryConvertEverySetExactly) {
  const Bytes record_1 =
      RecordBuilder(1 << 21).shape(64, 64, true, 48, 40).bytes();
  const Bytes record_2 = RecordBuilder(1 << 20).shape(80, 48, false, 32).bytes();
  const Bytes topography = counting_samples(2 * 64 * 64, 0x1234);
  const Bytes spectroscopy = counting_samples(64 * 64 * 88, 0x4321);
  auto build = [&](const fs::path &where) {
    write_set(where, "1", record_1, topography, &spectroscopy);
    write_set(where, "2", record_2, topography, &spectroscopy);
  };
  ScratchDir reference;
  build(reference.path());
  ASSERT_EQ(run_converter(reference.path(), {"1", "2"}).status, 0);
  const auto expected = tree(reference.path());

  for (int round = 0; round < 6 && !::testing::Test::HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ScratchDir dir;
    build(dir.path());
    RunResult first, second;
    std::thread one([&] { first = run_converter(dir.path(), {"1"}); });
    std::thread two([&] { second = run_converter(dir.path(), {"2"}); });
    one.join();
    two.join();
    EXPECT_EQ(first.output, converted({"1"}));
    EXPECT_EQ(second.output, converted({"2"}));
    EXPECT_EQ(first.status + second.status, 0);
    EXPECT_EQ(tree(dir.path()), expected);
  }
}

// About as many arguments as Linux passes to a program: they are run in a
// forked child of the test, which no limit on a command line applies to.
// Sets 1 to 300 are named twice each, spelled differently, among 199,400
// numbers without a set; each set is exported once, in the order named, and
// each missing one fails with one line. The time is printed, not judged:
// argument handling that searched the sets named so far for each one grew
// with the square of their number.
TEST(PosixExportManyArguments, TwoHundredThousandSetsEachOnce) {
  constexpr int SETS = 300, ARGUMENTS = 200'000;
  ScratchDir dir;
  std::string expected;
  std::vector<std::string> arguments{"parvane-export"};
  for (int n = 1; n <= SETS; ++n) {
    const std::string number = std::to_string(n);
    write_standard_set(dir.path(), number);
    arguments.push_back(number);
    arguments.push_back("./tz" + number);
    expected.append(gwy_export_name(number)).append("\n");
  }
  for (int n = SETS + 1; arguments.size() <= ARGUMENTS; ++n)
    arguments.push_back(std::to_string(n));

  std::FILE *out = std::tmpfile();
  std::FILE *err = std::tmpfile();
  ASSERT_TRUE(out && err);
  const auto start = std::chrono::steady_clock::now();
  std::fflush(nullptr); // nothing of the test's own lines for the child
  const pid_t child = ::fork();
  if (child == 0) {
    if (::chdir(dir.path().c_str()) != 0 ||
        ::dup2(::fileno(out), STDOUT_FILENO) < 0 ||
        ::dup2(::fileno(err), STDERR_FILENO) < 0)
      ::_exit(127);
    ::_exit(run_export(arguments));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - start;
  std::printf("%d arguments: %.2f s\n", ARGUMENTS, took.count());
  std::fflush(out);
  std::fflush(err);
  std::rewind(out);
  std::rewind(err);
  std::string output, errors;
  for (int c; (c = std::fgetc(out)) != EOF;)
    output += static_cast<char>(c);
  for (int c; (c = std::fgetc(err)) != EOF;)
    errors += static_cast<char>(c);
  std::fclose(out);
  std::fclose(err);

  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(output, expected);
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'),
            ARGUMENTS - 2 * SETS);
  EXPECT_TRUE(errors.starts_with("parvane-export: tp301: "));
  EXPECT_TRUE(errors.ends_with("parvane-export: tp199700: " + NO_SUCH_FILE +
                               "\n"));
}

#endif

} // namespace
} // namespace parvane::testing
