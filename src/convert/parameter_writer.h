// The text of the SCALA parameter file ("m" + file number + "_ori.par"): the
// rows of the settings table (core/scala_settings.h) that the set has, each a
// line ended by CR LF. The record's text fields keep every byte except a
// carriage return or line feed, each written as a space.
#pragma once

#include <cstdint>
#include <string>

#include "core/file_io.h"
#include "core/source_record.h"

namespace parvane {

// What the conversion itself contributes to the parameter file.
struct ParameterFileContext {
  std::string file_number;
  std::int32_t image_size_x = 0;
  std::int32_t image_size_y = 0;
  bool has_spectroscopy = false;
  bool dual_mode = false;
};

// The whole parameter file text, every line ended by CR LF.
std::string compose_parameter_file(const SourceParameters &parameters,
                                   const ParameterFileContext &context);

// Writes the composed text to the freshly emptied parameter file. Returns
// false when a write failed.
bool write_parameter_file(File &parameter_file,
                          const SourceParameters &parameters,
                          const ParameterFileContext &context);

} // namespace parvane
