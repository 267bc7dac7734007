#include "convert/conversion_sequence.h"

#include <algorithm>
#include <optional>
#include <string>
#include <system_error>
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

  // Records an opened source.
  void add(const FileIdentity &id, const std::string &name) {
    files_.push_back({id, name});
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
  std::erase_if(names, [](const std::string &name) { return !is_set_file(name); });
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

// The output of each channel, by kind and direction, and the codes of its
// failures to open and to be written.
struct ChannelOutput {
  std::string SetNames::*name;
  ResultCode open, write;
};
constexpr ChannelOutput CHANNEL_OUTPUTS[2][2] = {
    {{&SetNames::topography_forward, RESULT_OPEN_TOPOGRAPHY_FORWARD,
      RESULT_WRITE_TOPOGRAPHY_FORWARD},
     {&SetNames::topography_backward, RESULT_OPEN_TOPOGRAPHY_BACKWARD,
      RESULT_WRITE_TOPOGRAPHY_BACKWARD}},
    {{&SetNames::spectroscopy_forward, RESULT_OPEN_SPECTROSCOPY_FORWARD,
      RESULT_WRITE_SPECTROSCOPY_FORWARD},
     {&SetNames::spectroscopy_backward, RESULT_OPEN_SPECTROSCOPY_BACKWARD,
      RESULT_WRITE_SPECTROSCOPY_BACKWARD}}};

const ChannelOutput &output_of(ChannelKind kind, Direction direction) {
  return CHANNEL_OUTPUTS[static_cast<int>(kind)][static_cast<int>(direction)];
}

// Enters the set's sources into `set`. A source that cannot be opened, or
// told apart from the others, fails the set, but a spectroscopy file the
// system cannot identify makes a set without spectroscopy.
ResultCode take_sources(SetSources &sources, const SetNames &names,
                        SetFiles &set, const FailureNote &note) {
  auto take = [&](const OpenedSource &source, const std::string &name,
                  ResultCode code) {
    if (!source.file)
      return note.fail(code, name, source.error);
    if (!source.identity)
      return note.fail(code, name, describe(FileRefusal::UnknownIdentity));
    set.add(*source.identity, name);
    return RESULT_OK;
  };
  ResultCode code =
      take(sources.record, names.old_parameters, RESULT_OPEN_OLD_PARAMETER);
  if (code == RESULT_OK)
    code = take(sources.topography, names.old_topography,
                RESULT_OPEN_OLD_TOPOGRAPHY);
  if (code != RESULT_OK || !sources.spectroscopy_absence.empty())
    return code;
  if (sources.spectroscopy.file && !sources.spectroscopy.identity) {
    sources.spectroscopy.file.reset();
    sources.spectroscopy_absence = describe(FileRefusal::UnknownIdentity);
    return RESULT_OK;
  }
  return take(sources.spectroscopy, names.old_spectroscopy,
              RESULT_READ_OLD_SPECTROSCOPY);
}

// Empties the staging file for this set, keeps it in `set` and copies the
// record into it; the staging file through `staging`.
ResultCode stage_record(const File &record, const SetNames &names,
                        SetFiles &set, const Diagnostics &diagnostics,
                        const FailureNote &note, File *&staging,
                        StagingCopy &copy) {
  std::error_code error;
  std::string reason;
  std::optional<File> opened = File::open_staging(
      STAGING_FILE_NAME, error, [&diagnostics] {
        diagnostics.note("waiting for another conversion in this directory "
                         "(tmp.par is locked)");
      });
  if (!opened) {
    // A staging file that could not be created for want of permission: the
    // directory the user ran the converter in is where to look.
    const bool refused = error == std::errc::permission_denied ||
                         error == std::errc::read_only_file_system;
    if (refused && !is_set_file(STAGING_FILE_NAME))
      return note.fail(RESULT_OPEN_TEMP, STAGING_FILE_NAME,
                       describe(error) + "; the working directory " +
                           working_directory_shown() +
                           " is read-only for this user");
    return note.fail(RESULT_OPEN_TEMP, STAGING_FILE_NAME, error);
  }
  opened = set.empty_if_new(std::move(opened), STAGING_FILE_NAME, reason);
  if (!opened)
    return note.fail(RESULT_OPEN_TEMP, STAGING_FILE_NAME, reason);
  staging = &set.keep_staging(std::move(*opened));
  // A huge record (a damaged or mistaken file) must not fill the disk.
  if (!staging->has_room_for(record.size()))
    return note.fail(RESULT_WRITE_TEMP, STAGING_FILE_NAME, staging->failure());
  copy = make_staging_copy(record, *staging);
  if (copy.outcome == IoOutcome::ReadFailed)
    return note.fail(RESULT_READ_OLD_PARAMETER, names.old_parameters,
                     record.failure());
  if (copy.outcome == IoOutcome::WriteFailed)
    return note.fail(RESULT_WRITE_TEMP, STAGING_FILE_NAME, staging->failure());
  return RESULT_OK;
}

// The conversion of one set, its file number checked, into `set`'s files;
// every file it opens apart from the staging file is closed when it returns.
ResultCode convert_set(const std::string &file_number, SetFiles &set,
                       const Diagnostics &diagnostics, const FailureNote &note,
                       Progress *progress) {
  const SetNames names = set_names(file_number);
  std::string reason;
  SetSources sources = open_set_sources("", names);
  ResultCode code = take_sources(sources, names, set, note);
  if (code != RESULT_OK)
    return code;
  const File &record = *sources.record.file;
  const bool has_spectroscopy = sources.spectroscopy.file.has_value();

  // Ahead of any sample: the staging copy, the parameter file and the
  // forward outputs.
  File *staging = nullptr;
  StagingCopy copy;
  code = stage_record(record, names, set, diagnostics, note, staging, copy);
  if (code != RESULT_OK)
    return code;
  std::optional<File> new_parameters =
      set.create_output(names.new_parameters, reason);
  if (!new_parameters)
    return note.fail(RESULT_OPEN_NEW_PARAMETER, names.new_parameters, reason);
  std::optional<File> forward_outputs[2];
  for (const ChannelKind kind : {ChannelKind::Topography,
                                 ChannelKind::Spectroscopy}) {
    if (kind == ChannelKind::Spectroscopy && !has_spectroscopy)
      break;
    const ChannelOutput &output = output_of(kind, Direction::Forward);
    std::optional<File> &file = forward_outputs[static_cast<int>(kind)];
    file = set.create_output(names.*output.name, reason);
    if (!file)
      return note.fail(output.open, names.*output.name, reason);
  }

  const std::optional<SourceParameters> parameters =
      read_source_parameters(*staging, copy.record_length, record);
  if (!parameters) {
    const bool record_failed = bool(record.failure());
    return note.fail(RESULT_READ_OLD_PARAMETER,
                     record_failed ? names.old_parameters
                                   : std::string(STAGING_FILE_NAME),
                     record_failed ? record.failure() : staging->failure());
  }
  const SetLayout layout = set_layout(*parameters, has_spectroscopy);
  // A source cut short converts all the same, but never silently: measured
  // now, told once the set is done.
  const SourceSizes source_sizes{
      copy.record_length, sources.topography.file->size(),
      has_spectroscopy ? sources.spectroscopy.file->size() : 0};

  if (progress != nullptr) {
    std::int64_t planned = 0;
    for (const SetChannel &channel : layout.channels)
      if (channel.block)
        planned += channel.block->source_bytes();
    progress->begin(names.old_parameters, planned);
  }

  // Every channel into its output, the backward ones opened as they come.
  for (const SetChannel &channel : layout.channels) {
    const ChannelOutput &output = output_of(channel.kind, channel.direction);
    const std::string &output_name = names.*output.name;
    std::optional<File> file =
        channel.direction == Direction::Forward
            ? std::move(forward_outputs[static_cast<int>(channel.kind)])
            : set.create_output(output_name, reason);
    if (!file)
      return note.fail(output.open, output_name, reason);
    const bool topography = channel.kind == ChannelKind::Topography;
    const File &source = *(topography ? sources.topography.file
                                      : sources.spectroscopy.file);
    code = fill_and_close(
        *file, output_name,
        {source, topography ? names.old_topography : names.old_spectroscopy},
        topography ? RESULT_READ_OLD_TOPOGRAPHY : RESULT_READ_OLD_SPECTROSCOPY,
        output.write, note, [&](File &out) {
          return topography
                     ? copy_topography_plane(source, channel.first_sample, out,
                                             layout.x, layout.y, progress)
                     : copy_spectroscopy_planes(source, out, layout.x,
                                                layout.y, channel.points,
                                                channel.first_line, progress);
        });
    if (code != RESULT_OK)
      return code;
  }

  const ParameterFileContext context{file_number, layout.x, layout.y,
                                     has_spectroscopy, layout.dual};
  code = fill_and_close(*new_parameters, names.new_parameters,
                        {record, names.old_parameters},
                        RESULT_READ_OLD_PARAMETER, RESULT_WRITE_NEW_PARAMETER,
                        note, [&](File &out) {
                          return write_parameter_file(out, *parameters, context)
                                     ? IoOutcome::Done
                                     : IoOutcome::WriteFailed;
                        });
  if (code != RESULT_OK)
    return code;
  // The sources are read-only; closing them cannot lose data.
  for (OpenedSource *source : {&sources.topography, &sources.record,
                               &sources.spectroscopy})
    if (source->file)
      source->file->close();

  // The set's own lines follow on the same screen.
  if (progress != nullptr)
    progress->end();
  delete_staging_file(*staging, diagnostics);
  report_short_sources(names, source_sizes, layout.extents(), diagnostics);
  if (has_spectroscopy)
    report_empty_spectroscopy_channels(names.old_parameters, layout,
                                       diagnostics);
  else
    report_missing_spectroscopy(
        names.old_spectroscopy, sources.spectroscopy_absence,
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
                            SetFailure *failure, Progress *progress) {
  const FailureNote note(failure);
  const std::string refusal = number_refusal(file_number);
  if (!refusal.empty())
    return note.fail(RESULT_OPEN_OLD_PARAMETER, file_number, refusal);
  SetFiles set;
  const ResultCode code =
      convert_set(file_number, set, diagnostics, note, progress);
  if (progress != nullptr)
    progress->end();
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
