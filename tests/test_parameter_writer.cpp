// The parameter file text: whole files for the four kinds of set, the
// export's metadata stating the same settings, the number rendering, the
// arithmetic against an exact reference, and text fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>
#include <random>
#include <sstream>

#include "core/number_format.h"
#include "core/parameter_arithmetic.h"
#include "core/scala_settings.h"
#include "core/setting_attributes.h"
#include "convert/parameter_writer.h"
#include "export/gwy_export.h"
#include "test_helpers.h"

namespace parvane::testing {
namespace {

// The file of set 7 built by `golden_record`, every possible line once. The
// tag before "|" says which sets have the line: blank for all, D with a
// backward scan, F forward only, S with spectroscopy, SD with both.
constexpr const char *GOLDEN = R"(
  |;
  |;            Omicron SPM Control.
  |;          Parameter file for SPM data.
  |;
  |
  |Format                           : 1
  |
  |Version                          : 4.0
  |System                           : SCALA
  |
  |;
  |; User Information.
  |;
  |
  |Date                             : 2024-05-17
  |User                             : ABCDEFGHIJKLMNOPQRST
  |Comment                          : scan of Au(111) terrace
  |;
  |; Scanner Description.
  |;
  |
  |Name                             : AFM_N.SCA
  |VGAP Contact                     : SAMPLE
  |
  |;
  |; Scanner Area Description.
  |;
  |
  |Field X Size in nm               : 100    ;[nm]
  |Field Y Size in nm               : 200    ;[nm]
  |Image Size in X                  : 256
  |Image Size in Y                  : 2
  |Increment X                      : 0.35    ;[nm]
  |Increment Y                      : 0.7    ;[nm]
  |Scan Angle                       : -12.5    ;[Degree]
  |X Offset                         : 0    ;[nm] (made up)
  |Y Offset                         : 0    ;[nm] (made up)
  |
  |;
  |; Topographic Channels.
  |;
  |
  |Topographic Channel              : Z    ;Channel
  |                                   Forward
  |                                   -32767    ;Minimum raw value
  |                                   32766    ;Maximum raw value
  |                                   -2457.52    ;Minimum value in physical unit
  |                                   2457.45    ;Maximum value in physical unit
  |                                   0.075    ;Resolution
  |                                   nm    ;Physical unit
  |                                   m7_ori.tf0    ;Filename
  |                                   Z    ;Display name
  |
D |Topographic Channel              : Z    ;Channel
D |                                   Backward
D |                                   -32767    ;Minimum raw value
D |                                   32766    ;Maximum raw value
D |                                   -2457.53    ;Minimum value in physical unit
D |                                   2457.45    ;Maximum value in physical unit
D |                                   0.075    ;Resolution
D |                                   nm    ;Physical unit
D |                                   m7_ori.tb0    ;Filename
D |                                   Z    ;Display name
D |
S |;
S |; Spectroscopy Channels.
S |;
S |
S |Spectroscopy Channel             : I    ;Channel
S |                                   V    ;Parameter
S |                                   Forward
S |                                   0    ;Minimum raw value
S |                                   32768    ;Maximum raw value
S |                                   0.00000    ;Minimum value in physical units
S |                                   50.000    ;Maximum value in physical units
S |                                   0.0015259    ;resolution
S |                                   nA    ;Physical unit
S |                                   4    ;Number of spectroscopy points
S |                                   -2    ;Start point spectroscopy
S |                                   2    ;End point spectroscopy
S |                                   0.0625    ;Increment point spectroscopy
S |                                   -5.36871e+08    ;Acquisition time per spectroscopy point
S |                                   -5.36871e+08    ;delay time per spectroscopy point
S |                                    Off   ;Feeedback on/off
S |                                    m7_ori.sf0    ;Filename
S |                                    I    ;Display name
S |
SD|Spectroscopy Channel             : I    ;Channel
SD|                                   V    ;Parameter
SD|                                   Backward
SD|                                   0    ;Minimum raw value
SD|                                   32768    ;Maximum raw value
SD|                                   0.00000    ;Minimum value in physical units
SD|                                   50.000    ;Maximum value in physical units
SD|                                   0.0015259    ;resolution
SD|                                   nA    ;Physical unit
SD|                                   3    ;Number of spectroscopy points
SD|                                   -3    ;Start point spectroscopy
SD|                                   3    ;End point spectroscopy
SD|                                   0.09375    ;Increment point spectroscopy
SD|                                   -5.36871e+08    ;Acquisition time per spectroscopy point
SD|                                   -5.36871e+08    ;delay time per spectroscopy point
SD|                                    Off   ;Feeedback on/off
SD|                                    m7_ori.sb0    ;Filename
SD|                                    I    ;Display name
SD|
  |;
  |; Measurement parameters.
  |;
  |
  |SPM Method                           : STM
D |Dual mode                            : On
D |Delay                                : 0    ;[us]  (Forward)
D |                                     : 0    ;[us]  (Backward)
F |Dual mode                            : Off
F |Gap Voltage                          : 1.5    ;[V]
D |Gap Voltage                          : 1.5    ;[V]  (Forward)
D |                                       -1.5    ;[V]  (Backward)
F |Feedback Set                         : 2.25    ;[nA]
D |Feedback Set                         : 2.25    ;[nA]  (Forward)
D |                                       3.75    ;[nA]  (Backward)
F |Loop Gain                            : 1.2    ;[%] (made up)
D |Loop Gain                            : 1.2    ;[%] (made up)  (Forward)
D |                                       1.2    ;[%] (made up)  (Backward)
  |X Resolution                         : 0    ;Currently not used.
  |Y Resolution                         : 0    ;Currently not used.
  |Measured Gap Voltage                 : 0.25    ;[V] (made up)
  |Measured Current Setpoint            : 0.125   ;[nA] (made up)
  |Measured Current                     : 0.125   ;[nA] (made up)
  |Scan Speed                           : 0.390625    ;[nm/s]
  |X Drift                              : 0    ;[nm/s] (made up)
  |Y Drift                              : 0    ;[nm/s] (made up)
  |Scan Mode                            : Frame
  |Scan Direction                       : UP
  |Spectroscopy Grid Value in X         : 1
  |Spectroscopy Grid Value in Y         : 1
  |Spectroscopy Points in X             : 256
  |Spectroscopy Lines in Y              : 2
  |
  |;
  |; Z Control Parameters.
  |;
  |
  |Z Speed                              : 12.3    ;[nm/s]
  |Z Output Gain                        : 0.1    ;(made up)
  |Automatic Z zero                     : On    ;(made up)
  |Z Input Gain                         : 10    ;(made up)
  |
  |;
  |; AFM Description.
  |;
  |
  |AFM exists                           : 1
  |Amplitude                            : 0.1    ;[V]
  |Delta f sign                         : -1
  |Oscillator available                 : Yes
  |Oscillator frequency                 : 455300    ;[Hz]
  |Calibration FN                       : 10    ;[nN/V]
  |Calibration FL                       : 10    ;[nN/V]
  |I Total                              : 0.01    ;[V])";

std::string expected_file(bool dual_mode, bool has_spectroscopy) {
  std::istringstream lines(std::string(GOLDEN).substr(1));
  std::string line, text;
  while (std::getline(lines, line)) {
    const std::string tag = line.substr(0, 2);
    const bool keep = tag == "  " || (tag == "D " && dual_mode) ||
                      (tag == "F " && !dual_mode) ||
                      (tag == "S " && has_spectroscopy) ||
                      (tag == "SD" && has_spectroscopy && dual_mode);
    if (keep)
      text += line.substr(3) + "\r\n";
  }
  return text;
}

Bytes golden_record(bool dual_mode) {
  RecordBuilder record(420); // bytes past the user field must not show
  record.shape(256, 2, dual_mode, 4, 3)
      .float_at(12, 1000).float_at(16, 2000).float_at(20, 3.5f).float_at(24, 7)
      .float_at(36, -12.5f).float_at(48, 0.75f).int_at(108, 123)
      .float_at(112, 0.25f).float_at(116, 1.5f).float_at(120, -1.5f)
      .float_at(132, 0.125f).float_at(136, 2.25f).float_at(140, 3.75f)
      .float_at(152, -2).float_at(156, 2).float_at(160, 0.0625f)
      .float_at(168, -3).float_at(172, 3).float_at(176, 0.09375f)
      .int_at(248, 1)
      .text_at(312, std::string("2024-05-17\0junk", 15))
      .text_at(332, "scan of Au(111) terrace")
      .text_at(382, "ABCDEFGHIJKLMNOPQRST")
      .text_at(402, "beyond the record");
  return record.bytes();
}

struct SetKind {
  bool dual_mode;
  bool has_spectroscopy;
  std::size_t lines;
  std::size_t settings; // of them, with a value
};

void PrintTo(const SetKind &kind, std::ostream *out) {
  *out << (kind.dual_mode ? "dual" : "single")
       << (kind.has_spectroscopy ? " with" : " without") << " spectroscopy";
}

class GoldenFile : public ::testing::TestWithParam<SetKind> {};

TEST_P(GoldenFile, ConverterWritesItByteForByte) {
  const SetKind kind = GetParam();
  ScratchDir dir;
  const Bytes no_samples;
  write_set(dir.path(), "7", golden_record(kind.dual_mode), no_samples,
            kind.has_spectroscopy ? &no_samples : nullptr);
  const RunResult run = run_converter(dir.path(), {"7"});
  ASSERT_EQ(run.status, 0) << run.output;
  const Bytes written = read_file(dir / "m7_ori.par");
  EXPECT_EQ(written, expected_file(kind.dual_mode, kind.has_spectroscopy));
  EXPECT_EQ(static_cast<std::size_t>(
                std::count(written.begin(), written.end(), '\n')),
            kind.lines);
  EXPECT_TRUE(written.ends_with("I Total                              : 0.01    ;[V]\r\n"));
}

// The export's metadata states a setting exactly where the parameter file
// does: the keyed rows whose condition holds for the set, no other.
TEST_P(GoldenFile, ExportStatesTheSettingsOfTheSameRows) {
  const SetKind kind = GetParam();
  ScratchDir dir;
  const Bytes samples = counting_samples(2 * 4 * 256 * 2);
  write_set(dir.path(), "7", golden_record(kind.dual_mode), samples,
            kind.has_spectroscopy ? &samples : nullptr);
  const ExportResult result = export_set(dir.path(), "7", dir / "m7.gwy");
  ASSERT_TRUE(result.ok()) << result.file << ": " << result.reason;
  // Each key once, stated when one of its rows holds ("Dual mode" has one
  // row for each kind of scan) and it holds a measured value; beside them
  // the export's own.
  std::set<std::string> expected;
  for (const Setting &row : SCALA_SETTINGS)
    if (!row.key.empty() && holds(row.when, kind.dual_mode, kind.has_spectroscopy))
      expected.insert(std::string(row.key));
  EXPECT_EQ(expected.size(), kind.settings);
  for (const SettingAttribute &attribute : SETTING_ATTRIBUTES)
    if (!attribute.meaningful)
      expected.erase(std::string(attribute.key));
  expected.insert({"Exported by", "Source parameter record", "Source topography"});
  if (kind.has_spectroscopy)
    expected.insert("Source spectroscopy");
  const GwyNode file = read_gwy(dir / "m7.gwy");
  std::set<std::string> stated;
  for (const auto &[key, value] : file.object("/0/meta").items)
    stated.insert(key);
  EXPECT_EQ(stated, expected);
  // What the converter fills in follows every value taken from the record:
  // each string component lies in the file as its name, a NUL and 's'.
  const Bytes bytes = read_file(dir / "m7.gwy");
  std::size_t last_from_record = 0, first_fixed = std::string::npos;
  for (const auto &[key, value] : file.object("/0/meta").items) {
    const std::size_t at = bytes.find(std::string(1, '\0') + key + '\0' + 's');
    ASSERT_NE(at, std::string::npos) << key;
    if (value.text.ends_with("(fixed by the converter)"))
      first_fixed = std::min(first_fixed, at);
    else if (value.text.ends_with("record)"))
      last_from_record = std::max(last_from_record, at);
  }
  EXPECT_LT(last_from_record, first_fixed);
}

INSTANTIATE_TEST_SUITE_P(FourKindsOfSet, GoldenFile,
                         ::testing::Values(SetKind{true, true, 156, 89},
                                           SetKind{true, false, 114, 63},
                                           SetKind{false, true, 121, 66},
                                           SetKind{false, false, 98, 53}),
                         CaseName());

TEST(ParameterFile, WriteFailureIsReported) {
  std::optional<File> full = create_output("/dev/full");
  if (!full)
    GTEST_SKIP() << "no /dev/full";
  EXPECT_FALSE(write_parameter_file(*full, {}, {"1", 1, 1, true, true}));
}

// Whether the composed file has `line` as one whole line.
bool has_line(const SourceParameters &p, const ParameterFileContext &c,
              const std::string &line) {
  return compose_parameter_file(p, c).find("\r\n" + line + "\r\n") !=
         std::string::npos;
}

struct TextCase {
  std::string bytes;
  std::string shown;
};

// By what it shows: the bytes themselves may be none a name can hold.
void PrintTo(const TextCase &c, std::ostream *out) {
  *out << "shows " << (c.shown.empty() ? "nothing" : c.shown);
}

class TextField : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextField, ShowsBytesUpToFirstNulWithLineBreaksAsSpaces) {
  SourceParameters p;
  p.date_text = GetParam().bytes;
  EXPECT_TRUE(has_line(p, {"1"}, "Date                             : " +
                                     GetParam().shown));
}

