#include "driver/driver.h"

int main(int argc, char **argv) { return parvane::run_program(argc, argv); }
