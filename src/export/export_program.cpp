#include "export/export_program.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <system_error>

#include "core/version.h"
#include "core/console.h"
#include "core/file_io.h"
#include "core/interruption.h"
#include "core/set_names.h"
#include "core/set_layout.h"
#include "export/gwy_export.h"

namespace parvane {
namespace {

constexpr const char *PROGRAM = EXPORT_PROGRAM;

// What the command line asks for.
struct Request {
  std::vector<std::string> sets;
  std::optional<std::string> all_directory;
  std::optional<std::string> output_directory;
  bool force = false;
  bool quiet = false;
  // The current at the top of the samples' range, in amperes, when the user
  // knows it.
  std::optional<double> current_full_scale;
  bool update = false;
  bool verbose = false;
};

// Where one set's sources lie: the directory as the user typed it, ready to
// have a file name appended (empty for the working directory), and the file
// number.
struct SetLocation {
  std::string directory;
  std::string file_number;
};

bool holds_separator(const std::string &path) {
  return std::any_of(path.begin(), path.end(), is_directory_separator);
}

std::size_t base_name_start(const std::string &path) {
  const auto last = std::find_if(path.rbegin(), path.rend(),
                                 is_directory_separator);
  return static_cast<std::size_t>(path.rend() - last);
}

// ---------------------------------------------------------------------------
// The command line.

// The status after the help or the version: 0 only when standard output took
// all of it.
int printed_in_full() {
  if (console_intact())
    return EXPORT_ALL_DONE;
  report_console_failure(PROGRAM);
  return EXPORT_SET_FAILED;
}

// The request, or the status the run ends with at once: after the help or
// the version (0) or a usage error (2).
std::optional<Request> parse_command_line(std::vector<std::string> arguments,
                                          const Diagnostics &diagnostics,
                                          int &status) {
  Request request;
  CLI::App app("Exports STM source sets as Gwyddion GWY files m<n>.gwy.",
               PROGRAM);
  app.get_formatter()->column_width(22);
  app.set_version_flag("-V,--version",
                       std::string(PROGRAM) + " " + PARVANE_VERSION);
  app.add_option("SET", request.sets,
                 "A set number (12: tp12, tz12, ts12 here),\n"
                 "the path of any file of a set, or a\n"
                 "directory: every set in it, as --all")
      ->type_name("");
  app.add_option("--all", request.all_directory,
                 "Export every set tp<n> in DIR")
      ->type_name("DIR");
  app.add_option("-o,--output-dir", request.output_directory,
                 "Write into DIR (default: beside the sources)")
      ->type_name("DIR");
  app.add_option("--current-full-scale", request.current_full_scale,
                 "The current at full scale, in amperes\n"
                 "(default: the converter's 5e-08)")
      ->type_name("A");
  app.add_flag("-f,--force", request.force, "Replace existing outputs");
  app.add_flag("-u,--update", request.update,
               "Export only new and changed sets: skip a set whose\n"
               "m<n>.gwy is newer than its sources and records\n"
               "their sizes, and one still being acquired");
  app.add_flag("-q,--quiet", request.quiet, "Print no line per set");
  app.add_flag("-v,--verbose", request.verbose,
               "Say on standard error which sets were skipped");
  app.add_flag("--no-pause")->description(
               "Never wait for a key at the end (Windows: a run\n"
               "started from the Explorer waits, so that its\n"
               "window stays open)");
  app.footer("Exit status: 0 when every set was exported, 1 when any set\n"
             "failed (the others are still exported), 2 for a usage error.");

  // The parser reads the arguments last to first, without the program name.
  if (!arguments.empty())
    arguments.erase(arguments.begin());
  // The help as Windows programs offer it.
  std::replace(arguments.begin(), arguments.end(), std::string("/?"),
               std::string("--help"));
  std::reverse(arguments.begin(), arguments.end());
  // CLI11 tells of the help, the version and usage errors by exceptions,
  // which end the parse here.
  try {
    app.parse(std::move(arguments));
  } catch (const CLI::CallForHelp &) {
    std::string help = app.help();
    if (!help.ends_with('\n'))
      help += '\n';
    std::fwrite(help.data(), 1, help.size(), stdout);
    status = printed_in_full();
    return std::nullopt;
  } catch (const CLI::CallForVersion &version) {
    print_line(version.what());
    status = printed_in_full();
    return std::nullopt;
  } catch (const CLI::ParseError &error) {
    // CLI11 quotes the arguments it rejects as they are.
    diagnostics.note(printable(error.what()) + " (see --help)");
    status = EXPORT_USAGE_ERROR;
    return std::nullopt;
  }

  status = EXPORT_USAGE_ERROR;
  if (request.current_full_scale &&
      !(std::isfinite(*request.current_full_scale) &&
        *request.current_full_scale > 0)) {
    diagnostics.note("--current-full-scale: the current must be a finite "
                     "number of amperes above 0 (see --help)");
    return std::nullopt;
  }
  if (request.sets.empty() == !request.all_directory) {
    diagnostics.note(request.all_directory
                         ? "--all DIR takes no SET (see --help)"
                         : "no SET given and no --all DIR (see --help)");
    return std::nullopt;
  }
  if (request.output_directory) {
    std::error_code error;
    const std::string &directory = *request.output_directory;
    const PathKind kind = path_kind(directory, error);
    if (kind != PathKind::Directory) {
      diagnostics.report(directory, kind == PathKind::Missing
                                        ? describe(error)
                                        : "is not a directory");
      return std::nullopt;
    }
  }
  status = EXPORT_ALL_DONE;
  return request;
}

// ---------------------------------------------------------------------------
// The sets named.

// The set a SET argument names: a path when it holds a directory separator
// or names something that exists, a file number otherwise. A path must end
// in the name of a file of a set.
std::optional<SetLocation> locate_set(const std::string &argument,
                                      const Diagnostics &diagnostics) {
  std::error_code ignored;
  if (!holds_separator(argument) &&
      path_kind(argument, ignored) == PathKind::Missing) {
    if (argument.empty()) {
      diagnostics.report(argument, "is no set number");
      return std::nullopt;
    }
    return SetLocation{"", argument};
  }
  const std::size_t start = base_name_start(argument);
  const std::string base = argument.substr(start);
  if (!set_file_kind(argument, base)) {
    diagnostics.report(argument,
                       "is not a file of a set (tp<n>, tz<n> or ts<n>)");
    return std::nullopt;
  }
  return SetLocation{argument.substr(0, start), base.substr(2)};
}

// Every set of `directory` (see `find_set_numbers`); false, reported, when
// there is none.
bool find_all_sets(const std::string &directory, std::vector<SetLocation> &sets,
                   const Diagnostics &diagnostics) {
  std::vector<std::string> numbers;
  if (std::error_code error = find_set_numbers(directory, numbers)) {
    diagnostics.report(directory, describe(error));
    return false;
  }
  if (numbers.empty()) {
    diagnostics.report(directory, "no set found (no file tp<n>)");
    return false;
  }
  const std::string prefix = directory_prefix(directory);
  for (const std::string &number : numbers)
    sets.push_back({prefix, number});
  return true;
}

// ---------------------------------------------------------------------------
// Exporting one set.

// A file that stays behind against the run's will, and why.
struct LeftFile {
  std::string file;
  std::string reason;
};

// An output being written under a temporary name beside its final one. It
// is deleted unless it was put in place, so that an ordinary failure leaves
// nothing behind; a crash leaves at most the temporary, never a partial
// file under the final name.
class PendingOutput {
public:
  // Whether the temporary could be deleted goes to `left`, when given: the
  // name and the reason of a temporary that stays behind.
  PendingOutput(std::string final_name, LeftFile *left)
      : final_name_(std::move(final_name)), left_(left) {}
  PendingOutput(const PendingOutput &) = delete;
  PendingOutput &operator=(const PendingOutput &) = delete;
  ~PendingOutput() {
    if (file_ && !temporary_name_.empty()) {
      file_->close();
      const std::error_code error = file_->remove(temporary_name_);
      if (error && left_ != nullptr)
        *left_ = {temporary_name_, describe(error)};
    }
  }

