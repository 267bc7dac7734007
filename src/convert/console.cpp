#include "convert/console.h"

#include <cstdio>

namespace parvane {

void print_line(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

} // namespace parvane
