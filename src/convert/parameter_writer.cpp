#include "convert/parameter_writer.h"

#include <cstddef>
#include <span>

#include "core/scala_settings.h"

namespace parvane {

namespace {

constexpr std::size_t line_count(bool dual_mode, bool has_spectroscopy) {
  std::size_t count = 0;
  for (const Setting &row : SCALA_SETTINGS)
    count += holds(row.when, dual_mode, has_spectroscopy) ? 1 : 0;
  return count;
}

static_assert(SCALA_SETTINGS.size() == 160);
static_assert(line_count(true, true) == 156);
static_assert(line_count(true, false) == 114);
static_assert(line_count(false, true) == 121);
static_assert(line_count(false, false) == 98);

// The file's text mask. A carriage return or line feed would end the
// setting's line, and SCALA readers refuse a file with a line that is no
// setting.
char line_safe(char byte) { return byte == '\r' || byte == '\n' ? ' ' : byte; }

} // namespace

std::string compose_parameter_file(const SourceParameters &parameters,
                                   const ParameterFileContext &context) {
  const SetFacts set{parameters, context.file_number, context.image_size_x,
                     context.image_size_y, context.dual_mode,
                     context.has_spectroscopy};
  std::string text;
  text.reserve(8192);
  for (const Setting &row : SCALA_SETTINGS) {
    if (!set.has(row))
      continue;
    text.append(static_cast<std::size_t>(row.indent), ' ');
    text += row.text;
    // A list argument is taken as typed, so the file number may hold a line
    // feed: it ends its line with CR LF like every line end, so that the
    // file never holds a bare LF.
    for (char byte : setting_value(row, set, line_safe)) {
      if (byte == '\n')
        text += '\r';
      text += byte;
    }
    text += row.tail;
    text += "\r\n";
  }
  return text;
}

bool write_parameter_file(File &parameter_file,
                          const SourceParameters &parameters,
                          const ParameterFileContext &context) {
  const std::string text = compose_parameter_file(parameters, context);
  return parameter_file.append(std::span(
      reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
}

} // namespace parvane
