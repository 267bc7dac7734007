#include "convert/file_io.h"
#include "export/export_program.h"

int main(int argc, char **argv) {
  parvane::guard_standard_streams();
  return parvane::run_export(argc, argv);
}
