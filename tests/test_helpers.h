// Shared helpers for the tests: scratch directories, file sets built from
// known records, and running the built converter.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/file_io.h"
#include "export/gwy_export.h"

namespace parvane::testing {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with all
// its contents when the object goes out of scope.
class ScratchDir {
public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const fs::path &path() const { return path_; }
  fs::path operator/(const std::string &name) const { return path_ / name; }

private:
  fs::path path_;
};

using Bytes = std::string;

void write_file(const fs::path &path, const Bytes &bytes);
Bytes read_file(const fs::path &path);

// A source parameter record with big-endian fields at their offsets.
class RecordBuilder {
public:
  explicit RecordBuilder(std::size_t length = 402) : bytes_(length, '\0') {}
  RecordBuilder &int_at(std::size_t offset, std::int32_t value);
  RecordBuilder &float_at(std::size_t offset, float value);
  RecordBuilder &text_at(std::size_t offset, const std::string &text);
  // The common fields of a set: image size, forward-only flag and point counts.
  RecordBuilder &shape(std::int32_t size_x, std::int32_t size_y,
                       bool dual_mode, std::int32_t points_forward = 0,
                       std::int32_t points_backward = 0);
  const Bytes &bytes() const { return bytes_; }

private:
  Bytes bytes_;
};

// The big-endian int32 at `offset` of `bytes` (a record, a PNG header), or 0
// when the bytes end before it.
std::int32_t big_endian_int(const Bytes &bytes, std::size_t offset);

// `count` big-endian 16-bit samples counting up from `first` (wrapping).
Bytes counting_samples(std::size_t count, std::uint16_t first = 0);

// Writes "tp"/"tz" (and "ts" when `spectroscopy` is given) for set `number`.
void write_set(const fs::path &dir, const std::string &number,
               const Bytes &record, const Bytes &topography,
               const Bytes *spectroscopy = nullptr);

// A file to write that no test reads: opened as the conversion opens its
// outputs (or its staging file), then emptied.
std::optional<File> create_output(const std::string &name);
std::optional<File> create_scratch(const std::string &name);

struct RunResult {
  std::string output; // everything the converter wrote to standard output
  std::string errors; // everything it wrote to standard error
  int status = -1;    // exit status, or -1 when it did not exit normally
  int signal = 0;     // the signal that ended it (POSIX), 0 when it exited
  bool timed_out = false; // killed at RUN_DEADLINE_SECONDS
};

// How long any program a test starts may run before the test kills it and
// fails: within ctest's timeout of each test, so that the test itself says
// which run hung, also when the suite is run without ctest.
inline constexpr int RUN_DEADLINE_SECONDS = 240;

// How the program's surroundings differ from an ordinary run (POSIX only).
struct RunOptions {
  // Where standard output goes: captured into `RunResult::output`, the full
  // device (every write fails with ENOSPC), closed, or a pipe whose reader
  // has gone (every write fails with EPIPE, or SIGPIPE).
  enum class Output { Captured, FullDevice, Closed, BrokenPipe };
  Output standard_output = Output::Captured;
  friend void PrintTo(Output output, std::ostream *out) {
    constexpr const char *NAMES[] = {"captured", "the full device", "closed",
                                     "a broken pipe"};
    *out << "standard output " << NAMES[static_cast<int>(output)];
  }
  // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored: a write past it fails with
  // EFBIG. It limits every regular file the program writes, the captured
  // standard output and error included.
  std::optional<std::uint64_t> file_size_limit;
  // RLIMIT_AS in bytes: the address space the program may map at most.
  std::optional<std::uint64_t> address_space_limit;
  // Variables set in the program's environment (LD_PRELOAD, say).
  std::vector<std::pair<std::string, std::string>> environment;
};

// Whether a program can be started with no argument vector at all (argc 0).
// A POSIX system can; a Windows command line always begins with the
// program's name.
#ifdef _WIN32
constexpr bool ARGC_ZERO_POSSIBLE = false;
#else
constexpr bool ARGC_ZERO_POSSIBLE = true;
#endif

// Runs `program` (a path, or a name looked up on PATH) in `dir` with the
// argument vector `argv`, argv[0] included (empty: no arguments at all, where
// ARGC_ZERO_POSSIBLE), and with `home` as its HOME when given. On Windows the
// arguments reach the program through one command line, quoted so that the
// C runtime splits it back into exactly `argv`. A program still running after
// RUN_DEADLINE_SECONDS is killed (`timed_out`).
RunResult run_program(const fs::path &dir, const std::string &program,
                      std::vector<std::string> argv,
                      const std::optional<fs::path> &home = std::nullopt,
                      const RunOptions &options = {});

#ifndef _WIN32
// A program started in the background, so that a test can act on it while it
// runs (POSIX only). Started and captured as `run_program` does; a program
// never waited for is killed and reaped when the object goes.
class StartedProgram {
public:
  StartedProgram(const fs::path &dir, const std::string &program,
                 std::vector<std::string> argv,
                 const std::optional<fs::path> &home = std::nullopt,
                 const RunOptions &options = {});
  ~StartedProgram();
  StartedProgram(const StartedProgram &) = delete;
  StartedProgram &operator=(const StartedProgram &) = delete;

