#include "convert/console.h"

#include <cstdio>

namespace parvane {

void print_line(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// The stream keeps its error indicator from the first failed write on, so
// the run needs no state of its own to remember it.
bool console_intact() {
  return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

void report_console_failure(const std::string &program_name) {
  const std::string line =
      (program_name.empty() ? std::string("parvane-convert") : program_name) +
      ": Couldn't write to standard output; console lines were lost\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

} // namespace parvane