  std::error_code create() {
    std::error_code error;
    file_ = File::create_temporary(final_name_, temporary_name_, error);
    return error;
  }
  File &file() { return *file_; }
  const std::string &temporary_name() const { return temporary_name_; }

  // Closes the file and gives it its final name; false when the close
  // reports a failure.
  bool close() { return file_->close(); }
  // `replaced`: the entry the final name is to hold still, if any.
  std::error_code put_in_place(const std::optional<FileIdentity> &replaced) {
    const std::error_code error =
        rename_file(temporary_name_, final_name_, replaced);
    if (!error)
      temporary_name_.clear();
    return error;
  }

private:
  std::string final_name_;
  LeftFile *left_;
  std::string temporary_name_;
  std::optional<File> file_;
};

// `directory` (empty: the working one) with every link resolved, as far as
// it exists; as typed when even that fails.
std::string canonical_directory(const std::string &directory) {
  const std::u8string typed(directory.begin(), directory.end());
  std::error_code error;
  std::filesystem::path canonical;
  // Taking the text apart as UTF-8 throws for bytes that are none.
  try {
    canonical = std::filesystem::weakly_canonical(
        std::filesystem::path(typed.empty() ? u8"." : typed), error);
  } catch (const std::exception &) {
    return directory;
  }
  if (error)
    return directory;
  const std::u8string text = canonical.u8string();
  return std::string(text.begin(), text.end());
}

// What a run has done so far, across its sets.
class RunSoFar {
public:
  // False when the set was met before, however spelled: known by its
  // record's identity and its number, or by canonical directory and number
  // when the record cannot be opened (`record` nullopt). The number counts
  // too: a tp2 linked to tp1 still makes set 2 of tz2 and ts2.
  bool first_meeting(const SetLocation &set,
                     const std::optional<FileIdentity> &record) {
    if (record)
      return records_.emplace(*record, set.file_number).second;
    auto [known, added] = directories_.try_emplace(set.directory);
    if (added)
      known->second = canonical_directory(set.directory);
    return unopened_.emplace(known->second, set.file_number).second;
  }

