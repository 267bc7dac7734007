// One source file set in, one SCALA file set out.
#pragma once

#include <string>

#include "core/console.h"
#include "core/progress.h"

namespace parvane {

// Result codes of `convert_file_set`. 1 to 8 name the first file that failed
// to open, 9 to 14 the first file that failed to be written, 15 to 17 the
// first source whose read the system failed.
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
  RESULT_READ_OLD_PARAMETER = 15,
  RESULT_READ_OLD_TOPOGRAPHY = 16,
  RESULT_READ_OLD_SPECTROSCOPY = 17,
  // No failure of the set: the run was asked to stop while converting it,
  // and the files it had begun were removed. Never reported as an error.
  RESULT_INTERRUPTED = 18,
};
inline constexpr int LAST_RESULT_CODE = RESULT_READ_OLD_SPECTROSCOPY;

// Which file made a set fail, named as the user would type it, and why: the
// system's words for its errors, fixed words for the converter's refusals.
struct SetFailure {
  std::string file;
  std::string reason;
};

// Converts the set named by `file_number` (used verbatim in every file name)
// in the working directory and returns its result code. A file number that
// holds a directory separator or a control character names no set of this
// directory: result 1, nothing opened. On success it prints
// "File number <n> Done!" (after two warning lines, and their reason on
// standard error, when "tmp.par" could not be deleted); on failure it prints
// nothing and fills `failure`, when given, for the caller to report after
// its report lines. Warnings, and the note of a wait for another conversion,
// go to `diagnostics`, on standard error.
//
// When the run is asked to stop (interruption.h) while the set is in
// progress, the conversion stops at its next read or write, deletes every
// output it had emptied or created and the staging file when it had emptied
// it (any it could not is named on `diagnostics`), and returns
// RESULT_INTERRUPTED, with `failure` holding the line that says so.
//
// A long set shows its progress on `progress`, if given, erased before the
// set's own lines.
ResultCode convert_file_set(const std::string &file_number,
                            const Diagnostics &diagnostics = Diagnostics(),
                            SetFailure *failure = nullptr,
                            Progress *progress = nullptr);

} // namespace parvane