  int pid() const { return pid_; }
  // What it has written to standard error so far.
  std::string errors_so_far() const;
  // Waits until it ends, killing it at the deadline (`timed_out`).
  RunResult wait();

private:
  int pid_ = -1;
  std::FILE *out_ = nullptr;
  std::FILE *err_ = nullptr;
};
#endif

// Runs the built converter in `dir` with `args` after argv[0] = `argv0`.
// With argv0 nullopt the process gets no arguments at all (argc 0). Console
// lines end in CR LF on Windows; the result holds them with LF alone, as on
// POSIX systems, so that one expected text serves both.
RunResult run_converter(const fs::path &dir, const std::vector<std::string> &args,
                        const std::optional<std::string> &argv0 = PARVANE_BINARY,
                        const RunOptions &options = {});

// Runs the built exporter in `dir` with `args` after its name, console
// lines with LF alone as for `run_converter`.
RunResult run_exporter(const fs::path &dir, const std::vector<std::string> &args,
                       const RunOptions &options = {});

// `text` with every CR LF turned into LF; a bare LF or CR stays as it is.
std::string with_lf_line_ends(const std::string &text);

// Another program's handle on an existing file, open for as long as the
// object lives: a `Writer` opened it to write, sharing reading and writing
// with everyone else (but not deletion), as an acquisition program writing a
// source does; a `Viewer` opened it to read, sharing only reading, as a
// viewer that keeps writers out does. Only Windows enforces these sharing
// modes; elsewhere both are a plain open file.
class HeldOpen {
public:
  enum Access { Writer, Viewer };
  HeldOpen(const fs::path &path, Access access);
  ~HeldOpen();
  HeldOpen(const HeldOpen &) = delete;
  HeldOpen &operator=(const HeldOpen &) = delete;

private:
  std::intptr_t handle_;
};

// Names of the regular files and links in `dir`, sorted.
std::vector<std::string> list_dir(const fs::path &dir);

// The files a conversion works on, in the order the result codes first name
// them: the three sources, the staging copy and the five outputs.
enum class Role {
  Record,
  Topography,
  Spectroscopy,
  Staging,
  Parameters,
  ForwardTopography,
  ForwardSpectroscopy,
  BackwardTopography,
  BackwardSpectroscopy,
};

// The conversion's result codes 1 to 17 (the README's table): the step on
// the file that failed, and the text of the report's second line after
// "Error <code>: ". A spectroscopy source that exists but cannot be opened
// fails as its read (17): the set has no open step of its own for it.
struct FailureCode {
  enum Step { Open, Write, Read } step;
  Role role;
  const char *text;
};
inline constexpr std::array<FailureCode, 17> RESULT_CODES{{
    {FailureCode::Open, Role::Record, "Couldn't open old parameter file"},
    {FailureCode::Open, Role::Topography, "Couldn't open old topography file"},
    {FailureCode::Open, Role::Staging, "Couldn't open temp file"},
    {FailureCode::Open, Role::Parameters, "Couldn't open new parameter file"},
    {FailureCode::Open, Role::ForwardTopography,
     "Couldn't open new topography file (forward)"},
    {FailureCode::Open, Role::ForwardSpectroscopy,
     "Couldn't open new spectroscopy file (forward)"},
    {FailureCode::Open, Role::BackwardTopography,
     "Couldn't open new topography file (backward)"},
    {FailureCode::Open, Role::BackwardSpectroscopy,
     "Couldn't open new spectroscopy file (backward)"},
    {FailureCode::Write, Role::Staging, "Couldn't write temp file"},
    {FailureCode::Write, Role::Parameters, "Couldn't write new parameter file"},
    {FailureCode::Write, Role::ForwardTopography,
     "Couldn't write new topography file (forward)"},
    {FailureCode::Write, Role::ForwardSpectroscopy,
     "Couldn't write new spectroscopy file (forward)"},
    {FailureCode::Write, Role::BackwardTopography,
     "Couldn't write new topography file (backward)"},
    {FailureCode::Write, Role::BackwardSpectroscopy,
     "Couldn't write new spectroscopy file (backward)"},
    {FailureCode::Read, Role::Record, "Couldn't read old parameter file"},
    {FailureCode::Read, Role::Topography, "Couldn't read old topography file"},
    {FailureCode::Read, Role::Spectroscopy, "Couldn't read old spectroscopy file"},
}};

// The code of `step` failing on `role`, 0 when no code names that step.
constexpr int result_code(FailureCode::Step step, Role role) {
  for (std::size_t k = 0; k < RESULT_CODES.size(); ++k)
    if (RESULT_CODES[k].step == step && RESULT_CODES[k].role == role)
      return static_cast<int>(k) + 1;
  return 0;
}

// "Error <code>: <text>", the second line of a failed set's report.
std::string error_line(int code);

// A GWY file read back whole: every object as its components by name.
struct GwyNode {
  std::string type;
  struct Value {
    char kind = 0;
    double number = 0; // 'i' and 'd'
    std::string text;
    std::vector<double> doubles;
    std::vector<GwyNode> objects; // 'o' (one) and 'O'
  };
  std::map<std::string, Value> items;

