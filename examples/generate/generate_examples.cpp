// Writes numbered source file sets that look like real measurements of a
// graphite or gold surface, for trying the converter and the export and for
// opening their output in analysis software. Installed as
// parvane-example-sets; `--help` tells its options.
//
// Without --shape it writes the bundled example sets:
//
// Set 1: dual mode (forward and backward topography) with an I(V) grid in
//        both directions; graphite, 32 x 32 pixels, 41 points per curve.
// Set 2: forward only, with an I(V) grid showing a surface-state onset;
//        gold, 32 x 32 pixels, 32 points per curve.
// Set 3: dual mode without spectroscopy; graphite, 128 x 128 pixels.
//
// With --shape it writes one graphite set of that size, as large as the
// disk allows: samples are written in blocks as they are made, so memory
// stays constant.
//
// The output is a pure function of the descriptions below (and the seed):
// the noise comes from a fixed hash, never from the clock, so regenerating
// reproduces the committed files byte for byte.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/version.h"
#include "core/source_record.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr const char *PROGRAM = "parvane-example-sets";

// Exit status of a usage error, as parvane-export's.
constexpr int USAGE_ERROR = 2;

void complain(const std::string &text) {
  std::fprintf(stderr, "%s: %s\n", PROGRAM, text.c_str());
}

// ---------------------------------------------------------------------------
// Parameter record: big-endian numbers and NUL-padded text at the offsets the
// converter reads them from.

constexpr std::size_t RECORD_LENGTH = 512;

class Record {
public:
  Record() : bytes_(RECORD_LENGTH, 0) {}
  Record &put_int(std::int64_t offset, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i)
      bytes_[static_cast<std::size_t>(offset) + i] =
          static_cast<std::uint8_t>(bits >> (24 - 8 * i));
    return *this;
  }
  Record &put_float(std::int64_t offset, float value) {
    return put_int(offset, std::bit_cast<std::int32_t>(value));
  }
  // Text longer than the field is cut at the field's width.
  Record &put_text(std::int64_t offset, std::int64_t width,
                   const std::string &text) {
    std::copy_n(text.begin(),
                std::min(static_cast<std::size_t>(width), text.size()),
                bytes_.begin() + offset);
    return *this;
  }
  const Bytes &bytes() const { return bytes_; }

private:
  Bytes bytes_;
};

// ---------------------------------------------------------------------------
// Deterministic noise.

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15u;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

// A value of mean 0 and standard deviation about 1 for the pair (stream,
// index); four uniform numbers summed are close enough to a normal spread.
double gaussian(std::uint64_t stream, std::uint64_t index) {
  double sum = 0;
  std::uint64_t state = mix(stream * 0x100000001B3u ^ index);
  for (int i = 0; i < 4; ++i) {
    state = mix(state);
    sum += static_cast<double>(state >> 11) * 0x1.0p-53;
  }
  return (sum - 2.0) * std::numbers::sqrt3;
}

// ---------------------------------------------------------------------------
// Physical models. Lengths are in angstrom, voltages in volt, currents in nA.

// A hexagonal lattice of period `lattice_constant`: 1 on the atoms, about
// -0.5 between them.
double lattice(double x, double y, double lattice_constant) {
  const double k = 4 * std::numbers::pi / (std::numbers::sqrt3 * lattice_constant);
  double sum = 0;
  for (int j = 0; j < 3; ++j) {
    const double angle = j * std::numbers::pi / 3 + std::numbers::pi / 6;
    sum += std::cos(k * (x * std::cos(angle) + y * std::sin(angle)));
  }
  return sum / 3;
}

struct Surface {
  double lattice_constant;
  double corrugation;    // height of the atoms above the mean, angstrom
  double slope_x;        // tilt, angstrom per angstrom
  double slope_y;
  double offset;         // mean height, angstrom
  double noise;          // standard deviation per sample, angstrom
  double line_jitter;    // standard deviation of a whole line's offset
  double backward_shift; // lateral lag of the backward scan, angstrom
};

enum class CurveShape {
  // Current rising faster than linearly on both sides of zero bias.
  Semimetal,
  // A step in conductance where a surface state band sets in.
  SurfaceStateOnset,
};

struct Spectroscopy {
  std::int32_t points;
  float start;     // volt
  float increment; // volt per point
  CurveShape shape;
  double ldos_contrast; // relative change of the current over the lattice
  double noise;         // nA
  double displacement;  // capacitive offset of the sweep, nA
  // Points per pixel of the backward sweep of a dual-mode set, which goes
  // back down over the forward sweep's range.
  std::int32_t backward_points;
};

