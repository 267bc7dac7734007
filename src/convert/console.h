// Console lines: standard output only, each line flushed as soon as it ends.
#pragma once

#include <string_view>

namespace parvane {

// Writes `text`, a newline, and flushes standard output.
void print_line(std::string_view text);

} // namespace parvane
