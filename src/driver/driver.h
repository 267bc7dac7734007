// The command-line driver: banner, run modes, the batch walk over file
// numbers, the list loop, the error report and the exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/console.h"
#include "core/progress.h"
#include "convert/conversion_sequence.h"

namespace parvane {

enum RunMode : int {
  MODE_ALL = 0,
  MODE_LIST = 1,
  MODE_FROM = 2,
  MODE_UP_TO = 3,
  MODE_RANGE = 4,
  MODE_HELP = 5,
};

inline constexpr int EXIT_NORMAL = 0;
inline constexpr int EXIT_FAILED_SET = 1;
inline constexpr int EXIT_HELP = 5;

// The limit of the batch modes that are not given one.
inline constexpr std::int32_t DEFAULT_LIMIT = 500;

// The program name shown in the hint line and the help: the last path
// component of argv[0] ('/' and '\' both separate directories), cut before
// its first '.' (leading dots skipped). Null gives an empty name.
std::string program_name(const char *argv0);

RunMode classify_arguments(int argc, const char *const *argv);

// The numeric value of an argument: leading white space, an optional sign,
// then decimal digits up to the first other character; no digits gives 0.
// Values beyond the 32-bit range saturate to its largest or smallest int.
std::int32_t numeric_value(std::string_view text);

// The decimal text of a signed 32-bit int.
std::string number_to_text(std::int32_t value);

// Probes "tp" + n for n from the buffer's numeric value + 1 up to limit + 1
// and returns the first number whose record opens, or exists but cannot be
// opened (its conversion then fails), leaving its text in the buffer;
// nullopt when there is none, or once the run is asked to stop. Never counts
// past the largest int.
std::optional<std::int32_t> find_next_file(std::string &file_number_buffer,
                                           std::int32_t limit);

// How a walk over sets ended. Interrupted: the run was asked to stop
// (interruption.h); the set in progress, or the walk itself when no set
// was, has said so on standard error.
enum class WalkOutcome { AllConverted, SetFailed, Interrupted };

// Converts every available set after `start_text` up to limit + 1. On the
// first failed set the report is printed and the walk stops; on a request
// to stop the walk stops before the next probe or set.
// A long set shows its progress on `progress`, when given.
WalkOutcome run_batch(const std::string &start_text, std::int32_t limit,
                      const Diagnostics &diagnostics = Diagnostics(),
                      Progress *progress = nullptr);

// Converts each argument from argv[1] on, as typed, in order.
WalkOutcome run_list(int argc, const char *const *argv,
                     const Diagnostics &diagnostics = Diagnostics(),
                     Progress *progress = nullptr);

// The report lines for a failed set (result codes 1 to 17; any other code
// gets a generic line), with control characters in the number shown as '?'.
void report_conversion_error(const std::string &file_number,
                             ResultCode result_code);

// The whole program: returns the process exit status.
int run_program(int argc, const char *const *argv);

} // namespace parvane
