#include "test_helpers.h"

#include <algorithm>
#include <bit>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <fcntl.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace parvane::testing {

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "parvane-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot create scratch directory");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // Restore write permission on anything a test made read-only.
  for (auto &entry : fs::recursive_directory_iterator(path_, ignored))
    if (!entry.is_symlink())
      fs::permissions(entry.path(), fs::perms::owner_all,
                      fs::perm_options::add, ignored);
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

void write_file(const fs::path &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out)
    throw std::runtime_error("cannot write " + path.string());
}

Bytes read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

RecordBuilder &RecordBuilder::int_at(std::size_t offset, std::int32_t value) {
  auto bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i)
    bytes_.at(offset + i) = static_cast<char>(bits >> (24 - 8 * i));
  return *this;
}

RecordBuilder &RecordBuilder::float_at(std::size_t offset, float value) {
  return int_at(offset, std::bit_cast<std::int32_t>(value));
}

RecordBuilder &RecordBuilder::text_at(std::size_t offset,
                                      const std::string &text) {
  bytes_.replace(offset, text.size(), text);
  return *this;
}

RecordBuilder &RecordBuilder::shape(std::int32_t size_x, std::int32_t size_y,
                                    bool dual_mode,
                                    std::int32_t points_forward,
                                    std::int32_t points_backward) {
  return int_at(28, size_x)
      .int_at(32, size_y)
      .int_at(308, dual_mode ? 0 : 1)
      .int_at(164, points_forward)
      .int_at(180, points_backward);
}

std::int32_t big_endian_int(const Bytes &bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4)
    return 0;
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < 4; ++i)
    bits = bits << 8 | static_cast<std::uint8_t>(bytes[offset + i]);
  return static_cast<std::int32_t>(bits);
}

Bytes counting_samples(std::size_t count, std::uint16_t first) {
  Bytes bytes;
  bytes.reserve(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    auto value = static_cast<std::uint16_t>(first + i);
    bytes.push_back(static_cast<char>(value >> 8));
    bytes.push_back(static_cast<char>(value & 0xFF));
  }
  return bytes;
}

void write_set(const fs::path &dir, const std::string &number,
               const Bytes &record, const Bytes &topography,
               const Bytes *spectroscopy) {
  write_file(dir / ("tp" + number), record);
  write_file(dir / ("tz" + number), topography);
  if (spectroscopy != nullptr)
    write_file(dir / ("ts" + number), *spectroscopy);
}

namespace {

// Everything written to `descriptor`'s file, from its start.
std::string read_all(int descriptor) {
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = ::pread(descriptor, buffer, sizeof buffer,
                        static_cast<off_t>(text.size()))) > 0)
    text.append(buffer, static_cast<std::size_t>(got));
  return text;
}

} // namespace

RunResult run_program(const fs::path &dir, const std::string &program,
                      std::vector<std::string> argv,
                      const std::optional<fs::path> &home,
                      const RunOptions &options) {
  // Unnamed temporary files rather than pipes: neither stream can fill up
  // and block the program while the other one is read.
  std::FILE *out = std::tmpfile();
  std::FILE *err = std::tmpfile();
  if (out == nullptr || err == nullptr)
    throw std::runtime_error("cannot capture a program's output");
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(::fileno(err), STDERR_FILENO);
    switch (options.standard_output) {
    case RunOptions::Output::Captured:
      ::dup2(::fileno(out), STDOUT_FILENO);
      break;
    case RunOptions::Output::FullDevice: {
      const int full = ::open("/dev/full", O_WRONLY);
      if (full < 0 || ::dup2(full, STDOUT_FILENO) < 0)
        ::_exit(127);
      ::close(full);
      break;
    }
    case RunOptions::Output::Closed:
      ::close(STDOUT_FILENO);
      break;
    }
    if (options.file_size_limit) {
      const struct rlimit limit = {*options.file_size_limit,
                                   *options.file_size_limit};
      if (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR ||
          ::setrlimit(RLIMIT_FSIZE, &limit) != 0)
        ::_exit(127);
    }
    if (::chdir(dir.c_str()) != 0 ||
        (home && ::setenv("HOME", home->c_str(), 1) != 0))
      ::_exit(127);
    std::vector<char *> words;
    for (auto &word : argv)
      words.push_back(word.data());
    words.push_back(nullptr);
    ::execvp(program.c_str(), words.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  RunResult result{read_all(::fileno(out)), read_all(::fileno(err)),
                   WIFEXITED(status) ? WEXITSTATUS(status) : -1};
  std::fclose(out);
  std::fclose(err);
  return result;
}

RunResult run_converter(const fs::path &dir,
                        const std::vector<std::string> &args,
                        const std::optional<std::string> &argv0,
                        const RunOptions &options) {
  std::vector<std::string> argv;
  if (argv0)
    argv.push_back(*argv0);
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(dir, PARVANE_BINARY, std::move(argv), std::nullopt,
                     options);
}

std::vector<std::string> list_dir(const fs::path &dir) {
  std::vector<std::string> names;
  for (auto &entry : fs::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

} // namespace parvane::testing
