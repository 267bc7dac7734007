// One source file set in, one SCALA file set out.
#pragma once

#include <string>

namespace parvane {

// Result codes of `convert_file_set`. 1 to 8 name the first file that failed
// to open, 9 to 14 the first file that failed to be written.
enum ResultCode : int {
  RESULT_OK = 0,
  RESULT_OPEN_OLD_PARAMETER = 1,
  RESULT_OPEN_OLD_TOPOGRAPHY = 2,
  RESULT_OPEN_TEMP = 3,
  RESULT_OPEN_NEW_PARAMETER = 4,
  RESULT_OPEN_TOPOGRAPHY_FORWARD = 5,
  RESULT_OPEN_SPECTROSCOPY_FORWARD = 6,
  RESULT_OPEN_TOPOGRAPHY_BACKWARD = 7,
  RESULT_OPEN_SPECTROSCOPY_BACKWARD = 8,
  RESULT_WRITE_TEMP = 9,
  RESULT_WRITE_NEW_PARAMETER = 10,
  RESULT_WRITE_TOPOGRAPHY_FORWARD = 11,
  RESULT_WRITE_SPECTROSCOPY_FORWARD = 12,
  RESULT_WRITE_TOPOGRAPHY_BACKWARD = 13,
  RESULT_WRITE_SPECTROSCOPY_BACKWARD = 14,
};

// The name of the staging file, the same for every set.
inline constexpr const char *STAGING_FILE_NAME = "tmp.par";

// Converts the set named by `file_number` (used verbatim in every file name)
// in the working directory and returns its result code. On success it prints
// "File number <n> Done!" (after two warning lines when "tmp.par" could not be
// deleted); on failure it prints nothing.
int convert_file_set(const std::string &file_number);

} // namespace parvane
