#include "convert/conversion_sequence.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "convert/console.h"
#include "convert/file_io.h"
#include "convert/parameter_writer.h"
#include "convert/sample_planes.h"
#include "convert/set_names.h"
#include "convert/source_extent.h"
#include "convert/source_record.h"

namespace parvane {
namespace {

// The first sample of the backward topography plane: where the forward plane
// stopped reading.
std::int64_t plane_sample_count(std::int32_t size_x, std::int32_t size_y) {
  if (size_x <= 0 || size_y <= 0)
    return 0;
  return std::int64_t{size_x} * size_y;
}

// A step's outcome as a result code: `read_code` for a failed read of its
// source, `write_code` for a failed write.
ResultCode result_of(IoOutcome outcome, ResultCode read_code,
                     ResultCode write_code) {
  switch (outcome) {
  case IoOutcome::Done: return RESULT_OK;
  case IoOutcome::ReadFailed: return read_code;
  case IoOutcome::WriteFailed: return write_code;
  }
  return write_code;
}

// Converts one plane into a freshly opened output and closes it; a failed
// read gives `read_code`, a failed write or close `write_code`.
template <typename Convert>
ResultCode fill_and_close(File &output, ResultCode read_code,
                          ResultCode write_code, Convert convert) {
  const IoOutcome outcome = convert(output);
  const bool closed = output.close();
  if (outcome == IoOutcome::Done && !closed)
    return write_code;
  return result_of(outcome, read_code, write_code);
}

bool names_a_set_here(const std::string &file_number) {
  return std::none_of(file_number.begin(), file_number.end(),
                      is_directory_separator);
}

// Every file this conversion has opened, by identity. A file it is about to
// empty must be none of them: through a link, emptying an output could
// destroy a source or an output already written.
class SetFiles {
public:
  // Records an opened source (or nothing); false when the system cannot
  // tell which file it is.
  bool add(const std::optional<File> &file) {
    if (!file)
      return true;
    std::optional<FileIdentity> id = file->identity();
    if (!id)
      return false;
    identities_.push_back(*id);
    return true;
  }

  // Empties a freshly opened file to write, unless it is one of the set's
  // files already open; nullopt then, with nothing emptied.
  std::optional<File> empty_if_new(std::optional<File> file) {
    if (!file)
      return std::nullopt;
    std::optional<FileIdentity> id = file->identity();
    if (!id || std::find(identities_.begin(), identities_.end(), *id) !=
                   identities_.end())
      return std::nullopt;
    if (!file->truncate())
      return std::nullopt;
    identities_.push_back(*id);
    return file;
  }