  // The outputs written.
  std::set<FileIdentity> written;

  // The temporaries of exports that lay in `directory` (as typed, "" for
  // the working directory) when this run first looked there, sorted: a
  // directory is listed once per run, however many sets go into it.
  const std::vector<std::string> &temporaries_in(const std::string &directory) {
    auto [known, added] = temporaries_.try_emplace(directory);
    if (added) {
      std::vector<std::string> names;
      if (!list_directory(directory.empty() ? "." : directory, names))
        for (std::string &name : names)
          if (name.starts_with(TEMPORARY_PREFIX))
            known->second.push_back(std::move(name));
      std::sort(known->second.begin(), known->second.end());
    }
    return known->second;
  }

private:
  std::set<std::pair<FileIdentity, std::string>> records_;
  std::set<std::pair<std::string, std::string>> unopened_;
  // Each directory named, as typed, with its canonical form.
  std::map<std::string, std::string> directories_;
  std::map<std::string, std::vector<std::string>> temporaries_;
};

class SetExport {
public:
  // `so_far` tells what the run did before, and learns of this set.
  SetExport(const SetLocation &set, const Request &request,
            const Diagnostics &diagnostics, RunSoFar &so_far,
            Progress &progress)
      : set_(set), request_(request), diagnostics_(diagnostics),
        so_far_(so_far), progress_(&progress),
        names_(set_names(set.file_number)) {}

  bool run();

  // The output of the set, once `run` has named it (empty before).
  const std::string &output() const { return output_; }
  // Whether `run` had created the set's temporary.
  bool temporary_begun() const { return temporary_begun_; }
  // The temporary that `run` could not delete, if any, and why.
  const LeftFile &temporary_left() const { return temporary_left_; }

private:
  // A set that fails because the run was asked to stop says nothing of its
  // own: the run says it was interrupted.
  bool fail(const std::string &file, const std::string &reason) const {
    progress_->end();
    if (!interruption_requested())
      diagnostics_.report(file, reason);
    return false;
  }
  // The path of the file an export step names (a source's base name).
  std::string path_of(const std::string &file, const std::string &output) const {
    for (const std::string *name : {&names_.old_parameters,
                                    &names_.old_topography,
                                    &names_.old_spectroscopy})
      if (!file.empty() && file == *name)
        return set_.directory + file;
    return file.empty() ? output : file;
  }
  // A failure of the temporary `pending` is written under: it names the
  // file that failed and the output it was to become.
  bool fail_temporary(const PendingOutput &pending, const std::string &output,
                      const std::string &reason) const {
    return fail(pending.temporary_name(),
                reason + " (the temporary file for " + printable(output) + ")");
  }
  // Names every temporary of this output that an export ended outright (a
  // kill -9, a power loss) left behind. None is deleted: on a share, one may
  // be that of an export still running on another machine.
  void name_left_temporaries() const {
    const std::string directory = output_.substr(0, base_name_start(output_));
    for (const std::string &name : so_far_.temporaries_in(directory))
      if (is_temporary_name_for(name, output_))
        diagnostics_.report(directory + name,
                            "a temporary of " + printable(output_) +
                                " from an export that has not finished "
                                "(killed, or still running elsewhere); not "
                                "deleted");
  }
  bool fail_step(const ExportResult &result, const PendingOutput &pending,
                 const std::string &output) const {
    if (result.file.empty())
      return fail_temporary(pending, output, result.reason);
    return fail(path_of(result.file, output), result.reason);
  }

