// The names of one set's files, composed in this one place: the probe of the
// batch walk, the conversion and the export all name files through it.
#pragma once

#include <string>

namespace parvane {

// The name of the staging file, the same for every set.
inline constexpr const char *STAGING_FILE_NAME = "tmp.par";

// A fixed prefix, the file number verbatim and, for the outputs, a fixed
// suffix.
struct SetNames {
  std::string old_parameters, old_topography, old_spectroscopy;
  std::string new_parameters, topography_forward, spectroscopy_forward;
  std::string topography_backward, spectroscopy_backward;
};

// The source record of a set alone: what the walk probes for.
std::string old_parameter_name(const std::string &file_number);

SetNames set_names(const std::string &file_number);

// The one file the export writes for a set: "m" + file number + ".gwy".
std::string gwy_export_name(const std::string &file_number);

} // namespace parvane
