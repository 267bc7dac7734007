#include "core/file_io.h"
#include "core/interruption.h"
#include "export/export_program.h"

int main(int argc, char **argv) {
  parvane::guard_standard_streams();
  parvane::watch_for_interruption();
  const int status = parvane::run_export(argc, argv);
  // A request that came after the last set still ends the run as asked.
  if (parvane::interruption_requested())
    parvane::end_as_interrupted();
  return status;
}
