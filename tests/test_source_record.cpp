#include "core/source_record.h"

#include <bit>
#include <gtest/gtest.h>

#include "test_helpers.h"

namespace parvane {
namespace {

using testing::Bytes;
using testing::RecordBuilder;
using testing::ScratchDir;

// A record on disk, its staging copy made, ready to be read.
struct Staged {
  ScratchDir dir;
  std::optional<File> record;
  std::optional<File> staging;
  std::int64_t length = -1;

  explicit Staged(const Bytes &bytes) {
    testing::write_file(dir / "tp1", bytes);
    record = File::open_source((dir / "tp1").string());
    staging = testing::create_scratch((dir / "tmp.par").string());
    length = make_staging_copy(*record, *staging).record_length;
  }
  Bytes staging_bytes() const { return testing::read_file(dir / "tmp.par"); }
  SourceParameters read() const {
    return read_source_parameters(*staging, length, *record).value();
  }
};

Bytes record_of(std::initializer_list<std::pair<std::size_t, Bytes>> fields,
                std::size_t length = 402) {
  Bytes bytes(length, '\0');
  for (auto &[offset, value] : fields)
    bytes.replace(offset, value.size(), value);
  return bytes;
}

TEST(StagingCopy, IsTheRecordReversedAndExactlyAsLong) {
  // Lengths around the copy's block size catch off-by-one errors at block
  // boundaries; 0 and 1 are the degenerate records.
  for (std::size_t length : {0u, 1u, 2u, 402u, 1000u, 65535u, 65536u, 65537u,
                             200000u}) {
    Bytes bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
      bytes[i] = static_cast<char>(i * 7 + i / 251);
    Staged staged(bytes);
    EXPECT_EQ(staged.length, static_cast<std::int64_t>(length));
    EXPECT_EQ(staged.staging_bytes(), Bytes(bytes.rbegin(), bytes.rend()))
        << "record of " << length << " bytes";
  }
}

TEST(StagingCopy, EmptiesAStaleLongerStagingFile) {
  ScratchDir dir;
  testing::write_file(dir / "tmp.par", Bytes(5000, 'x'));
  testing::write_file(dir / "tp1",
                      RecordBuilder().int_at(OFFSET_IMAGE_SIZE_X, 256).bytes());
  auto record = File::open_source((dir / "tp1").string());
  auto staging = testing::create_scratch((dir / "tmp.par").string());
  std::int64_t length = make_staging_copy(*record, *staging).record_length;
  EXPECT_EQ(testing::read_file(dir / "tmp.par").size(), 402u);
  EXPECT_EQ(read_int_field(*staging, length, OFFSET_IMAGE_SIZE_X), 256);
}

struct FieldCase {
  std::size_t offset;
  Bytes bytes;
  std::int32_t as_int;
  float as_float;
};

void PrintTo(const FieldCase &c, std::ostream *out) {
  *out << "offset " << c.offset << " -> " << c.as_int;
}

class FieldDecoding : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldDecoding, DecodeBigEndianThroughTheStagingCopy) {
  const FieldCase &c = GetParam();
  // Bytes after the record's fields must not shift anything.
  for (std::size_t length : {402u, 403u, 4096u}) {
    Staged staged(record_of({{c.offset, c.bytes}}, length));
    EXPECT_EQ(read_int_field(*staged.staging, staged.length, c.offset), c.as_int);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(
                  read_float_field(*staged.staging, staged.length, c.offset)),
              std::bit_cast<std::uint32_t>(c.as_float));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FieldDecoding,
    ::testing::Values(
        FieldCase{28, Bytes("\x00\x00\x01\x00", 4), 256, 3.58732407e-43f},
        FieldCase{12, Bytes("\x3F\x80\x00\x00", 4), 0x3F800000, 1.0f},
        FieldCase{12, Bytes("\xC0\x00\x00\x00", 4),
                  static_cast<std::int32_t>(0xC0000000u), -2.0f},
        FieldCase{308, Bytes("\xFF\xFF\xFF\xFF", 4), -1,
                  std::bit_cast<float>(0xFFFFFFFFu)},
        FieldCase{308, Bytes("\x00\x00\x00\x01", 4), 1, 1.40129846e-45f}),
    testing::CaseName());

TEST(NumericFields, ForwardOnlyFlagDecidesDualMode) {
  struct Case { Bytes stored; bool dual; };
  for (const Case &c : {Case{Bytes(4, '\0'), true},
                        Case{Bytes("\x00\x00\x00\x01", 4), false},
                        Case{Bytes("\xFF\xFF\xFF\xFF", 4), false}}) {
    Staged staged(record_of({{OFFSET_FORWARD_ONLY, c.stored}}));
    EXPECT_EQ(staged.read().forward_only == 0, c.dual);
  }
}

TEST(NumericFields, EveryFieldComesFromItsOwnOffset) {
  // Each field gets a distinct value, so a swapped offset shows up.
  RecordBuilder record;
  record.float_at(OFFSET_FIELD_X_SIZE, 1.5f).float_at(OFFSET_FIELD_Y_SIZE, 2.5f)
      .float_at(OFFSET_INCREMENT_X, 3.5f).float_at(OFFSET_INCREMENT_Y, 4.5f)
      .int_at(OFFSET_IMAGE_SIZE_X, 5).int_at(OFFSET_IMAGE_SIZE_Y, 6)
      .float_at(OFFSET_SCAN_ANGLE, 7.5f).float_at(OFFSET_Z_RESOLUTION, 8.5f)
      .int_at(OFFSET_Z_SPEED, 9).float_at(OFFSET_MEASURED_GAP_VOLTAGE, 10.5f)
      .float_at(OFFSET_GAP_VOLTAGE_FORWARD, 11.5f)
      .float_at(OFFSET_GAP_VOLTAGE_BACKWARD, 12.5f)
      .float_at(OFFSET_MEASURED_CURRENT_SETPOINT, 13.5f)
      .float_at(OFFSET_FEEDBACK_SET_FORWARD, 14.5f)
      .float_at(OFFSET_FEEDBACK_SET_BACKWARD, 15.5f)
      .float_at(OFFSET_SPEC_START_FORWARD, 16.5f)
      .float_at(OFFSET_SPEC_END_FORWARD, 17.5f)
      .float_at(OFFSET_SPEC_INCREMENT_FORWARD, 18.5f)
      .int_at(OFFSET_SPEC_POINTS_FORWARD, 19)
      .float_at(OFFSET_SPEC_START_BACKWARD, 20.5f)
      .float_at(OFFSET_SPEC_END_BACKWARD, 21.5f)
      .float_at(OFFSET_SPEC_INCREMENT_BACKWARD, 22.5f)
      .int_at(OFFSET_SPEC_POINTS_BACKWARD, 23).int_at(OFFSET_LINE_TIMING, 24)
      .int_at(OFFSET_FORWARD_ONLY, 25).text_at(OFFSET_DATE_TEXT, "date")
      .text_at(OFFSET_COMMENT_TEXT, "comment").text_at(OFFSET_USER_TEXT, "user");
  Staged staged(record.bytes());
  const SourceParameters p = staged.read();
  const std::vector<float> floats{
      p.field_x_size, p.field_y_size, p.increment_x, p.increment_y,
      p.scan_angle, p.z_resolution, p.measured_gap_voltage,
      p.gap_voltage_forward, p.gap_voltage_backward,
      p.measured_current_setpoint, p.feedback_set_forward,
      p.feedback_set_backward, p.spec_start_forward, p.spec_end_forward,
      p.spec_increment_forward, p.spec_start_backward, p.spec_end_backward,
      p.spec_increment_backward};
  EXPECT_EQ(floats, (std::vector<float>{1.5f, 2.5f, 3.5f, 4.5f, 7.5f, 8.5f,
                                        10.5f, 11.5f, 12.5f, 13.5f, 14.5f,
                                        15.5f, 16.5f, 17.5f, 18.5f, 20.5f,
                                        21.5f, 22.5f}));
  const std::vector<std::int32_t> ints{
      p.image_size_x, p.image_size_y, p.z_speed, p.spec_points_forward,
      p.spec_points_backward, p.line_timing, p.forward_only};
  EXPECT_EQ(ints, (std::vector<std::int32_t>{5, 6, 9, 19, 23, 24, 25}));
  EXPECT_EQ(p.point_time_raw, std::bit_cast<std::int32_t>(16.5f));
  EXPECT_EQ(text_value(p.date_text), "date");
  EXPECT_EQ(text_value(p.comment_text), "comment");
  EXPECT_EQ(text_value(p.user_text), "user");
}

TEST(TextFields, EndAtTheFirstNulOrTheFieldWidth) {
  struct Case { Bytes stored; Bytes value; };
  for (const Case &c : {Case{"2006-02-01", "2006-02-01"},
                        Case{Bytes(20, 'D') + "spill", Bytes(20, 'D')},
                        Case{Bytes("\0abc", 4), ""},
                        Case{Bytes("a\nb\0c", 5), "a\nb"}}) {
    Staged staged(record_of({{OFFSET_DATE_TEXT, c.stored}}));
    EXPECT_EQ(text_value(staged.read().date_text), c.value);
  }
}

TEST(ShortRecords, FieldsOutsideTheRecordReadAsZero) {
  // A record cut inside the image size field: the field before it is whole,
  // the cut one and every later one read as 0; a text field the record ends
  // inside gives the bytes that exist.
  Bytes bytes = RecordBuilder()
                    .float_at(OFFSET_FIELD_X_SIZE, 1.0f)
                    .int_at(OFFSET_IMAGE_SIZE_X, 256)
                    .text_at(OFFSET_DATE_TEXT, "0123456789")
                    .bytes();
  Staged cut(bytes.substr(0, 30));
  EXPECT_EQ(cut.read().field_x_size, 1.0f);
  EXPECT_EQ(cut.read().image_size_x, 0);
  EXPECT_EQ(cut.read().forward_only, 0);
  EXPECT_EQ(cut.read().date_text, "");

  Staged inside_date(bytes.substr(0, 317));
  EXPECT_EQ(inside_date.read().date_text, "01234");
  EXPECT_EQ(inside_date.read().image_size_x, 256);

  Staged empty{Bytes()};
  EXPECT_EQ(empty.length, 0);
  EXPECT_EQ(empty.staging_bytes(), "");
  EXPECT_EQ(empty.read().image_size_y, 0);
}

} // namespace
} // namespace parvane
