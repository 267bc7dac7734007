#include "core/console.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <utility>

namespace parvane {
namespace {

void write_error_line(const std::string &line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

} // namespace

void print_line(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// The stream keeps its error indicator from the first failed write on, so
// the run needs no state of its own to remember it.
bool console_intact() {
  return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

void report_console_failure(const std::string &program_name) {
  Diagnostics(program_name).note(
      "Couldn't write to standard output; console lines were lost");
}

bool is_control_character(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 32 || byte == 127;
}

std::string printable(std::string_view text) {
  std::string shown(text);
  std::replace_if(shown.begin(), shown.end(), is_control_character, '?');
  return shown;
}

std::string working_directory_shown() {
  std::error_code error;
  const std::filesystem::path path = std::filesystem::current_path(error);
  if (error)
    return "the working directory";
  try {
    // UTF-8 on every system; only a Windows name that is no valid UTF-16
    // cannot be spelt so.
    const std::u8string text = path.u8string();
    return printable(std::string(text.begin(), text.end()));
  } catch (const std::exception &) {
    return "the working directory";
  }
}

Diagnostics::Diagnostics(std::string program_name)
    : program_(program_name.empty() ? std::string(DEFAULT_PROGRAM)
                                    : std::move(program_name)) {}

void Diagnostics::report(std::string_view file, std::string_view reason) const {
  write_error_line(program_ + ": " + printable(file) + ": " +
                   std::string(reason));
}

void Diagnostics::note(std::string_view text) const {
  write_error_line(program_ + ": " + std::string(text));
}

} // namespace parvane
