// Console lines: standard output only, each line flushed as soon as it ends.
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

} // namespace parvane
