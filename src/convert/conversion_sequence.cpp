#include "convert/conversion_sequence.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/console.h"
#include "core/file_io.h"
#include "core/interruption.h"
#include "convert/parameter_writer.h"
#include "convert/sample_planes.h"
#include "core/set_names.h"
#include "core/set_layout.h"
#include "core/source_record.h"

namespace parvane {
namespace {

// The first sample of the backward topography plane: where the forward plane
// stopped reading.
std::int64_t plane_sample_count(std::int32_t size_x, std::int32_t size_y) {
  if (size_x <= 0 || size_y <= 0)
    return 0;
  return std::int64_t{size_x} * size_y;
}

// Where the conversion keeps why it failed, for the caller to report.
class FailureNote {
public:
  explicit FailureNote(SetFailure *failure) : failure_(failure) {}

  ResultCode fail(ResultCode code, const std::string &file,
                  std::string reason) const {
    if (failure_ != nullptr)
      *failure_ = SetFailure{file, std::move(reason)};
    return code;
  }
  ResultCode fail(ResultCode code, const std::string &file,
                  const std::error_code &error) const {
    // A step that failed without a system error went beyond what this
    // system can hold (a plane past the file offsets, or no memory for it).
    return fail(code, file,
                error ? describe(error)
                      : std::string("larger than this system can write"));
  }

private:
  SetFailure *failure_;
};

// A file of the conversion with the name it was opened under.
struct Named {
  const File &file;
  const std::string &name;
};

// Converts one plane into a freshly opened output and closes it; a failed
// read gives `read_code` and names the source, a failed write or close
// `write_code` and names the output.
template <typename Convert>
ResultCode fill_and_close(File &output, const std::string &output_name,
                          Named source, ResultCode read_code,
                          ResultCode write_code, const FailureNote &note,
                          Convert convert) {
  IoOutcome outcome = convert(output);
  if (!output.close() && outcome == IoOutcome::Done)
    outcome = IoOutcome::WriteFailed;
  switch (outcome) {
  case IoOutcome::Done: return RESULT_OK;
  case IoOutcome::ReadFailed:
    return note.fail(read_code, source.name, source.file.failure());
  case IoOutcome::WriteFailed: break;
  }
  return note.fail(write_code, output_name, output.failure());
}

bool is_control_character(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 32 || byte == 127;
}

// Why a file number names no set of this directory; empty when it does.
std::string number_refusal(const std::string &file_number) {
  if (std::any_of(file_number.begin(), file_number.end(),
                  is_directory_separator))
    return "a file number with a directory separator names no set of this "
           "directory";
  // A line feed or carriage return in a name echoed to the console or
  // written into the parameter file could forge a line there.
  if (std::any_of(file_number.begin(), file_number.end(),
                  is_control_character))
    return "a file number with a control character names no set";
  return {};
}

// Every file this conversion has opened, by identity. A file it is about to
// empty must be none of them: through a link, emptying an output could
// destroy a source or an output already written. It also keeps what the
// conversion has begun, should the run be asked to stop: the outputs it
// emptied (or created) and the staging file, which it holds open, and so
// locked, for as long as the set is in progress.
class SetFiles {
public:
  SetFiles() = default;
  SetFiles(const SetFiles &) = delete;
  SetFiles &operator=(const SetFiles &) = delete;

  // Records an opened source (or nothing); false when the system cannot
  // tell which file it is.
  bool add(const std::optional<File> &file, const std::string &name) {
    if (!file)
      return true;
    std::optional<FileIdentity> id = file->identity();
    if (!id)
      return false;
    files_.push_back({*id, name});
    return true;
  }

  // Opens a source the set cannot do without and records it; nullopt, with
  // `error` saying why, when it cannot be opened or told apart from the
  // set's other files.
  std::optional<File> open_required(const std::string &name,
                                    std::error_code &error) {
    std::optional<File> file = File::open_source(name, error);
    if (file && !add(file, name)) {
      error = FileRefusal::UnknownIdentity;
      return std::nullopt;
    }
    return file;
  }

