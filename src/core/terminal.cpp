#include "core/terminal.h"

#include <algorithm>
#include <cctype>

namespace parvane {

bool is_explorer_path(const std::string &argument) {
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  if (argument.size() >= 3 &&
      std::isalpha(static_cast<unsigned char>(argument[0])) &&
      argument[1] == ':' && separator(argument[2]))
    return true;
  return argument.size() >= 3 && separator(argument[0]) &&
         separator(argument[1]) && !separator(argument[2]);
}

bool pauses_before_closing(const ConsoleStart &start,
                           const std::vector<std::string> &arguments) {
  if (!start.sole_process || !start.input_is_console ||
      !start.output_is_console || start.under_wine)
    return false;
  return std::all_of(arguments.begin() + std::min<std::size_t>(arguments.size(), 1),
                     arguments.end(), is_explorer_path);
}

} // namespace parvane
