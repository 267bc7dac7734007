#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/interruption.h"
#include "core/terminal.h"
#include "export/export_program.h"

int main(int argc, char **argv) {
  parvane::guard_standard_streams();
  parvane::watch_for_interruption();
  const std::vector<std::string> arguments =
      parvane::command_line_arguments(argc, argv);
  const int status = parvane::run_export(arguments);
  // A request that came after the last set still ends the run as asked.
  if (parvane::interruption_requested())
    parvane::end_as_interrupted();
  // Started from the Explorer, the console would close with the program;
  // --no-pause, as any option, keeps it from waiting.
  if (parvane::pauses_before_closing(parvane::console_start(), arguments))
    parvane::wait_for_key();
  return status;
}