struct SetDescription {
  int number;
  std::string date, user, comment;
  std::int32_t size_x, size_y;
  float field_size; // angstrom along a line; pixels are square
  float scan_angle;
  float z_resolution; // angstrom per count
  std::int32_t z_speed;
  std::int32_t line_timing;
  bool dual_mode;
  float gap_voltage;
  float setpoint;
  Surface surface;
  std::optional<Spectroscopy> spectroscopy;
  // Another seed is another measurement of the same surface: other noise.
  std::uint64_t seed;
};

double angstrom_per_pixel(const SetDescription &set) {
  return static_cast<double>(set.field_size) / set.size_x;
}

// The noise stream of one kind of sample of a set; `kind` keeps the streams
// of topography, line jitter and spectroscopy apart.
std::uint64_t noise_stream(const SetDescription &set, std::uint64_t kind,
                           bool backward) {
  return kind + 2 * static_cast<std::uint64_t>(set.number) + backward +
         (set.seed << 32);
}

// ln(cosh(x)) without overflow for large |x|.
double log_cosh(double x) {
  const double a = std::abs(x);
  return a + std::log1p(std::exp(-2 * a)) - std::numbers::ln2;
}

// Current at bias v before scaling to the setpoint, for a tip over a site
// whose local density of states is `ldos` times the mean.
double curve(CurveShape shape, double v, double ldos) {
  switch (shape) {
  case CurveShape::Semimetal:
    return ldos * (v + 0.9 * v * v * v);
  case CurveShape::SurfaceStateOnset: {
    // Conductance 1 below the onset at -0.45 V and 1.6 above it, 30 mV wide.
    const double onset = -0.45, width = 0.03;
    const double step = log_cosh((v - onset) / width) - log_cosh(-onset / width);
    return ldos * (1.3 * v + 0.3 * width * step);
  }
  }
  return 0;
}

// The last voltage of the forward sweep, where the backward sweep starts.
float sweep_end(const Spectroscopy &s) {
  return s.start + static_cast<float>(s.points - 1) * s.increment;
}

// Volt per point of the backward sweep, counted upward from the forward
// start: the forward step when both sweeps have as many points.
double backward_step(const Spectroscopy &s) {
  if (s.backward_points == s.points)
    return s.increment;
  if (s.backward_points < 2)
    return 0;
  return (sweep_end(s) - s.start) / static_cast<double>(s.backward_points - 1);
}

// Bias of point m of a sweep: the forward sweep goes up from the start
// voltage, the backward sweep back down to it.
double sweep_voltage(const Spectroscopy &s, bool backward, std::int32_t m) {
  if (!backward)
    return s.start + m * static_cast<double>(s.increment);
  const std::int32_t point = s.backward_points - 1 - m;
  return s.start + point * backward_step(s);
}

// ---------------------------------------------------------------------------
// Samples: 16-bit unsigned, most significant byte first, 32768 in the middle.

