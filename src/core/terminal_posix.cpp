#include "core/terminal.h"

#include <unistd.h>

namespace parvane {

bool standard_error_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

// A terminal window outlives the programs run in it: nothing to wait for.
ConsoleStart console_start() { return {}; }

void wait_for_key() {}

} // namespace parvane