  // The component `name`; a test failure, and an empty value, when missing.
  const Value &at(const std::string &name) const;
  double number(const std::string &name) const { return at(name).number; }
  const GwyNode &object(const std::string &name) const;
};

// Reads the GWY file at `path`, small and strict: any byte that does not
// parse fails the test (and gives an empty node).
GwyNode read_gwy(const fs::path &path);

// Exports set `number` of `dir` into `output` through the library, as the
// export program does: open the sources, plan, write, close; the file
// written must be as long as planned.
// The export's progress goes to `progress`, when given.
ExportResult export_set(const fs::path &dir, const std::string &number,
                        const fs::path &output,
                        const CurrentCalibration &current = {},
                        Progress *progress = nullptr);

// A parameterised case's name in test listings: its index, then the words
// and numbers of its printed form (its PrintTo), "->" as "to", "-" before a
// digit as "minus", a lone "-" as "dash", "?" as "qmark" and every other run of
// characters as one '_', so that a skipped or failed case reads at a glance
// and no two cases of a table share a name.
std::string case_name(std::size_t index, std::string_view printed);

// The name generator of INSTANTIATE_TEST_SUITE_P that gives `case_name`.
struct CaseName {
  template <typename T>
  std::string operator()(const ::testing::TestParamInfo<T> &info) const {
    return case_name(info.index, ::testing::PrintToString(info.param));
  }
};

} // namespace parvane::testing
