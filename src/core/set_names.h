// The names of one set's files, composed in this one place: the probe of the
// batch walk, the conversion and the export all name files through it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace parvane {

// The name of the staging file, the same for every set.
inline constexpr const char *STAGING_FILE_NAME = "tmp.par";

// How the names of a set's sources begin: its record, topography and
// spectroscopy; the file number follows.
inline constexpr std::string_view SOURCE_PREFIXES[] = {"tp", "tz", "ts"};

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

// Whether `text` is one or more decimal digits, as a file number found in a
// directory listing must be.
bool is_decimal(std::string_view text);

// The one file the export writes for a set: "m" + file number + ".gwy".
std::string gwy_export_name(const std::string &file_number);

// The name under which an output is written before it is renamed to
// `final_name` (a path; the temporary lies in the same directory):
// ".pvx-" + 16 hexadecimal digits of a hash of the final name's last
// component + "-" + process number + "-" + attempt + ".tmp". Its length does
// not grow with the final name's, so a final name the file system takes
// always has a temporary it takes too, and a later run can tell the
// leftovers of a killed one for a given output by their name alone.
std::string temporary_name_for(std::string_view final_name,
                               std::uint64_t process, int attempt);

// How every such temporary's name begins.
inline constexpr std::string_view TEMPORARY_PREFIX = ".pvx-";

// Whether `name` (a path, or a name alone) is a temporary that
// `temporary_name_for` makes for `final_name`, by any process and attempt.
bool is_temporary_name_for(std::string_view name, std::string_view final_name);

// FNV-1a, 64 bits, over `bytes`: a hash that every build on every system
// computes alike, so that the temporaries' names do not change with the
// compiler or its standard library.
std::uint64_t stable_name_hash(std::string_view bytes);

} // namespace parvane
