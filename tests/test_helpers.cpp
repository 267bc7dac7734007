#include "test_helpers.h"

#include <cctype>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <thread>

#ifdef _WIN32
#include "core/windows_api.h"
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace parvane::testing {

namespace {

std::optional<File> emptied(std::optional<File> file) {
  if (!file || !file->truncate())
    return std::nullopt;
  return file;
}

} // namespace

std::optional<File> create_output(const std::string &name) {
  return emptied(File::open_output(name));
}

std::optional<File> create_scratch(const std::string &name) {
  return emptied(File::open_staging(name));
}

ScratchDir::ScratchDir() {
  // Creating a directory fails when the name exists, so a fresh random name
  // that could be created is ours alone.
  static constexpr char DIGITS[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::random_device entropy;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = "parvane-";
    for (int i = 0; i < 8; ++i)
      name.push_back(DIGITS[entropy() % (sizeof DIGITS - 1)]);
    path_ = fs::temp_directory_path() / name;
    if (fs::create_directory(path_))
      return;
  }
  throw std::runtime_error("cannot create scratch directory");
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

#ifdef _WIN32

namespace {

// Everything in the open file, from its start.
Bytes read_from_start(HANDLE handle) {
  Bytes bytes;
  char buffer[4096];
  for (;;) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(bytes.size());
    at.OffsetHigh = static_cast<DWORD>(std::uint64_t{bytes.size()} >> 32);
    DWORD got = 0;
    if (::ReadFile(handle, buffer, sizeof buffer, &got, &at) == 0 || got == 0)
      return bytes;
    bytes.append(buffer, got);
  }
}

} // namespace

// Opened sharing deletion too: the converter holds its staging file with the
// right to delete it, and a C runtime stream, which never shares deletion,
// could not open it meanwhile.
Bytes read_file(const fs::path &path) {
  HANDLE handle = ::CreateFileW(
      path.c_str(), GENERIC_READ,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    throw std::runtime_error("cannot read " + path.string());
  Bytes bytes = read_from_start(handle);
  ::CloseHandle(handle);
  return bytes;
}

#else

Bytes read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

#endif

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
  // A scan field of 100 nm square (the record holds Angstrom): a set that
  // has a physical size, as every measured set has, so that the export
  // takes it as well as the conversion.
  return float_at(12, 1000.0f)
      .float_at(16, 1000.0f)
      .int_at(28, size_x)
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

std::string with_lf_line_ends(const std::string &text) {
  std::string lines;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
      lines.push_back(text[i]);
  return lines;
}

#ifdef _WIN32

namespace {

// A temporary file that a started program inherits as its standard output or
// error, read back once the program has ended. A file rather than a pipe:
// neither stream can fill up and block the program while the other one is
// read. It is deleted when closed.
class CaptureFile {
public:
  CaptureFile() {
    const std::string dir = fs::temp_directory_path().string();
    char name[MAX_PATH];
    if (::GetTempFileNameA(dir.c_str(), "pvc", 0, name) == 0)
      throw std::runtime_error("cannot capture a program's output");
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    handle_ = ::CreateFileA(
        name, GENERIC_READ | GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherited,
        CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
        nullptr);
    if (handle_ == INVALID_HANDLE_VALUE)
      throw std::runtime_error("cannot capture a program's output");
  }
  ~CaptureFile() { ::CloseHandle(handle_); }
  CaptureFile(const CaptureFile &) = delete;
  CaptureFile &operator=(const CaptureFile &) = delete;
  HANDLE handle() const { return handle_; }
  std::string text() const { return read_from_start(handle_); }

private:
  HANDLE handle_;
};

// `word` as the C runtime reads it back from a command line: in quotes when
// it is empty or holds a blank or a quote, with each quote and the
// backslashes right before a quote (or before the closing quote) escaped.
std::string quoted_argument(const std::string &word) {
  if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos)
    return word;
  std::string text = "\"";
  std::size_t backslashes = 0;
  for (char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    text.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    text.push_back(c);
  }
  text.append(2 * backslashes, '\\');
  return text + "\"";
}

// The program's name is read up to the next blank, or inside quotes up to
// the next quote, with no escapes at all: it can hold neither a quote nor
// (unquoted) a blank.
std::string command_line(const std::vector<std::string> &argv) {
  if (argv.front().find('"') != std::string::npos)
    throw std::invalid_argument("a Windows program name cannot hold a quote");
  std::string line = '"' + argv.front() + '"';
  for (std::size_t i = 1; i < argv.size(); ++i)
    line += ' ' + quoted_argument(argv[i]);
  return line;
}

// The calling process's environment block with HOME set to `home`.
std::string environment_with_home(const fs::path &home) {
  std::string block;
  const char *strings = ::GetEnvironmentStringsA();
  for (const char *entry = strings; *entry != '\0';
       entry += std::strlen(entry) + 1)
    if (std::strncmp(entry, "HOME=", 5) != 0)
      block.append(entry, std::strlen(entry) + 1);
  ::FreeEnvironmentStringsA(const_cast<char *>(strings));
  block += "HOME=" + home.string();
  return block + '\0' + '\0';
}

// Exit codes from this value up are the system's status codes of a process
// that crashed (an access violation is 0xC0000005), not a status it chose.
constexpr DWORD FIRST_CRASH_STATUS = 0xC0000000;

} // namespace

RunResult run_program(const fs::path &dir, const std::string &program,
                      std::vector<std::string> argv,
                      const std::optional<fs::path> &home,
                      const RunOptions &options) {
  if (argv.empty())
    throw std::invalid_argument("Windows cannot start a program without "
                                "arguments (argc 0)");
  if (options.standard_output != RunOptions::Output::Captured ||
      options.file_size_limit)
    throw std::invalid_argument("run options are POSIX only");
  CaptureFile out, err;
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE input = ::CreateFileA("NUL", GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                               OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = out.handle();
  startup.hStdError = err.handle();
  std::string line = command_line(argv);
  std::string environment = home ? environment_with_home(*home) : std::string();
  // A path is started as it is; a bare name is looked up on PATH.
  const bool is_path = program.find_first_of("/\\") != std::string::npos;
  const std::string current = dir.string();
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessA(
      is_path ? program.c_str() : nullptr, line.data(), nullptr, nullptr, TRUE,
      0, home ? environment.data() : nullptr, current.c_str(), &startup,
      &process);
  if (input != INVALID_HANDLE_VALUE)
    ::CloseHandle(input);
  if (started == 0)
    return {"", "", 127};
  bool timed_out = false;
  if (::WaitForSingleObject(process.hProcess, RUN_DEADLINE_SECONDS * 1000) !=
      WAIT_OBJECT_0) {
    timed_out = true;
    ::TerminateProcess(process.hProcess, 1);
    ::WaitForSingleObject(process.hProcess, INFINITE);
  }
  DWORD status = 0;
  ::GetExitCodeProcess(process.hProcess, &status);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  RunResult result{out.text(), err.text(),
                   status >= FIRST_CRASH_STATUS ? -1 : static_cast<int>(status)};
  result.timed_out = timed_out;
  return result;
}

HeldOpen::HeldOpen(const fs::path &path, Access access) {
  const bool writer = access == Writer;
  HANDLE handle = ::CreateFileA(
      path.string().c_str(), writer ? GENERIC_WRITE : GENERIC_READ,
      writer ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    throw std::runtime_error("cannot open " + path.string());
  handle_ = reinterpret_cast<std::intptr_t>(handle);
}

HeldOpen::~HeldOpen() { ::CloseHandle(reinterpret_cast<HANDLE>(handle_)); }

#else

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

StartedProgram::StartedProgram(const fs::path &dir, const std::string &program,
                               std::vector<std::string> argv,
                               const std::optional<fs::path> &home,
                               const RunOptions &options)
    // Unnamed temporary files rather than pipes: neither stream can fill up
    // and block the program while the other one is read.
    : out_(std::tmpfile()), err_(std::tmpfile()) {
  if (out_ == nullptr || err_ == nullptr)
    throw std::runtime_error("cannot capture a program's output");
  std::FILE *out = out_, *err = err_;
  pid_t child = ::fork();
  if (child == 0) {
    // The signals a test sends reach the program with their default
    // actions, whatever the test runner was started with (a background job
    // of a script ignores SIGINT).
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
      std::signal(signal, SIG_DFL);
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
    case RunOptions::Output::BrokenPipe: {
      int ends[2];
      if (::pipe(ends) != 0 || ::dup2(ends[1], STDOUT_FILENO) < 0)
        ::_exit(127);
      ::close(ends[0]);
      ::close(ends[1]);
      std::signal(SIGPIPE, SIG_DFL);
      break;
    }
    }
    if (options.file_size_limit) {
      const struct rlimit limit = {*options.file_size_limit,
                                   *options.file_size_limit};
      if (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR ||
          ::setrlimit(RLIMIT_FSIZE, &limit) != 0)
        ::_exit(127);
    }
    if (options.address_space_limit) {
      const struct rlimit limit = {*options.address_space_limit,
                                   *options.address_space_limit};
      if (::setrlimit(RLIMIT_AS, &limit) != 0)
        ::_exit(127);
    }
    for (const auto &[name, value] : options.environment)
      if (::setenv(name.c_str(), value.c_str(), 1) != 0)
        ::_exit(127);
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
  pid_ = child;
}

StartedProgram::~StartedProgram() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::fclose(out_);
  std::fclose(err_);
}

std::string StartedProgram::errors_so_far() const {
  return read_all(::fileno(err_));
}

RunResult StartedProgram::wait() {
  RunResult result;
  if (pid_ <= 0)
    return result;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::seconds(RUN_DEADLINE_SECONDS);
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      result.timed_out = true;
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pid_ = -1;
  result.output = read_all(::fileno(out_));
  result.errors = read_all(::fileno(err_));
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

RunResult run_program(const fs::path &dir, const std::string &program,
                      std::vector<std::string> argv,
                      const std::optional<fs::path> &home,
                      const RunOptions &options) {
  return StartedProgram(dir, program, std::move(argv), home, options).wait();
}

HeldOpen::HeldOpen(const fs::path &path, Access access)
    : handle_(::open(path.c_str(), access == Writer ? O_WRONLY : O_RDONLY)) {
  if (handle_ < 0)
    throw std::runtime_error("cannot open " + path.string());
}

HeldOpen::~HeldOpen() { ::close(static_cast<int>(handle_)); }

#endif

RunResult run_converter(const fs::path &dir,
                        const std::vector<std::string> &args,
                        const std::optional<std::string> &argv0,
                        const RunOptions &options) {
  std::vector<std::string> argv;
  if (argv0)
    argv.push_back(*argv0);
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult result = run_program(dir, PARVANE_BINARY, std::move(argv),
                                 std::nullopt, options);
#ifdef _WIN32
  result.output = with_lf_line_ends(result.output);
  result.errors = with_lf_line_ends(result.errors);
#endif
  return result;
}

RunResult run_exporter(const fs::path &dir,
                       const std::vector<std::string> &args,
                       const RunOptions &options) {
  std::vector<std::string> argv{"parvane-export"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult result = run_program(dir, PARVANE_EXPORT_BINARY, std::move(argv),
                                 std::nullopt, options);
  result.output = with_lf_line_ends(result.output);
  result.errors = with_lf_line_ends(result.errors);
  return result;
}

std::vector<std::string> list_dir(const fs::path &dir) {
  std::vector<std::string> names;
  for (auto &entry : fs::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string error_line(int code) {
  return "Error " + std::to_string(code) + ": " +
         RESULT_CODES.at(static_cast<std::size_t>(code - 1)).text;
}

const GwyNode::Value &GwyNode::at(const std::string &name) const {
  static const Value missing;
  auto it = items.find(name);
  EXPECT_NE(it, items.end()) << type << " has no " << name;
  return it == items.end() ? missing : it->second;
}

const GwyNode &GwyNode::object(const std::string &name) const {
  static const GwyNode none;
  const Value &v = at(name);
  return v.objects.empty() ? none : v.objects.front();
}

namespace {

class GwyParser {
public:
  explicit GwyParser(const Bytes &bytes) : b_(bytes) {}
  std::optional<GwyNode> file() {
    if (b_.substr(0, 4) != "GWYP")
      return std::nullopt;
    pos_ = 4;
    std::optional<GwyNode> root = object();
    if (!root || pos_ != b_.size())
      return std::nullopt;
    return root;
  }

private:
  template <typename T> std::optional<T> fixed() {
    if (b_.size() - pos_ < sizeof(T))
      return std::nullopt;
    T v;
    std::memcpy(&v, b_.data() + pos_, sizeof v); // both builds: little-endian
    pos_ += sizeof v;
    return v;
  }
  std::optional<std::string> text() {
    const std::size_t end = b_.find('\0', pos_);
    if (end == std::string::npos)
      return std::nullopt;
    std::string s = b_.substr(pos_, end - pos_);
    pos_ = end + 1;
    return s;
  }
  std::optional<GwyNode> object() {
    GwyNode node;
    const auto type = text();
    const auto size = fixed<std::uint32_t>();
    if (!type || !size || b_.size() - pos_ < *size)
      return std::nullopt;
    node.type = *type;
    const std::size_t end = pos_ + *size;
    while (pos_ < end) {
      const auto name = text();
      const auto kind = fixed<char>();
      if (!name || !kind)
        return std::nullopt;
      GwyNode::Value &v = node.items[*name];
      v.kind = *kind;
      bool ok = true;
      switch (*kind) {
      case 'i': { auto i = fixed<std::int32_t>(); ok = bool(i); v.number = i.value_or(0); break; }
      case 'd': { auto d = fixed<double>(); ok = bool(d); v.number = d.value_or(0); break; }
      case 's': { auto t = text(); ok = bool(t); v.text = t.value_or(""); break; }
      case 'o': { auto o = object(); ok = bool(o); if (o) v.objects.push_back(*o); break; }
      case 'D': case 'O': {
        const auto n = fixed<std::uint32_t>();
        ok = bool(n);
        for (std::uint32_t k = 0; ok && k < n.value_or(0); ++k) {
          if (*kind == 'D') {
            auto d = fixed<double>();
            ok = bool(d);
            v.doubles.push_back(d.value_or(0));
          } else {
            auto o = object();
            ok = bool(o);
            if (o) v.objects.push_back(*o);
          }
        }
        break;
      }
      // Kept only to be skipped: Gwyddion's own files have them.
      case 'b': case 'c': ok = bool(fixed<char>()); break;
      case 'I': case 'S': {
        const auto n = fixed<std::uint32_t>();
        ok = bool(n);
        for (std::uint32_t k = 0; ok && k < n.value_or(0); ++k)
          ok = *kind == 'I' ? bool(fixed<std::int32_t>()) : bool(text());
        break;
      }
      default:
        return std::nullopt;
      }
      if (!ok)
        return std::nullopt;
    }
    if (pos_ != end)
      return std::nullopt;
    return node;
  }

  const Bytes &b_;
  std::size_t pos_ = 0;
};

} // namespace

GwyNode read_gwy(const fs::path &path) {
  std::optional<GwyNode> root = GwyParser(read_file(path)).file();
  EXPECT_TRUE(root) << path << " is no well-formed GWY file";
  return root.value_or(GwyNode{});
}

ExportResult export_set(const fs::path &dir, const std::string &number,
                        const fs::path &output,
                        const CurrentCalibration &current, Progress *progress) {
  std::optional<File> record = File::open_source((dir / ("tp" + number)).string());
  std::optional<File> topography = File::open_source((dir / ("tz" + number)).string());
  std::optional<File> spectroscopy = File::open_source((dir / ("ts" + number)).string());
  std::optional<File> out = create_output(output.string());
  EXPECT_TRUE(record && topography && out);
  if (!record || !topography || !out)
    return {ExportStatus::ReadFailed, "", "cannot open"};
  ExportSources sources{number, &*record, &*topography,
                        spectroscopy ? &*spectroscopy : nullptr,
                        "tp" + number, "tz" + number, "ts" + number, current};
  GwyExportPlan plan;
  ExportResult result = plan_gwy_export(sources, plan);
  if (!result.ok())
    return result;
  if (progress != nullptr)
    progress->begin(output.filename().string(), plan.source_bytes);
  result = write_gwy_export(plan, *out, progress);
  if (progress != nullptr)
    progress->end();
  EXPECT_TRUE(out->close());
  if (result.ok()) {
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(output)),
              plan.file_bytes);
  }
  return result;
}

std::string case_name(std::size_t index, std::string_view printed) {
  std::string name = std::to_string(index);
  bool in_word = false;
  for (std::size_t i = 0; i < printed.size(); ++i) {
    const auto c = static_cast<unsigned char>(printed[i]);
    if (std::isalnum(c)) {
      if (!in_word)
        name += '_';
      name += static_cast<char>(c);
      in_word = true;
      continue;
    }
    in_word = false;
    if (c == '-' && i + 1 < printed.size() && printed[i + 1] == '>')
      name += "_to", ++i;
    else if (c == '-')
      name += i + 1 < printed.size() &&
                      std::isdigit(static_cast<unsigned char>(printed[i + 1]))
                  ? "_minus"
                  : "_dash";
    else if (c == '?')
      name += "_qmark";
  }
  return name;
}

} // namespace parvane::testing
