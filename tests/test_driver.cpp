#include "driver/driver.h"

#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <vector>

#include "core/interruption.h"
#include "core/progress.h"
#include "core/terminal.h"
#include "test_helpers.h"

#ifdef _WIN32
#include "core/windows_api.h"
#endif

namespace parvane {
namespace {

constexpr std::int32_t LARGEST = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t SMALLEST = std::numeric_limits<std::int32_t>::min();

struct ClassifyCase {
  std::vector<const char *> args; // after the program path
  RunMode mode;
};

void PrintTo(const ClassifyCase &c, std::ostream *out) {
  *out << "[";
  for (const char *arg : c.args)
    *out << ' ' << arg;
  constexpr const char *MODES[] = {"all", "list", "from", "up to", "range",
                                   "help"};
  *out << " ] " << MODES[c.mode];
}

class Classify : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(Classify, MapsEveryArgumentListToOneMode) {
  std::vector<const char *> argv{"parvane-convert"};
  argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
  EXPECT_EQ(classify_arguments(static_cast<int>(argv.size()), argv.data()),
            GetParam().mode);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Classify,
    ::testing::Values(
        ClassifyCase{{}, MODE_ALL}, ClassifyCase{{"help"}, MODE_HELP},
        ClassifyCase{{"?"}, MODE_HELP}, ClassifyCase{{"HELP"}, MODE_LIST},
        ClassifyCase{{"-"}, MODE_LIST}, ClassifyCase{{"7"}, MODE_LIST},
        ClassifyCase{{"-", "20"}, MODE_UP_TO},
        ClassifyCase{{"-", "-"}, MODE_UP_TO},
        ClassifyCase{{"7", "-"}, MODE_FROM},
        ClassifyCase{{"1", "2"}, MODE_LIST},
        ClassifyCase{{"5", "-", "20"}, MODE_RANGE},
        ClassifyCase{{"-", "-", "-"}, MODE_RANGE},
        ClassifyCase{{"1", "2", "3"}, MODE_LIST},
        ClassifyCase{{"-", "1", "2"}, MODE_LIST},
        ClassifyCase{{"1", "-", "2", "3"}, MODE_LIST},
        ClassifyCase{{"-", "-", "-", "-", "-"}, MODE_LIST}),
    testing::CaseName());

TEST(Classify, NoArgumentVectorAtAllIsAPlainRun) {
  const char *argv[] = {nullptr};
  EXPECT_EQ(classify_arguments(0, argv), MODE_ALL);
}

TEST(ProgramName, IsTheLastPathComponentBeforeItsFirstDot) {
  struct Case { const char *argv0; const char *name; };
  for (const Case &c : {Case{"C:\\tools\\conv.exe", "conv"},
                        Case{"C:\\tools\\conv", "conv"},
                        Case{"a.b.exe", "a"},
                        Case{"./parvane-convert", "parvane-convert"},
                        Case{"/usr/local/bin/parvane-convert", "parvane-convert"},
                        Case{"build/x\\y/conv.v2", "conv"},
                        Case{"..hidden.exe", "hidden"},
                        Case{"...", ""}, Case{"dir/", ""}, Case{"", ""},
                        Case{nullptr, ""}})
    EXPECT_EQ(program_name(c.argv0), c.name) << (c.argv0 ? c.argv0 : "null");
}

TEST(NumericValue, ReadsLikeADecimalIntegerAndSaturates) {
  struct Case { const char *text; std::int32_t value; };
  for (const Case &c :
       {Case{"20", 20}, Case{"  +7x", 7}, Case{"-3", -3}, Case{"\t-0012", -12},
        Case{"-", 0}, Case{"word", 0}, Case{"", 0}, Case{"+-5", 0},
        Case{"2147483647", LARGEST}, Case{"2147483648", LARGEST},
        Case{"99999999999999999999999", LARGEST}, Case{"-2147483648", SMALLEST},
        Case{"-2147483649", SMALLEST},
        Case{"-99999999999999999999999", SMALLEST}})
    EXPECT_EQ(numeric_value(c.text), c.value) << '"' << c.text << '"';
}

TEST(NumberToText, WritesPlainDecimal) {
  EXPECT_EQ(number_to_text(0), "0");
  EXPECT_EQ(number_to_text(-12), "-12");
  EXPECT_EQ(number_to_text(501), "501");
  EXPECT_EQ(number_to_text(LARGEST), "2147483647");
  EXPECT_EQ(number_to_text(SMALLEST), "-2147483648");
}

#ifdef _WIN32
// Every console event that asks a run to stop, and which of them Windows
// ends the process for as soon as the handler returns, so that the handler
// must hold it until the run has cleaned up. Ctrl-C itself is also run under
// Wine by the identity script, where a SIGINT to the process arrives as one.
TEST(ConsoleEvents, StopTheRunAndHoldTheProcessWhereWindowsWouldEndIt) {
  struct Case {
    DWORD event;
    std::optional<ConsoleEventResponse> response;
  };
  for (const Case &c : {Case{CTRL_C_EVENT, ConsoleEventResponse{false}},
                        Case{CTRL_BREAK_EVENT, ConsoleEventResponse{false}},
                        Case{CTRL_CLOSE_EVENT, ConsoleEventResponse{true}},
                        Case{CTRL_LOGOFF_EVENT, std::nullopt},
                        Case{CTRL_SHUTDOWN_EVENT, ConsoleEventResponse{true}},
                        Case{3, std::nullopt}, Case{7, std::nullopt}})
    EXPECT_EQ(console_event_response(c.event), c.response) << c.event;
}
#endif

// The progress line: drawn once a set has lasted the threshold, each
// redraw covering the line before, erased whole at the set's end.
TEST(ProgressLine, ShownAfterTheThresholdAndErasedAtTheEnd) {
  std::string terminal;
  const auto sink = [&](std::string_view text) { terminal += text; };
  {
    Progress slow("parvane-convert", sink, std::chrono::hours(1));
    slow.begin("tp7", 1000);
    slow.advance(1000);
    slow.end();
    EXPECT_EQ(terminal, "") << "a set shorter than the threshold is silent";
    EXPECT_EQ(slow.done(), 1000);
  }
  Progress progress("parvane-convert", sink, Progress::Clock::duration::zero());
  progress.begin("tp7\n", 4'000'000);
  progress.advance(1'000'000);
  const std::string first = "\rparvane-convert: tp7?:  25% of 4 MB, ";
  ASSERT_TRUE(terminal.starts_with(first)) << terminal;
  ASSERT_TRUE(terminal.ends_with(" MB/s")) << terminal;
  const std::size_t width = terminal.size() - 1;
  // The pipeline's hook counts from the bytes done when its part began.
  const auto part = progress.part();
  part(2'000'000, 3'000'000);
  EXPECT_EQ(progress.done(), 3'000'000);
  terminal.clear();
  progress.end();
  std::string erased(width + 2, ' ');
  erased.front() = erased.back() = '\r';
  EXPECT_EQ(terminal, erased);
  terminal.clear();
  progress.advance(1);
  progress.end();
  EXPECT_EQ(terminal, "") << "nothing between sets";
}

// The Explorer's start, told apart from every other: the program alone in
// its console, standard input and output that console, and no argument but
// paths. Decided on every system; the facts come from Windows alone.
TEST(ExplorerPause, OnlyAStartFromTheExplorerWaits) {
  const ConsoleStart explorer{true, true, true, false};
  struct Case {
    const char *name;
    ConsoleStart start;
    std::vector<std::string> arguments; // after the program's name
    bool pauses;
  };
  const Case cases[] = {
      {"DoubleClick", explorer, {}, true},
      {"FilesDropped", explorer, {"C:\\data\\tp7", "D:/run/tz7"}, true},
      {"FolderDroppedFromAShare", explorer, {"\\\\lab\\data\\run3"}, true},
      {"FromAPrompt", {false, true, true, false}, {}, false},
      {"InputRedirected", {true, false, true, false}, {}, false},
      {"OutputRedirected", {true, true, false, false}, {}, false},
      {"WineFromAUnixTerminal", {true, true, true, true}, {}, false},
      {"NotWindows", {}, {}, false},
      {"AnOption", explorer, {"--no-pause"}, false},
      {"PathsAndAnOption", explorer, {"C:\\data\\tp7", "-q"}, false},
      {"ASetNumber", explorer, {"7"}, false},
      {"ARelativePath", explorer, {"run3\\tp7"}, false},
      {"ADriveAlone", explorer, {"C:"}, false},
      {"NoProgramName", explorer, {}, true},
  };
  for (const Case &c : cases) {
    std::vector<std::string> arguments{"parvane-export.exe"};
    if (std::string_view(c.name) == "NoProgramName")
      arguments.clear();
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    EXPECT_EQ(pauses_before_closing(c.start, arguments), c.pauses) << c.name;
  }
}

} // namespace
} // namespace parvane
