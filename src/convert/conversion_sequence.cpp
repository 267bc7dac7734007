#include "convert/conversion_sequence.h"

#include <cstdio>
#include <optional>

#include "convert/console.h"
#include "convert/file_io.h"
#include "convert/parameter_writer.h"
#include "convert/sample_planes.h"
#include "convert/source_record.h"

namespace parvane {
namespace {

// The names of one set's files: a fixed prefix, the file number verbatim and,
// for the outputs, a fixed suffix.
struct SetNames {
  std::string old_parameters, old_topography, old_spectroscopy;
  std::string new_parameters, topography_forward, spectroscopy_forward;
  std::string topography_backward, spectroscopy_backward;
};

SetNames names_for(const std::string &n) {
  return {"tp" + n,           "tz" + n,           "ts" + n,
          "m" + n + "_ori.par", "m" + n + "_ori.tf0", "m" + n + "_ori.sf0",
          "m" + n + "_ori.tb0", "m" + n + "_ori.sb0"};
}

// The first sample of the backward topography plane: where the forward plane
// stopped reading.
std::int64_t plane_sample_count(std::int32_t size_x, std::int32_t size_y) {
  if (size_x <= 0 || size_y <= 0)
    return 0;
  return std::int64_t{size_x} * size_y;
}

// Converts one plane into a freshly opened output and closes it; a failed
// write or close gives `write_code`.
template <typename Convert>
int fill_and_close(File &output, int write_code, Convert convert) {
  bool written = convert(output);
  bool closed = output.close();
  return written && closed ? RESULT_OK : write_code;
}

void delete_staging_file() {
  if (std::remove(STAGING_FILE_NAME) == 0)
    return;
  print_line("Warning ! Could not delete temperary parameter file !");
  print_line("Continuing..");
}

} // namespace

int convert_file_set(const std::string &file_number) {
  const SetNames names = names_for(file_number);

  std::optional<File> old_parameters = File::open_source(names.old_parameters);
  if (!old_parameters)
    return RESULT_OPEN_OLD_PARAMETER;
  std::optional<File> old_topography = File::open_source(names.old_topography);
  if (!old_topography)
    return RESULT_OPEN_OLD_TOPOGRAPHY;
  std::optional<File> old_spectroscopy =
      File::open_source(names.old_spectroscopy);
  const bool has_spectroscopy = old_spectroscopy.has_value();

  std::optional<File> staging = File::create_scratch(STAGING_FILE_NAME);
  if (!staging)
    return RESULT_OPEN_TEMP;
  const std::int64_t record_length = make_staging_copy(*old_parameters, *staging);
  if (record_length < 0)
    return RESULT_WRITE_TEMP;

  std::optional<File> new_parameters = File::create_output(names.new_parameters);
  if (!new_parameters)
    return RESULT_OPEN_NEW_PARAMETER;
  std::optional<File> topography_out =
      File::create_output(names.topography_forward);
  if (!topography_out)
    return RESULT_OPEN_TOPOGRAPHY_FORWARD;
  std::optional<File> spectroscopy_out;
  if (has_spectroscopy) {
    spectroscopy_out = File::create_output(names.spectroscopy_forward);
    if (!spectroscopy_out)
      return RESULT_OPEN_SPECTROSCOPY_FORWARD;
  }

  const SourceParameters parameters =
      read_source_parameters(*staging, record_length, *old_parameters);
  const std::int32_t size_x = parameters.image_size_x;
  const std::int32_t size_y = parameters.image_size_y;
  const bool dual_mode = parameters.forward_only == 0;

  int code = fill_and_close(
      *topography_out, RESULT_WRITE_TOPOGRAPHY_FORWARD, [&](File &out) {
        return copy_topography_plane(*old_topography, 0, out, size_x, size_y);
      });
  if (code != RESULT_OK)
    return code;

  if (dual_mode) {
    topography_out = File::create_output(names.topography_backward);
    if (!topography_out)
      return RESULT_OPEN_TOPOGRAPHY_BACKWARD;
    code = fill_and_close(
        *topography_out, RESULT_WRITE_TOPOGRAPHY_BACKWARD, [&](File &out) {
          return copy_topography_plane(*old_topography,
                                       plane_sample_count(size_x, size_y), out,
                                       size_x, size_y);
        });
    if (code != RESULT_OK)
      return code;
  }

  if (has_spectroscopy) {
    code = fill_and_close(
        *spectroscopy_out, RESULT_WRITE_SPECTROSCOPY_FORWARD, [&](File &out) {
          return copy_spectroscopy_planes(*old_spectroscopy, out, size_x,
                                          size_y,
                                          parameters.spec_points_forward, 0);
        });
    if (code != RESULT_OK)
      return code;
    if (dual_mode) {
      spectroscopy_out = File::create_output(names.spectroscopy_backward);
      if (!spectroscopy_out)
        return RESULT_OPEN_SPECTROSCOPY_BACKWARD;
      code = fill_and_close(
          *spectroscopy_out, RESULT_WRITE_SPECTROSCOPY_BACKWARD, [&](File &out) {
            return copy_spectroscopy_planes(*old_spectroscopy, out, size_x,
                                            size_y,
                                            parameters.spec_points_backward,
                                            size_y);
          });
      if (code != RESULT_OK)
        return code;
    }
  }

  const ParameterFileContext context{file_number, size_x, size_y,
                                     has_spectroscopy, dual_mode};
  code = fill_and_close(*new_parameters, RESULT_WRITE_NEW_PARAMETER,
                        [&](File &out) {
                          return write_parameter_file(out, parameters, context);
                        });
  if (code != RESULT_OK)
    return code;
  if (!staging->close())
    return RESULT_WRITE_TEMP;
  // The sources are read-only; closing them cannot lose data.
  old_topography->close();
  old_parameters->close();
  if (old_spectroscopy)
    old_spectroscopy->close();

  delete_staging_file();
  print_line("File number " + file_number + " Done!");
  return RESULT_OK;
}

} // namespace parvane