  std::optional<File> create_output(const std::string &name) {
    return empty_if_new(File::open_output(name));
  }

private:
  std::vector<FileIdentity> identities_;
};

// Deletes the staging file while it is still open and locked, so that no
// other conversion can have reused it in the meantime.
void delete_staging_file(File &staging) {
  const bool deleted = staging.remove(STAGING_FILE_NAME);
  staging.close();
  if (deleted)
    return;
  print_line("Warning ! Could not delete temperary parameter file !");
  print_line("Continuing..");
}

} // namespace

ResultCode convert_file_set(const std::string &file_number,
                            [[maybe_unused]] const Diagnostics &diagnostics) {
  if (!names_a_set_here(file_number))
    return RESULT_OPEN_OLD_PARAMETER;
  const SetNames names = set_names(file_number);
  SetFiles set;

  std::optional<File> old_parameters = File::open_source(names.old_parameters);
  if (!old_parameters || !set.add(old_parameters))
    return RESULT_OPEN_OLD_PARAMETER;
  std::optional<File> old_topography = File::open_source(names.old_topography);
  if (!old_topography || !set.add(old_topography))
    return RESULT_OPEN_OLD_TOPOGRAPHY;
  std::optional<File> old_spectroscopy =
      File::open_source(names.old_spectroscopy);
  if (!set.add(old_spectroscopy))
    old_spectroscopy.reset();
  const bool has_spectroscopy = old_spectroscopy.has_value();

  std::optional<File> staging =
      set.empty_if_new(File::open_staging(STAGING_FILE_NAME));
  if (!staging)
    return RESULT_OPEN_TEMP;
  const StagingCopy copy = make_staging_copy(*old_parameters, *staging);
  ResultCode code = result_of(copy.outcome, RESULT_READ_OLD_PARAMETER,
                       RESULT_WRITE_TEMP);
  if (code != RESULT_OK)
    return code;

  std::optional<File> new_parameters = set.create_output(names.new_parameters);
  if (!new_parameters)
    return RESULT_OPEN_NEW_PARAMETER;
  std::optional<File> topography_out =
      set.create_output(names.topography_forward);
  if (!topography_out)
    return RESULT_OPEN_TOPOGRAPHY_FORWARD;
  std::optional<File> spectroscopy_out;
  if (has_spectroscopy) {
    spectroscopy_out = set.create_output(names.spectroscopy_forward);
    if (!spectroscopy_out)
      return RESULT_OPEN_SPECTROSCOPY_FORWARD;
  }

  const std::optional<SourceParameters> parameters = read_source_parameters(
      *staging, copy.record_length, *old_parameters);
  if (!parameters)
    return RESULT_READ_OLD_PARAMETER;
  const std::int32_t size_x = parameters->image_size_x;
  const std::int32_t size_y = parameters->image_size_y;
  const bool dual_mode = parameters->forward_only == 0;
  // A source cut short converts all the same, but never silently: measured
  // now, told once the set is done.
  const SourceSizes source_sizes{
      copy.record_length, old_topography->size(),
      has_spectroscopy ? old_spectroscopy->size() : 0};
  const SourceExtents extents =
      source_extents(*parameters, has_spectroscopy, dual_mode);

  code = fill_and_close(
      *topography_out, RESULT_READ_OLD_TOPOGRAPHY,
      RESULT_WRITE_TOPOGRAPHY_FORWARD, [&](File &out) {
        return copy_topography_plane(*old_topography, 0, out, size_x, size_y);
      });
  if (code != RESULT_OK)
    return code;

  if (dual_mode) {
    topography_out = set.create_output(names.topography_backward);
    if (!topography_out)
      return RESULT_OPEN_TOPOGRAPHY_BACKWARD;
    code = fill_and_close(
        *topography_out, RESULT_READ_OLD_TOPOGRAPHY,
        RESULT_WRITE_TOPOGRAPHY_BACKWARD, [&](File &out) {
          return copy_topography_plane(*old_topography,
                                       plane_sample_count(size_x, size_y), out,
                                       size_x, size_y);
        });
    if (code != RESULT_OK)
      return code;
  }

  if (has_spectroscopy) {
    code = fill_and_close(
        *spectroscopy_out, RESULT_READ_OLD_SPECTROSCOPY,
        RESULT_WRITE_SPECTROSCOPY_FORWARD, [&](File &out) {
          return copy_spectroscopy_planes(*old_spectroscopy, out, size_x,
                                          size_y,
                                          parameters->spec_points_forward, 0);
        });
    if (code != RESULT_OK)
      return code;
    if (dual_mode) {
      spectroscopy_out = set.create_output(names.spectroscopy_backward);
      if (!spectroscopy_out)
        return RESULT_OPEN_SPECTROSCOPY_BACKWARD;
      code = fill_and_close(
          *spectroscopy_out, RESULT_READ_OLD_SPECTROSCOPY,
          RESULT_WRITE_SPECTROSCOPY_BACKWARD, [&](File &out) {
            return copy_spectroscopy_planes(*old_spectroscopy, out, size_x,
                                            size_y,
                                            parameters->spec_points_backward,
                                            size_y);
          });
      if (code != RESULT_OK)
        return code;
    }
  }

  const ParameterFileContext context{file_number, size_x, size_y,
                                     has_spectroscopy, dual_mode};
  code = fill_and_close(*new_parameters, RESULT_READ_OLD_PARAMETER,
                        RESULT_WRITE_NEW_PARAMETER, [&](File &out) {
                          return write_parameter_file(out, *parameters, context)
                                     ? IoOutcome::Done
                                     : IoOutcome::WriteFailed;
                        });
  if (code != RESULT_OK)
    return code;
  // The sources are read-only; closing them cannot lose data.
  old_topography->close();
  old_parameters->close();
  if (old_spectroscopy)
    old_spectroscopy->close();

  delete_staging_file(*staging);
  report_short_sources(names, source_sizes, extents, diagnostics);
  print_line("File number " + file_number + " Done!");
  return RESULT_OK;
}

} // namespace parvane