INSTANTIATE_TEST_SUITE_P(
    Values, TextField,
    ::testing::Values(TextCase{std::string("2024-05-17\0\0\0x", 14), "2024-05-17"},
                      TextCase{"ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNOPQRST"},
                      TextCase{std::string("\0abc", 4), ""}, TextCase{"", ""},
                      TextCase{"ab\ncd", "ab cd"},
                      TextCase{"cr\rlf \xB5 \r\n", "cr lf \xB5   "},
                      // Other control bytes do not end a line: kept.
                      TextCase{"tab\t\x01\x1B\x7F", "tab\t\x01\x1B\x7F"},
                      TextCase{"sho", "sho"}),
    CaseName());

TEST(ParameterFile, NeverHoldsABareLineFeedOrCarriageReturn) {
  // A list argument is taken as typed, so a file number may hold a line feed.
  SourceParameters p;
  p.user_text = "a\nb";
  p.comment_text = "c\rd\r\n";
  const std::string text = compose_parameter_file(p, {"1\n2", 1, 1, true, true});
  for (std::size_t at = text.find('\n'); at != std::string::npos;
       at = text.find('\n', at + 1))
    ASSERT_TRUE(at > 0 && text[at - 1] == '\r') << "bare LF at byte " << at;
  for (std::size_t at = text.find('\r'); at != std::string::npos;
       at = text.find('\r', at + 1))
    ASSERT_TRUE(at + 1 < text.size() && text[at + 1] == '\n')
        << "bare CR at byte " << at;
  EXPECT_NE(text.find("m1\r\n2_ori.sb0    ;Filename"), std::string::npos);
}

