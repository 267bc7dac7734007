#include "convert/file_io.h"
#include "driver/driver.h"

int main(int argc, char **argv) {
  parvane::guard_standard_streams();
  return parvane::run_program(argc, argv);
}