  // Empties a freshly opened file to write, unless it is one of the set's
  // files already open; nullopt then, with nothing emptied and `reason`
  // saying why.
  std::optional<File> empty_if_new(std::optional<File> file,
                                   const std::string &name,
                                   std::string &reason) {
    if (!file)
      return std::nullopt;
    std::optional<FileIdentity> id = file->identity();
    if (!id) {
      reason = describe(FileRefusal::UnknownIdentity);
      return std::nullopt;
    }
    const std::string *same = set_file_named(*id);
    if (same != nullptr) {
      reason = "a link to " + *same + ", a file of this set; not emptied";
      return std::nullopt;
    }
    if (!file->truncate()) {
      reason = describe(file->failure());
      return std::nullopt;
    }
    files_.push_back({*id, name});
    return file;
  }

  // An output, emptied. One that is one name of several of a file outside
  // the set (a backup's hard link) is replaced by a new file instead, so
  // that its other names keep their content.
  std::optional<File> create_output(const std::string &name,
                                    std::string &reason) {
    std::error_code error;
    std::optional<File> output = File::open_output(name, error);
    if (output && output->has_other_names(name) && !is_set_file(*output)) {
      output->close();
      output = File::replace_output(name, error);
    }
    if (!output) {
      reason = describe(error);
      return std::nullopt;
    }
    output = empty_if_new(std::move(output), name, reason);
    if (output)
      begun_.push_back(files_.back());
    return output;
  }

  // The staging file, emptied for this set, kept open (and locked) here.
  File &keep_staging(File staging) {
    staging_.emplace(std::move(staging));
    return *staging_;
  }

  // After a request to stop, once the conversion's other files are closed:
  // deletes every output it began and then the staging file, still locked,
  // so that nothing of the set in progress is taken for a result. Files of
  // earlier sets and files this set never opened stay as they are. Each file
  // that cannot be deleted is named with the reason; false then.
  bool remove_begun(const Diagnostics &diagnostics) {
    bool all = true;
    for (const auto &[identity, name] : begun_) {
      if (const std::error_code error = remove_written(name, identity)) {
        diagnostics.report(name, "could not be removed: " + describe(error));
        all = false;
      }
    }
    if (staging_)
      if (const std::error_code error = staging_->remove(STAGING_FILE_NAME)) {
        diagnostics.report(STAGING_FILE_NAME,
                           "could not be removed: " + describe(error));
        all = false;
      }
    return all;
  }

private:
  const std::string *set_file_named(const FileIdentity &id) const {
    for (const auto &[identity, name] : files_)
      if (identity == id)
        return &name;
    return nullptr;
  }
  bool is_set_file(const File &file) const {
    std::optional<FileIdentity> id = file.identity();
    return !id || set_file_named(*id) != nullptr;
  }