void put_sample(Bytes &out, double counts) {
  const long rounded = std::lround(std::clamp(counts, -32768.0, 32767.0));
  const auto value = static_cast<std::uint16_t>(rounded + 32768);
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// The reason of the last failed system call, for a message.
std::string reason(int error) {
  return error != 0 ? std::generic_category().message(error)
                    : std::string("write failed");
}

// A sample file written in blocks as its samples are made, so that a set of
// any size takes the same memory.
class SampleFile {
public:
  explicit SampleFile(const fs::path &path)
      : path_(path), out_(path, std::ios::binary | std::ios::trunc) {
    error_ = out_ ? 0 : errno;
    block_.reserve(BLOCK_BYTES);
  }
  void put(double counts) {
    put_sample(block_, counts);
    if (block_.size() == BLOCK_BYTES)
      flush();
  }
  // Whether a write failed: there is no use making further samples.
  bool failed() const { return !out_; }
  // Writes the last block and closes the file; false, reported, when any
  // write failed.
  bool close() {
    flush();
    if (out_.is_open()) {
      out_.close();
      if (!out_ && error_ == 0)
        error_ = errno;
    }
    if (out_)
      return true;
    complain(path_.string() + ": " + reason(error_));
    return false;
  }

private:
  static constexpr std::size_t BLOCK_BYTES = 1 << 20;
  void flush() {
    if (out_ && !block_.empty()) {
      errno = 0;
      out_.write(reinterpret_cast<const char *>(block_.data()),
                 static_cast<std::streamsize>(block_.size()));
      if (!out_)
        error_ = errno;
    }
    block_.clear();
  }
  fs::path path_;
  std::ofstream out_;
  Bytes block_;
  int error_ = 0;
};

// Height in angstrom of pixel (line h, column i); the backward scan sees the
// lattice shifted by the piezo's lag and its own noise.
double height(const SetDescription &set, int h, int i, bool backward) {
  const Surface &s = set.surface;
  const double step = angstrom_per_pixel(set);
  const double x = i * step, y = h * step;
  const double shift = backward ? s.backward_shift : 0;
  const std::uint64_t stream = noise_stream(set, 0, backward);
  const auto pixel = static_cast<std::uint64_t>(h) * set.size_x + i;
  return s.offset + s.slope_x * x + s.slope_y * y +
         s.corrugation * lattice(x + shift, y, s.lattice_constant) +
         s.noise * gaussian(stream, pixel) +
         s.line_jitter * gaussian(stream + 1000, static_cast<std::uint64_t>(h));
}

bool write_topography(const fs::path &path, const SetDescription &set) {
  SampleFile out(path);
  const int planes = set.dual_mode ? 2 : 1;
  for (int plane = 0; plane < planes; ++plane)
    for (int h = 0; h < set.size_y && !out.failed(); ++h)
      for (int i = 0; i < set.size_x; ++i)
        out.put(height(set, h, i, plane == 1) / set.z_resolution);
  return out.close();
}

// Resolution of the spectroscopy samples once converted: 50 nA over 32768
// counts.
constexpr double NANOAMPERE_PER_COUNT = 50.0 / 32768.0;

// Samples `first` to `end` - 1 of one block of curves: pixel by pixel, the
// points of a pixel side by side. Forward curves sweep from the start
// voltage up, backward ones back down over the same voltages.
void write_curves(SampleFile &out, const SetDescription &set, bool backward,
                  std::uint64_t first, std::uint64_t end) {
  const Spectroscopy &grid = *set.spectroscopy;
  const std::int32_t points = backward ? grid.backward_points : grid.points;
  const double scale =
      set.setpoint / curve(grid.shape, set.gap_voltage, 1.0);
  const double step = angstrom_per_pixel(set);
  const std::uint64_t stream = noise_stream(set, 5000, backward);
  std::uint64_t index = first;
  while (index < end && !out.failed()) {
    const std::uint64_t pixel = index / static_cast<std::uint64_t>(points);
    const auto h = static_cast<int>(pixel / static_cast<std::uint64_t>(set.size_x));
    const auto i = static_cast<int>(pixel % static_cast<std::uint64_t>(set.size_x));
    const double ldos =
        1 + grid.ldos_contrast *
                lattice(i * step, h * step, set.surface.lattice_constant);
    for (auto m = static_cast<std::int32_t>(index % static_cast<std::uint64_t>(points));
         m < points && index < end; ++m, ++index) {
      const double v = sweep_voltage(grid, backward, m);
      const double current = scale * curve(grid.shape, v, ldos) +
                             (backward ? -1 : 1) * grid.displacement +
                             grid.noise * gaussian(stream, index);
      out.put(current / NANOAMPERE_PER_COUNT);
    }
  }
}

std::uint64_t pixels(const SetDescription &set) {
  return static_cast<std::uint64_t>(set.size_x) *
         static_cast<std::uint64_t>(set.size_y);
}

// Samples of the forward block, and of the backward block of a dual-mode
// set (0 otherwise).
std::uint64_t forward_samples(const SetDescription &set) {
  return static_cast<std::uint64_t>(set.spectroscopy->points) * pixels(set);
}
std::uint64_t backward_samples(const SetDescription &set) {
  return set.dual_mode ? static_cast<std::uint64_t>(
                             set.spectroscopy->backward_points) * pixels(set)
                       : 0;
}

// The converter takes the backward block from sample Pb·X·Y on, whatever
// the forward block's length: after the forward block when both have as
// many points, after a gap of samples of no current when the forward block
// is shorter, and over the forward block's end when it is longer (the
// forward samples beyond the backward block then follow it).
bool write_spectroscopy(const fs::path &path, const SetDescription &set) {
  SampleFile out(path);
  const std::uint64_t forward = forward_samples(set);
  const std::uint64_t backward = backward_samples(set);
  if (!set.dual_mode) {
    write_curves(out, set, false, 0, forward);
    return out.close();
  }
  write_curves(out, set, false, 0, std::min(forward, backward));
  for (std::uint64_t n = forward; n < backward && !out.failed(); ++n)
    out.put(0);
  write_curves(out, set, true, 0, backward);
  if (forward > 2 * backward)
    write_curves(out, set, false, 2 * backward, forward);
  return out.close();
}

// Bytes of the files of a set: tp, tz and ts.
std::uint64_t set_bytes(const SetDescription &set) {
  const std::uint64_t topography = 2 * pixels(set) * (set.dual_mode ? 2 : 1);
  const std::uint64_t spectroscopy =
      set.spectroscopy
          ? 2 * std::max(forward_samples(set), 2 * backward_samples(set))
          : 0;
  return RECORD_LENGTH + topography + spectroscopy;
}

// ---------------------------------------------------------------------------
// The parameter record of a set.

Record parameter_record(const SetDescription &set) {
  using namespace parvane;
  Record r;
  const float increment = set.field_size / static_cast<float>(set.size_x);
  const float field_y = increment * static_cast<float>(set.size_y);
  r.put_float(OFFSET_FIELD_X_SIZE, set.field_size)
      .put_float(OFFSET_FIELD_Y_SIZE, field_y)
      .put_float(OFFSET_INCREMENT_X, increment)
      .put_float(OFFSET_INCREMENT_Y, increment)
      .put_int(OFFSET_IMAGE_SIZE_X, set.size_x)
      .put_int(OFFSET_IMAGE_SIZE_Y, set.size_y)
      .put_float(OFFSET_SCAN_ANGLE, set.scan_angle)
      .put_float(OFFSET_Z_RESOLUTION, set.z_resolution)
      .put_int(OFFSET_Z_SPEED, set.z_speed)
      .put_float(OFFSET_MEASURED_GAP_VOLTAGE, set.gap_voltage * 0.9987f)
      .put_float(OFFSET_GAP_VOLTAGE_FORWARD, set.gap_voltage)
      .put_float(OFFSET_GAP_VOLTAGE_BACKWARD, set.dual_mode ? set.gap_voltage : 0.0f)
      .put_float(OFFSET_MEASURED_CURRENT_SETPOINT, set.setpoint * 1.0021f)
      .put_float(OFFSET_FEEDBACK_SET_FORWARD, set.setpoint)
      .put_float(OFFSET_FEEDBACK_SET_BACKWARD, set.dual_mode ? set.setpoint : 0.0f)
      .put_int(OFFSET_LINE_TIMING, set.line_timing)
      .put_int(OFFSET_FORWARD_ONLY, set.dual_mode ? 0 : 1)
      .put_text(OFFSET_DATE_TEXT, WIDTH_DATE_TEXT, set.date)
      .put_text(OFFSET_COMMENT_TEXT, WIDTH_COMMENT_TEXT, set.comment)
      .put_text(OFFSET_USER_TEXT, WIDTH_USER_TEXT, set.user);
  if (!set.spectroscopy)
    return r;
  const Spectroscopy &s = *set.spectroscopy;
  const float end = sweep_end(s);
  r.put_float(OFFSET_SPEC_START_FORWARD, s.start)
      .put_float(OFFSET_SPEC_END_FORWARD, end)
      .put_float(OFFSET_SPEC_INCREMENT_FORWARD, s.increment)
      .put_int(OFFSET_SPEC_POINTS_FORWARD, s.points);
  if (set.dual_mode)
    r.put_float(OFFSET_SPEC_START_BACKWARD, end)
        .put_float(OFFSET_SPEC_END_BACKWARD, s.start)
        .put_float(OFFSET_SPEC_INCREMENT_BACKWARD,
                   -static_cast<float>(backward_step(s)))
        .put_int(OFFSET_SPEC_POINTS_BACKWARD, s.backward_points);
  return r;
}

// ---------------------------------------------------------------------------

const Surface GRAPHITE_SMALL{2.46, 0.28, 0.012, -0.007, -1.9, 0.025, 0.01, 0.3};

std::vector<SetDescription> example_sets() {
  const Surface graphite_large{2.46, 0.30, 0.010, 0.006, 2.4, 0.03, 0.015, 0.25};
  const Surface gold{2.88, 0.12, -0.008, 0.011, 0.7, 0.02, 0.01, 0};
  return {
      {1, "14.03.2006 10:42", "M. Keller",
       "HOPG, I(V) grid 32x32 px, 41 pts, -1..+1 V", 32, 32, 16.0f, 0.0f,
       0.002f, 1500, 2, true, 1.0f, 1.0f, GRAPHITE_SMALL,
       Spectroscopy{41, -1.0f, 0.05f, CurveShape::Semimetal, 0.08, 0.004, 0.006, 41},
       0},
      {2, "14.03.2006 15:07", "M. Keller",
       "Au(111), surface state onset, fwd only", 32, 32, 20.0f, 15.0f,
       0.001f, 1200, 3, false, 0.75f, 0.8f, gold,
       Spectroscopy{32, -0.8f, 0.05f, CurveShape::SurfaceStateOnset, 0.05, 0.003, 0, 0},
       0},
      {3, "15.03.2006 09:18", "M. Keller", "HOPG, atomic lattice, 4 nm field",
       128, 128, 40.0f, 0.0f, 0.002f, 2000, 1, true, 0.1f, 1.5f,
       graphite_large, std::nullopt, 0},
  };
}

// The pixels, lines and points of a set asked for with --shape.
struct Shape {
  std::int32_t x = 0, y = 0;
  std::optional<std::int32_t> points, backward_points;
};

// "XxY", "XxYxP" or "XxYxPxPb": positive numbers; without P the set has no
// spectroscopy.
std::optional<Shape> parse_shape(const std::string &text) {
  std::vector<std::int32_t> numbers;
  const char *at = text.data();
  const char *const end = text.data() + text.size();
  while (true) {
    std::int32_t value = 0;
    const auto [next, error] = std::from_chars(at, end, value);
    if (error != std::errc() || next == at || value < 1)
      return std::nullopt;
    numbers.push_back(value);
    if (next == end)
      break;
    if (*next != 'x')
      return std::nullopt;
    at = next + 1;
  }
  if (numbers.size() < 2 || numbers.size() > 4)
    return std::nullopt;
  Shape shape{numbers[0], numbers[1], std::nullopt, std::nullopt};
  if (numbers.size() > 2)
    shape.points = numbers[2];
  if (numbers.size() > 3)
    shape.backward_points = numbers[3];
  return shape;
}

// One graphite set of the shape asked for: set 1's surface and I(V) curves
// at half an angstrom per pixel, so the lattice shows at any size, the
// curves sweeping from -1 V to +1 V.
SetDescription shaped_set(const Shape &shape, bool dual_mode, int number,
                          std::uint64_t seed) {
  SetDescription set{number, "16.03.2006 11:30", "M. Keller", "", shape.x,
                     shape.y, 0.5f * static_cast<float>(shape.x), 0.0f,
                     0.002f, 1500, 2, dual_mode, 1.0f, 1.0f, GRAPHITE_SMALL,
                     std::nullopt, seed};
  set.comment = "HOPG, " + std::to_string(shape.x) + "x" +
                std::to_string(shape.y) + " px";
  if (shape.points) {
    const std::int32_t points = *shape.points;
    const float increment = points > 1 ? 2.0f / static_cast<float>(points - 1) : 0.0f;
    set.spectroscopy = Spectroscopy{
        points, -1.0f, increment, CurveShape::Semimetal, 0.08, 0.004,
        dual_mode ? 0.006 : 0, dual_mode ? shape.backward_points.value_or(points) : 0};
    set.comment += ", I(V) " + std::to_string(points) + " pts, -1..+1 V";
  }
  return set;
}

bool write_file(const fs::path &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  errno = 0;
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (out)
    return true;
  complain(path.string() + ": " + reason(errno));
  return false;
}

bool write_set(const fs::path &dir, const SetDescription &set) {
  const std::string n = std::to_string(set.number);
  if (!write_file(dir / ("tp" + n), parameter_record(set).bytes()))
    return false;
  if (!write_topography(dir / ("tz" + n), set))
    return false;
  return !set.spectroscopy || write_spectroscopy(dir / ("ts" + n), set);
}

// ---------------------------------------------------------------------------
// The command line.

struct Request {
  std::string directory = ".";
  std::optional<std::string> shape;
  bool forward_only = false, dual = false;
  int number = 1;
  std::uint64_t seed = 0;
};

// The sets the command line asks for, or the status the run ends with at
// once: 0 after the help or the version, USAGE_ERROR after a usage error.
std::optional<std::vector<SetDescription>>
parse_command_line(int argc, char **argv, std::string &directory, int &status) {
  Request request;
  CLI::App app(
      "Writes STM source file sets (tp<n>, tz<n>, ts<n>) that look like real\n"
      "measurements, for parvane-convert and parvane-export: without --shape\n"
      "the three example sets 1 to 3, with --shape one graphite set of any\n"
      "size.",
      PROGRAM);
  app.get_formatter()->column_width(24);
  app.set_version_flag("-V,--version",
                       std::string(PROGRAM) + " " + parvane::PARVANE_VERSION);
  app.add_option("DIRECTORY", request.directory,
                 "Write into DIRECTORY, made if missing (default: .)")
      ->type_name("");
  CLI::Option *shape =
      app.add_option("-s,--shape", request.shape,
                     "X pixels per line, Y lines, P points per I(V)\n"
                     "curve (none: no spectroscopy), Pb points of the\n"
                     "backward curve (default: P)")
          ->type_name("XxY[xP[xPb]]");
  CLI::Option *forward_only =
      app.add_flag("-f,--forward-only", request.forward_only,
                   "Forward scan only (default: forward and backward)");
  CLI::Option *dual = app.add_flag("-d,--dual", request.dual,
                                   "Forward and backward scan (the default)");
  CLI::Option *number =
      app.add_option("-n,--number", request.number,
                     "Set number N: tp<N>, tz<N>, ts<N> (default: 1)")
          ->type_name("N");
  CLI::Option *seed =
      app.add_option("--seed", request.seed,
                     "Noise of another measurement of the same\nsurface (default: 0)")
          ->type_name("S");
  app.footer("Example: " + std::string(PROGRAM) +
             " --shape 256x256x2560 /tmp/grid\n"
             "Exit status: 0 when every file was written, 1 when one could\n"
             "not be, 2 for a usage error.");

  status = USAGE_ERROR;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &) {
    std::fputs(app.help().c_str(), stdout);
    status = 0;
    return std::nullopt;
  } catch (const CLI::CallForVersion &version) {
    std::printf("%s\n", version.what());
    status = 0;
    return std::nullopt;
  } catch (const CLI::ParseError &error) {
    complain(std::string(error.what()) + " (see --help)");
    return std::nullopt;
  }
  // Checked here rather than by the parser, whose help would list them.
  for (const CLI::Option *option : {forward_only, dual, number, seed})
    if (option->count() > 0 && shape->count() == 0) {
      complain(option->get_name() + " needs --shape (see --help)");
      return std::nullopt;
    }
  if (forward_only->count() > 0 && dual->count() > 0) {
    complain("--forward-only and --dual exclude each other (see --help)");
    return std::nullopt;
  }
  if (request.number < 0) {
    complain("--number " + std::to_string(request.number) +
             ": not a set number (see --help)");
    return std::nullopt;
  }
  directory = request.directory;
  if (!request.shape) {
    status = 0;
    return example_sets();
  }
  const std::optional<Shape> parsed = parse_shape(*request.shape);
  if (!parsed) {
    complain("--shape " + *request.shape +
             ": not XxY, XxYxP or XxYxPxPb of positive numbers (see --help)");
    return std::nullopt;
  }
  if (request.forward_only && parsed->backward_points) {
    complain("--shape " + *request.shape +
             ": a forward-only set has no backward points (see --help)");
    return std::nullopt;
  }
  // Far beyond any disk, and beyond the byte counts' 64 bits.
  const double samples = static_cast<double>(parsed->x) * parsed->y *
                         std::max<double>(parsed->points.value_or(1),
                                          2.0 * parsed->backward_points.value_or(1));
  if (samples > 0x1.0p50) {
    complain("--shape " + *request.shape + ": larger than any disk");
    return std::nullopt;
  }
  status = 0;
  return std::vector{
      shaped_set(*parsed, !request.forward_only, request.number, request.seed)};
}

} // namespace

int main(int argc, char **argv) {
  std::string directory;
  int status = 0;
  const auto sets = parse_command_line(argc, argv, directory, status);
  if (!sets)
    return status;
  const fs::path dir = directory;
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) {
    complain(directory + ": " + error.message());
    return 1;
  }
  // A set that cannot fit is refused before its first byte, rather than
  // filling the disk.
  std::uint64_t needed = 0;
  for (const SetDescription &set : *sets)
    needed += set_bytes(set);
  const fs::space_info space = fs::space(dir, error);
  if (!error && needed > space.available) {
    complain(directory + ": the sets need " + std::to_string(needed) +
             " bytes, the disk has " + std::to_string(space.available) +
             " free; nothing written");
    return 1;
  }
  for (const SetDescription &set : *sets)
    if (!write_set(dir, set))
      return 1;
  return 0;
}