TEST(ParameterFile, NegativeSizesAndPointCountsKeepTheirSign) {
  SourceParameters p;
  p.spec_points_forward = -5;
  p.spec_points_backward = INT_MIN;
  const ParameterFileContext c{"-2", -256, -1, true, true};
  const std::string indent(35, ' ');
  EXPECT_TRUE(has_line(p, c, "Image Size in X                  : -256"));
  EXPECT_TRUE(has_line(p, c, "Spectroscopy Lines in Y              : -1"));
  EXPECT_TRUE(has_line(p, c, indent + "-5    ;Number of spectroscopy points"));
  EXPECT_TRUE(has_line(p, c, indent + "-2147483648    ;Number of spectroscopy points"));
  EXPECT_TRUE(has_line(p, c, indent + "m-2_ori.tf0    ;Filename"));
}

struct Rendered {
  float value;
  const char *text;
};

// Printed by its fields: the default prints the struct's bytes, padding
// included, which may differ between listing the tests and running them.
void PrintTo(const Rendered &r, std::ostream *out) {
  *out << r.text;
}

class FloatRule : public ::testing::TestWithParam<Rendered> {};

TEST_P(FloatRule, WritesSixSignificantDigits) {
  EXPECT_EQ(format_float(GetParam().value), GetParam().text);
}

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Examples, FloatRule,
    ::testing::Values(Rendered{100, "100"}, Rendered{0.1f, "0.1"},
                      Rendered{3276.7f, "3276.7"}, Rendered{123456, "123456"},
                      Rendered{1234567, "1.23457e+06"}, Rendered{1e6f, "1e+06"},
                      Rendered{0.0001f, "0.0001"}, Rendered{0.00001f, "1e-05"},
                      Rendered{-2.5f, "-2.5"}, Rendered{0, "0"},
                      Rendered{-0.0f, "-0"}, Rendered{INF, "+INF"},
                      Rendered{-INF, "-INF"}, Rendered{NaN, "+NAN"},
                      Rendered{-NaN, "-NAN"}, Rendered{1e-45f, "1.4013e-45"},
                      Rendered{3.4028235e38f, "3.40282e+38"}),
    CaseName());

