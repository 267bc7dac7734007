// The parvane-export program: its command line, the sets it names, and for
// each set one GWY file that appears under its final name only once it is
// complete.
#pragma once

#include <string>
#include <vector>

namespace parvane {

inline constexpr int EXPORT_ALL_DONE = 0;
inline constexpr int EXPORT_SET_FAILED = 1; // the others are still exported
inline constexpr int EXPORT_USAGE_ERROR = 2;

// The whole program, given its arguments as UTF-8 text (arguments[0] the
// program's own name): returns the process exit status.
int run_export(const std::vector<std::string> &arguments);

// The same for the arguments of `main`, read as `command_line_arguments`
// reads them.
int run_export(int argc, char **argv);

} // namespace parvane
