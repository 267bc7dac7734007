#include "export/gwy_export.h"

namespace parvane {

// Placeholder until the serialiser lands.
ExportResult plan_gwy_export(const ExportSources &, std::int64_t &file_bytes) {
  file_bytes = 4;
  return {};
}

ExportResult write_gwy_export(const ExportSources &, File &out) {
  static constexpr std::uint8_t MAGIC[] = {'G', 'W', 'Y', 'P'};
  if (!out.append(MAGIC))
    return {ExportStatus::WriteFailed, "", "write failed"};
  return {};
}

} // namespace parvane
