#include "core/set_names.h"

#include <algorithm>

#include "core/file_io.h"

namespace parvane {

std::string old_parameter_name(const std::string &file_number) {
  return std::string(SOURCE_PREFIXES[0]) + file_number;
}

SetNames set_names(const std::string &file_number) {
  const auto output = [&](const char *suffix) {
    return "m" + file_number + suffix;
  };
  return {old_parameter_name(file_number),
          std::string(SOURCE_PREFIXES[1]) + file_number,
          std::string(SOURCE_PREFIXES[2]) + file_number,
          output("_ori.par"),
          output("_ori.tf0"),
          output("_ori.sf0"),
          output("_ori.tb0"),
          output("_ori.sb0")};
}

std::string gwy_export_name(const std::string &file_number) {
  return "m" + file_number + ".gwy";
}

namespace {

constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";

// Where the last component of `path` begins.
std::size_t last_component(std::string_view path) {
  const auto separator =
      std::find_if(path.rbegin(), path.rend(), is_directory_separator);
  return static_cast<std::size_t>(path.rend() - separator);
}

// ".pvx-<hash>-" for `final_name`.
std::string temporary_stem(std::string_view final_name) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::uint64_t hash =
      stable_name_hash(final_name.substr(last_component(final_name)));
  std::string digits(16, '0');
  for (auto d = digits.rbegin(); d != digits.rend(); ++d, hash >>= 4)
    *d = HEX[hash & 0xF];
  return std::string(TEMPORARY_PREFIX) + digits + '-';
}

} // namespace

bool is_decimal(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return c >= '0' && c <= '9';
  });
}

std::uint64_t stable_name_hash(std::string_view bytes) {
  std::uint64_t hash = 0xcbf29ce484222325;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3;
  }
  return hash;
}

std::string temporary_name_for(std::string_view final_name,
                               std::uint64_t process, int attempt) {
  return std::string(final_name.substr(0, last_component(final_name))) +
         temporary_stem(final_name) + std::to_string(process) + '-' +
         std::to_string(attempt) + std::string(TEMPORARY_SUFFIX);
}

bool is_temporary_name_for(std::string_view name, std::string_view final_name) {
  name.remove_prefix(last_component(name));
  const std::string stem = temporary_stem(final_name);
  if (!name.starts_with(stem) || !name.ends_with(TEMPORARY_SUFFIX))
    return false;
  name.remove_prefix(stem.size());
  name.remove_suffix(TEMPORARY_SUFFIX.size());
  const std::size_t dash = name.find('-');
  return dash != std::string_view::npos && is_decimal(name.substr(0, dash)) &&
         is_decimal(name.substr(dash + 1));
}

} // namespace parvane
