// One source set as one Gwyddion GWY file: the topography planes as images,
// the spectroscopy grid as volume data, in physical units, with the record's
// settings as metadata.
//
// The file is written front to back in one pass, in constant memory: every
// object's size is computed before its bytes are written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/file_io.h"
#include "core/set_reading.h"
#include "core/progress.h"
#include "core/source_record.h"

namespace parvane {

// The open sources of one set. `spectroscopy` is null for a set without one.
// The names are the files' base names, as provenance in the GWY file shows
// them (never directory names: the same sources give the same bytes
// wherever they lie).
struct ExportSources {
  std::string file_number;
  const File *record = nullptr;
  const File *topography = nullptr;
  const File *spectroscopy = nullptr;
  std::string record_name, topography_name, spectroscopy_name;
  // The current's calibration: the converter's unless the user set one.
  CurrentCalibration current = {};
};

// The export's name, in its diagnostics and as the maker of each GWY file.
inline constexpr char EXPORT_PROGRAM[] = "parvane-export";

// What an export step found: the core's refusals of a set (see
// core/set_reading.h), and the export's own (TooLarge, WriteFailed).
using ExportStatus = SetStatus;
using ExportResult = SetResult;

// A set's GWY file as planned: every object, its exact size, and what the
// program tells of the set besides. It refers to the sources it was planned
// from, which must stay open until it is written.
struct GwyExportPlan {
  std::int64_t file_bytes = 0;
  // The forward spectroscopy points per pixel the record announces: a set
  // exported without spectroscopy is worth a warning when it is above 0.
  std::int32_t announced_points = 0;
  // The bytes of samples the file is made from, in their sources: what its
  // progress counts.
  std::int64_t source_bytes = 0;
  struct Content;
  std::shared_ptr<const Content> content;
};

// Plans the GWY file for these sources, after every check that can be made
// before writing (short sources, scales that are not finite, the format's
// size limit); `plan` is set only when the result is ok.
ExportResult plan_gwy_export(const ExportSources &sources, GwyExportPlan &plan);

// Whether `output`, a GWY file of the planned sources, is up to date:
// changed after every source (an export takes the time its writing began,
// so a source changed meanwhile is newer), and stating in its metadata
// every row an export of them now would: the program, the settings as read
// and calibrated now, the very sources with the sizes they have now.
// Anything the system cannot tell, or a file that is no export, makes it
// out of date.
bool export_is_current(const GwyExportPlan &planned, const File &output);

// Writes the whole planned file to `out` from its current end on, which must
// be where its appending stands (a freshly emptied file: its start). The file
// is written with positional writes, so nothing may be appended to `out`
// afterwards. The samples done go to `progress`, if any.
ExportResult write_gwy_export(const GwyExportPlan &plan, File &out,
                              Progress *progress = nullptr);

} // namespace parvane
