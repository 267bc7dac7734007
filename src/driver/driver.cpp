#include "driver/driver.h"

#include <array>
#include <cctype>
#include <exception>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "core/console.h"
#include "convert/conversion_sequence.h"
#include "core/file_io.h"
#include "core/interruption.h"
#include "core/set_names.h"
#include "core/set_layout.h"

namespace parvane {
namespace {

constexpr std::int32_t LARGEST_INT = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t SMALLEST_INT = std::numeric_limits<std::int32_t>::min();

// The second report line's text for each result code, 1 to 17: the open
// failures, the write failures and the read failures, each in the order the
// conversion meets its files.
constexpr std::array<const char *, LAST_RESULT_CODE + 1> REPORT_TEXTS = {
    "",
    "Couldn't open old parameter file",
    "Couldn't open old topography file",
    "Couldn't open temp file",
    "Couldn't open new parameter file",
    "Couldn't open new topography file (forward)",
    "Couldn't open new spectroscopy file (forward)",
    "Couldn't open new topography file (backward)",
    "Couldn't open new spectroscopy file (backward)",
    "Couldn't write temp file",
    "Couldn't write new parameter file",
    "Couldn't write new topography file (forward)",
    "Couldn't write new spectroscopy file (forward)",
    "Couldn't write new topography file (backward)",
    "Couldn't write new spectroscopy file (backward)",
    "Couldn't read old parameter file",
    "Couldn't read old topography file",
    "Couldn't read old spectroscopy file",
};

constexpr std::array<const char *, 5> USAGE_TEXTS = {
    "    \t            : Convert all available files 1 to 500",
    " <filelist>        : Convert all files in <filelist>",
    " <file> -          : Convert files from <file> onwards",
    " - <file>          : Convert all available files from 1 to <file>",
    " <file1> - <file2> : Convert all available files in the range "
    "<file1>\t\t    \t\t      to <file2>",
};

bool is_dash(const char *argument) { return std::string_view(argument) == "-"; }

void print_banner() {
  print_line("");
  print_line("Parvane format conversion");
  print_line("Version 2.2 February 2006");
  print_line("");
}

void print_help(const std::string &name) {
  print_line("");
  for (const char *usage : USAGE_TEXTS)
    print_line(name + usage);
  print_line("");
  print_line("Exiting...");
  print_line("");
}

void print_closing_lines() {
  print_line("");
  print_line("All files converted.");
  print_line("Exiting..");
  print_line("");
}

WalkOutcome convert_or_report(const std::string &file_number,
                              const Diagnostics &diagnostics,
                              Progress *progress) {
  SetFailure failure;
  const ResultCode code =
      convert_file_set(file_number, diagnostics, &failure, progress);
  if (code == RESULT_OK)
    return WalkOutcome::AllConverted;
  // A set the run was asked to stop has no report lines: standard output
  // stays as it was when the request came.
  if (code != RESULT_INTERRUPTED)
    report_conversion_error(file_number, code);
  diagnostics.report(failure.file, failure.reason);
  return code == RESULT_INTERRUPTED ? WalkOutcome::Interrupted
                                    : WalkOutcome::SetFailed;
}

// A walk asked to stop between two sets, with no set of its own begun.
WalkOutcome stopped_between_sets(const Diagnostics &diagnostics) {
  diagnostics.note("interrupted");
  return WalkOutcome::Interrupted;
}

// One diagnostic line for a walk over file numbers that found no record at
// all: which "tp" names it probed (start + 1 up to limit + 1, never past the
// largest int) and in which directory, since running the converter from the
// wrong directory is the usual cause. A start already past the limit probes
// nothing, and the line says so instead.
void report_no_set_found(std::int32_t start, std::int32_t limit,
                         const Diagnostics &diagnostics) {
  constexpr std::int32_t LARGEST = std::numeric_limits<std::int32_t>::max();
  const std::string last =
      std::to_string(limit == LARGEST ? LARGEST : limit + 1);
  if (start > limit || start == LARGEST) {
    diagnostics.note("no set found: no number after " + std::to_string(start) +
                     " up to " + last + " to look for");
    return;
  }
  const std::string first = std::to_string(start + 1);
  const std::string names =
      old_parameter_name(first) +
      (first == last ? "" : " to " + old_parameter_name(last));
  diagnostics.note("no set found: no " + names + " in " + working_directory_shown());
}

// A number as the walk counts: decimal digits with no leading zero (or 0
// itself), within the walk's int; nullopt for any other.
std::optional<std::int32_t> walked_number(const std::string &digits) {
  if (digits.empty() || (digits.size() > 1 && digits.front() == '0') ||
      digits.size() > 10)
    return std::nullopt;
  const std::int64_t value = std::stoll(digits);
  if (value > LARGEST_INT)
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

// The run without arguments stops after tp<limit + 1>: says how many sets of
// the directory lie above it and how to convert them, and, apart, the sets
// of zero-padded names, which no walk over numbers reaches. Nothing when
// every set was within reach, or the directory cannot be listed.
void note_sets_beyond_walk(std::int32_t limit, const Diagnostics &diagnostics) {
  std::vector<std::string> numbers;
  if (find_set_numbers(".", numbers))
    return;
  const std::int32_t last = limit + 1;
  std::vector<std::int32_t> above;
  std::vector<std::string> padded;
  for (const std::string &number : numbers) {
    if (const std::optional<std::int32_t> n = walked_number(number)) {
      if (*n > last)
        above.push_back(*n);
    } else if (number.size() > 1 && number.front() == '0') {
      padded.push_back(number);
    }
  }
  const auto count = [](std::size_t n) {
    return std::to_string(n) + (n == 1 ? " set" : " sets");
  };
  const auto names = [](const std::string &first, const std::string &end) {
    return old_parameter_name(first) +
           (first == end ? "" : " to " + old_parameter_name(end));
  };
  const std::string &program = diagnostics.program_name();
  if (!above.empty()) {
    const std::string first = std::to_string(above.front());
    const std::string end = std::to_string(above.back());
    diagnostics.note("note: " + count(above.size()) +
                     (above.size() == 1 ? " lies" : " lie") + " above " +
                     old_parameter_name(std::to_string(last)) + " (" +
                     names(first, end) +
                     ") and " + (above.size() == 1 ? "is" : "are") +
                     " not converted without arguments; convert " +
                     (above.size() == 1 ? "it" : "them") + " with: " +
                     program + " " + std::to_string(last) + " - " + end);
  }
  if (!padded.empty())
    diagnostics.note("note: " + count(padded.size()) + " with zero-padded " +
                     (padded.size() == 1 ? "name (" : "names (") +
                     printable(names(padded.front(), padded.back())) + ") " +
                     (padded.size() == 1 ? "is" : "are") +
                     " converted only when named exactly, as in: " + program +
                     " " + printable(padded.front()));
}

} // namespace

std::string program_name(const char *argv0) {
  if (argv0 == nullptr)
    return "";
  std::string_view path(argv0);
  std::size_t separator = path.find_last_of("\\/");
  std::string_view file =
      separator == std::string_view::npos ? path : path.substr(separator + 1);
  if (file.find('.') == std::string_view::npos)
    return std::string(file);
  std::size_t start = file.find_first_not_of('.');
  if (start == std::string_view::npos)
    return "";
  std::size_t end = file.find('.', start);
  return std::string(file.substr(start, end - start));
}

RunMode classify_arguments(int argc, const char *const *argv) {
  switch (argc) {
  case 0:
  case 1:
    return MODE_ALL;
  case 2: {
    std::string_view first(argv[1]);
    return first == "help" || first == "?" ? MODE_HELP : MODE_LIST;
  }
  case 3:
    if (is_dash(argv[1]))
      return MODE_UP_TO;
    return is_dash(argv[2]) ? MODE_FROM : MODE_LIST;
  case 4:
    return is_dash(argv[2]) ? MODE_RANGE : MODE_LIST;
  default:
    return MODE_LIST;
  }
}

std::int32_t numeric_value(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
    ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-'))
    negative = text[at++] == '-';
  // Accumulate the magnitude, stopping the growth once it is past the range.
  const std::int64_t past_range = std::int64_t{LARGEST_INT} + 2;
  std::int64_t magnitude = 0;
  for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]));
       ++at)
    magnitude = std::min(past_range, magnitude * 10 + (text[at] - '0'));
  std::int64_t value = negative ? -magnitude : magnitude;
  if (value > LARGEST_INT)
    return LARGEST_INT;
  if (value < SMALLEST_INT)
    return SMALLEST_INT;
  return static_cast<std::int32_t>(value);
}

