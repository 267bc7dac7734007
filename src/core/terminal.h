// What the programs ask of the terminal or console they run in: whether
// standard error is one (for the progress line), and, on Windows, whether
// the program was started from the Explorer (a double-click, or files
// dropped onto it), whose console closes with the program unless it waits
// for a key. One implementation per system family, in terminal_posix.cpp
// and terminal_win32.cpp; the decisions are in terminal.cpp.
#pragma once

#include <string>
#include <vector>

namespace parvane {

// Whether standard error is a terminal (on Windows, a console).
bool standard_error_is_terminal();

// How the console of a program looks at its start (all false off Windows).
struct ConsoleStart {
  bool sole_process = false;      // the program is its console's only process
  bool input_is_console = false;  // standard input is the console
  bool output_is_console = false; // standard output is the console
  // Running under Wine, which gives a program run from a Unix terminal (a
  // shell, a script) a console of its own, as the Explorer would: there
  // the program never waits.
  bool under_wine = false;
  bool operator==(const ConsoleStart &) const = default;
};
ConsoleStart console_start();

// Whether `argument` is a path as the Explorer passes one: absolute, with
// its drive ("C:\data\tp7") or a share ("\\lab\data").
bool is_explorer_path(const std::string &argument);

// Whether the program waits for a key before it ends: only when the
// Explorer started it, that is when it alone has the console (not under
// Wine), standard input and output are that console, and the arguments (`arguments[0]` the
// program's name) are none or all paths. A run from a prompt, a script, a
// scheduled task or with any option (--no-pause, say) never waits.
bool pauses_before_closing(const ConsoleStart &start,
                           const std::vector<std::string> &arguments);

// Asks on the console itself (never standard output) to press a key, and
// waits for one. Does nothing where there is no console.
void wait_for_key();

} // namespace parvane
