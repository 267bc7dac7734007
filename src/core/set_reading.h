// A set read for its physical values: the record, the layout, the scales of
// its images and volumes, and every check that can be made before a sample
// is read. Every program that gives physical values (the GWY export, the
// Python module) reads a set through here, so that each refuses the same
// sets for the same reasons and scales the same samples alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/physical_model.h"
#include "core/set_layout.h"
#include "core/source_record.h"
#include "core/tile_pipeline.h"

namespace parvane {

// The open sources of one set. `spectroscopy` is null for a set without one.
// The names are the files' base names, as the refusals name them.
struct SetFiles {
  const File *record = nullptr;
  const File *topography = nullptr;
  const File *spectroscopy = nullptr;
  std::string record_name, topography_name, spectroscopy_name;
};

enum class SetStatus {
  Done,
  ReadFailed,   // the system failed a read of `file`
  ShortSource,  // `file` holds fewer bytes than the set needs
  EndedWhileRead, // a read of `file` came back short: it was cut meanwhile
  NotFinite,    // a physical scale or size of the set is not a finite number
                // (or, for the field size, not above zero)
  NoImage,      // the record's image size is 0 or less: there is no image
  TooLarge,     // the set's byte positions, or an output, exceed what fits
  WriteFailed,  // an output could not be written
};

// What a step found. `file` names the source concerned (or is empty), and
// `reason` is one line for the user, ready to print after "<file>: ".
struct SetResult {
  SetStatus status = SetStatus::Done;
  std::string file;
  std::string reason;
  bool ok() const { return status == SetStatus::Done; }
};

// Whether a source shorter than the set needs refuses the set, or is read
// with its missing samples left for the reader to fill (a set copied while
// still being acquired).
enum class ShortSources { Refuse, Allow };

// One sample array of the set (an image, or the levels of a volume): where
// its samples lie in its source, and what each is worth.
struct SetPlane {
  const File *source = nullptr;
  SpectroscopyBlock block;
  tiles::Physical physical;
};

struct SetVolume {
  Direction direction = Direction::Forward;
  std::int32_t points = 0;
  float start = 0, end = 0; // the record's bias sweep, in volts
  SetPlane plane;
  double bias(std::int64_t level) const {
    return bias_level(points, start, end, level);
  }
};

struct PhysicalSet {
  SourceParameters p;
  SetLayout layout;
  SourceExtents extents;
  std::int32_t x = 0, y = 0;
  bool dual = false;
  double xreal = 0, yreal = 0; // the field, in metres
  CurrentCalibration current;
  std::vector<SetPlane> images;   // forward, then backward
  std::vector<SetVolume> volumes; // forward, then backward; none without points
};

// Reads the record of `files` and plans the set's arrays, after every check
// that can be made before a sample is read; `set` is whole only when the
// result is ok.
SetResult read_physical_set(const SetFiles &files,
                            const CurrentCalibration &current,
                            ShortSources short_sources, PhysicalSet &set);

} // namespace parvane