std::string number_to_text(std::int32_t value) {
  return std::to_string(value);
}

std::optional<std::int32_t> find_next_file(std::string &file_number_buffer,
                                           std::int32_t limit) {
  std::int32_t n = numeric_value(file_number_buffer);
  if (n > limit)
    return std::nullopt;
  while (n != LARGEST_INT && !interruption_requested()) {
    ++n;
    file_number_buffer = number_to_text(n);
    // A record that exists but cannot be opened is not passed by: its
    // conversion fails and says why.
    if (is_set_file(old_parameter_name(file_number_buffer)))
      return n;
    if (n > limit)
      return std::nullopt;
  }
  return std::nullopt;
}

WalkOutcome run_batch(const std::string &start_text, std::int32_t limit,
                      const Diagnostics &diagnostics, Progress *progress) {
  std::string buffer = start_text;
  bool found = false;
  while (find_next_file(buffer, limit)) {
    found = true;
    if (const WalkOutcome outcome =
            convert_or_report(buffer, diagnostics, progress);
        outcome != WalkOutcome::AllConverted)
      return outcome;
  }
  if (interruption_requested())
    return stopped_between_sets(diagnostics);
  if (!found)
    report_no_set_found(numeric_value(start_text), limit, diagnostics);
  return WalkOutcome::AllConverted;
}

