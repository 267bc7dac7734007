#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/interruption.h"
#include "core/terminal.h"
#include "driver/driver.h"

int main(int argc, char **argv) {
  parvane::guard_standard_streams();
  parvane::watch_for_interruption();
  const std::vector<std::string> arguments =
      parvane::command_line_arguments(argc, argv);
  std::vector<const char *> pointers;
  for (const std::string &argument : arguments)
    pointers.push_back(argument.c_str());
  pointers.push_back(nullptr);
  const int status = parvane::run_program(static_cast<int>(arguments.size()),
                                          pointers.data());
  // A request that came after the last set (the walk had said it was done)
  // still ends the run as asked, so that a loop of runs stops too.
  if (parvane::interruption_requested())
    parvane::end_as_interrupted();
  // Started from the Explorer, the console would close with the program.
  if (parvane::pauses_before_closing(parvane::console_start(), arguments))
    parvane::wait_for_key();
  return status;
}
