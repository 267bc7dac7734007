// Writes the bundled example sets: numbered source file sets that look like
// real measurements of a graphite or gold surface, for trying the converter
// and for opening its output in SCALA-reading software.
//
//   generate_examples OUTPUT_DIRECTORY
//
// Set 1: dual mode (forward and backward topography) with an I(V) grid in
//        both directions; graphite, 32 x 32 pixels, 41 points per curve.
// Set 2: forward only, with an I(V) grid showing a surface-state onset;
//        gold, 32 x 32 pixels, 32 points per curve.
// Set 3: dual mode without spectroscopy; graphite, 128 x 128 pixels.
//
// The output is a pure function of the descriptions below: the noise comes
// from a fixed hash, never from the clock, so regenerating reproduces the
// committed files byte for byte.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Parameter record: big-endian numbers and NUL-padded text at fixed offsets.

constexpr std::size_t RECORD_LENGTH = 512;

class Record {
public:
  Record() : bytes_(RECORD_LENGTH, 0) {}
  Record &put_int(std::size_t offset, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i)
      bytes_[offset + i] = static_cast<std::uint8_t>(bits >> (24 - 8 * i));
    return *this;
  }
  Record &put_float(std::size_t offset, float value) {
    return put_int(offset, std::bit_cast<std::int32_t>(value));
  }
  // Text longer than the field is cut at the field's width.
  Record &put_text(std::size_t offset, std::size_t width,
                   const std::string &text) {
    std::copy_n(text.begin(), std::min(width, text.size()),
                bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
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
};

struct SetDescription {
  int number;
  std::string date, user, comment;
  std::int32_t size_x, size_y;
  float field_size; // angstrom, square field
  float scan_angle;
  float z_resolution; // angstrom per count
  std::int32_t z_speed;
  std::int32_t line_timing;
  bool dual_mode;
  float gap_voltage;
  float setpoint;
  Surface surface;
  std::optional<Spectroscopy> spectroscopy;
};

double angstrom_per_pixel(const SetDescription &set) {
  return static_cast<double>(set.field_size) / set.size_x;
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

// ---------------------------------------------------------------------------
// Samples: 16-bit unsigned, most significant byte first, 32768 in the middle.

void put_sample(Bytes &out, double counts) {
  const long rounded = std::lround(std::clamp(counts, -32768.0, 32767.0));
  const auto value = static_cast<std::uint16_t>(rounded + 32768);
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// Height in angstrom of pixel (line h, column i); the backward scan sees the
// lattice shifted by the piezo's lag and its own noise.
double height(const SetDescription &set, int h, int i, bool backward) {
  const Surface &s = set.surface;
  const double step = angstrom_per_pixel(set);
  const double x = i * step, y = h * step;
  const double shift = backward ? s.backward_shift : 0;
  const std::uint64_t stream = 2 * static_cast<std::uint64_t>(set.number) + backward;
  const auto pixel = static_cast<std::uint64_t>(h) * set.size_x + i;
  return s.offset + s.slope_x * x + s.slope_y * y +
         s.corrugation * lattice(x + shift, y, s.lattice_constant) +
         s.noise * gaussian(stream, pixel) +
         s.line_jitter * gaussian(stream + 1000, static_cast<std::uint64_t>(h));
}

Bytes topography(const SetDescription &set) {
  Bytes out;
  const int planes = set.dual_mode ? 2 : 1;
  for (int plane = 0; plane < planes; ++plane)
    for (int h = 0; h < set.size_y; ++h)
      for (int i = 0; i < set.size_x; ++i)
        put_sample(out, height(set, h, i, plane == 1) / set.z_resolution);
  return out;
}

// Resolution of the spectroscopy samples once converted: 50 nA over 32768
// counts.
constexpr double NANOAMPERE_PER_COUNT = 50.0 / 32768.0;

// The curve of one block: forward sweeps from the start voltage up, the
// backward block sweeps back down over the same voltages.
Bytes spectroscopy_block(const SetDescription &set, const Spectroscopy &grid,
                         bool backward) {
  const double scale =
      set.setpoint / curve(grid.shape, set.gap_voltage, 1.0);
  const double step = angstrom_per_pixel(set);
  const std::uint64_t stream = 5000 + 2 * static_cast<std::uint64_t>(set.number) + backward;
  Bytes out;
  for (int h = 0; h < set.size_y; ++h)
    for (int i = 0; i < set.size_x; ++i) {
      const double ldos =
          1 + grid.ldos_contrast *
                  lattice(i * step, h * step, set.surface.lattice_constant);
      for (int m = 0; m < grid.points; ++m) {
        const int point = backward ? grid.points - 1 - m : m;
        const double v = grid.start + point * static_cast<double>(grid.increment);
        const auto index =
            (static_cast<std::uint64_t>(h) * set.size_x + i) * grid.points + m;
        const double current = scale * curve(grid.shape, v, ldos) +
                               (backward ? -1 : 1) * grid.displacement +
                               grid.noise * gaussian(stream, index);
        put_sample(out, current / NANOAMPERE_PER_COUNT);
      }
    }
  return out;
}

Bytes spectroscopy(const SetDescription &set) {
  Bytes out = spectroscopy_block(set, *set.spectroscopy, false);
  if (set.dual_mode) {
    const Bytes back = spectroscopy_block(set, *set.spectroscopy, true);
    out.insert(out.end(), back.begin(), back.end());
  }
  return out;
}

// ---------------------------------------------------------------------------
// The parameter record of a set (offsets of the acquisition system's record).

Record parameter_record(const SetDescription &set) {
  Record r;
  const float increment = set.field_size / static_cast<float>(set.size_x);
  r.put_float(12, set.field_size)
      .put_float(16, set.field_size)
      .put_float(20, increment)
      .put_float(24, increment)
      .put_int(28, set.size_x)
      .put_int(32, set.size_y)
      .put_float(36, set.scan_angle)
      .put_float(48, set.z_resolution)
      .put_int(108, set.z_speed)
      .put_float(112, set.gap_voltage * 0.9987f)
      .put_float(116, set.gap_voltage)
      .put_float(120, set.dual_mode ? set.gap_voltage : 0.0f)
      .put_float(132, set.setpoint * 1.0021f)
      .put_float(136, set.setpoint)
      .put_float(140, set.dual_mode ? set.setpoint : 0.0f)
      .put_int(248, set.line_timing)
      .put_int(308, set.dual_mode ? 0 : 1)
      .put_text(312, 20, set.date)
      .put_text(332, 50, set.comment)
      .put_text(382, 20, set.user);
  if (!set.spectroscopy)
    return r;
  const Spectroscopy &s = *set.spectroscopy;
  const float end = s.start + static_cast<float>(s.points - 1) * s.increment;
  r.put_float(152, s.start).put_float(156, end).put_float(160, s.increment)
      .put_int(164, s.points);
  if (set.dual_mode)
    r.put_float(168, end).put_float(172, s.start).put_float(176, -s.increment)
        .put_int(180, s.points);
  return r;
}

// ---------------------------------------------------------------------------

std::vector<SetDescription> example_sets() {
  const Surface graphite_small{2.46, 0.28, 0.012, -0.007, -1.9, 0.025, 0.01, 0.3};
  const Surface graphite_large{2.46, 0.30, 0.010, 0.006, 2.4, 0.03, 0.015, 0.25};
  const Surface gold{2.88, 0.12, -0.008, 0.011, 0.7, 0.02, 0.01, 0};
  return {
      {1, "14.03.2006 10:42", "M. Keller",
       "HOPG, I(V) grid 32x32 px, 41 pts, -1..+1 V", 32, 32, 16.0f, 0.0f,
       0.002f, 1500, 2, true, 1.0f, 1.0f, graphite_small,
       Spectroscopy{41, -1.0f, 0.05f, CurveShape::Semimetal, 0.08, 0.004, 0.006}},
      {2, "14.03.2006 15:07", "M. Keller",
       "Au(111), surface state onset, fwd only", 32, 32, 20.0f, 15.0f,
       0.001f, 1200, 3, false, 0.75f, 0.8f, gold,
       Spectroscopy{32, -0.8f, 0.05f, CurveShape::SurfaceStateOnset, 0.05, 0.003, 0}},
      {3, "15.03.2006 09:18", "M. Keller", "HOPG, atomic lattice, 4 nm field",
       128, 128, 40.0f, 0.0f, 0.002f, 2000, 1, true, 0.1f, 1.5f,
       graphite_large, std::nullopt},
  };
}

bool write_file(const fs::path &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (out)
    return true;
  std::fprintf(stderr, "generate_examples: cannot write %s\n",
               path.string().c_str());
  return false;
}

bool write_set(const fs::path &dir, const SetDescription &set) {
  const std::string n = std::to_string(set.number);
  if (!write_file(dir / ("tp" + n), parameter_record(set).bytes()))
    return false;
  if (!write_file(dir / ("tz" + n), topography(set)))
    return false;
  return !set.spectroscopy || write_file(dir / ("ts" + n), spectroscopy(set));
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: generate_examples OUTPUT_DIRECTORY\n");
    return 2;
  }
  const fs::path dir = argv[1];
  for (const SetDescription &set : example_sets())
    if (!write_set(dir, set))
      return 1;
  return 0;
}