WalkOutcome run_list(int argc, const char *const *argv,
                     const Diagnostics &diagnostics, Progress *progress) {
  for (int i = 1; i < argc; ++i) {
    if (interruption_requested())
      return stopped_between_sets(diagnostics);
    if (const WalkOutcome outcome =
            convert_or_report(argv[i], diagnostics, progress);
        outcome != WalkOutcome::AllConverted)
      return outcome;
  }
  if (interruption_requested())
    return stopped_between_sets(diagnostics);
  return WalkOutcome::AllConverted;
}

void report_conversion_error(const std::string &file_number,
                             ResultCode result_code) {
  const bool known = result_code > 0 && result_code <= LAST_RESULT_CODE;
  // A control character would let the number forge a console line.
  print_line("Error converting file number " + printable(file_number));
  print_line("Error " + std::to_string(result_code) + ": " +
             (known ? REPORT_TEXTS[static_cast<std::size_t>(result_code)]
                    : "Couldn't convert file"));
  print_line("Exiting..");
  print_line("");
}

namespace {

// The run's own status, unless the console lost lines: a set counts as
// converted only when its "Done!" line was seen, so a console that could not
// be written fails the run, after every conversion it asked for.
int status_after_console_check(int status, const std::string &name) {
  if (console_intact())
    return status;
  report_console_failure(name);
  return EXIT_FAILED_SET;
}

int run_modes(int argc, const char *const *argv, const std::string &name) {
  const RunMode mode = classify_arguments(argc, argv);
  if (mode == MODE_HELP) {
    print_help(name);
    return EXIT_HELP;
  }
  print_line("Type " + name + " help" + " to get basic help");
  print_line("");

  const Diagnostics diagnostics(name);
  Progress progress = Progress::on_standard_error(diagnostics.program_name());
  WalkOutcome outcome = WalkOutcome::AllConverted;
  switch (mode) {
  case MODE_ALL:
    outcome = run_batch("0", DEFAULT_LIMIT, diagnostics, &progress);
    if (outcome == WalkOutcome::AllConverted)
      note_sets_beyond_walk(DEFAULT_LIMIT, diagnostics);
    break;
  case MODE_FROM:
    outcome = run_batch(argv[1], DEFAULT_LIMIT, diagnostics, &progress);
    break;
  case MODE_UP_TO:
    outcome = run_batch("0", numeric_value(argv[2]), diagnostics, &progress);
    break;
  case MODE_RANGE:
    outcome =
        run_batch(argv[1], numeric_value(argv[3]), diagnostics, &progress);
    break;
  default:
    outcome = run_list(argc, argv, diagnostics, &progress);
    break;
  }
  if (outcome == WalkOutcome::Interrupted)
    end_as_interrupted();
  if (outcome == WalkOutcome::SetFailed)
    return EXIT_FAILED_SET;
  print_closing_lines();
  return EXIT_NORMAL;
}

} // namespace

int run_program(int argc, const char *const *argv) {
  print_banner();
  const std::string name = program_name(argc > 0 ? argv[0] : nullptr);
  return status_after_console_check(run_modes(argc, argv, name), name);
}

} // namespace parvane
