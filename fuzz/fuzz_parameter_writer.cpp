// Arbitrary record values, file numbers and flags through the parameter file
// text. Whatever the values (NaN, infinities, extreme sizes, any bytes in
// the text fields), the text keeps its line structure: every line ends with
// CR LF, the line count is that of the channel layout (a line feed in the
// file number ends a line of its own; the text fields' line breaks are
// written as spaces), no carriage return stands alone but one typed in the
// file number, and the file opens
// and ends with its fixed lines.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

#include "convert/parameter_writer.h"

namespace {

void require(bool condition, const char *what) {
  if (condition)
    return;
  std::fprintf(stderr, "parameter file text: %s\n", what);
  std::abort();
}

std::int64_t line_feeds(const std::string &text) {
  return std::count(text.begin(), text.end(), '\n');
}

parvane::SourceParameters parameters_from(FuzzedDataProvider &in) {
  auto real = [&] { return std::bit_cast<float>(in.ConsumeIntegral<std::uint32_t>()); };
  auto integer = [&] { return in.ConsumeIntegral<std::int32_t>(); };
  parvane::SourceParameters p;
  for (float *field :
       {&p.field_x_size, &p.field_y_size, &p.increment_x, &p.increment_y,
        &p.scan_angle, &p.z_resolution, &p.measured_gap_voltage,
        &p.gap_voltage_forward, &p.gap_voltage_backward,
        &p.measured_current_setpoint, &p.feedback_set_forward,
        &p.feedback_set_backward, &p.spec_start_forward, &p.spec_end_forward,
        &p.spec_increment_forward, &p.spec_start_backward, &p.spec_end_backward,
        &p.spec_increment_backward})
    *field = real();
  for (std::int32_t *field :
       {&p.image_size_x, &p.image_size_y, &p.z_speed, &p.spec_points_forward,
        &p.spec_points_backward, &p.line_timing, &p.forward_only})
    *field = integer();
  p.point_time_raw = std::bit_cast<std::int32_t>(p.spec_start_forward);
  for (auto [text, width] : {std::pair{&p.date_text, 20}, std::pair{&p.comment_text, 50},
                             std::pair{&p.user_text, 20}})
    *text = in.ConsumeBytesAsString(in.ConsumeIntegralInRange(0, width));
  return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  FuzzedDataProvider in(data, size);
  const parvane::SourceParameters p = parameters_from(in);
  parvane::ParameterFileContext context;
  context.image_size_x = p.image_size_x;
  context.image_size_y = p.image_size_y;
  context.has_spectroscopy = in.ConsumeBool();
  context.dual_mode = in.ConsumeBool();
  // A file number is a C string of at most 246 characters.
  context.file_number = in.ConsumeRandomLengthString(246);
  std::erase(context.file_number, '\0');

  const std::string text = parvane::compose_parameter_file(p, context);

  const bool dual = context.dual_mode, spectroscopy = context.has_spectroscopy;
  const std::int64_t layout_lines =
      dual ? (spectroscopy ? 156 : 114) : (spectroscopy ? 121 : 98);
  const std::int64_t filename_lines = 1 + dual + spectroscopy + (dual && spectroscopy);
  require(line_feeds(text) ==
              layout_lines + filename_lines * line_feeds(context.file_number),
          "wrong number of lines");
  for (std::size_t i = text.find('\n'); i != std::string::npos;
       i = text.find('\n', i + 1))
    require(i > 0 && text[i - 1] == '\r', "a line feed without carriage return");
  // A carriage return in the file number is written as it was typed.
  if (context.file_number.find('\r') == std::string::npos)
    for (std::size_t i = text.find('\r'); i != std::string::npos;
         i = text.find('\r', i + 1))
      require(i + 1 < text.size() && text[i + 1] == '\n',
              "a carriage return without line feed");
  require(text.starts_with(";\r\n"), "does not open with its first line");
  require(text.ends_with("I Total                              : 0.01    ;[V]\r\n"),
          "does not end with its last line");
  return 0;
}
