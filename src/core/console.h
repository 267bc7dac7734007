// Console lines on standard output, each line flushed as soon as it ends, and
// diagnostics on standard error.
#pragma once

#include <string>
#include <string_view>

namespace parvane {

// Writes `text`, a newline, and flushes standard output. A failed write
// changes nothing here; `console_intact` tells of it afterwards.
void print_line(std::string_view text);

// False when any console line so far could not be written in full.
bool console_intact();

// One line on standard error saying that console lines were lost.
void report_console_failure(const std::string &program_name);

// Bytes 0 to 31 and 127: a line feed or carriage return among them in a name
// echoed to a console or written into a file of lines could forge a line.
bool is_control_character(char c);

// `text` with every control character shown as '?', so that a name echoed to
// a console can neither end a line nor forge one.
std::string printable(std::string_view text);

// The working directory as the user would type it, ready to echo; a generic
// phrase when the system cannot tell it or spell it.
std::string working_directory_shown();

// Where a run says what went wrong, where and why: one line per problem on
// standard error, after the console lines it explains, prefixed with the
// program's name. Standard output is never touched, so the console lines
// that other programs read stay as they are.
class Diagnostics {
public:
  // The name a line carries when the program's own is unknown (no argv[0],
  // or one that names nothing): the converter's, as stored logs have it.
  static constexpr std::string_view DEFAULT_PROGRAM = "parvane-convert";

  Diagnostics() = default;
  explicit Diagnostics(std::string program_name);

  // "<program>: <file>: <reason>", the file as the user would type it.
  void report(std::string_view file, std::string_view reason) const;
  // "<program>: <text>", for what concerns no single file.
  void note(std::string_view text) const;

  const std::string &program_name() const { return program_; }

private:
  std::string program_{DEFAULT_PROGRAM};
};

} // namespace parvane