  std::vector<std::pair<FileIdentity, std::string>> files_;
  std::vector<std::pair<FileIdentity, std::string>> begun_;
  std::optional<File> staging_;
};

// Those of `names` that are files (readable or not): outputs of an earlier
// conversion that this one leaves as they are.
std::vector<std::string> existing_files(std::vector<std::string> names) {
  std::erase_if(names, [](const std::string &name) {
    std::error_code error;
    return !File::open_source(name, error) && names_no_source(name, error);
  });
  return names;
}

// Deletes the staging file while it is still open and locked, so that no
// other conversion can have reused it in the meantime.
void delete_staging_file(File &staging, const Diagnostics &diagnostics) {
  const std::error_code error = staging.remove(STAGING_FILE_NAME);
  staging.close();
  if (!error)
    return;
  print_line("Warning ! Could not delete temperary parameter file !");
  print_line("Continuing..");
  diagnostics.report(STAGING_FILE_NAME, describe(error));
}

// The conversion of one set, its file number checked, into `set`'s files;
// every file it opens apart from the staging file is closed when it returns.
ResultCode convert_set(const std::string &file_number, SetFiles &set,
                       const Diagnostics &diagnostics,
                       const FailureNote &note) {
  const SetNames names = set_names(file_number);
  std::error_code error;
  std::string reason;

  std::optional<File> old_parameters =
      set.open_required(names.old_parameters, error);
  if (!old_parameters)
    return note.fail(RESULT_OPEN_OLD_PARAMETER, names.old_parameters, error);
  std::optional<File> old_topography =
      set.open_required(names.old_topography, error);
  if (!old_topography)
    return note.fail(RESULT_OPEN_OLD_TOPOGRAPHY, names.old_topography, error);
  // Only a spectroscopy file that is not there at all means a set without
  // spectroscopy: one that exists but cannot be read fails the set before
  // anything is written, rather than converting it without its curves.
  std::optional<File> old_spectroscopy =
      File::open_source(names.old_spectroscopy, error);
  if (!old_spectroscopy && !names_no_source(names.old_spectroscopy, error))
    return note.fail(RESULT_READ_OLD_SPECTROSCOPY, names.old_spectroscopy,
                     error);
  // Why the set goes without spectroscopy, for its warning.
  std::string spectroscopy_absence_reason;
  if (!old_spectroscopy)
    spectroscopy_absence_reason = spectroscopy_absence(names.old_spectroscopy);
  if (!set.add(old_spectroscopy, names.old_spectroscopy)) {
    old_spectroscopy.reset();
    spectroscopy_absence_reason = describe(FileRefusal::UnknownIdentity);
  }
  const bool has_spectroscopy = old_spectroscopy.has_value();

  std::optional<File> opened_staging = File::open_staging(
      STAGING_FILE_NAME, error, [&diagnostics] {
        diagnostics.note("waiting for another conversion in this directory "
                         "(tmp.par is locked)");
      });
  if (!opened_staging)
    return note.fail(RESULT_OPEN_TEMP, STAGING_FILE_NAME, error);
  opened_staging = set.empty_if_new(std::move(opened_staging),
                                    STAGING_FILE_NAME, reason);
  if (!opened_staging)
    return note.fail(RESULT_OPEN_TEMP, STAGING_FILE_NAME, reason);
  File *const staging = &set.keep_staging(std::move(*opened_staging));
  // A huge record (a damaged or mistaken file) must not fill the disk.
  if (!staging->has_room_for(old_parameters->size()))
    return note.fail(RESULT_WRITE_TEMP, STAGING_FILE_NAME, staging->failure());
  const StagingCopy copy = make_staging_copy(*old_parameters, *staging);
  if (copy.outcome == IoOutcome::ReadFailed)
    return note.fail(RESULT_READ_OLD_PARAMETER, names.old_parameters,
                     old_parameters->failure());
  if (copy.outcome == IoOutcome::WriteFailed)
    return note.fail(RESULT_WRITE_TEMP, STAGING_FILE_NAME, staging->failure());

  std::optional<File> new_parameters =
      set.create_output(names.new_parameters, reason);
  if (!new_parameters)
    return note.fail(RESULT_OPEN_NEW_PARAMETER, names.new_parameters, reason);
  std::optional<File> topography_out =
      set.create_output(names.topography_forward, reason);
  if (!topography_out)
    return note.fail(RESULT_OPEN_TOPOGRAPHY_FORWARD, names.topography_forward,
                     reason);
  std::optional<File> spectroscopy_out;
  if (has_spectroscopy) {
    spectroscopy_out = set.create_output(names.spectroscopy_forward, reason);
    if (!spectroscopy_out)
      return note.fail(RESULT_OPEN_SPECTROSCOPY_FORWARD,
                       names.spectroscopy_forward, reason);
  }

  const std::optional<SourceParameters> parameters = read_source_parameters(
      *staging, copy.record_length, *old_parameters);
  if (!parameters) {
    const bool record_failed = bool(old_parameters->failure());
    return note.fail(RESULT_READ_OLD_PARAMETER,
                     record_failed ? names.old_parameters
                                   : std::string(STAGING_FILE_NAME),
                     record_failed ? old_parameters->failure()
                                   : staging->failure());
  }
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
  const Named topography{*old_topography, names.old_topography};

  ResultCode code = fill_and_close(
      *topography_out, names.topography_forward, topography,
      RESULT_READ_OLD_TOPOGRAPHY, RESULT_WRITE_TOPOGRAPHY_FORWARD, note,
      [&](File &out) {
        return copy_topography_plane(*old_topography, 0, out, size_x, size_y);
      });
  if (code != RESULT_OK)
    return code;

  if (dual_mode) {
    topography_out = set.create_output(names.topography_backward, reason);
    if (!topography_out)
      return note.fail(RESULT_OPEN_TOPOGRAPHY_BACKWARD,
                       names.topography_backward, reason);
    code = fill_and_close(
        *topography_out, names.topography_backward, topography,
        RESULT_READ_OLD_TOPOGRAPHY, RESULT_WRITE_TOPOGRAPHY_BACKWARD, note,
        [&](File &out) {
          return copy_topography_plane(*old_topography,
                                       plane_sample_count(size_x, size_y), out,
                                       size_x, size_y);
        });
    if (code != RESULT_OK)
      return code;
  }

  if (has_spectroscopy) {
    const Named spectroscopy{*old_spectroscopy, names.old_spectroscopy};
    code = fill_and_close(
        *spectroscopy_out, names.spectroscopy_forward, spectroscopy,
        RESULT_READ_OLD_SPECTROSCOPY, RESULT_WRITE_SPECTROSCOPY_FORWARD, note,
        [&](File &out) {
          return copy_spectroscopy_planes(*old_spectroscopy, out, size_x,
                                          size_y,
                                          parameters->spec_points_forward, 0);
        });
    if (code != RESULT_OK)
      return code;
    if (dual_mode) {
      spectroscopy_out =
          set.create_output(names.spectroscopy_backward, reason);
      if (!spectroscopy_out)
        return note.fail(RESULT_OPEN_SPECTROSCOPY_BACKWARD,
                         names.spectroscopy_backward, reason);
      code = fill_and_close(
          *spectroscopy_out, names.spectroscopy_backward, spectroscopy,
          RESULT_READ_OLD_SPECTROSCOPY, RESULT_WRITE_SPECTROSCOPY_BACKWARD,
          note, [&](File &out) {
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
  code = fill_and_close(*new_parameters, names.new_parameters,
                        Named{*old_parameters, names.old_parameters},
                        RESULT_READ_OLD_PARAMETER, RESULT_WRITE_NEW_PARAMETER,
                        note, [&](File &out) {
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

  delete_staging_file(*staging, diagnostics);
  report_short_sources(names, source_sizes, extents, diagnostics);
  if (has_spectroscopy)
    report_empty_spectroscopy_channels(names.old_parameters, *parameters,
                                       dual_mode, diagnostics);
  else
    report_missing_spectroscopy(
        names.old_spectroscopy, spectroscopy_absence_reason,
        parameters->spec_points_forward, "converted without spectroscopy",
        existing_files({names.spectroscopy_forward,
                        names.spectroscopy_backward}),
        diagnostics);
  print_line("File number " + file_number + " Done!");
  return RESULT_OK;
}

} // namespace

ResultCode convert_file_set(const std::string &file_number,
                            const Diagnostics &diagnostics,
                            SetFailure *failure) {
  const FailureNote note(failure);
  const std::string refusal = number_refusal(file_number);
  if (!refusal.empty())
    return note.fail(RESULT_OPEN_OLD_PARAMETER, file_number, refusal);
  SetFiles set;
  const ResultCode code = convert_set(file_number, set, diagnostics, note);
  // A set that failed because the run was asked to stop (or while it was)
  // is not reported as a failure: what it began is removed instead.
  if (code == RESULT_OK || !interruption_requested())
    return code;
  return note.fail(RESULT_INTERRUPTED, file_number,
                   set.remove_begun(diagnostics)
                       ? "interrupted; the files this run had begun for the "
                         "set were removed"
                       : "interrupted; not every file this run had begun "
                         "for the set could be removed");
}

} // namespace parvane
