// Arbitrary bytes as the acquisition system's parameter record. The staging
// copy must be the record reversed and exactly as long, and every field must
// read as a direct big-endian decoding of the record gives it: 0 for a
// numeric field the record does not wholly hold, the bytes that exist for a
// text field.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "core/source_record.h"

namespace {

namespace fs = std::filesystem;
using parvane::File;

// A directory of its own for the record and its staging copy, removed when
// the fuzzer exits.
class WorkDirectory {
public:
  WorkDirectory() {
    std::string pattern =
        (fs::temp_directory_path() / "parvane-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      std::abort();
    path_ = pattern;
  }
  ~WorkDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  WorkDirectory(const WorkDirectory &) = delete;
  WorkDirectory &operator=(const WorkDirectory &) = delete;
  std::string operator/(const char *name) const { return (path_ / name).string(); }

private:
  fs::path path_;
};

void require(bool condition, const char *what) {
  if (condition)
    return;
  std::fprintf(stderr, "record reading: %s\n", what);
  std::abort();
}

struct Record {
  const std::uint8_t *data;
  std::int64_t size;

  std::uint32_t field_bits(std::int64_t offset) const {
    if (offset < 0 || offset > size - 4)
      return 0;
    std::uint32_t bits = 0;
    for (std::int64_t i = 0; i < 4; ++i)
      bits = bits << 8 | data[offset + i];
    return bits;
  }
  std::string text(std::int64_t offset, std::int64_t width) const {
    if (offset < 0 || offset >= size)
      return {};
    return std::string(reinterpret_cast<const char *>(data + offset),
                       static_cast<std::size_t>(std::min(width, size - offset)));
  }
};

void write_whole_file(const std::string &name, const std::uint8_t *data,
                      std::size_t size) {
  std::FILE *file = std::fopen(name.c_str(), "wb");
  require(file != nullptr, "cannot create the record");
  require(std::fwrite(data, 1, size, file) == size, "cannot write the record");
  require(std::fclose(file) == 0, "cannot close the record");
}

template <typename T> std::uint32_t bits_of(T value) {
  return std::bit_cast<std::uint32_t>(value);
}

void check_fields(const parvane::SourceParameters &p, const Record &r) {
  using namespace parvane;
  const std::pair<std::int64_t, std::uint32_t> fields[] = {
      {OFFSET_FIELD_X_SIZE, bits_of(p.field_x_size)},
      {OFFSET_FIELD_Y_SIZE, bits_of(p.field_y_size)},
      {OFFSET_INCREMENT_X, bits_of(p.increment_x)},
      {OFFSET_INCREMENT_Y, bits_of(p.increment_y)},
      {OFFSET_IMAGE_SIZE_X, bits_of(p.image_size_x)},
      {OFFSET_IMAGE_SIZE_Y, bits_of(p.image_size_y)},
      {OFFSET_SCAN_ANGLE, bits_of(p.scan_angle)},
      {OFFSET_Z_RESOLUTION, bits_of(p.z_resolution)},
      {OFFSET_Z_SPEED, bits_of(p.z_speed)},
      {OFFSET_MEASURED_GAP_VOLTAGE, bits_of(p.measured_gap_voltage)},
      {OFFSET_GAP_VOLTAGE_FORWARD, bits_of(p.gap_voltage_forward)},
      {OFFSET_GAP_VOLTAGE_BACKWARD, bits_of(p.gap_voltage_backward)},
      {OFFSET_MEASURED_CURRENT_SETPOINT, bits_of(p.measured_current_setpoint)},
      {OFFSET_FEEDBACK_SET_FORWARD, bits_of(p.feedback_set_forward)},
      {OFFSET_FEEDBACK_SET_BACKWARD, bits_of(p.feedback_set_backward)},
      {OFFSET_SPEC_START_FORWARD, bits_of(p.spec_start_forward)},
      {OFFSET_SPEC_END_FORWARD, bits_of(p.spec_end_forward)},
      {OFFSET_SPEC_INCREMENT_FORWARD, bits_of(p.spec_increment_forward)},
      {OFFSET_SPEC_POINTS_FORWARD, bits_of(p.spec_points_forward)},
      {OFFSET_SPEC_START_BACKWARD, bits_of(p.spec_start_backward)},
      {OFFSET_SPEC_END_BACKWARD, bits_of(p.spec_end_backward)},
      {OFFSET_SPEC_INCREMENT_BACKWARD, bits_of(p.spec_increment_backward)},
      {OFFSET_SPEC_POINTS_BACKWARD, bits_of(p.spec_points_backward)},
      {OFFSET_LINE_TIMING, bits_of(p.line_timing)},
      {OFFSET_FORWARD_ONLY, bits_of(p.forward_only)},
      {OFFSET_SPEC_START_FORWARD, bits_of(p.point_time_raw)},
  };
  for (const auto &[offset, bits] : fields)
    require(bits == r.field_bits(offset), "a numeric field differs");
  require(p.date_text == r.text(OFFSET_DATE_TEXT, WIDTH_DATE_TEXT) &&
              p.comment_text == r.text(OFFSET_COMMENT_TEXT, WIDTH_COMMENT_TEXT) &&
              p.user_text == r.text(OFFSET_USER_TEXT, WIDTH_USER_TEXT),
          "a text field differs");
}

// Offsets taken from the input itself: anywhere in the int64 range, and
// near the record's end where a field is cut short.
void check_any_offset(const File &staging, const File &record, const Record &r) {
  if (r.size < 8)
    return;
  std::int64_t raw = 0;
  std::memcpy(&raw, r.data, sizeof raw);
  for (std::int64_t offset : {raw, raw % (r.size + 8) - 4}) {
    require(std::bit_cast<std::uint32_t>(
                parvane::read_int_field(staging, r.size, offset)) ==
                r.field_bits(offset),
            "a field at an arbitrary offset differs");
    require(parvane::read_text_field(record, offset, 20) == r.text(offset, 20),
            "a text field at an arbitrary offset differs");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  static const WorkDirectory work;
  const std::string record_name = work / "tp1";
  write_whole_file(record_name, data, size);
  std::optional<File> record = File::open_source(record_name);
  std::optional<File> staging = File::open_staging(work / "tmp.par");
  require(record && staging && staging->truncate(),
          "cannot open the record or the staging file");

  const Record r{data, static_cast<std::int64_t>(size)};
  const parvane::StagingCopy staged = parvane::make_staging_copy(*record, *staging);
  const std::int64_t length = staged.record_length;
  require(staged.outcome == parvane::IoOutcome::Done && length == r.size && staging->size() == r.size,
          "the staging copy is not as long as the record");
  std::vector<std::uint8_t> copy(size);
  staging->read_at(0, copy);
  require(std::equal(copy.begin(), copy.end(),
                     std::make_reverse_iterator(data + size)),
          "the staging copy is not the record reversed");

  const std::optional<parvane::SourceParameters> fields =
      parvane::read_source_parameters(*staging, length, *record);
  require(fields.has_value(), "reading the fields failed");
  check_fields(*fields, r);
  check_any_offset(*staging, *record, r);
  return 0;
}
