#include <string>
#include <vector>

#include "convert/file_io.h"
#include "driver/driver.h"

int main(int argc, char **argv) {
  parvane::guard_standard_streams();
  const std::vector<std::string> arguments =
      parvane::command_line_arguments(argc, argv);
  std::vector<const char *> pointers;
  for (const std::string &argument : arguments)
    pointers.push_back(argument.c_str());
  pointers.push_back(nullptr);
  return parvane::run_program(static_cast<int>(arguments.size()),
                              pointers.data());
}