TEST(FloatRule, MatchesPrintfOnRandomValues) {
  std::mt19937 random(7);
  for (int i = 0; i < 100000; ++i) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (!std::isfinite(value))
      continue;
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", static_cast<double>(value));
    ASSERT_EQ(format_float(value), text);
  }
}

TEST(IntRule, PlainDecimal) {
  EXPECT_EQ(format_int(0), "0");
  EXPECT_EQ(format_int(256), "256");
  EXPECT_EQ(format_int(-1), "-1");
  EXPECT_EQ(format_int(INT_MIN), "-2147483648");
}

class Arithmetic : public ::testing::TestWithParam<Rendered> {};

TEST_P(Arithmetic, PrintsTheKnownDigits) {
  EXPECT_EQ(format_float(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Arithmetic,
    ::testing::Values(
        Rendered{tenth(1000), "100"}, Rendered{forward_minimum(1), "-3276.7"},
        Rendered{forward_maximum(1), "3276.6"},
        Rendered{topography_resolution(1), "0.1"},
        Rendered{backward_minimum(1), "-3276.7"},
        Rendered{backward_maximum(1), "3276.6"},
        Rendered{forward_minimum(0.75f), "-2457.52"},
        Rendered{backward_minimum(0.75f), "-2457.53"},
        Rendered{forward_maximum(0.75f), "2457.45"},
        Rendered{backward_maximum(0.75f), "2457.45"},
        Rendered{topography_resolution(0.75f), "0.075"},
        Rendered{scan_speed(1, 256, 1000), "0.390625"},
        Rendered{scan_speed(65536, 65536, 1000), "2.32831e-08"},
        Rendered{z_speed_tenth(123), "12.3"},
        Rendered{spectroscopy_point_time(-1073741824), "-5.36871e+08"},
        Rendered{spectroscopy_point_time(3), "1.5"},
        // Faults give IEEE results.
        Rendered{scan_speed(0, 256, 1000), "+INF"},
        Rendered{scan_speed(7, 0, -1000), "-INF"},
        Rendered{forward_minimum(1e38f), "-INF"},
        Rendered{backward_maximum(1e38f), "+INF"}, Rendered{tenth(INF), "+INF"},
        Rendered{tenth(-INF), "-INF"}, Rendered{tenth(-NaN), "-NAN"}),
    CaseName());

TEST(Arithmetic, ZeroOverZeroScanSpeedIsNotANumber) {
  EXPECT_TRUE(format_float(scan_speed(0, 0, 0)).ends_with("NAN"));
}

// Exact reference: a value is sign * mantissa * 2^exponent (plus less than
// one unit of the mantissa when `inexact`), in integers only.
__extension__ typedef unsigned __int128 Wide;

struct Exact {
  bool negative = false;
  Wide mantissa = 0;
  int exponent = 0;
  bool inexact = false;
};

int width(Wide m) {
  int bits = 0;
  for (; m != 0; m >>= 1)
    ++bits;
  return bits;
}

// Rounds to `bits` significant bits, to nearest, ties to even, with no unit
// below 2^min_exponent.
Exact round_to(Exact x, int bits, int min_exponent) {
  const int shift = std::max(width(x.mantissa) - bits, min_exponent - x.exponent);
  if (shift <= 0)
    return x;
  if (shift > 127)
    return {x.negative, 0, min_exponent};
  const Wide rest = x.mantissa & ((Wide{1} << shift) - 1);
  const Wide half = Wide{1} << (shift - 1);
  Exact r{x.negative, x.mantissa >> shift, x.exponent + shift};
  if (rest > half || (rest == half && (x.inexact || (r.mantissa & 1))))
    ++r.mantissa;
  return r;
}

Exact extended(Exact x) { return round_to(x, 64, INT_MIN / 2); }

float single(Exact x) {
  const Exact r = round_to(x, 24, -149);
  const double magnitude = width(r.mantissa) + r.exponent > 128
                               ? INFINITY
                               : std::ldexp(static_cast<double>(r.mantissa), r.exponent);
  return static_cast<float>(r.negative ? -magnitude : magnitude);
}

Exact exact(float f) {
  const auto bits = std::bit_cast<std::uint32_t>(f);
  const int biased = static_cast<int>((bits >> 23) & 0xFF);
  const Wide fraction = bits & 0x7FFFFF;
  return {bits >> 31 != 0, biased ? fraction | 0x800000 : fraction,
          (biased ? biased : 1) - 150};
}

Exact exact(std::int64_t i) {
  return {i < 0, static_cast<Wide>(i < 0 ? -static_cast<Wide>(i) : i), 0};
}

Exact times(Exact a, Exact b) {
  return {a.negative != b.negative, a.mantissa * b.mantissa,
          a.exponent + b.exponent};
}

Exact reciprocal(Exact x) {
  const int k = width(x.mantissa) + 66;
  const Wide power = Wide{1} << k;
  return {x.negative, power / x.mantissa, -k - x.exponent,
          power % x.mantissa != 0};
}

// The 64-bit number nearest 2^67 / 10, derived here rather than copied.
Exact tenth_constant() {
  const Wide power = Wide{1} << 67;
  Wide q = power / 10;
  if (power % 10 > 5 || (power % 10 == 5 && (q & 1)))
    ++q;
  return {false, q, -67};
}

float ref_tenth(float x) { return single(extended(times(exact(x), tenth_constant()))); }

float ref_forward(std::int64_t factor, float z) {
  return single(extended(times(extended(times(exact(factor), exact(z))),
                               tenth_constant())));
}

float ref_backward(std::int64_t factor, float z) {
  return single(extended(times(exact(factor), exact(ref_tenth(z)))));
}

float ref_scan_speed(std::int32_t timing, std::int32_t size_x, float field) {
  const float p = single(exact(std::int64_t{timing} * size_x));
  const float q = single(extended(reciprocal(exact(p))));
  return ref_tenth(single(extended(times(exact(field), exact(q)))));
}

float ref_point_time(std::int32_t raw) {
  return single(extended(times(exact(std::int64_t{raw}), Exact{false, 1, -1})));
}

// Random floats over the whole range: every exponent, subnormals included.
class RandomInputs {
public:
  float any_float() {
    for (;;) {
      const float f = std::bit_cast<float>(static_cast<std::uint32_t>(random_()));
      if (std::isfinite(f))
        return f;
    }
  }
  float everyday_float() {
    return std::uniform_real_distribution<float>(-5000, 5000)(random_);
  }
  std::int32_t any_int() { return static_cast<std::int32_t>(random_()); }
  std::int32_t small_int() {
    return std::uniform_int_distribution<std::int32_t>(-2000, 2000)(random_);
  }

private:
  std::mt19937 random_{20240517};
};

#define EXPECT_SAME_FLOAT(actual, expected, input)                              \
  ASSERT_EQ(std::bit_cast<std::uint32_t>(actual),                               \
            std::bit_cast<std::uint32_t>(expected))                             \
      << "input " << std::hexfloat << (input) << ": " << (actual) << " vs "      \
      << (expected)

TEST(ArithmeticReference, SingleInputFormulasOverTheWholeFloatRange) {
  RandomInputs in;
  for (int i = 0; i < 200000; ++i) {
    const float z = i % 2 ? in.any_float() : in.everyday_float();
    EXPECT_SAME_FLOAT(tenth(z), ref_tenth(z), z);
    EXPECT_SAME_FLOAT(forward_minimum(z), ref_forward(-32767, z), z);
    EXPECT_SAME_FLOAT(forward_maximum(z), ref_forward(32766, z), z);
    EXPECT_SAME_FLOAT(backward_minimum(z), ref_backward(-32767, z), z);
    EXPECT_SAME_FLOAT(backward_maximum(z), ref_backward(32766, z), z);
  }
}

TEST(ArithmeticReference, IntegerInputFormulas) {
  RandomInputs in;
  for (int i = 0; i < 100000; ++i) {
    const std::int32_t n = i % 2 ? in.any_int() : in.small_int();
    EXPECT_SAME_FLOAT(z_speed_tenth(n), ref_tenth(single(exact(std::int64_t{n}))), n);
    EXPECT_SAME_FLOAT(spectroscopy_point_time(n), ref_point_time(n), n);
  }
}

TEST(ArithmeticReference, ScanSpeed) {
  RandomInputs in;
  for (int i = 0; i < 200000; ++i) {
    const std::int32_t timing = i % 3 ? in.small_int() : in.any_int();
    const std::int32_t size_x = i % 5 ? in.small_int() : in.any_int();
    const float field = i % 2 ? in.any_float() : in.everyday_float();
    if (std::int64_t{timing} * size_x == 0)
      continue;
    EXPECT_SAME_FLOAT(scan_speed(timing, size_x, field),
                      ref_scan_speed(timing, size_x, field), field);
  }
}

} // namespace
} // namespace parvane::testing

namespace parvane {
namespace {

// Every key of the settings table has exactly one attribute, each attribute
// a key, and no two attributes share an identifier (a NetCDF attribute
// name): snake_case, as Python names it.
TEST(SettingAttributes, OneIdentifierPerKey) {
  std::set<std::string_view> keys, identifiers;
  for (const Setting &row : SCALA_SETTINGS)
    if (!row.key.empty()) {
      keys.insert(row.key);
      EXPECT_NE(setting_attribute(row.key), nullptr) << row.key;
    }
  for (const SettingAttribute &attribute : SETTING_ATTRIBUTES) {
    EXPECT_TRUE(keys.contains(attribute.key)) << attribute.key;
    EXPECT_TRUE(identifiers.insert(attribute.identifier).second) << attribute.identifier;
    EXPECT_TRUE(std::all_of(attribute.identifier.begin(), attribute.identifier.end(),
                            [](char c) { return (c >= 'a' && c <= 'z') || c == '_'; }))
        << attribute.identifier;
  }
  EXPECT_EQ(keys.size(), SETTING_ATTRIBUTES.size());
}

} // namespace
} // namespace parvane
