#include "convert/set_names.h"

namespace parvane {

std::string old_parameter_name(const std::string &file_number) {
  return "tp" + file_number;
}

SetNames set_names(const std::string &file_number) {
  const auto output = [&](const char *suffix) {
    return "m" + file_number + suffix;
  };
  return {old_parameter_name(file_number),
          "tz" + file_number,
          "ts" + file_number,
          output("_ori.par"),
          output("_ori.tf0"),
          output("_ori.sf0"),
          output("_ori.tb0"),
          output("_ori.sb0")};
}

std::string gwy_export_name(const std::string &file_number) {
  return "m" + file_number + ".gwy";
}

} // namespace parvane