  // Whether the output there now is an up-to-date export of the plan's
  // sources.
  static bool is_current(const GwyExportPlan &plan, const std::string &output) {
    const std::optional<File> earlier = File::open_source(output);
    return earlier && export_is_current(plan, *earlier);
  }
  bool skip_current() const {
    if (request_.verbose)
      diagnostics_.report(output_, "up to date; skipped");
    return true;
  }

  const SetLocation &set_;
  const Request &request_;
  const Diagnostics &diagnostics_;
  RunSoFar &so_far_;
  Progress *progress_;
  const SetNames names_;
  std::string output_;
  bool temporary_begun_ = false;
  LeftFile temporary_left_;
};

bool SetExport::run() {
  const std::string record_path = set_.directory + names_.old_parameters;
  const SetSources opened = open_set_sources(set_.directory, names_);
  // A set met before under another spelling is done already, well or not.
  if (!so_far_.first_meeting(set_, opened.record.identity))
    return true;
  if (const auto failed = opened.failed(names_))
    return fail(set_.directory + *failed->name, describe(failed->source->error));
  std::vector<FileIdentity> identities;
  for (const OpenedSource *source :
       {&opened.record, &opened.topography, &opened.spectroscopy}) {
    if (!source->file)
      continue;
    if (!source->identity)
      return fail(record_path,
                  "the system cannot tell which files the set's sources are");
    identities.push_back(*source->identity);
  }
  const File *spectroscopy =
      opened.spectroscopy.file ? &*opened.spectroscopy.file : nullptr;
  const ExportSources sources{
      set_.file_number,
      &*opened.record.file,
      &*opened.topography.file,
      spectroscopy,
      names_.old_parameters,
      names_.old_topography,
      spectroscopy ? names_.old_spectroscopy : std::string(),
      request_.current_full_scale
          ? CurrentCalibration{*request_.current_full_scale, true}
          : CurrentCalibration{}};

  output_ = (request_.output_directory ? directory_prefix(*request_.output_directory)
                                        : set_.directory) +
            gwy_export_name(set_.file_number);
  const std::string &output = output_;
  name_left_temporaries();
  // Checked before any work. The final rename takes the name only while it
  // is as found here: free, or (with --force) the same file.
  std::error_code error;
  const PathKind existing = path_kind(output, error);
  if (existing == PathKind::Directory)
    return fail(output, describe(FileRefusal::Directory));
  std::optional<FileIdentity> replaced;
  if (existing != PathKind::Missing) {
    const std::optional<FileIdentity> there = identity_at(output);
    if (there && std::find(identities.begin(), identities.end(), *there) !=
                     identities.end())
      return fail(output, "is one of the set's sources");
    // Two sets of one number from different directories, exported into one
    // directory: --force must not let the second replace the first.
    if (there && so_far_.written.contains(*there))
      return fail(output, "was exported from another set in this run");
    if (!request_.force && !request_.update)
      return fail(output, "exists; --force replaces it");
    replaced = entry_identity(output, error);
    if (error)
      return fail(output, describe(error));
  }

  GwyExportPlan plan;
  if (ExportResult planned = plan_gwy_export(sources, plan); !planned.ok()) {
    // Sets are exported as they arrive: one still short is being acquired,
    // and a later run takes it once complete.
    // A record not yet whole reads as a set of no image or of sizes that
    // are no numbers: it too is being written.
    const std::int64_t record_bytes = sources.record->size();
    const bool record_short = record_bytes < RECORD_EXTENT;
    if (request_.update &&
        (record_short || planned.status == ExportStatus::ShortSource ||
         planned.status == ExportStatus::EndedWhileRead)) {
      diagnostics_.report(
          record_short ? record_path : path_of(planned.file, output),
          (record_short ? "holds " + std::to_string(record_bytes) +
                              " bytes, the record needs " +
                              std::to_string(RECORD_EXTENT)
                        : planned.reason) +
              "; skipped until complete (still being acquired?)");
      return true;
    }
    return fail(path_of(planned.file, output), planned.reason);
  }
  if (request_.update && existing != PathKind::Missing && is_current(plan, output))
    return skip_current();
  const std::int64_t planned_bytes = plan.file_bytes;

  // From here on the set takes its time.
  progress_->begin(output, plan.source_bytes);
  PendingOutput pending(output, &temporary_left_);
  if (std::error_code created = pending.create())
    return fail_temporary(pending, output,
                          "cannot be created: " + describe(created));
  temporary_begun_ = true;
  File &file = pending.file();
  // The file takes the time its writing began, in the file system's own
  // clock: a source changed while it is written is then newer than the
  // export, which a later --update redoes.
  const std::optional<std::int64_t> begun = file.modified_at();
  if (!file.has_room_for(planned_bytes))
    return fail(output, "needs " + std::to_string(planned_bytes) +
                            " bytes, more than the disk has free");
  file.reserve(planned_bytes);
  if (ExportResult written = write_gwy_export(plan, file, progress_);
      !written.ok())
    return fail_step(written, pending, output);
  // A file of another size than planned is no file the export vouches for.
  if (const std::int64_t size = file.size(); size != planned_bytes)
    return fail_temporary(pending, output,
                          "holds " + std::to_string(size) + " bytes instead of " +
                              std::to_string(planned_bytes) + " planned");
  const std::optional<FileIdentity> output_identity = file.identity();
  if (begun)
    file.set_modified_at(*begun);
  if (!pending.close())
    return fail_temporary(pending, output, describe(file.failure()));
  if (std::error_code renamed = pending.put_in_place(replaced)) {
    if (!names_existing_file(renamed))
      return fail(output, describe(renamed));
    // Another --update run of the same set, started alongside, was first.
    if (request_.update && is_current(plan, output)) {
      progress_->end();
      return skip_current();
    }
    return fail(output, replaced
                            ? "was replaced by another program while this "
                              "export ran"
                            : "was created by another program while this "
                              "export ran");
  }
  progress_->end();
  if (output_identity)
    so_far_.written.insert(*output_identity);
  if (!spectroscopy)
    report_missing_spectroscopy(
        set_.directory + names_.old_spectroscopy, opened.spectroscopy_absence,
        plan.announced_points, "exported without spectroscopy", {},
        diagnostics_);
  if (!request_.quiet)
    print_line(printable(output));
  return true;
}

// Ends a run that was asked to stop, once the set it stopped (if any) has
// deleted its temporary: one line on standard error, nothing more on
// standard output. Sets already exported stay.
[[noreturn]] void stop_as_interrupted(const SetExport *in_progress,
                                      const Diagnostics &diagnostics) {
  if (in_progress == nullptr || !in_progress->temporary_begun()) {
    diagnostics.note("interrupted");
  } else {
    const LeftFile &left = in_progress->temporary_left();
    if (!left.file.empty())
      diagnostics.report(left.file, "could not be removed: " + left.reason);
    diagnostics.report(in_progress->output(),
                       left.file.empty()
                           ? "interrupted; the temporary this run had begun "
                             "was removed"
                           : "interrupted; the temporary this run had begun "
                             "could not be removed");
  }
  end_as_interrupted();
}

} // namespace

int run_export(const std::vector<std::string> &arguments) {
  const Diagnostics diagnostics(PROGRAM);
  int status = EXPORT_ALL_DONE;
  const std::optional<Request> request =
      parse_command_line(arguments, diagnostics, status);
  if (!request)
    return status;

  std::vector<SetLocation> sets;
  if (request->all_directory) {
    if (!find_all_sets(*request->all_directory, sets, diagnostics))
      status = EXPORT_SET_FAILED;
  }
  for (const std::string &argument : request->sets) {
    // A folder dropped onto the program: every set in it.
    std::error_code ignored;
    if (path_kind(argument, ignored) == PathKind::Directory) {
      if (!find_all_sets(argument, sets, diagnostics))
        status = EXPORT_SET_FAILED;
      continue;
    }
    if (std::optional<SetLocation> set = locate_set(argument, diagnostics))
      sets.push_back(std::move(*set));
    else
      status = EXPORT_SET_FAILED;
  }
  // Each set once, in the order first named: the files of one set dropped
  // together onto the program name it several times.
  RunSoFar so_far;
  Progress progress = Progress::on_standard_error(PROGRAM);
  for (const SetLocation &set : sets) {
    if (interruption_requested())
      stop_as_interrupted(nullptr, diagnostics);
    SetExport set_export(set, *request, diagnostics, so_far, progress);
    // Memory the system refuses fails this set alone: its buffers are gone
    // again, and the next set may need less.
    bool exported = false;
    try {
      exported = set_export.run();
    } catch (const std::bad_alloc &) {
      diagnostics.report(set.directory + old_parameter_name(set.file_number),
                         "the system has no memory left to export this set");
    }
    if (!exported)
      status = EXPORT_SET_FAILED;
    if (interruption_requested())
      stop_as_interrupted(exported ? nullptr : &set_export, diagnostics);
  }

  // A set counts as exported only when its line was seen.
  if (!console_intact()) {
    report_console_failure(PROGRAM);
    status = EXPORT_SET_FAILED;
  }
  return status;
}

int run_export(int argc, char **argv) {
  return run_export(command_line_arguments(argc, argv));
}

} // namespace parvane
